#include "shell/ActionSetToolBar.h"

#include <QApplication>
#include <QDesktopServices>
#include <QLabel>
#include <QPushButton>
#include <QResizeEvent>
#include <QTabBar>
#include <QTabWidget>
#include <QTableView>
#include <QTimer>
#include <QTreeWidget>

#include "net/server.h"
#include "shell/ShellGlobals.h"
#include "store/Settings.h"

ActionSetToolBar* actionBar = nullptr;

namespace {
Type* T(const char* name) {
    return d.GetType(name);
}

ItemPtr WidgetItem(const QObject* widget) {
    return T("toolbar_action_widget")->HasItem(ObjectKey(widget));
}

// The widget's own item of `type` for the identifier, if any.
ItemSet PerWidget(const ItemPtr& widget, const char* type, const ItemPtr& actionId) {
    return widget.GetItems(type).Connected(actionId);
}

void PointKeyAt(const ItemPtr& key, const QString& value) {
    T("active_action_key")
        ->GetItem(Value(key.AsStdString()))
        .Connect(T("active_action_value")->GetItem(Value(value)));
}
}  // namespace

ActionSetToolBar::ActionSetToolBar(QWidget* parent) : QToolBar(parent) {
    actionBar = this;
    connect(qApp, &QApplication::focusChanged, this, &ActionSetToolBar::OnApplicationFocusChanged);

    DeclareShellType("toolbar_action_set", PrimacyRoot, false, true);
    DeclareShellType("toolbar_action", PrimacyRoot, true, true);
    DeclareShellType("toolbar_action_id", PrimacyRoot, false, true);
    DeclareShellType("toolbar_action_order", PrimacyLeaf, false, true);
    DeclareShellType("toolbar_action_icon", PrimacyLeaf, false, true);
    DeclareShellType("toolbar_action_text", PrimacyLeaf, false, true);
    DeclareShellType("needs_list_selection", PrimacyLeaf, true, true);
    DeclareShellType("toolbar_action_widget", PrimacyRoot, false, true);
    DeclareShellType("action_key_value_pair", PrimacyRoot, true, true);
    DeclareShellType("action_key", PrimacyIntermediate, false, true);
    DeclareShellType("action_value", PrimacyLeaf, false, true);
    DeclareShellType("action_key_column_pair", PrimacyRoot, true, true);
    DeclareShellType("action_column", PrimacyLeaf, false, true);
    DeclareShellType("active_action_key", PrimacyRoot, false, true);
    DeclareShellType("active_action_value", PrimacyLeaf, false, true);
    DeclareShellType("widget_action_text", PrimacyLeaf, false, true);
    DeclareShellType("widget_action_hidden", PrimacyLeaf, true, true);
    DeclareShellType("toolbar_action_object", PrimacyIntermediate, false, true);

    RelateShellTypes("toolbar_action_set", "toolbar_action", One, Many);
    RelateShellTypes("toolbar_action", "toolbar_action_id", Many, One);
    RelateShellTypes("toolbar_action", "toolbar_action_order", Many, One);
    RelateShellTypes("toolbar_action", "toolbar_action_icon", Many, One);
    RelateShellTypes("toolbar_action", "toolbar_action_text", Many, One);
    RelateShellTypes("toolbar_action", "needs_list_selection", Many, One);
    RelateShellTypes("toolbar_action_set", "toolbar_action_widget", One, Many);
    RelateShellTypes("action_key_value_pair", "toolbar_action_widget", Many, One);
    RelateShellTypes("action_key_value_pair", "action_key", Many, One);
    RelateShellTypes("action_key_value_pair", "action_value", Many, One);
    RelateShellTypes("action_key_column_pair", "toolbar_action_widget", Many, One);
    RelateShellTypes("action_key_column_pair", "action_key", Many, One);
    RelateShellTypes("action_key_column_pair", "action_column", Many, One);
    RelateShellTypes("active_action_key", "active_action_value", Many, One);
    RelateShellTypes("widget_action_text", "toolbar_action_widget", Many, Many);
    RelateShellTypes("widget_action_text", "toolbar_action_id", Many, Many);
    RelateShellTypes("widget_action_hidden", "toolbar_action_widget", Many, One);
    RelateShellTypes("widget_action_hidden", "toolbar_action_id", Many, One);
    RelateShellTypes("toolbar_action", "toolbar_action_object", One, One);

    AddSupportTavenookButton();
}

ActionSetToolBar::~ActionSetToolBar() {
    if (actionBar == this)
        actionBar = nullptr;
}

void ActionSetToolBar::Init() {
    if (gp_server)
        connect(gp_server, &Server::ReceivedOwnPrivilegesStatus, this,
                &ActionSetToolBar::OnReceivedOwnPrivilegesStatus, Qt::UniqueConnection);
    m_initialised = true;
}

void ActionSetToolBar::AddSetAction(const QString& set, const QString& actionId,
                                    const QString& text, const QString& icon,
                                    bool needsListSelection) {
    const ItemPtr action = T("toolbar_action")->NewItem();
    T("toolbar_action_set")->GetItem(Value(set)).Connect(action);
    action.Connect(T("toolbar_action_id")->GetItem(Value(actionId)));
    action.Connect(T("toolbar_action_icon")->GetItem(Value(icon)));
    action.Connect(T("toolbar_action_text")->GetItem(Value(text)));
    action.Connect(T("toolbar_action_order")->GetItem(Value(m_orderCounter++)));
    if (needsListSelection)
        action.NewItem("needs_list_selection");
}

void ActionSetToolBar::RegisterWidget(QWidget* widget, const QString& set) {
    if (!widget)
        return;
    T("toolbar_action_widget")
        ->GetItem(ObjectKey(widget))
        .Connect(T("toolbar_action_set")->GetItem(Value(set)));
    connect(widget, &QObject::destroyed, this, &ActionSetToolBar::OnWidgetDestroyed,
            Qt::UniqueConnection);
}

void ActionSetToolBar::AddWidgetKey(QWidget* widget, const QString& key, const QString& value) {
    const ItemPtr item = WidgetItem(widget);
    if (!item)
        return;
    const ItemPtr pair = T("action_key_value_pair")->NewItem();
    pair.Connect(T("action_key")->GetItem(Value(key)));
    pair.Connect(T("action_value")->GetItem(Value(value)));
    pair.Connect(item);
}

void ActionSetToolBar::AddWidgetColumnKey(QWidget* widget, const QString& key, int column) {
    const ItemPtr item = WidgetItem(widget);
    if (!item)
        return;
    const ItemPtr pair = T("action_key_column_pair")->NewItem();
    pair.Connect(T("action_key")->GetItem(Value(key)));
    pair.Connect(T("action_column")->GetItem(Value(column)));
    pair.Connect(item);
}

void ActionSetToolBar::SetWidgetActionText(QWidget* widget, const QString& actionId,
                                           const QString& text) {
    if (g_showIsOver)
        return;
    const ItemPtr item = WidgetItem(widget);
    const ItemPtr id = T("toolbar_action_id")->HasItem(Value(actionId));
    if (!item || !id)
        return;
    for (const ItemPtr& old : PerWidget(item, "widget_action_text", id))
        item.Disconnect(old);
    const ItemPtr textItem = T("widget_action_text")->GetItem(Value(text));
    textItem.Connect(item);
    textItem.Connect(id);
    if (widget == mp_shownWidget)
        SetLiveActions(id, [&text](QAction* action) { action->setText(text); });
}

void ActionSetToolBar::SetWidgetActionHidden(QWidget* widget, const QString& actionId,
                                             bool hidden) {
    const ItemPtr item = WidgetItem(widget);
    const ItemPtr id = T("toolbar_action_id")->HasItem(Value(actionId));
    if (!item || !id)
        return;
    const ItemSet markers = PerWidget(item, "widget_action_hidden", id);
    if (hidden == !markers.Empty())
        return;
    if (hidden) {
        const ItemPtr marker = T("widget_action_hidden")->NewItem();
        marker.Connect(item);
        marker.Connect(id);
    } else {
        markers.Remove();
    }
    // Both ways at once: a command that comes back must not wait for the
    // focus to leave and return before it can be used.
    if (widget != mp_shownWidget)
        return;
    SetLiveActions(id, [hidden](QAction* action) { action->setVisible(!hidden); });
    if (!hidden)
        QTimer::singleShot(0, this, &ActionSetToolBar::FitWidth);
}

QString ActionSetToolBar::GetKey(const QString& key) {
    return T("active_action_key")->GetItem(Value(key))["active_action_value"].AsString();
}

void ActionSetToolBar::SetLiveActions(const ItemPtr& actionId,
                                      const std::function<void(QAction*)>& change) {
    const Type* objects = T("toolbar_action_object");
    for (QAction* action : actions()) {
        const ItemPtr object = objects->HasItem(ObjectKey(action));
        if (!object.IsNull() && object["toolbar_action"]["toolbar_action_id"] == actionId)
            change(action);
    }
}

void ActionSetToolBar::ChangeSet(QWidget* widget, const QString& set) {
    if (set == m_shownSet && widget == mp_shownWidget)
        return;
    m_shownSet = set;
    mp_shownWidget = widget;
    ClearAndDeleteActions();

    const ItemPtr setItem = T("toolbar_action_set")->HasItem(Value(set));
    const ItemPtr widgetItem = widget ? WidgetItem(widget) : ItemPtr();
    if (!setItem.IsNull()) {
        Type* objects = T("toolbar_action_object");
        int slot = 0;
        for (const ItemPtr& action :
             setItem.GetItems("toolbar_action").SortNumericBy("toolbar_action_order", true)) {
            const ItemPtr id = action["toolbar_action_id"];
            QString text = action["toolbar_action_text"].AsString();
            bool hidden = false;
            if (!widgetItem.IsNull() && !id.IsNull()) {
                const ItemSet own = PerWidget(widgetItem, "widget_action_text", id);
                if (!own.Empty())
                    text = own.First().AsString();
                hidden = !PerWidget(widgetItem, "widget_action_hidden", id).Empty();
            }
            QAction* live = PooledAction(slot++);
            live->setIcon(QIcon(action["toolbar_action_icon"].AsString()));
            live->setText(text);
            live->setVisible(!hidden);
            action.Connect(objects->GetItem(ObjectKey(live)));
        }
    }
    AddSupportTavenookButton();
    // A new set gets its icons back, as far as there is room for them.
    RestoreIcons();
    QTimer::singleShot(0, this, &ActionSetToolBar::FitWidth);
}

void ActionSetToolBar::resizeEvent(QResizeEvent* event) {
    QToolBar::resizeEvent(event);
    if (event->size().width() > event->oldSize().width())
        RestoreIcons();
    QTimer::singleShot(0, this, &ActionSetToolBar::FitWidth);
}

// When the set's buttons with their icons push the support button into the
// overflow menu, they drop their icons: a text is worth more than an icon.
void ActionSetToolBar::FitWidth() {
    const Qt::ToolButtonStyle style = toolButtonStyle();
    if (m_compact || !isVisible() || !mp_supportButton || !mp_supportButton->isHidden() ||
        (style != Qt::ToolButtonTextBesideIcon && style != Qt::ToolButtonTextUnderIcon))
        return;
    m_compact = true;
    m_fullStyle = style;
    setToolButtonStyle(Qt::ToolButtonTextOnly);
}

void ActionSetToolBar::RestoreIcons() {
    if (!m_compact)
        return;
    m_compact = false;
    setToolButtonStyle(m_fullStyle);
}

// The n-th action of the set area, made when first needed and then kept:
// a rebuild may run while one of them is still being triggered (a modal box
// opened by its own command moves the focus), so none is ever deleted.
QAction* ActionSetToolBar::PooledAction(int n) {
    while (m_pool.size() <= n) {
        auto* action = new QAction(this);
        action->setVisible(false);
        insertAction(mp_supportAnchor, action);
        connect(action, &QAction::triggered, this, &ActionSetToolBar::OnActionTriggered);
        m_pool.append(action);
    }
    return m_pool[n];
}

void ActionSetToolBar::Clear() {
    m_shownSet.clear();
    ClearAndDeleteActions();
}

// Hides the set's actions instead of deleting them (see PooledAction); the
// fixed widgets stay in place and only read their settings afresh.
void ActionSetToolBar::ClearAndDeleteActions() {
    for (QAction* action : m_pool)
        action->setVisible(false);
    // The hidden actions stand for nothing until a set is shown again.
    T("toolbar_action_object")->GetItems().Remove();
    AddStatusWidgets();
}

void ActionSetToolBar::OnApplicationFocusChanged(QWidget*, QWidget* widget) {
    if (!m_initialised || g_showIsOver || m_busy || !widget)
        return;
    // A box or dialog in a window of its own leaves the set as it is: emptied
    // while a box is up, the bar would come back only with the focus, and the
    // first click after the box would land where no button is yet.
    if (window() != this && widget->window() != window())
        return;
    m_busy = true;

    // A tab widget or its bar stands for the page it shows.
    for (;;) {
        QTabWidget* tabs = qobject_cast<QTabWidget*>(widget);
        if (!tabs && qobject_cast<QTabBar*>(widget))
            tabs = qobject_cast<QTabWidget*>(widget->parentWidget());
        if (!tabs || !tabs->currentWidget())
            break;
        widget = tabs->currentWidget();
    }

    mp_list = nullptr;
    QWidget* registered = nullptr;
    ItemPtr registeredItem;
    for (QWidget* w = widget; w; w = w->parentWidget()) {
        registeredItem = WidgetItem(w);
        if (!mp_list && (qobject_cast<QTreeWidget*>(w) || qobject_cast<QTableView*>(w)))
            mp_list = static_cast<QAbstractItemView*>(w);
        if (!registeredItem.IsNull()) {
            registered = w;
            break;
        }
    }
    if (!registered) {
        Clear();
        AddSupportTavenookButton();
        m_busy = false;
        return;
    }

    m_focusedWidgetItem = registeredItem;
    ChangeSet(registered, registeredItem["toolbar_action_set"].AsString());
    for (const ItemPtr& pair : registeredItem.GetItems("action_key_value_pair"))
        PointKeyAt(pair["action_key"], pair["action_value"].AsString());
    m_busy = false;
}

void ActionSetToolBar::OnActionTriggered(bool) {
    auto* live = qobject_cast<QAction*>(sender());
    if (!live)
        return;
    const ItemPtr action = T("toolbar_action_object")->HasItem(ObjectKey(live))["toolbar_action"];
    if (!action)
        return;
    if (mp_list) {
        const QModelIndexList selected = mp_list->selectionModel()
                                             ? mp_list->selectionModel()->selectedIndexes()
                                             : QModelIndexList();
        if (selected.isEmpty()) {
            if (action.IsConnected("needs_list_selection"))
                return;
        } else if (!m_focusedWidgetItem.IsNull() && !m_focusedWidgetItem.IsRemoved()) {
            for (const ItemPtr& pair : m_focusedWidgetItem.GetItems("action_key_column_pair"))
                PointKeyAt(pair["action_key"], selected.first()
                                                   .siblingAtColumn(pair["action_column"].AsInt())
                                                   .data()
                                                   .toString());
        }
    }
    emit ActionTriggered(mp_shownWidget, action["toolbar_action_id"].AsString());
}

void ActionSetToolBar::OnWidgetDestroyed(QObject* widget) {
    if (g_showIsOver)
        return;
    ForgetWidget(widget);
    if (widget == mp_shownWidget.data() || (mp_shownWidget.isNull() && !m_shownSet.isEmpty())) {
        mp_shownWidget = nullptr;
        Clear();
        AddSupportTavenookButton();
    }
}

// A later widget at the same address must not inherit the set, keys, texts
// or hidden markers of the destroyed one.
void ActionSetToolBar::ForgetWidget(QObject* widget) {
    const ItemPtr item = WidgetItem(widget);
    if (!item)
        return;
    item.GetItems("action_key_value_pair").Remove();
    item.GetItems("action_key_column_pair").Remove();
    item.GetItems("widget_action_hidden").Remove();
    const ItemSet texts = item.GetItems("widget_action_text");
    if (m_focusedWidgetItem == item)
        m_focusedWidgetItem = ItemPtr();
    item.Remove();
    for (const ItemPtr& text : texts)
        if (!text.IsConnected("toolbar_action_widget"))
            text.Remove();
}

void ActionSetToolBar::AddStatusWidgets() {
    if (!mp_statusButton) {
        auto* button = new QPushButton;
        mp_statusButton = button;
        button->setFocusPolicy(Qt::NoFocus);
        QAction* first = actions().isEmpty() ? nullptr : actions().first();
        insertWidget(first, button);
        insertWidget(first, new QLabel(" "));
        connect(button, &QPushButton::clicked, this, &ActionSetToolBar::OnStatusButtonClicked);
    }
    if (ShellSetting("availability_status") == "available") {
        mp_statusButton->setIcon(QIcon(":/icons/online_icon"));
        mp_statusButton->setText(tr("Available"));
    } else {
        mp_statusButton->setIcon(QIcon(":/icons/away_icon"));
        mp_statusButton->setText(tr("Away"));
    }
}

void ActionSetToolBar::AddSupportTavenookButton() {
    if (!mp_supportButton) {
        mp_supportAnchor = addAction(QString());
        // It only marks where the set ends: an empty button would take room
        // the support button needs at the default window width.
        mp_supportAnchor->setVisible(false);
        auto* gap = new QWidget;
        gap->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
        auto* button = new QPushButton;
        mp_supportButton = button;
        button->setFocusPolicy(Qt::NoFocus);
        addWidget(gap);
        addWidget(button);
        connect(button, &QPushButton::clicked, this,
                &ActionSetToolBar::OnSupportTavenookButtonClicked);
    }
    UpdateSupportButton();
}

// Every update sets icon, tool tip and text, so a lapsed supporter loses
// the star and the days left.
void ActionSetToolBar::UpdateSupportButton() {
    if (!mp_supportButton || !d.FindType("global"))
        return;
    const qint64 seconds = ShellSetting("privileges_time_left").toLongLong();
    const bool supporter = ShellSetting("is_supporter") == "yes";
    mp_supportButton->setIcon(supporter ? QIcon(":/icons/gold_star_icon") : QIcon());
    mp_supportButton->setToolTip(supporter ? tr("Thank you for supporting Tavenook!") : QString());
    if (seconds > 0)
        mp_supportButton->setText(tr("%1 Days Left").arg((seconds + 43200) / 86400));
    else
        mp_supportButton->setText(supporter ? QString() : tr("Support Tavenook!"));
}

void ActionSetToolBar::OnReceivedOwnPrivilegesStatus(int) {
    UpdateSupportButton();
}

void ActionSetToolBar::OnStatusButtonClicked() {
    const bool toAway = ShellSetting("availability_status") == "available";
    if (gp_server)
        gp_server->SetAvailabilityStatus(!toAway);
    else if (d.FindType("global"))
        SetSetting("availability_status", toAway ? "away" : "available");
    const QString icon = toAway ? ":/icons/away_icon" : ":/icons/online_icon";
    if (mp_statusButton) {
        mp_statusButton->setIcon(QIcon(icon));
        mp_statusButton->setText(toAway ? tr("Away") : tr("Available"));
    }
    const bool connected = gp_server && gp_server->IsConnected();
    if (connected && (!toAway || ShellSetting("show_away_status_in_application_icon") == "yes"))
        ShellSetApplicationIcon(icon);
}

QUrl ActionSetToolBar::SupportPageUrl() {
    // Every character outside the unreserved set is escaped: "+" would
    // otherwise read as a blank and "&" or "#" would cut the name.
    const QByteArray name = QUrl::toPercentEncoding(ShellSetting("username"));
    return QUrl::fromEncoded(QByteArray(kTavenookWebHost) + "/qtlogin.php?username=" + name,
                             QUrl::StrictMode);
}

void ActionSetToolBar::OnSupportTavenookButtonClicked() {
    QDesktopServices::openUrl(SupportPageUrl());
}
