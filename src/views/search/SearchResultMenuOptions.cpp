#include "views/search/SearchResultMenuOptions.h"

#include <QIcon>
#include <QMenu>
#include <QTreeWidget>

#include "transfers/TransferQueueManager.h"
#include "views/search/SearchResultsForm.h"
#include "views/shares/SharesForm.h"

SearchResultMenuOptions::SearchResultMenuOptions(QMenu* menu, QTreeWidgetItem* row, QObject* parent)
    : QObject(parent), mp_row(row), mp_page(SearchResultsForm::PageOf(row)) {
    auto* listRow = dynamic_cast<SearchResultListItem*>(row);
    if (!menu || !listRow || !mp_page)
        return;
    ItemPtr result;
    if (listRow->RowKind() == SearchResultListItem::FileRow) {
        result = listRow->Result();
        menu->addAction(QIcon(":/icons/download_icon"), "Download File(s)", this,
                        &SearchResultMenuOptions::OnDownloadFile);
    } else if (listRow->RowKind() == SearchResultListItem::FolderRow && listRow->childCount() > 0) {
        // Every file under a folder row is one user's answer to this search.
        result = static_cast<SearchResultListItem*>(listRow->child(0))->Result();
    }
    if (result.IsNull() || result.IsRemoved())
        return;
    const ItemPtr batch = result.HasItem("search_results");
    m_folder = result.HasItem("search_result_file_folder").AsString();
    m_user = batch.HasItem("user").AsString();
    m_searchText = batch.HasItem("search_request").HasItem("search_request_text").AsString();
    menu->addAction(QIcon(":/icons/downloads_icon"), "Download Folder(s)", this,
                    &SearchResultMenuOptions::OnDownloadFolder);
    menu->addAction(QIcon(":/icons/browse_icon"), "Browse Folder", this,
                    &SearchResultMenuOptions::OnBrowseFolder);
}

SearchResultMenuOptions::~SearchResultMenuOptions() = default;

// A file chosen here is fetched whatever its extension.
void SearchResultMenuOptions::OnDownloadFile() {
    QTreeWidget* list = mp_row ? mp_row->treeWidget() : nullptr;
    if (!list || !mp_page)
        return;
    const QList<QTreeWidgetItem*> selected = list->selectedItems();
    const bool single = selected.size() == 1;
    const ItemPtr text = SearchResultsForm::SearchTextItem(m_searchText);
    for (QTreeWidgetItem* item : selected) {
        auto* row = dynamic_cast<SearchResultListItem*>(item);
        if (row && row->RowKind() == SearchResultListItem::FileRow)
            mp_page->QueueDownload(row->Result(), single, text);
    }
}

void SearchResultMenuOptions::OnDownloadFolder() {
    QTreeWidget* list = mp_row ? mp_row->treeWidget() : nullptr;
    if (!list || !mp_page)
        return;
    ItemSet results;
    for (QTreeWidgetItem* item : list->selectedItems()) {
        auto* row = dynamic_cast<SearchResultListItem*>(item);
        if (!row)
            continue;
        if (row->RowKind() == SearchResultListItem::FolderRow) {
            for (int k = 0; k < row->childCount(); ++k) {
                const ItemPtr result = static_cast<SearchResultListItem*>(row->child(k))->Result();
                if (!result.IsNull() && !result.IsRemoved())
                    results.Insert(result);
            }
        } else if (row->RowKind() == SearchResultListItem::FileRow) {
            // A file stands for its folder: the same path in the same answer.
            const ItemPtr result = row->Result();
            if (result.IsNull() || result.IsRemoved())
                continue;
            const ItemPtr folder = result.HasItem("search_result_file_folder");
            for (const ItemPtr& other : result.HasItem("search_results").GetItems("search_result"))
                if (other.HasItem("search_result_file_folder") == folder)
                    results.Insert(other);
        }
    }
    const ItemPtr text = SearchResultsForm::SearchTextItem(m_searchText);
    for (const ItemPtr& result : results.SortAlphabeticBy("search_result_file_name", true, true))
        if (!TransferQueueManager::HasExcludedDownloadExtension(
                result.HasItem("search_result_file_name").AsString()))
            mp_page->QueueDownload(result, false, text);
}

void SearchResultMenuOptions::OnBrowseFolder() {
    if (!sharesForm || m_user.isEmpty())
        return;
    if (ShareForm* share = sharesForm->OpenShareBrowse(m_user))
        share->BrowseToFolder(m_folder);
}
