#ifndef TAVENOOK_VIEWS_USERS_USERLISTFORM_H
#define TAVENOOK_VIEWS_USERS_USERLISTFORM_H

#include <QWidget>

class QTabWidget;
class QTreeWidget;

// The user list page; groups, notes and the list's actions come with the user views.
class UserListForm : public QWidget {
    Q_OBJECT
public:
    explicit UserListForm(QWidget* parent = nullptr);
    ~UserListForm() override;
    void Init();
    QTreeWidget* List() const { return mp_list; }

private:
    QTreeWidget* mp_list;
};

extern UserListForm* userListForm;

#endif
