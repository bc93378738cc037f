#include <QHBoxLayout>
#include <QTreeWidget>

#include "views/shares/SharesForm.h"

SharesForm* sharesForm = nullptr;

// Builds the page's one list; the view's own issue replaces this page.
SharesForm::SharesForm(QWidget* parent) : QWidget(parent), mp_list(new QTreeWidget(this)) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    mp_list->setObjectName("shareList");
    mp_list->setHeaderLabels({"Folder", "Files"});
    layout->addWidget(mp_list);
    sharesForm = this;
}

SharesForm::~SharesForm() {
    if (sharesForm == this)
        sharesForm = nullptr;
}

void SharesForm::Init() {}
