#ifndef TAVENOOK_VIEWS_USERS_ADDUSERDIALOG_H
#define TAVENOOK_VIEWS_USERS_ADDUSERDIALOG_H

#include <QDialog>

class QLineEdit;
class QPushButton;

// Adds a user to the own list once the server has confirmed the name.
class AddUserDialog : public QDialog {
    Q_OBJECT
public:
    explicit AddUserDialog(QWidget* parent = nullptr);

public slots:
    void OnAddUserClicked();
    void OnAddUserResponse(QString user, bool exists);

private:
    QLineEdit* mp_userName;
    QLineEdit* mp_status;
    QPushButton* mp_add;
    QString m_pendingUser;
};

#endif
