#ifndef TAVENOOK_VIEWS_CHAT_CHATLOGFORM_H
#define TAVENOOK_VIEWS_CHAT_CHATLOGFORM_H

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QTextDocument>
#include <QTimer>
#include <QWidget>
#include <memory>

class QFile;

namespace Ui {
class ChatLogForm;
}

// A read-only view of one chat-log file with a find bar, shown as a tab. Its
// opener records it as the "chat_log_form" item of the room or user, through
// which the chat views hand it every newly logged line.
//
// It shows at most kCap (in chat::Size units) of the newest lines, read and
// shown in steps of a few milliseconds so that a large file, or lines that
// arrive while it loads, never hold up the window; when older lines stay in
// the file, a note at the top says so.
class ChatLogForm : public QWidget {
    Q_OBJECT
public:
    static constexpr int kCap = 4000000;
    // A cut frees at least this share of the cap.
    static constexpr int kCutShare = 5;
    // A file line longer than this many bytes is shown as several lines; a
    // received line with its time and sender is far shorter.
    static constexpr int kLongestLine = 1 << 20;
    // A shown line longer than this many characters goes in as several
    // blocks, one after the other: a block is laid out whole, and one of a
    // megabyte takes a third of a second. No change to the view adds more.
    static constexpr int kShownPiece = 1 << 17;
    // New lines that come faster than one batch in kBatchMs (by chat::Now())
    // show together; past kBatchCap a batch shows only its newest lines, and
    // the view holds only them (with the note), as laying out more would
    // take longer than a flood takes to bring it.
    static constexpr int kBatchMs = 250;
    static constexpr int kBatchCap = 250000;

    // cap: what the view holds at most; tests make it small.
    ChatLogForm(QString path, QWidget* parent = nullptr, int cap = kCap);
    ~ChatLogForm() override;

    // One newly logged line, shown as plain text: at once, unless the file
    // is still loading, a batch is due (see kBatchMs) or it is longer than
    // kShownPiece.
    void AddLine(QString line);
    // The file shown; empty when it could not be opened at construction.
    QString Path() const { return m_path; }
    Ui::ChatLogForm* Form() const { return mp_ui; }
    // Until the file's lines and those that came meanwhile are all shown.
    // Once loaded, lines that wait for their batch do not count.
    bool IsLoading() const {
        return m_file || !m_read.isEmpty() || !m_rest.isEmpty() ||
               (m_loaded ? m_release > 0 : !m_pending.isEmpty());
    }

signals:
    void Loaded();

public slots:
    void OnSearchTextChanged(QString text);
    void OnSearchForward();
    void OnSearchBack();
    void OnActionTriggered(QWidget* widget, QString action);

private:
    void MarkFind();
    void MarkSearchButtons();
    bool Find(QTextDocument::FindFlags flags = {});
    void LoadStep();
    void ReadPiece();
    // The next lines or pieces to show, at most kShownPiece characters.
    QStringList TakeShown();
    void StopLoading();
    void AppendPlain(const QStringList& lines);
    void ShowOlderNote();
    void ShowAdded();

    Ui::ChatLogForm* mp_ui;
    QString m_path;
    int m_cap;
    // While loading: the file, where reading goes on and ends, the start of
    // a line read in part, the lines read and not shown yet, those that
    // arrived meanwhile, and the rest of a long line shown in part.
    std::unique_ptr<QFile> m_file;
    qint64 m_end = 0;
    QByteArray m_partial;
    QStringList m_read;
    QStringList m_pending;
    QString m_rest;
    qint64 m_pendingSize = 0;
    QTimer m_step;
    // Once loaded, m_pending holds the new lines, of which the first
    // m_release are this batch's, shown in steps; the rest wait for the next.
    bool m_loaded = false;
    int m_release = 0;
    QTimer m_batch;
    QDateTime m_lastShown;
};

#endif
