#ifndef TAVENOOK_VIEWS_CHAT_MESSAGEUSERSDIALOG_H
#define TAVENOOK_VIEWS_CHAT_MESSAGEUSERSDIALOG_H

#include <QDialog>

#include "store/Data.h"

class QComboBox;
class QListWidget;
class QPlainTextEdit;
class QPushButton;

// Sends one text to a whole group of users in a single server request.
class MessageUsersDialog : public QDialog {
    Q_OBJECT
public:
    explicit MessageUsersDialog(QWidget* parent = nullptr);
    ~MessageUsersDialog() override;

    ItemSet GetUsers() const;
    void PopulateUserList();
    QComboBox* TargetBox() const { return mp_target; }
    QListWidget* UserList() const { return mp_users; }
    QPlainTextEdit* MessageEdit() const { return mp_message; }

public slots:
    void OnTargetIndexChanged(int index);
    void OnSendMessageClicked();

private:
    QPlainTextEdit* mp_message;
    QPushButton* mp_send;
    QComboBox* mp_target;
    QListWidget* mp_users;
};

extern MessageUsersDialog* messageUsersDialog;

#endif
