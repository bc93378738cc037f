#include "views/shares/DataDialog.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QListWidget>
#include <QSplitter>
#include <QTreeWidget>

DataDialog* dataDialog = nullptr;

namespace {
const char* const kPlaceholder = "~~unloaded~~";

QString ValueText(const ItemPtr& item) {
    return item.GetType()->IsNull() ? QString::number(item.GetId()) : item.AsString();
}

QString PartnerText(const ItemPtr& item) {
    const QString type = QString::fromStdString(item.GetType()->GetName());
    return item.GetType()->IsNull() ? "[" + type + ", null]" : "[" + type + "] " + item.AsString();
}
}  // namespace

DataDialog::DataDialog(Data* store, QWidget* parent)
    : QDialog(parent),
      mp_store(store),
      mp_typeSplitter(new QSplitter(Qt::Horizontal, this)),
      mp_typeList(new QTreeWidget),
      mp_itemList(new QListWidget),
      mp_itemTree(new QTreeWidget) {
    dataDialog = this;
    setWindowTitle("Dialog");
    setAttribute(Qt::WA_DeleteOnClose);
    resize(784, 417);
    (new QHBoxLayout(this))->addWidget(mp_typeSplitter);
    auto* itemSplitter = new QSplitter(Qt::Vertical);
    itemSplitter->addWidget(mp_itemList);
    itemSplitter->addWidget(mp_itemTree);
    mp_typeSplitter->addWidget(mp_typeList);
    mp_typeSplitter->addWidget(itemSplitter);
    mp_typeSplitter->setStretchFactor(0, 0);
    mp_typeSplitter->setStretchFactor(1, 1);
    mp_typeSplitter->setSizes({350, width() - 350});
    mp_typeList->setHeaderLabels({"Type", "", "#"});
    mp_typeList->setRootIsDecorated(false);
    mp_itemTree->setHeaderHidden(true);

    std::map<std::string, Type*> types;
    store->GetTypes(types);
    for (const auto& [name, type] : types) {
        auto* row = new QTreeWidgetItem(
            mp_typeList, {QString::fromStdString(name), type->IsNull() ? "null   " : "value   ",
                          QString::number(type->ItemCount())});
        m_typeRows[type] = row;
        m_rowTypes[row] = type;
    }
    mp_typeList->sortItems(0, Qt::AscendingOrder);
    // Once: kept sized to contents, every count change would measure every row.
    for (int column = 0; column < 3; ++column)
        mp_typeList->resizeColumnToContents(column);
    store->NewItemEvent().Insert(ItemHandler(this, &DataDialog::OnItemAdded));
    store->ItemRemovedEvent().Insert(ItemHandler(this, &DataDialog::OnItemRemoved));
    connect(mp_typeList, &QTreeWidget::itemSelectionChanged, this,
            &DataDialog::OnTypeItemSelectionChanged);
    connect(mp_itemList, &QListWidget::itemClicked, this, &DataDialog::OnItemClicked);
    connect(mp_itemTree, &QTreeWidget::itemExpanded, this, &DataDialog::OnDataSubItemExpanded);
}

DataDialog::~DataDialog() {
    DisableHandlers();
    if (dataDialog == this)
        dataDialog = nullptr;
}

void DataDialog::AddItemRow(const ItemPtr& item, bool sorted) {
    auto* row = new QListWidgetItem(ValueText(item));
    int at = mp_itemList->count();
    if (sorted) {
        // Binary search: letting the list re-sort costs a whole sort per row.
        int low = 0;
        while (low < at) {
            const int middle = (low + at) / 2;
            if (*mp_itemList->item(middle) < *row)
                low = middle + 1;
            else
                at = middle;
        }
    }
    mp_itemList->insertItem(at, row);
    m_itemRows[item] = row;
    m_rowItems[row] = item;
}

void DataDialog::OnTypeItemSelectionChanged() {
    const QList<QTreeWidgetItem*> selected = mp_typeList->selectedItems();
    if (selected.isEmpty())
        return;
    mp_listedType = nullptr;
    m_itemRows.clear();
    m_rowItems.clear();
    mp_itemList->clear();
    ClearTree();
    const auto type = m_rowTypes.find(selected.first());
    if (type == m_rowTypes.end())
        return;
    mp_listedType = type->second;
    for (const ItemPtr& item : mp_listedType->GetItems())
        AddItemRow(item, false);
    mp_itemList->sortItems(Qt::AscendingOrder);
}

void DataDialog::ClearTree() {
    m_shownItem = ItemPtr();
    m_itemTreeRows.clear();
    m_treeRowItems.clear();
    mp_itemTree->clear();
}

void DataDialog::RecordTreeRow(QTreeWidgetItem* row, const ItemPtr& item) {
    m_itemTreeRows[item].insert(row);
    m_treeRowItems[row] = item;
}

void DataDialog::OnItemClicked(QListWidgetItem* clicked) {
    const auto found = m_rowItems.find(clicked);
    if (found == m_rowItems.end())
        return;
    const ItemPtr item = found->second;
    ClearTree();
    m_shownItem = item;
    auto* top = new QTreeWidgetItem(mp_itemTree, {item.AsString()});
    RecordTreeRow(top, item);
    AddItemSubnodes(item, top, {item.GetType()});
    top->setExpanded(true);
}

void DataDialog::AddItemSubnodes(const ItemPtr& item, QTreeWidgetItem* parentRow,
                                 const std::set<Type*>& leftOut) {
    TypeItemsMap partners;
    item.GetConnectedItems(partners);
    for (auto it = partners.Begin(); it != partners.End(); ++it) {
        if (leftOut.count(it.GetType()))
            continue;
        for (const ItemPtr& partner : it.Set()) {
            auto* row = new QTreeWidgetItem(parentRow, {PartnerText(partner)});
            RecordTreeRow(row, partner);
            if (partner.GetItemObject()->LinkCount() > 0)
                new QTreeWidgetItem(row, {kPlaceholder});
        }
    }
}

void DataDialog::OnDataSubItemExpanded(QTreeWidgetItem* row) {
    if (row->childCount() != 1 || m_treeRowItems.count(row->child(0)))
        return;
    const auto found = m_treeRowItems.find(row);
    if (found == m_treeRowItems.end())
        return;
    const ItemPtr item = found->second;
    delete row->takeChild(0);
    AddItemSubnodes(item, row, {item.GetType()});
}

void DataDialog::OnItemAdded(ItemPtr item) {
    const auto row = m_typeRows.find(item.GetType());
    if (row == m_typeRows.end())
        return;
    row->second->setText(2, QString::number(item.GetType()->ItemCount()));
    if (item.GetType() == mp_listedType)
        AddItemRow(item, true);
}

// Forgets a row and everything under it, so that no later removal reaches a
// row that went with its parent.
void DataDialog::ForgetTreeRows(QTreeWidgetItem* row) {
    for (int k = 0; k < row->childCount(); ++k)
        ForgetTreeRows(row->child(k));
    const auto found = m_treeRowItems.find(row);
    if (found == m_treeRowItems.end())
        return;
    const auto rows = m_itemTreeRows.find(found->second);
    if (rows != m_itemTreeRows.end()) {
        rows->second.erase(row);
        if (rows->second.empty())
            m_itemTreeRows.erase(rows);
    }
    m_treeRowItems.erase(found);
}

void DataDialog::OnItemRemoved(ItemPtr item) {
    const auto typeRow = m_typeRows.find(item.GetType());
    if (typeRow != m_typeRows.end())
        typeRow->second->setText(2, QString::number(item.GetType()->ItemCount()));
    if (item.GetType() == mp_listedType) {
        const auto row = m_itemRows.find(item);
        if (row != m_itemRows.end()) {
            m_rowItems.erase(row->second);
            delete row->second;
            m_itemRows.erase(row);
        }
    }
    if (item == m_shownItem)
        ClearTree();
    const auto shown = m_itemTreeRows.find(item);
    if (shown == m_itemTreeRows.end())
        return;
    const std::set<QTreeWidgetItem*> rows = shown->second;
    for (QTreeWidgetItem* row : rows) {
        // A row under one deleted before is gone already, and forgotten.
        if (!m_treeRowItems.count(row))
            continue;
        ForgetTreeRows(row);
        delete row;
    }
}
