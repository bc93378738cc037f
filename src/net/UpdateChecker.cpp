#include "net/UpdateChecker.h"

#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

#include "net/server.h"
#include "store/Log.h"
#include "store/Settings.h"

const char* const UpdateChecker::kDefaultUrl = "http://www.tavenook.net/qtversion.txt";

namespace {
const int kTransferTimeoutMs = 60000;
const char* const kArea = "Application";
// The head of the answer comes on top of the largest body read.
const int kMaxAnswerSize = int(UpdateChecker::kMaxBodySize) + 16 * 1024;

// Reads one line starting at pos; false when no line feed ends it.
bool ReadLine(const QByteArray& body, int& pos, QByteArray& line) {
    const int end = body.indexOf('\n', pos);
    if (end < 0) {
        line = body.mid(pos);
        pos = body.size();
        return false;
    }
    line = body.mid(pos, end - pos + 1);
    pos = end + 1;
    return true;
}

QString Clean(const QByteArray& line) {
    QByteArray text = line.trimmed();
    const int nul = text.indexOf('\0');
    if (nul >= 0)
        text.truncate(nul);
    return QString::fromLatin1(text);
}
}  // namespace

UpdateChecker::UpdateChecker(QObject* parent) : QObject(parent) {}

UpdateChecker::~UpdateChecker() {
    if (mp_socket) {
        mp_socket->disconnect(this);
        mp_socket->abort();
    }
}

void UpdateChecker::Init() {
    if (gp_server)
        connect(gp_server, &Server::Connected, this, &UpdateChecker::OnConnectedToServer);
}

void UpdateChecker::OnConnectedToServer() {
    CheckForNewVersion();
}

QUrl UpdateChecker::VersionFileUrl() {
    const QString override = qEnvironmentVariable("TAVENOOK_UPDATE_URL");
    return QUrl(override.isEmpty() ? QString(kDefaultUrl) : override);
}

void UpdateChecker::CheckForNewVersion() {
    if (m_checked)
        return;
    m_checked = true;
    const QUrl url = VersionFileUrl();
    if (!url.isValid() || url.scheme() != "http" || url.host().isEmpty()) {
        Log(kArea, 1, QString("Not checking for a new version at \"%1\"").arg(url.toString()));
        QTimer::singleShot(0, this, [this] { emit CheckDone(); });
        return;
    }
    QString path = url.path(QUrl::FullyEncoded);
    if (path.isEmpty())
        path = "/";
    if (url.hasQuery())
        path += "?" + url.query(QUrl::FullyEncoded);
    QByteArray host = url.host(QUrl::FullyEncoded).toLatin1();
    if (url.port() != -1)
        host += ":" + QByteArray::number(url.port());
    const QByteArray request =
        "GET " + path.toLatin1() + " HTTP/1.0\r\nHost: " + host + "\r\nConnection: close\r\n\r\n";
    mp_socket = new QTcpSocket(this);
    mp_timeout = new QTimer(this);
    mp_timeout->setSingleShot(true);
    connect(mp_timeout, &QTimer::timeout, this, &UpdateChecker::OnFinished);
    connect(mp_socket, &QTcpSocket::connected, mp_socket,
            [socket = mp_socket, request] { socket->write(request); });
    connect(mp_socket, &QTcpSocket::readyRead, this, &UpdateChecker::OnReadyRead);
    connect(mp_socket, &QTcpSocket::disconnected, this, &UpdateChecker::OnFinished);
    connect(mp_socket, &QTcpSocket::errorOccurred, this, &UpdateChecker::OnFinished);
    mp_timeout->start(kTransferTimeoutMs);
    mp_socket->connectToHost(url.host(), quint16(url.port(80)));
}

void UpdateChecker::OnReadyRead() {
    if (!mp_socket || m_tooLarge)
        return;
    m_answer += mp_socket->read(kMaxAnswerSize + 1 - m_answer.size());
    if (m_answer.size() > kMaxAnswerSize) {
        m_tooLarge = true;
        m_answer.clear();
        OnFinished();
    }
}

void UpdateChecker::OnFinished() {
    QTcpSocket* socket = mp_socket;
    if (!socket)
        return;
    OnReadyRead();
    if (!mp_socket)
        return;
    mp_socket = nullptr;
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
    mp_timeout->stop();
    mp_timeout->deleteLater();
    mp_timeout = nullptr;
    const QByteArray answer = m_answer;
    m_answer.clear();
    QByteArray body;
    Release release;
    if (!m_tooLarge && ParseHttpAnswer(answer, body) && body.size() <= kMaxBodySize &&
        ParseVersionFile(body, GetSettingInt64("skip_version"), release))
        emit NewVersion(release.version, release.downloadLink, release.description);
    emit CheckDone();
}

bool UpdateChecker::ParseHttpAnswer(const QByteArray& answer, QByteArray& body) {
    const int headEnd = answer.indexOf("\r\n\r\n");
    if (headEnd < 0)
        return false;
    const QList<QByteArray> lines = answer.left(headEnd).split('\n');
    const QList<QByteArray> status = lines.first().trimmed().split(' ');
    if (status.size() < 2 || !status[0].startsWith("HTTP/1.") || status[1] != "200")
        return false;
    body = answer.mid(headEnd + 4);
    for (int i = 1; i < lines.size(); ++i) {
        const int colon = lines[i].indexOf(':');
        if (colon <= 0)
            return false;
        const QByteArray name = lines[i].left(colon).trimmed().toLower();
        const QByteArray value = lines[i].mid(colon + 1).trimmed();
        if (name == "transfer-encoding" && value.toLower() != "identity")
            return false;
        if (name == "content-length") {
            bool ok = false;
            const qint64 length = value.toLongLong(&ok);
            if (!ok || length < 0 || length > body.size())
                return false;
            body.truncate(int(length));
        }
    }
    return true;
}

bool UpdateChecker::ParseVersionFile(const QByteArray& body, qint64 skipVersion, Release& out) {
    int pos = 0;
    QByteArray line;
    ReadLine(body, pos, line);
    bool ok = false;
    qint64 version = Clean(line).toLongLong(&ok);
    if (!ok)
        version = 0;
    if (version <= skipVersion || version <= kCurrentVersion)
        return false;
    ReadLine(body, pos, line);
    const QString base = Clean(line);
    if (base.isEmpty())
        return false;
    ReadLine(body, pos, line);
    const QString stem = Clean(line);
    if (stem.isEmpty())
        return false;
    QStringList description;
    // Only complete lines: a last line without a line feed is left out.
    while (pos < body.size() && ReadLine(body, pos, line))
        description << Clean(line);
    out.version = version;
    out.downloadLink = base + "/Linux/" + stem + "-64bit.tgz";
    out.description = description;
    return true;
}
