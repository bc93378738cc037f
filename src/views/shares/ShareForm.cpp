#include "views/shares/ShareForm.h"

#include <QIcon>
#include <QLineEdit>
#include <QTextBrowser>
#include <QTreeWidget>
#include <QUrl>
#include <QXmlStreamWriter>

#include "net/PeerMessenger.h"
#include "shares/SharedFoldersManager.h"
#include "shell/ActionSetToolBar.h"
#include "shell/EventToolBar.h"
#include "shell/Prompts.h"
#include "shell/ShellGlobals.h"
#include "store/GeneralFunctions.h"
#include "store/Log.h"
#include "store/Settings.h"
#include "store/Temporaries.h"
#include "transfers/TransferQueueManager.h"

namespace {

// XML 1.0 cannot carry control characters, lone surrogates or U+FFFE and
// U+FFFF, and a peer's names may hold any of them.
QString XmlSafe(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (int k = 0; k < text.size(); ++k) {
        const QChar c = text.at(k);
        if (c.isHighSurrogate() && k + 1 < text.size() && text.at(k + 1).isLowSurrogate()) {
            out += c;
            out += text.at(++k);
            continue;
        }
        const ushort u = c.unicode();
        const bool ok = (u >= 0x20 && !c.isSurrogate() && u != 0xFFFE && u != 0xFFFF) || u == 0x9 ||
                        u == 0xA || u == 0xD;
        out += ok ? c : QChar(QChar::ReplacementCharacter);
    }
    return out;
}

QString PortTestLink() {
    QString base = qEnvironmentVariable("TAVENOOK_PORT_TEST_URL", kTavenookWebHost);
    while (base.endsWith('/'))
        base.chop(1);
    return base + "/porttest.php?port=" + QString::number(GetSettingInt("listening_port"));
}

}  // namespace

ShareForm::ShareForm(const QString& user, QWidget* parent)
    : ShareTreeForm(user, parent, true, "share_folders", "user_share_tab") {
    resize(563, 371);
    mp_fileList->setSelectionMode(QAbstractItemView::ExtendedSelection);
    if (actionBar)
        actionBar->RegisterWidget(mp_fileList, "share_files");
    connect(mp_fileList, &QTreeWidget::currentItemChanged, this, &ShareForm::OnFileItemChanged);
    mp_messageBrowser->append("Requesting file list...");
    if (peerMessenger) {
        connect(peerMessenger, &PeerMessenger::ConnectionToUserFailed, this,
                &ShareForm::OnConnectionToUserFailed);
        connect(peerMessenger, &PeerMessenger::ShareListMalformed, this,
                &ShareForm::OnShareListMalformed);
    }
}

ShareForm::~ShareForm() = default;

void ShareForm::Report(const QString& html, QWidget* widget) {
    if (!html.isEmpty())
        mp_messageBrowser->append(html);
    if (eventToolBar)
        eventToolBar->AddEvent(m_user, ":/icons/browse_icon", widget, QString(), "browse", false);
}

void ShareForm::OnConnectionToUserFailed(QString user, QString connectionType) {
    if (m_answered || user != m_user || connectionType != "P")
        return;
    m_answered = true;
    Report(
        "A connection could not be successfully formed to the user. If this is happening to "
        "you a lot, <a href=\"" +
            PortTestLink().toHtmlEscaped() +
            "\">Check here</a> to make sure that your port is open.",
        mp_messageBrowser);
}

void ShareForm::OnShareListMalformed(QString user) {
    if (m_answered || user != m_user)
        return;
    m_answered = true;
    Report("The file list the user sent could not be read.", mp_messageBrowser);
}

void ShareForm::ClearShare() {
    ClearTree();
    m_share = ItemPtr();
}

void ShareForm::SetShare(ItemPtr share) {
    if (share.IsNull() || share == m_share)
        return;
    // A new list for an open tab: the rows of the old one go first.
    ClearShare();
    m_answered = true;
    m_share = share;
    if (share.CountItems("user_share_folder") == 0) {
        ShowLists(false);
        Report(
            "No files returned. The user is either not sharing any files, or is sharing all "
            "of their files privately.",
            mp_messageBrowser);
        return;
    }
    BuildTree(share, false);
    if (!m_watchingRemovals) {
        m_watchingRemovals = true;
        d.GetType("user_share")
            ->ItemRemovedEvent()
            .Insert(ItemHandler(this, &ShareForm::OnUserShareItemRemoved));
    }
    ShowLists(true);
    Report(QString(), mp_folderTree);
    if (!m_pendingFolder.isEmpty()) {
        const QString pending = m_pendingFolder;
        m_pendingFolder.clear();
        BrowseToFolder(pending);
    }
}

void ShareForm::OnUserShareItemRemoved(ItemPtr item) {
    if (item == m_share)
        m_share = ItemPtr();
}

QString ShareForm::FolderPath(QTreeWidgetItem* row) {
    return FolderOfRow(row)["user_share_folder_name"].AsString();
}

void ShareForm::BrowseToFolder(QString folder) {
    if (m_share.IsNull()) {
        m_pendingFolder = folder;
        return;
    }
    const ItemPtr name = d.GetType("user_share_folder_name")->HasItem(Value(folder));
    if (name.IsNull())
        return;
    QTreeWidgetItem* row =
        RowOf(d.GetItem(m_share, name, "user_share_folder"), "user_share_folder_node");
    if (!row)
        return;
    for (QTreeWidgetItem* up = row->parent(); up; up = up->parent())
        up->setExpanded(true);
    mp_folderTree->scrollToItem(row, QAbstractItemView::PositionAtTop);
    mp_folderTree->setCurrentItem(row);
}

void ShareForm::Delete() {
    ClearShare();
    SharedFoldersManager::RemoveUserShare(m_user);
    const ItemPtr tab = d.GetType("user_share_tab")->HasItem(Value(static_cast<QWidget*>(this)));
    if (!tab.IsNull())
        tab.Remove();
    deleteLater();
}

void ShareForm::DownloadFolder(ItemPtr folder, int level) {
    if (!transferQueueManager || folder.IsNull())
        return;
    std::vector<TransferQueueManager::DownloadRequest> requests;
    GatherDownloads(folder, level, requests);
    transferQueueManager->AddDownloads(std::move(requests));
}

void ShareForm::GatherDownloads(const ItemPtr& folder, int level,
                                std::vector<TransferQueueManager::DownloadRequest>& requests) {
    const std::string path = folder["user_share_folder_name"].AsStdString();
    const QIcon icon(":/icons/download_icon");
    for (const ItemPtr& file : FilesInNameOrder(folder)) {
        const std::string name = file["user_share_file_name"].AsStdString();
        if (TransferQueueManager::HasExcludedDownloadExtension(ToQString(name)))
            continue;
        requests.push_back({m_user, name, path, file["file_size"].AsInt64(), false, level});
        if (QTreeWidgetItem* row = RowOf(file, "user_share_file_node"))
            row->setIcon(0, icon);
    }
    for (const ItemPtr& child : SubFolders(folder))
        GatherDownloads(child, level + 1, requests);
}

void ShareForm::ActOnFileRow(QTreeWidgetItem* row) {
    const ItemPtr file = FileOfRow(row);
    if (!transferQueueManager || file.IsNull())
        return;
    transferQueueManager->AddDownload(
        m_user, file["user_share_file_name"].AsStdString(),
        file["user_share_folder"]["user_share_folder_name"].AsStdString(),
        file["file_size"].AsInt64(), true, 0);
    row->setIcon(0, QIcon(":/icons/download_icon"));
}

void ShareForm::WriteSharedFolderToXML(QXmlStreamWriter& writer, QTreeWidgetItem* row) {
    writer.writeStartElement("folder");
    writer.writeAttribute("name", XmlSafe(row->text(0)));
    for (int k = 0; k < row->childCount(); ++k)
        WriteSharedFolderToXML(writer, row->child(k));
    const ItemPtr folder = FolderOfRow(row);
    if (!folder.IsNull()) {
        for (const ItemPtr& file : FilesInNameOrder(folder)) {
            writer.writeEmptyElement("file");
            writer.writeAttribute("name", XmlSafe(file["user_share_file_name"].AsString()));
            const qint64 size = SharedFoldersManager::FileAttribute(file, "file_size");
            writer.writeAttribute("size", size == 0 ? QString() : CommafyNumber(size));
            const ItemPtr mode = file["bitrate_mode"];
            if (!mode.IsNull())
                writer.writeAttribute("bitrate_mode", mode.AsString());
            bool present = false;
            const qint64 bitrate = SharedFoldersManager::FileAttribute(file, "bitrate", &present);
            if (present)
                writer.writeAttribute("bitrate", QString::number(bitrate));
        }
    }
    writer.writeEndElement();
}

bool ShareForm::ExportToFile(QString fileName) {
    // Made whole first, then written in one piece beside the chosen file,
    // which it replaces only once it is whole: a failure, also one the disk
    // reports only at the close, leaves the old file and gives the reason.
    QByteArray xml;
    QXmlStreamWriter writer(&xml);
    writer.setAutoFormatting(true);
    writer.writeStartDocument();
    writer.writeStartElement("user");
    writer.writeAttribute("name", XmlSafe(m_user));
    for (int k = 0; k < mp_folderTree->topLevelItemCount(); ++k)
        WriteSharedFolderToXML(writer, mp_folderTree->topLevelItem(k));
    writer.writeEndElement();
    writer.writeEndDocument();
    QString why;
    const bool ok = ReplaceFile(fileName, QStringLiteral("export"), xml, &why);
    if (!ok) {
        Log("shares", 1,
            QString("Could not export the share of %1 to %2: %3").arg(m_user, fileName, why));
        prompts::Inform(this, "Export Share To File",
                        QString("The share could not be written to %1: %2").arg(fileName, why));
    }
    return ok;
}

void ShareForm::OnActionBarTriggered(QWidget* widget, QString action) {
    if (widget == this && action == "save_to_file") {
        // Nothing to export before a share with folders is on display.
        if (m_share.IsNull() || mp_folderTree->isHidden())
            return;
        const QString name =
            prompts::ChooseSaveFile(this, "Export Share To File", m_user, "XML files (*.xml)");
        if (!name.isEmpty())
            ExportToFile(name);
        return;
    }
    ShareTreeForm::OnActionBarTriggered(widget, action);
}

void ShareForm::showEvent(QShowEvent* event) {
    ShareTreeForm::showEvent(event);
    if (eventToolBar) {
        eventToolBar->RemoveEvents(mp_folderTree);
        eventToolBar->RemoveEvents(mp_messageBrowser);
    }
}
