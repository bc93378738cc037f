// The transfer queue against a scripted peer ("bob") over loopback: the
// upload side, then the download side, each with its half-minute tick.
#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QLocalServer>
#include <QPointer>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "net/PeerPayloads.h"
#include "store/Log.h"
#include "support/FifoWatch.h"
#include "support/Fuzz.h"
#include "support/LocklessDisk.h"
#include "support/LogLines.h"
#include "support/Payload.h"
#include "support/SharesIndexed.h"
#include "support/TestFiles.h"
#include "support/TransferServices.h"
#include "transfers/PartialJournal.h"
#include "transfers/RateLimiter.h"
#include "transfers/TransferThreads.h"

namespace {

constexpr int kWait = 10000;
using TQM = TransferQueueManager;

// The opens an inotify descriptor has seen, then closes it. It must watch
// the closes as well: two opens in a row are reported as one.
int OpenEvents(int fd) {
    int n = 0;
    alignas(inotify_event) char buffer[4096];
    ssize_t got;
    while ((got = ::read(fd, buffer, sizeof buffer)) > 0)
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            n += (event->mask & IN_OPEN) ? 1 : 0;
            at += ssize_t(sizeof(inotify_event) + event->len);
        }
    ::close(fd);
    return n;
}

// The process's descriptors open on the journal at `path` or on its
// temporary file, removed or not. Only these: Qt's threads open and close
// descriptors of their own at any time.
int JournalDescriptors(const QString& path) {
    const QByteArray name =
        QFile::encodeName(QFileInfo(QFileInfo(path).absolutePath()).canonicalFilePath() + "/" +
                          QFileInfo(path).fileName());
    int n = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (const dirent* e = ::readdir(dir)) {
            char target[4096];
            const ssize_t size = ::readlink((QByteArray("/proc/self/fd/") + e->d_name).constData(),
                                            target, sizeof target);
            const QByteArray link(target, size > 0 ? int(size) : 0);
            for (const QByteArray& own : {name, name + ".tmp"})
                n += link == own || link == own + " (deleted)" ? 1 : 0;
        }
        ::closedir(dir);
    }
    return n;
}

bool SameRecord(const PartialJournal::Record& a, const PartialJournal::Record& b) {
    return a.forget == b.forget && a.complete == b.complete && a.user == b.user &&
           a.remoteFolder == b.remoteFolder && a.fileName == b.fileName &&
           (a.forget ||
            (a.fileSize == b.fileSize && a.single == b.single && a.level == b.level &&
             a.path == b.path && a.identity == b.identity && a.size == b.size && a.head == b.head));
}

// Text of any Unicode (NULs, a byte-order mark, pairs of surrogates), often
// empty.
QString RandomText(fuzz::Rng& rng) {
    static const std::vector<uint> odd{0, 1, 0x7F, 0xA0, 0xFEFF, 0xFFFD, 0xFFFF, 0x10FFFF, 0x1F600};
    QString text;
    for (int k = 0, n = fuzz::Below(rng, 3) ? fuzz::Below(rng, 8) : 0; k < n; ++k) {
        const uint c = fuzz::Below(rng, 2) ? odd[std::size_t(fuzz::Below(rng, int(odd.size())))]
                                           : uint(0x20 + fuzz::Below(rng, 0x2000));
        text += QString::fromUcs4(&c, 1);
    }
    return text;
}

std::string RandomName(fuzz::Rng& rng) {
    const QByteArray bytes = fuzz::Below(rng, 3) ? fuzz::RandomBytes(rng, 8) : QByteArray();
    return bytes.toStdString();
}

// The journal's records, when it reads whole.
bool ReadJournal(const QString& path, std::vector<PartialJournal::Record>* read,
                 std::uint64_t* number = nullptr) {
    std::uint64_t n = 0;
    QString note;
    QFile file(path);
    return file.open(QIODevice::ReadOnly) &&
           PartialJournal::Parse(file.readAll(), number ? number : &n, read, &note) &&
           note.isEmpty();
}

PartialJournal::Record Named(const std::string& name) {
    PartialJournal::Record r;
    r.user = "bob", r.remoteFolder = "S", r.fileName = name;
    r.path = "/dl/" + QString::fromStdString(name);
    return r;
}

}  // namespace

class TestTransferQueue : public QObject, private TransferServices {
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> tmp;
    std::unique_ptr<RawPeer> bob;
    ItemPtr musicRoot;
    std::atomic<qint64> m_now{0};  // the rate limiters' clock, when a test drives it
    bool m_clockDriven = false;
    QString P(const QString& file) const { return tmp->path() + "/" + file; }
    QString W(const QString& file) const { return Wire(P(file)); }
    ItemPtr Entry(const QString& user, const QString& file) {
        return d.GetItem(User(user), shares->GetSharedFileItem(P(file)), "upload_entry");
    }
    QString Status(const QString& user, const QString& file) {
        return TQM::UploadStatus(Entry(user, file));
    }
    qint64 Place(const QString& user, const QString& file) {
        const ItemPtr n = Entry(user, file).HasItem("effective_upload_order");
        return n.IsNull() ? -1 : n.AsInt64();
    }
    uint Req(const QString& user, const QString& file) {
        return Entry(user, file).HasItem("transfer_req").AsUInt();
    }
    void Ask(const QString& user, const QString& file) {
        tqm->OnQueueUploadRequested(user, W(file));
    }
    void Answer(const QString& user, const QString& file, bool accepted) {
        tqm->OnFileTransferResponse(user, Req(user, file), accepted, false, 0,
                                    accepted ? QString() : QStringLiteral("Cancelled"));
    }
    QStringList Sent() {
        bob->Select(0);
        return Drain(*bob);
    }
    // Bob online and listening where we think he is, for our file connections.
    void Reachable() {
        QVERIFY(bob->Listen());
        User("bob").Connect(d.GetType("user_address")->GetItem(Value(quint32(0x7F000001))));
        User("bob").Connect(d.GetType("user_port")->GetItem(Value(bob->Port())));
        Online("bob");
    }
    // Bob takes our "F" connection, checks the token and asks from `offset`.
    bool TakeFileConnection(const QString& file, qint64 offset) {
        QString kind;
        if (!bob->WaitForIncoming(kWait) || !bob->ReadSetUp(nullptr, &kind, kWait) || kind != "F" ||
            bob->ReadRaw(4, kWait) != RawPeer::U32(Req("bob", file)))
            return false;
        bob->SendRaw(RawPeer::I64(offset));
        return true;
    }
    QString Root() const { return tmp->path() + "/dl"; }
    static QString Status(const ItemPtr& entry) { return TQM::DownloadStatus(entry); }
    ItemPtr Add(const char* file, const char* folder, qint64 size, int level = 0) {
        return tqm->AddDownload("bob", file, folder, size, false, level);
    }
    void Send(quint32 code, const QByteArray& body) { bob->SendMessageOn(0, code, body); }
    // A transfer request (PM 40) and our answer: "accept", or the reason.
    QString Request(quint32 req, const QString& path, qint64 size, quint32 direction = 1) {
        return RequestFrom(*bob, req, path, size, direction);
    }
    QString RequestFrom(RawPeer& peer, quint32 req, const QString& path, qint64 size,
                        quint32 direction = 1) {
        peer.SendMessageOn(0, PeerMessenger::PM_TRANSFER_REQUEST,
                           Payload().U32(direction).U32(req).Str(path).I64(size));
        quint32 code = 0, r = 0;
        quint8 ok = 0;
        QByteArray payload;
        QString reason;
        if (!peer.WaitForMessageOn(0, &code, &payload, kWait))
            return "timeout";
        MemStream in(payload);
        if (code != PeerMessenger::PM_TRANSFER_RESPONSE || !in.Read(r) || r != req ||
            !in.Read(ok) || (!ok && !in.Read(reason)) || in.BytesLeft() != 0)
            return "malformed";
        return ok ? "accept" : reason;
    }
    // A file connection sending the token; its index.
    int Connect(quint32 token, const QString& user = "bob") {
        if (!bob->ConnectTo(messenger->ListeningPort()))
            return -1;
        const int index = bob->CurrentConnection();
        bob->SendSetUpOn(index, user, "F");
        bob->SendRawOn(index, RawPeer::U32(token));
        bob->Select(0);
        return index;
    }
    // Accepted, connected, and the offset we answered.
    qint64 Offer(quint32 req, const QString& path, qint64 size, int* index) {
        *index = Request(req, path, size) == "accept" ? Connect(req) : -1;
        MemStream in(bob->ReadRawOn(*index, 8, kWait));
        qint64 offset = -1;
        return in.Read(offset) ? offset : -1;
    }
    // The free-slot flag of our answer to a search for "big".
    QString SlotInSearchAnswer() {
        MemStream message;
        if (!shares->BuildSearchAnswer("erin", 1, "big", message))
            return "no answer";
        const QByteArray body = message.GetWrittenBytes().mid(4);
        SearchResultMessage answer;
        if (!ParseSearchResults(body.constData(), body.size(), answer))
            return "malformed";
        return answer.freeSlot ? "free" : "full";
    }
    // Refused: closed without a byte.
    bool Refused(int index) {
        return bob->WaitForDisconnectOn(index, kWait) && bob->ReadRawOn(index, 1, 0).isEmpty();
    }

private slots:
    void init() {
        tmp.reset(new QTemporaryDir);
        bob.reset(new RawPeer);
        QVERIFY(tmp->isValid() && StartTransferServices() && ConnectAsPeer(*bob, "bob"));
        for (const char* name : {"a", "b", "c", "d"})
            QVERIFY(Write(P(QString("M/") + name), Pattern(1000)));
        QVERIFY(Write(P("M/big"), Pattern(100000)) && Write(P("M/empty"), ""));
        QVERIFY(Write(P("Private/secret"), "s"));
        musicRoot = shares->AddSharedFolder(P("M"));
        musicRoot.Connect(d.GetType("shared_public")->GetGlobalNullItem());
        QVERIFY(!shares->AddSharedFolder(P("Private")).IsNull());
        QVERIFY(WaitForSharesIndexed(shares.get()));
        SetSetting("download_folder", Root());
    }
    void cleanup() {
        for (const ItemPtr& entry : d.GetType("upload_entry")->GetItems())
            if (tqm)  // a test may have quit it
                tqm->RemoveUpload(entry);
        for (const ItemPtr& entry : d.GetType("download_entry")->GetItems())
            if (tqm)
                tqm->RemoveDownload(entry);
        bob.reset();
        StopTransferServices();
        if (m_clockDriven)
            for (RateLimiter* limiter : {&UploadRateLimiter(), &DownloadRateLimiter()}) {
                limiter->Reset();
                limiter->SetClock({}, {});
            }
        m_clockDriven = false;
    }
    void refusals_data() {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("reason");
        const auto add = [](const char* tag, const char* file, const char* setup,
                            const char* reason) { QTest::newRow(tag) << file << setup << reason; };
        add("not indexed", "M/none", "", "File not shared.");
        add("not visible", "Private/secret", "", "File not shared.");
        add("no name", "", "", "File not shared.");
        add("unshared user", "M/a", "unshare", "File not shared.");
        add("pending shutdown", "M/a", "quit", "Pending shutdown.");
        add("too many queued", "M/c", "two", "Too many files");
        // Only her own queued uploads count, counted from either side.
        add("others' queued", "M/c", "others", "");
        add("others' queued, hers ended", "M/c", "others, hers ended", "");
        // The log quotes the name: what it keeps stays small.
        const QByteArray name = "M/" + QByteArray(8000, 'n');
        QTest::newRow("long name") << QString(name) << ""
                                   << "File not shared.";
    }
    void refusals() {
        QFETCH(QString, file);
        QFETCH(QString, setup);
        QFETCH(QString, reason);
        SetSetting("max_queued_uploads_per_user", 2);
        if (setup == "unshare")
            tqm->UnshareUser("bob");
        if (setup == "quit")
            SetRuntimeSetting("finish_uploads_and_quit", "yes");
        if (setup == "two")
            Ask("bob", "M/a"), Ask("bob", "M/b");
        for (const char* ended : {"M/a", "M/b", "M/d"})
            if (setup.endsWith("hers ended"))
                Ask("bob", ended), tqm->SetUploadEntryStatus(Entry("bob", ended), TQM::kComplete);
        if (setup.startsWith("others"))
            Ask("carol", "M/a"), Ask("carol", "M/b");
        const QString wire = file.isEmpty() ? QString() : W(file);
        LogLines log;
        tqm->OnQueueUploadRequested("bob", wire);
        QCOMPARE(Sent(),
                 reason.isEmpty() ? QStringList() : QStringList{"50 " + wire + " | " + reason});
        for (const QString& line : log.lines)
            QVERIFY2(line.size() < kMaxLogLineLength + 64, qPrintable(line.left(200)));
        QCOMPARE(Status("bob", file), QString(reason.isEmpty() ? "queued" : ""));
        if (!setup.startsWith("others"))
            QCOMPARE(d.GetType("upload_entry")->ItemCount(), setup == "two" ? 2 : 0);
    }
    // Bob stays offline, so nothing starts.
    void admission() {
        SetSetting("max_queued_uploads_per_user", 2);
        Ask("bob", "M/a");
        QVERIFY(Status("bob", "M/a") == "queued" && Place("bob", "M/a") == 1);
        QCOMPARE(Entry("bob", "M/a").HasItem("filename_as_requested").AsString(), W("M/a"));
        // PM 44 answers the exact spelling only, with the place.
        tqm->OnUploadPlaceInLineRequested("bob", P("M/a"));
        tqm->OnUploadPlaceInLineRequested("bob", W("M/a"));
        QCOMPARE(Sent(), QStringList{"44 " + W("M/a") + " #1"});
        // Repeats are silent; the limit counts queued entries only; a running
        // upload is left alone; an ended one is queued again as itself.
        Ask("bob", "M/a");
        Ask("bob", "M/b");
        tqm->SetUploadEntryStatus(Entry("bob", "M/b"), TQM::kUploading);
        Ask("bob", "M/c");
        Ask("bob", "M/b");
        QCOMPARE(Sent(), QStringList());
        QVERIFY(Status("bob", "M/c") == "queued" && Status("bob", "M/b") == "uploading");
        const ItemPtr a = Entry("bob", "M/a");
        tqm->SetUploadEntryStatus(a, TQM::kComplete);
        Ask("bob", "M/a");
        QVERIFY(Entry("bob", "M/a") == a && Status("bob", "M/a") == "queued");
        QCOMPARE(tqm->QueuedUploadCount(), 2);
        tqm->SetUploadEntryStatus(Entry("bob", "M/b"), TQM::kAborted);
    }
    // Serving order after arrivals ("user/file"); numbers from 1.
    void servingOrder_data() {
        QTest::addColumn<QStringList>("setup");  // "user:priority" or "user:priv"
        QTest::addColumn<QStringList>("arrivals");
        QTest::addColumn<QStringList>("order");
        QTest::newRow("priority 5 before 3, none and -2 as 0")
            << QStringList{"low:3", "high:5", "neg:-2"}
            << QStringList{"low/a", "none/a", "neg/a", "high/a", "low/b"}
            << QStringList{"high/a", "low/a", "low/b", "none/a", "neg/a"};
        QTest::newRow("privileged first on equal priority")
            << QStringList{"vip:priv"} << QStringList{"p/a", "p/b", "vip/a", "p/c", "vip/b"}
            << QStringList{"vip/a", "vip/b", "p/a", "p/b", "p/c"};
        QTest::newRow("priority beats privileges; one user keeps arrival order")
            << QStringList{"vip:priv", "grp:1"} << QStringList{"vip/a", "grp/c", "grp/a"}
            << QStringList{"grp/c", "grp/a", "vip/a"};
    }
    void servingOrder() {
        QFETCH(QStringList, setup);
        QFETCH(QStringList, arrivals);
        QFETCH(QStringList, order);
        for (const QString& s : setup) {
            const QString user = s.section(':', 0, 0), value = s.section(':', 1);
            if (value == "priv") {
                User(user).Connect(d.GetType("is_privileged")->GetGlobalNullItem());
                continue;
            }
            const ItemPtr listed = d.GetType("in_user_list")->NewItem();
            const ItemPtr group = d.GetType("user_list_group")->GetItem("of " + user);
            group.Connect(d.GetType("group_download_priority")->GetItem(Value(value.toInt())));
            listed.Connect(group);
            User(user).Connect(listed);
        }
        for (const QString& a : arrivals)
            Ask(a.section('/', 0, 0), "M/" + a.section('/', 1));
        QStringList got;
        for (int n = 1; n <= order.size(); ++n)
            for (const QString& a : arrivals)
                if (Place(a.section('/', 0, 0), "M/" + a.section('/', 1)) == n)
                    got << a;
        QCOMPARE(got, order);
    }
    // One active upload per user whatever the slots; out-of-range counts
    // ignored, more slots start at once, fewer stop nothing. Search answers
    // offer a free slot only while one is.
    void uploadSlots() {
        for (const char* ask : {"bob/a", "bob/b", "carol/a", "dave/a"})
            Ask(QString(ask).section('/', 0, 0), "M/" + QString(ask).section('/', 1));
        QCOMPARE(SlotInSearchAnswer(), QString("free"));
        for (const char* user : {"bob", "carol", "dave"})
            Online(user);
        QCOMPARE(SlotInSearchAnswer(), QString("full"));
        tqm->SetUploadSlots(0);
        tqm->SetUploadSlots(100);
        QCOMPARE(Status("carol", "M/a"), QString("queued"));
        tqm->SetUploadSlots(3);
        QCOMPARE(Sent(), QStringList{"40 " + W("M/a")});
        QVERIFY(Status("carol", "M/a") == "requesting" && Status("dave", "M/a") == "requesting");
        QCOMPARE(SlotInSearchAnswer(), QString("full"));
        tqm->SetUploadSlots(1);
        QCOMPARE(tqm->ActiveUploadCount(), 3);
        QCOMPARE(SlotInSearchAnswer(), QString("full"));
        Answer("bob", "M/a", false);  // denied: no notice, and one slot is still full
        QVERIFY(Sent().isEmpty() && Status("bob", "M/a") == "denied");
    }
    // Only a pending request is answered; then an upload from an offset, a
    // file that vanished or changed, and a stray connection.
    void negotiation() {
        Reachable();
        Ask("bob", "M/big");
        QCOMPARE(Sent(), QStringList{"40 " + W("M/big")});
        const uint req = Req("bob", "M/big");
        tqm->OnFileTransferResponse("bob", req + 1000, false, false, 0, "x");
        tqm->OnFileTransferResponse("mallory", req, false, false, 0, "x");
        QCOMPARE(Status("bob", "M/big"), QString("requesting"));
        Answer("bob", "M/big", true);
        Answer("bob", "M/big", false);  // late: changes nothing
        QCOMPARE(Status("bob", "M/big"), QString("connecting"));
        QVERIFY(TakeFileConnection("M/big", 100));
        QCOMPARE(Status("bob", "M/big"), QString("uploading"));
        Answer("bob", "M/big", false);  // neither stops the upload nor blocks
        QCOMPARE(bob->ReadRaw(99900, kWait), Pattern(100000).mid(100));
        bob->Close();
        QTRY_COMPARE_WITH_TIMEOUT(Status("bob", "M/big"), QString("complete"), kWait);
        QVERIFY(QFile::remove(P("M/b")) && Write(P("M/c"), Pattern(1500)));
        // A FIFO in a shared file's place is refused, not waited on.
        QVERIFY(QFile::remove(P("M/d")) &&
                ::mkfifo(QFile::encodeName(P("M/d")).constData(), 0600) == 0);
        FifoWatch watch(P("M/d"));
        for (const char* file : {"M/b", "M/c", "M/d"})
            Ask("bob", file);
        for (const char* file : {"M/b", "M/c", "M/d"})
            Answer("bob", file, true);
        QVERIFY2(!watch.Freed(), "an upload's open waited on the FIFO");
        QStringList sent;
        for (const char* file : {"M/b", "M/c", "M/d"}) {
            QCOMPARE(Status("bob", file), QString("local error"));
            sent << "40 " + W(file) << "50 " + W(file) + " | File read error.";
        }
        QCOMPARE(Sent(), sent);
        QPointer<QTcpSocket> stray(new QTcpSocket);
        tqm->OnFileConnectionAccepted("bob", stray);
        QTRY_VERIFY_WITH_TIMEOUT(stray.isNull(), kWait);
    }
    // Offered (PM 60) and asked past its end, empty, or aborted by hand while
    // waiting: no thread or run-time value is left, and PM 46 goes.
    void failedUploads() {
        Reachable();
        for (const QString file : {"M/big", "M/empty", "M/d"}) {
            tqm->AddUpload("bob", W(file));
            QCOMPARE(Sent(), (QStringList{"60 " + W(file), "40 " + W(file)}));
            Answer("bob", file, true);
            if (file == "M/d") {
                QVERIFY(bob->WaitForIncoming(kWait) && bob->ReadRaw(4, kWait).size() == 4);
                tqm->SetUploadEntryStatus(Entry("bob", file), TQM::kAborted);
            } else {
                QVERIFY(TakeFileConnection(file, file == "M/big" ? 200000 : 0));
            }
            QTRY_COMPARE_WITH_TIMEOUT(Status("bob", file), QString("aborted"), kWait);
            for (const char* gone : {"upload_thread", "upload_file", "upload_socket",
                                     "read_position", "last_receipt_time", "bytes_per_second",
                                     "last_speed_measurement_time", "bytes_since_last_receipt"})
                QVERIFY2(Entry("bob", file).HasItem(gone).IsNull(), gone);
            QCOMPARE(Sent(), QStringList{"46 " + W(file)});
        }
        tqm->AddUpload("bob", W("Private/secret"));  // not visible: not offered
        QCOMPARE(Sent(), QStringList());
    }
    // A downloader who asks again at once after our offer was refused, or
    // failed before a byte went, is offered the file again after a wait.
    void offersBackOff_data() {
        QTest::addColumn<bool>("refused");
        QTest::newRow("refused") << true;
        QTest::newRow("failed before a byte") << false;
    }
    void offersBackOff() {
        QFETCH(bool, refused);
        Reachable();
        Ask("bob", "M/a");
        for (int round = 0; round < 2; ++round) {
            bob->Select(0);
            QVERIFY(bob->Take(PeerMessenger::PM_TRANSFER_REQUEST) != "(none)");
            Answer("bob", "M/a", !refused);
            if (!refused) {
                QVERIFY(bob->WaitForIncoming(kWait) && bob->ReadRaw(4, kWait).size() == 4);
                bob->Close();
                QTRY_COMPARE_WITH_TIMEOUT(Status("bob", "M/a"), QString("aborted"), kWait);
            }
            Ask("bob", "M/a");
            QCOMPARE(Sent(), refused ? QStringList() : QStringList{"46 " + W("M/a")});
            QCOMPARE(Status("bob", "M/a"), QString("queued"));
        }
    }
    // The tick times out negotiations after 30 s (PM 46) and fills the slot
    // at once; "uploading" is its thread's business.
    void negotiationTimeouts() {
        SetSetting("upload_slots", 2);
        RawPeer carol;
        QVERIFY(ConnectAsPeer(carol, "carol"));
        Online("bob");
        Online("carol");
        for (const char* ask : {"bob/a", "carol/b", "bob/d", "carol/c"})
            Ask(QString(ask).section('/', 0, 0), "M/" + QString(ask).section('/', 1));
        const ItemPtr a = Entry("bob", "M/a"), b = Entry("carol", "M/b"), c = Entry("carol", "M/c");
        const ItemPtr d = Entry("bob", "M/d");
        tqm->SetUploadEntryStatus(b, TQM::kConnecting);
        SetTime(a, "last_status_change_time", Ago(31));
        SetTime(b, "last_status_change_time", Ago(29));
        tqm->EveryHalfMinute();
        QCOMPARE(Sent(), (QStringList{"40 " + W("M/a"), "46 " + W("M/a"), "40 " + W("M/d")}));
        QCOMPARE(TQM::UploadStatus(b), QString("connecting"));
        tqm->SetUploadEntryStatus(d, TQM::kWaitingForOffset);
        tqm->SetUploadEntryStatus(c, TQM::kUploading);
        for (const ItemPtr& e : {a, b, c, d})
            SetTime(e, "last_status_change_time", Ago(3600));
        tqm->EveryHalfMinute();
        QCOMPARE(Sent(), QStringList{"46 " + W("M/d")});
        QCOMPARE(Drain(carol), (QStringList{"40 " + W("M/b"), "46 " + W("M/b")}));
        QVERIFY(TQM::UploadStatus(b) == "aborted" && TQM::UploadStatus(c) == "uploading");
        tqm->SetUploadEntryStatus(c, TQM::kAborted);
    }
    // The tick comes `age` seconds into the request phase with bytes unread
    // from the downloader's connection, or from a stranger's under her name:
    // only whole messages of hers are our slowness, and only for a while.
    void unreadAtTheTick_data() {
        QTest::addColumn<QString>("sent");
        QTest::addColumn<int>("age");
        QTest::addColumn<bool>("waits");
        QTest::newRow("her answer behind her burst") << "her burst" << 31 << true;
        QTest::newRow("the same, obfuscated") << "her obfuscated burst" << 31 << true;
        QTest::newRow("her burst past the bound") << "her burst" << 121 << false;
        QTest::newRow("a stranger's burst under her name") << "his burst" << 31 << false;
        QTest::newRow("her frame not all sent") << "her part" << 31 << false;
    }
    void unreadAtTheTick() {
        QFETCH(QString, sent);
        QFETCH(int, age);
        QFETCH(bool, waits);
        Online("bob");
        Ask("bob", "M/a");
        QCOMPARE(Sent(), QStringList{"40 " + W("M/a")});
        SetTime(Entry("bob", "M/a"), "last_status_change_time", Ago(age));
        RawPeer stranger;
        stranger.ComeFrom(QHostAddress("127.0.0.2"));
        RawPeer& from = sent == "his burst" ? stranger : *bob;
        if (sent == "his burst" || sent.contains("obfuscated")) {
            const bool obfuscated = &from == bob.get();
            QVERIFY(from.ConnectTo(
                obfuscated ? messenger->ObfuscatedListeningPort() : messenger->ListeningPort(),
                obfuscated));
            from.SendSetUp("bob", "P");
            QVERIFY(SyncPeer(from));
        }
        if (sent == "her part") {
            // 2 KiB of a 1-MiB frame, read into the frame reader.
            const qint64 read = messenger->BytesRead();
            bob->SendRaw(RawPeer::U32(1 << 20) + QByteArray(2044, 'x'));
            QTRY_VERIFY_WITH_TIMEOUT(messenger->BytesRead() >= read + 2048, kWait);
        } else {
            for (int i = 0; i < 3000; ++i)
                from.SendMessage(PeerMessenger::PM_QUEUE_UPLOAD, Payload().Str(W("M/b")));
            if (&from == bob.get())
                from.SendMessage(PeerMessenger::PM_TRANSFER_RESPONSE,
                                 Payload().U32(Req("bob", "M/a")).U8(1));
            from.Flush();
            // Loopback hands the bytes over at once; no turn of the loop reads them.
            QDeadlineTimer arrived(kWait);
            while (&from == bob.get() && !messenger->MessageUnreadFrom("bob") &&
                   !arrived.hasExpired()) {
            }
        }
        tqm->EveryHalfMinute();
        QCOMPARE(Status("bob", "M/a"), QString(waits ? "requesting" : "aborted"));
        QTRY_COMPARE_WITH_TIMEOUT(Status("bob", "M/a"), QString(waits ? "connecting" : "aborted"),
                                  kWait);
    }
    // Finish-and-quit ends the loop (0) with nothing queued or active and no
    // upload change for 300 s (none since start or unreadable: long ago).
    void finishUploadsAndQuit() {
        // A tick in the application's loop; its exit also ends the probe loop.
        const auto tick = [this] {
            QTimer::singleShot(0, tqm.get(), [this] {
                QEventLoop probe;
                QTimer::singleShot(0, &probe, [&] {
                    tqm->EveryHalfMinute();
                    if (probe.isRunning())
                        probe.exit(), QCoreApplication::exit(7);
                });
                probe.exec();
            });
            return QCoreApplication::exec();
        };
        QCOMPARE(tick(), 7);
        SetRuntimeSetting("finish_uploads_and_quit", "yes");
        QCOMPARE(tick(), 0);
        SetRuntimeSetting("finish_uploads_and_quit", "no");
        Ask("bob", "M/a");
        SetRuntimeSetting("finish_uploads_and_quit", "yes");
        const char* statuses[] = {TQM::kQueued,   TQM::kUploading, TQM::kComplete,
                                  TQM::kComplete, TQM::kComplete,  TQM::kComplete};
        const QString times[] = {Ago(3600), Ago(3600), Ago(0), Ago(299), Ago(302), "garbage"};
        const int codes[] = {7, 7, 7, 7, 0, 0};
        for (int i = 0; i < 6; ++i) {
            tqm->SetUploadEntryStatus(Entry("bob", "M/a"), statuses[i]);
            SetRuntimeSetting("last_upload_state_change", times[i]);
            QCOMPARE(tick(), codes[i]);
        }
    }
    // Visibility is judged again before our request goes out; UnshareUser
    // refuses and removes every entry, running or not.
    void revokedShares() {
        const QString refused = " | File not shared.";
        Ask("bob", "M/a");
        Ask("bob", "M/b");
        musicRoot.Disconnect("shared_public");
        Online("bob");
        QCOMPARE(Sent(), (QStringList{"50 " + W("M/a") + refused, "50 " + W("M/b") + refused}));
        QCOMPARE(d.GetType("upload_entry")->ItemCount(), 0);
        musicRoot.Connect(d.GetType("shared_public")->GetGlobalNullItem());
        Ask("bob", "M/a");
        Ask("bob", "M/b");
        Ask("carol", "M/c");
        Online("carol");
        tqm->UnshareUser("bob");
        QCOMPARE(Sent(), (QStringList{"40 " + W("M/a"), "50 " + W("M/a") + refused,
                                      "50 " + W("M/b") + refused}));
        QCOMPARE(User("bob").CountItems("upload_entry"), 0);
        QCOMPARE(Status("carol", "M/c"), QString("requesting"));
        tqm->ReshareUser("bob");
        QVERIFY(!User("bob").IsConnected("unshared"));
    }
    // A folder of more files than a slice takes (3,000 in "M\\A", then 500
    // in "M\\A\\B" and 500 in "N"): the first slice goes at once, the rest
    // in later turns, every file in its order. What waits is the user's
    // all the same: a save adds it at once, her removal of the folder or of
    // the user drops it there and in the folders inside, and the same folder
    // asked for again is queued once.
    void folderQueuedInSlices_data() {
        QTest::addColumn<QString>("then");
        for (const char* then :
             {"in turns", "finish", "again", "drop M\\A", "drop M\\A\\B", "drop"})
            QTest::newRow(then) << then;
    }
    void folderQueuedInSlices() {
        QFETCH(QString, then);
        std::vector<TQM::DownloadRequest> folder(4000, {"bob", "", "", 10});
        for (std::size_t i = 0; i < folder.size(); ++i) {
            folder[i].file = QString("%1").arg(i, 4, 10, QChar('0')).toStdString();
            folder[i].remoteFolder = i < 3000 ? "M\\A" : i < 3500 ? "M\\A\\B" : "N";
        }
        const qint64 counter = GetSettingInt64("transfer_order_counter");
        tqm->AddDownloads(folder);
        const int first = d.GetType("download_entry")->ItemCount();
        QVERIFY(first >= 200 && first < 4000);
        if (then == "finish")
            tqm->FinishAddingDownloads();
        if (then == "again")  // those waiting wait once; those queued are passed over
            tqm->AddDownloads(folder);
        QCOMPARE(tqm->DownloadsToAdd(), then == "finish"  ? 0
                                        : then == "again" ? 4000
                                                          : 4000 - first);
        const std::string where = then.mid(5).toStdString();
        int queued = 4000;
        if (then.startsWith("drop")) {
            tqm->DropWaitingDownloads("bob", where.empty() ? nullptr : &where);
            for (std::size_t i = std::size_t(first); i < folder.size(); ++i) {
                const std::string& in = folder[i].remoteFolder;
                queued -= where.empty() || in == where || in.rfind(where + "\\", 0) == 0;
            }
        }
        QTRY_COMPARE_WITH_TIMEOUT(tqm->DownloadsToAdd(), 0, kWait);
        QCOMPARE(d.GetType("download_entry")->ItemCount(), queued);
        QCOMPARE(GetSettingInt64("transfer_order_counter"), counter + queued);
        QStringList names;  // in their order
        for (const ItemPtr& e :
             d.GetType("download_entry")->GetItems().SortNumericBy("download_order", true))
            names << e["file_name"].AsString();
        QVERIFY(std::is_sorted(names.begin(), names.end()));
    }
    // PM 43 when added online or when the user comes online; the same
    // triple is the same entry; PM 44, 46 and 50 from the uploader.
    void queueAndReports() {
        SetSetting("transfer_order_counter", 7);
        const ItemPtr a = Add("a.mp3", "M\\A", 1000);
        QCOMPARE(a.HasItem("download_order").AsInt64(), qint64(7));
        QVERIFY(tqm->GetDownloadEntry("bob", "a.mp3", "M").IsNull());
        QVERIFY(Add("n", "M", -1).IsNull());
        QCOMPARE(Drain(*bob), QStringList());  // offline
        Online("bob");
        const ItemPtr b = Add("b.mp3", "M\\A", 5);
        QCOMPARE(Drain(*bob), (QStringList{"43 M\\A\\a.mp3", "43 M\\A\\b.mp3"}));
        tqm->SetDownloadEntryStatus(a, TQM::kDenied);
        QCOMPARE(Add("a.mp3", "M\\A", 1), a);
        QVERIFY(Status(a) == "denied" && a.HasItem("file_size").AsInt64() == 1000);
        QCOMPARE(GetSettingInt64("transfer_order_counter"), qint64(9));
        tqm->RequeueDownload(a);
        tqm->RequestDownloadPlaceInLine(b);
        QCOMPARE(Drain(*bob), (QStringList{"43 M\\A\\a.mp3", "51 M\\A\\b.mp3"}));
        // Unknown paths are ignored and leave no items.
        Send(PeerMessenger::PM_UPLOAD_PLACE_IN_LINE, Payload().Str("M\\A\\a.mp3").U32(12));
        Send(PeerMessenger::PM_UPLOAD_PLACE_IN_LINE, Payload().Str("M\\A\\x.mp3").U32(3));
        Send(PeerMessenger::PM_UPLOAD_FAILED, Payload().Str("M\\A\\a.mp3"));
        QCOMPARE(Drain(*bob), QStringList{"43 M\\A\\a.mp3"});
        QCOMPARE(a.HasItem("place_in_line").AsInt(), 12);
        QVERIFY(d.GetType("file_name")->HasItem(std::string("x.mp3")).IsNull());
        // No re-queue on PM 46 when finished, failed here, or offline.
        for (const char* status : {TQM::kComplete, TQM::kLocalError, TQM::kAborted}) {
            tqm->SetDownloadEntryStatus(a, status);
            if (status == TQM::kAborted)
                User("bob").Disconnect("is_online");
            Send(PeerMessenger::PM_UPLOAD_FAILED, Payload().Str("M\\A\\a.mp3"));
            QCOMPARE(Drain(*bob), QStringList());
            QCOMPARE(Status(a), QString(status));
        }
        // Denied with the latest reason, and not asked for again on return.
        Send(PeerMessenger::PM_UPLOAD_DENIED, Payload().Str("M\\A\\a.mp3").Str("File not shared."));
        Send(PeerMessenger::PM_UPLOAD_DENIED, Payload().Str("M\\A\\a.mp3").Str("Too many files"));
        QCOMPARE(Drain(*bob), QStringList());
        Online("bob");
        QCOMPARE(Drain(*bob), QStringList{"43 M\\A\\b.mp3"});
        QVERIFY(Status(a) == "denied" && a.HasItem("denial_reason").AsString() == "Too many files");
    }
    // PM 40 from the uploader and our PM 41.
    void transferRequests() {
        const ItemPtr a = Add("a.mp3", "M", 1000), b = Add("b.mp3", "M", 2000);
        QCOMPARE(Request(7, "M\\a.mp3", 1000), QString("accept"));
        QCOMPARE(a.HasItem("remote_transfer_req").AsUInt(), 7u);
        // The number moves; the size is reconciled; a running one restarts.
        QCOMPARE(Request(7, "M\\b.mp3", 2000), QString("accept"));
        QVERIFY(a.HasItem("remote_transfer_req").IsNull());
        tqm->SetDownloadEntryStatus(a, TQM::kDownloading);
        QCOMPARE(Request(9, "M\\a.mp3", 1500), QString("accept"));
        QVERIFY(Status(a) == "aborted" && a.HasItem("file_size").AsInt64() == 1500);
        tqm->SetDownloadEntryStatus(b, TQM::kComplete);
        QCOMPARE(Request(10, "M\\b.mp3", 2000), QString("Complete"));
        // Unknown files: refused without items, unless the user may push.
        const qint64 counter = GetSettingInt64("transfer_order_counter");
        QCOMPARE(Request(12, "Other\\x.mp3", 10), QString("Cancelled"));
        QVERIFY(d.GetType("remote_folder")->HasItem(std::string("Other")).IsNull());
        User("bob").Connect(d.GetType("in_user_list")->NewItem());
        SetSetting("accept_userlist_uploads", "yes");
        QCOMPARE(Request(13, "Other\\x.mp3", 10), QString("accept"));
        const ItemPtr pushed = tqm->GetDownloadEntry("bob", "x.mp3", "Other");
        QVERIFY(Status(pushed) == "queued" &&
                pushed.HasItem("download_order").AsInt64() == counter);
        // One of our files: "Queued", then the queue request's answer.
        QCOMPARE(Request(14, "Mine\\y.mp3", 5, 0), QString("Queued"));
        QCOMPARE(Drain(*bob), QStringList{"50 Mine\\y.mp3 | File not shared."});
        // A push (PM 60) becomes a download, queued at once when online.
        Online("bob");
        Drain(*bob);
        Send(PeerMessenger::PM_QUEUE_DOWNLOAD_REQUEST, Payload().Str("P\\p.mp3").I64(77));
        QCOMPARE(Drain(*bob), QStringList{"43 P\\p.mp3"});
        QCOMPARE(Add("p.mp3", "P", 1).HasItem("file_size").AsInt64(), qint64(77));
    }
    // The empty-share check: the first answer decides; listed users not warned.
    void emptyShares() {
        FileInfoMap empty, full;
        full["Music"];
        AttributeTranslationTable table;
        SetSetting("check_for_empty_shares", "yes");
        for (const char* u : {"full", "empty", "listed"})
            User(u).Connect(d.GetType("empty_share_check_status")->GetItem(Value("requested")));
        User("listed").Connect(d.GetType("in_user_list")->NewItem());
        for (const char* u : {"full", "empty", "listed", "unasked"})
            tqm->OnUserShare(u, QByteArray(u) == "full" ? full : empty, table);
        tqm->OnUserShare("empty", full, table);
        QStringList got;
        for (const char* u : {"full", "empty", "listed", "unasked"})
            got << User(u).HasItem("empty_share_check_status").AsString() +
                       (User(u).IsConnected("sent_empty_share_warning_message") ? "+" : "");
        QCOMPARE(got, (QStringList{"not_empty", "empty+", "empty", ""}));
    }
    // Saved and loaded: fields kept, only "complete" kept, nothing of the run;
    // users tracked; slot settings raised; ".ini" excluded on first start only.
    void saveAndLoad() {
        const QString prefix = tmp->path() + "/store/t";
        QVERIFY(QDir().mkpath(tmp->path() + "/store"));
        const ItemPtr a = tqm->AddDownload("bob", "a", "Music\\A", 1000, true, 2);
        tqm->SetDownloadEntryStatus(Add("c", "F", 1), TQM::kComplete);
        tqm->SetDownloadEntryStatus(tqm->AddDownload("dave", "e", "F", 1, false, 0), TQM::kDenied);
        a.Connect(d.GetType("place_in_line")->GetItem(Value(4)));
        a.Connect(d.GetType("remote_transfer_req")->GetItem(Value(99)));
        tqm->SetDownloadEntryStatus(a, TQM::kDownloading);
        SetSetting("upload_slots", "0");
        SetSetting("max_queued_uploads_per_user", "5");
        QVERIFY(saver->Save(prefix));
        cleanup();
        QVERIFY(StartTransferServices());
        QSignalSpy loaded(tqm.get(), &TQM::TransfersLoaded);
        saver->Load(prefix);
        QCOMPARE(loaded.count(), 1);
        const ItemPtr b = tqm->GetDownloadEntry("bob", "a", "Music\\A");
        QStringList got;
        for (const char* type :
             {"file_size", "subfolder_save_level", "download_entry_status", "single_download",
              "remote_transfer_req", "place_in_line", "last_status_change_time"})
            got << b.HasItem(type).AsString();
        QCOMPARE(got, (QStringList{"1000", "2", "queued", "", "", "", ""}));
        QCOMPARE(Status(tqm->GetDownloadEntry("bob", "c", "F")), QString("complete"));
        QCOMPARE(Status(tqm->GetDownloadEntry("dave", "e", "F")), QString("queued"));
        QVERIFY(User("bob").IsConnected("is_tracked") && User("dave").IsConnected("is_tracked"));
        QVERIFY(GetSetting("upload_slots") == "1" &&
                GetSetting("max_queued_uploads_per_user") == "10");
        QVERIFY(!TQM::HasExcludedDownloadExtension("a.ini"));
        saver->Load(tmp->path() + "/nothing/t");
        QVERIFY(TQM::HasExcludedDownloadExtension("setup.INI"));
        QVERIFY(!TQM::HasExcludedDownloadExtension("a.ini.mp3"));
    }
    // The per-transfer share follows the active count.
    void downloadLimit() {
        SetSetting("download_speed_limit", "100");
        tqm->EnableDownloadSpeedLimit(true);
        const ItemPtr a = Add("a", "F", 1), b = Add("b", "F", 1);
        tqm->SetDownloadEntryStatus(a, TQM::kDownloading);
        tqm->SetDownloadEntryStatus(b, TQM::kDownloading);
        QCOMPARE(DownloadRateLimiter().PerTransferLimit(), 50);
        tqm->SetDownloadEntryStatus(b, TQM::kAborted);
        QCOMPARE(DownloadRateLimiter().PerTransferLimit(), 100);
        tqm->SetDownloadEntryStatus(a, TQM::kAborted);
    }
    // A folder of small files, one after another as the queue runs them,
    // under the window's limit of 1 KB/s each way: measured on the limiter's
    // clock over the folder, they take their time at the limit.
    void limitsOverAFolder_data() {
        QTest::addColumn<bool>("upload");
        QTest::newRow("upload limit") << true;
        QTest::newRow("download limit") << false;
    }
    void limitsOverAFolder() {
        QFETCH(bool, upload);
        for (RateLimiter* limiter : {&UploadRateLimiter(), &DownloadRateLimiter()})
            limiter->SetClock([this] { return m_now.load(); }, [this](qint64 ms) { m_now += ms; });
        m_clockDriven = true;
        m_now = 0;
        SetSetting(upload ? "upload_speed_limit" : "download_speed_limit", 1);
        if (upload) {
            tqm->EnableUploadSpeedLimit(true);
            Reachable();
        } else {
            tqm->EnableDownloadSpeedLimit(true);
        }
        const QByteArray bytes = Pattern(1000);  // as each of M/a..d holds
        quint32 req = 70;
        for (const QString name : {"a", "b", "c", "d"}) {
            if (upload) {
                const QString file = "M/" + name;
                Ask("bob", file);
                QCOMPARE(Sent(), QStringList{"40 " + W(file)});
                Answer("bob", file, true);
                QVERIFY(TakeFileConnection(file, 0));
                QCOMPARE(bob->ReadRaw(bytes.size(), kWait), bytes);
                bob->Close();
                QTRY_COMPARE_WITH_TIMEOUT(Status("bob", file), QString("complete"), kWait);
            } else {
                const ItemPtr entry = Add(qPrintable(name), "F", bytes.size());
                int f = -1;
                QCOMPARE(Offer(++req, "F\\" + name, bytes.size(), &f), qint64(0));
                bob->SendRawOn(f, bytes);
                QTRY_COMPARE_WITH_TIMEOUT(Status(entry), QString("complete"), kWait);
                QCOMPARE(ReadFile(Root() + "/complete/F/" + name), bytes);
            }
        }
        const qint64 atLimit = 4 * bytes.size() * 1000 / 1024;
        QVERIFY2(m_now >= atLimit - 1,
                 qPrintable(QString("%1 ms for %2 ms").arg(m_now.load()).arg(atLimit)));
    }
    // The tick: PM 43 after ten minutes and PM 51 every ten, in download
    // order, for online users without a running download.
    void requeuesAndPlaces() {
        RawPeer carol, dave;
        QVERIFY(ConnectAsPeer(carol, "carol") && ConnectAsPeer(dave, "dave"));
        SetSetting("transfer_order_counter", 9);  // "9" before "10": numeric order
        const ItemPtr a = Add("a", "F", 1);
        Add("b", "F", 1);
        tqm->SetDownloadEntryStatus(Add("x", "F", 1), TQM::kComplete);
        tqm->AddDownload("carol", "c", "F", 1, false, 0);
        tqm->AddDownload("dave", "d", "F", 1, false, 0);
        const ItemPtr running = tqm->AddDownload("dave", "r", "F", 1, false, 0);
        Online("bob");
        Online("dave");
        tqm->SetDownloadEntryStatus(running, TQM::kDownloading);
        Drain(*bob);
        Drain(dave);
        for (const char* u : {"bob", "carol", "dave"})
            for (const char* type : {"last_queue_request_time", "next_place_in_line_request_time"})
                User(u).Disconnect(type);
        tqm->EveryHalfMinute();  // the re-queue puts the places off
        QCOMPARE(Drain(*bob), (QStringList{"43 F\\a", "43 F\\b"}));
        QVERIFY(Drain(carol).isEmpty() && Drain(dave).isEmpty());
        SetTime(User("bob"), "last_queue_request_time", Ago(540));
        SetTime(User("bob"), "next_place_in_line_request_time", Ago(1));
        tqm->EveryHalfMinute();
        QCOMPARE(Drain(*bob), (QStringList{"51 F\\a", "51 F\\b"}));
        tqm->EveryHalfMinute();
        QCOMPARE(Drain(*bob), QStringList());
        // Denied is neither queued nor asked about.
        tqm->SetDownloadEntryStatus(a, TQM::kDenied);
        SetTime(User("bob"), "last_queue_request_time", Ago(601));
        tqm->EveryHalfMinute();
        SetTime(User("bob"), "next_place_in_line_request_time", Ago(0));
        tqm->EveryHalfMinute();
        QCOMPARE(Drain(*bob), (QStringList{"43 F\\b", "51 F\\b"}));
        // Once the run ends the user is looked after again; a finished file is found.
        tqm->SetDownloadEntryStatus(running, TQM::kAborted);
        User("dave").Disconnect("last_queue_request_time");
        QVERIFY(Write(Root() + "/complete/F/d", "x"));
        tqm->EveryHalfMinute();
        QCOMPARE(Drain(dave), QStringList{"43 F\\r"});
        QCOMPARE(Status(tqm->GetDownloadEntry("dave", "d", "F")), QString("complete"));
    }
    // A whole download moved and recorded; bad tokens refused; a resume after
    // an early close; no second connection for a running download.
    void fileConnection() {
        QSignalSpy added(tqm.get(), &TQM::CompleteDownloadAdded);
        const QByteArray data = Pattern(30000);
        const ItemPtr a = Add("a.mp3", "Music\\Artist\\Album", 30000, 1);
        int f = -1;
        QCOMPARE(Offer(7, "Music\\Artist\\Album\\a.mp3", 30000, &f), qint64(0));
        QTRY_COMPARE_WITH_TIMEOUT(Status(a), QString("downloading"), kWait);
        bob->SendRawOn(f, data);
        QTRY_COMPARE_WITH_TIMEOUT(Status(a), QString("complete"), kWait);
        QCOMPARE(ReadFile(Root() + "/complete/Artist/Album/a.mp3"), data);
        QVERIFY(!QFileInfo::exists(Root() + "/downloading/Artist") &&
                QFileInfo::exists(Root() + "/downloading"));
        QCOMPARE(added.count(), 1);
        const ItemPtr record = added.at(0).at(0).value<ItemPtr>();
        QStringList fields;
        for (const char* type :
             {"user", "complete_download_folder", "complete_download_filename",
              "complete_download_relative_folder", "complete_download_file_size"})
            fields << record.HasItem(type).AsString();
        QCOMPARE(fields, (QStringList{"bob", Wire(Root()) + "\\complete\\Artist\\Album", "a.mp3",
                                      "Artist\\Album", "30000"}));
        const ItemPtr b = Add("b.bin", "S\\CD1", 20000);
        QCOMPARE(Request(8, "S\\CD1\\b.bin", 20000), QString("accept"));
        QVERIFY(Refused(Connect(7)) && Refused(Connect(99)) && Refused(Connect(8, "carol")));
        QCOMPARE(Status(b), QString("queued"));
        const QByteArray other = Pattern(20003).mid(3);
        f = Connect(8);
        bob->SendRawOn(f, other.left(8192 + 100));
        bob->CloseOn(f);
        QTRY_COMPARE_WITH_TIMEOUT(Status(b), QString("aborted"), kWait);
        QCOMPARE(QFileInfo(Root() + "/downloading/CD1/b.bin").size(), qint64(8192 + 100));
        QVERIFY(!tqm->DoesDownloadItemCompleteFilenameExist(b));
        QCOMPARE(Offer(9, "S\\CD1\\b.bin", 20000, &f), qint64(8192 + 100));
        QTRY_COMPARE_WITH_TIMEOUT(Status(b), QString("downloading"), kWait);
        QVERIFY(Refused(Connect(9)));
        bob->SendRawOn(f, other.mid(8192 + 100));
        QTRY_COMPARE_WITH_TIMEOUT(Status(b), QString("complete"), kWait);
        QCOMPARE(ReadFile(Root() + "/complete/CD1/b.bin"), other);
    }
    // Files of one name from two users share one partial: while one download
    // writes it, the other's file connection is refused, and the first
    // arrives whole.
    void sharedPartial() {
        RawPeer carol;
        QVERIFY(ConnectAsPeer(carol, "carol"));
        const QByteArray data = Pattern(30000);
        const ItemPtr mine = Add("same.bin", "X\\Album", 30000);
        const ItemPtr theirs = tqm->AddDownload("carol", "same.bin", "Y\\Album", 30000, false, 0);
        const QString partial = tqm->GetDownloadTargetPath(mine, false);
        QCOMPARE(tqm->GetDownloadTargetPath(theirs, false), partial);
        int f = -1;
        QCOMPARE(Offer(21, "X\\Album\\same.bin", 30000, &f), qint64(0));
        QTRY_COMPARE_WITH_TIMEOUT(Status(mine), QString("downloading"), kWait);
        bob->SendRawOn(f, data.left(10000));
        QCOMPARE(RequestFrom(carol, 22, "Y\\Album\\same.bin", 30000), QString("accept"));
        QVERIFY(Refused(Connect(22, "carol")));
        QCOMPARE(Status(theirs), QString("queued"));
        bob->SendRawOn(f, data.mid(10000));
        QTRY_COMPARE_WITH_TIMEOUT(Status(mine), QString("complete"), kWait);
        QCOMPARE(ReadFile(Root() + "/complete/Album/same.bin"), data);
    }
    // A stale oversized partial and a name clash; no split folders; an empty
    // file; a stalled one aborted by hand; a remote folder climbing out.
    void fileConnectionEdges() {
        QVERIFY(Write(Root() + "/downloading/X/c.mp3", QByteArray(4000, 'z')));
        QVERIFY(Write(Root() + "/complete/X/c.mp3", "other"));
        const ItemPtr c = Add("c.mp3", "Y\\X", 1000);
        int f = -1;
        QCOMPARE(Offer(3, "Y\\X\\c.mp3", 1000, &f), qint64(0));
        bob->SendRawOn(f, Pattern(1000));
        QTRY_COMPARE_WITH_TIMEOUT(Status(c), QString("complete"), kWait);
        QCOMPARE(ReadFile(Root() + "/complete/X/c.mp3"), QByteArray("other"));
        QCOMPARE(ReadFile(Root() + "/complete/X/c (1).mp3"), Pattern(1000));
        SetSetting("dont_split_downloads", "yes");
        const ItemPtr z = Add("z", "S", 0);
        QCOMPARE(Offer(4, "S\\z", 0, &f), qint64(0));
        QTRY_COMPARE_WITH_TIMEOUT(Status(z), QString("complete"), kWait);
        QVERIFY(QFileInfo(Root() + "/S/z").isFile());
        // Aborting stops the waiting thread and drops every run-time value.
        const ItemPtr s = Add("s", "S", 100);
        QCOMPARE(Offer(2, "S\\s", 100, &f), qint64(0));
        QTRY_COMPARE_WITH_TIMEOUT(Status(s), QString("downloading"), kWait);
        tqm->SetDownloadEntryStatus(s, TQM::kAborted);
        for (const char* gone : {"download_thread", "download_file", "download_socket",
                                 "write_position", "last_receipt_time", "bytes_per_second",
                                 "last_speed_measurement_time", "bytes_since_last_receipt"})
            QVERIFY2(s.HasItem(gone).IsNull(), gone);
        QVERIFY(bob->WaitForDisconnectOn(f, kWait));
        const ItemPtr bad = Add("evil", "..", 10);
        QVERIFY(tqm->GetDownloadTargetPath(bad, false).isEmpty());
        QCOMPARE(Request(1, "..\\evil", 10), QString("accept"));
        QVERIFY(Refused(Connect(1)));
        QCOMPARE(Status(bad), QString("local error"));
        QVERIFY(!QFileInfo::exists(tmp->path() + "/evil"));
        // Quitting mid-download frees the run-time values (the sanitizer run
        // counts leaks) and keeps the status for the next start; the manager
        // is gone for the rest of the test.
        const ItemPtr q = Add("q", "S", 100);
        QCOMPARE(Offer(5, "S\\q", 100, &f), qint64(0));
        QTRY_COMPARE_WITH_TIMEOUT(Status(q), QString("downloading"), kWait);
        tqm.reset();
        QVERIFY(q.HasItem("write_position").IsNull() && Status(q) == "downloading");
    }
    // Without split folders the partial lies among the user's own files: a
    // file of that name the download did not start stays as it is, smaller
    // or larger, and the download takes a free name; its own partial goes on,
    // also after a restart.
    void dontSplitLeavesOtherFiles() {
        SetSetting("dont_split_downloads", "yes");
        const QByteArray data = Pattern(20000);
        QVERIFY(Write(Root() + "/F/small.bin", "MY"));
        QVERIFY(Write(Root() + "/F/large.bin", QByteArray(30000, 'L')));
        int f = -1;
        quint32 req = 30;
        for (const QString name : {"small", "large"}) {
            const ItemPtr e = Add(qPrintable(name + ".bin"), "S\\F", 20000);
            QVERIFY(!tqm->DoesDownloadItemCompleteFilenameExist(e));
            QCOMPARE(Offer(++req, "S\\F\\" + name + ".bin", 20000, &f), qint64(0));
            bob->SendRawOn(f, data);
            QTRY_COMPARE_WITH_TIMEOUT(Status(e), QString("complete"), kWait);
            QCOMPARE(tqm->GetDownloadTargetPath(e, true), Wire(Root() + "/F/" + name + " (1).bin"));
            QCOMPARE(ReadFile(Root() + "/F/" + name + " (1).bin"), data);
            QVERIFY(tqm->DoesDownloadItemCompleteFilenameExist(e));
        }
        QCOMPARE(ReadFile(Root() + "/F/small.bin"), QByteArray("MY"));
        QCOMPARE(ReadFile(Root() + "/F/large.bin"), QByteArray(30000, 'L'));

        // Our own partial, cut short; the client restarts and resumes it.
        const ItemPtr own = Add("own.bin", "S\\F", 20000);
        QCOMPARE(Offer(++req, "S\\F\\own.bin", 20000, &f), qint64(0));
        bob->SendRawOn(f, data.left(8192 + 100));
        bob->CloseOn(f);
        QTRY_COMPARE_WITH_TIMEOUT(Status(own), QString("aborted"), kWait);
        QCOMPARE(QFileInfo(Root() + "/F/own.bin").size(), qint64(8192 + 100));
        const QString prefix = tmp->path() + "/store/t";
        QVERIFY(QDir().mkpath(tmp->path() + "/store"));
        QVERIFY(saver->Save(prefix));
        cleanup();
        bob.reset(new RawPeer);
        QVERIFY(StartTransferServices() && ConnectAsPeer(*bob, "bob"));
        saver->Load(prefix);
        const ItemPtr again = tqm->GetDownloadEntry("bob", "own.bin", "S\\F");
        QCOMPARE(Status(again), QString("queued"));
        QCOMPARE(Offer(++req, "S\\F\\own.bin", 20000, &f), qint64(8192 + 100));
        bob->SendRawOn(f, data.mid(8192 + 100));
        QTRY_COMPARE_WITH_TIMEOUT(Status(again), QString("complete"), kWait);
        QCOMPARE(ReadFile(Root() + "/F/own.bin"), data);
        QVERIFY(!QFileInfo::exists(Root() + "/F/own (1).bin"));
    }
    // A download cut short, then retried after a setting moved where its
    // file goes, onto a user's file of that name: the user's file stays as it
    // is and the download is written whole under a free name. Paths are below
    // the temporary folder; "dl" is the download folder at the first attempt.
    void foreignFileAfterSettingsChange_data() {
        QTest::addColumn<QStringList>("before");  // settings at the first attempt
        QTest::addColumn<QStringList>("after");   // settings at the retry
        QTest::addColumn<bool>("single");
        QTest::addColumn<QString>("users");  // the user's file
        QTest::addColumn<QByteArray>("userBytes");
        QTest::addColumn<QString>("written");  // where the download ends
        const QStringList dontSplit{"dont_split_downloads=yes"};
        const QByteArray large(30000, 'L');
        QTest::newRow("folder moved, user's file larger")
            << dontSplit << QStringList{"download_folder=dl2"} << false << "dl2/F/own.bin" << large
            << "dl2/F/own (1).bin";
        QTest::newRow("folder moved, user's file smaller")
            << dontSplit << QStringList{"download_folder=dl2"} << false << "dl2/F/own.bin"
            << QByteArray("MY") << "dl2/F/own (1).bin";
        QTest::newRow("split turned off") << QStringList() << dontSplit << false << "dl/F/own.bin"
                                          << QByteArray("MY") << "dl/F/own (1).bin";
        QTest::newRow("split turned on")
            << dontSplit << QStringList{"dont_split_downloads=no"} << false
            << "dl/downloading/F/own.bin" << large << "dl/complete/F/own.bin";
        QTest::newRow("partial replaced by the user's file of that name")
            << dontSplit << QStringList() << false << "dl/F/own.bin" << QByteArray("MY")
            << "dl/F/own (1).bin";
        QTest::newRow("partial replaced by the user's larger file of that name")
            << dontSplit << QStringList() << false << "dl/F/own.bin" << large << "dl/F/own (1).bin";
        QTest::newRow("single-download subfolders turned off")
            << dontSplit << QStringList{"dont_create_subfolders_for_single_downloads=yes"} << true
            << "dl/own.bin" << QByteArray("MY") << "dl/own (1).bin";
    }
    void foreignFileAfterSettingsChange() {
        QFETCH(QStringList, before);
        QFETCH(QStringList, after);
        QFETCH(bool, single);
        QFETCH(QString, users);
        QFETCH(QByteArray, userBytes);
        QFETCH(QString, written);
        const auto apply = [this](const QStringList& settings) {
            for (const QString& s : settings) {
                const QString value = s.section('=', 1);
                SetSetting(qPrintable(s.section('=', 0, 0)),
                           s.startsWith("download_folder") ? P(value) : value);
            }
        };
        SetSetting("download_folder", P("dl"));
        apply(before);
        const QByteArray data = Pattern(20000);
        const ItemPtr e = tqm->AddDownload("bob", "own.bin", "S\\F", 20000, single, 0);
        int f = -1;
        QCOMPARE(Offer(40, "S\\F\\own.bin", 20000, &f), qint64(0));
        bob->SendRawOn(f, data.left(8192 + 100));
        bob->CloseOn(f);
        QTRY_COMPARE_WITH_TIMEOUT(Status(e), QString("aborted"), kWait);

        apply(after);
        QVERIFY(Write(P(users), userBytes));
        QVERIFY(!tqm->DoesDownloadItemCompleteFilenameExist(e));
        QCOMPARE(Offer(41, "S\\F\\own.bin", 20000, &f), qint64(0));
        bob->SendRawOn(f, data);
        QTRY_COMPARE_WITH_TIMEOUT(Status(e), QString("complete"), kWait);
        QCOMPARE(ReadFile(P(users)), userBytes);
        QCOMPARE(ReadFile(P(written)), data);
        QCOMPARE(tqm->GetDownloadTargetPath(e, true), Wire(P(written)));
    }
    // Entries of a store that recorded only the finished name: a finished
    // one is found under that name, an unfinished one starts afresh under a
    // free name and leaves the file of its name alone.
    void entriesWithOnlyAName() {
        SetSetting("dont_split_downloads", "yes");
        Type* name = d.GetType("local_file_name");
        const ItemPtr done = Add("done.bin", "S\\F", 3);
        done.Connect(name->GetItem(Value("done (1).bin")));
        tqm->SetDownloadEntryStatus(done, TQM::kComplete);
        QCOMPARE(tqm->GetDownloadTargetPath(done, true), Wire(Root() + "/F/done (1).bin"));
        QVERIFY(Write(Root() + "/F/old.bin", "MY"));
        const ItemPtr old = Add("old.bin", "S\\F", 20000);
        old.Connect(name->GetItem(Value("old.bin")));
        tqm->SetDownloadEntryStatus(old, TQM::kAborted);
        int f = -1;
        QCOMPARE(Offer(60, "S\\F\\old.bin", 20000, &f), qint64(0));
        bob->SendRawOn(f, Pattern(20000));
        QTRY_COMPARE_WITH_TIMEOUT(Status(old), QString("complete"), kWait);
        QCOMPARE(ReadFile(Root() + "/F/old.bin"), QByteArray("MY"));
        QCOMPARE(ReadFile(Root() + "/F/old (1).bin"), Pattern(20000));
    }
    // Quitting mid-download, or ending without a save after the last one (a
    // crash, a kill, a failed save at quit): the next start goes on with the
    // partial from its size on disk, which after a crash exceeds the record,
    // also when a report was taken after more had reached the disk ("late")
    // and when the device number changed between the runs. Anything else put
    // at its path meanwhile is left as it is and the download starts afresh
    // under a free name. Split or not; "first" bytes arrive at once before
    // the trickle; "write" puts the user's bytes over the partial in place,
    // "rename" moves a new file onto its name (after the end, or while the
    // download runs), "link" moves the partial away and leaves a link to it;
    // "device", "inode" and "birth" change those parts of the loaded record.
    void resumeAfterQuitMidDownload_data() {
        QTest::addColumn<bool>("split");
        QTest::addColumn<bool>("crash");  // more arrives after the save
        QTest::addColumn<int>("first");
        QTest::addColumn<bool>("late");
        QTest::addColumn<QString>("change");
        QTest::addColumn<bool>("resumes");
        const auto add = [](const char* tag, bool split, bool crash, int first, bool late,
                            const char* change) {
            const QString c(change);
            QTest::newRow(tag) << split << crash << first << late << c
                               << (c.isEmpty() || c == "device");
        };
        add("quit, not split", false, false, 0, false, "");
        add("crash, not split", false, true, 0, false, "");
        add("crash, split", true, true, 0, false, "");
        add("quit after a late report", false, false, 20000, true, "");
        add("crash, device number changed", false, true, 0, false, "device");
        add("crash, device and inode changed", false, true, 0, false, "device inode");
        add("crash, device and birth time changed", false, true, 0, false, "device birth");
        add("crash, user's file written over it", false, true, 0, false, "write");
        add("crash, 64 KiB recorded, user's file written over it", false, true, 70000, false,
            "write");
        add("crash, user's file moved onto its name", false, true, 0, false, "rename");
        add("crash, split, user's file moved onto its name", true, true, 0, false, "rename");
        add("user's file moved onto its name while running", false, false, 0, false,
            "rename running");
        add("crash, partial moved away and a link left at its name", false, true, 0, false, "link");
    }
    void resumeAfterQuitMidDownload() {
        QFETCH(bool, split);
        QFETCH(bool, crash);
        QFETCH(int, first);
        QFETCH(bool, late);
        QFETCH(QString, change);
        QFETCH(bool, resumes);
        SetSetting("dont_split_downloads", split ? "no" : "yes");
        const QString partial = Root() + (split ? "/downloading/F/run.bin" : "/F/run.bin");
        const QString done = Root() + (split ? "/complete/F/" : "/F/");
        const QByteArray data = Pattern(60000 + first);
        const QByteArray users(70000, 'U');
        const auto putUsersFile = [&] {
            if (change == "link")
                return QFile::rename(partial, Root() + "/moved.bin") &&
                       QFile::link(Root() + "/moved.bin", partial);
            if (change.startsWith("write"))
                return Write(partial, users);
            return Write(partial + ".new", users) &&
                   ::rename(QFile::encodeName(partial + ".new").constData(),
                            QFile::encodeName(partial).constData()) == 0;
        };
        const ItemPtr e = Add("run.bin", "S\\F", data.size());
        int f = -1;
        QCOMPARE(Offer(50, "S\\F\\run.bin", data.size(), &f), qint64(0));
        QTRY_COMPARE_WITH_TIMEOUT(Status(e), QString("downloading"), kWait);
        // Progress is reported about twice a second: trickle until a report
        // that covers the first bytes.
        QSignalSpy progressed(tqm.get(), &TQM::DownloadProgressed);
        int sent = first;
        bob->SendRawOn(f, data.left(first));
        const auto trickleUntilReports = [&](int reports) {
            return QTest::qWaitFor(
                [&] {
                    const bool reported = progressed.size() >= reports &&
                                          e.HasItem("local_file_size").AsInt64() >= first;
                    if (!reported && sent < data.size() - 10000) {
                        bob->SendRawOn(f, data.mid(sent, 100));
                        sent += 100;
                    }
                    return reported;
                },
                kWait);
        };
        if (late) {
            // The thread has written past the position it reports by the
            // time the report is taken.
            QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(partial).size() > first / 10, kWait);
            emit TQM::ObjectOf<DownloadThread>(e.HasItem("download_thread"))
                ->DownloadProgress(first / 10, 0);
        } else {
            QVERIFY(trickleUntilReports(1));
        }
        const QString prefix = tmp->path() + "/store/t";
        QVERIFY(QDir().mkpath(tmp->path() + "/store"));
        QVERIFY(saver->Save(prefix));
        const qint64 saved = e.HasItem("local_file_size").AsInt64();
        if (crash)  // more bytes reach the disk, and no save records them
            QVERIFY(trickleUntilReports(2));
        if (change == "rename running")
            QVERIFY(putUsersFile());
        tqm.reset();
        cleanup();
        if (crash)
            QVERIFY(QFileInfo(partial).size() > saved);
        if (change == "write" || change == "rename" || change == "link")
            QVERIFY(putUsersFile());
        const qint64 onDisk = QFileInfo(partial).size();
        const QByteArray before = ReadFile(partial);
        bob.reset(new RawPeer);
        QVERIFY(StartTransferServices() && ConnectAsPeer(*bob, "bob"));
        SetSetting("download_folder", Root());
        SetSetting("dont_split_downloads", split ? "no" : "yes");
        saver->Load(prefix);
        const ItemPtr again = tqm->GetDownloadEntry("bob", "run.bin", "S\\F");
        if (change.startsWith("device")) {
            QStringList identity = again.HasItem("local_file_identity").AsString().split(':');
            if (change.endsWith("birth") && identity.size() < 3)
                QSKIP("The temporary folder's file system records no birth times");
            identity[0] = QString::number(identity[0].toULongLong() + 1);
            if (change.endsWith("inode"))
                identity[1] = QString::number(identity[1].toULongLong() + 1);
            if (change.endsWith("birth"))
                identity[2] = QString::number(identity[2].section('.', 0, 0).toLongLong() + 1) +
                              '.' + identity[2].section('.', 1);
            again.Connect(d.GetType("local_file_identity")->GetItem(Value(identity.join(':'))));
        }
        // The partial checked is the one written: it is opened once.
        const int opens = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        QVERIFY(inotify_add_watch(opens, QFile::encodeName(partial).constData(),
                                  IN_OPEN | IN_CLOSE | IN_DONT_FOLLOW) >= 0);
        const qint64 offset = Offer(51, "S\\F\\run.bin", data.size(), &f);
        const int openCount = OpenEvents(opens);
        QCOMPARE(offset, resumes ? onDisk : 0);
        QVERIFY2(offset > 0 || !resumes, qPrintable(QString::number(offset)));
        if (resumes)
            QCOMPARE(openCount, 1);
        bob->SendRawOn(f, data.mid(offset));
        QTRY_COMPARE_WITH_TIMEOUT(Status(again), QString("complete"), kWait);
        if (resumes) {
            QCOMPARE(ReadFile(done + "run.bin"), data);
            QVERIFY(!QFileInfo::exists(done + "run (1).bin"));
            QVERIFY(!split || !QFileInfo::exists(partial));
        } else {
            QCOMPARE(ReadFile(partial), before);
            QCOMPARE(ReadFile(done + (split ? "run.bin" : "run (1).bin")), data);
        }
        QCOMPARE(QFileInfo(partial).isSymLink(), change == "link");
    }
    // A partial begun after the last save, then a crash: the journal beside
    // the store gives the next start the partial's records, which go on from
    // its size on disk, split or not. A torn record at the journal's end is
    // dropped and the earlier ones still count; a download removed before the
    // crash stays removed, also when the save before held it; a finished
    // download removed, its file deleted and begun again goes on as the new
    // one.
    void journalAfterCrash_data() {
        QTest::addColumn<bool>("split");
        QTest::addColumn<QString>("then");
        QTest::newRow("split") << true << "";
        QTest::newRow("not split") << false << "";
        QTest::newRow("begun after a save") << false << "saved first";
        QTest::newRow("torn record at the end") << false << "torn";
        QTest::newRow("removed before the crash") << true << "removed";
        QTest::newRow("saved, then removed before the crash") << true << "saved, removed";
        QTest::newRow("finished before the crash") << true << "finished";
        QTest::newRow("finished, saved, removed and begun again") << true << "again";
        QTest::newRow("not split: finished, saved, removed and begun again") << false << "again";
        QTest::newRow("removed and saved, journal older than the store") << true << "stale";
        QTest::newRow("a folder at the journal's temporary name") << true << "tmp folder";
    }
    void journalAfterCrash() {
        QFETCH(bool, split);
        QFETCH(QString, then);
        const QString prefix = tmp->path() + "/store/t";
        QVERIFY(QDir().mkpath(tmp->path() + "/store"));
        const auto start = [&] {
            SetSetting("download_folder", Root());
            SetSetting("dont_split_downloads", split ? "no" : "yes");
            saver->Load(prefix);
        };
        if (then == "tmp folder")
            QVERIFY(QDir().mkpath(prefix + ".partials.tmp/x"));
        start();
        if (then == "saved first")
            QVERIFY(saver->Save(prefix));
        const QString partial = Root() + (split ? "/downloading/F/new.bin" : "/F/new.bin");
        const QString done = Root() + (split ? "/complete/F/" : "/F/");
        const QByteArray data = Pattern(60000);
        ItemPtr e;
        int f = -1, sent = 0;
        // Added and accepted; the first bytes written and reported.
        const auto begin = [&](quint32 req) {
            e = Add("new.bin", "S\\F", 60000);
            if (Offer(req, "S\\F\\new.bin", 60000, &f) != 0)
                return false;
            QSignalSpy progressed(tqm.get(), &TQM::DownloadProgressed);
            sent = 0;
            return QTest::qWaitFor(
                [&] {
                    if (progressed.isEmpty() && sent < 50000)
                        bob->SendRawOn(f, data.mid((sent += 100) - 100, 100));
                    return !progressed.isEmpty();
                },
                kWait);
        };
        QVERIFY(begin(70));
        const QString journal = prefix + ".partials";
        if (then == "finished" || then == "again") {
            bob->SendRawOn(f, data.mid(sent));
            QTRY_COMPARE_WITH_TIMEOUT(Status(e), QString("complete"), kWait);
        }
        if (then == "saved, removed" || then == "again")
            QVERIFY(saver->Save(prefix));
        // As if the crash came between the store's save and the journal's restart.
        if (then == "stale")
            QVERIFY(QFile::copy(journal, journal + ".old"));
        if (then == "removed" || then == "stale" || then == "saved, removed" || then == "again")
            tqm->RemoveDownload(e);
        if (then == "stale")
            QVERIFY(saver->Save(prefix));
        if (then == "again") {
            QVERIFY(QFile::remove(done + "new.bin"));
            QVERIFY(begin(72));
        }
        tqm.reset();
        cleanup();
        if (then == "stale")
            QVERIFY(QFile::remove(journal) && QFile::rename(journal + ".old", journal));
        if (then == "torn") {
            PartialJournal::Record other;
            other.user = "carol", other.fileName = "other.bin", other.path = "/x/other.bin";
            const QByteArray record = PartialJournal::Encode(other);
            QFile file(journal);
            QVERIFY(file.open(QIODevice::Append) && file.write(record.left(record.size() / 2)) > 0);
        }
        const qint64 onDisk = QFileInfo(partial).size();
        QVERIFY(onDisk > 0 || then == "finished");
        bob.reset(new RawPeer);
        QVERIFY(StartTransferServices() && ConnectAsPeer(*bob, "bob"));
        start();
        const ItemPtr again = tqm->GetDownloadEntry("bob", "new.bin", "S\\F");
        QVERIFY(tqm->GetDownloadEntry("carol", "other.bin", "").IsNull());
        if (then == "removed" || then == "stale" || then == "saved, removed") {
            QVERIFY(again.IsNull());
            return;
        }
        if (then == "finished") {
            QCOMPARE(Status(again), QString("complete"));
            return;
        }
        QCOMPARE(Status(again), QString("queued"));
        QCOMPARE(Offer(71, "S\\F\\new.bin", 60000, &f), onDisk);
        bob->SendRawOn(f, data.mid(int(onDisk)));
        QTRY_COMPARE_WITH_TIMEOUT(Status(again), QString("complete"), kWait);
        QCOMPARE(ReadFile(done + "new.bin"), data);
        QCOMPARE(QDir(done).entryList(QDir::Files), QStringList{"new.bin"});
        QVERIFY(!split || !QFileInfo::exists(partial));
        if (then == "tmp folder")
            QVERIFY(QFileInfo(prefix + ".partials.tmp.aside/x").isDir());
    }
    // The journal's reader on every cut of a good journal (each cut keeps the
    // records wholly before it), and on random and mutated bytes.
    void journalParser() {
        std::vector<PartialJournal::Record> records(3);
        QByteArray image = PartialJournal::Header(42);
        QList<int> ends;
        for (int k = 0; k < 3; ++k) {
            PartialJournal::Record& r = records[std::size_t(k)];
            r.forget = k == 2;
            r.user = "bob", r.remoteFolder = "S\\F", r.fileName = "f" + std::to_string(k);
            r.fileSize = 1000 + k, r.single = k == 1, r.level = k, r.size = 10 * k;
            r.path = QString("/dl/f%1").arg(k), r.identity = "1:2:3.4", r.head = "10:abc";
            image += PartialJournal::Encode(r);
            ends << image.size();
        }
        std::uint64_t number = 0;
        std::vector<PartialJournal::Record> read;
        QString note;
        for (int cut = PartialJournal::kHeaderSize; cut <= image.size(); ++cut) {
            QVERIFY(PartialJournal::Parse(image.left(cut), &number, &read, &note));
            const int whole =
                int(std::count_if(ends.begin(), ends.end(), [&](int end) { return end <= cut; }));
            QCOMPARE(int(read.size()), whole);
            QCOMPARE(note.isEmpty(), ends.contains(cut) || cut == PartialJournal::kHeaderSize);
        }
        QCOMPARE(number, std::uint64_t(42));
        QCOMPARE(read[1].path, QString("/dl/f1"));
        QVERIFY(read[1].single && read[2].forget && read[0].head == "10:abc");
        QVERIFY(!PartialJournal::Parse(image.left(PartialJournal::kHeaderSize - 1), &number, &read,
                                       &note));
        fuzz::Rng rng(7);
        for (int k = 0; k < 3000; ++k) {
            const QByteArray bytes =
                k % 3 == 0 ? fuzz::RandomBytes(rng, 200) : fuzz::Mutate(rng, image);
            PartialJournal::Parse(bytes, &number, &read, &note);
            QVERIFY(read.size() <= 3 || bytes.size() > image.size());
        }
    }
    // Many records of one download: the file is rewritten with the last one
    // instead of growing, and reads back as that record. A download removed
    // before keeps its removal, not its record, through the rewrites.
    void journalStaysBounded() {
        const QString path = tmp->path() + "/j.partials";
        PartialJournal::Record r = Named("f");
        r.path = "/dl/" + QString(200, QLatin1Char('x'));
        PartialJournal::Record gone = Named("gone");
        {
            PartialJournal journal;
            QVERIFY(journal.Open(path, 5).empty());
            journal.Append(gone);
            gone.forget = true;
            journal.Append(gone);
            for (int k = 0; k < 20000; ++k) {
                r.size = k;
                journal.Append(r);
            }
        }
        QVERIFY(QFileInfo(path).size() < PartialJournal::kCompactBytes + 65536);
        const std::vector<PartialJournal::Record> read = PartialJournal().Open(path, 5);
        QCOMPARE(int(read.size()), 2);
        const bool goneFirst = read[0].fileName == "gone";
        const PartialJournal::Record& removal = read[goneFirst ? 0 : 1];
        const PartialJournal::Record& last = read[goneFirst ? 1 : 0];
        QVERIFY(removal.forget && removal.removed && removal.fileName == "gone");
        QCOMPARE(last.size, qint64(19999));
        QVERIFY(!last.forget && !last.removed);
        // Older than the store: nothing.
        QVERIFY(PartialJournal().Open(path, 6).empty());
    }
    // On a disk that stays full, or whose syncs fail for want of room or
    // quota, the journal is written again after 1 s, then at doubling waits
    // up to a minute, not every second; once there is room again the record
    // is written and reads back. On a disk that offers no sync, records are
    // written at once. The writer's clock is driven: each wait stands in
    // for that much time.
    void journalBacksOffOnAFullDisk_data() {
        QTest::addColumn<int>("syncError");  // 0: a file size limit fills the disk
        QTest::addColumn<bool>("fails");
        QTest::newRow("a full disk") << 0 << true;
        QTest::newRow("sync fails: ENOSPC") << ENOSPC << true;
        QTest::newRow("sync fails: EDQUOT") << EDQUOT << true;
        QTest::newRow("no sync offered: EINVAL") << EINVAL << false;
        QTest::newRow("no sync offered: ENOSYS") << ENOSYS << false;
        QTest::newRow("no sync offered: EOPNOTSUPP") << EOPNOTSUPP << false;
    }
    void journalBacksOffOnAFullDisk() {
        QFETCH(int, syncError);
        QFETCH(bool, fails);
        const QString path = tmp->path() + "/j.partials";
        PartialJournal::Record r = Named("f");
        r.path = "/dl/" + QString(200, QLatin1Char('x'));
        constexpr qint64 kTenMinutes = 600000;
        std::mutex mutex;
        std::condition_variable changed;
        std::vector<qint64> waits;
        qint64 clock = 0;
        bool room = false, appended = false;
        PartialJournal journal;
        journal.SetRetryWait([&](std::chrono::milliseconds wait) {
            std::unique_lock<std::mutex> lock(mutex);
            waits.push_back(wait.count());
            clock += wait.count();
            changed.notify_all();
            changed.wait(lock, [&] { return room || (appended && clock < kTenMinutes); });
        });
        const auto set = [&](bool& flag) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                flag = true;
            }
            changed.notify_all();
        };
        // A failed check must not leave the writer waiting for ever.
        const std::unique_ptr<void, std::function<void(void*)>> atEnd(&room,
                                                                      [&](void*) { set(room); });
        // Its writer, started on this thread, writes to that disk.
        bool opened = false;
        std::thread([&] {
            opened = (!syncError || DiskRefuses(0, syncError)) && journal.Open(path, 5).empty();
        }).join();
        QVERIFY(opened);
        if (!syncError || !fails)
            QVERIFY(journal.WaitWritten(1, nullptr));
        std::uint64_t number = 0;
        {
            std::unique_ptr<FileSizeLimit> full;
            if (!syncError)
                full.reset(new FileSizeLimit(PartialJournal::kHeaderSize + 16));
            number = journal.Append(r);
            set(appended);
            if (fails) {
                std::unique_lock<std::mutex> lock(mutex);
                QVERIFY(changed.wait_for(lock, std::chrono::milliseconds(kWait),
                                         [&] { return clock >= kTenMinutes; }));
                // The first write, and one after each wait begun in those ten minutes.
                const std::vector<qint64> first{1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000};
                QVERIFY(waits.size() >= first.size());
                QVERIFY(std::equal(first.begin(), first.end(), waits.begin()));
                QVERIFY2(waits.size() + 1 <= 16, qPrintable(QString::number(waits.size() + 1)));
            }
        }
        if (syncError && fails) {
            QVERIFY(journal.Failing());
            return;
        }
        set(room);
        QString why;
        QVERIFY2(journal.WaitWritten(number, nullptr, &why), qPrintable(why));
        QVERIFY(!journal.Failing());
        QVERIFY(fails || waits.empty());
        std::vector<PartialJournal::Record> read;
        QVERIFY(ReadJournal(path, &read));
        QCOMPARE(int(read.size()), 1);
        QCOMPARE(read[0].path, r.path);
    }
    // Random records as the writer takes them, names with NULs, empty fields
    // and odd text: each reads back as written, each download under its own
    // key, also after a start's rewrite. Text no UTF-8 carries is refused by
    // the writer instead of read back as other text.
    void journalRoundTrip() {
        fuzz::Rng rng(11);
        std::vector<PartialJournal::Record> records;
        std::map<std::string, std::size_t> keys;
        const auto add = [&](const PartialJournal::Record& r) {
            if (keys.emplace(PartialJournal::KeyOf(r), records.size()).second)
                records.push_back(r);
        };
        PartialJournal::Record r = Named("y");
        r.remoteFolder = "x";
        r.fileName = std::string("y\0z", 3);
        add(r);
        r.remoteFolder = std::string("x\0y", 3), r.fileName = "z";
        add(r);
        r.user = QString(QChar(0)) + "bob";
        add(r);
        r.user.clear(), r.remoteFolder.clear(), r.fileName.clear(), r.path.clear();
        add(r);
        QCOMPARE(int(records.size()), 4);
        for (int k = 0; k < 500; ++k) {
            r.forget = fuzz::Below(rng, 5) == 0;
            r.complete = !r.forget && fuzz::Below(rng, 2);
            r.user = RandomText(rng);
            r.remoteFolder = RandomName(rng), r.fileName = RandomName(rng);
            r.fileSize = qint64(rng()) << fuzz::Below(rng, 31);
            r.single = fuzz::Below(rng, 2), r.level = fuzz::Below(rng, 4097);
            r.path = RandomText(rng), r.identity = RandomText(rng), r.head = RandomText(rng);
            r.size = qint64(rng());
            add(r);
        }
        QByteArray image = PartialJournal::Header(3);
        for (const PartialJournal::Record& w : records) {
            const QByteArray bytes = PartialJournal::Encode(w);
            QVERIFY(!bytes.isEmpty());
            image += bytes;
        }
        std::uint64_t number = 0;
        std::vector<PartialJournal::Record> read;
        QString note;
        QVERIFY(PartialJournal::Parse(image, &number, &read, &note));
        QVERIFY2(note.isEmpty(), qPrintable(note));
        QCOMPARE(read.size(), records.size());
        for (std::size_t k = 0; k < read.size(); ++k)
            QVERIFY2(SameRecord(read[k], records[k]), qPrintable(QString::number(k)));
        const QString path = tmp->path() + "/j.partials";
        QVERIFY(Write(path, image));
        for (int start = 0; start < 2; ++start) {  // the second reads the first's rewrite
            PartialJournal journal;
            read = journal.Open(path, 3);
            QCOMPARE(read.size(), records.size());
            for (const PartialJournal::Record& back : read) {
                const auto at = keys.find(PartialJournal::KeyOf(back));
                QVERIFY(at != keys.end());
                QVERIFY(SameRecord(back, records[at->second]) && back.removed == back.forget);
            }
        }
        r.user = QString(QChar(0xD800));
        QVERIFY(PartialJournal::Encode(r).isEmpty());
    }
    // Once the writer says a record is written, it is in the file: a
    // download's first byte waits for that.
    void journalWrittenIsOnDisk() {
        const QString path = tmp->path() + "/j.partials";
        PartialJournal journal;
        journal.Open(path, 5);
        std::vector<PartialJournal::Record> read;
        for (int k = 0; k < 30; ++k) {
            const PartialJournal::Record r = Named("f" + std::to_string(k));
            QVERIFY(journal.WaitWritten(journal.Append(r), {}));
            QVERIFY(ReadJournal(path, &read) && !read.empty() && SameRecord(read.back(), r));
        }
    }
    // A write that fails part way (here past the file size limit, as on a
    // full disk): no later record counts as written until the journal reads
    // whole again, and the records are written, after a failed append, a
    // failed rewrite at start or a failed one after a save, with the next
    // record or, when none comes, on their own. The failure is logged with
    // the system's reason and the path that failed; no descriptor is left
    // open. So too where the disk says only at the close that a write was
    // lost; a rewrite then leaves the old file.
    void journalWriteFailures_data() {
        QTest::addColumn<QString>("failing");
        QTest::addColumn<bool>("alone");
        QTest::addColumn<int>("error");  // EFBIG: a full disk; EIO: at the close
        for (int error : {EFBIG, EIO})
            for (bool alone : {false, true}) {
                const char* then = alone ? ", then nothing" : ", then a record";
                const char* how = error == EIO ? ", at the close" : "";
                QTest::addRow("append%s%s", how, then) << "append" << alone << error;
                QTest::addRow("rewrite at start%s%s", how, then) << "open" << alone << error;
                QTest::addRow("rewrite after a save%s%s", how, then) << "restart" << alone << error;
            }
    }
    void journalWriteFailures() {
        QFETCH(QString, failing);
        QFETCH(bool, alone);
        QFETCH(int, error);
        // Full: writes past the limit fail; EIO: every close fails.
        const auto limit = [&](qint64 size) { return error == EIO ? RLIM_INFINITY : rlim_t(size); };
        const QString closes = error == EIO ? tmp->path() : QString();
        const QString path = tmp->path() + "/j.partials";
        QVERIFY(Write(path, PartialJournal::Header(5) + PartialJournal::Encode(Named("old"))));
        LogLines log;
        QCOMPARE(JournalDescriptors(path), 0);
        std::vector<std::string> expected;
        std::uint64_t store = 5, failed = 0;
        QString why;
        {
            PartialJournal journal;
            const auto inode = [&] {
                struct stat st;
                return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
            };
            const ino_t before = inode();
            if (failing == "open") {
                const FileSizeLimit full(limit(10));
                const DiskFailsClose disk(closes, EIO);
                journal.Open(path, 5);
                QVERIFY(!journal.WaitWritten(failed = journal.Append(Named("a")), {}, &why));
                if (error == EIO)  // the old file stays
                    QCOMPARE(inode(), before);
                expected = {"old", "a"};
            } else {
                journal.Open(path, 5);
                QVERIFY(journal.WaitWritten(journal.Append(Named("a")), {}));
                const FileSizeLimit full(
                    limit(failing == "restart" ? 10 : QFileInfo(path).size() + 10));
                const DiskFailsClose disk(closes, EIO);
                if (failing == "restart")
                    journal.Restart(store = 6);
                QVERIFY(!journal.WaitWritten(failed = journal.Append(Named("b")), {}, &why));
                expected = failing == "restart" ? std::vector<std::string>{"b"}
                                                : std::vector<std::string>{"old", "a", "b"};
            }
            QVERIFY2(why.contains(std::strerror(error)) && why.contains(path), qPrintable(why));
            if (!alone) {
                QVERIFY(journal.WaitWritten(journal.Append(Named("c")), {}));
                expected.push_back("c");
            }
            std::sort(expected.begin(), expected.end());
            std::vector<PartialJournal::Record> read;
            std::uint64_t number = 0;
            const auto names = [&] {
                std::vector<std::string> out;
                if (!ReadJournal(path, &read, &number))
                    return out;
                for (const PartialJournal::Record& r : read)
                    out.push_back(r.fileName);
                std::sort(out.begin(), out.end());
                return out;
            };
            QTRY_VERIFY_WITH_TIMEOUT(names() == expected, kWait);
            QCOMPARE(number, store);
            // The file may read whole a moment before the writer says so.
            QTRY_VERIFY_WITH_TIMEOUT(journal.WaitWritten(failed, {}), kWait);
            QCOMPARE(JournalDescriptors(path), 1);
        }
        QCOMPARE(JournalDescriptors(path), 0);
        QTRY_VERIFY(!log.lines.filter(std::strerror(error)).isEmpty());
        QVERIFY(log.lines.filter("Unknown error").isEmpty());
    }
    // The journal's file, or its folder, removed under the writer: a record
    // appended to the removed file is not reported written; the journal is
    // written anew at its path, at once or, while its folder is missing,
    // once the folder is back: a wait then has it written at once, not at
    // the writer's own next try.
    void journalRemovedUnderTheWriter_data() {
        QTest::addColumn<QString>("removed");
        QTest::newRow("file removed") << "file";
        QTest::newRow("file replaced") << "replaced";
        QTest::newRow("folder removed") << "folder";
    }
    void journalRemovedUnderTheWriter() {
        QFETCH(QString, removed);
        const QString folder = tmp->path() + "/store";
        const QString path = folder + "/j.partials";
        QVERIFY(QDir().mkpath(folder));
        PartialJournal journal;
        journal.Open(path, 5);
        QVERIFY(journal.WaitWritten(journal.Append(Named("a")), {}));
        if (removed == "file")
            QVERIFY(QFile::remove(path));
        if (removed == "replaced")
            QVERIFY(Write(path + ".new", PartialJournal::Header(5)) &&
                    ::rename(QFile::encodeName(path + ".new").constData(),
                             QFile::encodeName(path).constData()) == 0);
        if (removed == "folder")
            QVERIFY(QDir(folder).removeRecursively());
        const std::uint64_t b = journal.Append(Named("b"));
        QString why;
        QCOMPARE(journal.WaitWritten(b, {}, &why), removed != "folder");
        if (removed == "folder") {
            QVERIFY2(why.contains(folder) && why.contains(std::strerror(ENOENT)), qPrintable(why));
            QVERIFY(QDir().mkpath(folder));
            QVERIFY(journal.WaitWritten(b, {}));
        }
        std::vector<PartialJournal::Record> read;
        QTRY_VERIFY_WITH_TIMEOUT(ReadJournal(path, &read) && read.size() == 2, kWait);
        QVERIFY(read[0].fileName == "a" && read[1].fileName == "b");
        // The file may read whole a moment before the writer says so.
        QTRY_VERIFY_WITH_TIMEOUT(journal.WaitWritten(b, {}), kWait);
        QCOMPARE(JournalDescriptors(path), 1);
    }
    // Files put where the journal's own belong: a FIFO, a folder or a link at
    // the journal's name is set aside unread (no hang), as a file that
    // cannot be read would be, with a log line; a link at its temporary
    // file's name is replaced, never followed, and a folder there is set
    // aside with what it holds. The user's file is untouched.
    void journalForeignFiles_data() {
        QTest::addColumn<QString>("what");
        QTest::newRow("FIFO at the journal") << "fifo";
        QTest::newRow("folder at the journal") << "folder";
        QTest::newRow("link at the journal") << "link";
        QTest::newRow("socket at the journal (no open)") << "socket";
        QTest::newRow("link at the temporary file") << "tmp link";
        QTest::newRow("folder at the temporary file") << "tmp folder";
    }
    void journalForeignFiles() {
        QFETCH(QString, what);
        const QString path = tmp->path() + "/j.partials";
        const QString users = tmp->path() + "/users.txt";
        QVERIFY(Write(users, "the user's"));
        if (what == "fifo")
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        // One set aside before is kept too.
        const QString earlier = path + PartialJournal::kUnreadableSuffix;
        if (what == "folder")
            QVERIFY(QDir().mkdir(path) && Write(earlier, "earlier"));
        if (what == "link")
            QVERIFY(QFile::link(users, path));
        if (what == "tmp link")
            QVERIFY(QFile::link(users, path + ".tmp"));
        if (what == "tmp folder")
            QVERIFY(QDir().mkdir(path + ".tmp") && Write(path + ".tmp/kept", "kept"));
        // Opening a socket fails as a file without permission would.
        QLocalServer socket;
        if (what == "socket")
            QVERIFY(socket.listen(path));
        LogLines log;
        {
            PartialJournal journal;
            QVERIFY(journal.Open(path, 5).empty());
            QVERIFY(journal.WaitWritten(journal.Append(Named("a")), {}));
        }
        QCOMPARE(ReadFile(users), QByteArray("the user's"));
        QVERIFY(QFileInfo(path).isFile() && !QFileInfo(path).isSymLink());
        std::vector<PartialJournal::Record> read;
        QVERIFY(ReadJournal(path, &read) && read.size() == 1 && read[0].fileName == "a");
        const QFileInfo aside(earlier + (what == "folder" ? ".1" : ""));
        QCOMPARE(aside.exists() || aside.isSymLink(), !what.startsWith("tmp"));
        if (what == "tmp folder") {
            QVERIFY(!QFileInfo::exists(path + ".tmp"));
            QCOMPARE(ReadFile(path + ".tmp.aside/kept"), QByteArray("kept"));
            QTRY_VERIFY(!log.lines.filter("set aside", Qt::CaseInsensitive)
                             .filter(path + ".tmp")
                             .isEmpty());
        }
        if (what == "fifo")
            QVERIFY(aside.isFile() == false && !aside.isDir() && !aside.isSymLink());
        if (what == "folder")
            QVERIFY(aside.isDir() && ReadFile(earlier) == "earlier");
        if (what != "tmp link")
            QTRY_VERIFY(!log.lines.filter("set aside", Qt::CaseInsensitive).isEmpty());
        if (what == "socket")
            QVERIFY(!log.lines.filter("not a plain file").isEmpty());
    }
    // A download's record that cannot be written (the journal's folder
    // removed under the client): the download writes nothing that a start
    // could not find, and stops with the reason; the record reaches the
    // journal on its own once the folder is back.
    void downloadWaitsForItsRecord() {
        const QString folder = tmp->path() + "/store";
        const QString journal = folder + "/t.partials";
        QVERIFY(QDir().mkpath(folder));
        SetSetting("dont_split_downloads", "yes");
        saver->Load(folder + "/t");
        QTRY_VERIFY(QFileInfo(journal).isFile());
        QVERIFY(QDir(folder).removeRecursively());
        LogLines log;
        const ItemPtr e = Add("new.bin", "S\\F", 60000);
        int f = -1;
        QCOMPARE(Offer(70, "S\\F\\new.bin", 60000, &f), qint64(0));
        bob->SendRawOn(f, Pattern(60000).left(5000));
        QTRY_COMPARE_WITH_TIMEOUT(Status(e), QString("aborted"), kWait);
        QCOMPARE(QFileInfo(Root() + "/F/new.bin").size(), qint64(0));
        QVERIFY(!log.lines.filter("Error downloading new.bin")
                     .filter("partials journal")
                     .filter(std::strerror(ENOENT))
                     .isEmpty());
        QVERIFY(QDir().mkpath(folder));
        std::vector<PartialJournal::Record> read;
        QTRY_VERIFY_WITH_TIMEOUT(
            ReadJournal(journal, &read) && read.size() == 1 && read[0].fileName == "new.bin",
            kWait);
    }
    // Users whose names differ from a NUL on, as a loaded store holds them,
    // each with a download of the same file: the journal brings each record
    // back to its own download.
    void journalNamesWithNul() {
        const QString prefix = tmp->path() + "/store/t";
        QVERIFY(QDir().mkpath(tmp->path() + "/store"));
        const QStringList names{"caro", QString("caro") + QChar(0) + "l",
                                QString(QChar(0)) + "caro", "x"};
        QByteArray image = PartialJournal::Header(0);
        for (int k = 0; k < names.size(); ++k) {
            PartialJournal::Record r = Named("f.bin");
            r.user = names[k];
            r.fileSize = 1000 + k;
            r.path = Root() + QString("/F/f%1.bin").arg(k);
            image += PartialJournal::Encode(r);
        }
        QVERIFY(Write(prefix + ".partials", image));
        saver->Load(prefix);
        QCOMPARE(d.GetType("download_entry")->GetItems().Size(), names.size());
        for (int k = 0; k < names.size(); ++k) {
            const ItemPtr user = d.GetType("user")->HasItem(Value(names[k].toUtf8()));
            ItemSet keys;
            keys.Insert(user);
            keys.Insert(d.GetType("file_name")->HasItem(Value("f.bin")));
            keys.Insert(d.GetType("remote_folder")->HasItem(Value("S")));
            const ItemPtr entry = d.GetItem(keys, "download_entry");
            QVERIFY2(!entry.IsNull(), qPrintable(QString::number(k)));
            QCOMPARE(entry.GetItems("user").Size(), 1);
            QCOMPARE(entry.HasItem("user").AsByteArray(), names[k].toUtf8());
            QCOMPARE(entry.HasItem("file_size").AsInt64(), qint64(1000 + k));
            QCOMPARE(entry.HasItem("local_file_path").AsString(),
                     Root() + QString("/F/f%1.bin").arg(k));
        }
    }
    // A store whose record names another of the user's files (edited or
    // damaged): that file is neither continued nor opened, nor cut at quit.
    void recordNamingAnotherFile() {
        SetSetting("dont_split_downloads", "yes");
        const QByteArray thesis = Pattern(30000).mid(7);
        QVERIFY(Write(Root() + "/F/thesis.odt", thesis));
        const ItemPtr e = Add("run.bin", "S\\F", 20000);
        e.Connect(d.GetType("local_file_path")->GetItem(Value(Root() + "/F/thesis.odt")));
        e.Connect(d.GetType("local_file_size")->GetItem(Value(qint64(thesis.size()))));
        tqm->SetDownloadEntryStatus(e, TQM::kAborted);
        QCOMPARE(tqm->GetDownloadTargetPath(e, false), Wire(Root() + "/F/run.bin"));
        int f = -1;
        QCOMPARE(Offer(70, "S\\F\\run.bin", 20000, &f), qint64(0));
        bob->SendRawOn(f, Pattern(20000));
        QTRY_COMPARE_WITH_TIMEOUT(Status(e), QString("complete"), kWait);
        QCOMPARE(ReadFile(Root() + "/F/run.bin"), Pattern(20000));
        // The same record on a running download, then a quit.
        const ItemPtr g = Add("go.bin", "S\\F", 20000);
        QCOMPARE(Offer(71, "S\\F\\go.bin", 20000, &f), qint64(0));
        QTRY_COMPARE_WITH_TIMEOUT(Status(g), QString("downloading"), kWait);
        g.Connect(d.GetType("local_file_path")->GetItem(Value(Root() + "/F/thesis.odt")));
        g.Connect(d.GetType("local_file_size")->GetItem(Value(2)));
        tqm.reset();
        QCOMPARE(ReadFile(Root() + "/F/thesis.odt"), thesis);
    }
    // A store from before identities were recorded: its partial is known by
    // the recorded size alone, and goes on from there.
    void recordWithoutIdentity() {
        SetSetting("dont_split_downloads", "yes");
        const QByteArray data = Pattern(20000);
        QVERIFY(Write(Root() + "/F/old.bin", data.left(5000)));
        const ItemPtr e = Add("old.bin", "S\\F", 20000);
        e.Connect(d.GetType("local_file_path")->GetItem(Value(Root() + "/F/old.bin")));
        e.Connect(d.GetType("local_file_size")->GetItem(Value(5000)));
        tqm->SetDownloadEntryStatus(e, TQM::kAborted);
        int f = -1;
        QCOMPARE(Offer(72, "S\\F\\old.bin", 20000, &f), qint64(5000));
        bob->SendRawOn(f, data.mid(5000));
        QTRY_COMPARE_WITH_TIMEOUT(Status(e), QString("complete"), kWait);
        QCOMPARE(ReadFile(Root() + "/F/old.bin"), data);
        QVERIFY(!e.HasItem("local_file_identity").IsNull());
    }
    // The user deletes a partial that has no bytes yet and saves a file of
    // their own under its name, which gets the freed inode number: its birth
    // time tells it from the partial, so it stays as it is, larger than the
    // download, and the download takes a free name.
    void userFileOnTheFreedInode() {
        SetSetting("dont_split_downloads", "yes");
        const QString partial = Root() + "/F/own.bin";
        const auto stat = [](const QString& path) {
            struct statx st = {};
            if (::statx(AT_FDCWD, QFile::encodeName(path).constData(), AT_SYMLINK_NOFOLLOW,
                        STATX_INO | STATX_BTIME, &st) != 0)
                st.stx_ino = 0;
            return st;
        };
        const auto ns = [](const struct statx& st) {
            return qint64(st.stx_btime.tv_sec) * 1000000000 + st.stx_btime.tv_nsec;
        };
        const ItemPtr e = Add("own.bin", "S\\F", 20000);
        int f = -1;
        QCOMPARE(Offer(80, "S\\F\\own.bin", 20000, &f), qint64(0));
        bob->CloseOn(f);
        QTRY_COMPARE_WITH_TIMEOUT(Status(e), QString("aborted"), kWait);
        const struct statx own = stat(partial);
        QVERIFY(own.stx_ino != 0);
        if (!(own.stx_mask & STATX_BTIME))
            QSKIP("The temporary folder's file system records no birth times");
        // File times follow a coarse clock: a file made in the same tick
        // would be born at the same time.
        const QString probe = Root() + "/F/probe";
        QVERIFY(QTest::qWaitFor(
            [&] {
                const bool later = Write(probe, "") && ns(stat(probe)) > ns(own);
                return QFile::remove(probe) && later;
            },
            kWait));
        // New files soon get the freed number; the others are held meanwhile,
        // so that the next one is given another.
        QVERIFY(QFile::remove(partial));
        QStringList held;
        for (int i = 0; i < 100 && stat(partial).stx_ino != own.stx_ino; ++i) {
            if (QFileInfo::exists(partial)) {
                held << partial + QString::number(i);
                QVERIFY(QFile::rename(partial, held.last()));
            }
            QVERIFY(Write(partial, ""));
        }
        for (const QString& path : held)
            QFile::remove(path);
        if (stat(partial).stx_ino != own.stx_ino)
            QSKIP("No new file was given the freed inode number");
        const QByteArray users(30000, 'U');
        QVERIFY(Write(partial, users));
        QCOMPARE(Offer(81, "S\\F\\own.bin", 20000, &f), qint64(0));
        bob->SendRawOn(f, Pattern(20000));
        QTRY_COMPARE_WITH_TIMEOUT(Status(e), QString("complete"), kWait);
        QCOMPARE(ReadFile(partial), users);
        QCOMPARE(ReadFile(Root() + "/F/own (1).bin"), Pattern(20000));
    }
    // A store holding a download's run-time item (a dump of the whole store,
    // or a damaged one): the item is dropped at the load, the entry loads,
    // and the quit neither frees the address nor cuts the recorded file.
    void runTimeItemsInAStore_data() {
        QTest::addColumn<QString>("type");
        QTest::addColumn<quint64>("address");
        for (const char* type : {"download_file", "download_thread", "download_socket"})
            for (quint64 address : {quint64(0), quint64(4096)})
                QTest::addRow("%s at %llu", type, static_cast<unsigned long long>(address))
                    << QString(type) << address;
    }
    void runTimeItemsInAStore() {
        QFETCH(QString, type);
        QFETCH(quint64, address);
        SetSetting("dont_split_downloads", "yes");
        const QByteArray users = Pattern(30000);
        QVERIFY(Write(Root() + "/F/run.bin", users));
        const ItemPtr e = Add("run.bin", "S\\F", 60000);
        e.Connect(d.GetType("local_file_path")->GetItem(Value(Root() + "/F/run.bin")));
        e.Connect(d.GetType("local_file_size")->GetItem(Value(2)));
        e.Connect(d.GetType(qPrintable(type))->GetItem(Value(address)));
        const QString prefix = tmp->path() + "/store/t";
        QVERIFY(QDir().mkpath(tmp->path() + "/store"));
        QVERIFY(saver->SaveAll(prefix + ".1"));
        e.HasItem(qPrintable(type)).Remove();  // not ours to free
        cleanup();
        bob.reset(new RawPeer);
        QVERIFY(StartTransferServices() && ConnectAsPeer(*bob, "bob"));
        SetSetting("download_folder", Root());
        saver->Load(prefix);
        const ItemPtr again = tqm->GetDownloadEntry("bob", "run.bin", "S\\F");
        QVERIFY(!again.IsNull() && again.HasItem(qPrintable(type)).IsNull());
        QCOMPARE(d.GetType(qPrintable(type))->ItemCount(), 0);
        tqm.reset();
        QCOMPARE(ReadFile(Root() + "/F/run.bin"), users);
    }
};

QTEST_GUILESS_MAIN(TestTransferQueue)
#include "test_transfer_queue.moc"
