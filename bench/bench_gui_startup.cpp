// Start-up and shutdown of the whole client with a large own share already
// indexed in the saved store: the time from constructing the main window to
// a shown, initialised window, the time of the orderly shutdown with its
// final save, and the resident memory after start-up per indexed file.
//
// Usage: bench_gui_startup [--quick] [--files N]
//   --quick    5,000 files, figures only
//   --files N  N files
//   (neither)  100,000 files, with verdicts on the targets (start-up
//              under 3 s, shutdown under 1 s)
// The share is built and saved by one process; start-up and shutdown are
// measured in a fresh child process, so that the building does not blur the
// memory figure.

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "ClientBench.h"
#include "ProcStatus.h"
#include "shares/SharedFoldersManager.h"
#include "shell/Prompts.h"
#include "shell/ShellGlobals.h"
#include "shell/mainwindow.h"
#include "store/TimerManager.h"

namespace {

void StopTimers() {
    timerManager->everyHalfMinute.stop();
    timerManager->everyFiveMinutes.stop();
    timerManager->everyHour.stop();
}

// Shares `files` empty files and saves the store under $HOME.
bool BuildShare(const QString& root, int files) {
    if (!WriteShareFiles(root, files))
        return false;
    auto window = std::make_unique<MainWindow>();
    window->Init();
    StopTimers();
    sharedFoldersManager->AddSharedFolder(root);
    const int indexed = d.GetType("shared_file")->ItemCount();
    window.reset();
    std::printf("share built: %d files indexed\n", indexed);
    return indexed >= files;
}

int Measure(int files, bool verdicts) {
    QElapsedTimer clock;
    clock.start();
    auto window = std::make_unique<MainWindow>();
    window->show();
    window->Init();
    StopTimers();
    // Shown means the window system has put it on screen, not just show().
    while (!window->windowHandle()->isExposed() && clock.elapsed() < 60000)
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    const qint64 startMs = clock.elapsed();
    if (!window->windowHandle()->isExposed()) {
        std::printf("the main window was never exposed\n");
        return 1;
    }
    const long residentKiB = ResidentKiB();
    const int indexed = d.GetType("shared_file")->ItemCount();
    clock.restart();
    window.reset();
    const qint64 stopMs = clock.elapsed();
    std::printf("files indexed at start-up: %d\n", indexed);
    std::printf("start-up to a shown main window: %lld ms\n", static_cast<long long>(startMs));
    std::printf("shutdown with its save: %lld ms\n", static_cast<long long>(stopMs));
    std::printf("resident memory after start-up: %ld KiB, %.0f bytes per indexed file\n",
                residentKiB, files > 0 ? residentKiB * 1024.0 / files : 0.0);
    if (verdicts) {
        std::printf("start-up under 3000 ms: %s\n", startMs < 3000 ? "met" : "NOT met");
        std::printf("shutdown under 1000 ms: %s\n", stopMs < 1000 ? "met" : "NOT met");
    }
    return indexed >= files ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    UseLoopbackOnly();
    bool quick = false;
    bool child = false;
    bool verdicts = false;
    int files = 100000;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--quick")) {
            quick = true;
            files = 5000;
        } else if (!std::strcmp(argv[i], "--files") && i + 1 < argc) {
            files = std::atoi(argv[++i]);
        } else if (!std::strcmp(argv[i], "--measure")) {
            child = true;
        } else if (!std::strcmp(argv[i], "--verdicts")) {
            verdicts = true;
        }
    }
    QApplication app(argc, argv);
    // Nobody answers boxes here: the unreachable server's failure box would
    // otherwise wait for ever.
    prompts::SetBoxHandler([](QWidget*, const prompts::Box&) { return QMessageBox::Ok; });
    if (child)
        return Measure(files, verdicts);

    QTemporaryDir home;
    if (!home.isValid())
        return 1;
    qputenv("HOME", home.path().toUtf8());
    std::printf("bench_gui_startup: %d shared files%s\n", files, quick ? " (quick)" : "");
    if (!BuildShare(home.filePath("share"), files))
        return 1;
    std::fflush(stdout);
    QStringList arguments = {"--measure", "--files", QString::number(files)};
    if (!quick)
        arguments << "--verdicts";
    return RunMeasuredChild(arguments);
}
