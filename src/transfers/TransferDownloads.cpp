// The download side of the transfer negotiation: download entries, the queue
// requests to the uploader, places in line, the answer to the uploader's
// transfer request, the uploader's denials and failure reports, and the
// empty-share check of users who queue from us.

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "net/PeerMessenger.h"
#include "net/server.h"
#include "store/Data.h"
#include "store/GeneralFunctions.h"
#include "store/Log.h"
#include "store/MemStream.h"
#include "store/Settings.h"
#include "transfers/PartialJournal.h"
#include "transfers/TransferQueueManager.h"
#include "transfers/TransferThreads.h"

namespace {

const QString kArea = QStringLiteral("Transfer Queue");

void Note(int level, const QString& text, const ItemPtr& item) {
    Log(kArea, level, text, item);
}

QString TimeText(qint64 secondsFromNow) {
    return QDateTime::currentDateTime().addSecs(secondsFromNow).toString(Qt::TextDate);
}

void SetUserTime(const ItemPtr& user, const char* typeName, qint64 secondsFromNow) {
    user.Connect(d.GetType(typeName)->GetItem(Value(TimeText(secondsFromNow))));
}

QString Text(const std::string& s) {
    return QString::fromStdString(s);
}

bool IsOnline(const ItemPtr& user) {
    return !user.IsNull() && user.IsConnected("is_online");
}

}  // namespace

std::string TransferQueueManager::RemotePath(const ItemPtr& entry) {
    return entry.HasItem("remote_folder").AsStdString() + "\\" +
           entry.HasItem("file_name").AsStdString();
}

ItemPtr TransferQueueManager::GetDownloadEntry(QString user, std::string file,
                                               std::string remoteFolder) {
    // Lookups only: a peer's text must not grow the store.
    const ItemPtr userItem = d.GetType("user")->HasItem(user);
    const ItemPtr fileItem = d.GetType("file_name")->HasItem(file);
    const ItemPtr folderItem = d.GetType("remote_folder")->HasItem(remoteFolder);
    if (userItem.IsNull() || fileItem.IsNull() || folderItem.IsNull())
        return ItemPtr();
    ItemSet keys;
    keys.Insert(userItem);
    keys.Insert(fileItem);
    keys.Insert(folderItem);
    return d.GetItem(keys, "download_entry");
}

ItemPtr TransferQueueManager::CreateDownloadEntry(const QString& user, const std::string& file,
                                                  const std::string& remoteFolder, qint64 size,
                                                  bool single, int subfolderSaveLevel) {
    const ItemPtr entry = d.GetType("download_entry")->NewItem();
    entry.Connect(d.GetType("user")->GetItem(user));
    entry.Connect(d.GetType("file_name")->GetItem(file));
    entry.Connect(d.GetType("remote_folder")->GetItem(remoteFolder));
    entry.Connect(d.GetType("file_size")->GetItem(Value(size)));
    entry.Connect(d.GetType("subfolder_save_level")->GetItem(Value(qMax(0, subfolderSaveLevel))));
    if (single)
        entry.Connect(d.GetType("single_download")->GetGlobalNullItem());

    const qint64 n = GetSettingInt64("transfer_order_counter");
    entry.Connect(d.GetType("download_order")->GetItem(Value(n)));
    SetSetting("transfer_order_counter", Value(n + 1));

    if (gp_server)
        gp_server->TrackUser(user);
    return entry;
}

std::string TransferQueueManager::WaitingKey(const DownloadRequest& request) {
    // The lengths first: names may hold any byte.
    const QByteArray user = request.user.toUtf8();
    const std::uint32_t sizes[2] = {std::uint32_t(user.size()),
                                    std::uint32_t(request.remoteFolder.size())};
    std::string key;
    key.reserve(sizeof sizes + std::size_t(user.size()) + request.remoteFolder.size() +
                request.file.size());
    key.append(reinterpret_cast<const char*>(sizes), sizeof sizes);
    key.append(user.constData(), std::size_t(user.size()));
    return key.append(request.remoteFolder).append(request.file);
}

void TransferQueueManager::AddDownloads(std::vector<DownloadRequest> requests) {
    // One queued already is skipped at its turn, as AddDownload finds it.
    for (DownloadRequest& request : requests)
        if (m_waitingKeys.insert(WaitingKey(request)).second)
            m_downloadsToAdd.push_back(std::move(request));
    if (!m_addingDownloads)
        AddWaitingDownloads();
}

void TransferQueueManager::AddWaitingDownloads() {
    // A slice takes a few hundred at least, and more while under its time:
    // a folder of a usual size is queued before the call returns.
    m_addingDownloads = false;
    AddDownloadsFor(20);
    if (!m_downloadsToAdd.empty()) {
        m_addingDownloads = true;
        QTimer::singleShot(0, this, &TransferQueueManager::AddWaitingDownloads);
    }
}

void TransferQueueManager::FinishAddingDownloads() {
    AddDownloadsFor(-1);
}

void TransferQueueManager::AddDownloadsFor(qint64 sliceMs) {
    constexpr int kAtLeast = 200;
    if (m_downloadsToAdd.empty())
        return;
    QElapsedTimer slice;
    slice.start();
    for (int added = 0; !m_downloadsToAdd.empty() &&
                        (sliceMs < 0 || added < kAtLeast || slice.elapsed() < sliceMs);
         ++added) {
        const DownloadRequest request = std::move(m_downloadsToAdd.front());
        m_downloadsToAdd.pop_front();
        m_waitingKeys.erase(WaitingKey(request));
        AddDownload(request.user, request.file, request.remoteFolder, request.size, request.single,
                    request.subfolderSaveLevel);
    }
    if (m_downloadsToAdd.empty())
        emit WaitingDownloadsDone();
}

namespace {

bool InFolder(const std::string& folder, const std::string* within) {
    return !within || folder == *within ||
           (folder.size() > within->size() && folder.compare(0, within->size(), *within) == 0 &&
            folder[within->size()] == '\\');
}

}  // namespace

bool TransferQueueManager::DownloadsWaitFor(const QString& user,
                                            const std::string* remoteFolder) const {
    for (const DownloadRequest& request : m_downloadsToAdd)
        if (request.user == user && (!remoteFolder || request.remoteFolder == *remoteFolder))
            return true;
    return false;
}

void TransferQueueManager::DropWaitingDownloads(const QString& user,
                                                const std::string* remoteFolder) {
    if (m_downloadsToAdd.empty())
        return;
    const auto gone = [&](const DownloadRequest& request) {
        if (request.user != user || !InFolder(request.remoteFolder, remoteFolder))
            return false;
        m_waitingKeys.erase(WaitingKey(request));
        return true;
    };
    m_downloadsToAdd.erase(std::remove_if(m_downloadsToAdd.begin(), m_downloadsToAdd.end(), gone),
                           m_downloadsToAdd.end());
    if (m_downloadsToAdd.empty())
        emit WaitingDownloadsDone();
}

ItemPtr TransferQueueManager::AddDownload(QString user, std::string file, std::string remoteFolder,
                                          qint64 size, bool single, int subfolderSaveLevel) {
    const ItemPtr existing = GetDownloadEntry(user, file, remoteFolder);
    if (!existing.IsNull())
        return existing;
    if (size < 0 || user.isEmpty() || file.empty()) {
        Note(1,
             QStringLiteral("Download of %1 from %2 with size %3 refused")
                 .arg(Text(file), user)
                 .arg(size),
             ItemPtr());
        return ItemPtr();
    }

    const ItemPtr entry =
        CreateDownloadEntry(user, file, remoteFolder, size, single, subfolderSaveLevel);
    if (DoesDownloadItemCompleteFilenameExist(entry)) {
        RecordFoundComplete(entry);
        SetDownloadEntryStatus(entry, kComplete);
        return entry;
    }
    SetDownloadEntryStatus(entry, kQueued);
    const ItemPtr userItem = entry.HasItem("user");
    if (IsOnline(userItem) && peerMessenger)
        peerMessenger->QueueDownload(user, RemotePath(entry));
    SetUserTime(userItem, "next_place_in_line_request_time", 10);
    return entry;
}

bool TransferQueueManager::HasExcludedDownloadExtension(QString fileName) {
    Type* type = d.FindType("excluded_download_extension");
    if (!type)
        return false;
    for (const ItemPtr& item : type->GetItems()) {
        const QString ending = item.AsString();
        if (!ending.isEmpty() && fileName.endsWith(ending, Qt::CaseInsensitive))
            return true;
    }
    return false;
}

bool TransferQueueManager::WaitsAfterWriteFailure(const ItemPtr& entry) {
    const ItemPtr until = entry.HasItem("download_retry_time");
    if (until.IsNull())
        return false;
    const QDateTime due = QDateTime::fromString(until.AsString(), Qt::TextDate);
    return due.isValid() && QDateTime::currentDateTime() < due;
}

void TransferQueueManager::RequeueAfterWriteFailures() {
    Type* type = d.FindType("download_retry_time");
    if (!type)
        return;
    std::vector<ItemPtr> due;
    // Downloads stopped by the journal's failure wait no longer once it
    // writes again.
    if (!m_journalWaits.empty() && (!m_journal || !m_journal->Failing()))
        due.swap(m_journalWaits);
    for (const ItemPtr& time : type->GetItems())
        for (const ItemPtr& entry : time.GetItems("download_entry"))
            if (!WaitsAfterWriteFailure(entry))
                due.push_back(entry);
    for (const ItemPtr& entry : due) {
        if (entry.IsRemoved() || entry.HasItem("download_retry_time").IsNull())
            continue;
        entry.Disconnect("download_retry_time");
        const QString status = DownloadStatus(entry);
        // A local error waits only after a failed move of a whole partial.
        if (status == QLatin1String(kAborted) || status == QLatin1String(kQueued) ||
            status == QLatin1String(kLocalError))
            RequeueDownload(entry);
    }
}

void TransferQueueManager::QueueDownloadIfUserOnline(ItemPtr entry) {
    if (entry.IsNull() || entry.IsRemoved())
        return;
    const ItemPtr user = entry.HasItem("user");
    const QString path = Text(RemotePath(entry));
    const QString status = DownloadStatus(entry);
    // A late failure report for a finished download must not fetch it again.
    if (status == QLatin1String(kLocalError) || status == QLatin1String(kComplete)) {
        Note(1, QStringLiteral("Download status %1, not re-queueing %2").arg(status, path), user);
        return;
    }
    // The uploader's report of our own write failure: asked again at once,
    // it would send again at once, and fail again.
    if (WaitsAfterWriteFailure(entry)) {
        Note(2, QStringLiteral("Waiting after a write failure, not re-queueing %1 yet").arg(path),
             user);
        return;
    }
    if (FinishWholePartial(entry) || FinishMovedFile(entry))
        return;
    if (IsOnline(user)) {
        Note(1,
             QStringLiteral("User %1 appears to still be online, re-queueing %2")
                 .arg(user.AsString(), path),
             user);
        if (peerMessenger)
            peerMessenger->QueueDownload(user.AsString(), RemotePath(entry));
    } else {
        Note(1, QStringLiteral("User %1 offline, not re-queueing %2").arg(user.AsString(), path),
             user);
    }
}

void TransferQueueManager::RequeueDownload(ItemPtr entry) {
    if (entry.IsNull() || entry.IsRemoved())
        return;
    if (DownloadStatus(entry) == QLatin1String(kComplete) || IsDownloadActive(entry) ||
        WaitsAfterWriteFailure(entry) || FinishWholePartial(entry) || FinishMovedFile(entry))
        return;
    if (DoesDownloadItemCompleteFilenameExist(entry)) {
        RecordFoundComplete(entry);
        SetDownloadEntryStatus(entry, kComplete);
        return;
    }
    const ItemPtr user = entry.HasItem("user");
    if (peerMessenger)
        peerMessenger->QueueDownload(user.AsString(), RemotePath(entry));
    SetDownloadEntryStatus(entry, kQueued);
    Note(2, QStringLiteral("Queueing %1").arg(entry.HasItem("file_name").AsString()), user);
}

QString TransferQueueManager::RetryDownload(ItemPtr entry) {
    if (entry.IsNull() || entry.IsRemoved())
        return QStringLiteral("the download was removed");
    if (DownloadStatus(entry) == QLatin1String(kComplete))
        return QStringLiteral("it is complete");
    if (IsMoving(entry))
        return QStringLiteral("it is being moved into its complete folder");
    if (IsDownloadActive(entry))
        return QStringLiteral("it is downloading");
    // The user may have made room: his word ends the wait.
    entry.Disconnect("download_retry_time");
    RequeueDownload(entry);
    return QString();
}

void TransferQueueManager::RequeueUserDownloads(ItemPtr user) {
    if (user.IsNull() || user.IsRemoved())
        return;
    const ItemSet entries = user.GetItems("download_entry");
    if (entries.Empty())
        return;
    Note(1, QStringLiteral("Requeueing downloads from user %1").arg(user.AsString()), user);
    const std::list<ItemPtr> ordered = entries.SortNumericBy("download_order", true);
    BeginCompleteChecks();
    for (const ItemPtr& entry : ordered) {
        const QString status = DownloadStatus(entry);
        if (status == QLatin1String(kComplete) || status == QLatin1String(kDenied))
            continue;
        RequeueDownload(entry);
    }
    EndCompleteChecks();
    if (ordered.empty())
        return;
    SetUserTime(user, "last_queue_request_time", 0);
    SetUserTime(user, "next_place_in_line_request_time", 30);
}

void TransferQueueManager::RequestDownloadPlaceInLine(ItemPtr entry) {
    if (entry.IsNull() || entry.IsRemoved() || !peerMessenger)
        return;
    const ItemPtr user = entry.HasItem("user");
    MemStream body;
    if (!body.Write(quint32(PeerMessenger::PM_UPLOAD_PLACE_IN_LINE_REQUEST)) ||
        !body.Write(RemotePath(entry)))
        return;
    Note(1,
         QStringLiteral("Requesting place in line for download of %1 from %2")
             .arg(entry.HasItem("file_name").AsString(), user.AsString()),
         user);
    peerMessenger->SendMessage(user.AsString(), body);
}

void TransferQueueManager::OnDownloadPlaceInLine(QString user, std::string file, int place) {
    const ItemPtr entry = GetDownloadEntry(user, GetFileName(file), GetFolder(file));
    if (entry.IsNull())
        return;
    entry.Connect(d.GetType("place_in_line")->GetItem(Value(place)));
}

void TransferQueueManager::OnFileTransferRequest(QString user, int direction, uint req,
                                                 std::string file, qint64 fileSize) {
    if (!peerMessenger)
        return;
    if (direction != 1) {
        peerMessenger->DenyTransferRequest(user, req, QStringLiteral("Queued"));
        OnQueueUploadRequested(user, Text(file));
        return;
    }
    // Lookups only, and one line for a denial: anyone may ask, under any name.
    const ItemPtr userItem = d.GetType("user")->HasItem(user);
    const QString received = QStringLiteral("Received upload request from %1 for file %2, req %3")
                                 .arg(user, Text(file))
                                 .arg(req);
    const std::string name = GetFileName(file);
    const std::string folder = GetFolder(file);
    ItemPtr entry = fileSize < 0 ? ItemPtr() : GetDownloadEntry(user, name, folder);
    if (fileSize < 0 ||
        (entry.IsNull() && (!CanAcceptUserInitiatedUploadsFrom(user) || name.empty()))) {
        Note(1, received + QStringLiteral(": denied, Cancelled (size %1)").arg(fileSize), userItem);
        peerMessenger->DenyTransferRequest(user, req, QStringLiteral("Cancelled"));
        return;
    }
    Note(1, received, userItem);
    if (entry.IsNull()) {
        entry = CreateDownloadEntry(user, name, folder, fileSize, false, 0);
        SetDownloadEntryStatus(entry, kQueued);
    }
    const ItemPtr owner = entry.HasItem("user");
    if (DownloadStatus(entry) == QLatin1String(kComplete)) {
        Note(2, QStringLiteral("Denied, Complete"), owner);
        peerMessenger->DenyTransferRequest(user, req, QStringLiteral("Complete"));
        return;
    }
    // Every byte is here already, being moved or waiting to be: a refused
    // connection would make the uploader report a failure and us ask again
    // at once. "Queued" leaves its entry until we ask, which we do not.
    if ((fileSize == 0 || entry.HasItem("file_size").AsInt64() == fileSize) &&
        FinishWholePartial(entry)) {
        Note(2, QStringLiteral("Denied, Queued: the file is here, being moved"), owner);
        peerMessenger->DenyTransferRequest(user, req, QStringLiteral("Queued"));
        return;
    }

    // One request number per entry, and per user one entry per number.
    const ItemPtr reqItem = d.GetType("remote_transfer_req")->GetItem(Value(req));
    for (const ItemPtr& other : d.GetItems(reqItem, owner, "download_entry"))
        other.Disconnect(reqItem);
    entry.Connect(reqItem);

    if (DownloadStatus(entry) == QLatin1String(kDownloading)) {
        Note(2, QStringLiteral("Transfer is already downloading, cancelling..."), owner);
        SetDownloadAborted(entry);
    }

    // The uploader sends up to the size it announces; a stale recorded size
    // would end the download short or make it fail for good. A request
    // without a size arrives as 0 and keeps the recorded one.
    if (fileSize > 0 && entry.HasItem("file_size").AsInt64() != fileSize)
        entry.Connect(d.GetType("file_size")->GetItem(Value(fileSize)));
    peerMessenger->AcceptTransferRequest(user, req, false, 0);
    Note(2, QStringLiteral("Accepted"), owner);
}

void TransferQueueManager::OnUploadDeniedNotification(QString user, std::string file,
                                                      QString reason) {
    const ItemPtr userItem = d.GetType("user")->HasItem(user);
    Note(1,
         QStringLiteral("Received peer notification from %1 that upload of %2 was denied, "
                        "reason: %3")
             .arg(user, Text(file), reason),
         userItem);
    const ItemPtr entry = GetDownloadEntry(user, GetFileName(file), GetFolder(file));
    if (entry.IsNull()) {
        Note(2, QStringLiteral("Download not found."), userItem);
        return;
    }
    Note(2, QStringLiteral("Download found, marking as denied."), userItem);
    entry.Connect(d.GetType("denial_reason")->GetItem(reason));
    SetDownloadEntryStatus(entry, kDenied);
}

void TransferQueueManager::OnUploadFailedNotification(QString user, std::string file) {
    const ItemPtr userItem = d.GetType("user")->HasItem(user);
    Note(1,
         QStringLiteral("Received peer notification from %1 that upload of %2 failed")
             .arg(user, Text(file)),
         userItem);
    const ItemPtr entry = GetDownloadEntry(user, GetFileName(file), GetFolder(file));
    if (entry.IsNull()) {
        Note(2, QStringLiteral("Download not found."), userItem);
        return;
    }
    Note(2, QStringLiteral("Download found!"), userItem);
    QueueDownloadIfUserOnline(entry);
    SetUserTime(userItem, "last_queue_request_time", 0);
}

void TransferQueueManager::RemoveDownload(ItemPtr entry) {
    if (entry.IsNull() || entry.IsRemoved())
        return;
    const bool wasActive = IsDownloadActive(entry);

    ReleaseTransfer(entry, false);
    ForgetJournaledPartial(entry);
    entry.Remove();
    if (wasActive)
        DetermineDownloadSpeedLimit();
}

void TransferQueueManager::OnUserShare(QString user, FileInfoMap& share,
                                       AttributeTranslationTable&) {
    const ItemPtr userItem = d.GetType("user")->HasItem(user);
    if (userItem.IsNull() ||
        userItem.HasItem("empty_share_check_status").AsString() != QLatin1String("requested"))
        return;
    Type* statusType = d.GetType("empty_share_check_status");
    if (!share.empty()) {
        userItem.Connect(statusType->GetItem(Value("not_empty")));
        return;
    }
    userItem.Connect(statusType->GetItem(Value("empty")));
    const QString message = GetSetting("empty_share_message");
    if (!IsSettingYes("check_for_empty_shares") || userItem.IsConnected("in_user_list") ||
        message.isEmpty())
        return;
    if (gp_server)
        gp_server->SendPrivateChat(user, message);
    Log(QStringLiteral("Shared"), 1,
        QStringLiteral("Sent empty share warning message to user %1").arg(user));
    userItem.Connect(d.GetType("sent_empty_share_warning_message")->GetItem(message));
}
