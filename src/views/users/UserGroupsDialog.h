#ifndef TAVENOOK_VIEWS_USERS_USERGROUPSDIALOG_H
#define TAVENOOK_VIEWS_USERS_USERGROUPSDIALOG_H

#include <QDialog>

#include "store/Data.h"

class QCheckBox;
class QGroupBox;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QPushButton;
class QSpinBox;

// The groups of one listed user, as check boxes; edits go to the store at once.
class UserGroupsDialog : public QDialog, public DataHandler {
    Q_OBJECT
public:
    UserGroupsDialog(QString user, QWidget* parent = nullptr);
    ~UserGroupsDialog() override;
    QListWidget* GroupList() const { return mp_groups; }
    QLineEdit* NewGroupEdit() const { return mp_newGroup; }

public slots:
    void OnNewGroupButtonClicked();
    void OnGroupItemChanged(QListWidgetItem* item);

private:
    void OnUserGroupAdded(ItemPtr group);
    void OnUserGroupRemoved(ItemPtr group);

    QString m_user;
    QListWidget* mp_groups;
    QLineEdit* mp_newGroup;
    QPushButton* mp_newGroupButton;
};

// Every group with its download priority and upload permission; one at a time.
class UserGroupConfigDialog : public QDialog, public DataHandler {
    Q_OBJECT
public:
    explicit UserGroupConfigDialog(QWidget* parent = nullptr);
    ~UserGroupConfigDialog() override;
    QListWidget* GroupList() const { return mp_groups; }
    QSpinBox* PrioritySpinBox() const { return mp_priority; }
    QCheckBox* AcceptUploadsCheckBox() const { return mp_acceptUploads; }

public slots:
    void OnCurrentGroupItemChanged(QListWidgetItem* currentItem, QListWidgetItem* lastItem);
    void OnPrioritySpinValueChanged(int value);
    void OnAcceptUploadsCheckboxToggled(bool toggled);
    void OnDeleteClicked();

private:
    void OnUserGroupAdded(ItemPtr group);
    void OnUserGroupRemoved(ItemPtr group);
    ItemPtr CurrentGroup() const;

    QListWidget* mp_groups;
    QGroupBox* mp_groupBox;
    QSpinBox* mp_priority;
    QCheckBox* mp_acceptUploads;
    QPushButton* mp_delete;
};

extern UserGroupConfigDialog* userGroupConfigDialog;

#endif
