#include <QLocale>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextDocumentFragment>
#include <algorithm>

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

// Wrapping a run of text that is wider than the view searches it to its
// end for every screen line it fills, so a run of 100,000 characters takes
// seconds to lay out. Blanks are shown as no-break spaces, so a run ends only
// at other white space. Zero-width spaces every few characters give the same
// line breaks, a few characters earlier at most, in linear time. Only the
// shown text gets them: links keep their targets and the log its text.
// A zero-width space of the text itself is shown twice, so that what is
// copied can tell the two apart (see Unbroken).
constexpr int kLongRun = 1000;
constexpr int kBreakEvery = 4;
constexpr QChar kBreak(0x200B);

// Blanks end a run only in plain text; RichText shows them as no-break spaces.
bool EndsRun(QChar c, bool blanksBreak) {
    return c == kBreak ||
           (c.isSpace() && (blanksBreak || (c != QLatin1Char(' ') && c != QChar(QChar::Nbsp))));
}

bool HasLongRun(const QString& text, bool blanksBreak) {
    int run = 0;
    for (const QChar c : text)
        if ((run = EndsRun(c, blanksBreak) ? 0 : run + 1) > kLongRun)
            return true;
    return false;
}

// The segment with breaks, if `breaks`, and its own zero-width spaces
// doubled; `since` carries the characters since the last break from segment
// to segment of a line. An inserted break always stands between two other
// characters.
QString WithBreaks(const QString& segment, int& since, bool blanksBreak, bool breaks) {
    if (!breaks && !segment.contains(kBreak))
        return segment;
    QString out;
    out.reserve(segment.size() + segment.size() / kBreakEvery + 1);
    for (const QChar c : segment) {
        if (EndsRun(c, blanksBreak)) {
            since = 0;
            if (c == kBreak)
                out += c;
        } else if (breaks && since >= kBreakEvery && !c.isLowSurrogate() && !c.isMark()) {
            // Never inside a surrogate pair or before a combining mark.
            out += kBreak;
            since = 1;
        } else {
            ++since;
        }
        out += c;
    }
    return out;
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
    const bool breaks = HasLongRun(raw, false);
    int since = 0;
    const auto shown = [&](const QString& segment) {
        QString html = EscapeHTML(OneBlock(WithBreaks(segment, since, false, breaks)));
        // The HTML reader would fold a bare line separator into a blank.
        return html.replace(QChar(QChar::LineSeparator), QLatin1String("<br>"));
    };
    QString html;
    int done = 0;
    for (auto it = link.globalMatch(raw); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        const QString address = m.captured(0);
        html += shown(raw.mid(done, m.capturedStart() - done));
        QString target = address;
        target.replace('&', QLatin1String("&amp;"));
        html += QString("<a href=\"%1\">%2</a>").arg(target, shown(address));
        done = m.capturedEnd();
    }
    return html + shown(raw.mid(done));
}

QString OneBlock(QString text) {
    text.replace(QLatin1String("\r\n"), QLatin1String(" "));
    for (QChar& c : text) {
        const ushort u = c.unicode();
        if (u == '\r' || u == '\n')
            c = QLatin1Char(' ');
        else if (u == QChar::ParagraphSeparator || u == 0xFDD0 || u == 0xFDD1)
            c = QChar(QChar::LineSeparator);  // 0xFDD0/1 open and close frames
    }
    return text;
}

QString Wrappable(const QString& text) {
    int since = 0;
    return WithBreaks(text, since, true, HasLongRun(text, true));
}

QString Unbroken(QString shown) {
    if (!shown.contains(kBreak))
        return shown;
    QChar* const s = shown.data();
    const int n = shown.size();
    int out = 0;
    for (int i = 0; i < n;) {
        if (s[i] != kBreak) {
            s[out++] = s[i++];
            continue;
        }
        const int from = i;
        while (i < n && s[i] == kBreak)
            ++i;
        // A lone one was inserted; the text's own come in pairs.
        for (int k = 0; k < (i - from) / 2; ++k)
            s[out++] = kBreak;
    }
    shown.truncate(out);
    return shown;
}

int Size(const QTextDocument* document) {
    return document->characterCount() + kLineMarkup * document->blockCount();
}

void Append(QTextDocument* document, const std::function<void(QTextCursor&)>& insert) {
    QTextCursor cursor(document);
    cursor.beginEditBlock();
    cursor.movePosition(QTextCursor::End);
    cursor.insertBlock(QTextBlockFormat(), QTextCharFormat());
    QTextBlock tail = cursor.block();
    tail.setVisible(false);
    QTextBlock line = tail.previous();
    line.setVisible(true);
    cursor.setPosition(line.position());
    insert(cursor);
    cursor.endEditBlock();
}

bool Cut(QTextDocument* document, int cap, int cut) {
    if (cap <= 0 || Size(document) <= cap)
        return false;
    const QTextBlock newest = document->lastBlock().previous();
    QTextBlock keep = document->begin();
    int freed = 0;
    const int excess = Size(document) - (cap - cut);
    while (keep != newest && freed < excess) {
        freed += keep.length() + kLineMarkup;
        keep = keep.next();
    }
    if (keep == document->begin())
        return false;
    // The last separator stays, in a hidden empty first block: the change
    // then ends there, and the oldest kept line is not laid out again.
    QTextCursor cursor(document);
    cursor.beginEditBlock();
    cursor.setPosition(keep.position() - 1, QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
    document->firstBlock().setVisible(false);
    cursor.endEditBlock();
    return true;
}

bool IsAction(const QString& text) {
    return text.trimmed().startsWith(QLatin1String("/me "));
}

}  // namespace chat

namespace {
// Characters that show whatever markup they are in (blanks are shown as
// no-break spaces): a lower bound on what a text adds to the document.
int Visible(const QString& text) {
    return int(std::count_if(text.begin(), text.end(), [](QChar c) {
        return c == QLatin1Char(' ') || c.isLetterOrNumber() || c.isPunct() || c.isSymbol();
    }));
}

// Characters waiting to be shown, at most, whatever they show as.
constexpr qint64 kMostPending = 4 * qint64(ChatTranscript::kCap);
}  // namespace

ChatTranscript::ChatTranscript(QTextBrowser* view, int cap)
    : mp_view(view), m_cap(cap), m_lastChat(chat::Now()) {
    // A scroll bar that comes once the lines fill the view narrows it, and
    // every line is laid out again: with a flood's first batch, twice the
    // work at once.
    view->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_batch.setSingleShot(true);
    m_batch.callOnTimeout([this] { ShowPending(); });
}

QString ChatTranscript::AddLine(const QString& sender, const QString& text) {
    const QString mode = GetSetting("chat_timestamps");
    const QDateTime now = chat::Now();
    m_lastChat = now;
    if (!m_active) {
        m_active = true;
        if (mode == QLatin1String("activity_based"))
            QueueStatus("Chat started " + chat::LongTime(now));
    }
    QString stamp;
    if (mode == QLatin1String("per_message_short"))
        stamp = chat::ShortTime(now);
    else if (mode == QLatin1String("per_message_long"))
        stamp = chat::LongTime(now);
    Queue(
        [stamp, sender, text] {
            QString line;
            if (!stamp.isEmpty())
                line = "[" + chat::Colored("color_chat_timestamp", stamp) + "]";
            return line + "[" + chat::Colored("color_chat_username", chat::RichText(sender)) +
                   "] " + chat::RichText(text);
        },
        kLineMarkup + Visible(stamp) + Visible(sender) + Visible(text),
        int(stamp.size() + sender.size() + text.size()));
    Schedule();
    return chatlog::OrdinaryLine(now, sender, text);
}

QString ChatTranscript::AddAction(const QString& sender, const QString& text) {
    const QString status = QString("%1 %2").arg(sender, text.trimmed().mid(4).trimmed());
    AddStatus(status);
    return chatlog::ActionLine(chat::Now(), status);
}

void ChatTranscript::AddStatus(const QString& text) {
    QueueStatus(text);
    Schedule();
}

void ChatTranscript::QueueStatus(const QString& text) {
    Queue([text] { return "* " + chat::Colored("color_chat_status", chat::RichText(text)); },
          kLineMarkup + Visible(text), int(text.size()));
}

void ChatTranscript::CheckInactivity() {
    if (!m_active || m_lastChat.msecsTo(chat::Now()) < kIdleMs)
        return;
    m_active = false;
    if (GetSetting("chat_timestamps") == QLatin1String("activity_based"))
        AddStatus("Chat ended " + chat::LongTime(m_lastChat));
}

void ChatTranscript::Queue(std::function<QString()> html, int least, int characters) {
    m_pending.push_back({std::move(html), least, characters});
    m_pendingLeast += least;
    m_pendingCharacters += characters;
    // Lines that would be cut as soon as they were shown go now, so that a
    // flood waits in bounded memory (also one of lines that show as little,
    // white space) and a batch lays out no more than stays. The cut is sure
    // once the newer lines pass the cap with what is shown, and it leaves at
    // most kCap - kCut: a line that passes that with the newer ones goes.
    const int shown = m_cap > 0 ? chat::Size(mp_view->document()) : 0;
    while (m_pending.size() > 1 &&
           ((m_cap > 0 && shown + m_pendingLeast - m_pending.front().least > m_cap &&
             m_pendingLeast > m_cap - kCut) ||
            m_pendingCharacters - m_pending.front().characters > kMostPending)) {
        m_pendingLeast -= m_pending.front().least;
        m_pendingCharacters -= m_pending.front().characters;
        m_pending.pop_front();
    }
}

void ChatTranscript::Schedule() {
    if (m_batch.isActive())
        return;
    const qint64 since =
        m_lastShown.isValid() ? m_lastShown.msecsTo(chat::Now()) : qint64(kBatchMs);
    if (since >= kBatchMs)
        ShowPending();
    else
        m_batch.start(int(kBatchMs - std::max<qint64>(since, 0)));
}

void ChatTranscript::ShowPending() {
    m_batch.stop();
    m_lastShown = chat::Now();
    if (m_pending.empty())
        return;
    // Always as rich text: every piece of it was escaped on the way in.
    chat::Append(mp_view->document(), [this](QTextCursor& cursor) {
        for (std::size_t i = 0; i < m_pending.size(); ++i) {
            if (i > 0)
                cursor.insertBlock(QTextBlockFormat(), QTextCharFormat());
            cursor.insertHtml(m_pending[i].html());
        }
    });
    m_pending.clear();
    m_pendingLeast = 0;
    m_pendingCharacters = 0;
    if (chat::Cut(mp_view->document(), m_cap, kCut)) {
        // A document never lets go of a format, even when no text uses it
        // any more, and every distinct link takes one: a flood of links would
        // grow it for as long as it lasts. Renewed past the bound, or past
        // twice what the lines used last time, so that lines full of links
        // are not renewed at every cut.
        const int formats = mp_view->document()->allFormats().size();
        if (formats > kMaxFormats && formats > 2 * m_formatsInUse)
            Renew();
    }
    // A view that fills in a tab not on screen has no height there, and
    // scrolls to its text cursor once shown: that is kept at the end of the
    // newest line (not in the hidden block after it, which has no place on
    // screen), unless the user selected something.
    QTextCursor cursor = mp_view->textCursor();
    const int end = std::max(0, mp_view->document()->lastBlock().position() - 1);
    if (!cursor.hasSelection() && cursor.position() != end) {
        cursor.setPosition(end);
        mp_view->setTextCursor(cursor);
    }
    if (mp_view->verticalScrollBar())
        mp_view->verticalScrollBar()->setValue(mp_view->verticalScrollBar()->maximum());
}

void ChatTranscript::Renew() {
    QTextDocument* document = mp_view->document();
    const QTextDocumentFragment lines(document);
    document->clear();
    QTextCursor cursor(document);
    cursor.beginEditBlock();
    cursor.insertFragment(lines);
    // A fragment does not keep which blocks are hidden: the empty ones at
    // both ends are.
    document->firstBlock().setVisible(false);
    document->lastBlock().setVisible(false);
    cursor.endEditBlock();
    m_formatsInUse = document->allFormats().size();
}
