// Folder-contents answers (code 37) made in steps: the bytes a peer gets are
// those the folder made at once gives, for random folders of every size; a
// large answer leaves the event loop turning and lets others' small answers
// go first; a change to the folder while it is copied begins the copy anew;
// users who leave, or many asking at once, or a shutdown, lose nothing and
// hold nothing. Searches whose words many files hold are copied in steps
// too, with the answers made at once.

#include <time.h>
#include <zlib.h>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QSignalSpy>
#include <QtTest>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "net/PeerLimits.h"
#include "shares/FolderAnswerBuilder.h"
#include "shares/SearchLine.h"
#include "shares/SharedFolderInfo.h"
#include "shares/SharedFoldersManager.h"
#include "support/CoreServices.h"
#include "support/Fuzz.h"

namespace {

constexpr int kWait = 60000;
const QString kRoot = "/share";

using Files = std::vector<std::pair<std::string, qint64>>;

qint64 ThreadCpuNs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return qint64(t.tv_sec) * 1000000000 + t.tv_nsec;
}

QString WireFolder(const QString& folder) {
    return QString(kRoot + "/" + folder).replace('/', '\\');
}

ItemPtr AddFile(const QString& folder, const std::string& name, qint64 size) {
    const ItemPtr file = d.GetType("shared_file")->NewItem();
    file.Connect(d.GetType("shared_file_folder")
                     ->GetItem(folder.isEmpty() ? kRoot : kRoot + "/" + folder))
        .Connect(d.GetType("shared_folder")->GetItem(kRoot));
    file.Connect(d.GetType("shared_file_name")->GetItem(Value(name)));
    file.Connect(d.GetType("shared_file_size")->GetItem(size));
    return file;
}

void AddFiles(const QString& folder, const Files& files) {
    for (const auto& file : files)
        AddFile(folder, file.first, file.second);
}

// Names as peers' shares hold them: words, "\", bytes that are not UTF-8,
// the empty name, and repeats with the same or another size.
Files RandomFiles(fuzz::Rng& rng, int count, bool odd) {
    static const char* const pieces[] = {"track", " ", "01", ".mp3", "Ärger", "½", "-", "x"};
    Files files;
    for (int k = 0; k < count; ++k) {
        std::string name;
        if (odd && fuzz::Below(rng, 20) == 0 && !files.empty()) {
            name = files[std::size_t(fuzz::Below(rng, int(files.size())))].first;
        } else {
            for (int p = fuzz::Below(rng, 5) + (odd ? 0 : 1); p > 0; --p)
                name += odd && fuzz::Below(rng, 8) == 0 ? std::string(1, char(rng()))
                                                        : std::string(pieces[rng() % 8]);
            name += std::to_string(k);
        }
        files.emplace_back(name, odd ? qint64(fuzz::Below(rng, 4)) : qint64(rng()));
    }
    return files;
}

// The answer's bytes after the code, written here by the wire layout and
// compressed with zlib itself.
QByteArray Expected(quint32 req, const QString& wireFolder, const Files& files) {
    SharedFolderInfo info;
    for (const auto& file : files)
        info.Files().insert(FileInfo(file.first, file.second));
    MemStream payload;
    payload.Write(req);
    payload.Write(wireFolder);
    payload.Write(quint32(1));
    payload.Write(wireFolder);
    info.Write(payload);
    const QByteArray in = payload.GetWrittenBytes();
    QByteArray out(2 * in.size() + 12, Qt::Uninitialized);
    uLongf length = uLongf(out.size());
    if (compress2(reinterpret_cast<Bytef*>(out.data()), &length,
                  reinterpret_cast<const Bytef*>(in.constData()), uLong(in.size()), 9) != Z_OK)
        return "<failed>";
    out.truncate(int(length));
    return out;
}

// The next code-37 answer's bytes after the code, or "(none)".
QByteArray Answer(RawPeer& peer) {
    quint32 code = 0;
    QByteArray payload;
    while (peer.WaitForMessage(&code, &payload, kWait))
        if (code == PeerMessenger::PM_SHARED_FILES_IN_FOLDER)
            return payload;
    return "(none)";
}

// The request number an answer echoes, or 0.
quint32 AnsweredReq(const QByteArray& answer) {
    QByteArray payload;
    quint32 req = 0;
    if (InflateBounded(answer.constData(), answer.size(), PeerLimits::kMaxInflatedSize, payload))
        MemStream(payload).Read(req);
    return req;
}

}  // namespace

class TestFolderAnswers : public QObject, CoreServices {
    Q_OBJECT

    std::unique_ptr<SharedFoldersManager> manager;

    bool Listen() {
        SetSetting("listening_port", 0);
        SetSetting("obfuscated_listening_port", 0);
        SetSetting("username", "me");
        messenger->SetListenAddress(QHostAddress::LocalHost);
        return messenger->Listen();
    }
    void Ask(RawPeer& peer, quint32 req, const QString& wireFolder) {
        MemStream payload;
        payload.Write(req);
        payload.Write(wireFolder);
        peer.SendMessage(PeerMessenger::PM_GET_SHARED_FILES_IN_FOLDER, payload.GetWrittenBytes());
    }
    // The one-piece answer's bytes after the code.
    QByteArray MadeAtOnce(const QString& user, quint32 req, const QString& wireFolder) {
        MemStream message;
        if (!manager->BuildFolderContentsAnswer(user, req, wireFolder, message))
            return "<none>";
        return message.GetWrittenBytes().mid(4);
    }

private slots:
    void init() {
        StartCore();
        manager.reset(new SharedFoldersManager);
        d.GetType("shared_folder")
            ->GetItem(kRoot)
            .Connect(d.GetType("shared_public")->GetGlobalNullItem());
        QVERIFY(Listen());
    }

    void cleanup() {
        manager.reset();
        StopCore();
    }

    // Random folders, from empty to many steps' worth: the peer gets the
    // bytes of the layout, and so does the answer made at once.
    void sameBytesAsMadeAtOnce_data() {
        QTest::addColumn<int>("files");
        QTest::addColumn<bool>("odd");
        QTest::addColumn<bool>("tooLong");
        QTest::newRow("empty") << 0 << false << false;
        QTest::newRow("a few") << 7 << true << false;
        QTest::newRow("largest made at once")
            << int(FolderAnswerBuilder::kLinksAtOnce) - 4 << false << false;
        QTest::newRow("smallest made in steps")
            << int(FolderAnswerBuilder::kLinksAtOnce) + 1 << false << false;
        QTest::newRow("many steps, odd names")
            << int(3 * FolderAnswerBuilder::kFilesPerStep + 17) << true << false;
        QTest::newRow("many steps, a name past the string cap")
            << int(2 * FolderAnswerBuilder::kFilesPerStep) << true << true;
    }
    void sameBytesAsMadeAtOnce() {
        QFETCH(int, files);
        QFETCH(bool, odd);
        QFETCH(bool, tooLong);
        fuzz::Rng rng(quint32(files) * 31 + quint32(odd));
        Files chosen = RandomFiles(rng, files, odd);
        if (tooLong)
            chosen.emplace_back(std::string(InputStream::kMaxStringLength + 1, 'n'), 1);
        AddFiles("folder", chosen);
        // Files of its subfolder and of its parent are not its own.
        AddFiles("folder/sub", RandomFiles(rng, 5, odd));
        AddFiles("", RandomFiles(rng, 5, odd));
        if (files == 0)  // a folder whose files all went
            AddFile("folder", "gone", 1).Remove();
        RawPeer bob;
        QVERIFY(ConnectAsPeer(bob, "bob"));
        const QString folder = WireFolder("folder");
        const QByteArray expected = Expected(77, folder, chosen);
        for (int k = 0; k < 2; ++k) {
            Ask(bob, 77, folder);
            QVERIFY(Answer(bob) == expected);
        }
        QVERIFY(MadeAtOnce("bob", 77, folder) == expected);
    }

    // While a stranger's large answer is made, the event loop keeps
    // turning: no turn takes the main thread for what the answer made at
    // once takes. An honest user's small answer goes before it.
    void largeAnswerYieldsToOthers() {
        fuzz::Rng rng(5);
        const Files big = RandomFiles(rng, 60000, false);
        const Files small = RandomFiles(rng, 20, false);
        AddFiles("big", big);
        AddFiles("small", small);
        RawPeer stranger, alice;
        QVERIFY(ConnectAsPeer(stranger, "stranger") && ConnectAsPeer(alice, "alice"));
        const qint64 before = ThreadCpuNs();
        const QByteArray bigAnswer = MadeAtOnce("stranger", 1, WireFolder("big"));
        const qint64 onePieceNs = ThreadCpuNs() - before;
        QVERIFY(bigAnswer == Expected(1, WireFolder("big"), big));

        qint64 last = ThreadCpuNs(), longest = 0;
        QTimer turns;
        connect(&turns, &QTimer::timeout, [&] {
            const qint64 now = ThreadCpuNs();
            longest = std::max(longest, now - last);
            last = now;
        });
        turns.start(0);
        // Both wait when the queue is next served.
        manager->OnFilesInFoldersRequested("stranger", 1, WireFolder("big"));
        manager->OnFilesInFoldersRequested("alice", 2, WireFolder("small"));
        QVERIFY(Answer(alice) == Expected(2, WireFolder("small"), small));
        QCOMPARE(stranger.BytesAvailable(), 0);
        QVERIFY(Answer(stranger) == bigAnswer);
        turns.stop();
        QVERIFY2(longest < onePieceNs / 2,
                 qPrintable(QString("longest turn %1 ms, the answer made at once %2 ms")
                                .arg(longest / 1e6)
                                .arg(onePieceNs / 1e6)));
    }

    // Files leaving, coming or renamed while a large answer is copied: the
    // copy begins anew, and the answer shows the folder as it is at the end.
    void changeWhileCopied_data() {
        QTest::addColumn<QString>("change");
        QTest::newRow("none") << "none";
        QTest::newRow("one not copied yet leaves") << "remove";
        QTest::newRow("one comes") << "add";
        QTest::newRow("one copied already renamed") << "rename";
    }
    void changeWhileCopied() {
        using State = FolderAnswerBuilder::State;
        QFETCH(QString, change);
        fuzz::Rng rng(9);
        Files files = RandomFiles(rng, int(3 * FolderAnswerBuilder::kFilesPerStep), false);
        AddFiles("big", files);
        const ItemPtr folder = d.GetType("shared_file_folder")->HasItem(kRoot + "/big");
        const ItemSet items = folder.GetItems("shared_file");
        const QString wire = WireFolder("big");
        FolderAnswerBuilder builder;
        QSignalSpy made(&builder, &FolderAnswerBuilder::Made);
        QVERIFY(builder.Begin("bob", 3, wire, folder));
        QCOMPARE(builder.Step("bob"), State::Copying);
        if (change == "remove") {
            items.Items().back().Remove();
            d.RemoveDisconnectedItems();
            files.pop_back();
        } else if (change == "add") {
            AddFile("big", "came meanwhile.mp3", 5);
            files.emplace_back("came meanwhile.mp3", 5);
        } else if (change == "rename") {
            const ItemPtr first = items.First();
            first.Disconnect("shared_file_name");
            first.Connect(d.GetType("shared_file_name")->GetItem(Value(std::string("renamed"))));
            files.front().first = "renamed";
        }
        if (change != "none")
            builder.StartOver();
        State state = builder.Step("bob");
        QCOMPARE(state, change == "none" ? State::Copying : State::None);
        if (state == State::None)
            QVERIFY(builder.Begin("bob", 3, wire, folder));
        while (builder.StateOf("bob", 3, wire) == State::Copying)
            builder.Step("bob");
        QCOMPARE(builder.StateOf("bob", 3, wire), State::Packing);
        QVERIFY(made.wait(kWait));
        QCOMPARE(builder.StateOf("bob", 3, wire), State::Packed);
        QVERIFY(builder.Message("bob").mid(4) == Expected(3, wire, files));
    }

    // Made answers that users cannot take yet are kept without holding up
    // the answers of others, up to a bound in bytes; past it they are
    // dropped, to be made again.
    void keptAnswers() {
        using State = FolderAnswerBuilder::State;
        // Names that do not compress: each answer about 6 MiB.
        fuzz::Rng rng(17);
        Files files;
        for (int k = 0; k < 24000; ++k) {
            const QByteArray noise = fuzz::RandomBytes(rng, 500);
            files.emplace_back(noise.toHex().toStdString() + std::to_string(k), k);
        }
        AddFiles("noise", files);
        const ItemPtr folder = d.GetType("shared_file_folder")->HasItem(kRoot + "/noise");
        const QString wire = WireFolder("noise");
        FolderAnswerBuilder builder;
        const QStringList users{"deaf0", "deaf1", "deaf2", "alice"};
        qint64 kept = 0;
        for (const QString& user : users) {
            QVERIFY2(builder.Begin(user, 1, wire, folder), qPrintable(user));
            while (builder.Step(user) == State::Copying) {
            }
            QTRY_COMPARE_WITH_TIMEOUT(builder.StateOf(user, 1, wire), State::Packed, kWait);
            QVERIFY(builder.Message(user).mid(4) == Expected(1, wire, files));
            if (user == "alice")
                break;
            kept += builder.Message(user).size();
            builder.Unsent(user);
            QCOMPARE(builder.StateOf(user, 1, wire),
                     kept > FolderAnswerBuilder::kMaxKeptBytes ? State::None : State::Packed);
            QCOMPARE(builder.Large(), std::size_t(0));
        }
        QVERIFY(kept > FolderAnswerBuilder::kMaxKeptBytes);
    }

    // More users asking for large folders than are made at once, one of
    // them leaving and coming back: each who stays gets the answer, once.
    void manyLargeAnswersAtOnce_data() {
        QTest::addColumn<int>("users");
        QTest::addColumn<bool>("oneLeaves");
        QTest::newRow("one") << 1 << false;
        QTest::newRow("more than made at once") << int(FolderAnswerBuilder::kMaxLarge) + 3 << false;
        QTest::newRow("more than made at once, one leaving")
            << int(FolderAnswerBuilder::kMaxLarge) + 3 << true;
    }
    void manyLargeAnswersAtOnce() {
        QFETCH(int, users);
        QFETCH(bool, oneLeaves);
        fuzz::Rng rng(11);
        const Files big = RandomFiles(rng, int(3 * FolderAnswerBuilder::kFilesPerStep), false);
        AddFiles("big", big);
        std::vector<std::unique_ptr<RawPeer>> peers;
        for (int k = 0; k < users; ++k) {
            peers.push_back(std::make_unique<RawPeer>());
            QVERIFY(ConnectAsPeer(*peers.back(), QString("user%1").arg(k)));
        }
        for (int k = 0; k < users; ++k)
            Ask(*peers[std::size_t(k)], quint32(100 + k), WireFolder("big"));
        if (oneLeaves) {
            peers.front()->Close();
            QTRY_VERIFY_WITH_TIMEOUT(!messenger->IsMessaging("user0"), kWait);
        }
        for (int k = oneLeaves ? 1 : 0; k < users; ++k)
            QVERIFY(Answer(*peers[std::size_t(k)]) ==
                    Expected(quint32(100 + k), WireFolder("big"), big));
        if (oneLeaves) {
            RawPeer back;
            QVERIFY(ConnectAsPeer(back, "user0"));
            Ask(back, 200, WireFolder("big"));
            QCOMPARE(AnsweredReq(Answer(back)), 200u);
        }
        // Each got one answer.
        for (int k = oneLeaves ? 1 : 0; k < users; ++k) {
            QVERIFY(CoreServices::SyncPeer(*peers[std::size_t(k)]));
            QCOMPARE(peers[std::size_t(k)]->BytesAvailable(), 0);
        }
    }

    // Searches whose words many files hold are copied over many turns of
    // the event loop; the answer is the one made at once, sent now or made
    // off the main thread, and one that matches nothing sends nothing.
    void searchInSteps_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("answered");
        QTest::newRow("a word every file holds") << "track" << true;
        QTest::newRow("every file excluded") << "track -mp3" << false;
        QTest::newRow("most files excluded") << "track -record" << true;
        QTest::newRow("a part of a word") << "track *ecor" << true;
    }
    void searchInSteps() {
        QFETCH(QString, text);
        QFETCH(bool, answered);
        const int files = int(3 * SharedFoldersManager::kSearchCandidatesAtOnce);
        for (int k = 0; k < files; ++k) {
            const std::string name =
                "track " + std::to_string(k) + (k % 1000 ? " of the record.mp3" : " live.mp3");
            manager->TokenizeSharedFile(AddFile(QString("album%1").arg(k / 500), name, k));
        }
        RawPeer bob;
        QVERIFY(ConnectAsPeer(bob, "bob"));
        MemStream atOnce;
        QCOMPARE(manager->BuildSearchAnswer("bob", 7, text, atOnce), answered);
        QSignalSpy processed(manager.get(), &SharedFoldersManager::SearchProcessed);
        QCOMPARE(manager->ProcessSearch("bob", 7, text),
                 SharedFoldersManager::SearchAnswerSent::Later);
        QVERIFY(processed.wait(kWait));
        QCOMPARE(processed.first().at(1).toBool(), answered);
        if (answered) {
            QVERIFY(bob.Take(PeerMessenger::PM_FILE_SEARCH_RESULT) ==
                    atOnce.GetWrittenBytes().mid(4));
        } else {
            QVERIFY(CoreServices::SyncPeer(bob));
            QCOMPARE(bob.BytesAvailable(), 0);
        }
    }

    // A search that looks at many files and finds none leaves the event
    // loop turning: no turn takes what the search made at once takes.
    void searchYieldsToTheEventLoop() {
        const std::string words(80, 'w');
        for (int k = 0; k < 120000; ++k)
            manager->TokenizeSharedFile(AddFile(QString("album%1").arg(k / 500),
                                                "track " + std::to_string(k) + words + ".mp3", k));
        RawPeer bob;
        QVERIFY(ConnectAsPeer(bob, "bob"));
        const QString text = "track -mp3";
        MemStream message;
        const qint64 before = ThreadCpuNs();
        QVERIFY(!manager->BuildSearchAnswer("bob", 1, text, message));
        const qint64 onePieceNs = ThreadCpuNs() - before;
        QSignalSpy processed(manager.get(), &SharedFoldersManager::SearchProcessed);
        qint64 last = ThreadCpuNs(), longest = 0;
        QTimer turns;
        connect(&turns, &QTimer::timeout, [&] {
            const qint64 now = ThreadCpuNs();
            longest = std::max(longest, now - last);
            last = now;
        });
        turns.start(0);
        const qint64 asked = ThreadCpuNs();
        QCOMPARE(manager->ProcessSearch("bob", 1, text),
                 SharedFoldersManager::SearchAnswerSent::Later);
        longest = std::max(longest, ThreadCpuNs() - asked);
        QVERIFY(processed.wait(kWait));
        turns.stop();
        QVERIFY2(longest < onePieceNs / 2,
                 qPrintable(QString("longest turn %1 ms, the search made at once %2 ms")
                                .arg(longest / 1e6)
                                .arg(onePieceNs / 1e6)));
    }

    // The line of searches waiting their turn: bounded in all and per user;
    // users who take what we send go first, and a full line takes one of
    // theirs in place of the newest of a user who does not.
    void searchLine() {
        SearchLine line(4, 2);
        std::set<QString> deaf{"d1", "d2", "d3"}, busy;
        const auto reads = [&deaf](const QString& u) { return !deaf.count(u); };
        const auto isBusy = [&busy](const QString& u) { return busy.count(u) > 0; };
        quint32 ticket = 0;
        for (const auto& [user, outcome] : std::vector<std::pair<QString, QString>>{{"d1", "+"},
                                                                                    {"d1", "+"},
                                                                                    {"d1", "-"},
                                                                                    {"d2", "+"},
                                                                                    {"r1", "+"},
                                                                                    {"d3", "-"},
                                                                                    {"r2", "+4"},
                                                                                    {"r3", "+2"},
                                                                                    {"r4", "+1"},
                                                                                    {"r5", "-"}}) {
            std::optional<SearchLine::Search> dropped;
            const bool added = line.Add({user, ++ticket, "x"}, reads, dropped);
            QCOMPARE(QString(added ? "+" : "-") + (dropped ? QString::number(dropped->ticket) : ""),
                     outcome);
        }
        deaf = {"r1", "r2"};
        busy = {"r3"};
        QString order;
        SearchLine::Search next;
        while (line.TakeNext(isBusy, reads, next))
            order += QString::number(next.ticket) + ' ';
        busy.clear();
        while (line.TakeNext(isBusy, reads, next))
            order += QString::number(next.ticket) + ' ';
        QCOMPARE(order, QString("9 5 7 8 "));
        QVERIFY(line.Empty());
    }

    // Searches in steps under way for more users than copies and answers
    // being made may hold: a flood from one user past what may wait is
    // dropped, every other answered, none copied only to be dropped.
    void searchesInStepsAtOnce() {
        for (int k = 0; k < int(2 * SharedFoldersManager::kSearchCandidatesAtOnce); ++k)
            manager->TokenizeSharedFile(
                AddFile("album", "track " + std::to_string(k) + " -x.mp3", k));
        using Sent = SharedFoldersManager::SearchAnswerSent;
        QSignalSpy processed(manager.get(), &SharedFoldersManager::SearchProcessed);
        std::vector<std::unique_ptr<RawPeer>> peers;
        const int users =
            int(SharedFoldersManager::kMaxSearchCopies + SearchAnswerQueue::kMaxWaiting) + 2;
        for (int k = 0; k < users; ++k) {
            peers.push_back(std::make_unique<RawPeer>());
            QVERIFY(ConnectAsPeer(*peers.back(), QString("user%1").arg(k)));
        }
        // A user who searches again, and one past the copies under way,
        // wait their turn; a flood past what may wait is dropped.
        const int perUser = SharedFoldersManager::kMaxSearchesWaitingPerUser;
        QCOMPARE(manager->ProcessSearch("user0", 1, "track -zzz"), Sent::Later);
        for (int k = 0; k < perUser; ++k)
            QCOMPARE(manager->ProcessSearch("user0", quint32(2 + k), "track -yyy"), Sent::Later);
        QCOMPARE(manager->ProcessSearch("user0", 99, "track -yyy"), Sent::No);
        for (int k = 1; k < users; ++k)
            QCOMPARE(manager->ProcessSearch(QString("user%1").arg(k), 1, "track -zzz"),
                     Sent::Later);
        QTRY_COMPARE_WITH_TIMEOUT(processed.count(), users + perUser, kWait);
        for (const QList<QVariant>& each : processed)
            QVERIFY2(each.at(1).toBool(), qPrintable(each.at(0).toString()));
        for (int k = 0; k < users; ++k)
            QVERIFY(peers[std::size_t(k)]->Take(PeerMessenger::PM_FILE_SEARCH_RESULT) != "(none)");
        // Done, a user may search so again.
        QCOMPARE(manager->ProcessSearch("user0", 3, "track -zzz"), Sent::Later);
        QTRY_COMPARE_WITH_TIMEOUT(processed.count(), users + perUser + 1, kWait);
    }

    // The client quits while large answers are copied or compressed: it
    // waits for none of them.
    void shutdownWhileMade_data() {
        QTest::addColumn<int>("turns");
        QTest::newRow("at once") << 0;
        QTest::newRow("while copied") << 2;
        QTest::newRow("later") << 30;
    }
    void shutdownWhileMade() {
        QFETCH(int, turns);
        fuzz::Rng rng(13);
        AddFiles("big", RandomFiles(rng, 60000, false));
        RawPeer bob, carol;
        QVERIFY(ConnectAsPeer(bob, "bob") && ConnectAsPeer(carol, "carol"));
        Ask(bob, 1, WireFolder("big"));
        Ask(carol, 2, WireFolder("big"));
        QVERIFY(bob.WaitForWritten() && carol.WaitForWritten());
        for (int k = 0; k < turns; ++k)
            QCoreApplication::processEvents();
        QElapsedTimer quit;
        quit.start();
        manager.reset();
        QVERIFY2(quit.elapsed() < 5000, qPrintable(QString::number(quit.elapsed())));
    }
};

QTEST_GUILESS_MAIN(TestFolderAnswers)
#include "test_folder_answers.moc"
