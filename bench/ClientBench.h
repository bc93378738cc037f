#ifndef TAVENOOK_BENCH_CLIENTBENCH_H
#define TAVENOOK_BENCH_CLIENTBENCH_H

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <cstdio>

// For benchmarks that run the whole client: nothing leaves the machine (the
// server and the release check point at a closed loopback port) and the
// first-run questions are answered.
inline void UseLoopbackOnly() {
    qputenv("TAVENOOK_NO_UPNP", "1");
    qputenv("TAVENOOK_SERVER", "127.0.0.1:9");
    qputenv("TAVENOOK_UPDATE_URL", "http://127.0.0.1:9/qtversion.txt");
    qputenv("TAVENOOK_USERNAME", "bench");
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

// `files` empty files below root; `path(i)` names the i-th, relative to root.
template <class Path>
bool WriteFiles(const QString& root, int files, Path path) {
    QString lastFolder;
    for (int i = 0; i < files; ++i) {
        const QString file = root + '/' + path(i);
        const QString folder = file.left(file.lastIndexOf('/'));
        if (folder != lastFolder && !QDir().mkpath(folder))
            return false;
        lastFolder = folder;
        QFile out(file);
        if (!out.open(QIODevice::WriteOnly))
            return false;
    }
    return true;
}

// `files` empty music files, 500 to a folder.
inline bool WriteShareFiles(const QString& root, int files) {
    return WriteFiles(root, files, [](int i) {
        return QString("album%1/track %2 of the long playing record.mp3").arg(i / 500).arg(i);
    });
}

// Runs this program again with `arguments`, so that a measurement starts
// from a fresh process; its output goes straight to ours.
inline int RunMeasuredChild(const QStringList& arguments) {
    QProcess measure;
    measure.setProcessChannelMode(QProcess::ForwardedChannels);
    measure.start(QCoreApplication::applicationFilePath(), arguments);
    return measure.waitForFinished(-1) && measure.exitCode() == 0 ? 0 : 1;
}

// The child's side: listens and says on which port, as ServerProcess reads.
template <class Server>
bool ListenAndSayPort(Server& server) {
    if (!server.Listen())
        return false;
    std::printf("port %u\n", unsigned(server.Port()));
    std::fflush(stdout);
    return true;
}

// The loopback test server in a child process of the bench itself (started
// with "--serve"): it prints "port N" once it listens, then lines of its own,
// and ends when its standard input closes.
class ServerProcess {
public:
    ServerProcess() = default;
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;
    virtual ~ServerProcess() {
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished(5000);
    }
    // False when it did not listen within 10 s.
    bool Start(QProcess::ProcessChannelMode errors = QProcess::SeparateChannels) {
        m_process.setProcessChannelMode(errors);
        m_process.start(QCoreApplication::applicationFilePath(), {"--serve"});
        QElapsedTimer clock;
        clock.start();
        while (m_port == 0 && clock.elapsed() < 10000) {
            m_process.waitForReadyRead(50);
            Read();
        }
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, [this] { Read(); });
        return m_port != 0;
    }
    quint16 Port() const { return m_port; }

protected:
    void Write(const QByteArray& line) { m_process.write(line + '\n'); }
    void Read() {
        while (m_process.canReadLine()) {
            const QByteArray line = m_process.readLine().trimmed();
            if (m_port == 0 && line.startsWith("port "))
                m_port = quint16(line.mid(5).toUInt());
            else
                OnLine(line);
        }
    }
    // A line after the port's.
    virtual void OnLine(const QByteArray&) {}

private:
    QProcess m_process;
    quint16 m_port = 0;
};

#endif
