#include <QHBoxLayout>
#include <QSplitter>
#include <QTreeWidget>

#include "shell/SizeManager.h"
#include "shell/TabWidget.h"
#include "views/chat/RoomsForm.h"

RoomsForm::RoomsForm(QWidget* parent)
    : QWidget(parent),
      mp_splitter(new QSplitter(Qt::Horizontal, this)),
      mp_tabs(new TabWidget(mp_splitter)),
      mp_roomList(new QTreeWidget(mp_splitter)) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(mp_splitter);
    mp_splitter->setObjectName("roomSplitter");
    mp_tabs->setObjectName("roomsTabControl");
    mp_roomList->setObjectName("roomList");
    mp_roomList->setHeaderLabels({"Room Name", "Users"});
    mp_roomList->setColumnWidth(0, 150);
    mp_roomList->setColumnWidth(1, 30);
    mp_roomList->setRootIsDecorated(false);
    mp_splitter->setStretchFactor(0, 1);
    mp_splitter->setStretchFactor(1, 0);
}

RoomsForm::~RoomsForm() = default;

void RoomsForm::Init() {
    mp_splitter->setSizes({qMax(0, width() - kListWidth), kListWidth});
    if (sizeManager) {
        sizeManager->RegisterSplitter("room_list_splitter", mp_splitter);
        sizeManager->RegisterTreeWidget("room_list", mp_roomList);
    }
}
