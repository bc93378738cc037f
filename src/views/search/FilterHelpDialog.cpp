#include "views/search/FilterHelpDialog.h"

#include "ui_FilterHelpDialog.h"

FilterHelpDialog* filterHelpDialog = nullptr;

FilterHelpDialog::FilterHelpDialog(QWidget* parent)
    : QDialog(parent), mp_ui(new Ui_FilterHelpDialog) {
    mp_ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    filterHelpDialog = this;
}

FilterHelpDialog::~FilterHelpDialog() {
    if (filterHelpDialog == this)
        filterHelpDialog = nullptr;
    delete mp_ui;
}

FilterHelpDialog* FilterHelpDialog::ShowHelp(QWidget* parent) {
    if (!filterHelpDialog)
        new FilterHelpDialog(parent);
    filterHelpDialog->show();
    filterHelpDialog->raise();
    return filterHelpDialog;
}
