#include "views/users/UserListForm.h"

#include <QElapsedTimer>
#include <QFile>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelection>
#include <QMenu>
#include <QScrollBar>
#include <QSet>
#include <QSignalBlocker>
#include <QTimer>
#include <QTreeWidget>
#include <algorithm>
#include <iterator>
#include <utility>

#include "net/PeerLimits.h"
#include "net/PeerMessenger.h"
#include "net/server.h"
#include "shell/ActionSetToolBar.h"
#include "shell/ColumnWidths.h"
#include "shell/EventToolBar.h"
#include "shell/FocusWidget.h"
#include "shell/Prompts.h"
#include "shell/SizeManager.h"
#include "shell/TabWidget.h"
#include "store/DataSaver.h"
#include "store/GeneralFunctions.h"
#include "store/Log.h"
#include "store/MemStream.h"
#include "store/PlainFile.h"
#include "store/Settings.h"
#include "transfers/TransferQueueManager.h"
#include "views/chat/ChatsForm.h"
#include "views/chat/MessageUsersDialog.h"
#include "views/users/AddUserDialog.h"
#include "views/users/UserGroupsDialog.h"
#include "views/users/UserInfoForm.h"
#include "views/users/UserMenuOptions.h"

UserListForm* userListForm = nullptr;

namespace {

constexpr const char* kOnline = ":/icons/online_icon";
constexpr const char* kOffline = ":/icons/offline_icon";
constexpr const char* kNote = ":/icons/note_icon";
constexpr quint32 kUserInfoReply = 16;

bool IsOnline(const ItemPtr& user) {
    return !user.IsNull() && user.IsConnected("is_online");
}

// Counts and speeds read in full, however large; the width a column has is
// the least, so a wider saved width stays.
void FitNumberColumns(QTreeWidget* list) {
    list->setColumnWidth(1,
                         FittingColumnWidth(list, 1, list->columnWidth(1), {LargestCountText()}));
    list->setColumnWidth(2,
                         FittingColumnWidth(list, 2, list->columnWidth(2), {LargestSpeedText()}));
}

}  // namespace

// A cut inside a multi-byte sequence would make the whole text unreadable to
// the receiver, so the cut backs off to the start of that character.
QByteArray CutUtf8(QByteArray text, int maxBytes) {
    if (text.size() <= maxBytes)
        return text;
    int end = std::max(maxBytes, 0);
    while (end > 0 && (quint8(text[end]) & 0xC0) == 0x80)
        --end;
    text.truncate(end);
    return text;
}

QTreeWidgetItem* UserRow(const ItemPtr& user, const char* nodeType) {
    if (user.IsNull() || !d.FindType(nodeType))
        return nullptr;
    ItemPtr node = user[nodeType];
    return node.IsNull() ? nullptr : reinterpret_cast<QTreeWidgetItem*>(node.AsUInt64());
}

UserListItemWidget::UserListItemWidget(const QString& name)
    : QTreeWidgetItem(kType), m_key(name.toCaseFolded()) {
    setText(0, name);
    // Spares the view a look for children and expansion at each row of every
    // layout, which it lays out whole after each change of rows.
    setFlags(flags() | Qt::ItemNeverHasChildren);
}

bool UserListItemWidget::operator<(const QTreeWidgetItem& other) const {
    if (other.type() != kType)
        return QTreeWidgetItem::operator<(other);
    return Before(*this, static_cast<const UserListItemWidget&>(other));
}

UserListForm::UserListForm(QWidget* parent)
    : QWidget(parent),
      mp_tabs(new TabWidget(this)),
      m_onlineIcon(kOnline),
      m_offlineIcon(kOffline) {
    resize(570, 401);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    mp_tabs->setObjectName("tabWidget");
    layout->addWidget(mp_tabs);
    auto page = [this](const char* name, const QString& title) {
        auto* widget = new QWidget;
        widget->setObjectName(name);
        new QHBoxLayout(widget);
        mp_tabs->addTab(widget, title);
        return widget;
    };
    QWidget* listTab = page("userListTab", "User List");
    mp_list = NewList("userList", {"User", "Files", "K/s", "Groups", "Note"}, listTab);
    QWidget* infoPage = page("userInfoPage", "User Info");
    mp_userInfoTabs = new QTabWidget(infoPage);
    mp_userInfoTabs->setObjectName("userInfoTabs");
    mp_userInfoTabs->setTabsClosable(true);
    mp_userInfoTabs->setMovable(true);
    infoPage->layout()->addWidget(mp_userInfoTabs);
    mp_unsharedList =
        NewList("unsharedList", {"User", "Note"}, page("unsharedListTab", "Unshared"));
    mp_ignoredList = NewList("ignoredList", {"User", "Note"}, page("tab", "Ignored"));
    mp_onlineAlertList =
        NewList("onlineAlertList", {"User"}, page("onlineAlertsTab", "Online Alerts"));
    mp_tabs->setCurrentIndex(0);
    // Rows of one line each: the view then finds a row's place and the
    // scroll range without asking every row above it for its height, which
    // a change to any row of a long list would otherwise cost.
    mp_list->setUniformRowHeights(true);
    const int widths[] = {200, 80, 60, 300, 300};
    for (int i = 0; i < 5; ++i)
        mp_list->setColumnWidth(i, widths[i]);
    FitNumberColumns(mp_list);
    for (QTreeWidget* list : {mp_unsharedList, mp_ignoredList, mp_onlineAlertList})
        list->setColumnWidth(0, 200);
    for (QTreeWidget* list : {mp_list, mp_unsharedList, mp_ignoredList}) {
        connect(list, &QTreeWidget::itemDoubleClicked, this,
                &UserListForm::OnUserItemDoubleClicked);
    }
    for (QTreeWidget* list : {mp_list, mp_unsharedList, mp_ignoredList, mp_onlineAlertList}) {
        ConnectContextMenu(list);
        RegisterWidgetForTabFocus(list, 1);
    }
    m_sortTimer.setSingleShot(true);
    connect(&m_sortTimer, &QTimer::timeout, this, &UserListForm::Sort);
    m_fillTimer.setSingleShot(true);
    connect(&m_fillTimer, &QTimer::timeout, this, &UserListForm::FillSlice);
    userListForm = this;
}

UserListForm::~UserListForm() {
    DisableHandlers();
    qDeleteAll(m_pendingRows);
    qDeleteAll(m_fillRun);
    if (userListForm == this)
        userListForm = nullptr;
}

QTreeWidget* UserListForm::NewList(const char* name, const QStringList& headers, QWidget* page) {
    auto* list = new QTreeWidget(page);
    list->setObjectName(name);
    list->setHeaderLabels(headers);
    list->setContextMenuPolicy(Qt::CustomContextMenu);
    list->setRootIsDecorated(false);
    list->setSortingEnabled(false);
    list->header()->setStretchLastSection(true);
    page->layout()->addWidget(list);
    return list;
}

void UserListForm::ConnectContextMenu(QTreeWidget* list) {
    connect(list, &QWidget::customContextMenuRequested, this, [list](const QPoint& pos) {
        QTreeWidgetItem* row = list->itemAt(pos);
        if (!row)
            return;
        QMenu menu;
        UserMenuOptions options(&menu, row->text(0));
        prompts::ExecMenu(&menu, list->viewport()->mapToGlobal(pos));
    });
}

void UserListForm::Init() {
    if (!d.FindType("user_online_alert")) {
        d.NewType("user_online_alert", PrimacyLeaf, true, true)
            ->RelateToType(d.GetType("user"), One, Many, false);
    }
    if (dataSaver) {
        dataSaver->AddSavedType("user_online_alert");
        dataSaver->AddSavedByConnectionType("user", "user_online_alert");
        dataSaver->AddDataLoadedEventHandler(this);
    }
    if (gp_server)
        connect(gp_server, &Server::Connected, this, &UserListForm::OnConnected);
}

void UserListForm::DataLoaded() {
    Type* userType = d.GetType("user");
    for (const char* node : {"user_list_node", "unshared_list_node", "ignored_list_node",
                             "online_alert_list_node", "user_info_form"}) {
        if (!d.FindType(node))
            d.NewType(node, PrimacyRoot, false, true)->RelateToType(userType, One, One, false);
    }
    // The rows are made once the window shows, a slice a turn, in the order
    // they are listed (no one is online yet): the window is on screen and
    // answers at once, however long the list.
    std::vector<std::pair<QString, ItemPtr>> keyed;
    for (ItemPtr user : d.GetType("in_user_list")->GetItems().GetItems("user"))
        keyed.emplace_back(user.AsString().toCaseFolded(), user);
    std::sort(keyed.begin(), keyed.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    m_unmade.reserve(keyed.size());
    for (auto& [key, user] : keyed)
        m_unmade.push_back(std::move(user));
    if (!m_unmade.empty())
        m_fillTimer.start(0);
    for (ItemPtr user : d.GetType("unshared")->GetItems().GetItems("user"))
        AddPlainRow(user, mp_unsharedList, "unshared_list_node");
    mp_unsharedList->setSortingEnabled(true);
    for (ItemPtr user : d.GetType("is_ignored")->GetItems().GetItems("user"))
        AddPlainRow(user, mp_ignoredList, "ignored_list_node");
    mp_ignoredList->setSortingEnabled(true);
    const ItemSet alerted = d.GetType("user_online_alert")->GetItems().GetItems("user");
    for (ItemPtr user : alerted)
        OnUserOnlineAlertAdded(user);

    using Member = void (UserListForm::*)(ItemPtr);
    struct Simple {
        const char* type;
        PathNodeRelation relation;
        Member member;
    };
    const Simple simple[] = {
        {"is_online", PathConnecting, &UserListForm::OnUserOnline},
        {"is_online", PathDisconnecting, &UserListForm::OnUserOffline},
        {"in_user_list", PathConnecting, &UserListForm::OnUserAddedToList},
        {"in_user_list", PathDisconnecting, &UserListForm::OnUserRemovedFromList},
        {"unshared", PathConnecting, &UserListForm::OnUserUnshared},
        {"unshared", PathDisconnecting, &UserListForm::OnUserReshared},
        {"is_ignored", PathConnecting, &UserListForm::OnUserIgnored},
        {"is_ignored", PathDisconnecting, &UserListForm::OnUserUnignored},
        {"user_note", PathConnecting, &UserListForm::OnUserNoteChanged},
        {"user_note", PathDisconnecting, &UserListForm::OnUserNoteRemoved},
        {"user_online_alert", PathConnecting, &UserListForm::OnUserOnlineAlertAdded},
        {"user_online_alert", PathDisconnecting, &UserListForm::OnUserOnlineAlertRemoved}};
    for (const Simple& s : simple) {
        auto* root = new PathNode(&d, "user");
        new PathNode(root, s.type, s.relation);
        d.AddPathEventHandler(root, ItemHandler(this, s.member));
    }
    if (actionBar) {
        actionBar->AddSetAction("user_list", "manual_add_user", "Add User", ":/icons/add_user_icon",
                                false);
        actionBar->AddSetAction("user_list", "configure_user_groups", "Configure User Groups",
                                ":/icons/users_icon", false);
        actionBar->AddSetAction("user_list", "message_users", "Message Users", ":/icons/chat_icon",
                                false);
        actionBar->RegisterWidget(mp_tabs->widget(0), "user_list");
        connect(actionBar, &ActionSetToolBar::ActionTriggered, this,
                &UserListForm::OnActionBarTriggered);
    }
    for (PathNodeRelation relation : {PathConnecting, PathDisconnecting}) {
        auto* root = new PathNode(&d, "user");
        auto* listed = new PathNode(root, "in_user_list", PathConnected);
        new PathNode(listed, "user_list_group", relation);
        d.AddPathEventHandler(root, ItemHandler(this, &UserListForm::OnUserGroupChanged));
    }
    if (sizeManager) {
        sizeManager->RegisterTreeWidget("user_list", mp_list);
        FitNumberColumns(mp_list);
    }
    connect(mp_userInfoTabs, &QTabWidget::tabCloseRequested, this,
            &UserListForm::OnUserInfoTabCloseRequested);
    if (peerMessenger) {
        connect(peerMessenger, &PeerMessenger::UserInfoRequested, this,
                &UserListForm::OnUserInfoRequested);
    }
    if (gp_server) {
        for (ItemPtr user : alerted)
            gp_server->TrackUser(user.AsString());
    }
    const std::pair<const char*, Member> stats[] = {
        {"shared_file_count", &UserListForm::OnUserSharedFileCount},
        {"average_download_speed", &UserListForm::OnUserAverageSpeed}};
    for (const auto& [type, member] : stats) {
        auto* root = new PathNode(&d, "user");
        new PathNode(root, "in_user_list", PathConnectedWatched);
        new PathNode(root, type, PathConnectedWatched);
        d.AddPathEventHandler(root, ItemHandler(this, member));
    }
}

UserListItemWidget* UserListForm::MakeListedRow(ItemPtr user) {
    const QString name = user.AsString();
    auto* row = new UserListItemWidget(name);
    SetOnlineIcon(row, false);
    user.Connect(d.GetType("user_list_node")->GetItem(row));
    if (gp_server)
        gp_server->TrackUser(name);
    UpdateUserGroupsDisplay(name);
    SetNoteCell(user, "user_list_node", 4, false);
    return row;
}

void UserListForm::AddListedRow(ItemPtr user) {
    m_pendingRows << MakeListedRow(user);
}

// Makes the rows of the loaded list for about kFillSliceMs. They come in
// order, so they go in after the rows listed already, which costs only them;
// a row that cannot (its user is online, or a user added meanwhile sorts
// after it) is merged as any new row is. They go in by the merge's count:
// each change of rows costs the view a layout of the whole list.
void UserListForm::FillSlice() {
    QElapsedTimer clock;
    clock.start();
    QList<QTreeWidgetItem*>& run = m_fillRun;
    for (int made = 0; m_unmadeNext < m_unmade.size() && run.size() < kMergeRows;) {
        const ItemPtr user = m_unmade[m_unmadeNext++];
        if (user.IsRemoved() || !user.IsConnected("in_user_list") ||
            UserRow(user, "user_list_node"))
            continue;
        UserListItemWidget* row = MakeListedRow(user);
        OnUserSharedFileCount(user);
        OnUserAverageSpeed(user);
        if (IsOnline(user)) {
            SetOnlineIcon(row, true);
            m_pendingRows << row;
        } else {
            run << row;
        }
        // The clock is read now and then: a row costs microseconds.
        if (++made % 64 == 0 && clock.elapsed() >= kFillSliceMs)
            break;
    }
    const bool last = m_unmadeNext >= m_unmade.size();
    if (!run.isEmpty() && (last || run.size() >= kMergeRows)) {
        // A user who came online while the row waited belongs among the
        // online rows, not at the run's place.
        const auto online = std::stable_partition(run.begin(), run.end(), [](QTreeWidgetItem* row) {
            return !static_cast<UserListItemWidget*>(row)->Online();
        });
        for (auto it = online; it != run.end(); ++it)
            m_pendingRows << *it;
        run.erase(online, run.end());
        // The last row in its place; those marked moved leave at the next merge.
        QTreeWidgetItem* root = mp_list->invisibleRootItem();
        int placed = root->childCount() - 1;
        while (placed >= 0 && static_cast<UserListItemWidget*>(root->child(placed))->Moved())
            --placed;
        const bool follows =
            !run.isEmpty() &&
            (placed < 0 ||
             UserListItemWidget::Before(*static_cast<UserListItemWidget*>(root->child(placed)),
                                        *static_cast<UserListItemWidget*>(run.first())));
        if (follows)
            mp_list->addTopLevelItems(run);
        else
            m_pendingRows += run;
        run.clear();
    }
    if (!last) {
        m_fillTimer.start(0);
    } else {
        m_unmade = std::vector<ItemPtr>();
        m_unmadeNext = 0;
    }
    if (!m_pendingRows.isEmpty())
        ScheduleSort();
}

void UserListForm::AddPlainRow(ItemPtr user, QTreeWidget* list, const char* nodeType) {
    auto* row = new QTreeWidgetItem(list);
    row->setText(0, user.AsString());
    user.Connect(d.GetType(nodeType)->GetItem(row));
    SetNoteCell(user, nodeType, 1, false);
}

void UserListForm::RemoveRow(ItemPtr user, const char* nodeType) {
    ItemPtr node = user[nodeType];
    if (node.IsNull())
        return;
    auto* row = reinterpret_cast<QTreeWidgetItem*>(node.AsUInt64());
    if (!row->treeWidget()) {
        m_pendingRows.removeOne(row);
        m_fillRun.removeOne(row);
    } else if (row->type() == UserListItemWidget::kType &&
               static_cast<UserListItemWidget*>(row)->Moved()) {
        m_movedRows.removeOne(row);
    }
    delete row;
    node.Remove();
}

// A cell changed through the row makes the view look the row up among all
// it shows, one by one from the last it looked at: for answers about many
// users in no order that costs the whole list each. So the view is not told;
// the rows on screen are painted anew after the turn instead.
void UserListForm::SetListedCell(QTreeWidgetItem* row, int column, const QString& text,
                                 const QIcon* icon) {
    const auto set = [&] {
        row->setText(column, text);
        if (icon)
            row->setIcon(column, *icon);
    };
    if (row->treeWidget() != mp_list) {
        set();
        return;
    }
    {
        QSignalBlocker quiet(mp_list->model());
        set();
    }
    mp_list->viewport()->update();
}

void UserListForm::SetOnlineIcon(QTreeWidgetItem* row, bool online) {
    SetListedCell(row, 0, row->text(0), online ? &m_onlineIcon : &m_offlineIcon);
    if (row->type() != UserListItemWidget::kType)
        return;
    auto* listed = static_cast<UserListItemWidget*>(row);
    if (listed->Online() == online)
        return;
    listed->SetOnline(online);
    // A listed row out of place goes back in with the next merge.
    if (row->treeWidget() && !listed->Moved()) {
        listed->SetMoved(true);
        m_movedRows << row;
    }
}

// Each merge costs the whole list, and so does the view's layout after it:
// a change after a quiet spell is shown at once, but the rows of a burst of
// added users and the state changes of a burst go in together, at most once
// each interval.
void UserListForm::ScheduleSort() {
    if (m_sortTimer.isActive())
        return;
    const qint64 since = m_sinceSort.isValid() ? m_sinceSort.elapsed() : kSortIntervalMs;
    if (since >= kSortIntervalMs)
        Sort();
    else
        m_sortTimer.start(int(kSortIntervalMs - since));
}

void UserListForm::Sort() {
    m_sortTimer.stop();
    if (m_movedRows.isEmpty() && m_pendingRows.isEmpty())
        return;
    MergePendingRows(kMergeRows);
    m_sinceSort.start();
    // What is left of a long burst follows after a turn of the event loop.
    if (!m_pendingRows.isEmpty())
        m_sortTimer.start(0);
}

// The list is in order but for the rows that went on or offline: those are
// taken out and, with new rows, sorted among themselves and merged back in
// one pass, which costs far less than a sort of the whole list by the view
// (that also moves each row's index on its own). At most `limit` new rows go
// in at a time, so that a merge's sort stays short however many came. The
// rows go out and back in together, so what the user has selected, the
// current row and the scrolled-to row are put back; the selection model is
// kept quiet meanwhile, or the view would lay out the whole list at once for
// each of these instead of once when it next paints.
void UserListForm::MergePendingRows(int limit) {
    const auto before = [](const QTreeWidgetItem* a, const QTreeWidgetItem* b) {
        return UserListItemWidget::Before(*static_cast<const UserListItemWidget*>(a),
                                          *static_cast<const UserListItemWidget*>(b));
    };
    QList<QTreeWidgetItem*> fresh;
    if (m_pendingRows.size() <= limit) {
        fresh.swap(m_pendingRows);
    } else {
        fresh = m_pendingRows.mid(0, limit);
        m_pendingRows.erase(m_pendingRows.begin(), m_pendingRows.begin() + limit);
    }
    QTreeWidgetItem* root = mp_list->invisibleRootItem();
    if (root->childCount() == 0) {
        std::stable_sort(fresh.begin(), fresh.end(), before);
        mp_list->addTopLevelItems(fresh);
        m_movedRows.clear();
        return;
    }
    if (fresh.size() + m_movedRows.size() <= kFewRows) {
        PlaceFewRows(fresh);
        return;
    }
    QTreeWidgetItem* current = mp_list->currentItem();
    const QList<QTreeWidgetItem*> selectedRows = mp_list->selectedItems();
    const QSet<QTreeWidgetItem*> selected(selectedRows.begin(), selectedRows.end());
    QTreeWidgetItem* top =
        mp_list->verticalScrollBar()->value() > 0 ? mp_list->itemAt(0, 0) : nullptr;
    QSignalBlocker quiet(mp_list->selectionModel());
    QList<QTreeWidgetItem*> listed = root->takeChildren();
    if (!m_movedRows.isEmpty()) {
        QList<QTreeWidgetItem*> kept;
        kept.reserve(listed.size());
        for (QTreeWidgetItem* row : listed) {
            auto* user = static_cast<UserListItemWidget*>(row);
            if (user->Moved()) {
                user->SetMoved(false);
                fresh << row;
            } else {
                kept << row;
            }
        }
        listed.swap(kept);
        m_movedRows.clear();
    }
    std::stable_sort(fresh.begin(), fresh.end(), before);
    QList<QTreeWidgetItem*> rows;
    rows.reserve(listed.size() + fresh.size());
    std::merge(listed.begin(), listed.end(), fresh.begin(), fresh.end(), std::back_inserter(rows),
               before);
    mp_list->addTopLevelItems(rows);
    if (current) {
        mp_list->selectionModel()->setCurrentIndex(
            mp_list->model()->index(int(rows.indexOf(current)), 0), QItemSelectionModel::NoUpdate);
    }
    if (!selected.isEmpty()) {
        QItemSelection selection;
        const QAbstractItemModel* model = mp_list->model();
        for (int i = 0, first = -1; i <= rows.size(); ++i) {
            const bool in = i < rows.size() && selected.contains(rows[i]);
            if (in && first < 0) {
                first = i;
            } else if (!in && first >= 0) {
                selection.select(model->index(first, 0),
                                 model->index(i - 1, model->columnCount() - 1));
                first = -1;
            }
        }
        mp_list->selectionModel()->select(selection, QItemSelectionModel::Select);
    }
    quiet.unblock();
    if (top)
        mp_list->scrollToItem(top, QAbstractItemView::PositionAtTop);
}

// A user going on or offline in a long list: the merge would take every
// row out and put it back, where taking out and putting in one row moves
// only the list's pointers. What the user has selected, the current row and
// the scrolled-to row stay.
void UserListForm::PlaceFewRows(QList<QTreeWidgetItem*> fresh) {
    QTreeWidgetItem* root = mp_list->invisibleRootItem();
    QTreeWidgetItem* current = mp_list->currentItem();
    QTreeWidgetItem* top =
        mp_list->verticalScrollBar()->value() > 0 ? mp_list->itemAt(0, 0) : nullptr;
    QSet<QTreeWidgetItem*> selected;
    {
        QSignalBlocker quiet(mp_list->selectionModel());
        // The view would make a neighbour current, and selected, in its place.
        if (current && m_movedRows.contains(current))
            mp_list->selectionModel()->setCurrentIndex(QModelIndex(),
                                                       QItemSelectionModel::NoUpdate);
        for (QTreeWidgetItem* row : std::exchange(m_movedRows, {})) {
            static_cast<UserListItemWidget*>(row)->SetMoved(false);
            if (row->isSelected())
                selected.insert(row);
            root->takeChild(root->indexOfChild(row));
            fresh << row;
        }
    }
    for (QTreeWidgetItem* row : fresh) {
        const auto& placed = *static_cast<UserListItemWidget*>(row);
        int low = 0, high = root->childCount();
        while (low < high) {
            const int middle = low + (high - low) / 2;
            if (UserListItemWidget::Before(placed,
                                           *static_cast<UserListItemWidget*>(root->child(middle))))
                high = middle;
            else
                low = middle + 1;
        }
        root->insertChild(low, row);
    }
    for (QTreeWidgetItem* row : selected)
        row->setSelected(true);
    if (current && current != mp_list->currentItem())
        mp_list->setCurrentItem(current, 0, QItemSelectionModel::NoUpdate);
    if (top)
        mp_list->scrollToItem(top, QAbstractItemView::PositionAtTop);
}

void UserListForm::SetNoteCell(ItemPtr user, const char* nodeType, int column, bool clear) {
    QTreeWidgetItem* row = UserRow(user, nodeType);
    if (!row)
        return;
    ItemPtr note = user["user_note"];
    if (clear) {
        const QIcon none;
        SetListedCell(row, column, QString(), &none);
    } else if (!note.IsNull()) {
        const QIcon icon(kNote);
        SetListedCell(row, column, note.AsString(), &icon);
    }
}

void UserListForm::OnUserOnline(ItemPtr user) {
    const QString name = user.AsString();
    if (QTreeWidgetItem* row = UserRow(user, "user_list_node")) {
        SetOnlineIcon(row, true);
        ScheduleSort();
    }
    if (user.IsConnected("user_online_alert") && eventToolBar) {
        eventToolBar->AddEvent(name + " online", kOnline, mp_onlineAlertList, name + " is online",
                               "user_online", true);
    }
    if (QTreeWidgetItem* row = UserRow(user, "online_alert_list_node"))
        row->setIcon(0, QIcon(kOnline));
}

// Listed or not, an alert row must not keep claiming the user is online.
void UserListForm::OnUserOffline(ItemPtr user) {
    if (QTreeWidgetItem* row = UserRow(user, "user_list_node")) {
        SetOnlineIcon(row, false);
        ScheduleSort();
    }
    if (QTreeWidgetItem* row = UserRow(user, "online_alert_list_node"))
        row->setIcon(0, QIcon(kOffline));
}

void UserListForm::OnUserAddedToList(ItemPtr user) {
    if (UserRow(user, "user_list_node"))
        return;
    AddListedRow(user);
    if (IsOnline(user))
        OnUserOnline(user);
    else
        ScheduleSort();
    OnUserSharedFileCount(user);
    OnUserAverageSpeed(user);
    if (gp_server)
        gp_server->GetUserStats(user.AsString());
}

void UserListForm::OnUserRemovedFromList(ItemPtr user) {
    RemoveRow(user, "user_list_node");
}
void UserListForm::OnUserUnshared(ItemPtr user) {
    if (!UserRow(user, "unshared_list_node"))
        AddPlainRow(user, mp_unsharedList, "unshared_list_node");
}
void UserListForm::OnUserReshared(ItemPtr user) {
    RemoveRow(user, "unshared_list_node");
}
void UserListForm::OnUserIgnored(ItemPtr user) {
    if (!UserRow(user, "ignored_list_node"))
        AddPlainRow(user, mp_ignoredList, "ignored_list_node");
}
void UserListForm::OnUserUnignored(ItemPtr user) {
    RemoveRow(user, "ignored_list_node");
}
void UserListForm::OnUserOnlineAlertRemoved(ItemPtr user) {
    RemoveRow(user, "online_alert_list_node");
}

void UserListForm::OnUserNoteChanged(ItemPtr user) {
    SetNoteCell(user, "user_list_node", 4, false);
    SetNoteCell(user, "unshared_list_node", 1, false);
    SetNoteCell(user, "ignored_list_node", 1, false);
}

void UserListForm::OnUserNoteRemoved(ItemPtr user) {
    SetNoteCell(user, "user_list_node", 4, true);
    SetNoteCell(user, "unshared_list_node", 1, true);
    SetNoteCell(user, "ignored_list_node", 1, true);
}

void UserListForm::OnUserOnlineAlertAdded(ItemPtr user) {
    if (UserRow(user, "online_alert_list_node"))
        return;
    auto* row = new QTreeWidgetItem(mp_onlineAlertList);
    row->setText(0, user.AsString());
    user.Connect(d.GetType("online_alert_list_node")->GetItem(row));
    mp_onlineAlertList->sortItems(0, Qt::AscendingOrder);
    row->setIcon(0, QIcon(IsOnline(user) ? kOnline : kOffline));
}

void UserListForm::OnUserGroupChanged(ItemPtr user) {
    UpdateUserGroupsDisplay(user.AsString());
}

void UserListForm::UpdateUserGroupsDisplay(QString name) {
    ItemPtr user = d.GetType("user")->HasItem(name);
    QTreeWidgetItem* row = UserRow(user, "user_list_node");
    if (!row)
        return;
    QStringList groups;
    ItemPtr listed = user["in_user_list"];
    if (!listed.IsNull()) {
        for (ItemPtr group : listed.GetItems("user_list_group"))
            groups << group.AsString();
    }
    groups.sort(Qt::CaseSensitive);
    SetListedCell(row, 3, groups.join(", "));
}

void UserListForm::OnUserSharedFileCount(ItemPtr user) {
    QTreeWidgetItem* row = UserRow(user, "user_list_node");
    ItemPtr count = user.IsNull() ? ItemPtr() : user["shared_file_count"];
    if (row && !count.IsNull())
        SetListedCell(row, 1, CommafyNumber(count.AsInt64()));
}

void UserListForm::OnUserAverageSpeed(ItemPtr user) {
    QTreeWidgetItem* row = UserRow(user, "user_list_node");
    ItemPtr speed = user.IsNull() ? ItemPtr() : user["average_download_speed"];
    if (row && !speed.IsNull() && speed.AsInt64() != 0)
        SetListedCell(row, 2, QString("%1").arg(double(speed.AsInt64()) / 1024.0, 0, 'f', 1));
}

void UserListForm::OnConnected() {
    if (!gp_server || !d.FindType("in_user_list"))
        return;
    gp_server->GetFlaggedUserStats("in_user_list");
}

void UserListForm::OnUserItemDoubleClicked(QTreeWidgetItem* item, int) {
    if (item && chatsForm)
        chatsForm->OpenChatForm(item->text(0));
}

void UserListForm::OnActionBarTriggered(QWidget*, QString action) {
    if (action == "configure_user_groups")
        OpenUserGroupConfigDialog();
    else if (action == "message_users")
        OpenMessageUsersDialog();
    else if (action == "manual_add_user")
        OpenAddUserDialog();
}

void UserListForm::OpenAddUserDialog() {
    (new AddUserDialog(this))->show();
}

void UserListForm::OpenUserGroupConfigDialog() {
    if (userGroupConfigDialog) {
        userGroupConfigDialog->activateWindow();
        userGroupConfigDialog->setFocus();
        return;
    }
    (new UserGroupConfigDialog(this))->show();
}

void UserListForm::OpenMessageUsersDialog() {
    if (!messageUsersDialog)
        new MessageUsersDialog(this);
    messageUsersDialog->show();
    messageUsersDialog->raise();
}

void UserListForm::OpenUserGroupsDialog(QString user) {
    (new UserGroupsDialog(user, nullptr))->show();
}

UserInfoForm* UserListForm::GetUserInfoForm(QString name) {
    ItemPtr user = d.GetType("user")->GetItem(name);
    ItemPtr node = user["user_info_form"];
    if (!node.IsNull())
        return reinterpret_cast<UserInfoForm*>(node.AsUInt64());
    auto* page = new UserInfoForm(this);
    page->Init(name);
    mp_userInfoTabs->addTab(page, QIcon(":/icons/info_icon"), LiteralLabel(name));
    user.Connect(d.GetType("user_info_form")->GetItem(page));
    return page;
}

void UserListForm::OnUserInfoTabCloseRequested(int index) {
    auto* page = qobject_cast<UserInfoForm*>(mp_userInfoTabs->widget(index));
    if (!page)
        return;
    mp_userInfoTabs->removeTab(index);
    ItemPtr node = d.GetType("user_info_form")->HasItem(page);
    if (!node.IsNull())
        node.Remove();
    page->deleteLater();
}

// Counts a user info answer not sent; logged at most once per interval.
static void UserInfoNotSent(const QString& user) {
    static DropCounter unsent(PeerLimits::kDroppedRequestLogMs);
    static QElapsedTimer clock;
    if (!clock.isValid())
        clock.start();
    int unlogged = 0;
    if (unsent.Drop(clock.elapsed(), unlogged))
        Log("users", 1,
            QString("%1 user info answers not sent, the last to %2: one waits for them "
                    "already, or there is no room under the output cap.")
                .arg(unlogged)
                .arg(user));
}

// The reply must fit one peer frame: the description is cut to the string
// cap and a picture that would push the frame past its cap is left out.
void UserListForm::OnUserInfoRequested(QString user) {
    if (!peerMessenger)
        return;
    // One reply waits for the user at a time: a picture may be megabytes,
    // and is not read again while one waits.
    if (peerMessenger->AnswerWaiting(user, PeerMessenger::PM_USER_INFO_REPLY)) {
        UserInfoNotSent(user);
        return;
    }
    MemStream message;
    message.Write(kUserInfoReply);
    message.Write(CutUtf8(GetSetting("user_description").replace("\n", "\r\n").toUtf8(),
                          int(InputStream::kMaxStringLength)));
    QByteArray picture;
    const QString pictureFile = GetSetting("user_picture_file");
    if (!pictureFile.isEmpty()) {
        QFile file;
        const qint64 room = qint64(PeerLimits::kMaxFrameLength) - message.GetWritePos() - 32;
        // Read at every peer's request: a FIFO there must not hold the window.
        if (OpenPlainFile(file, pictureFile, QIODevice::ReadOnly, nullptr, true) &&
            file.size() <= room) {
            const qint64 size = file.size();
            picture = file.read(size);
            if (picture.size() != size)
                picture.clear();
        } else if (file.isOpen()) {
            Log("users", 1, QString("Picture %1 too large to send; left out.").arg(pictureFile));
        }
    }
    if (picture.isEmpty()) {
        message.Write(quint8(0));
    } else {
        message.Write(quint8(1));
        message.Write(quint32(picture.size()));
        message.WriteBuffer(picture.constData(), picture.size());
    }
    message.Write(quint32(GetSettingInt("upload_slots")));
    const bool tqm = transferQueueManager != nullptr;
    message.Write(quint32(tqm ? transferQueueManager->QueuedUploadCount() : 0));
    message.Write(quint8(tqm && transferQueueManager->IsFreeToUpload() ? 1 : 0));
    if (peerMessenger->SendAnswer(user, message) != PeerMessenger::Answer::Sent)
        UserInfoNotSent(user);
}
