// The download side of the negotiation against a scripted uploader over
// loopback: adding and finding downloads, the queue requests (also after a
// failure report and when the user comes online), the answers to transfer
// requests, places in line, denials, removal and the excluded endings.

#include <QHostAddress>
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
#include "transfers/TransferQueueManager.h"

namespace {

constexpr int kWait = 10000;

struct Message {
    quint32 code = 0;
    QByteArray payload;
};

QByteArray Str(const std::string& s) {
    MemStream m;
    m.Write(s);
    return m.GetWrittenBytes();
}

}  // namespace

class TestDownloads : public QObject, private TransferServices {
    Q_OBJECT

    ItemPtr User(const QString& name) { return d.GetType("user")->GetItem(name); }
    void Online(const QString& name) {
        User(name).Connect(d.GetType("is_online")->GetGlobalNullItem());
    }
    ItemPtr Entry(const QString& user, const std::string& file, const std::string& folder) {
        return tqm->GetDownloadEntry(user, file, folder);
    }
    static QString Status(const ItemPtr& entry) {
        return TransferQueueManager::DownloadStatus(entry);
    }
    static qint64 Order(const ItemPtr& entry) { return entry.HasItem("download_order").AsInt64(); }

    static Message Next(RawPeer& peer, int timeoutMs = kWait) {
        Message m;
        if (!peer.WaitForMessage(&m.code, &m.payload, timeoutMs))
            m.code = 0;
        return m;
    }

    // A message whose whole body is one path string.
    static bool IsPathMessage(const Message& m, quint32 code, const std::string& path) {
        MemStream in(m.payload);
        std::string p;
        return m.code == code && in.Read(p) && p == path && in.BytesLeft() == 0;
    }

    static void SendTransferRequest(RawPeer& peer, quint32 direction, quint32 req,
                                    const std::string& path, qint64 size) {
        peer.SendMessage(
            PeerMessenger::PM_TRANSFER_REQUEST,
            RawPeer::U32(direction) + RawPeer::U32(req) + Str(path) + RawPeer::I64(size));
    }

    // An acceptance carries no size: the uploader announced it.
    static bool IsAccept(const Message& m, quint32 req) {
        MemStream in(m.payload);
        quint32 r = 0;
        quint8 ok = 0;
        return m.code == PeerMessenger::PM_TRANSFER_RESPONSE && in.Read(r) && r == req &&
               in.Read(ok) && ok == 1 && in.BytesLeft() == 0;
    }

    static bool IsRefusal(const Message& m, quint32 req, const QString& reason) {
        MemStream in(m.payload);
        quint32 r = 0;
        quint8 ok = 1;
        QString why;
        return m.code == PeerMessenger::PM_TRANSFER_RESPONSE && in.Read(r) && r == req &&
               in.Read(ok) && ok == 0 && in.Read(why) && why == reason && in.BytesLeft() == 0;
    }

private slots:
    void init() { QVERIFY(StartTransferServices()); }

    void cleanup() {
        for (const ItemPtr& entry : d.GetType("download_entry")->GetItems())
            tqm->RemoveDownload(entry);
        StopTransferServices();
    }

    void addAndQueue() {
        RawPeer bob;
        QVERIFY(ConnectAsPeer(bob, "bob"));
        SetSetting("transfer_order_counter", 7);

        // Offline: queued, nothing sent, the place-in-line time still set.
        const QDateTime before = QDateTime::currentDateTime();
        const ItemPtr a = tqm->AddDownload("bob", "a.mp3", "Music\\Album", 1000, true, 1);
        QVERIFY(!a.IsNull());
        QCOMPARE(Status(a), QString("queued"));
        QCOMPARE(Order(a), qint64(7));
        QCOMPARE(GetSettingInt64("transfer_order_counter"), qint64(8));
        QCOMPARE(a.HasItem("file_size").AsInt64(), qint64(1000));
        QCOMPARE(a.HasItem("subfolder_save_level").AsInt(), 1);
        QVERIFY(a.IsConnected("single_download"));
        QCOMPARE(Entry("bob", "a.mp3", "Music\\Album"), a);
        QVERIFY(Entry("bob", "a.mp3", "Music").IsNull());
        QVERIFY(Entry("carol", "a.mp3", "Music\\Album").IsNull());
        const QDateTime next = QDateTime::fromString(
            User("bob").HasItem("next_place_in_line_request_time").AsString(), Qt::TextDate);
        QVERIFY(next.isValid());
        QVERIFY(qAbs(before.secsTo(next) - 10) <= 2);
        QVERIFY(SyncPeer(bob));

        // Coming online re-queues what waits.
        Online("bob");
        QVERIFY(IsPathMessage(Next(bob), PeerMessenger::PM_QUEUE_UPLOAD, "Music\\Album\\a.mp3"));
        QVERIFY(!User("bob").HasItem("last_queue_request_time").IsNull());

        // Online: the queue request goes out at once.
        const ItemPtr b = tqm->AddDownload("bob", "b.mp3", "Music\\Album", 5, false, 0);
        QVERIFY(IsPathMessage(Next(bob), PeerMessenger::PM_QUEUE_UPLOAD, "Music\\Album\\b.mp3"));
        QCOMPARE(Order(b), qint64(8));
        QVERIFY(!b.IsConnected("single_download"));
        // Two entries of one folder share its value item.
        QCOMPARE(a.HasItem("remote_folder"), b.HasItem("remote_folder"));

        // The same triple again: the same entry, whatever its status; no
        // message, no order number drawn.
        tqm->SetDownloadEntryStatus(a, TransferQueueManager::kDenied);
        QCOMPARE(tqm->AddDownload("bob", "a.mp3", "Music\\Album", 1, false, 0), a);
        QCOMPARE(Status(a), QString("denied"));
        QCOMPARE(a.HasItem("file_size").AsInt64(), qint64(1000));
        QCOMPARE(GetSettingInt64("transfer_order_counter"), qint64(9));
        QVERIFY(SyncPeer(bob));

        // A negative size is not a download.
        QVERIFY(tqm->AddDownload("bob", "n.mp3", "Music", -1, false, 0).IsNull());
        QVERIFY(Entry("bob", "n.mp3", "Music").IsNull());

        // Removal drops the entry; adding again draws a new number.
        tqm->RemoveDownload(b);
        QVERIFY(b.IsRemoved());
        QVERIFY(Entry("bob", "b.mp3", "Music\\Album").IsNull());
        const ItemPtr b2 = tqm->AddDownload("bob", "b.mp3", "Music\\Album", 5, false, 0);
        QVERIFY(b2 != b);
        QCOMPARE(Order(b2), qint64(9));
        QVERIFY(IsPathMessage(Next(bob), PeerMessenger::PM_QUEUE_UPLOAD, "Music\\Album\\b.mp3"));
    }

    void requeueing() {
        RawPeer bob;
        QVERIFY(ConnectAsPeer(bob, "bob"));
        const ItemPtr a = tqm->AddDownload("bob", "a", "F", 1, false, 0);
        const ItemPtr b = tqm->AddDownload("bob", "b", "F", 1, false, 0);
        const ItemPtr c = tqm->AddDownload("bob", "c", "F", 1, false, 0);
        const ItemPtr e = tqm->AddDownload("bob", "e", "F", 1, false, 0);
        tqm->SetDownloadEntryStatus(b, TransferQueueManager::kComplete);
        tqm->SetDownloadEntryStatus(c, TransferQueueManager::kDenied);
        tqm->SetDownloadEntryStatus(e, TransferQueueManager::kAborted);

        // Ascending order, "complete" and "denied" passed over.
        tqm->RequeueUserDownloads(User("bob"));
        QVERIFY(IsPathMessage(Next(bob), PeerMessenger::PM_QUEUE_UPLOAD, "F\\a"));
        QVERIFY(IsPathMessage(Next(bob), PeerMessenger::PM_QUEUE_UPLOAD, "F\\e"));
        QVERIFY(SyncPeer(bob));
        QCOMPARE(Status(e), QString("queued"));
        QCOMPARE(Status(b), QString("complete"));
        QCOMPARE(Status(c), QString("denied"));

        // Every entry skipped: both user times are still set.
        tqm->SetDownloadEntryStatus(a, TransferQueueManager::kDenied);
        tqm->SetDownloadEntryStatus(e, TransferQueueManager::kComplete);
        User("bob").Disconnect("last_queue_request_time");
        User("bob").Disconnect("next_place_in_line_request_time");
        tqm->RequeueUserDownloads(User("bob"));
        QVERIFY(User("bob").IsConnected("last_queue_request_time"));
        QVERIFY(User("bob").IsConnected("next_place_in_line_request_time"));
        QVERIFY(SyncPeer(bob));

        // A user without downloads: nothing set.
        tqm->RequeueUserDownloads(User("nobody"));
        QVERIFY(!User("nobody").IsConnected("last_queue_request_time"));

        // The retry queues a denied download again; a complete or running
        // one is left alone.
        tqm->RequeueDownload(c);
        QVERIFY(IsPathMessage(Next(bob), PeerMessenger::PM_QUEUE_UPLOAD, "F\\c"));
        QCOMPARE(Status(c), QString("queued"));
        tqm->RequeueDownload(b);
        tqm->SetDownloadEntryStatus(a, TransferQueueManager::kDownloading);
        tqm->RequeueDownload(a);
        QCOMPARE(Status(a), QString("downloading"));
        QVERIFY(SyncPeer(bob));

        // Place-in-line request: code 51 and the remote path.
        tqm->RequestDownloadPlaceInLine(c);
        QVERIFY(IsPathMessage(Next(bob), PeerMessenger::PM_UPLOAD_PLACE_IN_LINE_REQUEST, "F\\c"));
    }

    void peerReports() {
        RawPeer bob;
        QVERIFY(ConnectAsPeer(bob, "bob"));
        Online("bob");
        const ItemPtr a = tqm->AddDownload("bob", "a.mp3", "Music\\Album", 10, false, 0);
        QVERIFY(IsPathMessage(Next(bob), PeerMessenger::PM_QUEUE_UPLOAD, "Music\\Album\\a.mp3"));

        // PM 44: the place is stored and replaced; unknown paths are ignored
        // and leave no items behind.
        bob.SendMessage(PeerMessenger::PM_UPLOAD_PLACE_IN_LINE,
                        Str("Music\\Album\\a.mp3") + RawPeer::U32(12));
        bob.SendMessage(PeerMessenger::PM_UPLOAD_PLACE_IN_LINE,
                        Str("Music\\Album\\x.mp3") + RawPeer::U32(3));
        QVERIFY(SyncPeer(bob));
        QCOMPARE(a.HasItem("place_in_line").AsInt(), 12);
        QVERIFY(d.GetType("file_name")->HasItem(std::string("x.mp3")).IsNull());
        bob.SendMessage(PeerMessenger::PM_UPLOAD_PLACE_IN_LINE,
                        Str("Music\\Album\\a.mp3") + RawPeer::U32(4));
        QVERIFY(SyncPeer(bob));
        QCOMPARE(a.HasItem("place_in_line").AsInt(), 4);

        // PM 46 for a queued download of an online user: queued again, status kept.
        bob.SendMessage(PeerMessenger::PM_UPLOAD_FAILED, Str("Music\\Album\\a.mp3"));
        QVERIFY(IsPathMessage(Next(bob), PeerMessenger::PM_QUEUE_UPLOAD, "Music\\Album\\a.mp3"));
        QCOMPARE(Status(a), QString("queued"));

        // ... but never for a finished or locally failed download, nor
        // while the user is offline.
        tqm->SetDownloadEntryStatus(a, TransferQueueManager::kComplete);
        bob.SendMessage(PeerMessenger::PM_UPLOAD_FAILED, Str("Music\\Album\\a.mp3"));
        QVERIFY(SyncPeer(bob));
        QCOMPARE(Status(a), QString("complete"));
        tqm->SetDownloadEntryStatus(a, TransferQueueManager::kLocalError);
        bob.SendMessage(PeerMessenger::PM_UPLOAD_FAILED, Str("Music\\Album\\a.mp3"));
        QVERIFY(SyncPeer(bob));
        tqm->SetDownloadEntryStatus(a, TransferQueueManager::kAborted);
        User("bob").Disconnect("is_online");
        bob.SendMessage(PeerMessenger::PM_UPLOAD_FAILED, Str("Music\\Album\\a.mp3"));
        QVERIFY(SyncPeer(bob));
        QCOMPARE(Status(a), QString("aborted"));
        QVERIFY(User("bob").IsConnected("last_queue_request_time"));

        // PM 50: denied with the reason, whichever it is; the latest counts.
        bob.SendMessage(PeerMessenger::PM_UPLOAD_DENIED,
                        Str("Music\\Album\\a.mp3") + Str("File not shared."));
        QVERIFY(SyncPeer(bob));
        QCOMPARE(Status(a), QString("denied"));
        QCOMPARE(a.HasItem("denial_reason").AsString(), QString("File not shared."));
        bob.SendMessage(PeerMessenger::PM_UPLOAD_DENIED,
                        Str("Music\\Album\\a.mp3") + Str("Too many files"));
        bob.SendMessage(PeerMessenger::PM_UPLOAD_DENIED, Str("nowhere") + Str("x"));
        QVERIFY(SyncPeer(bob));
        QCOMPARE(a.HasItem("denial_reason").AsString(), QString("Too many files"));

        // A denied download is not asked for again when the user returns.
        Online("bob");
        QVERIFY(SyncPeer(bob));
        QCOMPARE(Status(a), QString("denied"));
    }

    void transferRequests() {
        RawPeer bob;
        QVERIFY(ConnectAsPeer(bob, "bob"));
        const ItemPtr a = tqm->AddDownload("bob", "a.mp3", "Music\\Album", 1000, false, 0);
        const ItemPtr b = tqm->AddDownload("bob", "b.mp3", "Music\\Album", 2000, false, 0);

        // Accepted; the request number is kept.
        SendTransferRequest(bob, 1, 7, "Music\\Album\\a.mp3", 1000);
        QVERIFY(IsAccept(Next(bob), 7));
        QCOMPARE(a.HasItem("remote_transfer_req").AsUInt(), 7u);
        QCOMPARE(Status(a), QString("queued"));

        // The same number for another download moves to it.
        SendTransferRequest(bob, 1, 7, "Music\\Album\\b.mp3", 2000);
        QVERIFY(IsAccept(Next(bob), 7));
        QCOMPARE(b.HasItem("remote_transfer_req").AsUInt(), 7u);
        QVERIFY(a.HasItem("remote_transfer_req").IsNull());

        // The uploader's size replaces a stale recorded one.
        SendTransferRequest(bob, 1, 8, "Music\\Album\\a.mp3", 1500);
        QVERIFY(IsAccept(Next(bob), 8));
        QCOMPARE(a.HasItem("file_size").AsInt64(), qint64(1500));

        // A running download is aborted, then accepted.
        tqm->SetDownloadEntryStatus(a, TransferQueueManager::kDownloading);
        SendTransferRequest(bob, 1, 9, "Music\\Album\\a.mp3", 1500);
        QVERIFY(IsAccept(Next(bob), 9));
        QCOMPARE(Status(a), QString("aborted"));
        QCOMPARE(a.HasItem("remote_transfer_req").AsUInt(), 9u);

        // A finished download is refused.
        tqm->SetDownloadEntryStatus(b, TransferQueueManager::kComplete);
        SendTransferRequest(bob, 1, 10, "Music\\Album\\b.mp3", 2000);
        QVERIFY(IsRefusal(Next(bob), 10, "Complete"));

        // Unknown files: refused unless the user may push to us, and no
        // entry or value items are made.
        const qint64 counter = GetSettingInt64("transfer_order_counter");
        SendTransferRequest(bob, 1, 11, "Other\\x.mp3", 10);
        QVERIFY(IsRefusal(Next(bob), 11, "Cancelled"));
        QVERIFY(Entry("bob", "x.mp3", "Other").IsNull());
        QVERIFY(d.GetType("remote_folder")->HasItem(std::string("Other")).IsNull());
        QCOMPARE(GetSettingInt64("transfer_order_counter"), counter);

        const ItemPtr listed = d.GetType("in_user_list")->NewItem();
        User("bob").Connect(listed);
        SetSetting("accept_userlist_uploads", "yes");
        SendTransferRequest(bob, 1, 12, "Other\\x.mp3", 10);
        QVERIFY(IsAccept(Next(bob), 12));
        const ItemPtr pushed = Entry("bob", "x.mp3", "Other");
        QVERIFY(!pushed.IsNull());
        QCOMPARE(Status(pushed), QString("queued"));
        QCOMPARE(pushed.HasItem("file_size").AsInt64(), qint64(10));
        QCOMPARE(Order(pushed), counter);
        QCOMPARE(GetSettingInt64("transfer_order_counter"), counter + 1);
        QVERIFY(!pushed.IsConnected("single_download"));

        // A request for one of our files: "Queued", then handled as a queue
        // request (refused here, nothing is shared).
        SendTransferRequest(bob, 0, 13, "Mine\\y.mp3", 5);
        QVERIFY(IsRefusal(Next(bob), 13, "Queued"));
        const Message denied = Next(bob);
        QCOMPARE(denied.code, quint32(PeerMessenger::PM_UPLOAD_DENIED));

        // A push (PM 60) from an accepted user becomes a download and is
        // queued at once when the user is online.
        // (Coming online first re-queues the unfinished ones, in order.)
        Online("bob");
        QVERIFY(IsPathMessage(Next(bob), PeerMessenger::PM_QUEUE_UPLOAD, "Music\\Album\\a.mp3"));
        QVERIFY(IsPathMessage(Next(bob), PeerMessenger::PM_QUEUE_UPLOAD, "Other\\x.mp3"));
        QVERIFY(SyncPeer(bob));
        bob.SendMessage(PeerMessenger::PM_QUEUE_DOWNLOAD_REQUEST,
                        Str("Push\\p.mp3") + RawPeer::I64(77));
        QVERIFY(IsPathMessage(Next(bob), PeerMessenger::PM_QUEUE_UPLOAD, "Push\\p.mp3"));
        QCOMPARE(Entry("bob", "p.mp3", "Push").HasItem("file_size").AsInt64(), qint64(77));
    }

    void excludedEndingsAndEmptyShares() {
        QVERIFY(!TransferQueueManager::HasExcludedDownloadExtension("desktop.ini"));
        d.GetType("excluded_download_extension")->GetItem(Value(".ini"));
        QVERIFY(TransferQueueManager::HasExcludedDownloadExtension("DESKTOP.INI"));
        QVERIFY(TransferQueueManager::HasExcludedDownloadExtension("a.ini"));
        QVERIFY(!TransferQueueManager::HasExcludedDownloadExtension("a.ini.mp3"));
        QVERIFY(!TransferQueueManager::HasExcludedDownloadExtension("ini"));

        FileInfoMap empty;
        FileInfoMap oneFolder;
        oneFolder["Music"];
        AttributeTranslationTable table;
        SetSetting("check_for_empty_shares", "yes");
        const auto status = [this](const QString& u) {
            return User(u).HasItem("empty_share_check_status").AsString();
        };

        // Not asked: nothing changes.
        tqm->OnUserShare("u", empty, table);
        QVERIFY(status("u").isEmpty());

        for (const char* u : {"full", "empty", "listed", "quiet"})
            User(u).Connect(d.GetType("empty_share_check_status")->GetItem(Value("requested")));
        tqm->OnUserShare("full", oneFolder, table);
        QCOMPARE(status("full"), QString("not_empty"));
        tqm->OnUserShare("empty", empty, table);
        QCOMPARE(status("empty"), QString("empty"));
        QCOMPARE(User("empty").HasItem("sent_empty_share_warning_message").AsString(),
                 GetSetting("empty_share_message"));
        // The first answer decides.
        tqm->OnUserShare("empty", oneFolder, table);
        QCOMPARE(status("empty"), QString("empty"));

        User("listed").Connect(d.GetType("in_user_list")->NewItem());
        tqm->OnUserShare("listed", empty, table);
        QCOMPARE(status("listed"), QString("empty"));
        QVERIFY(!User("listed").IsConnected("sent_empty_share_warning_message"));
        SetSetting("empty_share_message", "");
        tqm->OnUserShare("quiet", empty, table);
        QCOMPARE(status("quiet"), QString("empty"));
        QVERIFY(!User("quiet").IsConnected("sent_empty_share_warning_message"));
    }
};

QTEST_GUILESS_MAIN(TestDownloads)
#include "test_downloads.moc"
