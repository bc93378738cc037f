#include "net/UpdateChecker.h"

#include <QNetworkReply>
#include <QNetworkRequest>

#include "net/server.h"
#include "store/Settings.h"

const char* const UpdateChecker::kDefaultUrl = "http://www.tavenook.net/qtversion.txt";

namespace {
const int kTransferTimeoutMs = 60000;

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
    if (mp_reply) {
        mp_reply->disconnect(this);
        mp_reply->abort();
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
    QNetworkRequest request(VersionFileUrl());
    request.setTransferTimeout(kTransferTimeoutMs);
    mp_reply = m_fetcher.get(request);
    connect(mp_reply, &QNetworkReply::readyRead, this, &UpdateChecker::OnReadyRead);
    connect(mp_reply, &QNetworkReply::finished, this, &UpdateChecker::OnFinished);
}

void UpdateChecker::OnReadyRead() {
    if (!mp_reply || m_tooLarge)
        return;
    m_body += mp_reply->read(kMaxBodySize + 1 - m_body.size());
    if (m_body.size() > kMaxBodySize) {
        m_tooLarge = true;
        m_body.clear();
        mp_reply->abort();
    }
}

void UpdateChecker::OnFinished() {
    QNetworkReply* reply = mp_reply;
    if (!reply)
        return;
    OnReadyRead();
    mp_reply = nullptr;
    reply->deleteLater();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QByteArray body = m_body;
    m_body.clear();
    Release release;
    if (!m_tooLarge && reply->error() == QNetworkReply::NoError && status == 200 &&
        ParseVersionFile(body, GetSettingInt64("skip_version"), release))
        emit NewVersion(release.version, release.downloadLink, release.description);
    emit CheckDone();
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
