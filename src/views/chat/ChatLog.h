#ifndef TAVENOOK_VIEWS_CHAT_CHATLOG_H
#define TAVENOOK_VIEWS_CHAT_CHATLOG_H

#include <QDateTime>
#include <QString>

// Chat-log files: one UTF-8 file per room and per private-chat partner under
// the chat-log folders in the home directory, one line per message.
namespace chatlog {

enum class Kind { Room, User };

// Home folder + "/Tavenook Chat Logs/Rooms" or ".../Users", no trailing "/".
QString Folder(Kind kind);
constexpr int kMaxFileNameBytes = 255;
// The log file name (".log" included) made from a room, user or log-area
// name: it cannot leave its folder or hide ("%", "/", "\", ":", control
// characters, lone surrogates and a leading "." are percent-encoded), stays
// within kMaxFileNameBytes of UTF-8, and different names never share a file.
QString SafeFileName(const QString& name);
// The log file of that room or user; empty when no safe file exists for it.
QString FilePath(Kind kind, const QString& name);

// "[time][sender] text" and "[time] * status"; line breaks (and NULs) inside a
// value become blanks, so a logged text cannot pose as further lines.
QString OrdinaryLine(const QDateTime& time, const QString& sender, const QString& text);
QString ActionLine(const QDateTime& time, const QString& status);

// While the view's setting ("log_room_chat" or "log_private_chat") is "yes":
// appends the line to the file (a file that cannot be opened loses it
// silently) and hands it to the room's or user's open log viewer.
void Write(Kind kind, const QString& name, const QString& line);

}  // namespace chatlog

#endif
