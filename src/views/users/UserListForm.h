#ifndef TAVENOOK_VIEWS_USERS_USERLISTFORM_H
#define TAVENOOK_VIEWS_USERS_USERLISTFORM_H

#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>
#include <vector>

#include "store/Data.h"
#include "views/users/UserListModel.h"

class QAbstractItemView;
class QModelIndex;
class QTabWidget;
class QTableView;
class QTreeWidget;
class QTreeWidgetItem;
class TabWidget;
class UserInfoForm;

// The user list page: the own list, unshared, ignored and online-alert users,
// and the information pages of other users. Every row mirrors the store.
class UserListForm : public QWidget, public DataHandler, public DataLoadedEventHandler {
    Q_OBJECT
public:
    explicit UserListForm(QWidget* parent = nullptr);
    ~UserListForm() override;
    void Init();
    void DataLoaded() override;

    QTableView* List() const { return mp_list; }
    UserListModel* Model() const { return mp_model; }
    // A burst of changes waits at least this long between two sorts.
    static constexpr int kSortIntervalMs = 500;
    // New rows merged into the list at most at a time.
    static constexpr int kMergeRows = 20000;
    // Fewer, down to kMinMergeRows, while a merge takes longer than this.
    static constexpr int kMinMergeRows = 1000;
    static constexpr qint64 kMergeBudgetMs = 10;
    // The rows of a loaded list are made after the window shows, for about
    // this long a turn.
    static constexpr int kFillSliceMs = 10;
    // Listed users whose rows are still to be made after a load.
    int UnmadeRows() const { return int(m_unmade.size() - m_unmadeNext); }
    QTreeWidget* UnsharedList() const { return mp_unsharedList; }
    QTreeWidget* IgnoredList() const { return mp_ignoredList; }
    QTreeWidget* OnlineAlertList() const { return mp_onlineAlertList; }
    QTabWidget* UserInfoTabs() const { return mp_userInfoTabs; }

    void UpdateUserGroupsDisplay(QString user);
    UserInfoForm* GetUserInfoForm(QString user);
    // What the tool bar's and the main window's actions call.
    void OpenAddUserDialog();
    void OpenUserGroupConfigDialog();
    void OpenMessageUsersDialog();
    // The user's groups dialog: no parent, so it outlives any menu or page.
    static void OpenUserGroupsDialog(QString user);

public slots:
    void OnConnected();
    void OnUserItemDoubleClicked(const QModelIndex& index);
    void OnActionBarTriggered(QWidget* widget, QString action);
    void OnUserInfoRequested(QString user);
    void OnUserInfoTabCloseRequested(int index);

private:
    void OnUserOnline(ItemPtr user);
    void OnUserOffline(ItemPtr user);
    void OnUserAddedToList(ItemPtr user);
    void OnUserRemovedFromList(ItemPtr user);
    void OnUserUnshared(ItemPtr user);
    void OnUserReshared(ItemPtr user);
    void OnUserIgnored(ItemPtr user);
    void OnUserUnignored(ItemPtr user);
    void OnUserNoteChanged(ItemPtr user);
    void OnUserNoteRemoved(ItemPtr user);
    void OnUserOnlineAlertAdded(ItemPtr user);
    void OnUserOnlineAlertRemoved(ItemPtr user);
    void OnUserGroupChanged(ItemPtr user);
    void OnUserSharedFileCount(ItemPtr user);
    void OnUserAverageSpeed(ItemPtr user);

    QTreeWidget* NewList(const char* name, const QStringList& headers, QWidget* page);
    QTableView* NewListedView(QWidget* page);
    UserListItemWidget* MakeListedRow(ItemPtr user);
    void AddListedRow(ItemPtr user);
    void FillSlice();
    // Without `icon` the cell's icon stays.
    void SetCell(QTreeWidgetItem* row, int column, const QString& text,
                 const QIcon* icon = nullptr);
    void AddPlainRow(ItemPtr user, QTreeWidget* list, const char* nodeType);
    void RemoveRow(ItemPtr user, const char* nodeType);
    void SetNoteCell(ItemPtr user, const char* nodeType, int column, bool clear);
    void ConnectContextMenu(QAbstractItemView* list);
    void ScheduleSort();
    void Sort();
    void MergePendingRows(int limit);

    TabWidget* mp_tabs;
    QTableView* mp_list;
    UserListModel* mp_model;
    QTabWidget* mp_userInfoTabs;
    QTreeWidget* mp_unsharedList;
    QTreeWidget* mp_ignoredList;
    QTreeWidget* mp_onlineAlertList;
    // Rows added or gone on or offline in a burst are sorted together.
    std::vector<UserListItemWidget*> m_pendingRows;  // made, not yet in the list
    QTimer m_sortTimer;
    QElapsedTimer m_sinceSort;
    int m_mergeRows = kMergeRows;
    // The loaded list, in the order its rows go in, and the next to make.
    std::vector<ItemPtr> m_unmade;
    std::size_t m_unmadeNext = 0;
    std::vector<UserListItemWidget*> m_fillRun;  // made, in order, not yet in the list
    QTimer m_fillTimer;
};

// The row tied to a user by its node item of nodeType, or null: of the
// unshared, ignored and online-alert lists.
QTreeWidgetItem* UserRow(const ItemPtr& user, const char* nodeType);
// The user's row of the user list, made and maybe not yet in it, or null.
UserListItemWidget* ListedRow(const ItemPtr& user);

// The UTF-8 text cut to at most maxBytes, between characters.
QByteArray CutUtf8(QByteArray text, int maxBytes);

extern UserListForm* userListForm;

#endif
