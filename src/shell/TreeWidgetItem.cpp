#include "shell/TreeWidgetItem.h"

#include <QRegularExpression>

ColumnSortingModel::ColumnSortingInfo ColumnSortingModel::GetColumnInfo(int column) const {
    const auto it = m_columns.find(column);
    return it == m_columns.end() ? ColumnSortingInfo() : it->second;
}

bool ColumnSortingModel::IsSortingReversed(int column) const {
    return GetColumnInfo(column).reversed;
}

bool ColumnSortingModel::IsSortingNumeric(int column) const {
    return GetColumnInfo(column).kind == 1;
}

ColumnSortingModel::ColumnSortingInfo& ColumnSortingModel::GetColumnInfoReference(int column) {
    return m_columns[column];
}

void ColumnSortingModel::SetColumnSortingNumeric(int column) {
    GetColumnInfoReference(column).kind = 1;
}

void ColumnSortingModel::SetColumnSortingReversed(int column) {
    GetColumnInfoReference(column).reversed = true;
}

TreeWidgetItem::TreeWidgetItem(QTreeWidget* parent) : QTreeWidgetItem(parent) {}

void TreeWidgetItem::SetSortingModel(ColumnSortingModel* model) {
    mp_model = model;
}

namespace {
// Every digit of the text joined; empty or too large reads as 0.
qint64 DigitsValue(const QString& text) {
    static const QRegularExpression nonDigits("[^0-9]+");
    QString digits = text;
    digits.remove(nonDigits);
    bool ok = false;
    const qint64 value = digits.toLongLong(&ok);
    return ok ? value : 0;
}
}  // namespace

bool TreeWidgetItem::operator<(const QTreeWidgetItem& other) const {
    const QTreeWidget* list = treeWidget();
    const int column = list ? list->sortColumn() : 0;
    QString a = text(column);
    QString b = other.text(column);
    if (!mp_model)
        return a < b;
    if (mp_model->IsSortingReversed(column))
        std::swap(a, b);
    if (mp_model->IsSortingNumeric(column))
        return DigitsValue(a) < DigitsValue(b);
    return a < b;
}
