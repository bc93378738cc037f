// The downloader's end of a file connection against a scripted uploader over
// loopback: the partial file, the offset answer on resume, the move into the
// complete folder, the finished-download record, refused connections and the
// path safety of the peer's names.

#include <QDir>
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
#include "support/TransferServices.h"
#include "transfers/TransferQueueManager.h"

namespace {

constexpr int kWait = 10000;

QByteArray Str(const std::string& s) {
    MemStream m;
    m.Write(s);
    return m.GetWrittenBytes();
}

QByteArray Pattern(int n) {
    QByteArray b(n, '\0');
    for (int i = 0; i < n; ++i)
        b[i] = char((i * 7 + i / 251) & 0xff);
    return b;
}

QByteArray ReadFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

}  // namespace

class TestDownloadConnection : public QObject, private TransferServices {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;

    QString Root() const { return dir->path() + "/dl"; }
    static QString Status(const ItemPtr& entry) {
        return TransferQueueManager::DownloadStatus(entry);
    }

    bool Connect(RawPeer& peer, const QString& user) {
        if (!peer.ConnectTo(messenger->ListeningPort()))
            return false;
        peer.SendSetUp(user, "P");
        return Sync(peer);
    }

    static bool Sync(RawPeer& peer) {
        peer.SendMessageOn(0, PeerMessenger::PM_SHARED_FILE_LIST_REQUEST);
        quint32 code = 0;
        QByteArray payload;
        return peer.WaitForMessageOn(0, &code, &payload, kWait) &&
               code == PeerMessenger::PM_SHARED_FILE_LIST;
    }

    // The uploader's transfer request, accepted.
    static bool Request(RawPeer& peer, quint32 req, const std::string& path, qint64 size) {
        peer.SendMessageOn(0, PeerMessenger::PM_TRANSFER_REQUEST,
                           RawPeer::U32(1) + RawPeer::U32(req) + Str(path) + RawPeer::I64(size));
        quint32 code = 0;
        QByteArray payload;
        if (!peer.WaitForMessageOn(0, &code, &payload, kWait))
            return false;
        MemStream in(payload);
        quint32 r = 0;
        quint8 ok = 0;
        return code == PeerMessenger::PM_TRANSFER_RESPONSE && in.Read(r) && r == req &&
               in.Read(ok) && ok == 1;
    }

    // Opens a file connection with the token; returns its index.
    int FileConnection(RawPeer& peer, const QString& user, quint32 token) {
        if (!peer.ConnectTo(messenger->ListeningPort()))
            return -1;
        const int index = peer.CurrentConnection();
        peer.SendSetUpOn(index, user, "F");
        peer.SendRawOn(index, RawPeer::U32(token));
        return index;
    }

    static qint64 Offset(RawPeer& peer, int index) {
        MemStream in(peer.ReadRawOn(index, 8, kWait));
        qint64 offset = -1;
        return in.Read(offset) ? offset : -1;
    }

    // Refused: closed without a byte.
    static bool Refused(RawPeer& peer, int index) {
        return peer.WaitForDisconnectOn(index, kWait) && peer.ReadRawOn(index, 1, 200).isEmpty();
    }

private slots:
    void init() {
        d.Reset();
        dir.reset(new QTemporaryDir);
        QVERIFY(dir->isValid());
        QVERIFY(StartTransferServices());
        SetSetting("download_folder", Root());
    }

    void cleanup() {
        for (const ItemPtr& entry : d.GetType("download_entry")->GetItems())
            tqm->RemoveDownload(entry);
        StopTransferServices();
        dir.reset();
    }

    void downloadMoveAndRecord() {
        RawPeer bob;
        QVERIFY(Connect(bob, "bob"));
        QSignalSpy added(tqm.get(), &TransferQueueManager::CompleteDownloadAdded);
        const QByteArray data = Pattern(30000);
        const ItemPtr a =
            tqm->AddDownload("bob", "a.mp3", "Music\\Artist\\Album", data.size(), false, 1);
        QCOMPARE(tqm->GetDownloadTargetFolder(a, false),
                 QString(Root()).replace('/', '\\') + "\\downloading\\Artist\\Album");
        QVERIFY(Request(bob, 7, "Music\\Artist\\Album\\a.mp3", data.size()));

        const int f = FileConnection(bob, "bob", 7);
        QCOMPARE(Offset(bob, f), qint64(0));
        QTRY_COMPARE_WITH_TIMEOUT(Status(a), QString("downloading"), kWait);
        bob.SendRawOn(f, data);
        QTRY_COMPARE_WITH_TIMEOUT(Status(a), QString("complete"), kWait);

        // Moved with the remote folder levels; the emptied downloading
        // folders went, the downloading root stays.
        const QString done = Root() + "/complete/Artist/Album/a.mp3";
        QCOMPARE(ReadFile(done), data);
        QVERIFY(!QFileInfo::exists(Root() + "/downloading/Artist"));
        QVERIFY(QFileInfo::exists(Root() + "/downloading"));
        QVERIFY(tqm->DoesDownloadItemCompleteFilenameExist(a));

        QCOMPARE(added.count(), 1);
        const ItemPtr record = added.at(0).at(0).value<ItemPtr>();
        QCOMPARE(record.HasItem("user").AsString(), QString("bob"));
        QCOMPARE(record.HasItem("complete_download_filename").AsString(), QString("a.mp3"));
        QCOMPARE(record.HasItem("complete_download_relative_folder").AsString(),
                 QString("Artist\\Album"));
        QVERIFY(record.HasItem("complete_download_folder")
                    .AsString()
                    .endsWith("\\complete\\Artist\\Album"));
        QCOMPARE(record.HasItem("complete_download_file_size").AsInt64(), qint64(data.size()));
        QVERIFY(!record.HasItem("complete_download_completion_time").AsString().isEmpty());

        // The used token, an unknown one and another user's are all refused.
        QVERIFY(Refused(bob, FileConnection(bob, "bob", 7)));
        QVERIFY(Refused(bob, FileConnection(bob, "bob", 99)));
        const ItemPtr b = tqm->AddDownload("bob", "b.mp3", "Music\\Artist\\Album", 10, false, 1);
        QVERIFY(Request(bob, 8, "Music\\Artist\\Album\\b.mp3", 10));
        QVERIFY(Refused(bob, FileConnection(bob, "carol", 8)));
        QCOMPARE(Status(b), QString("queued"));
        QCOMPARE(ReadFile(done), data);
    }

    void resumeAndSecondConnection() {
        RawPeer bob;
        QVERIFY(Connect(bob, "bob"));
        const QByteArray data = Pattern(20000);
        const ItemPtr e = tqm->AddDownload("bob", "b.bin", "Share\\CD1", data.size(), false, 0);
        const QString partial = Root() + "/downloading/CD1/b.bin";
        QVERIFY(Request(bob, 8, "Share\\CD1\\b.bin", data.size()));
        int f = FileConnection(bob, "bob", 8);
        QCOMPARE(Offset(bob, f), qint64(0));
        // Whole blocks only: a block cut short by the close is not written.
        bob.SendRawOn(f, data.left(8192));
        bob.CloseOn(f);
        QTRY_COMPARE_WITH_TIMEOUT(Status(e), QString("aborted"), kWait);
        QCOMPARE(QFileInfo(partial).size(), qint64(8192));
        QVERIFY(!tqm->DoesDownloadItemCompleteFilenameExist(e));

        // The resume answers the partial size and appends from there.
        QVERIFY(Request(bob, 9, "Share\\CD1\\b.bin", data.size()));
        f = FileConnection(bob, "bob", 9);
        QCOMPARE(Offset(bob, f), qint64(8192));
        QTRY_COMPARE_WITH_TIMEOUT(Status(e), QString("downloading"), kWait);
        // A second connection for the running download does not start a
        // second writer.
        QVERIFY(Refused(bob, FileConnection(bob, "bob", 9)));
        QCOMPARE(Status(e), QString("downloading"));
        bob.SendRawOn(f, data.mid(8192));
        QTRY_COMPARE_WITH_TIMEOUT(Status(e), QString("complete"), kWait);
        QCOMPARE(ReadFile(Root() + "/complete/CD1/b.bin"), data);
    }

    void oversizedPartialClashAndUnsafeNames() {
        RawPeer bob;
        QVERIFY(Connect(bob, "bob"));
        QSignalSpy added(tqm.get(), &TransferQueueManager::CompleteDownloadAdded);
        const QByteArray data = Pattern(1000);
        // A stale partial larger than the file, and another file of that name
        // already finished.
        QVERIFY(QDir().mkpath(Root() + "/downloading/X"));
        QVERIFY(QDir().mkpath(Root() + "/complete/X"));
        QFile stale(Root() + "/downloading/X/c.mp3");
        QVERIFY(stale.open(QIODevice::WriteOnly));
        stale.write(QByteArray(4000, 'z'));
        stale.close();
        QFile other(Root() + "/complete/X/c.mp3");
        QVERIFY(other.open(QIODevice::WriteOnly));
        other.write("other");
        other.close();

        const ItemPtr c = tqm->AddDownload("bob", "c.mp3", "Y\\X", data.size(), false, 0);
        QCOMPARE(Status(c), QString("queued"));
        QVERIFY(Request(bob, 3, "Y\\X\\c.mp3", data.size()));
        const int f = FileConnection(bob, "bob", 3);
        QCOMPARE(Offset(bob, f), qint64(0));
        bob.SendRawOn(f, data);
        QTRY_COMPARE_WITH_TIMEOUT(Status(c), QString("complete"), kWait);
        QCOMPARE(ReadFile(Root() + "/complete/X/c.mp3"), QByteArray("other"));
        QCOMPARE(added.count(), 1);
        const QString name =
            added.at(0).at(0).value<ItemPtr>().HasItem("complete_download_filename").AsString();
        QVERIFY(name != "c.mp3");
        QCOMPARE(ReadFile(Root() + "/complete/X/" + name), data);

        // A remote folder that climbs out of the download folder is refused.
        SetSetting("dont_split_downloads", "yes");
        const ItemPtr bad = tqm->AddDownload("bob", "evil", "..", 10, false, 0);
        QVERIFY(tqm->GetDownloadTargetPath(bad, false).isEmpty());
        QVERIFY(Request(bob, 4, "..\\evil", 10));
        QVERIFY(Refused(bob, FileConnection(bob, "bob", 4)));
        QCOMPARE(Status(bad), QString("local error"));
        QVERIFY(!QFileInfo::exists(dir->path() + "/evil"));
    }

    void dontSplitCountsOnlyTheWholeFile() {
        RawPeer bob;
        QVERIFY(Connect(bob, "bob"));
        SetSetting("dont_split_downloads", "yes");
        const QByteArray data = Pattern(20000);
        const ItemPtr e = tqm->AddDownload("bob", "d.bin", "S\\F", data.size(), false, 0);
        QVERIFY(Request(bob, 5, "S\\F\\d.bin", data.size()));
        int f = FileConnection(bob, "bob", 5);
        QCOMPARE(Offset(bob, f), qint64(0));
        bob.SendRawOn(f, data.left(8192));
        bob.CloseOn(f);
        QTRY_COMPARE_WITH_TIMEOUT(Status(e), QString("aborted"), kWait);
        QCOMPARE(QFileInfo(Root() + "/F/d.bin").size(), qint64(8192));
        // The partial at the final path is not a finished file.
        QVERIFY(!tqm->DoesDownloadItemCompleteFilenameExist(e));
        tqm->RequeueDownload(e);
        QCOMPARE(Status(e), QString("queued"));
        quint32 code = 0;
        QByteArray payload;
        QVERIFY(bob.WaitForMessageOn(0, &code, &payload, kWait));
        QCOMPARE(code, quint32(PeerMessenger::PM_QUEUE_UPLOAD));

        QVERIFY(Request(bob, 6, "S\\F\\d.bin", data.size()));
        f = FileConnection(bob, "bob", 6);
        QCOMPARE(Offset(bob, f), qint64(8192));
        bob.SendRawOn(f, data.mid(8192));
        QTRY_COMPARE_WITH_TIMEOUT(Status(e), QString("complete"), kWait);
        QCOMPARE(ReadFile(Root() + "/F/d.bin"), data);
        QVERIFY(tqm->DoesDownloadItemCompleteFilenameExist(e));
    }
};

QTEST_GUILESS_MAIN(TestDownloadConnection)
#include "test_download_connection.moc"
