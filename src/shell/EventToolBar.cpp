#include "shell/EventToolBar.h"

#include <QApplication>
#include <QIcon>
#include <utility>

#include "shell/FocusWidget.h"
#include "shell/ShellGlobals.h"
#include "shell/SoundPlayer.h"
#include "shell/TabWidget.h"
#include "store/DataSaver.h"
#include "store/GeneralFunctions.h"

EventToolBar* eventToolBar = nullptr;

namespace {
Type* T(const char* name) {
    return d.GetType(name);
}
}  // namespace

EventToolBar::EventToolBar(QWidget* parent) : QToolBar(parent) {
    eventToolBar = this;
    setMovable(false);
    DeclareShellType("event_toolbar_action", PrimacyRoot, false, true);
    DeclareShellType("event_toolbar_widget", PrimacyRoot, false, true);
    RelateShellTypes("event_toolbar_action", "event_toolbar_widget", Many, One);
    setIconSize(QSize(16, 16));
    setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    AddPlaceholder();
    m_alertTimer.setInterval(1000);
    connect(&m_alertTimer, &QTimer::timeout, this, &EventToolBar::OnIconAlertTimeout);
    m_alertPace.setSingleShot(true);
    m_alertPace.setInterval(kAlertPaceMs);
    connect(&m_alertPace, &QTimer::timeout, this, &EventToolBar::OnAlertPaceTimeout);
    connect(qApp, &QApplication::focusChanged, this, &EventToolBar::OnApplicationFocusChanged);
    hide();
    DeclareShellType("event_sound", PrimacyRoot, false, true);
    DeclareShellType("event_sound_file", PrimacyLeaf, false, true);
    RelateShellTypes("event_sound", "event_sound_file", Many, One);
    if (dataSaver) {
        dataSaver->AddDataLoadedEventHandler(this);
        dataSaver->AddSavedType("event_sound");
        dataSaver->AddSavedType("event_sound_file");
    }
}

EventToolBar::~EventToolBar() {
    if (dataSaver)
        dataSaver->RemoveDataLoadedEventHandler(this);
    if (eventToolBar == this)
        eventToolBar = nullptr;
}

void EventToolBar::DataLoaded() {}

void EventToolBar::AddPlaceholder() {
    addAction(QString());
    m_placeholder = true;
}

void EventToolBar::AddEvent(const QString& text, const QString& icon, QWidget* widget,
                            const QString& popupText, const QString& soundKey, bool repeat) {
    TabWidget::MarkTabActivity(widget);
    const bool active = ShellMainWindowIsActive();
    if (!active) {
        if (m_alertIcons.empty()) {
            m_alertPosition = 0;
            m_alertTimer.start(1000);
        }
        m_alertIcons.insert(icon);
    }
    const bool visible = widget && widget->isVisible();
    if (active && visible)
        return;
    Alert(popupText, soundKey);
    if (!widget || visible)
        return;
    if (!T("event_toolbar_widget")->HasItem(ObjectKey(widget)).IsNull() && !repeat)
        return;
    if (m_placeholder) {
        for (QAction* action : actions()) {
            removeAction(action);
            action->deleteLater();
        }
        m_placeholder = false;
    }
    if (ShellSetting("show_event_buttons") != "yes")
        return;
    // The text names a user, room or search: never an accelerator.
    QAction* action = addAction(QIcon(icon), LiteralLabel(text));
    connect(action, &QAction::triggered, this, &EventToolBar::OnActionTriggered);
    m_pages.insert(action, widget);
    T("event_toolbar_action")
        ->GetItem(ObjectKey(action))
        .Connect(T("event_toolbar_widget")->GetItem(ObjectKey(widget)));
    connect(widget, &QObject::destroyed, this, &EventToolBar::OnWidgetDestroyed,
            Qt::UniqueConnection);
    show();
}

void EventToolBar::Alert(const QString& popupText, const QString& soundKey) {
    if (popupText.isEmpty() && soundKey.isEmpty())
        return;
    // A burst of events (a flood of private lines) gives one balloon and one
    // sound now and then the latest of each once a second, never a backlog.
    if (m_alertPace.isActive()) {
        if (!popupText.isEmpty())
            m_pendingPopup = popupText;
        if (!soundKey.isEmpty())
            m_pendingSound = soundKey;
        return;
    }
    ShowAlert(popupText, soundKey);
    m_alertPace.start();
}

void EventToolBar::ShowAlert(const QString& popupText, const QString& soundKey) {
    if (!popupText.isEmpty())
        ShellPopupAlert(popupText);
    if (soundKey.isEmpty())
        return;
    Type* sounds = T("event_sound");
    QString file = sounds->GetItem(Value(soundKey))["event_sound_file"].AsString();
    if (file.isEmpty())
        file = sounds->GetItem("default")["event_sound_file"].AsString();
    if (!file.isEmpty())
        SoundPlayer::Instance()->play(file);
}

void EventToolBar::OnAlertPaceTimeout() {
    if (m_pendingPopup.isEmpty() && m_pendingSound.isEmpty())
        return;
    ShowAlert(std::exchange(m_pendingPopup, QString()), std::exchange(m_pendingSound, QString()));
    m_alertPace.start();
}

void EventToolBar::RemoveButton(QAction* action) {
    removeAction(action);
    m_pages.remove(action);
    // Possibly the sender of the signal being handled: delete it later.
    action->deleteLater();
    if (actions().isEmpty()) {
        AddPlaceholder();
        hide();
    }
}

void EventToolBar::RemoveEvents(QWidget* widget) {
    RemoveEventsByKey(ObjectKey(widget));
}

void EventToolBar::RemoveEventsByKey(const Value& key) {
    const ItemPtr page = T("event_toolbar_widget")->HasItem(key);
    if (!page)
        return;
    const Type* buttons = T("event_toolbar_action");
    for (QAction* action : actions())
        if (buttons->HasItem(ObjectKey(action)).IsConnected(page))
            RemoveButton(action);
    page.GetItems("event_toolbar_action").Remove();
    page.Remove();
}

void EventToolBar::OnActionTriggered() {
    if (g_showIsOver)
        return;
    auto* action = qobject_cast<QAction*>(sender());
    if (!action)
        return;
    const ItemPtr button = T("event_toolbar_action")->HasItem(ObjectKey(action));
    if (!button)
        return;
    const ItemPtr page = button["event_toolbar_widget"];
    const QPointer<QWidget> target = m_pages.value(action);
    RemoveButton(action);
    button.Remove();
    if (!page.IsNull() && !page.IsConnected("event_toolbar_action"))
        page.Remove();
    FocusWidgetAndParents(target);
}

void EventToolBar::OnWidgetDestroyed(QObject* widget) {
    if (g_showIsOver)
        return;
    RemoveEventsByKey(ObjectKey(widget));
}

void EventToolBar::OnIconAlertTimeout() {
    if (m_alertIcons.empty())
        return;
    if (m_alertPosition >= int(m_alertIcons.size())) {
        m_alertPosition = 0;
        ShellResetApplicationIcon();
        return;
    }
    ShellSetApplicationIcon(*std::next(m_alertIcons.begin(), m_alertPosition));
    ++m_alertPosition;
}

void EventToolBar::OnApplicationFocusChanged(QWidget*, QWidget*) {
    if (g_showIsOver)
        return;
    m_alertIcons.clear();
    m_alertTimer.stop();
    ShellResetApplicationIcon();
}
