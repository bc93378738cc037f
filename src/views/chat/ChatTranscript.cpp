#include <QLocale>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTextBrowser>
#include <QTextCursor>

#include "store/GeneralFunctions.h"
#include "store/Settings.h"
#include "views/chat/ChatLog.h"
#include "views/chat/ChatTranscript.h"

namespace chat {
namespace {
std::function<QDateTime()>& Clock() {
    static std::function<QDateTime()> clock;
    return clock;
}

QString Colored(const char* colorKey, const QString& html) {
    return QString("<font color=\"%1\">%2</font>").arg(EscapeHTML(GetSetting(colorKey)), html);
}
}  // namespace

QDateTime Now() {
    return Clock() ? Clock()() : QDateTime::currentDateTime();
}

void SetClock(std::function<QDateTime()> clock) {
    Clock() = std::move(clock);
}

QString LongTime(const QDateTime& time) {
    return QLocale::c().toString(time, QStringLiteral("MMM d h:mm:ss ap"));
}

QString ShortTime(const QDateTime& time) {
    return QLocale::c().toString(time, QStringLiteral("h:mm:ss"));
}

QString RichText(const QString& raw) {
    static const QRegularExpression link(
        QStringLiteral("\\bhttps?://[-a-zA-Z0-9+&@#/%?=~_|!:,.;]*[a-zA-Z0-9+&@#/%=~_|]"));
    QString html;
    int done = 0;
    for (auto it = link.globalMatch(raw); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        const QString address = m.captured(0);
        html += EscapeHTML(raw.mid(done, m.capturedStart() - done));
        QString target = address;
        target.replace('&', QLatin1String("&amp;"));
        html += QString("<a href=\"%1\">%2</a>").arg(target, EscapeHTML(address));
        done = m.capturedEnd();
    }
    return html + EscapeHTML(raw.mid(done));
}

bool IsAction(const QString& text) {
    return text.trimmed().startsWith(QLatin1String("/me "));
}

}  // namespace chat

ChatTranscript::ChatTranscript(QTextBrowser* view, int cap)
    : mp_view(view), m_cap(cap), m_lastChat(chat::Now()) {}

QString ChatTranscript::AddLine(const QString& sender, const QString& text) {
    const QString mode = GetSetting("chat_timestamps");
    const QDateTime now = chat::Now();
    m_lastChat = now;
    if (!m_active) {
        m_active = true;
        if (mode == QLatin1String("activity_based"))
            AddStatus("Chat started " + chat::LongTime(now));
    }
    QString stamp;
    if (mode == QLatin1String("per_message_short"))
        stamp = chat::ShortTime(now);
    else if (mode == QLatin1String("per_message_long"))
        stamp = chat::LongTime(now);
    QString line;
    if (!stamp.isEmpty())
        line = "[" + chat::Colored("color_chat_timestamp", stamp) + "]";
    line += "[" + chat::Colored("color_chat_username", chat::RichText(sender)) + "] " +
            chat::RichText(text);
    if (m_cap > 0) {
        QString kept = mp_view->toHtml();
        if (kept.size() > m_cap) {
            kept.remove(0, kRoomCut);
            const int feed = kept.indexOf('\n');
            kept.remove(0, feed < 0 ? 0 : feed + 1);
            mp_view->setUpdatesEnabled(false);
            mp_view->clear();
            QTextCursor(mp_view->document()).insertHtml(kept);
            Append(line);
            mp_view->setUpdatesEnabled(true);
            return chatlog::OrdinaryLine(now, sender, text);
        }
    }
    Append(line);
    return chatlog::OrdinaryLine(now, sender, text);
}

QString ChatTranscript::AddAction(const QString& sender, const QString& text) {
    const QString status = QString("%1 %2").arg(sender, text.trimmed().mid(4).trimmed());
    AddStatus(status);
    return chatlog::ActionLine(chat::Now(), status);
}

void ChatTranscript::AddStatus(const QString& text) {
    Append("* " + chat::Colored("color_chat_status", chat::RichText(text)));
}

void ChatTranscript::CheckInactivity() {
    if (!m_active || m_lastChat.msecsTo(chat::Now()) < kIdleMs)
        return;
    m_active = false;
    if (GetSetting("chat_timestamps") == QLatin1String("activity_based"))
        AddStatus("Chat ended " + chat::LongTime(m_lastChat));
}

void ChatTranscript::Append(const QString& html) {
    // Always as rich text: every piece of it was escaped on the way in.
    QTextCursor cursor(mp_view->document());
    cursor.movePosition(QTextCursor::End);
    if (!mp_view->document()->isEmpty())
        cursor.insertBlock(QTextBlockFormat(), QTextCharFormat());
    cursor.insertHtml(html);
    if (mp_view->verticalScrollBar())
        mp_view->verticalScrollBar()->setValue(mp_view->verticalScrollBar()->maximum());
}
