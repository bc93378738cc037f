#include "views/shares/ExcludedExtensionsDialog.h"

#include <QMenu>

#include "shell/Prompts.h"
#include "ui_ExcludedExtensionsDialog.h"

ExcludedExtensionsDialog* excludedExtensionsDialog = nullptr;

namespace {
Type* Extensions() {
    return d.GetType("excluded_download_extension");
}
}  // namespace

ExcludedExtensionsDialog::ExcludedExtensionsDialog(QWidget* parent)
    : QDialog(parent), mp_ui(new Ui::ExcludedExtensionsDialog) {
    mp_ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    excludedExtensionsDialog = this;
    Extensions()->NewItemEvent().Insert(
        ItemHandler(this, &ExcludedExtensionsDialog::OnExtensionAdded));
    for (const ItemPtr& extension : Extensions()->GetItems())
        mp_ui->extensionListWidget->addItem(extension.AsString());
    connect(mp_ui->extensionListWidget, &QWidget::customContextMenuRequested, this,
            &ExcludedExtensionsDialog::OnExtensionListContextMenuRequested);
    connect(mp_ui->newExtensionButton, &QPushButton::clicked, this,
            &ExcludedExtensionsDialog::OnNewExtensionButtonClicked);
}

ExcludedExtensionsDialog::~ExcludedExtensionsDialog() {
    if (excludedExtensionsDialog == this)
        excludedExtensionsDialog = nullptr;
}

void ExcludedExtensionsDialog::OnNewExtensionButtonClicked() {
    const QString text = mp_ui->newExtensionEdit->text().trimmed();
    mp_ui->newExtensionEdit->clear();
    if (text.isEmpty())
        return;
    // Only a new item fires the handler that lists it.
    Extensions()->NewItem(Value(text));
}

void ExcludedExtensionsDialog::OnExtensionAdded(ItemPtr extension) {
    mp_ui->extensionListWidget->addItem(extension.AsString());
}

void ExcludedExtensionsDialog::OnExtensionListContextMenuRequested(QPoint position) {
    QListWidget* list = mp_ui->extensionListWidget;
    if (!list->itemAt(position))
        return;
    QMenu menu;
    menu.addAction("Remove", this, &ExcludedExtensionsDialog::OnRemoveExcludedExtension);
    prompts::ExecMenu(&menu, list->viewport()->mapToGlobal(position));
}

void ExcludedExtensionsDialog::OnRemoveExcludedExtension() {
    for (QListWidgetItem* row : mp_ui->extensionListWidget->selectedItems()) {
        const ItemPtr extension = Extensions()->HasItem(Value(row->text()));
        if (!extension.IsNull())
            extension.Remove();
        delete row;
    }
}
