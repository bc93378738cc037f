// The own shared-file index: real folder trees in temporary folders, walked
// by the real scanner thread or scanned synchronously, merged into the store,
// rescanned after changes on disk, saved and loaded again.

#include <fcntl.h>
#include <unistd.h>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <atomic>
#include <map>
#include <memory>
#include <random>
#include <set>

#include "net/PeerMessenger.h"
#include "net/PeerTypes.h"
#include "net/server.h"
#include "shares/FileScanner.h"
#include "shares/SharedFoldersManager.h"
#include "store/Data.h"
#include "store/DataSaver.h"
#include "store/Settings.h"
#include "support/TestFiles.h"

namespace {

constexpr int kWait = 20000;

// A constant 128 kbit/s, 44.1 kHz, stereo MPEG-1 Layer III stream.
QByteArray Mp3Bytes(int frames = 40) {
    QByteArray frame(417, '\0');
    frame[0] = char(0xFF);
    frame[1] = char(0xFB);
    frame[2] = char(0x90);
    frame[3] = char(0x00);
    return frame.repeated(frames);
}

std::set<QString> Values(const ItemSet& items) {
    std::set<QString> out;
    for (const ItemPtr& x : items)
        out.insert(x.AsString());
    return out;
}

std::set<QString> Tokens(const ItemPtr& file) {
    return Values(file.GetItems("search_token"));
}

int Count(const char* type) {
    return d.GetType(type)->ItemCount();
}

std::set<QString> SpyPaths(const QSignalSpy& spy) {
    std::set<QString> out;
    for (const QList<QVariant>& call : spy)
        out.insert(call.at(0).toString());
    return out;
}

// A store entry made directly, as a loaded store would hold it.
ItemPtr AddEntry(const QString& folder, const QString& name, qint64 size) {
    const ItemPtr file = d.GetType("shared_file")->NewItem();
    file.Connect(d.GetType("shared_file_folder")->GetItem(folder));
    file.Connect(d.GetType("shared_file_name")->GetItem(name));
    file.Connect(d.GetType("shared_file_size")->GetItem(size));
    return file;
}

}  // namespace

class TestSharedFolders : public QObject {
    Q_OBJECT

    std::unique_ptr<DataSaver> saver;
    std::unique_ptr<SharedFoldersManager> manager;

    // Start-up order: settings, server types, peer types, then the manager.
    void Declare() {
        DeclareSettingsTypes(saver.get());
        Server::CreateData();
        DeclarePeerTypes(saver.get());
        manager.reset(new SharedFoldersManager);
    }

    ItemPtr Entry(const QString& path) const { return manager->GetSharedFileItem(path); }

    bool WaitForMerge() {
        return QTest::qWaitFor([this] { return !manager->IsBackgroundScanPending(); }, kWait);
    }

private slots:
    void init() {
        d.Reset();
        saver.reset(new DataSaver);
        Declare();
    }

    void cleanup() {
        manager.reset();
        saver.reset();
        d.Reset();
    }

    // The start-up order with the real services: the manager's types fit in
    // beside theirs, and it listens to their signals.
    void startUpWiring() {
        manager.reset();
        d.Reset();
        saver.reset(new DataSaver);
        DeclareSettingsTypes(saver.get());
        Server::CreateData();
        Server server;
        PeerMessenger messenger;
        manager.reset(new SharedFoldersManager);
        QCOMPARE(sharedFoldersManager, manager.get());
        SharedFoldersManager* m = manager.get();
        QVERIFY(QObject::disconnect(&server, &Server::DirectFileSearch, m,
                                    &SharedFoldersManager::OnDirectFileSearch));
        QVERIFY(QObject::disconnect(&server, &Server::Connected, m,
                                    &SharedFoldersManager::OnConnectedToServer));
        QVERIFY(QObject::disconnect(&server, &Server::ReceivedUserStats, m,
                                    &SharedFoldersManager::OnReceivedUserStats));
        QVERIFY(QObject::disconnect(&messenger, &PeerMessenger::SharedFilesInFolderRequested, m,
                                    &SharedFoldersManager::OnFilesInFoldersRequested));
        manager.reset();
    }

    void backgroundScanIndexesTree() {
        QTemporaryDir tmp;
        QVERIFY(tmp.isValid());
        const QString root = tmp.path() + "/Music";
        const QString outside = tmp.path() + "/Outside";
        QVERIFY(Write(root + "/Über_Straße.mp3", Mp3Bytes()));
        QVERIFY(Write(root + "/a-b.mp3", "not audio"));
        QVERIFY(Write(root + "/don't.txt", "12345"));
        QVERIFY(Write(root + "/song.Mp3", "x"));
        QVERIFY(Write(root + "/.hidden.mp3", "x"));
        QVERIFY(Write(root + "/.hiddendir/in.mp3", "x"));
        QVERIFY(Write(root + "/Rock/x.MP3", Mp3Bytes(30)));
        QVERIFY(QDir().mkpath(root + "/Empty"));
        QVERIFY(Write(outside + "/other.txt", "x"));
        QVERIFY(QFile::link(root + "/a-b.mp3", root + "/link.mp3"));
        QVERIFY(QFile::link(outside, root + "/LinkDir"));

        // As the saved store of an earlier run would hold it.
        d.GetType("shared_folder")->GetItem(root);
        QSignalSpy required(manager.get(), &SharedFoldersManager::MP3ScanRequired);
        manager->Init();
        QVERIFY(manager->IsBackgroundScanPending());
        QVERIFY(WaitForMerge());

        const ItemPtr uber = Entry(root + "/Über_Straße.mp3");
        QVERIFY(!uber.IsNull());
        QCOMPARE(uber["shared_file_name"].AsString(), QString("Über_Straße.mp3"));
        QCOMPARE(uber["shared_file_folder"].AsString(), root);
        QCOMPARE(uber["shared_file_size"].AsInt64(), qint64(Mp3Bytes().size()));
        QCOMPARE(Entry(root + "/don't.txt")["shared_file_size"].AsString(), QString("5"));
        const std::set<QString> tokens = Tokens(uber);
        for (const char* token : {"music", "über", "straße", "mp3", "über_straße.mp3"})
            QVERIFY2(tokens.count(QString::fromUtf8(token)), token);
        QVERIFY(!tokens.count(QString::fromUtf8("über_straße")));
        const std::set<QString> dont = Tokens(Entry(root + "/don't.txt"));
        QVERIFY(dont.count("don") && dont.count("t") && dont.count("don't.txt"));

        // Hidden entries and symbolic links are left out; an empty folder is in.
        QCOMPARE(Count("shared_file"), 5);
        QVERIFY(Entry(root + "/.hidden.mp3").IsNull());
        QVERIFY(Entry(root + "/link.mp3").IsNull());
        QVERIFY(d.GetType("shared_file_folder")->HasItem(root + "/.hiddendir").IsNull());
        QVERIFY(d.GetType("shared_file_folder")->HasItem(root + "/LinkDir").IsNull());
        const ItemPtr empty = d.GetType("shared_file_folder")->HasItem(root + "/Empty");
        QVERIFY(!empty.IsNull());
        QVERIFY(!empty.IsConnected("shared_file"));
        QCOMPARE(Values(empty.GetItems("shared_folder")), std::set<QString>{root});
        // The merge mark is gone again.
        QVERIFY(!d.GetType("is_scanned")->GetGlobalNullItem().IsConnected("shared_file_folder"));

        // Only ".mp3" and ".MP3" names of more than four characters.
        QCOMPARE(SpyPaths(required), (std::set<QString>{root + "/Über_Straße.mp3",
                                                        root + "/a-b.mp3", root + "/Rock/x.MP3"}));

        // The real analysis runs on the scanner thread, in request order.
        const ItemPtr rock = Entry(root + "/Rock/x.MP3");
        QTRY_VERIFY_WITH_TIMEOUT(rock.IsConnected("is_scanned"), kWait);
        QVERIFY(uber.IsConnected("is_scanned"));
        QVERIFY(!Entry(root + "/a-b.mp3").IsConnected("is_scanned"));
        QCOMPARE(uber["bitrate"].AsString(), QString("128"));
        QCOMPARE(uber["bitrate_mode"].AsString(), QString("cbr"));
        QCOMPARE(uber["mpeg_version"].AsString(), QString("1"));
        QCOMPARE(uber["channel_mode"].AsString(), QString("stereo"));
        QCOMPARE(uber["audio_frequency"].AsString(), QString("0"));
        QCOMPARE(SharedFoldersManager::GetFileItemDisplayString(uber), QString("128 CBR"));
        QVERIFY(uber["length_seconds"].IsNull());

        // Only the first Init queues a walk.
        manager->Init();
        QVERIFY(!manager->IsBackgroundScanPending());
    }

    void scannerWalk() {
        QTemporaryDir tmp;
        QVERIFY(tmp.isValid());
        const QString a = tmp.path() + "/A";
        QVERIFY(Write(a + "/f1", "1"));
        QVERIFY(Write(a + "/sub/f2", "22"));
        QVERIFY(QDir().mkpath(a + "/empty"));
        QVERIFY(Write(tmp.path() + "/real/g", "333"));
        QVERIFY(Write(tmp.path() + "/elsewhere/h", "4"));
        QVERIFY(QFile::link(tmp.path() + "/real", tmp.path() + "/B"));
        QVERIFY(QFile::link(tmp.path() + "/elsewhere", a + "/lnk"));

        QThread thread;
        FileScanner scanner;
        scanner.moveToThread(&thread);
        thread.start();
        // Stops the thread on every way out, before the scanner goes.
        struct Stopper {
            QThread& t;
            ~Stopper() {
                t.quit();
                t.wait();
            }
        } stopper{thread};
        std::atomic<QThread*> ranOn{nullptr};
        bool scanned = false;
        connect(
            &scanner, &FileScanner::FoldersScanned, &scanner,
            [&] { ranOn = QThread::currentThread(); }, Qt::DirectConnection);
        connect(&scanner, &FileScanner::FoldersScanned, this, [&] { scanned = true; });
        QMetaObject::invokeMethod(
            &scanner, "ScanFolders", Qt::QueuedConnection,
            Q_ARG(QStringList, (QStringList{a, a, a + "/sub", tmp.path() + "/B"})));
        QTRY_VERIFY_WITH_TIMEOUT(scanned, kWait);
        QCOMPARE(ranOn.load(), &thread);

        const FileScanner::ResultMap& results = scanner.Results();
        // The duplicate and the nested root add nothing; a linked root is walked.
        QCOMPARE(results.size(), std::size_t(2));
        QVERIFY(results.count(a));
        QVERIFY(results.count(tmp.path() + "/B"));
        const FileScanner::FolderMap& folders = results.at(a);
        std::set<QString> folderKeys;
        for (const auto& entry : folders)
            folderKeys.insert(entry.first);
        QCOMPARE(folderKeys, (std::set<QString>{a, a + "/empty", a + "/sub"}));
        QVERIFY(folders.at(a + "/empty").empty());
        QCOMPARE(folders.at(a).size(), std::size_t(1));
        QCOMPARE(folders.at(a).at("f1").size(), qint64(1));
        QCOMPARE(folders.at(a + "/sub").at("f2").size(), qint64(2));
        QCOMPARE(results.at(tmp.path() + "/B").at(tmp.path() + "/B").at("g").size(), qint64(3));

        // After Quit nothing is walked or analysed, and the walk still reports.
        scanned = false;
        scanner.Results().clear();
        scanner.Quit();
        QMetaObject::invokeMethod(&scanner, "ScanFolders", Qt::QueuedConnection,
                                  Q_ARG(QStringList, QStringList{a}));
        QTRY_VERIFY_WITH_TIMEOUT(scanned, kWait);
        QVERIFY(scanner.Results().empty());
        QVERIFY(Write(tmp.path() + "/s.mp3", Mp3Bytes()));
        int version = 0, frequency = 0, bitrate = 0;
        QString mode;
        bool vbr = false;
        QVERIFY(!scanner.ScanMP3(tmp.path() + "/s.mp3", version, mode, frequency, vbr, bitrate));
    }

    void tokensAndSeparators() {
        const ItemPtr uber = AddEntry("/music", QString::fromUtf8("Über_Straße.mp3"), 1);
        manager->TokenizeSharedFile(uber);
        const std::set<QString> expected{"music", QString::fromUtf8("über"),
                                         QString::fromUtf8("straße"), "mp3",
                                         QString::fromUtf8("über_straße.mp3")};
        QCOMPARE(Tokens(uber), expected);

        const ItemPtr dont = AddEntry("/x y/Pop", "don't a-b.MP3", 1);
        manager->TokenizeSharedFile(dont);
        QCOMPARE(Tokens(dont), (std::set<QString>{"x", "y", "pop", "don", "t", "a", "b", "mp3",
                                                  "don't", "a-b.mp3"}));

        // Letters beyond Latin-1 split tokens in the first pass only.
        const ItemPtr omega = AddEntry("/m", QString::fromUtf8("ΩMega.ogg"), 1);
        manager->TokenizeSharedFile(omega);
        QCOMPARE(Tokens(omega),
                 (std::set<QString>{"m", "mega", "ogg", QString::fromUtf8("ωmega.ogg")}));
        // Tokenising again changes nothing.
        const int tokens = Count("search_token");
        manager->TokenizeSharedFile(omega);
        QCOMPARE(Count("search_token"), tokens);

        const ushort tokenChars[] = {'0', '9', 'a', 'z', 'A', 'Z', 0x80, 0xDF, 0xFF};
        for (ushort c : tokenChars)
            QVERIFY2(!SharedFoldersManager::IsSearchTokenSeparator(QChar(c)),
                     qPrintable(QString::number(c)));
        const ushort separators[] = {' ',  '_',  '.',   '-',   '\'',  '/',
                                     '\\', 0x7F, 0x100, 0x3A9, 0x4E2D};
        for (ushort c : separators)
            QVERIFY2(SharedFoldersManager::IsSearchTokenSeparator(QChar(c)),
                     qPrintable(QString::number(c)));
    }

    void lookupNormalisation() {
        QCOMPARE(SharedFoldersManager::GetAbsoluteFileName("C:\\Music\\\\Rock//A.MP3"),
                 QString("c:/music/rock/a.mp3"));
        QCOMPARE(SharedFoldersManager::GetAbsoluteFileName("///"), QString("/"));

        const ItemPtr lower = AddEntry("/music/rock", "a.mp3", 1);
        QCOMPARE(Entry("/Music//Rock\\A.MP3"), lower);
        lower.Remove();
        const ItemPtr upper = AddEntry("/MUSIC/rock", "A.mp3", 2);
        QCOMPARE(Entry("/Music//Rock\\A.MP3"), upper);

        // Two names that differ only in case share one normalised item; the
        // lookup then gives the older entry.
        const ItemPtr second = AddEntry("/MUSIC/rock", "a.MP3", 3);
        QCOMPARE(upper["shared_file_name"]["shared_file_lowercase_name"],
                 second["shared_file_name"]["shared_file_lowercase_name"]);
        QCOMPARE(Entry("/music/rock/a.mp3"), upper);

        // Misses create nothing.
        const int names = Count("shared_file_lowercase_name");
        const int folders = Count("shared_file_folder_lowercase_name");
        QVERIFY(Entry("/music/rock/b.mp3").IsNull());
        QVERIFY(Entry("/music/pop/a.mp3").IsNull());
        QVERIFY(Entry("a.mp3").IsNull());
        QVERIFY(Entry("").IsNull());
        QCOMPARE(Count("shared_file_lowercase_name"), names);
        QCOMPARE(Count("shared_file_folder_lowercase_name"), folders);

        // A common name in many folders, and a folder with many names.
        std::vector<ItemPtr> covers;
        for (int k = 0; k < 2000; ++k)
            covers.push_back(AddEntry(QString("/big/f%1").arg(k), "cover.jpg", k));
        for (int k = 0; k < 300; ++k)
            AddEntry("/big/f7", QString("track%1.mp3").arg(k), k);
        QCOMPARE(Entry("/BIG/F1234/Cover.JPG"), covers[1234]);
        QCOMPARE(Entry("/big/f7/cover.jpg"), covers[7]);
        QCOMPARE(Entry("/big/f7/track299.mp3")["shared_file_size"].AsString(), QString("299"));
        QVERIFY(Entry("/big/f2000/cover.jpg").IsNull());
    }

    // Paths from peers and odd names on disk: the normalised form always
    // equals its plain definition, lookups create nothing, nothing crashes.
    void oddPathsAndNames() {
        AddEntry("/m/ü", "x.mp3", 1);
        AddEntry("/m", "a", 1);
        // Whole characters only: the regular expression refuses broken UTF-16.
        QStringList alphabet;
        for (const char* piece :
             {"a", "Z", "/", "\\", "\\\\", ".", "Ü", "ß", "İ", " ", "Ω", "\n", "%", "🎵"})
            alphabet.append(QString::fromUtf8(piece));
        std::mt19937 rng(7);
        const std::size_t before = d.ItemCount();
        for (int round = 0; round < 20000; ++round) {
            QString path;
            const int length = int(rng() % 24);
            for (int k = 0; k < length; ++k)
                path.append(alphabet.at(int(rng() % unsigned(alphabet.size()))));
            if (round % 3 == 0)
                path.prepend("/M/");
            QString plain = path.toLower();
            plain.replace(QLatin1Char('\\'), QLatin1Char('/'));
            plain.replace(QRegularExpression("/+"), "/");
            QCOMPARE(SharedFoldersManager::GetAbsoluteFileName(path), plain);
            manager->GetSharedFileItem(path);
        }
        QCOMPARE(d.ItemCount(), before);
        QCOMPARE(Entry(QString::fromUtf8("/M/Ü//X.MP3")), Entry(QString::fromUtf8("/m/ü/x.mp3")));
        QVERIFY(!Entry(QString::fromUtf8("/m/ü/x.mp3")).IsNull());

        QTemporaryDir tmp;
        QVERIFY(tmp.isValid());
        const QByteArray base = QFile::encodeName(tmp.path() + "/odd");
        QVERIFY(QDir().mkpath(tmp.path() + "/odd"));
        for (const QByteArray& name : {QByteArray("new\nline.mp3"), QByteArray("back\\slash.txt"),
                                       QByteArray("%1 %2.txt"), QByteArray("bad\xff\xfeutf8.mp3"),
                                       QByteArray(" "), QByteArray("..."), QByteArray(200, 'n')}) {
            const int fd = ::open((base + '/' + name).constData(), O_CREAT | O_WRONLY, 0644);
            QVERIFY(fd >= 0);
            QCOMPARE(::write(fd, "abc", 3), ssize_t(3));
            ::close(fd);
        }
        QSignalSpy rescanned(manager.get(), &SharedFoldersManager::SharedFilesRescanned);
        QVERIFY(!manager->AddSharedFolder(tmp.path() + "/odd").IsNull());
        QVERIFY(!Entry(tmp.path() + "/odd/new\nline.mp3").IsNull());
        QVERIFY(!Entry(tmp.path() + "/odd/%1 %2.txt").IsNull());
        QVERIFY(!Entry(tmp.path() + "/odd/" + QString(200, 'n')).IsNull());
        const ItemPtr odd = d.GetType("shared_file_folder")->HasItem(tmp.path() + "/odd");
        const int files = odd.CountItems("shared_file");
        QVERIFY(files >= 5);
        manager->RescanShares();
        manager->RescanShares();
        QCOMPARE(odd.CountItems("shared_file"), files);
        QCOMPARE(rescanned.count(), 2);
        QCOMPARE(rescanned.at(1).at(0).toInt(), 0);
        QCOMPARE(rescanned.at(1).at(1).toInt(), 0);
        // Qt cannot name that one: remove it by its bytes.
        ::unlink((base + "/bad\xff\xfeutf8.mp3").constData());
    }

    void displayStrings() {
        const ItemPtr own = AddEntry("/m", "a.mp3", 1);
        QCOMPARE(SharedFoldersManager::GetFileItemDisplayString(own), QString());
        own.Connect(d.GetType("bitrate")->GetItem(192));
        own.Connect(d.GetType("bitrate_mode")->GetItem("cbr"));
        QCOMPARE(SharedFoldersManager::GetFileItemDisplayString(own), QString("192 CBR"));

        const ItemPtr browsed = d.GetType("user_share_file")->NewItem();
        browsed.Connect(d.GetType("bitrate")->GetItem(211));
        browsed.Connect(d.GetType("bitrate_mode")->GetItem("vbr"));
        browsed.Connect(d.GetType("length_seconds")->GetItem(245));
        QCOMPARE(SharedFoldersManager::GetFileItemDisplayString(browsed), QString("211 VBR, 4m5s"));
        QCOMPARE(SharedFoldersManager::GetFileItemDisplayString(ItemPtr()), QString());
    }

    void addAndRescan() {
        QTemporaryDir tmp;
        QVERIFY(tmp.isValid());
        const QString root = tmp.path() + "/share";
        QVERIFY(Write(root + "/a.txt", "a"));
        QVERIFY(Write(root + "/b.txt", "bb"));
        QVERIFY(Write(root + "/song.mp3", "not audio"));
        QVERIFY(Write(root + "/sub/deep/d.txt", "d"));
        QVERIFY(Write(root + "/gone/zebra.txt", "z"));
        QVERIFY(Write(root + "/gone/cover.jpg", "c"));
        QVERIFY(Write(root + "/keep/cover.jpg", "k"));

        // A fresh store numbers roots from 1.
        QCOMPARE(GetSetting("shared_folder_counter"), QString("1"));
        QSignalSpy required(manager.get(), &SharedFoldersManager::MP3ScanRequired);
        const ItemPtr rootItem = manager->AddSharedFolder(root);
        QVERIFY(!rootItem.IsNull());
        QCOMPARE(rootItem["shared_folder_id"].AsString(), QString("[1]share"));
        QCOMPARE(GetSetting("shared_folder_counter"), QString("2"));
        QCOMPARE(Count("shared_file"), 7);
        QCOMPARE(SpyPaths(required), std::set<QString>{root + "/song.mp3"});
        QVERIFY(!Entry(root + "/gone/zebra.txt").GetItems("search_token").Empty());
        // Sharing it again changes nothing and scans nothing.
        required.clear();
        QCOMPARE(manager->AddSharedFolder(root), rootItem);
        QCOMPARE(manager->AddSharedFolder(root + "/"), rootItem);
        QCOMPARE(GetSetting("shared_folder_counter"), QString("2"));
        QVERIFY(required.isEmpty());
        QCOMPARE(manager->AddSharedFolder(tmp.path())["shared_folder_id"].AsString(),
                 QString("[2]") + QFileInfo(tmp.path()).fileName());

        const ItemPtr song = Entry(root + "/song.mp3");
        manager->OnMP3Scanned(root + "/song.mp3", 2, "joint stereo", 1, true, 211);
        QCOMPARE(SharedFoldersManager::GetFileItemDisplayString(song), QString("211 VBR"));
        // A result for a file that left the index is dropped.
        manager->OnMP3Scanned(root + "/nothere.mp3", 1, "mono", 0, false, 128);

        // Changes on disk.
        QVERIFY(Write(root + "/song.mp3", "longer than before"));
        QVERIFY(QFile::remove(root + "/b.txt"));
        QVERIFY(Write(root + "/n1.txt", "1"));
        QVERIFY(Write(root + "/n2.txt", "2"));
        QVERIFY(QDir(root + "/gone").removeRecursively());
        QVERIFY(Write(root + "/fresh/f.txt", "f"));
        const ItemPtr keptCover = Entry(root + "/keep/cover.jpg");

        required.clear();
        QSignalSpy rescanned(manager.get(), &SharedFoldersManager::SharedFilesRescanned);
        manager->RescanShares();
        QCOMPARE(rescanned.count(), 1);
        QCOMPARE(rescanned.at(0).at(0).toInt(), 3);  // n1, n2, fresh/f
        QCOMPARE(rescanned.at(0).at(1).toInt(), 3);  // b, gone/zebra, gone/cover

        // The changed file keeps its entry and its attributes.
        QCOMPARE(Entry(root + "/song.mp3"), song);
        QCOMPARE(song["shared_file_size"].AsString(), QString("18"));
        QCOMPARE(song["bitrate"].AsString(), QString("211"));
        QCOMPARE(song["bitrate_mode"].AsString(), QString("vbr"));
        QCOMPARE(song["mpeg_version"].AsString(), QString("2"));
        QCOMPARE(song["channel_mode"].AsString(), QString("joint stereo"));
        QCOMPARE(song["audio_frequency"].AsString(), QString("1"));
        QVERIFY(song.IsConnected("is_scanned"));
        QVERIFY(required.isEmpty());

        QVERIFY(Entry(root + "/b.txt").IsNull());
        QVERIFY(!Entry(root + "/fresh/f.txt").IsNull());
        // The deleted folder and its files are gone, even the one whose name a
        // live file shares; so are its tokens.
        QVERIFY(d.GetType("shared_file_folder")->HasItem(root + "/gone").IsNull());
        QVERIFY(Entry(root + "/gone/cover.jpg").IsNull());
        QCOMPARE(Entry(root + "/keep/cover.jpg"), keptCover);
        QVERIFY(d.GetType("search_token")->HasItem("zebra").IsNull());
        QVERIFY(d.GetType("shared_file_name")->HasItem("zebra.txt").IsNull());
        QCOMPARE(Count("shared_file"), 7);

        // Nothing changed: nothing counted.
        rescanned.clear();
        manager->RescanShares();
        QCOMPARE(rescanned.at(0).at(0).toInt(), 0);
        QCOMPARE(rescanned.at(0).at(1).toInt(), 0);
        QCOMPARE(Count("shared_file"), 7);
    }

    void backgroundMergeAfterChanges() {
        QTemporaryDir tmp;
        QVERIFY(tmp.isValid());
        const QString root = tmp.path() + "/share";
        QVERIFY(Write(root + "/a.txt", "a"));
        QVERIFY(Write(root + "/b.txt", "b"));
        QVERIFY(Write(root + "/gone/c.txt", "c"));
        QVERIFY(Write(root + "/gone/a.txt", "a"));
        manager->AddSharedFolder(root);
        const ItemPtr a = Entry(root + "/a.txt");
        QCOMPARE(Count("shared_file"), 4);

        QVERIFY(Write(root + "/a.txt", "aaa"));
        QVERIFY(QFile::remove(root + "/b.txt"));
        QVERIFY(QDir(root + "/gone").removeRecursively());
        QVERIFY(Write(root + "/new/n.txt", "n"));
        manager->Init();
        QVERIFY(WaitForMerge());

        QCOMPARE(Entry(root + "/a.txt"), a);
        QCOMPARE(a["shared_file_size"].AsString(), QString("3"));
        QVERIFY(Entry(root + "/b.txt").IsNull());
        QVERIFY(d.GetType("shared_file_folder")->HasItem(root + "/gone").IsNull());
        QVERIFY(Entry(root + "/gone/a.txt").IsNull());
        QVERIFY(!Entry(root + "/new/n.txt").IsNull());
        QCOMPARE(Count("shared_file"), 2);
        QVERIFY(!Tokens(Entry(root + "/new/n.txt")).empty());
    }

    void startupMergeKeepsFoldersSharedMeanwhile() {
        QTemporaryDir tmp;
        QVERIFY(tmp.isValid());
        const QString r1 = tmp.path() + "/r1";
        const QString r2 = tmp.path() + "/r2";
        const QString r3 = tmp.path() + "/r3";
        QVERIFY(Write(r1 + "/one.txt", "1"));
        QVERIFY(Write(r2 + "/two.txt", "2"));
        QVERIFY(Write(r2 + "/deeper/three.txt", "3"));
        QVERIFY(Write(r3 + "/four.txt", "4"));

        // A loaded store: r1 with a folder deleted since, and r3.
        Type* roots = d.GetType("shared_folder");
        roots->GetItem(r1);
        roots->GetItem(r3);
        const ItemPtr stale = AddEntry(r1 + "/stale", "old.txt", 1);
        stale["shared_file_folder"].Connect(roots->HasItem(r1));
        AddEntry(r3, "four.txt", 1)["shared_file_folder"].Connect(roots->HasItem(r3));

        manager->Init();
        // While the walk runs: r2 is shared, a new folder under r1 is shared
        // as a root of its own, and r3 is unshared.
        manager->AddSharedFolder(r2);
        QVERIFY(Write(r1 + "/newsub/n.txt", "n"));
        manager->AddSharedFolder(r1 + "/newsub");
        roots->HasItem(r3).Remove();
        QVERIFY(!Entry(r2 + "/deeper/three.txt").IsNull());
        QVERIFY(WaitForMerge());

        QVERIFY(!Entry(r1 + "/one.txt").IsNull());
        QVERIFY(!Entry(r2 + "/two.txt").IsNull());
        QVERIFY(!Entry(r2 + "/deeper/three.txt").IsNull());
        QVERIFY(!Entry(r1 + "/newsub/n.txt").IsNull());
        QVERIFY(Entry(r1 + "/stale/old.txt").IsNull());
        QVERIFY(d.GetType("shared_file_folder")->HasItem(r1 + "/stale").IsNull());
        QVERIFY(Entry(r3 + "/four.txt").IsNull());
        QVERIFY(d.GetType("shared_file_folder")->HasItem(r3).IsNull());
    }

    void savedAndLoaded() {
        QTemporaryDir tmp;
        QVERIFY(tmp.isValid());
        const QString root = tmp.path() + "/Share";
        QVERIFY(Write(root + "/Tune.mp3", "not audio"));
        QVERIFY(Write(root + "/Sub/Doc.txt", "doc"));
        const ItemPtr rootItem = manager->AddSharedFolder(root);
        rootItem.NewItem("shared_public");
        manager->OnMP3Scanned(root + "/Tune.mp3", 1, "mono", 2, false, 64);
        d.GetType("user")->GetItem("bob").NewItem("unshared");
        d.GetType("user")->GetItem("carl");
        const ItemPtr browsed = d.GetType("user_share")->NewItem();
        browsed.Connect(d.GetType("user")->GetItem("carl"));
        QVERIFY(Count("search_token") > 0);

        const QString prefix = tmp.path() + "/.Tavenook";
        QVERIFY(saver->Save(prefix));
        const QStringList files = DataSaver::StoreFiles(prefix);
        QCOMPARE(files.size(), 1);
        QFile file(files.first());
        QVERIFY(file.open(QIODevice::ReadOnly));
        StagedStore staged;
        QString error;
        QVERIFY2(DataSaver::ParseStore(file.readAll(), staged, &error), qPrintable(error));
        std::map<std::string, std::set<QString>> saved;
        for (const StagedStore::StagedItem& item : staged.items)
            saved[staged.typeNames.at(item.type)].insert(
                QString::fromUtf8(staged.bytes.mid(int(item.valueOffset), int(item.valueSize))));
        QCOMPARE(saved["shared_folder"], std::set<QString>{root});
        QCOMPARE(saved["shared_folder_id"], std::set<QString>{"[1]Share"});
        QCOMPARE(saved["shared_file_folder"], (std::set<QString>{root, root + "/Sub"}));
        QCOMPARE(saved["shared_file_name"], (std::set<QString>{"Tune.mp3", "Doc.txt"}));
        QCOMPARE(saved["shared_file_size"], (std::set<QString>{"9", "3"}));
        QVERIFY(saved.count("shared_file"));
        QVERIFY(saved.count("shared_public"));
        QVERIFY(saved.count("is_scanned"));
        QVERIFY(saved.count("unshared"));
        QCOMPARE(saved["user"], std::set<QString>{"bob"});
        QCOMPARE(saved["bitrate"], std::set<QString>{"64"});
        QCOMPARE(saved["channel_mode"], std::set<QString>{"mono"});
        QCOMPARE(saved["audio_frequency"], std::set<QString>{"2"});
        for (const char* type : {"search_token", "shared_file_lowercase_name",
                                 "shared_file_folder_lowercase_name", "user_share"})
            QVERIFY2(!saved.count(type), type);

        manager.reset();
        saver.reset();
        d.Reset();
        saver.reset(new DataSaver);
        Declare();
        QCOMPARE(GetSetting("shared_folder_counter"), QString("1"));
        saver->Load(prefix);
        QCOMPARE(GetSetting("shared_folder_counter"), QString("2"));

        // Before any scan: the normalised twins exist, the tokens do not.
        QCOMPARE(Count("search_token"), 0);
        QCOMPARE(Count("shared_file_lowercase_name"), 2);
        for (const ItemPtr& name : d.GetType("shared_file_name")->GetItems())
            QVERIFY(name.IsConnected("shared_file_lowercase_name"));
        for (const ItemPtr& folder : d.GetType("shared_file_folder")->GetItems())
            QVERIFY(folder.IsConnected("shared_file_folder_lowercase_name"));
        const ItemPtr tune = Entry(root.toUpper() + "/tune.MP3");
        QVERIFY(!tune.IsNull());
        QCOMPARE(tune["bitrate"].AsString(), QString("64"));
        QVERIFY(tune.IsConnected("is_scanned"));
        QVERIFY(d.GetType("user")->HasItem("bob").IsConnected("unshared"));
        QVERIFY(d.GetType("shared_folder")->HasItem(root).IsConnected("shared_public"));

        // The merge rebuilds the tokens and asks for no analysis done before.
        QSignalSpy required(manager.get(), &SharedFoldersManager::MP3ScanRequired);
        manager->Init();
        QVERIFY(WaitForMerge());
        QVERIFY(required.isEmpty());
        QCOMPARE(Entry(root + "/Tune.mp3"), tune);
        QVERIFY(Tokens(tune).count("tune"));
        QVERIFY(Tokens(Entry(root + "/Sub/Doc.txt")).count("sub"));
    }

    void destroyedWhileWalking() {
        QTemporaryDir tmp;
        QVERIFY(tmp.isValid());
        for (int k = 0; k < 200; ++k)
            QVERIFY(Write(QString("%1/share/d%2/f%3.mp3").arg(tmp.path()).arg(k % 20).arg(k),
                          Mp3Bytes(5)));
        manager->AddSharedFolder(tmp.path() + "/share");
        manager->Init();
        manager.reset();
        QVERIFY(sharedFoldersManager == nullptr);
        QCoreApplication::processEvents();
    }
};

QTEST_GUILESS_MAIN(TestSharedFolders)
#include "test_shared_folders.moc"
