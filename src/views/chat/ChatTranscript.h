#ifndef TAVENOOK_VIEWS_CHAT_CHATTRANSCRIPT_H
#define TAVENOOK_VIEWS_CHAT_CHATTRANSCRIPT_H

#include <QDateTime>
#include <QString>
#include <QTextCursor>
#include <QTimer>
#include <deque>
#include <functional>

#include "store/Data.h"

class QTextBrowser;
class QTextDocument;

namespace chat {

// The clock every chat view reads; tests replace it to drive chat periods.
QDateTime Now();
void SetClock(std::function<QDateTime()> clock);

// "MMM d h:mm:ss ap" in the C locale, so logs read the same everywhere.
QString LongTime(const QDateTime& time);
QString ShortTime(const QDateTime& time);

// Escapes raw text for the transcript and turns its http and https addresses
// into anchors. Links are found before escaping, so a link ends where the raw
// address ends and never takes in the words after it. A text with a run of
// over 1,000 characters without a line break opportunity gets zero-width
// spaces in its shown text, so that it wraps in linear time. What would
// start a new block shows as a line break within the line (see OneBlock).
QString RichText(const QString& raw);

// A received line is one line on screen, wherever it is shown: the
// characters a text document would start a new block at become a line
// break within the block (U+2028), or a blank for a carriage return, a line
// feed or both in a row, as the HTML reader always showed them.
QString OneBlock(QString text);

// Plain text with zero-width spaces in its runs of over 1,000 characters
// without a break opportunity, so that it wraps in linear time; blanks end a
// run here (RichText shows them as no-break spaces instead).
QString Wrappable(const QString& text);

// Text shown by RichText or Wrappable (or HTML made of it) without the
// zero-width spaces they inserted; those the text held stay.
QString Unbroken(QString shown);

// A view's size: each line's characters plus kLineMarkup, about what a line
// adds as HTML, so that many short lines weigh as they cost.
constexpr int kLineMarkup = 100;
int Size(const QTextDocument* document);

// Puts one or more new lines at the end of a transcript-like document: the
// insert function writes them at the cursor, before a hidden empty block
// kept at the end, so that no change touches the line before them and lays
// it out again; one edit, so that a view's cursor does not place itself on
// screen between the steps.
void Append(QTextDocument* document, const std::function<void(QTextCursor&)>& insert);

// Past the cap (when above 0), whole lines go from the start until at least
// `cut` is free; the newest line always stays. Nothing else is laid out
// again. Returns whether lines went.
bool Cut(QTextDocument* document, int cap, int cut);

// Adds one step to a store pattern and returns its root, which is what the
// store takes.
inline PathNode* Step(PathNode* root, const char* type, PathNodeRelation relation) {
    new PathNode(root, type, relation);
    return root;
}

// Whether a chat text (trimmed by the caller or not) is a "/me " action.
bool IsAction(const QString& text);

}  // namespace chat

// One chat transcript: ordinary, action and status lines, the activity-based
// start and end lines and a cap on the transcript's size. The owning view
// logs what the Add functions return; the log keeps what the cap drops.
// Lines show at once, unless others showed less than kBatchMs ago (by
// chat::Now()): then they wait and show together, and of those the cap would
// drop at once none is laid out.
class ChatTranscript {
public:
    // In chat::Size units.
    static constexpr int kCap = 250000;
    static constexpr int kCut = 50000;
    static constexpr int kLineMarkup = chat::kLineMarkup;
    static constexpr qint64 kIdleMs = 300000;
    // Formats the document may hold before it is renewed: each distinct link
    // adds one that stays after its line is cut.
    static constexpr int kMaxFormats = 10000;
    static constexpr int kBatchMs = 250;

    // cap 0: the transcript is never shortened.
    ChatTranscript(QTextBrowser* view, int cap);

    // Shows one ordinary line and returns its log line.
    QString AddLine(const QString& sender, const QString& text);
    // Shows an action line (text holds "/me " after trimming) and returns its
    // log line; no chat period opens or lasts longer for it.
    QString AddAction(const QString& sender, const QString& text);
    void AddStatus(const QString& text);
    // Ends an idle chat period; called on the half-minute tick.
    void CheckInactivity();

    bool IsActive() const { return m_active; }

private:
    // Markup made only when the line is shown; `least` is at most the
    // chat::Size the line adds, `characters` what its texts hold.
    struct Pending {
        std::function<QString()> html;
        int least;
        int characters;
    };
    void Queue(std::function<QString()> html, int least, int characters);
    void QueueStatus(const QString& text);
    // Shows what waits now, or once kBatchMs have passed since lines last
    // showed.
    void Schedule();
    void ShowPending();
    // Puts the shown lines into the document again after clearing it, so that
    // it holds only the formats they use; they are laid out again, once.
    void Renew();

    QTextBrowser* mp_view;
    int m_cap;
    bool m_active = false;
    QDateTime m_lastChat;
    int m_formatsInUse = 0;
    std::deque<Pending> m_pending;
    int m_pendingLeast = 0;
    qint64 m_pendingCharacters = 0;
    QDateTime m_lastShown;
    QTimer m_batch;
};

#endif
