#ifndef TAVENOOK_VIEWS_TRANSFERS_TRANSFERSFORM_H
#define TAVENOOK_VIEWS_TRANSFERS_TRANSFERSFORM_H

#include <QWidget>

class QTabWidget;
class QTreeWidget;

// The downloads and uploads page; its lists and controls come with the transfer views.
class TransfersForm : public QWidget {
    Q_OBJECT
public:
    explicit TransfersForm(QWidget* parent = nullptr);
    ~TransfersForm() override;
    void Init();
    QTreeWidget* List() const { return mp_list; }

private:
    QTreeWidget* mp_list;
};

extern TransfersForm* transfersForm;

#endif
