#include "shell/Application.h"

#include <sys/socket.h>
#include <unistd.h>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QPointer>
#include <QSessionManager>
#include <QSocketNotifier>
#include <QStyle>
#include <QStyleFactory>
#include <QThread>
#include <csignal>

#include "shell/ShellGlobals.h"
#include "store/Log.h"

namespace {
// One instance per user: the user's name and home keep two users of one
// machine apart, and hashing keeps the socket name short and plain.
QString InstanceKey(const QString& id) {
    const QByteArray user = qgetenv("USER") + '\n' + QDir::homePath().toUtf8();
    const QByteArray hash = QCryptographicHash::hash(user, QCryptographicHash::Sha1).toHex();
    return id + QLatin1Char('-') + QString::fromLatin1(hash.left(16));
}

// A signal handler may only write to a descriptor; the event loop reads it.
int g_signalSockets[2] = {-1, -1};
bool g_handlesInterrupt = false;
void OnTerminationSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(g_signalSockets[1], &byte, 1);
}
}  // namespace

Application::Application(const QString& id, int& argc, char** argv)
    : QApplication(argc, argv), m_id(id), m_serverName(InstanceKey(id)) {
#ifndef QT_NO_SESSIONMANAGER
    setFallbackSessionManagementEnabled(false);
    connect(this, &QGuiApplication::commitDataRequest, this, &Application::commitData,
            Qt::DirectConnection);
#endif
    mp_lock = std::make_unique<QLockFile>(QDir::temp().filePath(m_serverName + ".lock"));
    // Only a dead holder makes the lock stale, never its age: a first
    // instance may run for weeks.
    mp_lock->setStaleLockTime(0);
    if (!mp_lock->tryLock(0)) {
        if (mp_lock->error() == QLockFile::LockFailedError) {
            m_running = true;
            return;
        }
        // An unwritable temporary folder must not keep the program from
        // starting: run without the guard.
        Log("Application", 1,
            QString("Single instance: cannot create %1").arg(QDir::temp().filePath(m_serverName)));
        return;
    }
    // A crashed first instance may have left its socket file behind.
    QLocalServer::removeServer(m_serverName);
    mp_server = new QLocalServer(this);
    mp_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!mp_server->listen(m_serverName))
        Log("Application", 1,
            QString("Single instance: cannot listen on %1: %2")
                .arg(m_serverName, mp_server->errorString()));
    connect(mp_server, &QLocalServer::newConnection, this, &Application::OnNewConnection);
}

Application::~Application() {
    // Stop listening before the lock goes, so a new first instance never
    // finds our socket in its way.
    if (mp_server)
        mp_server->close();
}

bool Application::sendMessage(const QString& message, int timeoutMs) {
    if (!m_running)
        return false;
    const QByteArray bytes = message.toUtf8();
    if (bytes.size() > kMaxMessageBytes)
        return false;
    // The first instance may hold the lock but not yet listen: retry until
    // the time is up.
    const QDeadlineTimer deadline(timeoutMs);
    QLocalSocket socket;
    for (;;) {
        socket.connectToServer(m_serverName);
        if (socket.waitForConnected(int(qBound<qint64>(1, deadline.remainingTime(), 250))))
            break;
        socket.abort();
        if (deadline.hasExpired())
            return false;
        QThread::msleep(50);
    }
    // An empty message still asks the first instance to show itself.
    if (!bytes.isEmpty()) {
        socket.write(bytes);
        if (!socket.waitForBytesWritten(timeoutMs))
            return false;
    }
    socket.disconnectFromServer();
    return socket.state() == QLocalSocket::UnconnectedState ||
           socket.waitForDisconnected(timeoutMs);
}

void Application::ApplyProgramStyle() {
    QStyle* style = QStyleFactory::create("Plastique");
    if (!style)
        style = QStyleFactory::create("Fusion");
    if (style)
        setStyle(style);
}

void Application::QuitOnTerminationSignals() {
    if (g_signalSockets[0] >= 0)
        return;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_signalSockets) !=
        0) {
        Log("Application", 1, "Termination signals: no socket pair; they end the program at once");
        return;
    }
    auto* notifier = new QSocketNotifier(g_signalSockets[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this]() {
        char byte;
        [[maybe_unused]] const ssize_t read = ::read(g_signalSockets[0], &byte, 1);
        m_terminationRequested = true;
        // A second signal, should the shutdown hang, ends the program at once.
        std::signal(SIGTERM, SIG_DFL);
        if (g_handlesInterrupt)
            std::signal(SIGINT, SIG_DFL);
        quit();
    });
    struct sigaction action = {};
    action.sa_handler = OnTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    // An ignored SIGINT (a background start) stays ignored.
    struct sigaction previous = {};
    if (sigaction(SIGINT, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN)
        g_handlesInterrupt = sigaction(SIGINT, &action, nullptr) == 0;
}

void Application::commitData(QSessionManager&) {
    ShellSaveData();
}

void Application::OnNewConnection() {
    while (QLocalSocket* socket = mp_server->nextPendingConnection()) {
        // A message is whole when its sender disconnects, and may be empty;
        // an oversized one is dropped with its connection.
        auto buffer = std::make_shared<QByteArray>();
        auto done = std::make_shared<bool>(false);
        const auto finish = [this, socket, buffer, done](bool deliver) {
            if (*done)
                return;
            *done = true;
            if (deliver)
                emit messageReceived(QString::fromUtf8(*buffer));
            socket->deleteLater();
        };
        const auto read = [socket, buffer, done, finish]() {
            if (*done)
                return false;
            buffer->append(socket->readAll());
            if (buffer->size() <= kMaxMessageBytes)
                return true;
            Log("Application", 1, "Single instance: oversized message dropped");
            finish(false);
            socket->abort();
            return false;
        };
        connect(socket, &QLocalSocket::readyRead, this, read);
        connect(socket, &QLocalSocket::disconnected, this, [read, finish]() {
            if (read())
                finish(true);
        });
        if (socket->state() == QLocalSocket::UnconnectedState && read())
            finish(true);
    }
}
