#ifndef TAVENOOK_VIEWS_USERS_GIFTPRIVILEGESDIALOG_H
#define TAVENOOK_VIEWS_USERS_GIFTPRIVILEGESDIALOG_H

#include <QDialog>

class QLineEdit;
class QPushButton;

// Gives days of the own privileges to one user through the server.
class GiftPrivilegesDialog : public QDialog {
    Q_OBJECT
public:
    explicit GiftPrivilegesDialog(QString user, QWidget* parent = nullptr);

    QLineEdit* DaysEdit() const { return mp_days; }

public slots:
    void OnGiftClicked();

private:
    QString m_user;
    QLineEdit* mp_days;
    QPushButton* mp_gift;
};

#endif
