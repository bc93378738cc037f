// The main window's end: the last save, the services' tear-down in order,
// the periodic sweep and save, and the size memory's view of the window.

#include <QMoveEvent>
#include <QResizeEvent>
#include <cstdio>
#include <memory>
#include <utility>

#include "net/DNetManager.h"
#include "net/PeerMessenger.h"
#include "net/server.h"
#include "shares/SharedFoldersManager.h"
#include "shell/ShellGlobals.h"
#include "shell/SizeManager.h"
#include "shell/mainwindow.h"
#include "store/ConfigurationImporter.h"
#include "store/DataSaver.h"
#include "store/DelayedInvoker.h"
#include "store/ExtendedAsciiTranslator.h"
#include "store/Log.h"
#include "store/TimerManager.h"
#include "transfers/TransferQueueManager.h"
#include "ui_mainwindow.h"
#include "views/shares/DiagnosticsForm.h"

MainWindow::~MainWindow() {
    // A list whose import was under way is saved whole (see Save),
    // unannounced.
    for (UserListImport* import :
         findChildren<UserListImport*>(QString(), Qt::FindDirectChildrenOnly))
        import->disconnect(this);
    Save(true);
    g_showIsOver = true;
    if (mp_server)
        mp_server->Disconnect();
    delete transferQueueManager;
    delete sharedFoldersManager;
    delete delayedInvoker;
    delete dnetManager;
    delete peerMessenger;
    delete mp_server;
    mp_server = nullptr;
    // Not parented to the window, so nothing else would end them.
    delete extendedAsciiTranslator;
    if (diagnosticsForm && !diagnosticsForm->parent())
        delete diagnosticsForm;
    delete dataSaver;
    delete timerManager;
    delete mp_ui;
    mp_ui = nullptr;
    delete sizeManager;
    Shell() = ShellHooks();
    if (mainWindow == this)
        mainWindow = nullptr;
}

void MainWindow::SaveData() {
    Save(false);
}

bool MainWindow::Save(bool atExit) {
    if (g_showIsOver || !dataSaver)
        return false;
    // A save holds all of an import or none of it: a crash after a save of
    // half its names would leave half a list.
    for (UserListImport* import :
         findChildren<UserListImport*>(QString(), Qt::FindDirectChildrenOnly))
        import->Finish();
    // Nor may it hold part of a folder the user asked to download.
    if (transferQueueManager)
        transferQueueManager->FinishAddingDownloads();
    d.RemoveDisconnectedItems();
    if (dataSaver->Save(StorePath()))
        return true;
    const QString message = QString("Failure to save configuration data to %1: %2")
                                .arg(StorePath(), dataSaver->LastFailure());
    Log("Configuration Data", 1, message);
    // At exit nobody reads the log any more; the terminal may still be there.
    if (atExit) {
        std::fprintf(stderr, "tavenook: %s\n", qUtf8Printable(message));
        g_exitSaveFailed = true;
    }
    return false;
}

void MainWindow::EveryHalfMinute() {}

void MainWindow::EveryFiveMinutes() {
    d.RemoveDisconnectedItems();
}

void MainWindow::EveryHour() {
    // A save holds all of an import or none of it, and all of every folder
    // the user asked to download. Doing the rest at once would freeze the
    // window for seconds on a long list or a folder of many thousand files,
    // so the hourly save waits for their own end instead; a quit still
    // finishes them.
    const auto saveAfter = [this](auto* sender, auto signal) {
        m_saveWaits = true;
        auto once = std::make_shared<QMetaObject::Connection>();
        *once = connect(
            sender, signal, this,
            [this, once] {
                disconnect(*once);
                if (std::exchange(m_saveWaits, false))
                    EveryHour();
            },
            Qt::QueuedConnection);
    };
    for (UserListImport* import :
         findChildren<UserListImport*>(QString(), Qt::FindDirectChildrenOnly))
        if (!import->IsFinished())
            return saveAfter(import, &UserListImport::Finished);
    if (transferQueueManager && transferQueueManager->DownloadsToAdd() > 0)
        return saveAfter(transferQueueManager, &TransferQueueManager::WaitingDownloadsDone);
    SaveData();
}

void MainWindow::moveEvent(QMoveEvent* event) {
    QMainWindow::moveEvent(event);
    if (!isMaximized())
        emit m_sizeProxy.WindowMoved(geometry().x(), geometry().y());
}

void MainWindow::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    if (!isMaximized())
        emit m_sizeProxy.WindowResized(event->size().width(), event->size().height());
}

int MainWindow::SizeProxy::GetX() {
    return mainWindow->geometry().x();
}
int MainWindow::SizeProxy::GetY() {
    return mainWindow->geometry().y();
}
int MainWindow::SizeProxy::GetWidth() {
    return mainWindow->geometry().width();
}
int MainWindow::SizeProxy::GetHeight() {
    return mainWindow->geometry().height();
}
void MainWindow::SizeProxy::SetPosition(int x, int y) {
    const QRect current = mainWindow->geometry();
    mainWindow->setGeometry(x, y, current.width(), current.height());
}
void MainWindow::SizeProxy::SetSize(int width, int height) {
    const QRect current = mainWindow->geometry();
    mainWindow->setGeometry(current.x(), current.y(), width, height);
}
