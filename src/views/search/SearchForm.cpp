#include "views/search/SearchForm.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QMetaObject>
#include <QScrollBar>
#include <QSplitter>
#include <QTreeWidget>

#include "net/PeerMessenger.h"
#include "net/server.h"
#include "shell/ActionSetToolBar.h"
#include "shell/ColumnWidths.h"
#include "shell/FocusWidget.h"
#include "shell/SizeManager.h"
#include "store/DataSaver.h"
#include "store/GeneralFunctions.h"
#include "store/Log.h"
#include "store/Settings.h"
#include "ui_SearchForm.h"
#include "views/search/ReceivedSearchesForm.h"
#include "views/search/SearchResultsForm.h"

SearchForm* searchForm = nullptr;

namespace {

const char* const kArea = "Search";
const char* const kRoomPrefix = "Room: ";

Type* DeclareOnce(const char* name, Primacy primacy, bool isNull) {
    Type* type = d.FindType(name);
    return type ? type : d.NewType(name, primacy, isNull, true);
}

// Relates a and b: each b item links to `aPerB` a items, each a item to
// `bPerA` b items.
void RelateOnce(const char* a, const char* b, OneOrMany aPerB, OneOrMany bPerA, bool owns) {
    Type* ta = d.GetType(a);
    Type* tb = d.GetType(b);
    if (!ta->IsRelatedTo(tb))
        ta->RelateToType(tb, aPerB, bPerA, owns);
}

void SaveType(const char* name) {
    if (dataSaver)
        dataSaver->AddSavedType(name);
}

// "Free", "K/s" and "Size" widen to fit their header and largest values in
// the list's font; the width a column has is the least, so a wider saved
// width stays.
void FitNumberColumns(QTreeWidget* list) {
    list->setColumnWidth(1, FittingColumnWidth(list, 1, list->columnWidth(1)));
    list->setColumnWidth(2,
                         FittingColumnWidth(list, 2, list->columnWidth(2), {LargestSpeedText()}));
    list->setColumnWidth(5, FittingColumnWidth(list, 5, list->columnWidth(5), {LargestSizeText()}));
}

}  // namespace

SearchForm::SearchForm(QWidget* parent) : QWidget(parent), mp_ui(new Ui_SearchForm) {
    mp_ui->setupUi(this);
    searchForm = this;
    mp_ui->wishList->setHeaderLabels({"Wish List Item"});
    mp_ui->horizontalLayout_2->setContentsMargins(0, 0, 0, 0);
    // Earlier searches are offered by the drop-down list only: inline
    // completion would fill an older search into what is typed, and Enter
    // would search that instead.
    mp_ui->searchEdit->setCompleter(nullptr);
    connect(mp_ui->searchEdit->lineEdit(), &QLineEdit::returnPressed, this,
            &SearchForm::OnSearchEntered);
    connect(mp_ui->searchButton, &QPushButton::clicked, this, &SearchForm::OnSearchEntered);
    connect(mp_ui->wishList, &QWidget::customContextMenuRequested, this,
            &SearchForm::OnWishListContextMenuRequested);
    // Room targets differ only after their common prefix: the box grows with
    // its longest entry, up to its maximum width, past which it shows the
    // entry cut in the middle.
    mp_ui->searchTargetBox->setSizeAdjustPolicy(QComboBox::AdjustToContents);
}

SearchForm::~SearchForm() {
    DisableHandlers();
    if (searchForm == this)
        searchForm = nullptr;
    delete mp_ui;
}

void SearchForm::DeclareTypes() {
    DeclareOnce("search_results_widget", PrimacyRoot, false);
    DeclareOnce("search_results_widget_alerted", PrimacyLeaf, true);
    RelateOnce("search_results_widget", "search_request", One, Many, false);
    if (!d.FindType("wish_list_item")) {
        // The main window declares the wish list; a page built alone does it here.
        d.NewType("wish_list_item", PrimacyRoot, false, true)
            ->RelateToType(d.NewType("wish_list_item_enabled", PrimacyLeaf, true, false), Many, One,
                           false);
        SaveType("wish_list_item");
        SaveType("wish_list_item_enabled");
    }
    RelateOnce("search_results_widget", "wish_list_item", One, One, false);
    RelateOnce("search_results_widget", "search_results_widget_alerted", Many, One, false);
    DeclareOnce("expand_folders", PrimacyLeaf, false);
    DeclareOnce("expand_users", PrimacyLeaf, false);
    RelateOnce("search_results_widget", "expand_folders", Many, One, false);
    RelateOnce("search_results_widget", "expand_users", Many, One, false);
    DeclareOnce("search_results_user_node", PrimacyIntermediate, false);
    DeclareOnce("search_results_folder_node", PrimacyIntermediate, false);
    DeclareOnce("search_result_node", PrimacyIntermediate, false);
    RelateOnce("search_results_widget", "search_results_user_node", One, Many, true);
    RelateOnce("search_results_user_node", "user", Many, One, false);
    RelateOnce("search_results_user_node", "search_results_folder_node", One, Many, true);
    RelateOnce("search_results_folder_node", "search_result_file_folder", Many, One, false);
    RelateOnce("search_result_node", "search_result", One, One, false);
    RelateOnce("search_result_node", "search_results_folder_node", Many, One, false);

    DeclareOnce("wish_list_node", PrimacyRoot, false);
    DeclareOnce("wish_list_node_checkbox", PrimacyRoot, false);
    DeclareOnce("wish_list_item_filter_text", PrimacyLeaf, false);
    RelateOnce("wish_list_item", "wish_list_item_filter_text", Many, One, false);
    RelateOnce("wish_list_item", "wish_list_node", One, One, false);
    RelateOnce("wish_list_node", "wish_list_node_checkbox", One, One, false);
    SaveType("wish_list_item_filter_text");

    if (d.FindType("download_entry")) {
        RelateOnce("search_request_text", "download_entry", One, Many, false);
        if (dataSaver)
            dataSaver->AddSavedByConnectionType("search_request_text", "download_entry");
    }
    DeclareOnce("saved_filter", PrimacyRoot, false);
    SaveType("saved_filter");
    DeclareOnce("search_record", PrimacyRoot, false);
    DeclareOnce("search_time", PrimacyLeaf, false);
    RelateOnce("search_record", "search_time", Many, One, false);
    SaveType("search_record");
    SaveType("search_time");
}

void SearchForm::Init() {
    if (peerMessenger)
        connect(peerMessenger, &PeerMessenger::SearchResults, this,
                &SearchForm::OnUserSearchResults, Qt::UniqueConnection);
    DeclareTypes();
    d.GetType("wish_list_item")
        ->ItemRemovedEvent()
        .Insert(ItemHandler(this, &SearchForm::OnWishListItemRemoved));
    connect(mp_ui->searchTabControl, &QTabWidget::tabCloseRequested, this,
            &SearchForm::OnTabCloseRequested);
    connect(mp_ui->wishListTabControl, &QTabWidget::tabCloseRequested, this,
            &SearchForm::OnWishTabCloseRequested);
    if (actionBar) {
        connect(actionBar, &ActionSetToolBar::ActionTriggered, this,
                &SearchForm::OnActionBarTriggered);
        const char* const search = ":/icons/search_icon";
        const char* const wish = ":/icons/wishlist_icon";
        actionBar->AddSetAction("search_results", "order_by_available", "Order by Available",
                                search, false);
        actionBar->AddSetAction("search_results", "order_by_fastest", "Order by Fastest", search,
                                false);
        actionBar->AddSetAction("search_results", "expand_folders", "Expand Folders", search,
                                false);
        actionBar->AddSetAction("search_results", "expand_users", "Expand Users", search, false);
        for (const char* set : {"search_results", "search_results_old"}) {
            actionBar->AddSetAction(set, "add_remove_wishlist", "Add to Wishlist", wish, false);
            actionBar->AddSetAction(set, "reenter_search", "Re-enter Search",
                                    ":/icons/circular_arrow_icon", false);
            actionBar->AddSetAction(set, "stop_search", "Stop Search", ":/icons/stop_icon", false);
        }
    }

    QTreeWidget* wishList = mp_ui->wishList;
    wishList->setColumnCount(2);
    wishList->setHeaderLabels({"", "Wish List Search"});
    wishList->setColumnWidth(0, 20);
    wishList->header()->setSectionResizeMode(QHeaderView::Fixed);
    if (actionBar) {
        actionBar->AddSetAction("wish_list", "enable_all_wish_list_items",
                                "Enable All Wish List Searches", ":/icons/wishlist_icon", false);
        actionBar->AddSetAction("wish_list", "disable_all_wish_list_items",
                                "Disable All Wish List Searches", ":/icons/wishlist_icon", false);
        actionBar->RegisterWidget(wishList, "wish_list");
    }
    wishList->sortByColumn(1, Qt::AscendingOrder);

    if (dataSaver)
        dataSaver->AddDataLoadedEventHandler(this);
    RegisterWidgetForTabFocus(mp_ui->searchEdit, 1);
    RegisterWidgetForTabFocus(wishList, 1);
    mp_ui->searchTargetBox->addItem("All");
    mp_ui->searchTargetBox->addItem("User List");

    if (d.FindType("room") && d.FindType("in_room")) {
        auto* entered = new PathNode(&d, "room");
        new PathNode(entered, "in_room", PathConnecting);
        d.AddPathEventHandler(entered, ItemHandler(this, &SearchForm::OnEnteredRoom));
        auto* left = new PathNode(&d, "room");
        new PathNode(left, "in_room", PathDisconnecting);
        d.AddPathEventHandler(left, ItemHandler(this, &SearchForm::OnLeftRoom));
    }
    static_cast<ReceivedSearchesForm*>(mp_ui->tab)->Init();
    connect(wishList, &QTreeWidget::itemChanged, this, &SearchForm::OnWishListItemChanged);
    qRegisterMetaType<QTreeWidgetItem*>("QTreeWidgetItem*");
    d.GetType("search_record")
        ->ItemRemovedEvent()
        .Insert(ItemHandler(this, &SearchForm::OnSearchRecordItemRemoved));
}

void SearchForm::DataLoaded() {
    for (const ItemPtr& item : d.GetType("wish_list_item")->GetItems())
        OnWishListItemAdded(item);
    QList<int> sizes = mp_ui->searchSplitter->sizes();
    if (sizes.size() == 2) {
        sizes[0] = qMax(0, width() - 200);
        sizes[1] = 200;
        mp_ui->searchSplitter->setSizes(sizes);
    }
    if (sizeManager)
        sizeManager->RegisterSplitter("wish_list_splitter", mp_ui->searchSplitter, sizes);
    for (const ItemPtr& record :
         d.GetType("search_record")->GetItems().SortNumericBy("search_time", false))
        mp_ui->searchEdit->addItem(record.AsString());
    mp_ui->searchEdit->clearEditText();
}

// --- searching --------------------------------------------------------------

void SearchForm::SendGlobalSearch(const QString& text) {
    const quint32 token = gp_server->FileSearch(text, false);
    gp_server->GetSearchCorrelations(text);
    CreateSearchForm(token, text, GlobalSearch);
}

void SearchForm::OnSearchEntered() {
    const QString text = mp_ui->searchEdit->lineEdit()->text().trimmed();
    if (text.isEmpty())
        return;
    const QString target = mp_ui->searchTargetBox->currentText();
    if (gp_server) {
        if (target == "All") {
            SendGlobalSearch(text);
        } else if (target == "User List") {
            CreateSearchForm(gp_server->SearchUserList(text), text, UserListSearch);
        } else if (target.startsWith(kRoomPrefix)) {
            const QString room = target.mid(int(qstrlen(kRoomPrefix)));
            CreateSearchForm(gp_server->SearchRoom(room, text), text, RoomSearch);
        }
    }
    RecordSearch(text);
    mp_ui->searchEdit->clearEditText();
}

SearchResultsForm* SearchForm::CreateSearchForm(quint32 token, QString text, int type) {
    Type* requests = d.GetType("search_request");
    ItemPtr wish;
    if (type == WishListSearch) {
        wish = d.GetType("wish_list_item")->HasItem(Value(text));
        if (wish.IsNull())
            return nullptr;
        const ItemPtr widget = wish.HasItem("search_results_widget");
        if (!widget.IsNull()) {
            requests->GetItem(Value(token)).Connect(widget);
            return PageOf(widget);
        }
    }
    auto* form = new SearchResultsForm(text, type == WishListSearch, this);
    QTreeWidget* list = form->searchResults();
    list->setColumnCount(7);
    list->header()->setStretchLastSection(false);
    list->header()->setSectionsMovable(false);
    list->setHeaderLabels({"User", "Free", "K/s", "Folder", "File", "Size", "Attributes"});
    const int widths[] = {100, 40, 40, 150, 170, 70};
    for (int column = 0; column < 6; ++column)
        list->setColumnWidth(column, widths[column]);
    FitNumberColumns(list);

    static const char* const icons[] = {":/icons/search_icon", ":/icons/wishlist_icon",
                                        ":/icons/users_icon", ":/icons/room_icon"};
    QTabWidget* tabs = type == WishListSearch ? mp_ui->wishListTabControl : mp_ui->searchTabControl;
    tabs->addTab(form, QIcon(icons[type >= 0 && type <= 3 ? type : 0]), LiteralLabel(text));
    m_pages.insert(form);

    const ItemPtr widget = d.GetType("search_results_widget")->GetItem(Value(form));
    requests->GetItem(Value(token)).Connect(widget);
    if (type == WishListSearch) {
        widget.Connect(wish);
        const ItemPtr filter = wish.HasItem("wish_list_item_filter_text");
        if (!filter.IsNull())
            form->filterEdit()->setText(filter.AsString());
    }
    const QString defaultFilter = GetSetting("default_search_filter");
    if (!defaultFilter.isEmpty() && form->filterEdit()->text().isEmpty())
        form->filterEdit()->setText(defaultFilter);
    if (actionBar) {
        if (type == WishListSearch) {
            actionBar->SetWidgetActionText(form, "add_remove_wishlist", "Remove from Wish List");
            actionBar->SetWidgetActionHidden(form, "stop_search", true);
        }
        actionBar->SetWidgetActionText(form, "order_by_available", "Order by Available [on]");
        actionBar->SetWidgetActionText(form, "order_by_fastest", "Order by Fastest");
        actionBar->SetWidgetActionText(form, "expand_folders", "Expand Folders [on]");
        actionBar->SetWidgetActionText(form, "expand_users", "Expand Users [on]");
    }
    widget.Connect(d.GetType("expand_folders")->GetItem("yes"));
    widget.Connect(d.GetType("expand_users")->GetItem("yes"));
    form->SetSortingParamters(1, Qt::DescendingOrder);
    if (type != WishListSearch)
        FocusWidget(list);
    if (sizeManager) {
        sizeManager->RegisterTreeWidget("search_results", list);
        FitNumberColumns(list);
    }
    form->Init();
    connect(form->CorrelationsWidget(), &QTreeWidget::itemClicked, this,
            &SearchForm::OnCorrelationClicked);
    connect(form->CorrelationsWidget(), &QTreeWidget::itemDoubleClicked, this,
            &SearchForm::OnCorrelationDoubleClicked);
    return form;
}

SearchResultsForm* SearchForm::PageOf(const ItemPtr& widgetItem) const {
    if (widgetItem.IsNull())
        return nullptr;
    auto* page = reinterpret_cast<SearchResultsForm*>(widgetItem.AsUInt64());
    return m_pages.contains(page) ? page : nullptr;
}

void SearchForm::OnUserSearchResults(ItemPtr i_searchResults) {
    if (i_searchResults.IsNull() || i_searchResults.IsRemoved())
        return;
    const ItemPtr request = i_searchResults.HasItem("search_request");
    if (!request.IsConnected("search_results_widget") && request.IsConnected("wishlist_search")) {
        const QString text = request.HasItem("search_request_text").AsString();
        const ItemPtr wish = d.GetType("wish_list_item")->HasItem(Value(text));
        if (!wish.IsNull() && wish.IsConnected("wish_list_item_enabled"))
            CreateSearchForm(quint32(request.AsUInt64()), text, WishListSearch);
    }
    SearchResultsForm* page = PageOf(request.HasItem("search_results_widget"));
    if (!page) {
        // Nobody shows these results: they go now rather than pile up.
        Log(kArea, 2,
            QString("Search results for request %1 dropped: no result page")
                .arg(request.AsString()));
        i_searchResults.GetItems("search_result").Remove();
        i_searchResults.Remove();
        return;
    }
    page->AddUserSearchResults(i_searchResults);
}

void SearchForm::OnTabCloseRequested(int i_tabIndex) {
    CloseTab(mp_ui->searchTabControl, i_tabIndex);
}

void SearchForm::OnWishTabCloseRequested(int i_tabIndex) {
    CloseTab(mp_ui->wishListTabControl, i_tabIndex);
}

void SearchForm::CloseTab(QTabWidget* tabs, int index) {
    QWidget* page = tabs->widget(index);
    if (!page)
        return;
    const ItemPtr widget = d.GetType("search_results_widget")->HasItem(Value(page));
    if (widget.IsNull())
        return;
    const ItemSet requests = widget.GetItems("search_request");
    auto* form = qobject_cast<SearchResultsForm*>(page);
    if (form && m_pages.contains(form)) {
        m_pages.remove(form);
        form->RemoveStoreItems();
    }
    widget.Remove();
    tabs->removeTab(index);
    delete page;
    for (const ItemPtr& request : requests) {
        for (const ItemPtr& batch : request.GetItems("search_results")) {
            batch.GetItems("search_result").Remove();
            batch.Remove();
        }
        request.Remove();
    }
    d.RemoveDisconnectedItems();
}

void SearchForm::OnEnteredRoom(ItemPtr room) {
    mp_ui->searchTargetBox->addItem(kRoomPrefix + room.AsString());
    FitTargetList();
}

void SearchForm::OnLeftRoom(ItemPtr room) {
    const int index = mp_ui->searchTargetBox->findText(kRoomPrefix + room.AsString(),
                                                       Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (index >= 0)
        mp_ui->searchTargetBox->removeItem(index);
    FitTargetList();
}

// The list of targets opens wide enough for its longest entry, also when the
// box itself stops at its maximum width.
void SearchForm::FitTargetList() {
    QAbstractItemView* view = mp_ui->searchTargetBox->view();
    view->setMinimumWidth(view->sizeHintForColumn(0) + 2 * view->frameWidth() +
                          view->verticalScrollBar()->sizeHint().width());
}

void SearchForm::OnCorrelationClicked(QTreeWidgetItem* ip_item, int) {
    if (ip_item)
        mp_ui->searchEdit->lineEdit()->setText(ip_item->text(0));
}

void SearchForm::OnCorrelationDoubleClicked(QTreeWidgetItem* ip_item, int) {
    if (!ip_item || !gp_server)
        return;
    const QString text = ip_item->text(0);
    SendGlobalSearch(text);
    // Only the typed text goes: the history entries stay with their records.
    mp_ui->searchEdit->clearEditText();
}

// --- history ----------------------------------------------------------------

void SearchForm::RecordSearch(QString text) {
    text = text.trimmed();
    if (text.isEmpty())
        return;
    Type* records = d.GetType("search_record");
    const ItemPtr old = records->HasItem(Value(text));
    if (!old.IsNull())
        old.Remove();
    const ItemPtr record = records->NewItem(Value(text));
    mp_ui->searchEdit->insertItem(0, text);
    record.Connect(d.GetType("search_time")->GetItem(Value(QDateTime::currentMSecsSinceEpoch())));
    std::list<ItemPtr> ordered = records->GetItems().SortNumericBy("search_time", true);
    while (int(ordered.size()) > kHistorySize) {
        ordered.front().Remove();
        ordered.pop_front();
    }
}

void SearchForm::OnSearchRecordItemRemoved(ItemPtr record) {
    const int index =
        mp_ui->searchEdit->findText(record.AsString(), Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (index >= 0)
        mp_ui->searchEdit->removeItem(index);
}

// --- actions ----------------------------------------------------------------

SearchResultsForm* SearchForm::GetCurrentSearchResultsForm() {
    QTabWidget* tabs = mp_ui->searchTabControl->isVisible()     ? mp_ui->searchTabControl
                       : mp_ui->wishListTabControl->isVisible() ? mp_ui->wishListTabControl
                                                                : nullptr;
    auto* form = tabs ? qobject_cast<SearchResultsForm*>(tabs->currentWidget()) : nullptr;
    return m_pages.contains(form) ? form : nullptr;
}

void SearchForm::OnActionBarTriggered(QWidget* ip_widget, QString i_action) {
    auto* tab = qobject_cast<SearchResultsForm*>(ip_widget);
    if (tab && !m_pages.contains(tab))
        tab = nullptr;
    if (i_action == "expand_folders" || i_action == "expand_users") {
        if (!tab)
            return;
        const bool folders = i_action == "expand_folders";
        const char* type = folders ? "expand_folders" : "expand_users";
        const ItemPtr widget = tab->WidgetItem();
        if (widget.IsNull())
            return;
        const bool open = widget.HasItem(type).AsStdString() == "no";
        widget.Connect(d.GetType(type)->GetItem(open ? "yes" : "no"));
        if (actionBar)
            actionBar->SetWidgetActionText(
                tab, i_action,
                QString(folders ? "Expand Folders" : "Expand Users") + (open ? " [on]" : " [off]"));
        QTreeWidget* list = tab->searchResults();
        for (int k = 0; k < list->topLevelItemCount(); ++k) {
            QTreeWidgetItem* user = list->topLevelItem(k);
            if (!folders) {
                user->setExpanded(open);
                continue;
            }
            for (int f = 0; f < user->childCount(); ++f)
                user->child(f)->setExpanded(open);
        }
    } else if (i_action == "order_by_available" || i_action == "order_by_fastest") {
        if (!tab)
            return;
        const bool available = i_action == "order_by_available";
        if (actionBar) {
            actionBar->SetWidgetActionText(
                tab, "order_by_available",
                available ? "Order by Available [on]" : "Order by Available");
            actionBar->SetWidgetActionText(
                tab, "order_by_fastest", available ? "Order by Fastest" : "Order by Fastest [on]");
        }
        tab->SetSortingParamters(available ? 1 : 2, Qt::DescendingOrder);
        tab->Sort();
    } else if (i_action == "enable_all_wish_list_items") {
        SetWishRowsChecked(true);
    } else if (i_action == "disable_all_wish_list_items") {
        SetWishRowsChecked(false);
    } else if (i_action == "add_remove_wishlist") {
        SearchResultsForm* current = GetCurrentSearchResultsForm();
        const ItemPtr request =
            current ? current->WidgetItem().HasItem("search_request") : ItemPtr();
        if (request.IsNull())
            return;
        const QString text = request.HasItem("search_request_text").AsString();
        if (!request.IsConnected("wishlist_search")) {
            AddEnabledWishItem(text);
        } else {
            const ItemPtr wish = d.GetType("wish_list_item")->HasItem(Value(text));
            if (!wish.IsNull())
                wish.Remove();
        }
    } else if (i_action == "stop_search") {
        SearchResultsForm* current = GetCurrentSearchResultsForm();
        const ItemPtr request =
            current ? current->WidgetItem().HasItem("search_request") : ItemPtr();
        if (request.IsNull())
            return;
        request.Connect(d.GetType("search_stopped")->GetGlobalNullItem());
        if (actionBar)
            actionBar->SetWidgetActionText(current, "stop_search", "Search Stopped");
    } else if (i_action == "reenter_search") {
        SearchResultsForm* current = GetCurrentSearchResultsForm();
        const ItemPtr request =
            current ? current->WidgetItem().HasItem("search_request") : ItemPtr();
        if (request.IsNull())
            return;
        mp_ui->searchEdit->lineEdit()->setText(request.HasItem("search_request_text").AsString());
        mp_ui->searchEdit->setFocus();
    } else if (i_action == "remove_wish_list_item") {
        RemoveSelectedWishItems();
    }
}
