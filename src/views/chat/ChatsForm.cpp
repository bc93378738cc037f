#include <QHBoxLayout>
#include <QTreeWidget>

#include "views/chat/ChatsForm.h"

ChatsForm* chatsForm = nullptr;

// Builds the page's one list; the view's own issue replaces this page.
ChatsForm::ChatsForm(QWidget* parent) : QWidget(parent), mp_list(new QTreeWidget(this)) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    mp_list->setObjectName("chatList");
    mp_list->setHeaderLabels({"User"});
    layout->addWidget(mp_list);
    chatsForm = this;
}

ChatsForm::~ChatsForm() {
    if (chatsForm == this)
        chatsForm = nullptr;
}

void ChatsForm::Init() {}
