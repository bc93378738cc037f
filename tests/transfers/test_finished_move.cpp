// A finished download's way into its complete folder on another file
// system, against a scripted peer ("bob") over loopback; and a download that
// cannot write its file waiting before it is queued again.
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <atomic>
#include <csignal>
#include <cstring>
#include <functional>
#include <memory>

#include "net/PeerMessenger.h"
#include "store/Log.h"
#include "support/LogLines.h"
#include "support/Payload.h"
#include "support/TestFiles.h"
#include "support/TransferServices.h"
#include "transfers/FinishedMove.h"

namespace {

constexpr int kWait = 10000;
using TQM = TransferQueueManager;

// The log's lines while it lives.
QStringList Names(const QString& folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                  QDir::NoDotAndDotDot);
}

dev_t DeviceOf(const QString& path) {
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_dev : dev_t(-1);
}

const QString kStale = QStringLiteral(".tavenook-move-0123456789abcdef.tmp");

}  // namespace

class TestFinishedMove : public QObject, private TransferServices {
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> tmp;
    std::unique_ptr<QTemporaryDir> other;
    std::unique_ptr<RawPeer> bob;
    QString Root() const { return tmp->path() + "/dl"; }
    static QString Status(const ItemPtr& entry) { return TQM::DownloadStatus(entry); }
    ItemPtr Add(const char* file, qint64 size) {
        return tqm->AddDownload("bob", file, "S", size, false, 0);
    }
    QString Request(quint32 req, const QString& path, qint64 size) {
        bob->SendMessageOn(0, PeerMessenger::PM_TRANSFER_REQUEST,
                           Payload().U32(1).U32(req).Str(path).I64(size));
        quint32 code = 0, r = 0;
        quint8 ok = 0;
        QByteArray payload;
        if (!bob->WaitForMessageOn(0, &code, &payload, kWait))
            return "timeout";
        MemStream in(payload);
        return code == PeerMessenger::PM_TRANSFER_RESPONSE && in.Read(r) && r == req &&
                       in.Read(ok) && ok
                   ? "accept"
                   : "refused";
    }
    // Accepted and connected; the offset we answered.
    qint64 Offer(quint32 req, const QString& path, qint64 size, int* index) {
        *index = -1;
        if (Request(req, path, size) != "accept" || !bob->ConnectTo(messenger->ListeningPort()))
            return -1;
        *index = bob->CurrentConnection();
        bob->SendSetUpOn(*index, "bob", "F");
        bob->SendRawOn(*index, RawPeer::U32(req));
        bob->Select(0);
        MemStream in(bob->ReadRawOn(*index, 8, kWait));
        qint64 offset = -1;
        return in.Read(offset) ? offset : -1;
    }
    // Downloads `data` as S\name through a file connection numbered req,
    // from where we ask.
    bool Download(quint32 req, const char* name, const QByteArray& data) {
        int f = -1;
        const qint64 offset = Offer(req, QString("S\\") + name, data.size(), &f);
        if (offset < 0 || offset > data.size())
            return false;
        bob->SendRawOn(f, data.mid(int(offset)));
        return true;
    }

private slots:
    void init() {
        tmp.reset(new QTemporaryDir);
        bob.reset(new RawPeer);
        QVERIFY(tmp->isValid() && StartTransferServices() && ConnectAsPeer(*bob, "bob"));
        SetSetting("download_folder", Root());
    }
    void cleanup() {
        ForceFinishedFileCopy(false);
        for (const ItemPtr& entry : d.GetType("download_entry")->GetItems())
            if (tqm)  // a test may have quit it
                tqm->RemoveDownload(entry);
        bob.reset();
        StopTransferServices();
        other.reset();
    }

    // Copied whole into a free name beside a file of the same name, the
    // partial removed only then, and what a killed copy left there gone;
    // the user's own files, also of names like ours, stay. On a real other
    // file system where one is at hand (tmpfs at /dev/shm), else through the
    // copy path forced.
    void finishedFileAcrossFileSystems_data() {
        QTest::addColumn<bool>("real");
        QTest::addColumn<bool>("clash");
        QTest::newRow("copy, name free") << false << false;
        QTest::newRow("copy, name taken") << false << true;
        QTest::newRow("other file system, name taken") << true << true;
    }
    void finishedFileAcrossFileSystems() {
        QFETCH(bool, real);
        QFETCH(bool, clash);
        const QString complete = Root() + "/complete/S";
        if (real) {
            other.reset(new QTemporaryDir("/dev/shm/test_finished_move-XXXXXX"));
            if (!other->isValid() || DeviceOf(other->path()) == DeviceOf(tmp->path()))
                QSKIP("no second file system at hand");
            QVERIFY(QDir().mkpath(Root()) && QFile::link(other->path(), Root() + "/complete"));
        } else {
            ForceFinishedFileCopy(true);
        }
        const QStringList users{"x.bin", ".tavenook-move-notours.tmp", "notes.tavenook-move.txt"};
        for (const QString& name : users)
            if (name != "x.bin" || clash)
                QVERIFY(Write(complete + "/" + name, "the user's"));
        QVERIFY(Write(complete + "/" + kStale, "a killed copy's"));
        LogLines log;
        QSignalSpy added(tqm.get(), &TQM::CompleteDownloadAdded);
        const QByteArray data = Pattern(300000);
        const ItemPtr x = Add("x.bin", data.size());
        QVERIFY(Download(7, "x.bin", data));
        QTRY_COMPARE_WITH_TIMEOUT(Status(x), QString("complete"), kWait);
        const QString name = clash ? "x (1).bin" : "x.bin";
        QCOMPARE(ReadFile(complete + "/" + name), data);
        QVERIFY(!QFileInfo::exists(Root() + "/downloading/S/x.bin"));
        QStringList expected = users;
        if (clash)
            expected << name;
        expected.sort();
        QCOMPARE(Names(complete), expected);
        for (const QString& user : users)
            if (user != name)
                QCOMPARE(ReadFile(complete + "/" + user), QByteArray("the user's"));
        QVERIFY2(!log.lines.filter("Copying").isEmpty(), qPrintable(log.lines.join('\n')));
        QCOMPARE(added.count(), 1);
        QCOMPARE(
            added.at(0).at(0).value<ItemPtr>().HasItem("complete_download_filename").AsString(),
            name);
    }

    // A copy that cannot be made gives the system's reason, naming the path,
    // in the log and in the row; the partial stays whole.
    void failedCopyGivesTheReason() {
        ForceFinishedFileCopy(true);
        QVERIFY(Write(Root() + "/complete/S", "a file where the folder goes"));
        LogLines log;
        const QByteArray data = Pattern(30000);
        const ItemPtr x = Add("x.bin", data.size());
        QVERIFY(Download(8, "x.bin", data));
        QTRY_COMPARE_WITH_TIMEOUT(Status(x), QString("local error"), kWait);
        const QString reason = x.HasItem("denial_reason").AsString();
        QVERIFY2(reason.contains(Root() + "/complete/S/") && reason.endsWith(strerror(ENOTDIR)),
                 qPrintable(reason));
        QVERIFY2(!log.lines.filter("Could not move").filter(strerror(ENOTDIR)).isEmpty(),
                 qPrintable(log.lines.join('\n')));
        QCOMPARE(ReadFile(Root() + "/downloading/S/x.bin"), data);
    }

    // Quitting while the copy runs stops it: no temporary stays, and the
    // file is whole either in the complete folder or still as the partial.
    void quitDuringTheCopy() {
        ForceFinishedFileCopy(true);
        // The quit comes at the first turn of the event loop after the copy
        // began.
        struct QuitAtCopy : LogLines {
            std::function<void()> quit;
            void Log(const QString& area, int level, const QString& text,
                     const ItemPtr& item) override {
                LogLines::Log(area, level, text, item);
                if (text.startsWith("Copying"))
                    QTimer::singleShot(0, quit);
            }
        } log;
        log.quit = [this] { tqm.reset(); };
        const QByteArray data = Pattern(64 << 20);
        const ItemPtr x = Add("x.bin", data.size());
        QVERIFY(Download(9, "x.bin", data));
        QTRY_VERIFY_WITH_TIMEOUT(!tqm, kWait);
        const QString complete = Root() + "/complete/S";
        const QStringList names = Names(complete);
        QVERIFY2(names.isEmpty() || names == QStringList{"x.bin"}, qPrintable(names.join(' ')));
        QCOMPARE(ReadFile(names.isEmpty() ? Root() + "/downloading/S/x.bin" : complete + "/x.bin"),
                 data);
    }

    // The copy itself: into a file system too small for it (a file size
    // limit stands in), or stopped, it leaves nothing in the folder and the
    // source whole; with room, the source goes once the copy is in place.
    void copyIntoASmallFileSystem_data() {
        QTest::addColumn<QString>("how");
        QTest::newRow("room") << "room";
        QTest::newRow("too small") << "small";
        QTest::newRow("stopped") << "stopped";
    }
    void copyIntoASmallFileSystem() {
        QFETCH(QString, how);
        const QString source = tmp->path() + "/partial";
        const QString folder = tmp->path() + "/complete";
        const QByteArray data = Pattern(3 << 20);
        QVERIFY(Write(source, data) && QDir().mkpath(folder));
        std::atomic<bool> stop{how == "stopped"};
        FinishedMove move;
        {
            std::unique_ptr<FileSizeLimit> limit;
            if (how == "small")
                limit.reset(new FileSizeLimit(1 << 20));
            move = CopyFinishedFile(source, folder, "x.bin", &stop);
        }
        if (how == "room") {
            QVERIFY2(move.done && move.error.isEmpty(), qPrintable(move.error));
            QCOMPARE(Names(folder), QStringList{"x.bin"});
            QCOMPARE(ReadFile(folder + "/x.bin"), data);
            QVERIFY(!QFileInfo::exists(source));
            return;
        }
        QVERIFY(!move.done);
        QVERIFY2(move.error.contains(folder + "/.tavenook-move-"), qPrintable(move.error));
        if (how == "small")
            QVERIFY2(move.error.endsWith(strerror(EFBIG)), qPrintable(move.error));
        QCOMPARE(Names(folder), QStringList());
        QCOMPARE(ReadFile(source), data);
    }

    // What killed copies left is removed; a temporary a copy still writes
    // (it holds its lock), a folder, and names that are not quite ours stay.
    void leftoversOfKilledCopies() {
        const QString folder = tmp->path() + "/c";
        const QString live = folder + "/.tavenook-move-00000000000000aa.tmp";
        QVERIFY(Write(folder + "/" + kStale, "stale") && Write(live, "written"));
        QVERIFY(
            ::mkfifo(QFile::encodeName(folder + "/.tavenook-move-00000000000000bb.tmp").constData(),
                     0600) == 0);
        QVERIFY(QDir().mkpath(folder + "/.tavenook-move-00000000000000cc.tmp"));
        for (const char* name : {".tavenook-move-0123.tmp", ".tavenook-move-0123456789ABCDEF.tmp",
                                 "tavenook-move-0123456789abcdef.tmp"})
            QVERIFY(Write(folder + "/" + name, "the user's"));
        const int held = ::open(QFile::encodeName(live).constData(), O_RDONLY | O_CLOEXEC);
        QVERIFY(held >= 0 && ::flock(held, LOCK_EX) == 0);
        QCOMPARE(RemoveMoveLeftovers(folder), 2);
        ::close(held);
        QStringList kept{".tavenook-move-0123.tmp", ".tavenook-move-00000000000000aa.tmp",
                         ".tavenook-move-00000000000000cc.tmp",
                         ".tavenook-move-0123456789ABCDEF.tmp",
                         "tavenook-move-0123456789abcdef.tmp"};
        kept.sort();
        QCOMPARE(Names(folder), kept);
    }

    // So does a download refused because another one writes its partial,
    // until the tick's turn after 30 s.
    void refusedForASharedPartialWaits() {
        RawPeer carol;
        QVERIFY(ConnectAsPeer(carol, "carol"));
        Online("carol");
        const ItemPtr mine = Add("same.bin", 30000);
        const ItemPtr theirs = tqm->AddDownload("carol", "same.bin", "T\\S", 30000, false, 0);
        Drain(carol);
        int f = -1;
        QCOMPARE(Offer(21, "S\\same.bin", 30000, &f), qint64(0));
        QTRY_COMPARE_WITH_TIMEOUT(Status(mine), QString("downloading"), kWait);
        carol.SendMessageOn(0, PeerMessenger::PM_TRANSFER_REQUEST,
                            Payload().U32(1).U32(22).Str("T\\S\\same.bin").I64(30000));
        quint32 code = 0;
        QByteArray answer;
        QVERIFY(carol.WaitForMessageOn(0, &code, &answer, kWait) &&
                carol.ConnectTo(messenger->ListeningPort()));
        const int c = carol.CurrentConnection();
        carol.SendSetUpOn(c, "carol", "F");
        carol.SendRawOn(c, RawPeer::U32(22));
        QVERIFY(carol.WaitForDisconnectOn(c, kWait));
        carol.Select(0);
        carol.SendMessageOn(0, PeerMessenger::PM_UPLOAD_FAILED, Payload().Str("T\\S\\same.bin"));
        QVERIFY(!Drain(carol).join(' ').contains("43 T\\S\\same.bin"));
        SetTime(theirs, "download_retry_time", Ago(1));
        tqm->EveryHalfMinute();
        QVERIFY(Drain(carol).join(' ').contains("43 T\\S\\same.bin"));
        bob->SendRawOn(f, Pattern(30000));
        QTRY_COMPARE_WITH_TIMEOUT(Status(mine), QString("complete"), kWait);
    }

    // A download that cannot write its file is not queued again at the
    // uploader's failure report, which would bring the same failure at once,
    // many times a second; it waits, longer after each such failure, and the
    // tick queues it when the wait is over.
    void writeFailureBacksOff() {
        Online("bob");
        LogLines log;
        const ItemPtr x = Add("x.bin", 100000);
        bob->Select(0);
        Drain(*bob);
        for (int round = 1; round <= 2; ++round) {
            {
                FileSizeLimit limit(20000);
                QVERIFY(Download(10 + round, "x.bin", Pattern(100000)));
                QTRY_COMPARE_WITH_TIMEOUT(Status(x), QString("aborted"), kWait);
            }
            // The row says why: the user can make room, not the peer.
            QCOMPARE(x.HasItem("denial_reason").AsString(), QString(std::strerror(EFBIG)));
            const QString wait = QString("(trying again in %1 s)").arg(round == 1 ? 30 : 60);
            QVERIFY2(!log.lines.filter(wait).isEmpty(), qPrintable(log.lines.join('\n')));
            bob->SendMessageOn(0, PeerMessenger::PM_UPLOAD_FAILED, Payload().Str("S\\x.bin"));
            QVERIFY(!Drain(*bob).join(' ').contains("43 S\\x.bin"));
            tqm->EveryHalfMinute();
            QVERIFY(!Drain(*bob).join(' ').contains("43 S\\x.bin"));
            QCOMPARE(Status(x), QString("aborted"));
            SetTime(x, "download_retry_time", Ago(1));
            tqm->EveryHalfMinute();
            QVERIFY(Drain(*bob).join(' ').contains("43 S\\x.bin"));
            QCOMPARE(Status(x), QString("queued"));
        }
    }
};

QTEST_GUILESS_MAIN(TestFinishedMove)
#include "test_finished_move.moc"
