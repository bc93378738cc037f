// Rooms and private chats against the loopback server, the transcript rules,
// the chat-log files with their names, and the log viewer.
#include <sys/stat.h>

#include <QCryptographicHash>
#include <QTemporaryDir>
#include <QtTest>
#include <QtWidgets>
#include <memory>

#include "net/server.h"
#include "shell/ActionSetToolBar.h"
#include "shell/EventToolBar.h"
#include "shell/FocusWidget.h"
#include "shell/Prompts.h"
#include "shell/ShellGlobals.h"
#include "shell/TabWidget.h"
#include "shell/mainwindow.h"
#include "store/Settings.h"
#include "store/TimerManager.h"
#include "support/ColumnFit.h"
#include "support/FifoWatch.h"
#include "support/Fuzz.h"
#include "support/LocklessDisk.h"
#include "support/Payload.h"
#include "support/RawPeer.h"
#include "support/TestServer.h"
#include "support/Waits.h"
#include "support/WindowStart.h"
#include "ui_AdminMessageDialog.h"
#include "ui_ChatForm.h"
#include "ui_ChatLogForm.h"
#include "ui_CreateRoomDialog.h"
#include "ui_RoomForm.h"
#include "ui_RoomWallForm.h"
#include "ui_mainwindow.h"
#include "views/chat/AdminMessageDialog.h"
#include "views/chat/ChatForm.h"
#include "views/chat/ChatLog.h"
#include "views/chat/ChatLogForm.h"
#include "views/chat/ChatTranscript.h"
#include "views/chat/ChatsForm.h"
#include "views/chat/CreateRoomDialog.h"
#include "views/chat/RoomForm.h"
#include "views/chat/RoomTabWidget.h"
#include "views/chat/RoomWallForm.h"
#include "views/chat/RoomsForm.h"
#include "views/chat/TranscriptView.h"
#include "views/shares/DiagnosticsForm.h"
#include "views/shares/SharesForm.h"
#include "views/users/UserNoteDialog.h"

namespace {
const QDateTime kT0(QDate(2026, 3, 4), QTime(15, 5, 9));

// The lines on screen: a transcript may keep hidden empty blocks at its ends.
QList<QTextBlock> Shown(const QTextDocument* document) {
    QList<QTextBlock> shown;
    for (QTextBlock b = document->begin(); b.isValid(); b = b.next())
        if (b.isVisible())
            shown << b;
    return shown;
}

QString Plain(const QTextEdit* view) {
    QStringList lines;
    for (const QTextBlock& b : Shown(view->document()))
        lines << b.text();
    return lines.join('\n').replace(QChar(0xa0), ' ');
}

QString LastLine(const QTextEdit* view) {
    return Plain(view).split('\n').last();
}

QByteArray ReadFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
}

// Every anchor of a document as (href, text).
QList<QPair<QString, QString>> Anchors(const QTextDocument* document) {
    QList<QPair<QString, QString>> anchors;
    for (QTextBlock b = document->begin(); b.isValid(); b = b.next())
        for (auto it = b.begin(); !it.atEnd(); ++it)
            if (it.fragment().charFormat().isAnchor())
                anchors.append({it.fragment().charFormat().anchorHref(), it.fragment().text()});
    return anchors;
}

// The line a transcript block was made for.
struct LineMark : QTextBlockUserData {
    explicit LineMark(int line) : line(line) {}
    static int Of(const QTextBlock& block) {
        const auto* mark = static_cast<const LineMark*>(block.userData());
        return mark ? mark->line : -1;
    }
    int line;
};

// A second user of the server, speaking its protocol by hand.
bool Login(RawPeer& client, quint16 port, const QString& user) {
    const QByteArray digest =
        QCryptographicHash::hash(user.toUtf8() + "pw", QCryptographicHash::Md5).toHex();
    if (!client.ConnectTo(port))
        return false;
    client.SendMessage(1, Payload().Str(user).Str("pw").U32(157).U32(100).Str(digest));
    return client.Take(1) == Payload().U8(1).Bytes();
}

// Answers every question box, and records the boxes and menus shown.
struct Answers {
    QStringList boxes;
    QList<QMenu*> menus;
    bool yes = false;
    Answers() {
        prompts::SetBoxHandler([this](QWidget*, const prompts::Box& box) {
            boxes << box.title + ": " + box.text;
            return box.question && yes ? QMessageBox::Yes : QMessageBox::No;
        });
        prompts::SetMenuHandler([this](QMenu* menu, const QPoint&) -> QAction* {
            menus << menu;
            return nullptr;
        });
    }
    ~Answers() {
        prompts::SetBoxHandler(nullptr);
        prompts::SetMenuHandler(nullptr);
    }
};

QAction* ToolBarAction(const QString& text) {
    for (QAction* action : actionBar->actions())
        if (action->text() == text)
            return action;
    return nullptr;
}

// The texts of the set's actions on screen, in order.
QStringList ShownTexts() {
    QStringList texts;
    for (QAction* action : actionBar->actions())
        if (!qobject_cast<QWidgetAction*>(action) && action->isVisible() &&
            !action->text().isEmpty())
            texts << action->text();
    return texts;
}
}  // namespace

class TestChatViews : public QObject {
    Q_OBJECT
    QTemporaryDir m_home;
    TestServer m_server;
    std::unique_ptr<MainWindow> m_window;
    QDateTime m_now = kT0;

    RoomsForm* Rooms() { return m_window->Form()->roomsForm; }
    bool Online() { return gp_server->IsConnected() && m_server.IsLoggedIn("me"); }
    // Through the room list's dialog, as typed and ticked; the join request
    // that reaches the server.
    QByteArray CreateRoom(const QString& name, bool isPrivate) {
        m_server.ClearReceived("me");
        Rooms()->OnToolBarActionTriggered(nullptr, "create_room");
        CreateRoomDialog* dialog = createRoomDialog;
        if (!dialog || !dialog->isVisible())
            return "<no dialog>";
        QTest::keyClicks(dialog->Form()->roomNameEdit, name);
        if (isPrivate)
            dialog->Form()->createPrivateCheckBox->click();
        QTest::mouseClick(dialog->Form()->createRoomButton, Qt::LeftButton);
        QByteArray payload;
        if (!m_server.WaitForMessage("me", 14, kTestWaitMs, &payload))
            return "<none>";
        return QTest::qWaitFor([] { return !createRoomDialog; }, kTestWaitMs) ? payload
                                                                              : "<dialog kept>";
    }

private slots:
    void initTestCase() {
        QVERIFY(m_home.isValid());
        qputenv("HOME", m_home.path().toUtf8());
        QVERIFY(m_server.Listen());
        qputenv("TAVENOOK_SERVER", m_server.Address().toUtf8());
        qputenv("TAVENOOK_USERNAME", "me");
        qputenv("TAVENOOK_PASSWORD", "pw");
        m_window = StartMainWindow();
        chat::SetClock([this] { return m_now; });
        QTRY_VERIFY_WITH_TIMEOUT(Online(), 20000);
    }
    void cleanupTestCase() {
        m_window.reset();
        chat::SetClock(nullptr);
    }
    void init() {
        m_now = kT0;
        SetSetting("chat_timestamps", "activity_based");
        SetSetting("log_room_chat", "yes");
        SetSetting("log_private_chat", "yes");
    }

    void transcriptRules_data();
    void transcriptRules();
    void transcriptPeriods();
    void transcriptCap_data();
    void transcriptCap();
    void transcriptFormats();
    void transcriptBurst_data();
    void transcriptBurst();
    void transcriptBatchMark();
    void transcriptFilledOffScreen();
    void logFiles();
    void foreignFilesAtLogPaths_data();
    void foreignFilesAtLogPaths();
    void logNames_data();
    void logNames();
    void fuzzLogNamesAndRichText();
    void copyGivesTextAsLogged_data();
    void copyGivesTextAsLogged();
    void logViewer();
    void logViewerFind_data();
    void logViewerFind();
    void logViewerLarge();
    void logViewerBurst();
    void ownerRowInEitherOrder();
    void memberNumbersFit_data();
    void memberNumbersFit();
    void memberFlags();
    void memberOrder();
    void roomsAgainstServer();
    void privateRoomRoles();
    void operatorRoleFromServer();
    void privateChatsAndAdminMessages();
};

void TestChatViews::transcriptRules_data() {
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shown");  // the transcript, lines joined by "|"
    QTest::addColumn<QString>("logged");
    QTest::addColumn<QString>("link");  // the one anchor's text, if any
    const QString at = "Mar 4 3:05:09 pm";
    QTest::newRow("short") << "per_message_short"
                           << "hi"
                           << "[15:05:09][bob] hi"
                           << "[" + at + "][bob] hi"
                           << "";
    QTest::newRow("long") << "per_message_long"
                          << "hi"
                          << "[" + at + "][bob] hi"
                          << "[" + at + "][bob] hi"
                          << "";
    QTest::newRow("activity") << "activity_based"
                              << "hi"
                              << "* Chat started " + at + "|[bob] hi"
                              << "[" + at + "][bob] hi"
                              << "";
    QTest::newRow("none") << "no_timestamps"
                          << "  two  blanks "
                          << "[bob]   two  blanks "
                          << "[" + at + "][bob]   two  blanks "
                          << "";
    QTest::newRow("unknown mode") << "sometimes"
                                  << "hi"
                                  << "[bob] hi"
                                  << "[" + at + "][bob] hi"
                                  << "";
    QTest::newRow("action") << "per_message_short"
                            << "  /me  waves "
                            << "* bob waves"
                            << "[" + at + "] * bob waves"
                            << "";
    QTest::newRow("not an action") << "no_timestamps"
                                   << "/meow"
                                   << "[bob] /meow"
                                   << "[" + at + "][bob] /meow"
                                   << "";
    QTest::newRow("markup") << "no_timestamps"
                            << "a<b>&amp;</b> <img src=x>"
                            << "[bob] a<b>&amp;</b> <img src=x>"
                            << "[" + at + "][bob] a<b>&amp;</b> <img src=x>"
                            << "";
    QTest::newRow("link") << "no_timestamps"
                          << "see http://x.org/a?b=1&c=2; then more"
                          << "[bob] see http://x.org/a?b=1&c=2; then more"
                          << "[" + at + "][bob] see http://x.org/a?b=1&c=2; then more"
                          << "http://x.org/a?b=1&c=2";
    QTest::newRow("line breaks") << "no_timestamps"
                                 << "one\nposing\r\n[x][eve] two"
                                 << "[bob] one posing [x][eve] two"
                                 << "[" + at + "][bob] one posing  [x][eve] two"
                                 << "";
    QTest::newRow("placeholders") << "no_timestamps"
                                  << "%1 %2"
                                  << "[bob] %1 %2"
                                  << "[" + at + "][bob] %1 %2"
                                  << "";
}

// One line through the private chat's rules (shown untrimmed) and what it
// logs; the room's trimming is covered with the server below.
void TestChatViews::transcriptRules() {
    QFETCH(QString, mode);
    QFETCH(QString, text);
    QFETCH(QString, shown);
    QFETCH(QString, logged);
    QFETCH(QString, link);
    SetSetting("chat_timestamps", mode);
    QTextBrowser view;
    ChatTranscript transcript(&view, 0);
    const QString line =
        chat::IsAction(text) ? transcript.AddAction("bob", text) : transcript.AddLine("bob", text);
    QCOMPARE(Plain(&view).replace('\n', '|'), QString(shown).replace('\n', '|'));
    QCOMPARE(line, logged);
    const auto anchors = Anchors(view.document());
    QCOMPARE(anchors.size(), link.isEmpty() ? 0 : 1);
    if (!link.isEmpty())
        QCOMPARE(anchors[0], qMakePair(link, link));
    const QString html = view.toHtml();
    QVERIFY(!html.contains("<img") && !html.contains("<b>&amp;"));
    if (mode == "per_message_short")
        QVERIFY(html.contains("#0066ff") || chat::IsAction(text));
}

// Chat periods in the activity mode.
void TestChatViews::transcriptPeriods() {
    QTextBrowser view;
    ChatTranscript transcript(&view, ChatTranscript::kCap);
    transcript.AddAction("bob", "/me waves");  // opens no period
    QVERIFY(!transcript.IsActive());
    transcript.AddLine("bob", "one");
    m_now = kT0.addMSecs(ChatTranscript::kIdleMs - 1);
    transcript.CheckInactivity();
    transcript.AddAction("bob", "/me nods");  // does not prolong it
    m_now = kT0.addMSecs(ChatTranscript::kIdleMs);
    transcript.CheckInactivity();
    transcript.AddLine("bob", "two");
    QTRY_COMPARE(Plain(&view).split('\n'),
                 QStringList({"* bob waves", "* Chat started Mar 4 3:05:09 pm", "[bob] one",
                              "* bob nods", "* Chat ended Mar 4 3:05:09 pm",
                              "* Chat started Mar 4 3:10:09 pm", "[bob] two"}));
}

void TestChatViews::transcriptCap_data() {
    QTest::addColumn<bool>("room");
    // Put between the words of some long lines; each is one line anyway.
    QTest::addColumn<QString>("breaks");
    const QString paragraph(QChar(QChar::ParagraphSeparator));
    QTest::newRow("room") << true << "";
    QTest::newRow("private") << false << "";
    QTest::newRow("room, paragraph separators") << true << paragraph;
    QTest::newRow("private, paragraph separators") << false << paragraph;
    QTest::newRow("private, frame marks")
        << false << QString("%1%2%1").arg(QChar(0xFDD0), QChar(0xFDD1));
}

// Past its cap a transcript, room or private, loses whole lines from its
// start, at least kCut at a time; the lines that stay are the same blocks,
// not laid out again, with their colours and links; the log keeps all.
void TestChatViews::transcriptCap() {
    QFETCH(bool, room);
    QFETCH(QString, breaks);
    SetSetting("chat_timestamps", "per_message_short");
    const QString name = QString("capped %1").arg(QTest::currentDataTag());
    std::unique_ptr<RoomForm> roomForm(room ? new RoomForm(name) : nullptr);
    std::unique_ptr<ChatForm> chatForm(room ? nullptr : new ChatForm(name, nullptr));
    QTextBrowser* view = room ? roomForm->Form()->chatView : chatForm->Form()->chatView;
    const auto say = [&](const QString& text) {
        if (room)
            roomForm->OnRoomChat(name, "bob", text);
        else
            chatForm->AddChat("bob", text);
    };
    const auto textOf = [&breaks](int i) {
        if (i % 7 == 3)
            return QString("/me acts %1").arg(i);
        if (i % 10 == 9 && !breaks.isEmpty()) {
            QStringList words;
            for (int word = 0; word < 2500; ++word)
                words << QString::number(word);
            return QString("%1 broken:").arg(i) + words.join(breaks);
        }
        if (i % 10 == 9)  // a long word, wrapped with breaks of its own
            return QString(20000, 'w') + QString::number(i);
        return QString("line %1 http://x.org/%1").arg(i);
    };
    // Within a line, block breaks show as line breaks.
    const auto shownOf = [&breaks](QString text) {
        for (const QChar c : breaks)
            text.replace(c, QChar(QChar::LineSeparator));
        return text;
    };
    QTextDocument* document = view->document();
    const auto size = [document] {
        return document->characterCount() + ChatTranscript::kLineMarkup * document->blockCount();
    };
    // A batch's time between lines, so that each shows as it comes.
    const auto timeOf = [](int i) { return kT0.addMSecs(qint64(i) * ChatTranscript::kBatchMs); };
    const auto stampOf = [&timeOf](int i) { return "[" + chat::ShortTime(timeOf(i)) + "]"; };
    int sent = 0;
    int cuts = 0;
    for (int before = 0; cuts < 2; ++sent) {
        m_now = timeOf(sent);
        say(textOf(sent));
        // Each line's block remembers which line it is, in data that only
        // the block itself holds.
        Shown(document).last().setUserData(new LineMark(sent));
        // The newest line is whole, whatever went before it.
        if (!textOf(sent).startsWith("/me "))
            QCOMPARE(Shown(document).last().text().remove(QChar(0x200B)).replace(QChar(0xa0), ' '),
                     stampOf(sent) + "[bob] " + shownOf(textOf(sent)));
        QVERIFY(size() <= ChatTranscript::kCap);
        if (size() < before) {
            QVERIFY(before - size() >= ChatTranscript::kCut - 30000);
            ++cuts;
        }
        before = size();
    }
    const QList<QTextBlock> shown = Shown(document);
    const int first = LineMark::Of(shown.first());
    QVERIFY(first > 0);
    QCOMPARE(shown.size(), sent - first);
    for (const QTextBlock& b : shown) {
        const int i = LineMark::Of(b);
        QCOMPARE(i, first + int(shown.indexOf(b)));
        QString line = b.text().replace(QChar(0xa0), ' ');
        QStringList colored;
        for (auto it = b.begin(); !it.atEnd(); ++it) {
            const QTextCharFormat format = it.fragment().charFormat();
            if (format.foreground().color() != QColor(Qt::black) && !format.isAnchor())
                colored << format.foreground().color().name() + " " +
                               it.fragment().text().replace(QChar(0xa0), ' ');
        }
        const QString text = textOf(i);
        if (text.startsWith("/me ")) {
            QCOMPARE(line, "* bob " + text.mid(4));
            QCOMPARE(colored, QStringList("#339933 bob " + text.mid(4)));
        } else {
            QCOMPARE(line.remove(QChar(0x200B)), stampOf(i) + "[bob] " + shownOf(text));
            QCOMPARE(colored,
                     QStringList({"#0066ff " + stampOf(i).mid(1).chopped(1), "#0033ff bob"}));
        }
    }
    int linked = sent - 1;
    while (!textOf(linked).startsWith("line "))
        --linked;
    const QString link = QString("http://x.org/%1").arg(linked);
    QCOMPARE(Anchors(document).constLast(), qMakePair(link, link));
    const QStringList logged =
        QString::fromUtf8(
            ReadFile(chatlog::FilePath(room ? chatlog::Kind::Room : chatlog::Kind::User, name)))
            .split('\n', Qt::SkipEmptyParts);
    QCOMPARE(logged.size(), sent);
    for (int i = 0; i < sent; ++i) {
        const QString text = textOf(i);
        QVERIFY(logged[i].endsWith(text.startsWith("/me ") ? "] * bob " + text.mid(4)
                                                           : "][bob] " + text));
    }
}

// A link is a format of its own, which the document keeps after its line is
// cut: lines with a new link each, long past the cap, leave it holding a
// bounded number; the lines shown stay whole, in order, with their links,
// between the hidden blocks at the ends.
void TestChatViews::transcriptFormats() {
    QTextBrowser view;
    ChatTranscript transcript(&view, ChatTranscript::kCap);
    QTextDocument* document = view.document();
    const int total = ChatTranscript::kMaxFormats * 3 / 2;
    int most = 0;
    for (int i = 0; i < total; ++i) {
        m_now = kT0.addMSecs(qint64(i) * ChatTranscript::kBatchMs);
        transcript.AddLine("bob", QString("line %1 http://x.org/%1").arg(i));
        if (i % 100 == 0)
            most = std::max(most, document->allFormats().size());
    }
    QVERIFY2(most < ChatTranscript::kMaxFormats + 1000, qPrintable(QString::number(most)));
    QVERIFY(!document->firstBlock().isVisible() && !document->lastBlock().isVisible());
    const QList<QTextBlock> shown = Shown(document);
    QCOMPARE(shown.size(), document->blockCount() - 2);
    const QList<QPair<QString, QString>> anchors = Anchors(document);
    QCOMPARE(anchors.size(), shown.size());
    const int first = total - int(shown.size());
    for (int k = 0; k < shown.size(); ++k) {
        const QString link = QString("http://x.org/%1").arg(first + k);
        QCOMPARE(shown[k].text().replace(QChar(0xa0), ' '),
                 QString("[bob] line %1 %2").arg(first + k).arg(link));
        QCOMPARE(anchors[k], qMakePair(link, link));
    }
}

void TestChatViews::transcriptBurst_data() {
    QTest::addColumn<bool>("room");
    QTest::newRow("room") << true;
    QTest::newRow("private") << false;
}

// Lines that come faster than a batch's time each: every one is logged at
// once, in order; they show together, the newest last, and the transcript
// holds what a cut leaves of them, of which only the few the cap keeps were
// ever put into it.
void TestChatViews::transcriptBurst() {
    QFETCH(bool, room);
    SetSetting("chat_timestamps", "no_timestamps");
    const QString name = QString("burst %1").arg(QTest::currentDataTag());
    std::unique_ptr<RoomForm> roomForm(room ? new RoomForm(name) : nullptr);
    std::unique_ptr<ChatForm> chatForm(room ? nullptr : new ChatForm(name, nullptr));
    QTextBrowser* view = room ? roomForm->Form()->chatView : chatForm->Form()->chatView;
    QTextDocument* document = view->document();
    int added = 0;
    connect(document, &QTextDocument::contentsChange,
            [&added](int, int, int charsAdded) { added += charsAdded; });
    const auto textOf = [](int i) {
        return i % 10 == 9 ? QString(30000, 'w') + QString::number(i)
                           : QString("line %1 of the burst").arg(i);
    };
    // What a line adds to chat::Size once shown.
    const auto sizeOf = [&textOf](int i) {
        return int(QString("[bob] " + chat::Wrappable(textOf(i))).size()) + 1 +
               ChatTranscript::kLineMarkup;
    };
    const int count = 400;
    for (int i = 0; i < count; ++i) {
        if (room)
            roomForm->OnRoomChat(name, "bob", textOf(i));
        else
            chatForm->AddChat("bob", textOf(i));
    }
    const QStringList logged =
        QString::fromUtf8(
            ReadFile(chatlog::FilePath(room ? chatlog::Kind::Room : chatlog::Kind::User, name)))
            .split('\n', Qt::SkipEmptyParts);
    QCOMPARE(logged.size(), count);
    for (int i = 0; i < count; ++i)
        QVERIFY(logged[i].endsWith("][bob] " + textOf(i)));
    QTRY_COMPARE(LastLine(view).remove(QChar(0x200B)), "[bob] " + textOf(count - 1));
    const QStringList shown = Plain(view).remove(QChar(0x200B)).split('\n');
    const int first = count - int(shown.size());
    for (int k = 0; k < shown.size(); ++k)
        QCOMPARE(shown[k], "[bob] " + textOf(first + k));
    const int size = chat::Size(document);
    QVERIFY2(size <= ChatTranscript::kCap - ChatTranscript::kCut,
             qPrintable(QString::number(size)));
    QVERIFY(size + sizeOf(first - 1) > ChatTranscript::kCap - ChatTranscript::kCut);
    QVERIFY2(added < 2 * ChatTranscript::kCap, qPrintable(QString::number(added)));
}

// A line that comes within a batch's time of the last one shown waits for
// the rest of that time only.
void TestChatViews::transcriptBatchMark() {
    SetSetting("chat_timestamps", "no_timestamps");
    QTextBrowser view;
    ChatTranscript transcript(&view, ChatTranscript::kCap);
    transcript.AddLine("bob", "shown");
    QCOMPARE(LastLine(&view), QString("[bob] shown"));
    QSignalSpy changed(view.document(), &QTextDocument::contentsChanged);
    m_now = kT0.addMSecs(ChatTranscript::kBatchMs - 50);
    QElapsedTimer waiting;
    waiting.start();
    transcript.AddLine("bob", "waits");
    QCOMPARE(LastLine(&view), QString("[bob] shown"));
    QVERIFY(changed.wait(5000));
    const qint64 waited = waiting.elapsed();
    QCOMPARE(LastLine(&view), QString("[bob] waits"));
    // 50 ms were left; a whole batch's time from the new line would be 250.
    QVERIFY2(waited < 200, qPrintable(QString::number(waited)));
}

// A private chat that fills while another tab is on screen shows its newest
// line once its tab is chosen.
void TestChatViews::transcriptFilledOffScreen() {
    QTabWidget tabs;
    tabs.resize(900, 600);
    tabs.addTab(new QLabel("another page"), "other");
    auto* chat = new ChatForm("off screen", nullptr);
    tabs.addTab(chat, "chat");
    tabs.show();
    QVERIFY(QTest::qWaitForWindowExposed(&tabs));
    const auto textOf = [](int i) {
        return QString("message %1: ").arg(i) + QString("some words here ").repeated(60);
    };
    const int count = 1000;
    for (int i = 0; i < count; ++i) {
        m_now = kT0.addMSecs(qint64(i) * ChatTranscript::kBatchMs);
        chat->AddChat("bob", textOf(i));
    }
    tabs.setCurrentWidget(chat);
    QTextBrowser* view = chat->Form()->chatView;
    const auto atBottom = [view] {
        return view->cursorForPosition(QPoint(5, view->viewport()->height() - 5))
            .block()
            .text()
            .replace(QChar(0xa0), ' ')
            .remove(QChar(0x200B));
    };
    QTRY_COMPARE(atBottom(), "[bob] " + textOf(count - 1));
}

// One line per message in the room and user folders; nothing while logging
// is off; the open viewer gets each line too.
void TestChatViews::logFiles() {
    const QString roomLog = chatlog::FilePath(chatlog::Kind::Room, "files room");
    QCOMPARE(roomLog, m_home.path() + "/Tavenook Chat Logs/Rooms/files room.log");
    QCOMPARE(chatlog::FilePath(chatlog::Kind::User, "bob"),
             m_home.path() + "/Tavenook Chat Logs/Users/bob.log");
    chatlog::Write(chatlog::Kind::Room, "files room", "[t][bob] one");
    chatlog::Write(chatlog::Kind::Room, "files room", "[t][bob] two\nlines");
    SetSetting("log_room_chat", "no");
    chatlog::Write(chatlog::Kind::Room, "files room", "[t][bob] not kept");
    QCOMPARE(ReadFile(roomLog), QByteArray("[t][bob] one\n[t][bob] two lines\n"));

    // A file that cannot be written is said once, not per line.
    SetSetting("log_private_chat", "yes");
    const QString blocked = chatlog::FilePath(chatlog::Kind::User, "blocked");
    QVERIFY(QDir().mkpath(blocked));
    const auto said = [] {
        return diagnosticsForm->Lines().filter("Cannot write the chat log").size();
    };
    const int before = said();
    chatlog::Write(chatlog::Kind::User, "blocked", "x");
    chatlog::Write(chatlog::Kind::User, "blocked", "y");
    QCOMPARE(said(), before + 1);
    QVERIFY(QDir(blocked).removeRecursively());

    // So is a diagnostic log file, in its area's view.
    const QString area = "blocked area";
    QVERIFY(QDir().mkpath(DiagnosticsForm::LogFilePath(area)));
    SetSetting("show_diagnostics", "yes");
    SetSetting("user_level_logging", "yes");
    Log(area, 1, "a");
    Log(area, 1, "b");
    SetSetting("show_diagnostics", "no");
    QTRY_VERIFY(diagnosticsForm->AreaView(area) &&
                diagnosticsForm->AreaView(area)->toPlainText().endsWith("] b"));
    QCOMPARE(diagnosticsForm->AreaView(area)->toPlainText().count("Cannot write the log file"), 1);
    QVERIFY(QDir(DiagnosticsForm::LogFilePath(area)).removeRecursively());

    // So is a close that fails, where some disks say a write was lost: a
    // chat log's after each line, a diagnostic log's once it is let go.
    {
        const DiskFailsClose disk(m_home.path(), EIO);
        chatlog::Write(chatlog::Kind::User, "closing", "x");
        SetSetting("show_diagnostics", "yes");
        Log("closing", 1, "a");
        QVERIFY(QFile::remove(DiagnosticsForm::LogFilePath("closing")));
        Log("closing", 1, "b");
        SetSetting("show_diagnostics", "no");
    }
    QVERIFY(!diagnosticsForm->Lines()
                 .filter(chatlog::FilePath(chatlog::Kind::User, "closing") + ": " + strerror(EIO))
                 .isEmpty());
    QTRY_VERIFY(diagnosticsForm->AreaView("closing") &&
                diagnosticsForm->AreaView("closing")->toPlainText().endsWith(
                    DiagnosticsForm::LogFilePath("closing") + ": " + strerror(EIO)));
}

// Whatever stands at a log's path (a FIFO, a link to a user's file, a link
// to where none is yet) is neither waited on nor written or read through:
// a writer says so once, a viewer shows nothing, and the user's files stay
// as they were.
void TestChatViews::foreignFilesAtLogPaths_data() {
    QTest::addColumn<QString>("log");   // chat, viewer, diagnostics
    QTest::addColumn<QString>("what");  // fifo, link, dangling link
    for (const char* log : {"chat", "viewer", "diagnostics"})
        for (const char* what : {"fifo", "link", "dangling link"})
            QTest::addRow("%s log, %s", log, what) << log << what;
}

void TestChatViews::foreignFilesAtLogPaths() {
    QFETCH(QString, log);
    QFETCH(QString, what);
    Answers answers;
    const QString name = QString("foreign ") + QTest::currentDataTag();
    const QString path = log == "diagnostics" ? DiagnosticsForm::LogFilePath(name)
                                              : chatlog::FilePath(chatlog::Kind::User, name);
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    const QString userFile = m_home.filePath(name + " notes.txt");
    const QByteArray words = "the user's own words\n";
    {
        QFile file(userFile);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(words) == words.size());
    }
    const QString absent = m_home.filePath(name + " new notes.txt");
    if (what == "fifo")
        QVERIFY(::mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
    else
        QVERIFY(QFile::link(what == "link" ? userFile : absent, path));
    FifoWatch watch(what == "fifo" ? path : QString());
    const QString reason = what == "fifo" ? "not a plain file" : "a link stands there";
    if (log == "chat") {
        SetSetting("log_private_chat", "yes");
        chatlog::Write(chatlog::Kind::User, name, "[t][x] one");
        chatlog::Write(chatlog::Kind::User, name, "[t][x] two");
        const QStringList said =
            diagnosticsForm->Lines().filter("Cannot write the chat log " + path);
        QVERIFY2(said.size() == 1 && said[0].contains(reason), qPrintable(said.join('\n')));
    } else if (log == "viewer") {
        ChatLogForm viewer(path);
        QVERIFY(!viewer.IsLoading());
        QCOMPARE(Plain(viewer.Form()->logEdit), QString());
    } else {
        SetSetting("show_diagnostics", "yes");
        SetSetting("user_level_logging", "yes");
        Log(name, 1, "a");
        Log(name, 1, "b");
        SetSetting("show_diagnostics", "no");
        QTRY_VERIFY(diagnosticsForm->AreaView(name) &&
                    diagnosticsForm->AreaView(name)->toPlainText().endsWith("] b"));
        const QString shown = diagnosticsForm->AreaView(name)->toPlainText();
        QVERIFY2(shown.count("Cannot write the log file") == 1 && shown.contains(reason),
                 qPrintable(shown));
    }
    QVERIFY2(!watch.Freed(), "an open waited on the FIFO");
    QCOMPARE(ReadFile(userFile), words);
    QVERIFY(!QFileInfo(absent).exists() && !QFileInfo(absent).isSymLink());
    QVERIFY(QFile::remove(path) && QFile::remove(userFile));
}

void TestChatViews::logNames_data() {
    QTest::addColumn<QString>("name");
    const QStringList names = {QString(126, QChar(0xe9)),
                               QString(85, QChar(1)),
                               QString(300, 'a'),
                               QString(300, 'a') + "b",
                               QString(100, QChar(0xe9)) + QString(100, '%'),
                               QString::fromUtf8("\xf0\x9f\x98\x80").repeated(70),
                               QString("room") + QChar(0x85) + "name",
                               QString("room") + QChar(0x9f) + "name",
                               QString("lone") + QChar(0xd800) + "half",
                               QString("lone") + QChar(0xdc00) + "half",
                               "../../escape",
                               "a/b\\c:d",
                               ".hidden",
                               "..",
                               "%41",
                               "A",
                               QString("nul") + QChar(0) + "byte"};
    for (const QString& name : names)
        QTest::addRow("%s", name.left(12).toUtf8().toPercentEncoding().constData()) << name;
}

// Hostile names for both kinds of log: within 255 bytes, inside the folder,
// distinct from every other name, and a line written can be read back.
void TestChatViews::logNames() {
    QFETCH(QString, name);
    static QHash<QString, QString> seen;  // file name -> the name it came from
    const QString file = chatlog::SafeFileName(name);
    QVERIFY2(file.toUtf8().size() <= 255, qPrintable(file));
    QVERIFY(file.endsWith(".log") && !file.contains('/') && !file.startsWith('.'));
    for (const QChar c : file)
        QVERIFY(c.unicode() >= 0x20 && (c.unicode() < 0x7f || c.unicode() > 0x9f) && !c.isNull());
    QVERIFY2(!seen.contains(file) || seen.value(file) == name, qPrintable(file));
    seen.insert(file, name);
    if (name == QString("room") + QChar(0x85) + "name")
        QCOMPARE(file, QString("room%85name.log"));

    const QString folder = chatlog::Folder(chatlog::Kind::User);
    const QString path = chatlog::FilePath(chatlog::Kind::User, name);
    QCOMPARE(QFileInfo(path).absolutePath(), folder);
    chatlog::Write(chatlog::Kind::User, name, "[t][x] said");
    QCOMPARE(ReadFile(path), QByteArray("[t][x] said\n"));
    ChatLogForm viewer(path);
    QCOMPARE(Plain(viewer.Form()->logEdit), QString("[t][x] said"));

    const QString area = DiagnosticsForm::LogFilePath(name);
    QCOMPARE(QFileInfo(area).absolutePath(), DiagnosticsForm::LogFolder());
    QCOMPARE(QFileInfo(area).fileName(), file);
    SetSetting("show_diagnostics", "yes");
    SetSetting("user_level_logging", "yes");
    Log(name, 1, "area line");
    SetSetting("show_diagnostics", "no");
    QVERIFY(ReadFile(area).endsWith("] area line\n"));
}

// Random names and chat texts: names stay safe and distinct; a chat line's
// HTML holds no markup from the input and its links end where the raw
// address ends.
void TestChatViews::fuzzLogNamesAndRichText() {
    fuzz::Rng rng(19);
    const QByteArray seeds[] = {"see http://a.b/c?d=e&f=g; and <b>more</b>",
                                "https://x.y/z&nbsp;w &lt; \"q\" 'r'", "\xc3\xa9/\\..%00",
                                "http://", "<a href=\"http://e.vil\">x</a>"};
    static const QRegularExpression anchor("<a href=\"([^\"]*)\">([^<]*)</a>");
    QHash<QString, QString> names;
    for (int i = 0; i < 3000; ++i) {
        QByteArray bytes = fuzz::Mutate(rng, seeds[i % 5]);
        if (i % 3 == 0)
            bytes = bytes.repeated(1 + fuzz::Below(rng, 40));
        const QString raw = i % 2 ? QString::fromUtf8(bytes) : QString::fromLatin1(bytes);

        const QString file = chatlog::SafeFileName(raw);
        QVERIFY(file.toUtf8().size() <= 255 && !file.contains('/') && !file.startsWith('.'));
        const QString other = names.value(file, raw);
        QVERIFY2(other == raw, qPrintable(file));
        names.insert(file, raw);
        QCOMPARE(QFileInfo(DiagnosticsForm::LogFilePath(raw)).fileName(), file);

        // Line breaks within the one line are the only markup of our own.
        const QString html = chat::RichText(raw).replace("<br>", QChar(QChar::LineSeparator));
        QString text;  // the HTML's text with our anchors taken out, unescaped
        int done = 0;
        for (auto it = anchor.globalMatch(html); it.hasNext();) {
            const auto m = it.next();
            text += html.mid(done, m.capturedStart() - done);
            QVERIFY(!m.captured(2).contains("&nbsp;") && !m.captured(2).contains(' '));
            QVERIFY(m.captured(1).startsWith("http"));
            text += m.captured(2);
            done = m.capturedEnd();
        }
        text += html.mid(done);
        QVERIFY2(!text.contains('<') && !text.contains('>'), qPrintable(html));
        QString plain;  // entities resolved in one pass; a bare "&" is markup
        static const QRegularExpression entity("&(amp|lt|gt|nbsp);");
        for (int at = 0; at < text.size();) {
            if (text.at(at) != '&') {
                plain += text.at(at++);
                continue;
            }
            const auto m = entity.match(text, at, QRegularExpression::NormalMatch,
                                        QRegularExpression::AnchoredMatchOption);
            QVERIFY2(m.hasMatch(), qPrintable(html));
            const QString name = m.captured(1);
            plain += name == "amp" ? "&" : name == "lt" ? "<" : name == "gt" ? ">" : " ";
            at = m.capturedEnd();
        }
        // Long words carry zero-width breaks, nothing else; what would start
        // a block breaks the line, and line ends are blanks.
        QString expected = QString(raw).remove(QChar(0x200B)).replace("\r\n", " ");
        for (QChar& c : expected)
            if (c == '\r' || c == '\n')
                c = ' ';
            else if (c == QChar::ParagraphSeparator || c == QChar(0xFDD0) || c == QChar(0xFDD1))
                c = QChar::LineSeparator;
        QCOMPARE(plain.remove(QChar(0x200B)), expected);
    }
}

void TestChatViews::copyGivesTextAsLogged_data() {
    QTest::addColumn<QString>("view");
    for (const char* view : {"private chat", "room", "log viewer"})
        QTest::newRow(view) << QString(view);
}

// What a chat view hands out is the line as received and logged: without the
// breaks that make its long words wrap, with the zero-width spaces it held.
void TestChatViews::copyGivesTextAsLogged() {
    QFETCH(QString, view);
    SetSetting("chat_timestamps", "no_timestamps");
    const QChar own(0x200B);
    const QString text = "see http://x.org/" + QString(1500, 'p') + " then " + QString(1200, 'w') +
                         own + "ab" + own + own + QString(600, 'z') + " and" + own + "short";
    const QString line = "[bob] " + text;
    std::unique_ptr<QWidget> form;
    QTextEdit* shown = nullptr;
    if (view == "private chat") {
        auto* chat = new ChatForm("copier", nullptr);
        form.reset(chat);
        shown = chat->Form()->chatView;
        chat->Transcript().AddLine("bob", text);
    } else if (view == "room") {
        auto* room = new RoomForm("copy room");
        form.reset(room);
        shown = room->Form()->chatView;
        room->Transcript().AddLine("bob", text);
    } else {
        const QString path = m_home.filePath("copy.log");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(line.toUtf8() + '\n') > 0);
        file.close();
        auto* viewer = new ChatLogForm(path);
        form.reset(viewer);
        shown = viewer->Form()->logEdit;
    }
    // Drags and the selection clipboard take the same mime data as a copy.
    QVERIFY(qobject_cast<TranscriptView*>(shown));
    QTRY_COMPARE(LastLine(shown).remove(own), QString(line).remove(own));
    const QTextBlock block = Shown(shown->document()).last();
    QVERIFY(block.text().count(own) > line.count(own));
    QTextCursor cursor(block);
    cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
    shown->setTextCursor(cursor);
    shown->copy();
    const QMimeData* copied = QApplication::clipboard()->mimeData();
    QVERIFY(copied);
    QCOMPARE(copied->text(), line);
    QTextDocument html;
    html.setHtml(copied->html());
    QCOMPARE(html.toPlainText(), line);
}

// The viewer reads the file back as plain text, finds with a visible mark,
// and erases the log only when asked and able.
void TestChatViews::logViewer() {
    Answers answers;
    const QString path = m_home.filePath("viewer.log");
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("one Two\n\n<b>two</b> &amp; three\n" + QByteArray(70000, 'x') +
                   "\nabab\np\xe2\x80\xa9q\rr\n");
    }
    ChatLogForm viewer(path);
    QTextEdit* view = viewer.Form()->logEdit;
    QVERIFY(!viewer.IsLoading());
    QCOMPARE(Shown(view->document()).size(), 6);
    const QString lineBreak(QChar(QChar::LineSeparator));
    QCOMPARE(LastLine(view), "p" + lineBreak + "q r");
    QCOMPARE(Plain(view).split('\n').mid(0, 3),
             QStringList({"one Two", "", "<b>two</b> &amp; three"}));
    QCOMPARE(Shown(view->document())[3].text().remove(QChar(0x200B)), QString(70000, 'x'));
    viewer.AddLine("  [t][bob] <i>later</i>  ");
    QCOMPARE(LastLine(view), QString("[t][bob] <i>later</i>"));
    // What would start a block is a line break within the line.
    viewer.AddLine(
        QString("[t][bob] a%1b%2c%3d\re").arg(QChar(0x2029), QChar(0xFDD0), QChar(0xFDD1)));
    QTRY_COMPARE(Shown(view->document()).size(), 8);
    QCOMPARE(LastLine(view), QStringList({"[t][bob] a", "b", "c", "d e"}).join(lineBreak));
    QVERIFY(viewer.Form()->olderLabel->isHidden());

    // The mark contrasts with the text's background, whatever the setting.
    const QColor base = view->palette().color(QPalette::Base);
    for (const QString& setting : {base.name(), QString("#ffff00"), QString("#000000")}) {
        SetSetting("color_input_background", setting);
        viewer.Form()->searchEdit->setText(QString());
        viewer.Form()->searchEdit->setText("two");
        const auto marks = view->extraSelections();
        QCOMPARE(marks.size(), 1);
        QCOMPARE(marks[0].cursor.selectedText(), QString("Two"));
        const QColor mark = marks[0].format.background().color();
        const auto distance = [](const QColor& a, const QColor& b) {
            return qAbs(a.red() - b.red()) + qAbs(a.green() - b.green()) +
                   qAbs(a.blue() - b.blue());
        };
        QVERIFY2(distance(mark, base) >= 96, qPrintable(mark.name()));
        QVERIFY(distance(mark, marks[0].format.foreground().color()) >= 96);
        if (distance(QColor(setting), base) >= 96)
            QCOMPARE(mark, QColor(setting));
    }
    QVERIFY(viewer.Form()->searchForwardButton->isEnabled());
    QVERIFY(!viewer.Form()->searchBackButton->isEnabled());
    viewer.OnSearchForward();
    QCOMPARE(view->extraSelections()[0].cursor.selectedText(), QString("two"));
    QVERIFY(!viewer.Form()->searchForwardButton->isEnabled());
    QVERIFY(viewer.Form()->searchBackButton->isEnabled());
    viewer.Form()->searchEdit->setText(QString());
    QVERIFY(view->extraSelections().isEmpty());

    // "Clear Log": No keeps it; a file that cannot go is said and kept; Yes
    // removes file and text.
    emit actionBar->ActionTriggered(&viewer, "clear_chat_log");
    QVERIFY(QFile::exists(path) && !view->toPlainText().isEmpty());
    answers.yes = true;
    QVERIFY(QFile::remove(path) && QDir().mkpath(path + "/inside"));
    emit actionBar->ActionTriggered(&viewer, "clear_chat_log");
    QVERIFY(answers.boxes.last().contains("could not be deleted"));
    QVERIFY(!view->toPlainText().isEmpty());
    QVERIFY(QDir(path).removeRecursively());
    QVERIFY(QFile(path).open(QIODevice::WriteOnly));
    emit actionBar->ActionTriggered(&viewer, "clear_chat_log");
    QVERIFY(!QFile::exists(path) && view->toPlainText().isEmpty());
    QCOMPARE(
        answers.boxes.count("Clear log?: Are you sure you want to erase the contents of this log?"),
        3);

    ChatLogForm missing(m_home.filePath("never.log"));
    QVERIFY(missing.Path().isEmpty());
    missing.AddLine("arrives anyway");
    QCOMPARE(Plain(missing.Form()->logEdit), QString("arrives anyway"));

    // A viewer that showed the whole file says so once new lines push out
    // the oldest.
    const QString small = m_home.filePath("small.log");
    {
        QFile file(small);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[t][bob] first\n");
    }
    ChatLogForm open(small, nullptr, 5000);
    QVERIFY(!open.IsLoading());
    QVERIFY(open.Form()->olderLabel->isHidden());
    for (int i = 0; i < 100; ++i)
        open.AddLine(QString("[t][bob] flood %1").arg(i));
    QTRY_COMPARE(LastLine(open.Form()->logEdit), QString("[t][bob] flood 99"));
    QVERIFY(!Plain(open.Form()->logEdit).contains("first"));
    QVERIFY(!open.Form()->olderLabel->isHidden());

    // The same in batches of one line, each far below the cap: the view's
    // own cut pushes out the oldest, and the note comes with the first to go.
    ChatLogForm batches(small, nullptr, 5000);
    QTextEdit* batchView = batches.Form()->logEdit;
    for (int i = 0; i < 200; ++i) {
        m_now = m_now.addMSecs(ChatLogForm::kBatchMs);
        const QString line = QString("[t][bob] batch %1").arg(i);
        batches.AddLine(line);
        QCOMPARE(LastLine(batchView), line);
        const QStringList shown = Plain(batchView).split('\n');
        const bool cut = shown.first() != "[t][bob] first";
        QCOMPARE(!batches.Form()->olderLabel->isHidden(), cut);
        // Whole lines, the newest kept, the oldest gone.
        if (cut)
            QCOMPARE(shown.first(), QString("[t][bob] batch %1").arg(i + 1 - shown.size()));
        QVERIFY(chat::Size(batchView->document()) <= 5000);
    }
    QVERIFY(!batches.Form()->olderLabel->isHidden());
}

// The find bar looks for the typed text as it stands, never as a pattern.
void TestChatViews::logViewerFind_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("marked");
    QTest::newRow("plain") << "Again"
                           << "again";
    QTest::newRow("brackets") << "[bob]"
                              << "[bob]";
    QTest::newRow("dot") << "."
                         << ".";
    QTest::newRow("parentheses") << "what (again)"
                                 << "what (again)";
    QTest::newRow("plus") << "a+"
                          << "";
    QTest::newRow("backslash") << "\\w"
                               << "\\w";
    QTest::newRow("anchor") << "^what"
                            << "";
    QTest::newRow("own zero-width space") << "xy" << QString("x\u200b\u200by");
}

void TestChatViews::logViewerFind() {
    QFETCH(QString, typed);
    QFETCH(QString, marked);
    const QString path = m_home.filePath("find.log");
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("what now\n[t][bob] what (again) \\w ends here. x\xe2\x80\x8by\n");
    }
    ChatLogForm viewer(path);
    viewer.Form()->searchEdit->setText(typed);
    const auto marks = viewer.Form()->logEdit->extraSelections();
    QCOMPARE(marks.isEmpty() ? QString() : marks[0].cursor.selectedText(), marked);
}

// A log of long words and many lines loads in steps; the find bar reaches
// the oldest and the newest line shown, within long words too. Past the
// view's cap only the newest lines show, with a note at the top, and new
// lines push out the oldest.
void TestChatViews::logViewerLarge() {
    const auto lineOf = [](int i) {
        if (i % 10 == 9)
            return "[t][bob] " + QString(20000, QChar('a' + i % 26)) + QString("end%1").arg(i);
        return QString("[t][bob] line %1 of many").arg(i);
    };
    const auto write = [&](const QString& path, int count) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        for (int i = 0; i < count; ++i)
            file.write(lineOf(i).toUtf8() + '\n');
    };
    const auto find = [](ChatLogForm& viewer, const QString& text) {
        viewer.Form()->searchEdit->setText(QString());
        viewer.Form()->searchEdit->setText(text);
        const auto marks = viewer.Form()->logEdit->extraSelections();
        return marks.isEmpty() ? QString() : marks[0].cursor.selectedText().remove(QChar(0x200B));
    };
    const int cap = 3000000;

    // All of it fits.
    const QString whole = m_home.filePath("whole.log");
    write(whole, 400);
    ChatLogForm viewer(whole, nullptr, cap);
    QTextEdit* view = viewer.Form()->logEdit;
    QVERIFY(viewer.IsLoading());
    viewer.AddLine("[t][bob] while loading");
    QSignalSpy loaded(&viewer, &ChatLogForm::Loaded);
    QVERIFY(loaded.wait(20000));
    QVERIFY(!viewer.IsLoading());
    QList<QTextBlock> shown = Shown(view->document());
    QCOMPARE(shown.size(), 401);
    QCOMPARE(shown[0].text(), lineOf(0));
    QCOMPARE(shown[399].text().remove(QChar(0x200B)), lineOf(399));
    QCOMPARE(shown[400].text(), QString("[t][bob] while loading"));
    QVERIFY(viewer.Form()->olderLabel->isHidden());
    QCOMPARE(find(viewer, "LINE 0 of"), QString("line 0 of"));
    const QString wordEnd = QString(30, QChar('a' + 399 % 26)) + "end399";
    QCOMPARE(find(viewer, wordEnd), wordEnd);
    QVERIFY(view->textCursor().block() == shown[399]);
    QVERIFY(!viewer.Form()->searchForwardButton->isEnabled());
    QCOMPARE(find(viewer, "while loading"), QString("while loading"));

    // Four times as much: the newest lines only, whole, and a note.
    const QString large = m_home.filePath("large.log");
    write(large, 4 * 400);
    ChatLogForm newest(large, nullptr, cap);
    view = newest.Form()->logEdit;
    QSignalSpy loadedNewest(&newest, &ChatLogForm::Loaded);
    QVERIFY(loadedNewest.wait(20000));
    QVERIFY(!newest.Form()->olderLabel->isHidden());
    shown = Shown(view->document());
    QVERIFY(chat::Size(view->document()) <= cap);
    const int first = 1600 - shown.size();
    QVERIFY(first > 400);
    for (int i = 0; i < shown.size(); ++i)
        QCOMPARE(shown[i].text().remove(QChar(0x200B)), lineOf(first + i));
    int oldestPlain = first;
    while (oldestPlain % 10 == 9)
        ++oldestPlain;
    const QString oldest = QString("line %1 of many").arg(oldestPlain);
    QCOMPARE(find(newest, oldest), oldest);
    QVERIFY(!newest.Form()->searchBackButton->isEnabled());
    QCOMPARE(find(newest, QString("line %1 of many").arg(first - 2)), QString());
    QCOMPARE(find(newest, "end1599"), QString("end1599"));

    // New lines past the cap push out the oldest; the newest stays whole.
    for (int i = 1600; i < 1800; ++i) {
        newest.AddLine(lineOf(i));
        QVERIFY(chat::Size(view->document()) <= cap);
    }
    QTRY_COMPARE(Shown(view->document()).last().text().remove(QChar(0x200B)), lineOf(1799));
    shown = Shown(view->document());
    // Nor does an undo stack keep what went.
    QCOMPARE(view->document()->availableUndoSteps(), 0);
    QVERIFY(shown.first().text().remove(QChar(0x200B)) == lineOf(1800 - shown.size()));

    // A file of one endless line: its newest characters, in lines of at most
    // kLongestLine bytes.
    const QString endless = m_home.filePath("endless.log");
    {
        QFile file(endless);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(5 * ChatLogForm::kLongestLine, 'z') + "end");
    }
    ChatLogForm tail(endless, nullptr, cap);
    QSignalSpy loadedTail(&tail, &ChatLogForm::Loaded);
    QVERIFY(loadedTail.wait(20000));
    QVERIFY(!tail.Form()->olderLabel->isHidden());
    QVERIFY(chat::Size(tail.Form()->logEdit->document()) <= cap);
    QVERIFY(LastLine(tail.Form()->logEdit).remove(QChar(0x200B)).endsWith("zzzzend"));
    for (const QTextBlock& b : Shown(tail.Form()->logEdit->document()))
        QVERIFY(b.text().remove(QChar(0x200B)).size() <= ChatLogForm::kShownPiece);

    // A line of kLongestLine bytes is one line, shown in pieces, even when
    // a read ends with it just before its line end.
    const QString limit = m_home.filePath("limit.log");
    const QByteArray longest(ChatLogForm::kLongestLine, 'y');
    const int pieces =
        (ChatLogForm::kLongestLine + ChatLogForm::kShownPiece - 1) / ChatLogForm::kShownPiece;
    for (const QByteArray& after : {QByteArray(), QByteArray("after\n")}) {
        {
            QFile file(limit);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(longest + '\n' + after);
        }
        ChatLogForm one(limit, nullptr, cap);
        QSignalSpy loadedOne(&one, &ChatLogForm::Loaded);
        QVERIFY(!one.IsLoading() || loadedOne.wait(20000));
        QStringList texts;
        for (const QTextBlock& b : Shown(one.Form()->logEdit->document()))
            texts << b.text().remove(QChar(0x200B));
        QCOMPARE(texts.size(), pieces + (after.isEmpty() ? 0 : 1));
        QVERIFY(texts.mid(0, pieces).join(QString()) == QString::fromLatin1(longest));
        QCOMPARE(texts.last(), after.isEmpty() ? QString(texts.last().size(), 'y') : "after");
    }

    // Lines that come while a log loads go in over later steps, in order,
    // no change larger than a piece; a flood past the cap keeps the newest.
    ChatLogForm flooded(whole, nullptr, cap);
    int largest = 0;
    connect(flooded.Form()->logEdit->document(), &QTextDocument::contentsChange, &flooded,
            [&largest](int, int, int added) { largest = qMax(largest, added); });
    QVERIFY(flooded.IsLoading());
    constexpr int kWords = 31;
    for (int i = 0; i < kWords; ++i)
        flooded.AddLine("[t][bob] " + QString(100000, QChar('a' + i % 26)) + QString::number(i));
    QSignalSpy loadedFlooded(&flooded, &ChatLogForm::Loaded);
    QVERIFY(loadedFlooded.wait(20000));
    QVERIFY(!flooded.Form()->olderLabel->isHidden());
    QVERIFY(chat::Size(flooded.Form()->logEdit->document()) <= cap);
    shown = Shown(flooded.Form()->logEdit->document());
    QVERIFY(shown.size() > 10);
    for (int i = 0; i < 10; ++i)
        QVERIFY(shown[shown.size() - 1 - i]
                    .text()
                    .remove(QChar(0x200B))
                    .endsWith(QString(10, QChar('a' + (kWords - 1 - i) % 26)) +
                              QString::number(kWords - 1 - i)));
    QVERIFY2(largest <= ChatLogForm::kShownPiece * 5 / 4 + 2, qPrintable(QString::number(largest)));

    // Those that come once the file's lines are shown wait for the next
    // batch, as once loaded: of a flood, only the newest are laid out.
    const auto wordOf = [](int i) {
        return "[t][bob] " + QString(100000, QChar('a' + i % 26)) + QString::number(i);
    };
    ChatLogForm later(whole, nullptr, cap);
    QTextDocument* laterDocument = later.Form()->logEdit->document();
    QVERIFY(later.IsLoading());
    for (int i = 0; i < kWords; ++i)
        later.AddLine(wordOf(i));
    // Once the first of the words shows, the file's lines are all shown.
    bool more = false;
    connect(laterDocument, &QTextDocument::contentsChange, &later, [&] {
        if (more || laterDocument->lastBlock().previous().length() < 100000)
            return;
        more = true;
        for (int i = kWords; i < kWords + 5; ++i)
            later.AddLine(wordOf(i));
    });
    QTRY_COMPARE_WITH_TIMEOUT(laterDocument->lastBlock().previous().text().remove(QChar(0x200B)),
                              wordOf(kWords + 4), 20000);
    QVERIFY(more);
    QVERIFY(!later.Form()->olderLabel->isHidden());
    QVERIFY2(Shown(laterDocument).size() <= 3,
             qPrintable(QString::number(Shown(laterDocument).size())));
}

// The largest file count and speed read in full in the member list, in the
// default font and in one twice as large.
void TestChatViews::memberNumbersFit_data() {
    QTest::addColumn<qreal>("fontScale");
    QTest::newRow("default font") << 1.0;
    QTest::newRow("large font") << 2.0;
}

void TestChatViews::memberNumbersFit() {
    QFETCH(qreal, fontScale);
    ScaledAppFont font(fontScale);
    const QString name = QString("counter %1").arg(fontScale);
    const ItemPtr room = d.GetType("room")->GetItem(Value(name));
    RoomForm form(name);
    const ItemPtr user = d.GetType("user")->GetItem(Value(name));
    user.Connect(d.GetType("shared_file_count")->GetItem(Value(9999999)));
    user.Connect(d.GetType("average_download_speed")->GetItem(Value(qint64(10239999897))));
    user.Connect(d.GetType("country_code")->GetItem(Value("DE")));
    room.Connect(user);
    form.FlushMembers();
    QTreeWidgetItem* row = form.UserRow(name);
    QVERIFY(row);
    QCOMPARE(row->text(RoomForm::ColumnFiles), QString("9,999,999"));
    QCOMPARE(row->text(RoomForm::ColumnSpeed), QString("9999999.9"));
    for (const int column : {RoomForm::ColumnFiles, RoomForm::ColumnSpeed}) {
        const QString cut = CutInColumn(row->treeWidget(), column);
        QVERIFY2(cut.isEmpty(), qPrintable(cut));
    }
}

// A flood of new lines in an open viewer: they show together, the newest
// last; past a batch's worth only the newest part is laid out, with the note,
// and the view holds one piece of the log.
void TestChatViews::logViewerBurst() {
    const QString path = m_home.filePath("burst viewer.log");
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[t][bob] before the burst\n");
    }
    ChatLogForm viewer(path);
    QVERIFY(!viewer.IsLoading());
    QTextDocument* document = viewer.Form()->logEdit->document();
    int added = 0;
    connect(document, &QTextDocument::contentsChange,
            [&added](int, int, int charsAdded) { added += charsAdded; });
    const auto lineOf = [](int i) {
        return i % 10 == 9 ? "[t][bob] " + QString(30000, 'w') + QString::number(i)
                           : QString("[t][bob] line %1 of the burst").arg(i);
    };
    const int count = 400;
    for (int i = 0; i < count; ++i)
        viewer.AddLine(lineOf(i));
    QTRY_COMPARE(LastLine(viewer.Form()->logEdit).remove(QChar(0x200B)), lineOf(count - 1));
    const QStringList shown = Plain(viewer.Form()->logEdit).remove(QChar(0x200B)).split('\n');
    const int first = count - int(shown.size());
    QVERIFY(first > 0);
    for (int k = 0; k < shown.size(); ++k)
        QCOMPARE(shown[k], lineOf(first + k));
    QVERIFY(!viewer.Form()->olderLabel->isHidden());
    QVERIFY2(added < 2 * ChatLogForm::kBatchCap, qPrintable(QString::number(added)));
}

// The owner's row is bold and underlined whichever of the row and the owner
// link comes first, and plain again when the link goes.
void TestChatViews::ownerRowInEitherOrder() {
    const ItemPtr room = d.GetType("room")->GetItem("den");
    RoomForm form("den");
    const auto member = [&](const QString& name) {
        const ItemPtr user = d.GetType("user")->GetItem(Value(name));
        user.Connect(d.GetType("average_download_speed")->GetItem(Value(1536)));
        user.Connect(d.GetType("shared_file_count")->GetItem(Value(1234567)));
        user.Connect(d.GetType("country_code")->GetItem(Value("DE")));
        room.Connect(user);
        return user;
    };
    const auto font = [&](const QString& name) {
        QTreeWidgetItem* row = form.UserRow(name);
        return row ? QString("%1%2").arg(row->font(RoomForm::ColumnUser).bold() ? "B" : "-",
                                         row->font(RoomForm::ColumnUser).underline() ? "U" : "-")
                   : QString("none");
    };
    const ItemPtr carol = member("carol");
    QCOMPARE(font("carol"), QString("--"));
    QCOMPARE(form.UserRow("carol")->text(RoomForm::ColumnFiles), QString("1,234,567"));
    QCOMPARE(form.UserRow("carol")->text(RoomForm::ColumnSpeed), QString("1.5"));
    const ItemPtr owner = room.NewItem("room_owner");
    owner.Connect(carol);  // the row first, then the link
    QCOMPARE(font("carol"), QString("BU"));
    owner.Disconnect(carol);
    QCOMPARE(font("carol"), QString("--"));

    const ItemPtr dave = d.GetType("user")->GetItem("dave");
    owner.Connect(dave);  // the link first, then the row
    member("dave");
    QCOMPARE(font("dave"), QString("BU"));
    room.NewItem("room_operators").Connect(dave);
    room["room_operators"].Disconnect(dave);  // an owner without rank: normal weight
    QCOMPARE(font("dave"), QString("-U"));
    owner.Connect(carol);  // ownership moves
    QCOMPARE(font("dave") + font("carol"), QString("--BU"));

    room.Disconnect("user");
    QCOMPARE(form.Form()->userList->topLevelItemCount(), 0);
    room.Disconnect("room_owner");
}

// A country code shows its flag, no code the cat, and a code without an
// image a blank cell.
void TestChatViews::memberFlags() {
    const ItemPtr room = d.GetType("room")->GetItem("flags");
    RoomForm form("flags");
    const auto image = [&](const QString& name, const QString& country) {
        const ItemPtr user = d.GetType("user")->GetItem(Value(name));
        user.Connect(d.GetType("average_download_speed")->GetItem(Value(0)));
        user.Connect(d.GetType("shared_file_count")->GetItem(Value(0)));
        user.Connect(d.GetType("country_code")->GetItem(Value(country)));
        room.Connect(user);
        QTreeWidgetItem* row = form.UserRow(name);
        return row ? row->icon(RoomForm::ColumnFlag).pixmap(16, 11).toImage() : QImage();
    };
    const QImage german(":/resources/flags/de.png");
    QCOMPARE(german.size(), QSize(16, 11));
    QCOMPARE(image("hans", "DE"), german);
    QVERIFY(image("anna", "de") == german && german != QImage(":/resources/flags/fr.png"));
    QCOMPARE(image("tom", ""), QIcon(":/icons/cat_icon").pixmap(16, 11).toImage());
    QVERIFY(!image("tom", "").isNull());
    QVERIFY(image("nemo", "XQ").isNull());
    QVERIFY(image("dots", "../../icons/cat_icon").isNull());
    form.FlushMembers();
    QCOMPARE(form.Form()->userList->topLevelItemCount(), 5);
    room.Disconnect("user");
}

// Members stand in the order of the sort column, each newcomer in her place:
// by name at first, by shared files either way once that header is chosen.
void TestChatViews::memberOrder() {
    const ItemPtr room = d.GetType("room")->GetItem("order");
    RoomForm form("order");
    QTreeWidget* list = form.Form()->userList;
    const auto member = [&](const QString& name, int files) {
        const ItemPtr user = d.GetType("user")->GetItem(Value(name));
        user.Connect(d.GetType("average_download_speed")->GetItem(Value(0)));
        user.Connect(d.GetType("shared_file_count")->GetItem(Value(files)));
        user.Connect(d.GetType("country_code")->GetItem(Value("DE")));
        room.Connect(user);
    };
    const auto names = [&] {
        form.FlushMembers();
        QStringList shown;
        for (int i = 0; i < list->topLevelItemCount(); ++i)
            shown << list->topLevelItem(i)->text(RoomForm::ColumnUser);
        return shown.join(' ');
    };
    member("carol", 30);
    member("Alice", 5);
    member("bob", 20);
    QCOMPARE(names(), QString("Alice bob carol"));
    member("ben", 10);
    QCOMPARE(names(), QString("Alice ben bob carol"));
    list->header()->setSortIndicator(RoomForm::ColumnFiles, Qt::AscendingOrder);
    member("dave", 15);
    QCOMPARE(names(), QString("carol bob dave ben Alice"));
    list->header()->setSortIndicator(RoomForm::ColumnFiles, Qt::DescendingOrder);
    member("eve", 25);
    QCOMPARE(names(), QString("Alice ben dave bob eve carol"));
    room.Disconnect("user");
    QCOMPARE(names(), QString());
}

// Two users in a room through the loopback server: members, counts, chat and
// its log, the wall and tickers, the menus, a reconnection, and the tab.
void TestChatViews::roomsAgainstServer() {
    Answers answers;
    RawPeer bob;
    QVERIFY(Login(bob, m_server.Port(), "bob"));
    m_server.SetUserStats("bob", UserStats());
    m_server.SetUserCountry("bob", "DE");

    // Rooms alike up to their last word read apart in the room list: cut in
    // the middle, and whole in their tooltips.
    const QStringList alike = {"Quokka Lovers International Room North",
                               "Quokka Lovers International Room South"};
    for (const QString& name : alike) {
        bob.SendMessage(14, Payload().Str(name).U32(0));
        QVERIFY(bob.Take(14).startsWith(Payload().Str(name).Bytes()));
    }
    Rooms()->OnToolBarActionTriggered(nullptr, "refresh_room_list");
    QTreeWidget* roomList = Rooms()->RoomList();
    QCOMPARE(roomList->textElideMode(), Qt::ElideMiddle);
    for (const QString& name : alike) {
        QTRY_VERIFY(!roomList->findItems(name, Qt::MatchExactly).isEmpty());
        QCOMPARE(roomList->findItems(name, Qt::MatchExactly)[0]->toolTip(0), name);
    }

    gp_server->EnterRoom("lobby", false);
    QTRY_VERIFY(Rooms()->RoomView("lobby"));
    RoomForm* form = Rooms()->RoomView("lobby");
    const ItemPtr room = d.GetType("room")->HasItem("lobby");
    QTRY_VERIFY(form->UserRow("me"));
    QCOMPARE(room["user_count"].AsInt64(), 1);

    bob.SendMessage(14, Payload().Str("lobby").U32(0));
    QVERIFY(bob.Take(14).startsWith(Payload().Str("lobby").U32(2).Bytes()));
    QTRY_VERIFY(form->UserRow("bob"));
    QCOMPARE(room["user_count"].AsInt64(), 2);

    // Bob speaks; we speak and see our line when the server echoes it.
    SetSetting("chat_timestamps", "no_timestamps");
    bob.SendMessage(13, Payload().Str("lobby").Str("  hello <all> http://x.org/p now  "));
    QTRY_COMPARE(LastLine(form->Form()->chatView), QString("[bob] hello <all> http://x.org/p now"));
    QCOMPARE(Anchors(form->Form()->chatView->document()).value(0).second,
             QString("http://x.org/p"));
    form->Form()->chatEdit->setText("  mine  ");
    form->OnEnterPressed();
    QVERIFY(form->Form()->chatEdit->text().isEmpty());
    QTRY_COMPARE(LastLine(form->Form()->chatView), QString("[me] mine"));
    bob.Take(13);  // bob's own line first
    QCOMPARE(bob.Take(13), Payload().Str("lobby").Str("me").Str("  mine  ").Bytes());
    bob.SendMessage(13, Payload().Str("lobby").Str("/me waves"));
    QTRY_COMPARE(LastLine(form->Form()->chatView), QString("* bob waves"));
    const QByteArray log = ReadFile(chatlog::FilePath(chatlog::Kind::Room, "lobby"));
    const QStringList lines = QString::fromUtf8(log).split('\n');
    QCOMPARE(lines.size(), 4);
    QVERIFY(lines[0].endsWith("][bob] hello <all> http://x.org/p now"));
    QVERIFY(lines[1].endsWith("][me] mine") && lines[2].endsWith("] * bob waves"));

    // A line said while the room is out of sight raises the room's event
    // button only while its activity alert is on.
    SetSetting("show_event_buttons", "yes");
    QTabWidget* pages = m_window->Form()->tabControl;
    const auto buttonsForUnseenLine = [&](const QString& text) {
        for (int k = 0; k < pages->count(); ++k)
            if (pages->widget(k)->isAncestorOf(form))
                pages->setCurrentIndex((k + 1) % pages->count());
        const auto count = [] {
            int n = 0;
            for (QAction* action : eventToolBar->actions())
                n += action->text() == "lobby";
            return n;
        };
        const int before = count();
        bob.SendMessage(13, Payload().Str("lobby").Str(text));
        [&] { QTRY_COMPARE(LastLine(form->Form()->chatView), "[bob] " + text); }();
        return count() - before;
    };
    const auto toggleAlert = [&] {
        for (QAction* action : eventToolBar->actions())
            if (action->text() == "lobby")
                action->trigger();  // back to the room
        FocusWidgetAndParents(form->Form()->chatEdit);
        actionBar->OnApplicationFocusChanged(nullptr, form->Form()->chatEdit);
        emit actionBar->ActionTriggered(form, "toggle_room_activity_alert");
    };
    QVERIFY(!room.IsConnected("room_activity_alert"));
    QCOMPARE(buttonsForUnseenLine("unseen, no alert"), 0);
    toggleAlert();
    QVERIFY(room.IsConnected("room_activity_alert"));
    QCOMPARE(buttonsForUnseenLine("unseen, alert on"), 1);
    toggleAlert();
    QVERIFY(!room.IsConnected("room_activity_alert"));
    QCOMPARE(buttonsForUnseenLine("unseen, alert off"), 0);
    FocusWidgetAndParents(form->Form()->chatEdit);

    // The member's menu and note go to the user views.
    QTreeWidget* list = form->Form()->userList;
    Rooms()->Tabs()->setCurrentWidget(form);
    QTRY_VERIFY(list->isVisible());
    const QPoint bobAt = list->visualItemRect(form->UserRow("bob")).center();
    form->OnUserListContextMenuRequested(bobAt);
    QCOMPARE(answers.menus.size(), 1);
    form->OnUserListContextMenuRequested(QPoint(5, list->viewport()->height() - 2));
    QCOMPARE(answers.menus.size(), 1);  // no row, no menu
    const ItemPtr bobItem = d.GetType("user")->HasItem("bob");
    form->OnUserItemClicked(form->UserRow("bob"), RoomForm::ColumnNote);
    QVERIFY(bobItem["user_note_dialog"].IsNull());  // no note: nothing
    bobItem.Connect(d.GetType("user_note")->GetItem("<b>lends</b> files"));
    QVERIFY(!form->UserRow("bob")->icon(RoomForm::ColumnNote).isNull());
    form->OnUserItemClicked(form->UserRow("bob"), RoomForm::ColumnNote);
    UserNoteDialog* note = UserNoteDialog::GetDialog("bob");
    QCOMPARE(note->windowTitle(), QString("bob"));
    QVERIFY(note->isVisible());
    delete note;
    bobItem.Disconnect("user_note");
    QVERIFY(form->UserRow("bob")->icon(RoomForm::ColumnNote).isNull());

    // The member list offers the user commands for the selected member.
    list->clearSelection();
    actionBar->OnApplicationFocusChanged(nullptr, list);
    QCOMPARE(actionBar->ShownWidget(), list);
    QCOMPARE(ShownTexts(), QStringList({"Message User", "Browse User's Files", "Add User"}));
    const int chats = chatsForm->Tabs()->count();
    const int shareTabs = sharesForm->Tabs()->count();
    for (const char* text : {"Add User", "Message User", "Browse User's Files"})
        ToolBarAction(text)->trigger();  // nobody selected: nothing happens
    QVERIFY(!bobItem.IsConnected("in_user_list"));
    QCOMPARE(chatsForm->Tabs()->count() + sharesForm->Tabs()->count(), chats + shareTabs);
    form->UserRow("bob")->setSelected(true);
    ToolBarAction("Add User")->trigger();
    QVERIFY(bobItem.IsConnected("in_user_list"));
    ToolBarAction("Message User")->trigger();
    QCOMPARE(chatsForm->Tabs()->count(), chats + 1);
    QCOMPARE(chatsForm->Tabs()->tabText(chats), QString("bob"));
    chatsForm->OnChatTabClosed(chats);
    actionBar->OnApplicationFocusChanged(nullptr, list);
    ToolBarAction("Browse User's Files")->trigger();
    QCOMPARE(sharesForm->Tabs()->count(), shareTabs + 1);
    QCOMPARE(sharesForm->Tabs()->tabText(shareTabs), QString("bob"));
    FocusWidgetAndParents(form->Form()->chatEdit);
    QTRY_COMPARE(actionBar->ShownWidget(), form);
    QVERIFY(ShownTexts().contains("Room Wall") && !ShownTexts().contains("Add User"));

    // A membership granted or lost while the view is open shows at the next
    // visit of the room's tool bar.
    const auto membershipOffered = [&] {
        actionBar->OnApplicationFocusChanged(nullptr, Rooms()->RoomList());
        actionBar->OnApplicationFocusChanged(nullptr, form->Form()->chatEdit);
        QAction* action = ToolBarAction("Give Up Membership");
        return action && action->isVisible();
    };
    QVERIFY(!membershipOffered());
    room.NewItem("is_member");
    QVERIFY(membershipOffered());
    room.Disconnect("is_member");
    QVERIFY(!membershipOffered());

    // The wall: a ticker from bob, our own through the entry, one wall tab.
    actionBar->OnApplicationFocusChanged(nullptr, form->Form()->chatEdit);
    QCOMPARE(actionBar->GetKey("room"), QString("lobby"));
    bob.SendMessage(116, Payload().Str("lobby").Str("bob's <ticker> & more"));
    QCOMPARE(bob.Take(114), Payload().Str("lobby").Str("bob").Str("bob's <ticker> & more").Bytes());
    QAction* wallAction = ToolBarAction("Room Wall");
    QVERIFY(wallAction);
    wallAction->trigger();
    auto* wall = qobject_cast<RoomWallForm*>(Rooms()->Tabs()->currentWidget());
    QVERIFY(wall);
    QTRY_COMPARE(Plain(wall->Form()->textBrowser).trimmed(), QString("bob's <ticker> & more -bob"));
    wall->Form()->lineEdit->setText("  mine too ");
    wall->OnEnterPressed();
    QTRY_VERIFY(Plain(wall->Form()->textBrowser).trimmed().startsWith("mine too -me\n"));
    QVERIFY(wall->Form()->lineEdit->text().isEmpty());
    const int tabs = Rooms()->Tabs()->count();
    actionBar->OnApplicationFocusChanged(nullptr, form->Form()->chatEdit);
    ToolBarAction("Room Wall")->trigger();
    QCOMPARE(Rooms()->Tabs()->count(), tabs);
    QCOMPARE(Rooms()->Tabs()->currentWidget(), wall);
    Rooms()->OnRoomTabClosed(Rooms()->Tabs()->indexOf(wall));
    QVERIFY(room["room_wall_form"].IsNull());

    // The room's chat log opens on the same file name.
    actionBar->OnApplicationFocusChanged(nullptr, form->Form()->chatEdit);
    ToolBarAction("Chat Log")->trigger();
    auto* viewer = qobject_cast<ChatLogForm*>(Rooms()->Tabs()->currentWidget());
    QVERIFY(viewer && viewer->Path() == chatlog::FilePath(chatlog::Kind::Room, "lobby"));
    bob.SendMessage(13, Payload().Str("lobby").Str("to the viewer"));
    QTRY_VERIFY(LastLine(viewer->Form()->logEdit).endsWith("][bob] to the viewer"));
    Rooms()->OnRoomTabClosed(Rooms()->Tabs()->indexOf(viewer));
    QVERIFY(room["chat_log_form"].IsNull());

    // Bob leaves: his row goes and the count follows.
    bob.SendMessage(15, Payload().Str("lobby"));
    QTRY_VERIFY(!form->UserRow("bob"));
    QCOMPARE(room["user_count"].AsInt64(), 1);

    // Offline a typed line stays in the entry and is neither shown nor logged.
    m_server.DropClient("me");
    QTRY_VERIFY(!gp_server->IsConnected());
    QTRY_VERIFY(LastLine(form->Form()->chatView).startsWith("* Disconnected at "));
    form->Form()->chatEdit->setText("lost?");
    form->OnEnterPressed();
    QCOMPARE(form->Form()->chatEdit->text(), QString("lost?"));
    QTRY_VERIFY(LastLine(form->Form()->chatView).contains("not sent"));
    QVERIFY(!ReadFile(chatlog::FilePath(chatlog::Kind::Room, "lobby")).contains("lost?"));

    // Back online the view says so and rejoins, without a second view.
    m_server.ClearReceived("me");
    gp_server->Connect();
    QTRY_VERIFY(Online());
    QVERIFY(m_server.WaitForMessage("me", 14, 10000));
    QTRY_VERIFY(LastLine(form->Form()->chatView).startsWith("* Reconnected at "));
    QCOMPARE(Rooms()->RoomView("lobby"), form);
    QCOMPARE(Rooms()->Tabs()->indexOf(form), Rooms()->Tabs()->count() - 1);

    // Closing the tab leaves the room; the room can be joined again.
    Rooms()->OnRoomTabClosed(Rooms()->Tabs()->indexOf(form));
    QVERIFY(m_server.WaitForMessage("me", 15, 10000));
    QTRY_VERIFY(!room.IsConnected("in_room"));
    QVERIFY(!Rooms()->RoomView("lobby"));
    QCOMPARE(CreateRoom("lobby", false), Payload().Str("lobby").U32(0).Bytes());
    QTRY_VERIFY(Rooms()->RoomView("lobby"));
    Rooms()->OnRoomTabClosed(Rooms()->Tabs()->indexOf(Rooms()->RoomView("lobby")));
    QTRY_VERIFY(!room.IsConnected("in_room"));
}

// A private room we create is ours: the owner's row and the room's row say
// so, and giving it up takes both questions answered Yes.
void TestChatViews::privateRoomRoles() {
    Answers answers;
    QCOMPARE(CreateRoom("hideout", true), Payload().Str("hideout").U32(1).Bytes());
    QTRY_VERIFY(Rooms()->RoomView("hideout"));
    RoomForm* form = Rooms()->RoomView("hideout");
    const ItemPtr room = d.GetType("room")->HasItem("hideout");
    QTRY_VERIFY(form->UserRow("me") && room.IsConnected("is_owner"));
    const QFont mine = form->UserRow("me")->font(RoomForm::ColumnUser);
    QVERIFY(mine.bold() && mine.underline());
    QTreeWidgetItem* row = Rooms()->RoomList()->findItems("hideout", Qt::MatchExactly).value(0);
    QVERIFY(row);
    const QFont listed = row->font(0);
    QVERIFY(listed.bold() && listed.underline() && listed.italic());
    QCOMPARE(Rooms()->RoomList()->topLevelItem(0), row);  // owned rooms first

    // The server names us owner only after the join, yet the room's tool bar
    // offers giving the room up without reopening the view.
    actionBar->OnApplicationFocusChanged(nullptr, Rooms()->RoomList());
    actionBar->OnApplicationFocusChanged(nullptr, form->Form()->chatEdit);
    QVERIFY(ToolBarAction("Give Up Room") && ToolBarAction("Give Up Room")->isVisible());
    QVERIFY(ToolBarAction("Give Up Membership") &&
            !ToolBarAction("Give Up Membership")->isVisible());
    m_server.ClearReceived("me");
    answers.yes = false;
    emit actionBar->ActionTriggered(form, "give_up_ownership");
    QCOMPARE(answers.boxes.size(), 1);
    emit actionBar->ActionTriggered(form, "give_up_membership");  // owners have none to give
    QCOMPARE(answers.boxes.size(), 1);
    answers.yes = true;
    emit actionBar->ActionTriggered(form, "give_up_ownership");
    QCOMPARE(answers.boxes.mid(1),
             QStringList({"Give up membership?: Are you SURE you want to give up your ownership "
                          "of the hideout private room?",
                          "REALLY?: REALLY?"}));
    QVERIFY(m_server.WaitForMessage("me", 137, 10000));
    QVERIFY(m_server.WaitForMessage("me", 15, 10000));
    QCOMPARE(m_server.Received("me").size(), 2);
    QTRY_VERIFY(!room.IsConnected("in_room") && !Rooms()->RoomView("hideout"));
    QTRY_VERIFY(!room.IsConnected("is_owner"));
    QVERIFY(!row->font(0).bold() && !row->font(0).underline());
}

// Another owner names a member operator and takes it back through the
// server, while we are in the room and while we are out of it: the member's
// row turns bold and plain again, from the change itself or from the join
// answer when we come back.
void TestChatViews::operatorRoleFromServer() {
    RawPeer olga, bob;
    QVERIFY(Login(olga, m_server.Port(), "olga"));
    QVERIFY(Login(bob, m_server.Port(), "bob"));
    olga.SendMessage(14, Payload().Str("den").U32(1));
    QVERIFY(olga.Take(14).startsWith(Payload().Str("den").Bytes()));
    for (const char* member : {"me", "bob"}) {
        olga.SendMessage(134, Payload().Str("den").Str(member));
        QCOMPARE(olga.Take(134), Payload().Str("den").Str(member).Bytes());
    }
    bob.SendMessage(14, Payload().Str("den").U32(1));
    QVERIFY(bob.Take(14).startsWith(Payload().Str("den").Bytes()));
    const auto bobRow = [this] {
        RoomForm* form = Rooms()->RoomView("den");
        QTreeWidgetItem* row = form ? form->UserRow("bob") : nullptr;
        return row ? QString(row->font(RoomForm::ColumnUser).bold() ? "bold" : "plain")
                   : QString("none");
    };
    const auto enter = [this] {
        gp_server->EnterRoom("den", true);
        QVERIFY(m_server.WaitForMessage("me", 14, 10000));
    };
    const auto leave = [this] {
        gp_server->LeaveRoom("den");
        QVERIFY(m_server.WaitForMessage("me", 15, 10000));
        QTRY_VERIFY(!Rooms()->RoomView("den"));
    };
    const auto role = [&olga](quint32 code) {
        olga.SendMessage(code, Payload().Str("den").Str("bob"));
        QCOMPARE(olga.Take(code), Payload().Str("den").Str("bob").Bytes());
    };
    m_server.ClearReceived("me");
    enter();
    QTRY_COMPARE(bobRow(), QString("plain"));
    role(143);
    QTRY_COMPARE(bobRow(), QString("bold"));
    role(144);
    QTRY_COMPARE(bobRow(), QString("plain"));

    leave();
    role(143);
    enter();
    QTRY_COMPARE(bobRow(), QString("bold"));
    leave();
    role(144);
    enter();
    QTRY_COMPARE(bobRow(), QString("plain"));

    // A member, not the owner, gives up membership only when answering Yes.
    Answers answers;
    RoomForm* form = Rooms()->RoomView("den");
    QTRY_VERIFY(d.GetType("room")->HasItem("den").IsConnected("is_member"));
    actionBar->OnApplicationFocusChanged(nullptr, Rooms()->RoomList());
    actionBar->OnApplicationFocusChanged(nullptr, form->Form()->chatEdit);
    m_server.ClearReceived("me");
    emit actionBar->ActionTriggered(form, "give_up_membership");
    QCOMPARE(answers.boxes, QStringList{"Give up membership?: Are you sure you want to give up "
                                        "your membership to the den private room?"});
    answers.yes = true;
    emit actionBar->ActionTriggered(form, "give_up_membership");
    leave();  // comes after whatever the two answers sent
    int sent = 0;
    for (const auto& message : m_server.Received("me"))
        sent += message.first == 136;
    QCOMPARE(sent, 1);
}

// Private chat both ways through the server, and administrator messages.
void TestChatViews::privateChatsAndAdminMessages() {
    Answers answers;
    RawPeer carol;
    QVERIFY(Login(carol, m_server.Port(), "carol"));
    SetSetting("chat_timestamps", "no_timestamps");
    m_server.ClearReceived("me");
    carol.SendMessage(22, Payload().Str("me").Str("hi <b>there</b>"));
    QTRY_VERIFY(chatsForm->Tabs()->count() > 0);
    auto* chat = qobject_cast<ChatForm*>(chatsForm->Tabs()->widget(chatsForm->Tabs()->count() - 1));
    QVERIFY(chat && chat->User() == "carol");
    QCOMPARE(chatsForm->Tabs()->tabText(chatsForm->Tabs()->indexOf(chat)), QString("carol"));
    QTRY_COMPARE(LastLine(chat->Form()->chatView), QString("[carol] hi <b>there</b>"));
    QVERIFY(m_server.WaitForMessage("me", 5, 10000));  // carol is tracked
    carol.SendMessage(22, Payload().Str("me").Str("/me  waves"));
    QTRY_COMPARE(LastLine(chat->Form()->chatView), QString("* carol waves"));
    QCOMPARE(chatsForm->GetChatForm("carol"), chat);

    chat->Form()->chatEdit->setText("  back to you ");
    chat->OnEnter();
    QTRY_COMPARE(LastLine(chat->Form()->chatView), QString("[me]   back to you "));
    QCOMPARE(carol.Take(22).mid(0, 6), Payload().Str("me").Bytes());
    const QStringList logged =
        QString::fromUtf8(ReadFile(chatlog::FilePath(chatlog::Kind::User, "carol"))).split('\n');
    QCOMPARE(logged.size(), 4);
    QVERIFY(logged[0].endsWith("][carol] hi <b>there</b>") &&
            logged[1].endsWith("] * carol waves"));
    QVERIFY(logged[2].endsWith("][me]   back to you "));

    // The transcript's menu is the partner's user menu.
    chat->OnContextMenuRequested(QPoint(3, 3));
    QCOMPARE(answers.menus.size(), 1);

    // The chat log of the partner: one viewer, fed while open.
    emit actionBar->ActionTriggered(chat, "user_chat_log");
    auto* viewer = qobject_cast<ChatLogForm*>(chatsForm->Tabs()->currentWidget());
    QVERIFY(viewer && Plain(viewer->Form()->logEdit).split('\n').size() == 3);
    emit actionBar->ActionTriggered(chat, "user_chat_log");
    QCOMPARE(chatsForm->Tabs()->indexOf(viewer), chatsForm->Tabs()->count() - 1);
    carol.SendMessage(22, Payload().Str("me").Str("more"));
    QTRY_VERIFY(LastLine(viewer->Form()->logEdit).endsWith("][carol] more"));

    // Away and back; closing the tab drops the transcript, not the log.
    d.GetType("user")->HasItem("carol").NewItem("is_away");
    d.GetType("user")->HasItem("carol").Disconnect("is_away");
    QTRY_VERIFY(Plain(chat->Form()->chatView).endsWith("* carol is away.\n* carol is available."));
    chatsForm->OnChatTabClosed(chatsForm->Tabs()->indexOf(chat));
    carol.SendMessage(22, Payload().Str("me").Str("again"));
    QTRY_VERIFY(chatsForm->GetChatForm("carol") != nullptr &&
                Plain(chatsForm->GetChatForm("carol")->Form()->chatView) == "[carol] again");
    chatsForm->OnChatTabClosed(chatsForm->Tabs()->indexOf(viewer));
    QVERIFY(d.GetType("user")->HasItem("carol")["chat_log_form"].IsNull());

    // Offline nothing is shown or logged as said; the text waits in the entry.
    chat = chatsForm->GetChatForm("carol");
    m_server.DropClient("me");
    QTRY_VERIFY(!gp_server->IsConnected());
    chat->Form()->chatEdit->setText("unsent");
    chat->OnEnter();
    QCOMPARE(chat->Form()->chatEdit->text(), QString("unsent"));
    QTRY_VERIFY(LastLine(chat->Form()->chatView).contains("not sent"));
    QVERIFY(!ReadFile(chatlog::FilePath(chatlog::Kind::User, "carol")).contains("unsent"));
    gp_server->Connect();
    QTRY_VERIFY(Online());

    // Administrator messages: one dialog each, markup rendered.
    const auto dialogs = [] {
        QList<AdminMessageDialog*> found;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* dialog = qobject_cast<AdminMessageDialog*>(w); dialog && dialog->isVisible())
                found << dialog;
        return found;
    };
    m_server.SendTo("me", 66, Payload().Str("<b>Be</b> nice"));
    m_server.SendTo("me", 66, Payload().Str("second"));
    QTRY_COMPARE(dialogs().size(), 2);
    QStringList texts;
    for (AdminMessageDialog* dialog : dialogs()) {
        texts << dialog->Form()->textEdit->toPlainText();
        QVERIFY(dialog->windowFlags() & Qt::WindowStaysOnTopHint);
        QVERIFY(dialog->Form()->timeEdit->text().contains(QRegularExpression(" [ap]m$")));
        dialog->close();
    }
    texts.sort();
    QCOMPARE(texts, QStringList({"Be nice", "second"}));
    QTRY_COMPARE(dialogs().size(), 0);
}

QTEST_MAIN(TestChatViews)
#include "test_chat_views.moc"
