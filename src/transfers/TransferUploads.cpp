// The upload side of the transfer engine: who may queue which of our files,
// the serving order of the queue, the upload slots, the transfer request to
// the downloader and the start and end of the upload thread.

#include <QDateTime>
#include <QFile>
#include <QTcpSocket>
#include <algorithm>
#include <memory>
#include <vector>

#include "net/PeerMessenger.h"
#include "net/server.h"
#include "shares/SharedFoldersManager.h"
#include "store/Data.h"
#include "store/GeneralFunctions.h"
#include "store/Log.h"
#include "store/PlainFile.h"
#include "store/Settings.h"
#include "transfers/TransferQueueManager.h"
#include "transfers/TransferThreads.h"

namespace {

const QString kArea = QStringLiteral("Transfer Queue");
const QString kNotShared = QStringLiteral("File not shared.");

// Upload speeds measured on small files say more about latency than about
// the line, so only larger files are reported to the server.
constexpr qint64 kMinSpeedReportSize = 1048576;

void Note(int level, const QString& text, const ItemPtr& item = ItemPtr()) {
    Log(kArea, level, text, item);
}

ItemPtr FindUser(const QString& user) {
    return d.GetType("user")->HasItem(user);
}

ItemPtr MakeUser(const QString& user) {
    return d.GetType("user")->GetItem(user);
}

QString SlashPath(QString path) {
    return path.replace(QLatin1Char('\\'), QLatin1Char('/'));
}

// Our shared-file item for a name as a peer wrote it, when that user may see it.
ItemPtr VisibleSharedFile(const QString& file, const QString& user) {
    if (!sharedFoldersManager || file.isEmpty())
        return ItemPtr();
    const ItemPtr item = sharedFoldersManager->GetSharedFileItem(SlashPath(file));
    if (item.IsNull() || item.IsRemoved() ||
        !sharedFoldersManager->IsFileSharedWithUser(item, user))
        return ItemPtr();
    return item;
}

qint64 SharedFileSize(const ItemPtr& entry) {
    return entry.HasItem("shared_file").HasItem("shared_file_size").AsInt64();
}

QString SharedFilePath(const ItemPtr& file) {
    return SlashPath(file.HasItem("shared_file_folder").AsString() + QLatin1Char('/') +
                     file.HasItem("shared_file_name").AsString());
}

bool HasEffectiveOrder(const ItemPtr& entry) {
    return !entry.HasItem("effective_upload_order").IsNull();
}

qint64 EffectiveOrder(const ItemPtr& entry) {
    return entry.HasItem("effective_upload_order").AsInt64();
}

void SetEffectiveOrder(const ItemPtr& entry, qint64 n) {
    entry.Connect(d.GetType("effective_upload_order")->GetItem(Value(n)));
}

bool UserHasActiveUpload(const ItemPtr& user) {
    for (const ItemPtr& entry : user.GetItems("upload_entry"))
        if (TransferQueueManager::IsUploadActive(entry))
            return true;
    return false;
}

// Walked from the smaller side: every queue request runs this, and a queue
// swollen by requesters who are offline (or by online users with nothing
// queued) must not cost a walk over all of it each time.
ItemSet QueuedEntriesOfOnlineUsers(const char* queuedStatus) {
    const ItemPtr queued = d.GetType("upload_entry_status")->HasItem(queuedStatus);
    // One shared flag item serves every online user.
    const ItemPtr online = d.GetType("is_online")->GetGlobalNullItem();
    ItemSet out;
    if (queued.IsNull())
        return out;
    if (online.CountItems("user") < queued.CountItems("upload_entry")) {
        for (const ItemPtr& user : online.GetItems("user"))
            for (const ItemPtr& entry : user.GetItems("upload_entry"))
                if (entry.HasItem("upload_entry_status") == queued)
                    out.Insert(entry);
    } else {
        for (const ItemPtr& entry : queued.GetItems("upload_entry"))
            if (entry.HasItem("user").IsConnected("is_online"))
                out.Insert(entry);
    }
    return out;
}

// Numbered entries in their current serving order; equal numbers keep their
// age order.
std::vector<ItemPtr> SortByEffectiveOrder(const ItemSet& entries) {
    std::vector<std::pair<qint64, ItemPtr>> keyed;
    for (const ItemPtr& entry : entries)
        if (HasEffectiveOrder(entry))
            keyed.emplace_back(EffectiveOrder(entry), entry);
    std::stable_sort(keyed.begin(), keyed.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<ItemPtr> out;
    out.reserve(keyed.size());
    for (const auto& k : keyed)
        out.push_back(k.second);
    return out;
}

// Replaces the entry's item of that type by one holding the object's address;
// the old item goes, so its removal handler frees what it pointed to.
template <class T>
void Attach(const ItemPtr& entry, const char* typeName, T* object) {
    const ItemPtr old = entry.HasItem(typeName);
    if (!old.IsNull())
        old.Remove();
    entry.Connect(d.GetType(typeName)->GetItem(Value(object)));
}

void RemoveItemOf(const ItemPtr& entry, const char* typeName) {
    const ItemPtr item = entry.HasItem(typeName);
    if (!item.IsNull())
        item.Remove();
}

}  // namespace

// ---------------------------------------------------------------------------
// Admission

void TransferQueueManager::OnQueueUploadRequested(QString user, QString file) {
    // A denial costs a lookup and one line: anyone may ask, under any name,
    // so no user item is made for it.
    const ItemPtr fileItem = VisibleSharedFile(file, user);
    const bool closing = !fileItem.IsNull() && IsRuntimeSettingYes("finish_uploads_and_quit");
    if (fileItem.IsNull() || closing) {
        Note(1,
             QStringLiteral("Queue upload requested by %1 for file %2: denied, %3")
                 .arg(user, file,
                      closing ? QStringLiteral("pending shutdown") : QStringLiteral("not shared")),
             FindUser(user));
        peerMessenger->DenyUpload(user, file,
                                  closing ? QStringLiteral("Pending shutdown.") : kNotShared);
        return;
    }
    const ItemPtr userItem = MakeUser(user);
    Note(1, QStringLiteral("Queue upload requested by %1 for file %2").arg(user, file), userItem);

    const ItemPtr existing = d.GetItem(userItem, fileItem, "upload_entry");
    if (!existing.IsNull()) {
        RequeueOrKeep(existing);
        return;
    }

    // Counted from the smaller side: a user with thousands of finished
    // uploads would otherwise cost each request a walk over all of them.
    const ItemPtr queuedStatus = d.GetType("upload_entry_status")->HasItem(Value(kQueued));
    int queued = 0;
    if (queuedStatus.CountItems("upload_entry") < userItem.CountItems("upload_entry")) {
        for (const ItemPtr& entry : queuedStatus.GetItems("upload_entry"))
            queued += entry.HasItem("user") == userItem ? 1 : 0;
    } else {
        queued = userItem.GetItems("upload_entry").Connected("upload_entry_status", kQueued).Size();
    }
    if (queued >= GetSettingInt("max_queued_uploads_per_user")) {
        Note(2, QStringLiteral("Denied, too many files already queued by user"), userItem);
        peerMessenger->DenyUpload(user, file, QStringLiteral("Too many files"));
        return;
    }

    CreateUploadEntry(userItem, fileItem, file);

    if (IsSettingYes("check_for_empty_shares") &&
        userItem.HasItem("empty_share_check_status").IsNull() &&
        !userItem.IsConnected("in_user_list")) {
        peerMessenger->GetUserSharedFiles(user);
        userItem.Connect(d.GetType("empty_share_check_status")->GetItem("requested"));
    }
    StartNewUploads();
}

void TransferQueueManager::AddUpload(QString user, QString file) {
    const ItemPtr userItem = MakeUser(user);
    Note(1, QStringLiteral("Initiating upload to %1 of file %2").arg(user, file), userItem);

    const ItemPtr fileItem = VisibleSharedFile(file, user);
    if (fileItem.IsNull()) {
        Note(2,
             QStringLiteral("Can't upload, file is either not shared or not shared with that "
                            "particular user."),
             userItem);
        return;
    }
    peerMessenger->QueueUpload(user, file, fileItem.HasItem("shared_file_size").AsInt64());

    const ItemPtr existing = d.GetItem(userItem, fileItem, "upload_entry");
    if (!existing.IsNull()) {
        RequeueOrKeep(existing);
        return;
    }
    CreateUploadEntry(userItem, fileItem, file);
    StartNewUploads();
}

void TransferQueueManager::RequeueOrKeep(ItemPtr entry) {
    const QString status = UploadStatus(entry);
    if (status != QLatin1String(kQueued) && !IsUploadActive(entry)) {
        Note(2, QStringLiteral("%1, re-queueing").arg(status), entry.HasItem("user"));
        SetUploadEntryStatus(entry, kQueued);
        StartNewUploads();
    } else {
        Note(2, QStringLiteral("Already queued"), entry.HasItem("user"));
    }
}

ItemPtr TransferQueueManager::CreateUploadEntry(ItemPtr user, ItemPtr file, QString requested) {
    const ItemPtr entry = d.GetType("upload_entry")->NewItem();
    entry.Connect(user);
    entry.Connect(file);
    entry.Connect(d.GetType("filename_as_requested")->GetItem(requested));
    SetUploadEntryStatus(entry, kQueued);

    const qint64 n = GetSettingInt64("transfer_order_counter");
    entry.Connect(d.GetType("upload_order")->GetItem(Value(n)));
    SetSetting("transfer_order_counter", Value(n + 1));

    OrderNewUpload(entry);
    Note(2, QStringLiteral("Queued"), user);
    if (gp_server)
        gp_server->TrackUser(user.AsString());
    return entry;
}

void TransferQueueManager::OnQueueDownloadRequested(QString user, std::string fileName,
                                                    qint64 fileSize) {
    // Pushes from users we do not take them from get no answer at all.
    if (!CanAcceptUserInitiatedUploadsFrom(user))
        return;
    AddDownload(user, GetFileName(fileName), GetFolder(fileName), fileSize, false, 0);
}

bool TransferQueueManager::CanAcceptUserInitiatedUploadsFrom(QString user) {
    const ItemPtr listEntry = FindUser(user).HasItem("in_user_list");
    if (listEntry.IsNull())
        return false;
    if (IsSettingYes("accept_userlist_uploads"))
        return true;
    for (const ItemPtr& group : listEntry.GetItems("user_list_group"))
        if (group.IsConnected("accept_uploads"))
            return true;
    return false;
}

// ---------------------------------------------------------------------------
// Serving order

int TransferQueueManager::GetUserGroupDownloadPriority(QString user) {
    const ItemPtr listEntry = FindUser(user).HasItem("in_user_list");
    if (listEntry.IsNull())
        return 0;
    int best = 0;
    for (const ItemPtr& group : listEntry.GetItems("user_list_group")) {
        const ItemPtr priority = group.HasItem("group_download_priority");
        if (!priority.IsNull())
            best = std::max(best, priority.AsInt());
    }
    return best;
}

bool TransferQueueManager::UploadEntrySortCompare(ItemPtr a, ItemPtr b) {
    const ItemPtr userA = a.HasItem("user");
    const ItemPtr userB = b.HasItem("user");
    if (userA != userB) {
        const int priorityA = GetUserGroupDownloadPriority(userA.AsString());
        const int priorityB = GetUserGroupDownloadPriority(userB.AsString());
        if (priorityA != priorityB)
            return priorityA > priorityB;
        const bool privilegedA = userA.IsConnected("is_privileged");
        const bool privilegedB = userB.IsConnected("is_privileged");
        if (privilegedA != privilegedB)
            return privilegedA;
    }
    // The counter is 64-bit; compare it whole rather than risk a wrapped order.
    return a.HasItem("upload_order").AsInt64() < b.HasItem("upload_order").AsInt64();
}

void TransferQueueManager::OrderNewUpload(ItemPtr entry) {
    if (m_uploadOrderTail.IsRemoved())
        m_uploadOrderTail = ItemPtr();

    std::vector<ItemPtr> list;
    bool listBuilt = false;
    if (m_uploadOrderTail.IsNull()) {
        list = SortByEffectiveOrder(d.GetType("upload_entry")->GetItems());
        listBuilt = true;
        if (!list.empty())
            m_uploadOrderTail = list.back();
        if (m_uploadOrderTail.IsNull()) {
            SetEffectiveOrder(entry, 1);
            m_uploadOrderTail = entry;
            return;
        }
    }
    if (UploadEntrySortCompare(m_uploadOrderTail, entry)) {
        SetEffectiveOrder(entry, EffectiveOrder(m_uploadOrderTail) + 1);
        m_uploadOrderTail = entry;
        return;
    }
    if (!listBuilt) {
        list = SortByEffectiveOrder(d.GetType("upload_entry")->GetItems());
        if (!list.empty())
            m_uploadOrderTail = list.back();
    }
    auto at = std::find_if(list.begin(), list.end(),
                           [&](const ItemPtr& x) { return UploadEntrySortCompare(entry, x); });
    list.insert(at, entry);
    qint64 n = 1;
    for (const ItemPtr& x : list)
        SetEffectiveOrder(x, n++);
}

void TransferQueueManager::OnUploadPlaceInLineRequested(QString user, QString fileName) {
    const ItemPtr userItem = FindUser(user);
    const ItemPtr name = d.GetType("filename_as_requested")->HasItem(fileName);
    const ItemPtr entry = d.GetItem(userItem, name, "upload_entry");
    if (entry.IsNull() || !HasEffectiveOrder(entry))
        return;
    peerMessenger->SendUploadPlaceInLine(user, fileName, int(EffectiveOrder(entry)));
}

// ---------------------------------------------------------------------------
// Counts, unsharing, removal

int TransferQueueManager::QueuedUploadCount() {
    // Through the one status item, so search answers do not walk the queue.
    return d.GetType("upload_entry_status")->HasItem(kQueued).CountItems("upload_entry");
}

bool TransferQueueManager::IsActivelyDownloadingFromUser(QString user) {
    return !FindUser(user)
                .GetItems("download_entry")
                .Connected("download_entry_status", kDownloading)
                .Empty();
}

void TransferQueueManager::UnshareUser(QString user) {
    const ItemPtr userItem = MakeUser(user);
    userItem.Connect(d.GetType("unshared")->GetGlobalNullItem());
    Note(1, QStringLiteral("Unshared user %1").arg(user), userItem);
    const ItemSet entries = userItem.GetItems("upload_entry");
    for (const ItemPtr& entry : entries) {
        peerMessenger->DenyUpload(user, entry.HasItem("filename_as_requested").AsString(),
                                  kNotShared);
        DropUploadEntry(entry);
    }
    if (!entries.Empty())
        StartNewUploads();
}

void TransferQueueManager::ReshareUser(QString user) {
    FindUser(user).Disconnect("unshared");
}

void TransferQueueManager::RemoveUpload(ItemPtr entry) {
    DropUploadEntry(entry);
    StartNewUploads();
}

void TransferQueueManager::DropUploadEntry(ItemPtr entry) {
    if (entry.IsNull() || entry.IsRemoved())
        return;
    ReleaseTransfer(entry, true);
    m_offerWaits.erase(entry.GetId());
    RemoveItemOf(entry, "transfer_req");
    if (m_uploadOrderTail == entry)
        m_uploadOrderTail = ItemPtr();
    entry.Remove();
}

void TransferQueueManager::FollowOffer(const ItemPtr& entry, const QString& status) {
    const qint64* sent = ObjectOf<qint64>(entry.HasItem("read_position"));
    if ((status != QLatin1String(kDenied) && status != QLatin1String(kAborted)) ||
        (sent && *sent > 0)) {
        m_offerWaits.erase(entry.GetId());
        return;
    }
    OfferWait& w = m_offerWaits[entry.GetId()];
    w.wait = w.wait == 0 ? kFirstOfferWaitMs : qMin(2 * w.wait, kLastOfferWaitMs);
    w.due = m_offerClock.elapsed() + w.wait;
    Note(2,
         QStringLiteral("Offer %1; made again in %2 s at the soonest")
             .arg(status)
             .arg(w.wait / 1000),
         entry.HasItem("user"));
    if (!m_offerTimer.isActive() || m_offerTimer.remainingTime() > w.wait)
        m_offerTimer.start(int(w.wait));
}

void TransferQueueManager::OfferWaitEnded() {
    StartNewUploads();
    // The next wait to end, if any is left.
    const qint64 now = m_offerClock.elapsed();
    qint64 next = -1;
    for (const auto& w : m_offerWaits)
        if (w.second.due > now && (next < 0 || w.second.due < next))
            next = w.second.due;
    if (next >= 0)
        m_offerTimer.start(int(next - now));
}

bool TransferQueueManager::OfferWaits(const ItemPtr& entry) const {
    const auto w = m_offerWaits.find(entry.GetId());
    return w != m_offerWaits.end() && m_offerClock.elapsed() < w->second.due;
}

// ---------------------------------------------------------------------------
// Slots

bool TransferQueueManager::IsFreeToUpload() {
    return ActiveUploadCount() < GetSettingInt("upload_slots");
}

void TransferQueueManager::SetUploadSlots(int n) {
    if (n < 1 || n > 99)
        return;
    const int old = GetSettingInt("upload_slots");
    SetSetting("upload_slots", Value(n));
    if (n > old)
        StartNewUploads();
}

void TransferQueueManager::OnUserOnline(ItemPtr user) {
    Note(1, QStringLiteral("User %1 went online").arg(user.AsString()), user);
    StartNewUploads();
    RequeueUserDownloads(user);
}

bool TransferQueueManager::IsStillShared(const ItemPtr& entry) {
    const ItemPtr file = entry.HasItem("shared_file");
    return !file.IsNull() && !file.IsRemoved() && sharedFoldersManager &&
           sharedFoldersManager->IsFileSharedWithUser(file, entry.HasItem("user").AsString());
}

void TransferQueueManager::RevokeUpload(const ItemPtr& entry) {
    const ItemPtr user = entry.HasItem("user");
    Note(2, QStringLiteral("File no longer shared with the user, removing the upload"), user);
    peerMessenger->DenyUpload(user.AsString(), entry.HasItem("filename_as_requested").AsString(),
                              kNotShared);
    DropUploadEntry(entry);
}

void TransferQueueManager::StartNewUploads() {
    // Revoked entries leave the walk without taking a slot; the walk is then
    // run again, so each pass removes at least one entry and the loop ends.
    for (;;) {
        int free = GetSettingInt("upload_slots") - ActiveUploadCount();
        if (free <= 0)
            return;

        const std::vector<ItemPtr> ordered =
            SortByEffectiveOrder(QueuedEntriesOfOnlineUsers(kQueued));
        if (ordered.empty())
            return;

        std::vector<ItemPtr> revoked;
        bool started = false;
        qint64 place = 0;
        for (const ItemPtr& entry : ordered) {
            SetEffectiveOrder(entry, place++);
            if (free == 0)
                continue;
            const ItemPtr user = entry.HasItem("user");
            if (UserHasActiveUpload(user) || OfferWaits(entry))
                continue;
            if (!IsStillShared(entry)) {
                revoked.push_back(entry);
                continue;
            }
            const uint req = peerMessenger->RequestUpload(
                user.AsString(), entry.HasItem("filename_as_requested").AsString(),
                SharedFileSize(entry));
            SetUploadEntryStatus(entry, kRequesting);
            entry.Connect(d.GetType("transfer_req")->GetItem(Value(req)));
            --free;
            started = true;
        }
        if (started)
            DetermineUploadSpeedLimit();
        if (revoked.empty())
            return;
        for (const ItemPtr& entry : revoked)
            RevokeUpload(entry);
    }
}

// ---------------------------------------------------------------------------
// Negotiation

void TransferQueueManager::OnFileTransferResponse(QString user, uint req, bool accepted,
                                                  bool receivedFileSize, qint64 fileSize,
                                                  QString denialReason) {
    // The downloader's idea of the size plays no part: we announced ours.
    Q_UNUSED(receivedFileSize);
    Q_UNUSED(fileSize);
    Note(1, QStringLiteral("Received file transfer response from user %1 for req %2, transfer %3")
                .arg(user)
                .arg(req)
                .arg(accepted ? QStringLiteral("accepted") : QStringLiteral("not accepted")));

    const ItemPtr reqItem = d.GetType("transfer_req")->HasItem(Value(req));
    if (reqItem.IsNull()) {
        Note(2, QStringLiteral("req not found"));
        return;
    }
    if (!reqItem.HasItem("download_entry").IsNull()) {
        Note(2, QStringLiteral("Found download, not processing"));
        return;
    }
    const ItemPtr entry = reqItem.HasItem("upload_entry");
    if (entry.IsNull()) {
        Note(2, QStringLiteral("Neither upload or download attached to req, weird"));
        return;
    }
    Note(2, QStringLiteral("Found upload"), entry);
    const ItemPtr userItem = entry.HasItem("user");
    if (userItem.AsString() != user) {
        Note(2,
             QStringLiteral("Upload user %1 not the same as user who opened the connection, not "
                            "doing anything")
                 .arg(userItem.AsString()),
             userItem);
        return;
    }
    // Only a pending request is answered: a refusal for a running upload
    // would otherwise stop it and block on its thread.
    const QString status = UploadStatus(entry);
    if (status != QLatin1String(kRequesting)) {
        Note(2,
             QStringLiteral("Upload no longer in requesting phase, instead status is %1. Not "
                            "processing.")
                 .arg(status),
             userItem);
        return;
    }
    if (!accepted) {
        Note(
            2,
            QStringLiteral("Upload was not accepted, marking denied. Reason: %1").arg(denialReason),
            userItem);
        entry.Connect(d.GetType("denial_reason")->GetItem(denialReason));
        SetUploadEntryStatus(entry, kDenied);
        StartNewUploads();
        return;
    }
    // Visibility may have changed since the request went out.
    if (!IsStillShared(entry)) {
        RevokeUpload(entry);
        StartNewUploads();
        return;
    }

    auto file = std::make_unique<QFile>();
    // A FIFO put in place of a shared file would hold the window in the open.
    const bool opened = OpenPlainFile(*file, SharedFilePath(entry.HasItem("shared_file")),
                                      QIODevice::ReadOnly | QIODevice::Unbuffered, nullptr, true);
    // We announced the indexed size; a file that has since changed would be
    // sent with another length than the downloader expects.
    if (!opened || file->size() != SharedFileSize(entry)) {
        Note(2,
             opened ? QStringLiteral("File size %1 differs from the shared size %2, marking local "
                                     "error and sending denial message.")
                          .arg(file->size())
                          .arg(SharedFileSize(entry))
                    : QStringLiteral("File could not be opened, marking local error and sending "
                                     "denial message."),
             userItem);
        peerMessenger->DenyUpload(user, entry.HasItem("filename_as_requested").AsString(),
                                  QStringLiteral("File read error."));
        SetUploadEntryStatus(entry, kLocalError);
        StartNewUploads();
        return;
    }
    Note(2, QStringLiteral("Requesting file connection to user"), userItem);
    entry.Connect(d.GetType("upload_file")->GetItem(Value(file.release())));
    SetUploadEntryStatus(entry, kConnecting);
    peerMessenger->RequestFileConnectionToUser(user);
}

void TransferQueueManager::OnFileConnectionAccepted(QString user, QTcpSocket* socket) {
    if (!socket)
        return;
    const ItemSet connecting =
        FindUser(user).GetItems("upload_entry").Connected("upload_entry_status", kConnecting);
    if (connecting.Empty()) {
        socket->deleteLater();
        return;
    }
    const ItemPtr entry = connecting.First();
    QFile* file = ObjectOf<QFile>(entry.HasItem("upload_file"));
    if (!file) {
        socket->deleteLater();
        SetUploadEntryStatus(entry, kLocalError);
        StartNewUploads();
        return;
    }
    entry.Connect(d.GetType("upload_socket")->GetItem(Value(socket)));

    const QDateTime now = QDateTime::currentDateTime();
    SetUploadEntryStatus(entry, kUploading);
    Attach(entry, "last_receipt_time", new QDateTime(now));
    Attach(entry, "last_speed_measurement_time", new QDateTime(now));
    Attach(entry, "bytes_per_second", new qint32(0));
    Attach(entry, "bytes_since_last_receipt", new qint64(0));
    Attach(entry, "read_position", new qint64(0));

    const uint token = entry.HasItem("transfer_req").AsUInt();
    socket->disconnect();
    auto* thread = new UploadThread(socket, file, int(token));
    entry.Connect(d.GetType("upload_thread")->GetItem(Value(thread)));
    connect(thread, &UploadThread::UploadError, this, &TransferQueueManager::OnUploadError);
    connect(thread, &UploadThread::UploadProgress, this, &TransferQueueManager::OnUploadProgress);
    connect(thread, &UploadThread::UploadComplete, this, &TransferQueueManager::OnUploadComplete);
    StartTransferThread(thread, socket);
}

// ---------------------------------------------------------------------------
// Reports from the upload threads

ItemPtr TransferQueueManager::UploadEntryOfSender() {
    QObject* thread = sender();
    if (!thread)
        return ItemPtr();
    return d.GetType("upload_thread")->HasItem(Value(thread)).HasItem("upload_entry");
}

void TransferQueueManager::OnUploadProgress(qint64 offset, int bytesPerSecond) {
    const ItemPtr entry = UploadEntryOfSender();
    if (RecordProgress(entry, "read_position", offset, bytesPerSecond))
        emit UploadProgressed(entry);
}

void TransferQueueManager::OnUploadComplete() {
    const ItemPtr entry = UploadEntryOfSender();
    if (entry.IsNull())
        return;
    const qint32* speed = ObjectOf<qint32>(entry.HasItem("bytes_per_second"));
    const int bytesPerSecond = speed ? *speed : 0;
    Note(1, QStringLiteral("Recording upload speed of %1").arg(bytesPerSecond));

    // Success only when the whole announced file went out.
    const qint64* position = ObjectOf<qint64>(entry.HasItem("read_position"));
    const qint64 size = SharedFileSize(entry);
    if (!position || *position != size) {
        Note(1,
             QStringLiteral("Upload ended at %1 of %2 bytes, marking aborted")
                 .arg(position ? *position : -1)
                 .arg(size),
             entry.HasItem("user"));
        SetUploadEntryStatus(entry, kAborted);
        StartNewUploads();
        return;
    }
    if (size > kMinSpeedReportSize && bytesPerSecond > 0 && gp_server)
        gp_server->SendUploadSpeed(bytesPerSecond);
    SetUploadEntryStatus(entry, kComplete);
    StartNewUploads();
}

void TransferQueueManager::OnUploadError(QString reason) {
    const ItemPtr entry = UploadEntryOfSender();
    if (entry.IsNull())
        return;
    const ItemPtr user = entry.HasItem("user");
    Note(1,
         QStringLiteral("Error uploading %1 to %2. %3")
             .arg(SharedFilePath(entry.HasItem("shared_file")), user.AsString(), reason),
         user);
    SetUploadEntryStatus(entry, kAborted);
    StartNewUploads();
}
