#ifndef TAVENOOK_TESTS_SUPPORT_WINDOWSTART_H
#define TAVENOOK_TESTS_SUPPORT_WINDOWSTART_H

// One client per process: each start begins with an empty store and a fresh
// shutdown flag, then builds and initialises the main window as the program
// does. First-run answers come from the environment the caller set. A store
// that names no listening ports gets free ones, never the defaults that
// another program (or another test) may hold.

#include <QSize>
#include <memory>

#include "net/PeerMessenger.h"
#include "shell/ShellGlobals.h"
#include "shell/mainwindow.h"
#include "store/Data.h"
#include "store/TimerManager.h"

enum class Clocks { Stopped, Running };

inline std::unique_ptr<MainWindow> StartMainWindow(Clocks clocks = Clocks::Stopped,
                                                   QSize size = QSize()) {
    d.Reset();
    g_showIsOver = false;
    PeerMessenger::SetDefaultPorts(0, 0);
    auto window = std::make_unique<MainWindow>();
    if (size.isValid())
        window->resize(size);
    window->Start();
    // Tests drive the periodic work themselves.
    if (clocks == Clocks::Stopped) {
        timerManager->everyHalfMinute.stop();
        timerManager->everyFiveMinutes.stop();
        timerManager->everyHour.stop();
    }
    return window;
}

#endif
