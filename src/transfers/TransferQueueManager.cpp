#include "transfers/TransferQueueManager.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QList>
#include <QTcpSocket>

#include "net/PeerMessenger.h"
#include "store/DataSaver.h"
#include "store/Log.h"
#include "store/MemStream.h"
#include "store/Settings.h"
#include "store/TimerManager.h"
#include "transfers/PartialJournal.h"
#include "transfers/RateLimiter.h"
#include "transfers/TransferThreads.h"

TransferQueueManager* transferQueueManager = nullptr;

const char* const TransferQueueManager::kQueued = "queued";
const char* const TransferQueueManager::kDownloading = "downloading";
const char* const TransferQueueManager::kRequesting = "requesting";
const char* const TransferQueueManager::kConnecting = "connecting";
const char* const TransferQueueManager::kWaitingForOffset = "waiting for offset";
const char* const TransferQueueManager::kUploading = "uploading";
const char* const TransferQueueManager::kComplete = "complete";
const char* const TransferQueueManager::kAborted = "aborted";
const char* const TransferQueueManager::kDenied = "denied";
const char* const TransferQueueManager::kLocalError = "local error";

namespace {

const QString kArea = QStringLiteral("Transfer Queue");

Type* DeclareType(const char* name, Primacy primacy, bool isNull) {
    return d.NewType(name, primacy, isNull, true);
}

// "each entry one; one value item for many entries"
void RelateOneValue(Type* entry, const char* other) {
    entry->RelateToType(d.GetType(other), Many, One, false);
}

void RelateOneToOne(Type* entry, const char* other) {
    entry->RelateToType(d.GetType(other), One, One, false);
}

// Every status change stamps the local time as text, and the local-time
// conversion costs more than the rest of the change (the C library looks
// the zone up again each time). The text has whole seconds, so it is made
// once a second: a pass over thousands of entries pays for it once.
QString NowText() {
    static qint64 s_second = -1;
    static QString s_text;
    const qint64 second = QDateTime::currentMSecsSinceEpoch() / 1000;
    if (second != s_second) {
        s_text = QDateTime::fromMSecsSinceEpoch(second * 1000).toString(Qt::TextDate);
        s_second = second;
    }
    return s_text;
}

// Removes the item of that type linked to the entry, if any; its removal
// handler frees what it points to.
void RemoveLinked(const ItemPtr& entry, const char* typeName) {
    ItemPtr item = entry.HasItem(typeName);
    if (!item.IsNull())
        item.Remove();
}

template <class T>
void DeleteAddressed(const ItemPtr& item) {
    delete TransferQueueManager::ObjectOf<T>(item);
}

}  // namespace

TransferQueueManager::TransferQueueManager(QObject* parent) : QObject(parent) {
    transferQueueManager = this;

    DeclareDownloadTypes();
    DeclareUploadTypes();

    // A user coming online gets its queued uploads a chance at a slot.
    PathNode* users = new PathNode(&d, "user");
    new PathNode(users, "is_online", PathConnecting);
    d.AddPathEventHandler(users, ItemHandler(this, &TransferQueueManager::OnUserOnline));

    WirePeerMessenger();
    m_offerClock.start();
    m_offerTimer.setSingleShot(true);
    connect(&m_offerTimer, &QTimer::timeout, this, &TransferQueueManager::OfferWaitEnded);
    if (timerManager)
        connect(&timerManager->everyHalfMinute, &QTimer::timeout, this,
                &TransferQueueManager::EveryHalfMinute);
    FlagActiveStatuses();
    if (dataSaver) {
        dataSaver->AddDataLoadedEventHandler(this);
        dataSaver->AddDataSavedHandler(this);
    }
    DeclareSettings();
    if (dataSaver)
        dataSaver->AddSavedType("excluded_download_extension");
}

TransferQueueManager::~TransferQueueManager() {
    if (dataSaver) {
        dataSaver->RemoveDataLoadedEventHandler(this);
        dataSaver->RemoveDataSavedHandler(this);
    }
    // Ask every thread first, then wait: the waits overlap.
    QList<QThread*> threads;
    for (const char* typeName : {"upload_thread", "download_thread"}) {
        Type* type = d.FindType(typeName);
        if (!type)
            continue;
        for (const ItemPtr& item : type->GetItems())
            if (QThread* thread = ObjectOf<QThread>(item))
                threads.append(thread);
    }
    StopAllAndWait(threads);
    StopMoves();
    // Quitting mid-transfer: the run-time values die with their items, and
    // only the removal handlers free them, so they go before the handlers.
    for (const char* typeName : {"upload_entry", "download_entry"})
        if (Type* type = d.FindType(typeName))
            for (const ItemPtr& entry : type->GetItems()) {
                const bool writing = typeName[0] == 'd' && !entry.HasItem("download_file").IsNull();
                ReleaseTransfer(entry, typeName[0] == 'u');
                if (writing)
                    TrimToRecordedSize(entry);
            }
    DisableHandlers();
    if (transferQueueManager == this)
        transferQueueManager = nullptr;
}

void TransferQueueManager::DeclareDownloadTypes() {
    Type* entry = DeclareType("download_entry", PrimacyRoot, true);
    DeclareType("file_name", PrimacyLeaf, false);
    DeclareType("remote_folder", PrimacyIntermediate, false);
    DeclareType("download_folder", PrimacyIntermediate, false);
    DeclareType("transfer_req", PrimacyLeaf, false);
    DeclareType("remote_transfer_req", PrimacyLeaf, false);
    DeclareType("download_socket", PrimacyRoot, false);
    DeclareType("download_file", PrimacyRoot, false);
    Type* writePosition = DeclareType("write_position", PrimacyLeaf, false);
    Type* downloadStatus = DeclareType("download_entry_status", PrimacyRoot, false);
    DeclareType("download_order", PrimacyLeaf, false);
    DeclareType("upload_socket", PrimacyRoot, false);
    DeclareType("upload_file", PrimacyRoot, false);
    Type* readPosition = DeclareType("read_position", PrimacyLeaf, false);
    DeclareType("upload_entry_status", PrimacyRoot, false);
    DeclareType("upload_order", PrimacyLeaf, false);
    Type* isActive = DeclareType("is_active", PrimacyLeaf, true);
    Type* receiptTime = DeclareType("last_receipt_time", PrimacyLeaf, false);
    Type* measurementTime = DeclareType("last_speed_measurement_time", PrimacyLeaf, false);
    Type* bytesPerSecond = DeclareType("bytes_per_second", PrimacyLeaf, false);
    Type* bytesSince = DeclareType("bytes_since_last_receipt", PrimacyLeaf, false);
    DeclareType("place_in_line", PrimacyLeaf, false);
    Type* queueRequestTime = DeclareType("last_queue_request_time", PrimacyLeaf, false);
    Type* placeRequestTime = DeclareType("next_place_in_line_request_time", PrimacyLeaf, false);
    DeclareType("download_thread", PrimacyRoot, false);
    DeclareType("subfolder_save_level", PrimacyLeaf, false);
    DeclareType("last_status_change_time", PrimacyLeaf, false);
    DeclareType("single_download", PrimacyLeaf, true);
    DeclareType("local_file_name", PrimacyLeaf, false);
    DeclareType("local_file_path", PrimacyLeaf, false);
    DeclareType("local_file_size", PrimacyLeaf, false);
    DeclareType("local_file_identity", PrimacyLeaf, false);
    DeclareType("local_file_head", PrimacyLeaf, false);
    DeclareType("download_retry_time", PrimacyLeaf, false);
    DeclareType("write_failure_backoff", PrimacyLeaf, false);

    for (const char* other :
         {"user", "file_name", "remote_folder", "file_size", "download_folder",
          "remote_transfer_req", "write_position", "download_entry_status", "place_in_line",
          "subfolder_save_level", "last_status_change_time", "single_download", "local_file_name",
          "local_file_path", "local_file_size", "local_file_identity", "local_file_head",
          "download_retry_time", "write_failure_backoff"})
        RelateOneValue(entry, other);
    for (const char* other : {"transfer_req", "download_socket", "download_thread", "download_file",
                              "download_order", "last_receipt_time", "last_speed_measurement_time",
                              "bytes_per_second", "bytes_since_last_receipt"})
        RelateOneToOne(entry, other);
    downloadStatus->RelateToType(isActive, Many, One, false);
    Type* user = d.GetType("user");
    user->RelateToType(queueRequestTime, Many, One, false);
    user->RelateToType(placeRequestTime, Many, One, false);

    // Heap values die with their items, and only then.
    writePosition->ItemRemovedEvent().Insert(
        ItemHandler(this, &TransferQueueManager::OnWritePositionRemoved));
    readPosition->ItemRemovedEvent().Insert(
        ItemHandler(this, &TransferQueueManager::OnReadPositionRemoved));
    receiptTime->ItemRemovedEvent().Insert(
        ItemHandler(this, &TransferQueueManager::OnLastReceiptTimeRemoved));
    measurementTime->ItemRemovedEvent().Insert(
        ItemHandler(this, &TransferQueueManager::OnLastSpeedMeasurementTimeRemoved));
    bytesPerSecond->ItemRemovedEvent().Insert(
        ItemHandler(this, &TransferQueueManager::OnBytesPerSecondRemoved));
    bytesSince->ItemRemovedEvent().Insert(
        ItemHandler(this, &TransferQueueManager::OnBytesSinceLastReceiptRemoved));

    if (dataSaver) {
        dataSaver->AddSavedType("download_entry");
        for (const char* saved :
             {"user", "file_name", "remote_folder", "file_size", "download_folder",
              "download_entry_status", "download_order", "subfolder_save_level", "local_file_name",
              "local_file_path", "local_file_size", "local_file_identity", "local_file_head",
              "download_retry_time", "write_failure_backoff"})
            dataSaver->AddSavedByConnectionType(saved, "download_entry");
    }
}

void TransferQueueManager::DeclareUploadTypes() {
    Type* entry = DeclareType("upload_entry", PrimacyRoot, true);
    DeclareType("filename_as_requested", PrimacyLeaf, false);
    DeclareType("upload_start_time", PrimacyLeaf, false);
    Type* bytesUploaded = DeclareType("bytes_uploaded", PrimacyLeaf, false);
    DeclareType("upload_thread", PrimacyRoot, false);
    DeclareType("effective_upload_order", PrimacyLeaf, false);
    bytesUploaded->ItemRemovedEvent().Insert(
        ItemHandler(this, &TransferQueueManager::OnBytesUploadedRemoved));

    for (const char* other : {"user", "shared_file", "read_position", "upload_entry_status",
                              "filename_as_requested", "upload_start_time", "bytes_uploaded",
                              "last_status_change_time", "effective_upload_order"})
        RelateOneValue(entry, other);
    for (const char* other : {"upload_socket", "upload_file", "upload_order", "transfer_req",
                              "last_receipt_time", "last_speed_measurement_time",
                              "bytes_per_second", "bytes_since_last_receipt", "upload_thread"})
        RelateOneToOne(entry, other);
    d.GetType("upload_entry_status")->RelateToType(d.GetType("is_active"), Many, One, false);

    Type* denial = DeclareType("denial_reason", PrimacyLeaf, false);
    d.GetType("download_entry")->RelateToType(denial, Many, One, false);
    entry->RelateToType(denial, Many, One, false);

    Type* complete = DeclareType("complete_download", PrimacyRoot, true);
    DeclareType("complete_download_folder", PrimacyIntermediate, false);
    DeclareType("complete_download_relative_folder", PrimacyIntermediate, false);
    DeclareType("complete_download_filename", PrimacyLeaf, false);
    DeclareType("complete_download_file_size", PrimacyLeaf, false);
    DeclareType("complete_download_completion_time", PrimacyLeaf, false);
    for (const char* other :
         {"user", "complete_download_folder", "complete_download_relative_folder",
          "complete_download_filename", "complete_download_completion_time",
          "complete_download_file_size", "search_request_text"})
        RelateOneValue(complete, other);

    Type* user = d.GetType("user");
    user->RelateToType(DeclareType("empty_share_check_status", PrimacyLeaf, false), Many, One,
                       false);
    user->RelateToType(DeclareType("sent_empty_share_warning_message", PrimacyLeaf, false), Many,
                       One, false);
    DeclareType("excluded_download_extension", PrimacyRoot, false);
}

void TransferQueueManager::FlagActiveStatuses() {
    ItemPtr flag = d.GetType("is_active")->GetGlobalNullItem();
    d.GetType("download_entry_status")->GetItem(Value(kDownloading)).Connect(flag);
    Type* uploadStatus = d.GetType("upload_entry_status");
    for (const char* status : {kRequesting, kConnecting, kUploading, kWaitingForOffset})
        uploadStatus->GetItem(Value(status)).Connect(flag);
}

void TransferQueueManager::DeclareSettings() {
    SetSettingDefault("download_folder", QDir::homePath() + QStringLiteral("/Tavenook Downloads"));
    SetSettingDefault("transfer_order_counter", "1");
    SetSetting("transfer_req_counter", "1");
    if (!HasSetting("upload_speed_limit")) {
        SetSetting("upload_speed_limit", "0");
        SetSetting("upload_speed_limit_enabled", "no");
    }
    if (!HasSetting("download_speed_limit")) {
        SetSetting("download_speed_limit", "0");
        SetSetting("download_speed_limit_enabled", "no");
    }
    SetSetting("upload_slots", "1");
    SetSetting("check_for_empty_shares", "no");
    SetSetting("empty_share_message",
               "It looks like you're not sharing any files. Please share something before "
               "downloading anything from my own shares. Thanks.");
    SetSetting("max_queued_uploads_per_user", "200");
}

void TransferQueueManager::WirePeerMessenger() {
    if (!peerMessenger)
        return;
    connect(peerMessenger, &PeerMessenger::QueueUploadRequested, this,
            &TransferQueueManager::OnQueueUploadRequested);
    connect(peerMessenger, &PeerMessenger::QueueDownloadRequested, this,
            &TransferQueueManager::OnQueueDownloadRequested);
    connect(peerMessenger, &PeerMessenger::FileConnectionAccepted, this,
            &TransferQueueManager::OnFileConnectionAccepted);
    connect(peerMessenger, &PeerMessenger::FileConnectionRequested, this,
            &TransferQueueManager::OnFileConnection);
    connect(peerMessenger, &PeerMessenger::FileTransferResponse, this,
            &TransferQueueManager::OnFileTransferResponse);
    connect(peerMessenger, &PeerMessenger::UploadPlaceInLineRequested, this,
            &TransferQueueManager::OnUploadPlaceInLineRequested);
    connect(peerMessenger, &PeerMessenger::FileTransferRequested, this,
            &TransferQueueManager::OnFileTransferRequest);
    connect(peerMessenger, &PeerMessenger::DownloadPlaceInLine, this,
            &TransferQueueManager::OnDownloadPlaceInLine);
    connect(peerMessenger, &PeerMessenger::UploadDenied, this,
            &TransferQueueManager::OnUploadDeniedNotification);
    connect(peerMessenger, &PeerMessenger::UploadFailed, this,
            &TransferQueueManager::OnUploadFailedNotification);
    // The share and its table are references into the messenger's stack.
    connect(peerMessenger, &PeerMessenger::UserShare, this, &TransferQueueManager::OnUserShare,
            Qt::DirectConnection);
}

// ---------------------------------------------------------------------------
// Removal handlers.

void TransferQueueManager::OnWritePositionRemoved(ItemPtr item) {
    DeleteAddressed<qint64>(item);
}
void TransferQueueManager::OnReadPositionRemoved(ItemPtr item) {
    DeleteAddressed<qint64>(item);
}
void TransferQueueManager::OnLastReceiptTimeRemoved(ItemPtr item) {
    DeleteAddressed<QDateTime>(item);
}
void TransferQueueManager::OnLastSpeedMeasurementTimeRemoved(ItemPtr item) {
    DeleteAddressed<QDateTime>(item);
}
void TransferQueueManager::OnBytesPerSecondRemoved(ItemPtr item) {
    DeleteAddressed<qint32>(item);
}
void TransferQueueManager::OnBytesSinceLastReceiptRemoved(ItemPtr item) {
    DeleteAddressed<qint64>(item);
}
void TransferQueueManager::OnBytesUploadedRemoved(ItemPtr item) {
    DeleteAddressed<qint64>(item);
}

// ---------------------------------------------------------------------------
// Statuses.

bool TransferQueueManager::IsEntryActive(const ItemPtr& entry, const char* statusType) {
    if (entry.IsNull())
        return false;
    ItemPtr status = entry.HasItem(statusType);
    return !status.IsNull() && status.IsConnected("is_active");
}

QString TransferQueueManager::DownloadStatus(const ItemPtr& entry) {
    return entry.IsNull() ? QString() : entry.HasItem("download_entry_status").AsString();
}

QString TransferQueueManager::UploadStatus(const ItemPtr& entry) {
    return entry.IsNull() ? QString() : entry.HasItem("upload_entry_status").AsString();
}

void TransferQueueManager::ReleaseTransfer(const ItemPtr& entry, bool upload) {
    // The thread goes first: it may still be using the socket and the file.
    // Exit request, unbounded wait, deleteLater: a final report still queued
    // must find its sender alive, and no later thread at the same address.
    ItemPtr item = entry.HasItem(upload ? "upload_thread" : "download_thread");
    if (!item.IsNull()) {
        QThread* thread = ObjectOf<QThread>(item);
        item.Remove();
        StopAndRelease(thread);
    }
    item = entry.HasItem(upload ? "upload_socket" : "download_socket");
    if (!item.IsNull()) {
        QTcpSocket* socket = ObjectOf<QTcpSocket>(item);
        item.Remove();
        if (socket) {
            socket->disconnect();
            socket->close();
            socket->deleteLater();
        }
    }
    item = entry.HasItem(upload ? "upload_file" : "download_file");
    if (!item.IsNull()) {
        QFile* file = ObjectOf<QFile>(item);
        item.Remove();
        if (file) {
            file->close();
            delete file;
        }
    }
    for (const char* value :
         {upload ? "read_position" : "write_position", "last_receipt_time",
          "last_speed_measurement_time", "bytes_per_second", "bytes_since_last_receipt"})
        RemoveLinked(entry, value);
}

bool TransferQueueManager::LinkStatus(const ItemPtr& entry, const char* statusType,
                                      const QString& status) {
    const bool wasActive = IsEntryActive(entry, statusType);
    entry.Connect(d.GetType(statusType)->GetItem(Value(status)));
    entry.Connect(d.GetType("last_status_change_time")->GetItem(Value(NowText())));
    return wasActive;
}

void TransferQueueManager::SetDownloadEntryStatus(ItemPtr entry, QString status) {
    if (entry.IsNull() || entry.IsRemoved())
        return;
    const bool wasActive = LinkStatus(entry, "download_entry_status", status);
    const bool isActive = IsDownloadActive(entry);
    if (wasActive && !isActive) {
        ReleaseTransfer(entry, false);
        RecordWrittenSize(entry);
        JournalPartial(entry);
        // The re-queue interval for this user counts from the end of the run.
        ItemPtr user = entry.HasItem("user");
        if (!user.IsNull())
            user.Connect(d.GetType("last_queue_request_time")->GetItem(Value(NowText())));
        DetermineDownloadSpeedLimit();
    } else if (!wasActive && isActive) {
        DetermineDownloadSpeedLimit();
    }
}

void TransferQueueManager::SetUploadEntryStatus(ItemPtr entry, QString status) {
    if (entry.IsNull() || entry.IsRemoved())
        return;
    const bool wasActive = LinkStatus(entry, "upload_entry_status", status);
    const bool isActive = IsUploadActive(entry);
    if (wasActive && !isActive) {
        FollowOffer(entry, status);
        ReleaseTransfer(entry, true);
        if (status == QLatin1String(kAborted)) {
            ItemPtr user = entry.HasItem("user");
            ItemPtr file = entry.HasItem("shared_file");
            const QString fileName =
                file.IsNull() ? QString() : file.HasItem("shared_file_name").AsString();
            Log(kArea, 1,
                QStringLiteral("Upload of %1 to %2 aborted, sending upload failed notification.")
                    .arg(fileName, user.AsString()),
                user);
            if (peerMessenger && !user.IsNull()) {
                MemStream message;
                message.Write(quint32(PeerMessenger::PM_UPLOAD_FAILED));
                message.Write(entry.HasItem("filename_as_requested").AsStdString());
                peerMessenger->SendMessage(user.AsString(), message);
            }
        }
        DetermineUploadSpeedLimit();
    }
    SetRuntimeSetting("last_upload_state_change", NowText());
}

// ---------------------------------------------------------------------------
// Rate limits.

namespace {

int CountActive(const char* entryType, const char* statusType) {
    ItemPtr flag = d.GetType("is_active")->GetGlobalNullItem();
    int count = 0;
    for (const ItemPtr& status : flag.GetItems(statusType))
        count += status.CountItems(entryType);
    return count;
}

}  // namespace

int TransferQueueManager::ActiveUploadCount() const {
    return CountActive("upload_entry", "upload_entry_status");
}

int TransferQueueManager::ActiveDownloadCount() const {
    return CountActive("download_entry", "download_entry_status");
}

void TransferQueueManager::RestartSpeedMeasurements(const char* entryType, const char* statusType) {
    const QDateTime now = QDateTime::currentDateTime();
    ItemPtr flag = d.GetType("is_active")->GetGlobalNullItem();
    for (const ItemPtr& status : flag.GetItems(statusType)) {
        for (const ItemPtr& entry : status.GetItems(entryType)) {
            if (QDateTime* start =
                    ObjectOf<QDateTime>(entry.HasItem("last_speed_measurement_time")))
                *start = now;
            if (qint64* bytes = ObjectOf<qint64>(entry.HasItem("bytes_since_last_receipt")))
                *bytes = 0;
        }
    }
}

void TransferQueueManager::DetermineUploadSpeedLimit() {
    if (UploadRateLimiter().Determine(GetSettingInt("upload_speed_limit"),
                                      IsSettingYes("upload_speed_limit_enabled"),
                                      ActiveUploadCount()))
        RestartSpeedMeasurements("upload_entry", "upload_entry_status");
}

void TransferQueueManager::DetermineDownloadSpeedLimit() {
    if (DownloadRateLimiter().Determine(GetSettingInt("download_speed_limit"),
                                        IsSettingYes("download_speed_limit_enabled"),
                                        ActiveDownloadCount()))
        RestartSpeedMeasurements("download_entry", "download_entry_status");
}

void TransferQueueManager::EnableUploadSpeedLimit(bool on) {
    SetSettingYes("upload_speed_limit_enabled", on);
    DetermineUploadSpeedLimit();
}

void TransferQueueManager::EnableDownloadSpeedLimit(bool on) {
    SetSettingYes("download_speed_limit_enabled", on);
    DetermineDownloadSpeedLimit();
}

int TransferQueueManager::GetUploadSpeed() const {
    return UploadRateLimiter().TotalLimit();
}

int TransferQueueManager::GetDownloadSpeed() const {
    return DownloadRateLimiter().TotalLimit();
}

void TransferQueueManager::OnDownloadProgress(qint64 offset, int bytesPerSecond) {
    QObject* thread = sender();
    if (!thread)
        return;
    const ItemPtr entry =
        d.GetType("download_thread")->HasItem(Value(thread)).HasItem("download_entry");
    if (!RecordProgress(entry, "write_position", offset, bytesPerSecond))
        return;
    // A save made while the download runs then knows its file.
    RecordProgressSize(entry, offset);
    JournalPartial(entry);
    emit DownloadProgressed(entry);
}

bool TransferQueueManager::RecordProgress(const ItemPtr& entry, const char* positionType,
                                          qint64 offset, int bytesPerSecond) {
    if (entry.IsNull())
        return false;
    if (qint64* position = ObjectOf<qint64>(entry.HasItem(positionType)))
        *position = offset;
    if (qint32* speed = ObjectOf<qint32>(entry.HasItem("bytes_per_second")))
        *speed = bytesPerSecond;
    if (QDateTime* receipt = ObjectOf<QDateTime>(entry.HasItem("last_receipt_time")))
        *receipt = QDateTime::currentDateTime();
    return true;
}
