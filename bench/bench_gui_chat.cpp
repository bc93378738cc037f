// Chat floods from another user, through the real incoming path: a loopback
// server in a child process sends room lines and private messages to the
// whole client over its server socket, paced as given, and drops the client
// at its default limit of unsent output, as the test server does.
//   room flood: plain lines, every 12th one word of 100,000 characters
//   word flood: only such words
//   private flood: private messages of 1,000 characters
// Printed for each: the main thread's longest stall while the lines arrive
// and are shown, lines in the log file, whether the newest line is shown and
// the connection stayed up; then the longest stall for single lines once the
// transcript is past its cap (fed straight to the parse path, each shown
// before the next) and resident memory before and during the private flood.
// With the room's chat-log viewer open and on screen (opened on the log the
// floods above wrote), both room floods again: the longest stall from the
// opening on, lines logged, whether the viewer shows the newest line,
// resident memory, and the longest stall for single lines of a word; the
// same for the private flood with the flooder's log viewer open. The room's
// viewer opened again while a word flood arrives, on its log ending in a
// line of 1 MiB: the longest stall while it loads. Then a chat log of 100 MB
// (plain lines, every 12th a word as above) opened in a viewer: the longest
// stall until it is loaded, lines in the file, whether the newest is shown,
// resident growth.
// Then floods of some minutes: the room's mix and private messages at 1,000
// a second, words at 100 a second, then both room floods again with the
// room's log viewer open, then a word flood with the room's log viewer
// opened through its action 10 s in and left in front. For each: the rate
// lines are handled at against the rate sent, lines lost, disconnects, the
// delay of a private message from a second user sent in the middle, the
// longest stall and resident growth, each with its target and verdict.
// Every flood also prints its first batch: the longest stall in its first
// second, when the lines that waited for the first batch show. Last, a
// private flood while the window is inactive and a default sound is chosen:
// the longest stall during and after it, resident growth.
//
// Usage: bench_gui_chat [--quick] [--long SECONDS]
//   --quick  1,000 room lines in 1 s, 30 words in 0.3 s, 3,000 private
//            messages in 3 s, long floods of 3 s; figures only
//   (none)   10,000 room lines in 10 s, 300 words in 3 s, 30,000 private
//            messages in 30 s, with verdicts (no stall over 200 ms, every
//            line logged and the newest shown, connected throughout,
//            resident within 150 MiB of the start of the private flood;
//            with a viewer open the same, less the memory, and each line of
//            a word within 200 ms, and opened during a word flood without
//            a stall over 200 ms while it loads; the large log opened
//            without a stall over 200 ms, its newest line shown and its
//            oldest shown found;
//            then long floods of 2 minutes each: handled at 97 % of the
//            rate sent or more, no line lost, no disconnect, the second
//            user's message shown within 2 s, growth under 150 MiB, no stall
//            over 200 ms, and with the viewer opened during the word flood
//            its newest line shown; the inactive window's private flood of
//            60 s (3 s with --quick): no stall over 200 ms, growth under
//            150 MiB, every message handled; every flood's first batch
//            without a stall over 200 ms)
//   --long   the long floods' length instead
//   The 100 MB log is the same in both runs: the viewer reads only its
//   newest part.

#include <unistd.h>

#include <QApplication>
#include <QDataStream>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "ClientBench.h"
#include "ProcStatus.h"
#include "net/server.h"
#include "shell/ActionSetToolBar.h"
#include "shell/FocusWidget.h"
#include "shell/Prompts.h"
#include "shell/mainwindow.h"
#include "support/Payload.h"
#include "support/TestServer.h"
#include "support/Wave.h"
#include "support/WindowStart.h"
#include "ui_ChatForm.h"
#include "ui_ChatLogForm.h"
#include "ui_RoomForm.h"
#include "ui_mainwindow.h"
#include "views/chat/ChatForm.h"
#include "views/chat/ChatLog.h"
#include "views/chat/ChatLogForm.h"
#include "views/chat/ChatTranscript.h"
#include "views/chat/ChatsForm.h"
#include "views/chat/RoomForm.h"
#include "views/chat/RoomTabWidget.h"
#include "views/chat/RoomsForm.h"

namespace {

const char* const kRoom = "flood room";
const char* const kFlooder = "flooder";
const char* const kSecond = "second";
constexpr int kWordLength = 100000;
constexpr int kWordEvery = 12;
constexpr int kMessageLength = 1000;

struct Load {
    int roomLines = 10000;
    int roomMs = 10000;
    int words = 300;
    int wordsMs = 3000;
    int messages = 30000;
    int messagesMs = 30000;
    // Each of the long room and private floods.
    int longFloodSeconds = 120;
};

// Line i of a flood; words are told apart by their last characters.
QString RoomText(int i, bool word) {
    if (!word)
        return QString("line %1 of the flood, see http://x.org/%1 now").arg(i);
    QString text(kWordLength, QChar('a' + i % 26));
    const QString tail = QString::number(i);
    text.replace(kWordLength - tail.size(), tail.size(), tail);
    return text;
}

QString PrivateText(int i) {
    QString text = QString("message %1:").arg(i);
    while (text.size() < kMessageLength)
        text += " some words of a long private message";
    return text.left(kMessageLength);
}

// ---- the server side, in its own process ----

// Commands on stdin, one per line:
//   room COUNT MS EVERY   COUNT lines over MS ms into the room, every EVERY-th
//                         a word (EVERY 1: all words)
//   private COUNT MS      COUNT private messages over MS ms
//   second                one private message from another user, at once,
//                         behind whatever the client has not read yet
// Each flood ends with "sent N" once all N are due, "dropped" each time the
// client's session ends (at the server's default limit of unsent output);
// lines due while it is away are lost.
int Serve() {
    TestServer server;
    if (!ListenAndSayPort(server))
        return 1;
    struct Flood {
        bool room = true;
        int count = 0, ms = 0, every = 1, sent = 0;
        QElapsedTimer clock;
    } flood;
    QTimer pace;
    pace.setTimerType(Qt::PreciseTimer);
    bool online = true;
    QObject::connect(&pace, &QTimer::timeout, [&] {
        if (online != server.IsLoggedIn("bench")) {
            online = !online;
            if (!online) {
                std::printf("dropped\n");
                std::fflush(stdout);
            }
        }
        const qint64 due =
            std::min<qint64>(flood.count, flood.count * flood.clock.elapsed() / flood.ms + 1);
        for (; flood.sent < due; ++flood.sent) {
            const int i = flood.sent;
            if (!online)
                continue;
            if (flood.room)
                server.SendTo("bench", SM_SAY_IN_ROOM,
                              Payload().Str(kRoom).Str(kFlooder).Str(
                                  RoomText(i, (i + 1) % flood.every == 0)));
            else
                server.SendTo("bench", SM_PRIVATE_MESSAGE,
                              Payload()
                                  .Str(kFlooder)
                                  .U32(quint32(QDateTime::currentSecsSinceEpoch()))
                                  .U8(1)
                                  .Str(PrivateText(i)));
        }
        if (flood.sent == flood.count) {
            pace.stop();
            std::printf("sent %d\n", flood.sent);
            std::fflush(stdout);
        }
    });
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QByteArray pending;
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buffer[256];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            QCoreApplication::quit();
            return;
        }
        pending.append(buffer, int(n));
        for (int end; (end = pending.indexOf('\n')) >= 0; pending.remove(0, end + 1)) {
            const QList<QByteArray> words = pending.left(end).split(' ');
            if (words.value(0) == "second") {
                server.SendTo("bench", SM_PRIVATE_MESSAGE,
                              Payload()
                                  .Str(kSecond)
                                  .U32(quint32(QDateTime::currentSecsSinceEpoch()))
                                  .U8(1)
                                  .Str("a word in the middle of the flood"));
                continue;
            }
            online = server.IsLoggedIn("bench");
            flood = {};
            flood.room = words.value(0) == "room";
            flood.count = words.value(1).toInt();
            flood.ms = std::max(1, words.value(2).toInt());
            flood.every = std::max(1, words.value(3).toInt());
            flood.clock.start();
            pace.start(1);
        }
    });
    return QCoreApplication::exec();
}

// ---- the client side ----

// The flood server: "sent N" once a flood is all sent, "dropped" when it
// dropped the client.
class FloodServer : public ServerProcess {
public:
    void Command(const QByteArray& line) {
        m_sent = -1;
        m_dropped = false;
        Write(line);
    }
    void Second() { Write("second"); }
    int Sent() {
        Read();
        return m_sent;
    }
    bool Dropped() {
        Read();
        return m_dropped;
    }

private:
    void OnLine(const QByteArray& line) override {
        if (line.startsWith("sent "))
            m_sent = line.mid(5).toInt();
        else if (line == "dropped")
            m_dropped = true;
    }
    int m_sent = -1;
    bool m_dropped = false;
};

// Lines in a log file, read as it grows.
class LogCounter {
public:
    explicit LogCounter(QString path) : m_path(std::move(path)) {}
    int Lines() {
        QFile file(m_path);
        if (!file.open(QIODevice::ReadOnly) || !file.seek(m_offset))
            return m_lines;
        const QByteArray fresh = file.readAll();
        m_offset += fresh.size();
        m_lines += int(fresh.count('\n'));
        return m_lines;
    }

private:
    QString m_path;
    qint64 m_offset = 0;
    int m_lines = 0;
};

struct Run {
    double worstStallMs = 0;
    // Of the gaps that begin in the first second: a flood's first batch.
    double firstSecondStallMs = 0;
    double seconds = 0;
    long peakKiB = 0;
    bool finished = false;
};

// Spins the event loop until done() or the time-out, with a 1 ms probe timer
// for the longest gap between two turns, and samples resident memory.
Run Watch(const std::function<bool()>& done, int timeoutMs) {
    Run run;
    QElapsedTimer clock;
    clock.start();
    qint64 last = -1;
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        if (last >= 0) {
            run.worstStallMs = std::max(run.worstStallMs, double(now - last) / 1e6);
            if (last < 1000000000)
                run.firstSecondStallMs = std::max(run.firstSecondStallMs, double(now - last) / 1e6);
        }
        last = now;
    });
    probe.start(1);
    qint64 sampled = -1000;
    while (clock.elapsed() < timeoutMs) {
        QApplication::processEvents(QEventLoop::AllEvents, 50);
        if (clock.elapsed() - sampled >= 100) {
            sampled = clock.elapsed();
            run.peakKiB = std::max(run.peakKiB, ResidentKiB());
            if ((run.finished = done()))
                break;
        }
    }
    run.seconds = double(clock.elapsed()) / 1000;
    return run;
}

QString LastShown(QTextBrowser* view) {
    // Blanks come back as no-break spaces; long words carry break points.
    QTextBlock last = view->document()->lastBlock();
    while (!last.isVisible() && last.previous().isValid())
        last = last.previous();
    return last.text().replace(QChar::Nbsp, QChar(' ')).remove(QChar(0x200B));
}

struct Verdicts {
    bool all = true;
    void Say(const char* what, bool met) {
        std::printf("%s: %s\n", what, met ? "met" : "MISSED");
        all &= met;
    }
};

// The longest stall in the first second of a flood watched from its start:
// the first lines show at once, the next wait for the first batch.
void FirstBatch(const Run& run, bool verdicts, Verdicts& verdict) {
    std::printf("  first batch: longest stall in the first second %.1f ms (target 200 ms)\n",
                run.firstSecondStallMs);
    if (verdicts)
        verdict.Say("  first batch: no stall over 200 ms", run.firstSecondStallMs < 200);
}

// ---- the chat-log viewer ----

QString LastShownIn(QTextEdit* view) {
    QTextBlock last = view->document()->lastBlock();
    while (!last.isVisible() && last.previous().isValid())
        last = last.previous();
    return last.text().remove(QChar(0x200B));
}

void PrintViewer(const char* what, ChatLogForm* viewer) {
    const QTextDocument* document = viewer->Form()->logEdit->document();
    std::printf("%s: viewer %d characters in %d lines (cap %d); older lines noted: %s\n", what,
                document->characterCount(), document->blockCount(), ChatLogForm::kCap,
                viewer->Form()->olderLabel->isHidden() ? "no" : "yes");
}

// The room's log viewer, opened from the room as a user does: the current tab.
ChatLogForm* OpenRoomLog(RoomsForm* rooms, RoomForm* room) {
    actionBar->OnApplicationFocusChanged(nullptr, room->Form()->chatEdit);
    for (QAction* action : actionBar->actions())
        if (action->text() == QLatin1String("Chat Log"))
            action->trigger();
    return qobject_cast<ChatLogForm*>(rooms->Tabs()->currentWidget());
}

// The room's log viewer, opened and on screen, through both room floods
// again.
void ViewerFloods(FloodServer& server, RoomsForm* rooms, RoomForm* room, LogCounter& roomLog,
                  const Load& load, Verdicts& verdict, bool verdicts) {
    const long startKiB = ResidentKiB();
    const qint64 fileBytes = QFileInfo(chatlog::FilePath(chatlog::Kind::Room, kRoom)).size();
    QElapsedTimer opening;
    opening.start();
    ChatLogForm* viewer = OpenRoomLog(rooms, room);
    if (!viewer) {
        std::printf("the room's chat log did not open\n");
        verdict.Say("viewer opened", false);
        return;
    }
    FocusWidgetAndParents(viewer->Form()->searchEdit);
    const double openMs = double(opening.nsecsElapsed()) / 1e6;
    const Run open = Watch([&] { return !viewer->IsLoading(); }, 120000);
    std::printf(
        "viewer open on the room's log of %.1f MB: %.1f ms to the tab, loaded in %.1f s; "
        "longest stall %.1f ms\n",
        double(fileBytes) / 1e6, openMs, open.seconds, std::max(openMs, open.worstStallMs));
    PrintViewer("  after opening", viewer);
    if (verdicts)
        verdict.Say("  no stall over 200 ms while it opens",
                    std::max(openMs, open.worstStallMs) <= 200 && open.finished);
    struct RoomFlood {
        const char* name;
        int count, ms, every;
    };
    long peakKiB = ResidentKiB();
    for (const RoomFlood& flood :
         {RoomFlood{"room flood, viewer open", load.roomLines, load.roomMs, kWordEvery},
          RoomFlood{"word flood, viewer open", load.words, load.wordsMs, 1}}) {
        const int logged = roomLog.Lines();
        server.Command(
            QString("room %1 %2 %3").arg(flood.count).arg(flood.ms).arg(flood.every).toUtf8());
        // Lines show in batches: the newest some time after it is logged.
        const QString newest = RoomText(flood.count - 1, flood.every == 1);
        const auto shownNewest = [&] {
            return LastShownIn(viewer->Form()->logEdit).endsWith(newest);
        };
        const Run run = Watch(
            [&] {
                return server.Dropped() ||
                       (server.Sent() >= 0 && roomLog.Lines() >= logged + flood.count &&
                        shownNewest());
            },
            flood.ms + 120000);
        peakKiB = std::max(peakKiB, run.peakKiB);
        const bool shown = shownNewest();
        const int lines = roomLog.Lines() - logged;
        std::printf(
            "%s: %d lines (every %d a %d-character word) over %d ms: handled in %.1f s; longest "
            "stall %.1f ms; %d lines logged; newest shown in the viewer: %s; connected: %s\n",
            flood.name, flood.count, flood.every, kWordLength, flood.ms, run.seconds,
            run.worstStallMs, lines, shown ? "yes" : "no",
            gp_server->IsConnected() && !server.Dropped() ? "yes" : "no");
        PrintViewer("  then", viewer);
        FirstBatch(run, verdicts, verdict);
        if (verdicts) {
            verdict.Say("  no stall over 200 ms", run.worstStallMs <= 200);
            verdict.Say("  every line logged, the newest shown in the viewer",
                        lines == flood.count && shown);
        }
    }
    std::printf(
        "resident with the viewer: %ld MiB before opening it, %ld MiB at most during the "
        "floods\n",
        startKiB / 1024, peakKiB / 1024);
    // One logged line of a word handed to the viewer alone, shown (with its
    // batch) before the next: the longest stall.
    double worst = 0;
    bool each = true;
    constexpr int kLines = 10;
    for (int i = 0; i < kLines; ++i) {
        const QString text = RoomText(i, true);
        QElapsedTimer adding;
        adding.start();
        viewer->AddLine(chatlog::OrdinaryLine(QDateTime::currentDateTime(), kFlooder, text));
        const double ms = double(adding.nsecsElapsed()) / 1e6;
        const Run run =
            Watch([&] { return LastShownIn(viewer->Form()->logEdit).endsWith(text); }, 5000);
        each &= run.finished;
        worst = std::max({worst, ms, run.worstStallMs});
    }
    std::printf(
        "viewer, lines of a %d-character word one at a time: longest stall %.1f ms; each "
        "shown: %s\n",
        kWordLength, worst, each ? "yes" : "no");
    if (verdicts)
        verdict.Say("  each such line within 200 ms", worst <= 200 && each);
    rooms->OnRoomTabClosed(rooms->Tabs()->indexOf(viewer));
    QApplication::processEvents();
}

// The room's log viewer opened while a word flood arrives at 100 lines a
// second, on the room's log with a line of 1 MiB without a break at its end
// (as something else may write): the longest stall from the opening until
// everything that waited is shown, then whether the newest line is.
void OpenViewerDuringFlood(FloodServer& server, RoomsForm* rooms, RoomForm* room,
                           LogCounter& roomLog, const Load& load, Verdicts& verdict,
                           bool verdicts) {
    const QString path = chatlog::FilePath(chatlog::Kind::Room, kRoom);
    {
        QFile file(path);
        if (file.open(QIODevice::WriteOnly | QIODevice::Append))
            file.write(QByteArray(ChatLogForm::kLongestLine, 'x') + '\n');
    }
    const qint64 fileBytes = QFileInfo(path).size();
    const int logged = roomLog.Lines();
    server.Command(QString("room %1 %2 1").arg(load.words).arg(load.wordsMs).toUtf8());
    // A fifth of the flood in, so that it goes on while the log loads.
    const Run start =
        Watch([&] { return roomLog.Lines() >= logged + load.words / 5; }, load.wordsMs + 60000);
    const int before = roomLog.Lines() - logged;
    QElapsedTimer opening;
    opening.start();
    ChatLogForm* viewer = OpenRoomLog(rooms, room);
    if (!viewer) {
        std::printf("the room's chat log did not open\n");
        verdict.Say("viewer opened", false);
        return;
    }
    FocusWidgetAndParents(viewer->Form()->searchEdit);
    const double openMs = double(opening.nsecsElapsed()) / 1e6;
    const Run loading = Watch([&] { return !viewer->IsLoading(); }, 120000);
    const int during = roomLog.Lines() - logged - before;
    // Lines that come once the file's are shown wait for their batch: the
    // newest shows some time after it is logged.
    const auto shownNewest = [&] {
        return LastShownIn(viewer->Form()->logEdit).endsWith(RoomText(load.words - 1, true));
    };
    const Run rest = Watch(
        [&] {
            return server.Dropped() ||
                   (server.Sent() >= 0 && roomLog.Lines() >= logged + load.words &&
                    !viewer->IsLoading() && shownNewest());
        },
        load.wordsMs + 120000);
    const double stall = std::max(openMs, loading.worstStallMs);
    const bool shown = shownNewest();
    std::printf(
        "viewer opened during a word flood (%d words of %d characters over %d ms) on the room's "
        "log of %.1f MB ending in a 1 MiB line: %d words before, %d while it loaded; %.1f ms to "
        "the tab, loaded in %.1f s; longest stall while loading %.1f ms (target 200 ms); then "
        "longest stall %.1f ms; newest shown: %s; connected: %s\n",
        load.words, kWordLength, load.wordsMs, double(fileBytes) / 1e6, before, during, openMs,
        loading.seconds, stall, rest.worstStallMs, shown ? "yes" : "no",
        gp_server->IsConnected() && !server.Dropped() ? "yes" : "no");
    PrintViewer("  then", viewer);
    FirstBatch(start, verdicts, verdict);
    if (verdicts) {
        verdict.Say("  no stall over 200 ms while it loads", stall <= 200 && loading.finished);
        verdict.Say("  every line logged, the newest shown in the viewer",
                    roomLog.Lines() - logged == load.words && shown);
    }
    rooms->OnRoomTabClosed(rooms->Tabs()->indexOf(viewer));
    QApplication::processEvents();
}

// The private flood again, with the flooder's log viewer open and on screen.
void PrivateViewerFlood(FloodServer& server, const Load& load, Verdicts& verdict, bool verdicts) {
    ChatForm* chat = chatsForm->GetChatForm(kFlooder);
    emit actionBar->ActionTriggered(chat, "user_chat_log");
    auto* viewer = qobject_cast<ChatLogForm*>(chatsForm->Tabs()->currentWidget());
    if (!viewer) {
        std::printf("the private chat's log did not open\n");
        verdict.Say("viewer opened", false);
        return;
    }
    FocusWidgetAndParents(viewer->Form()->searchEdit);
    Watch([&] { return !viewer->IsLoading(); }, 120000);
    LogCounter privateLog(chatlog::FilePath(chatlog::Kind::User, kFlooder));
    const int logged = privateLog.Lines();
    const long startKiB = ResidentKiB();
    server.Command(QString("private %1 %2").arg(load.messages).arg(load.messagesMs).toUtf8());
    const auto shownNewest = [&] {
        return LastShownIn(viewer->Form()->logEdit).endsWith(PrivateText(load.messages - 1));
    };
    const Run run = Watch(
        [&] {
            return server.Dropped() ||
                   (server.Sent() >= 0 && privateLog.Lines() >= logged + load.messages &&
                    shownNewest());
        },
        load.messagesMs + 120000);
    const int lines = privateLog.Lines() - logged;
    const bool shown = shownNewest();
    std::printf(
        "private flood, viewer open: %d messages over %d ms: handled in %.1f s; longest stall "
        "%.1f ms; %d lines logged; newest shown in the viewer: %s; resident %ld MiB at the "
        "start, %ld MiB at most\n",
        load.messages, load.messagesMs, run.seconds, run.worstStallMs, lines, shown ? "yes" : "no",
        startKiB / 1024, run.peakKiB / 1024);
    PrintViewer("  then", viewer);
    FirstBatch(run, verdicts, verdict);
    if (verdicts) {
        verdict.Say("  no stall over 200 ms", run.worstStallMs <= 200);
        verdict.Say("  every line logged, the newest shown in the viewer",
                    lines == load.messages && shown);
    }
    chatsForm->Tabs()->removeTab(chatsForm->Tabs()->indexOf(viewer));
    delete viewer;
}

// A log of about 100 MB opened in a viewer on screen.
void OpenLargeLog(Verdicts& verdict, bool verdicts) {
    QTemporaryDir folder;
    const QString path = folder.filePath("large.log");
    constexpr qint64 kBytes = 100 * 1000 * 1000;
    int lines = 0;
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly)) {
            std::printf("cannot write %s\n", qPrintable(path));
            verdict.Say("large log written", false);
            return;
        }
        const QString stamp = "[Mar 4 3:05:09 pm][" + QString(kFlooder) + "] ";
        for (qint64 bytes = 0; bytes < kBytes; ++lines) {
            const QByteArray line =
                (stamp + RoomText(lines, (lines + 1) % kWordEvery == 0)).toUtf8() + '\n';
            file.write(line);
            bytes += line.size();
        }
    }
    QFile file(path);
    const qint64 size = file.size();
    int inFile = 0;
    QByteArray last;
    if (file.open(QIODevice::ReadOnly))
        while (!file.atEnd()) {
            const QByteArray line = file.readLine(kWordLength + 100);
            inFile += line.endsWith('\n') ? 1 : 0;
            if (line.endsWith('\n'))
                last = line;
        }
    const long startKiB = ResidentKiB();
    QElapsedTimer opening;
    opening.start();
    auto viewer = std::make_unique<ChatLogForm>(path);
    viewer->resize(1000, 700);
    viewer->show();
    const double openMs = double(opening.nsecsElapsed()) / 1e6;
    const Run run = Watch([&] { return !viewer->IsLoading(); }, 120000);
    const long loadedKiB = ResidentKiB();
    const QString newest = QString::fromUtf8(last).trimmed();
    const bool shown = LastShownIn(viewer->Form()->logEdit) == newest;
    // The oldest line shown, found through the find bar.
    const QString oldest = viewer->Form()->logEdit->document()->begin().next().text().left(40);
    QElapsedTimer finding;
    finding.start();
    viewer->Form()->searchEdit->setText(QString(oldest).remove(QChar(0x200B)));
    const double findMs = double(finding.nsecsElapsed()) / 1e6;
    const bool found = viewer->Form()->logEdit->extraSelections().size() == 1;
    const double stall = std::max(openMs, run.worstStallMs);
    std::printf(
        "large log: %.1f MB, %d lines written, %d lines in the file: %.1f ms to the first "
        "step, loaded in %.1f s; longest stall %.1f ms; newest shown: %s; finding the oldest "
        "shown line: %s in %.1f ms\n",
        double(size) / 1e6, lines, inFile, openMs, run.seconds, stall, shown ? "yes" : "no",
        found ? "found" : "NOT found", findMs);
    PrintViewer("  then", viewer.get());
    std::printf("  resident: %ld MiB before, %ld MiB at most while loading, %ld MiB loaded\n",
                startKiB / 1024, run.peakKiB / 1024, loadedKiB / 1024);
    if (verdicts) {
        verdict.Say("  no stall over 200 ms", stall <= 200 && run.finished);
        verdict.Say("  lines in the file as written, the newest shown, the oldest found",
                    inFile == lines && shown && found);
    }
}

// Lines in a log file past an offset, read in pieces: a long room flood
// leaves hundreds of MB.
int LinesAfter(const QString& path, qint64 offset) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || !file.seek(offset))
        return 0;
    int lines = 0;
    for (QByteArray piece; !(piece = file.read(4 << 20)).isEmpty();)
        lines += int(piece.count('\n'));
    return lines;
}

// Floods of some minutes from another user, at the server's default limit
// of unsent output: the room's mix and private messages at 1,000 lines a
// second, words at 100 a second. The client must handle them as fast as they
// come: every line handled and logged, no disconnect, resident memory that
// does not grow with the flood's length, and a private message from a
// second user, sent in the middle, shown within 2 s. While the flood runs the
// lines are counted as they are handled, and the log file is read only
// afterwards: its reads would count as stalls.
struct LongFlood {
    const char* name;
    bool room;
    int perSecond, every;
};

// during: called at each sample with the time since the flood began.
void LongFloodPhase(FloodServer& server, const LongFlood& flood, int seconds, bool verdicts,
                    Verdicts& verdict, const std::function<void(qint64)>& during = nullptr) {
    const int count = seconds * flood.perSecond;
    const int ms = seconds * 1000;
    const QString logPath = flood.room ? chatlog::FilePath(chatlog::Kind::Room, kRoom)
                                       : chatlog::FilePath(chatlog::Kind::User, kFlooder);
    const qint64 logStart = QFileInfo(logPath).size();
    QElapsedTimer clock;
    int handled = 0;
    qint64 lastHandledMs = 0;
    int disconnects = 0;
    qint64 secondSentMs = -1, secondShownMs = -1;
    QObject counter;
    const auto count1 = [&](const QString& user) {
        if (user == kFlooder) {
            ++handled;
            lastHandledMs = clock.elapsed();
        }
    };
    QObject::connect(gp_server, &Server::RoomChat, &counter,
                     [&](QString, QString user, QString) { count1(user); });
    QObject::connect(gp_server, &Server::PrivateChat, &counter,
                     [&](QString user, QString, time_t, bool) {
                         count1(user);
                         if (user == kSecond && secondShownMs < 0)
                             secondShownMs = clock.elapsed();
                     });
    QObject::connect(gp_server, &Server::Disconnected, &counter, [&] { ++disconnects; });
    const long startKiB = ResidentKiB();
    clock.start();
    server.Command(flood.room
                       ? QString("room %1 %2 %3").arg(count).arg(ms).arg(flood.every).toUtf8()
                       : QString("private %1 %2").arg(count).arg(ms).toUtf8());
    // Resident memory every 30 s: a backlog kept in memory grows with the
    // flood, a bounded one levels off.
    qint64 nextReport = 30000;
    const Run run = Watch(
        [&] {
            if (secondSentMs < 0 && clock.elapsed() >= ms / 2) {
                secondSentMs = clock.elapsed();
                server.Second();
            }
            if (clock.elapsed() >= nextReport) {
                std::printf("  at %lld s: resident %ld MiB, %d lines handled\n", nextReport / 1000,
                            ResidentKiB() / 1024, handled);
                std::fflush(stdout);
                nextReport += 30000;
            }
            if (during)
                during(clock.elapsed());
            // Once all are sent, what a dropped connection lost never comes.
            return handled >= count ||
                   (server.Sent() >= 0 && clock.elapsed() > lastHandledMs + 10000);
        },
        ms * 3 + 60000);
    const int lines = LinesAfter(logPath, logStart);
    const long growthMiB = (run.peakKiB - startKiB) / 1024;
    const double sentRate = double(count) / seconds;
    const double handledRate =
        handled > 0 ? double(handled) / (double(std::max<qint64>(lastHandledMs, 1)) / 1000) : 0;
    const qint64 delayMs = secondShownMs >= 0 ? secondShownMs - secondSentMs : -1;
    std::printf(
        "long %s: %d lines over %d s: handled in %.1f s; longest stall %.1f ms; %d lines "
        "handled, %d logged, %d lost; %d disconnects; resident %ld MiB at the start, %ld MiB "
        "at most (+%ld MiB)\n",
        flood.name, count, seconds, double(lastHandledMs) / 1000, run.worstStallMs, handled, lines,
        count - lines, disconnects, startKiB / 1024, run.peakKiB / 1024, growthMiB);
    std::printf("  handled %.0f lines/s against %.0f lines/s sent; %d lines lost; %d disconnects\n",
                handledRate, sentRate, count - lines, disconnects);
    if (delayMs >= 0)
        std::printf("  a private message from a second user sent at %.1f s: shown after %lld ms\n",
                    double(secondSentMs) / 1000, delayMs);
    else
        std::printf("  a private message from a second user sent at %.1f s: never shown\n",
                    double(secondSentMs) / 1000);
    FirstBatch(run, verdicts, verdict);
    std::fflush(stdout);
    if (verdicts) {
        verdict.Say("  handled at 97 % of the rate sent or more", handledRate >= 0.97 * sentRate);
        verdict.Say("  no line lost, no disconnect", lines == count && disconnects == 0);
        verdict.Say("  the second user's message shown within 2 s",
                    delayMs >= 0 && delayMs <= 2000);
        verdict.Say("  resident growth under 150 MiB", growthMiB < 150);
        verdict.Say("  no stall over 200 ms", run.worstStallMs < 200);
    }
    // Whatever is left of a dropped flood is read before the next.
    if (!gp_server->IsConnected())
        Watch([] { return gp_server->IsConnected(); }, 120000);
}

// The room's log viewer opened through the window's action 10 s into a long
// word flood (a third of the way in when shorter) and left in front, on the
// room's log that the floods before made large: the flood's figures, then
// whether the viewer shows the newest line.
void OpenedDuringLongFlood(FloodServer& server, int seconds, RoomsForm* rooms, RoomForm* room,
                           bool verdicts, Verdicts& verdict) {
    FocusWidgetAndParents(room->Form()->chatEdit);
    QApplication::processEvents();
    const qint64 openAt = std::min<qint64>(10000, seconds * 1000 / 3);
    ChatLogForm* viewer = nullptr;
    double openMs = 0;
    const LongFlood flood{"word flood, log viewer opened during it", true, 100, 1};
    LongFloodPhase(server, flood, seconds, verdicts, verdict, [&](qint64 ms) {
        if (viewer || ms < openAt)
            return;
        QElapsedTimer opening;
        opening.start();
        viewer = OpenRoomLog(rooms, room);
        if (viewer)
            FocusWidgetAndParents(viewer->Form()->searchEdit);
        openMs = double(opening.nsecsElapsed()) / 1e6;
    });
    if (!viewer) {
        std::printf("the room's chat log did not open\n");
        verdict.Say("viewer opened", false);
        return;
    }
    const int last = seconds * flood.perSecond - 1;
    const Run run = Watch(
        [&] { return LastShownIn(viewer->Form()->logEdit).endsWith(RoomText(last, true)); }, 5000);
    std::printf(
        "  opened during: the viewer opened at %.1f s in %.1f ms, in front since; newest shown "
        "in the viewer: %s\n",
        double(openAt) / 1000, openMs, run.finished ? "yes" : "no");
    PrintViewer("  then", viewer);
    if (verdicts)
        verdict.Say("  opened during: the newest shown in the viewer", run.finished);
    rooms->OnRoomTabClosed(rooms->Tabs()->indexOf(viewer));
    QApplication::processEvents();
}

const LongFlood kLongFloods[] = {{"room flood (every 12th a word)", true, 1000, kWordEvery},
                                 {"word flood", true, 100, 1},
                                 {"private flood", false, 1000, 1}};

// show: puts the room's or the flooder's transcript on screen. Then the
// room floods again with the room's log viewer open and on screen.
void LongFloods(FloodServer& server, int seconds, const std::function<void(bool)>& show,
                RoomsForm* rooms, RoomForm* room, bool verdicts, Verdicts& verdict) {
    for (const LongFlood& flood : kLongFloods) {
        show(flood.room);
        LongFloodPhase(server, flood, seconds, verdicts, verdict);
    }
    ChatLogForm* viewer = OpenRoomLog(rooms, room);
    if (!viewer) {
        std::printf("the room's chat log did not open\n");
        verdict.Say("viewer opened", false);
        return;
    }
    FocusWidgetAndParents(viewer->Form()->searchEdit);
    Watch([&] { return !viewer->IsLoading(); }, 120000);
    const LongFlood withViewer[] = {
        {"room flood (every 12th a word), log viewer open", true, 1000, kWordEvery},
        {"word flood, log viewer open", true, 100, 1}};
    for (const LongFlood& flood : withViewer) {
        LongFloodPhase(server, flood, seconds, verdicts, verdict);
        const int last = seconds * flood.perSecond - 1;
        const QString newest = RoomText(last, (last + 1) % flood.every == 0);
        const Run run =
            Watch([&] { return LastShownIn(viewer->Form()->logEdit).endsWith(newest); }, 5000);
        std::printf("  newest shown in the viewer: %s\n", run.finished ? "yes" : "no");
        if (verdicts)
            verdict.Say("  the newest shown in the viewer", run.finished);
    }
    rooms->OnRoomTabClosed(rooms->Tabs()->indexOf(viewer));
    QApplication::processEvents();
    OpenedDuringLongFlood(server, seconds, rooms, room, verdicts, verdict);
}

// A private flood at 1,000 messages a second while another window is the
// active one and a default sound is chosen, as after Options, "Default
// Sound": each message is an event that asks for a balloon and a sound.
// Whether or not this machine can play it, the window must keep answering
// and memory must not grow with the flood.
void InactiveSoundFlood(FloodServer& server, int seconds, bool verdicts, Verdicts& verdict) {
    const QString sound = QDir(QDir::homePath()).filePath("alert.wav");
    QFile file(sound);
    if (!file.open(QIODevice::WriteOnly) || file.write(Wave()) < 0) {
        std::printf("cannot write %s\n", qPrintable(sound));
        verdict.Say("sound file written", false);
        return;
    }
    file.close();
    d.GetType("event_sound")
        ->GetItem("default")
        .Connect(d.GetType("event_sound_file")->GetItem(Value(sound)));
    QWidget other;
    other.resize(300, 200);
    other.show();
    other.activateWindow();
    QApplication::setActiveWindow(&other);
    Watch([] { return !mainWindow->isActiveWindow(); }, 5000);
    const bool inactive = !mainWindow->isActiveWindow();
    const int count = seconds * 1000;
    int handled = 0;
    QObject counter;
    QObject::connect(gp_server, &Server::PrivateChat, &counter,
                     [&](QString user, QString, time_t, bool) { handled += user == kFlooder; });
    const long startKiB = ResidentKiB();
    server.Command(QString("private %1 %2").arg(count).arg(seconds * 1000).toUtf8());
    const Run run =
        Watch([&] { return server.Dropped() || (server.Sent() >= 0 && handled >= count); },
              seconds * 5000 + 120000);
    // What a backlog of sounds would still cost comes after the flood.
    const Run after = Watch([] { return false; }, verdicts ? 10000 : 1000);
    const double stall = std::max(run.worstStallMs, after.worstStallMs);
    const long growthMiB = (std::max(run.peakKiB, after.peakKiB) - startKiB) / 1024;
    const bool connected = !server.Dropped() && gp_server->IsConnected();
    std::printf(
        "private flood, window inactive, a sound chosen: %d messages over %d s: %d handled in "
        "%.1f s; window inactive: %s; longest stall %.1f ms (target 200 ms) in the flood and the "
        "%.0f s after it; resident %ld MiB at the start, +%ld MiB at most (target under 150 MiB); "
        "connected: %s\n",
        count, seconds, handled, run.seconds, inactive ? "yes" : "no", stall, after.seconds,
        startKiB / 1024, growthMiB, connected ? "yes" : "no");
    FirstBatch(run, verdicts, verdict);
    std::fflush(stdout);
    if (verdicts) {
        verdict.Say("  no stall over 200 ms", stall < 200 && inactive);
        verdict.Say("  resident growth under 150 MiB", growthMiB < 150);
        verdict.Say("  every message handled, connected throughout", handled == count && connected);
    }
    d.GetType("event_sound")->GetItem("default").GetItems("event_sound_file").Remove();
    other.hide();
    mainWindow->activateWindow();
}

int RunClient(const Load& load, bool verdicts) {
    FloodServer server;
    if (!server.Start()) {
        std::printf("the loopback server did not start\n");
        return 1;
    }
    qputenv("TAVENOOK_SERVER", QString("127.0.0.1:%1").arg(server.Port()).toUtf8());
    auto window = StartMainWindow(Clocks::Running, QSize(1000, 700));
    QElapsedTimer clock;
    clock.start();
    while (!gp_server->IsConnected() && clock.elapsed() < 20000)
        QApplication::processEvents(QEventLoop::AllEvents, 50);
    gp_server->EnterRoom(kRoom, false);
    RoomsForm* rooms = window->Form()->roomsForm;
    while (!rooms->RoomView(kRoom) && clock.elapsed() < 20000)
        QApplication::processEvents(QEventLoop::AllEvents, 50);
    RoomForm* room = rooms->RoomView(kRoom);
    if (!gp_server->IsConnected() || !room) {
        std::printf("the client did not log in and join\n");
        return 1;
    }
    // The user watches the room, so each line is also drawn.
    FocusWidgetAndParents(room->Form()->chatEdit);
    QTextBrowser* roomView = room->Form()->chatView;
    LogCounter roomLog(chatlog::FilePath(chatlog::Kind::Room, kRoom));
    Verdicts verdict;
    bool connected = true;

    // The two room floods.
    struct RoomFlood {
        const char* name;
        int count, ms, every;
    };
    int logged = 0;
    for (const RoomFlood& flood : {RoomFlood{"room flood", load.roomLines, load.roomMs, kWordEvery},
                                   RoomFlood{"word flood", load.words, load.wordsMs, 1}}) {
        server.Command(
            QString("room %1 %2 %3").arg(flood.count).arg(flood.ms).arg(flood.every).toUtf8());
        const int want = logged + flood.count;
        const QString newest = RoomText(flood.count - 1, flood.every == 1);
        const auto shownNewest = [&] { return LastShown(roomView).endsWith(newest); };
        const Run run = Watch(
            [&] {
                return server.Dropped() ||
                       (server.Sent() >= 0 && roomLog.Lines() >= want && shownNewest());
            },
            flood.ms + 120000);
        const bool shown = shownNewest();
        connected &= !server.Dropped() && gp_server->IsConnected();
        const int lines = roomLog.Lines() - logged;
        logged = roomLog.Lines();
        std::printf(
            "%s: %d lines (every %d a %d-character word) over %d ms: handled in %.1f s; "
            "longest stall %.1f ms; %d lines logged; newest shown: %s; transcript %d "
            "characters in %d lines; connected: %s\n",
            flood.name, flood.count, flood.every, kWordLength, flood.ms, run.seconds,
            run.worstStallMs, lines, shown ? "yes" : "no", roomView->document()->characterCount(),
            roomView->document()->blockCount(), connected ? "yes" : "no");
        FirstBatch(run, verdicts, verdict);
        if (verdicts) {
            verdict.Say("  no stall over 200 ms", run.worstStallMs <= 200);
            verdict.Say("  every line logged, the newest shown", lines == flood.count && shown);
        }
    }

    // Once past the cap, lines fed straight to the parse path one at a time,
    // each shown (with its batch) before the next: the longest stall.
    const auto perLine = [&](const char* what, int count,
                             const std::function<QString(int)>& textOf) {
        double worst = 0;
        bool shown = true;
        for (int i = 0; i < count; ++i) {
            const QString text = textOf(i);
            QElapsedTimer each;
            each.start();
            MemStream stream(Payload().Str(kRoom).Str(kFlooder).Str(text).Bytes());
            gp_server->HandleMessage(SM_SAY_IN_ROOM, stream);
            const double handling = double(each.nsecsElapsed()) / 1e6;
            const QString tail = text.right(1000);
            const Run run = Watch([&] { return LastShown(roomView).endsWith(tail); }, 5000);
            shown &= run.finished;
            worst = std::max({worst, handling, run.worstStallMs});
        }
        std::printf("past the cap, %s, one at a time: longest stall %.1f ms; each shown: %s\n",
                    what, worst, shown ? "yes" : "no");
        return shown ? worst : 1e9;
    };
    const double worstPlain = perLine("plain lines", 20, [](int i) { return RoomText(i, false); });
    const double worstWord =
        perLine("100,000-character words", 20, [](int i) { return RoomText(i, true); });
    // Blanks are shown as no-break spaces: wrapping sees one run here too.
    const double worstBlanks = perLine("100,000 characters of short words", 20, [](int i) {
        return QString("ab cd ").repeated(kWordLength / 6) + QString::number(i);
    });
    // The longest text the server connection reads.
    const double worstLongest = perLine("the longest word the connection reads", 3, [](int i) {
        return QString(int(InputStream::kMaxStringLength) - 1, 'z') + QString::number(i);
    });
    if (verdicts)
        verdict.Say("  each line past the cap within 200 ms, shown",
                    std::max({worstPlain, worstWord, worstBlanks, worstLongest}) <= 200);

    // The private flood, to a chat tab the user is looking at.
    ChatForm* chat = chatsForm->GetChatForm(kFlooder);
    FocusWidgetAndParents(chat->Form()->chatEdit);
    QApplication::processEvents();
    LogCounter privateLog(chatlog::FilePath(chatlog::Kind::User, kFlooder));
    const long startKiB = ResidentKiB();
    server.Command(QString("private %1 %2").arg(load.messages).arg(load.messagesMs).toUtf8());
    const auto shownNewest = [&] {
        return LastShown(chat->Form()->chatView).endsWith(PrivateText(load.messages - 1));
    };
    const Run run = Watch(
        [&] {
            return server.Dropped() ||
                   (server.Sent() >= 0 && privateLog.Lines() >= load.messages && shownNewest());
        },
        load.messagesMs + 120000);
    const long endKiB = ResidentKiB();
    const bool shown = shownNewest();
    connected &= !server.Dropped() && gp_server->IsConnected();
    std::printf(
        "private flood: %d messages of %d characters over %d ms: handled in %.1f s; longest "
        "stall %.1f ms; %d lines logged; newest shown: %s; transcript %d characters in %d "
        "lines; connected: %s\n",
        load.messages, kMessageLength, load.messagesMs, run.seconds, run.worstStallMs,
        privateLog.Lines(), shown ? "yes" : "no",
        chat->Form()->chatView->document()->characterCount(),
        chat->Form()->chatView->document()->blockCount(), connected ? "yes" : "no");
    std::printf(
        "resident: %ld MiB at the start of the private flood, %ld MiB at most during "
        "it, %ld MiB after\n",
        startKiB / 1024, run.peakKiB / 1024, endKiB / 1024);
    FirstBatch(run, verdicts, verdict);
    if (verdicts) {
        verdict.Say("  no stall over 200 ms", run.worstStallMs <= 200);
        verdict.Say("  every line logged, the newest shown",
                    privateLog.Lines() == load.messages && shown);
        verdict.Say("  resident within 150 MiB of the start", run.peakKiB - startKiB <= 150 * 1024);
        verdict.Say("connected throughout", connected);
    }
    ViewerFloods(server, rooms, room, roomLog, load, verdict, verdicts);
    PrivateViewerFlood(server, load, verdict, verdicts);
    OpenViewerDuringFlood(server, rooms, room, roomLog, load, verdict, verdicts);
    OpenLargeLog(verdict, verdicts);
    const auto show = [&](bool inRoom) {
        FocusWidgetAndParents(inRoom ? room->Form()->chatEdit : chat->Form()->chatEdit);
        QApplication::processEvents();
    };
    LongFloods(server, load.longFloodSeconds, show, rooms, room, verdicts, verdict);
    InactiveSoundFlood(server, verdicts ? 60 : 3, verdicts, verdict);
    window.reset();
    return verdict.all ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    UseLoopbackOnly();
    bool quick = false;
    bool serve = false;
    int longSeconds = 0;
    for (int i = 1; i < argc; ++i) {
        quick |= !std::strcmp(argv[i], "--quick");
        serve |= !std::strcmp(argv[i], "--serve");
        if (!std::strcmp(argv[i], "--long") && i + 1 < argc)
            longSeconds = std::max(1, std::atoi(argv[++i]));
    }
    if (serve) {
        QCoreApplication app(argc, argv);
        return Serve();
    }
    qputenv("TAVENOOK_PASSWORD", "pw");
    Load load;
    if (quick)
        load = Load{1000, 1000, 30, 300, 3000, 3000, 3};
    if (longSeconds > 0)
        load.longFloodSeconds = longSeconds;
    QApplication app(argc, argv);
    prompts::SetBoxHandler([](QWidget*, const prompts::Box&) { return QMessageBox::Ok; });
    QTemporaryDir home;
    if (!home.isValid())
        return 1;
    qputenv("HOME", home.path().toUtf8());
    std::printf(
        "bench_gui_chat: %d room lines in %d ms, %d words in %d ms, %d private messages "
        "in %d ms, long floods of %d s%s\n",
        load.roomLines, load.roomMs, load.words, load.wordsMs, load.messages, load.messagesMs,
        load.longFloodSeconds, quick ? " (quick)" : "");
    std::fflush(stdout);
    return RunClient(load, !quick);
}
