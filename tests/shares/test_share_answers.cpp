// Answers to other users from the own index: search results (code 9), the
// share list (code 5) and folder contents (code 37), decoded from the bytes
// that are built or that a raw peer receives over loopback; the visibility of
// roots; unsharing by address; the login report to a loopback server.

#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>
#include <random>

#include "net/DNetManager.h"
#include "net/PeerLimits.h"
#include "net/PeerMessenger.h"
#include "net/PeerPayloads.h"
#include "net/server.h"
#include "shares/SharedFolderInfo.h"
#include "shares/SharedFoldersManager.h"
#include "store/Data.h"
#include "store/DataSaver.h"
#include "store/Settings.h"
#include "support/CoreServices.h"
#include "support/RawPeer.h"
#include "support/TestFiles.h"
#include "support/TestServer.h"

namespace {

constexpr int kWait = 10000;
const QString kMe = QStringLiteral("me");

QByteArray Mp3Bytes(int frames = 40) {
    QByteArray frame(417, '\0');
    frame[0] = char(0xFF);
    frame[1] = char(0xFB);
    frame[2] = char(0x90);
    return frame.repeated(frames);
}

// The inflated payload of a compressed answer with the expected code.
MemStream Inflated(const QByteArray& message, quint32 code) {
    MemStream in(message);
    quint32 got = 0;
    QByteArray out;
    if (!in.Read(got) || got != code ||
        !InflateBounded(message.constData() + 4, message.size() - 4, PeerLimits::kMaxInflatedSize,
                        out))
        return MemStream(QByteArray("\xff"));
    return MemStream(out);
}

struct Record {
    QString name;
    quint64 size = 0;
    QString extension;
    std::vector<std::pair<quint32, quint32>> pairs;
    bool operator==(const Record& o) const {
        return name == o.name && size == o.size && extension == o.extension && pairs == o.pairs;
    }
};

bool ReadRecord(MemStream& in, Record& r) {
    quint8 marker = 0;
    quint32 n = 0;
    if (!in.Read(marker) || marker != 1 || !in.Read(r.name) || !in.Read(r.size) ||
        !in.Read(r.extension) || !in.Read(n))
        return false;
    r.pairs.clear();
    for (quint32 k = 0; k < n; ++k) {
        quint32 key = 0, value = 0;
        if (!in.Read(key) || !in.Read(value))
            return false;
        r.pairs.emplace_back(key, value);
    }
    return true;
}

struct SearchAnswer {
    QString user;
    quint32 ticket = 0;
    std::vector<Record> records;
    quint8 freeSlot = 0;
    quint32 speed = 0, queue = 0, extra = 99;
};

bool ReadSearchAnswer(const QByteArray& message, SearchAnswer& a) {
    MemStream in = Inflated(message, PeerMessenger::PM_FILE_SEARCH_RESULT);
    quint32 n = 0;
    if (!in.Read(a.user) || !in.Read(a.ticket) || !in.Read(n))
        return false;
    for (quint32 k = 0; k < n; ++k) {
        Record r;
        if (!ReadRecord(in, r))
            return false;
        a.records.push_back(r);
    }
    return in.Read(a.freeSlot) && in.Read(a.speed) && in.Read(a.queue) && in.Read(a.extra) &&
           in.BytesLeft() == 0;
}

using ShareList = std::vector<std::pair<QString, std::vector<Record>>>;

bool ReadShareList(const QByteArray& message, ShareList& list) {
    MemStream in = Inflated(message, PeerMessenger::PM_SHARED_FILE_LIST);
    quint32 folders = 0, table = 99;
    if (!in.Read(folders))
        return false;
    for (quint32 f = 0; f < folders; ++f) {
        QString path;
        quint32 n = 0;
        if (!in.Read(path) || !in.Read(n))
            return false;
        std::vector<Record> files(n);
        for (Record& r : files)
            if (!ReadRecord(in, r))
                return false;
        list.emplace_back(path, files);
    }
    return in.Read(table) && table == 0 && in.BytesLeft() == 0;
}

QStringList Names(const std::vector<Record>& records) {
    QStringList out;
    for (const Record& r : records)
        out << r.name;
    return out;
}

}  // namespace

class TestShareAnswers : public QObject, CoreServices {
    Q_OBJECT

    std::unique_ptr<SharedFoldersManager> manager;
    std::unique_ptr<QTemporaryDir> tmp;
    QString music, priv;

    QString P(const QString& relative) const { return tmp->path() + "/" + relative; }

    QByteArray Search(const QString& user, const QString& text, quint32 ticket = 7) {
        MemStream message;
        if (!manager->BuildSearchAnswer(user, ticket, text, message))
            return QByteArray();
        return message.GetWrittenBytes();
    }

    QStringList Found(const QString& user, const QString& text) {
        SearchAnswer a;
        const QByteArray m = Search(user, text);
        if (m.isEmpty() || !ReadSearchAnswer(m, a))
            return QStringList();
        return Names(a.records);
    }

    ItemPtr ListUser(const QString& name, const QStringList& groups = {}) {
        const ItemPtr user = d.GetType("user")->GetItem(name);
        const ItemPtr entry = d.GetType("in_user_list")->NewItem();
        user.Connect(entry);
        for (const QString& g : groups)
            entry.Connect(d.GetType("user_list_group")->GetItem(g));
        return user;
    }

    void Unshare(const ItemPtr& user) { user.Connect(d.GetType("unshared")->GetGlobalNullItem()); }

private slots:
    void init() {
        StartCore();
        manager.reset(new SharedFoldersManager);
        SetSetting("username", kMe);
        SetSetting("listening_port", 0);
        SetSetting("obfuscated_listening_port", 0);
        SetSetting("use_upnp", "no");
        messenger->SetListenAddress(QHostAddress::LocalHost);
        QVERIFY(messenger->Listen());

        // Music (public): B.mp3, a.mp3, Empty/, Beatles/Beatles Live.mp3,
        // Beatles/Live/Help.MP3 (real frames), Beatles/Live/notes.txt.
        // Private (no audience): beatles secret.txt. Other .mp3 bodies are
        // no MP3 stream, so only Help.MP3 is analysed by the scanner.
        tmp.reset(new QTemporaryDir);
        QVERIFY(tmp->isValid());
        music = P("Music");
        priv = P("Private");
        QVERIFY(Write(P("Music/B.mp3"), "12345"));
        QVERIFY(Write(P("Music/a.mp3"), "123"));
        QVERIFY(QDir().mkpath(P("Music/Empty")));
        QVERIFY(Write(P("Music/Beatles/Beatles Live.mp3"), "1234567"));
        QVERIFY(Write(P("Music/Beatles/Live/Help.MP3"), Mp3Bytes()));
        QVERIFY(Write(P("Music/Beatles/Live/notes.txt"), "n"));
        QVERIFY(Write(P("Private/beatles secret.txt"), "s3"));
        const ItemPtr root = manager->AddSharedFolder(music);
        root.Connect(d.GetType("shared_public")->GetGlobalNullItem());
        QVERIFY(!manager->AddSharedFolder(priv).IsNull());
        QVERIFY(QTest::qWaitFor(
            [this] {
                return manager->GetSharedFileItem(P("Music/Beatles/Live/Help.MP3"))
                    .IsConnected("is_scanned");
            },
            kWait));
        manager->OnMP3Scanned(P("Music/B.mp3"), 1, "stereo", 44100, true, 211);
    }

    void cleanup() {
        manager.reset();
        StopCore();
        tmp.reset();
        qunsetenv("TAVENOOK_SERVER");
    }

    void searchAnswerLayout() {
        SearchAnswer a;
        QVERIFY(ReadSearchAnswer(Search("bob", "beatles", 4242), a));
        QCOMPARE(a.user, kMe);
        QCOMPARE(a.ticket, 4242u);
        const QString beatles = Wire(music + "/Beatles");
        const std::vector<Record> expected = {
            {beatles + "\\Beatles Live.mp3", 7, "mp3", {}},
            {beatles + "\\Live\\Help.MP3", quint64(Mp3Bytes().size()), "mp3", {{0, 128}, {2, 0}}},
            {beatles + "\\Live\\notes.txt", 1, "", {}}};
        QVERIFY(a.records == expected);
        QCOMPARE(a.freeSlot, quint8(1));
        QCOMPARE(a.speed, 0u);  // "upload_speed" unset
        QCOMPARE(a.queue, 0u);
        QCOMPARE(a.extra, 0u);

        SetSetting("upload_speed", 31337);
        SearchAnswer b;
        QVERIFY(ReadSearchAnswer(Search("bob", "b.mp3"), b));
        QCOMPARE(b.speed, 31337u);
        QCOMPARE(Names(b.records), QStringList{Wire(music + "/B.mp3")});
        QVERIFY(b.records[0].pairs == (std::vector<std::pair<quint32, quint32>>{{0, 211}, {2, 1}}));
    }

    void searchFilters() {
        const QString beatles = Wire(music + "/Beatles");
        // Excluded and part tokens look at file names only.
        QCOMPARE(Found("bob", "beatles -live"),
                 (QStringList{beatles + "\\Live\\Help.MP3", beatles + "\\Live\\notes.txt"}));
        QCOMPARE(Found("bob", "beatles *elp"), QStringList{beatles + "\\Live\\Help.MP3"});
        QCOMPARE(Found("bob", "ab beatles"), QStringList());  // "ab" is no index token
        // Not answered at all.
        for (const char* text : {"*mix", "ab cd", "-beatles", "\"beatles live\"",
                                 "beatles live zzz", "secret", "\"unterminated", ""})
            QVERIFY2(Search("bob", text).isEmpty(), text);
        // The same private file for a user whose group shares the root.
        d.GetType("shared_folder")
            ->HasItem(priv)
            .Connect(d.GetType("user_list_group")->GetItem("friends"));
        ListUser("carol", {"friends"});
        QCOMPARE(Found("carol", "secret"), QStringList{Wire(priv + "/beatles secret.txt")});
        // No item is made for text that came from a peer.
        const int tokens = d.GetType("search_token")->ItemCount();
        const int users = d.GetType("user")->ItemCount();
        QVERIFY(Search("someone new", "qqqqqq").isEmpty());
        QCOMPARE(d.GetType("search_token")->ItemCount(), tokens);
        QCOMPARE(d.GetType("user")->ItemCount(), users);

        // Unshared users and shutdown pending.
        Unshare(d.GetType("user")->GetItem("mallory"));
        QVERIFY(Search("mallory", "beatles").isEmpty());
        SetRuntimeSetting("finish_uploads_and_quit", "yes");
        QSignalSpy processed(manager.get(), &SharedFoldersManager::SearchProcessed);
        manager->OnDirectFileSearch("bob", 1, "beatles");
        QCOMPARE(processed.count(), 1);
        QCOMPARE(processed.at(0).at(1).toBool(), false);
    }

    // Searches from the distributed tree reach the answer (the tree manager
    // made second here; test_dnet covers the start-up order).
    void treeSearchesReachAnswer() {
        DNetManager tree;
        QSignalSpy processed(manager.get(), &SharedFoldersManager::SearchProcessed);
        emit tree.DNetSearchRequest("bob", 7, "beatles");
        QCOMPARE(processed.count(), 1);
        QCOMPARE(processed.at(0).at(1).toBool(), true);
    }

    // Over loopback: what a peer receives, and what it does not.
    void answersReachPeer() {
        RawPeer bob;
        QVERIFY(ConnectAsPeer(bob, "bob"));
        QSignalSpy processed(manager.get(), &SharedFoldersManager::SearchProcessed);

        manager->OnDirectFileSearch("bob", 99, "beatles *elp");
        QCOMPARE(processed.count(), 1);
        QCOMPARE(processed.at(0).at(0).toString(), QString("beatles *elp"));
        QCOMPARE(processed.at(0).at(1).toBool(), true);
        quint32 code = 0;
        QByteArray payload;
        QVERIFY(bob.WaitForMessage(&code, &payload, kWait));
        const QByteArray message = RawPeer::U32(code) + payload;
        SearchAnswer a;
        QVERIFY(ReadSearchAnswer(message, a));
        QCOMPARE(a.ticket, 99u);
        QCOMPARE(message, Search("bob", "beatles *elp", 99));

        // Refused searches send nothing: the next message is the share list.
        manager->OnDirectFileSearch(kMe, 1, "beatles");  // own name: not even examined
        QCOMPARE(processed.count(), 1);
        for (const char* text : {"*mix", "ab cd", "\"beatles live\""})
            manager->OnDNetSearchRequest("bob", 2, text);
        QCOMPARE(processed.count(), 4);
        for (int k = 1; k < 4; ++k)
            QCOMPARE(processed.at(k).at(1).toBool(), false);
        bob.SendMessage(PeerMessenger::PM_SHARED_FILE_LIST_REQUEST);
        QVERIFY(bob.WaitForMessage(&code, &payload, kWait));
        QCOMPARE(code, quint32(PeerMessenger::PM_SHARED_FILE_LIST));

        // A folder request (code 36) is answered with code 37; a hidden one is not.
        bob.SendMessage(
            PeerMessenger::PM_GET_SHARED_FILES_IN_FOLDER, RawPeer::U32(5) + [&] {
                MemStream s;
                s.Write(Wire(priv));
                return s.GetWrittenBytes();
            }());
        bob.SendMessage(
            PeerMessenger::PM_GET_SHARED_FILES_IN_FOLDER, RawPeer::U32(6) + [&] {
                MemStream s;
                s.Write(Wire(music + "/Beatles"));
                return s.GetWrittenBytes();
            }());
        QVERIFY(bob.WaitForMessage(&code, &payload, kWait));
        QCOMPARE(code, quint32(PeerMessenger::PM_SHARED_FILES_IN_FOLDER));
        MemStream in = Inflated(RawPeer::U32(code) + payload, code);
        quint32 req = 0;
        QVERIFY(in.Read(req));
        QCOMPARE(req, 6u);
    }

    void shareList() {
        ShareList list;
        QVERIFY(ReadShareList(manager->GetSharedFilesMessage("bob").GetWrittenBytes(), list));
        QStringList folders;
        for (const auto& f : list)
            folders << f.first;
        // Byte order of the paths; the empty folder is listed too.
        QCOMPARE(folders, (QStringList{Wire(music), Wire(music + "/Beatles"),
                                       Wire(music + "/Beatles/Live"), Wire(music + "/Empty")}));
        const std::vector<Record> top = {{"B.mp3", 5, "mp3", {{0, 211}, {2, 1}}},
                                         {"a.mp3", 3, "mp3", {}}};
        QVERIFY(list[0].second == top);
        QVERIFY(list[3].second.empty());
        QCOMPARE(Names(list[2].second), (QStringList{"Help.MP3", "notes.txt"}));
        QCOMPARE(list[2].second[0].extension, QString("mp3"));

        // Nothing for an unshared user, but still a valid list.
        Unshare(d.GetType("user")->GetItem("mallory"));
        ShareList none;
        QVERIFY(ReadShareList(manager->GetSharedFilesMessage("mallory").GetWrittenBytes(), none));
        QVERIFY(none.empty());

        // The cached list follows the index and the roots' visibility.
        const QByteArray before = manager->GetSharedFilesMessage("bob").GetWrittenBytes();
        QCOMPARE(manager->GetSharedFilesMessage("bob").GetWrittenBytes(), before);
        d.GetType("shared_folder")
            ->HasItem(priv)
            .Connect(d.GetType("shared_public")->GetGlobalNullItem());
        ShareList withPrivate;
        QVERIFY(
            ReadShareList(manager->GetSharedFilesMessage("bob").GetWrittenBytes(), withPrivate));
        QCOMPARE(withPrivate.size(), std::size_t(5));
        QVERIFY(Write(P("Music/Empty/new.ogg"), "xy"));
        manager->ScanSharedFolder(music, music + "/Empty");
        ShareList grown;
        QVERIFY(ReadShareList(manager->GetSharedFilesMessage("bob").GetWrittenBytes(), grown));
        QCOMPARE(Names(grown[3].second), QStringList{"new.ogg"});
        QVERIFY(QFile::remove(P("Music/a.mp3")));
        manager->RescanShares();
        ShareList shrunk;
        QVERIFY(ReadShareList(manager->GetSharedFilesMessage("bob").GetWrittenBytes(), shrunk));
        QCOMPARE(Names(shrunk[0].second), QStringList{"B.mp3"});
    }

    void folderContents() {
        auto contents = [this](const QString& user, const QString& folder, QString* echoed) {
            MemStream message;
            QStringList names;
            if (!manager->BuildFolderContentsAnswer(user, 5, folder, message))
                return QStringList{"<none>"};
            MemStream in = Inflated(message.GetWrittenBytes(), 37);
            quint32 req = 0, one = 0;
            QString again;
            SharedFolderInfo info;
            if (!in.Read(req) || req != 5 || !in.Read(*echoed) || !in.Read(one) || one != 1 ||
                !in.Read(again) || again != *echoed || !info.Read(in) || in.BytesLeft() != 0)
                return QStringList{"<bad>"};
            for (const FileInfo& f : info.Files()) {
                // No extension and no audio pairs here, even for analysed MP3s.
                if (!f.GetAttributes().IsEmpty())
                    return QStringList{"<attributes>"};
                names << QString::fromStdString(f.GetName());
            }
            return names;
        };
        QString echoed;
        const QString live = Wire(music + "/Beatles/Live");
        QCOMPARE(contents("bob", live, &echoed), (QStringList{"Help.MP3", "notes.txt"}));
        QCOMPARE(echoed, live);
        QCOMPARE(contents("bob", music + "/Beatles/Live", &echoed),
                 (QStringList{"Help.MP3", "notes.txt"}));
        QCOMPARE(echoed, music + "/Beatles/Live");
        // Only the files directly in the folder.
        QCOMPARE(contents("bob", Wire(music + "/Beatles"), &echoed),
                 QStringList{"Beatles Live.mp3"});
        QCOMPARE(contents("bob", Wire(music + "/Empty"), &echoed), QStringList());
        // Hidden, unknown, or a case variant: no answer, and no item made.
        const int folders = d.GetType("shared_file_folder")->ItemCount();
        QCOMPARE(contents("bob", Wire(priv), &echoed), QStringList{"<none>"});
        QCOMPARE(contents("bob", Wire(music + "/nothing"), &echoed), QStringList{"<none>"});
        QCOMPARE(contents("bob", Wire(music + "/beatles"), &echoed), QStringList{"<none>"});
        QCOMPARE(d.GetType("shared_file_folder")->ItemCount(), folders);
        Unshare(d.GetType("user")->GetItem("mallory"));
        QCOMPARE(contents("mallory", live, &echoed), QStringList{"<none>"});
    }

    void visibilityMatrix() {
        // Roots made directly in the store: public, user list, group g1,
        // group g2, none; a folder under both a private and a public root.
        Type* roots = d.GetType("shared_folder");
        Type* folders = d.GetType("shared_file_folder");
        auto makeRoot = [&](const QString& name) {
            const ItemPtr root = roots->GetItem("/v/" + name);
            const ItemPtr folder = folders->GetItem("/v/" + name);
            folder.Connect(root);
            const ItemPtr file = d.GetType("shared_file")->NewItem();
            file.Connect(folder);
            return file;
        };
        // The roots of init are left out of this table.
        roots->HasItem(music).Disconnect("shared_public");
        std::map<QString, ItemPtr> files;
        for (const char* name : {"pub", "list", "g1", "g2", "none", "outer"})
            files[name] = makeRoot(name);
        roots->HasItem("/v/pub").Connect(d.GetType("shared_public")->GetGlobalNullItem());
        roots->HasItem("/v/list").Connect(d.GetType("shared_userlist")->GetGlobalNullItem());
        roots->HasItem("/v/g1").Connect(d.GetType("user_list_group")->GetItem("g1"));
        roots->HasItem("/v/g2").Connect(d.GetType("user_list_group")->GetItem("g2"));
        const ItemPtr inner = roots->GetItem("/v/outer/in");
        inner.Connect(d.GetType("shared_public")->GetGlobalNullItem());
        files["nested"] = d.GetType("shared_file")->NewItem();
        files["nested"].Connect(folders->GetItem("/v/outer/in"));
        folders->HasItem("/v/outer/in").Connect(roots->HasItem("/v/outer"));
        folders->HasItem("/v/outer/in").Connect(inner);

        ListUser("listed");
        ListUser("in g1", {"g1"});
        ListUser("in g1 g2", {"g1", "g2"});
        ListUser("in g3", {"g3"});
        const ItemPtr banned = ListUser("banned", {"g1"});
        Unshare(banned);
        d.GetType("user")->GetItem("known");

        struct Row {
            const char* user;
            QStringList roots;  // visible roots, by name
        };
        const QStringList base{"pub", "outer/in"};
        const std::vector<Row> table = {
            {"stranger", base},
            {"known", base},
            {"listed", base + QStringList{"list"}},
            {"in g1", base + QStringList{"list", "g1"}},
            {"in g1 g2", base + QStringList{"list", "g1", "g2"}},
            {"in g3", base + QStringList{"list"}},
            {"banned", {}},
        };
        for (const Row& row : table) {
            QStringList got;
            for (const ItemPtr& root : manager->GetUserSharedFolders(row.user))
                got << root.AsString().mid(3);
            got.sort();
            QStringList want = row.roots;
            want.sort();
            QVERIFY2(got == want, qPrintable(QString(row.user) + ": " + got.join(",")));
            for (const auto& file : files) {
                QStringList fileRoots;
                bool visible = false;
                for (const ItemPtr& r : file.second["shared_file_folder"].GetItems("shared_folder"))
                    visible = visible || want.contains(r.AsString().mid(3));
                QVERIFY2(manager->IsFileSharedWithUser(file.second, row.user) == visible,
                         qPrintable(QString(row.user) + " / " + file.first));
            }
        }
        QVERIFY(d.GetType("user")->HasItem("stranger").IsNull());
    }

    void unsharedByAddress() {
        manager->Init();
        QVERIFY(QTest::qWaitFor([this] { return !manager->IsBackgroundScanPending(); }, kWait));
        Type* users = d.GetType("user");
        Type* addresses = d.GetType("user_address");
        const ItemPtr a = users->GetItem("A");
        Unshare(a);
        a.Connect(addresses->GetItem(quint32(0x0A000001)));
        QVERIFY(!manager->IsUserAddressUnshared("B"));
        const ItemPtr b = users->GetItem("B");
        b.Connect(addresses->GetItem(quint32(0x0A000002)));
        QVERIFY(!b.IsConnected("unshared"));
        b.Connect(addresses->GetItem(quint32(0x0A000001)));
        QVERIFY(b.IsConnected("unshared"));
        QVERIFY(manager->IsUserAddressUnshared("B"));
        QVERIFY(Search("B", "beatles").isEmpty());
        const ItemPtr c = users->GetItem("C");
        c.Connect(addresses->GetItem(quint32(0x0A000003)));
        QVERIFY(!c.IsConnected("unshared"));
        QVERIFY(!manager->IsUserAddressUnshared("nobody"));

        // The cached browse tree of another user goes, and only it.
        manager->RemoveUserShare("nobody");
        const ItemPtr share = d.GetType("user_share")->NewItem();
        share.Connect(c);
        const ItemPtr folder = d.GetType("user_share_folder")->NewItem();
        share.Connect(folder);
        const ItemPtr file = d.GetType("user_share_file")->NewItem();
        folder.Connect(file);
        file.Connect(d.GetType("user_share_file_name")->GetItem("x.mp3"));
        manager->RemoveUserShare("C");
        QCOMPARE(d.GetType("user_share")->ItemCount(), 0);
        QCOMPARE(d.GetType("user_share_folder")->ItemCount(), 0);
        QCOMPARE(d.GetType("user_share_file")->ItemCount(), 0);
        QVERIFY(d.GetType("user_share_file_name")->HasItem("x.mp3").IsNull());
        QVERIFY(!manager->GetSharedFileItem(P("Music/B.mp3")).IsNull());
    }

    // A search that matches more than fits in one frame is cut, in order.
    void answerCap() {
        const ItemPtr root = d.GetType("shared_folder")->GetItem("/cap");
        root.Connect(d.GetType("shared_public")->GetGlobalNullItem());
        const QString longFolder = "/cap/" + QString(60000, 'q');
        const ItemPtr folder = d.GetType("shared_file_folder")->GetItem(longFolder);
        folder.Connect(root);
        for (int k = 0; k < 200; ++k) {
            const ItemPtr file = d.GetType("shared_file")->NewItem();
            file.Connect(folder);
            file.Connect(d.GetType("shared_file_name")->GetItem(QString::asprintf("f%03d.bin", k)));
            file.Connect(d.GetType("shared_file_size")->GetItem(k));
            manager->TokenizeSharedFile(file);
        }
        const QByteArray message = Search("bob", "cap");
        QVERIFY(!message.isEmpty());
        QVERIFY(message.size() < qint64(PeerLimits::kMaxFrameLength));
        SearchAnswer a;
        QVERIFY(ReadSearchAnswer(message, a));
        const qint64 perRecord = 1 + 4 + (longFolder.size() + 9) + 8 + 4 + 4;
        QCOMPARE(qint64(a.records.size()),
                 (SharedFoldersManager::kMaxSearchAnswerPayload - 25 - kMe.size()) / perRecord);
        QVERIFY(a.records.size() < 200);
        QCOMPARE(a.records.front().name, Wire(longFolder + "/f000.bin"));
        QCOMPARE(a.records.back().name,
                 Wire(longFolder + QString::asprintf("/f%03d.bin", int(a.records.size()) - 1)));
        QCOMPARE(a.queue, 0u);
        QCOMPARE(a.extra, 0u);
    }

    void loginReport() {
        TestServer ts;
        QVERIFY(ts.Listen());
        qputenv("TAVENOOK_SERVER", ts.Address().toUtf8());
        SetSetting("password", "pw");
        ts.SetUserStats(kMe, UserStats(777, 1, 2, 3));
        QSignalSpy connected(server.get(), &Server::Connected);
        server->Connect();
        QVERIFY(connected.wait(kWait));
        QByteArray payload;
        QVERIFY(ts.WaitForMessage(kMe, SM_SHARED_FOLDERS_FILES, kWait, &payload));
        MemStream counts(payload);
        quint32 folders = 0, files = 0;
        QVERIFY(counts.Read(folders) && counts.Read(files));
        // Every indexed folder and file, the private root's included.
        QCOMPARE(folders, 5u);
        QCOMPARE(files, 6u);
        QVERIFY(ts.WaitForMessage(kMe, SM_GET_USER_STATS, kWait, &payload));
        QString asked;
        QVERIFY(MemStream(payload).Read(asked));
        QCOMPARE(asked, kMe);
        QVERIFY(QTest::qWaitFor([] { return GetSetting("upload_speed") == "777"; }, kWait));
        manager->OnReceivedUserStats("other", UserStats(5, 0, 0, 0));
        QCOMPARE(GetSetting("upload_speed"), QString("777"));
        manager->OnReceivedUserStats(kMe, UserStats(0xFFFFFFF0u, 0, 0, 0));
        SearchAnswer a;
        QVERIFY(ReadSearchAnswer(Search("bob", "beatles"), a));
        QCOMPARE(a.speed, 0xFFFFFFF0u);
    }

    void sharedFolderInfoFuzz() {
        SharedFolderInfo info;
        info.Files().insert(FileInfo("b.mp3", 10));
        info.Files().insert(FileInfo("a", 1, AttributeMap("mp3")));
        MemStream out;
        QVERIFY(info.Write(out));
        const QByteArray good = out.GetWrittenBytes();
        SharedFolderInfo back;
        MemStream in(good);
        QVERIFY(back.Read(in));
        QCOMPARE(back.Files().size(), std::size_t(2));
        // Count above the cap.
        MemStream big;
        big.Write(quint32(SharedFolderInfo::kMaxFileCount + 1));
        QVERIFY(!back.Read(big));

        std::mt19937 rng(1234);
        for (int k = 0; k < 20000; ++k) {
            QByteArray bytes = good;
            if (k % 4 == 0) {
                bytes.resize(int(rng() % 64));
                for (char& c : bytes)
                    c = char(rng());
            } else {
                for (int m = int(rng() % 4); m >= 0; --m)
                    bytes[int(rng() % bytes.size())] = char(rng());
                bytes.truncate(int(rng() % (bytes.size() + 1)));
            }
            MemStream s(bytes);
            SharedFolderInfo fuzzed;
            if (fuzzed.Read(s))
                QVERIFY(fuzzed.Files().size() <= SharedFolderInfo::kMaxFileCount);
        }
    }
};

QTEST_GUILESS_MAIN(TestShareAnswers)
#include "test_share_answers.moc"
