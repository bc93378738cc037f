#ifndef TAVENOOK_VIEWS_CHAT_CHATTRANSCRIPT_H
#define TAVENOOK_VIEWS_CHAT_CHATTRANSCRIPT_H

#include <QDateTime>
#include <QString>
#include <functional>

#include "store/Data.h"

class QTextBrowser;

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
// spaces in its shown text, so that it wraps in linear time.
QString RichText(const QString& raw);

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
class ChatTranscript {
public:
    // The size counts each line's characters plus kLineMarkup, about what a
    // line adds as HTML, so that many short lines weigh as they cost.
    static constexpr int kCap = 250000;
    static constexpr int kCut = 50000;
    static constexpr int kLineMarkup = 100;
    static constexpr qint64 kIdleMs = 300000;
    // Formats the document may hold before it is renewed: each distinct link
    // adds one that stays after its line is cut.
    static constexpr int kMaxFormats = 10000;

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
    int Size() const;
    void Append(const QString& html);
    // Past the cap, whole lines go from the start until at least kCut is
    // free; the newest line always stays. Nothing else is laid out again,
    // but for a renewal now and then.
    void Cut();
    // Puts the shown lines into the document again after clearing it, so that
    // it holds only the formats they use; they are laid out again, once.
    void Renew();

    QTextBrowser* mp_view;
    int m_cap;
    bool m_active = false;
    // Formats in use at the last renewal.
    int m_formatsInUse = 0;
    QDateTime m_lastChat;
};

#endif
