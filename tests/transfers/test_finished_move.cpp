// A finished download's way into its complete folder on another file
// system, against a scripted peer ("bob") over loopback; and a download that
// cannot write its file waiting before it is queued again.
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <atomic>
#include <csignal>
#include <cstddef>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "net/PeerMessenger.h"
#include "store/Log.h"
#include "store/PlainFile.h"
#include "store/Temporaries.h"
#include "support/LocklessDisk.h"
#include "support/LogLines.h"
#include "support/Payload.h"
#include "support/TestFiles.h"
#include "support/TransferServices.h"
#include "transfers/FinishedMove.h"
#include "transfers/PartialJournal.h"

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

#ifndef __NR_link
#define __NR_link __NR_linkat  // no link(2) of its own here: linkat alone
#endif

// Makes this thread's no-replace renames and hard links fail as on a disk
// that has neither (SMB shares, shared folders of virtual machines, some
// FUSE disks); a plain rename still works. For good: the thread is the
// test's own.
bool RefuseNoReplaceRenameAndLinks() {
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_renameat2, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[4])),
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, RENAME_NOREPLACE, 0, 4),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EINVAL),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_linkat, 1, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_link, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// Sets the file's times `seconds` back: as nobody wrote to it since.
bool SetBack(const QString& path, int seconds) {
    struct timespec times[2];
    ::clock_gettime(CLOCK_REALTIME, &times[0]);
    times[0].tv_sec -= seconds;
    times[1] = times[0];
    return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, AT_SYMLINK_NOFOLLOW) ==
           0;
}

constexpr int kTwoHours = 7200;

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
    // "accept", "refused", or with `reason` the reason of a refusal.
    QString Request(quint32 req, const QString& path, qint64 size, bool reason = false) {
        bob->SendMessageOn(0, PeerMessenger::PM_TRANSFER_REQUEST,
                           Payload().U32(1).U32(req).Str(path).I64(size));
        quint32 code = 0, r = 0;
        quint8 ok = 0;
        QByteArray payload;
        if (!bob->WaitForMessageOn(0, &code, &payload, kWait))
            return "timeout";
        MemStream in(payload);
        QString why;
        if (code == PeerMessenger::PM_TRANSFER_RESPONSE && in.Read(r) && r == req && in.Read(ok))
            return ok ? "accept" : reason && in.Read(why) ? why : "refused";
        return "refused";
    }
    // A finished download whose move failed (a file stands where its
    // complete folder goes): its partial holds every byte.
    ItemPtr FailedMove(const QByteArray& data) {
        ForceFinishedFileCopy(true);
        if (!Write(Root() + "/complete/S", "a file where the folder goes"))
            return ItemPtr();
        const ItemPtr x = Add("x.bin", data.size());
        if (!Download(8, "x.bin", data) ||
            !QTest::qWaitFor([&] { return Status(x) == "local error"; }, kWait))
            return ItemPtr();
        return x;
    }
    // Saved, quit and started again from the save; bob comes back online,
    // unless not `online`.
    bool Restart(bool online = true) {
        const QString prefix = tmp->path() + "/store/t";
        if (!QDir().mkpath(tmp->path() + "/store") || !saver->Save(prefix))
            return false;
        tqm.reset();
        bob.reset();
        StopCore();
        bob.reset(new RawPeer);
        if (!StartTransferServices() || !ConnectAsPeer(*bob, "bob"))
            return false;
        saver->Load(prefix);
        if (online)
            Online("bob");
        return true;
    }
    // Bob asked for a download of S\x.bin since the last look.
    bool Asked() { return Drain(*bob).join(' ').contains("43 S\\x.bin"); }
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
        SetBeforeTemporaryRename(nullptr);
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

    // Copies into one folder at once: the sweep each one makes of the
    // folder leaves the others' temporaries, also a whole one about to be
    // renamed (the sweep of another copy, or of another client, comes in
    // just then in the first row).
    void copiesIntoOneFolderAtOnce_data() {
        QTest::addColumn<int>("copies");
        QTest::addColumn<bool>("sweepBeforeRename");
        QTest::newRow("a sweep just before the rename") << 1 << true;
        QTest::newRow("40 copies, one name") << 40 << false;
    }
    void copiesIntoOneFolderAtOnce() {
        QFETCH(int, copies);
        QFETCH(bool, sweepBeforeRename);
        const QString folder = tmp->path() + "/complete";
        QVERIFY(QDir().mkpath(folder));
        std::vector<QByteArray> data;
        for (int k = 0; k < copies; ++k) {
            data.push_back(Pattern(200000));
            data.back()[0] = char(k);
            QVERIFY(Write(tmp->path() + QString("/p%1").arg(k), data.back()));
        }
        if (sweepBeforeRename)
            SetBeforeTemporaryRename([folder](const QString&) { RemoveMoveLeftovers(folder); });
        std::vector<FinishedMove> moves(static_cast<std::size_t>(copies));
        std::vector<std::thread> threads;
        for (int k = 0; k < copies; ++k)
            threads.emplace_back([&, k] {
                moves[std::size_t(k)] =
                    CopyFinishedFile(tmp->path() + QString("/p%1").arg(k), folder, "x.bin");
            });
        for (std::thread& t : threads)
            t.join();
        QStringList names;
        for (int k = 0; k < copies; ++k) {
            const FinishedMove& move = moves[std::size_t(k)];
            QVERIFY2(move.done && move.error.isEmpty(), qPrintable(move.error));
            QCOMPARE(ReadFile(folder + "/" + move.name), data[std::size_t(k)]);
            names << move.name;
        }
        names.sort();
        QCOMPARE(Names(folder), names);
    }

    // On a disk without no-replace rename and without hard links, finished
    // files and set-asides still land, and still never over anything that
    // stands at the name: a file or a dangling link.
    void diskWithoutNoReplaceRenameOrLinks_data() {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("there");  // at x.bin beforehand
        QTest::newRow("rename, name free") << "rename"
                                           << "";
        QTest::newRow("rename, file at the name") << "rename"
                                                  << "file";
        QTest::newRow("copy, file at the name") << "copy"
                                                << "file";
        QTest::newRow("copy, dangling link at the name") << "copy"
                                                         << "link";
        QTest::newRow("set aside") << "aside"
                                   << "";
        QTest::newRow("set aside a folder") << "aside"
                                            << "folder";
    }
    void diskWithoutNoReplaceRenameOrLinks() {
        QFETCH(QString, how);
        QFETCH(QString, there);
        const QString source = tmp->path() + "/partial";
        const QString folder = tmp->path() + "/complete";
        const QString taken = folder + "/x.bin";
        const QByteArray data = Pattern(300000);
        QVERIFY(Write(source, data) && QDir().mkpath(folder));
        if (there == "file")
            QVERIFY(Write(taken, "the user's"));
        if (there == "link")
            QVERIFY(QFile::link(tmp->path() + "/absent", taken));
        bool filtered = false, refused = false, asideDone = false;
        FinishedMove move;
        QString aside;
        std::thread mover([&] {
            filtered = RefuseNoReplaceRenameAndLinks();
            // The filter does what such disks do.
            const QByteArray probe = QFile::encodeName(tmp->path() + "/probe");
            refused = filtered &&
                      ::renameat2(AT_FDCWD, QFile::encodeName(source).constData(), AT_FDCWD,
                                  probe.constData(), RENAME_NOREPLACE) != 0 &&
                      errno == EINVAL &&
                      ::link(QFile::encodeName(source).constData(), probe.constData()) != 0 &&
                      errno == EPERM;
            if (how == "rename")
                move = RenameFinishedFile(source, folder, "x.bin");
            else if (how == "copy")
                move = CopyFinishedFile(source, folder, "x.bin");
            else if (there == "folder")
                asideDone = QFile::remove(source) && Write(source + "/kept", data) &&
                            SetAside(source, &aside) && QDir().mkdir(source) &&
                            SetAside(source, &aside);
            else
                asideDone =
                    SetAside(source, &aside) && Write(source, "again") && SetAside(source, &aside);
        });
        mover.join();
        QVERIFY(filtered && refused);
        if (how == "aside") {
            QVERIFY(asideDone);
            QCOMPARE(aside, source + ".aside2");
            if (there == "folder") {
                QCOMPARE(ReadFile(source + ".aside/kept"), data);
                QVERIFY(QFileInfo(aside).isDir() && !QFileInfo::exists(source));
                return;
            }
            QCOMPARE(ReadFile(source + ".aside"), data);
            QCOMPARE(ReadFile(aside), QByteArray("again"));
            return;
        }
        QVERIFY2(move.done && move.error.isEmpty(), qPrintable(move.error));
        QCOMPARE(move.name, QString(there.isEmpty() ? "x.bin" : "x (1).bin"));
        QCOMPARE(ReadFile(folder + "/" + move.name), data);
        QVERIFY(!QFileInfo::exists(source));
        if (there == "file")
            QCOMPARE(ReadFile(taken), QByteArray("the user's"));
        if (there == "link")
            QVERIFY(QFileInfo(taken).isSymLink());
        QCOMPARE(Names(folder).size(), there.isEmpty() ? 1 : 2);
    }

    // On a disk whose locks fail, whatever the answer, copies land, also
    // where no sync is offered, and one that fails leaves no temporary: a
    // sync that fails (EIO, a full disk, a quota) fails the copy. A sweep of
    // the folder just before the rename leaves the temporary being written,
    // however old it looks.
    void diskWithoutLocks_data() {
        QTest::addColumn<QString>("how");
        QTest::addColumn<int>("copies");
        QTest::addColumn<int>("lockError");
        QTest::addColumn<int>("syncError");  // 0: syncs work
        QTest::addColumn<int>("fails");      // the copy's error, 0: it lands
        QTest::newRow("copy") << "copy" << 1 << ENOLCK << 0 << 0;
        QTest::newRow("copy, no syncs either") << "copy" << 1 << ENOLCK << EINVAL << 0;
        QTest::newRow("locks answer EOPNOTSUPP") << "copy" << 1 << EOPNOTSUPP << 0 << 0;
        QTest::newRow("locks EINVAL, syncs ENOSYS") << "copy" << 1 << EINVAL << ENOSYS << 0;
        QTest::newRow("locks ENOSYS, syncs EOPNOTSUPP") << "copy" << 1 << ENOSYS << EOPNOTSUPP << 0;
        QTest::newRow("copy into a full disk") << "full" << 1 << ENOLCK << 0 << EFBIG;
        QTest::newRow("sync fails: EIO") << "copy" << 1 << ENOLCK << EIO << EIO;
        QTest::newRow("sync fails: ENOSPC") << "copy" << 1 << ENOLCK << ENOSPC << ENOSPC;
        QTest::newRow("sync fails: EDQUOT") << "copy" << 1 << ENOLCK << EDQUOT << EDQUOT;
        QTest::newRow("no sync offered, close fails: EIO") << "close" << 1 << 0 << EINVAL << EIO;
        QTest::newRow("a sweep just before the rename") << "swept" << 1 << ENOLCK << 0 << 0;
        QTest::newRow("40 copies, one name") << "copy" << 40 << ENOLCK << 0 << 0;
    }
    void diskWithoutLocks() {
        QFETCH(QString, how);
        QFETCH(int, copies);
        QFETCH(int, lockError);
        QFETCH(int, syncError);
        QFETCH(int, fails);
        const QString folder = tmp->path() + "/complete";
        QVERIFY(QDir().mkpath(folder));
        std::vector<QByteArray> data;
        const auto source = [&](int k) { return tmp->path() + QString("/p%1").arg(k); };
        for (int k = 0; k < copies; ++k) {
            data.push_back(Pattern(how == "full" ? 3 << 20 : 200000));
            data.back()[0] = char(k);
            QVERIFY(Write(source(k), data.back()));
        }
        if (how == "swept")
            SetBeforeTemporaryRename([folder](const QString& temporary) {
                SetBack(temporary, kTwoHours);
                RemoveMoveLeftovers(folder);
            });
        std::vector<FinishedMove> moves(static_cast<std::size_t>(copies));
        std::atomic<int> refused{0};
        {
            std::unique_ptr<FileSizeLimit> limit;
            if (how == "full")
                limit.reset(new FileSizeLimit(1 << 20));
            const DiskFailsClose closes(how == "close" ? folder : QString(), fails);
            std::vector<std::thread> threads;
            for (int k = 0; k < copies; ++k)
                threads.emplace_back([&, k] {
                    if (DiskRefuses(lockError, syncError))
                        ++refused;
                    moves[std::size_t(k)] = CopyFinishedFile(source(k), folder, "x.bin");
                });
            for (std::thread& t : threads)
                t.join();
        }
        QCOMPARE(refused.load(), copies);
        if (fails) {
            QVERIFY(!moves[0].done);
            QVERIFY2(moves[0].error.endsWith(strerror(fails)), qPrintable(moves[0].error));
            QCOMPARE(Names(folder), QStringList());
            QCOMPARE(ReadFile(source(0)), data[0]);
            return;
        }
        QStringList names;
        for (int k = 0; k < copies; ++k) {
            const FinishedMove& move = moves[std::size_t(k)];
            QVERIFY2(move.done && move.error.isEmpty(), qPrintable(move.error));
            QCOMPARE(ReadFile(folder + "/" + move.name), data[std::size_t(k)]);
            QVERIFY(!QFileInfo::exists(source(k)));
            names << move.name;
        }
        names.sort();
        QCOMPARE(Names(folder), names);
    }

    // The sweep on a disk whose locks fail takes what killed copies left
    // once nobody wrote to it for an hour; it leaves a younger one, a
    // temporary this process still writes however old it looks, and names
    // that are not quite ours.
    void sweepOnADiskWithoutLocks_data() {
        QTest::addColumn<int>("lockError");
        QTest::newRow("locks answer ENOLCK") << ENOLCK;
        QTest::newRow("locks answer EOPNOTSUPP") << EOPNOTSUPP;
    }
    void sweepOnADiskWithoutLocks() {
        QFETCH(int, lockError);
        const QString folder = tmp->path() + "/c";
        const QString young = folder + "/.tavenook-move-00000000000000aa.tmp";
        const QStringList users{".tavenook-move-0123.tmp", "tavenook-move-0123456789abcdef.tmp"};
        QVERIFY(Write(folder + "/" + kStale, "stale") && Write(young, "young"));
        for (const QString& name : users)
            QVERIFY(Write(folder + "/" + name, "the user's") &&
                    SetBack(folder + "/" + name, kTwoHours));
        QVERIFY(SetBack(folder + "/" + kStale, kTwoHours));
        bool refused = false;
        int fd = -1, first = -1, second = -1;
        QString open, why;
        QStringList whileOpen;
        std::thread sweeper([&] {
            refused = DiskRefuses(lockError);
            fd = CreateTemporary(folder, "move", &open, &why);
            SetBack(open, kTwoHours);
            first = RemoveMoveLeftovers(folder);
            whileOpen = Names(folder);
            CloseTemporary(fd);
            second = RemoveMoveLeftovers(folder);
        });
        sweeper.join();
        QVERIFY(refused);
        QVERIFY2(fd >= 0, qPrintable(why));
        QCOMPARE(first, 1);
        QStringList kept = users;
        kept << QFileInfo(young).fileName() << QFileInfo(open).fileName();
        kept.sort();
        QCOMPARE(whileOpen, kept);
        // Closed, it is a leftover like any other.
        QCOMPARE(second, 1);
        kept.removeOne(QFileInfo(open).fileName());
        QCOMPARE(Names(folder), kept);
    }

    // A temporary whose lock another holds every time (a sweep of another
    // client, which removes it) is not kept: after the last name tried, the
    // copy fails and nothing of ours stays in the folder.
    void temporaryHeldByAnotherEveryTime() {
        const QString folder = tmp->path() + "/c";
        QVERIFY(QDir().mkpath(folder) && Write(tmp->path() + "/p", Pattern(1000)));
        bool refused = false;
        FinishedMove move;
        std::thread mover([&] {
            refused = DiskRefuses(EWOULDBLOCK);
            move = CopyFinishedFile(tmp->path() + "/p", folder, "x.bin");
        });
        mover.join();
        QVERIFY(refused && !move.done);
        QVERIFY2(move.error.startsWith("cannot keep a temporary file"), qPrintable(move.error));
        QCOMPARE(Names(folder), QStringList());
        QVERIFY(QFileInfo::exists(tmp->path() + "/p"));
    }

    // A partial put back at its name during the copy (the same file queued
    // again, its download begun anew) stays; the copy lands. So too for the
    // move of a partial found whole at a start.
    void partialPutBackDuringTheCopy_data() {
        QTest::addColumn<bool>("found");
        QTest::newRow("finished download") << false;
        QTest::newRow("found whole at a start") << true;
    }
    void partialPutBackDuringTheCopy() {
        QFETCH(bool, found);
        const QString source = tmp->path() + "/partial";
        const QString folder = tmp->path() + "/complete";
        const QByteArray data = Pattern(300000);
        QVERIFY(Write(source, data) && QDir().mkpath(folder));
        ForceFinishedFileCopy(true);
        bool putBack = false;
        SetBeforeTemporaryRename([&](const QString&) {
            putBack = QFile::remove(source) && Write(source, "begun anew");
        });
        const FinishedMove move = found ? PlaceWholeFile(source, folder, "x.bin")
                                        : CopyFinishedFile(source, folder, "x.bin");
        QVERIFY(putBack);
        QVERIFY(move.done);
        QVERIFY2(move.error.contains("was replaced during the copy"), qPrintable(move.error));
        QCOMPARE(ReadFile(folder + "/x.bin"), data);
        QCOMPARE(ReadFile(source), QByteArray("begun anew"));
    }

    // A kill after the move put the file in place and removed the partial,
    // before the finish was recorded: the next start finishes it with the
    // uploader offline, under whatever name the move gave it, renamed or
    // copied. A file of the user's of that name and size with other bytes,
    // or with its first bytes and another size, is not taken for it: the
    // download stays queued.
    void restartAfterAMoveBeforeItsRecord_data() {
        QTest::addColumn<QString>("moved");  // how the partial went into the folder
        QTest::addColumn<QString>("users");  // a file of the user's of that name: how it differs
        QTest::newRow("renamed") << "renamed"
                                 << "";
        QTest::newRow("copied") << "copied"
                                << "";
        QTest::newRow("copied beside the user's file") << "copied"
                                                       << "bytes";
        QTest::newRow("partial gone, the user's file there") << ""
                                                             << "bytes";
        QTest::newRow("partial gone, the user's longer file there") << ""
                                                                    << "size";
    }
    void restartAfterAMoveBeforeItsRecord() {
        QFETCH(QString, moved);
        QFETCH(QString, users);
        const QByteArray data = Pattern(300000);
        QByteArray theirs = data;
        if (users == "size")
            theirs += "more";
        else
            theirs[0] = 'U';
        QVERIFY(!FailedMove(data).IsNull());
        const QString complete = Root() + "/complete/S";
        const QString partial = Root() + "/downloading/S/x.bin";
        QVERIFY(QFile::remove(complete) && QDir().mkpath(complete));
        if (!users.isEmpty())
            QVERIFY(Write(complete + "/x.bin", theirs));
        const QString name = users.isEmpty() ? "x.bin" : "x (1).bin";
        if (moved == "renamed")
            QVERIFY(QFile::rename(partial, complete + "/" + name));
        else if (moved == "copied")
            QVERIFY(Write(complete + "/" + name, data) && QFile::remove(partial));
        else
            QVERIFY(QFile::remove(partial));
        QVERIFY(Restart(false));
        const ItemPtr x = tqm->GetDownloadEntry("bob", "x.bin", "S");
        QVERIFY(!User("bob").IsConnected("is_online"));
        if (!users.isEmpty())
            QCOMPARE(ReadFile(complete + "/x.bin"), theirs);
        if (moved.isEmpty()) {
            QCOMPARE(Status(x), QString("queued"));
            return;
        }
        QCOMPARE(Status(x), QString("complete"));
        QCOMPARE(tqm->GetDownloadTargetPath(x, true), Wire(complete + "/" + name));
        QCOMPARE(ReadFile(complete + "/" + name), data);
        int records = 0;
        for (const ItemPtr& record : d.GetType("complete_download")->GetItems())
            records += record.HasItem("complete_download_filename").AsString() == name ? 1 : 0;
        QCOMPARE(records, 1);
    }

    // After a restart, a move that failed is neither redone at once nor
    // fetched again: it shows why and waits, as after a write failure; a
    // transfer request meanwhile is answered "Queued" (which makes the
    // uploader wait for our word), and once the wait is over it is moved
    // here, once a turn, longer waits after each failure.
    void restartAfterAFailedMove() {
        LogLines log;
        const QByteArray data = Pattern(300000);
        QVERIFY(!FailedMove(data).IsNull());
        QVERIFY(Restart());
        ForceFinishedFileCopy(true);
        const ItemPtr x = tqm->GetDownloadEntry("bob", "x.bin", "S");
        const auto moves = [&] { return log.lines.filter("Could not move").size(); };
        QCOMPARE(Status(x), QString("local error"));
        QVERIFY2(x.HasItem("denial_reason").AsString().contains("trying again at"),
                 qPrintable(x.HasItem("denial_reason").AsString()));
        for (int tick = 0; tick < 3; ++tick)
            tqm->EveryHalfMinute();
        QVERIFY(!Asked());
        QCOMPARE(Request(31, "S\\x.bin", data.size(), true), QString("Queued"));
        QCOMPARE(moves(), 1);
        bob->SendMessageOn(0, PeerMessenger::PM_UPLOAD_FAILED, Payload().Str("S\\x.bin"));
        QVERIFY(!Asked());

        SetTime(x, "download_retry_time", Ago(1));
        tqm->EveryHalfMinute();
        QTRY_COMPARE_WITH_TIMEOUT(moves(), 2, kWait);
        QCOMPARE(Status(x), QString("local error"));
        QVERIFY2(!log.lines.filter("trying again in 60 s").isEmpty(),
                 qPrintable(log.lines.join('\n')));
        tqm->EveryHalfMinute();
        QVERIFY(!Asked());

        QVERIFY(QFile::remove(Root() + "/complete/S"));
        SetTime(x, "download_retry_time", Ago(1));
        tqm->EveryHalfMinute();
        QTRY_COMPARE_WITH_TIMEOUT(Status(x), QString("complete"), kWait);
        QCOMPARE(ReadFile(Root() + "/complete/S/x.bin"), data);
        QVERIFY(!QFileInfo::exists(Root() + "/downloading/S/x.bin"));
        QCOMPARE(moves(), 2);
        QVERIFY(!Asked());
        QCOMPARE(log.lines.filter("Download already").size(), 0);
    }

    // A move stopped by a quit or a kill ends at the next start, without the
    // uploader: a stopped copy's temporary goes; a copy renamed into place
    // before the stop is kept and the partial goes; another file of that
    // name and size stays, and the download takes a free name.
    void restartAfterAStoppedMove_data() {
        QTest::addColumn<QString>("left");  // in the complete folder
        QTest::newRow("stopped during the copy") << "temporary";
        QTest::newRow("stopped after the rename") << "copy";
        QTest::newRow("the user's file of that name and size") << "user's";
    }
    void restartAfterAStoppedMove() {
        QFETCH(QString, left);
        const QByteArray data = Pattern(300000);
        QByteArray users = data;
        users[users.size() - 1] = 'U';
        const ItemPtr failed = FailedMove(data);
        QVERIFY(!failed.IsNull());
        // A stop, not a failure: no wait.
        failed.Disconnect("download_retry_time");
        failed.Disconnect("write_failure_backoff");
        const QString complete = Root() + "/complete/S";
        QVERIFY(QFile::remove(complete));
        if (left == "temporary")
            QVERIFY(Write(complete + "/" + kStale, data.left(1000)));
        if (left == "copy")
            QVERIFY(Write(complete + "/x.bin", data));
        if (left == "user's")
            QVERIFY(Write(complete + "/x.bin", users));
        // On one disk the temporary has only the start-up's sweep to go by.
        ForceFinishedFileCopy(left != "temporary");
        QVERIFY(Restart());
        const ItemPtr x = tqm->GetDownloadEntry("bob", "x.bin", "S");
        QTRY_COMPARE_WITH_TIMEOUT(Status(x), QString("complete"), kWait);
        const QString name = left == "user's" ? "x (1).bin" : "x.bin";
        QCOMPARE(tqm->GetDownloadTargetPath(x, true), Wire(complete + "/" + name));
        QCOMPARE(ReadFile(complete + "/" + name), data);
        QTRY_COMPARE_WITH_TIMEOUT(
            Names(complete),
            left == "user's" ? QStringList({"x (1).bin", "x.bin"}) : QStringList{"x.bin"}, kWait);
        if (left == "user's")
            QCOMPARE(ReadFile(complete + "/x.bin"), users);
        QCOMPARE(Names(Root() + "/downloading/S"), QStringList());
        tqm->EveryHalfMinute();
        QVERIFY(!Asked());
    }

    // A close that fails, where some disks say a write was lost: the
    // download is not complete, its partial stays whole and nothing takes
    // its name; once the disk works again, Retry completes it.
    void closeFailsOnTheDisk_data() {
        QTest::addColumn<QString>("folder");  // on the failing disk
        QTest::newRow("the finished copy's") << "complete";
        QTest::newRow("the partial's") << "downloading";
    }
    void closeFailsOnTheDisk() {
        QFETCH(QString, folder);
        ForceFinishedFileCopy(true);
        const QByteArray data = Pattern(300000);
        const ItemPtr x = Add("x.bin", data.size());
        QVERIFY(QDir().mkpath(Root() + "/" + folder));
        {
            const DiskFailsClose disk(Root() + "/" + folder, EIO);
            QVERIFY(Download(12, "x.bin", data));
            QTRY_VERIFY_WITH_TIMEOUT(x.HasItem("denial_reason").AsString().endsWith(strerror(EIO)),
                                     kWait);
        }
        QCOMPARE(ReadFile(Root() + "/downloading/S/x.bin"), data);
        QCOMPARE(Names(Root() + "/complete/S"), QStringList());
        QCOMPARE(tqm->RetryDownload(x), QString());
        QTRY_COMPARE_WITH_TIMEOUT(Status(x), QString("complete"), kWait);
        QCOMPARE(ReadFile(Root() + "/complete/S/x.bin"), data);
    }

    // The user's Retry after a write failure ends the wait and queues the
    // download at once; where it cannot, it says why.
    void retryAfterAWriteFailure() {
        Online("bob");
        const ItemPtr x = Add("x.bin", 100000);
        Drain(*bob);
        {
            FileSizeLimit limit(20000);
            QVERIFY(Download(10, "x.bin", Pattern(100000)));
            QTRY_COMPARE_WITH_TIMEOUT(Status(x), QString("aborted"), kWait);
        }
        QVERIFY(TQM::WaitsAfterWriteFailure(x));
        QCOMPARE(tqm->RetryDownload(x), QString());
        QVERIFY(Asked());
        QCOMPARE(Status(x), QString("queued"));
        QVERIFY(!TQM::WaitsAfterWriteFailure(x));
        QVERIFY(Download(11, "x.bin", Pattern(100000)));
        QTRY_COMPARE_WITH_TIMEOUT(Status(x), QString("complete"), kWait);
        QCOMPARE(tqm->RetryDownload(x), QString("it is complete"));
        QVERIFY(!Asked());
    }

    // A download stopped because the partials journal could not be written
    // waits no longer once the journal writes again.
    void journalFailureWaitEndsWhenItWritesAgain() {
        QVERIFY(Restart());
        const ItemPtr x = Add("x.bin", 100000);
        Drain(*bob);
        const QString store = tmp->path() + "/store";
        // The journal's writer may be putting its file there meanwhile.
        QTRY_VERIFY_WITH_TIMEOUT(QDir(store).removeRecursively(), kWait);
        QVERIFY(Download(10, "x.bin", Pattern(100000)));
        QTRY_COMPARE_WITH_TIMEOUT(Status(x), QString("aborted"), kWait);
        QVERIFY2(x.HasItem("denial_reason").AsString().contains(PartialJournal::kWriteFailed),
                 qPrintable(x.HasItem("denial_reason").AsString()));
        QVERIFY(TQM::WaitsAfterWriteFailure(x));
        tqm->EveryHalfMinute();
        QVERIFY(!Asked());
        QVERIFY(QDir().mkpath(store));
        QTRY_VERIFY_WITH_TIMEOUT((tqm->EveryHalfMinute(), Status(x) == "queued"), kWait);
        QVERIFY(Asked());
    }
};

QTEST_GUILESS_MAIN(TestFinishedMove)
#include "test_finished_move.moc"
