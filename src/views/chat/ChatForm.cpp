#include <QDesktopServices>
#include <QMenu>
#include <QTabWidget>
#include <QUrl>

#include "net/server.h"
#include "shell/ActionSetToolBar.h"
#include "shell/EventToolBar.h"
#include "shell/FocusWidget.h"
#include "shell/Prompts.h"
#include "store/GeneralFunctions.h"
#include "store/Settings.h"
#include "store/TimerManager.h"
#include "ui_ChatForm.h"
#include "views/chat/ChatForm.h"
#include "views/chat/ChatLog.h"
#include "views/chat/ChatLogForm.h"
#include "views/users/UserMenuOptions.h"

namespace {
constexpr int kPreviewLength = 100;
}

ChatForm::ChatForm(QString user, QTabWidget* tabWidget, QWidget* parent)
    : QWidget(parent),
      mp_ui(new Ui::ChatForm),
      m_user(user),
      mp_tabWidget(tabWidget),
      m_transcript((mp_ui->setupUi(this), mp_ui->chatView), ChatTranscript::kCap) {
    connect(mp_ui->chatEdit, &QLineEdit::returnPressed, this, &ChatForm::OnEnter);
    connect(mp_ui->chatView, &QWidget::customContextMenuRequested, this,
            &ChatForm::OnContextMenuRequested);
    connect(mp_ui->chatView, &QTextBrowser::anchorClicked, this, &ChatForm::OnURLClicked);
    const ItemPtr partner = d.GetType("user")->GetItem(Value(m_user));
    partner.Connect(d.GetType("user_chat_widget")->GetItem(Value(this)));
    RegisterWidgetForTabFocus(mp_ui->chatEdit, 1);
    if (timerManager)
        connect(&timerManager->everyHalfMinute, &QTimer::timeout, this,
                &ChatForm::CheckChatInactivity);
    if (actionBar) {
        actionBar->RegisterWidget(this, "user_chat");
        connect(actionBar, &ActionSetToolBar::ActionTriggered, this, &ChatForm::OnActionTriggered);
    }
    // Shown as a notice only: the warning was said once, when it was sent.
    const ItemPtr warning = partner["sent_empty_share_warning_message"];
    if (!warning.IsNull())
        AddStatusMessage(QString("Sent to %1: %2").arg(m_user, warning.AsString()));
    d.AddPathEventHandler(chat::Step(new PathNode(partner), "is_away", PathConnecting),
                          ItemHandler(this, &ChatForm::OnUserAway));
    d.AddPathEventHandler(chat::Step(new PathNode(partner), "is_away", PathDisconnecting),
                          ItemHandler(this, &ChatForm::OnUserAvailable));
    if (partner.IsConnected("is_away"))
        AddStatusMessage(m_user + " is away.");
}

ChatForm::~ChatForm() {
    DisableHandlers();
    const ItemPtr widget = d.GetType("user_chat_widget")->HasItem(Value(this));
    if (!widget.IsNull())
        widget.Remove();
    delete mp_ui;
}

void ChatForm::AddChat(QString user, QString text) {
    if (chat::IsAction(text)) {
        LogChat(m_transcript.AddAction(user, text));
        return;
    }
    LogChat(m_transcript.AddLine(user, text));
    if (eventToolBar) {
        QString preview = text.left(kPreviewLength);
        if (text.size() > kPreviewLength)
            preview += " ...";
        eventToolBar->AddEvent(m_user, ":/icons/chat_icon", mp_ui->chatEdit,
                               QString("[%1] %2").arg(user, preview), "private_chat", false);
    }
}

void ChatForm::Focus() {
    FocusWidget(mp_ui->chatEdit);
}

void ChatForm::AddStatusMessage(QString text) {
    m_transcript.AddStatus(text);
}

void ChatForm::LogChat(QString line) {
    chatlog::Write(chatlog::Kind::User, m_user, line);
}

void ChatForm::OnEnter() {
    const QString text = mp_ui->chatEdit->text();
    if (text.isEmpty())
        return;
    // A line the server never took is neither shown nor logged as said.
    if (!gp_server || !gp_server->IsConnected()) {
        AddStatusMessage("not connected, message not sent");
        return;
    }
    AddChat(GetSetting("username"), text);
    gp_server->SendPrivateChat(m_user, text);
    mp_ui->chatEdit->clear();
}

void ChatForm::OnContextMenuRequested(QPoint point) {
    QMenu menu;
    UserMenuOptions userOptions(&menu, m_user);
    prompts::ExecMenu(&menu, mp_ui->chatView->viewport()->mapToGlobal(point));
}

void ChatForm::OnURLClicked(QUrl url) {
    QDesktopServices::openUrl(url);
    mp_ui->chatEdit->setFocus();
}

void ChatForm::OnActionTriggered(QWidget* widget, QString action) {
    if (widget != this || action != QLatin1String("user_chat_log"))
        return;
    const ItemPtr partner = d.GetType("user")->GetItem(Value(m_user));
    const ItemPtr open = partner["chat_log_form"];
    if (!open.IsNull() && open.AsUInt64() != 0) {
        FocusWidgetAndParents(reinterpret_cast<ChatLogForm*>(open.AsUInt64()));
        return;
    }
    auto* viewer = new ChatLogForm(chatlog::FilePath(chatlog::Kind::User, m_user), this);
    if (mp_tabWidget)
        mp_tabWidget->addTab(viewer, QIcon(":/icons/note_icon"), LiteralLabel(m_user));
    partner.Connect(d.GetType("chat_log_form")->GetItem(Value(viewer)));
    FocusWidgetAndParents(viewer);
}

void ChatForm::CheckChatInactivity() {
    m_transcript.CheckInactivity();
}

void ChatForm::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (eventToolBar)
        eventToolBar->RemoveEvents(mp_ui->chatEdit);
}

void ChatForm::OnUserAway(ItemPtr) {
    AddStatusMessage(m_user + " is away.");
}

void ChatForm::OnUserAvailable(ItemPtr) {
    AddStatusMessage(m_user + " is available.");
}
