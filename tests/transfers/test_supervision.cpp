// The transfer queue's own work: start-up after a saved store, the first-start
// defaults, and the 30-second tick (negotiation time-outs, re-queues, places
// in line, finish-and-quit). Times are written into the items, so nothing
// waits for the clock.

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QHostAddress>
#include <QSignalSpy>
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
#include "support/TestFiles.h"
#include "support/TransferServices.h"
#include "transfers/TransferQueueManager.h"

namespace {

constexpr int kWait = 10000;

QString Ago(int seconds) {
    return QDateTime::currentDateTime().addSecs(-seconds).toString(Qt::TextDate);
}

}  // namespace

class TestSupervision : public QObject, private TransferServices {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> tmp;

    QString P(const QString& relative) const { return tmp->path() + "/" + relative; }

    ItemPtr User(const QString& name) { return d.GetType("user")->GetItem(name); }
    void Online(const QString& name) {
        User(name).Connect(d.GetType("is_online")->GetGlobalNullItem());
    }
    void SetTime(const ItemPtr& item, const char* type, const QString& text) {
        item.Connect(d.GetType(type)->GetItem(Value(text)));
    }
    ItemPtr Upload(const QString& user, const QString& relative) {
        return d.GetItem(User(user), shares->GetSharedFileItem(P(relative)), "upload_entry");
    }

    bool Build() { return StartTransferServices(); }

    void TearDown() { StopTransferServices(); }

    bool Connect(RawPeer& peer, const QString& user) {
        if (!peer.ConnectTo(messenger->ListeningPort()))
            return false;
        peer.SendSetUp(user, "P");
        Drain(peer);
        return true;
    }

    // Everything the peer was sent until a share-list round trip, as codes
    // and paths ("43 F\a").
    static QStringList Drain(RawPeer& peer) {
        peer.SendMessage(PeerMessenger::PM_SHARED_FILE_LIST_REQUEST);
        QStringList got;
        for (;;) {
            quint32 code = 0;
            QByteArray payload;
            if (!peer.WaitForMessage(&code, &payload, kWait)) {
                got << "timeout";
                return got;
            }
            if (code == PeerMessenger::PM_SHARED_FILE_LIST)
                return got;
            MemStream in(payload);
            QString text;
            if (code == PeerMessenger::PM_TRANSFER_REQUEST) {
                quint32 direction = 0, req = 0;
                in.Read(direction);
                in.Read(req);
            }
            in.Read(text);
            got << QString::number(code) + " " + text;
        }
    }

    // Runs one tick inside the application's event loop; the result is 0
    // when the tick ended it, 7 when it kept running. The application loop,
    // not a local one: an exit leaves every later local loop refusing to run
    // until the application loop starts again.
    int TickInLoop() {
        QTimer fallback;
        fallback.setSingleShot(true);
        connect(&fallback, &QTimer::timeout, [] { QCoreApplication::exit(7); });
        QTimer::singleShot(0, tqm.get(), [this] { tqm->EveryHalfMinute(); });
        fallback.start(300);
        return QCoreApplication::exec();
    }

private slots:
    void init() {
        d.Reset();
        QVERIFY(Build());
        tmp.reset(new QTemporaryDir);
        QVERIFY(tmp->isValid());
    }

    void cleanup() {
        if (tqm) {
            for (const ItemPtr& entry : d.GetType("download_entry")->GetItems())
                tqm->RemoveDownload(entry);
            for (const ItemPtr& entry : d.GetType("upload_entry")->GetItems())
                tqm->RemoveUpload(entry);
        }
        TearDown();
        tmp.reset();
    }

    void startUpAfterSavedStore() {
        struct Round {
            const char* slotCount;
            const char* perUser;
            const char* slotsAfter;
            const char* perUserAfter;
        };
        const Round rounds[] = {{"0", "5", "1", "10"},
                                {"500", "9", "500", "10"},
                                {"2", "10", "2", "10"},
                                {"many", "x", "many", "x"}};
        int n = 0;
        for (const Round& r : rounds) {
            const QString prefix = P(QString("store%1/tavenook").arg(n++));
            QVERIFY(QDir().mkpath(QFileInfo(prefix).absolutePath()));
            const ItemPtr a = tqm->AddDownload("bob", "a", "F", 1, false, 0);
            const ItemPtr c = tqm->AddDownload("carol", "c", "F", 1, false, 0);
            const ItemPtr e = tqm->AddDownload("dave", "e", "F", 1, false, 0);
            tqm->AddDownload("erin", "q", "F", 1, false, 0);
            tqm->SetDownloadEntryStatus(a, TransferQueueManager::kDownloading);
            tqm->SetDownloadEntryStatus(c, TransferQueueManager::kComplete);
            tqm->SetDownloadEntryStatus(e, TransferQueueManager::kDenied);
            SetSetting("upload_slots", r.slotCount);
            SetSetting("max_queued_uploads_per_user", r.perUser);
            QVERIFY(saver->Save(prefix));
            tqm->SetDownloadEntryStatus(a, TransferQueueManager::kQueued);
            TearDown();
            QVERIFY(Build());

            QSignalSpy loaded(tqm.get(), &TransferQueueManager::TransfersLoaded);
            saver->Load(prefix);
            QCOMPARE(loaded.count(), 1);
            QMap<QString, QString> statuses;
            for (const ItemPtr& entry : d.GetType("download_entry")->GetItems())
                statuses[entry.HasItem("user").AsString()] =
                    TransferQueueManager::DownloadStatus(entry);
            const QMap<QString, QString> expected{
                {"bob", "queued"}, {"carol", "complete"}, {"dave", "queued"}, {"erin", "queued"}};
            QCOMPARE(statuses, expected);
            // No change time is stamped on the way back to "queued".
            for (const ItemPtr& entry : d.GetType("download_entry")->GetItems())
                QVERIFY(!entry.IsConnected("last_status_change_time"));
            for (const char* user : {"bob", "carol", "dave", "erin"})
                QVERIFY2(User(user).IsConnected("is_tracked"), user);
            QCOMPARE(GetSetting("upload_slots"), QString(r.slotsAfter));
            QCOMPARE(GetSetting("max_queued_uploads_per_user"), QString(r.perUserAfter));
            // A saved store is no first start.
            QVERIFY(d.GetType("excluded_download_extension")->HasItem(Value(".ini")).IsNull());

            for (const ItemPtr& entry : d.GetType("download_entry")->GetItems())
                tqm->RemoveDownload(entry);
        }

        // No saved store at all: the first-start defaults.
        saver->Load(P("nothing/tavenook"));
        const ItemSet endings = d.GetType("excluded_download_extension")->GetItems();
        QCOMPARE(endings.Size(), 1);
        QCOMPARE(endings.First().AsString(), QString(".ini"));
        QVERIFY(TransferQueueManager::HasExcludedDownloadExtension("setup.INI"));
    }

    void uploadTimeouts() {
        for (const char* name : {"a.bin", "b.bin", "c.bin"})
            QVERIFY(Write(P(QString("Music/") + name), QByteArray(100, 'x')));
        const ItemPtr root = shares->AddSharedFolder(P("Music"));
        root.Connect(d.GetType("shared_public")->GetGlobalNullItem());
        SetSetting("upload_slots", 2);
        RawPeer bob, carol, dave;
        QVERIFY(Connect(bob, "bob"));
        QVERIFY(Connect(carol, "carol"));
        QVERIFY(Connect(dave, "dave"));
        for (const char* u : {"bob", "carol", "dave"})
            Online(u);
        tqm->OnQueueUploadRequested("bob", Wire(P("Music/a.bin")));
        tqm->OnQueueUploadRequested("carol", Wire(P("Music/b.bin")));
        tqm->OnQueueUploadRequested("dave", Wire(P("Music/c.bin")));
        const ItemPtr a = Upload("bob", "Music/a.bin");
        const ItemPtr b = Upload("carol", "Music/b.bin");
        const ItemPtr c = Upload("dave", "Music/c.bin");
        QCOMPARE(TransferQueueManager::UploadStatus(a), QString("requesting"));
        QCOMPARE(TransferQueueManager::UploadStatus(b), QString("requesting"));
        QCOMPARE(TransferQueueManager::UploadStatus(c), QString("queued"));
        QCOMPARE(Drain(bob), QStringList{"40 " + Wire(P("Music/a.bin"))});
        QCOMPARE(Drain(carol), QStringList{"40 " + Wire(P("Music/b.bin"))});

        // 31 s in "requesting" times out, 29 s in "connecting" does not; the
        // freed slot goes to the queue on the same tick.
        tqm->SetUploadEntryStatus(b, TransferQueueManager::kConnecting);
        SetTime(a, "last_status_change_time", Ago(31));
        SetTime(b, "last_status_change_time", Ago(29));
        tqm->EveryHalfMinute();
        QCOMPARE(TransferQueueManager::UploadStatus(a), QString("aborted"));
        QCOMPARE(TransferQueueManager::UploadStatus(b), QString("connecting"));
        QCOMPARE(TransferQueueManager::UploadStatus(c), QString("requesting"));
        QCOMPARE(Drain(bob), QStringList{"46 " + Wire(P("Music/a.bin"))});
        QCOMPARE(Drain(carol), QStringList());
        QCOMPARE(Drain(dave), QStringList{"40 " + Wire(P("Music/c.bin"))});

        // Both other phases time out too; nothing is left to start, and an
        // upload already ended is not touched again.
        tqm->SetUploadEntryStatus(c, TransferQueueManager::kWaitingForOffset);
        SetTime(b, "last_status_change_time", Ago(45));
        SetTime(c, "last_status_change_time", Ago(60));
        SetTime(a, "last_status_change_time", Ago(3600));
        tqm->EveryHalfMinute();
        QCOMPARE(TransferQueueManager::UploadStatus(b), QString("aborted"));
        QCOMPARE(TransferQueueManager::UploadStatus(c), QString("aborted"));
        QCOMPARE(tqm->ActiveUploadCount(), 0);
        QCOMPARE(Drain(bob), QStringList());
        QCOMPARE(Drain(carol), QStringList{"46 " + Wire(P("Music/b.bin"))});
        QCOMPARE(Drain(dave), QStringList{"46 " + Wire(P("Music/c.bin"))});

        // An "uploading" entry is its thread's business, however old.
        tqm->OnQueueUploadRequested("bob", Wire(P("Music/a.bin")));
        QCOMPARE(TransferQueueManager::UploadStatus(a), QString("requesting"));
        tqm->SetUploadEntryStatus(a, TransferQueueManager::kUploading);
        SetTime(a, "last_status_change_time", Ago(3600));
        tqm->EveryHalfMinute();
        QCOMPARE(TransferQueueManager::UploadStatus(a), QString("uploading"));
        tqm->SetUploadEntryStatus(a, TransferQueueManager::kAborted);
    }

    void downloadRequeueAndPlaces() {
        RawPeer bob, carol, dave;
        QVERIFY(Connect(bob, "bob"));
        QVERIFY(Connect(carol, "carol"));
        QVERIFY(Connect(dave, "dave"));
        // "9" before "10": the order is numeric.
        SetSetting("transfer_order_counter", 9);
        const ItemPtr a = tqm->AddDownload("bob", "a", "F", 1, false, 0);
        const ItemPtr b = tqm->AddDownload("bob", "b", "F", 1, false, 0);
        const ItemPtr x = tqm->AddDownload("bob", "x", "F", 1, false, 0);
        tqm->SetDownloadEntryStatus(x, TransferQueueManager::kComplete);
        tqm->AddDownload("carol", "c", "F", 1, false, 0);
        tqm->AddDownload("dave", "d", "F", 1, false, 0);
        const ItemPtr running = tqm->AddDownload("dave", "r", "F", 1, false, 0);
        Online("bob");
        Online("dave");
        tqm->SetDownloadEntryStatus(running, TransferQueueManager::kDownloading);
        Drain(bob);
        Drain(dave);
        for (const char* u : {"bob", "carol", "dave"}) {
            User(u).Disconnect("last_queue_request_time");
            User(u).Disconnect("next_place_in_line_request_time");
        }

        // No queue request yet: queued again, and the re-queue puts the places
        // in line off for this tick.
        tqm->EveryHalfMinute();
        QCOMPARE(Drain(bob), (QStringList{"43 F\\a", "43 F\\b"}));
        QVERIFY(User("bob").IsConnected("last_queue_request_time"));
        // Offline, or with a running download: left alone.
        QCOMPARE(Drain(carol), QStringList());
        QCOMPARE(Drain(dave), QStringList());
        QVERIFY(!User("carol").IsConnected("last_queue_request_time"));
        QVERIFY(!User("dave").IsConnected("last_queue_request_time"));
        QVERIFY(!User("dave").IsConnected("next_place_in_line_request_time"));

        // Recent queue request, places due: asked in download order, then
        // not again for ten minutes.
        SetTime(User("bob"), "last_queue_request_time", Ago(540));
        SetTime(User("bob"), "next_place_in_line_request_time", Ago(1));
        const QDateTime before = QDateTime::currentDateTime();
        tqm->EveryHalfMinute();
        QCOMPARE(Drain(bob), (QStringList{"51 F\\a", "51 F\\b"}));
        const QDateTime next = QDateTime::fromString(
            User("bob").HasItem("next_place_in_line_request_time").AsString(), Qt::TextDate);
        QVERIFY(qAbs(before.secsTo(next) - 600) <= 2);
        tqm->EveryHalfMinute();
        QCOMPARE(Drain(bob), QStringList());

        // Ten minutes after the last queue request, queued again; a denied
        // download is neither re-queued nor asked about.
        tqm->SetDownloadEntryStatus(a, TransferQueueManager::kDenied);
        SetTime(User("bob"), "last_queue_request_time", Ago(601));
        tqm->EveryHalfMinute();
        QCOMPARE(Drain(bob), QStringList{"43 F\\b"});
        SetTime(User("bob"), "next_place_in_line_request_time", Ago(0));
        SetTime(User("bob"), "last_queue_request_time", Ago(0));
        tqm->EveryHalfMinute();
        QCOMPARE(Drain(bob), QStringList{"51 F\\b"});

        // Once the running download ends, its user is looked after again.
        tqm->SetDownloadEntryStatus(running, TransferQueueManager::kAborted);
        User("dave").Disconnect("last_queue_request_time");
        tqm->EveryHalfMinute();
        QCOMPARE(Drain(dave), (QStringList{"43 F\\d", "43 F\\r"}));
    }

    void finishUploadsAndQuit() {
        QVERIFY(Write(P("Music/a.bin"), QByteArray(100, 'x')));
        const ItemPtr root = shares->AddSharedFolder(P("Music"));
        root.Connect(d.GetType("shared_public")->GetGlobalNullItem());

        // Not asked for: no exit, however quiet.
        QCOMPARE(TickInLoop(), 7);

        // Asked for, and no upload change since start: quiet.
        SetRuntimeSetting("finish_uploads_and_quit", "yes");
        QCOMPARE(TickInLoop(), 0);

        // A queued upload keeps it running, so does an active one.
        SetRuntimeSetting("finish_uploads_and_quit", "no");
        tqm->OnQueueUploadRequested("bob", Wire(P("Music/a.bin")));
        const ItemPtr a = Upload("bob", "Music/a.bin");
        QCOMPARE(TransferQueueManager::UploadStatus(a), QString("queued"));
        SetRuntimeSetting("finish_uploads_and_quit", "yes");
        SetRuntimeSetting("last_upload_state_change", Ago(3600));
        QCOMPARE(TickInLoop(), 7);
        tqm->SetUploadEntryStatus(a, TransferQueueManager::kUploading);
        SetRuntimeSetting("last_upload_state_change", Ago(3600));
        QCOMPARE(TickInLoop(), 7);

        // Ended, but the last change is recent; then more than 300 s old.
        tqm->SetUploadEntryStatus(a, TransferQueueManager::kComplete);
        QCOMPARE(TickInLoop(), 7);
        SetRuntimeSetting("last_upload_state_change", Ago(299));
        QCOMPARE(TickInLoop(), 7);
        SetRuntimeSetting("last_upload_state_change", Ago(302));
        QCOMPARE(TickInLoop(), 0);
        // An unreadable time counts as long ago.
        SetRuntimeSetting("last_upload_state_change", "garbage");
        QCOMPARE(TickInLoop(), 0);
    }
};

QTEST_GUILESS_MAIN(TestSupervision)
#include "test_supervision.moc"
