#ifndef TAVENOOK_VIEWS_CHAT_CHATLOGFORM_H
#define TAVENOOK_VIEWS_CHAT_CHATLOGFORM_H

#include <QByteArray>
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

    // cap: what the view holds at most; tests make it small.
    ChatLogForm(QString path, QWidget* parent = nullptr, int cap = kCap);
    ~ChatLogForm() override;

    // One newly logged line, shown as plain text: at once, unless lines are
    // still waiting or it is longer than kShownPiece.
    void AddLine(QString line);
    // The file shown; empty when it could not be opened at construction.
    QString Path() const { return m_path; }
    Ui::ChatLogForm* Form() const { return mp_ui; }
    // Until the file's lines and those that came meanwhile are all shown.
    bool IsLoading() const {
        return m_file || !m_read.isEmpty() || !m_pending.isEmpty() || !m_rest.isEmpty();
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
};

#endif
