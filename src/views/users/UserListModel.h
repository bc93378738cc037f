#ifndef TAVENOOK_VIEWS_USERS_USERLISTMODEL_H
#define TAVENOOK_VIEWS_USERS_USERLISTMODEL_H

#include <QAbstractTableModel>
#include <QIcon>
#include <QString>
#include <vector>

// A row of the user list: online users first, then by name without case.
// The row keeps its user's state and its cells, so that a sort of many rows
// asks the store nothing.
class UserListItemWidget {
public:
    explicit UserListItemWidget(const QString& name);
    const QString& Text(int column) const { return m_texts[column]; }
    bool Online() const { return m_online; }
    bool Listed() const { return m_listed; }
    // Gone on or offline since it was placed: it keeps its old place until
    // a merge takes it.
    bool Moved() const { return m_moved; }

    static constexpr int kColumns = 5;

private:
    friend class UserListModel;
    static bool InOrder(bool onlineA, const QString& keyA, bool onlineB, const QString& keyB) {
        return onlineA != onlineB ? onlineA : keyA < keyB;
    }
    // The order the row has in the list: by its state when it was placed.
    static bool PlacedBefore(const UserListItemWidget& a, const UserListItemWidget& b) {
        return InOrder(a.m_placedOnline, a.m_key, b.m_placedOnline, b.m_key);
    }
    QString m_texts[kColumns];
    QString m_key;  // the name case-folded
    // Where the row was last seen: a hint, read only after the list is
    // checked to hold the row there.
    mutable int m_row = -1;
    bool m_listed = false;
    bool m_online = false;
    bool m_placedOnline = false;
    bool m_moved = false;  // gone on or offline since it was placed
    bool m_noteIcon = false;
};

// The rows of the user list, in order. A view lays out nothing per row of a
// table, so that rows going in or moving cost the list's pointers and no
// more: rows made in order go in after the last, the rest are merged in one
// pass of block copies. No row is told its new place: a row's place is
// looked up when needed, by a binary search.
class UserListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    using Row = UserListItemWidget;
    explicit UserListModel(QObject* parent = nullptr);
    ~UserListModel() override;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QModelIndex index(int row, int column,
                      const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    Row* At(int row) const { return m_rows[std::size_t(row)]; }
    // The row's place in the list, or -1 when it is not in it.
    int Place(const Row* row) const;
    bool HasMoved() const { return !m_moved.empty(); }
    // Whether `first` sorts after every row: rows from it on may be appended.
    bool Follows(const Row& first) const;

    // Rows in order, from one that Follows(); the model owns them.
    void Append(const std::vector<Row*>& rows);
    // New rows, in any order, and at most `moved` rows gone on or offline go
    // to their places; the selection and the current row stay with their
    // rows.
    void Merge(std::vector<Row*> fresh, std::size_t moved);
    // Takes the row out; the caller deletes it.
    void Remove(Row* row);

    // Cells of rows in the list or not; the view repaints those it shows.
    void SetText(Row* row, int column, const QString& text);
    void SetNoteIcon(Row* row, bool shown);
    // A listed row out of place goes to its place at the next merge.
    void SetOnline(Row* row, bool online);

private:
    void Changed(Row* row, int column, int role);

    std::vector<Row*> m_rows;
    std::vector<Row*> m_moved;
    const QIcon m_onlineIcon;
    const QIcon m_offlineIcon;
    const QIcon m_noteIcon;
};

#endif
