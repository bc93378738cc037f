#include "views/users/UserListModel.h"

#include <algorithm>

UserListItemWidget::UserListItemWidget(const QString& name) : m_key(name.toCaseFolded()) {
    m_texts[0] = name;
}

UserListModel::UserListModel(QObject* parent)
    : QAbstractTableModel(parent),
      m_onlineIcon(":/icons/online_icon"),
      m_offlineIcon(":/icons/offline_icon"),
      m_noteIcon(":/icons/note_icon") {}

UserListModel::~UserListModel() {
    for (Row* row : m_rows)
        delete row;
}

int UserListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(m_rows.size());
}

int UserListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : Row::kColumns;
}

// The index carries its row, so that the selection and the current row find
// their rows again after a merge.
QModelIndex UserListModel::index(int row, int column, const QModelIndex& parent) const {
    if (parent.isValid() || row < 0 || row >= rowCount() || column < 0 || column >= Row::kColumns)
        return QModelIndex();
    return createIndex(row, column, m_rows[std::size_t(row)]);
}

QVariant UserListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount())
        return QVariant();
    const Row& row = *m_rows[std::size_t(index.row())];
    if (role == Qt::DisplayRole)
        return row.m_texts[index.column()];
    if (role == Qt::DecorationRole) {
        if (index.column() == 0)
            return row.m_online ? m_onlineIcon : m_offlineIcon;
        if (index.column() == 4 && row.m_noteIcon)
            return m_noteIcon;
    }
    return QVariant();
}

QVariant UserListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    static const char* const titles[Row::kColumns] = {"User", "Files", "K/s", "Groups", "Note"};
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 &&
        section < Row::kColumns)
        return QString(titles[section]);
    return QAbstractTableModel::headerData(section, orientation, role);
}

Qt::ItemFlags UserListModel::flags(const QModelIndex& index) const {
    if (!index.isValid())
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

// A remembered place is used only once the list is seen to hold the row
// there. Otherwise, as rows are in order by their placed state, a binary
// search finds the run of rows equal to this one, among which it is.
int UserListModel::Place(const Row* row) const {
    if (!row->m_listed)
        return -1;
    if (row->m_row >= 0 && std::size_t(row->m_row) < m_rows.size() &&
        m_rows[std::size_t(row->m_row)] == row)
        return row->m_row;
    const auto before = [](const Row* a, const Row* b) { return Row::PlacedBefore(*a, *b); };
    auto it = std::lower_bound(m_rows.begin(), m_rows.end(), row, before);
    while (it != m_rows.end() && *it != row && !before(row, *it))
        ++it;
    if (it == m_rows.end() || *it != row) {
        // Only rows out of order bring us here: the row is looked for in
        // every place rather than lost, or left behind once deleted.
        it = std::find(m_rows.begin(), m_rows.end(), row);
        if (it == m_rows.end())
            return -1;
        static bool told = false;
        if (!std::exchange(told, true))
            qWarning("User list: a row out of order was found by a search of every row");
    }
    row->m_row = int(it - m_rows.begin());
    return row->m_row;
}

bool UserListModel::Follows(const Row& first) const {
    if (m_rows.empty())
        return true;
    const Row& last = *m_rows.back();
    return Row::InOrder(last.m_placedOnline, last.m_key, first.m_online, first.m_key);
}

void UserListModel::Append(const std::vector<Row*>& rows) {
    if (rows.empty())
        return;
    const int first = rowCount();
    beginInsertRows(QModelIndex(), first, first + int(rows.size()) - 1);
    for (Row* row : rows) {
        row->m_listed = true;
        row->m_placedOnline = row->m_online;
        row->m_row = int(m_rows.size());
        m_rows.push_back(row);
    }
    endInsertRows();
}

// Every row out of place is found while the list is still in order; then the
// new rows go in at the end, as the model may change its count only by rows
// inserted. All of them are taken out, sorted, and each finds its place
// among the others by a search from the last one's, so that the rows in
// between move as blocks of pointers.
void UserListModel::Merge(std::vector<Row*> fresh, std::size_t moved) {
    moved = std::min(moved, m_moved.size());
    if (fresh.empty() && moved == 0)
        return;
    std::vector<int> out;
    out.reserve(moved + fresh.size());
    // Found by their old order before any leaves it.
    for (std::size_t i = 0; i < moved; ++i) {
        const int at = Place(m_moved[i]);
        if (at >= 0)
            out.push_back(at);
    }
    for (std::size_t i = 0; i < moved; ++i) {
        m_moved[i]->m_moved = false;
        m_moved[i]->m_placedOnline = m_moved[i]->m_online;
    }
    m_moved.erase(m_moved.begin(), m_moved.begin() + std::ptrdiff_t(moved));
    Append(fresh);
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    for (std::size_t i = m_rows.size() - fresh.size(); i < m_rows.size(); ++i)
        out.push_back(int(i));
    std::sort(out.begin(), out.end());
    std::vector<Row*> placing;
    std::vector<Row*> kept;
    placing.reserve(out.size());
    kept.reserve(m_rows.size() - out.size());
    int from = 0;
    for (int at : out) {
        kept.insert(kept.end(), m_rows.begin() + from, m_rows.begin() + at);
        placing.push_back(m_rows[std::size_t(at)]);
        from = at + 1;
    }
    kept.insert(kept.end(), m_rows.begin() + from, m_rows.end());
    const auto before = [](const Row* a, const Row* b) { return Row::PlacedBefore(*a, *b); };
    std::stable_sort(placing.begin(), placing.end(), before);

    std::vector<Row*> rows;
    rows.reserve(m_rows.size());
    auto next = kept.begin();
    for (Row* row : placing) {
        // Steps that double from the last place, then a binary search
        // between the last two: the rows read are few where the new rows lie
        // close, and never many more than a search of the whole list.
        auto low = next, high = next;
        for (std::ptrdiff_t step = 1; high != kept.end() && !before(row, *high); step *= 2) {
            low = high + 1;
            high = kept.end() - low > step ? low + step : kept.end();
        }
        const auto at = std::upper_bound(low, high, row, before);
        rows.insert(rows.end(), next, at);
        row->m_row = int(rows.size());
        rows.push_back(row);
        next = at;
    }
    rows.insert(rows.end(), next, kept.end());
    m_rows.swap(rows);

    const QModelIndexList old = persistentIndexList();
    QModelIndexList now;
    now.reserve(old.size());
    for (const QModelIndex& index : old) {
        const int at = Place(static_cast<const Row*>(index.internalPointer()));
        now << (at < 0 ? QModelIndex() : createIndex(at, index.column(), index.internalPointer()));
    }
    changePersistentIndexList(old, now);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void UserListModel::Remove(Row* row) {
    if (row->m_moved) {
        m_moved.erase(std::find(m_moved.begin(), m_moved.end(), row));
        row->m_moved = false;
    }
    const int at = Place(row);
    if (at < 0)
        return;
    beginRemoveRows(QModelIndex(), at, at);
    m_rows.erase(m_rows.begin() + at);
    row->m_listed = false;
    endRemoveRows();
}

void UserListModel::Changed(Row* row, int column, int role) {
    const int at = Place(row);
    if (at < 0)
        return;
    const QModelIndex cell = createIndex(at, column, row);
    emit dataChanged(cell, cell, {role});
}

void UserListModel::SetText(Row* row, int column, const QString& text) {
    if (row->m_texts[column] == text)
        return;
    row->m_texts[column] = text;
    Changed(row, column, Qt::DisplayRole);
}

void UserListModel::SetNoteIcon(Row* row, bool shown) {
    if (row->m_noteIcon == shown)
        return;
    row->m_noteIcon = shown;
    Changed(row, 4, Qt::DecorationRole);
}

void UserListModel::SetOnline(Row* row, bool online) {
    if (row->m_online == online)
        return;
    row->m_online = online;
    Changed(row, 0, Qt::DecorationRole);
    if (row->m_listed && !row->m_moved) {
        row->m_moved = true;
        m_moved.push_back(row);
    }
}
