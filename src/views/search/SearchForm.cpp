#include <QHBoxLayout>
#include <QTreeWidget>

#include "views/search/SearchForm.h"

SearchForm* searchForm = nullptr;

// Builds the page's one list; the view's own issue replaces this page.
SearchForm::SearchForm(QWidget* parent) : QWidget(parent), mp_list(new QTreeWidget(this)) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    mp_list->setObjectName("searchHistoryList");
    mp_list->setHeaderLabels({"Search"});
    layout->addWidget(mp_list);
    searchForm = this;
}

SearchForm::~SearchForm() {
    if (searchForm == this)
        searchForm = nullptr;
}

void SearchForm::Init() {}
