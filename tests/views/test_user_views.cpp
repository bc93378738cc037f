#include <QtTest>
#include <QtWidgets>
#include <algorithm>
#include <functional>
#include <memory>
#include <random>

#include "net/PeerMessenger.h"
#include "net/PeerPayloads.h"
#include "net/server.h"
#include "shares/SharedFoldersManager.h"
#include "shell/EventToolBar.h"
#include "shell/Prompts.h"
#include "shell/ShellGlobals.h"
#include "shell/mainwindow.h"
#include "store/ConfigurationImporter.h"
#include "store/DataSaver.h"
#include "store/Settings.h"
#include "store/TimerManager.h"
#include "support/ColumnFit.h"
#include "support/Fuzz.h"
#include "support/Payload.h"
#include "support/RawPeer.h"
#include "support/SharesIndexed.h"
#include "support/TestFiles.h"
#include "support/TestServer.h"
#include "support/UserListRows.h"
#include "support/WindowStart.h"
#include "transfers/TransferQueueManager.h"
#include "ui_ChatForm.h"
#include "ui_RoomForm.h"
#include "ui_mainwindow.h"
#include "views/chat/ChatForm.h"
#include "views/chat/ChatsForm.h"
#include "views/chat/MessageUsersDialog.h"
#include "views/chat/RoomForm.h"
#include "views/chat/RoomTabWidget.h"
#include "views/chat/RoomsForm.h"
#include "views/search/SearchForm.h"
#include "views/search/SearchResultsForm.h"
#include "views/shares/ItemLogDialog.h"
#include "views/shares/ShareForm.h"
#include "views/shares/SharesForm.h"
#include "views/shares/UploadForm.h"
#include "views/transfers/TransfersForm.h"
#include "views/users/AddUserDialog.h"
#include "views/users/GiftPrivilegesDialog.h"
#include "views/users/UserGroupsDialog.h"
#include "views/users/UserInfoForm.h"
#include "views/users/UserListForm.h"
#include "views/users/UserMenuOptions.h"
#include "views/users/UserNoteDialog.h"

namespace {

const int kWait = 10000;

QByteArray LoginPayload(const QString& user) {
    const QByteArray digest =
        QCryptographicHash::hash((user + "pw").toUtf8(), QCryptographicHash::Md5).toHex();
    return Payload().Str(user).Str("pw").U32(157).U32(100).Str(QString::fromLatin1(digest));
}

// The menu as text: "-" for a separator, "title{...}" for a submenu.
QString Entries(QMenu* menu) {
    QStringList out;
    for (QAction* action : menu->actions()) {
        if (action->isSeparator())
            out << "-";
        else if (action->menu())
            out << action->text() + "{" + Entries(action->menu()) + "}";
        else
            out << action->text();
    }
    return out.join(',');
}

QAction* FindAction(QMenu* menu, const QString& text, const QString& room = QString()) {
    for (QAction* action : menu->actions()) {
        if (action->menu()) {
            if (QAction* found = FindAction(action->menu(), text, room))
                return found;
        } else if (action->text() == text && (room.isEmpty() || action->data() == room)) {
            return action;
        }
    }
    return nullptr;
}

QByteArray Png(int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

QByteArray InfoReply(const QString& description, const QByteArray& picture, bool hasPicture) {
    Payload reply;
    reply.Str(description).U8(hasPicture ? 1 : 0);
    if (hasPicture)
        reply.U32(quint32(picture.size())).Raw(picture);
    return reply.U32(10).U32(3).U8(1);
}

// The links and images of a document: whatever markup took effect.
QStringList Markup(QTextDocument* document) {
    QStringList found;
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextCharFormat format = it.fragment().charFormat();
            if (format.isAnchor())
                found << "a " + format.anchorHref();
            if (format.isImageFormat())
                found << "img " + format.toImageFormat().name();
        }
    }
    return found;
}

// A label as a tab, button or menu shows it: "&&" reads "&", a lone "&"
// marks the next letter as the accelerator and is not shown.
QString Shown(const QString& label) {
    QString shown;
    for (int k = 0; k < label.size(); ++k) {
        if (label[k] == '&' && k + 1 < label.size())
            ++k;
        shown += label[k];
    }
    return shown;
}

// The users named first in the client's frames of this code.
QSet<QString> AskedAbout(const QList<QPair<quint32, QByteArray>>& frames, quint32 code) {
    QSet<QString> users;
    for (const auto& [frameCode, payload] : frames) {
        if (frameCode != code || payload.size() < 4)
            continue;
        const int size = int(qFromLittleEndian<quint32>(payload.constData()));
        users.insert(QString::fromUtf8(payload.mid(4, size)));
    }
    return users;
}

template <typename T>
QList<T*> TopLevel() {
    QList<T*> found;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* typed = qobject_cast<T*>(widget))
            found << typed;
    return found;
}

}  // namespace

class TestUserViews : public QObject {
    Q_OBJECT
    QTemporaryDir m_home;
    TestServer m_server;
    std::unique_ptr<MainWindow> m_window;
    QStringList m_boxes;
    bool m_yes = false;

    // One client, "me", logged in to the loopback server, its peer port on
    // loopback too.
    // `started` runs once the window is up, before any turn of the event loop.
    void Start(const std::function<void()>& started = {}) {
        qputenv("TAVENOOK_USERNAME", "me");
        m_window = StartMainWindow();
        qunsetenv("TAVENOOK_USERNAME");
        if (started)
            started();
        peerMessenger->SetListenAddress(QHostAddress::LocalHost);
        SetSetting("listening_port", 0);
        SetSetting("obfuscated_listening_port", 0);
        QVERIFY(peerMessenger->Listen());
        QTRY_VERIFY_WITH_TIMEOUT(m_server.IsLoggedIn("me") && gp_server->IsConnected(), kWait);
    }
    void Stop() {
        m_window.reset();
        QTRY_VERIFY_WITH_TIMEOUT(!m_server.IsLoggedIn("me"), kWait);
    }
    bool LogInOther(RawPeer& peer, const QString& user) {
        return peer.ConnectTo(m_server.Port()) &&
               (peer.SendRaw(RawPeer::Frame(1, LoginPayload(user))), true) &&
               RawPeer::WaitUntil([&] { return m_server.IsLoggedIn(user); });
    }
    // A messaging connection from `user`, proven by a round trip.
    static bool ConnectAsPeer(RawPeer& peer, const QString& user) {
        // Hers: from the address the server gives for her.
        d.GetType("user")
            ->GetItem(Value(user))
            .Connect(d.GetType("user_address")->GetItem(Value(quint32(0x7F000001))));
        if (!peer.ConnectTo(peerMessenger->ListeningPort()))
            return false;
        peer.SendSetUp(user, "P");
        peer.SendMessage(PeerMessenger::PM_SHARED_FILE_LIST_REQUEST);
        quint32 code = 0;
        QByteArray payload;
        return peer.WaitForMessage(&code, &payload, kWait) &&
               code == PeerMessenger::PM_SHARED_FILE_LIST;
    }
    QByteArray Expect(quint32 code) {
        QByteArray payload;
        return m_server.WaitForMessage("me", code, kWait, &payload) ? payload
                                                                    : QByteArray("<none>");
    }
    QString Entries(const QString& user) {
        QMenu menu;
        UserMenuOptions options(&menu, user);
        return ::Entries(&menu);
    }
    void Trigger(const QString& user, const QString& text, const QString& room = QString()) {
        QMenu menu;
        UserMenuOptions options(&menu, user);
        QAction* action = FindAction(&menu, text, room);
        QVERIFY2(action, qPrintable(text));
        action->trigger();
    }

private slots:
    void initTestCase() {
        QVERIFY(m_home.isValid());
        qputenv("HOME", m_home.path().toUtf8());
        QVERIFY(m_server.Listen());
        qputenv("TAVENOOK_SERVER", m_server.Address().toUtf8());
        prompts::SetBoxHandler([this](QWidget*, const prompts::Box& box) {
            m_boxes << box.title + ": " + box.text;
            return box.question && m_yes ? QMessageBox::Yes : QMessageBox::No;
        });
    }
    void init() {
        m_boxes.clear();
        m_yes = false;
        Start();
    }
    void cleanup() {
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (qobject_cast<QDialog*>(widget))
                delete widget;
        prompts::SetMenuHandler(nullptr);
        Stop();
        m_server.ClearReceived("me");
        // Each case starts from an empty store.
        for (const QString& file :
             QDir(m_home.path()).entryList({".Tavenook*"}, QDir::Hidden | QDir::Files))
            QFile::remove(m_home.filePath(file));
    }
    void cleanupTestCase() { prompts::SetBoxHandler(nullptr); }

    void listsFollowTheStore();
    void addingUsersAndTheirOnlineState();
    void countsAndSpeedsFit_data();
    void countsAndSpeedsFit();
    void userInfoBothWays();
    void descriptionCutBetweenCharacters_data();
    void descriptionCutBetweenCharacters();
    void fuzzUserInfoReplyIntoPage();
    void userMenuEntries_data();
    void userMenuEntries();
    void userMenuActions();
    void listsOpenTheUserMenu();
    void userMenuInEveryPlace();
    void notesArePlainTextAndSurviveRestart();
    void giftPrivileges();
    void groupsAndTheirPriorities();
    void messageToSeveralUsers();
    void namesWithAmpersandShowInFull();
    void longListsComeWhole_data();
    void longListsComeWhole();
    void loginAsksAboutEveryListedUser();
};

// Each step changes the store; every list shows what the store then holds,
// the user list with online users first, each part by name without case.
void TestUserViews::listsFollowTheStore() {
    QTableView* list = userListForm->List();
    QAbstractItemModelTester tester(list->model(),
                                    QAbstractItemModelTester::FailureReportingMode::QtTest);
    auto listed = [](const QString& user) { User(user).NewItem("in_user_list"); };
    auto group = [](const QString& user, const QString& name) {
        User(user)["in_user_list"].Connect(d.GetType("user_list_group")->GetItem(name));
    };
    auto number = [](const QString& user, const char* type, qint64 value) {
        User(user).Connect(d.GetType(type)->GetItem(value));
    };
    const struct {
        const char* step;
        std::function<void()> change;
        QStringList userList, ignored, alerts;
    } steps[] = {
        {"three listed",
         [&] { listed("carol"), listed("Bob"), listed("alice"); },
         {"alice|||||off", "Bob|||||off", "carol|||||off"},
         {},
         {}},
        {"online first",
         [] { Flag("Bob", "is_online", true), Flag("carol", "is_online", true); },
         {"Bob|||||on", "carol|||||on", "alice|||||off"},
         {},
         {}},
        {"statistics",
         [&] {
             number("Bob", "shared_file_count", 1234),
                 number("Bob", "average_download_speed", 1536);
             number("carol", "shared_file_count", 0), number("carol", "average_download_speed", 0);
         },
         {"Bob|1,234|1.5|||on", "carol|||||on", "alice|||||off"},
         {},
         {}},
        {"groups upper case first",
         [&] { group("Bob", "alpha"), group("Bob", "Zeta"); },
         {"Bob|1,234|1.5|Zeta, alpha||on", "carol|||||on", "alice|||||off"},
         {},
         {}},
        {"notes in every list",
         [&] {
             User("Bob").Connect(d.GetType("user_note")->GetItem("<b>late</b>"));
             Flag("Bob", "is_ignored", true);
         },
         {"Bob|1,234|1.5|Zeta, alpha|<b>late</b>*|on", "carol|||||on", "alice|||||off"},
         {"Bob|<b>late</b>*|"},
         {}},
        {"offline goes last",
         [] { Flag("Bob", "is_online", false); },
         {"carol|||||on", "alice|||||off", "Bob|1,234|1.5|Zeta, alpha|<b>late</b>*|off"},
         {"Bob|<b>late</b>*|"},
         {}},
        {"note removed, group left",
         [&] {
             User("Bob").Disconnect("user_note");
             User("Bob")["in_user_list"].Disconnect(d.GetType("user_list_group")->GetItem("Zeta"));
         },
         {"carol|||||on", "alice|||||off", "Bob|1,234|1.5|alpha||off"},
         {"Bob||"},
         {}},
        // An alerted user who is not listed loses the online mark all the same.
        {"alerts, listed or not",
         [] {
             Flag("dave", "is_online", true), Flag("dave", "user_online_alert", true);
             Flag("carol", "user_online_alert", true);
         },
         {"carol|||||on", "alice|||||off", "Bob|1,234|1.5|alpha||off"},
         {"Bob||"},
         {"carol|on", "dave|on"}},
        {"alerted go offline",
         [] { Flag("dave", "is_online", false), Flag("carol", "is_online", false); },
         {"alice|||||off", "Bob|1,234|1.5|alpha||off", "carol|||||off"},
         {"Bob||"},
         {"carol|off", "dave|off"}},
        {"rows go with their marks",
         [] {
             User("Bob")["in_user_list"].Remove();
             Flag("Bob", "is_ignored", false), Flag("dave", "user_online_alert", false);
         },
         {"alice|||||off", "carol|||||off"},
         {},
         {"carol|off"}},
    };
    for (const auto& step : steps) {
        step.change();
        // A burst of changes is sorted in one go, shortly after.
        QTRY_COMPARE(Rows(list, 4), step.userList);
        QCOMPARE(Rows(userListForm->IgnoredList(), 1), step.ignored);
        QCOMPARE(Rows(userListForm->OnlineAlertList(), -1), step.alerts);
    }
    QVERIFY(User("Bob")["user_list_node"].IsNull());

    // Rows added in a burst go in around the current, selected row.
    list->setCurrentIndex(list->model()->index(1, 0));
    QCOMPARE(list->currentIndex().data().toString(), QString("carol"));
    for (const char* name : {"bea", "zed", "abe"})
        listed(name);
    QTRY_COMPARE(Rows(list, 4), (QStringList{"abe|||||off", "alice|||||off", "bea|||||off",
                                             "carol|||||off", "zed|||||off"}));
    QCOMPARE(list->currentIndex().data().toString(), QString("carol"));
    QCOMPARE(list->selectionModel()->selectedRows(), QModelIndexList{list->currentIndex()});
}

// The largest file count and the fastest speed the server can report
// (4,194,304.0 KB/s, as many digits as 9,999,999.9) read in full in the user
// list, in the default font and in one twice as large.
void TestUserViews::countsAndSpeedsFit_data() {
    QTest::addColumn<qreal>("fontScale");
    QTest::newRow("default font") << 1.0;
    QTest::newRow("large font") << 2.0;
}

void TestUserViews::countsAndSpeedsFit() {
    QFETCH(qreal, fontScale);
    Stop();
    // A new store: the old one would bring its own font back.
    for (const QString& file :
         QDir(m_home.path()).entryList({".Tavenook*"}, QDir::Hidden | QDir::Files))
        QFile::remove(m_home.filePath(file));
    ScaledAppFont font(fontScale);
    Start();
    UserStats stats;
    stats.SetFiles(9999999);
    stats.SetAverageSpeed(0xFFFFFFFF);
    m_server.SetUserStats("max", stats);
    User("max").NewItem("in_user_list");
    QTableView* list = userListForm->List();
    QTRY_COMPARE_WITH_TIMEOUT(Rows(list, 4), QStringList{"max|9,999,999|4194304.0|||off"}, kWait);
    for (const int column : {1, 2}) {
        const QString cut = CutInColumn(list, column);
        QVERIFY2(cut.isEmpty(), qPrintable(cut));
    }
}

// Through the server: a name it knows is added with its state and
// statistics; one it does not know is not; online and offline follow.
void TestUserViews::addingUsersAndTheirOnlineState() {
    UserStats stats;
    stats.SetFiles(1234);
    stats.SetAverageSpeed(1536);
    m_server.SetUserStats("bob", stats);
    RawPeer bob, carol;
    QVERIFY(LogInOther(bob, "bob") && LogInOther(carol, "carol"));

    userListForm->OnActionBarTriggered(nullptr, "manual_add_user");
    userListForm->OnActionBarTriggered(nullptr, "manual_add_user");
    const QList<AddUserDialog*> dialogs = userListForm->findChildren<AddUserDialog*>();
    QCOMPARE(dialogs.size(), 2);
    AddUserDialog* dialog = dialogs[0];
    auto* name = dialog->findChild<QLineEdit*>("userNameEdit");
    auto* status = dialog->findChild<QLineEdit*>("statusEdit");
    auto* button = dialog->findChild<QPushButton*>("addFriendButton");
    auto add = [&](const QString& text) {
        name->setText(text);
        QTest::mouseClick(button, Qt::LeftButton);
    };
    add("   ");
    QCOMPARE(status->text(), QString("User name must not be empty."));
    add("  bob ");
    QVERIFY(name->isReadOnly() && !button->isEnabled());
    QCOMPARE(status->text(), QString("Adding user..."));
    QTRY_COMPARE_WITH_TIMEOUT(status->text(), QString("User added to list."), kWait);
    QVERIFY(!name->isReadOnly() && button->isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(Rows(userListForm->List(), 4), QStringList{"bob|1,234|1.5|||on"},
                              kWait);
    add("bob");
    QCOMPARE(status->text(), QString("User already in list."));
    // An answer about another name, arriving first, is not the one asked for.
    add("nobody");
    m_server.SendTo("me", 5,
                    Payload().Str("zed").U8(1).U32(2).U32(0).U64(0).U32(0).U32(0).Str("DE"));
    QTRY_COMPARE_WITH_TIMEOUT(status->text(), QString("User name does not exist."), kWait);
    QVERIFY(User("nobody")["in_user_list"].IsNull() && User("zed")["in_user_list"].IsNull());

    // The alert asks the server to watch carol; both are told of logouts.
    Trigger("carol", "Alert when user goes online");
    QTRY_COMPARE_WITH_TIMEOUT(Rows(userListForm->OnlineAlertList(), -1), QStringList{"carol|on"},
                              kWait);
    carol.Close();
    bob.Close();
    QTRY_COMPARE_WITH_TIMEOUT(Rows(userListForm->OnlineAlertList(), -1), QStringList{"carol|off"},
                              kWait);
    QTRY_COMPARE_WITH_TIMEOUT(Rows(userListForm->List(), 4), QStringList{"bob|1,234|1.5|||off"},
                              kWait);
    RawPeer again;
    QVERIFY(LogInOther(again, "bob"));
    QTRY_COMPARE_WITH_TIMEOUT(Rows(userListForm->List(), 4), QStringList{"bob|1,234|1.5|||on"},
                              kWait);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
}

// Asked by a peer, the reply carries the own description, picture and queue;
// asking a peer, the page shows its reply as text, never as its markup.
void TestUserViews::userInfoBothWays() {
    QTemporaryDir files;
    const QString picture = files.filePath("me.png");
    const QString huge = files.filePath("huge.png");
    {
        QFile file(picture);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(Png(20, 10)) > 0);
        QFile big(huge);
        QVERIFY(big.open(QIODevice::WriteOnly) && big.resize(10485760));
    }
    SetSetting("user_description", "a\nb");
    SetSetting("upload_slots", 10);
    RawPeer bob;
    QVERIFY(ConnectAsPeer(bob, "bob"));
    auto ask = [&bob] {
        bob.SendMessage(PeerMessenger::PM_USER_INFO_REQUEST);
        quint32 code = 0;
        QByteArray payload;
        return bob.WaitForMessage(&code, &payload, kWait) &&
                       code == PeerMessenger::PM_USER_INFO_REPLY
                   ? payload
                   : QByteArray();
    };
    const struct {
        QString file;
        bool hasPicture;
    } pictures[] = {{"", false}, {picture, true}, {huge, false}, {files.filePath("gone"), false}};
    for (const auto& p : pictures) {
        SetSetting("user_picture_file", p.file);
        const QByteArray reply = ask();
        QVERIFY(reply.startsWith(QByteArray("\x04\0\0\0a\r\nb", 8)));
        MemStream in(reply);
        UserInfoReply info;
        QVERIFY(ParseUserInfoReply(in, info) && in.BytesLeft() == 0);
        QCOMPARE(info.hasPicture, p.hasPicture);
        if (p.hasPicture) {
            QFile file(picture);
            QVERIFY(file.open(QIODevice::ReadOnly));
            QCOMPARE(info.picture, file.readAll());
        }
        QCOMPARE(info.uploadSlots, 10);
        QVERIFY(info.queuedUploads == 0 && info.freeSlot);
    }

    // The other way: one page per user, a request on opening it.
    UserInfoForm* page = userListForm->GetUserInfoForm("bob");
    QCOMPARE(userListForm->GetUserInfoForm("bob"), page);
    QCOMPARE(page->Text()->toPlainText(), QString("Requesting..."));
    quint32 code = 0;
    QByteArray payload;
    QVERIFY(bob.WaitForMessage(&code, &payload, kWait));
    QCOMPARE(code, quint32(PeerMessenger::PM_USER_INFO_REQUEST));
    // Asked once only: a second request would be on the wire before our
    // answer to bob's next question, which comes next on the same connection.
    bob.SendMessage(PeerMessenger::PM_SHARED_FILE_LIST_REQUEST);
    QVERIFY(bob.WaitForMessage(&code, &payload, kWait));
    QCOMPARE(code, quint32(PeerMessenger::PM_SHARED_FILE_LIST));
    QTextDocument* document = page->Text()->document();
    auto shown = [&] {
        return document->resource(QTextDocument::ImageResource, QUrl("UserImage")).value<QImage>();
    };
    const QString hostile =
        "<img src=\"file:///etc/passwd\"><a href=\"file:///etc/hosts\">x</a>&lt;\nline two";
    const struct {
        QString description;
        QByteArray picture;
        bool hasPicture;
        QString text;
        QSize image;
    } replies[] = {
        {"", QByteArray(), false, "No user info.", QSize(0, 0)},
        {hostile, QByteArray(), false, hostile, QSize(0, 0)},
        {"wide", Png(1000, 300), true, "\xef\xbf\xbc\nwide", QSize(800, 240)},
        {"", Png(500, 400), true, "\xef\xbf\xbc\n", QSize(500, 400)},
        {"too big", Png(4097, 8), true, "too big", QSize(0, 0)},
        {"not a picture", "GIF89a garbage", true, "not a picture", QSize(0, 0)},
    };
    for (const auto& r : replies) {
        document->addResource(QTextDocument::ImageResource, QUrl("UserImage"), QImage());
        bob.SendMessage(PeerMessenger::PM_USER_INFO_REPLY,
                        InfoReply(r.description, r.picture, r.hasPicture));
        QTRY_COMPARE_WITH_TIMEOUT(page->Text()->toPlainText(), r.text, kWait);
        QVERIFY(!page->IsRequesting());
        QCOMPARE(shown().size(), r.image);
        QCOMPARE(Markup(document),
                 r.image.isEmpty() ? QStringList() : QStringList{"img UserImage"});
        page->Text()->clear();
    }
    QVERIFY(!page->Text()->openLinks() && !page->Text()->openExternalLinks());
    QCOMPARE(page->findChild<QLineEdit*>("uploadSlotsEdit")->text() +
                 page->findChild<QLineEdit*>("queuedUploadsEdit")->text() +
                 page->findChild<QLineEdit*>("freeToUploadEdit")->text(),
             QString("103Yes"));

    // A failure after the reply is ignored; closing the tab lets a new page ask.
    emit peerMessenger->ConnectionToUserFailed("bob", "P");
    QVERIFY(page->Text()->toPlainText().isEmpty());
    QPointer<UserInfoForm> closed = page;
    userListForm->OnUserInfoTabCloseRequested(userListForm->UserInfoTabs()->indexOf(page));
    QTRY_VERIFY(!closed);
    QVERIFY(User("bob")["user_info_form"].IsNull());
    page = userListForm->GetUserInfoForm("bob");
    QVERIFY(bob.WaitForMessage(&code, &payload, kWait));
    emit peerMessenger->ConnectionToUserFailed("bob", "F");
    QVERIFY(page->IsRequesting());
    emit peerMessenger->ConnectionToUserFailed("bob", "P");
    QCOMPARE(page->Text()->toPlainText(),
             QString("A connection could not be successfully formed to the user."));
}

void TestUserViews::descriptionCutBetweenCharacters_data() {
    QTest::addColumn<QString>("character");
    QTest::newRow("2 bytes") << QString::fromUtf8("\xc3\xa9");
    QTest::newRow("3 bytes") << QString::fromUtf8("\xe2\x82\xac");
    QTest::newRow("4 bytes") << QString::fromUtf8("\xf0\x9f\x98\x80");
}

// One byte ahead puts the cap inside a character: the receiver gets every
// whole character before it, decoded as sent.
void TestUserViews::descriptionCutBetweenCharacters() {
    QFETCH(QString, character);
    const int width = character.toUtf8().size();
    const int cap = int(InputStream::kMaxStringLength);
    SetSetting("user_description", "a" + character.repeated(cap / width + 10));
    RawPeer bob;
    QVERIFY(ConnectAsPeer(bob, "bob"));
    bob.SendMessage(PeerMessenger::PM_USER_INFO_REQUEST);
    quint32 code = 0;
    QByteArray payload;
    QVERIFY(bob.WaitForMessage(&code, &payload, kWait));
    QCOMPARE(code, quint32(PeerMessenger::PM_USER_INFO_REPLY));
    MemStream in(payload);
    UserInfoReply info;
    QVERIFY(ParseUserInfoReply(in, info));
    QCOMPARE(info.description, "a" + character.repeated((cap - 1) / width));
    QVERIFY(info.description.toUtf8().size() > cap - width);
}

// Mangled replies into a page: dropped by the parser or shown as text; no
// crash, no markup of the peer's, no picture over the bound decoded.
void TestUserViews::fuzzUserInfoReplyIntoPage() {
    UserInfoForm page;
    page.Init("eve");
    // Broken pictures are meant here: their decoder's complaints are noise.
    static QtMessageHandler previous = nullptr;
    previous = qInstallMessageHandler(
        [](QtMsgType type, const QMessageLogContext& context, const QString& text) {
            if (type != QtWarningMsg || !text.startsWith("libpng"))
                previous(type, context, text);
        });
    fuzz::Rng rng(20261207);
    const QByteArray pictures[] = {Png(30, 20), Png(900, 500), QByteArray("\x89PNG\r\n\x1a\n")};
    int shown = 0;
    for (int i = 0; i < 400; ++i) {
        const QByteArray picture = fuzz::Mutate(rng, pictures[i % 3]);
        const QString description =
            QString::fromUtf8(fuzz::RandomBytes(rng, 40)) + "<a href=x>y</a><img src=z>";
        const QByteArray bytes = fuzz::Mutate(rng, InfoReply(description, picture, i % 4 != 0));
        MemStream in(bytes);
        UserInfoReply reply;
        if (!ParseUserInfoReply(in, reply))
            continue;
        ++shown;
        page.OnUserInfoReceived("eve", reply.description, reply.hasPicture,
                                reply.picture.isEmpty() ? nullptr : reply.picture.data(),
                                reply.picture.size(), reply.uploadSlots, reply.queuedUploads,
                                reply.freeSlot);
        const QStringList markup = Markup(page.Text()->document());
        QVERIFY2(markup.isEmpty() || markup == QStringList{"img UserImage"},
                 qPrintable(markup.join(' ')));
        const QImage image = page.Text()
                                 ->document()
                                 ->resource(QTextDocument::ImageResource, QUrl("UserImage"))
                                 .value<QImage>();
        QVERIFY(image.width() <= 800 && image.height() <= 400);
    }
    qInstallMessageHandler(previous);
    QVERIFY(shown > 50);
}

void TestUserViews::userMenuEntries_data() {
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("entries");
    const QString tail = "Unshare files from user,Ignore user";
    QTest::newRow("stranger") << ""
                              << "Message user,Add user to list,Browse user's files,Upload to "
                                 "user,Get User Info,Add user note,Alert when user goes online,-," +
                                     tail;
    QTest::newRow("listed, noted, alerted")
        << "listed note alert"
        << "Message user,Set user's groups,Remove user from list,Browse user's files,Upload to "
           "user,Get User Info,Edit user note,Remove online status alert,-," +
               tail;
    QTest::newRow("privileged, unshared, ignored, logged")
        << "privileges unshared ignored logging"
        << "Message user,Add user to list,Browse user's files,Upload to user,Get User Info,Add "
           "user note,Alert when user goes online,Gift Privileges,-,Re-share files with "
           "user,Unignore user,-,See User Log";
    QTest::newRow("no privileges left") << "spent"
                                        << "Message user,Add user to list,Browse user's "
                                           "files,Upload to user,Get User Info,Add user "
                                           "note,Alert when user goes online,-," +
                                               tail;
    // Owned rooms first, bold and with every role; operated rooms only give
    // membership; a room both owned and operated counts once, as owned.
    QTest::newRow("private rooms")
        << "rooms"
        << "Message user,Add user to list,Browse user's files,Upload to user,Get User Info,Add "
           "user note,Alert when user goes online,-," +
               tail +
               ",-,Private Rooms{Zed{Give User Membership},beta{Remove User's Membership,-,Make "
               "User Operator},zed{Give User Membership,-,Remove User's Operator Status},Ops{Give "
               "User Membership},ops2{Remove User's Membership}}";
}

void TestUserViews::userMenuEntries() {
    QFETCH(QString, state);
    const QStringList marks = state.split(' ', Qt::SkipEmptyParts);
    const QString user = "bob";
    if (marks.contains("listed"))
        User(user).NewItem("in_user_list");
    if (marks.contains("note"))
        User(user).Connect(d.GetType("user_note")->GetItem("x"));
    if (marks.contains("alert"))
        Flag(user, "user_online_alert", true);
    if (marks.contains("unshared"))
        Flag(user, "unshared", true);
    if (marks.contains("ignored"))
        Flag(user, "is_ignored", true);
    SetSetting("privileges_time_left", marks.contains("privileges") ? 60 : 0);
    if (marks.contains("spent"))
        SetSetting("privileges_time_left", -5);
    SetSetting("user_level_logging", marks.contains("logging") ? "yes" : "no");
    if (marks.contains("rooms")) {
        auto room = [&](const QString& name, bool owner, bool op, bool member, bool isOp) {
            const ItemPtr r = d.GetType("room")->GetItem(name);
            if (owner)
                r.Connect(d.GetType("is_owner")->GetGlobalNullItem());
            if (op)
                r.Connect(d.GetType("is_operator")->GetGlobalNullItem());
            if (member)
                r.NewItem("room_members").Connect(User(user));
            if (isOp)
                r.NewItem("room_operators").Connect(User(user));
        };
        room("zed", true, false, false, true);
        room("beta", true, true, true, false);
        room("Zed", true, false, false, false);
        room("ops2", false, true, true, false);
        room("Ops", false, true, false, false);
        room("lobby", false, false, true, false);
    }
    QFETCH(QString, entries);
    QCOMPARE(Entries(user), entries);
    // A caller's own actions get one separator before the user's.
    QMenu menu;
    menu.addAction("Own");
    UserMenuOptions options(&menu, user);
    QVERIFY(::Entries(&menu).startsWith("Own,-,Message user,"));
    QAction* rooms = nullptr;
    for (QAction* action : menu.actions())
        if (action->text() == "Private Rooms")
            rooms = action;
    QCOMPARE(rooms != nullptr, marks.contains("rooms"));
    for (QAction* room : rooms ? rooms->menu()->actions() : QList<QAction*>()) {
        const bool owned = d.GetType("room")->HasItem(room->text()).IsConnected("is_owner");
        QCOMPARE(room->font().bold() && room->font().underline(), owned);
        QCOMPARE(room->icon().isNull(), !owned);
    }
}

// Every entry reaches what it names: the store, the server, the transfer
// engine or the view that it opens.
void TestUserViews::userMenuActions() {
    RawPeer bobServer;
    QVERIFY(LogInOther(bobServer, "bob"));
    Trigger("bob", "Message user");
    QTRY_VERIFY(!chatsForm->findChildren<ChatForm*>().isEmpty());
    QCOMPARE(chatsForm->findChildren<ChatForm*>()[0]->User(), QString("bob"));
    Trigger("bob", "Browse user's files");
    QVERIFY(sharesForm->GetShareBrowse("bob"));
    const int tabs = sharesForm->Tabs()->count();
    Trigger("bob", "Upload to user");
    QCOMPARE(sharesForm->Tabs()->count(), tabs + 1);
    QVERIFY(sharesForm->Tabs()->findChild<UploadForm*>());
    Trigger("bob", "Get User Info");
    UserInfoForm* page = userListForm->GetUserInfoForm("bob");
    QCOMPARE(userListForm->UserInfoTabs()->currentWidget(), page);
    QCOMPARE(page->User(), QString("bob"));

    // List, groups and the list entry itself.
    SetSetting("open_groups_on_user_add", "yes");
    Trigger("bob", "Add user to list");
    QVERIFY(User("bob").IsConnected("in_user_list"));
    QTRY_COMPARE(TopLevel<UserGroupsDialog>().size(), 1);
    QCOMPARE(TopLevel<UserGroupsDialog>()[0]->windowTitle(), QString("User Groups for [bob]"));
    Trigger("bob", "Set user's groups");
    QTRY_COMPARE(TopLevel<UserGroupsDialog>().size(), 2);
    const ItemPtr entry = User("bob")["in_user_list"];
    entry.Connect(d.GetType("user_list_group")->GetItem("friends"));
    Trigger("bob", "Remove user from list");
    QVERIFY(entry.IsRemoved() && !User("bob").IsConnected("in_user_list"));
    QVERIFY(d.GetType("user_list_group")->GetItem("friends").GetItems("in_user_list").Empty());
    QVERIFY(Rows(userListForm->List(), 4).isEmpty());
    SetSetting("open_groups_on_user_add", "no");
    Trigger("bob", "Add user to list");
    QCOMPARE(TopLevel<UserGroupsDialog>().size(), 2);
    QVERIFY(User("bob")["in_user_list"]["user_list_group"].IsNull());  // a fresh entry

    // Flags: the alert asks the server to watch, its removal sends nothing.
    m_server.ClearReceived("me");
    Flag("bob", "is_tracked", false);
    Trigger("bob", "Alert when user goes online");
    QCOMPARE(Expect(5), QByteArray(Payload().Str("bob")));
    Trigger("bob", "Remove online status alert");
    QVERIFY(!User("bob").IsConnected("user_online_alert"));
    Trigger("bob", "Ignore user");
    QVERIFY(User("bob").IsConnected("is_ignored"));
    Trigger("bob", "Unignore user");
    QVERIFY(!User("bob").IsConnected("is_ignored"));
    Trigger("bob", "Unshare files from user");
    QVERIFY(User("bob").IsConnected("unshared"));
    QCOMPARE(Rows(userListForm->UnsharedList(), 1), QStringList{"bob||"});
    Trigger("bob", "Re-share files with user");
    QVERIFY(!User("bob").IsConnected("unshared"));

    // Dialogs of their own.
    Trigger("bob", "Add user note");
    QTRY_COMPARE(TopLevel<UserNoteDialog>().size(), 1);
    QVERIFY(TopLevel<UserNoteDialog>()[0]->isVisible());
    SetSetting("privileges_time_left", 3600);
    Trigger("bob", "Gift Privileges");
    QTRY_COMPARE(TopLevel<GiftPrivilegesDialog>().size(), 1);
    QCOMPARE(TopLevel<GiftPrivilegesDialog>()[0]->windowTitle(), QString("Gift Privileges to bob"));
    SetSetting("user_level_logging", "yes");
    Trigger("bob", "See User Log");
    QTRY_COMPARE(TopLevel<ItemLogDialog>().size(), 1);
    QVERIFY(TopLevel<ItemLogDialog>()[0]->isVisible());

    // Room roles go to the server with the room of the entry.
    for (const char* name : {"den", "attic"}) {
        const ItemPtr room = d.GetType("room")->GetItem(name);
        room.Connect(d.GetType("is_owner")->GetGlobalNullItem());
    }
    d.GetType("room")->GetItem("attic").NewItem("room_members").Connect(User("bob"));
    Trigger("bob", "Give User Membership", "den");
    QCOMPARE(Expect(134), QByteArray(Payload().Str("den").Str("bob")));
    Trigger("bob", "Make User Operator", "attic");
    QCOMPARE(Expect(143), QByteArray(Payload().Str("attic").Str("bob")));
    Trigger("bob", "Remove User's Membership", "attic");
    QCOMPARE(Expect(135), QByteArray(Payload().Str("attic").Str("bob")));
    d.GetType("room")->GetItem("den").NewItem("room_operators").Connect(User("bob"));
    Trigger("bob", "Remove User's Operator Status", "den");
    QCOMPARE(Expect(144), QByteArray(Payload().Str("den").Str("bob")));
}

// Right-clicking a row of each list opens the user's menu at that row.
void TestUserViews::listsOpenTheUserMenu() {
    Flag("ann", "is_ignored", true);
    Flag("ann", "unshared", true);
    Flag("ann", "user_online_alert", true);
    User("ann").NewItem("in_user_list");
    QStringList seen;
    prompts::SetMenuHandler([&seen](QMenu* menu, const QPoint&) {
        seen << ::Entries(menu).section(',', 0, 1);
        return FindAction(menu, "Ignore user") ? FindAction(menu, "Ignore user")
                                               : FindAction(menu, "Unignore user");
    });
    for (QAbstractItemView* list : std::initializer_list<QAbstractItemView*>{
             userListForm->List(), userListForm->UnsharedList(), userListForm->IgnoredList(),
             userListForm->OnlineAlertList()}) {
        const QModelIndex row = list->model()->index(0, 0);
        QCOMPARE(row.data().toString(), QString("ann"));
        emit list->customContextMenuRequested(list->visualRect(row).center());
        emit list->customContextMenuRequested(QPoint(5, list->viewport()->height() - 2));
    }
    QCOMPARE(seen,
             QString("Message user,Set user's groups;").repeated(4).split(";", Qt::SkipEmptyParts));
    QVERIFY(User("ann").IsConnected("is_ignored"));  // toggled four times
}

// Every place that offers the user menu offers the whole of it, below its
// own entries, for the user of the row or tab: each user's state shows in
// the entries, and the ignore toggle chosen lands on that user alone.
void TestUserViews::userMenuInEveryPlace() {
    SetSetting("privileges_time_left", 0);
    SetSetting("user_level_logging", "no");
    User("ann").NewItem("in_user_list");
    Flag("una", "unshared", true);
    Flag("iggy", "is_ignored", true);
    Flag("al", "user_online_alert", true);
    User("rho").Connect(d.GetType("user_note")->GetItem("loud"));
    Flag("dan", "user_online_alert", true);

    // rho in a room with us, through the server.
    RawPeer rho;
    QVERIFY(LogInOther(rho, "rho"));
    rho.SendRaw(RawPeer::Frame(14, Payload().Str("lobby").U32(0)));
    gp_server->EnterRoom("lobby", false);
    RoomsForm* rooms = m_window->Form()->roomsForm;
    QTRY_VERIFY_WITH_TIMEOUT(rooms->RoomView("lobby") && rooms->RoomView("lobby")->UserRow("rho"),
                             kWait);
    // A chat with cid, a search answered by sue, a download from dan, an
    // upload to upa and the share tab of sha.
    chatsForm->OpenChatForm("cid");
    QVERIFY(chatsForm->GetChatForm("cid"));
    const quint32 token = gp_server->FileSearch("song", false);
    SearchResultsForm* page = searchForm->CreateSearchForm(token, "song", GlobalSearch);
    SearchResultMessage answer;
    answer.token = token;
    answer.files.push_back(FileInfo("a\\song.mp3", 1000));
    searchForm->OnUserSearchResults(StoreSearchResults("sue", answer));
    QVERIFY(page->searchResults()->topLevelItemCount() > 0);
    transferQueueManager->AddDownload("dan", "f.mp3", "Dir", 1000, false, 0);
    QVERIFY(QDir(m_home.path()).mkpath("M"));
    QFile shared(m_home.filePath("M/up.mp3"));
    QVERIFY(shared.open(QIODevice::WriteOnly) && shared.write("x") == 1);
    shared.close();
    sharedFoldersManager->AddSharedFolder(m_home.filePath("M"))
        .Connect(d.GetType("shared_public")->GetGlobalNullItem());
    QVERIFY(WaitForSharesIndexed(sharedFoldersManager));
    transferQueueManager->OnQueueUploadRequested("upa", Wire(m_home.filePath("M/up.mp3")));
    ShareForm* share = sharesForm->OpenShareBrowse("sha");
    QVERIFY(share);

    // The row of `user` in the list, selected, or the list's top left when
    // `user` is empty; then the list's own menu signal.
    auto at = [](QAbstractItemView* list, const QString& user) {
        return [list, user] {
            QPoint point(3, 3);
            if (!user.isEmpty()) {
                const QModelIndex row = RowOf(list, user);
                QVERIFY2(row.isValid(), qPrintable(user));
                list->clearSelection();
                list->selectionModel()->select(
                    row, QItemSelectionModel::Select | QItemSelectionModel::Rows);
                point = list->visualRect(row).center();
            }
            emit list->customContextMenuRequested(point);
        };
    };
    // The first row of the list's deepest level: a file, not a group above.
    auto only = [](QTreeWidget* list) {
        return [list] {
            list->clearSelection();
            // New transfer rows go into their list at its next flush.
            QTRY_VERIFY(list->topLevelItemCount() > 0);
            QTreeWidgetItem* row = list->topLevelItem(0);
            for (; row->childCount() > 0; row = row->child(0))
                row->setExpanded(true);
            row->setSelected(true);
            emit list->customContextMenuRequested(list->visualItemRect(row).center());
        };
    };
    const QString stranger =
        "Message user,Add user to list,Browse user's files,Upload to user,"
        "Get User Info,Add user note,Alert when user goes online,-,"
        "Unshare files from user,";
    const struct {
        const char* place;
        QString user, userPart;
        std::function<void()> open;
    } places[] = {
        {"room members", "rho",
         "Message user,Add user to list,Browse user's files,Upload to user,Get User Info,Edit "
         "user note,Alert when user goes online,-,Unshare files from user,Ignore user",
         [rooms] {
             RoomForm* room = rooms->RoomView("lobby");
             QTreeWidget* list = room->Form()->userList;
             emit list->customContextMenuRequested(
                 list->visualItemRect(room->UserRow("rho")).center());
         }},
        {"private chat", "cid", stranger + "Ignore user",
         [] {
             emit chatsForm->GetChatForm("cid")->Form()->chatView->customContextMenuRequested(
                 QPoint(3, 3));
         }},
        {"user list", "ann",
         "Message user,Set user's groups,Remove user from list,Browse user's files,Upload to "
         "user,Get User Info,Add user note,Alert when user goes online,-,Unshare files from "
         "user,Ignore user",
         at(userListForm->List(), "ann")},
        {"unshared list", "una",
         "Message user,Add user to list,Browse user's files,Upload to user,Get User Info,Add "
         "user note,Alert when user goes online,-,Re-share files with user,Ignore user",
         at(userListForm->UnsharedList(), "una")},
        {"ignored list", "iggy", stranger + "Unignore user",
         at(userListForm->IgnoredList(), "iggy")},
        {"online alert list", "al",
         "Message user,Add user to list,Browse user's files,Upload to user,Get User Info,Add "
         "user note,Remove online status alert,-,Unshare files from user,Ignore user",
         at(userListForm->OnlineAlertList(), "al")},
        {"search result", "sue", stranger + "Ignore user", only(page->searchResults())},
        {"download list", "dan",
         "Message user,Add user to list,Browse user's files,Upload to user,Get User Info,Add "
         "user note,Remove online status alert,-,Unshare files from user,Ignore user",
         only(transfersForm->DownloadsList())},
        {"upload list", "upa", stranger + "Ignore user", only(transfersForm->UploadsList())},
        {"share tab files", "sha", stranger + "Ignore user", at(share->FileList(), QString())},
    };
    const QStringList users{"rho", "cid", "ann", "una", "iggy", "al", "sue", "dan", "upa", "sha"};
    auto ignored = [&users] {
        QStringList out;
        for (const QString& user : users)
            if (User(user).IsConnected("is_ignored"))
                out << user;
        return out;
    };
    for (const auto& place : places) {
        QStringList shown;
        prompts::SetMenuHandler([&shown](QMenu* menu, const QPoint&) {
            shown << ::Entries(menu);
            QAction* toggle = FindAction(menu, "Ignore user");
            return toggle ? toggle : FindAction(menu, "Unignore user");
        });
        QStringList expected = ignored();
        if (!expected.removeOne(place.user))
            expected << place.user;
        place.open();
        QVERIFY2(shown.size() == 1, place.place);
        // The place's own entries, if any, end in one separator.
        const QString menu = shown.first();
        QVERIFY2(menu == place.userPart || menu.endsWith(",-," + place.userPart),
                 qPrintable(QString("%1: %2").arg(place.place, menu)));
        QVERIFY2(menu.count("Message user") == 1, place.place);
        QStringList now = ignored();
        std::sort(now.begin(), now.end());
        std::sort(expected.begin(), expected.end());
        QCOMPARE(now, expected);
    }
    prompts::SetMenuHandler(nullptr);
}

// A note is kept as typed, markup and inner line breaks included, shown in
// the lists, and comes back after a restart.
void TestUserViews::notesArePlainTextAndSurviveRestart() {
    const QString note = "<b>pays late</b> &amp; <a href=\"x\">here</a>\nsecond line";
    User("ann").NewItem("in_user_list");
    Flag("ann", "is_ignored", true);
    UserNoteDialog* editor = UserNoteDialog::GetDialog("ann");
    QCOMPARE(UserNoteDialog::GetDialog("ann"), editor);
    QCOMPARE(editor->windowTitle(), QString("ann"));
    editor->show();
    editor->NoteEdit()->setPlainText("  \n" + note + " \n ");
    QPointer<UserNoteDialog> closing = editor;
    QTest::mouseClick(editor->SaveButton(), Qt::LeftButton);
    QTRY_VERIFY(!closing);
    QCOMPARE(User("ann")["user_note"].AsString(), note);
    QCOMPARE(userListForm->List()->model()->index(0, 4).data().toString(), note);
    QCOMPARE(userListForm->IgnoredList()->topLevelItem(0)->text(1), note);
    User("bea").Connect(d.GetType("user_note")->GetItem(note));  // shares ann's note item

    Stop();
    Start();
    QCOMPARE(User("ann")["user_note"].AsString(), note);
    QCOMPARE(User("bea")["user_note"], User("ann")["user_note"]);
    QCOMPARE(Rows(userListForm->List(), 4), QStringList{"ann||||" + note + "*|off"});
    QCOMPARE(Rows(userListForm->IgnoredList(), 1), QStringList{"ann|" + note + "*|"});
    editor = UserNoteDialog::GetDialog("ann");
    QCOMPARE(editor->NoteEdit()->toPlainText(), note);

    // Clear alone keeps the note; Clear then Save removes it, for ann only.
    QTest::mouseClick(editor->ClearButton(), Qt::LeftButton);
    editor->close();
    QTRY_VERIFY(User("ann")["user_note_dialog"].IsNull());
    QCOMPARE(User("ann")["user_note"].AsString(), note);
    editor = UserNoteDialog::GetDialog("ann");
    QCOMPARE(editor->NoteEdit()->toPlainText(), note);
    QTest::mouseClick(editor->ClearButton(), Qt::LeftButton);
    QTest::mouseClick(editor->SaveButton(), Qt::LeftButton);
    QVERIFY(User("ann")["user_note"].IsNull());
    QCOMPARE(User("bea")["user_note"].AsString(), note);
    QCOMPARE(Rows(userListForm->List(), 4), QStringList{"ann|||||off"});
    QVERIFY(Entries("ann").contains("Add user note"));
    QVERIFY(Entries("bea").contains("Edit user note"));
}

// Days go to the server as typed (four digits at most); nothing to give, or
// no connection to give it through, sends nothing and says so.
void TestUserViews::giftPrivileges() {
    RawPeer bob;
    QVERIFY(LogInOther(bob, "bob"));
    auto* gift = new GiftPrivilegesDialog("bob");
    QPointer<GiftPrivilegesDialog> alive = gift;
    gift->show();
    auto* button = gift->findChild<QPushButton*>("giftButton");
    for (const char* days : {"", "0", "0000"}) {
        gift->DaysEdit()->clear();
        QTest::keyClicks(gift->DaysEdit(), days);
        QTest::mouseClick(button, Qt::LeftButton);
        QVERIFY(alive && gift->isVisible());
    }
    gift->DaysEdit()->clear();
    gift->DaysEdit()->setCursorPosition(0);
    QTest::keyClicks(gift->DaysEdit(), "12345");
    QCOMPARE(gift->DaysEdit()->text(), QString("1234"));
    gift->DaysEdit()->clear();
    gift->DaysEdit()->setCursorPosition(0);
    QTest::keyClicks(gift->DaysEdit(), "0007");

    gp_server->Disconnect();
    QTRY_VERIFY(!m_server.IsLoggedIn("me"));
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(m_boxes, QStringList{"Gift Privileges: Not logged in: no privileges were sent."});
    QVERIFY(alive && gift->isVisible());
    gp_server->Connect();
    QTRY_VERIFY_WITH_TIMEOUT(gp_server->IsConnected(), kWait);
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(Expect(123), QByteArray(Payload().Str("bob").U32(7)));
    QTRY_VERIFY(!alive);
    QTRY_COMPARE(m_server.PrivilegeSeconds("bob"), quint32(7 * 86400));
}

// Both group dialogs edit the store at once and stay in step with it; a
// group's priority orders its members' uploads first.
void TestUserViews::groupsAndTheirPriorities() {
    User("bob").NewItem("in_user_list");
    auto* mine = new UserGroupsDialog("bob");
    auto* other = new UserGroupsDialog("bob");
    userListForm->OnActionBarTriggered(nullptr, "configure_user_groups");
    UserGroupConfigDialog* config = userGroupConfigDialog;
    QVERIFY(config && config->isVisible());
    userListForm->OnActionBarTriggered(nullptr, "configure_user_groups");
    QCOMPARE(userListForm->findChildren<UserGroupConfigDialog*>().size(), 1);

    auto create = [mine](const QString& name) {
        mine->NewGroupEdit()->setText(name);
        QTest::mouseClick(mine->findChild<QPushButton*>("newGroupButton"), Qt::LeftButton);
        QVERIFY(mine->NewGroupEdit()->text().isEmpty());
    };
    create("  friends ");
    create("   ");
    create("friends");
    create("Band");
    auto texts = [](QListWidget* list) {
        QStringList out;
        for (int i = 0; i < list->count(); ++i)
            out << list->item(i)->text() +
                       (list->item(i)->data(Qt::CheckStateRole).isValid()
                            ? (list->item(i)->checkState() == Qt::Checked ? "+" : "-")
                            : "");
        return out;
    };
    QCOMPARE(texts(other->GroupList()), (QStringList{"Band-", "friends-"}));
    QCOMPARE(texts(config->GroupList()), (QStringList{"Band", "friends"}));
    QVERIFY(!config->PrioritySpinBox()->isEnabled());
    mine->GroupList()->item(1)->setCheckState(Qt::Checked);
    mine->GroupList()->item(0)->setCheckState(Qt::Checked);
    QCOMPARE(userListForm->List()->model()->index(0, 3).data().toString(),
             QString("Band, friends"));
    mine->GroupList()->item(0)->setCheckState(Qt::Unchecked);
    QCOMPARE(userListForm->List()->model()->index(0, 3).data().toString(), QString("friends"));

    // The priority reaches the upload order: bob's upload ahead of an older one.
    auto upload = [](const QString& user, qint64 order) {
        const ItemPtr entry = d.GetType("upload_entry")->NewItem();
        entry.Connect(User(user));
        entry.Connect(d.GetType("upload_order")->GetItem(order));
        return entry;
    };
    const ItemPtr older = upload("carl", 1), bobs = upload("bob", 2);
    QVERIFY(TransferQueueManager::UploadEntrySortCompare(older, bobs));
    config->GroupList()->setCurrentRow(1);
    QVERIFY(config->PrioritySpinBox()->isEnabled());
    QCOMPARE(config->findChild<QGroupBox*>("groupBox")->title(), QString("friends"));
    config->PrioritySpinBox()->setValue(3);
    config->AcceptUploadsCheckBox()->setChecked(true);
    QCOMPARE(TransferQueueManager::GetUserGroupDownloadPriority("bob"), 3);
    QVERIFY(TransferQueueManager::UploadEntrySortCompare(bobs, older));
    const ItemPtr friends = d.GetType("user_list_group")->HasItem("friends");
    QVERIFY(friends.IsConnected("accept_uploads"));
    config->PrioritySpinBox()->setValue(0);
    QVERIFY(friends["group_download_priority"].IsNull());
    config->PrioritySpinBox()->setValue(3);

    // Every control shows at any size the dialog can take.
    for (const QSize size : {QSize(595, 300), QSize(100, 50), QSize(1200, 900)}) {
        config->resize(size);
        QApplication::processEvents();
        auto* box = config->findChild<QGroupBox*>("groupBox");
        for (QWidget* control : {static_cast<QWidget*>(config->PrioritySpinBox()),
                                 static_cast<QWidget*>(config->AcceptUploadsCheckBox()),
                                 config->findChild<QWidget*>("deleteButton")}) {
            const QRect place(control->mapTo(box, QPoint()), control->size());
            QVERIFY2(control->isVisible() && box->rect().contains(place) &&
                         control->width() >= control->minimumSizeHint().width() &&
                         control->height() >= control->minimumSizeHint().height(),
                     qPrintable(control->objectName()));
        }
    }

    // Deleting asks first; the group leaves every dialog and every member.
    auto* remove = config->findChild<QPushButton*>("deleteButton");
    QTest::mouseClick(remove, Qt::LeftButton);
    QVERIFY(!friends.IsRemoved());
    m_yes = true;
    QTest::mouseClick(remove, Qt::LeftButton);
    QVERIFY(friends.IsRemoved());
    QCOMPARE(m_boxes.size(), 2);
    QCOMPARE(m_boxes[0],
             QString("Delete group?: Are you sure you want to delete this user group?"));
    QCOMPARE(texts(mine->GroupList()), QStringList{"Band-"});
    QCOMPARE(texts(config->GroupList()), QStringList{"Band"});
    QCOMPARE(userListForm->List()->model()->index(0, 3).data().toString(), QString());
    QCOMPARE(TransferQueueManager::GetUserGroupDownloadPriority("bob"), 0);

    // A user who left the list: the dialog changes nothing.
    User("bob")["in_user_list"].Remove();
    mine->GroupList()->item(0)->setCheckState(Qt::Checked);
    QVERIFY(d.GetType("user_list_group")->HasItem("Band").GetItems("in_user_list").Empty());
}

// One request carries the text, made one line, and every user of the target.
void TestUserViews::messageToSeveralUsers() {
    for (const char* name : {"carol", "Bob", "alice"})
        User(name).NewItem("in_user_list");
    d.GetType("user_list_group")->GetItem("zoo");
    d.GetType("user_list_group")->GetItem("Band").Connect(User("Bob")["in_user_list"]);
    userListForm->OnActionBarTriggered(nullptr, "message_users");
    MessageUsersDialog* dialog = messageUsersDialog;
    QVERIFY(dialog && dialog->isVisible());
    auto names = [dialog] {
        QStringList out;
        for (int i = 0; i < dialog->UserList()->count(); ++i)
            out << dialog->UserList()->item(i)->text();
        return out;
    };
    QCOMPARE(names(), (QStringList{"alice", "Bob", "carol"}));
    QStringList targets;
    for (int i = 0; i < dialog->TargetBox()->count(); ++i)
        targets << dialog->TargetBox()->itemText(i);
    QCOMPARE(targets, (QStringList{"All User List Users", "Downloading Users", "group: Band",
                                   "group: zoo"}));
    for (const char* name : {"dan", "eve"})
        d.GetType("upload_entry")->NewItem().Connect(User(name));
    Flag("dan", "is_online", true);
    dialog->TargetBox()->setCurrentIndex(1);
    QCOMPARE(names(), QStringList{"dan"});  // eve is offline
    dialog->TargetBox()->setCurrentIndex(2);
    QCOMPARE(names(), QStringList{"Bob"});
    dialog->MessageEdit()->setPlainText("  \nhello\nall of\nyou \n");
    userListForm->OnActionBarTriggered(nullptr, "message_users");
    QCOMPARE(messageUsersDialog, dialog);

    gp_server->Disconnect();
    QTRY_VERIFY(!m_server.IsLoggedIn("me"));
    QPointer<MessageUsersDialog> alive = dialog;
    QTest::mouseClick(dialog->findChild<QPushButton*>("sendButton"), Qt::LeftButton);
    QCOMPARE(m_boxes,
             QStringList{"Message Multiple Users: Not logged in: the message was not sent."});
    QVERIFY(alive && dialog->isVisible());
    gp_server->Connect();
    QTRY_VERIFY_WITH_TIMEOUT(gp_server->IsConnected(), kWait);
    m_server.ClearReceived("me");
    QTest::mouseClick(dialog->findChild<QPushButton*>("sendButton"), Qt::LeftButton);
    QCOMPARE(Expect(149), QByteArray(Payload().U32(1).Str("Bob").Str("hello all of you")));
    QTRY_VERIFY(!alive);
}

// A "&" in a user's or room's name reads as itself in tab titles, event
// buttons and menus, and never makes a letter an accelerator.
void TestUserViews::namesWithAmpersandShowInFull() {
    SetSetting("show_event_buttons", "yes");
    RawPeer rho;
    QVERIFY(LogInOther(rho, "rho"));
    rho.SendRaw(RawPeer::Frame(14, Payload().Str("r&b").U32(0)));
    d.GetType("room")->GetItem("r&b").Connect(
        d.GetType("room_activity_alert")->GetGlobalNullItem());
    d.GetType("room")->GetItem("o&p").Connect(d.GetType("is_owner")->GetGlobalNullItem());
    Flag("a&b", "user_online_alert", true);
    RoomsForm* rooms = m_window->Form()->roomsForm;
    QTabWidget* main = m_window->Form()->tabControl;
    auto title = [](QTabWidget* tabs, QWidget* page) { return tabs->tabText(tabs->indexOf(page)); };
    auto room = [rooms] {
        if (!rooms->RoomView("r&b"))
            gp_server->EnterRoom("r&b", false);
        return QTest::qWaitFor([rooms] { return rooms->RoomView("r&b") != nullptr; }, kWait)
                   ? rooms->RoomView("r&b")
                   : nullptr;
    };
    auto chat = [] { return chatsForm->GetChatForm("x&y"); };
    auto share = [] { return sharesForm->GetShareBrowse("s&t"); };
    auto info = [] { return userListForm->GetUserInfoForm("i&j"); };

    const struct {
        const char* place;
        std::function<QString()> label;  // opens the page; its title or menu entry
        QString shown;
        std::function<QWidget*()> page;  // hidden before the event, which names it
        std::function<void()> raise;
        QString button;
    } cases[] = {
        {"private chat", [&] { return title(chatsForm->Tabs(), chat()); }, "x&y", chat,
         [&] { chat()->AddChat("x&y", "hi"); }, "x&y"},
        {"room", [&] { return room() ? title(rooms->Tabs(), room()) : QString(); }, "r&b",
         [&] { return room(); }, [&] { room()->OnRoomChat("r&b", "rho", "hi"); }, "r&b"},
        {"share", [&] { return title(sharesForm->Tabs(), sharesForm->OpenShareBrowse("s&t")); },
         "s&t", share, [&] { share()->SetShare(SharesForm::CreateUserShareData({}, {})); }, "s&t"},
        {"upload browser",
         [&] { return title(sharesForm->Tabs(), sharesForm->OpenUploadBrowse("u&v")); },
         "Upload to u&v", nullptr, nullptr, QString()},
        {"user info", [&] { return title(userListForm->UserInfoTabs(), info()); }, "i&j", info,
         [&] { info()->OnUserInfoReceived("i&j", "hello", false, nullptr, 0, 1, 0, true); }, "i&j"},
        {"online alert", nullptr, QString(), [] { return userListForm; },
         [] { Flag("a&b", "is_online", true); }, "a&b online"},
        {"group box",
         [] {
             d.GetType("user_list_group")->GetItem("r&r");
             userListForm->OnActionBarTriggered(nullptr, "configure_user_groups");
             QListWidget* groups = userGroupConfigDialog->GroupList();
             groups->setCurrentItem(groups->findItems("r&r", Qt::MatchExactly).value(0));
             return userGroupConfigDialog->findChild<QGroupBox*>("groupBox")->title();
         },
         "r&r", nullptr, nullptr, QString()},
        {"private room menu", [this] { return Entries("x&y"); }, QString(), nullptr, nullptr,
         QString()},
    };
    for (const auto& c : cases) {
        if (c.label) {
            const QString label = c.label();
            if (c.shown.isEmpty()) {
                QVERIFY2(Shown(label).contains("o&p{"), qPrintable(label));
            } else {
                QCOMPARE(Shown(label), c.shown);
                QVERIFY2(QKeySequence::mnemonic(label).isEmpty(), c.place);
            }
        }
        if (!c.raise)
            continue;
        QWidget* page = c.page();
        QVERIFY2(page, c.place);
        for (int k = 0; k < main->count(); ++k)
            if (main->widget(k)->isAncestorOf(page))
                main->setCurrentIndex((k + 1) % main->count());
        QVERIFY2(!page->isVisible(), c.place);
        c.raise();
        QStringList buttons;
        for (QAction* action : eventToolBar->actions()) {
            buttons << action->text();
            if (Shown(action->text()) == c.button)
                QVERIFY2(QKeySequence::mnemonic(action->text()).isEmpty(), c.place);
        }
        QVERIFY2(std::count_if(buttons.begin(), buttons.end(),
                               [&](const QString& b) { return Shown(b) == c.button; }) == 1,
                 qPrintable(QString(c.place) + ": " + buttons.join('|')));
    }
}

QTEST_MAIN(TestUserViews)
#include "test_user_views.moc"

void TestUserViews::longListsComeWhole_data() {
    QTest::addColumn<bool>("restart");
    QTest::newRow("added in one burst") << false;
    QTest::newRow("loaded at start-up") << true;
}

// More users than one merge takes come whole and in order with no further
// change to the list: a burst of added users, and a stored list, whose rows
// are made once the window is up.
void TestUserViews::longListsComeWhole() {
    QFETCH(bool, restart);
    const int users = UserListForm::kMergeRows + 5000;
    const QStringList names = ListFromFile(m_home.filePath("list.txt"), users);
    QCOMPARE(names.size(), users);
    if (restart) {
        Stop();
        Start([users] {
            QCOMPARE(userListForm->List()->model()->rowCount(), 0);
            QCOMPARE(userListForm->UnmadeRows(), users);
        });
    }
    QTableView* list = userListForm->List();
    QTRY_COMPARE_WITH_TIMEOUT(list->model()->rowCount(), users, kWait);
    QCOMPARE(Shown(list), names);
    QCOMPARE(userListForm->UnmadeRows(), 0);
}

// At login every listed user is watched and asked about, however long the
// list: the requests go out a slice a turn, every slice.
void TestUserViews::loginAsksAboutEveryListedUser() {
    const int users = 60000;
    gp_server->Disconnect();
    QTRY_VERIFY_WITH_TIMEOUT(!m_server.IsLoggedIn("me"), kWait);
    const QStringList names = ListFromFile(m_home.filePath("list.txt"), users);
    QCOMPARE(names.size(), users);
    m_server.ClearReceived("me");
    gp_server->Connect();
    const QSet<QString> all(names.begin(), names.end());
    const auto asked = [this, &all](quint32 code) {
        return AskedAbout(m_server.Received("me"), code).contains(all);
    };
    QTRY_VERIFY_WITH_TIMEOUT(asked(SM_ADD_USER), kWait);
    QTRY_VERIFY_WITH_TIMEOUT(asked(SM_GET_USER_STATS), kWait);
}
