#ifndef TAVENOOK_SHELL_APPLICATION_H
#define TAVENOOK_SHELL_APPLICATION_H

#include <QApplication>
#include <QString>
#include <memory>

class QLocalServer;
class QLockFile;
class QSessionManager;

// The program's application object: one instance per user and identifier.
// The first start holds a lock file and listens on a local socket; a later
// start finds the lock taken, can hand its arguments to the first and
// should then exit. At logout the store is saved and the program goes on.
class Application : public QApplication {
    Q_OBJECT

public:
    Application(const QString& id, int& argc, char** argv);
    ~Application() override;

    QString id() const { return m_id; }
    // The local socket the first instance listens on.
    QString serverName() const { return m_serverName; }
    // True when another process of this user holds the identifier.
    bool isRunning() const { return m_running; }
    // Hands a message to the running instance; false when none took it.
    bool sendMessage(const QString& message, int timeoutMs = 5000);

    // Sets "Plastique", or "Fusion" where that style is not installed.
    static void ApplyProgramStyle();

    // SIGTERM, and SIGINT unless it is ignored, end the event loop instead
    // of the process, so that the orderly shutdown saves the store.
    void QuitOnTerminationSignals();
    // True once such a signal arrived; one before exec() would be lost.
    bool TerminationRequested() const { return m_terminationRequested; }

    // The largest message a start may hand over; longer ones are dropped.
    static constexpr int kMaxMessageBytes = 64 * 1024;

signals:
    void messageReceived(QString message);

public slots:
    // The desktop asks to save before logout: save, and keep running.
    void commitData(QSessionManager& manager);

private slots:
    void OnNewConnection();

private:
    QString m_id;
    QString m_serverName;
    bool m_running = false;
    bool m_terminationRequested = false;
    std::unique_ptr<QLockFile> mp_lock;
    QLocalServer* mp_server = nullptr;
};

#endif
