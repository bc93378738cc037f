// Start-up and shutdown of the whole client with a large own share already
// indexed in the saved store: the time from constructing the main window to
// a shown, initialised window; the main thread's longest stall from then
// until the start-up walk is merged, with the time that took and the resident
// memory after it; the longest stall from a click on "Rescan Shares", and from
// sharing the same folder anew through the window's "Share Folder" dialog, to
// its merged index, with the time that took against the start-up walk and
// merge; the time of the orderly shutdown with its final save; and, in a
// child whose store holds no share yet (a first run), the same "Share Folder"
// of the whole folder, against the same figures.
//
// Usage: bench_gui_startup [--quick] [--files N]
//   --quick    5,000 files, figures only
//   --files N  N files, with verdicts on the targets
//   (neither)  100,000 and then 1,000,000 files, with verdicts on the
//              targets (see Targets below)
//   --never-read-size N [--never-read-seconds S]
//              only the phase of users who never read, N files, S seconds
//   --share-lists-never-read-size N, --folder-requests-size N
//   [--peer-flood-seconds S]
//              only that phase of peers asking faster than they read, N
//              files, S seconds a flood (120 unless given)
//   --slow-reader-size N [--quick]
//              only the phase of slow readers, N files
//   --cap-readers-size N [--quick]
//              only the phase of slow readers filling the cap, N files
//   --big-folder-size N [--big-folder-seconds S] [--quick]
//              only the phase of one folder of N files, S seconds a round
//   --queue-requests-size N [--quick]
//              only the phase of strangers sending queue requests, N files
// Each share is built and saved by a process of its own; start-up and
// shutdown are measured in a fresh child process, so that the building does
// not blur the memory figure.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QPushButton>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>
#include <QtEndian>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "ClientBench.h"
#include "PeerFloodBench.h"
#include "ProcStatus.h"
#include "StallProbe.h"
#include "net/PeerMessenger.h"
#include "net/PeerPayloads.h"
#include "net/server.h"
#include "shares/SharedFoldersManager.h"
#include "shell/Prompts.h"
#include "shell/ShellGlobals.h"
#include "shell/mainwindow.h"
#include "store/MemStream.h"
#include "store/Settings.h"
#include "store/TimerManager.h"
#include "support/Payload.h"
#include "support/RawPeer.h"
#include "support/SharesIndexed.h"
#include "support/TestFiles.h"
#include "support/WindowStart.h"
#include "transfers/TransferQueueManager.h"
#include "views/shares/AddSharedFolderDialog.h"

namespace {

// What each size must reach.
struct Targets {
    qint64 shownMs;
    double stallMs = 200;
    qint64 mergedMs;    // start-up to the end of the merge; 0: none
    double residentMB;  // after the merge, in 10^6 bytes; 0: none
    qint64 shutdownMs = 1000;
};

Targets TargetsFor(int files) {
    if (files >= 1000000)
        return Targets{5000, 200, 25000, 1000, 1000};
    return Targets{3000, 200, 0, 0, 1000};
}

// Constructs and initialises the main window; returns once it is on screen.
// `initMs` is when the start-up walk was queued.
qint64 StartWindow(std::unique_ptr<MainWindow>& window, const QElapsedTimer& clock,
                   qint64& initMs) {
    window = std::make_unique<MainWindow>();
    window->show();
    window->Init();
    initMs = clock.elapsed();
    StopTimers();
    // Shown means the window system has put it on screen, not just show().
    while (!window->windowHandle()->isExposed() && clock.elapsed() < 60000)
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    return window->windowHandle()->isExposed() ? clock.elapsed() : -1;
}

struct MergeFigures {
    double longestStallMs = 0;
    qint64 endMs = -1;  // since the start, -1 when it never ended
    long residentKiB = 0;
};

// Keeps the event loop turning until the start-up walk is merged.
MergeFigures WaitForMerge(const QElapsedTimer& clock) {
    MergeFigures out;
    const qint64 limitMs = clock.elapsed() + 300000;
    out.longestStallMs = LongestStallUntil(clock, [&] {
        return !sharedFoldersManager->IsBackgroundScanPending() || clock.elapsed() > limitMs;
    });
    if (!sharedFoldersManager->IsBackgroundScanPending())
        out.endMs = clock.elapsed();
    out.residentKiB = ResidentKiB();
    return out;
}

// Waits until the scanner thread has done what is queued on it: the audio
// analyses the last merge asked for, which a walk queued now would wait
// behind. Returns how long that took.
qint64 DrainScanner() {
    QElapsedTimer clock;
    clock.start();
    std::atomic<bool> done{false};
    QMetaObject::invokeMethod(
        sharedFoldersManager->GetScanner(), [&done] { done = true; }, Qt::QueuedConnection);
    while (!done)
        QApplication::processEvents(QEventLoop::AllEvents, 50);
    return clock.elapsed();
}

struct BackgroundFigures {
    double longestStallMs = 0;
    qint64 mergedMs = -1;  // from the start to the merged index; -1 when it never ended
    int indexed = 0;
};

// Runs `start` (a click) and the event loop until `ended` is set by the
// manager's signal: the main thread's longest stall from the click on.
template <class Start>
BackgroundFigures Background(Start start, const bool& ended) {
    BackgroundFigures out;
    QElapsedTimer clock;
    clock.start();
    bool started = false;
    out.longestStallMs = LongestStallUntil(clock, [&] {
        if (!started) {
            started = true;
            start();
        }
        return (ended && !sharedFoldersManager->IsBackgroundScanPending()) ||
               clock.elapsed() > 600000;
    });
    if (ended)
        out.mergedMs = clock.elapsed();
    out.indexed = d.GetType("shared_file")->ItemCount();
    return out;
}

// Prints one background figure: the stall target, and the time to the
// merged index against the start-up walk and merge.
bool ReportBackground(const char* what, const BackgroundFigures& figures, qint64 startupMs,
                      double stallTargetMs, bool verdicts) {
    std::printf("%s: longest main-thread stall from the click to the merged index: %.1f ms", what,
                figures.longestStallMs);
    if (verdicts)
        std::printf("; target under %.0f ms: %s", stallTargetMs,
                    Verdict(figures.mergedMs >= 0 && figures.longestStallMs < stallTargetMs));
    std::printf("\n");
    std::printf("%s: merged index of %d files after %lld ms (start-up walk and merge: %lld ms)",
                what, figures.indexed, static_cast<long long>(figures.mergedMs),
                static_cast<long long>(startupMs));
    if (verdicts)
        std::printf("; target at most a fifth slower: %s",
                    Verdict(figures.mergedMs >= 0 && figures.mergedMs * 5 <= startupMs * 6));
    std::printf("\n");
    std::fflush(stdout);
    return figures.mergedMs >= 0;
}

// "Share Folder" as a user does it: the tool-bar button, the folder picked
// in the dialog's chooser, then OK, which shares it with everyone.
bool ShareFolderThroughWindow(MainWindow* window, const QString& path) {
    window->OnToolBarActionTriggered(nullptr, "share_folder");
    const auto dialogs = window->findChildren<AddSharedFolderDialog*>();
    AddSharedFolderDialog* dialog = dialogs.isEmpty() ? nullptr : dialogs.last();
    auto* pick = dialog ? dialog->findChild<QPushButton*>("selectFolderButton") : nullptr;
    auto* buttons = dialog ? dialog->findChild<QDialogButtonBox*>("buttonBox") : nullptr;
    if (!pick || !buttons) {
        std::printf("Share Folder: no dialog to pick the folder in\n");
        return false;
    }
    prompts::SetChooseFolderHandler([path](QWidget*, const QString&) { return path; });
    pick->click();
    prompts::SetChooseFolderHandler(nullptr);
    buttons->button(QDialogButtonBox::Ok)->click();
    return true;
}

// The start-up walk and merge, for the fresh-store "Share Folder" child to
// compare with.
void KeepStartupWalkMs(qint64 ms) {
    QFile out(QDir::home().filePath("startup-walk-ms"));
    if (out.open(QIODevice::WriteOnly))
        out.write(QByteArray::number(ms));
}

qint64 Shutdown(std::unique_ptr<MainWindow>& window) {
    QElapsedTimer clock;
    clock.start();
    window.reset();
    return clock.elapsed();
}

int Measure(int files, bool verdicts) {
    const Targets target = TargetsFor(files);
    QElapsedTimer clock;
    clock.start();
    std::unique_ptr<MainWindow> window;
    qint64 initMs = 0;
    const qint64 shownMs = StartWindow(window, clock, initMs);
    if (shownMs < 0) {
        std::printf("the main window was never exposed\n");
        return 1;
    }
    std::printf("start-up to a shown main window: %lld ms", static_cast<long long>(shownMs));
    if (verdicts)
        std::printf("; target under %lld ms: %s", static_cast<long long>(target.shownMs),
                    Verdict(shownMs < target.shownMs));
    std::printf("\n");

    const MergeFigures merge = WaitForMerge(clock);
    const int indexed = d.GetType("shared_file")->ItemCount();
    const int tokened = d.GetType("search_token")->ItemCount();
    std::printf("files indexed after the start-up merge: %d (%d search tokens)\n", indexed,
                tokened);
    std::printf("longest main-thread stall from the shown window to the merged index: %.1f ms",
                merge.longestStallMs);
    if (verdicts)
        std::printf("; target under %.0f ms: %s", target.stallMs,
                    Verdict(merge.endMs >= 0 && merge.longestStallMs < target.stallMs));
    std::printf("\n");
    std::printf("start-up to the merged index (load, walk and merge): %lld ms",
                static_cast<long long>(merge.endMs));
    if (verdicts && target.mergedMs > 0)
        std::printf("; target under %lld ms: %s", static_cast<long long>(target.mergedMs),
                    Verdict(merge.endMs >= 0 && merge.endMs < target.mergedMs));
    std::printf("\n");
    std::printf("resident memory after the merge: %.1f MiB, %.0f bytes per indexed file",
                merge.residentKiB / 1024.0, files > 0 ? merge.residentKiB * 1024.0 / files : 0.0);
    if (verdicts && target.residentMB > 0)
        std::printf("; target under %.0f MB (%.1f MiB): %s", target.residentMB,
                    target.residentMB * 1e6 / 1048576.0,
                    Verdict(merge.residentKiB * 1024.0 < target.residentMB * 1e6));
    std::printf("\n");

    // "Rescan Shares" from the tool bar, nothing changed on disk.
    const qint64 startupMs = merge.endMs - initMs;
    KeepStartupWalkMs(startupMs);
    std::printf("audio analyses the merge asked for: done %lld ms after it\n",
                static_cast<long long>(DrainScanner()));
    bool rescanned = false;
    QObject::connect(sharedFoldersManager, &SharedFoldersManager::SharedFilesRescanned,
                     window.get(), [&rescanned] { rescanned = true; });
    const BackgroundFigures rescan =
        Background([&] { window->OnToolBarActionTriggered(nullptr, "rescan_shares"); }, rescanned);
    bool ok = ReportBackground("Rescan Shares", rescan, startupMs, target.stallMs, verdicts) &&
              rescan.indexed == indexed;

    // The share unshared, its entries dropped, then shared again: a folder
    // of `files` new files.
    const ItemPtr root = d.GetType("shared_folder")->GetItems().First();
    const QString rootPath = root.AsString();
    root.Remove();
    for (const ItemPtr& folder : d.GetType("shared_file_folder")->GetItems()) {
        folder.GetItems("shared_file").Remove();
        folder.Remove();
    }
    d.RemoveDisconnectedItems();
    DrainScanner();
    bool added = false;
    const auto addedConnection =
        QObject::connect(sharedFoldersManager, &SharedFoldersManager::BackgroundMergeEnded,
                         window.get(), [&added] { added = true; });
    const BackgroundFigures add =
        Background([&] { ShareFolderThroughWindow(window.get(), rootPath); }, added);
    QObject::disconnect(addedConnection);
    ok = ReportBackground("adding a shared folder", add, startupMs, target.stallMs, verdicts) &&
         add.indexed == indexed && ok;

    const qint64 stopMs = Shutdown(window);
    std::printf("shutdown with its save: %lld ms", static_cast<long long>(stopMs));
    if (verdicts)
        std::printf("; target under %lld ms: %s", static_cast<long long>(target.shutdownMs),
                    Verdict(stopMs < target.shutdownMs));
    std::printf("\n");
    std::fflush(stdout);
    return ok && indexed >= files && merge.endMs >= 0 ? 0 : 1;
}

// "Share Folder" of the whole share in a window whose store holds no share
// yet, as on a first run: the index grows from nothing while the window
// runs, its clocks included.
int MeasureShareFolder(const QString& root, int files, qint64 startupMs, bool verdicts) {
    QElapsedTimer clock;
    clock.start();
    std::unique_ptr<MainWindow> window = StartMainWindow(Clocks::Running);
    while (!window->windowHandle()->isExposed() && clock.elapsed() < 60000)
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    while (sharedFoldersManager->IsBackgroundScanPending() && clock.elapsed() < 60000)
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    bool added = false;
    QObject::connect(sharedFoldersManager, &SharedFoldersManager::BackgroundMergeEnded,
                     window.get(), [&added] { added = true; });
    bool clicked = false;
    const BackgroundFigures add =
        Background([&] { clicked = ShareFolderThroughWindow(window.get(), root); }, added);
    const bool ok = ReportBackground("Share Folder into a store without shares", add, startupMs,
                                     TargetsFor(files).stallMs, verdicts) &&
                    clicked && add.indexed == files;
    std::printf("resident memory after sharing: %.1f MiB\n", ResidentKiB() / 1024.0);
    std::fflush(stdout);
    window.reset();
    return ok ? 0 : 1;
}

// The share of `home` shared anew from a window of its own, in a child.
int RunShareFolder(const QTemporaryDir& home, int files, bool verdicts) {
    QFile walk(home.filePath("startup-walk-ms"));
    if (!walk.open(QIODevice::ReadOnly))
        return 1;
    const QString startupMs = QString::fromLatin1(walk.readAll());
    const QString fresh = home.filePath("fresh");
    if (!QDir().mkpath(fresh))
        return 1;
    qputenv("HOME", fresh.toUtf8());
    QStringList arguments = {"--share-folder",       home.filePath("share"), "--files",
                             QString::number(files), "--startup-ms",         startupMs};
    if (verdicts)
        arguments << "--verdicts";
    const int status = RunMeasuredChild(arguments);
    qputenv("HOME", home.path().toUtf8());
    return status;
}

// Builds a share of `files` under a fresh home and measures it in a child.
int RunSize(int files, bool quick, bool verdicts) {
    QTemporaryDir home;
    if (!home.isValid())
        return 1;
    qputenv("HOME", home.path().toUtf8());
    std::printf("bench_gui_startup: %d shared files%s\n", files, quick ? " (quick)" : "");
    if (!BuildShare(home.filePath("share"), files))
        return 1;
    std::fflush(stdout);
    QStringList arguments = {"--measure", "--files", QString::number(files)};
    if (verdicts)
        arguments << "--verdicts";
    return RunMeasuredChild(arguments) | RunShareFolder(home, files, verdicts);
}

}  // namespace

// ---------------------------------------------------------------------------
// The share list asked for by a second client through the real peer path: a
// scripted peer connects to the client's listening port and sends the
// request, first once the start-up merge has ended, then again after a rescan
// that changed the index. Printed: the main thread's longest stall from the
// request until the whole list has arrived, against 200 ms. Each size is
// built by a process of its own and measured in a fresh child.

namespace {

constexpr double kShareListStallTargetMs = 200;

struct ShareListFigures {
    double stallMs = 0;
    qint64 answerMs = -1;  // -1: no list came
    qint64 bytes = 0;
    qint64 listed = -1;  // files in the list; -1 when it does not read
};

ShareListFigures AskForShareList(RawPeer& peer) {
    ShareListFigures out;
    QByteArray list;
    QElapsedTimer clock;
    clock.start();
    peer.SendMessage(PeerMessenger::PM_SHARED_FILE_LIST_REQUEST);
    out.stallMs = LongestStallUntil(clock, [&] {
        quint32 code = 0;
        QByteArray payload;
        while (list.isEmpty() && peer.WaitForMessage(&code, &payload, 0))
            if (code == PeerMessenger::PM_SHARED_FILE_LIST)
                list = payload.isEmpty() ? QByteArray(1, '\0') : payload;
        return !list.isEmpty() || clock.elapsed() > 600000;
    });
    if (list.isEmpty())
        return out;
    out.answerMs = clock.elapsed();
    out.bytes = list.size();
    out.listed = ListedFiles(list);
    return out;
}

bool ReportShareList(const char* when, const ShareListFigures& figures, bool verdicts) {
    const bool met = figures.answerMs >= 0 && figures.stallMs < kShareListStallTargetMs;
    std::printf(
        "share list, first request %s: longest main-thread stall %.1f ms; list of %lld "
        "files (%lld bytes) after %lld ms",
        when, figures.stallMs, static_cast<long long>(figures.listed),
        static_cast<long long>(figures.bytes), static_cast<long long>(figures.answerMs));
    if (verdicts)
        std::printf("; target under %.0f ms: %s", kShareListStallTargetMs, met ? "met" : "MISSED");
    std::printf("\n");
    std::fflush(stdout);
    return figures.answerMs >= 0;
}

int MeasureShareList(int files, bool verdicts) {
    QElapsedTimer clock;
    clock.start();
    std::unique_ptr<MainWindow> window = StartMainWindow();
    while (sharedFoldersManager->IsBackgroundScanPending() && clock.elapsed() < 600000)
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    const int indexed = d.GetType("shared_file")->ItemCount();
    std::printf("share list: %d files indexed, start-up merge ended after %lld ms\n", indexed,
                static_cast<long long>(clock.elapsed()));
    RawPeer peer;
    if (!ConnectPeer(peer, "share list", "browser"))
        return 1;
    bool ok = ReportShareList("after start-up", AskForShareList(peer), verdicts);

    // A new file, so that the rescan changes the index.
    const QString root = d.GetType("shared_folder")->GetItems().First().AsString();
    QFile added(root + "/added after start-up.mp3");
    ok = ok && added.open(QIODevice::WriteOnly);
    added.close();
    bool rescanned = false;
    QObject::connect(sharedFoldersManager, &SharedFoldersManager::SharedFilesRescanned,
                     window.get(), [&rescanned] { rescanned = true; });
    const BackgroundFigures rescan =
        Background([] { sharedFoldersManager->RescanShares(); }, rescanned);
    std::printf("share list: rescan of %d files merged after %lld ms, longest stall %.1f ms\n",
                rescan.indexed, static_cast<long long>(rescan.mergedMs), rescan.longestStallMs);
    ok = ReportShareList("after a rescan", AskForShareList(peer), verdicts) && ok;
    window.reset();
    return ok && indexed >= files ? 0 : 1;
}

// A music library with names as varied as real ones, so that the list
// costs what a real one would to compress: 20 tracks to a record, 10 records
// to a performer.
bool WriteLibrary(const QString& root, int files) {
    return WriteFiles(root, files, [](int i) {
        const int record = i / 20;
        return QString("Performer %1/Record %2 (%3)/%4 Piece %5 in %6.mp3")
            .arg(record / 10)
            .arg(record)
            .arg(1960 + record % 60)
            .arg(i % 20 + 1, 2, 10, QChar('0'))
            .arg(i)
            .arg(QChar('A' + i % 7));
    });
}

// Builds a share of `files` under a fresh home and measures it in a child.
int RunShareListSize(int files, bool verdicts) {
    QTemporaryDir home;
    if (!home.isValid())
        return 1;
    qputenv("HOME", home.path().toUtf8());
    std::printf("bench_gui_startup, share list: %d shared files\n", files);
    const QString root = home.filePath("share");
    if (!WriteLibrary(root, files) || !BuildShare(root, 0))
        return 1;
    std::fflush(stdout);
    QStringList arguments = {"--share-list", "--files", QString::number(files)};
    if (verdicts)
        arguments << "--verdicts";
    return RunMeasuredChild(arguments);
}

// The share-list runs of this program: -1 when these arguments ask for none.
int ShareListMode(const Args& args) {
    if (args.Has("--share-list"))
        return MeasureShareList(args.Int("--files"), args.Has("--verdicts"));
    if (const int size = args.Int("--share-list-size"); size > 0)
        return RunShareListSize(size, args.Has("--verdicts"));
    return -1;
}

// The fresh-store "Share Folder" child: -1 when these arguments ask for none.
int ShareFolderMode(const Args& args) {
    const char* root = args.Value("--share-folder");
    if (!root || !*root)
        return -1;
    const char* startupMs = args.Value("--startup-ms");
    return MeasureShareFolder(QString::fromLocal8Bit(root), args.Int("--files"),
                              startupMs ? std::atoll(startupMs) : 0, args.Has("--verdicts"));
}

// Each size in a process of its own, as for start-up.
int RunShareListSection(bool quick) {
    int status = 0;
    for (int size : quick ? std::vector<int>{5000} : std::vector<int>{100000, 1000000}) {
        QStringList arguments = {"--share-list-size", QString::number(size)};
        if (!quick)
            arguments << "--verdicts";
        status |= RunMeasuredChild(arguments);
    }
    return status;
}

}  // namespace

// ---------------------------------------------------------------------------
// A peer searching for a word that every file of the big share holds, 10
// times a second for 10 s (2 s with --quick), as the server passes searches
// on: the main thread's longest stall from the first search until 2 s after
// the last, against 200 ms, and what the answers that came held. Each size is
// built by a process of its own and measured in a fresh child.

namespace {

constexpr double kSearchFloodStallTargetMs = 200;

int MeasureSearchFlood(int files, int seconds, bool verdicts) {
    RawPeer peer;
    int indexed = 0;
    std::unique_ptr<MainWindow> window =
        StartWithAskingPeer(peer, "search flood", "searcher", indexed);
    if (!window)
        return 1;

    int searches = 0, answers = 0;
    QByteArray last;
    QTimer searcher;
    QObject::connect(&searcher, &QTimer::timeout, [&] {
        emit gp_server->DirectFileSearch("searcher", quint32(++searches), "record");
    });
    QElapsedTimer flood;
    flood.start();
    searcher.start(100);
    const double stallMs = LongestStallUntil(flood, [&] {
        if (flood.elapsed() >= seconds * 1000)
            searcher.stop();
        quint32 code = 0;
        QByteArray payload;
        while (peer.WaitForMessage(&code, &payload, 0))
            if (code == PeerMessenger::PM_FILE_SEARCH_RESULT) {
                ++answers;
                last = payload;
            }
        return flood.elapsed() >= (seconds + 2) * 1000;
    });
    SearchResultMessage answer;
    const bool read = !last.isEmpty() && ParseSearchResults(last.constData(), last.size(), answer);
    std::printf(
        "search flood: %d searches for a word all %d files hold, 10 a second for %d s: "
        "longest main-thread stall %.1f ms",
        searches, indexed, seconds, stallMs);
    if (verdicts)
        std::printf("; target under %.0f ms: %s", kSearchFloodStallTargetMs,
                    stallMs < kSearchFloodStallTargetMs ? "met" : "MISSED");
    std::printf("\nsearch flood: %d answers came, the last with %d results (%lld bytes)\n", answers,
                int(answer.files.size()), static_cast<long long>(last.size()));
    std::fflush(stdout);
    window.reset();
    return read && indexed >= files ? 0 : 1;
}

// Builds the big share under a fresh home and measures it in a child.
int RunSearchFloodSize(int files, bool quick, bool verdicts) {
    QTemporaryDir home;
    if (!home.isValid())
        return 1;
    qputenv("HOME", home.path().toUtf8());
    std::printf("bench_gui_startup, search flood: %d shared files\n", files);
    if (!BuildShare(home.filePath("share"), files))
        return 1;
    std::fflush(stdout);
    QStringList arguments = {"--search-flood", "--files", QString::number(files)};
    if (verdicts)
        arguments << "--verdicts";
    if (quick)
        arguments << "--quick";
    return RunMeasuredChild(arguments);
}

// The search-flood runs of this program: -1 when these arguments ask for none.
int SearchFloodMode(const Args& args) {
    const bool quick = args.Has("--quick");
    // A quick run floods for 2 s only: figures, no verdicts.
    if (args.Has("--search-flood"))
        return MeasureSearchFlood(args.Int("--files"), quick ? 2 : 10, args.Has("--verdicts"));
    if (const int size = args.Int("--search-flood-size"); size > 0)
        return RunSearchFloodSize(size, quick, args.Has("--verdicts"));
    return -1;
}

int RunSearchFloodSection(bool quick) {
    int status = 0;
    for (int size : quick ? std::vector<int>{5000} : std::vector<int>{100000, 1000000}) {
        QStringList arguments = {"--search-flood-size", QString::number(size)};
        arguments << (quick ? "--quick" : "--verdicts");
        status |= RunMeasuredChild(arguments);
    }
    return status;
}

}  // namespace

// ---------------------------------------------------------------------------
// Users who search and never read: 40 peers (4 with --quick) each search for
// a word all files of the big share hold, 10 times a second for 5 minutes
// (3 s with --quick), and read nothing of what comes, also on connections
// the client opens to them. Meanwhile a normal user searches every
// 2 s and reads. Printed, with targets: the growth of resident memory from
// before the flood to its end and to 10 s after the users left, the main
// thread's longest stall, and the normal user's answers. Built by a process
// of its own and measured in a fresh child.

namespace {

constexpr double kNeverReadGrowthTargetMiB = 150;
constexpr double kNeverReadLeftTargetMiB = 50;
constexpr double kNeverReadStallTargetMs = 200;

// A user whose client connects and asks but never reads: what arrives stays
// in the system's buffers and then in ours. Its address is known, as the
// server would tell it, so that the client connects to it again to answer
// once it has closed the connection; those connections are not read either.
class NeverReader : public QObject {
public:
    NeverReader(const QString& name, quint16 port) {
        m_listener.listen(QHostAddress::LocalHost, 0);
        connect(&m_listener, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = m_listener.nextPendingConnection()) {
                socket->setReadBufferSize(4096);
                ++reconnects;
            }
        });
        const ItemPtr user = d.GetType("user")->GetItem(Value(name));
        user.Connect(d.GetType("user_address")->GetItem(Value(quint32(0x7F000001))));
        user.Connect(d.GetType("user_port")->GetItem(Value(m_listener.serverPort())));
        m_socket.setReadBufferSize(4096);
        m_socket.connectToHost(QHostAddress::LocalHost, port);
        m_socket.write(RawPeer::SetUpFrame(name, "P"));
    }
    void Leave() {
        m_listener.close();
        for (QTcpSocket* socket : m_listener.findChildren<QTcpSocket*>())
            socket->abort();
        m_socket.abort();
    }
    int reconnects = 0;

private:
    QTcpServer m_listener;
    QTcpSocket m_socket;
};

int MeasureNeverRead(int files, int users, int seconds, bool verdicts) {
    RawPeer reader;
    int indexed = 0;
    std::unique_ptr<MainWindow> window =
        StartWithAskingPeer(reader, "never read", "reader", indexed);
    if (!window)
        return 1;
    QElapsedTimer clock;
    clock.start();
    // Settled: the window's own start-up work is done before the first figure.
    LongestStall(clock, clock.elapsed() + 2000);
    const long before = ResidentKiB();

    std::vector<std::unique_ptr<NeverReader>> peers;
    for (int k = 0; k < users; ++k)
        peers.push_back(std::make_unique<NeverReader>(QString("silent%1").arg(k),
                                                      peerMessenger->ListeningPort()));
    int searches = 0, asked = 0, answered = 0;
    QTimer searcher;
    QObject::connect(&searcher, &QTimer::timeout, [&] {
        for (int k = 0; k < users; ++k)
            emit gp_server->DirectFileSearch(QString("silent%1").arg(k), quint32(++searches),
                                             "record");
    });
    QTimer normal;
    QObject::connect(&normal, &QTimer::timeout, [&] {
        emit gp_server->DirectFileSearch("reader", quint32(1000000 + ++asked), "record");
    });
    QElapsedTimer flood;
    flood.start();
    searcher.start(100);
    normal.start(2000);
    long peak = before;
    qint64 lastSample = 0, waitingPeak = 0;
    const double stallMs = LongestStallUntil(flood, [&] {
        quint32 code = 0;
        QByteArray payload;
        while (reader.WaitForMessage(&code, &payload, 0))
            if (code == PeerMessenger::PM_FILE_SEARCH_RESULT)
                ++answered;
        if (flood.elapsed() - lastSample >= 1000) {
            lastSample = flood.elapsed();
            peak = std::max(peak, ResidentKiB());
            waitingPeak = std::max(waitingPeak, peerMessenger->WaitingOutput());
        }
        return flood.elapsed() >= seconds * 1000;
    });
    searcher.stop();
    normal.stop();
    const long during = std::max(peak, ResidentKiB());
    int reconnects = 0;
    for (const auto& peer : peers) {
        reconnects += peer->reconnects;
        peer->Leave();
    }
    peers.clear();
    // Gone: what they held is given back once the client sees them close.
    LongestStall(clock, clock.elapsed() + (verdicts ? 10000 : 2000));
    const long after = ResidentKiB();

    const double growth = MiB(during - before), left = MiB(after - before);
    std::printf(
        "never read: %d users searching for a word all %d files hold, 10 times a second for "
        "%d s, never reading (%d searches; connected to again by the client %d times)\n",
        users, indexed, seconds, searches, reconnects);
    std::printf(
        "never read: resident memory %.1f MiB before, at most %.1f MiB during: growth "
        "%.1f MiB",
        MiB(before), MiB(during), growth);
    if (verdicts)
        std::printf("; target under %.0f MiB: %s", kNeverReadGrowthTargetMiB,
                    Verdict(growth < kNeverReadGrowthTargetMiB));
    std::printf("\nnever read: %d s after they left %.1f MiB: growth %.1f MiB", verdicts ? 10 : 2,
                MiB(after), left);
    if (verdicts)
        std::printf("; target under %.0f MiB: %s", kNeverReadLeftTargetMiB,
                    Verdict(left < kNeverReadLeftTargetMiB));
    std::printf("\nnever read: longest main-thread stall %.1f ms", stallMs);
    if (verdicts)
        std::printf("; target under %.0f ms: %s", kNeverReadStallTargetMs,
                    Verdict(stallMs < kNeverReadStallTargetMs));
    std::printf("\nnever read: output waiting for peers at most %.1f MiB (cap %.0f MiB)",
                waitingPeak / 1048576.0, PeerLimits::kMaxWaitingOutputTotal / 1048576.0);
    std::printf("\nnever read: a normal user searching every 2 s got %d answers to %d searches",
                answered, asked);
    if (verdicts)
        std::printf("; target at least one: %s", Verdict(answered > 0));
    std::printf("\n");
    std::fflush(stdout);
    window.reset();
    return indexed >= files ? 0 : 1;
}

// Builds the big share under a fresh home and measures it in a child.
int RunNeverReadSize(int files, int seconds, bool quick) {
    QTemporaryDir home;
    if (!home.isValid())
        return 1;
    qputenv("HOME", home.path().toUtf8());
    std::printf("bench_gui_startup, never read: %d shared files\n", files);
    if (!BuildShare(home.filePath("share"), files))
        return 1;
    std::fflush(stdout);
    return RunMeasuredChild({"--never-read", "--files", QString::number(files),
                             "--never-read-seconds", QString::number(seconds),
                             quick ? "--quick" : "--verdicts"});
}

// The never-read runs of this program: -1 when these arguments ask for none.
int NeverReadMode(const Args& args) {
    const bool quick = args.Has("--quick");
    const int seconds = args.Int("--never-read-seconds", 300);
    if (args.Has("--never-read"))
        return MeasureNeverRead(args.Int("--files"), quick ? 4 : 40, quick ? 3 : seconds,
                                args.Has("--verdicts"));
    if (const int size = args.Int("--never-read-size"); size > 0)
        return RunNeverReadSize(size, seconds, quick);
    return -1;
}

}  // namespace

// ---------------------------------------------------------------------------
// Peers that ask for more than they read. "share lists never read": 100 users
// (4 with --quick) ask for the share list twice a second for 2 minutes (3 s
// with --quick) and never read, coming back when the client closes them.
// "folder requests": one user asks for folder contents as fast as it can
// (reading what comes), then 100 users (4) ask 20 times a second each and
// never read, 2 minutes each (3 s). Meanwhile an honest user browses,
// searches and asks for folders, reading all. Printed, with targets: the
// growth of resident memory, the main thread's longest stall, what the
// honest user got and, after the folder requests, how long a quit takes.
// Built by a process of its own and measured in a fresh child.

namespace {

constexpr double kPeerFloodGrowthTargetMiB = 150;
constexpr double kPeerFloodLeftTargetMiB = 50;
constexpr double kPeerFloodStallTargetMs = 200;
constexpr qint64 kFolderAnswerTargetMs = 2000;
constexpr qint64 kQuitTargetMs = 2000;

// A user whose client writes requests and reads nothing; its address is
// known, so that the client can connect back, and it connects again
// whenever the client closes it, as such clients do.
class Asker : public QObject {
public:
    Asker(const QString& name, quint16 port, bool reads)
        : m_name(name), m_port(port), m_reads(reads) {
        m_listener.listen(QHostAddress::LocalHost, 0);
        connect(&m_listener, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = m_listener.nextPendingConnection()) {
                socket->setReadBufferSize(4096);
                ++reconnects;
            }
        });
        const ItemPtr user = d.GetType("user")->GetItem(Value(name));
        user.Connect(d.GetType("user_address")->GetItem(Value(quint32(0x7F000001))));
        user.Connect(d.GetType("user_port")->GetItem(Value(m_listener.serverPort())));
        Connect();
    }
    // Writes the frame, first connecting again when the client closed us.
    void Ask(const QByteArray& frame) {
        if (m_socket->state() == QAbstractSocket::UnconnectedState) {
            ++comebacks;
            Connect();
        }
        m_socket->write(frame);
    }
    // Reads and drops what came, for a user that reads.
    void Drain() {
        if (m_reads)
            while (m_socket->bytesAvailable() > 0)
                m_socket->read(1 << 20);
    }
    qint64 Unwritten() const { return m_socket->bytesToWrite(); }
    void Leave() {
        m_listener.close();
        for (QTcpSocket* socket : m_listener.findChildren<QTcpSocket*>())
            socket->abort();
        m_socket->abort();
    }
    int reconnects = 0;
    int comebacks = 0;

private:
    void Connect() {
        m_socket = std::make_unique<QTcpSocket>();
        if (!m_reads)
            m_socket->setReadBufferSize(4096);
        m_socket->connectToHost(QHostAddress::LocalHost, m_port);
        m_socket->write(RawPeer::SetUpFrame(m_name, "P"));
    }
    QString m_name;
    quint16 m_port;
    bool m_reads;
    QTcpServer m_listener;
    std::unique_ptr<QTcpSocket> m_socket;
};

struct FloodFigures {
    double stallMs = 0;
    long peakKiB = 0;
    qint64 waitingPeak = 0;
    int asked = 0, reconnects = 0, comebacks = 0;
    // The longest gap between two turns of the flood's loop, and when it
    // ended (ms into the flood): where the worst stall was.
    qint64 worstGapMs = 0, worstGapAtMs = 0;
};

// Runs the event loop for `seconds` while `ask` is called every `everyMs`
// and the honest user takes its turns; the askers leave at the end.
template <class AskTurn>
FloodFigures Flood(std::vector<std::unique_ptr<Asker>>& askers, Honest& honest,
                   QElapsedTimer& clock, int seconds, int everyMs, AskTurn ask) {
    FloodFigures out;
    out.peakKiB = ResidentKiB();
    QElapsedTimer flood;
    flood.start();
    QTimer asking;
    QObject::connect(&asking, &QTimer::timeout, [&] { out.asked += ask(); });
    asking.start(everyMs);
    qint64 lastSample = 0, lastTurn = 0;
    out.stallMs = LongestStallUntil(flood, [&] {
        if (flood.elapsed() - lastTurn > out.worstGapMs) {
            out.worstGapMs = flood.elapsed() - lastTurn;
            out.worstGapAtMs = flood.elapsed();
        }
        lastTurn = flood.elapsed();
        honest.Turn(clock.elapsed());
        for (const auto& asker : askers)
            asker->Drain();
        if (flood.elapsed() - lastSample >= 1000) {
            lastSample = flood.elapsed();
            out.peakKiB = std::max(out.peakKiB, ResidentKiB());
            out.waitingPeak = std::max(out.waitingPeak, peerMessenger->WaitingOutput());
        }
        return flood.elapsed() >= seconds * 1000;
    });
    asking.stop();
    out.peakKiB = std::max(out.peakKiB, ResidentKiB());
    for (const auto& asker : askers) {
        out.reconnects += asker->reconnects;
        out.comebacks += asker->comebacks;
        asker->Leave();
    }
    askers.clear();
    return out;
}

std::vector<std::unique_ptr<Asker>> MakeAskers(const char* prefix, int users, bool reads) {
    std::vector<std::unique_ptr<Asker>> out;
    for (int k = 0; k < users; ++k)
        out.push_back(std::make_unique<Asker>(QString("%1%2").arg(prefix).arg(k),
                                              peerMessenger->ListeningPort(), reads));
    return out;
}

void ReportFlood(const char* phase, const FloodFigures& f, long beforeKiB, bool verdicts) {
    const double growth = MiB(f.peakKiB - beforeKiB);
    std::printf("%s: resident memory %.1f MiB before, at most %.1f MiB during: growth %.1f MiB",
                phase, MiB(beforeKiB), MiB(f.peakKiB), growth);
    PrintVerdict(verdicts, "under 150 MiB", growth < kPeerFloodGrowthTargetMiB);
    std::printf(
        "%s: longest main-thread stall %.1f ms (the longest turn of the flood's loop "
        "%lld ms, ending %.1f s in)",
        phase, f.stallMs, static_cast<long long>(f.worstGapMs), f.worstGapAtMs / 1000.0);
    PrintVerdict(verdicts, "under 200 ms", f.stallMs < kPeerFloodStallTargetMs);
    std::printf(
        "%s: %d requests; connections closed and opened again by them %d times, connected to "
        "by the client %d times; output waiting for peers at most %.1f MiB (cap %.0f MiB)\n",
        phase, f.asked, f.comebacks, f.reconnects, f.waitingPeak / 1048576.0,
        PeerLimits::kMaxWaitingOutputTotal / 1048576.0);
}

bool ReportHonest(const char* phase, const Honest& h, bool verdicts) {
    std::printf(
        "%s: the honest user got %d of %d share lists (slowest %lld ms) and %d answers "
        "to %d searches",
        phase, h.lists, h.browses, static_cast<long long>(h.slowestListMs), h.answers, h.searches);
    const bool served = h.lists > 0 && h.lists + 1 >= h.browses && h.answers > 0;
    PrintVerdict(verdicts, "browse and search answered", served);
    if (!h.asksFolders)
        return served;
    std::printf("%s: the honest user got %d of %d folder answers, the slowest after %lld ms", phase,
                h.folderAnswers, h.folderAsks, static_cast<long long>(h.slowestFolderMs));
    const bool quick = h.folderAnswers + 1 >= h.folderAsks && h.folderAnswers > 0 &&
                       h.slowestFolderMs <= kFolderAnswerTargetMs;
    PrintVerdict(verdicts, "each within 2 s", quick);
    return served && quick;
}

int MeasureShareListsNeverRead(int files, int users, int seconds, bool verdicts) {
    RawPeer reader;
    int indexed = 0;
    std::unique_ptr<MainWindow> window =
        StartWithAskingPeer(reader, "share lists never read", "honest", indexed);
    if (!window)
        return 1;
    QElapsedTimer clock;
    clock.start();
    LongestStall(clock, clock.elapsed() + 2000);
    const long before = ResidentKiB();
    Honest honest{reader, {}};
    auto askers = MakeAskers("lister", users, false);
    const QByteArray request = RawPeer::Frame(PeerMessenger::PM_SHARED_FILE_LIST_REQUEST);
    const char* phase = "share lists never read";
    std::printf(
        "%s: %d users asking for the share list of %d files twice a second for %d s, "
        "never reading\n",
        phase, users, indexed, seconds);
    const FloodFigures f = Flood(askers, honest, clock, seconds, 500, [&] {
        for (const auto& asker : askers)
            asker->Ask(request);
        return int(askers.size());
    });
    ReportFlood(phase, f, before, verdicts);
    const bool served = ReportHonest(phase, honest, verdicts);
    // Gone: what they held is given back once the client sees them close.
    const int waitMs = verdicts ? 10000 : 2000;
    LongestStallUntil(clock, [&, until = clock.elapsed() + waitMs] {
        honest.Turn(clock.elapsed());
        return clock.elapsed() >= until;
    });
    const double left = MiB(ResidentKiB() - before);
    std::printf("%s: %d s after they left: growth %.1f MiB", phase, waitMs / 1000, left);
    PrintVerdict(verdicts, "under 50 MiB", left < kPeerFloodLeftTargetMiB);
    std::fflush(stdout);
    window.reset();
    return indexed >= files && served ? 0 : 1;
}

int MeasureFolderRequests(int files, int users, int seconds, bool verdicts) {
    RawPeer reader;
    int indexed = 0;
    std::unique_ptr<MainWindow> window =
        StartWithAskingPeer(reader, "folder requests", "honest", indexed);
    if (!window)
        return 1;
    QElapsedTimer clock;
    clock.start();
    LongestStall(clock, clock.elapsed() + 2000);
    const long before = ResidentKiB();
    const std::vector<QString> folders = WireFolders();
    Honest honest{reader, folders};
    honest.asksFolders = true;
    honest.browseMs = 20000;
    Honest later = honest;
    quint32 req = 0;
    const auto next = [&] {
        ++req;
        return FolderRequest(req, folders[req % folders.size()]);
    };

    // One user as fast as it can: whatever its socket takes at once.
    const char* phase = "folder requests, one fast user";
    std::printf("%s: asking for the contents of folders of %d files (%d folders) for %d s\n", phase,
                indexed, int(folders.size()), seconds);
    auto fast = MakeAskers("fast", 1, true);
    const FloodFigures one = Flood(fast, honest, clock, seconds, 1, [&] {
        int sent = 0;
        while (fast.front()->Unwritten() < 65536 && sent < 200) {
            fast.front()->Ask(next());
            ++sent;
        }
        return sent;
    });
    ReportFlood(phase, one, before, verdicts);
    bool ok = ReportHonest(phase, honest, verdicts);

    phase = "folder requests, many users";
    std::printf(
        "%s: %d users asking for folder contents 20 times a second each for %d s, "
        "never reading\n",
        phase, users, seconds);
    auto many = MakeAskers("folders", users, false);
    const FloodFigures all = Flood(many, later, clock, seconds, 50, [&] {
        for (const auto& asker : many)
            asker->Ask(next());
        return int(many.size());
    });
    ReportFlood(phase, all, before, verdicts);
    ok = ReportHonest(phase, later, verdicts) && ok;

    // A quit as a termination signal asks for it: once the event loop gets
    // to it, the window goes.
    QElapsedTimer quit;
    quit.start();
    bool reached = false;
    QTimer::singleShot(0, [&reached] { reached = true; });
    while (!reached)
        QApplication::processEvents(QEventLoop::AllEvents, 50);
    window.reset();
    const qint64 quitMs = quit.elapsed();
    std::printf("folder requests: quit right after they stopped took %lld ms",
                static_cast<long long>(quitMs));
    PrintVerdict(verdicts, "under 2 s", quitMs < kQuitTargetMs);
    std::fflush(stdout);
    return indexed >= files && ok ? 0 : 1;
}

// Builds the big share under a fresh home and measures `mode` in a child.
int RunPeerFloodSize(const char* mode, int files, int seconds, bool quick) {
    QTemporaryDir home;
    if (!home.isValid())
        return 1;
    qputenv("HOME", home.path().toUtf8());
    std::printf("bench_gui_startup, %s: %d shared files\n", mode + 2, files);
    if (!BuildShare(home.filePath("share"), files))
        return 1;
    std::fflush(stdout);
    return RunMeasuredChild({mode, "--files", QString::number(files), "--peer-flood-seconds",
                             QString::number(seconds), quick ? "--quick" : "--verdicts"});
}

// The runs of these two phases: -1 when these arguments ask for none.
//   --share-lists-never-read-size N, --folder-requests-size N: that phase
//   alone with N files; --peer-flood-seconds S shortens each flood.
int PeerFloodMode(const Args& args) {
    const bool quick = args.Has("--quick");
    const int seconds = quick ? 3 : args.Int("--peer-flood-seconds", 120);
    const int users = quick ? 4 : 100;
    if (args.Has("--share-lists-never-read"))
        return MeasureShareListsNeverRead(args.Int("--files"), users, seconds,
                                          args.Has("--verdicts"));
    if (args.Has("--folder-requests"))
        return MeasureFolderRequests(args.Int("--files"), users, seconds, args.Has("--verdicts"));
    for (const char* mode : {"--share-lists-never-read", "--folder-requests"})
        if (const int size = args.Int((std::string(mode) + "-size").c_str()); size > 0)
            return RunPeerFloodSize(mode, size, seconds, quick);
    return -1;
}

int RunPeerFloodSection(bool quick) {
    int status = 0;
    for (const char* mode : {"--share-lists-never-read-size", "--folder-requests-size"}) {
        QStringList arguments = {mode, quick ? "5000" : "100000"};
        if (quick)
            arguments << "--quick";
        status |= RunMeasuredChild(arguments);
    }
    return status;
}

}  // namespace

// ---------------------------------------------------------------------------
// Slow readers: a user downloading a file of ours at 8 KB/s, as over a slow
// link or beside many other downloads, and another reading our share list
// at 4 KiB/s, both reading steadily to the end. The file takes about two
// minutes at that pace (20 s with --quick), well past the half minute after
// which a transfer that moves nothing fails. Printed, with targets: the
// upload's failures and the bytes the downloader got, whether they are the
// whole file and the upload ended complete, whether the whole list came,
// the answers to searches the list reader made meanwhile, and the main
// thread's longest stall. Built by a process of its own and
// measured in a fresh child.

namespace {

constexpr qint64 kSlowDownloadRate = 8192;  // bytes a second
constexpr qint64 kSlowListRate = 4096;
constexpr double kSlowReaderStallTargetMs = 200;

// The pattern of the shared file, so that a byte out of place shows.
QByteArray SlowFileBytes(qint64 size) {
    QByteArray bytes(int(size), '\0');
    for (int i = 0; i < bytes.size(); ++i)
        bytes[i] = char((i * 7 + i / 251) & 0xff);
    return bytes;
}

// The length of the frame at the start of `bytes`, with its length field;
// -1 while fewer than 4 bytes are there.
qint64 FrameSize(const QByteArray& bytes) {
    return bytes.size() < 4 ? -1 : 4 + qint64(qFromLittleEndian<quint32>(bytes.constData()));
}

int MeasureSlowReaders(int files, qint64 fileSize, bool verdicts) {
    RawPeer downloader;
    int indexed = 0;
    std::unique_ptr<MainWindow> window =
        StartWithAskingPeer(downloader, "slow reader", "slowdl", indexed);
    if (!window)
        return 1;
    // The half-minute work runs as in a real session.
    timerManager->everyHalfMinute.start();
    timerManager->everyFiveMinutes.start();
    // Its address, as the server would tell it, for the file connection.
    QTcpServer fileListener;
    fileListener.listen(QHostAddress::LocalHost, 0);
    const ItemPtr user = d.GetType("user")->GetItem(Value("slowdl"));
    user.Connect(d.GetType("user_address")->GetItem(Value(quint32(0x7F000001))));
    user.Connect(d.GetType("user_port")->GetItem(Value(fileListener.serverPort())));
    user.Connect(d.GetType("is_online")->GetGlobalNullItem());

    const QString root = d.GetType("shared_folder")->GetItems().First().AsString();
    const QByteArray content = SlowFileBytes(fileSize);
    downloader.SendMessage(PeerMessenger::PM_QUEUE_UPLOAD,
                           Payload().Str(Wire(root + "/slow/whole.bin")));

    // The list reader's link carries segments of the usual Internet size, so
    // that the system holds as little of our output as on a real link.
    QTcpSocket lister;
    if (!ConnectWithSegment(lister, peerMessenger->ListeningPort(), kInternetSegment)) {
        std::printf("slow reader: cannot connect to the client\n");
        return 1;
    }
    lister.write(RawPeer::SetUpFrame("slowlist", "P") +
                 RawPeer::Frame(PeerMessenger::PM_SHARED_FILE_LIST_REQUEST));
    PacedReader listReader(&lister, kSlowListRate);

    std::unique_ptr<QTcpSocket> fileSocket;
    std::unique_ptr<PacedReader> fileReader;
    QObject::connect(&fileListener, &QTcpServer::newConnection, [&] {
        fileSocket.reset(fileListener.nextPendingConnection());
        fileSocket->setParent(nullptr);
        fileReader = std::make_unique<PacedReader>(fileSocket.get(), kSlowDownloadRate);
    });

    // Meanwhile it searches every 2 s for a word a single file holds, as the
    // server passes searches on: the answers wait behind the list.
    int searches = 0, answers = 0;
    QTimer searcher;
    QObject::connect(&searcher, &QTimer::timeout, [&] {
        emit gp_server->DirectFileSearch("slowlist", quint32(++searches), "777");
    });
    searcher.start(2000);

    QElapsedTimer clock;
    clock.start();
    int failures = 0;
    qint64 failedMs = -1, listMs = -1, listClosedMs = -1, fileClosedMs = -1, wholeMs = -1;
    qint64 header = -1;
    bool offsetSent = false, closedOurs = false;
    QByteArray list;
    const qint64 limitMs = fileSize * 1000 / kSlowDownloadRate * 2 + 60000;
    const double stallMs = LongestStallUntil(clock, [&] {
        quint32 code = 0;
        QByteArray payload;
        while (downloader.WaitForMessage(&code, &payload, 0)) {
            if (code == PeerMessenger::PM_TRANSFER_REQUEST) {
                MemStream in(payload);
                quint32 direction = 0, req = 0;
                if (in.Read(direction) && in.Read(req))
                    downloader.SendMessage(PeerMessenger::PM_TRANSFER_RESPONSE,
                                           Payload().U32(req).U8(1));
            } else if (code == PeerMessenger::PM_UPLOAD_FAILED && failures++ == 0) {
                failedMs = clock.elapsed();
            }
        }
        // The file connection: its set-up frame and token, our offset 0,
        // then the file.
        if (fileReader) {
            const QByteArray& got = fileReader->got;
            if (header < 0 && FrameSize(got) > 0 && got.size() >= FrameSize(got) + 4)
                header = FrameSize(got) + 4;
            if (header >= 0 && !offsetSent) {
                fileSocket->write(RawPeer::I64(0));
                offsetSent = true;
            }
            if (header >= 0 && wholeMs < 0 && got.size() - header >= fileSize) {
                wholeMs = clock.elapsed();
                fileSocket->close();
                closedOurs = true;
            }
            if (!closedOurs && fileClosedMs < 0 && fileReader->Closed())
                fileClosedMs = clock.elapsed();
        }
        // The list connection: frames until the share list.
        while (FrameSize(listReader.got) > 0 &&
               listReader.got.size() >= FrameSize(listReader.got)) {
            const qint64 size = FrameSize(listReader.got);
            const quint32 code =
                size >= 8 ? qFromLittleEndian<quint32>(listReader.got.constData() + 4) : 0;
            if (code == PeerMessenger::PM_SHARED_FILE_LIST && list.isEmpty()) {
                list = listReader.got.mid(8, int(size - 8));
                listMs = clock.elapsed();
                searcher.stop();
            } else if (code == PeerMessenger::PM_FILE_SEARCH_RESULT) {
                ++answers;
            }
            listReader.got.remove(0, int(size));
        }
        if (list.isEmpty() && listClosedMs < 0 && listReader.Closed())
            listClosedMs = clock.elapsed();
        const bool fileDone = wholeMs >= 0 || fileClosedMs >= 0;
        // The answers queued behind the list come at once after it.
        const bool listDone =
            (!list.isEmpty() && (answers >= searches || clock.elapsed() > listMs + 10000)) ||
            listClosedMs >= 0;
        return (fileDone && listDone) || clock.elapsed() > limitMs;
    });
    // The upload's last word, once the downloader closed.
    QString status;
    for (const qint64 until = clock.elapsed() + 10000;;) {
        const ItemSet entries = d.GetType("upload_entry")->GetItems();
        status = entries.Size() == 0 ? QString("none")
                                     : TransferQueueManager::UploadStatus(entries.First());
        if (status != TransferQueueManager::kUploading || clock.elapsed() >= until)
            break;
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }

    const qint64 received = fileReader && header >= 0 ? fileReader->got.size() - header : 0;
    const bool whole = received == fileSize && fileReader->got.mid(int(header)) == content;
    const qint64 listed = ListedFiles(list);
    std::printf(
        "slow reader: %d shared files; a downloader reading %lld B/s, a list reader "
        "%lld B/s\n",
        indexed, static_cast<long long>(kSlowDownloadRate), static_cast<long long>(kSlowListRate));
    std::printf("slow reader: upload of %lld bytes: %d failures (code 46)",
                static_cast<long long>(fileSize), failures);
    if (failedMs >= 0)
        std::printf(", the first after %.1f s", failedMs / 1000.0);
    if (verdicts)
        std::printf("; target 0: %s", Verdict(failures == 0));
    std::printf("\nslow reader: the downloader got %lld of %lld bytes%s",
                static_cast<long long>(received), static_cast<long long>(fileSize),
                whole ? ", the whole file" : "");
    if (wholeMs >= 0)
        std::printf(", after %.1f s", wholeMs / 1000.0);
    if (fileClosedMs >= 0)
        std::printf("; the client closed the file connection after %.1f s", fileClosedMs / 1000.0);
    std::printf("; upload %s", qPrintable(status));
    if (verdicts)
        std::printf("; target whole and complete: %s",
                    Verdict(whole && status == TransferQueueManager::kComplete));
    std::printf("\nslow reader: share list %s", list.isEmpty() ? "did not come" : "came");
    if (!list.isEmpty())
        std::printf(" after %.1f s, %d bytes, %lld files", listMs / 1000.0, int(list.size()),
                    static_cast<long long>(listed));
    if (listClosedMs >= 0)
        std::printf("; the client closed the connection after %.1f s", listClosedMs / 1000.0);
    if (verdicts)
        std::printf("; target every file: %s", Verdict(listed == indexed));
    std::printf(
        "\nslow reader: the list reader, searching every 2 s while it read, got %d "
        "answers to %d searches",
        answers, searches);
    if (verdicts)
        std::printf("; target all: %s", Verdict(searches > 0 && answers == searches));
    std::printf("\nslow reader: longest main-thread stall %.1f ms", stallMs);
    if (verdicts)
        std::printf("; target under %.0f ms: %s", kSlowReaderStallTargetMs,
                    Verdict(stallMs < kSlowReaderStallTargetMs));
    std::printf("\n");
    std::fflush(stdout);
    fileReader.reset();
    fileSocket.reset();
    window.reset();
    return indexed >= files ? 0 : 1;
}

// Builds the big share with the file to download under a fresh home and
// measures it in a child.
int RunSlowReadersSize(int files, bool quick) {
    QTemporaryDir home;
    if (!home.isValid())
        return 1;
    qputenv("HOME", home.path().toUtf8());
    std::printf("bench_gui_startup, slow reader: %d shared files\n", files);
    const QString root = home.filePath("share");
    const qint64 fileSize = quick ? 20 * kSlowDownloadRate : 120 * kSlowDownloadRate;
    QFile file(root + "/slow/whole.bin");
    if (!QDir().mkpath(root + "/slow") || !file.open(QIODevice::WriteOnly) ||
        file.write(SlowFileBytes(fileSize)) != fileSize)
        return 1;
    file.close();
    if (!BuildShare(root, files))
        return 1;
    std::fflush(stdout);
    return RunMeasuredChild({"--slow-reader", "--files", QString::number(files),
                             "--slow-reader-bytes", QString::number(fileSize),
                             quick ? "--quick" : "--verdicts"});
}

// The slow-reader runs of this program: -1 when these arguments ask for none.
int SlowReaderMode(const Args& args) {
    if (args.Has("--slow-reader"))
        return MeasureSlowReaders(args.Int("--files"), args.Int("--slow-reader-bytes"),
                                  args.Has("--verdicts"));
    if (const int size = args.Int("--slow-reader-size"); size > 0)
        return RunSlowReadersSize(size, args.Has("--quick"));
    return -1;
}

}  // namespace

// ---------------------------------------------------------------------------
// Slow readers fill the cap: 200 users (20 with --quick) each read 1 KB/s
// and ask for the share list every 2 s, within their budget, coming back
// when the client closes them. Once they have held the output cap for over
// a minute, an honest user who reads all asks for the share list, again 5 s
// after each list came, and searches for 500 files every 2 s, for 90 s (5 s with
// --quick). Printed, with targets: each list's wait, a list never given
// counting as a miss, and the answers to her searches. Built by a process of
// its own and measured in a fresh child.

namespace {

constexpr qint64 kCapListTargetMs = 10000;

int MeasureSlowReadersFillTheCap(int files, int users, int heldSeconds, int seconds,
                                 bool verdicts) {
    RawPeer honest;
    int indexed = 0;
    const char* phase = "slow readers fill the cap";
    std::unique_ptr<MainWindow> window = StartWithAskingPeer(honest, phase, "honest", indexed);
    if (!window)
        return 1;
    timerManager->everyHalfMinute.start();
    QElapsedTimer clock;
    clock.start();
    qint64 waitingPeak = 0, lastSample = 0;
    const auto sample = [&] {
        if (clock.elapsed() - lastSample >= 1000) {
            lastSample = clock.elapsed();
            waitingPeak = std::max(waitingPeak, peerMessenger->WaitingOutput());
        }
    };
    SlowListers listers(users, peerMessenger->ListeningPort());
    // They fill the cap and hold it.
    LongestStallUntil(clock, [&] {
        sample();
        return clock.elapsed() >= heldSeconds * 1000;
    });
    const qint64 heldWaiting = peerMessenger->WaitingOutput();

    std::vector<qint64> waits;
    qint64 askedAt = -1, nextAsk = clock.elapsed(), lastSearch = -1000000, listBytes = 0;
    int searches = 0, answers = 0;
    const qint64 end = clock.elapsed() + seconds * 1000;
    const double stallMs = LongestStallUntil(clock, [&] {
        sample();
        const qint64 now = clock.elapsed();
        quint32 code = 0;
        QByteArray payload;
        while (honest.WaitForMessage(&code, &payload, 0)) {
            if (code == PeerMessenger::PM_SHARED_FILE_LIST && askedAt >= 0) {
                waits.push_back(now - askedAt);
                listBytes = payload.size();
                askedAt = -1;
                nextAsk = now + 5000;
            } else if (code == PeerMessenger::PM_FILE_SEARCH_RESULT) {
                ++answers;
            }
        }
        if (askedAt < 0 && now >= nextAsk && now < end) {
            askedAt = now;
            honest.SendMessage(PeerMessenger::PM_SHARED_FILE_LIST_REQUEST);
        }
        if (now - lastSearch >= 2000 && now < end) {
            lastSearch = now;
            ++searches;
            // A folder's 500 files: an answer too large to make at once.
            emit gp_server->DirectFileSearch("honest", quint32(4000000 + searches),
                                             QString("album%1").arg(searches % 200));
        }
        // The last list asked for gets its full time.
        return now >= end && (askedAt < 0 || now - askedAt > kCapListTargetMs);
    });
    // A list still not given is a miss, counted at what it waited.
    const int missed = askedAt >= 0 ? 1 : 0;
    if (missed)
        waits.push_back(clock.elapsed() - askedAt);
    const qint64 slowest = waits.empty() ? 0 : *std::max_element(waits.begin(), waits.end());
    const int within = int(
        std::count_if(waits.begin(), waits.end(), [](qint64 w) { return w <= kCapListTargetMs; }));
    std::printf(
        "%s: %d users reading 1 KB/s, each asking for the share list of %d files every 2 s "
        "(%d requests, %d comebacks after the client closed them)\n",
        phase, users, indexed, listers.asked, listers.comebacks);
    std::printf(
        "%s: output waiting for peers %.1f MiB after %d s, at most %.1f MiB (cap %.0f MiB); "
        "a list is %lld bytes\n",
        phase, heldWaiting / 1048576.0, heldSeconds, waitingPeak / 1048576.0,
        PeerLimits::kMaxWaitingOutputTotal / 1048576.0, static_cast<long long>(listBytes));
    std::printf(
        "%s: the honest user asked for the share list %d times over %d s: %d came "
        "within 10 s, %d never came; the slowest %.1f s",
        phase, int(waits.size()), seconds, within, missed, slowest / 1000.0);
    PrintVerdict(verdicts, "each within 10 s", !waits.empty() && within == int(waits.size()));
    std::printf("%s: she searched %d times and got %d answers\n", phase, searches, answers);
    std::printf("%s: longest main-thread stall %.1f ms\n", phase, stallMs);
    std::fflush(stdout);
    window.reset();
    return indexed >= files ? 0 : 1;
}

// Builds the big share under a fresh home and measures it in a child.
int RunSlowReadersFillTheCap(int files, bool quick) {
    QTemporaryDir home;
    if (!home.isValid())
        return 1;
    qputenv("HOME", home.path().toUtf8());
    std::printf("bench_gui_startup, slow readers fill the cap: %d shared files\n", files);
    if (!BuildShare(home.filePath("share"), files))
        return 1;
    std::fflush(stdout);
    return RunMeasuredChild(
        {"--cap-readers", "--files", QString::number(files), quick ? "--quick" : "--verdicts"});
}

// The runs of this phase: -1 when these arguments ask for none.
//   --cap-readers-size N: this phase alone with N files.
int CapReadersMode(const Args& args) {
    const bool quick = args.Has("--quick");
    if (args.Has("--cap-readers"))
        return MeasureSlowReadersFillTheCap(args.Int("--files"), quick ? 20 : 200, quick ? 2 : 75,
                                            quick ? 5 : 90, args.Has("--verdicts"));
    if (const int size = args.Int("--cap-readers-size"); size > 0)
        return RunSlowReadersFillTheCap(size, quick);
    return -1;
}

}  // namespace

// ---------------------------------------------------------------------------
// One folder of many files: a share with a folder of 100,000 files (5,000
// with --quick) beside albums of 500, asked for by 1 and then by 20 users,
// each about once a second for 30 s (3 s), reading all, while the honest user
// asks for an album every second. Printed, with targets: the main thread's
// longest stall and how many of the honest user's answers came, the slowest
// (one not given within 10 s counts as a miss). Built by a process of its own
// and measured in a fresh child.

namespace {

int MeasureBigFolder(int files, int seconds, bool verdicts) {
    RawPeer reader;
    int indexed = 0;
    std::unique_ptr<MainWindow> window =
        StartWithAskingPeer(reader, "one folder of many files", "honest", indexed);
    if (!window)
        return 1;
    QElapsedTimer clock;
    clock.start();
    LongestStall(clock, clock.elapsed() + 2000);
    const long before = ResidentKiB();
    QString big;
    std::vector<QString> albums;
    for (const QString& folder : WireFolders()) {
        if (folder.endsWith("\\big"))
            big = folder;
        else if (folder.contains("\\album"))
            albums.push_back(folder);
    }
    if (big.isEmpty() || albums.empty()) {
        std::printf("one folder of many files: the share has no such folder\n");
        return 1;
    }
    bool met = true;
    quint32 req = 0;
    for (const int users : {1, 20}) {
        const std::string name = "one folder of " + std::to_string(files) + " files, " +
                                 std::to_string(users) + (users == 1 ? " user" : " users");
        const char* phase = name.c_str();
        std::printf(
            "%s: each asking for it about once a second for %d s, reading all; the honest user "
            "asks for a folder of 500 files every second\n",
            phase, seconds);
        Honest honest{reader, albums};
        honest.asksFolders = true;
        honest.browseMs = 3600000;
        honest.lastBrowse = 0;
        auto askers = MakeAskers("big", users, true);
        std::size_t next = 0;
        const FloodFigures f = Flood(askers, honest, clock, seconds, 1000 / users, [&] {
            askers[next++ % askers.size()]->Ask(FolderRequest(++req, big));
            return 1;
        });
        ReportFlood(phase, f, before, verdicts);
        std::printf(
            "%s: the honest user's folder answers: %d of %d answered, the slowest after "
            "%lld ms (one not answered within 10 s counts as 10 s)",
            phase, honest.folderAnswers, honest.folderAsks,
            static_cast<long long>(honest.slowestFolderMs));
        // The one asked last may still be on its way.
        const bool answered = honest.folderAnswers > 0 &&
                              honest.folderAnswers + 1 >= honest.folderAsks &&
                              honest.slowestFolderMs <= kFolderAnswerTargetMs;
        PrintVerdict(verdicts, "all, each within 2 s", answered);
        met = met && answered && f.stallMs < kPeerFloodStallTargetMs;
        // What is still being answered goes before the next round.
        LongestStall(clock, clock.elapsed() + 3000);
    }
    std::fflush(stdout);
    window.reset();
    if (indexed < files)
        return 1;
    return met || !verdicts ? 0 : 1;
}

// Builds the share with its big folder under a fresh home and measures it
// in a child.
int RunBigFolderSize(int files, int seconds, bool quick) {
    QTemporaryDir home;
    if (!home.isValid())
        return 1;
    qputenv("HOME", home.path().toUtf8());
    std::printf("bench_gui_startup, one folder of many files: %d files in it\n", files);
    const QString root = home.filePath("share");
    if (!WriteFiles(
            root, files,
            [](int i) { return QString("big/track %1 of the long playing record.mp3").arg(i); }) ||
        !BuildShare(root, 2000))
        return 1;
    std::fflush(stdout);
    return RunMeasuredChild({"--big-folder", "--files", QString::number(files),
                             "--big-folder-seconds", QString::number(seconds),
                             quick ? "--quick" : "--verdicts"});
}

// The runs of this phase: -1 when these arguments ask for none.
//   --big-folder-size N [--big-folder-seconds S]: N files in the folder.
int BigFolderMode(const Args& args) {
    const bool quick = args.Has("--quick");
    const int seconds = args.Int("--big-folder-seconds", quick ? 3 : 30);
    if (args.Has("--big-folder"))
        return MeasureBigFolder(args.Int("--files"), seconds, args.Has("--verdicts"));
    if (const int size = args.Int("--big-folder-size"); size > 0)
        return RunBigFolderSize(size, seconds, quick);
    return -1;
}

}  // namespace

// ---------------------------------------------------------------------------
// Queue requests (code 43) from 10 strangers, each writing them as fast as
// TCP takes them and never reading, for 10 s (3 s with --quick); one who is
// closed comes back under a new name. Every other request is for a file we
// share. Printed: the main thread's longest stall, against 200 ms, and the
// requests the client handled. Built by a process of its own and measured
// in a fresh child.

namespace {

constexpr double kQueueFloodStallTargetMs = 200;

int MeasureQueueRequests(int files, int seconds, bool verdicts) {
    RawPeer reader;
    int indexed = 0;
    std::unique_ptr<MainWindow> window =
        StartWithAskingPeer(reader, "queue requests", "honest", indexed);
    if (!window)
        return 1;
    std::vector<QByteArray> frames;
    for (const ItemPtr& file : d.GetType("shared_file")->GetItems()) {
        QString wire = file.HasItem("shared_file_folder").AsString() + '/' +
                       file.HasItem("shared_file_name").AsString();
        wire.replace('/', '\\');
        for (const QString& name : {wire, wire + ".missing"}) {
            MemStream payload;
            payload.Write(name);
            frames.push_back(
                RawPeer::Frame(PeerMessenger::PM_QUEUE_UPLOAD, payload.GetWrittenBytes()));
        }
        if (frames.size() >= 400)
            break;
    }
    qint64 handled = 0;
    QObject::connect(peerMessenger, &PeerMessenger::QueueUploadRequested, [&] { ++handled; });
    constexpr int kStrangers = 10;
    std::vector<std::unique_ptr<QTcpSocket>> strangers(kStrangers);
    int names = 0;
    qint64 written = 0;
    // Made once: the strangers' writes cost the loop little.
    QByteArray block;
    int perBlock = 0;
    for (; block.size() < 256 * 1024; ++perBlock)
        block += frames[std::size_t(perBlock) % frames.size()];
    const auto feed = [&] {
        for (auto& socket : strangers) {
            if (!socket || socket->state() == QAbstractSocket::UnconnectedState) {
                socket = std::make_unique<QTcpSocket>();
                socket->setReadBufferSize(4096);
                socket->connectToHost(QHostAddress::LocalHost, peerMessenger->ListeningPort());
                socket->write(RawPeer::SetUpFrame(QString("stranger%1").arg(names++), "P"));
            }
            // As fast as TCP takes them: the system's buffers stay full.
            while (socket->bytesToWrite() < 4 * 1024 * 1024) {
                socket->write(block);
                written += perBlock;
            }
        }
    };
    const char* phase = "queue requests, 10 strangers";
    std::printf(
        "%s: %d strangers writing queue requests as fast as TCP takes them for %d s, never "
        "reading (%d files shared)\n",
        phase, kStrangers, seconds, indexed);
    QElapsedTimer clock;
    clock.start();
    QTimer feeding;
    QObject::connect(&feeding, &QTimer::timeout, feed);
    feeding.start(1);
    const double stallMs =
        LongestStallUntil(clock, [&] { return clock.elapsed() >= seconds * 1000; });
    feeding.stop();
    for (auto& socket : strangers)
        socket->abort();
    std::printf("%s: longest main-thread stall %.1f ms", phase, stallMs);
    PrintVerdict(verdicts, "under 200 ms", stallMs < kQueueFloodStallTargetMs);
    std::printf(
        "%s: %lld requests written under %d names, %lld handled, %lld dropped past their "
        "budgets, %d waiting at the end\n",
        phase, static_cast<long long>(written), names, static_cast<long long>(handled),
        static_cast<long long>(peerMessenger->DroppedRequests()), peerMessenger->WaitingRequests());
    std::fflush(stdout);
    window.reset();
    return indexed >= files && handled > 0 ? 0 : 1;
}

// The queue-request runs of this program: -1 when these arguments ask for none.
//   --queue-requests-size N: this phase alone with N files.
int QueueRequestMode(const Args& args) {
    const bool quick = args.Has("--quick");
    if (args.Has("--queue-requests"))
        return MeasureQueueRequests(args.Int("--files"), quick ? 3 : 10, args.Has("--verdicts"));
    if (const int size = args.Int("--queue-requests-size"); size > 0) {
        QTemporaryDir home;
        if (!home.isValid())
            return 1;
        qputenv("HOME", home.path().toUtf8());
        std::printf("bench_gui_startup, queue requests: %d shared files\n", size);
        if (!BuildShare(home.filePath("share"), size))
            return 1;
        std::fflush(stdout);
        return RunMeasuredChild({"--queue-requests", "--files", QString::number(size),
                                 quick ? "--quick" : "--verdicts"});
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    UseLoopbackOnly();
    const Args args(argc, argv);
    const bool quick = args.Has("--quick");
    const bool child = args.Has("--measure");
    const bool verdicts = args.Has("--verdicts");
    const int files = args.Int("--files");
    QApplication app(argc, argv);
    // Nobody answers boxes here: the unreachable server's failure box would
    // otherwise wait for ever.
    prompts::SetBoxHandler([](QWidget*, const prompts::Box&) { return QMessageBox::Ok; });
    if (child)
        return Measure(files, verdicts);
    if (const int shared = ShareFolderMode(args); shared >= 0)
        return shared;
    if (const int shareList = ShareListMode(args); shareList >= 0)
        return shareList;
    if (const int flood = SearchFloodMode(args); flood >= 0)
        return flood;
    if (const int silent = NeverReadMode(args); silent >= 0)
        return silent;
    if (const int peers = PeerFloodMode(args); peers >= 0)
        return peers;
    if (const int slow = SlowReaderMode(args); slow >= 0)
        return slow;
    if (const int capped = CapReadersMode(args); capped >= 0)
        return capped;
    if (const int big = BigFolderMode(args); big >= 0)
        return big;
    if (const int queued = QueueRequestMode(args); queued >= 0)
        return queued;
    if (quick)
        return RunSize(files > 0 ? files : 5000, quick, false) | RunShareListSection(true) |
               RunSearchFloodSection(true) |
               RunMeasuredChild({"--never-read-size", "5000", "--quick"}) |
               RunPeerFloodSection(true) |
               RunMeasuredChild({"--slow-reader-size", "5000", "--quick"}) |
               RunMeasuredChild({"--cap-readers-size", "5000", "--quick"}) |
               RunMeasuredChild({"--big-folder-size", "5000", "--quick"}) |
               RunMeasuredChild({"--queue-requests-size", "5000", "--quick"});
    if (files > 0)
        return RunSize(files, quick, true);

    // Each size in a process of its own: the store is global, and one size's
    // memory would blur the other's.
    int status = 0;
    for (int size : {100000, 1000000}) {
        QProcess run;
        run.setProcessChannelMode(QProcess::ForwardedChannels);
        run.start(QCoreApplication::applicationFilePath(), {"--files", QString::number(size)});
        if (!run.waitForFinished(-1) || run.exitCode() != 0)
            status = 1;
    }
    return status | RunShareListSection(false) | RunSearchFloodSection(false) |
           RunMeasuredChild({"--never-read-size", "100000"}) | RunPeerFloodSection(false) |
           RunMeasuredChild({"--slow-reader-size", "100000"}) |
           RunMeasuredChild({"--cap-readers-size", "300000"}) |
           RunMeasuredChild({"--big-folder-size", "100000"}) |
           RunMeasuredChild({"--queue-requests-size", "100000"});
}
