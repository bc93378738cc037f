// The upload side: admission and its refusals, the serving order, the slots,
// the answer to our transfer request, a share revoked after queueing, and a
// whole upload to a scripted downloader over loopback.

#include <QDir>
#include <QFile>
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
#include "support/TestFiles.h"
#include "support/TransferServices.h"
#include "transfers/TransferQueueManager.h"

namespace {

constexpr int kWait = 10000;

QByteArray Pattern(int n) {
    QByteArray b(n, '\0');
    for (int k = 0; k < n; ++k)
        b[k] = char((k * 7 + k / 251) & 0xFF);
    return b;
}

struct Message {
    quint32 code = 0;
    QByteArray payload;
};

}  // namespace

class TestUploads : public QObject, private TransferServices {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> tmp;
    ItemPtr musicRoot;

    QString P(const QString& relative) const { return tmp->path() + "/" + relative; }
    QString W(const QString& relative) const { return Wire(P(relative)); }

    ItemPtr User(const QString& name) { return d.GetType("user")->GetItem(name); }
    void Online(const QString& name) {
        User(name).Connect(d.GetType("is_online")->GetGlobalNullItem());
    }
    ItemPtr Entry(const QString& user, const QString& relative) {
        return d.GetItem(User(user), shares->GetSharedFileItem(P(relative)), "upload_entry");
    }
    QString Status(const QString& user, const QString& relative) {
        return TransferQueueManager::UploadStatus(Entry(user, relative));
    }
    qint64 Place(const QString& user, const QString& relative) {
        const ItemPtr n = Entry(user, relative).HasItem("effective_upload_order");
        return n.IsNull() ? -1 : n.AsInt64();
    }
    uint Req(const QString& user, const QString& relative) {
        return Entry(user, relative).HasItem("transfer_req").AsUInt();
    }

    // A messaging connection from `user` into the messenger, proven by a
    // share-list round trip, so that messages to the user take it.

    // An online peer connected to us that also listens at the address we
    // have recorded for it, so that our file connections reach it.
    bool ConnectReachable(RawPeer& peer, const QString& user) {
        if (!ConnectAsPeer(peer, user) || !peer.Listen())
            return false;
        const ItemPtr u = User(user);
        u.Connect(d.GetType("user_address")->GetItem(Value(quint32(0x7F000001))));
        u.Connect(d.GetType("user_port")->GetItem(Value(peer.Port())));
        Online(user);
        return true;
    }

    // The downloader's side once our request is accepted: it takes the "F"
    // connection, checks the token and asks for the file from `offset`.
    static bool TakeFileConnection(RawPeer& peer, uint req, qint64 offset) {
        QString kind;
        if (!peer.WaitForIncoming(kWait) || !peer.ReadSetUp(nullptr, &kind, kWait) || kind != "F" ||
            peer.ReadRaw(4, kWait) != RawPeer::U32(req))
            return false;
        peer.SendRaw(RawPeer::I64(offset));
        return true;
    }

    static Message Next(RawPeer& peer, int timeoutMs = kWait) {
        Message m;
        if (!peer.WaitForMessage(&m.code, &m.payload, timeoutMs))
            m.code = 0;
        return m;
    }

    // PM 50 as [str file][str reason].
    static bool IsDenial(const Message& m, const QString& file, const QString& reason) {
        MemStream in(m.payload);
        QString f, r;
        return m.code == PeerMessenger::PM_UPLOAD_DENIED && in.Read(f) && in.Read(r) && f == file &&
               r == reason && in.BytesLeft() == 0;
    }

    // PM 40 as [u32 direction][u32 req][str file][i64 size].
    static bool IsRequest(const Message& m, const QString& file, qint64 size, uint* req) {
        MemStream in(m.payload);
        quint32 direction = 0, r = 0;
        QString f;
        qint64 s = -1;
        if (m.code != PeerMessenger::PM_TRANSFER_REQUEST || !in.Read(direction) || !in.Read(r) ||
            !in.Read(f) || !in.Read(s))
            return false;
        if (req)
            *req = r;
        return direction == 1 && f == file && s == size;
    }

    void SetGroup(const QString& user, int priority) {
        const ItemPtr entry = d.GetType("in_user_list")->NewItem();
        User(user).Connect(entry);
        const ItemPtr group = d.GetType("user_list_group")->GetItem("group of " + user);
        group.Connect(d.GetType("group_download_priority")->GetItem(Value(priority)));
        entry.Connect(group);
    }

private slots:
    void init() {
        QVERIFY(StartTransferServices());

        tmp.reset(new QTemporaryDir);
        QVERIFY(tmp->isValid());
        for (const char* name : {"a.bin", "b.bin", "c.bin", "d.bin"})
            QVERIFY(Write(P(QString("Music/") + name), Pattern(1000)));
        QVERIFY(Write(P("Music/big.bin"), Pattern(100000)));
        QVERIFY(Write(P("Private/secret.bin"), "s"));
        musicRoot = shares->AddSharedFolder(P("Music"));
        musicRoot.Connect(d.GetType("shared_public")->GetGlobalNullItem());
        QVERIFY(!shares->AddSharedFolder(P("Private")).IsNull());
        QVERIFY(!shares->GetSharedFileItem(P("Music/a.bin")).IsNull());
    }

    void cleanup() {
        // Ended entries keep their heap counters until they are removed;
        // removing them is what frees those.
        for (const ItemPtr& entry : d.GetType("upload_entry")->GetItems())
            tqm->RemoveUpload(entry);
        StopTransferServices();
        tmp.reset();
    }

    void admission() {
        RawPeer bob;
        QVERIFY(ConnectAsPeer(bob, "bob"));  // bob stays offline: nothing is started
        SetSetting("max_queued_uploads_per_user", 2);

        tqm->OnQueueUploadRequested("bob", W("Music/nothere.bin"));
        QVERIFY(IsDenial(Next(bob), W("Music/nothere.bin"), "File not shared."));
        tqm->OnQueueUploadRequested("bob", W("Private/secret.bin"));
        QVERIFY(IsDenial(Next(bob), W("Private/secret.bin"), "File not shared."));
        tqm->OnQueueUploadRequested("bob", "");
        QVERIFY(IsDenial(Next(bob), "", "File not shared."));

        // Backslashes find the file; the entry keeps the peer's spelling.
        tqm->OnQueueUploadRequested("bob", W("Music/a.bin"));
        QCOMPARE(Status("bob", "Music/a.bin"), QString("queued"));
        QCOMPARE(Place("bob", "Music/a.bin"), qint64(1));
        QCOMPARE(Entry("bob", "Music/a.bin").HasItem("filename_as_requested").AsString(),
                 W("Music/a.bin"));
        QCOMPARE(tqm->QueuedUploadCount(), 1);

        // Place in line: only the exact name is answered.
        tqm->OnUploadPlaceInLineRequested("bob", P("Music/a.bin"));
        tqm->OnUploadPlaceInLineRequested("bob", W("Music/b.bin"));
        tqm->OnUploadPlaceInLineRequested("bob", W("Music/a.bin"));
        Message m = Next(bob);
        QCOMPARE(m.code, quint32(PeerMessenger::PM_UPLOAD_PLACE_IN_LINE));
        {
            MemStream in(m.payload);
            QString f;
            quint32 place = 0;
            QVERIFY(in.Read(f) && in.Read(place));
            QCOMPARE(f, W("Music/a.bin"));
            QCOMPARE(place, 1u);
        }

        // A repeat is silent; the per-user limit counts queued entries only.
        tqm->OnQueueUploadRequested("bob", W("Music/a.bin"));
        tqm->OnQueueUploadRequested("bob", W("Music/b.bin"));
        tqm->OnQueueUploadRequested("bob", W("Music/c.bin"));
        QVERIFY(IsDenial(Next(bob), W("Music/c.bin"), "Too many files"));
        QCOMPARE(tqm->QueuedUploadCount(), 2);
        QVERIFY(Entry("bob", "Music/c.bin").IsNull());
        tqm->SetUploadEntryStatus(Entry("bob", "Music/b.bin"), TransferQueueManager::kUploading);
        tqm->OnQueueUploadRequested("bob", W("Music/c.bin"));
        QCOMPARE(Status("bob", "Music/c.bin"), QString("queued"));
        // ... and a request for a running upload changes nothing.
        tqm->OnQueueUploadRequested("bob", W("Music/b.bin"));
        QCOMPARE(Status("bob", "Music/b.bin"), QString("uploading"));

        // An ended upload is queued again as the same entry, whatever the limit.
        const ItemPtr a = Entry("bob", "Music/a.bin");
        tqm->SetUploadEntryStatus(a, TransferQueueManager::kComplete);
        tqm->OnQueueUploadRequested("bob", W("Music/a.bin"));
        QCOMPARE(Entry("bob", "Music/a.bin"), a);
        QCOMPARE(Status("bob", "Music/a.bin"), QString("queued"));
        QCOMPARE(Place("bob", "Music/a.bin"), qint64(1));

        SetRuntimeSetting("finish_uploads_and_quit", "yes");
        tqm->OnQueueUploadRequested("bob", W("Music/d.bin"));
        QVERIFY(IsDenial(Next(bob), W("Music/d.bin"), "Pending shutdown."));
        QVERIFY(Entry("bob", "Music/d.bin").IsNull());
        QCOMPARE(d.GetType("upload_entry")->ItemCount(), 3);
    }

    // Serving order after arrivals, as (user, file) in order; numbers from 1.
    void servingOrder_data() {
        QTest::addColumn<QStringList>("setup");     // "user:priority", "user:priv"
        QTest::addColumn<QStringList>("arrivals");  // "user/file"
        QTest::addColumn<QStringList>("order");
        QTest::newRow("first entry") << QStringList() << QStringList{"u/a"} << QStringList{"u/a"};
        QTest::newRow("priority 5 before 3")
            << QStringList{"low:3", "high:5"} << QStringList{"low/a", "low/b", "high/a", "high/b"}
            << QStringList{"high/a", "high/b", "low/a", "low/b"};
        QTest::newRow("no group and -2 count as 0")
            << QStringList{"neg:-2", "pos:1"} << QStringList{"none/a", "neg/a", "pos/a", "none/b"}
            << QStringList{"pos/a", "none/a", "neg/a", "none/b"};
        QTest::newRow("privileged first on equal priority")
            << QStringList{"vip:priv"} << QStringList{"p/a", "p/b", "vip/a", "p/c", "vip/b"}
            << QStringList{"vip/a", "vip/b", "p/a", "p/b", "p/c"};
        QTest::newRow("priority beats privileges")
            << QStringList{"vip:priv", "grp:1"} << QStringList{"vip/a", "grp/a"}
            << QStringList{"grp/a", "vip/a"};
        QTest::newRow("one user: arrival only")
            << QStringList{"u:4"} << QStringList{"u/c", "u/a", "u/b"}
            << QStringList{"u/c", "u/a", "u/b"};
    }

    void servingOrder() {
        QFETCH(QStringList, setup);
        QFETCH(QStringList, arrivals);
        QFETCH(QStringList, order);
        for (const QString& s : setup) {
            const QStringList parts = s.split(':');
            if (parts[1] == "priv")
                User(parts[0]).Connect(d.GetType("is_privileged")->GetGlobalNullItem());
            else
                SetGroup(parts[0], parts[1].toInt());
        }
        for (const QString& a : arrivals) {
            const QStringList parts = a.split('/');
            tqm->OnQueueUploadRequested(parts[0], W("Music/" + parts[1] + ".bin"));
        }
        QStringList got;
        for (int n = 1; n <= order.size(); ++n)
            for (const QString& a : arrivals) {
                const QStringList parts = a.split('/');
                if (Place(parts[0], "Music/" + parts[1] + ".bin") == n)
                    got << a;
            }
        QCOMPARE(got, order);
    }

    void uploadSlots() {
        RawPeer bob;
        QVERIFY(ConnectAsPeer(bob, "bob"));
        SetSetting("upload_slots", 2);
        for (const char* f : {"a", "b", "c"})
            tqm->OnQueueUploadRequested("bob", W(QString("Music/%1.bin").arg(f)));
        Online("bob");
        // One active upload per user, whatever the free slots.
        uint req = 0;
        QVERIFY(IsRequest(Next(bob), W("Music/a.bin"), 1000, &req));
        QCOMPARE(Req("bob", "Music/a.bin"), req);
        QCOMPARE(Status("bob", "Music/a.bin"), QString("requesting"));
        QCOMPARE(Status("bob", "Music/b.bin"), QString("queued"));
        QCOMPARE(Place("bob", "Music/b.bin"), qint64(1));
        QCOMPARE(Place("bob", "Music/c.bin"), qint64(2));
        QVERIFY(tqm->IsFreeToUpload());

        // An offline user's entry keeps its number and waits.
        tqm->OnQueueUploadRequested("carol", W("Music/a.bin"));
        tqm->OnQueueUploadRequested("dave", W("Music/a.bin"));
        QCOMPARE(Status("carol", "Music/a.bin"), QString("queued"));
        const qint64 carolPlace = Place("carol", "Music/a.bin");
        QCOMPARE(carolPlace, qint64(3));
        Online("dave");
        QCOMPARE(Status("dave", "Music/a.bin"), QString("requesting"));
        QVERIFY(!tqm->IsFreeToUpload());
        QCOMPARE(Place("carol", "Music/a.bin"), carolPlace);

        // Out-of-range slot counts change nothing; more slots start at once.
        tqm->SetUploadSlots(0);
        tqm->SetUploadSlots(100);
        QCOMPARE(GetSettingInt("upload_slots"), 2);
        Online("carol");
        QCOMPARE(Status("carol", "Music/a.bin"), QString("queued"));
        tqm->SetUploadSlots(3);
        QCOMPARE(Status("carol", "Music/a.bin"), QString("requesting"));
        QCOMPARE(tqm->ActiveUploadCount(), 3);

        // Fewer slots stop nothing; an ended upload frees its slot at once
        // for the next of the same user.
        tqm->SetUploadSlots(1);
        QCOMPARE(tqm->ActiveUploadCount(), 3);
        tqm->OnFileTransferResponse("dave", Req("dave", "Music/a.bin"), false, false, 0, "x");
        tqm->OnFileTransferResponse("carol", Req("carol", "Music/a.bin"), false, false, 0, "x");
        QCOMPARE(Status("bob", "Music/b.bin"), QString("queued"));
        tqm->OnFileTransferResponse("bob", req, false, false, 0, "Cancelled");
        QCOMPARE(Status("bob", "Music/a.bin"), QString("denied"));
        QCOMPARE(Entry("bob", "Music/a.bin").HasItem("denial_reason").AsString(),
                 QString("Cancelled"));
        QCOMPARE(Status("bob", "Music/b.bin"), QString("requesting"));
        QVERIFY(IsRequest(Next(bob), W("Music/b.bin"), 1000, nullptr));
    }

    // The answer to our transfer request acts only on a pending request.
    void negotiation() {
        RawPeer bob;
        QVERIFY(ConnectReachable(bob, "bob"));
        tqm->OnQueueUploadRequested("bob", W("Music/a.bin"));
        uint req = 0;
        QVERIFY(IsRequest(Next(bob), W("Music/a.bin"), 1000, &req));

        // Unknown number, another user: ignored.
        tqm->OnFileTransferResponse("bob", req + 1000, false, false, 0, "Cancelled");
        tqm->OnFileTransferResponse("mallory", req, false, false, 0, "Cancelled");
        QCOMPARE(Status("bob", "Music/a.bin"), QString("requesting"));

        // Accepted: the file is opened and a file connection comes.
        tqm->OnFileTransferResponse("bob", req, true, true, 5, QString());
        QCOMPARE(Status("bob", "Music/a.bin"), QString("connecting"));
        QVERIFY(!Entry("bob", "Music/a.bin").HasItem("upload_file").IsNull());
        // A late refusal and a second acceptance change nothing.
        tqm->OnFileTransferResponse("bob", req, false, false, 0, "Cancelled");
        tqm->OnFileTransferResponse("bob", req, true, false, 0, QString());
        QCOMPARE(Status("bob", "Music/a.bin"), QString("connecting"));

        QVERIFY(bob.WaitForIncoming(kWait));
        QString user, kind;
        QVERIFY(bob.ReadSetUp(&user, &kind, kWait));
        QCOMPARE(kind, QString("F"));
        QCOMPARE(bob.ReadRaw(4, kWait), RawPeer::U32(req));
        QCOMPARE(Status("bob", "Music/a.bin"), QString("uploading"));
        // A refusal for the running upload neither stops it nor blocks.
        tqm->OnFileTransferResponse("bob", req, false, false, 0, "Cancelled");
        QCOMPARE(Status("bob", "Music/a.bin"), QString("uploading"));

        // The downloader holds 100 bytes; the rest arrives, then it closes.
        bob.SendRaw(RawPeer::I64(100));
        const QByteArray rest = bob.ReadRaw(900, kWait);
        QCOMPARE(rest, Pattern(1000).mid(100));
        bob.Close();
        QVERIFY(
            RawPeer::WaitUntil([&] { return Status("bob", "Music/a.bin") == "complete"; }, kWait));
        const ItemPtr entry = Entry("bob", "Music/a.bin");
        QVERIFY(entry.HasItem("upload_thread").IsNull());
        QVERIFY(entry.HasItem("read_position").IsNull());

        // The file vanished before the answer: local error and "File read error.".
        bob.Select(0);
        tqm->OnQueueUploadRequested("bob", W("Music/b.bin"));
        QVERIFY(IsRequest(Next(bob), W("Music/b.bin"), 1000, &req));
        QVERIFY(QFile::remove(P("Music/b.bin")));
        tqm->OnFileTransferResponse("bob", req, true, false, 0, QString());
        QCOMPARE(Status("bob", "Music/b.bin"), QString("local error"));
        QVERIFY(IsDenial(Next(bob), W("Music/b.bin"), "File read error."));

        // A file whose size changed since indexing is not sent with another length.
        tqm->OnQueueUploadRequested("bob", W("Music/c.bin"));
        QVERIFY(IsRequest(Next(bob), W("Music/c.bin"), 1000, &req));
        QVERIFY(Write(P("Music/c.bin"), Pattern(1500)));
        tqm->OnFileTransferResponse("bob", req, true, false, 0, QString());
        QCOMPARE(Status("bob", "Music/c.bin"), QString("local error"));
        QVERIFY(IsDenial(Next(bob), W("Music/c.bin"), "File read error."));

        // A connection with nothing "connecting" is dropped.
        auto* stray = new QTcpSocket;
        QPointer<QTcpSocket> guard(stray);
        tqm->OnFileConnectionAccepted("bob", stray);
        QVERIFY(RawPeer::WaitUntil([&] { return guard.isNull(); }, kWait));
    }

    // A whole upload of a larger file to a downloader starting from 0.
    void loopbackUpload() {
        RawPeer bob;
        QVERIFY(ConnectReachable(bob, "bob"));
        QSignalSpy progressed(tqm.get(), &TransferQueueManager::UploadProgressed);
        tqm->OnQueueUploadRequested("bob", W("Music/big.bin"));
        uint req = 0;
        QVERIFY(IsRequest(Next(bob), W("Music/big.bin"), 100000, &req));
        tqm->OnFileTransferResponse("bob", req, true, false, 0, QString());
        QVERIFY(TakeFileConnection(bob, req, 0));
        QCOMPARE(bob.ReadRaw(100000, kWait), Pattern(100000));
        bob.Close();
        QVERIFY(RawPeer::WaitUntil([&] { return Status("bob", "Music/big.bin") == "complete"; },
                                   kWait));
        QVERIFY(progressed.count() >= 1);

        // Offering the finished file again queues it anew: the offer (PM 60),
        // then our transfer request. A start offset past the end makes the
        // thread fail, and the failure ends the entry as "aborted".
        bob.Select(0);
        tqm->AddUpload("bob", W("Music/big.bin"));
        const Message offer = Next(bob);
        QCOMPARE(offer.code, quint32(PeerMessenger::PM_QUEUE_DOWNLOAD_REQUEST));
        {
            MemStream in(offer.payload);
            QString file;
            qint64 size = -1;
            QVERIFY(in.Read(file) && in.Read(size));
            QCOMPARE(file, W("Music/big.bin"));
            QCOMPARE(size, qint64(100000));
        }
        QVERIFY(IsRequest(Next(bob), W("Music/big.bin"), 100000, &req));
        tqm->OnFileTransferResponse("bob", req, true, false, 0, QString());
        QVERIFY(TakeFileConnection(bob, req, 200000));
        QVERIFY(
            RawPeer::WaitUntil([&] { return Status("bob", "Music/big.bin") == "aborted"; }, kWait));
        QVERIFY(Entry("bob", "Music/big.bin").HasItem("upload_thread").IsNull());
        QCOMPARE(tqm->ActiveUploadCount(), 0);

        bob.Select(0);
        const Message failed = Next(bob);
        QCOMPARE(failed.code, quint32(PeerMessenger::PM_UPLOAD_FAILED));
        {
            MemStream in(failed.payload);
            QString file;
            QVERIFY(in.Read(file));
            QCOMPARE(file, W("Music/big.bin"));
        }

        // A file the user may not see is not offered at all.
        tqm->AddUpload("bob", W("Private/secret.bin"));
        QCOMPARE(Next(bob, 300).code, quint32(0));
        QCOMPARE(User("bob").GetItems("upload_entry").Size(), 1);
    }

    // Visibility is judged again before our transfer request goes out.
    void revokedAfterQueueing() {
        RawPeer bob;
        QVERIFY(ConnectAsPeer(bob, "bob"));
        tqm->OnQueueUploadRequested("bob", W("Music/a.bin"));
        tqm->OnQueueUploadRequested("bob", W("Music/b.bin"));
        QCOMPARE(tqm->QueuedUploadCount(), 2);
        musicRoot.Disconnect("shared_public");
        Online("bob");
        QVERIFY(IsDenial(Next(bob), W("Music/a.bin"), "File not shared."));
        QVERIFY(IsDenial(Next(bob), W("Music/b.bin"), "File not shared."));
        QCOMPARE(d.GetType("upload_entry")->ItemCount(), 0);
        QCOMPARE(tqm->ActiveUploadCount(), 0);

        // UnshareUser refuses and removes every entry, running or not, and
        // the slot goes to the next user.
        musicRoot.Connect(d.GetType("shared_public")->GetGlobalNullItem());
        tqm->OnQueueUploadRequested("bob", W("Music/a.bin"));
        uint req = 0;
        QVERIFY(IsRequest(Next(bob), W("Music/a.bin"), 1000, &req));
        tqm->OnQueueUploadRequested("bob", W("Music/b.bin"));
        tqm->OnQueueUploadRequested("carol", W("Music/c.bin"));
        Online("carol");
        QCOMPARE(Status("carol", "Music/c.bin"), QString("queued"));
        tqm->UnshareUser("bob");
        QVERIFY(User("bob").IsConnected("unshared"));
        QVERIFY(IsDenial(Next(bob), W("Music/a.bin"), "File not shared."));
        QVERIFY(IsDenial(Next(bob), W("Music/b.bin"), "File not shared."));
        QCOMPARE(User("bob").CountItems("upload_entry"), 0);
        QCOMPARE(Status("carol", "Music/c.bin"), QString("requesting"));
        tqm->OnQueueUploadRequested("bob", W("Music/a.bin"));
        QVERIFY(IsDenial(Next(bob), W("Music/a.bin"), "File not shared."));
        tqm->ReshareUser("bob");
        QVERIFY(!User("bob").IsConnected("unshared"));
    }
};

QTEST_GUILESS_MAIN(TestUploads)
#include "test_uploads.moc"
