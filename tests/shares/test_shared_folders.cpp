// The own shares: real folder trees in temporary folders walked by the
// scanner thread or scanned on the spot, merged, rescanned, saved and loaded;
// then the answers to other users built from that index (searches, the share
// list, folder contents), read back with the client's own parsers.

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <functional>

#include "net/PeerLimits.h"
#include "shares/SharedFolderInfo.h"
#include "shares/SharedFoldersManager.h"
#include "support/CoreServices.h"
#include "support/DeafPeer.h"
#include "support/Fuzz.h"
#include "support/Payload.h"
#include "support/TestFiles.h"

namespace {

constexpr int kWait = 20000;

// A constant 128 kbit/s, 44.1 kHz, stereo MPEG-1 Layer III stream.
QByteArray Mp3Bytes(int frames = 40) {
    QByteArray frame(417, '\0');
    frame[0] = char(0xFF), frame[1] = char(0xFB), frame[2] = char(0x90);
    return frame.repeated(frames);
}

QStringList Values(const ItemSet& items) {
    QStringList out;
    for (const ItemPtr& x : items)
        out << x.AsString();
    out.sort();
    return out;
}

int Count(const char* type) {
    return d.GetType(type)->ItemCount();
}

// An entry made directly, as a loaded store holds it.
ItemPtr AddEntry(const QString& folder, const QString& name, qint64 size) {
    const ItemPtr file = d.GetType("shared_file")->NewItem();
    file.Connect(d.GetType("shared_file_folder")->GetItem(folder));
    file.Connect(d.GetType("shared_file_name")->GetItem(name));
    file.Connect(d.GetType("shared_file_size")->GetItem(size));
    return file;
}

// "name size extension key=value..." for each record.
template <class Files>
QStringList Records(const Files& files) {
    QStringList out;
    for (const FileInfo& file : files) {
        QString text =
            QString::fromStdString(file.GetName() + ' ' + std::to_string(file.GetSize()) + ' ' +
                                   file.GetAttributes().GetExtension());
        for (const auto& pair : file.GetAttributes().GetPairs())
            text += QString(" %1=%2").arg(pair.first).arg(pair.second);
        out << text.trimmed();
    }
    return out;
}

// The body after the code of a compressed answer, or nothing.
QByteArray Body(const MemStream& message, quint32 code) {
    quint32 got = 0;
    const QByteArray bytes = message.GetWrittenBytes();
    return MemStream(bytes).Read(got) && got == code ? bytes.mid(4) : QByteArray();
}

}  // namespace

class TestSharedFolders : public QObject, CoreServices {
    Q_OBJECT

    std::unique_ptr<SharedFoldersManager> manager;
    std::unique_ptr<QTemporaryDir> tmp;
    QString music, priv;

    QString P(const QString& relative) const { return tmp->path() + "/" + relative; }
    ItemPtr Entry(const QString& path) const { return manager->GetSharedFileItem(path); }
    QStringList Tokens(const QString& path) const {
        return Values(Entry(path).GetItems("search_token"));
    }
    bool WaitForMerge() {
        return QTest::qWaitFor([this] { return !manager->IsBackgroundScanPending(); }, kWait);
    }
    // Queues a hold on the scanner thread: what is queued after it waits
    // until `go` is released.
    void HoldScanner(QSemaphore& go) {
        QMetaObject::invokeMethod(
            manager->GetScanner(), [&go] { go.acquire(); }, Qt::QueuedConnection);
    }
    // The walks the scanner has ended, counted once every call queued on
    // its thread has run (none may be held).
    int Walks(const QAtomicInt& walks) {
        QMetaObject::invokeMethod(
            manager->GetScanner(), [] {}, Qt::BlockingQueuedConnection);
        return walks.loadAcquire();
    }
    // Turns the event loop until `done` holds; false after kWait ms.
    template <class Step>
    bool SpinUntil(const std::function<bool()>& done, Step step) {
        QElapsedTimer clock;
        clock.start();
        while (!done()) {
            if (clock.elapsed() > kWait)
                return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents);
            step();
        }
        return true;
    }
    // Rescans and waits for the report.
    bool Rescan() {
        QSignalSpy rescanned(manager.get(), &SharedFoldersManager::SharedFilesRescanned);
        manager->RescanShares();
        return rescanned.wait(kWait) && rescanned.count() == 1 &&
               !manager->IsBackgroundScanPending();
    }
    void Unshare(const QString& user) {
        d.GetType("user")->GetItem(user).Connect(d.GetType("unshared")->GetGlobalNullItem());
    }
    void ListUser(const QString& name, const QStringList& groups = {}) {
        const ItemPtr entry = d.GetType("in_user_list")->NewItem();
        d.GetType("user")->GetItem(name).Connect(entry);
        for (const QString& g : groups)
            entry.Connect(d.GetType("user_list_group")->GetItem(g));
    }

    // Music (public): B.mp3 (analysed as 211 VBR), a.mp3, Empty/, Beatles/
    // Beatles Live.mp3, Beatles/Live/Help.MP3 (real frames) and notes.txt.
    // Private (no audience): beatles secret.txt.
    void MakeShares() {
        music = P("Music"), priv = P("Private");
        QVERIFY(Write(P("Music/B.mp3"), "12345") && Write(P("Music/a.mp3"), "123") &&
                QDir().mkpath(P("Music/Empty")) &&
                Write(P("Music/Beatles/Beatles Live.mp3"), "1234567") &&
                Write(P("Music/Beatles/Live/Help.MP3"), Mp3Bytes()) &&
                Write(P("Music/Beatles/Live/notes.txt"), "n") &&
                Write(P("Private/beatles secret.txt"), "s3"));
        manager->AddSharedFolder(music).Connect(d.GetType("shared_public")->GetGlobalNullItem());
        QVERIFY(!manager->AddSharedFolder(priv).IsNull());
        QVERIFY(WaitForMerge());
        QTRY_VERIFY_WITH_TIMEOUT(Entry(music + "/Beatles/Live/Help.MP3").IsConnected("is_scanned"),
                                 kWait);
        manager->OnMP3Scanned(music + "/B.mp3", 1, "stereo", 0, true, 211);
        SetSetting("username", "me");
    }

    // The search answer read back; ticket 7, and "<none>" when none is made.
    SearchResultMessage Search(const QString& user, const QString& text) {
        MemStream message;
        SearchResultMessage answer;
        answer.user = "<none>";
        if (manager->BuildSearchAnswer(user, 7, text, message)) {
            const QByteArray body = Body(message, PeerMessenger::PM_FILE_SEARCH_RESULT);
            if (!ParseSearchResults(body.constData(), body.size(), answer))
                answer.user = "<bad>";
        }
        return answer;
    }
    QStringList Found(const QString& user, const QString& text) {
        return Records(Search(user, text).files);
    }

    // "> folder" lines, each followed by its records.
    QStringList ShareList(const QString& user) {
        const QByteArray body =
            Body(manager->GetSharedFilesMessage(user), PeerMessenger::PM_SHARED_FILE_LIST);
        FileInfoMap share;
        AttributeTranslationTable table;
        if (!ParseSharedFileList(body.constData(), body.size(), share, table))
            return {"<bad>"};
        QStringList out;
        for (const auto& folder : share)
            out << "> " + QString::fromStdString(folder.first) << Records(folder.second);
        return out;
    }

    // The share list by the rules, written here and compressed with zlib
    // itself: the bytes a peer receives after the code.
    QByteArray ExpectedList(const QString& user) const {
        FileInfoMap share;
        AttributeTranslationTable table;
        manager->GetSharedFilesAsUserShare(user, share, table);
        MemStream payload;
        payload.Write(quint32(share.size()));
        for (const auto& folder : share) {
            bool ok = payload.Write(folder.first) && payload.Write(quint32(folder.second.size()));
            for (auto file = folder.second.begin(); ok && file != folder.second.end(); ++file)
                ok = file->Write(payload);
            if (!ok)
                break;
        }
        payload.Write(quint32(0));
        const QByteArray in = payload.GetWrittenBytes();
        QByteArray out(2 * in.size() + 12, Qt::Uninitialized);
        uLongf length = uLongf(out.size());
        if (compress2(reinterpret_cast<Bytef*>(out.data()), &length,
                      reinterpret_cast<const Bytef*>(in.constData()), uLong(in.size()), 9) != Z_OK)
            return "<failed>";
        out.truncate(int(length));
        return out;
    }
    static QByteArray ListOn(RawPeer& peer) {
        return peer.Take(PeerMessenger::PM_SHARED_FILE_LIST);
    }
    bool Listen() {
        SetSetting("listening_port", 0);
        SetSetting("obfuscated_listening_port", 0);
        messenger->SetListenAddress(QHostAddress::LocalHost);
        return messenger->Listen();
    }
    // The load opens the peer ports: any free ones on loopback, never the
    // default ports that window tests running beside this one hold.
    void Load(const QString& prefix) {
        SetSetting("listening_port", 0);
        SetSetting("obfuscated_listening_port", 0);
        messenger->SetListenAddress(QHostAddress::LocalHost);
        saver->Load(prefix);
    }
    // Changes the index but nothing anyone may see, so that no list is kept.
    void TouchIndex() {
        static int touches = 0;
        AddEntry(QString("/hidden/%1").arg(++touches), "x", 1)["shared_file_folder"].Connect(
            d.GetType("shared_folder")->GetItem("/hidden"));
    }
    // `count` files in folders of `perFolder` under a public root.
    // Every shared file searchable, listening as "me", with bob connected.
    bool IndexAndConnect(RawPeer& peer) {
        for (const ItemPtr& file : d.GetType("shared_file")->GetItems())
            manager->TokenizeSharedFile(file);
        SetSetting("username", "me");
        return Listen() && ConnectAsPeer(peer, "bob");
    }
    void ShareMany(const QString& root, int count, int perFolder) {
        const ItemPtr rootItem = d.GetType("shared_folder")->GetItem(root);
        rootItem.Connect(d.GetType("shared_public")->GetGlobalNullItem());
        for (int k = 0; k < count; ++k)
            AddEntry(QString("%1/%2").arg(root).arg(k / perFolder, 3, 10, QChar('0')),
                     QString("%1 track.mp3").arg(k), k)["shared_file_folder"]
                .Connect(rootItem);
    }

    // The folder-contents answer read back, or "<none>".
    QStringList Contents(const QString& user, const QString& folder) {
        MemStream message;
        if (!manager->BuildFolderContentsAnswer(user, 5, folder, message))
            return {"<none>"};
        const QByteArray body = Body(message, PeerMessenger::PM_SHARED_FILES_IN_FOLDER);
        QByteArray payload;  // stays empty, and fails every read, when it does not inflate
        InflateBounded(body.constData(), body.size(), PeerLimits::kMaxInflatedSize, payload);
        MemStream in(payload);
        quint32 req = 0, one = 0;
        QString echoed, again;
        SharedFolderInfo info;
        if (!in.Read(req) || !in.Read(echoed) || !in.Read(one) || !in.Read(again) ||
            !info.Read(in) || in.BytesLeft() != 0 || req != 5 || one != 1 || echoed != folder ||
            again != folder)
            return {"<bad>"};
        return Records(info.Files());
    }

private slots:
    void init() {
        StartCore();
        manager.reset(new SharedFoldersManager);
        tmp.reset(new QTemporaryDir);
        QVERIFY(tmp->isValid());
    }

    void cleanup() {
        manager.reset();
        StopCore();
        tmp.reset();
    }

    void backgroundScanIndexesTree() {
        const QString root = P("Music");
        QVERIFY(Write(root + "/Über_Straße.mp3", Mp3Bytes()) && Write(root + "/a-b.mp3", "x") &&
                Write(root + "/don't.txt", "12345") && Write(root + "/song.Mp3", "x") &&
                Write(root + "/.hidden.mp3", "x") && Write(root + "/.dir/in.mp3", "x") &&
                Write(root + "/Rock/x.MP3", Mp3Bytes(30)) && QDir().mkpath(root + "/Empty") &&
                Write(P("Outside/o.txt"), "x"));
        QVERIFY(QFile::link(root + "/a-b.mp3", root + "/link.mp3") &&
                QFile::link(P("Outside"), root + "/LinkDir"));
        d.GetType("shared_folder")->GetItem(root);  // as a loaded store holds it
        QSignalSpy required(manager.get(), &SharedFoldersManager::MP3ScanRequired);
        manager->Init();
        QVERIFY(WaitForMerge());
        const ItemPtr uber = Entry(root + "/Über_Straße.mp3");
        QCOMPARE(uber["shared_file_size"].AsInt64(), qint64(Mp3Bytes().size()));
        for (const char* token : {"music", "über", "straße", "mp3", "über_straße.mp3"})
            QVERIFY2(Tokens(root + "/Über_Straße.mp3").contains(QString::fromUtf8(token)), token);
        // No hidden entry, no symbolic link; the empty folder is in.
        QCOMPARE(Count("shared_file"), 5);
        QCOMPARE(Values(d.GetType("shared_file_folder")->GetItems()),
                 (QStringList{root, root + "/Empty", root + "/Rock"}));
        QVERIFY(!d.GetType("is_scanned")->GetGlobalNullItem().IsConnected("shared_file_folder"));
        // Only ".mp3" and ".MP3" names are analysed, on the scanner thread.
        QStringList asked;
        for (const QList<QVariant>& call : required)
            asked << call.at(0).toString();
        asked.sort();
        QCOMPARE(asked,
                 (QStringList{root + "/Rock/x.MP3", root + "/a-b.mp3", root + "/Über_Straße.mp3"}));
        QTRY_VERIFY_WITH_TIMEOUT(Entry(root + "/Rock/x.MP3").IsConnected("is_scanned"), kWait);
        QVERIFY(uber.IsConnected("is_scanned") &&
                !Entry(root + "/a-b.mp3").IsConnected("is_scanned"));
        QCOMPARE(SharedFoldersManager::GetFileItemDisplayString(uber), QString("128 CBR"));
        manager->Init();  // only the first queues a walk
        QVERIFY(!manager->IsBackgroundScanPending());
    }

    void scannerWalk() {
        const QString a = P("A");
        QVERIFY(Write(a + "/f1", "1") && Write(a + "/sub/f2", "22") &&
                QDir().mkpath(a + "/empty") && Write(P("real/g"), "333") &&
                Write(P("elsewhere/h"), "4"));
        QVERIFY(QFile::link(P("real"), P("B")) && QFile::link(P("elsewhere"), a + "/lnk"));
        // A repeated root and a nested one add nothing; a linked root is walked.
        FileScanner scanner;
        QSignalSpy scanned(&scanner, &FileScanner::FoldersScanned);
        scanner.ScanFolders({a, a, a + "/sub", P("B")});
        QStringList seen;
        for (const auto& root : scanner.Results())
            for (const auto& folder : root.second) {
                seen << root.first + " > " + folder.first;
                for (int k = 0; k < folder.second.Size(); ++k)
                    seen << folder.second.Name(k) + " " +
                                QString::number(folder.second.FileSize(k));
            }
        QCOMPARE(seen,
                 (QStringList{a + " > " + a, "f1 1", a + " > " + a + "/empty",
                              a + " > " + a + "/sub", "f2 2", P("B") + " > " + P("B"), "g 3"}));
        // After Quit nothing is walked or analysed, and the walk still reports.
        scanner.Results().clear();
        scanner.Quit();
        scanner.ScanFolders({a});
        QCOMPARE(scanned.count(), 2);
        QVERIFY(scanner.Results().empty());
    }

    void tokensAndLookups() {
        const ItemPtr dont = AddEntry("/x y/Pop", "don't a-b.MP3", 1);
        const ItemPtr omega = AddEntry("/m", QString::fromUtf8("ΩMega.ogg"), 1);
        manager->TokenizeSharedFile(dont);
        manager->TokenizeSharedFile(omega);
        QCOMPARE(Values(dont.GetItems("search_token")),
                 (QStringList{"a", "a-b.mp3", "b", "don", "don't", "mp3", "pop", "t", "x", "y"}));
        // Letters beyond Latin-1 split tokens in the first pass only.
        QCOMPARE(Values(omega.GetItems("search_token")),
                 (QStringList{"m", "mega", "ogg", QString::fromUtf8("ωmega.ogg")}));

        // Case, backslashes and runs of slashes do not matter; the older of
        // two names that differ only in case wins; misses create nothing.
        const ItemPtr upper = AddEntry("/MUSIC/rock", "A.mp3", 2);
        AddEntry("/music/rock", "a.MP3", 3);
        QCOMPARE(Entry("/Music//Rock\\A.MP3"), upper);
        const std::size_t items = d.ItemCount();
        for (const char* miss : {"/music/rock/b.mp3", "/music/pop/a.mp3", "a.mp3", ""})
            QVERIFY2(Entry(miss).IsNull(), miss);
        QCOMPARE(d.ItemCount(), items);
        // A name in many folders, and a folder of many names.
        std::vector<ItemPtr> covers;
        for (int k = 0; k < 2000; ++k)
            covers.push_back(AddEntry(QString("/big/f%1").arg(k), "cover.jpg", k));
        for (int k = 0; k < 300; ++k)
            AddEntry("/big/f7", QString("track%1.mp3").arg(k), k);
        QCOMPARE(Entry("/BIG/F1234/Cover.JPG"), covers[1234]);
        QCOMPARE(Entry("/big/f7/cover.jpg"), covers[7]);

        // The normal form, also where lower case is longer than upper case.
        for (const char* path : {"C:\\Music\\\\Rock//A.MP3", "///", "/M/Ü//X", "İ\\Ω/"})
            QCOMPARE(SharedFoldersManager::GetAbsoluteFileName(QString::fromUtf8(path)),
                     QString::fromUtf8(path).toLower().replace('\\', '/').replace(
                         QRegularExpression("/+"), "/"));
    }

    void addAndRescan() {
        const QString root = P("share");
        QVERIFY(Write(root + "/a.txt", "a") && Write(root + "/b.txt", "bb") &&
                Write(root + "/song.mp3", "x") && Write(root + "/sub/deep/d.txt", "d") &&
                Write(root + "/gone/zebra.txt", "z") && Write(root + "/gone/cover.jpg", "c") &&
                Write(root + "/keep/cover.jpg", "k") && Write(root + "/one/Song.mp3", "s") &&
                Write(root + "/two/SONG.mp3", "S"));
        // Names Qt cannot always spell: a backslash, a newline, broken UTF-8.
        const QByteArray base = QFile::encodeName(root);
        for (const QByteArray& name : {QByteArray("back\\slash.txt"), QByteArray("new\nline.mp3"),
                                       QByteArray("bad\xff\xfe.txt")}) {
            const int fd = ::open((base + '/' + name).constData(), O_CREAT | O_WRONLY, 0644);
            QVERIFY(fd >= 0 && ::close(fd) == 0);
        }
        QSignalSpy required(manager.get(), &SharedFoldersManager::MP3ScanRequired);
        const ItemPtr rootItem = manager->AddSharedFolder(root + "/");
        QCOMPARE(rootItem.AsString(), root);  // a trailing "/" would lose every lookup
        QCOMPARE(rootItem["shared_folder_id"].AsString(), QString("[1]share"));
        QVERIFY(WaitForMerge());
        QCOMPARE(Count("shared_file"), 11);  // the broken name cannot be opened: left out
        QVERIFY(!Entry(root + "/new\nline.mp3").IsNull() && !Entry(root + "/a.txt").IsNull());
        QCOMPARE(required.count(), 4);
        // Shared again: the same root, no scan, no number used.
        required.clear();
        QCOMPARE(manager->AddSharedFolder(root), rootItem);
        QVERIFY(required.isEmpty() && !manager->IsBackgroundScanPending());
        QCOMPARE(manager->AddSharedFolder(P("x"))["shared_folder_id"].AsString(), QString("[2]x"));
        QVERIFY(WaitForMerge());

        const ItemPtr song = Entry(root + "/song.mp3");
        manager->OnMP3Scanned(root + "/song.mp3", 2, "joint stereo", 1, true, 211);
        manager->OnMP3Scanned(root + "/nothere.mp3", 1, "mono", 0, false, 128);  // dropped
        const ItemPtr upperSong = Entry(root + "/two/SONG.mp3");
        for (const char* name : {"/one/Song.mp3", "/two/SONG.mp3"})
            manager->OnMP3Scanned(root + name, 1, "mono", 0, false, 128);
        QVERIFY(QFile::remove(root + "/one/Song.mp3"));
        QVERIFY(Write(root + "/song.mp3", "longer") && QFile::remove(root + "/b.txt") &&
                Write(root + "/n1.txt", "1") && Write(root + "/fresh/f.txt", "f") &&
                QDir(root + "/gone").removeRecursively());
        QSignalSpy rescanned(manager.get(), &SharedFoldersManager::SharedFilesRescanned);
        QVERIFY(Rescan());
        QVERIFY(Rescan());
        QCOMPARE(rescanned.at(0), (QList<QVariant>{2, 4}));  // n1, fresh/f; b, gone/*, Song
        QCOMPARE(rescanned.at(1), (QList<QVariant>{0, 0}));  // odd names found again
        // A changed file keeps its entry and attributes, and is not analysed again.
        QCOMPARE(Entry(root + "/song.mp3"), song);
        QCOMPARE(song["shared_file_size"].AsString() + " " +
                     SharedFoldersManager::GetFileItemDisplayString(song),
                 QString("6 211 VBR"));
        QCOMPARE(required.count(), 2);  // only the never analysed one, each time
        QCOMPARE(required.at(1).at(0).toString(), root + "/new\nline.mp3");
        // A name that a dropped file had in another case stays shared as it was.
        QCOMPARE(Entry(root + "/two/SONG.mp3"), upperSong);
        QVERIFY(!upperSong.IsNull() && Entry(root + "/one/Song.mp3").IsNull());
        // The deleted folder goes with its files, even one whose name a live
        // file shares, and with its tokens.
        QVERIFY(d.GetType("shared_file_folder")->HasItem(root + "/gone").IsNull());
        QVERIFY(Entry(root + "/gone/cover.jpg").IsNull() &&
                !Entry(root + "/keep/cover.jpg").IsNull());
        QVERIFY(d.GetType("search_token")->HasItem("zebra").IsNull() &&
                d.GetType("shared_file_lowercase_name")->HasItem("zebra.txt").IsNull() &&
                d.GetType("shared_file_folder_lowercase_name")
                    ->HasItem(SharedFoldersManager::GetAbsoluteFileName(root + "/gone"))
                    .IsNull());
        QCOMPARE(Count("shared_file"), 9);
        ::unlink((base + "/bad\xff\xfe.txt").constData());
    }

    // The start-up merge after changes on disk, with roots shared and
    // unshared while the walk ran. The scanner is held so that each change
    // falls before or after the walk as written: a folder scanned on the spot
    // after the walk listed it keeps its newer listing.
    void backgroundMerge() {
        const QString r1 = P("r1"), r2 = P("r2"), r3 = P("r3");
        QVERIFY(Write(r1 + "/a.txt", "a") && Write(r1 + "/b.txt", "b") &&
                Write(r1 + "/gone/a.txt", "a") && Write(r2 + "/deeper/two.txt", "2") &&
                Write(r3 + "/three.txt", "3"));
        manager->AddSharedFolder(r1);
        manager->AddSharedFolder(r3);
        QVERIFY(WaitForMerge());
        const ItemPtr a = Entry(r1 + "/a.txt");
        QVERIFY(Write(r1 + "/a.txt", "aaa") && QFile::remove(r1 + "/b.txt") &&
                QDir(r1 + "/gone").removeRecursively() && Write(r1 + "/new/n.txt", "n"));
        QSemaphore go, walked;
        QMetaObject::invokeMethod(
            manager->GetScanner(), [&go] { go.acquire(); }, Qt::QueuedConnection);
        manager->Init();
        QMetaObject::invokeMethod(
            manager->GetScanner(), [&walked] { walked.release(); }, Qt::QueuedConnection);
        // Before it walks: r2 is shared, r3 unshared, and a new folder of r1
        // is made, still empty.
        manager->AddSharedFolder(r2);
        d.GetType("shared_folder")->HasItem(r3).Remove();
        QVERIFY(QDir().mkpath(r1 + "/newsub"));
        go.release();
        walked.acquire();
        // After the walk, before its merge: the new folder gets a file and
        // becomes a root of its own.
        QVERIFY(Write(r1 + "/newsub/n.txt", "n"));
        manager->AddSharedFolder(r1 + "/newsub");
        QVERIFY(WaitForMerge());
        QCOMPARE(Entry(r1 + "/a.txt"), a);
        QCOMPARE(a["shared_file_size"].AsString(), QString("3"));
        QCOMPARE(Values(d.GetType("shared_file_folder")->GetItems()),
                 (QStringList{r1, r1 + "/new", r1 + "/newsub", r2, r2 + "/deeper"}));
        QVERIFY(Tokens(r1 + "/new/n.txt").contains("new"));
        QVERIFY(!Entry(r1 + "/newsub/n.txt").IsNull());
        QCOMPARE(Count("shared_file"), 4);
    }

    // The merge in slices of one step each: what it leaves is what the whole
    // merge leaves; between two slices the index answers, is saved sound, and
    // may be shut down.
    void steppedMerge() {
        const QString root = P("Music");
        QVERIFY(Write(root + "/same.mp3", "1") && Write(root + "/grown.txt", "2") &&
                Write(root + "/dropped.txt", "3") && Write(root + "/Beatles/Help.txt", "4") &&
                Write(root + "/Beatles/Yesterday.txt", "5") &&
                Write(root + "/Deleted/Beatles Gone.txt", "6") && Write(P("Other/o.txt"), "7"));
        manager->AddSharedFolder(root).Connect(d.GetType("shared_public")->GetGlobalNullItem());
        manager->AddSharedFolder(P("Other"));
        QVERIFY(WaitForMerge());
        SetSetting("username", "me");
        QVERIFY(saver->Save(P(".T")));
        QVERIFY(Write(root + "/grown.txt", "22") && QFile::remove(root + "/dropped.txt") &&
                QDir(root + "/Deleted").removeRecursively() &&
                Write(root + "/Beatles/New Beatles.txt", "8") &&
                Write(root + "/Added/Beatles Added.txt", "9"));
        const QStringList before{Wire(root + "/Beatles") + "\\Help.txt 1",
                                 Wire(root + "/Beatles") + "\\Yesterday.txt 1",
                                 Wire(root + "/Deleted") + "\\Beatles Gone.txt 1"};
        const QStringList after{Wire(root + "/Added") + "\\Beatles Added.txt 1",
                                Wire(root + "/Beatles") + "\\Help.txt 1",
                                Wire(root + "/Beatles") + "\\New Beatles.txt 1",
                                Wire(root + "/Beatles") + "\\Yesterday.txt 1"};
        // What the store holds of the index: paths, sizes and tokens.
        auto index = [this] {
            QStringList out;
            for (const ItemPtr& file : d.GetType("shared_file")->GetItems())
                out << file["shared_file_folder"].AsString() + "/" +
                           file["shared_file_name"].AsString() + " " +
                           file["shared_file_size"].AsString() + " " +
                           Values(file.GetItems("search_token")).join(',');
            out.sort();
            return out << Values(d.GetType("shared_file_folder")->GetItems());
        };
        // The whole merge at once, from the store saved before the changes.
        auto restart = [this](const char* prefix) {
            manager.reset();
            StopCore();
            StartCore();
            manager.reset(new SharedFoldersManager);
            Load(P(prefix));
        };
        restart(".T");
        manager->Init();
        QVERIFY(WaitForMerge());
        const QStringList whole = index();
        QVERIFY(Entry(root + "/dropped.txt").IsNull() &&
                Tokens(root + "/grown.txt").contains("grown"));
        QCOMPARE(Entry(root + "/grown.txt")["shared_file_size"].AsString(), QString("2"));
        QCOMPARE(Found("bob", "beatles"), after);

        // The same in slices, with searches and a save between them.
        restart(".T");
        manager->SetMergeSliceBudget(0);
        const ItemPtr same = Entry(root + "/same.mp3");
        QSignalSpy ended(manager.get(), &SharedFoldersManager::BackgroundMergeEnded);
        QSemaphore walked;
        manager->Init();
        QMetaObject::invokeMethod(
            manager->GetScanner(), [&walked] { walked.release(); }, Qt::QueuedConnection);
        walked.acquire();
        int slices = 0;
        bool sawBefore = false;
        while (ended.isEmpty()) {
            QCoreApplication::processEvents(QEventLoop::AllEvents);
            QVERIFY(manager->IsBackgroundScanPending() == ended.isEmpty());
            slices += manager->IsBackgroundMergeRunning();
            // Each answer holds files as they were walked, none twice.
            QStringList found = Found("bob", "beatles");
            sawBefore = sawBefore || found.isEmpty();
            for (const QString& record : found)
                QVERIFY2(after.contains(record) || before.contains(record), qPrintable(record));
            QCOMPARE(found.removeDuplicates(), 0);
            if (slices == 2) {
                // Saved mid-way: no merge marks, and the next start merges anew.
                QVERIFY(saver->Save(P(".Mid")));
                QVERIFY(!d.GetType("is_scanned")
                             ->GetGlobalNullItem()
                             .IsConnected("shared_file_folder"));
            }
        }
        QVERIFY2(slices >= 3, qPrintable(QString::number(slices)));
        QVERIFY(sawBefore);
        QCOMPARE(Entry(root + "/same.mp3"), same);
        QCOMPARE(index(), whole);
        QCOMPARE(Found("bob", "beatles"), after);

        // Started from the save made mid-way, shut down in the middle of its
        // merge, and started from it once more: the merge ends the same.
        restart(".Mid");
        manager->SetMergeSliceBudget(0);
        manager->Init();
        QMetaObject::invokeMethod(
            manager->GetScanner(), [&walked] { walked.release(); }, Qt::QueuedConnection);
        walked.acquire();
        while (!manager->IsBackgroundMergeRunning() && manager->IsBackgroundScanPending())
            QCoreApplication::processEvents(QEventLoop::AllEvents);
        QVERIFY(manager->IsBackgroundMergeRunning());
        restart(".Mid");
        manager->Init();
        QVERIFY(WaitForMerge());
        QCOMPARE(index(), whole);

        // An unchanged entry keeps the tokens it has: a merge does not
        // tokenise it again (a token taken off stays off), a new one gets all.
        const ItemPtr help = Entry(root + "/Beatles/Help.txt");
        help.Disconnect(d.GetType("search_token")->HasItem("help"));
        QVERIFY(Write(root + "/Beatles/Let It Be.txt", "x"));
        FileScanner walker;
        walker.ScanFolders({root});
        manager->GetScanner()->Results() = std::move(walker.Results());
        manager->OnFoldersRescanned();
        manager->FinishBackgroundMerge();
        QCOMPARE(Entry(root + "/Beatles/Help.txt"), help);
        QVERIFY(!Tokens(root + "/Beatles/Help.txt").contains("help") &&
                Tokens(root + "/Beatles/Help.txt").contains("beatles"));
        QVERIFY(Tokens(root + "/Beatles/Let It Be.txt").contains("let"));

        // A rescan in the middle of a merge makes what is left of the walk
        // stale: a file deleted since is not brought back.
        walker.ScanFolders({root});
        manager->GetScanner()->Results() = std::move(walker.Results());
        manager->SetMergeSliceBudget(0);
        manager->OnFoldersRescanned();
        QVERIFY(manager->IsBackgroundMergeRunning() && QFile::remove(root + "/same.mp3"));
        QSignalSpy rescanEnded(manager.get(), &SharedFoldersManager::BackgroundMergeEnded);
        QSignalSpy rescanned(manager.get(), &SharedFoldersManager::SharedFilesRescanned);
        manager->RescanShares();
        QVERIFY(!manager->IsBackgroundMergeRunning() && rescanEnded.count() == 1);
        QVERIFY(rescanned.wait(kWait));
        QVERIFY(Entry(root + "/same.mp3").IsNull() && !Entry(root + "/grown.txt").IsNull());
    }

    // A rescan walks on the scanner thread and merges in slices: the call
    // returns before the walk, searches meanwhile answer from what is merged
    // (no file twice), and the report comes when the merge ends.
    void rescanInBackground() {
        const QString root = P("Music");
        for (int k = 0; k < 40; ++k)
            QVERIFY(Write(QString("%1/f%2/Beatles %3.txt").arg(root).arg(k % 8).arg(k), "x"));
        manager->AddSharedFolder(root).Connect(d.GetType("shared_public")->GetGlobalNullItem());
        QVERIFY(WaitForMerge());
        SetSetting("username", "me");
        const QStringList before = Found("bob", "beatles");
        QCOMPARE(before.size(), 40);
        const ItemPtr kept = Entry(root + "/f1/Beatles 1.txt");
        QVERIFY(QDir(root + "/f7").removeRecursively() &&
                Write(root + "/f0/Beatles new.txt", "n") &&
                Write(root + "/f8/Beatles late.txt", "l"));
        QStringList after;
        for (const QString& record : before)
            if (!record.contains(Wire("/f7\\")))
                after << record;
        after << Wire(root + "/f0") + "\\Beatles new.txt 1"
              << Wire(root + "/f8") + "\\Beatles late.txt 1";
        after.sort();

        manager->SetMergeSliceBudget(0);
        QSemaphore go;
        HoldScanner(go);
        QSignalSpy rescanned(manager.get(), &SharedFoldersManager::SharedFilesRescanned);
        manager->RescanShares();
        QVERIFY(manager->IsBackgroundScanPending() && rescanned.isEmpty());
        QCOMPARE(Found("bob", "beatles"), before);
        go.release();
        int slices = 0;
        QVERIFY(SpinUntil([&] { return !rescanned.isEmpty(); },
                          [&] {
                              slices += manager->IsBackgroundMergeRunning();
                              QStringList found = Found("bob", "beatles");
                              for (const QString& record : found)
                                  QVERIFY2(after.contains(record) || before.contains(record),
                                           qPrintable(record));
                              QCOMPARE(found.removeDuplicates(), 0);
                          }));
        QVERIFY2(slices >= 3, qPrintable(QString::number(slices)));
        QCOMPARE(rescanned.count(), 1);
        QCOMPARE(rescanned.at(0), (QList<QVariant>{2, 5}));
        QVERIFY(!manager->IsBackgroundScanPending());
        QStringList found = Found("bob", "beatles");
        found.sort();
        QCOMPARE(found, after);
        QCOMPARE(Entry(root + "/f1/Beatles 1.txt"), kept);
        QVERIFY(d.GetType("shared_file_folder")->HasItem(root + "/f7").IsNull());
    }

    // A rescan asked for during one replaces it: one report for both, one
    // walk at a time, nothing lost.
    void secondRescanDuringOne() {
        const QString root = P("Share");
        QVERIFY(Write(root + "/a.txt", "a") && Write(root + "/b.txt", "b") &&
                Write(root + "/sub/c.txt", "c"));
        manager->AddSharedFolder(root);
        QVERIFY(WaitForMerge());
        QAtomicInt walks;
        connect(
            manager->GetScanner(), &FileScanner::FoldersScanned, manager.get(),
            [&walks] { walks.ref(); }, Qt::DirectConnection);
        QSignalSpy rescanned(manager.get(), &SharedFoldersManager::SharedFilesRescanned);

        // Asked for again once the first walk has ended, before its merge.
        QSemaphore go, walked;
        HoldScanner(go);
        manager->RescanShares();
        QMetaObject::invokeMethod(
            manager->GetScanner(), [&walked] { walked.release(); }, Qt::QueuedConnection);
        QVERIFY(Write(root + "/n1.txt", "1"));
        go.release();
        walked.acquire();
        QVERIFY(QFile::remove(root + "/a.txt"));
        manager->RescanShares();
        QVERIFY(rescanned.wait(kWait));
        QCOMPARE(rescanned.count(), 1);
        QCOMPARE(rescanned.at(0), (QList<QVariant>{1, 1}));
        QCOMPARE(Walks(walks), 2);
        QVERIFY(Entry(root + "/a.txt").IsNull() && !Entry(root + "/n1.txt").IsNull() &&
                !Entry(root + "/sub/c.txt").IsNull());

        // Asked for again in the middle of the merge.
        rescanned.clear();
        walks.storeRelease(0);
        manager->SetMergeSliceBudget(0);
        QVERIFY(Write(root + "/n2.txt", "2"));
        manager->RescanShares();
        QVERIFY(SpinUntil([&] { return manager->IsBackgroundMergeRunning(); }, [] {}));
        QCOMPARE(Walks(walks), 1);
        QVERIFY(Write(root + "/n3.txt", "3") && QFile::remove(root + "/b.txt"));
        manager->RescanShares();
        QVERIFY(!manager->IsBackgroundMergeRunning() && manager->IsBackgroundScanPending());
        QVERIFY(SpinUntil([&] { return !rescanned.isEmpty(); }, [] {}));
        QCOMPARE(rescanned.count(), 1);
        QCOMPARE(rescanned.at(0), (QList<QVariant>{2, 1}));
        QCOMPARE(Walks(walks), 2);
        QCOMPARE(Count("shared_file"), 4);  // n1, n2, n3, sub/c
    }

    // Sharing a folder returns before its walk; shares and rescans asked for
    // while a walk runs wait their turn and lose nothing; a root unshared
    // while it is walked or merged does not come back.
    void sharedDuringWalks() {
        const QStringList roots{P("r1"), P("r2"), P("r3"), P("r4"), P("r5")};
        for (const QString& root : roots)
            for (int k = 0; k < 6; ++k)
                QVERIFY(Write(QString("%1/d%2/t%3.txt").arg(root).arg(k % 2).arg(k), "x"));
        auto indexed = [this](const QString& root) {
            int n = 0;
            for (const ItemPtr& file : d.GetType("shared_file")->GetItems()) {
                const QString folder = file["shared_file_folder"].AsString();
                n += folder == root || folder.startsWith(root + "/");
            }
            return n;
        };
        QAtomicInt walks;
        connect(
            manager->GetScanner(), &FileScanner::FoldersScanned, manager.get(),
            [&walks] { walks.ref(); }, Qt::DirectConnection);
        QSignalSpy rescanned(manager.get(), &SharedFoldersManager::SharedFilesRescanned);

        // The root and its id at once; the files once merged.
        QSemaphore go;
        manager->AddSharedFolder(roots[0]);
        HoldScanner(go);
        const ItemPtr r2 = manager->AddSharedFolder(roots[1]);
        QCOMPARE(r2["shared_folder_id"].AsString(), QString("[2]r2"));
        QVERIFY(manager->IsBackgroundScanPending());
        QCOMPARE(Count("shared_file"), 0);
        go.release();
        QVERIFY(WaitForMerge());
        QCOMPARE(indexed(roots[0]) + indexed(roots[1]), 12);
        QCOMPARE(Walks(walks), 2);

        // Shared during a rescan's walk and during its merge: walked once the
        // merge has ended, never while it runs.
        manager->SetMergeSliceBudget(0);
        QSemaphore after;
        QVERIFY(Write(roots[0] + "/new.txt", "n"));
        HoldScanner(go);
        manager->RescanShares();
        HoldScanner(after);
        manager->AddSharedFolder(roots[2]);
        go.release();
        bool merging = false;
        QVERIFY(SpinUntil([&] { return !manager->IsBackgroundScanPending(); },
                          [&] {
                              if (merging || !manager->IsBackgroundMergeRunning())
                                  return;
                              // Whatever is queued on the scanner runs now, in the merge.
                              merging = true;
                              after.release();
                              manager->AddSharedFolder(roots[4]);
                              QCOMPARE(Walks(walks), 3);
                          }));
        QVERIFY(merging);
        QCOMPARE(Walks(walks), 4);
        QCOMPARE(rescanned.count(), 1);
        QCOMPARE(rescanned.at(0), (QList<QVariant>{1, 0}));
        QCOMPARE(indexed(roots[2]) + indexed(roots[4]), 12);
        QVERIFY(!Entry(roots[0] + "/new.txt").IsNull());

        // A rescan asked for during the walk of a new root covers it.
        rescanned.clear();
        HoldScanner(go);
        manager->AddSharedFolder(roots[3]);
        manager->RescanShares();
        go.release();
        QVERIFY(rescanned.wait(kWait));
        QVERIFY(WaitForMerge());
        QCOMPARE(rescanned.count(), 1);
        for (const QString& root : roots)
            QVERIFY2(indexed(root) == 6 + (root == roots[0]), qPrintable(root));

        // Unshared while walked, and while merged.
        rescanned.clear();
        QVERIFY(Write(roots[1] + "/d0/late.txt", "l"));
        HoldScanner(go);
        manager->RescanShares();
        d.GetType("shared_folder")->HasItem(roots[1]).Remove();
        d.RemoveDisconnectedItems();
        go.release();
        QVERIFY(rescanned.wait(kWait));
        QCOMPARE(indexed(roots[1]), 0);
        rescanned.clear();
        manager->RescanShares();
        QVERIFY(SpinUntil([&] { return manager->IsBackgroundMergeRunning(); }, [] {}));
        for (int k = 0; k < 3; ++k)
            QCoreApplication::processEvents(QEventLoop::AllEvents);
        d.GetType("shared_folder")->HasItem(roots[0]).Remove();
        d.RemoveDisconnectedItems();
        QVERIFY(SpinUntil([&] { return !rescanned.isEmpty(); }, [] {}));
        QCOMPARE(indexed(roots[0]), 0);
        QVERIFY(d.GetType("shared_file_folder")->HasItem(roots[0] + "/d1").IsNull());
        QCOMPARE(indexed(roots[2]) + indexed(roots[3]), 12);
    }

    void savedAndLoaded() {
        const QString root = P("Share");
        QVERIFY(Write(root + "/Tune.mp3", "x"));
        manager->AddSharedFolder(root).Connect(d.GetType("shared_public")->GetGlobalNullItem());
        QVERIFY(WaitForMerge());
        manager->OnMP3Scanned(root + "/Tune.mp3", 1, "mono", 2, false, 64);
        Unshare("bob");
        QVERIFY(saver->Save(P(".T")));
        manager.reset();
        StopCore();
        StartCore();
        manager.reset(new SharedFoldersManager);
        Load(P(".T"));
        // Found through the normal forms, rebuilt while loading.
        const ItemPtr tune = Entry(root.toUpper() + "/tune.MP3");
        QCOMPARE(SharedFoldersManager::GetFileItemDisplayString(tune) +
                     tune["channel_mode"].AsString() + GetSetting("shared_folder_counter"),
                 QString("64 CBRmono2"));
        QVERIFY(d.GetType("user")->HasItem("bob").IsConnected("unshared") &&
                d.GetType("shared_folder")->HasItem(root).IsConnected("shared_public"));
        // The merge keeps the entry and asks for no analysis done before.
        QSignalSpy required(manager.get(), &SharedFoldersManager::MP3ScanRequired);
        manager->Init();
        QVERIFY(WaitForMerge());
        QVERIFY(required.isEmpty());
        QCOMPARE(Entry(root + "/Tune.mp3"), tune);
        // Tokens are not saved: the merge gives the loaded entry its own.
        QVERIFY(Tokens(root + "/Tune.mp3").contains("tune"));
    }

    void searchAnswers() {
        MakeShares();
        SearchResultMessage a = Search("bob", "beatles");
        QCOMPARE(a.user + " " + QString::number(a.token), QString("me 7"));
        const QString beatles = Wire(music + "/Beatles");
        QCOMPARE(Records(a.files), (QStringList{beatles + "\\Beatles Live.mp3 7 mp3",
                                                beatles + "\\Live\\Help.MP3 16680 mp3 0=128 2=0",
                                                beatles + "\\Live\\notes.txt 1"}));
        QVERIFY(a.freeSlot && a.uploadSpeed == 0 && a.queueLength == 0);
        SetSetting("upload_speed", 31337);
        a = Search("bob", "b.mp3");
        QCOMPARE(a.uploadSpeed, 31337u);
        QCOMPARE(Records(a.files), QStringList{Wire(music) + "\\B.mp3 5 mp3 0=211 2=1"});
        // Part and excluded tokens look at names only.
        QCOMPARE(Found("bob", "beatles -live").size(), 2);
        QCOMPARE(Found("bob", "beatles *elp").size(), 1);
        for (const char* text : {"*mix", "ab cd", "-beatles", "\"beatles live\"", "ab beatles",
                                 "beatles zzz", "secret", "\"open", ""})
            QVERIFY2(Search("bob", text).user == "<none>", text);
        // Words that are all short get no answer even when a name holds them;
        // one long word beside them is enough.
        QVERIFY(Write(P("Music/ab cd.txt"), "abcd"));
        QVERIFY(Rescan());
        QVERIFY(Tokens(music + "/ab cd.txt").contains("ab") &&
                Tokens(music + "/ab cd.txt").contains("cd"));
        QCOMPARE(Search("bob", "ab cd").user, QString("<none>"));
        QCOMPARE(Found("bob", "ab cd txt"), QStringList{Wire(music) + "\\ab cd.txt 4"});
        // A group the private root is shared with sees it.
        d.GetType("shared_folder")
            ->HasItem(priv)
            .Connect(d.GetType("user_list_group")->GetItem("f"));
        ListUser("carol", {"f"});
        QCOMPARE(Found("carol", "secret"), QStringList{Wire(priv) + "\\beatles secret.txt 2"});
        // Entries that read the same on the wire are sent once.
        const ItemPtr twin = AddEntry(music + "/Beatles\\Live", "notes.txt", 1);
        twin["shared_file_folder"].Connect(d.GetType("shared_folder")->HasItem(music));
        manager->TokenizeSharedFile(twin);
        QCOMPARE(Found("bob", "notes"), QStringList{beatles + "\\Live\\notes.txt 1"});
        // Text from a peer makes no item.
        const std::size_t items = d.ItemCount();
        QCOMPARE(Search("someone new", "qqqqqq").user + Search("x", "qqq beatles").user,
                 QString("<none><none>"));
        QCOMPARE(d.ItemCount(), items);
        Unshare("mallory");
        QCOMPARE(Search("mallory", "beatles").user, QString("<none>"));
        SetRuntimeSetting("finish_uploads_and_quit", "yes");
        QCOMPARE(Search("bob", "beatles").user, QString("<none>"));
    }

    // A search that matches more than one frame holds keeps the files
    // indexed first, up to the first that does not fit, listed in byte
    // order, however the names sort; small files indexed after it stay out,
    // also from the answer made off the main thread.
    void searchAnswerCap_data() {
        QTest::addColumn<bool>("reversed");
        QTest::newRow("indexed in name order") << false;
        QTest::newRow("indexed in reverse name order") << true;
    }
    void searchAnswerCap() {
        QFETCH(bool, reversed);
        const ItemPtr root = d.GetType("shared_folder")->GetItem("/cap");
        root.Connect(d.GetType("shared_public")->GetGlobalNullItem());
        const QString folder = "/cap/" + QString(60000, 'q');
        d.GetType("shared_file_folder")->GetItem(folder).Connect(root);
        for (int n = 0; n < 200; ++n) {
            const int k = reversed ? 199 - n : n;
            manager->TokenizeSharedFile(AddEntry(folder, QString::asprintf("f%03d.bin", k), k));
        }
        d.GetType("shared_file_folder")->GetItem("/cap/small").Connect(root);
        for (int k = 0; k < 5; ++k)
            manager->TokenizeSharedFile(AddEntry("/cap/small", QString::asprintf("s%d.bin", k), k));
        SetSetting("username", "me");
        MemStream message;
        QVERIFY(manager->BuildSearchAnswer("bob", 1, "cap", message));
        QVERIFY(message.GetWritePos() <= qint64(PeerLimits::kMaxFrameLength));
        const QStringList found = Found("bob", "cap");
        const qint64 perRecord = 1 + 4 + (folder.size() + 9) + 8 + 4 + 4;
        const int fits = int((SharedFoldersManager::kMaxSearchAnswerPayload - 27) / perRecord);
        QVERIFY(fits < 200);
        QStringList kept;
        for (int n = 0; n < fits; ++n) {
            const int k = reversed ? 199 - n : n;
            kept << Wire(folder) + QString::asprintf("\\f%03d.bin %d", k, k);
        }
        kept.sort();
        QCOMPARE(found, kept);
        QVERIFY(Listen());
        RawPeer peer;
        QVERIFY(ConnectAsPeer(peer, "bob"));
        manager->OnDirectFileSearch("bob", 2, "cap");
        const QByteArray body = peer.Take(PeerMessenger::PM_FILE_SEARCH_RESULT);
        SearchResultMessage answer;
        QVERIFY(ParseSearchResults(body.constData(), body.size(), answer));
        QCOMPARE(Records(answer.files), kept);
    }

    // Through a real connection: a large answer is made off the main thread
    // and equals the one made at once; a peer repeating the search while its
    // answer is being made gets no second one for it, and small answers
    // still go out at once.
    void searchAnswersToRepeatingPeer() {
        const ItemPtr root = d.GetType("shared_folder")->GetItem("/many");
        root.Connect(d.GetType("shared_public")->GetGlobalNullItem());
        const auto add = [&](const QString& folder, const QString& name, qint64 size) {
            const ItemPtr file = AddEntry(folder, name, size);
            file["shared_file_folder"].Connect(root);
            manager->TokenizeSharedFile(file);
        };
        for (int k = 0; k < 3000; ++k)
            add(QString("/many/album %1").arg(k / 100),
                QString("track %1 of the long playing record.mp3").arg(k), k);
        add("/many/rare", "rarity.txt", 5);
        SetSetting("username", "me");
        const QStringList all = Found("bob", "record");
        QCOMPARE(all.size(), 3000);
        QVERIFY(Listen());
        RawPeer peer;
        QVERIFY(ConnectAsPeer(peer, "bob"));
        QSignalSpy processed(manager.get(), &SharedFoldersManager::SearchProcessed);
        // The tokens of the next answers, and "bad" for one that is not
        // whole and right.
        const auto tokens = [&](int count) {
            QStringList out;
            quint32 code = 0;
            QByteArray payload;
            while (out.size() < count && peer.WaitForMessage(&code, &payload, kWait)) {
                SearchResultMessage answer;
                if (code != PeerMessenger::PM_FILE_SEARCH_RESULT)
                    continue;
                const bool read = ParseSearchResults(payload.constData(), payload.size(), answer);
                const QStringList records = Records(answer.files);
                out << (read && (records == all ||
                                 records == QStringList{"\\many\\rare\\rarity.txt 5"})
                            ? QString::number(answer.token)
                            : "bad");
            }
            return out;
        };
        for (quint32 ticket = 1; ticket <= 3; ++ticket)
            manager->OnDirectFileSearch("bob", ticket, "record");
        manager->OnDirectFileSearch("bob", 4, "rarity");
        QCOMPARE(tokens(2), (QStringList{"4", "1"}));
        manager->OnDirectFileSearch("bob", 5, "record");
        QCOMPARE(tokens(1), QStringList{"5"});
        QStringList answered;
        for (const QList<QVariant>& call : processed)
            answered << call.at(0).toString() + (call.at(1).toBool() ? "+" : "-");
        // A large answer counts once it is sent.
        QCOMPARE(answered, (QStringList{"record-", "record-", "rarity+", "record+", "record+"}));
    }

    // An answer made off the main thread goes only to a user who still sees
    // every root it was copied from. Each change comes before the event loop
    // turns, so before the answer could be sent however fast it is made.
    void searchAnswerAfterUnshare_data() {
        QTest::addColumn<QString>("change");
        QTest::addColumn<bool>("answered");
        QTest::newRow("user marked unshared meanwhile") << "unshare user" << false;
        QTest::newRow("folder unshared meanwhile") << "unshare folder" << false;
        QTest::newRow("folder made private meanwhile") << "buddies only" << false;
        QTest::newRow("user listed meanwhile") << "list user" << true;
    }
    void searchAnswerAfterUnshare() {
        QFETCH(QString, change);
        QFETCH(bool, answered);
        ShareMany("/many", 3000, 100);
        RawPeer peer;
        QVERIFY(IndexAndConnect(peer));
        QSignalSpy processed(manager.get(), &SharedFoldersManager::SearchProcessed);
        manager->OnDirectFileSearch("bob", 1, "track");
        QCOMPARE(processed.count(), 0);
        const ItemPtr root = d.GetType("shared_folder")->HasItem("/many");
        if (change == "unshare user") {
            Unshare("bob");
        } else if (change == "unshare folder") {
            root.Remove();
            d.RemoveDisconnectedItems();
        } else if (change == "buddies only") {
            root.Disconnect("shared_public");
            root.Connect(d.GetType("shared_userlist")->GetGlobalNullItem());
        } else {
            ListUser("bob");
        }
        QVERIFY(processed.wait(kWait));
        // Goes out after whatever went to bob before it.
        MemStream marker;
        marker.Write(quint32(PeerMessenger::PM_UPLOAD_FAILED));
        marker.Write(QString("marker"));
        messenger->SendMessageToUser("bob", marker);
        quint32 code = 0;
        QByteArray payload;
        QVERIFY(peer.WaitForMessage(&code, &payload, kWait));
        if (answered) {
            SearchResultMessage answer;
            QVERIFY(code == PeerMessenger::PM_FILE_SEARCH_RESULT &&
                    ParseSearchResults(payload.constData(), payload.size(), answer));
            QCOMPARE(answer.files.size(), std::size_t(3000));
            QVERIFY(peer.WaitForMessage(&code, &payload, kWait));
        }
        QCOMPARE(code, quint32(PeerMessenger::PM_UPLOAD_FAILED));
        QCOMPARE(processed.at(0).at(1).toBool(), answered);
    }

    // One large answer per user, and only so many wait behind the one being
    // made; each comes once it is made.
    void searchAnswerQueueCap() {
        SearchAnswerQueue queue;
        QSignalSpy finished(&queue, &SearchAnswerQueue::Finished);
        const int users = int(SearchAnswerQueue::kMaxWaiting) + 2;
        QString added;
        for (int k = 0; k < users; ++k)
            for (int again = 0; again < 2; ++again) {
                SearchAnswerCopy copy;
                copy.user = "me";
                copy.ticket = quint32(k);
                added += queue.Add(QString("user%1").arg(k), "record", std::move(copy)) ? "+" : "-";
            }
        QCOMPARE(added, QString("+-").repeated(users - 1) + "--");
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), users - 1, kWait);
        for (int k = 0; k < users - 1; ++k) {
            QCOMPARE(finished.at(k).at(0).toString() + finished.at(k).at(1).toString(),
                     QString("user%1record").arg(k));
            const QByteArray body = Body(MemStream(finished.at(k).at(2).toByteArray()),
                                         PeerMessenger::PM_FILE_SEARCH_RESULT);
            SearchResultMessage answer;
            QVERIFY(ParseSearchResults(body.constData(), body.size(), answer));
            QCOMPARE(answer.token, quint32(k));
        }
        QVERIFY(!queue.Has("user0") && queue.Add("user0", "record", SearchAnswerCopy()));
    }

    // An answer that would take what waits for peers past the cap is not
    // sent and counts as unanswered; a search after the cap is lifted is
    // answered.
    void searchAnswersPastTheOutputCap_data() {
        QTest::addColumn<qint64>("cap");
        QTest::addColumn<QString>("search");
        QTest::addColumn<QString>("processed");
        QTest::addColumn<bool>("firstSent");
        QTest::newRow("small, room") << PeerLimits::kMaxWaitingOutputTotal << "rarity"
                                     << "rarity+" << true;
        QTest::newRow("small, past the cap") << qint64(16) << "rarity"
                                             << "rarity-" << false;
        // Made off the main thread, then dropped.
        QTest::newRow("large, past the cap") << qint64(4096) << "track"
                                             << "track-" << false;
    }
    void searchAnswersPastTheOutputCap() {
        QFETCH(qint64, cap);
        QFETCH(QString, search);
        QFETCH(QString, processed);
        QFETCH(bool, firstSent);
        ShareMany("/many", 3000, 100);
        AddEntry("/many/rare", "rarity.txt", 5)["shared_file_folder"].Connect(
            d.GetType("shared_folder")->HasItem("/many"));
        RawPeer peer;
        QVERIFY(IndexAndConnect(peer));
        QSignalSpy spy(manager.get(), &SharedFoldersManager::SearchProcessed);
        messenger->SetMaxWaitingOutput(cap);
        manager->OnDirectFileSearch("bob", 1, search);
        QTRY_VERIFY_WITH_TIMEOUT(spy.count() == 1, kWait);
        QCOMPARE(spy.at(0).at(0).toString() + (spy.at(0).at(1).toBool() ? "+" : "-"), processed);
        messenger->SetMaxWaitingOutput(PeerLimits::kMaxWaitingOutputTotal);
        quint32 ticket = 1, code = 0;
        QByteArray payload;
        SearchResultMessage answer;
        QVERIFY(RawPeer::WaitUntil(
            [&] {
                if (peer.WaitForMessage(&code, &payload, 0))
                    return code == PeerMessenger::PM_FILE_SEARCH_RESULT;
                manager->OnDirectFileSearch("bob", ++ticket, search);
                return false;
            },
            kWait));
        QVERIFY(ParseSearchResults(payload.constData(), payload.size(), answer));
        QCOMPARE(answer.token == 1, firstSent);
    }

    void shareListAndFolderContents() {
        MakeShares();
        // Folders in byte order, the empty one too; records in byte order.
        const QStringList list{"> " + Wire(music),
                               "B.mp3 5 mp3 0=211 2=1",
                               "a.mp3 3 mp3",
                               "> " + Wire(music + "/Beatles"),
                               "Beatles Live.mp3 7 mp3",
                               "> " + Wire(music + "/Beatles/Live"),
                               "Help.MP3 16680 mp3 0=128 2=0",
                               "notes.txt 1",
                               "> " + Wire(music + "/Empty")};
        QCOMPARE(ShareList("bob"), list);
        Unshare("mallory");
        QCOMPARE(ShareList("mallory"), QStringList());  // still a valid list
        // A kept list follows the roots' visibility and the index.
        d.GetType("shared_folder")
            ->HasItem(priv)
            .Connect(d.GetType("shared_public")->GetGlobalNullItem());
        QVERIFY(ShareList("bob").contains("beatles secret.txt 2"));
        QVERIFY(QFile::remove(P("Music/a.mp3")));
        QVERIFY(Rescan());
        QVERIFY(!ShareList("bob").contains("a.mp3 3 mp3"));

        // Folder contents: only the files right in it, without audio
        // attributes; "/" and "\\" alike; hidden, unknown or case variants
        // get nothing and make no item.
        QCOMPARE(Contents("bob", Wire(music + "/Beatles/Live")),
                 (QStringList{"Help.MP3 16680", "notes.txt 1"}));
        QCOMPARE(Contents("bob", music + "/Beatles/Live").size(), 2);
        QCOMPARE(Contents("bob", Wire(music + "/Beatles")), QStringList{"Beatles Live.mp3 7"});
        QCOMPARE(Contents("bob", Wire(music + "/Empty")), QStringList());
        d.GetType("shared_folder")->HasItem(priv).Disconnect("shared_public");
        const std::size_t items = d.ItemCount();
        for (const QString& hidden : {priv, music + "/nothing", music + "/beatles"})
            QCOMPARE(Contents("bob", Wire(hidden)), QStringList{"<none>"});
        QCOMPARE(Contents("mallory", Wire(music)), QStringList{"<none>"});
        QCOMPARE(d.ItemCount(), items);
    }

    void shareListMadeOffTheMainThread() {
        QVERIFY(Listen());
        RawPeer peer;
        QVERIFY(ConnectAsPeer(peer, "bob"));
        Type* roots = d.GetType("shared_folder");
        const ItemPtr everyone = d.GetType("shared_public")->GetGlobalNullItem();
        const auto add = [roots](const QString& root, const QString& folder, const Value& name,
                                 qint64 size) {
            const ItemPtr file = d.GetType("shared_file")->NewItem();
            file.Connect(d.GetType("shared_file_folder")->GetItem(folder))
                .Connect(roots->GetItem(root));
            file.Connect(d.GetType("shared_file_name")->GetItem(name));
            file.Connect(d.GetType("shared_file_size")->GetItem(size));
            return file;
        };
        // Shapes added one after the other; each list goes through the peer
        // path and is then made at once, and both must be the expected bytes.
        const std::vector<std::pair<const char*, std::function<void()>>> shapes = {
            {"nothing visible", [&] { add("/private", "/private/a", "a.mp3", 1); }},
            {"nested folders",
             [&] {
                 roots->GetItem("/music").Connect(everyone);
                 add("/music", "/music/Empty", "", 0).Remove();
                 const ItemPtr vbr = add("/music", "/music", "B.mp3", 5);
                 vbr.Connect(d.GetType("bitrate")->GetItem(211));
                 vbr.Connect(d.GetType("bitrate_mode")->GetItem("vbr"));
                 add("/music", "/music", "a.mp3", 3);
                 add("/music", "/music", "a.mp3", 4);
                 add("/music", "/music/Rock", "song.Mp3", 7)
                     .Connect(d.GetType("bitrate_mode")->GetItem("cbr"));
                 add("/music", "/music/Rock/Live", "Help.MP3", 16680)
                     .Connect(d.GetType("bitrate")->GetItem(128));
                 add("/music", "/music/Rock/Live", "notes.txt", 1);
                 add("/music", "/music/Rock/Live", ".mp3", 2);
             }},
            {"odd names",
             [&] {
                 roots->GetItem("/odd").Connect(everyone);
                 roots->GetItem("/odd2").Connect(d.GetType("shared_userlist")->GetGlobalNullItem());
                 add("/odd", QString::fromUtf8("/odd/Über Straße"),
                     QString::fromUtf8("Ärger – ½.mp3"), 1);
                 add("/odd", "/odd/back", "a\\b.mp3", 2);
                 add("/odd", "/odd/back", std::string("\xff\xfe raw.mp3"), 3);
                 // Two folders that read the same once "/" is "\\": one entry,
                 // and of two equal records the first one made.
                 add("/odd", "/odd/x\\y", "same.mp3", 4).Connect(d.GetType("bitrate")->GetItem(96));
                 add("/odd", "/odd/x/y", "same.mp3", 4);
                 add("/odd", "/odd/x/y", "other.mp3", 5);
                 add("/odd2", "/odd/x/y", "under two roots.mp3", 6);
                 // A name too long to write: the folders after it are left out.
                 add("/odd", "/odd/y", QString(131073, QChar('n')), 7);
                 add("/odd", "/odd/z", "after.mp3", 8);
             }},
            {"many folders", [&] { ShareMany("/many", 3000, 10); }}};
        for (const auto& shape : shapes) {
            shape.second();
            const QByteArray expected = ExpectedList("bob");
            peer.SendMessage(PeerMessenger::PM_SHARED_FILE_LIST_REQUEST);
            QVERIFY2(ListOn(peer) == expected, shape.first);
            TouchIndex();
            QVERIFY2(Body(manager->GetSharedFilesMessage("bob"),
                          PeerMessenger::PM_SHARED_FILE_LIST) == expected,
                     shape.first);
        }
    }

    // A list that finds no room under the cap on output waiting for peers
    // is kept and goes once there is room, without being asked for again.
    void shareListWaitsForRoom() {
        QVERIFY(Listen());
        RawPeer alice, bob;
        QVERIFY(ConnectAsPeer(alice, "alice") && ConnectAsPeer(bob, "bob"));
        ShareMany("/many", 3000, 10);
        const QByteArray expected = ExpectedList("alice");
        QCOMPARE(ExpectedList("bob"), expected);
        manager->OnSharedFileListRequested("alice");
        QCOMPARE(ListOn(alice), expected);
        // Room for one list: bob's finds alice's still waiting in our output.
        messenger->SetMaxWaitingOutput(qint64(expected.size()) * 3 / 2);
        manager->OnSharedFileListRequested("alice");
        manager->OnSharedFileListRequested("bob");
        QVERIFY(messenger->AnswerWaiting("alice", PeerMessenger::PM_SHARED_FILE_LIST));
        QVERIFY(!messenger->AnswerWaiting("bob", PeerMessenger::PM_SHARED_FILE_LIST));
        QCOMPARE(ListOn(alice), expected);
        QCOMPARE(ListOn(bob), expected);
        messenger->SetMaxWaitingOutput(PeerLimits::kMaxWaitingOutputTotal);
    }

    // An answer that finds no room under the cap on output waiting for
    // peers is kept, not dropped, and goes once there is room without being
    // asked for again: a share list, a folder answer made at once and one
    // made off the main thread.
    void answersWithoutRoomAreKept_data() {
        QTest::addColumn<quint32>("code");
        QTest::addColumn<int>("files");
        QTest::newRow("share list") << quint32(PeerMessenger::PM_SHARED_FILE_LIST) << 30;
        QTest::newRow("small folder") << quint32(PeerMessenger::PM_SHARED_FILES_IN_FOLDER) << 30;
        QTest::newRow("large folder") << quint32(PeerMessenger::PM_SHARED_FILES_IN_FOLDER) << 3000;
    }
    void answersWithoutRoomAreKept() {
        QFETCH(quint32, code);
        QFETCH(int, files);
        QVERIFY(Listen());
        ShareMany("/room", files, files);
        const QString folder = Wire("/room/000");
        // Nothing gets stuck meanwhile: the deaf peer keeps what it holds.
        messenger->SetClock([] { return qint64(0); });
        HerAddress("deaf");
        std::unique_ptr<QTcpSocket> deaf = DeafPeer("deaf", messenger->ListeningPort());
        RawPeer bob;
        QVERIFY(deaf && ConnectAsPeer(bob, "bob"));
        QTRY_VERIFY_WITH_TIMEOUT(messenger->IsMessaging("deaf"), kWait);
        MemStream held;
        held.Write(quint32(PeerMessenger::PM_USER_INFO_REPLY));
        held.WriteBuffer(QByteArray(4 << 20, 'h').constData(), 4 << 20);
        messenger->SendMessage("deaf", held);
        messenger->SetMaxWaitingOutput(1);
        const qint64 refused = messenger->AnswersRefusedRoom();
        if (code == PeerMessenger::PM_SHARED_FILE_LIST)
            bob.SendMessage(PeerMessenger::PM_SHARED_FILE_LIST_REQUEST);
        else
            bob.SendMessage(PeerMessenger::PM_GET_SHARED_FILES_IN_FOLDER,
                            Payload().U32(7).Str(folder));
        QTRY_VERIFY_WITH_TIMEOUT(messenger->AnswersRefusedRoom() > refused, kWait);
        quint32 got = 0;
        QByteArray payload;
        QVERIFY(!bob.WaitForMessage(&got, &payload, 0));
        messenger->SetMaxWaitingOutput(PeerLimits::kMaxWaitingOutputTotal);
        MemStream expected;
        if (code == PeerMessenger::PM_SHARED_FILE_LIST)
            expected = manager->GetSharedFilesMessage("bob");
        else
            QVERIFY(manager->BuildFolderContentsAnswer("bob", 7, folder, expected));
        QCOMPARE(bob.Take(code), Body(expected, code));
    }

    void shareListRequestsDuringABuild() {
        QVERIFY(Listen());
        RawPeer alice, bob, carol;
        QVERIFY(ConnectAsPeer(alice, "alice") && ConnectAsPeer(bob, "bob") &&
                ConnectAsPeer(carol, "carol"));
        // Copied in several steps.
        ShareMany("/m", 6000, 100);
        const ItemSet early =
            d.GetType("shared_file_folder")->HasItem("/m/000").GetItems("shared_file");

        // Two requests while one list is made: both get it.
        const QByteArray full = ExpectedList("alice");
        manager->OnSharedFileListRequested("alice");
        manager->OnSharedFileListRequested("bob");
        QCOMPARE(ListOn(alice), full);
        QCOMPARE(ListOn(bob), full);

        // A file copied already goes: the copy starts over, and the list
        // never shows it.
        TouchIndex();
        manager->OnSharedFileListRequested("alice");
        early.First().Remove();
        const QByteArray shorter = ExpectedList("alice");
        QVERIFY(shorter != full);
        QCOMPARE(ListOn(alice), shorter);

        // An attribute of a file copied already changes: the list made
        // meanwhile goes out but is not kept, so the next one has it.
        TouchIndex();
        manager->OnSharedFileListRequested("bob");
        early.Items()[1].Connect(d.GetType("bitrate")->GetItem(320));
        QCOMPARE(ListOn(bob), shorter);
        const QByteArray withBitrate = ExpectedList("bob");
        QVERIFY(withBitrate != shorter);
        manager->OnSharedFileListRequested("bob");
        QCOMPARE(ListOn(bob), withBitrate);

        // A peer gone before its list is made; the others still get theirs.
        TouchIndex();
        manager->OnSharedFileListRequested("carol");
        manager->OnSharedFileListRequested("bob");
        carol.Abort();
        QCOMPARE(ListOn(bob), withBitrate);

        // Unshared while the list is made: gets what an unshared user sees.
        TouchIndex();
        manager->OnSharedFileListRequested("alice");
        Unshare("alice");
        const QByteArray none = ExpectedList("alice");
        QVERIFY(none != withBitrate);
        QCOMPARE(ListOn(alice), none);
    }

    void shareListShutdownDuringABuild_data() {
        QTest::addColumn<bool>("copying");
        QTest::newRow("while copying") << true;
        QTest::newRow("while compressing") << false;
    }
    void shareListShutdownDuringABuild() {
        QFETCH(bool, copying);
        QVERIFY(Listen());
        RawPeer alice;
        QVERIFY(ConnectAsPeer(alice, "alice"));
        if (copying) {
            ShareMany("/m", 5000, 100);
        } else {
            // Few files with long names: copied at once, compressed slowly.
            QRandomGenerator random(34);
            QString name(100000, Qt::Uninitialized);
            for (int k = 0; k < 100; ++k) {
                for (QChar& c : name)
                    c = QChar('a' + int(random.bounded(26)));
                AddEntry("/m/f", name, k)["shared_file_folder"].Connect(
                    d.GetType("shared_folder")->GetItem("/m"));
            }
            d.GetType("shared_folder")
                ->HasItem("/m")
                .Connect(d.GetType("shared_public")->GetGlobalNullItem());
        }
        manager->OnSharedFileListRequested("alice");
        manager.reset();
        QCoreApplication::processEvents();
        QCOMPARE(alice.BytesAvailable(), qint64(0));
    }

    void visibility() {
        // Roots: public, user list, group g1, group g2, none, and a folder
        // under both a root shared with nobody and a public root.
        Type* roots = d.GetType("shared_folder");
        std::map<QString, ItemPtr> files;
        for (const char* name : {"pub", "list", "g1", "g2", "none", "out", "out/in"}) {
            files[name] = AddEntry(QString("/v/") + name, "f", 1);
            files[name]["shared_file_folder"].Connect(roots->GetItem(QString("/v/") + name));
        }
        files["out/in"]["shared_file_folder"].Connect(roots->HasItem("/v/out"));
        roots->HasItem("/v/pub").Connect(d.GetType("shared_public")->GetGlobalNullItem());
        roots->HasItem("/v/out/in").Connect(d.GetType("shared_public")->GetGlobalNullItem());
        roots->HasItem("/v/list").Connect(d.GetType("shared_userlist")->GetGlobalNullItem());
        for (const char* group : {"g1", "g2"})
            roots->HasItem(QString("/v/") + group)
                .Connect(d.GetType("user_list_group")->GetItem(group));
        ListUser("listed");
        ListUser("in g1", {"g1"});
        ListUser("in g3", {"g3"});
        ListUser("banned", {"g1"});
        Unshare("banned");
        d.GetType("user")->GetItem("known");
        const std::vector<std::pair<QString, QStringList>> table = {
            {"stranger", {"/v/out/in", "/v/pub"}},
            {"known", {"/v/out/in", "/v/pub"}},
            {"listed", {"/v/list", "/v/out/in", "/v/pub"}},
            {"in g1", {"/v/g1", "/v/list", "/v/out/in", "/v/pub"}},
            {"in g3", {"/v/list", "/v/out/in", "/v/pub"}},
            {"banned", {}}};
        for (const auto& row : table) {
            QCOMPARE(Values(manager->GetUserSharedFolders(row.first)), row.second);
            // A stranger under the name gets a stranger's.
            QCOMPARE(Values(manager->GetUserSharedFolders(row.first, false)),
                     row.second.isEmpty() ? row.second : table.front().second);
            QCOMPARE(manager->ShownMoreThanStrangers(row.first), row.second.size() > 2);
            for (const auto& file : files) {
                bool visible = false;
                for (const QString& root :
                     Values(file.second["shared_file_folder"].GetItems("shared_folder")))
                    visible = visible || row.second.contains(root);
                QVERIFY2(manager->IsFileSharedWithUser(file.second, row.first) == visible,
                         qPrintable(row.first + " / " + file.first));
            }
        }
        QVERIFY(d.GetType("user")->HasItem("stranger").IsNull());
    }

    void unsharedByAddressAndBrowseCache() {
        manager->Init();
        QVERIFY(WaitForMerge());
        Type* users = d.GetType("user");
        Type* addresses = d.GetType("user_address");
        Unshare("A");
        users->GetItem("A").Connect(addresses->GetItem(quint32(0x0A000001)));
        const ItemPtr b = users->GetItem("B");
        b.Connect(addresses->GetItem(quint32(0x0A000002)));
        QVERIFY(!b.IsConnected("unshared") && !manager->IsUserAddressUnshared("B"));
        b.Connect(addresses->GetItem(quint32(0x0A000001)));
        QVERIFY(b.IsConnected("unshared") && manager->IsUserAddressUnshared("B"));
        const ItemPtr c = users->GetItem("C");

        // The browse cache of one user goes, and only it.
        const ItemPtr kept = AddEntry("/m", "keep.mp3", 1);
        kept["shared_file_folder"].Connect(d.GetType("shared_folder")->GetItem("/m"));
        const ItemPtr folder = d.GetType("user_share_folder")->NewItem();
        c.NewItem("user_share").Connect(folder);
        folder.NewItem("user_share_file")
            .Connect(d.GetType("user_share_file_name")->GetItem("x.mp3"));
        manager->RemoveUserShare("C");
        QCOMPARE(Count("user_share") + Count("user_share_folder") + Count("user_share_file"), 0);
        QVERIFY(d.GetType("user_share_file_name")->HasItem("x.mp3").IsNull() && !kept.IsRemoved());
    }

    // A user who asks for the share list again and again and never reads
    // gets one list made and waiting, not one per request; one who reads
    // gets every list asked for.
    void shareListAskedForAndNeverRead() {
        QVERIFY(Listen());
        // Long names that do not compress: the list is more than the system
        // buffers on both sides for a reader that takes nothing.
        const ItemPtr root = d.GetType("shared_folder")->GetItem("/noise");
        root.Connect(d.GetType("shared_public")->GetGlobalNullItem());
        QRandomGenerator random(36);
        QString name(100000, Qt::Uninitialized);
        for (int k = 0; k < 90; ++k) {
            for (QChar& c : name)
                c = QChar('a' + int(random.bounded(26)));
            AddEntry("/noise/f", name, k)["shared_file_folder"].Connect(root);
        }
        const QByteArray deafList = ExpectedList("deaf");
        const qint64 listBytes = deafList.size();
        QVERIFY(listBytes > 5000000);
        if (SystemSendBufferMax() > listBytes - (512 << 10))
            QSKIP("the system buffers more than the list sent to a peer that never reads");
        HerAddress("deaf");
        std::unique_ptr<QTcpSocket> deaf = DeafPeer("deaf", messenger->ListeningPort());
        QVERIFY(deaf);
        const QByteArray ask = RawPeer::Frame(PeerMessenger::PM_SHARED_FILE_LIST_REQUEST);
        deaf->write(ask);
        QTRY_VERIFY_WITH_TIMEOUT(
            messenger->AnswerWaiting("deaf", PeerMessenger::PM_SHARED_FILE_LIST), kWait);
        const qint64 dropped = manager->DroppedPeerRequests();
        for (int k = 1; k <= 6; ++k) {
            deaf->write(ask);
            QTRY_COMPARE_WITH_TIMEOUT(manager->DroppedPeerRequests(), dropped + k, kWait);
        }
        QVERIFY2(messenger->WaitingOutput() < 2 * listBytes,
                 qPrintable(QString::number(messenger->WaitingOutput())));
        // Asked again and again by one who reads, the list comes each time.
        RawPeer reader;
        QVERIFY(ConnectAsPeer(reader, "reader"));
        const QByteArray expected = ExpectedList("reader");
        for (int k = 0; k < 3; ++k) {
            reader.SendMessage(PeerMessenger::PM_SHARED_FILE_LIST_REQUEST);
            QCOMPARE(ListOn(reader), expected);
        }
        QCOMPARE(manager->DroppedPeerRequests(), dropped + 6);
        // Reading at last, slowly, the one who never read gets the one list.
        deaf->setReadBufferSize(0);
        QByteArray got;
        const qint64 frame = 8 + listBytes;
        QVERIFY(RawPeer::WaitUntil(
            [&] {
                got += deaf->readAll();
                return got.size() >= frame;
            },
            kWait));
        QVERIFY(got.mid(8, int(listBytes)) == deafList);
    }

    // Folder requests past a user's budget wait their turn: a client that
    // asks for 300 folders at once (a folder download) gets every answer,
    // the budget's burst at once; another user is answered meanwhile.
    void folderRequestFloodAndAnHonestUser() {
        ShareMany("/many", 3000, 10);
        qint64 clockMs = 0;
        messenger->SetClock([&clockMs] { return clockMs; });
        RawPeer flood, alice;
        QVERIFY(IndexAndConnect(flood) && ConnectAsPeer(alice, "alice"));
        const qint64 dropped = messenger->DroppedRequests();
        const auto request = [](quint32 req, int folder) {
            return RawPeer::Frame(
                PeerMessenger::PM_GET_SHARED_FILES_IN_FOLDER,
                Payload().U32(req).Str(QString("\\many\\%1").arg(folder, 3, 10, QChar('0'))));
        };
        const auto reqOf = [](const QByteArray& answer) {
            QByteArray payload;
            quint32 req = 0;
            MemStream in(InflateBounded(answer.constData(), answer.size(),
                                        PeerLimits::kMaxInflatedSize, payload)
                             ? payload
                             : QByteArray());
            return in.Read(req) ? qint64(req) : qint64(-1);
        };
        QByteArray burst;
        for (int k = 0; k < 300; ++k)
            burst += request(quint32(k), k);
        flood.SendRaw(burst);
        alice.SendRaw(request(1000, 7));
        QCOMPARE(reqOf(alice.Take(PeerMessenger::PM_SHARED_FILES_IN_FOLDER)), qint64(1000));
        int burstSize = 0;
        for (const PeerLimits::RequestBudget& budget : PeerLimits::kRequestBudgets)
            if (budget.code == PeerMessenger::PM_GET_SHARED_FILES_IN_FOLDER)
                burstSize = budget.burst;
        for (int k = 0; k < burstSize; ++k)
            QCOMPARE(reqOf(flood.Take(PeerMessenger::PM_SHARED_FILES_IN_FOLDER)), qint64(k));
        // The rest as the budget refills, in the order asked.
        for (int k = burstSize; k < 300; ++k) {
            clockMs += 100;
            messenger->CheckDeadlines();
            QCOMPARE(reqOf(flood.Take(PeerMessenger::PM_SHARED_FILES_IN_FOLDER)), qint64(k));
        }
        QCOMPARE(messenger->DroppedRequests(), dropped);
        // The same folder under two numbers, in one write: two answers.
        alice.SendRaw(request(1, 1) + request(2, 1));
        QCOMPARE(reqOf(alice.Take(PeerMessenger::PM_SHARED_FILES_IN_FOLDER)), qint64(1));
        QCOMPARE(reqOf(alice.Take(PeerMessenger::PM_SHARED_FILES_IN_FOLDER)), qint64(2));
        // Three on an obfuscated connection, each frame with a key of its own.
        RawPeer olga;
        QVERIFY(olga.ConnectTo(messenger->ObfuscatedListeningPort(), true));
        olga.SendSetUp("olga", "P");
        QVERIFY(SyncPeer(olga));
        for (quint32 req = 1; req <= 3; ++req)
            olga.SendMessage(PeerMessenger::PM_GET_SHARED_FILES_IN_FOLDER, request(req, 1).mid(8));
        for (qint64 req = 1; req <= 3; ++req)
            QCOMPARE(reqOf(olga.Take(PeerMessenger::PM_SHARED_FILES_IN_FOLDER)), req);
        QCOMPARE(manager->DroppedPeerRequests(), qint64(0));
    }

    // After a rescan adds a file to an earlier folder, the share list holds
    // it and every later folder's files, made at once and for a peer.
    void shareListAfterAFileJoinsAnEarlierFolder() {
        MakeShares();
        QVERIFY(Write(P("Music/c.mp3"), "1234") && Rescan());
        const QStringList list = ShareList("bob");
        for (const char* record : {"c.mp3 4 mp3", "Beatles Live.mp3 7 mp3", "notes.txt 1"})
            QVERIFY2(list.contains(record), qPrintable(list.join('\n')));
        const QByteArray expected = ExpectedList("bob");
        QCOMPARE(Body(manager->GetSharedFilesMessage("bob"), PeerMessenger::PM_SHARED_FILE_LIST),
                 expected);
        QVERIFY(Listen());
        RawPeer peer;
        QVERIFY(ConnectAsPeer(peer, "bob"));
        peer.SendMessage(PeerMessenger::PM_SHARED_FILE_LIST_REQUEST);
        QVERIFY(ListOn(peer) == expected);
    }
};

QTEST_GUILESS_MAIN(TestSharedFolders)
#include "test_shared_folders.moc"
