#include <QHBoxLayout>
#include <QHeaderView>
#include <QPlainTextEdit>
#include <QSplitter>
#include <QTextBlock>
#include <QTreeWidget>

#include "shell/SizeManager.h"
#include "shell/TabWidget.h"
#include "views/ChatsForm.h"
#include "views/DiagnosticsForm.h"
#include "views/RoomsForm.h"
#include "views/SearchForm.h"
#include "views/SharesForm.h"
#include "views/TransfersForm.h"
#include "views/UserListForm.h"

TransfersForm* transfersForm = nullptr;
ChatsForm* chatsForm = nullptr;
SearchForm* searchForm = nullptr;
UserListForm* userListForm = nullptr;
SharesForm* sharesForm = nullptr;
DiagnosticsForm* diagnosticsForm = nullptr;

namespace {
QTreeWidget* FillPage(QWidget* page, const char* listName, const QStringList& headers) {
    auto* layout = new QHBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* list = new QTreeWidget(page);
    list->setObjectName(listName);
    list->setHeaderLabels(headers);
    layout->addWidget(list);
    return list;
}

template <class Form>
void Publish(Form*& global, Form* form) {
    global = form;
}
template <class Form>
void Unpublish(Form*& global, Form* form) {
    if (global == form)
        global = nullptr;
}
}  // namespace

#define TAVENOOK_STUB_FORM(Class, global, listName, ...)                      \
    Class::Class(QWidget* parent)                                             \
        : QWidget(parent), mp_list(FillPage(this, listName, {__VA_ARGS__})) { \
        Publish(global, this);                                                \
    }                                                                         \
    Class::~Class() {                                                         \
        Unpublish(global, this);                                              \
    }                                                                         \
    void Class::Init() {}

TAVENOOK_STUB_FORM(TransfersForm, transfersForm, "downloadsList", "User", "Folder", "File",
                   "Status")
TAVENOOK_STUB_FORM(ChatsForm, chatsForm, "chatList", "User")
TAVENOOK_STUB_FORM(SearchForm, searchForm, "searchHistoryList", "Search")
TAVENOOK_STUB_FORM(UserListForm, userListForm, "userList", "User", "Status")
TAVENOOK_STUB_FORM(SharesForm, sharesForm, "shareList", "Folder", "Files")

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

DiagnosticsForm::DiagnosticsForm(QWidget* parent)
    : QWidget(parent), mp_text(new QPlainTextEdit(this)) {
    auto* layout = new QHBoxLayout(this);
    layout->addWidget(mp_text);
    mp_text->setReadOnly(true);
    mp_text->setMaximumBlockCount(kMaxLines);
    Publish(diagnosticsForm, this);
}

DiagnosticsForm::~DiagnosticsForm() {
    if (GetLogSink() == this)
        SetLogSink(nullptr);
    Unpublish(diagnosticsForm, this);
}

void DiagnosticsForm::Init() {
    SetLogSink(this);
}

void DiagnosticsForm::RegisterLoggableItemType(const QString& type) {
    if (!m_loggableTypes.contains(type))
        m_loggableTypes.append(type);
}

void DiagnosticsForm::Log(const QString& area, int level, const QString& text, const ItemPtr&) {
    mp_text->appendPlainText(QString("[%1] %2: %3").arg(area).arg(level).arg(text));
}

QStringList DiagnosticsForm::Lines() const {
    QStringList lines;
    for (QTextBlock block = mp_text->document()->begin(); block.isValid(); block = block.next())
        lines.append(block.text());
    return lines;
}
