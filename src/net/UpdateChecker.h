#ifndef TAVENOOK_NET_UPDATECHECKER_H
#define TAVENOOK_NET_UPDATECHECKER_H

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

class QTcpSocket;
class QTimer;

// Once per run, after the first login, fetches the maker's version file and
// announces a build newer than this one and than the one the user skipped.
// Main thread only. Failures end the check silently. The file is fetched
// with one plain HTTP/1.0 request: a general HTTP client sends the request
// again when the host closes without an answer, and the check asks once.
class UpdateChecker : public QObject {
    Q_OBJECT

public:
    // This build; the digits read as year, month and day.
    static constexpr qint64 kCurrentVersion = 20130226;
    static const char* const kDefaultUrl;
    // Larger bodies are not a version file.
    static constexpr qint64 kMaxBodySize = 64 * 1024;

    explicit UpdateChecker(QObject* parent = nullptr);
    ~UpdateChecker() override;

    // Follows the server connection's first Connected(), when there is one.
    void Init();
    // Starts the fetch, at most once per run.
    void CheckForNewVersion();
    bool IsChecked() const { return m_checked; }

    // TAVENOOK_UPDATE_URL when set, else kDefaultUrl.
    static QUrl VersionFileUrl();

    struct Release {
        qint64 version = 0;
        QString downloadLink;
        QStringList description;
    };
    // Reads a version file. True when it names a build newer than both
    // kCurrentVersion and skipVersion, with a base and a stem.
    static bool ParseVersionFile(const QByteArray& body, qint64 skipVersion, Release& out);
    // The body of a whole HTTP answer with status 200; false for any other
    // status, a malformed head, a body shorter than its Content-Length or
    // one sent in chunks.
    static bool ParseHttpAnswer(const QByteArray& answer, QByteArray& body);

public slots:
    void OnConnectedToServer();

signals:
    void NewVersion(qint64 version, QString downloadLink, QStringList description);
    // The fetch ended, whatever its outcome (after NewVersion, if any).
    void CheckDone();

private slots:
    void OnReadyRead();
    void OnFinished();

private:
    QTcpSocket* mp_socket = nullptr;
    QTimer* mp_timeout = nullptr;
    QByteArray m_answer;
    bool m_tooLarge = false;
    bool m_checked = false;
};

#endif
