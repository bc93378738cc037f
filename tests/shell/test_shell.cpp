#include <QLocalSocket>
#include <QtTest>
#include <QtWidgets>
#include <algorithm>
#include <mutex>
#include <set>
#include <thread>

#include <sys/stat.h>

#include "shell/ActionSetToolBar.h"
#include "shell/Application.h"
#include "shell/EventToolBar.h"
#include "shell/FocusWidget.h"
#include "shell/Prompts.h"
#include "shell/ResizableWindow.h"
#include "shell/ShellGlobals.h"
#include "shell/SizeManager.h"
#include "shell/SoundPlayer.h"
#include "shell/TabWidget.h"
#include "shell/TreeWidget.h"
#include "shell/TreeWidgetItem.h"
#include "store/Log.h"
#include "store/Settings.h"
#include "support/Fuzz.h"
#include "support/TestFiles.h"
#include "support/Wave.h"

// Qt's table of hooks for inspection tools.
extern quintptr qtHookData[];

namespace {
// A page whose widgets sit in a container, so no tab widget is their parent.
QWidget* Page(std::initializer_list<QWidget*> widgets) {
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    for (QWidget* w : widgets)
        layout->addWidget(w);
    return page;
}

// The texts of the visible actions that are not fixed widgets.
QStringList Texts(QToolBar& bar, bool all = false) {
    QStringList out;
    for (QAction* a : bar.actions())
        if (all || (!qobject_cast<QWidgetAction*>(a) && !a->text().isEmpty() && a->isVisible()))
            out << a->text();
    return out;
}

// A window that keeps its geometry in four numbers.
class FakeWindow : public ResizableWindow {
public:
    QRect g{10, 20, 300, 200};
    int GetX() override { return g.x(); }
    int GetY() override { return g.y(); }
    int GetWidth() override { return g.width(); }
    int GetHeight() override { return g.height(); }
    void SetPosition(int x, int y) override { g.moveTo(x, y); }
    void SetSize(int w, int h) override { g.setSize({w, h}); }
};

// The objects of the main thread made and not yet gone while one lives,
// whatever their parent, seen through the hooks Qt keeps for inspection tools.
class LiveObjects {
public:
    LiveObjects() : m_previous{qtHookData[kAdd], qtHookData[kRemove]} {
        std::lock_guard<std::mutex> lock(Mutex());
        s_self = this;
        qtHookData[kAdd] = reinterpret_cast<quintptr>(&Added);
        qtHookData[kRemove] = reinterpret_cast<quintptr>(&Removed);
    }
    ~LiveObjects() {
        // Another thread may be in a hook now: it finds s_self under the lock.
        std::lock_guard<std::mutex> lock(Mutex());
        qtHookData[kAdd] = m_previous[0];
        qtHookData[kRemove] = m_previous[1];
        s_self = nullptr;
    }
    int Made() const {
        std::lock_guard<std::mutex> lock(Mutex());
        return m_made;
    }
    int Count(const char* className) const {
        std::lock_guard<std::mutex> lock(Mutex());
        return int(std::count_if(m_live.begin(), m_live.end(),
                                 [className](QObject* o) { return o->inherits(className); }));
    }

private:
    // Their places in qtHookData, fixed since its first version.
    static constexpr int kAdd = 3, kRemove = 4;
    using Hook = void (*)(QObject*);
    static std::mutex& Mutex() {
        static std::mutex mutex;
        return mutex;
    }
    static void Added(QObject* o) {
        Hook previous = nullptr;
        {
            std::lock_guard<std::mutex> lock(Mutex());
            if (!s_self)
                return;
            if (std::this_thread::get_id() == s_self->m_thread) {
                s_self->m_live.insert(o);
                ++s_self->m_made;
            }
            previous = reinterpret_cast<Hook>(s_self->m_previous[0]);
        }
        if (previous)
            previous(o);
    }
    static void Removed(QObject* o) {
        Hook previous = nullptr;
        {
            std::lock_guard<std::mutex> lock(Mutex());
            if (!s_self)
                return;
            s_self->m_live.erase(o);
            previous = reinterpret_cast<Hook>(s_self->m_previous[1]);
        }
        if (previous)
            previous(o);
    }
    static inline LiveObjects* s_self = nullptr;
    const quintptr m_previous[2];
    const std::thread::id m_thread = std::this_thread::get_id();
    std::set<QObject*> m_live;
    int m_made = 0;
};

// The lines logged while one lives.
struct Said : LogSink {
    QStringList lines;
    LogSink* const previous = GetLogSink();
    Said() { SetLogSink(this); }
    ~Said() override { SetLogSink(previous); }
    void Log(const QString&, int, const QString& text, const ItemPtr&) override { lines << text; }
};

std::unique_ptr<QProcess> Start(const QString& id, const QString& message) {
    auto process = std::make_unique<QProcess>();
    process->start(QCoreApplication::applicationFilePath(), {"--instance", id, message});
    return process;
}
}  // namespace

// Stands in for the main window, the desktop and the speakers.
class TestShell : public QObject, public SoundPlayer {
    Q_OBJECT

public:
    QStringList popups, icons, sounds;
    QList<QUrl> urls;
    void play(const QString& path) override { sounds << path; }

public slots:
    void open(const QUrl& url) { urls << url; }

private slots:
    void init() {
        d.Reset();
        DeclareSettingsTypes(nullptr);
        popups = icons = sounds = QStringList();
        SoundPlayer::SetInstance(this);
        Shell().popupAlert = [this](const QString& text) { popups << text; };
        Shell().setApplicationIcon = [this](const QString& icon) { icons << icon; };
        Shell().resetApplicationIcon = [this]() { icons << "normal"; };
    }
    void nestedTabsMarksAndPriorities();
    void contextToolBarFollowsFocus();
    void toolBarRebuiltDuringItsOwnBoxes();
    void toolBarKeepsSetAcrossDialogs();
    void toolBarKeepsSupportButtonInView();
    void supportAndStatusButtons();
    void eventToolBar();
    void eventAlertsPaced();
    void soundPlayerKeepsOneEffect_data();
    void soundPlayerKeepsOneEffect();
    void soundFilesFuzzed();
    void windowsListsAndSplitters();
    void sortableRows();
    void singleInstance();
};

void TestShell::nestedTabsMarksAndPriorities() {
    TabWidget outer;
    auto* first = new QLineEdit;
    auto* inner = new TabWidget;
    auto *target = new QLineEdit, *low = new QLineEdit, *high = new QLineEdit;
    outer.addTab(first, "first");
    outer.addTab(Page({inner}), "second");
    inner->addTab(new QLineEdit, "inner first");
    inner->addTab(Page({target}), "inner second");
    inner->addTab(Page({low, high}), "inner third");
    outer.show();
    QVERIFY(QTest::qWaitForWindowActive(&outer));

    FocusWidgetAndParents(target);
    QCOMPARE(QPoint(outer.currentIndex(), inner->currentIndex()), QPoint(1, 1));
    QTRY_VERIFY(QApplication::focusWidget() == target);
    FocusWidgetAndParents(first);  // the inner tab widget keeps its page
    QCOMPARE(QPoint(outer.currentIndex(), inner->currentIndex()), QPoint(0, 1));
    QTRY_VERIFY(QApplication::focusWidget() == first);

    // Only the levels whose tab towards the widget is not showing are marked.
    TabWidget::MarkTabActivity(target);
    QVERIFY(outer.IsTabMarked(1) && !inner->IsTabMarked(1));
    int index = 7;
    QVERIFY(GetWidgetTabWidget(target, index) == inner && index == 1);
    QVERIFY(!GetWidgetTabWidget(&outer, index) && index == 1);

    // Hidden registrations only record; the shown page's highest priority
    // then wins over the widget brought forward.
    RegisterWidgetForTabFocus(low, 1);
    RegisterWidgetForTabFocus(high, 2);
    QVERIFY(QApplication::focusWidget() == first);
    FocusWidgetAndParents(low);
    QTRY_VERIFY(QApplication::focusWidget() == high);
    QVERIFY(inner->currentIndex() == 2 && !outer.IsTabMarked(1));
}

void TestShell::contextToolBarFollowsFocus() {
    ActionSetToolBar bar;
    auto* form = new QWidget;
    auto* inForm = new QLineEdit(form);
    auto *list = new TreeWidget, *other = new TreeWidget;
    auto* loose = new QLineEdit;
    std::unique_ptr<QWidget> window(Page({form, list, other, loose}));
    list->addTopLevelItem(new QTreeWidgetItem(QStringList{"alice", "x"}));
    // Two views add to the same set: the calls' order is the actions' order.
    bar.AddSetAction("a", "x", "X", ":/icons/x.png", false);
    bar.AddSetAction("b", "del", "Delete", ":/icons/d.png", true);
    bar.AddSetAction("a", "y", "Y", ":/icons/y.png", false);
    bar.AddSetAction("b", "go", "Go", ":/icons/g.png", false);
    bar.RegisterWidget(form, "a");
    bar.RegisterWidget(list, "b");
    bar.RegisterWidget(other, "b");
    bar.AddWidgetKey(list, "room", "r1");
    bar.AddWidgetColumnKey(list, "user", 0);
    bar.SetWidgetActionHidden(list, "go", true);
    bar.SetWidgetActionHidden(list, "go", true);
    bar.SetWidgetActionText(other, "del", "Delete [on]");
    bar.Init();
    QSignalSpy fired(&bar, &ActionSetToolBar::ActionTriggered);
    window->show();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));

    inForm->setFocus();
    QTRY_COMPARE(Texts(bar), (QStringList{"X", "Y"}));
    const QList<QAction*> before = bar.actions();
    bar.SetWidgetActionText(form, "x", "X [on]");
    QCOMPARE(Texts(bar), (QStringList{"X [on]", "Y"}));
    form->setFocus();  // the same registered widget: no rebuild
    QTRY_COMPARE(QApplication::focusWidget(), form);
    QCOMPARE(bar.actions(), before);

    list->setFocus();
    QTRY_COMPARE(Texts(bar), QStringList{"Delete"});
    QCOMPARE(bar.GetKey("room"), QString("r1"));
    bar.actions()[2]->trigger();  // "Delete", after the status button and gap: no selection
    QCOMPARE(fired.count(), 0);
    list->topLevelItem(0)->setSelected(true);
    bar.actions()[2]->trigger();
    QVERIFY(fired.count() == 1 && fired[0][0].value<QWidget*>() == list);
    QCOMPARE(fired[0][1].toString(), QString("del"));
    QVERIFY(bar.GetKey("user") == "alice" && bar.GetKey("never").isEmpty());

    loose->setFocus();
    QTRY_COMPARE(Texts(bar), QStringList());
    other->setFocus();
    QTRY_COMPARE(Texts(bar), (QStringList{"Delete [on]", "Go"}));
    // Hiding and showing an action on screen both take effect at once.
    bar.SetWidgetActionHidden(other, "go", true);
    QCOMPARE(Texts(bar), QStringList{"Delete [on]"});
    bar.SetWidgetActionHidden(other, "go", false);
    QCOMPARE(Texts(bar), (QStringList{"Delete [on]", "Go"}));
    // A destroyed widget leaves nothing a later widget at its address could
    // inherit.
    bar.AddWidgetKey(other, "room", "r2");
    const QByteArray key = QByteArray::number(quintptr(other));
    delete other;
    QCOMPARE(Texts(bar), QStringList());
    QVERIFY(bar.StatusButton() && bar.SupportButton());
    QVERIFY(d.GetType("toolbar_action_widget")->HasItem(key.constData()).IsNull());
    for (const char* type : {"action_key_value_pair", "widget_action_hidden", "widget_action_text"})
        QCOMPARE(d.GetType(type)->ItemCount(), 1);
}

// An action whose handler asks twice, with the focus moving inside each real
// box and the bar rebuilt meanwhile: what the bar shows stays usable, and the
// first click after the boxes reaches its action without the focus coming
// back first.
void TestShell::toolBarRebuiltDuringItsOwnBoxes() {
    QMainWindow window;
    auto* bar = new ActionSetToolBar;
    window.addToolBar(bar);
    auto* entry = new QLineEdit;
    window.setCentralWidget(Page({entry}));
    for (const char* id : {"toggle_autojoin", "toggle_alert", "chat_log", "room_wall"})
        bar->AddSetAction("room", id, QString("Toggle the room's %1").arg(id), ":/icons/room_icon",
                          false);
    bar->AddSetAction("room", "give_up", "Give Up Room", ":/icons/room_icon", false);
    bar->AddSetAction("room", "other", "Other", ":/icons/room_icon", false);
    bar->AddSetAction("list", "x", "X", ":/icons/x.png", false);
    bar->RegisterWidget(window.centralWidget(), "room");
    bar->Init();
    QStringList fired;
    connect(bar, &ActionSetToolBar::ActionTriggered, this, [&fired](QWidget*, QString id) {
        fired << id;
        if (id == "give_up" && prompts::AskYesNo(nullptr, "Give up?", "Sure?"))
            prompts::AskYesNo(nullptr, "REALLY?", "REALLY?");
    });
    QStringList asked;
    prompts::SetBoxHandler([&asked, bar, &window](QWidget* parent, const prompts::Box& box) {
        asked << box.title;
        QMessageBox message(QMessageBox::Question, box.title, box.text,
                            QMessageBox::Yes | QMessageBox::No, parent);
        QTimer::singleShot(0, &message, [&message, &box, &asked, bar, &window] {
            if (!QTest::qWaitForWindowActive(&message))
                qWarning("the box did not become active");
            message.button(QMessageBox::No)->setFocus();
            QTest::qWait(0);
            message.button(QMessageBox::Yes)->setFocus();
            // Views rebuild the bar while the box is up, whatever the focus
            // does: another set, an empty bar, and the set again, changed.
            bar->ChangeSet(window.centralWidget(), "list");
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            bar->Clear();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            message.button(QMessageBox::No)->setFocus();
            bar->ChangeSet(window.centralWidget(), "room");
            bar->SetWidgetActionText(window.centralWidget(), "other", "Other " + box.title);
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            asked << Texts(*bar).mid(4).join(',');
            message.done(box.title == "REALLY?" ? QMessageBox::No : QMessageBox::Yes);
        });
        return QMessageBox::StandardButton(message.exec());
    });
    window.resize(1600, 600);
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    entry->setFocus();
    QTRY_COMPARE(Texts(*bar).mid(4), (QStringList{"Give Up Room", "Other"}));

    const auto button = [bar](const QString& text) -> QWidget* {
        for (QAction* a : bar->actions())
            if (a->isVisible() && a->text() == text)
                return bar->widgetForAction(a);
        return nullptr;
    };
    QPointer<QWidget> giveUp = button("Give Up Room");
    QVERIFY(giveUp);
    QTRY_VERIFY(giveUp->isVisible());
    QPointer<QAction> giveUpAction;
    for (QAction* a : bar->actions())
        if (bar->widgetForAction(a) == giveUp)
            giveUpAction = a;
    QTest::mouseClick(giveUp, Qt::LeftButton);
    // The button and action still on the stack under the boxes were not
    // deleted by the rebuilds; they stand for the same entry again.
    QVERIFY(giveUp && giveUpAction);
    QCOMPARE(bar->widgetForAction(giveUpAction), giveUp.data());
    QCOMPARE(giveUpAction->text(), QString("Give Up Room"));
    // Inside each box the bar kept the set, with the change made meanwhile.
    QCOMPARE(asked, (QStringList{"Give up?", "Give Up Room,Other Give up?", "REALLY?",
                                 "Give Up Room,Other REALLY?"}));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    // The first click after the boxes reaches its action, focus or not.
    QWidget* other = button("Other REALLY?");
    QVERIFY(other && other->isVisible());
    QTest::mouseClick(other, Qt::LeftButton);
    QCOMPARE(fired, (QStringList{"give_up", "other"}));
    prompts::SetBoxHandler(nullptr);
}

// A dialog of its own window, shown and closed again (Add User, note editor,
// Create Room): the set of the widget that had the focus stays on the bar
// throughout, and is the one shown when the focus comes back.
void TestShell::toolBarKeepsSetAcrossDialogs() {
    QMainWindow window;
    auto* bar = new ActionSetToolBar;
    window.addToolBar(bar);
    auto* list = new QTreeWidget;
    auto* entry = new QLineEdit;
    window.setCentralWidget(Page({list, entry}));
    bar->AddSetAction("users", "add", "Add User", ":/icons/add_user_icon", false);
    bar->RegisterWidget(list, "users");
    bar->Init();
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    list->setFocus();
    QTRY_COMPARE(Texts(*bar), QStringList{"Add User"});
    for (int round = 0; round < 2; ++round) {
        auto* dialog = new QDialog(&window);
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        auto* name = new QLineEdit(dialog);
        dialog->show();
        QVERIFY(QTest::qWaitForWindowActive(dialog));
        name->setFocus();
        QTRY_COMPARE(QApplication::focusWidget(), name);
        QCOMPARE(Texts(*bar), QStringList{"Add User"});
        dialog->close();
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        QTRY_COMPARE(QApplication::focusWidget(), list);
        QCOMPARE(Texts(*bar), QStringList{"Add User"});
        QCOMPARE(bar->ShownWidget(), list);
    }
    entry->setFocus();
    QTRY_COMPARE(Texts(*bar), QStringList());
}

// The longest set of the transfer pages at the default window width: every
// text and the support button stay on the bar, the icons give way first.
void TestShell::toolBarKeepsSupportButtonInView() {
    SetSetting("availability_status", "available");
    // The desktop's font, not the larger one of the offscreen platform.
    const QFont offscreen = QApplication::font();
    QApplication::setFont(QFont("DejaVu Sans", 9));
    const auto restore = qScopeGuard([&offscreen] { QApplication::setFont(offscreen); });
    QMainWindow window;
    auto* bar = new ActionSetToolBar;
    bar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    bar->setIconSize(QSize(16, 16));
    bar->setMovable(false);
    window.addToolBar(bar);
    auto* list = new QTreeWidget;
    window.setCentralWidget(Page({list}));
    for (const char* text : {"Expand Folders [on]", "Expand Users [on]",
                             "Clear Complete and Aborted", "Finish Uploads and Quit [off]"})
        bar->AddSetAction("uploads", text, text, ":/icons/wipe_icon", false);
    bar->RegisterWidget(list, "uploads");
    bar->Init();
    window.resize(1600, 600);
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    list->setFocus();
    QTRY_COMPARE(Texts(*bar).size(), 4);
    const auto allShown = [bar] {
        for (QAction* a : bar->actions())
            if (a->isVisible() && !a->text().isEmpty() && bar->widgetForAction(a)->isHidden())
                return false;
        return !bar->SupportButton()->isHidden();
    };
    QTRY_VERIFY(allShown());
    QCOMPARE(bar->toolButtonStyle(), Qt::ToolButtonTextBesideIcon);
    window.resize(1000, 600);
    QTRY_VERIFY(allShown());
    window.resize(1600, 600);
    QTRY_COMPARE(bar->toolButtonStyle(), Qt::ToolButtonTextBesideIcon);
    QTRY_VERIFY(allShown());
}

void TestShell::supportAndStatusButtons() {
    ActionSetToolBar bar;
    struct Case {
        const char *seconds, *supporter;
        QString text;
        bool star;
    };
    // Each row follows the one before: nothing stays from an earlier look.
    const Case cases[] = {{"1", "no", "0 Days Left", false},
                          {"43200", "yes", "1 Days Left", true},
                          {"129600", "yes", "2 Days Left", true},
                          {"0", "yes", "", true},
                          {"0", "no", "Support Tavenook!", false}};
    for (const Case& c : cases) {
        SetSetting("privileges_time_left", c.seconds);
        SetSetting("is_supporter", c.supporter);
        bar.OnReceivedOwnPrivilegesStatus(0);
        QCOMPARE(bar.SupportButton()->text(), c.text);
        QCOMPARE(!bar.SupportButton()->icon().isNull(), c.star);
        QCOMPARE(bar.SupportButton()->toolTip().isEmpty(), !c.star);
    }

    const QString name = "a b&c+d#\u00e9%";
    SetSetting("username", name);
    QDesktopServices::setUrlHandler("http", this, "open");
    bar.SupportButton()->click();
    QCOMPARE(urls.size(), 1);
    QCOMPARE(QUrlQuery(urls[0]).queryItemValue("username", QUrl::FullyDecoded), name);
    QCOMPARE(urls[0].toEncoded(),
             QByteArray("http://www.tavenook.net/qtlogin.php?username=a%20b%26c%2Bd%23%C3%A9%25"));

    // Without a server connection the status flips, the icon stays.
    SetSetting("availability_status", "available");
    bar.Clear();
    bar.StatusButton()->click();
    QCOMPARE(GetSetting("availability_status") + bar.StatusButton()->text(), QString("awayAway"));
    QCOMPARE(icons, QStringList());
}

void TestShell::eventToolBar() {
    auto* tabs = new TabWidget;
    auto *shown = new QLineEdit, *hidden = new QLineEdit, *doomed = new QLineEdit;
    auto* spare = new QLineEdit;
    auto& bar = *new EventToolBar;
    std::unique_ptr<QWidget> window(Page({tabs, spare, &bar}));
    tabs->addTab(shown, "shown");
    tabs->addTab(hidden, "hidden");
    tabs->addTab(doomed, "doomed");
    Shell().mainWidget = window.get();
    window->show();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    SetSetting("show_event_buttons", "yes");
    const ItemPtr file = d.GetType("event_sound_file")->GetItem("d.wav");
    d.GetType("event_sound")->GetItem("default").Connect(file);

    struct Case {
        QWidget* page;
        QString sound;
        bool repeat;
        QStringList sounds, buttons;
    };
    // Cumulative, with the main window active.
    const Case cases[] = {
        {shown, "download", false, {}, {""}},
        {hidden, "download", false, {"d.wav"}, {"ev"}},
        {hidden, "", false, {"d.wav"}, {"ev"}},
        {hidden, "", true, {"d.wav"}, {"ev", "ev"}},
        {doomed, "", false, {"d.wav"}, {"ev", "ev", "ev"}},
    };
    for (const Case& c : cases) {
        bar.AddEvent("ev", ":/icons/a.png", c.page, "pop", c.sound, c.repeat);
        bar.AlertPaceTimer()->stop();              // a second apart
        QCOMPARE(popups.size(), int(&c - cases));  // every event but the first
        QCOMPARE(sounds, c.sounds);
        QCOMPARE(Texts(bar, true), c.buttons);
        QCOMPARE(bar.isVisible(), c.page != shown);
    }
    QVERIFY(!tabs->IsTabMarked(0) && tabs->IsTabMarked(1) && tabs->IsTabMarked(2));
    QVERIFY(!bar.AlertTimer()->isActive());

    delete doomed;  // its button goes with it
    QCOMPARE(Texts(bar, true), (QStringList{"ev", "ev"}));
    bar.actions().first()->trigger();  // brings its page forward
    QVERIFY(tabs->currentIndex() == 1 && !tabs->IsTabMarked(1));
    QCOMPARE(Texts(bar, true), QStringList{"ev"});
    bar.RemoveEvents(hidden);
    QVERIFY(Texts(bar, true) == QStringList{""} && !bar.isVisible());
    SetSetting("show_event_buttons", "no");
    bar.AddEvent("ev", ":/icons/a.png", shown, "", "", false);
    QVERIFY(Texts(bar, true).isEmpty() && !bar.isVisible());

    // Main window inactive: the icon cycles the events' icons in name order,
    // then the normal icon, until the focus moves.
    QWidget inactive;
    Shell().mainWidget = &inactive;
    icons.clear();
    for (const char* icon : {":/icons/b.png", ":/icons/a.png", ":/icons/b.png"})
        bar.AddEvent("ev", icon, hidden, "", "", false);
    QVERIFY(bar.AlertTimer()->isActive());
    bar.AlertTimer()->stop();
    for (int tick = 0; tick < 4; ++tick)
        bar.OnIconAlertTimeout();
    QCOMPARE(icons, (QStringList{":/icons/a.png", ":/icons/b.png", "normal", ":/icons/a.png"}));
    bar.AlertTimer()->start();
    spare->setFocus();
    QTRY_VERIFY(!bar.AlertTimer()->isActive());
    Shell().mainWidget = nullptr;
}

// A flood of events while the main window is inactive: one balloon and one
// sound at once, then the latest of each once the second is over, then
// nothing until the next event, which is shown at once.
void TestShell::eventAlertsPaced() {
    auto* hidden = new QLineEdit;
    std::unique_ptr<QWidget> page(Page({hidden}));
    EventToolBar bar;
    QWidget inactive;
    Shell().mainWidget = &inactive;
    const ItemPtr file = d.GetType("event_sound_file")->GetItem("d.wav");
    d.GetType("event_sound")->GetItem("default").Connect(file);
    for (int i = 0; i < 1000; ++i)
        bar.AddEvent("ev", ":/icons/a.png", hidden, QString::number(i), "private_chat", false);
    QCOMPARE(popups, QStringList{"0"});
    QCOMPARE(sounds, QStringList{"d.wav"});
    for (const QStringList& shown : {QStringList{"0", "999"}, QStringList{"0", "999"}}) {
        QVERIFY(bar.AlertPaceTimer()->isActive());
        bar.AlertPaceTimer()->stop();
        bar.OnAlertPaceTimeout();
        QCOMPARE(popups, shown);
        QCOMPARE(sounds.size(), 2);
    }
    QVERIFY(!bar.AlertPaceTimer()->isActive());
    bar.AddEvent("ev", ":/icons/a.png", hidden, "next", "", false);
    QCOMPARE(popups.last(), QString("next"));
    Shell().mainWidget = nullptr;
}

namespace {
// The wave with the 32-bit field at `at` set to `value`.
QByteArray WaveWith(int at, quint32 value, QByteArray bytes = Wave()) {
    QByteArray field(4, '\0');
    for (int k = 0; k < 4; ++k)
        field[k] = char(value >> (8 * k));
    return bytes.replace(at, 4, field);
}
// The wave with an unknown chunk between its header and its format.
QByteArray WaveWithList() {
    const QByteArray wave = Wave();
    return WaveWith(4, quint32(wave.size() - 8 + 12),
                    wave.left(12) + "LIST" + QByteArray("\4\0\0\0abcd", 8) + wave.mid(12));
}
}  // namespace

// The real player, with no sound server here. Only a file that reads as a
// whole wave reaches the sound loader: with fewer bytes than its header,
// format or samples need, the loader would wait for them for ever, and
// would set aside whatever memory "data" claims. One effect per file however
// many plays, a file that failed is said once and never tried again, and
// every load ends.
void TestShell::soundPlayerKeepsOneEffect_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("loaded");  // handed to the sound loader
    QTest::addColumn<bool>("failed");  // said once, not tried again
    const QByteArray wave = Wave();
    QTest::newRow("a whole wave") << wave << true << false;
    QTest::newRow("a chunk before the format") << WaveWithList() << true << false;
    // A format the loader does not decode: it says so itself.
    QTest::newRow("samples the loader cannot read") << WaveWith(20, 0x10055) << true << true;
    QTest::newRow("no sound") << QByteArray("not a sound\n").repeated(100) << false << true;
    QTest::newRow("empty") << QByteArray() << false << true;
    QTest::newRow("shorter than a header") << QByteArray("not a sound") << false << true;
    QTest::newRow("the header alone") << wave.left(12) << false << true;
    QTest::newRow("the format cut") << wave.left(30) << false << true;
    QTest::newRow("no samples") << wave.left(44) << false << true;
    QTest::newRow("no data chunk") << wave.left(36) << false << true;
    QTest::newRow("data before the format")
        << wave.left(12) + wave.mid(36, 8) + wave.mid(12, 24) + wave.mid(44) << false << true;
    QTest::newRow("samples cut") << wave.chopped(1) << false << true;
    QTest::newRow("4 GiB of samples claimed") << WaveWith(40, 0xFFFFFFF0) << false << true;
    QTest::newRow("a chunk past the end") << WaveWith(16, 0x7FFFFFFF) << false << true;
    QTest::newRow("a file that is not there") << QByteArray("absent") << false << true;
    QTest::newRow("a FIFO") << QByteArray("fifo") << false << true;
}

void TestShell::soundPlayerKeepsOneEffect() {
    QFETCH(QByteArray, bytes);
    QFETCH(bool, loaded);
    QFETCH(bool, failed);
    QTemporaryDir dir;
    const QString path = dir.filePath("sound.wav");
    if (bytes == "fifo")
        QCOMPARE(mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    else if (bytes != "absent")
        QVERIFY(Write(path, bytes));
    Said said;
    LiveObjects live;
    SoundPlayer player;
    for (int i = 0; i < 50; ++i)
        player.play(path);
    QCOMPARE(live.Count("QSoundEffect"), int(loaded));
    QVERIFY(SoundPlayer::WaitForLoads(60000));
    const int made = live.Made();
    for (int i = 0; i < 50; ++i)
        player.play(path);
    QCOMPARE(live.Made(), made);
    QCOMPARE(said.lines.filter(path).size(), int(failed));
}

// Mangled waves: the check reads any bytes, and every file it lets through
// reaches the end of its load.
void TestShell::soundFilesFuzzed() {
    fuzz::Rng rng(55);
    QTemporaryDir dir;
    SoundPlayer player;
    int accepted = 0, played = 0;
    for (int i = 0; i < 4000; ++i) {
        QByteArray bytes = fuzz::Mutate(rng, i % 2 ? Wave() : WaveWithList());
        QBuffer buffer(&bytes);
        QVERIFY(buffer.open(QIODevice::ReadOnly));
        if (!WholeWave(buffer))
            continue;
        ++accepted;
        if (played < 30 && bytes != Wave() && bytes != WaveWithList()) {
            const QString path = dir.filePath(QString("%1.wav").arg(i));
            QVERIFY(Write(path, bytes));
            player.play(path);
            ++played;
        }
    }
    QVERIFY2(played == 30 && accepted < 4000, qPrintable(QString::number(accepted)));
    QVERIFY(SoundPlayer::WaitForLoads(120000));
}

void TestShell::windowsListsAndSplitters() {
    SizeManager sizes;
    FakeWindow first, second, third;
    sizes.RegisterResizableWindow("main_window", &first);
    sizes.RegisterResizableWindow("other", &second);  // same width: one shared item
    QCOMPARE(d.GetType("sizer_width")->ItemCount(), 1);
    emit first.WindowMoved(5, 6);
    emit first.WindowResized(640, 480);
    QCOMPARE(d.GetType("sizer_width")->ItemCount(), 2);
    emit second.WindowResized(640, 100);  // 300 is left unused and goes
    QCOMPARE(d.GetType("sizer_width")->ItemCount(), 1);
    sizes.RegisterResizableWindow("main_window", &third);
    QCOMPARE(third.g, QRect(5, 6, 640, 480));

    // Lists of one name share their widths, without re-entering; a stretched
    // last section is not kept; closing every list keeps the record.
    const auto list = []() {
        auto* tree = new QTreeWidget;
        tree->setColumnCount(3);
        return tree;
    };
    std::unique_ptr<QTreeWidget> a(list()), b(list());
    a->header()->resizeSection(0, 123);
    sizes.RegisterTreeWidget("search_results", a.get());
    sizes.RegisterTreeWidget("search_results", b.get());
    QCOMPARE(b->header()->sectionSize(0), 123);
    b->header()->resizeSection(1, 77);
    QCOMPARE(a->header()->sectionSize(1), 77);
    a->header()->resizeSection(0, 55);
    QCOMPARE(b->header()->sectionSize(0), 55);
    QCOMPARE(d.GetType("sizer_tree_column")->ItemCount(), 2);
    b.reset(list());
    a.reset();
    sizes.RegisterTreeWidget("search_results", b.get());
    QCOMPARE(d.GetType("sizer_tree_widget")->ItemCount(), 1);
    QCOMPARE(QPoint(b->header()->sectionSize(0), b->header()->sectionSize(1)), QPoint(55, 77));
    sizes.ForgetTreeWidget("never_registered");
    sizes.ForgetTreeWidget("search_results");
    b.reset(list());
    sizes.RegisterTreeWidget("search_results", b.get());
    QCOMPARE(b->header()->sectionSize(0), b->header()->defaultSectionSize());

    // Splitters: a given list is recorded as it is, an empty one takes the
    // present sizes; a move reaches every splitter of the name.
    QSplitter one, two, three, four;
    for (QSplitter* s : {&one, &two, &three, &four}) {
        s->addWidget(new QWidget);
        s->addWidget(new QWidget);
        s->resize(300 + s->handleWidth(), 100);  // room for exactly 300
    }
    one.setSizes({250, 50});
    sizes.RegisterSplitter("wish_list_splitter", &one, {200, 100});
    QCOMPARE(one.sizes(), (QList<int>{250, 50}));
    sizes.RegisterSplitter("wish_list_splitter", &two);
    QCOMPARE(two.sizes(), (QList<int>{200, 100}));
    three.setSizes({40, 260});
    sizes.RegisterSplitter("room_splitter", &three);
    sizes.RegisterSplitter("room_splitter", &four);
    QCOMPARE(four.sizes(), (QList<int>{40, 260}));
    two.setSizes({120, 180});
    emit two.splitterMoved(120, 1);
    QCOMPARE(one.sizes(), (QList<int>{120, 180}));
    QCOMPARE(three.sizes(), (QList<int>{40, 260}));
}

void TestShell::sortableRows() {
    struct Case {
        QString a, b;
        int marks;  // 1 numeric, 2 reversed, 4 no model
        bool less;  // a < b; b < a never holds
    };
    const Case cases[] = {{"2,147,483,647", "2,147,483,648", 1, true},
                          {"no digits", "0", 1, false},
                          {"3 MB", "12 KB", 1, true},
                          {"99999999999999999999", "1", 1, true},
                          {"B", "a", 0, true},
                          {"10", "9", 4, true},
                          {"20", "3", 3, true},
                          {"5", "5", 3, false}};
    for (const Case& c : cases) {
        ColumnSortingModel model;
        if (c.marks & 1)
            model.SetColumnSortingNumeric(1);
        if (c.marks & 2)
            model.SetColumnSortingReversed(1);
        QTreeWidget list;
        list.setColumnCount(2);
        list.sortItems(1, Qt::AscendingOrder);
        auto *first = new TreeWidgetItem(&list), *second = new TreeWidgetItem(&list);
        first->setText(0, c.b);  // the other column must not count
        first->setText(1, c.a);
        second->setText(1, c.b);
        for (TreeWidgetItem* row : {first, second})
            row->SetSortingModel(c.marks & 4 ? nullptr : &model);
        QVERIFY2((*first < *second) == c.less && !(*second < *first), qPrintable(c.a + " " + c.b));
    }
}

void TestShell::singleInstance() {
    auto* app = static_cast<Application*>(qApp);
    QVERIFY(!app->isRunning());
    QSignalSpy received(app, &Application::messageReceived);
    auto second = Start(app->id(), "open these files");
    QTRY_VERIFY_WITH_TIMEOUT(second->state() == QProcess::NotRunning, 120000);
    QVERIFY(second->exitStatus() == QProcess::NormalExit && second->exitCode() == 0);
    QTRY_COMPARE_WITH_TIMEOUT(received.count(), 1, 120000);
    QCOMPARE(received[0][0].toString(), QString("open these files"));
    QLocalSocket flood;  // too much from a local client: cut off, nothing delivered
    flood.connectToServer(app->serverName());
    flood.write(QByteArray(Application::kMaxMessageBytes + 1, 'x'));
    QTRY_COMPARE_WITH_TIMEOUT(flood.state(), QLocalSocket::UnconnectedState, 120000);
    QCOMPARE(received.count(), 1);

    // A first instance that died without unlocking blocks no later start.
    const QString id = app->id() + "Crash";
    for (int round = 0; round < 2; ++round) {
        auto holder = Start(id, "unused");
        QTRY_VERIFY_WITH_TIMEOUT(holder->canReadLine(), 120000);
        QCOMPARE(holder->readLine().trimmed(), QByteArray("primary"));
        holder->kill();
        QVERIFY(holder->waitForFinished(120000));
    }
    for (const QString& left : QDir::temp().entryList({id + "-*"}, QDir::Files | QDir::System))
        QDir::temp().remove(left);

    // Logout saves, closing nothing. No manager can be made; none is used.
    int saves = 0;
    Shell().saveData = [&saves]() { ++saves; };
    alignas(QSessionManager) char manager[sizeof(QSessionManager)] = {};
    emit app->commitDataRequest(*reinterpret_cast<QSessionManager*>(manager));
    Shell().saveData = nullptr;
    QCOMPARE(saves, 1);
    QVERIFY(!QGuiApplication::isFallbackSessionManagementEnabled());
}

// The binary doubles as a later start: "--instance ID MESSAGE" hands MESSAGE
// to the instance holding ID and exits 0, or prints "primary" and waits.
int main(int argc, char** argv) {
    const bool instance = argc == 4 && QByteArray(argv[1]) == "--instance";
    // Tests use an identifier of their own, so that no real instance is touched.
    const QString ownId = QString("TavenookTest%1").arg(QCoreApplication::applicationPid());
    Application app(instance ? QString::fromLocal8Bit(argv[2]) : ownId, argc, argv);
    if (instance && app.isRunning())
        return app.sendMessage(QString::fromLocal8Bit(argv[3])) ? 0 : 2;
    if (instance) {
        QTextStream(stdout) << "primary" << Qt::endl;
        return app.exec();
    }
    TestShell test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_shell.moc"
