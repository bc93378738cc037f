#ifndef TAVENOOK_VIEWS_CHAT_ROOMTABWIDGET_H
#define TAVENOOK_VIEWS_CHAT_ROOMTABWIDGET_H

#include "shell/TabWidget.h"

// The tab control of the private chats page; a type of its own only.
class RoomTabWidget : public TabWidget {
    Q_OBJECT
public:
    explicit RoomTabWidget(QWidget* parent = nullptr) : TabWidget(parent) {}
};

#endif
