// The whole client at its largest expected load: a big own share, a long
// download queue and many open result pages, then a stretch of normal
// traffic (download progress, searches relayed through the distributed
// network, room and private chat lines) through the real incoming paths.
// Printed: start-up to a shown main window, resident memory, and the main
// thread's longest stall during the traffic.
//
// Usage: bench_gui_client [--quick]
//   --quick  10,000 files, 2,000 queued downloads, 10 pages of 1,000 rows,
//            5 s of traffic; figures only
//   (none)   100,000 files, 20,000 queued downloads, 10 pages of 10,000
//            rows, 60 s of traffic, with verdicts (start-up under 5 s,
//            resident under 1 GB, no stall over 200 ms)
// The share and the queue are built and saved by one process; the client is
// measured in a fresh child process that loads them, as a real start does.

#include <QApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "ClientBench.h"
#include "ProcStatus.h"
#include "ResultAnswers.h"
#include "StallProbe.h"
#include "net/PeerPayloads.h"
#include "net/server.h"
#include "shares/SharedFoldersManager.h"
#include "shell/Prompts.h"
#include "shell/ShellGlobals.h"
#include "shell/mainwindow.h"
#include "store/TimerManager.h"
#include "support/Payload.h"
#include "support/SharesIndexed.h"
#include "transfers/TransferQueueManager.h"
#include "views/search/SearchForm.h"

namespace {

struct Load {
    int files = 100000;
    int downloads = 20000;
    int pages = 10;
    int rows = 10000;
    int seconds = 60;
};

constexpr int kUploaders = 200;

double Ms(const QElapsedTimer& clock) {
    return double(clock.nsecsElapsed()) / 1e6;
}

// Shares `files` empty files, queues `downloads` files from offline users,
// and saves the store under $HOME.
bool Build(const QString& root, const Load& load) {
    if (!WriteShareFiles(root, load.files))
        return false;
    auto window = std::make_unique<MainWindow>();
    window->Init();
    timerManager->everyHalfMinute.stop();
    timerManager->everyFiveMinutes.stop();
    timerManager->everyHour.stop();
    sharedFoldersManager->AddSharedFolder(root);
    if (!WaitForSharesIndexed(sharedFoldersManager, 3600000))
        return false;
    for (int i = 0; i < load.downloads; ++i) {
        const int user = i % kUploaders;
        transferQueueManager->AddDownload(
            QString("uploader%1").arg(user), "song " + std::to_string(i) + " of the collection.mp3",
            "Music\\Artist " + std::to_string(user) + "\\Album " + std::to_string(i % 7),
            4000000 + i, false, 0);
    }
    const int indexed = d.GetType("shared_file")->ItemCount();
    const int queued = d.GetType("download_entry")->ItemCount();
    window.reset();
    std::printf("built: %d files indexed, %d downloads queued\n", indexed, queued);
    return indexed >= load.files && queued >= load.downloads;
}

void Feed(quint32 code, const QByteArray& payload) {
    MemStream stream(payload);
    gp_server->HandleMessage(code, stream);
}

int Measure(const Load& load, bool verdicts) {
    QElapsedTimer clock;
    clock.start();
    auto window = std::make_unique<MainWindow>();
    window->show();
    window->Init();
    // Shown means the window system has put it on screen, not just show().
    while (!window->windowHandle()->isExposed() && clock.elapsed() < 60000)
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    const double startMs = Ms(clock);
    if (!window->windowHandle()->isExposed()) {
        std::printf("the main window was never exposed\n");
        return 1;
    }
    const long startKiB = ResidentKiB();
    const int indexed = d.GetType("shared_file")->ItemCount();
    const int queued = d.GetType("download_entry")->ItemCount();

    // The result pages, in batches of 50 as answers arrive.
    clock.restart();
    int serial = 0;
    for (int p = 0; p < load.pages; ++p) {
        const QString text = QString("song %1").arg(p);
        const quint32 token = gp_server->FileSearch(text, false);
        searchForm->CreateSearchForm(token, text, GlobalSearch);
        for (int done = 0; done < load.rows; done += 50, serial += 50)
            searchForm->OnUserSearchResults(ResultAnswer(token, (done / 50) % 400, 50, serial));
        QApplication::processEvents();
    }
    const double pagesMs = Ms(clock);
    const long pagesKiB = ResidentKiB();

    // A room to talk in, with nobody listed yet.
    Feed(SM_JOIN_ROOM, Payload().Str("busy room").U32(0).Str("").U32(0));

    const ItemSet entrySet = d.GetType("download_entry")->GetItems();
    std::vector<ItemPtr> entries;
    for (auto it = entrySet.Begin(); it != entrySet.End(); ++it)
        entries.push_back(*it);
    int progressed = 0, searches = 0, lines = 0, messages = 0;
    clock.restart();
    // Every 10 ms: the searches due at 100 a second (one in ten matches the
    // own share), progress of 5 downloads (500 a second), and a room line
    // every 200 ms and a private message every second.
    QTimer traffic;
    traffic.setTimerType(Qt::PreciseTimer);
    QObject::connect(&traffic, &QTimer::timeout, [&] {
        const qint64 due = clock.elapsed() / 10;
        while (searches < due) {
            const QString text = searches % 10 == 0
                                     ? QString("track %1 long").arg(searches % load.files)
                                     : QString("nothing here %1").arg(searches);
            Feed(SM_DNET_MESSAGE, Payload()
                                      .U8(3)
                                      .U32(49)
                                      .Str(QString("searcher%1").arg(searches % 300))
                                      .U32(quint32(searches + 1))
                                      .Str(text));
            ++searches;
        }
        for (int k = 0; k < 5 && !entries.empty(); ++k)
            emit transferQueueManager->DownloadProgressed(entries[progressed++ % entries.size()]);
        while (lines < due / 20) {
            Feed(SM_SAY_IN_ROOM, Payload()
                                     .Str("busy room")
                                     .Str(QString("talker%1").arg(lines % 30))
                                     .Str(QString("line %1 of an ordinary chat").arg(lines)));
            ++lines;
        }
        while (messages < due / 100) {
            Feed(SM_PRIVATE_MESSAGE, Payload()
                                         .Str(QString("friend%1").arg(messages % 5))
                                         .U32(quint32(QDateTime::currentSecsSinceEpoch()))
                                         .U8(1)
                                         .Str(QString("message %1").arg(messages)));
            ++messages;
        }
    });
    traffic.start(10);
    const double worstStall = LongestStall(clock, load.seconds * 1000);
    traffic.stop();
    const long endKiB = ResidentKiB();
    // What the user sees of the traffic: the room's lines and the chat tabs.
    int roomLines = 0;
    for (QTextBrowser* view : window->findChildren<QTextBrowser*>("chatView"))
        roomLines += view->document()->blockCount();
    const auto* chats = window->findChild<QTabWidget*>("chatTabControl");
    const long peakKiB = StatusKiB("VmHWM");

    std::printf("loaded: %d files indexed, %d downloads queued\n", indexed, queued);
    std::printf("start-up to a shown main window: %.0f ms\n", startMs);
    std::printf("resident after start-up: %ld MiB\n", startKiB / 1024);
    std::printf("%d result pages of %d rows filled in %.0f ms; resident then: %ld MiB\n",
                load.pages, load.rows, pagesMs, pagesKiB / 1024);
    std::printf(
        "traffic for %d s: %d relayed searches, %d progress reports, %d room lines, "
        "%d private messages\n",
        load.seconds, searches, progressed, lines, messages);
    std::printf("lines shown in the room and chat views: %d; chat tabs: %d\n", roomLines,
                chats ? chats->count() : -1);
    std::printf("longest main-thread stall during the traffic: %.1f ms\n", worstStall);
    std::printf("resident after the traffic: %ld MiB (peak %ld MiB)\n", endKiB / 1024,
                peakKiB / 1024);
    window.reset();
    if (verdicts) {
        std::printf("start-up under 5000 ms: %s\n", startMs < 5000 ? "met" : "MISSED");
        std::printf("resident under 1 GB: %s\n", peakKiB < 1024 * 1024 ? "met" : "MISSED");
        std::printf("no stall over 200 ms: %s\n", worstStall <= 200 ? "met" : "MISSED");
    }
    return indexed >= load.files ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    UseLoopbackOnly();
    bool quick = false;
    bool child = false;
    for (int i = 1; i < argc; ++i) {
        quick |= !std::strcmp(argv[i], "--quick");
        child |= !std::strcmp(argv[i], "--measure");
    }
    Load load;
    if (quick)
        load = Load{10000, 2000, 10, 1000, 5};
    QApplication app(argc, argv);
    // Nobody answers boxes here: the unreachable server's failure box would
    // otherwise wait for ever.
    prompts::SetBoxHandler([](QWidget*, const prompts::Box&) { return QMessageBox::Ok; });
    if (child)
        return Measure(load, !quick);

    QTemporaryDir home;
    if (!home.isValid())
        return 1;
    qputenv("HOME", home.path().toUtf8());
    std::printf(
        "bench_gui_client: %d shared files, %d queued downloads, %d pages of %d rows, "
        "%d s of traffic%s\n",
        load.files, load.downloads, load.pages, load.rows, load.seconds, quick ? " (quick)" : "");
    if (!Build(home.filePath("share"), load))
        return 1;
    std::fflush(stdout);
    QStringList arguments = {"--measure"};
    if (quick)
        arguments << "--quick";
    return RunMeasuredChild(arguments);
}
