#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QStringList>

#include "store/Data.h"
#include "store/Log.h"
#include "store/PlainFile.h"
#include "store/Settings.h"
#include "views/chat/ChatLog.h"
#include "views/chat/ChatLogForm.h"
#include "views/chat/ChatTranscript.h"

namespace chatlog {
namespace {
QString OneLine(QString text) {
    text.replace('\r', ' ');
    text.replace('\n', ' ');
    text.replace(QChar(0), ' ');
    return text;
}

// A log that cannot be written is said once per file and run, not per line.
void ReportFailure(const QString& path, const QString& reason) {
    static QSet<QString> told;
    if (told.contains(path) || told.size() >= 4096)
        return;
    told.insert(path);
    Log("Chat Logs", 1, QString("Cannot write the chat log %1: %2").arg(path, reason));
}
}  // namespace

QString Folder(Kind kind) {
    return QDir::homePath() +
           (kind == Kind::Room ? "/Tavenook Chat Logs/Rooms" : "/Tavenook Chat Logs/Users");
}

QString SafeFileName(const QString& name) {
    // Each piece is one character of the name, encoded when unsafe, so that a
    // cut never splits an escape or a surrogate pair.
    QStringList pieces;
    for (int i = 0; i < name.size(); ++i) {
        const QChar c = name.at(i);
        const ushort u = c.unicode();
        if (c.isHighSurrogate() && i + 1 < name.size() && name.at(i + 1).isLowSurrogate()) {
            pieces += name.mid(i++, 2);
        } else if (c.isSurrogate()) {
            // A lone half would turn into "?" on disk and merge names.
            pieces += QString("%u%1").arg(u, 4, 16, QChar('0')).toUpper();
        } else if (u < 0x20 || (u >= 0x7f && u <= 0x9f) || c == '%' || c == '/' || c == '\\' ||
                   c == ':' || (i == 0 && c == '.')) {
            pieces += QString("%%1").arg(u, 2, 16, QChar('0')).toUpper();
        } else {
            pieces += QString(c);
        }
    }
    QString safe = pieces.join(QString());
    if (safe.isEmpty())
        safe = "%";
    static const QString suffix = ".log";
    if (safe.toUtf8().size() + suffix.size() <= kMaxFileNameBytes)
        return safe + suffix;
    // Too long for a file system: keep a prefix and tell long names apart by
    // a digest of the whole (encoded, hence lossless) name.
    const QString digest =
        "~" +
        QString::fromLatin1(
            QCryptographicHash::hash(safe.toUtf8(), QCryptographicHash::Sha1).toHex().left(16));
    const int room = kMaxFileNameBytes - int(suffix.size()) - int(digest.size());
    QString cut;
    int bytes = 0;
    for (const QString& piece : pieces) {
        const int size = piece.toUtf8().size();
        if (bytes + size > room)
            break;
        cut += piece;
        bytes += size;
    }
    return cut + digest + suffix;
}

QString FilePath(Kind kind, const QString& name) {
    if (name.isEmpty())
        return QString();
    const QString folder = QDir::cleanPath(Folder(kind));
    const QString path = folder + "/" + SafeFileName(name);
    // The encoding leaves no separator; this holds whatever it becomes.
    if (QFileInfo(path).absolutePath() != folder)
        return QString();
    return path;
}

QString OrdinaryLine(const QDateTime& time, const QString& sender, const QString& text) {
    return QString("[%1][%2] %3").arg(chat::LongTime(time), OneLine(sender), OneLine(text));
}

QString ActionLine(const QDateTime& time, const QString& status) {
    return QString("[%1] * %2").arg(chat::LongTime(time), OneLine(status));
}

void Write(Kind kind, const QString& name, const QString& line) {
    if (!IsSettingYes(kind == Kind::Room ? "log_room_chat" : "log_private_chat"))
        return;
    const QString path = FilePath(kind, name);
    if (!path.isEmpty()) {
        QDir().mkpath(Folder(kind));
        QFile file;
        QString why;
        const QByteArray bytes = OneLine(line).toUtf8() + '\n';
        // Unbuffered: a write that fails says so here, not unheard at the close.
        if (!OpenPlainFile(file, path,
                           QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered, &why))
            ReportFailure(path, why);
        else if (!WriteOut(file, bytes.constData(), bytes.size(), &why) ||
                 !CloseOut(file, &why))  // where some disks say a write was lost
            ReportFailure(path, why);
    } else {
        ReportFailure(name, "no file name");
    }
    const ItemPtr owner = d.GetType(kind == Kind::Room ? "room" : "user")->HasItem(Value(name));
    if (owner.IsNull())
        return;
    const ItemPtr viewer = owner["chat_log_form"];
    if (!viewer.IsNull() && viewer.AsUInt64() != 0)
        reinterpret_cast<ChatLogForm*>(viewer.AsUInt64())->AddLine(OneLine(line));
}

}  // namespace chatlog
