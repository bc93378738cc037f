#ifndef TAVENOOK_SHELL_TREEWIDGETITEM_H
#define TAVENOOK_SHELL_TREEWIDGETITEM_H

#include <QTreeWidgetItem>
#include <map>

// How the columns of one list sort: text order unless marked numeric, and
// in the list's direction unless marked reversed. Marks are never removed.
class ColumnSortingModel {
public:
    struct ColumnSortingInfo {
        int kind = 0;  // 0 text, 1 numeric
        bool reversed = false;
    };

    ColumnSortingInfo GetColumnInfo(int column) const;
    bool IsSortingReversed(int column) const;
    bool IsSortingNumeric(int column) const;
    ColumnSortingInfo& GetColumnInfoReference(int column);
    void SetColumnSortingNumeric(int column);
    void SetColumnSortingReversed(int column);

private:
    std::map<int, ColumnSortingInfo> m_columns;
};

// A list row that sorts by its model's rules; no model means text order.
class TreeWidgetItem : public QTreeWidgetItem {
public:
    explicit TreeWidgetItem(QTreeWidget* parent = nullptr);

    void SetSortingModel(ColumnSortingModel* model);
    bool operator<(const QTreeWidgetItem& other) const override;

private:
    ColumnSortingModel* mp_model = nullptr;
};

#endif
