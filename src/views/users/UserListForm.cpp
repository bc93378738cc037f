#include "views/users/UserListForm.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QMenu>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QTimer>
#include <QTreeWidget>
#include <algorithm>
#include <cstring>
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
void FitNumberColumns(QTableView* list) {
    list->setColumnWidth(1,
                         FittingColumnWidth(list, 1, list->columnWidth(1), {LargestCountText()}));
    list->setColumnWidth(2,
                         FittingColumnWidth(list, 2, list->columnWidth(2), {LargestSpeedText()}));
}

// Rows are chosen whole: no cell of one is marked as the focused one.
class RowDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
        QStyledItemDelegate::initStyleOption(option, index);
        option->state &= ~QStyle::State_HasFocus;
    }
};

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

namespace {
void* NodeRow(const ItemPtr& user, const char* nodeType) {
    if (user.IsNull() || !d.FindType(nodeType))
        return nullptr;
    ItemPtr node = user[nodeType];
    return node.IsNull() ? nullptr : reinterpret_cast<void*>(node.AsUInt64());
}
}  // namespace

QTreeWidgetItem* UserRow(const ItemPtr& user, const char* nodeType) {
    return static_cast<QTreeWidgetItem*>(NodeRow(user, nodeType));
}

UserListItemWidget* ListedRow(const ItemPtr& user) {
    return static_cast<UserListItemWidget*>(NodeRow(user, "user_list_node"));
}

UserListForm::UserListForm(QWidget* parent)
    : QWidget(parent), mp_tabs(new TabWidget(this)), mp_model(new UserListModel(this)) {
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
    mp_list = NewListedView(listTab);
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
    const int widths[] = {200, 80, 60, 300, 300};
    for (int i = 0; i < 5; ++i)
        mp_list->setColumnWidth(i, widths[i]);
    FitNumberColumns(mp_list);
    for (QTreeWidget* list : {mp_unsharedList, mp_ignoredList, mp_onlineAlertList})
        list->setColumnWidth(0, 200);
    for (QAbstractItemView* list :
         std::initializer_list<QAbstractItemView*>{mp_list, mp_unsharedList, mp_ignoredList}) {
        connect(list, &QAbstractItemView::doubleClicked, this,
                &UserListForm::OnUserItemDoubleClicked);
    }
    for (QAbstractItemView* list : std::initializer_list<QAbstractItemView*>{
             mp_list, mp_unsharedList, mp_ignoredList, mp_onlineAlertList}) {
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
    for (UserListItemWidget* row : m_pendingRows)
        delete row;
    for (UserListItemWidget* row : m_fillRun)
        delete row;
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

// A table of one line a row, which costs the view nothing per row: a tree
// lays out every row anew after each change of rows, and the list may hold a
// million. It looks and acts as the other lists do.
QTableView* UserListForm::NewListedView(QWidget* page) {
    auto* list = new QTableView(page);
    list->setObjectName("userList");
    list->setModel(mp_model);
    list->setItemDelegate(new RowDelegate(list));
    list->setContextMenuPolicy(Qt::CustomContextMenu);
    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setShowGrid(false);
    list->setWordWrap(false);
    list->setCornerButtonEnabled(false);
    list->setTabKeyNavigation(false);
    list->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    QHeaderView* columns = list->horizontalHeader();
    columns->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    columns->setHighlightSections(false);
    columns->setSectionsClickable(false);
    columns->setSectionsMovable(true);
    columns->setStretchLastSection(true);
    // Every row as high as a tree's row of an icon and a line of text.
    QStyleOptionViewItem option;
    option.initFrom(list);
    option.features = QStyleOptionViewItem::HasDisplay | QStyleOptionViewItem::HasDecoration;
    const int icon = list->style()->pixelMetric(QStyle::PM_SmallIconSize, nullptr, list);
    option.decorationSize = QSize(icon, icon);
    option.text = "Xy";
    option.font = list->font();
    QHeaderView* rows = list->verticalHeader();
    rows->hide();
    rows->setMinimumSectionSize(1);
    rows->setDefaultSectionSize(
        list->style()->sizeFromContents(QStyle::CT_ItemViewItem, &option, QSize(), list).height());
    rows->setSectionResizeMode(QHeaderView::Fixed);
    page->layout()->addWidget(list);
    return list;
}

void UserListForm::ConnectContextMenu(QAbstractItemView* list) {
    connect(list, &QWidget::customContextMenuRequested, this, [list](const QPoint& pos) {
        const QModelIndex row = list->indexAt(pos);
        if (!row.isValid())
            return;
        QMenu menu;
        UserMenuOptions options(&menu, row.siblingAtColumn(0).data().toString());
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
    user.Connect(d.GetType("user_list_node")->GetItem(row));
    if (gp_server)
        gp_server->TrackUser(name);
    UpdateUserGroupsDisplay(name);
    SetNoteCell(user, "user_list_node", 4, false);
    return row;
}

void UserListForm::AddListedRow(ItemPtr user) {
    m_pendingRows.push_back(MakeListedRow(user));
}

// Makes the rows of the loaded list for about kFillSliceMs. They come in
// order, so they go in after the rows listed already, which costs only them;
// a row that cannot (its user is online, or a user added meanwhile sorts
// after it) is merged as any new row is. They go in by the merge's count, so
// that the view is told of a change of rows a few times, not each turn.
void UserListForm::FillSlice() {
    QElapsedTimer clock;
    clock.start();
    std::vector<UserListItemWidget*>& run = m_fillRun;
    for (int made = 0; m_unmadeNext < m_unmade.size() && int(run.size()) < kMergeRows;) {
        const ItemPtr user = m_unmade[m_unmadeNext++];
        if (user.IsRemoved() || !user.IsConnected("in_user_list") || ListedRow(user))
            continue;
        UserListItemWidget* row = MakeListedRow(user);
        OnUserSharedFileCount(user);
        OnUserAverageSpeed(user);
        if (IsOnline(user)) {
            mp_model->SetOnline(row, true);
            m_pendingRows.push_back(row);
        } else {
            run.push_back(row);
        }
        // The clock is read now and then: a row costs microseconds.
        if (++made % 64 == 0 && clock.elapsed() >= kFillSliceMs)
            break;
    }
    const bool last = m_unmadeNext >= m_unmade.size();
    if (!run.empty() && (last || int(run.size()) >= kMergeRows)) {
        // A user who came online while the row waited belongs among the
        // online rows, not at the run's place.
        const auto online = std::stable_partition(
            run.begin(), run.end(), [](const UserListItemWidget* row) { return !row->Online(); });
        m_pendingRows.insert(m_pendingRows.end(), online, run.end());
        run.erase(online, run.end());
        if (!run.empty() && mp_model->Follows(*run.front()))
            mp_model->Append(run);
        else
            m_pendingRows.insert(m_pendingRows.end(), run.begin(), run.end());
        run.clear();
    }
    if (!last) {
        m_fillTimer.start(0);
    } else {
        m_unmade = std::vector<ItemPtr>();
        m_unmadeNext = 0;
    }
    if (!m_pendingRows.empty())
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
    if (!std::strcmp(nodeType, "user_list_node")) {
        auto* row = ListedRow(user);
        if (row->Listed()) {
            mp_model->Remove(row);
        } else {
            const auto out = [row](std::vector<UserListItemWidget*>& rows) {
                rows.erase(std::remove(rows.begin(), rows.end(), row), rows.end());
            };
            out(m_pendingRows);
            out(m_fillRun);
        }
        delete row;
    } else {
        delete UserRow(user, nodeType);
    }
    node.Remove();
}

void UserListForm::SetCell(QTreeWidgetItem* row, int column, const QString& text,
                           const QIcon* icon) {
    row->setText(column, text);
    if (icon)
        row->setIcon(column, *icon);
}

// Each merge costs the list's pointers, and a burst of changes may touch
// many rows: a change after a quiet spell is shown at once, but the rows of
// a burst of added users and the state changes of a burst go in together, at
// most once each interval.
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
    if (!mp_model->HasMoved() && m_pendingRows.empty())
        return;
    QElapsedTimer clock;
    clock.start();
    MergePendingRows(m_mergeRows);
    // A merge costs its rows' searches and a copy of the list's pointers:
    // fewer rows a merge while a long list makes it slow.
    const qint64 took = clock.elapsed();
    if (took > kMergeBudgetMs)
        m_mergeRows = std::max(kMinMergeRows, m_mergeRows / 2);
    else if (took < kMergeBudgetMs / 4)
        m_mergeRows = std::min(kMergeRows, m_mergeRows * 2);
    m_sinceSort.start();
    // What is left of a long burst follows after a turn of the event loop.
    if (!m_pendingRows.empty() || mp_model->HasMoved())
        m_sortTimer.start(0);
}

// At most `limit` new rows and `limit` rows gone on or offline go in at a
// time, so that a merge stays short however many came. The row at the top
// of the scrolled list stays there; the selection and the current row stay
// with their rows.
void UserListForm::MergePendingRows(int limit) {
    std::vector<UserListItemWidget*> fresh;
    if (int(m_pendingRows.size()) <= limit) {
        fresh.swap(m_pendingRows);
    } else {
        fresh.assign(m_pendingRows.begin(), m_pendingRows.begin() + limit);
        m_pendingRows.erase(m_pendingRows.begin(), m_pendingRows.begin() + limit);
    }
    const QModelIndex shown =
        mp_list->verticalScrollBar()->value() > 0 ? mp_list->indexAt(QPoint(0, 0)) : QModelIndex();
    const UserListItemWidget* top = shown.isValid() ? mp_model->At(shown.row()) : nullptr;
    mp_model->Merge(std::move(fresh), std::size_t(limit));
    if (top)
        mp_list->scrollTo(mp_model->index(mp_model->Place(top), 0),
                          QAbstractItemView::PositionAtTop);
}

void UserListForm::SetNoteCell(ItemPtr user, const char* nodeType, int column, bool clear) {
    if (!std::strcmp(nodeType, "user_list_node")) {
        UserListItemWidget* row = ListedRow(user);
        ItemPtr note = row ? user["user_note"] : ItemPtr();
        if (row && (clear || !note.IsNull())) {
            mp_model->SetText(row, column, clear ? QString() : note.AsString());
            mp_model->SetNoteIcon(row, !clear);
        }
        return;
    }
    QTreeWidgetItem* row = UserRow(user, nodeType);
    if (!row)
        return;
    ItemPtr note = user["user_note"];
    if (clear) {
        const QIcon none;
        SetCell(row, column, QString(), &none);
    } else if (!note.IsNull()) {
        const QIcon icon(kNote);
        SetCell(row, column, note.AsString(), &icon);
    }
}

void UserListForm::OnUserOnline(ItemPtr user) {
    const QString name = user.AsString();
    if (UserListItemWidget* row = ListedRow(user)) {
        mp_model->SetOnline(row, true);
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
    if (UserListItemWidget* row = ListedRow(user)) {
        mp_model->SetOnline(row, false);
        ScheduleSort();
    }
    if (QTreeWidgetItem* row = UserRow(user, "online_alert_list_node"))
        row->setIcon(0, QIcon(kOffline));
}

void UserListForm::OnUserAddedToList(ItemPtr user) {
    if (ListedRow(user))
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
    UserListItemWidget* row = ListedRow(user);
    if (!row)
        return;
    QStringList groups;
    ItemPtr listed = user["in_user_list"];
    if (!listed.IsNull()) {
        for (ItemPtr group : listed.GetItems("user_list_group"))
            groups << group.AsString();
    }
    groups.sort(Qt::CaseSensitive);
    mp_model->SetText(row, 3, groups.join(", "));
}

void UserListForm::OnUserSharedFileCount(ItemPtr user) {
    UserListItemWidget* row = ListedRow(user);
    ItemPtr count = user.IsNull() ? ItemPtr() : user["shared_file_count"];
    if (row && !count.IsNull())
        mp_model->SetText(row, 1, CommafyNumber(count.AsInt64()));
}

void UserListForm::OnUserAverageSpeed(ItemPtr user) {
    UserListItemWidget* row = ListedRow(user);
    ItemPtr speed = user.IsNull() ? ItemPtr() : user["average_download_speed"];
    if (row && !speed.IsNull() && speed.AsInt64() != 0)
        mp_model->SetText(row, 2, QString("%1").arg(double(speed.AsInt64()) / 1024.0, 0, 'f', 1));
}

void UserListForm::OnConnected() {
    if (!gp_server || !d.FindType("in_user_list"))
        return;
    gp_server->GetFlaggedUserStats("in_user_list");
}

void UserListForm::OnUserItemDoubleClicked(const QModelIndex& index) {
    if (index.isValid() && chatsForm)
        chatsForm->OpenChatForm(index.siblingAtColumn(0).data().toString());
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
    static bool flushing = false;
    const auto line = [](int n, const QString& last) {
        Log("users", 1,
            QString("%1 user info answers not sent, the last to %2: one waits for them "
                    "already, or there is no room under the output cap.")
                .arg(n)
                .arg(last));
    };
    if (!clock.isValid())
        clock.start();
    int unlogged = 0;
    if (unsent.Drop(clock.elapsed(), unlogged, user)) {
        line(unlogged, user);
        return;
    }
    // Those held get their line when the interval is over.
    if (flushing || !qApp)
        return;
    flushing = true;
    QTimer::singleShot(int(unsent.IntervalMs()), qApp, [line] {
        flushing = false;
        int n = 0;
        QString last;
        quint32 code = 0;
        if (unsent.Held(clock.elapsed(), n, last, code))
            line(n, last);
    });
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
