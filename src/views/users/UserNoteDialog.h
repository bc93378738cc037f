#ifndef TAVENOOK_VIEWS_USERS_USERNOTEDIALOG_H
#define TAVENOOK_VIEWS_USERS_USERNOTEDIALOG_H

#include <QDialog>

// The editor of the note kept on one user. Start-up declares the record of
// open editors; the editor itself comes with the user views.
class UserNoteDialog : public QDialog {
    Q_OBJECT
public:
    // Declares "user_note_dialog": at most one open editor per user, never saved.
    static void Init();
    // The user's note editor, the open one when there is one; the caller
    // shows it.
    static UserNoteDialog* GetDialog(QString user);
    ~UserNoteDialog() override;

private:
    explicit UserNoteDialog(QString user, QWidget* parent = nullptr);
};

#endif
