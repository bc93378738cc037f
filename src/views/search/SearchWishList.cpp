// The wish list of the search page: one row per wish item with its
// enabled box and its editable text, kept in step with the store.

#include <QCheckBox>
#include <QLineEdit>
#include <QMenu>
#include <QMetaObject>
#include <QTreeWidget>

#include "shell/Prompts.h"
#include "ui_SearchForm.h"
#include "views/search/SearchForm.h"

QTreeWidgetItem* SearchForm::WishRowOf(const ItemPtr& node) const {
    if (node.IsNull())
        return nullptr;
    auto* row = reinterpret_cast<QTreeWidgetItem*>(node.AsUInt64());
    return mp_ui->wishList->indexOfTopLevelItem(row) >= 0 ? row : nullptr;
}

void SearchForm::OnWishListItemAdded(ItemPtr item) {
    m_addingWishRow = true;
    QTreeWidget* list = mp_ui->wishList;
    auto* row = new QTreeWidgetItem(list);
    row->setText(1, item.AsString());
    row->setFlags(row->flags() | Qt::ItemIsEditable);
    auto* box = new QCheckBox;
    list->setItemWidget(row, 0, box);
    row->setTextAlignment(0, Qt::AlignHCenter);
    const bool enabled = item.IsConnected("wish_list_item_enabled");
    row->setText(0, enabled ? "Y" : "");
    box->setChecked(enabled);
    const ItemPtr node = d.GetType("wish_list_node")->GetItem(Value(row));
    item.Connect(node);
    node.Connect(d.GetType("wish_list_node_checkbox")->GetItem(Value(box)));
    connect(box, &QCheckBox::stateChanged, this, &SearchForm::OnWishListItemCheckStateChanged);
    m_addingWishRow = false;
}

void SearchForm::OnWishListItemCheckStateChanged(int i_state) {
    const ItemPtr node =
        d.GetType("wish_list_node_checkbox")->HasItem(Value(sender())).HasItem("wish_list_node");
    const ItemPtr item = node.HasItem("wish_list_item");
    QTreeWidgetItem* row = WishRowOf(node);
    if (item.IsNull() || !row || i_state == Qt::PartiallyChecked)
        return;
    const bool on = i_state == Qt::Checked;
    if (on)
        item.Connect(d.GetType("wish_list_item_enabled")->GetGlobalNullItem());
    else
        item.Disconnect("wish_list_item_enabled");
    m_addingWishRow = true;
    row->setText(0, on ? "Y" : "");
    m_addingWishRow = false;
}

void SearchForm::OnWishListItemChanged(QTreeWidgetItem* ip_item, int i_column) {
    if (i_column != 1 || m_addingWishRow || !ip_item)
        return;
    QTreeWidget* list = mp_ui->wishList;
    Type* nodes = d.GetType("wish_list_node");
    QList<QTreeWidgetItem*> rows;
    for (int k = 0; k < list->topLevelItemCount(); ++k)
        rows.append(list->topLevelItem(k));
    // Rows show their trimmed text, so texts compare alike on both sides.
    m_addingWishRow = true;
    for (QTreeWidgetItem* row : rows)
        if (row->text(1) != row->text(1).trimmed())
            row->setText(1, row->text(1).trimmed());
    m_addingWishRow = false;
    QSet<QString> texts;
    for (QTreeWidgetItem* row : rows)
        texts.insert(row->text(1));

    for (const ItemPtr& item : d.GetType("wish_list_item")->GetItems()) {
        if (texts.contains(item.AsString()))
            continue;
        item.Disconnect("wish_list_node");
        item.Remove();
    }
    Type* wishes = d.GetType("wish_list_item");
    for (QTreeWidgetItem* row : rows) {
        const QString text = row->text(1);
        if (text.isEmpty()) {
            QMetaObject::invokeMethod(this, "DeleteNode", Qt::QueuedConnection,
                                      Q_ARG(QTreeWidgetItem*, row));
            return;
        }
        if (!wishes->HasItem(Value(text)).IsNull())
            continue;
        const ItemPtr item = wishes->NewItem(Value(text));
        item.Connect(nodes->GetItem(Value(row)));
        auto* box = qobject_cast<QCheckBox*>(list->itemWidget(row, 0));
        if (box && box->isChecked())
            item.Connect(d.GetType("wish_list_item_enabled")->GetGlobalNullItem());
    }
    for (const ItemPtr& node : nodes->GetItems())
        if (!node.IsConnected("wish_list_item"))
            QMetaObject::invokeMethod(
                this, "DeleteNode", Qt::QueuedConnection,
                Q_ARG(QTreeWidgetItem*, reinterpret_cast<QTreeWidgetItem*>(node.AsUInt64())));
}

// Reached through queued calls: the node is looked up first, so a row that
// went already is never touched twice.
void SearchForm::DeleteNode(QTreeWidgetItem* ip_item) {
    RemoveWishNode(d.GetType("wish_list_node")->HasItem(Value(ip_item)));
}

void SearchForm::OnWishListItemRemoved(ItemPtr item) {
    RemoveWishNode(item.HasItem("wish_list_node"));
}

// The node and its check-box item go before the row, so no handler finds a
// node pointing at a deleted row.
void SearchForm::RemoveWishNode(const ItemPtr& node) {
    if (node.IsNull())
        return;
    QTreeWidgetItem* row = WishRowOf(node);
    node.GetItems("wish_list_node_checkbox").Remove();
    node.Remove();
    delete row;
}

void SearchForm::OnWishListContextMenuRequested(QPoint i_point) {
    QTreeWidget* list = mp_ui->wishList;
    if (!list->itemAt(i_point))
        return;
    QMenu menu;
    menu.addAction(QIcon(":/icons/wishlist_icon"), "Remove Wish List Search", this,
                   &SearchForm::OnRemoveWishListItemRequested);
    prompts::ExecMenu(&menu, list->viewport()->mapToGlobal(i_point));
}

void SearchForm::OnRemoveWishListItemRequested() {
    RemoveSelectedWishItems();
}

void SearchForm::RemoveSelectedWishItems() {
    Type* nodes = d.GetType("wish_list_node");
    ItemSet items;
    for (QTreeWidgetItem* row : mp_ui->wishList->selectedItems()) {
        const ItemPtr item = nodes->HasItem(Value(row)).HasItem("wish_list_item");
        if (!item.IsNull())
            items.Insert(item);
    }
    items.Remove();
}

void SearchForm::OnAddToWishListClicked() {
    const QString text = mp_ui->searchEdit->lineEdit()->text();
    if (!text.isEmpty())
        AddEnabledWishItem(text);
}

void SearchForm::AddEnabledWishItem(const QString& text) {
    Type* wishes = d.GetType("wish_list_item");
    if (!wishes->HasItem(Value(text)).IsNull())
        return;
    const ItemPtr item = wishes->NewItem(Value(text));
    item.Connect(d.GetType("wish_list_item_enabled")->GetGlobalNullItem());
    OnWishListItemAdded(item);
}

void SearchForm::SetWishRowsChecked(bool checked) {
    for (const ItemPtr& item : d.GetType("wish_list_item")->GetItems()) {
        QTreeWidgetItem* row = WishRowOf(item.HasItem("wish_list_node"));
        auto* box = row ? qobject_cast<QCheckBox*>(mp_ui->wishList->itemWidget(row, 0)) : nullptr;
        if (box)
            box->setChecked(checked);
    }
}

// Nothing registers these two; the check boxes follow the user's clicks.
void SearchForm::OnWishListItemEnabled(ItemPtr) {}

void SearchForm::OnWishListItemDisabled(ItemPtr) {}
