// The transfer queue's data model and status changes: the types and flags the
// manager declares, its defaults, what a save and load keeps, and what each
// status change releases (threads, files, sockets, heap values). Peers and
// file connections are real loopback sockets.

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

#include "net/PeerMessenger.h"
#include "net/server.h"
#include "shares/SharedFoldersManager.h"
#include "store/Data.h"
#include "store/DataSaver.h"
#include "store/MemStream.h"
#include "store/Settings.h"
#include "store/TimerManager.h"
#include "support/RawPeer.h"
#include "support/TransferServices.h"
#include "transfers/RateLimiter.h"
#include "transfers/TransferQueueManager.h"
#include "transfers/TransferThreads.h"

namespace {

constexpr int kWait = 10000;
const char* const kHeapTypes[] = {"write_position",    "read_position",
                                  "last_receipt_time", "last_speed_measurement_time",
                                  "bytes_per_second",  "bytes_since_last_receipt",
                                  "bytes_uploaded"};

ItemPtr V(const char* type, const Value& value) {
    return d.GetType(type)->GetItem(value);
}

// A connected loopback pair; the test keeps the far end.
struct SocketPair {
    QTcpServer server;
    QTcpSocket* near = nullptr;
    QTcpSocket* far = nullptr;

    bool Open() {
        if (!server.listen(QHostAddress::LocalHost))
            return false;
        near = new QTcpSocket;
        near->connectToHost(QHostAddress::LocalHost, server.serverPort());
        if (!near->waitForConnected(kWait) || !server.waitForNewConnection(kWait))
            return false;
        far = server.nextPendingConnection();
        return far != nullptr;
    }
};

}  // namespace

class TestTqmModel : public QObject, TransferServices {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> tmp;

    // Everything the manager needs, in start-up order, without the manager.
    void Services() { StartEngineServices(); }

    // Frees the heap values still in the store (through the removal
    // handlers), then stops the services in reverse order.
    void TearDown() {
        for (const char* type : kHeapTypes)
            if (Type* t = d.FindType(type))
                t->GetItems().Remove();
        StopTransferServices();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    ItemPtr NewDownload(const QString& user, const QString& name) {
        ItemPtr entry = d.GetType("download_entry")->NewItem();
        entry.Connect(V("user", user));
        entry.Connect(V("file_name", name));
        entry.Connect(V("remote_folder", "music\\album"));
        entry.Connect(V("file_size", 1000));
        tqm->SetDownloadEntryStatus(entry, TransferQueueManager::kQueued);
        return entry;
    }

    ItemPtr NewUpload(const QString& user, const QString& requested) {
        ItemPtr file = d.GetType("shared_file")->NewItem();
        file.Connect(V("shared_file_name", "song.mp3"));
        ItemPtr entry = d.GetType("upload_entry")->NewItem();
        entry.Connect(V("user", user));
        entry.Connect(file);
        entry.Connect(V("filename_as_requested", requested));
        tqm->SetUploadEntryStatus(entry, TransferQueueManager::kQueued);
        return entry;
    }

    // Takes `entry` through "requesting" and "connecting" to "uploading" with
    // a thread on the near socket that sends an empty file: it waits for the
    // peer's offset, which the test may never send. Null when the file fails.
    UploadThread* StartUpload(const ItemPtr& entry, SocketPair& pair) {
        if (!QFile(tmp->filePath("big.mp3")).open(QIODevice::WriteOnly))
            return nullptr;
        auto* file = new QFile(tmp->filePath("big.mp3"));
        if (!file->open(QIODevice::ReadOnly)) {
            delete file;
            return nullptr;
        }
        auto* thread = new UploadThread(pair.near, file, 7);
        thread->SetWaitLimits(100, 600);
        tqm->SetUploadEntryStatus(entry, "requesting");
        tqm->SetUploadEntryStatus(entry, "connecting");
        entry.Connect(V("upload_file", Value(file)));
        entry.Connect(V("upload_socket", Value(pair.near)));
        tqm->SetUploadEntryStatus(entry, "uploading");
        AttachCounters(entry, "read_position");
        StartTransferThread(thread, pair.near);
        entry.Connect(V("upload_thread", Value(thread)));
        return thread;
    }

    // The run-time values a running transfer carries, as the engine makes them.
    static void AttachCounters(const ItemPtr& entry, const char* positionType) {
        const QDateTime now = QDateTime::currentDateTime();
        entry.Connect(V("last_receipt_time", Value(new QDateTime(now))));
        entry.Connect(V("last_speed_measurement_time", Value(new QDateTime(now))));
        entry.Connect(V("bytes_per_second", Value(new qint32(0))));
        entry.Connect(V("bytes_since_last_receipt", Value(new qint64(77))));
        entry.Connect(V(positionType, Value(new qint64(0))));
    }

private slots:
    void init() {
        tmp.reset(new QTemporaryDir);
        QVERIFY(tmp->isValid());
        Services();
    }

    void cleanup() {
        TearDown();
        tmp.reset();
    }

    void typesFlagsAndDefaults() {
        tqm.reset(new TransferQueueManager);
        QCOMPARE(transferQueueManager, tqm.get());

        // Active exactly on the running statuses.
        Type* down = d.GetType("download_entry_status");
        Type* up = d.GetType("upload_entry_status");
        QVERIFY(down->HasItem(Value("downloading")).IsConnected("is_active"));
        for (const char* s : {"requesting", "connecting", "uploading", "waiting for offset"})
            QVERIFY2(up->HasItem(Value(s)).IsConnected("is_active"), s);
        QCOMPARE(d.GetType("is_active")->GetGlobalNullItem().CountItems("download_entry_status"),
                 1);
        QCOMPARE(d.GetType("is_active")->GetGlobalNullItem().CountItems("upload_entry_status"), 4);

        // An entry is active through its status item, and the counts follow.
        ItemPtr a = NewUpload("ann", "a\\1.mp3");
        ItemPtr b = NewUpload("bob", "b\\2.mp3");
        QVERIFY(!TransferQueueManager::IsUploadActive(a));
        tqm->SetUploadEntryStatus(a, "uploading");
        tqm->SetUploadEntryStatus(b, "complete");
        QVERIFY(TransferQueueManager::IsUploadActive(a));
        QVERIFY(!TransferQueueManager::IsUploadActive(b));
        QCOMPARE(tqm->ActiveUploadCount(), 1);
        ItemPtr dl = NewDownload("ann", "x.mp3");
        QVERIFY(!TransferQueueManager::IsDownloadActive(dl));
        QCOMPARE(tqm->ActiveDownloadCount(), 0);
        tqm->SetDownloadEntryStatus(dl, "downloading");
        QCOMPARE(tqm->ActiveDownloadCount(), 1);

        // Relations: an entry has one status and one user; equal values share
        // one item; address items pair one to one.
        QCOMPARE(a.CountItems("upload_entry_status"), 1);
        QCOMPARE(V("user", "ann").CountItems("upload_entry"), 1);
        QCOMPARE(up->HasItem(Value("queued")).CountItems("upload_entry"), 0);
        ItemPtr second = d.GetType("download_entry")->NewItem();
        second.Connect(V("file_name", "x.mp3"));
        QCOMPARE(V("file_name", "x.mp3").CountItems("download_entry"), 2);
        ItemPtr req = V("transfer_req", 5);
        a.Connect(req);
        b.Connect(req);
        QVERIFY(!a.IsConnected(req));
        QVERIFY(b.IsConnected(req));

        // Settings on a first start.
        QCOMPARE(GetSetting("download_folder"), QDir::homePath() + "/Tavenook Downloads");
        QCOMPARE(GetSetting("transfer_order_counter"), QString("1"));
        QCOMPARE(GetSetting("transfer_req_counter"), QString("1"));
        QCOMPARE(GetSetting("upload_speed_limit"), QString("0"));
        QCOMPARE(GetSetting("upload_speed_limit_enabled"), QString("no"));
        QCOMPARE(GetSetting("download_speed_limit"), QString("0"));
        QCOMPARE(GetSetting("download_speed_limit_enabled"), QString("no"));
        QCOMPARE(GetSetting("upload_slots"), QString("1"));
        QCOMPARE(GetSetting("check_for_empty_shares"), QString("no"));
        QVERIFY(GetSetting("empty_share_message").startsWith("It looks like you're not sharing"));
        QCOMPARE(GetSetting("max_queued_uploads_per_user"), QString("200"));
        QCOMPARE(tqm->GetUploadSpeed(), 0);
        QCOMPARE(tqm->GetDownloadSpeed(), 0);
        tqm->SetDownloadEntryStatus(dl, "queued");
        tqm->SetUploadEntryStatus(a, "complete");
    }

    void defaultsKeepValuesAlreadySet() {
        // Some defaults only fill gaps; the rest are always written.
        SetSetting("download_folder", "/elsewhere");
        SetSetting("transfer_order_counter", "42");
        SetSetting("transfer_req_counter", "9");
        SetSetting("upload_speed_limit", "50");
        SetSetting("download_speed_limit", "70");
        SetSetting("download_speed_limit_enabled", "yes");
        SetSetting("upload_slots", "7");
        tqm.reset(new TransferQueueManager);
        QCOMPARE(GetSetting("download_folder"), QString("/elsewhere"));
        QCOMPARE(GetSetting("transfer_order_counter"), QString("42"));
        QCOMPARE(GetSetting("transfer_req_counter"), QString("1"));
        QCOMPARE(GetSetting("upload_speed_limit"), QString("50"));
        QCOMPARE(GetSetting("upload_speed_limit_enabled"), QString());
        QCOMPARE(GetSetting("download_speed_limit"), QString("70"));
        QCOMPARE(GetSetting("download_speed_limit_enabled"), QString("yes"));
        QCOMPARE(GetSetting("upload_slots"), QString("1"));
    }

    void saveAndLoadKeepsQueuedDownloads() {
        tqm.reset(new TransferQueueManager);
        ItemPtr entry = NewDownload("ann", "x.mp3");
        entry.Connect(V("download_order", 12));
        entry.Connect(V("subfolder_save_level", 2));
        entry.NewItem("single_download");
        entry.Connect(V("remote_transfer_req", 99));
        entry.Connect(V("place_in_line", 4));
        tqm->SetDownloadEntryStatus(entry, "downloading");
        AttachCounters(entry, "write_position");
        ItemPtr other = NewDownload("bob", "y.mp3");
        tqm->SetDownloadEntryStatus(other, "complete");
        ItemPtr upload = NewUpload("ann", "a\\1.mp3");
        V("excluded_download_extension", ".ini");
        const QString prefix = tmp->filePath("store");
        QVERIFY(saver->Save(prefix));
        tqm->SetDownloadEntryStatus(entry, "queued");  // frees the run-time values
        TearDown();

        Services();
        tqm.reset(new TransferQueueManager);
        saver->Load(prefix);
        Type* entries = d.GetType("download_entry");
        QCOMPARE(entries->ItemCount(), 2);
        ItemPtr loaded = d.GetItem(V("user", "ann"), V("file_name", "x.mp3"), "download_entry");
        QVERIFY(!loaded.IsNull());
        QCOMPARE(loaded["remote_folder"].AsString(), QString("music\\album"));
        QCOMPARE(loaded["file_size"].AsInt64(), qint64(1000));
        QCOMPARE(loaded["download_order"].AsInt(), 12);
        QCOMPARE(loaded["subfolder_save_level"].AsInt(), 2);
        // A download running at the last exit is queued again after the load.
        QCOMPARE(TransferQueueManager::DownloadStatus(loaded), QString("queued"));
        for (const char* gone :
             {"single_download", "remote_transfer_req", "place_in_line", "last_status_change_time",
              "write_position", "last_receipt_time", "last_speed_measurement_time",
              "bytes_per_second", "bytes_since_last_receipt"})
            QVERIFY2(loaded[gone].IsNull(), gone);
        ItemPtr done = d.GetItem(V("user", "bob"), V("file_name", "y.mp3"), "download_entry");
        QCOMPARE(TransferQueueManager::DownloadStatus(done), QString("complete"));
        QCOMPARE(d.GetType("upload_entry")->ItemCount(), 0);
        QVERIFY(!d.GetType("excluded_download_extension")->HasItem(Value(".ini")).IsNull());
        // Status items loaded from the file are the flagged ones.
        QVERIFY(d.GetType("download_entry_status")
                    ->HasItem(Value("downloading"))
                    .IsConnected("is_active"));
        QVERIFY(!TransferQueueManager::IsDownloadActive(loaded));
        QCOMPARE(tqm->ActiveDownloadCount(), 0);
    }

    void downloadStatusChanges() {
        tqm.reset(new TransferQueueManager);
        ItemPtr entry = NewDownload("ann", "x.mp3");
        ItemPtr user = entry["user"];
        QCOMPARE(TransferQueueManager::DownloadStatus(entry), QString("queued"));

        // Same status again: the time moves, nothing is released.
        ItemPtr old = V("last_status_change_time", "Mon Jan 1 00:00:00 2001");
        entry.Connect(old);
        entry.Connect(V("write_position", Value(new qint64(5))));
        tqm->SetDownloadEntryStatus(entry, "queued");
        QVERIFY(!entry.IsConnected(old));
        const QDateTime stamp =
            QDateTime::fromString(entry["last_status_change_time"].AsString(), Qt::TextDate);
        QVERIFY(qAbs(stamp.secsTo(QDateTime::currentDateTime())) < 5);
        QVERIFY(!entry["write_position"].IsNull());
        entry["write_position"].Remove();

        // Queued to denied is inactive to inactive: no re-queue time.
        ItemPtr denied = NewDownload("bob", "y.mp3");
        tqm->SetDownloadEntryStatus(denied, "denied");
        QVERIFY(denied["user"]["last_queue_request_time"].IsNull());

        // A running download with its thread, file and socket, under a limit.
        SetSetting("download_speed_limit", "100");
        tqm->EnableDownloadSpeedLimit(true);
        QCOMPARE(tqm->GetDownloadSpeed(), 100);
        SocketPair pair;
        QVERIFY(pair.Open());
        auto* file = new QFile(tmp->filePath("x.mp3"));
        QVERIFY(file->open(QIODevice::Append));
        auto* thread = new DownloadThread(pair.near, file, 1000, 0);
        thread->SetWaitLimits(100, 600);  // a minute of waiting unless asked to exit
        QPointer<QTcpSocket> socket = pair.near;
        QPointer<QFile> filePtr = file;
        QPointer<DownloadThread> threadPtr = thread;
        entry.Connect(V("download_socket", Value(pair.near)));
        entry.Connect(V("download_file", Value(file)));
        AttachCounters(entry, "write_position");
        tqm->SetDownloadEntryStatus(entry, "downloading");
        StartTransferThread(thread, pair.near);
        entry.Connect(V("download_thread", Value(thread)));
        QVERIFY(TransferQueueManager::IsDownloadActive(entry));
        QCOMPARE(DownloadRateLimiter().PerTransferLimit(), 100);
        // Becoming active restarts the speed measurement.
        QCOMPARE(*TransferQueueManager::ObjectOf<qint64>(entry["bytes_since_last_receipt"]),
                 qint64(0));
        ItemPtr second = NewDownload("cy", "z.mp3");
        tqm->SetDownloadEntryStatus(second, "downloading");
        QCOMPARE(DownloadRateLimiter().PerTransferLimit(), 50);
        tqm->SetDownloadEntryStatus(second, "complete");
        QCOMPARE(DownloadRateLimiter().PerTransferLimit(), 100);

        // The thread's progress reports land in the entry's run-time values.
        connect(thread, &DownloadThread::DownloadProgress, tqm.get(),
                &TransferQueueManager::OnDownloadProgress, Qt::DirectConnection);
        QSignalSpy progressed(tqm.get(), &TransferQueueManager::DownloadProgressed);
        emit thread->DownloadProgress(500, 42);
        QCOMPARE(progressed.count(), 1);
        QCOMPARE(*TransferQueueManager::ObjectOf<qint64>(entry["write_position"]), qint64(500));
        QCOMPARE(*TransferQueueManager::ObjectOf<qint32>(entry["bytes_per_second"]), 42);

        // Leaving "downloading": the thread is asked to exit, not waited out.
        QElapsedTimer clock;
        clock.start();
        tqm->SetDownloadEntryStatus(entry, "aborted");
        QVERIFY(clock.elapsed() < 5000);
        QVERIFY(threadPtr && threadPtr->isFinished());
        QVERIFY(!filePtr);  // closed and deleted at once
        QVERIFY(TransferQueueManager::DownloadStatus(entry) == "aborted");
        for (const char* gone : {"download_thread", "download_file", "download_socket",
                                 "write_position", "last_receipt_time", "bytes_per_second"})
            QVERIFY2(entry[gone].IsNull(), gone);
        QVERIFY(d.GetType("download_thread")->GetItems().Empty());
        QVERIFY(d.GetType("download_socket")->GetItems().Empty());
        QVERIFY(!entry["last_speed_measurement_time"].IsNull());
        QVERIFY(!entry["bytes_since_last_receipt"].IsNull());
        const QDateTime requeue =
            QDateTime::fromString(user["last_queue_request_time"].AsString(), Qt::TextDate);
        QVERIFY(qAbs(requeue.secsTo(QDateTime::currentDateTime())) < 5);
        QCOMPARE(tqm->ActiveDownloadCount(), 0);
        // Thread and socket go later, through the event loop.
        QVERIFY(QTest::qWaitFor([&] { return !threadPtr && !socket; }, kWait));

        // A status text never seen before is inactive.
        tqm->SetDownloadEntryStatus(entry, "odd");
        QVERIFY(!TransferQueueManager::IsDownloadActive(entry));
        // An entry removed meanwhile is left alone.
        entry.Remove();
        tqm->SetDownloadEntryStatus(entry, "queued");
    }

    void uploadStatusChanges() {
        tqm.reset(new TransferQueueManager);
        QVERIFY(messenger->Listen());
        RawPeer bob;
        QVERIFY(ConnectAsPeer(bob, "bob"));

        // Any change, also queued to queued, marks the upload side changed.
        SetRuntimeSetting("last_upload_state_change", "Mon Jan 1 00:00:00 2001");
        ItemPtr refused = NewUpload("bob", "Music\\refused.mp3");
        QVERIFY(GetRuntimeSetting("last_upload_state_change") != "Mon Jan 1 00:00:00 2001");
        SetRuntimeSetting("last_upload_state_change", "Mon Jan 1 00:00:00 2001");
        tqm->SetUploadEntryStatus(refused, "queued");
        const QDateTime changed =
            QDateTime::fromString(GetRuntimeSetting("last_upload_state_change"), Qt::TextDate);
        QVERIFY(qAbs(changed.secsTo(QDateTime::currentDateTime())) < 5);

        // Requesting to denied tells the peer nothing; requesting to aborted
        // (the phase time-out) sends the upload-failed notice with the name as
        // the peer asked for it.
        tqm->SetUploadEntryStatus(refused, "requesting");
        tqm->SetUploadEntryStatus(refused, "denied");
        ItemPtr timedOut = NewUpload("bob", "Music\\Sub\\late.mp3");
        tqm->SetUploadEntryStatus(timedOut, "requesting");
        tqm->SetUploadEntryStatus(timedOut, "aborted");
        quint32 code = 0;
        QByteArray payload;
        QVERIFY(bob.WaitForMessage(&code, &payload, kWait));
        QCOMPARE(code, quint32(PeerMessenger::PM_UPLOAD_FAILED));
        MemStream in(payload);
        std::string name;
        QVERIFY(in.Read(name));
        QCOMPARE(name, std::string("Music\\Sub\\late.mp3"));

        // A running upload: its thread waits for the peer's offset, which
        // never comes. Leaving "uploading" must not wait that out.
        SetSetting("upload_speed_limit", "40");
        tqm->EnableUploadSpeedLimit(true);
        ItemPtr running = NewUpload("bob", "Music\\big.mp3");
        SocketPair pair;
        QVERIFY(pair.Open());
        UploadThread* const thread = StartUpload(running, pair);
        QVERIFY(thread);
        QPointer<QTcpSocket> socket = pair.near;
        QPointer<QFile> filePtr =
            TransferQueueManager::ObjectOf<QFile>(running.HasItem("upload_file"));
        QPointer<UploadThread> threadPtr = thread;
        tqm->DetermineUploadSpeedLimit();
        QCOMPARE(UploadRateLimiter().PerTransferLimit(), 40);
        QCOMPARE(tqm->GetUploadSpeed(), 40);
        // The token arrives, then the thread waits.
        QVERIFY(RawPeer::WaitUntil([&] { return pair.far->bytesAvailable() >= 4; }, kWait));

        QElapsedTimer clock;
        clock.start();
        tqm->SetUploadEntryStatus(running, "aborted");
        QVERIFY(clock.elapsed() < 5000);
        QVERIFY(threadPtr && threadPtr->isFinished());
        QVERIFY(!filePtr);
        for (const char* gone :
             {"upload_thread", "upload_file", "upload_socket", "read_position", "last_receipt_time",
              "last_speed_measurement_time", "bytes_per_second"})
            QVERIFY2(running[gone].IsNull(), gone);
        QVERIFY(d.GetType("read_position")->GetItems().Empty());
        QVERIFY(!running["bytes_since_last_receipt"].IsNull());
        QVERIFY(QTest::qWaitFor([&] { return !threadPtr && !socket; }, kWait));
        QVERIFY(bob.WaitForMessage(&code, &payload, kWait));
        QCOMPARE(code, quint32(PeerMessenger::PM_UPLOAD_FAILED));
        MemStream in2(payload);
        QVERIFY(in2.Read(name));
        QCOMPARE(name, std::string("Music\\big.mp3"));

        // Ended uploads go back to the queue without a notice.
        tqm->SetUploadEntryStatus(running, "queued");
        tqm->SetUploadEntryStatus(refused, "queued");
        QVERIFY(!bob.WaitForMessage(&code, &payload, 300));
        QCOMPARE(tqm->ActiveUploadCount(), 0);
    }

    void refusalActsOnlyOnRequesting() {
        tqm.reset(new TransferQueueManager);
        // A running upload whose thread waits on its peer.
        ItemPtr running = NewUpload("bob", "Music\\big.mp3");
        running.Connect(V("transfer_req", 7));
        SocketPair pair;
        QVERIFY(pair.Open());
        UploadThread* const thread = StartUpload(running, pair);
        QVERIFY(thread);
        ItemPtr pending = NewUpload("cy", "Music\\small.mp3");
        tqm->SetUploadEntryStatus(pending, "requesting");
        pending.Connect(V("transfer_req", 8));

        // A refusal naming the running upload's request changes nothing and
        // does not block on its thread.
        QElapsedTimer clock;
        clock.start();
        emit messenger->FileTransferResponse("bob", 7, false, false, 0, "Cancelled");
        QVERIFY(clock.elapsed() < 1000);
        QCOMPARE(TransferQueueManager::UploadStatus(running), QString("uploading"));
        QVERIFY(running["denial_reason"].IsNull());
        QVERIFY(!thread->isFinished());
        QVERIFY(!running["upload_thread"].IsNull());

        // The pending one is refused.
        emit messenger->FileTransferResponse("cy", 8, false, false, 0, "Cancelled");
        QCOMPARE(TransferQueueManager::UploadStatus(pending), QString("denied"));
        QCOMPARE(pending["denial_reason"].AsString(), QString("Cancelled"));

        tqm->SetUploadEntryStatus(running, "aborted");
        QVERIFY(running["upload_thread"].IsNull());
    }

    void removalHandlersFreeOnce() {
        tqm.reset(new TransferQueueManager);
        ItemPtr entry = NewUpload("ann", "a.mp3");
        AttachCounters(entry, "read_position");
        entry.Connect(V("bytes_uploaded", Value(new qint64(3))));
        // A null address is skipped.
        ItemPtr zero = V("last_receipt_time", 0);
        zero.Remove();
        // The sweep removes items an entry let go of, and frees them then.
        ItemPtr dropped = entry["bytes_since_last_receipt"];
        entry.Connect(V("bytes_since_last_receipt", Value(new qint64(0))));
        QVERIFY(!entry.IsConnected(dropped));
        QVERIFY(d.RemoveDisconnectedItems() > 0);
        QVERIFY(dropped.IsRemoved());
        // Removing the entry's items frees each value once (checked by ASan).
        for (const char* type : kHeapTypes)
            if (ItemPtr item = entry[type]; !item.IsNull())
                item.Remove();
        for (const char* type : kHeapTypes)
            QVERIFY2(entry[type].IsNull(), type);
    }
};

QTEST_GUILESS_MAIN(TestTqmModel)
#include "test_tqm_model.moc"
