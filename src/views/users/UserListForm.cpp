#include <QHBoxLayout>
#include <QTreeWidget>

#include "views/users/UserListForm.h"

UserListForm* userListForm = nullptr;

// Builds the page's one list; the view's own issue replaces this page.
UserListForm::UserListForm(QWidget* parent) : QWidget(parent), mp_list(new QTreeWidget(this)) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    mp_list->setObjectName("userList");
    mp_list->setHeaderLabels({"User", "Status"});
    layout->addWidget(mp_list);
    userListForm = this;
}

UserListForm::~UserListForm() {
    if (userListForm == this)
        userListForm = nullptr;
}

void UserListForm::Init() {}
