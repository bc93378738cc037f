#ifndef TAVENOOK_VIEWS_CHAT_CHATFORM_H
#define TAVENOOK_VIEWS_CHAT_CHATFORM_H

#include <QString>
#include <QWidget>

#include "store/Data.h"
#include "views/chat/ChatTranscript.h"

class QTabWidget;
class QUrl;

namespace Ui {
class ChatForm;
}

// One private conversation: its transcript and entry line, a tab of the chats
// page. The transcript lives as long as the tab; the chat-log file keeps the
// history.
class ChatForm : public QWidget, public DataHandler {
    Q_OBJECT
public:
    ChatForm(QString user, QTabWidget* tabWidget, QWidget* parent = nullptr);
    ~ChatForm() override;

    // Shows, logs and announces one line said by user (the partner or us).
    void AddChat(QString user, QString text);
    void Focus();
    void AddStatusMessage(QString text);
    void LogChat(QString line);

    QString User() const { return m_user; }
    Ui::ChatForm* Form() const { return mp_ui; }
    ChatTranscript& Transcript() { return m_transcript; }

public slots:
    void OnEnter();
    void OnContextMenuRequested(QPoint point);
    void OnURLClicked(QUrl url);
    void OnActionTriggered(QWidget* widget, QString action);
    void CheckChatInactivity();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void OnUserAway(ItemPtr user);
    void OnUserAvailable(ItemPtr user);

    Ui::ChatForm* mp_ui;
    QString m_user;
    QTabWidget* mp_tabWidget;
    ChatTranscript m_transcript;
};

#endif
