#ifndef TAVENOOK_VIEWS_SEARCH_SEARCHFORM_H
#define TAVENOOK_VIEWS_SEARCH_SEARCHFORM_H

#include <QWidget>

class QTabWidget;
class QTreeWidget;

// The search page; searching and result pages come with the search views.
class SearchForm : public QWidget {
    Q_OBJECT
public:
    explicit SearchForm(QWidget* parent = nullptr);
    ~SearchForm() override;
    void Init();
    QTreeWidget* List() const { return mp_list; }

private:
    QTreeWidget* mp_list;
};

extern SearchForm* searchForm;

#endif
