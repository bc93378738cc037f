#ifndef TAVENOOK_VIEWS_USERS_USERMENUOPTIONS_H
#define TAVENOOK_VIEWS_USERS_USERMENUOPTIONS_H

#include <QObject>
#include <QString>

class QMenu;

// The one context menu for acting on another user. The caller builds the
// menu (its own actions first), constructs this on its stack for one user,
// runs the menu through prompts::ExecMenu and then lets both go.
class UserMenuOptions : public QObject {
    Q_OBJECT
public:
    UserMenuOptions(QMenu* menu, QString user, QObject* parent = nullptr);
    ~UserMenuOptions() override;

private:
    QString m_user;
};

#endif
