#include <QDesktopServices>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QPalette>
#include <QRegularExpression>
#include <QTextBlock>
#include <QUrl>

#include "shell/ActionSetToolBar.h"
#include "shell/FocusWidget.h"
#include "shell/Prompts.h"
#include "store/Data.h"
#include "store/PlainFile.h"
#include "store/Settings.h"
#include "ui_ChatLogForm.h"
#include "views/chat/ChatLogForm.h"
#include "views/chat/ChatTranscript.h"

namespace {
// A step reads this much at a time, shows at most ChatLogForm::kShownPiece
// characters at a time, and stops after kStepMs or kStepBytes read or shown,
// so that a window turn comes at least that often while lines wait.
constexpr qint64 kReadPiece = 32768;
constexpr qint64 kStepMs = 20;
constexpr qint64 kStepBytes = 8 * kReadPiece;

QString Decoded(const QByteArray& line) {
    const int nul = line.indexOf('\0');
    return QString::fromUtf8(nul < 0 ? line : line.left(nul)).trimmed();
}

// Where the newest lines of the file begin that weigh at most `budget` in
// chat::Size units (a byte counts as a character; it is never less). A
// newest line heavier than that alone is shown from a later character on.
qint64 NewestStart(QFile& file, qint64 end, qint64 budget) {
    qint64 weight = 0;
    qint64 start = end;
    bool full = false;
    for (qint64 at = end; at > 0 && !full;) {
        const qint64 from = qMax<qint64>(0, at - kReadPiece);
        if (!file.seek(from))
            break;
        const QByteArray piece = file.read(at - from);
        if (piece.size() != at - from)
            break;
        for (int i = piece.size() - 1; i >= 0 && !full; --i) {
            ++weight;
            if (piece.at(i) == '\n' && from + i + 1 < end) {
                weight += chat::kLineMarkup;
                if (!(full = weight > budget))
                    start = from + i + 1;
            }
        }
        at = from;
        if (at == 0 && !full && weight + chat::kLineMarkup <= budget)
            start = 0;
    }
    if (start == end && end > 0) {
        start = qMax<qint64>(0, end - budget);
        // Not inside a character's UTF-8 bytes.
        char byte = 0;
        while (start < end && file.seek(start) && file.getChar(&byte) && (byte & 0xc0) == 0x80)
            ++start;
    }
    return start;
}

// The longest piece of `bytes`, at most `limit` long, that does not end
// inside a character's UTF-8 bytes.
int WholeCharacters(const QByteArray& bytes, int limit) {
    int end = limit;
    while (end > limit - 4 && end > 0 && end < bytes.size() && (bytes.at(end) & 0xc0) == 0x80)
        --end;
    return end > limit - 4 && end > 0 ? end : limit;
}

// The input background colour, unless the text is drawn on (nearly) that
// colour already, where such a mark would be invisible.
QColor MarkColor(const QPalette& palette) {
    const QColor setting(GetSetting("color_input_background"));
    const QColor base = palette.color(QPalette::Base);
    const auto distance = [](const QColor& a, const QColor& b) {
        return qAbs(a.red() - b.red()) + qAbs(a.green() - b.green()) + qAbs(a.blue() - b.blue());
    };
    constexpr int kVisible = 96;
    if (setting.isValid() && distance(setting, base) >= kVisible)
        return setting;
    const QColor highlight = palette.color(QPalette::Highlight);
    if (distance(highlight, base) >= kVisible)
        return highlight;
    return base.lightness() < 128 ? QColor(Qt::yellow) : QColor(Qt::darkBlue);
}
}  // namespace

ChatLogForm::ChatLogForm(QString path, QWidget* parent, int cap)
    : QWidget(parent), mp_ui(new Ui::ChatLogForm), m_cap(cap) {
    mp_ui->setupUi(this);
    mp_ui->searchBackButton->setIcon(QIcon(":/icons/back_icon"));
    mp_ui->searchForwardButton->setIcon(QIcon(":/icons/forward_icon"));
    mp_ui->searchBackButton->setEnabled(false);
    mp_ui->searchForwardButton->setEnabled(false);
    connect(mp_ui->searchEdit, &QLineEdit::textChanged, this, &ChatLogForm::OnSearchTextChanged);
    connect(mp_ui->searchBackButton, &QPushButton::clicked, this, &ChatLogForm::OnSearchBack);
    connect(mp_ui->searchForwardButton, &QPushButton::clicked, this, &ChatLogForm::OnSearchForward);
    RegisterWidgetForTabFocus(mp_ui->searchEdit, 1);
    // Nothing is undone in a read-only view; the undo stack would keep every
    // line the cap drops.
    mp_ui->logEdit->setUndoRedoEnabled(false);
    // Not a scroll bar that comes and goes with the text: the view would
    // lay out all it holds again each time, as after a batch that cleared it.
    mp_ui->logEdit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_step.setSingleShot(true);
    m_step.setInterval(0);
    connect(&m_step, &QTimer::timeout, this, &ChatLogForm::LoadStep);
    m_batch.setSingleShot(true);
    connect(&m_batch, &QTimer::timeout, this, &ChatLogForm::ShowAdded);

    auto file = std::make_unique<QFile>();
    if (!OpenPlainFile(*file, path, QIODevice::ReadOnly)) {
        m_loaded = true;
        return;
    }
    m_path = path;
    m_end = file->size();
    // Room for the zero-width spaces of long words and for new lines.
    const qint64 start = NewestStart(*file, m_end, qint64(m_cap - m_cap / kCutShare) * 4 / 5);
    if (start > 0)
        ShowOlderNote();
    if (file->seek(start)) {
        m_file = std::move(file);
        LoadStep();
    } else {
        m_loaded = true;
    }
    if (actionBar) {
        actionBar->RegisterWidget(this, "chat_log");
        connect(actionBar, &ActionSetToolBar::ActionTriggered, this,
                &ChatLogForm::OnActionTriggered);
    }
}

ChatLogForm::~ChatLogForm() {
    Type* type = d.GetType("chat_log_form");
    const ItemPtr item = type->HasItem(Value(this));
    if (!item.IsNull())
        item.Remove();
    delete mp_ui;
}

void ChatLogForm::AddLine(QString line) {
    // Shown after the file's lines, or once loaded with the next batch, in
    // steps; a flood keeps only what the view would keep.
    m_pending << line.trimmed();
    m_pendingSize += m_pending.last().size() + chat::kLineMarkup;
    while (m_pendingSize > m_cap && m_pending.size() > 1) {
        m_pendingSize -= m_pending.takeFirst().size() + chat::kLineMarkup;
        m_release = qMax(0, m_release - 1);
        ShowOlderNote();
    }
    if (!m_loaded) {
        if (!m_step.isActive())
            m_step.start();
        return;
    }
    if (m_batch.isActive())
        return;
    const qint64 since = m_lastShown.isValid() ? m_lastShown.msecsTo(chat::Now()) : kBatchMs;
    if (since >= kBatchMs)
        ShowAdded();
    else
        m_batch.start(int(kBatchMs - qMax<qint64>(since, 0)));
}

void ChatLogForm::ShowAdded() {
    m_batch.stop();
    m_lastShown = chat::Now();
    if (!m_loaded || m_pending.isEmpty())
        return;
    if (m_pendingSize > kBatchCap && m_pending.size() > 1) {
        while (m_pendingSize > kBatchCap && m_pending.size() > 1)
            m_pendingSize -= m_pending.takeFirst().size() + chat::kLineMarkup;
        // What is shown stays one piece of the file.
        mp_ui->logEdit->clear();
        m_rest.clear();
        ShowOlderNote();
    }
    // The steps show this batch; lines that come meanwhile wait for the next.
    m_release = m_pending.size();
    if (!m_step.isActive())
        LoadStep();
}

void ChatLogForm::LoadStep() {
    QElapsedTimer clock;
    clock.start();
    for (qint64 work = 0; IsLoading() && work < kStepBytes && clock.elapsed() < kStepMs;) {
        if (m_file && m_read.isEmpty() && m_rest.isEmpty()) {
            work += kReadPiece;
            ReadPiece();
            continue;
        }
        if (!m_loaded && !m_file && m_read.isEmpty() && m_rest.isEmpty()) {
            // The file is shown: the lines that came meanwhile are the first
            // batch, and those that come from now on wait for the next, as
            // once loaded. Shown as they come instead, a flood would keep
            // the view laying out lines for as long as it lasts.
            m_loaded = true;
            m_release = m_pending.size();
            m_lastShown = chat::Now();
            continue;
        }
        const QStringList shown = TakeShown();
        for (const QString& line : shown)
            work += line.size();
        AppendPlain(shown);
    }
    if (IsLoading())
        m_step.start();
    else {
        m_loaded = true;
        emit Loaded();
    }
}

void ChatLogForm::ReadPiece() {
    const QByteArray piece = m_file->read(qMin(kReadPiece, m_end - m_file->pos()));
    const int fresh = m_partial.size();
    m_partial += piece;
    int from = 0;
    for (int end; (end = m_partial.indexOf('\n', qMax(from, fresh))) >= 0; from = end + 1)
        m_read << Decoded(m_partial.mid(from, end - from));
    m_partial.remove(0, from);
    // A line of kLongestLine bytes is still one line, whether or not its
    // line end has been read yet.
    while (m_partial.size() > kLongestLine) {
        const int end = WholeCharacters(m_partial, kLongestLine);
        m_read << Decoded(m_partial.left(end));
        m_partial.remove(0, end);
    }
    if (piece.isEmpty() || m_file->pos() >= m_end) {
        if (!m_partial.isEmpty())
            m_read << Decoded(m_partial);
        m_partial.clear();
        m_file.reset();
    }
}

QStringList ChatLogForm::TakeShown() {
    QStringList shown;
    int size = 0;
    for (;;) {
        // The rest of a long line, the file's lines, then those that came
        // while it was read.
        QString next;
        if (!m_rest.isEmpty()) {
            next = m_rest;
        } else if (!m_read.isEmpty()) {
            next = m_read.first();
        } else if (!m_file && !m_pending.isEmpty() && (!m_loaded || m_release > 0)) {
            next = m_pending.first();
        } else {
            break;
        }
        if (!shown.isEmpty() && size + next.size() > kShownPiece)
            break;
        if (!m_rest.isEmpty()) {
            m_rest.clear();
        } else if (!m_read.isEmpty()) {
            m_read.removeFirst();
        } else {
            m_pendingSize -= next.size() + chat::kLineMarkup;
            m_pending.removeFirst();
            m_release = qMax(0, m_release - 1);
        }
        if (next.size() > kShownPiece) {
            // Not between the halves of a surrogate pair.
            const int end =
                next.at(kShownPiece - 1).isHighSurrogate() ? kShownPiece - 1 : kShownPiece;
            m_rest = next.mid(end);
            next.truncate(end);
        }
        size += next.size();
        shown << next;
        if (!m_rest.isEmpty())
            break;
    }
    return shown;
}

void ChatLogForm::StopLoading() {
    m_step.stop();
    m_file.reset();
    m_partial.clear();
    m_read.clear();
    m_pending.clear();
    m_pendingSize = 0;
    m_release = 0;
    m_rest.clear();
    m_loaded = true;
}

void ChatLogForm::AppendPlain(const QStringList& lines) {
    if (lines.isEmpty())
        return;
    // Plain text: a logged line is another user's words, never markup.
    QStringList shown;
    shown.reserve(lines.size());
    for (const QString& line : lines)
        shown << chat::Wrappable(chat::OneBlock(line));
    QTextDocument* document = mp_ui->logEdit->document();
    chat::Append(document, [&shown](QTextCursor& cursor) {
        cursor.insertText(shown.join(QChar(QChar::ParagraphSeparator)));
    });
    if (chat::Cut(document, m_cap, m_cap / kCutShare))
        ShowOlderNote();
}

void ChatLogForm::ShowOlderNote() {
    mp_ui->olderLabel->setVisible(true);
}

bool ChatLogForm::Find(QTextDocument::FindFlags flags) {
    const QString text = mp_ui->searchEdit->text().remove(QChar(0x200B));
    if (text.isEmpty())
        return false;
    // Long words are shown with zero-width spaces among their characters, and
    // the text's own are shown twice.
    QStringList characters;
    for (int i = 0; i < text.size(); ++i) {
        const bool pair =
            text.at(i).isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate();
        characters << QRegularExpression::escape(text.mid(i, pair ? 2 : 1));
        i += pair ? 1 : 0;
    }
    const QRegularExpression pattern(characters.join(QLatin1String("\\x{200B}*")),
                                     QRegularExpression::CaseInsensitiveOption);
    return mp_ui->logEdit->find(pattern, flags);
}

void ChatLogForm::OnSearchTextChanged(QString text) {
    QTextEdit* view = mp_ui->logEdit;
    view->setUpdatesEnabled(false);
    view->moveCursor(QTextCursor::Start);
    mp_ui->searchBackButton->setEnabled(false);
    mp_ui->searchForwardButton->setEnabled(false);
    if (text.isEmpty() || !Find())
        view->setExtraSelections({});
    else
        MarkFind();
    view->setUpdatesEnabled(true);
}

void ChatLogForm::OnSearchForward() {
    QTextEdit* view = mp_ui->logEdit;
    view->setUpdatesEnabled(false);
    QTextCursor cursor = view->textCursor();
    cursor.clearSelection();
    cursor.movePosition(QTextCursor::NextCharacter);
    view->setTextCursor(cursor);
    if (Find())
        MarkFind();
    view->setUpdatesEnabled(true);
}

void ChatLogForm::OnSearchBack() {
    QTextEdit* view = mp_ui->logEdit;
    view->setUpdatesEnabled(false);
    if (Find(QTextDocument::FindBackward))
        MarkFind();
    view->setUpdatesEnabled(true);
}

void ChatLogForm::MarkFind() {
    QTextEdit* view = mp_ui->logEdit;
    const int start = view->textCursor().selectionStart();
    const int length = view->textCursor().selectionEnd() - start;
    QTextEdit::ExtraSelection mark;
    mark.cursor = QTextCursor(view->document());
    mark.cursor.setPosition(start);
    mark.cursor.setPosition(start + length, QTextCursor::KeepAnchor);
    const QColor color = MarkColor(view->palette());
    mark.format.setBackground(color);
    mark.format.setForeground(color.lightness() < 128 ? QColor(Qt::white) : QColor(Qt::black));
    view->setExtraSelections({mark});
    MarkSearchButtons();
    view->moveCursor(QTextCursor::End);
    QTextCursor at(view->document());
    at.setPosition(start);
    view->setTextCursor(at);
}

void ChatLogForm::MarkSearchButtons() {
    QTextEdit* view = mp_ui->logEdit;
    const QTextCursor kept = view->textCursor();
    QTextCursor probe(view->document());
    probe.setPosition(kept.position());
    probe.movePosition(QTextCursor::NextCharacter);
    view->setTextCursor(probe);
    mp_ui->searchForwardButton->setEnabled(Find());
    view->setTextCursor(kept);
    mp_ui->searchBackButton->setEnabled(Find(QTextDocument::FindBackward));
    view->setTextCursor(kept);
}

void ChatLogForm::OnActionTriggered(QWidget* widget, QString action) {
    if (widget != this)
        return;
    if (action == QLatin1String("clear_chat_log")) {
        if (!prompts::AskYesNo(nullptr, "Clear log?",
                               "Are you sure you want to erase the contents of this log?"))
            return;
        if (QFile::exists(m_path) && !QFile::remove(m_path)) {
            prompts::Inform(nullptr, "Clear log?",
                            QString("The log file %1 could not be deleted.").arg(m_path));
            return;
        }
        StopLoading();
        mp_ui->logEdit->clear();
        mp_ui->olderLabel->setVisible(false);
    } else if (action == QLatin1String("open_log_folder")) {
        QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(m_path).absolutePath()));
    }
}
