#ifndef TAVENOOK_VIEWS_CHAT_CHATSFORM_H
#define TAVENOOK_VIEWS_CHAT_CHATSFORM_H

#include <QWidget>

#include "store/Data.h"

class ChatForm;
class RoomTabWidget;

// The private chats page: one tab per chat partner (and per open chat log).
class ChatsForm : public QWidget, public DataHandler {
    Q_OBJECT
public:
    explicit ChatsForm(QWidget* parent = nullptr);
    ~ChatsForm() override;
    void Init();

    // The user's open chat, made (and the user tracked) when there is none.
    ChatForm* GetChatForm(QString user);
    // GetChatForm, then brings the chat into view.
    void OpenChatForm(QString user);
    RoomTabWidget* Tabs() const { return mp_tabs; }

public slots:
    void OnChatTabClosed(int index);

private:
    void OnUserOnline(ItemPtr user);
    void OnUserOffline(ItemPtr user);
    void SetTabIcon(const ItemPtr& user, const char* icon);

    RoomTabWidget* mp_tabs;
};

extern ChatsForm* chatsForm;

#endif
