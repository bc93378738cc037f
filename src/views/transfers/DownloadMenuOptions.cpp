#include "views/transfers/DownloadMenuOptions.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QIcon>
#include <QMenu>
#include <QTreeWidgetItem>
#include <QUrl>

#include "net/server.h"
#include "shell/Prompts.h"
#include "store/GeneralFunctions.h"
#include "transfers/TransferQueueManager.h"
#include "views/search/SearchForm.h"

void OpenLocalPath(QString path) {
    // An empty path is one the engine refused; there is nothing to open.
    if (path.isEmpty())
        return;
    path.replace('\\', '/');
    QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

void OpenDownloadedFile(QWidget* parent, QString path) {
    if (path.isEmpty())
        return;
    path.replace('\\', '/');
    // The desktop would only fail on its own, or open something else.
    if (!QFileInfo::exists(path)) {
        prompts::Inform(parent, "Open File", QString("The file %1 no longer exists.").arg(path));
        return;
    }
    OpenLocalPath(path);
}

namespace {

bool IsComplete(const ItemPtr& entry) {
    return TransferQueueManager::DownloadStatus(entry) == TransferQueueManager::kComplete;
}

// The single partner of that type over all entries, or null when there are
// none or several.
ItemPtr OnlyPartner(const ItemSet& entries, const char* typeName) {
    ItemSet partners = entries.GetItems(typeName);
    return partners.Size() == 1 ? partners.First() : ItemPtr();
}

QTreeWidgetItem* RowOf(const ItemPtr& node) {
    return TransferQueueManager::ObjectOf<QTreeWidgetItem>(node);
}

void MarkRow(QTreeWidgetItem* row, int column) {
    if (row)
        row->setIcon(column, QIcon(":/icons/alert_icon"));
}

ItemPtr NewAlert() {
    return d.GetType("complete_download_alert")->NewItem();
}

}  // namespace

DownloadMenuOptions::DownloadMenuOptions(QMenu* menu, const ItemSet& entries, QObject* parent)
    : QObject(parent), m_entries(entries) {
    if (m_entries.Empty())
        return;
    if (!menu->actions().isEmpty())
        menu->addSeparator();
    const ItemPtr entry = m_entries.First();
    const bool single = m_entries.Size() == 1;
    if (single && IsComplete(entry))
        menu->addAction(QIcon(":/icons/play_icon"), "Open File", this,
                        &DownloadMenuOptions::OnOpenFile);
    menu->addAction(QIcon(":/icons/folder_icon"), "Open Folder", this,
                    &DownloadMenuOptions::OnOpenFolder);
    if (!single)
        menu->addAction(QIcon(":/icons/transfer_icon"), "Retry downloads", this,
                        &DownloadMenuOptions::OnRetryDownloads);
    else if (!IsComplete(entry) && !TransferQueueManager::IsDownloadActive(entry))
        menu->addAction(QIcon(":/icons/transfer_icon"), "Retry download", this,
                        &DownloadMenuOptions::OnRetryDownloads);
    menu->addSeparator();
    menu->addAction(QIcon(":/icons/transfer_icon"), single ? "Remove download" : "Remove downloads",
                    this, &DownloadMenuOptions::OnRemoveDownloads);

    m_user = OnlyPartner(m_entries, "user");
    m_folder = OnlyPartner(m_entries, "remote_folder");

    QMenu* alerts = menu->addMenu(QIcon(":/icons/alert_icon"), "Notify me when...");
    if (single && !entry.IsConnected("complete_download_alert") && !IsComplete(entry))
        alerts->addAction("File download completes", this,
                          &DownloadMenuOptions::OnSetFileDownloadAlert);
    if (!m_folder.IsNull() && !m_user.IsNull() &&
        m_folder.GetItems("complete_download_alert").Connected(m_user).Empty()) {
        const std::string folder = m_folder.AsStdString();
        bool unfinished = transferQueueManager &&
                          transferQueueManager->DownloadsWaitFor(m_user.AsString(), &folder);
        for (const ItemPtr& e : m_folder.GetItems("download_entry").Connected(m_user))
            unfinished = unfinished || !IsComplete(e);
        if (unfinished)
            alerts->addAction("Folder download completes", this,
                              &DownloadMenuOptions::OnSetFolderDownloadAlert);
    }
    if (!m_user.IsNull()) {
        const ItemPtr userNode = m_user.HasItem("download_list_user_node");
        const bool severalFolders = userNode.CountItems("download_list_folder_node") > 1;
        const bool hasUserAlert =
            !m_user.GetItems("complete_download_alert").NotConnected("remote_folder").Empty();
        bool unfinished = severalFolders && !hasUserAlert && transferQueueManager &&
                          transferQueueManager->DownloadsWaitFor(m_user.AsString());
        if (severalFolders && !hasUserAlert && !unfinished)
            for (const ItemPtr& e : m_user.GetItems("download_entry"))
                if (!IsComplete(e)) {
                    unfinished = true;
                    break;
                }
        if (unfinished)
            alerts->addAction("All downloads from user complete", this,
                              &DownloadMenuOptions::OnSetUserDownloadAlert);
    }
    if (alerts->actions().isEmpty())
        delete alerts;

    // The search views relate the two types when they start downloads.
    const Type* textType = d.FindType("search_request_text");
    if (textType && entry.GetType()->IsRelatedTo(textType)) {
        const ItemPtr text = entry.HasItem("search_request_text");
        if (!text.IsNull()) {
            m_searchText = text.AsString();
            menu->addAction(QIcon(":/icons/search_icon"),
                            "Re-run Search: " + LiteralLabel(m_searchText), this,
                            &DownloadMenuOptions::OnRerunSearch);
        }
    }
}

void DownloadMenuOptions::OnOpenFile() {
    if (transferQueueManager)
        OpenDownloadedFile(nullptr,
                           transferQueueManager->GetDownloadTargetPath(m_entries.First(), true));
}

void DownloadMenuOptions::OnOpenFolder() {
    if (transferQueueManager)
        OpenLocalPath(transferQueueManager->GetDownloadTargetFolder(m_entries.First(), true));
}

void DownloadMenuOptions::OnRetryDownloads() {
    if (!transferQueueManager)
        return;
    QStringList refused;
    for (const ItemPtr& entry : ItemSet(m_entries)) {
        // A finished row in a selection is no download to retry.
        if (entry.IsRemoved() ||
            TransferQueueManager::DownloadStatus(entry) == TransferQueueManager::kComplete)
            continue;
        const QString why = transferQueueManager->RetryDownload(entry);
        if (!why.isEmpty())
            refused << QStringLiteral("%1: %2").arg(entry.HasItem("file_name").AsString(), why);
    }
    // A few lines say it; a long selection of finished rows is summed up.
    constexpr int kShown = 10;
    if (refused.size() > kShown)
        refused = refused.mid(0, kShown)
                  << QStringLiteral("and %1 more").arg(refused.size() - kShown);
    if (!refused.isEmpty())
        prompts::Inform(nullptr, "Retry", "Not retried:\n" + refused.join('\n'));
}

void DownloadMenuOptions::OnRemoveDownloads() {
    if (!transferQueueManager)
        return;
    emit RemovingDownloads();
    for (const ItemPtr& entry : ItemSet(m_entries))
        if (!entry.IsRemoved())
            transferQueueManager->RemoveDownload(entry);
}

void DownloadMenuOptions::OnSetFileDownloadAlert() {
    const ItemPtr entry = m_entries.First();
    if (entry.IsNull() || entry.IsRemoved())
        return;
    MarkRow(RowOf(entry.HasItem("download_list_node")), 2);
    NewAlert().Connect(entry);
}

void DownloadMenuOptions::OnSetFolderDownloadAlert() {
    if (m_user.IsNull() || m_folder.IsNull())
        return;
    const ItemPtr userNode = m_user.HasItem("download_list_user_node");
    const ItemPtr folderNode = d.GetItem(userNode, m_folder, "download_list_folder_node");
    MarkRow(RowOf(folderNode), 1);
    const ItemPtr alert = NewAlert();
    alert.Connect(m_user);
    alert.Connect(m_folder);
}

void DownloadMenuOptions::OnSetUserDownloadAlert() {
    if (m_user.IsNull())
        return;
    MarkRow(RowOf(m_user.HasItem("download_list_user_node")), 0);
    NewAlert().Connect(m_user);
}

void DownloadMenuOptions::OnRerunSearch() {
    if (!gp_server || m_searchText.isEmpty())
        return;
    const quint32 token = gp_server->FileSearch(m_searchText, false);
    // Unlike a search typed in the search page: no history, no correlations.
    if (searchForm)
        searchForm->CreateSearchForm(token, m_searchText, GlobalSearch);
}
