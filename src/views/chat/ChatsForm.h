#ifndef TAVENOOK_VIEWS_CHAT_CHATSFORM_H
#define TAVENOOK_VIEWS_CHAT_CHATSFORM_H

#include <QWidget>

class QTabWidget;
class QTreeWidget;

// The private chats page; the chat views come with the chat issue.
class ChatsForm : public QWidget {
    Q_OBJECT
public:
    explicit ChatsForm(QWidget* parent = nullptr);
    ~ChatsForm() override;
    void Init();
    QTreeWidget* List() const { return mp_list; }

private:
    QTreeWidget* mp_list;
};

extern ChatsForm* chatsForm;

#endif
