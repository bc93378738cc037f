#ifndef TAVENOOK_TESTS_SUPPORT_DRIVERPROCESS_H
#define TAVENOOK_TESTS_SUPPORT_DRIVERPROCESS_H

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QStringList>
#include <QTimer>
#include <functional>

// A process that runs `setup` in the child before the program starts, for
// limits and signal dispositions that the program inherits.
class SetUpProcess : public QProcess {
public:
    std::function<void()> setup;

protected:
    void setupChildProcess() override {
        if (setup)
            setup();
    }
};

// One tavenook-driver process (see driver_main.cpp): commands go to its
// stdin, its stdout lines are taken as they come, its log goes to a file.
// Waiting spins the caller's event loop, so an in-process server keeps going.
class DriverProcess {
public:
    using Match = std::function<bool(const QStringList&)>;

    DriverProcess(QString program, QString logFile)
        : m_program(std::move(program)), m_logFile(std::move(logFile)) {}
    ~DriverProcess() { Kill(); }

    // Starts it and waits for "ready"; false when it did not get there.
    bool Start(const QStringList& args, int timeoutMs = 60000) {
        m_process.setStandardErrorFile(m_logFile, QIODevice::Append);
        m_process.start(m_program, args);
        const QStringList ready = WaitFor("ready", timeoutMs);
        port = ready.value(1).toUShort();
        return port != 0;
    }
    // Runs in the child before the driver starts; set before Start.
    void SetChildSetup(std::function<void()> setup) { m_process.setup = std::move(setup); }
    // The exit code once it ended by itself in time; -1 otherwise.
    int ExitCode(int timeoutMs = 60000) {
        if (m_process.state() != QProcess::NotRunning && !m_process.waitForFinished(timeoutMs))
            return -1;
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    }
    void Send(const QString& command) { m_process.write(command.toUtf8() + '\n'); }
    // The fields of the first line of this event for which `match` holds,
    // waited for; the lines before it are dropped. Empty on time-out or exit.
    QStringList WaitFor(const QString& event, int timeoutMs = 60000, const Match& match = {}) {
        const QDeadlineTimer deadline(timeoutMs);
        for (;;) {
            while (m_process.canReadLine()) {
                const QStringList fields =
                    QString::fromUtf8(m_process.readLine()).chopped(1).split('\t');
                if (fields.value(0) == event && (!match || match(fields)))
                    return fields;
            }
            if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning)
                return {};
            QEventLoop loop;
            QObject::connect(&m_process, &QProcess::readyReadStandardOutput, &loop,
                             &QEventLoop::quit);
            QObject::connect(&m_process,
                             QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &loop,
                             &QEventLoop::quit);
            QTimer::singleShot(int(deadline.remainingTime()), &loop, &QEventLoop::quit);
            loop.exec();
        }
    }
    // Asks it to save and leave; true when it exited cleanly.
    bool Quit(int timeoutMs = 60000) {
        Send("quit");
        return !WaitFor("bye", timeoutMs).isEmpty() &&
               (m_process.state() == QProcess::NotRunning ||
                m_process.waitForFinished(timeoutMs)) &&
               m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0;
    }
    void Kill() {
        m_process.kill();
        m_process.waitForFinished();
    }
    // The end of its log, for failure messages.
    QByteArray LogTail() const {
        QFile log(m_logFile);
        return log.open(QIODevice::ReadOnly) ? log.readAll().right(4000) : QByteArray();
    }

    quint16 port = 0;

private:
    QString m_program;
    QString m_logFile;
    SetUpProcess m_process;
};

#endif
