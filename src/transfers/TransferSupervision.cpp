// What the transfer queue does on its own: turning the saved download queue
// into a live one after the load, the first-start defaults, and the
// 30-second supervision of uploads and downloads.

#include <QCoreApplication>
#include <QDateTime>
#include <vector>

#include "net/PeerMessenger.h"
#include "net/server.h"
#include "store/Data.h"
#include "store/Log.h"
#include "store/Settings.h"
#include "transfers/TransferQueueManager.h"

namespace {

const QString kArea = QStringLiteral("Transfer Queue");

constexpr qint64 kPhaseTimeoutMs = 29999;
// How long in all the request phase waits for messages of the downloader's
// that we have not handled yet.
constexpr qint64 kRequestingUnreadMs = 119999;
constexpr qint64 kRequeueIntervalMs = 599999;
constexpr qint64 kPlaceInLineIntervalSecs = 600;
constexpr qint64 kQuietBeforeQuitSecs = 300;

// Stored times are local text dates. An absent or unreadable one counts as
// long past, so nothing waits forever on a time that was never written.
QDateTime ParseTime(const QString& text) {
    return QDateTime::fromString(text, Qt::TextDate);
}

bool IsOlderThanMs(const QString& text, const QDateTime& now, qint64 ms) {
    const QDateTime then = ParseTime(text);
    return !then.isValid() || then.msecsTo(now) > ms;
}

// A setting that reads as an integer below the floor is raised to `raised`.
void RaiseIntSetting(const char* key, int below, const char* raised) {
    bool ok = false;
    const int n = GetSetting(key).toInt(&ok);
    if (ok && n < below)
        SetSetting(key, raised);
}

}  // namespace

void TransferQueueManager::DataLoaded() {
    // First, so that an entry it makes again is queued below like the others.
    OpenPartialJournal();
    // Straight to the status item: no change time is stamped and nothing is
    // released, since run-time items were never saved.
    const ItemPtr queued = d.GetType("download_entry_status")->GetItem(Value(kQueued));
    ItemSet users;
    for (const ItemPtr& entry : d.GetType("download_entry")->GetItems()) {
        if (DownloadStatus(entry) != QLatin1String(kComplete))
            entry.Connect(queued);
        const ItemPtr user = entry.HasItem("user");
        if (!user.IsNull())
            users.Insert(user);
    }
    // Finished downloads count too: the views show their users' status.
    if (gp_server)
        for (const ItemPtr& user : users)
            gp_server->TrackUser(user.AsString());

    emit TransfersLoaded();

    DetermineUploadSpeedLimit();
    DetermineDownloadSpeedLimit();

    RaiseIntSetting("upload_slots", 1, "1");
    RaiseIntSetting("max_queued_uploads_per_user", 10, "10");

    // Downloads whose partial holds every byte, their move stopped by a quit,
    // a kill or a failure, end here, not at the uploader, as do those whose
    // move ended before a kill; what stopped copies left goes.
    SweepMoveLeftovers();
    std::vector<ItemPtr> written;
    for (const ItemPtr& entry : d.GetType("download_entry")->GetItems())
        if (DownloadStatus(entry) != QLatin1String(kComplete) &&
            !entry.HasItem("local_file_path").IsNull())
            written.push_back(entry);
    for (const ItemPtr& entry : written) {
        if (entry.IsRemoved())
            continue;
        if (!FinishWholePartial(entry)) {
            // Moved whole before a kill that came before its record.
            FinishMovedFile(entry);
            continue;
        }
        if (!WaitsAfterWriteFailure(entry))
            continue;
        SetLocalError(entry,
                      QStringLiteral("could not be moved into its complete folder; trying again at "
                                     "%1")
                          .arg(entry.HasItem("download_retry_time").AsString()));
    }
}

void TransferQueueManager::NoData() {
    d.GetType("excluded_download_extension")->GetItem(Value(".ini"));
}

void TransferQueueManager::EveryHalfMinute() {
    const QDateTime now = QDateTime::currentDateTime();

    // Negotiations the peer left hanging. "uploading" is watched by its thread.
    std::vector<ItemPtr> negotiating;
    Type* uploadStatus = d.GetType("upload_entry_status");
    for (const char* status : {kRequesting, kConnecting, kWaitingForOffset})
        for (const ItemPtr& entry : uploadStatus->HasItem(Value(status)).GetItems("upload_entry"))
            negotiating.push_back(entry);
    bool aborted = false;
    for (const ItemPtr& entry : negotiating) {
        if (entry.IsRemoved() || !IsOlderThanMs(entry.HasItem("last_status_change_time").AsString(),
                                                now, kPhaseTimeoutMs))
            continue;
        // The downloader's answer may wait behind whole messages of hers that
        // we have not handled yet: that slowness is ours, so the phase waits
        // for them, up to a bound. A frame she has not finished sending is
        // her slowness, not ours.
        const ItemPtr user = entry.HasItem("user");
        if (UploadStatus(entry) == QLatin1String(kRequesting) && peerMessenger && !user.IsNull() &&
            !IsOlderThanMs(entry.HasItem("last_status_change_time").AsString(), now,
                           kRequestingUnreadMs) &&
            peerMessenger->MessageUnreadFrom(user.AsString()))
            continue;
        const ItemPtr file = entry.HasItem("shared_file");
        Log(kArea, 1,
            QStringLiteral("Upload of %1 to %2 timed out in %3 phase, aborting")
                .arg(file.IsNull() ? QString() : file.HasItem("shared_file_name").AsString(),
                     entry.HasItem("user").AsString(), UploadStatus(entry)));
        SetUploadEntryStatus(entry, kAborted);
        aborted = true;
    }
    if (aborted)
        StartNewUploads();

    RequeueAfterWriteFailures();

    // Online users we wait on, computed once for both passes below.
    ItemSet users;
    for (const ItemPtr& entry :
         d.GetType("download_entry_status")->HasItem(Value(kQueued)).GetItems("download_entry")) {
        const ItemPtr user = entry.HasItem("user");
        if (!user.IsNull() && user.IsConnected("is_online"))
            users.Insert(user);
    }

    for (const ItemPtr& user : users) {
        if (user.IsRemoved() || IsActivelyDownloadingFromUser(user.AsString()))
            continue;
        const ItemPtr last = user.HasItem("last_queue_request_time");
        if (last.IsNull() || IsOlderThanMs(last.AsString(), now, kRequeueIntervalMs))
            RequeueUserDownloads(user);
    }

    for (const ItemPtr& user : users) {
        if (user.IsRemoved() || IsActivelyDownloadingFromUser(user.AsString()))
            continue;
        const ItemPtr next = user.HasItem("next_place_in_line_request_time");
        if (!next.IsNull()) {
            const QDateTime due = ParseTime(next.AsString());
            if (due.isValid() && now < due)
                continue;
        }
        const ItemSet waiting =
            user.GetItems("download_entry").Connected("download_entry_status", Value(kQueued));
        for (const ItemPtr& entry : waiting.SortNumericBy("download_order", true))
            RequestDownloadPlaceInLine(entry);
        user.Connect(
            d.GetType("next_place_in_line_request_time")
                ->GetItem(Value(now.addSecs(kPlaceInLineIntervalSecs).toString(Qt::TextDate))));
    }

    if (IsRuntimeSettingYes("finish_uploads_and_quit")) {
        // No upload change since start counts as quiet: the queue is drained.
        const QDateTime last = ParseTime(GetRuntimeSetting("last_upload_state_change"));
        const bool quiet = !last.isValid() || last.secsTo(now) > kQuietBeforeQuitSecs;
        if (quiet && ActiveUploadCount() == 0 && QueuedUploadCount() == 0)
            QCoreApplication::exit(0);
    }
}
