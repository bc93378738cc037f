#include "views/users/UserMenuOptions.h"

#include <QMenu>

UserMenuOptions::UserMenuOptions(QMenu* menu, QString user, QObject* parent)
    : QObject(parent), m_user(std::move(user)) {
    Q_UNUSED(menu);
}

UserMenuOptions::~UserMenuOptions() = default;
