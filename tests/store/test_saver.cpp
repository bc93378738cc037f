// Saving and loading the store: round trips, damaged and odd files, crash
// and full-disk safety, pruning, and hostile files fed to the parser.

#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <QDateTime>
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <numeric>
#include <set>
#include <string>
#include <vector>

#include "store/Data.h"
#include "store/DataSaver.h"
#include "store/Log.h"
#include "store/Parallel.h"
#include "store/PlainFile.h"
#include "store/Settings.h"
#include "store/Temporaries.h"
#include "support/FifoWatch.h"
#include "support/Fuzz.h"
#include "support/LargestAllocation.h"
#include "support/LocklessDisk.h"
#include "support/TestFiles.h"

namespace {

#ifdef TAVENOOK_ASAN  // ASan brings its own allocator: nothing is recorded
std::atomic<bool> g_tracking{false};
std::atomic<std::size_t> g_largestAllocation{0};
#endif

QStringList Names(const QString& folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                  QDir::NoDotAndDotDot);
}

QByteArray WithCrc(QByteArray body) {
    const uLong crc =
        crc32(0L, reinterpret_cast<const Bytef*>(body.constData()), uInt(body.size()));
    for (int k = 0; k < 4; ++k)
        body.append(char((crc >> (8 * k)) & 0xFF));
    return body;
}

// The documented layout's pieces, for files the writer never makes.
const QByteArray kHeader("TVNKSTOR\x01\x00\x00\x00", 12);
QByteArray Varints(std::initializer_list<std::uint64_t> values) {
    QByteArray out;
    for (std::uint64_t v : values) {
        for (; v >= 0x80; v >>= 7)
            out.append(char((v & 0x7F) | 0x80));
        out.append(char(v));
    }
    return out;
}

// A hand-made store file. Items are "type=value", "type*" (the flag item),
// "type-" (valueless) or "type!kind"; links are "a-b".
QByteArray File(const std::vector<std::string>& types, const QString& items, const QString& links) {
    QByteArray out = kHeader;
    auto varint = [&](std::uint64_t v) { out.append(Varints({v})); };
    auto str = [&](const QByteArray& s) {
        varint(std::uint64_t(s.size()));
        out.append(s);
    };
    varint(types.size());
    for (const std::string& t : types)
        str(QByteArray::fromStdString(t));
    const QStringList itemList = items.split(' ', Qt::SkipEmptyParts);
    varint(std::uint64_t(itemList.size()));
    for (const QString& item : itemList) {
        const int at = item.indexOf(QRegularExpression("[=*!-]"));
        varint(item.left(at).toULongLong());
        const QChar mark = item[at];
        out.append(char(mark == '='   ? 0
                        : mark == '-' ? 1
                        : mark == '*' ? 2
                                      : item.mid(at + 1).toInt()));
        if (mark == '=')
            str(item.mid(at + 1).toUtf8());
    }
    const QStringList linkList = links.split(' ', Qt::SkipEmptyParts);
    varint(std::uint64_t(linkList.size()));
    for (const QString& link : linkList)
        for (const QString& end : link.split('-'))
            varint(end.toULongLong());
    return WithCrc(out + "TEND");
}

bool Parses(const QByteArray& bytes) {
    StagedStore staged;
    return DataSaver::ParseStore(bytes, staged, nullptr);
}

// A store declared as a client declares it. The by-connection chain of the
// shared files is registered leaf first, so only a fixpoint saves it whole.
void DeclareClient(DataSaver* saver) {
    DeclareSettingsTypes(saver);
    // Name and primacy (0 root, 1 intermediate, 2 leaf); "*" marks a valueless type.
    for (const QString& t : QString("shared_folder:0 shared_file_folder:1 shared_file:1* "
                                    "shared_file_name:1 is_scanned:2* user:0 in_user_list:1* "
                                    "user_list_group:2 user_note:2 search_results_widget:0")
                                .split(' ')) {
        const bool valueless = t.endsWith('*');
        d.NewType(t.section(':', 0, 0).toStdString(), Primacy(t.section(':', 1).left(1).toInt()),
                  valueless, !valueless);
    }
    // "a b xy": x a-items per b-item, y b-items per a-item (1 or M); "!": a owns b.
    for (const QString& r :
         QString("shared_folder shared_file_folder 1M!,shared_file_folder shared_file 1M!,"
                 "shared_file shared_file_name M1,shared_folder is_scanned M1,"
                 "user in_user_list 11,in_user_list user_list_group MM,user user_note M1,"
                 "search_results_widget user MM")
             .split(',')) {
        const QStringList f = r.split(' ');
        d.GetType(f[0].toStdString())
            ->RelateToType(d.GetType(f[1].toStdString()), f[2][0] == '1' ? One : Many,
                           f[2][1] == '1' ? One : Many, f[2].endsWith('!'));
    }
    if (!saver)
        return;
    for (const char* type : {"shared_folder", "is_scanned", "in_user_list", "user_note"})
        saver->AddSavedType(type);
    for (const QString& rule :
         QString("shared_file_name<shared_file shared_file<shared_file_folder "
                 "shared_file_folder<shared_folder user<in_user_list "
                 "user<user_note user_list_group<in_user_list")
             .split(' '))
        saver->AddSavedByConnectionType(rule.section('<', 0, 0).toStdString(),
                                        rule.section('<', 1).toStdString());
}

// A file entry in a folder, as the index holds it.
ItemPtr AddFileTo(const ItemPtr& folder, const std::string& name) {
    const ItemPtr file = folder.Connect(d.GetType("shared_file")->NewItem());
    file.Connect(d.GetType("shared_file_name")->GetItem(name));
    return file;
}

const std::string kNonUtf8("\xff\xfe caf\xe9 \x80", 10);

// Fills the store; returns the items that must be saved.
std::set<Item*> Populate(int extraUsers = 0) {
    std::set<Item*> saved;
    auto keep = [&saved](const ItemPtr& x) {
        saved.insert(x.GetItemObject());
        return x;
    };
    SetSetting("username", "alice");
    SetSetting("empty_setting", "");
    SetSetting("latin1_setting", kNonUtf8);
    SetSettingYes("flag_a", true);
    SetSettingYes("flag_b", true);  // shares the "yes" item with flag_a
    for (const char* key : {"username", "empty_setting", "latin1_setting", "flag_a", "flag_b"})
        keep(keep(GetSettingItem(key))["global_value"]);
    SetRuntimeSetting("finish_uploads_and_quit", "yes");  // never saved
    ItemPtr music = keep(d.GetType("shared_folder")->GetItem("/music"));
    keep(music.NewItem("is_scanned"));  // the type's shared flag item
    ItemPtr sub = keep(music.Connect(d.GetType("shared_file_folder")->GetItem("/music/a")));
    for (const std::string& name : {std::string("song.mp3"), kNonUtf8, std::string("a\0b", 3)})
        keep(keep(AddFileTo(sub, name))["shared_file_name"]);
    // A folder entry no shared folder holds: nothing below it is saved.
    AddFileTo(d.GetType("shared_file_folder")->GetItem("/orphan"), "orphan-only.txt");
    Type* users = d.GetType("user");
    keep(keep(keep(users->GetItem("bob")).NewItem("in_user_list"))
             .Connect(d.GetType("user_list_group")->GetItem("friends")));
    keep(keep(users->GetItem(kNonUtf8)).Connect(d.GetType("user_note")->GetItem("")));
    for (int k = -1; k < extraUsers; ++k)
        keep(keep(users->GetItem(k < 0 ? "carol" : "user" + std::to_string(k)))
                 .NewItem("in_user_list"));
    d.GetType("search_results_widget")->GetItem(quint64(123456)).Connect(users->GetItem("mallory"));
    return saved;
}

// Every item (kept by the filter) as its type, value or flag/valueless mark and
// its partners', as a sorted multiset: valueless items differ only by links.
std::vector<std::string> Signatures(const std::function<bool(const ItemPtr&)>& keep = nullptr) {
    auto label = [](const ItemPtr& x) {
        return x.GetType()->GetName() + ":" +
               (x.GetItemObject()->IsGlobalNull() ? "*"
                : x.GetItemObject()->IsValueless()
                    ? "-"
                    : QByteArray::fromStdString(x.AsStdString()).toHex().toStdString());
    };
    std::vector<std::string> out;
    for (Type* t : d.TypesInOrder())
        for (const ItemPtr& x : t->GetItems()) {
            TypeItemsMap links;
            x.GetConnectedItems(links);
            std::vector<std::string> partners;
            for (auto it = links.Begin(); it != links.End(); ++it)
                for (const ItemPtr& y : it.Set())
                    if (!keep || keep(y))
                        partners.push_back(" " + label(y));
            std::sort(partners.begin(), partners.end());
            if (!keep || keep(x))
                out.push_back(std::accumulate(partners.begin(), partners.end(), label(x) + " ->"));
        }
    std::sort(out.begin(), out.end());
    return out;
}

// Hears the load, and the store's events while it runs.
class Recorder : public DataHandler, public DataLoadedEventHandler {
public:
    void DataLoaded() override { calls << "DataLoaded:" + GetSetting("username"); }
    void NoData() override { calls << "NoData"; }
    void Watch() {
        d.GetType("shared_folder")->NewItemEvent().Insert(ItemHandler(this, &Recorder::OnEvent));
        auto* listed = new PathNode(&d, "user");
        new PathNode(listed, "in_user_list", PathConnecting);
        d.AddPathEventHandler(listed, ItemHandler(this, &Recorder::OnEvent));
        auto* name = new PathNode(GetSettingItem("username"));
        new PathNode(name, "global_value", PathConnectedWatched);
        d.AddPathEventHandler(name, ItemHandler(this, &Recorder::OnEvent));
    }
    void OnEvent(ItemPtr x) { events << QString::fromStdString(x.AsStdString()); }
    QStringList calls, events;
};

// No "one" end holds more than one partner, whatever a file said.
bool ArityHolds() {
    for (Type* t : d.TypesInOrder()) {
        std::map<Type*, RelationInfo> related;
        t->GetRelatedTypes(related);
        for (const auto& rel : related)
            for (const ItemPtr& x : t->GetItems())
                if (rel.second.otherPerThis == One &&
                    x.CountItems(rel.first->GetName().c_str()) > 1)
                    return false;
    }
    return true;
}

// Bytes of address space this process has mapped.
std::size_t AddressSpaceInUse() {
    QFile statm("/proc/self/statm");
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    return statm.readAll().split(' ').value(0).toULongLong() * std::size_t(sysconf(_SC_PAGESIZE));
}

// The address space a new thread's stack takes.
std::size_t ThreadStackSize() {
    pthread_attr_t attr;
    std::size_t size = 0;
    pthread_attr_init(&attr);
    pthread_attr_getstacksize(&attr, &size);
    pthread_attr_destroy(&attr);
    return size;
}

// What `work` says when run in a child process whose writes past `limit`
// bytes of a file fail (EFBIG) instead of ending it.
QString UnderFileSizeLimit(rlim_t limit, const std::function<QString()>& work) {
    int out[2];
    if (::pipe(out) != 0)
        return "no pipe";
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(out[0]);
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit size{};
        ::getrlimit(RLIMIT_FSIZE, &size);
        size.rlim_cur = limit;
        ::setrlimit(RLIMIT_FSIZE, &size);
        const QByteArray said = work().toUtf8();
        const bool whole =
            ::write(out[1], said.constData(), std::size_t(said.size())) == ssize_t(said.size());
        ::_exit(whole ? 0 : 1);
    }
    ::close(out[1]);
    QByteArray said;
    char buffer[4096];
    for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) != 0;)
        if (n > 0)
            said.append(buffer, int(n));
        else if (errno != EINTR)
            break;
    ::close(out[0]);
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
        return "the child failed: " + QString::fromUtf8(said);
    return QString::fromUtf8(said);
}

// Parses, recording the largest single allocation made.
bool TrackedParse(const QByteArray& bytes, StagedStore& out, std::size_t* largest) {
    bool ok = false;
    *largest = LargestAllocation([&] { ok = DataSaver::ParseStore(bytes, out, nullptr); });
    return ok;
}

}  // namespace

class TestSaver : public QObject, public LogSink {
    Q_OBJECT

public:
    void Log(const QString& area, int, const QString& text, const ItemPtr&) override {
        if (area == "Configuration Data")
            m_log << text;
    }

private slots:
    void init() {
        d.Reset();
        SetLogSink(this);
        m_log.clear();
        m_dir = std::make_unique<QTemporaryDir>();
        m_prefix = m_dir->filePath(".Tavenook");
    }
    void cleanup() {
        parallel::g_startsLeft = -1;
        SetLogSink(nullptr);
        m_saver.reset();
        d.Reset();
    }

    void roundTrip() {
        DataSaver& saver = Fresh();
        // A rule between unrelated types is accepted and saves nothing.
        saver.AddSavedByConnectionType("search_results_widget", "shared_file_name");
        const std::set<Item*> saved = Populate();
        const auto before =
            Signatures([&](const ItemPtr& x) { return saved.count(x.GetItemObject()); });
        QVERIFY(saver.Save(m_prefix));
        for (int round = 0; round < 2; ++round) {
            Recorder recorder;
            QCOMPARE(Reload(&recorder), QString());
            QCOMPARE(Signatures(), before);
            // Saved flag items come back as the type's own shared item.
            QVERIFY(d.GetType("shared_folder")->HasItem("/music")["is_scanned"] ==
                    d.GetType("is_scanned")->GetGlobalNullItem());
            // Handlers ran during the load; listeners heard once, with the data in place.
            recorder.events.sort();
            QCOMPARE(recorder.events, QStringList({"/music", "bob", "carol", "username"}));
            QCOMPARE(recorder.calls, QStringList{"DataLoaded:alice"});
            QVERIFY(m_saver->Save(m_prefix));  // what was loaded saves the same again
        }
    }

    void loadReplacesDefaultsWhileHandlersMeddle() {
        Fresh();
        Populate();
        QVERIFY(m_saver->Save(m_prefix));
        DataSaver& saver = Fresh();
        SetSettingDefault("username", "default-user");
        SetSettingYes("flag_a", false);
        SetSettingDefault("listening_port", "2234");
        ItemPtr scannedBefore = d.GetType("is_scanned")->GetGlobalNullItem();
        // Handlers that remove what is being loaded.
        struct Meddler : DataHandler {
            void OnNewUser(ItemPtr user) {
                if (user.AsStdString() == "carol")
                    user.Remove();
            }
            void OnListed(ConnectionInfo& info) {
                if (info.from.AsStdString() == "bob")
                    info.to.Remove();
            }
        } meddler;
        d.GetType("user")->NewItemEvent().Insert(
            meddler.ItemHandler(&meddler, &Meddler::OnNewUser));
        d.AddConnectionEventHandler(d.GetType("user"), d.GetType("in_user_list"),
                                    meddler.ConnectionHandler(&meddler, &Meddler::OnListed));
        saver.Load(m_prefix);
        QVERIFY(GetSetting("username") == "alice" && IsSettingYes("flag_a"));
        QVERIFY(GetSettingItem("username").GetItems("global_value").Size() == 1);
        QCOMPARE(GetSetting("listening_port"), QString("2234"));
        QVERIFY(d.GetType("is_scanned")->GetGlobalNullItem() == scannedBefore);
        QVERIFY(d.GetType("user")->HasItem("carol").IsNull());
        QVERIFY(!d.GetType("user")->HasItem("bob").IsConnected("in_user_list"));
    }

    void listeners() {
        struct Killer : DataLoadedEventHandler {
            DataLoadedEventHandler* victim = nullptr;
            int calls = 0;
            void DataLoaded() override {
                ++calls;
                delete std::exchange(victim, nullptr);
            }
        };
        // No file: DataLoaded then NoData; a listener added twice hears once, a
        // destroyed one not at all, nor one destroyed by another during the call.
        DataSaver& saver = Fresh();
        Recorder twice;
        auto* gone = new Recorder;
        Killer killer, after;
        killer.victim = new Recorder;
        for (DataLoadedEventHandler* h : std::vector<DataLoadedEventHandler*>{
                 &twice, gone, &twice, &killer, killer.victim, &after})
            saver.AddDataLoadedEventHandler(h);
        delete gone;
        saver.Load(m_dir->filePath("missing/.Tavenook"));
        QCOMPARE(twice.calls, QStringList({"DataLoaded:", "NoData"}));
        QVERIFY(killer.calls == 1 && after.calls == 1);
    }

    void layoutOfAWrittenFile() {
        // The writer's bytes are the documented layout: two saved items, linked.
        DataSaver& saver = Fresh();
        saver.AddSavedType("user");
        d.GetType("user")->GetItem("bob").Connect(d.GetType("user_note")->GetItem("hi"));
        QVERIFY(saver.Save(m_prefix));
        QCOMPARE(ReadFile(DataSaver::StoreFiles(m_prefix).value(0)),
                 File({"user", "user_note"}, "0=bob 1=hi", "0-1"));

        // A store large enough to be gathered and written in stretches on
        // several threads gives the same layout: items in identity order, every link once from
        // its lower index, the checksum over the whole. An orphan folder's
        // entries between them are left out.
        Fresh();
        const int files = 100001;
        const ItemPtr root = d.GetType("shared_folder")->GetItem("/r");
        AddFileTo(d.GetType("shared_file_folder")->GetItem("/orphan"), "lost");
        const ItemPtr folder = root.Connect(d.GetType("shared_file_folder")->GetItem("/r/f"));
        QString items = "0=/r 1=/r/f", links = "0-1";
        for (int k = 0; k < files; ++k) {
            AddFileTo(folder, "n" + std::to_string(k));
            items += QString(" 2- 3=n%1").arg(k);
            links += QString(" 1-%1").arg(2 + 2 * k);
        }
        for (int k = 0; k < files; ++k)
            links += QString(" %1-%2").arg(2 + 2 * k).arg(3 + 2 * k);
        QVERIFY(m_saver->Save(m_prefix));
        QVERIFY(ReadFile(DataSaver::StoreFiles(m_prefix).value(0)) ==
                File({"shared_folder", "shared_file_folder", "shared_file", "shared_file_name"},
                     items, links));
    }

    void unreadableNewestFile_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("special");
        const QByteArray newer = SavedBytes(4);
        const QByteArray body = newer.left(newer.size() - 4);
        for (int n :
             {0, 7, 12, 19, int(newer.size() / 2), int(newer.size() - 5), int(newer.size() - 1)})
            QTest::addRow("truncated to %d", n) << newer.left(n) << "";
        for (int n :
             {3, 9, 13, int(newer.size() / 2), int(newer.size() - 6), int(newer.size() - 2)})
            QTest::addRow("bit flipped at %d", n)
                << QByteArray(newer).replace(n, 1, QByteArray(1, char(newer[n] ^ 0x10))) << "";
        QTest::newRow("unknown version") << WithCrc(QByteArray(body).replace(8, 1, "\x02")) << "";
        QTest::newRow("no end mark") << WithCrc(body.left(body.size() - 4)) << "";
        QTest::newRow("trailing bytes") << newer + "x"
                                        << "";
        QTest::newRow("trailing bytes inside")
            << WithCrc(body.left(body.size() - 4) + QByteArray("\0TEND", 5)) << "";
        QTest::newRow("text") << QByteArray("username=alice\n") << "";
        QTest::newRow("NUL in a type name")
            << File({std::string("user\0junk", 9)}, "0=mallory", "") << "";
        QTest::newRow("type index out of range") << File({"user"}, "1=x", "") << "";
        QTest::newRow("link index out of range") << File({"user"}, "0=x", "0-1") << "";
        QTest::newRow("item linked to itself") << File({"user"}, "0=x", "0-0") << "";
        QTest::newRow("unknown kind") << File({"user"}, "0!7", "") << "";
        QTest::newRow("pipe named like a store file") << QByteArray() << "fifo";
        QTest::newRow("folder named like a store file") << QByteArray() << "folder";
    }

    void unreadableNewestFile() {
        // The older file loads, nothing of the newer one reaches the store, and
        // the newer one is set aside, also when it is no file at all.
        QFETCH(QByteArray, bytes);
        QFETCH(QString, special);
        const QByteArray older = SavedBytes(2);
        const QString newest = m_prefix + ".2000";
        QVERIFY(Write(m_prefix + ".1000", older));
        if (special == "fifo")
            QCOMPARE(::mkfifo(QFile::encodeName(newest).constData(), 0600), 0);
        else
            QVERIFY(special == "folder" ? QDir().mkdir(newest) : Write(newest, bytes));
        QVERIFY(!special.isEmpty() || !Parses(bytes));
        Recorder recorder;
        QCOMPARE(Reload(&recorder), QString());
        QCOMPARE(recorder.calls, QStringList{"DataLoaded:alice"});
        QCOMPARE(GetSetting("generation"), QString("2"));
        QVERIFY(d.GetType("user")->HasItem("user3").IsNull() &&
                d.GetType("user")->HasItem("mallory").IsNull());
        QCOMPARE(ReadFile(m_prefix + ".1000"), older);
        QVERIFY(!QFileInfo::exists(newest) && QFileInfo::exists(newest + ".unreadable"));
        QVERIFY(!m_log.filter(".2000").isEmpty());
        if (special.isEmpty())
            QCOMPARE(ReadFile(newest + ".unreadable"), bytes);
    }

    void wellFormedOddContent() {
        // A good checksum around what the writer never makes: one value twice,
        // one link twice, a "one" end offered two partners, two flag items, an
        // item of the wrong kind, a type this run lacks, a link between types it
        // does not relate.
        Type* user = d.NewType("user", PrimacyRoot, false, true);
        Type* status = d.NewType("status", PrimacyLeaf, false, true);
        Type* flag = d.NewType("flag", PrimacyLeaf, true, false);
        Type* peer = d.NewType("peer", PrimacyRoot, false, true);
        user->RelateToType(status, Many, One, false);
        user->RelateToType(flag, Many, One, false);
        peer->RelateToType(peer, Many, Many, false);
        DataSaver saver;
        for (const char* saved : {"user", "status", "flag", "peer"})
            saver.AddSavedType(saved);
        StagedStore staged;
        QVERIFY(DataSaver::ParseStore(
            File({"user", "status", "flag", "peer", "user", "gone_type"},
                 "0=bob 4=bob 1=online 1=away 2* 2* 2=x 1- 3=p 3=p 3=q 5=ghost",
                 "0-2 1-2 0-3 4-0 5-1 6-0 7-0 8-9 8-10 9-10 11-0 8-0"),
            staged, nullptr));
        saver.Apply(staged);
        QCOMPARE(m_log.filter("gone_type").size(), 1);
        ItemPtr bob = user->HasItem("bob"), p = peer->HasItem("p");
        QVERIFY(user->ItemCount() == 1 && status->ItemCount() == 2 && flag->ItemCount() == 1);
        QVERIFY(bob.GetItems("status").Size() == 1 && bob["status"].AsStdString() == "away");
        QVERIFY(bob["flag"] == flag->GetGlobalNullItem() && !p.IsConnected(bob));
        QVERIFY(p.IsConnected(peer->HasItem("q")) && p.GetItems("peer").Size() == 1);
        QVERIFY(Parses(File({}, "", "")));
    }

    // A dump of the whole store read as a store: what no save writes (here
    // the search widget's address item) is dropped and logged, the rest loads.
    void dumpLoadsSavedTypesOnly() {
        Fresh();
        Populate();
        QVERIFY(m_saver->SaveAll(m_prefix + ".5"));
        QCOMPARE(Reload(), QString());
        QCOMPARE(d.GetType("search_results_widget")->ItemCount(), 0);
        QCOMPARE(m_log.filter("search_results_widget").size(), 1);
        QCOMPARE(GetSetting("username"), QString("alice"));
        QVERIFY(d.GetType("shared_folder")->HasItem("/music").IsConnected("is_scanned"));
        QVERIFY(d.GetType("user")->HasItem("bob").IsConnected("in_user_list"));
    }

    void everyFileUnreadable() {
        const QByteArray good = SavedBytes(0);
        QByteArray flipped = good;
        flipped[good.size() / 2] = char(flipped[good.size() / 2] ^ 0x10);
        QVERIFY(Write(m_prefix + ".100", good.left(good.size() - 1)));
        QVERIFY(Write(m_prefix + ".200", flipped) && Write(m_prefix + ".300", QByteArray()));
        QVERIFY(Write(m_prefix + ".100.unreadable", "an older casualty"));
        // The defaults stay, listeners hear of no data, the caller of a failure.
        DataSaver& saver = Fresh();
        SetSettingDefault("listening_port", "2234");
        Recorder recorder;
        saver.AddDataLoadedEventHandler(&recorder);
        QVERIFY_EXCEPTION_THROWN(saver.Load(m_prefix), DataLoadFailure);
        QCOMPARE(recorder.calls, QStringList({"DataLoaded:", "NoData"}));
        QVERIFY(GetSetting("listening_port") == "2234" && m_log.size() == 3);
        // Every file is set aside, none overwritten, and later saves prune none.
        QVERIFY(DataSaver::StoreFiles(m_prefix).isEmpty());
        QCOMPARE(ReadFile(m_prefix + ".100.unreadable"), QByteArray("an older casualty"));
        QCOMPARE(ReadFile(m_prefix + ".100.unreadable1"), good.left(good.size() - 1));
        QCOMPARE(ReadFile(m_prefix + ".200.unreadable"), flipped);
        const QStringList aside = Names(m_dir->path());
        for (int k = 0; k < 5; ++k)
            QVERIFY(saver.Save(m_prefix));
        const QStringList after = Names(m_dir->path());
        QCOMPARE(after.size(), aside.size() + 3);
        for (const QString& name : aside)
            QVERIFY2(after.contains(name), qPrintable(name));
        QCOMPARE(Reload(), QString());
        QCOMPARE(GetSetting("listening_port"), QString("2234"));
    }

    void namingAndPruning() {
        auto number = [&](const QString& path) { return QFileInfo(path).suffix().toULongLong(); };
        DataSaver& saver = Fresh();
        Populate();
        const QStringList strangers{".Tavenook.123.unreadable",
                                    ".Tavenook.abc",
                                    ".TavenookX.5",
                                    ".Tavenook.",
                                    ".Tavenook.12a",
                                    "other.5",
                                    ".Tavenook",
                                    ".Tavenook.-5",
                                    ".Tavenook. 5",
                                    ".Tavenook.5 "};
        for (const QString& name : strangers)
            QVERIFY(Write(m_dir->filePath(name), "stranger"));
        QVERIFY(Write(m_prefix + ".7.tmp", "left by a crash"));
        for (int n : {90, 100, 800, 900, 1000})  // numbers, not text, give the order
            QVERIFY(Write(m_prefix + "." + QString::number(n), "old"));
        const mode_t oldMask = ::umask(0);
        const qint64 start = QDateTime::currentMSecsSinceEpoch();
        const bool saved = saver.Save(m_prefix);
        ::umask(oldMask);
        QVERIFY(saved);
        const QStringList files = DataSaver::StoreFiles(m_prefix);
        QCOMPARE(files.mid(1), QStringList({m_prefix + ".1000", m_prefix + ".900"}));
        QVERIFY(number(files[0]) >= quint64(start) && Parses(ReadFile(files[0])));
        struct stat st;
        QVERIFY(::stat(QFile::encodeName(files[0]).constData(), &st) == 0 &&
                (st.st_mode & 07777) == 0600);
        for (const QString& name : strangers)
            QCOMPARE(ReadFile(m_dir->filePath(name)), QByteArray("stranger"));
        QCOMPARE(Names(m_dir->path()).size(), strangers.size() + 3);  // and no temporary file
        // Saves in one millisecond each make their own file; a file from a clock
        // ten years ahead and a folder at the next number are stepped over.
        const quint64 future = quint64(start) + 10ull * 365 * 24 * 3600 * 1000;
        QVERIFY(Write(m_prefix + "." + QString::number(future), "future"));
        QVERIFY(QDir().mkdir(m_prefix + "." + QString::number(future + 1)));
        QStringList made;
        for (int k = 0; k < 4; ++k) {
            SetSetting("generation", k);
            QVERIFY(saver.Save(m_prefix));
            made.prepend(DataSaver::StoreFiles(m_prefix).value(0));
        }
        QVERIFY(number(made[3]) > future + 1 && DataSaver::StoreFiles(m_prefix) == made.mid(0, 3));
        QCOMPARE(Reload(), QString());
        QCOMPARE(GetSetting("generation"), QString("3"));
    }

    void failedSaveLeavesFilesAlone() {
        DataSaver& saver = Fresh();
        Populate();
        QVERIFY(!saver.Save(m_dir->filePath("no/such/folder/.Tavenook")));
        QVERIFY(m_log.size() == 1 && Names(m_dir->path()).isEmpty());
        // The write fails after the number was chosen: nothing is pruned.
        const quint64 future = quint64(QDateTime::currentMSecsSinceEpoch()) + 3600ull * 1000;
        const QStringList old{".Tavenook.1", ".Tavenook.2", ".Tavenook.3",
                              ".Tavenook." + QString::number(future)};
        for (const QString& name : old)
            QVERIFY(Write(m_dir->filePath(name), name.toUtf8()));
        saver.LimitFolderSpace(1);
        QVERIFY(!saver.Save(m_prefix) && m_log.last().startsWith("Saving failed: cannot write"));
        for (const QString& name : old)
            QCOMPARE(ReadFile(m_dir->filePath(name)), name.toUtf8());
        QCOMPARE(Names(m_dir->path()).size(), old.size());
    }

    // What is no plain file at a store name goes aside at the load, named in
    // the log, and nothing at a temporary's name stops a save: a folder
    // there is set aside, a FIFO, link or socket removed like a stale
    // temporary of ours.
    void nonPlainFilesAtStoreNames_data() {
        QTest::addColumn<QString>("where");  // newest, next temporary, old temporary
        QTest::addColumn<QString>("what");   // fifo, folder, socket, dangling link
        for (const char* what : {"fifo", "folder", "socket", "dangling link"}) {
            QTest::newRow(qPrintable(QString("%1 as the newest store file").arg(what)))
                << "newest" << what;
            QTest::newRow(qPrintable(QString("%1 at an old temporary").arg(what)))
                << "old temporary" << what;
        }
        QTest::newRow("folder at the next temporary") << "next temporary"
                                                      << "folder";
    }
    void nonPlainFilesAtStoreNames() {
        QFETCH(QString, where);
        QFETCH(QString, what);
        const quint64 ahead = quint64(QDateTime::currentMSecsSinceEpoch()) + 3600ull * 1000;
        QVERIFY(Write(m_prefix + "." + QString::number(ahead), SavedBytes(0)));
        const QString path = where == "newest" ? m_prefix + "." + QString::number(ahead + 5)
                             : where == "next temporary"
                                 ? m_prefix + "." + QString::number(ahead + 1) + ".tmp"
                                 : m_prefix + ".12.tmp";
        const QByteArray native = QFile::encodeName(path);
        if (what == "fifo") {
            QVERIFY(::mkfifo(native.constData(), 0600) == 0);
        } else if (what == "folder") {
            QVERIFY(QDir().mkpath(path + "/inside") && Write(path + "/inside/kept", "kept"));
        } else if (what == "socket") {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            QVERIFY(fd >= 0 && std::size_t(native.size()) < sizeof address.sun_path);
            std::memcpy(address.sun_path, native.constData(), std::size_t(native.size()));
            QVERIFY(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0);
            ::close(fd);
        } else {
            QVERIFY(::symlink("absent", native.constData()) == 0);
        }
        FifoWatch watch(what == "fifo" ? path : QString());
        if (where == "newest") {
            QCOMPARE(Reload(), QString());
            QCOMPARE(GetSetting("generation"), QString("0"));
            QVERIFY2(m_log.filter("Could not load " + path).size() == 1,
                     qPrintable(m_log.join('\n')));
            QVERIFY(QFileInfo(path + ".unreadable").exists() ||
                    QFileInfo(path + ".unreadable").isSymLink());
        } else {
            DataSaver& saver = Fresh();
            Populate();
            SetSetting("generation", "new");
            QVERIFY2(saver.Save(m_prefix), qPrintable(m_log.join('\n')));
            QCOMPARE(Reload(), QString());
            QCOMPARE(GetSetting("generation"), QString("new"));
            if (what == "folder")
                QCOMPARE(ReadFile(path + ".aside/inside/kept"), QByteArray("kept"));
        }
        QVERIFY2(!watch.Freed(), "an open waited on the FIFO");
        QVERIFY(!QFileInfo(path).exists() && !QFileInfo(path).isSymLink());
    }

    void diskNearlyFull() {
        // Three good saves, a file set aside by an earlier load, and a disk with
        // room for the new file only once older saves are gone (or not even then).
        for (const bool fits : {true, false}) {
            init();
            DataSaver& saver = Fresh();
            Populate();
            for (int k = 0; k < 3; ++k) {
                SetSetting("generation", k);
                QVERIFY(saver.Save(m_prefix));
            }
            QVERIFY(Write(m_prefix + ".5.unreadable", QByteArray(300, 'u')));
            const QStringList three = DataSaver::StoreFiles(m_prefix);
            const QByteArray newest = ReadFile(three.value(0));
            SetSetting("generation", "new");
            QTemporaryDir scratch;
            QVERIFY(saver.Save(scratch.filePath("s")));
            qint64 space = QFileInfo(DataSaver::StoreFiles(scratch.filePath("s"))[0]).size();
            for (const QFileInfo& info :
                 QDir(m_dir->path()).entryInfoList(QDir::Files | QDir::Hidden))
                space += info.size();
            saver.LimitFolderSpace(space - QFileInfo(three[1]).size() - QFileInfo(three[2]).size() -
                                   (fits ? 0 : 1));
            QCOMPARE(saver.Save(m_prefix), fits);
            saver.LimitFolderSpace(-1);
            QVERIFY(!m_log.isEmpty());
            QVERIFY(ReadFile(three[0]) == newest &&
                    ReadFile(m_prefix + ".5.unreadable") == QByteArray(300, 'u'));
            const QStringList files = DataSaver::StoreFiles(m_prefix);
            QCOMPARE(files.mid(fits ? 1 : 0), QStringList{three[0]});
            QCOMPARE(Names(m_dir->path()).size(), files.size() + 1);  // no half-written file
            QCOMPARE(Reload(), QString());
            QCOMPARE(GetSetting("generation"), QString(fits ? "new" : "2"));
        }
    }

    // Whatever stands where the saver reads, writes or sets a file aside (a
    // FIFO, a link to a user's file, a link to where none is yet) is neither
    // waited on nor read or written through: a save or dump goes into a new
    // file of its own, a load passes over it to the next store file, and the
    // user's files stay as they were.
    void foreignFilesAtStorePaths_data() {
        QTest::addColumn<QString>("where");  // temporary, new file, newest, aside, dump
        QTest::addColumn<QString>("what");   // fifo, link, dangling link
        QTest::newRow("FIFO at the temporary") << "temporary"
                                               << "fifo";
        QTest::newRow("link at the temporary") << "temporary"
                                               << "link";
        QTest::newRow("dangling link at the temporary") << "temporary"
                                                        << "dangling link";
        QTest::newRow("link at the new file's name") << "new file"
                                                     << "link";
        QTest::newRow("FIFO as the newest store file") << "newest"
                                                       << "fifo";
        QTest::newRow("link as the newest store file") << "newest"
                                                       << "link";
        QTest::newRow("dangling link where a file goes aside") << "aside"
                                                               << "dangling link";
        QTest::newRow("link at the dump") << "dump"
                                          << "link";
        QTest::newRow("FIFO at the dump") << "dump"
                                          << "fifo";
    }
    void foreignFilesAtStorePaths() {
        QFETCH(QString, where);
        QFETCH(QString, what);
        // A store file numbered ahead of the clock, so the next save's names are known.
        const quint64 ahead = quint64(QDateTime::currentMSecsSinceEpoch()) + 3600ull * 1000;
        QVERIFY(Write(m_prefix + "." + QString::number(ahead), SavedBytes(0)));
        const QString next = m_prefix + "." + QString::number(ahead + 1);
        const QString userFile = m_dir->filePath("notes.txt");
        const QByteArray words = "the user's own words";
        QVERIFY(Write(userFile, words));
        const QString absent = m_dir->filePath("new notes.txt");
        const QString path = where == "temporary" ? next + ".tmp"
                             : where == "aside"   ? next + ".unreadable"
                             : where == "dump"    ? m_dir->filePath("dump")
                                                  : next;
        if (where == "aside")
            QVERIFY(Write(next, "not a store file"));
        if (what == "fifo")
            QVERIFY(mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
        else
            QVERIFY(symlink(QFile::encodeName(what == "link" ? userFile : absent).constData(),
                            QFile::encodeName(path).constData()) == 0);
        FifoWatch watch(what == "fifo" ? path : QString());
        m_log.clear();
        if (where == "newest" || where == "aside") {
            QCOMPARE(Reload(), QString());
            QCOMPARE(GetSetting("generation"), QString("0"));
            if (what == "link")
                QVERIFY2(m_log.filter("a link stands there").size() == 1,
                         qPrintable(m_log.join('\n')));
        } else {
            DataSaver& saver = Fresh();
            Populate();
            SetSetting("generation", "new");
            if (where == "dump") {
                QVERIFY(saver.SaveAll(path));
                StagedStore staged;
                QVERIFY(!QFileInfo(path).isSymLink() &&
                        DataSaver::ParseStore(ReadFile(path), staged, nullptr));
            } else {
                QVERIFY2(saver.Save(m_prefix), qPrintable(m_log.join('\n')));
                QCOMPARE(Reload(), QString());
                QCOMPARE(GetSetting("generation"), QString("new"));
            }
        }
        QVERIFY2(!watch.Freed(), "an open waited on the FIFO");
        QCOMPARE(ReadFile(userFile), words);
        QVERIFY(!QFileInfo(absent).exists() && !QFileInfo(absent).isSymLink());
        if (where == "temporary")
            QVERIFY(!QFileInfo(path).exists() && !QFileInfo(path).isSymLink());
    }

    // The first write that runs out of room says why in the system's words,
    // as the later ones do: not Qt's "Unknown error" for a write that got part
    // of its bytes out. A file size limit makes the writes fail (EFBIG) as a
    // full disk would; it binds a whole process, so each row runs in a child.
    void writeFailureGivesSystemReason_data() {
        QTest::addColumn<QString>("writer");
        QTest::newRow("store save") << "save";
        QTest::newRow("unbuffered write") << "unbuffered";
        QTest::newRow("buffered write larger than the buffer") << "buffered";
        QTest::newRow("flush of a buffered write") << "flush";
    }
    void writeFailureGivesSystemReason() {
        QFETCH(QString, writer);
        const QString path = m_dir->filePath("written");
        const QString said = UnderFileSizeLimit(512, [&]() -> QString {
            if (writer == "save") {
                DataSaver& saver = Fresh();
                Populate(100);  // well past the limit
                return saver.Save(m_prefix) ? "saved" : m_log.value(0);
            }
            QFile file(path);
            QString why;
            const QByteArray bytes(writer == "buffered" ? 1 << 20 : 2000, 'x');
            if (!file.open(writer == "unbuffered" ? QIODevice::WriteOnly | QIODevice::Unbuffered
                                                  : QIODevice::WriteOnly))
                return "not opened";
            if (!WriteOut(file, bytes.constData(), bytes.size(), &why))
                return why;
            return WriteOut(file, nullptr, 0, &why) ? "written" : why;
        });
        QVERIFY2(said.endsWith(std::strerror(EFBIG)), qPrintable(said));
    }

    // A dump over an existing file replaces it only with a whole new one:
    // a dump that runs out of room, or whose sync or close fails (and so a
    // store save there, which keeps the old store), keeps the old file and
    // leaves no temporary; one that works
    // replaces it. A folder at the chosen name is refused, named. Another
    // dump's sweep of the folder just before the rename leaves the
    // temporary: it is still held. A disk whose locks fail, whatever the
    // answer, or that offers no sync takes the dump all the same.
    void dumpOverAnExistingFile_data() {
        QTest::addColumn<QString>("room");
        QTest::addColumn<int>("lockError");  // 0: locks work
        QTest::addColumn<int>("syncError");  // 0: syncs work
        QTest::newRow("no room") << "no room" << 0 << 0;
        QTest::newRow("room") << "room" << 0 << 0;
        QTest::newRow("room, a sweep before the rename") << "swept" << 0 << 0;
        QTest::newRow("a folder there") << "folder" << 0 << 0;
        QTest::newRow("a disk whose locks fail") << "room" << ENOLCK << 0;
        QTest::newRow("locks answer EOPNOTSUPP, no sync") << "room" << EOPNOTSUPP << EINVAL;
        QTest::newRow("no room on a disk whose locks fail") << "no room" << ENOLCK << 0;
        QTest::newRow("sync fails: EIO") << "sync fails" << 0 << EIO;
        QTest::newRow("sync fails: ENOSPC") << "sync fails" << 0 << ENOSPC;
        QTest::newRow("sync fails: EDQUOT") << "sync fails" << 0 << EDQUOT;
        QTest::newRow("no sync offered, close fails: EIO") << "close fails" << 0 << EINVAL;
    }
    void dumpOverAnExistingFile() {
        QFETCH(QString, room);
        QFETCH(int, lockError);
        QFETCH(int, syncError);
        const QString path = m_dir->filePath("dump.txt");
        const QByteArray old = "the user's earlier dump";
        if (room == "folder")
            QVERIFY(QDir().mkpath(path + "/inside") && Write(path + "/inside/kept", old));
        else
            QVERIFY(Write(path, old));
        const bool full = room == "no room";
        const QString said = UnderFileSizeLimit(full ? 512 : RLIM_INFINITY, [&] {
            if ((lockError || syncError) && !DiskRefuses(lockError, syncError))
                return QString("no filter");
            DataSaver& saver = Fresh();
            Populate(100);
            QStringList stores;  // the old store stays
            if (room == "close fails" &&
                (!saver.Save(m_prefix) || (stores = DataSaver::StoreFiles(m_prefix)).isEmpty()))
                return QString("no store");
            const DiskFailsClose closes(room == "close fails" ? m_dir->path() : QString(), EIO);
            if (room.endsWith("fails") &&
                (saver.Save(m_prefix) || DataSaver::StoreFiles(m_prefix) != stores))
                return QString("store saved");
            if (room == "swept")
                SetBeforeTemporaryRename([this](const QString&) {
                    RemoveTemporaryLeftovers(m_dir->path(), QStringLiteral("dump"));
                });
            const bool dumped = saver.SaveAll(path);
            SetBeforeTemporaryRename(nullptr);
            return dumped ? QString("dumped") : saver.LastFailure();
        });
        if (room == "room" || room == "swept") {
            StagedStore staged;
            QVERIFY2(said == "dumped" && DataSaver::ParseStore(ReadFile(path), staged, nullptr),
                     qPrintable(said));
        } else if (room == "folder") {
            QVERIFY2(said.contains(path) && said.endsWith(std::strerror(EISDIR)), qPrintable(said));
            QCOMPARE(ReadFile(path + "/inside/kept"), old);
        } else {
            const int error = room == "close fails" ? EIO : full ? EFBIG : syncError;
            QVERIFY2(said.contains(".tavenook-dump-") && said.endsWith(std::strerror(error)),
                     qPrintable(said));
            QCOMPARE(ReadFile(path), old);
        }
        QStringList names = Names(m_dir->path());
        names.removeOne(QFileInfo(DataSaver::StoreFiles(m_prefix).value(0)).fileName());
        QCOMPARE(names, QStringList{"dump.txt"});
    }

    void largeStoreWhenThreadsFail_data() {
        QTest::addColumn<int>("starts");     // helper threads that may start; -1: all
        QTest::addColumn<QString>("limit");  // what else fails
        QTest::newRow("every thread starts") << -1 << QString();
        QTest::newRow("one helper starts") << 1 << QString();
        QTest::newRow("no helper starts") << 0 << QString();
        QTest::newRow("helpers out of memory") << -1 << QString("helper memory");
        QTest::newRow("address space for one more stack") << -1 << QString("address space");
    }
    void largeStoreWhenThreadsFail() {
        // Large enough that the saved items are gathered and written on
        // several threads.
        QFETCH(int, starts);
        QFETCH(QString, limit);
        if (limit == "address space" && qEnvironmentVariableIsEmpty("TAVENOOK_TEST_CHILD")) {
#ifdef TAVENOOK_ASAN
            QSKIP("ASan maps address space of its own and aborts when it runs out");
#endif
            // A real limit binds the whole process: the row runs in a child.
            QProcess child;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("TAVENOOK_TEST_CHILD", "1");
            child.setProcessEnvironment(env);
            child.setProcessChannelMode(QProcess::MergedChannels);
            child.start(QCoreApplication::applicationFilePath(),
                        {QString("largeStoreWhenThreadsFail:") + QTest::currentDataTag()});
            QVERIFY(child.waitForFinished(120000));
            const QByteArray output = child.readAll();
            QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0,
                     output.constData());
            return;
        }
        DataSaver& saver = Fresh();
        std::set<Item*> saved = Populate(100000);
        // On this thread only, so that no helper's stack is kept for the next.
        parallel::g_startsLeft = 0;
        QVERIFY(saver.Save(m_prefix));
        const QString previous = DataSaver::StoreFiles(m_prefix).value(0);
        const QByteArray previousBytes = ReadFile(previous);
        SetSetting("generation", "new");
        for (const ItemPtr& x :
             {GetSettingItem("generation"), GetSettingItem("generation")["global_value"]})
            saved.insert(x.GetItemObject());
        const auto before =
            Signatures([&](const ItemPtr& x) { return saved.count(x.GetItemObject()); });
        parallel::g_startsLeft = starts;
        bool ok = false, failing = false;
        if (limit == "helper memory") {
            failing = WithOtherThreadsOutOfMemory([&] {
                ok = saver.Save(m_prefix);
                QVERIFY(!saver.SaveAll(m_dir->filePath("dump")));
            });
        } else if (limit == "address space") {
            rlimit old{};
            QVERIFY(getrlimit(RLIMIT_AS, &old) == 0);
            rlimit tight = old;
            tight.rlim_cur = AddressSpaceInUse() + ThreadStackSize() * 3 / 2;
            if (tight.rlim_cur > old.rlim_max)
                QSKIP("the address space is limited below that already");
            QVERIFY(setrlimit(RLIMIT_AS, &tight) == 0);
            ok = saver.Save(m_prefix);
            setrlimit(RLIMIT_AS, &old);
            failing = !ok;
            qInfo("%s", ok ? "saved" : "failed");
        }
        if (!failing)
            ok = saver.Save(m_prefix);
        parallel::g_startsLeft = -1;
        if (limit == "helper memory" && !failing)
            QSKIP("allocations cannot be made to fail under ASan");
        QCOMPARE(ok, !failing);
        QStringList log;
        if (failing)
            log << "Saving failed: out of memory";
        if (limit == "helper memory")
            log << "Dump failed: out of memory";
        QCOMPARE(m_log, log);
        QCOMPARE(ReadFile(previous), previousBytes);
        QCOMPARE(Names(m_dir->path()).size(), failing ? 1 : 2);
        // A failed save leaves nothing behind that would spoil the next one.
        if (failing)
            QVERIFY(saver.Save(m_prefix));
        QCOMPARE(Reload(), QString());
        QCOMPARE(Signatures(), before);
    }

    void hugeCountsAllocateNothing() {
        // Each count or length made huge, with a few bytes or a few KiB behind it.
        // The fields: type count, name length, name "u", item count, type, kind
        // valued, value length; or no types, no items, link count.
        for (std::uint64_t huge :
             {std::uint64_t(1) << 40, std::uint64_t(0xFFFFFFFF), ~std::uint64_t(0)})
            for (int padding : {0, 16, 4096}) {
                const QByteArray pad = QByteArray(padding, '\0') + "TEND";
                for (const QByteArray& fields :
                     {Varints({huge}), Varints({1, huge}), Varints({1, 1, 'u', huge}),
                      Varints({1, 1, 'u', 1, 0, 0, huge}), Varints({0, 0, huge})}) {
                    const QByteArray file = WithCrc(kHeader + fields + pad);
                    StagedStore staged;
                    std::size_t largest = 0;
                    QVERIFY(!TrackedParse(file, staged, &largest));
                    QVERIFY2(largest <= std::size_t(file.size()) * 8 + 4096,
                             qPrintable(QString::number(largest)));
                }
            }
    }

    void mutatedFiles() {
        const std::vector<QByteArray> seeds{SavedBytes(1), SavedBytes(3), SavedBytes(12)};
        fuzz::Rng rng(0x5A7E5702);
        Fresh();
        int accepted = 0, rejected = 0;
        for (int iteration = 0; iteration < 30000; ++iteration) {
            const QByteArray& seed = seeds[std::size_t(iteration) % seeds.size()];
            QByteArray body = seed.left(seed.size() - 4);
            for (int r = 1 + fuzz::Below(rng, 3); r > 0; --r)
                body = fuzz::Mutate(rng, body);
            // Mostly a good checksum, so that the structure checks must hold alone.
            const QByteArray file = iteration % 5 ? WithCrc(body) : body + seed.right(4);
            StagedStore staged;
            std::size_t largest = 0;
            if (TrackedParse(file, staged, &largest)) {
                ++accepted;
                m_saver->Apply(staged);  // out-of-range indices would fault here
            } else {
                ++rejected;
            }
            QVERIFY2(largest <= std::size_t(file.size()) * 64 + (1u << 16),
                     qPrintable(QString::number(largest)));
            if (iteration % 1000 == 999) {
                QVERIFY(ArityHolds());
                Fresh();
            }
        }
        QVERIFY(accepted > 1000 && rejected > 1000);
    }

private:
    // A new store and saver, declared as the client declares them.
    DataSaver& Fresh() {
        m_saver.reset();
        d.Reset();
        m_saver = std::make_unique<DataSaver>();
        DeclareClient(m_saver.get());
        return *m_saver;
    }
    // Loads the test's files into a fresh store; the failure reason, or empty.
    QString Reload(Recorder* recorder = nullptr) {
        DataSaver& saver = Fresh();
        if (recorder) {
            recorder->Watch();
            saver.AddDataLoadedEventHandler(recorder);
        }
        try {
            saver.Load(m_prefix);
        } catch (const DataLoadFailure& failure) {
            return failure.Reason();
        }
        return QString();
    }
    // The bytes of one save of a populated store.
    QByteArray SavedBytes(int extraUsers) {
        DataSaver& saver = Fresh();
        Populate(extraUsers);
        SetSetting("generation", extraUsers);
        QTemporaryDir dir;
        return saver.Save(dir.filePath("s"))
                   ? ReadFile(DataSaver::StoreFiles(dir.filePath("s")).value(0))
                   : QByteArray();
    }

    std::unique_ptr<DataSaver> m_saver;
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_prefix;
    QStringList m_log;
};

QTEST_GUILESS_MAIN(TestSaver)
#include "test_saver.moc"
