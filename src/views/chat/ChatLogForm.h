#ifndef TAVENOOK_VIEWS_CHAT_CHATLOGFORM_H
#define TAVENOOK_VIEWS_CHAT_CHATLOGFORM_H

#include <QString>
#include <QWidget>

namespace Ui {
class ChatLogForm;
}

// A read-only view of one chat-log file with a find bar, shown as a tab. Its
// opener records it as the "chat_log_form" item of the room or user, through
// which the chat views hand it every newly logged line.
class ChatLogForm : public QWidget {
    Q_OBJECT
public:
    ChatLogForm(QString path, QWidget* parent = nullptr);
    ~ChatLogForm() override;

    // One newly logged line, shown as plain text.
    void AddLine(QString line);
    // The file shown; empty when it could not be opened at construction.
    QString Path() const { return m_path; }
    Ui::ChatLogForm* Form() const { return mp_ui; }

public slots:
    void OnSearchTextChanged(QString text);
    void OnSearchForward();
    void OnSearchBack();
    void OnActionTriggered(QWidget* widget, QString action);

private:
    void MarkFind();
    void MarkSearchButtons();
    void AppendPlain(const QString& line);

    Ui::ChatLogForm* mp_ui;
    QString m_path;
    int m_lines = 0;
};

#endif
