#ifndef TAVENOOK_VIEWS_SHARES_SHARESFORM_H
#define TAVENOOK_VIEWS_SHARES_SHARESFORM_H

#include <QWidget>

class QTabWidget;
class QTreeWidget;

// The page of browsed shares; the share browser comes with the share views.
class SharesForm : public QWidget {
    Q_OBJECT
public:
    explicit SharesForm(QWidget* parent = nullptr);
    ~SharesForm() override;
    void Init();
    QTreeWidget* List() const { return mp_list; }

private:
    QTreeWidget* mp_list;
};

extern SharesForm* sharesForm;

#endif
