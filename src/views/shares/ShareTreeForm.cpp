#include "views/shares/ShareTreeForm.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSplitter>
#include <QTextBrowser>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>
#include <QVBoxLayout>
#include <cstdint>
#include <utility>
#include <vector>

#include "shares/SharedFoldersManager.h"
#include "shell/ActionSetToolBar.h"
#include "shell/ColumnWidths.h"
#include "shell/Prompts.h"
#include "store/GeneralFunctions.h"
#include "store/Settings.h"
#include "views/search/FilterHelpDialog.h"
#include "views/search/FilterParser.h"
#include "views/users/UserMenuOptions.h"

namespace {

template <class T>
T* FromAddress(const ItemPtr& item) {
    return item.IsNull() ? nullptr
                         : reinterpret_cast<T*>(static_cast<std::uintptr_t>(item.AsUInt64()));
}

ItemPtr NodeOf(const char* nodeType, QTreeWidgetItem* row) {
    Type* type = row ? d.FindType(nodeType) : nullptr;
    return type ? type->HasItem(Value(row)) : ItemPtr();
}

// The node items of these rows go; the rows themselves are the caller's.
void RemoveNodes(Type* type, const QList<QTreeWidgetItem*>& rows) {
    for (QTreeWidgetItem* row : rows) {
        const ItemPtr node = type->HasItem(Value(row));
        if (!node.IsNull())
            node.Remove();
    }
}

}  // namespace

ShareTreeForm::ShareTreeForm(const QString& user, QWidget* parent, bool withMessages,
                             const char* actionSet, const char* tabType)
    : QWidget(parent),
      m_user(user),
      mp_folderNodeType(d.GetType("user_share_folder_node")),
      mp_fileNodeType(d.GetType("user_share_file_node")),
      mp_tabType(tabType),
      mp_folderTree(new QTreeWidget),
      mp_fileList(new QTreeWidget),
      mp_filterHelpButton(new QPushButton("Filter Help", this)),
      mp_filterEdit(new QLineEdit(this)) {
    setWindowTitle("Form");
    auto* outer = new QHBoxLayout(this);
    outer->setObjectName("horizontalLayout_2");
    auto* column = new QVBoxLayout;
    column->setObjectName("verticalLayout");
    outer->addLayout(column);

    if (withMessages) {
        mp_messageBrowser = new QTextBrowser(this);
        mp_messageBrowser->setObjectName("messageBrowser");
        mp_messageBrowser->setMaximumHeight(60);
        mp_messageBrowser->setOpenExternalLinks(true);
        column->addWidget(mp_messageBrowser);
    }

    auto* splitter = new QSplitter(Qt::Horizontal, this);
    splitter->setObjectName("splitter");
    mp_folderTree->setObjectName("folderTree");
    mp_fileList->setObjectName("fileList");
    splitter->addWidget(mp_folderTree);
    splitter->addWidget(mp_fileList);
    column->addWidget(splitter);

    auto* filterRow = new QHBoxLayout;
    filterRow->setObjectName("horizontalLayout");
    filterRow->setSizeConstraint(QLayout::SetMinimumSize);
    auto* spacer = new QLabel(this);
    spacer->setObjectName("SearchFilterSpacer");
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    mp_filterHelpButton->setObjectName("filterHelpButton");
    mp_filterEdit->setObjectName("filterEdit");
    mp_filterEdit->setMinimumWidth(200);
    filterRow->addWidget(spacer);
    filterRow->addWidget(mp_filterHelpButton);
    filterRow->addWidget(mp_filterEdit);
    column->addLayout(filterRow);

    connect(mp_folderTree, &QTreeWidget::currentItemChanged, this,
            &ShareTreeForm::OnCurrentItemChanged);
    connect(mp_filterEdit, &QLineEdit::textChanged, this, &ShareTreeForm::OnFilterTextChanged);
    connect(mp_filterHelpButton, &QPushButton::clicked, this, &ShareTreeForm::OnFilterHelpClicked);

    ShowLists(false);
    mp_fileList->setSortingEnabled(true);
    mp_fileList->sortByColumn(0, Qt::AscendingOrder);
    mp_folderTree->setHeaderLabels({"Folder"});
    mp_folderTree->setSelectionMode(QAbstractItemView::SingleSelection);
    if (actionBar)
        actionBar->RegisterWidget(this, actionSet);
    mp_fileList->setHeaderLabels({"File", "Size", "Attributes"});
    mp_fileList->setColumnWidth(0, 200);
    mp_fileList->setColumnWidth(1, FittingColumnWidth(mp_fileList, 1, 70, {LargestSizeText()}));
    mp_fileList->header()->setStretchLastSection(true);
    mp_fileList->setRootIsDecorated(false);

    d.GetType(tabType)
        ->GetItem(Value(static_cast<QWidget*>(this)))
        .Connect(d.GetType("user")->GetItem(Value(user)));

    mp_folderTree->setContextMenuPolicy(Qt::CustomContextMenu);
    mp_fileList->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(mp_folderTree, &QWidget::customContextMenuRequested, this,
            &ShareTreeForm::OnFolderContextMenuRequested);
    connect(mp_fileList, &QWidget::customContextMenuRequested, this,
            &ShareTreeForm::OnFileContextMenuRequested);
    m_sorting.SetColumnSortingNumeric(1);
    m_sorting.SetColumnSortingNumeric(2);
}

// A form destroyed without its Delete (the page going at shutdown, a test)
// still takes its row and tab links along, so no address outlives its object.
ShareTreeForm::~ShareTreeForm() {
    DisableHandlers();
    mp_folderTree->blockSignals(true);
    mp_fileList->blockSignals(true);
    if (Type* tabs = d.FindType(mp_tabType)) {
        const ItemPtr tab = tabs->HasItem(Value(static_cast<QWidget*>(this)));
        if (!tab.IsNull())
            tab.Remove();
    }
    if (StoreIsOurs())
        ClearTree();
}

bool ShareTreeForm::StoreIsOurs() const {
    return d.FindType("user_share_folder_node") == mp_folderNodeType &&
           d.FindType("user_share_file_node") == mp_fileNodeType;
}

QWidget* ShareTreeForm::TabWidgetOf(const ItemPtr& tab) {
    return FromAddress<QWidget>(tab);
}

ItemPtr ShareTreeForm::FolderOfRow(QTreeWidgetItem* row) {
    return NodeOf("user_share_folder_node", row)["user_share_folder"];
}

ItemPtr ShareTreeForm::FileOfRow(QTreeWidgetItem* row) {
    return NodeOf("user_share_file_node", row)["user_share_file"];
}

QTreeWidgetItem* ShareTreeForm::RowOf(const ItemPtr& item, const char* nodeType) {
    return item.IsNull() ? nullptr : FromAddress<QTreeWidgetItem>(item[nodeType]);
}

std::list<ItemPtr> ShareTreeForm::FilesInNameOrder(const ItemPtr& folder) {
    return folder.GetItems("user_share_file").SortAlphabeticBy("user_share_file_name", true, true);
}

std::list<ItemPtr> ShareTreeForm::SubFolders(const ItemPtr& folder) {
    ItemSet children;
    for (const ItemPtr& child : folder.GetItems("user_share_folder_child"))
        children.Insert(child["user_share_folder_parent"]["user_share_folder"]);
    children.Erase(ItemPtr());
    return children.SortAlphabeticBy("user_share_folder_name", true, true);
}

void ShareTreeForm::ShowLists(bool show) {
    if (mp_messageBrowser)
        mp_messageBrowser->setVisible(!show);
    mp_folderTree->setVisible(show);
    mp_fileList->setVisible(show);
    mp_filterEdit->setVisible(show);
    mp_filterHelpButton->setVisible(show);
}

void ShareTreeForm::BuildTree(const ItemPtr& share, bool caseSensitiveOrder) {
    const ItemSet folders = share.GetItems("user_share_folder");
    std::list<ItemPtr> ordered;
    if (caseSensitiveOrder)
        // The graph is made in the list's byte order of paths.
        ordered.assign(folders.Items().begin(), folders.Items().end());
    else
        ordered = folders.SortAlphabeticBy("user_share_folder_name", true, false);

    m_deepest = 0;
    mp_folderTree->setUpdatesEnabled(false);
    // Every row first, then the nesting: a parent's path decoded with another
    // encoding than its child's may sort after the child.
    std::vector<std::pair<QTreeWidgetItem*, ItemPtr>> rows;
    rows.reserve(ordered.size());
    for (const ItemPtr& folder : ordered) {
        auto* row = new QTreeWidgetItem;
        row->setText(0, ToQString(GetFileName(folder["user_share_folder_name"].AsStdString())));
        mp_folderNodeType->GetItem(Value(row)).Connect(folder);
        rows.emplace_back(row, folder);
    }
    QList<QTreeWidgetItem*> top;
    for (const auto& [row, folder] : rows) {
        const ItemPtr parent =
            folder["user_share_folder_parent"]["user_share_folder_child"]["user_share_folder"];
        QTreeWidgetItem* parentRow = RowOf(parent, "user_share_folder_node");
        if (parentRow)
            parentRow->addChild(row);
        else
            top << row;
    }
    std::vector<std::pair<QTreeWidgetItem*, int>> pending;
    for (QTreeWidgetItem* row : top)
        pending.emplace_back(row, 0);
    while (!pending.empty()) {
        const auto [row, level] = pending.back();
        pending.pop_back();
        m_deepest = qMax(m_deepest, level);
        for (int k = 0; k < row->childCount(); ++k)
            pending.emplace_back(row->child(k), level + 1);
    }
    mp_folderTree->addTopLevelItems(top);
    if (GetSetting("expand_new_shares") == "yes")
        mp_folderTree->expandAll();
    mp_folderTree->setUpdatesEnabled(true);

    if (!m_actionsConnected) {
        m_actionsConnected = true;
        if (actionBar)
            connect(
                actionBar, &ActionSetToolBar::ActionTriggered, this,
                [this](QWidget* widget, QString action) { OnActionBarTriggered(widget, action); });
        connect(mp_folderTree, &QTreeWidget::itemDoubleClicked, this,
                &ShareTreeForm::OnFolderDoubleClicked);
        connect(mp_fileList, &QTreeWidget::itemDoubleClicked, this,
                &ShareTreeForm::OnFileDoubleClicked);
    }
    m_expandLevel = 0;
    SetExpandLevelText();
    // A filter typed before a new list arrived applies to it as well.
    if (!mp_filterEdit->text().isEmpty())
        OnFilterTextChanged(mp_filterEdit->text());
}

void ShareTreeForm::ClearFileList() {
    QList<QTreeWidgetItem*> rows;
    for (int k = 0; k < mp_fileList->topLevelItemCount(); ++k)
        rows << mp_fileList->topLevelItem(k);
    RemoveNodes(mp_fileNodeType, rows);
    mp_fileList->clear();
}

void ShareTreeForm::ClearTree() {
    ClearFileList();
    QList<QTreeWidgetItem*> rows;
    for (QTreeWidgetItemIterator it(mp_folderTree); *it; ++it)
        rows << *it;
    RemoveNodes(mp_folderNodeType, rows);
    const bool blocked = mp_folderTree->blockSignals(true);
    mp_folderTree->clear();
    mp_folderTree->blockSignals(blocked);
    m_deepest = 0;
    m_expandLevel = 0;
}

void ShareTreeForm::OnCurrentItemChanged(QTreeWidgetItem* current, QTreeWidgetItem*) {
    ClearFileList();
    const ItemPtr folder = FolderOfRow(current);
    if (folder.IsNull())
        return;
    FilterParser filter;
    filter.Parse(mp_filterEdit->text());
    // Words found in the names of the folder and the folders above it need
    // not appear in its files; a folder the filter excludes lists nothing.
    for (QTreeWidgetItem* up = current; up; up = up->parent()) {
        FilterParser rest;
        if (filter.IsMatching(up->text(0), &rest, ItemPtr()) == 2)
            return;
        filter = rest;
    }
    QList<QTreeWidgetItem*> rows;
    for (const ItemPtr& file : folder.GetItems("user_share_file")) {
        const QString name = file["user_share_file_name"].AsString();
        if (filter.IsMatching(name, nullptr, file) != 0)
            continue;
        auto* row = new TreeWidgetItem;
        const qint64 size = SharedFoldersManager::FileAttribute(file, "file_size");
        row->setText(0, name);
        row->setText(1, size == 0 ? QString() : CommafyNumber(size));
        row->setText(2, SharedFoldersManager::GetFileItemDisplayString(file));
        row->SetSortingModel(&m_sorting);
        mp_fileNodeType->GetItem(Value(static_cast<QTreeWidgetItem*>(row))).Connect(file);
        rows << row;
    }
    mp_fileList->setSortingEnabled(false);
    mp_fileList->addTopLevelItems(rows);
    mp_fileList->setSortingEnabled(true);
}

bool ShareTreeForm::FilterFolderNode(QTreeWidgetItem* row, FilterParser& filter) {
    FilterParser rest;
    const int r = filter.IsMatching(row->text(0), &rest, ItemPtr());
    if (r == 2) {
        row->setHidden(true);
        return false;
    }
    bool visible = true;
    if (r == 1 || rest.HasAttributes() || rest.MinFilesInFolder() != 0) {
        const int needed = qMax(rest.MinFilesInFolder(), 1);
        int found = 0;
        const ItemPtr folder = FolderOfRow(row);
        if (!folder.IsNull()) {
            for (const ItemPtr& file : folder.GetItems("user_share_file")) {
                if (rest.IsMatching(file["user_share_file_name"].AsString(), nullptr, file) == 0 &&
                    ++found >= needed)
                    break;
            }
        }
        visible = found >= needed;
    }
    for (int k = 0; k < row->childCount(); ++k)
        visible = FilterFolderNode(row->child(k), rest) || visible;
    row->setHidden(!visible);
    return visible;
}

void ShareTreeForm::OnFilterTextChanged(const QString& text) {
    FilterParser filter;
    filter.Parse(text);
    mp_folderTree->setUpdatesEnabled(false);
    for (int k = 0; k < mp_folderTree->topLevelItemCount(); ++k)
        FilterFolderNode(mp_folderTree->topLevelItem(k), filter);
    mp_folderTree->setUpdatesEnabled(true);
    QTreeWidgetItem* current = mp_folderTree->currentItem();
    if (!current)
        return;
    for (QTreeWidgetItem* up = current; up; up = up->parent()) {
        if (up->isHidden()) {
            ClearFileList();
            return;
        }
    }
    OnCurrentItemChanged(current, current);
}

void ShareTreeForm::OnFilterHelpClicked() {
    FilterHelpDialog::ShowHelp(this);
}

void ShareTreeForm::SetExpandLevelText() {
    if (actionBar)
        actionBar->SetWidgetActionText(this, "expand_level",
                                       m_expandLevel
                                           ? QString("Expand Level [%1]").arg(m_expandLevel)
                                           : QString("Expand Level"));
}

void ShareTreeForm::ExpandLevel() {
    if (m_expandLevel == m_deepest)
        return;
    mp_folderTree->expandToDepth(m_expandLevel);
    ++m_expandLevel;
    SetExpandLevelText();
}

void ShareTreeForm::ExpandAll() {
    mp_folderTree->expandAll();
    m_expandLevel = 0;
    SetExpandLevelText();
}

void ShareTreeForm::CollapseAll() {
    mp_folderTree->collapseAll();
    m_expandLevel = 0;
    SetExpandLevelText();
}

void ShareTreeForm::OnActionBarTriggered(QWidget* widget, QString action) {
    if (widget != this)
        return;
    if (action == "expand_level")
        ExpandLevel();
    else if (action == "collapse_all")
        CollapseAll();
    else if (action == "expand_all")
        ExpandAll();
}

void ShareTreeForm::OnFolderDoubleClicked(QTreeWidgetItem* row, int) {
    const ItemPtr folder = FolderOfRow(row);
    if (!folder.IsNull())
        ActOnFolder(folder);
}

void ShareTreeForm::OnFileDoubleClicked(QTreeWidgetItem* row, int) {
    ActOnFileRow(row);
}

void ShareTreeForm::ActOnSelectedFolders() {
    for (QTreeWidgetItem* row : mp_folderTree->selectedItems())
        OnFolderDoubleClicked(row, 0);
}

void ShareTreeForm::ActOnSelectedFiles() {
    for (QTreeWidgetItem* row : mp_fileList->selectedItems())
        ActOnFileRow(row);
}

void ShareTreeForm::RunMenu(QMenu& menu, QWidget* list, const QPoint& pos) {
    UserMenuOptions userOptions(&menu, m_user);
    prompts::ExecMenu(&menu, static_cast<QAbstractScrollArea*>(list)->viewport()->mapToGlobal(pos));
}

void ShareTreeForm::OnFolderContextMenuRequested(const QPoint& pos) {
    if (!mp_folderTree->itemAt(pos))
        return;
    QMenu menu(this);
    menu.addAction(QIcon(":/icons/transfer_icon"), FolderActionText(), this,
                   &ShareTreeForm::ActOnSelectedFolders);
    RunMenu(menu, mp_folderTree, pos);
}

void ShareTreeForm::OnFileContextMenuRequested(const QPoint& pos) {
    QMenu menu(this);
    menu.addAction(QIcon(":/icons/transfer_icon"), FileActionText(), this,
                   &ShareTreeForm::ActOnSelectedFiles);
    RunMenu(menu, mp_fileList, pos);
}
