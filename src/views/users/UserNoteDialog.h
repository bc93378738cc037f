#ifndef TAVENOOK_VIEWS_USERS_USERNOTEDIALOG_H
#define TAVENOOK_VIEWS_USERS_USERNOTEDIALOG_H

#include <QDialog>

class QPlainTextEdit;
class QPushButton;

// The editor of the note kept on one user: at most one open per user. The
// note is plain text, kept exactly as typed (but for the ends' white space).
class UserNoteDialog : public QDialog {
    Q_OBJECT
public:
    // Declares "user_note_dialog": the record of open editors, never saved.
    static void Init();
    // The user's open editor, brought forward, or a new one; the caller shows it.
    static UserNoteDialog* GetDialog(QString user);

    explicit UserNoteDialog(QString user, QWidget* parent = nullptr);
    ~UserNoteDialog() override;

    QPlainTextEdit* NoteEdit() const { return mp_note; }
    QPushButton* SaveButton() const { return mp_save; }
    QPushButton* ClearButton() const { return mp_clear; }

public slots:
    void OnSaveNote();
    void OnClearNote();

private:
    QString m_user;
    QPlainTextEdit* mp_note;
    QPushButton* mp_save;
    QPushButton* mp_clear;
};

#endif
