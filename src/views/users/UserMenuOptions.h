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

public slots:
    void OnMessageUser();
    void OnSetUserGroups();
    void OnRemoveUser();
    void OnAddUser();
    void OnBrowseUser();
    void OnUploadToUser();
    void OnGetUserInfo();
    void OnUserNote();
    void OnAddRemoveOnlineAlert();
    void OnGiftPrivileges();
    void OnUnshareFilesFromUser();
    void OnReshareFilesWithUser();
    void OnIgnoreUser();
    void OnUnignoreUser();
    void OnAddUserMembership();
    void OnRemoveUserMembership();
    void OnAddUserOperatorship();
    void OnRemoveUserOperatorship();
    void OnUserLog();

private:
    void AddPrivateRooms(QMenu* menu);
    // The room named by the data of the action that called the slot.
    QString SenderRoom() const;

    QString m_user;
};

#endif
