#ifndef TAVENOOK_VIEWS_SHARES_DATADIALOG_H
#define TAVENOOK_VIEWS_SHARES_DATADIALOG_H

#include <QDialog>
#include <map>
#include <set>

#include "store/Data.h"

class QListWidget;
class QListWidgetItem;
class QSplitter;
class QTreeWidget;
class QTreeWidgetItem;

// A live browser of the item store: every type with its count, the items of
// the chosen type and a lazily built tree of one item's connections. It
// follows items being created and removed while open. At most one exists
// (dataDialog); it deletes itself when closed.
class DataDialog : public QDialog, public DataHandler {
    Q_OBJECT
public:
    DataDialog(Data* store, QWidget* parent = nullptr);
    ~DataDialog() override;

    QTreeWidget* TypeList() const { return mp_typeList; }
    QListWidget* ItemList() const { return mp_itemList; }
    QTreeWidget* ItemTree() const { return mp_itemTree; }
    // Rows of the connection tree still recorded, for any item.
    std::size_t TreeRowCount() const { return m_treeRowItems.size(); }

    void AddItemSubnodes(const ItemPtr& item, QTreeWidgetItem* parentRow,
                         const std::set<Type*>& leftOut);

public slots:
    void OnTypeItemSelectionChanged();
    void OnItemClicked(QListWidgetItem* row);
    void OnDataSubItemExpanded(QTreeWidgetItem* row);

private:
    void OnItemAdded(ItemPtr item);
    void OnItemRemoved(ItemPtr item);
    // The item list is kept sorted by text.
    void AddItemRow(const ItemPtr& item, bool sorted);
    void ClearTree();
    void RecordTreeRow(QTreeWidgetItem* row, const ItemPtr& item);
    void ForgetTreeRows(QTreeWidgetItem* row);

    Data* mp_store;
    QSplitter* mp_typeSplitter;
    QTreeWidget* mp_typeList;
    QListWidget* mp_itemList;
    QTreeWidget* mp_itemTree;
    std::map<Type*, QTreeWidgetItem*> m_typeRows;
    std::map<QTreeWidgetItem*, Type*> m_rowTypes;
    Type* mp_listedType = nullptr;
    std::map<ItemPtr, QListWidgetItem*> m_itemRows;
    std::map<QListWidgetItem*, ItemPtr> m_rowItems;
    ItemPtr m_shownItem;
    std::map<ItemPtr, std::set<QTreeWidgetItem*>> m_itemTreeRows;
    std::map<QTreeWidgetItem*, ItemPtr> m_treeRowItems;
};

extern DataDialog* dataDialog;

#endif
