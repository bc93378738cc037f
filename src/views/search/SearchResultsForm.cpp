#include "views/search/SearchResultsForm.h"

#include <QComboBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QShowEvent>
#include <QSplitter>
#include <cstdint>
#include <cstdlib>
#include <new>

#include "net/server.h"
#include "shares/SharedFoldersManager.h"
#include "shell/ActionSetToolBar.h"
#include "shell/EventToolBar.h"
#include "shell/FocusWidget.h"
#include "shell/Prompts.h"
#include "shell/SizeManager.h"
#include "store/DelayedInvoker.h"
#include "store/GeneralFunctions.h"
#include "store/Settings.h"
#include "transfers/TransferQueueManager.h"
#include "ui_SearchResultsForm.h"
#include "views/search/FilterHelpDialog.h"
#include "views/search/FilterParser.h"
#include "views/search/SearchResultMenuOptions.h"
#include "views/users/UserMenuOptions.h"

namespace {

Type* FindType(const char* name) {
    return d.FindType(name);
}

QString SettingText(const char* key) {
    return FindType("global") ? GetSetting(key) : QString();
}

}  // namespace

// --- rows -------------------------------------------------------------------

namespace {

// Rows come by the tens of thousands and go together when their page
// closes. The view walks every row after each batch; rows side by side in
// memory, in about the order they were added, let that walk run at memory
// speed instead of waiting on one cache miss per row. A block is freed when
// its last row goes. Rows are made and dropped on the main thread only.
constexpr std::size_t kRowBlockBytes = 256 * 1024;

struct RowBlock {
    std::size_t live = 0;
    std::size_t used = 0;
};

RowBlock* g_rowBlock = nullptr;

RowBlock* BlockOf(void* row) {
    return reinterpret_cast<RowBlock*>(reinterpret_cast<std::uintptr_t>(row) &
                                       ~std::uintptr_t(kRowBlockBytes - 1));
}

}  // namespace

void* SearchResultListItem::operator new(std::size_t size) {
    constexpr std::size_t align = alignof(std::max_align_t);
    const std::size_t header = (sizeof(RowBlock) + align - 1) / align * align;
    size = (size + align - 1) / align * align;
    if (!g_rowBlock || g_rowBlock->used + size > kRowBlockBytes) {
        void* memory = std::aligned_alloc(kRowBlockBytes, kRowBlockBytes);
        if (!memory)
            throw std::bad_alloc();
        g_rowBlock = new (memory) RowBlock;
        g_rowBlock->used = header;
    }
    void* row = reinterpret_cast<char*>(g_rowBlock) + g_rowBlock->used;
    g_rowBlock->used += size;
    ++g_rowBlock->live;
    return row;
}

void SearchResultListItem::operator delete(void* row) {
    if (!row)
        return;
    RowBlock* block = BlockOf(row);
    if (--block->live != 0)
        return;
    if (block == g_rowBlock)
        g_rowBlock = nullptr;
    std::free(block);
}

SearchResultListItem::SearchResultListItem(QTreeWidget* parent, Kind kind)
    : QTreeWidgetItem(parent), m_kind(kind) {}

SearchResultListItem::SearchResultListItem(QTreeWidgetItem* parent, Kind kind)
    : QTreeWidgetItem(parent), m_kind(kind) {}

void SearchResultListItem::SetUserColumns(const QString& user, const ItemPtr& batch) {
    setText(0, user);
    if (batch.HasItem("search_results_user_available").AsStdString() == "yes") {
        setText(1, "Y");
        m_freeKind = 1;
    } else {
        const QString queue = batch.HasItem("search_results_uploads_in_queue").AsString();
        setText(1, queue);
        m_freeKind = queue.isEmpty() ? 0 : 2;
        m_queue = queue.toLongLong();
    }
    const qint64 speed = batch.HasItem("search_results_user_speed").AsInt64();
    if (speed != 0) {
        const QString text = QString("%1").arg(double(speed) / 1024.0, 0, 'f', 1);
        setText(2, text);
        m_speed = text.toDouble();
    }
}

void SearchResultListItem::SetFileColumns(const ItemPtr& result) {
    // Lets the view skip the child checks of the rows that are most of the list.
    setFlags(flags() | Qt::ItemNeverHasChildren);
    m_result = result;
    setText(4, result.HasItem("search_result_file_name").AsString());
    m_size = SharedFoldersManager::FileAttribute(result, "file_size");
    setText(5, CommafyNumber(m_size));
    m_bitrate = SharedFoldersManager::FileAttribute(result, "bitrate");
    setText(6, SharedFoldersManager::GetFileItemDisplayString(result));
}

void SearchResultListItem::SetRowHidden(bool hidden, int row, const QModelIndex& parent) {
    if (hidden == m_hidden)
        return;
    m_hidden = hidden;
    if (QTreeWidget* tree = treeWidget())
        tree->setRowHidden(row, parent, hidden);
}

bool SearchResultListItem::operator<(const QTreeWidgetItem& other) const {
    const auto* o = dynamic_cast<const SearchResultListItem*>(&other);
    const QTreeWidget* tree = treeWidget();
    if (!o || !tree)
        return QTreeWidgetItem::operator<(other);
    const int column = tree->sortColumn();
    switch (column) {
        case 1: {
            const bool sameText = m_freeKind == o->m_freeKind && m_queue == o->m_queue;
            if (!sameText)
                return m_freeKind != 1 && (o->m_freeKind == 1 || m_queue > o->m_queue);
            if (m_speed != o->m_speed)
                return m_speed < o->m_speed;
            return o->text(4) < text(4);
        }
        case 2:
            return m_speed < o->m_speed;
        case 5:
            return m_kind == FileRow && o->m_kind == FileRow && m_size > o->m_size;
        case 6:
            return m_kind == FileRow && o->m_kind == FileRow && m_bitrate > o->m_bitrate;
        default:
            if (m_sortKeyColumn == column && o->m_sortKeyColumn == column)
                return m_sortKey < o->m_sortKey;
            return text(column).toLower() < o->text(column).toLower();
    }
}

void SearchResultListItem::PrepareSortKey(int column) {
    m_sortKey = text(column).toLower();
    m_sortKeyColumn = column;
}

// --- the page ---------------------------------------------------------------

SearchResultsForm::SearchResultsForm(QString text, bool isWishList, QWidget* parent)
    : QWidget(parent),
      mp_ui(new Ui_SearchResultsForm),
      m_text(text),
      m_isWishList(isWishList),
      m_flat(false) {
    mp_ui->setupUi(this);
    QTreeWidget* list = mp_ui->searchResultsTreeWidget;
    list->setSortingEnabled(false);
    // Rows are one line each; the view then lays out large lists without
    // asking every row for its height.
    list->setUniformRowHeights(true);
    // The save button toggles between two texts; it is 90 pixels wide unless
    // the longer text needs more in the font in use.
    QPushButton* save = mp_ui->saveFilterButton;
    save->setText("Remove Filter");
    save->setFixedWidth(qMax(90, save->sizeHint().width()));
    save->setText("Save Filter");
    mp_ui->correlationsWidget->hide();
    mp_ui->correlationsWidget->setHeaderLabels({"related searches"});
    if (!m_isWishList) {
        PopulateCorrelations();
        if (gp_server)
            connect(gp_server, &Server::SearchCorrelations, this,
                    &SearchResultsForm::OnSearchCorrelations);
    }
    m_flat = FindType("global") && IsSettingYes("use_old_style_search_results");
    if (m_flat) {
        if (actionBar)
            actionBar->RegisterWidget(this, "search_results_old");
        list->header()->setSectionsClickable(true);
        list->header()->setSortIndicatorShown(true);
        connect(list->header(), &QHeaderView::sectionClicked, this,
                &SearchResultsForm::OnSectionClicked);
    } else {
        if (actionBar)
            actionBar->RegisterWidget(this, "search_results");
        list->header()->setSectionsClickable(false);
    }
    list->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(list, &QWidget::customContextMenuRequested, this,
            &SearchResultsForm::OnContextMenuRequested);
    connect(list, &QTreeWidget::itemDoubleClicked, this, &SearchResultsForm::OnResultDoubleClicked);
}

SearchResultsForm::~SearchResultsForm() {
    DisableHandlers();
    delete mp_ui;
}

void SearchResultsForm::Init() {
    RegisterWidgetForTabFocus(mp_ui->searchResultsTreeWidget, 2);
    Type* saved = FindType("saved_filter");
    if (!saved)
        return;
    const QSignalBlocker block(mp_ui->savedFiltersBox);
    for (const ItemPtr& filter : saved->GetItems())
        mp_ui->savedFiltersBox->addItem(filter.AsString());
    saved->NewItemEvent().Insert(ItemHandler(this, &SearchResultsForm::OnSavedFilterAdded));
    saved->ItemRemovedEvent().Insert(ItemHandler(this, &SearchResultsForm::OnSavedFilterRemoved));
}

QTreeWidget* SearchResultsForm::searchResults() const {
    return mp_ui->searchResultsTreeWidget;
}

QLineEdit* SearchResultsForm::filterEdit() const {
    return mp_ui->filterEdit;
}

QTreeWidget* SearchResultsForm::CorrelationsWidget() const {
    return mp_ui->correlationsWidget;
}

void SearchResultsForm::SetSortingParamters(int column, Qt::SortOrder order) {
    m_sortColumn = column;
    m_sortOrder = order;
}

void SearchResultsForm::Sort() {
    QTreeWidget* list = mp_ui->searchResultsTreeWidget;
    const bool textColumn = m_sortColumn == 0 || m_sortColumn == 3 || m_sortColumn == 4;
    const auto prepareChildren = [&](QTreeWidgetItem* parent) {
        if (textColumn)
            for (int k = 0; k < parent->childCount(); ++k)
                static_cast<SearchResultListItem*>(parent->child(k))->PrepareSortKey(m_sortColumn);
    };
    // Rows never change their columns, so in the tree layout only the user
    // rows and the parents that took new rows need sorting again.
    if (!m_flat && m_sortedColumn == m_sortColumn && m_sortedOrder == m_sortOrder &&
        list->sortColumn() == m_sortColumn) {
        prepareChildren(list->invisibleRootItem());
        list->invisibleRootItem()->sortChildren(m_sortColumn, m_sortOrder);
        for (QTreeWidgetItem* parent : qAsConst(m_unsortedParents)) {
            prepareChildren(parent);
            parent->sortChildren(m_sortColumn, m_sortOrder);
        }
    } else {
        // Text columns compare lower-cased texts: made once per sort, not per comparison.
        if (textColumn)
            for (QTreeWidgetItemIterator it(list); *it; ++it)
                static_cast<SearchResultListItem*>(*it)->PrepareSortKey(m_sortColumn);
        list->sortItems(m_sortColumn, m_sortOrder);
    }
    m_sortedColumn = m_sortColumn;
    m_sortedOrder = m_sortOrder;
    m_unsortedParents.clear();
}

void SearchResultsForm::OnSectionClicked(int i_column) {
    m_sortColumn = i_column;
    m_sortOrder = mp_ui->searchResultsTreeWidget->header()->sortIndicatorOrder();
    Sort();
}

ItemPtr SearchResultsForm::WidgetItem() {
    if (m_widgetItem.IsNull() || m_widgetItem.IsRemoved()) {
        Type* t = FindType("search_results_widget");
        m_widgetItem = t ? t->HasItem(Value(this)) : ItemPtr();
    }
    return m_widgetItem;
}

bool SearchResultsForm::CompareSearchResults(const ItemPtr& a, const ItemPtr& b) {
    const std::string folderA = a.HasItem("search_result_file_folder").AsStdString();
    const std::string folderB = b.HasItem("search_result_file_folder").AsStdString();
    if (folderA != folderB)
        return folderA < folderB;
    return a.HasItem("search_result_file_name").AsStdString() <
           b.HasItem("search_result_file_name").AsStdString();
}

QTreeWidgetItem* SearchResultsForm::GetNodeUserNode(QTreeWidgetItem* row) {
    while (row && row->parent())
        row = row->parent();
    return row;
}

QTreeWidgetItem* SearchResultsForm::AddSearchResult(const ItemPtr& result) {
    const ItemPtr widget = WidgetItem();
    const ItemPtr batch = result.HasItem("search_results");
    const ItemPtr user = batch.HasItem("user");
    const ItemPtr folder = result.HasItem("search_result_file_folder");
    QTreeWidget* list = mp_ui->searchResultsTreeWidget;
    Type* fileNodeType = d.GetType("search_result_node");

    if (m_flat) {
        auto* row = new SearchResultListItem(list, SearchResultListItem::FileRow);
        row->SetUserColumns(user.AsString(), batch);
        row->m_folderPath = folder.AsString();
        row->setText(3, ReversePathname(row->m_folderPath));
        row->SetFileColumns(result);
        m_fileRows.insert(result.GetId(), row);
        fileNodeType->GetItem(Value(static_cast<QTreeWidgetItem*>(row))).Connect(result);
        if (mp_batchFilter) {
            FilterFlatRow(row, list->topLevelItemCount() - 1, *mp_batchFilter);
        } else {
            FilterParser filter;
            filter.Parse(mp_ui->filterEdit->text());
            FilterFlatRow(row, list->topLevelItemCount() - 1, filter);
        }
        return nullptr;
    }

    const QString userName = user.AsString();
    SearchResultListItem* userRow = m_userRows.value(userName);
    ItemPtr userNode;
    if (!userRow) {
        userRow = new SearchResultListItem(list, SearchResultListItem::UserRow);
        userNode = d.GetType("search_results_user_node")
                       ->GetItem(Value(static_cast<QTreeWidgetItem*>(userRow)));
        if (!widget.IsNull())
            userNode.Connect(widget);
        if (!user.IsNull())
            userNode.Connect(user);
        userRow->SetUserColumns(userName, batch);
        userRow->setTextAlignment(1, Qt::AlignHCenter);
        m_userRows.insert(userName, userRow);
        m_userNodes.insert(userRow, userNode);
    } else {
        userNode = m_userNodes.value(userRow);
    }

    const QPair<QTreeWidgetItem*, quint64> folderKey(userRow, folder.GetId());
    SearchResultListItem* folderRow = m_folderRows.value(folderKey);
    ItemPtr folderNode;
    if (!folderRow) {
        folderRow = new SearchResultListItem(userRow, SearchResultListItem::FolderRow);
        folderRow->setText(3, ReversePathname(folder.AsString()));
        folderNode = d.GetType("search_results_folder_node")
                         ->GetItem(Value(static_cast<QTreeWidgetItem*>(folderRow)));
        folderNode.Connect(userNode);
        if (!folder.IsNull())
            folderNode.Connect(folder);
        m_folderRows.insert(folderKey, folderRow);
        m_unsortedParents.insert(userRow);
        m_folderNodes.insert(folderRow, folderNode);
    } else {
        folderNode = m_folderNodes.value(folderRow);
    }

    auto* fileRow = new SearchResultListItem(folderRow, SearchResultListItem::FileRow);
    m_unsortedParents.insert(folderRow);
    fileRow->SetFileColumns(result);
    m_fileRows.insert(result.GetId(), fileRow);
    if (widget.HasItem("expand_users").AsStdString() == "yes" && !userRow->isExpanded())
        userRow->setExpanded(true);
    if (widget.HasItem("expand_folders").AsStdString() == "yes" && !folderRow->isExpanded())
        folderRow->setExpanded(true);
    const ItemPtr fileNode = fileNodeType->GetItem(Value(static_cast<QTreeWidgetItem*>(fileRow)));
    fileNode.Connect(result);
    fileNode.Connect(folderNode);
    return userRow;
}

void SearchResultsForm::AddUserSearchResults(const ItemPtr& batch) {
    FilterParser filter;
    filter.Parse(mp_ui->filterEdit->text());
    mp_batchFilter = &filter;
    QTreeWidgetItem* userRow = nullptr;
    for (const ItemPtr& result : batch.GetItems("search_result"))
        userRow = AddSearchResult(result);
    mp_batchFilter = nullptr;
    if (userRow)
        FilterUserRow(userRow, -1, filter);

    const ItemPtr widget = WidgetItem();
    const ItemPtr wish = widget.HasItem("wish_list_item");
    if (!wish.IsNull() && !widget.IsConnected("search_results_widget_alerted")) {
        QTreeWidget* list = mp_ui->searchResultsTreeWidget;
        const int count = list->topLevelItemCount();
        bool shown = false;
        for (int k = 0; k < count && !shown; ++k)
            shown = !static_cast<SearchResultListItem*>(list->topLevelItem(k))->RowHidden();
        if (shown) {
            if (eventToolBar)
                eventToolBar->AddEvent(wish.AsString(), ":/icons/wishlist_icon", this, QString(),
                                       "wishlist", false);
            widget.Connect(d.GetType("search_results_widget_alerted")->GetGlobalNullItem());
        }
    }
    if (delayedInvoker)
        delayedInvoker->Invoke(this, "Sort()", 1000);
}

void SearchResultsForm::FilterFlatRow(SearchResultListItem* row, int index,
                                      const FilterParser& filter) {
    if (filter.IsEmpty()) {
        row->SetRowHidden(false, index, QModelIndex());
        return;
    }
    const QString text = row->m_folderPath + '\\' + row->text(4);
    row->SetRowHidden(filter.IsMatching(text, nullptr, row->Result()) != 0, index, QModelIndex());
}

bool SearchResultsForm::FilterUserRow(QTreeWidgetItem* userRow, int index,
                                      const FilterParser& filter) {
    QTreeWidget* list = mp_ui->searchResultsTreeWidget;
    if (index < 0)
        index = list->indexOfTopLevelItem(userRow);
    QAbstractItemModel* model = list->model();
    const QModelIndex userIndex = model->index(index, 0);
    const bool empty = filter.IsEmpty() && filter.MinFilesInFolder() <= 0;
    bool anyFolder = false;
    const int folders = userRow->childCount();
    for (int f = 0; f < folders; ++f) {
        auto* folderRow = static_cast<SearchResultListItem*>(userRow->child(f));
        const int files = folderRow->childCount();
        const QModelIndex folderIndex = model->index(f, 0, userIndex);
        if (files == 0) {
            folderRow->SetRowHidden(true, f, userIndex);
            continue;
        }
        if (empty) {
            for (int k = 0; k < files; ++k)
                static_cast<SearchResultListItem*>(folderRow->child(k))
                    ->SetRowHidden(false, k, folderIndex);
            folderRow->SetRowHidden(false, f, userIndex);
            anyFolder = true;
            continue;
        }
        FilterParser rest;
        if (filter.IsMatching(folderRow->text(3), &rest, ItemPtr()) == 2) {
            folderRow->SetRowHidden(true, f, userIndex);
            continue;
        }
        const bool restIsEmpty = rest.IsEmpty();
        int shown = 0;
        for (int k = 0; k < files; ++k) {
            auto* fileRow = static_cast<SearchResultListItem*>(folderRow->child(k));
            const bool match =
                restIsEmpty ||
                rest.IsMatching(fileRow->text(4), nullptr,
                                rest.HasAttributes() ? fileRow->Result() : ItemPtr()) == 0;
            fileRow->SetRowHidden(!match, k, folderIndex);
            shown += match ? 1 : 0;
        }
        const bool hide = shown == 0 || shown < rest.MinFilesInFolder();
        folderRow->SetRowHidden(hide, f, userIndex);
        anyFolder = anyFolder || !hide;
    }
    static_cast<SearchResultListItem*>(userRow)->SetRowHidden(!anyFolder, index, QModelIndex());
    return anyFolder;
}

void SearchResultsForm::Refilter(const QString& text) {
    FilterParser filter;
    filter.Parse(text);
    QTreeWidget* list = mp_ui->searchResultsTreeWidget;
    const int count = list->topLevelItemCount();
    for (int k = 0; k < count; ++k) {
        auto* row = static_cast<SearchResultListItem*>(list->topLevelItem(k));
        if (m_flat)
            FilterFlatRow(row, k, filter);
        else
            FilterUserRow(row, k, filter);
    }
}

void SearchResultsForm::OnFilterTextChanged(QString i_text) {
    const ItemPtr wish = WidgetItem().HasItem("wish_list_item");
    if (!wish.IsNull())
        wish.Connect(d.GetType("wish_list_item_filter_text")->GetItem(Value(i_text)));
    Refilter(i_text);
    UpdateFilterButtons();
}

void SearchResultsForm::UpdateFilterButtons() {
    const QString text = mp_ui->filterEdit->text();
    Type* saved = FindType("saved_filter");
    const bool isSaved = saved && !saved->HasItem(Value(text.simplified().toLower())).IsNull();
    QPushButton* button = mp_ui->saveFilterButton;
    if (isSaved && button->text() == "Save Filter")
        button->setText("Remove Filter");
    else if (!isSaved && button->text() == "Remove Filter")
        button->setText("Save Filter");
    mp_ui->defaultFilterBox->setChecked(!text.isEmpty() &&
                                        SettingText("default_search_filter") == text);
}

void SearchResultsForm::OnClearFilterClicked() {
    mp_ui->filterEdit->clear();
}

void SearchResultsForm::OnFilterHelpClicked() {
    FilterHelpDialog::ShowHelp(this);
}

void SearchResultsForm::OnSaveFilterClicked() {
    Type* saved = FindType("saved_filter");
    if (!saved)
        return;
    const QString value = mp_ui->filterEdit->text().simplified().toLower();
    const ItemPtr existing = saved->HasItem(Value(value));
    if (!existing.IsNull())
        existing.Remove();
    else if (!value.isEmpty())
        saved->NewItem(Value(value));
}

void SearchResultsForm::OnSavedFiltersBoxIndexChanged(int i_index) {
    if (i_index <= 0)
        return;
    mp_ui->filterEdit->setText(mp_ui->savedFiltersBox->itemText(i_index));
    mp_ui->savedFiltersBox->setCurrentIndex(0);
}

void SearchResultsForm::OnDefaultFilterBoxToggled(bool i_checked) {
    if (!FindType("global"))
        return;
    if (!i_checked) {
        ClearSetting("default_search_filter");
        return;
    }
    const QString text = mp_ui->filterEdit->text();
    if (text.isEmpty()) {
        mp_ui->defaultFilterBox->setChecked(false);
        return;
    }
    SetSetting("default_search_filter", Value(text));
}

// A filter text changes nothing of the rows, only the button and the box.
void SearchResultsForm::OnSavedFilterAdded(ItemPtr filter) {
    const QSignalBlocker block(mp_ui->savedFiltersBox);
    mp_ui->savedFiltersBox->addItem(filter.AsString());
    UpdateFilterButtons();
}

void SearchResultsForm::OnSavedFilterRemoved(ItemPtr filter) {
    const int index = mp_ui->savedFiltersBox->findText(filter.AsString(),
                                                       Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (index > 0) {
        const QSignalBlocker block(mp_ui->savedFiltersBox);
        mp_ui->savedFiltersBox->removeItem(index);
    }
    UpdateFilterButtons();
}

void SearchResultsForm::OnSearchCorrelations(QString i_text) {
    if (i_text == m_text)
        PopulateCorrelations();
}

void SearchResultsForm::PopulateCorrelations() {
    QTreeWidget* list = mp_ui->correlationsWidget;
    list->clear();
    list->hide();
    Type* texts = FindType("search_request_text");
    if (!texts || !FindType("search_correlation"))
        return;
    const ItemPtr text = texts->HasItem(Value(m_text));
    for (const ItemPtr& correlation :
         text.GetItems("search_correlation").SortNumericBy("correlation_rank", false)) {
        auto* row = new QTreeWidgetItem(list);
        row->setText(0, correlation.HasItem("correlation_text").AsString());
    }
    if (list->topLevelItemCount() == 0)
        return;
    list->show();
    const QList<int> sizes{qMax(0, width() - 150), 150};
    mp_ui->splitter->setSizes(sizes);
    if (sizeManager)
        sizeManager->RegisterSplitter("correlations_splitter", mp_ui->splitter, sizes);
}

SearchResultsForm* SearchResultsForm::PageOf(QTreeWidgetItem* row) {
    QWidget* widget = row ? row->treeWidget() : nullptr;
    for (; widget; widget = widget->parentWidget())
        if (auto* page = qobject_cast<SearchResultsForm*>(widget))
            return page->searchResults() == row->treeWidget() ? page : nullptr;
    return nullptr;
}

ItemPtr SearchResultsForm::SearchTextItem(const QString& text) {
    Type* texts = FindType("search_request_text");
    return texts ? texts->HasItem(Value(text)) : ItemPtr();
}

SearchResultListItem* SearchResultsForm::FileRowOf(const ItemPtr& result) const {
    return result.IsNull() ? nullptr : m_fileRows.value(result.GetId());
}

ItemPtr SearchResultsForm::QueueDownload(const ItemPtr& result, bool single,
                                         const ItemPtr& searchText) {
    if (!transferQueueManager || result.IsNull() || result.IsRemoved())
        return ItemPtr();
    const ItemPtr entry = transferQueueManager->AddDownload(
        result.HasItem("search_results").HasItem("user").AsString(),
        result.HasItem("search_result_file_name").AsStdString(),
        result.HasItem("search_result_file_folder").AsStdString(),
        result.HasItem("file_size").AsInt64(), single, 0);
    if (entry.IsNull())
        return entry;
    if (!searchText.IsNull() && !searchText.IsRemoved())
        entry.Connect(searchText);
    if (SearchResultListItem* row = FileRowOf(result))
        row->setIcon(4, QIcon(":/icons/download_icon"));
    return entry;
}

// A user or folder row stands for every file under it; a row's own file
// is fetched whatever its extension, the others skip excluded ones.
void SearchResultsForm::OnResultDoubleClicked(QTreeWidgetItem* ip_item, int) {
    auto* row = dynamic_cast<SearchResultListItem*>(ip_item);
    if (!row || PageOf(row) != this)
        return;
    std::vector<ItemPtr> results;
    const auto take = [&results](QTreeWidgetItem* fileRow) {
        const ItemPtr result = static_cast<SearchResultListItem*>(fileRow)->Result();
        if (!result.IsNull() && !result.IsRemoved())
            results.push_back(result);
    };
    const bool single = row->RowKind() == SearchResultListItem::FileRow;
    if (single) {
        take(row);
    } else if (row->RowKind() == SearchResultListItem::FolderRow) {
        for (int k = 0; k < row->childCount(); ++k)
            take(row->child(k));
    } else {
        for (int f = 0; f < row->childCount(); ++f)
            for (int k = 0; k < row->child(f)->childCount(); ++k)
                take(row->child(f)->child(k));
    }
    if (results.empty())
        return;
    std::stable_sort(results.begin(), results.end(), CompareSearchResults);
    const ItemPtr text = results.front()
                             .HasItem("search_results")
                             .HasItem("search_request")
                             .HasItem("search_request_text");
    for (const ItemPtr& result : results)
        if (single || !TransferQueueManager::HasExcludedDownloadExtension(
                          result.HasItem("search_result_file_name").AsString()))
            QueueDownload(result, single, text);
}

void SearchResultsForm::OnContextMenuRequested(QPoint i_point) {
    QTreeWidget* list = mp_ui->searchResultsTreeWidget;
    auto* row = dynamic_cast<SearchResultListItem*>(list->itemAt(i_point));
    if (!row)
        return;
    QMenu menu;
    SearchResultMenuOptions resultOptions(&menu, row);
    QString user;
    if (row->RowKind() == SearchResultListItem::FileRow)
        user = row->Result().HasItem("search_results").HasItem("user").AsString();
    else
        user = GetNodeUserNode(row)->text(0);
    UserMenuOptions userOptions(&menu, user);
    prompts::ExecMenu(&menu, list->viewport()->mapToGlobal(i_point));
}

void SearchResultsForm::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (eventToolBar)
        eventToolBar->RemoveEvents(this);
}

void SearchResultsForm::RemoveStoreItems() {
    QTreeWidget* list = mp_ui->searchResultsTreeWidget;
    const int count = list->topLevelItemCount();
    std::vector<QTreeWidgetItem*> fileRows;
    fileRows.reserve(std::size_t(count));
    for (int k = 0; k < count; ++k) {
        QTreeWidgetItem* top = list->topLevelItem(k);
        if (m_flat) {
            fileRows.push_back(top);
            continue;
        }
        for (int f = 0; f < top->childCount(); ++f)
            for (int n = 0; n < top->child(f)->childCount(); ++n)
                fileRows.push_back(top->child(f)->child(n));
    }
    Type* fileNodes = FindType("search_result_node");
    for (QTreeWidgetItem* row : fileRows) {
        const ItemPtr result = static_cast<SearchResultListItem*>(row)->Result();
        const ItemPtr node = fileNodes ? fileNodes->HasItem(Value(row)) : ItemPtr();
        if (!node.IsNull())
            node.Remove();
        if (!result.IsNull() && !result.IsRemoved())
            result.Remove();
    }
    for (const ItemPtr& node : m_folderNodes)
        if (!node.IsRemoved())
            node.Remove();
    for (const ItemPtr& node : m_userNodes)
        if (!node.IsRemoved())
            node.Remove();
    m_folderNodes.clear();
    m_userNodes.clear();
    m_folderRows.clear();
    m_userRows.clear();
    m_fileRows.clear();
    m_unsortedParents.clear();
}
