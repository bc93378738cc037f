#ifndef TAVENOOK_TRANSFERS_TRANSFERQUEUEMANAGER_H
#define TAVENOOK_TRANSFERS_TRANSFERQUEUEMANAGER_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "net/PeerPayloads.h"
#include "store/Data.h"
#include "store/DataSaver.h"

class QTcpSocket;
class QThread;
class UploadThread;
class DownloadThread;
class PartialJournal;
struct FinishedMove;

// Owner of the download and upload queues. It keeps no queue of its own:
// every download, upload, finished-download record and per-transfer run-time
// value is an item of the store, and the transfer views follow those items
// through store events.
//
// Entries: a valueless "download_entry" or "upload_entry" linked to its user,
// its file and one status item ("download_entry_status" /
// "upload_entry_status"). An entry is active exactly while its status item
// carries the "is_active" flag; only the constructor flags status items.
// A download's "local_file_path" (saved) is the whole on-disk path of the
// file it created, the partial and then the finished file, named by the
// remote name or its "name (n).ext" form (a record naming anything else is
// ignored); "local_file_size" (saved) the bytes that file held when last
// recorded: at the start and end of each run and at each progress report;
// "local_file_identity" (saved) the file's device, inode and birth time, and
// "local_file_head" (saved) the length and checksum of its first bytes, those
// the recorded size covers (up to 64 KiB). A partial is continued only while
// the file at that path, still where partials now go, has that identity and
// those first bytes, from its size on disk; the device number alone may
// differ, as it can between runs, when the birth time or, without one, the
// recorded first bytes vouch for the file. A store without an identity
// continues it only at the recorded size. The partial is opened once, without
// following a link or creating a file, checked, and written through that
// open file. A finished row opens its file whatever the settings say now.
// "local_file_name", the finished name of older stores, is still read for
// finished files without a recorded path. Between saves these records also
// go to the partials journal beside the store (transfers/PartialJournal.h),
// which the next start reads back after the load, so a crash loses none.
//
// Run-time objects (sockets, open files, transfer threads, heap counters and
// heap times) hang off an entry as items whose value is the object's address
// in decimal. They belong to the entry: heap counters and times are deleted by
// the removal handlers of their item types, sockets, files and threads by the
// status change that makes the entry inactive (SetDownloadEntryStatus,
// SetUploadEntryStatus) or by the removal of the entry. The heap values are
// plain `new` objects of these types, and must be allocated as such:
//   "write_position", "read_position", "bytes_since_last_receipt",
//   "bytes_uploaded": qint64; "bytes_per_second": qint32;
//   "last_receipt_time", "last_speed_measurement_time": QDateTime.
// Removing such an item deletes its object, so an entry drops one by removing
// the item (never by deleting the object and only disconnecting).
//
// The rate-limit state of each direction (spare-byte pool, total and
// per-transfer limit, and their mutex) lives in that direction's RateLimiter
// (transfers/RateLimiter.h), which the transfer threads reach directly; the
// manager only sets it from the settings.
//
// Main thread only.
class TransferQueueManager : public QObject,
                             public DataHandler,
                             public DataLoadedEventHandler,
                             public DataSavedHandler {
    Q_OBJECT

public:
    // Needs the settings types, the server's types ("user", "is_online"), the
    // peer types ("file_size", "search_request_text") and the shared-files
    // types ("shared_file") to be declared, and the store saver to exist when
    // the saved types are to be registered. Sets `transferQueueManager`.
    explicit TransferQueueManager(QObject* parent = nullptr);
    // Stops every transfer thread (all are asked to exit before any is waited
    // for). Does not touch the store: it was saved before.
    ~TransferQueueManager() override;

    // Status texts.
    static const char* const kQueued;
    static const char* const kDownloading;
    static const char* const kRequesting;
    static const char* const kConnecting;
    static const char* const kWaitingForOffset;
    static const char* const kUploading;
    static const char* const kComplete;
    static const char* const kAborted;
    static const char* const kDenied;
    static const char* const kLocalError;

    // Status changes. Every call records "last_status_change_time", also when
    // the status is unchanged. Leaving the active statuses stops the thread
    // (exit request, then an unbounded wait, then deleteLater), closes and
    // frees the file and the socket and drops the per-transfer counters.
    void SetDownloadEntryStatus(ItemPtr entry, QString status);
    // As above; also tells the peer (upload-failed notice) when the new
    // status is "aborted", and records "last_upload_state_change".
    void SetUploadEntryStatus(ItemPtr entry, QString status);

    // True when the entry's status item carries "is_active".
    static bool IsEntryActive(const ItemPtr& entry, const char* statusType);
    static bool IsDownloadActive(const ItemPtr& entry) {
        return IsEntryActive(entry, "download_entry_status");
    }
    static bool IsUploadActive(const ItemPtr& entry) {
        return IsEntryActive(entry, "upload_entry_status");
    }
    // The entry's status text; empty when it has none.
    static QString DownloadStatus(const ItemPtr& entry);
    static QString UploadStatus(const ItemPtr& entry);

    // Rate limits. Determine* set the direction's limits from its settings
    // ("*_speed_limit" in KB/s, "*_speed_limit_enabled"); the active entries
    // share the total. Enable* write the enabled setting, then determine.
    void DetermineUploadSpeedLimit();
    void DetermineDownloadSpeedLimit();
    void EnableUploadSpeedLimit(bool on);
    void EnableDownloadSpeedLimit(bool on);
    // The direction's total limit in KB/s; 0 means unlimited.
    int GetUploadSpeed() const;
    int GetDownloadSpeed() const;
    // Entries whose status item carries "is_active".
    int ActiveUploadCount() const;
    int ActiveDownloadCount() const;

    // The object an address item points to; null for a null handle or 0.
    template <class T>
    static T* ObjectOf(const ItemPtr& addressItem) {
        return addressItem.IsNull() ? nullptr
                                    : reinterpret_cast<T*>(std::uintptr_t(addressItem.AsUInt64()));
    }

signals:
    void CompleteDownloadAdded(ItemPtr download);
    void DownloadProgressed(ItemPtr download);
    void UploadProgressed(ItemPtr upload);
    void TransfersLoaded();

public slots:
    // A download thread's report: its position and speed into the entry.
    void OnDownloadProgress(qint64 offset, int bytesPerSecond);

private:
    // Position, speed and time of a progress report into the entry's values.
    bool RecordProgress(const ItemPtr& entry, const char* positionType, qint64 offset,
                        int bytesPerSecond);
    void DeclareDownloadTypes();
    void DeclareUploadTypes();
    void DeclareSettings();
    void FlagActiveStatuses();
    void WirePeerMessenger();

    // Removal handlers: each deletes the heap object its item points to.
    void OnWritePositionRemoved(ItemPtr item);
    void OnReadPositionRemoved(ItemPtr item);
    void OnLastReceiptTimeRemoved(ItemPtr item);
    void OnLastSpeedMeasurementTimeRemoved(ItemPtr item);
    void OnBytesPerSecondRemoved(ItemPtr item);
    void OnBytesSinceLastReceiptRemoved(ItemPtr item);
    void OnBytesUploadedRemoved(ItemPtr item);

    // Links the entry to the status item and stamps the change time; returns
    // whether the entry was active before.
    static bool LinkStatus(const ItemPtr& entry, const char* statusType, const QString& status);
    // The one release path of a transfer entry's run-time objects, for status
    // changes and removals alike: stops and releases the thread, closes and
    // frees the socket and the file, and drops the per-transfer values.
    static void ReleaseTransfer(const ItemPtr& entry, bool upload);
    // Restarts the speed measurement of the active entries of a direction
    // after its limit changed.
    static void RestartSpeedMeasurements(const char* entryType, const char* statusType);

    // ---------------------------------------------------------------------
    // Uploads: admission, order, slots, negotiation (defined in TransferUploads.cpp)
public:
    // Admission and queue order.
    void AddUpload(QString user, QString file);
    bool CanAcceptUserInitiatedUploadsFrom(QString user);
    void OrderNewUpload(ItemPtr entry);
    // True when a is served before b.
    static bool UploadEntrySortCompare(ItemPtr a, ItemPtr b);
    static int GetUserGroupDownloadPriority(QString user);
    int QueuedUploadCount();
    bool IsActivelyDownloadingFromUser(QString user);
    void UnshareUser(QString user);
    void ReshareUser(QString user);
    void RemoveUpload(ItemPtr entry);

    // Slots and negotiation.
    void StartNewUploads();
    bool IsFreeToUpload();
    void SetUploadSlots(int n);
    // Path handler: a "user" became connected to "is_online".
    void OnUserOnline(ItemPtr user);

public slots:
    void OnQueueUploadRequested(QString user, QString file);
    void OnQueueDownloadRequested(QString user, std::string fileName, qint64 fileSize);
    void OnUploadPlaceInLineRequested(QString user, QString fileName);
    void OnFileTransferResponse(QString user, uint req, bool accepted, bool receivedFileSize,
                                qint64 fileSize, QString denialReason);
    void OnFileConnectionAccepted(QString user, QTcpSocket* socket);
    void OnUploadProgress(qint64 offset, int bytesPerSecond);
    void OnUploadComplete();
    void OnUploadError(QString reason);

private:
    // Puts an ended entry back to "queued", or leaves a queued or running one.
    void RequeueOrKeep(ItemPtr entry);
    ItemPtr CreateUploadEntry(ItemPtr user, ItemPtr file, QString requested);
    // RemoveUpload without filling the freed slot.
    void DropUploadEntry(ItemPtr entry);
    // The entry's file is still indexed and visible to its user.
    static bool IsStillShared(const ItemPtr& entry);
    // Refuses the entry with "File not shared." and drops it.
    void RevokeUpload(const ItemPtr& entry);
    // The upload entry of the UploadThread that sent the current signal.
    ItemPtr UploadEntryOfSender();
    // An offer refused, or failed before a byte went, is made again only
    // after a wait that doubles with each such end in a row (kFirstOfferWaitMs
    // up to kLastOfferWaitMs): a downloader who cannot take the file costs
    // an offer now and then, not a loop. Any other end forgets the wait.
    void FollowOffer(const ItemPtr& entry, const QString& status);
    bool OfferWaits(const ItemPtr& entry) const;
    // Offers whose wait ended go to the free slots.
    void OfferWaitEnded();
    static constexpr qint64 kFirstOfferWaitMs = 1000;
    static constexpr qint64 kLastOfferWaitMs = 300000;
    struct OfferWait {
        qint64 due = 0;
        qint64 wait = 0;
    };
    std::unordered_map<std::uint64_t, OfferWait> m_offerWaits;
    QElapsedTimer m_offerClock;
    QTimer m_offerTimer;

    // The upload entry last placed at the end of the serving order; null at
    // construction and after that entry is removed.
    ItemPtr m_uploadOrderTail;
    // End of the uploads section.
    // ---------------------------------------------------------------------
    // ---------------------------------------------------------------------
    // Downloads: queueing and negotiation (defined in TransferDownloads.cpp)
public:
    // The entry of the triple, existing or new; a new one is queued with the
    // user when the user is online, or "complete" when its file is present.
    ItemPtr AddDownload(QString user, std::string file, std::string remoteFolder, qint64 size,
                        bool single, int subfolderSaveLevel);
    // One of many downloads asked for at once.
    struct DownloadRequest {
        QString user;
        std::string file;
        std::string remoteFolder;
        qint64 size = 0;
        bool single = false;
        int subfolderSaveLevel = 0;
    };
    // Adds them in their order, the first slice at once and the rest a
    // slice per turn of the event loop, so that a folder of many thousand
    // files leaves the window answering. One asked for again while it waits
    // is not asked twice.
    void AddDownloads(std::vector<DownloadRequest> requests);
    // Those asked for and not added yet.
    int DownloadsToAdd() const { return int(m_downloadsToAdd.size()); }
    // Adds every one still waiting now: what the user asked for is queued
    // whole from her word on, and a save must hold all of it.
    void FinishAddingDownloads();
    // Whether downloads of the user (in that remote folder, when one is
    // given) still wait to be added.
    bool DownloadsWaitFor(const QString& user, const std::string* remoteFolder = nullptr) const;
    // The user removed her rows of that user, or of that remote folder:
    // those still waiting there, or in a folder inside it, must not come back.
    void DropWaitingDownloads(const QString& user, const std::string* remoteFolder = nullptr);

signals:
    // None waits to be added any more.
    void WaitingDownloadsDone();

private:
    void AddWaitingDownloads();
    void AddDownloadsFor(qint64 sliceMs);
    static std::string WaitingKey(const DownloadRequest& request);
    std::deque<DownloadRequest> m_downloadsToAdd;
    std::unordered_set<std::string> m_waitingKeys;
    bool m_addingDownloads = false;

public:
    // Null when there is none. Never creates items: the keys may be a peer's text.
    ItemPtr GetDownloadEntry(QString user, std::string file, std::string remoteFolder);
    // Case-insensitive match against the "excluded_download_extension" items.
    static bool HasExcludedDownloadExtension(QString fileName);
    void QueueDownloadIfUserOnline(ItemPtr entry);
    void RequeueDownload(ItemPtr entry);
    // The user's Retry: a wait after a write failure ends, and the download
    // is queued (or, holding every byte, moved). Why it cannot be; empty
    // when it was.
    QString RetryDownload(ItemPtr entry);
    void RequeueUserDownloads(ItemPtr user);
    void RequestDownloadPlaceInLine(ItemPtr entry);
    void RemoveDownload(ItemPtr entry);
    // "remote_folder" + "\" + "file_name".
    static std::string RemotePath(const ItemPtr& entry);
    // Whether the finished file, with the expected size, already stands in the
    // complete folder (defined in TransferFileConnection.cpp).
    bool DoesDownloadItemCompleteFilenameExist(ItemPtr entry);

public slots:
    void OnFileTransferRequest(QString user, int direction, uint req, std::string file,
                               qint64 fileSize);
    void OnDownloadPlaceInLine(QString user, std::string file, int place);
    void OnUploadDeniedNotification(QString user, std::string file, QString reason);
    void OnUploadFailedNotification(QString user, std::string file);
    // Direct connection only: the references live during the emission.
    void OnUserShare(QString user, FileInfoMap& share, AttributeTranslationTable& table);

    // After a run that could not write its file (a full disk), the entry
    // waits before it is queued again: 30 s, doubled at each such failure
    // in a row up to the re-queue interval; 30 s after its file connection
    // was refused because another download writes its partial. Until
    // "download_retry_time".
    static bool WaitsAfterWriteFailure(const ItemPtr& entry);
    // The tick: entries whose wait is over are queued again.
    void RequeueAfterWriteFailures();

private:
    // AddDownload's new entry without the status, queue request or times.
    ItemPtr CreateDownloadEntry(const QString& user, const std::string& file,
                                const std::string& remoteFolder, qint64 size, bool single,
                                int subfolderSaveLevel);
    // End of the downloads section.
    // ---------------------------------------------------------------------
    // ---------------------------------------------------------------------
    // Download file connection, folders and completion (defined in
    // TransferFileConnection.cpp)
public:
    // Internal ("\"-separated) form; empty when the peer's names are refused
    // (they would leave the download folder or are unusable).
    QString GetDownloadTargetFolder(ItemPtr entry, bool complete);
    // The folder, "\" and the file name; empty when refused.
    QString GetDownloadTargetPath(ItemPtr entry, bool complete);
    // The recreated remote folders joined with "\", whatever the
    // single-download setting; empty when there are none.
    QString GetDownloadRelativeDownloadFolder(ItemPtr entry);
    // Removes the emptied recreated downloading folders once every download
    // of the entry's remote folder is complete; not for single downloads.
    void RemoveDownloadDownloadingFolderIfAppropriate(ItemPtr entry);

public slots:
    // Taken only for an entry of that user with that request number that is
    // neither active nor complete; the request number is used up.
    void OnFileConnection(QString user, QTcpSocket* socket, uint requestID);
    void OnDownloadComplete();
    void OnDownloadError(QString error);

private:
    // The download entry of the DownloadThread that sent the current signal.
    ItemPtr DownloadEntryOfSender();
    // After a run: the size of the entry's file as it now stands into its record.
    static void RecordWrittenSize(const ItemPtr& entry);
    // At quit, after the store was saved: the entry's file cut back to the
    // size the save recorded; only the file of the recorded identity and
    // first bytes.
    static void TrimToRecordedSize(const ItemPtr& entry);
    // A finished file found where the settings put it becomes the entry's file.
    void RecordFoundComplete(const ItemPtr& entry);
    // The last reported position as the file's recorded size.
    static void RecordProgressSize(const ItemPtr& entry, qint64 offset);
    // Around a pass over many downloads (a user's re-queue): the path
    // settings are read once and each complete folder is looked for once,
    // instead of per entry. Nothing may change them during the pass.
    struct CompleteCheckCache;
    void BeginCompleteChecks();
    void EndCompleteChecks();
    CompleteCheckCache* m_completeChecks = nullptr;
    // The finished file into its complete folder, then its row and record.
    // A copy to another file system runs on a thread of its own, and the
    // row stays "downloading" until it ends.
    // `found`: a partial found whole rather than just written (see
    // PlaceWholeFile); then all of it runs on the thread.
    void MoveFinished(const ItemPtr& entry, const QString& written, const QString& folder,
                      const QString& name, qint64 size, bool found = false);
    void FinishMove(const ItemPtr& entry, const QString& written, const QString& folder,
                    const FinishedMove& move, qint64 size);
    void RecordCompleteDownload(const ItemPtr& entry, const QString& folder, const QString& name);
    // The status, with the reason shown in the row.
    void SetLocalError(const ItemPtr& entry, const QString& reason);
    // Aborted; a reason given is shown in the row until the next abort.
    void SetDownloadAborted(const ItemPtr& entry, const QString& reason = QString());
    bool IsMoving(const ItemPtr& entry) const;
    // The path of the entry's own partial when it holds every byte (a move
    // stopped by a quit, a kill or a failure); empty otherwise.
    static QString WholePartial(const ItemPtr& entry);
    // Such a partial is never asked of the uploader again: it is moved into
    // its complete folder here, unless a failed move's wait is still on.
    // True when the entry has one (moving, started or waiting).
    bool FinishWholePartial(const ItemPtr& entry);
    // A download whose move into its complete folder was done, its partial
    // gone, when a kill came before its record: finished here, with the
    // file the move left. True when it was.
    bool FinishMovedFile(const ItemPtr& entry);
    // Start-up: the move temporaries that quits and kills left in the
    // complete folders of unfinished downloads go, off the main thread.
    void SweepMoveLeftovers();
    std::unique_ptr<QThread> m_sweep;
    std::atomic<bool> m_stopSweep{false};
    // Quit: running copies stop, each removing its temporary; their
    // partials stay for the next start.
    void StopMoves();
    struct MoveJob;
    std::vector<MoveJob*> m_moves;
    // End of the file connection section.
    // ---------------------------------------------------------------------
    // Start-up and supervision (defined in TransferSupervision.cpp)
public:
    // After the saved store loaded (or none existed): the partials journal
    // is read back into the entries, unfinished downloads go back to
    // "queued", their users are tracked, the views are told, the limits are
    // set and the slot settings are raised to their minimums. Also joins the
    // 30-second tick when a timer manager exists.
    void DataLoaded() override;
    // First start: ".ini" is the only excluded download ending.
    void NoData() override;

public slots:
    // Times out stalled upload negotiations, re-queues and asks places in
    // line of online users, and ends the event loop once a requested
    // finish-and-quit has drained the uploads.
    void EveryHalfMinute();
    // End of the start-up and supervision section.
    // ---------------------------------------------------------------------
    // ---------------------------------------------------------------------
    // Partials journal (defined in TransferJournal.cpp)
public:
    // A save holds every record: the journal starts over.
    void DataSaved(std::uint64_t fileNumber) override;

private:
    // After the load: the journal beside the store is read back into the
    // entries (an entry begun since the save is made again) and kept open.
    void OpenPartialJournal();
    // Queues the entry's file records when they changed since last queued
    // (the size alone does not count); the number of the record that holds
    // them, or 0.
    std::uint64_t JournalPartial(const ItemPtr& entry);
    // The thread writes no byte before record `number` is on disk.
    void HoldFirstWrite(DownloadThread* thread, std::uint64_t number);
    // Every removal is journaled: neither the entry's records nor the last
    // save may bring it back.
    void ForgetJournaledPartial(const ItemPtr& entry);

    std::unique_ptr<PartialJournal> m_journal;
    // Downloads that wait because the journal could not be written.
    std::vector<ItemPtr> m_journalWaits;
    // Per entry key, the record last queued without its size, and its number.
    struct Journaled {
        QByteArray snapshot;
        std::uint64_t number = 0;
    };
    std::unordered_map<std::string, Journaled> m_journaled;
    // End of the partials journal section.
    // ---------------------------------------------------------------------
};

extern TransferQueueManager* transferQueueManager;

#endif
