#include <QHBoxLayout>
#include <QTreeWidget>

#include "views/transfers/TransfersForm.h"

TransfersForm* transfersForm = nullptr;

// Builds the page's one list; the view's own issue replaces this page.
TransfersForm::TransfersForm(QWidget* parent) : QWidget(parent), mp_list(new QTreeWidget(this)) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    mp_list->setObjectName("downloadsList");
    mp_list->setHeaderLabels({"User", "Folder", "File", "Status"});
    layout->addWidget(mp_list);
    transfersForm = this;
}

TransfersForm::~TransfersForm() {
    if (transfersForm == this)
        transfersForm = nullptr;
}

void TransfersForm::Init() {}
