#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "store/Data.h"
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
}  // namespace

QString Folder(Kind kind) {
    return QDir::homePath() +
           (kind == Kind::Room ? "/Tavenook Chat Logs/Rooms" : "/Tavenook Chat Logs/Users");
}

QString SafeFileName(const QString& name) {
    QString safe;
    for (int i = 0; i < name.size(); ++i) {
        const QChar c = name.at(i);
        const bool unsafe = c == '%' || c == '/' || c == '\\' || c.unicode() < 0x20 ||
                            c.unicode() == 0x7f || (i == 0 && c == '.');
        if (unsafe)
            safe += QString("%%1").arg(c.unicode(), 2, 16, QChar('0')).toUpper();
        else
            safe += c;
    }
    return safe;
}

QString FilePath(Kind kind, const QString& name) {
    if (name.isEmpty())
        return QString();
    const QString folder = QDir::cleanPath(Folder(kind));
    const QString path = QDir::cleanPath(folder + "/" + SafeFileName(name) + ".log");
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
        QFile file(path);
        if (file.open(QIODevice::WriteOnly | QIODevice::Append)) {
            file.write(OneLine(line).toUtf8() + '\n');
            file.close();
        }
    }
    const ItemPtr owner = d.GetType(kind == Kind::Room ? "room" : "user")->HasItem(Value(name));
    if (owner.IsNull())
        return;
    const ItemPtr viewer = owner["chat_log_form"];
    if (!viewer.IsNull() && viewer.AsUInt64() != 0)
        reinterpret_cast<ChatLogForm*>(viewer.AsUInt64())->AddLine(OneLine(line));
}

}  // namespace chatlog
