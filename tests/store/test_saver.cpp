#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>
#include <algorithm>
#include <atomic>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "store/Data.h"
#include "store/DataSaver.h"
#include "store/Log.h"
#include "store/Settings.h"

namespace {

// ---------------------------------------------------------------------------
// Helpers

class LogCapture : public LogSink {
public:
    LogCapture() { SetLogSink(this); }
    ~LogCapture() override { SetLogSink(nullptr); }
    void Log(const QString& area, int, const QString& text, const ItemPtr&) override {
        entries << area + ": " + text;
    }
    bool Has(const QString& area) const {
        for (const QString& e : entries)
            if (e.startsWith(area + ": "))
                return true;
        return false;
    }
    QStringList entries;
};

QByteArray ReadFile(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.readAll();
}

void WriteFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    QVERIFY2(f.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    QCOMPARE(f.write(bytes), qint64(bytes.size()));
}

// Replaces the checksum so that a changed body passes it.
QByteArray WithCrc(QByteArray body) {
    const uLong crc = crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(body.constData()),
                            uInt(body.size()));
    for (int k = 0; k < 4; ++k)
        body.append(char((crc >> (8 * k)) & 0xFF));
    return body;
}

QByteArray WithoutCrc(const QByteArray& file) {
    return file.left(file.size() - 4);
}

std::uint64_t NumberOf(const QString& path, const QString& prefix) {
    const QString base = QFileInfo(prefix).fileName() + ".";
    const QString name = QFileInfo(path).fileName();
    if (!name.startsWith(base))
        return 0;
    bool ok = false;
    const std::uint64_t n = name.mid(base.size()).toULongLong(&ok);
    return ok ? n : 0;
}

QStringList Names(const QString& folder) {
    QStringList names = QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                               QDir::NoDotAndDotDot);
    names.sort();
    return names;
}

// An item described by what survives a save: its type and value, or whether it
// is a type's shared flag item.
std::string Label(const ItemPtr& x) {
    std::string label = x.GetType()->GetName() + ":";
    if (x.GetItemObject()->IsGlobalNull())
        return label + "*";
    if (x.GetItemObject()->IsValueless())
        return label + "-";
    return label + QByteArray::fromStdString(x.AsStdString()).toHex().toStdString();
}

// Every item as its label plus its partners' labels. Valueless items are told
// apart only by their links, so the whole is compared as a sorted multiset.
std::vector<std::string> Signatures(const std::function<bool(const ItemPtr&)>& keep) {
    std::vector<std::string> out;
    for (Type* t : d.TypesInOrder()) {
        for (const ItemPtr& x : t->GetItems()) {
            if (!keep(x))
                continue;
            TypeItemsMap links;
            x.GetConnectedItems(links);
            std::vector<std::string> partners;
            for (auto it = links.Begin(); it != links.End(); ++it)
                for (const ItemPtr& y : it.Set())
                    if (keep(y))
                        partners.push_back(Label(y));
            std::sort(partners.begin(), partners.end());
            std::string sig = Label(x) + " ->";
            for (const std::string& p : partners)
                sig += " " + p;
            out.push_back(sig);
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::string> AllSignatures() {
    return Signatures([](const ItemPtr&) { return true; });
}

// ---------------------------------------------------------------------------
// A store declared as a client declares it. The by-connection chain of the
// shared files is registered leaf first, so only a fixpoint saves it whole.

void DeclareClient(DataSaver* saver) {
    DeclareSettingsTypes(saver);
    Type* folder = d.NewType("shared_folder", PrimacyRoot, false, true);
    Type* fileFolder = d.NewType("shared_file_folder", PrimacyIntermediate, false, true);
    Type* file = d.NewType("shared_file", PrimacyIntermediate, true, false);
    Type* name = d.NewType("shared_file_name", PrimacyIntermediate, false, true);
    Type* size = d.NewType("shared_file_size", PrimacyLeaf, false, true);
    Type* scanned = d.NewType("is_scanned", PrimacyLeaf, true, false);
    Type* unshared = d.NewType("unshared", PrimacyLeaf, true, false);
    Type* user = d.NewType("user", PrimacyRoot, false, true);
    Type* inList = d.NewType("in_user_list", PrimacyIntermediate, true, false);
    Type* group = d.NewType("user_list_group", PrimacyLeaf, false, true);
    Type* alert = d.NewType("user_online_alert", PrimacyLeaf, true, false);
    Type* note = d.NewType("user_note", PrimacyLeaf, false, true);
    Type* widget = d.NewType("search_results_widget", PrimacyRoot, false, true);

    folder->RelateToType(fileFolder, One, Many, true);
    fileFolder->RelateToType(file, One, Many, true);
    file->RelateToType(name, Many, One, false);
    file->RelateToType(size, Many, One, false);
    folder->RelateToType(scanned, Many, One, false);
    folder->RelateToType(unshared, Many, One, false);
    user->RelateToType(inList, One, One, false);
    inList->RelateToType(group, Many, Many, false);
    user->RelateToType(alert, Many, One, false);
    user->RelateToType(note, Many, One, false);
    widget->RelateToType(user, Many, Many, false);
    widget->RelateToType(folder, Many, Many, false);

    if (!saver)
        return;
    saver->AddSavedByConnectionType("shared_file_name", "shared_file");
    saver->AddSavedByConnectionType("shared_file_size", "shared_file");
    saver->AddSavedByConnectionType("shared_file", "shared_file_folder");
    saver->AddSavedByConnectionType("shared_file_folder", "shared_folder");
    saver->AddSavedType("shared_folder");
    saver->AddSavedType("is_scanned");
    saver->AddSavedType("unshared");
    saver->AddSavedType("in_user_list");
    saver->AddSavedType("user_online_alert");
    saver->AddSavedType("user_note");
    saver->AddSavedByConnectionType("user", "in_user_list");
    saver->AddSavedByConnectionType("user", "user_online_alert");
    saver->AddSavedByConnectionType("user", "user_note");
    saver->AddSavedByConnectionType("user_list_group", "in_user_list");
}

const std::string kNonUtf8("\xff\xfe caf\xe9 \x80", 10);
const std::string kWithNul("a\0b", 3);

ItemPtr AddFile(const ItemPtr& fileFolder, const std::string& name, const std::string& size) {
    ItemPtr f = d.GetType("shared_file")->NewItem();
    fileFolder.Connect(f);
    f.Connect(d.GetType("shared_file_name")->GetItem(name));
    f.Connect(d.GetType("shared_file_size")->GetItem(size));
    return f;
}

// Fills the store; returns the items that must be saved.
std::set<Item*> Populate() {
    std::set<Item*> saved;
    auto keep = [&saved](const ItemPtr& x) {
        saved.insert(x.GetItemObject());
        return x;
    };
    SetSetting("username", "alice");
    SetSetting("download_folder", "/home/alice/dl");
    SetSetting("empty_setting", "");
    SetSetting("latin1_setting", kNonUtf8);
    SetSettingYes("flag_a", true);
    SetSettingYes("flag_b", true);  // shares the "yes" item with flag_a
    for (const char* key :
         {"username", "download_folder", "empty_setting", "latin1_setting", "flag_a", "flag_b"}) {
        keep(GetSettingItem(key));
        keep(GetSettingValueItem(key));
    }
    SetRuntimeSetting("finish_uploads_and_quit", "yes");  // never saved

    Type* folders = d.GetType("shared_folder");
    Type* fileFolders = d.GetType("shared_file_folder");
    ItemPtr music = keep(folders->GetItem("/music"));
    ItemPtr docs = keep(folders->GetItem("/docs"));
    keep(music.NewItem("is_scanned"));  // the type's shared flag item
    keep(docs.NewItem("unshared"));

    ItemPtr a = keep(music.Connect(fileFolders->GetItem("/music/a")));
    ItemPtr b = keep(music.Connect(fileFolders->GetItem("/music/b")));
    for (const ItemPtr& f : {AddFile(a, "song.mp3", "123"), AddFile(a, kNonUtf8, "0"),
                             AddFile(b, "song.mp3", ""), AddFile(b, kWithNul, "999")}) {
        keep(f);
        keep(f["shared_file_name"]);
        keep(f["shared_file_size"]);
    }
    keep(docs.Connect(fileFolders->GetItem("/docs/empty")));

    // A folder entry no shared folder holds: nothing below it is saved, but
    // a name it shares with a saved file is.
    ItemPtr orphan = fileFolders->GetItem("/orphan");
    AddFile(orphan, "orphan-only.txt", "777777");
    AddFile(orphan, "song.mp3", "123");

    Type* users = d.GetType("user");
    ItemPtr bob = keep(users->GetItem("bob"));
    ItemPtr bobList = keep(bob.NewItem("in_user_list"));
    keep(bobList.Connect(d.GetType("user_list_group")->GetItem("friends")));
    keep(bobList.Connect(d.GetType("user_list_group")->GetItem("work")));
    ItemPtr carol = keep(users->GetItem("carol"));
    ItemPtr carolList = keep(carol.NewItem("in_user_list"));
    carolList.Connect(d.GetType("user_list_group")->GetItem("friends"));
    ItemPtr dave = keep(users->GetItem("dave"));
    keep(dave.NewItem("user_online_alert"));
    ItemPtr eve = keep(users->GetItem(kNonUtf8));
    keep(eve.Connect(d.GetType("user_note")->GetItem("")));
    ItemPtr mallory = users->GetItem("mallory");
    d.GetType("user_list_group")->GetItem("unused group");

    ItemPtr widget = d.GetType("search_results_widget")->GetItem(quint64(123456));
    widget.Connect(bob);
    widget.Connect(mallory);
    widget.Connect(music);
    return saved;
}

void VerifyPopulated() {
    QCOMPARE(GetSetting("username"), QString("alice"));
    QCOMPARE(GetSetting("download_folder"), QString("/home/alice/dl"));
    QVERIFY(HasSetting("empty_setting"));
    QCOMPARE(GetSettingValueItem("empty_setting").AsStdString(), std::string());
    QCOMPARE(GetSettingValueItem("latin1_setting").AsStdString(), kNonUtf8);
    QVERIFY(IsSettingYes("flag_a"));
    QVERIFY(GetSettingValueItem("flag_a") == GetSettingValueItem("flag_b"));
    QVERIFY(!GetRuntimeSettingItem("finish_uploads_and_quit").IsConnected("global_value"));

    Type* scanned = d.GetType("is_scanned");
    QCOMPARE(scanned->ItemCount(), 1);
    ItemPtr music = d.GetType("shared_folder")->HasItem("/music");
    QVERIFY(!music.IsNull());
    QVERIFY(music["is_scanned"] == scanned->GetGlobalNullItem());
    QCOMPARE(scanned->ItemCount(), 1);
    QVERIFY(d.GetType("unshared")->GetGlobalNullItem() ==
            d.GetType("shared_folder")->HasItem("/docs")["unshared"]);
    QCOMPARE(d.GetType("user_online_alert")->ItemCount(), 1);

    QCOMPARE(d.GetType("shared_file")->ItemCount(), 4);
    QCOMPARE(music.GetItems("shared_file_folder").Size(), 2);
    ItemPtr nameWithNul = d.GetType("shared_file_name")->HasItem(kWithNul);
    QVERIFY(!nameWithNul.IsNull());
    QCOMPARE(nameWithNul["shared_file"]["shared_file_size"].AsStdString(), std::string("999"));
    QVERIFY(!d.GetType("shared_file_name")->HasItem(kNonUtf8).IsNull());
    QVERIFY(!d.GetType("shared_file_size")->HasItem("").IsNull());
    QCOMPARE(d.GetType("shared_file_name")->HasItem("song.mp3").GetItems("shared_file").Size(), 2);
    QVERIFY(d.GetType("shared_file_name")->HasItem("orphan-only.txt").IsNull());
    QVERIFY(d.GetType("shared_file_size")->HasItem("777777").IsNull());
    QVERIFY(d.GetType("shared_file_folder")->HasItem("/orphan").IsNull());

    Type* users = d.GetType("user");
    QCOMPARE(users->ItemCount(), 4);
    QVERIFY(users->HasItem("mallory").IsNull());
    QVERIFY(users->HasItem("bob")["in_user_list"] != users->HasItem("carol")["in_user_list"]);
    QCOMPARE(users->HasItem("bob")["in_user_list"].GetItems("user_list_group").Size(), 2);
    QVERIFY(d.GetType("user_list_group")->HasItem("unused group").IsNull());
    QCOMPARE(users->HasItem(kNonUtf8)["user_note"].AsStdString(), std::string());
    QCOMPARE(d.GetType("search_results_widget")->ItemCount(), 0);
}

// Listens to the load and to the store's events while it runs.
class Recorder : public DataHandler, public DataLoadedEventHandler {
public:
    void DataLoaded() override {
        calls.push_back("DataLoaded");
        usernameAtDataLoaded = GetSetting("username");
    }
    void NoData() override { calls.push_back("NoData"); }

    void Watch() {
        d.GetType("shared_folder")
            ->NewItemEvent()
            .Insert(ItemHandler(this, &Recorder::OnNewFolder));
        d.AddConnectionEventHandler(d.GetType("shared_file_folder"), d.GetType("shared_file"),
                                    ConnectionHandler(this, &Recorder::OnFileInFolder));
        auto* listed = new PathNode(&d, "user");
        new PathNode(listed, "in_user_list", PathConnecting);
        d.AddPathEventHandler(listed, ItemHandler(this, &Recorder::OnListed));
        auto* name = new PathNode(GetSettingItem("username"));
        new PathNode(name, "global_value", PathConnectedWatched);
        d.AddPathEventHandler(name, ItemHandler(this, &Recorder::OnUsername));
    }

    void OnNewFolder(ItemPtr folder) { newFolders.push_back(folder.AsStdString()); }
    void OnFileInFolder(ConnectionInfo& info) {
        QCOMPARE(info.from.GetType()->GetName(), std::string("shared_file_folder"));
        ++filesInFolders;
    }
    void OnListed(ItemPtr user) { listed.push_back(user.AsStdString()); }
    void OnUsername(ItemPtr) { usernames.push_back(GetSetting("username")); }

    std::vector<std::string> calls;
    QString usernameAtDataLoaded;
    std::vector<std::string> newFolders;
    int filesInFolders = 0;
    std::vector<std::string> listed;
    QStringList usernames;
};

const std::vector<std::string> kLoaded{"DataLoaded"};
const std::vector<std::string> kNoData{"DataLoaded", "NoData"};

StagedStore Parse(const QByteArray& bytes) {
    StagedStore staged;
    QString error;
    if (!DataSaver::ParseStore(bytes, staged, &error))
        qWarning("ParseStore: %s", qPrintable(error));
    return staged;
}

bool Parses(const QByteArray& bytes) {
    StagedStore staged;
    return DataSaver::ParseStore(bytes, staged, nullptr);
}

}  // namespace

class TestSaver : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void roundTrip();
    void savedSetFollowsChainsInAnyOrder();
    void loadReplacesDefaultsAndKeepsOthers();
    void loadSkipsWhatThisRunDoesNotDeclare();
    void handlersRunDuringLoad();
    void listeners();
    void damagedNewestFileFallsBackToOlder();
    void everyFileUnreadable();
    void unopenableFiles();
    void saveNamesModeAndPruning();
    void saveNeverOverwritesAndSurvivesClockSetBack();
    void failedSaveLeavesFilesAlone();
    void storeFilesOrder();
    void saveAllDumpsEverything();
    void wellFormedButOddFiles();
    void specialFileNamedLikeStoreFile();
    void valueSharedByManyItems();
};

void TestSaver::init() {
    d.Reset();
}

void TestSaver::cleanup() {
    d.Reset();
}

void TestSaver::roundTrip() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString prefix = dir.filePath(".Tavenook");
    std::vector<std::string> before;
    {
        DataSaver saver;
        DeclareClient(&saver);
        const std::set<Item*> saved = Populate();
        before = Signatures([&saved](const ItemPtr& x) { return saved.count(x.GetItemObject()); });
        QVERIFY(saver.Save(prefix));
    }

    const QStringList files = DataSaver::StoreFiles(prefix);
    QCOMPARE(files.size(), 1);

    d.Reset();
    DataSaver saver;
    DeclareClient(&saver);
    Recorder recorder;
    saver.AddDataLoadedEventHandler(&recorder);
    saver.Load(prefix);
    QCOMPARE(recorder.calls, kLoaded);
    QCOMPARE(AllSignatures(), before);
    VerifyPopulated();

    // Saving the loaded store again gives the same store once more.
    QVERIFY(saver.Save(prefix));
    QCOMPARE(DataSaver::StoreFiles(prefix).size(), 2);
    d.Reset();
    DataSaver again;
    DeclareClient(&again);
    again.Load(prefix);
    QCOMPARE(AllSignatures(), before);
    VerifyPopulated();
}

void TestSaver::savedSetFollowsChainsInAnyOrder() {
    QTemporaryDir dir;
    DataSaver saver;
    DeclareClient(&saver);
    // Rules between unrelated types are accepted and save nothing.
    saver.AddSavedByConnectionType("search_results_widget", "shared_file_size");
    saver.AddSavedByConnectionType("user", "in_user_list");  // a repeat
    QVERIFY_EXCEPTION_THROWN(saver.AddSavedByConnectionType("user", "no_such_type"),
                             TypeNotFoundException);
    QVERIFY_EXCEPTION_THROWN(saver.AddSavedType("no_such_type"), TypeNotFoundException);
    const std::set<Item*> saved = Populate();

    const QString prefix = dir.filePath(".Tavenook");
    QVERIFY(saver.Save(prefix));
    const StagedStore staged = Parse(ReadFile(DataSaver::StoreFiles(prefix).value(0)));
    QCOMPARE(staged.items.size(), saved.size());

    std::multiset<std::string> types;
    std::set<std::string> fileNames;
    for (const StagedStore::StagedItem& item : staged.items) {
        types.insert(staged.typeNames.at(item.type));
        if (staged.typeNames.at(item.type) == "shared_file_name")
            fileNames.insert(std::string(staged.bytes.constData() + item.valueOffset,
                                         std::size_t(item.valueSize)));
    }
    QCOMPARE(int(types.count("search_results_widget")), 0);
    QCOMPARE(int(types.count("vglobal")), 0);
    QCOMPARE(int(types.count("shared_file")), 4);
    QCOMPARE(int(types.count("shared_file_folder")), 3);
    QCOMPARE(int(types.count("user")), 4);
    QCOMPARE(int(types.count("user_list_group")), 2);
    QCOMPARE(int(types.count("is_scanned")), 1);
    QCOMPARE(fileNames, (std::set<std::string>{"song.mp3", kNonUtf8, kWithNul}));
    const auto names = staged.typeNames;
    QVERIFY(std::find(names.begin(), names.end(), "search_results_widget") == names.end());

    // Global flag items are marked as such, per-owner ones are not.
    for (const StagedStore::StagedItem& item : staged.items) {
        const std::string& type = staged.typeNames.at(item.type);
        if (type == "is_scanned" || type == "unshared" || type == "user_online_alert")
            QCOMPARE(int(item.kind), int(StagedStore::GlobalNull));
        else if (type == "in_user_list" || type == "shared_file")
            QCOMPARE(int(item.kind), int(StagedStore::Valueless));
        else
            QCOMPARE(int(item.kind), int(StagedStore::Valued));
    }
    // Every link is stored once.
    std::set<std::pair<std::uint32_t, std::uint32_t>> links;
    for (auto link : staged.links)
        QVERIFY(links.insert(std::minmax(link.first, link.second)).second);
}

void TestSaver::loadReplacesDefaultsAndKeepsOthers() {
    QTemporaryDir dir;
    const QString prefix = dir.filePath(".Tavenook");
    {
        DataSaver saver;
        DeclareClient(&saver);
        Populate();
        QVERIFY(saver.Save(prefix));
    }
    d.Reset();
    DataSaver saver;
    DeclareClient(&saver);
    SetSettingDefault("username", "default-user");
    SetSetting("download_folder", "/default/dl");
    SetSettingDefault("listening_port", "2234");
    SetSettingYes("flag_a", false);
    ItemPtr scannedBefore = d.GetType("is_scanned")->GetGlobalNullItem();
    saver.Load(prefix);

    QCOMPARE(GetSetting("username"), QString("alice"));
    QCOMPARE(GetSettingItem("username").GetItems("global_value").Size(), 1);
    QCOMPARE(GetSetting("download_folder"), QString("/home/alice/dl"));
    QVERIFY(IsSettingYes("flag_a"));
    QCOMPARE(GetSetting("listening_port"), QString("2234"));
    // The flag item that existed before the load is the one the file fills.
    QVERIFY(d.GetType("is_scanned")->GetGlobalNullItem() == scannedBefore);
    QCOMPARE(d.GetType("is_scanned")->ItemCount(), 1);
    QVERIFY(d.GetType("shared_folder")->HasItem("/music").IsConnected(scannedBefore));
}

void TestSaver::loadSkipsWhatThisRunDoesNotDeclare() {
    QTemporaryDir dir;
    const QString prefix = dir.filePath(".Tavenook");
    {
        DataSaver saver;
        DeclareClient(&saver);
        Populate();
        QVERIFY(saver.Save(prefix));
    }
    d.Reset();
    // This run knows fewer types; "is_scanned" is not related to folders any
    // more, and "shared_file" now has values.
    DataSaver saver;
    DeclareSettingsTypes(&saver);
    Type* folder = d.NewType("shared_folder", PrimacyRoot, false, true);
    d.NewType("is_scanned", PrimacyLeaf, true, false);
    Type* fileFolder = d.NewType("shared_file_folder", PrimacyIntermediate, false, true);
    Type* file = d.NewType("shared_file", PrimacyIntermediate, false, true);
    folder->RelateToType(fileFolder, One, Many, true);
    fileFolder->RelateToType(file, One, Many, true);
    Recorder recorder;
    saver.AddDataLoadedEventHandler(&recorder);
    saver.Load(prefix);

    QCOMPARE(recorder.calls, kLoaded);
    QCOMPARE(GetSetting("username"), QString("alice"));
    QCOMPARE(GetSettingValueItem("latin1_setting").AsStdString(), kNonUtf8);
    QCOMPARE(folder->ItemCount(), 2);
    QCOMPARE(folder->HasItem("/music").GetItems("shared_file_folder").Size(), 2);
    QCOMPARE(file->ItemCount(), 0);
    QVERIFY(folder->HasItem("/music").IsDisconnectedFromAll() == false);
    QCOMPARE(d.GetType("is_scanned")->ItemCount(), 1);
    QVERIFY(d.GetType("is_scanned")->GetGlobalNullItem().IsDisconnectedFromAll());
}

void TestSaver::handlersRunDuringLoad() {
    QTemporaryDir dir;
    const QString prefix = dir.filePath(".Tavenook");
    {
        DataSaver saver;
        DeclareClient(&saver);
        Populate();
        QVERIFY(saver.Save(prefix));
    }
    d.Reset();
    DataSaver saver;
    DeclareClient(&saver);
    Recorder recorder;
    recorder.Watch();
    saver.AddDataLoadedEventHandler(&recorder);
    saver.Load(prefix);

    std::sort(recorder.newFolders.begin(), recorder.newFolders.end());
    QCOMPARE(recorder.newFolders, (std::vector<std::string>{"/docs", "/music"}));
    QCOMPARE(recorder.filesInFolders, 4);
    std::sort(recorder.listed.begin(), recorder.listed.end());
    QCOMPARE(recorder.listed, (std::vector<std::string>{"bob", "carol"}));
    QCOMPARE(recorder.usernames, QStringList{"alice"});
    // Listeners hear of the load once the store holds it.
    QCOMPARE(recorder.calls, kLoaded);
    QCOMPARE(recorder.usernameAtDataLoaded, QString("alice"));

    // Handlers that change the store while it loads.
    struct Meddler : DataHandler {
        void OnNewUser(ItemPtr user) {
            if (user.AsStdString() == "carol")
                user.Remove();
        }
        void OnListed(ConnectionInfo& info) {
            if (info.from.AsStdString() == "bob")
                info.to.Remove();
        }
    };
    d.Reset();
    DataSaver other;
    DeclareClient(&other);
    Meddler meddler;
    d.GetType("user")->NewItemEvent().Insert(meddler.ItemHandler(&meddler, &Meddler::OnNewUser));
    d.AddConnectionEventHandler(d.GetType("user"), d.GetType("in_user_list"),
                                meddler.ConnectionHandler(&meddler, &Meddler::OnListed));
    other.Load(prefix);
    QVERIFY(d.GetType("user")->HasItem("carol").IsNull());
    QVERIFY(!d.GetType("user")->HasItem("bob").IsNull());
    QVERIFY(!d.GetType("user")->HasItem("bob").IsConnected("in_user_list"));
    QCOMPARE(d.GetType("user_list_group")->ItemCount(), 2);
    QCOMPARE(GetSetting("username"), QString("alice"));
}

void TestSaver::listeners() {
    QTemporaryDir dir;
    const QString prefix = dir.filePath(".Tavenook");
    {
        // No file: DataLoaded then NoData, once each; a listener added twice
        // hears once; a destroyed one not at all.
        DataSaver saver;
        DeclareClient(&saver);
        Recorder twice, plain;
        auto* gone = new Recorder;
        saver.AddDataLoadedEventHandler(&twice);
        saver.AddDataLoadedEventHandler(gone);
        saver.AddDataLoadedEventHandler(&twice);
        saver.AddDataLoadedEventHandler(&plain);
        delete gone;
        saver.Load(prefix);
        QCOMPARE(twice.calls, kNoData);
        QCOMPARE(plain.calls, kNoData);
        Populate();
        QVERIFY(saver.Save(prefix));
    }
    {
        d.Reset();
        DataSaver saver;
        DeclareClient(&saver);
        Recorder one;
        saver.AddDataLoadedEventHandler(&one);
        saver.AddDataLoadedEventHandler(&one);
        saver.Load(prefix);
        QCOMPARE(one.calls, kLoaded);
    }
    {
        // A listener that destroys another while being told.
        struct Killer : DataLoadedEventHandler {
            DataLoadedEventHandler* victim = nullptr;
            int calls = 0;
            void DataLoaded() override {
                ++calls;
                delete victim;
                victim = nullptr;
            }
        };
        d.Reset();
        DataSaver saver;
        DeclareClient(&saver);
        Killer first, second;
        auto* victim = new Recorder;
        saver.AddDataLoadedEventHandler(&first);
        saver.AddDataLoadedEventHandler(victim);
        saver.AddDataLoadedEventHandler(&second);
        first.victim = victim;
        saver.Load(dir.filePath("nothing-here"));
        QCOMPARE(first.calls, 1);
        QCOMPARE(second.calls, 1);
    }
}

void TestSaver::damagedNewestFileFallsBackToOlder() {
    QByteArray older, newer;
    {
        QTemporaryDir dir;
        const QString prefix = dir.filePath(".Tavenook");
        DataSaver saver;
        DeclareClient(&saver);
        Populate();
        QVERIFY(saver.Save(prefix));
        SetSetting("only_in_newer", "x");
        SetSetting("username", "newer-alice");
        QVERIFY(saver.Save(prefix));
        const QStringList files = DataSaver::StoreFiles(prefix);
        QCOMPARE(files.size(), 2);
        newer = ReadFile(files[0]);
        older = ReadFile(files[1]);
        QVERIFY(Parses(older) && Parses(newer));
    }
    const QByteArray body = WithoutCrc(newer);
    QVERIFY(body.endsWith("TEND"));

    struct Case {
        QString name;
        QByteArray bytes;
    };
    std::vector<Case> cases;
    for (int len : {0, 1, 7, 8, 11, 12, 13, 19, 20, 21, int(newer.size() / 2),
                    int(newer.size() - 9), int(newer.size() - 8), int(newer.size() - 5),
                    int(newer.size() - 4), int(newer.size() - 1)})
        cases.push_back({QString("truncated to %1").arg(len), newer.left(len)});
    for (int pos = 0; pos < newer.size(); ++pos) {
        QByteArray flipped = newer;
        flipped[pos] = char(flipped[pos] ^ (1 << (pos % 8)));
        cases.push_back({QString("bit flipped at %1").arg(pos), flipped});
        if (pos % 7 == 0) {
            QByteArray replaced = newer;
            replaced[pos] = char(~replaced[pos]);
            cases.push_back({QString("byte inverted at %1").arg(pos), replaced});
        }
    }
    // The end mark is checked on its own, not only through the checksum.
    cases.push_back({"no end mark", WithCrc(body.left(body.size() - 4))});
    cases.push_back({"end mark damaged", WithCrc(body.left(body.size() - 1) + "X")});
    QByteArray version = body;
    version[8] = 2;
    cases.push_back({"unknown version", WithCrc(version)});
    cases.push_back({"trailing bytes", newer + "x"});
    cases.push_back(
        {"trailing bytes inside", WithCrc(body.left(body.size() - 4) + QByteArray("\0TEND", 5))});
    cases.push_back({"twice", newer + newer});
    cases.push_back({"magic only", QByteArray("TVNKSTOR")});
    QByteArray garbage(4096, '\0');
    for (int k = 0; k < garbage.size(); ++k)
        garbage[k] = char((k * 7919 + 13) % 251);
    cases.push_back({"garbage", garbage});
    cases.push_back({"magic and garbage", WithCrc("TVNKSTOR" + garbage)});
    cases.push_back({"text", QByteArray("username=alice\n")});

    for (const Case& c : cases) {
        QVERIFY2(!Parses(c.bytes), qPrintable(c.name));
        QTemporaryDir dir;
        const QString prefix = dir.filePath(".Tavenook");
        WriteFile(prefix + ".1000", older);
        WriteFile(prefix + ".2000", c.bytes);
        d.Reset();
        DataSaver saver;
        DeclareClient(&saver);
        Recorder recorder;
        saver.AddDataLoadedEventHandler(&recorder);
        try {
            saver.Load(prefix);
        } catch (const DataLoadFailure& failure) {
            QFAIL(qPrintable(c.name + ": " + failure.Reason()));
        }
        QVERIFY2(recorder.calls == kLoaded, qPrintable(c.name));
        QVERIFY2(!HasSetting("only_in_newer"), qPrintable(c.name));
        QVERIFY2(GetSetting("username") == "alice", qPrintable(c.name));
        QVERIFY2(QFile::exists(prefix + ".1000"), qPrintable(c.name));
        QVERIFY2(!QFile::exists(prefix + ".2000"), qPrintable(c.name));
        QVERIFY2(ReadFile(prefix + ".2000.unreadable") == c.bytes, qPrintable(c.name));
    }
}

void TestSaver::everyFileUnreadable() {
    QTemporaryDir dir;
    const QString prefix = dir.filePath(".Tavenook");
    QByteArray good;
    {
        QTemporaryDir other;
        DataSaver saver;
        DeclareClient(&saver);
        Populate();
        QVERIFY(saver.Save(other.filePath("s")));
        good = ReadFile(DataSaver::StoreFiles(other.filePath("s")).value(0));
    }
    QByteArray flipped = good;
    flipped[good.size() / 2] = char(flipped[good.size() / 2] ^ 0x10);
    WriteFile(prefix + ".100", good.left(good.size() - 1));
    WriteFile(prefix + ".200", flipped);
    WriteFile(prefix + ".300", QByteArray());
    WriteFile(prefix + ".100.unreadable", "an older casualty");

    d.Reset();
    LogCapture log;
    DataSaver saver;
    DeclareClient(&saver);
    SetSettingDefault("download_folder", "/default/dl");
    SetSettingDefault("listening_port", "2234");
    Recorder recorder;
    saver.AddDataLoadedEventHandler(&recorder);
    QVERIFY_EXCEPTION_THROWN(saver.Load(prefix), DataLoadFailure);
    QCOMPARE(recorder.calls, kNoData);
    QCOMPARE(GetSetting("download_folder"), QString("/default/dl"));
    QCOMPARE(GetSetting("listening_port"), QString("2234"));
    QVERIFY(d.GetType("user")->HasItem("bob").IsNull());
    QVERIFY(log.Has("Configuration Data"));

    QVERIFY(DataSaver::StoreFiles(prefix).isEmpty());
    QCOMPARE(ReadFile(prefix + ".100.unreadable"), QByteArray("an older casualty"));
    QCOMPARE(ReadFile(prefix + ".200.unreadable"), flipped);
    QCOMPARE(ReadFile(prefix + ".300.unreadable"), QByteArray());
    bool foundTruncated = false;
    for (const QString& name : Names(dir.path()))
        if (name.startsWith(".Tavenook.100.unreadable") && name != ".Tavenook.100.unreadable")
            foundTruncated = ReadFile(dir.filePath(name)) == good.left(good.size() - 1);
    QVERIFY(foundTruncated);

    // Later saves and their pruning leave the set-aside files alone.
    const QStringList asideBefore = Names(dir.path());
    for (int k = 0; k < 5; ++k)
        QVERIFY(saver.Save(prefix));
    QStringList after = Names(dir.path());
    for (const QString& name : asideBefore)
        QVERIFY2(after.contains(name), qPrintable(name));
    QCOMPARE(DataSaver::StoreFiles(prefix).size(), 3);
    QCOMPARE(after.size(), asideBefore.size() + 3);

    // The next start loads the defaults the failed run saved.
    d.Reset();
    DataSaver next;
    DeclareClient(&next);
    Recorder nextRecorder;
    next.AddDataLoadedEventHandler(&nextRecorder);
    next.Load(prefix);
    QCOMPARE(nextRecorder.calls, kLoaded);
    QCOMPARE(GetSetting("download_folder"), QString("/default/dl"));
}

void TestSaver::unopenableFiles() {
    QByteArray good;
    {
        QTemporaryDir other;
        DataSaver saver;
        DeclareClient(&saver);
        Populate();
        QVERIFY(saver.Save(other.filePath("s")));
        good = ReadFile(DataSaver::StoreFiles(other.filePath("s")).value(0));
    }
    {
        // A folder with a store file's name is no store file.
        QTemporaryDir dir;
        const QString prefix = dir.filePath(".Tavenook");
        QVERIFY(QDir(dir.path()).mkdir(".Tavenook.900"));
        WriteFile(prefix + ".800", good);
        QCOMPARE(DataSaver::StoreFiles(prefix), QStringList{prefix + ".800"});
        d.Reset();
        DataSaver saver;
        DeclareClient(&saver);
        Recorder recorder;
        saver.AddDataLoadedEventHandler(&recorder);
        saver.Load(prefix);
        QCOMPARE(recorder.calls, kLoaded);
        QCOMPARE(GetSetting("username"), QString("alice"));
        QVERIFY(QFileInfo(prefix + ".900").isDir());
    }
    {
        // A folder in place of the prefix's own folder: nothing to load.
        QTemporaryDir dir;
        d.Reset();
        DataSaver saver;
        DeclareClient(&saver);
        Recorder recorder;
        saver.AddDataLoadedEventHandler(&recorder);
        saver.Load(dir.filePath("missing/.Tavenook"));
        QCOMPARE(recorder.calls, kNoData);
    }
    if (geteuid() == 0)
        return;  // root reads a file whatever its mode
    QTemporaryDir dir;
    const QString prefix = dir.filePath(".Tavenook");
    WriteFile(prefix + ".800", good);
    WriteFile(prefix + ".900", good);
    QVERIFY(::chmod(QFile::encodeName(prefix + ".900").constData(), 0) == 0);
    d.Reset();
    DataSaver saver;
    DeclareClient(&saver);
    saver.Load(prefix);
    QCOMPARE(GetSetting("username"), QString("alice"));
    QVERIFY(QFileInfo::exists(prefix + ".900.unreadable"));
    QVERIFY(QFileInfo::exists(prefix + ".800"));
}

void TestSaver::saveNamesModeAndPruning() {
    QTemporaryDir dir;
    const QString prefix = dir.filePath(".Tavenook");
    DataSaver saver;
    DeclareClient(&saver);
    Populate();

    const QByteArray other("not a store file");
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
        WriteFile(dir.filePath(name), other);
    // A temporary file that a crash left behind goes with the next good save.
    WriteFile(dir.filePath(".Tavenook.7.tmp"), other);
    for (int n : {100, 200, 300, 400, 500})
        WriteFile(prefix + "." + QString::number(n), "old " + QByteArray::number(n));

    const mode_t oldMask = ::umask(0);
    const qint64 start = QDateTime::currentMSecsSinceEpoch();
    const bool saved = saver.Save(prefix);
    ::umask(oldMask);
    QVERIFY(saved);

    const QStringList files = DataSaver::StoreFiles(prefix);
    QCOMPARE(files.size(), 3);
    QCOMPARE(files[1], prefix + ".500");
    QCOMPARE(files[2], prefix + ".400");
    const QString newest = files[0];
    QVERIFY(QRegularExpression("^\\.Tavenook\\.[0-9]+$")
                .match(QFileInfo(newest).fileName())
                .hasMatch());
    QVERIFY(NumberOf(newest, prefix) >= std::uint64_t(start));
    QVERIFY(NumberOf(newest, prefix) <= std::uint64_t(QDateTime::currentMSecsSinceEpoch()));
    struct stat st;
    QCOMPARE(::stat(QFile::encodeName(newest).constData(), &st), 0);
    QCOMPARE(int(st.st_mode & 07777), 0600);
    QVERIFY(Parses(ReadFile(newest)));
    QCOMPARE(ReadFile(prefix + ".500"), QByteArray("old 500"));

    for (const QString& name : strangers)
        QVERIFY2(ReadFile(dir.filePath(name)) == other, qPrintable(name));
    QVERIFY(!QFile::exists(dir.filePath(".Tavenook.7.tmp")));
    // Nothing else is left behind, no temporary file in particular.
    QCOMPARE(Names(dir.path()).size(), strangers.size() + 3);

    // Saves in quick succession each make a file of their own.
    std::vector<QString> made{newest};
    for (int k = 0; k < 6; ++k) {
        QVERIFY(saver.Save(prefix));
        const QString latest = DataSaver::StoreFiles(prefix).value(0);
        QVERIFY(NumberOf(latest, prefix) > NumberOf(made.back(), prefix));
        made.push_back(latest);
    }
    QCOMPARE(DataSaver::StoreFiles(prefix), (QStringList{made[6], made[5], made[4]}));
    QCOMPARE(Names(dir.path()).size(), strangers.size() + 3);
    for (const QString& path : DataSaver::StoreFiles(prefix))
        QVERIFY(Parses(ReadFile(path)));
}

void TestSaver::saveNeverOverwritesAndSurvivesClockSetBack() {
    QTemporaryDir dir;
    const QString prefix = dir.filePath(".Tavenook");
    DataSaver saver;
    DeclareClient(&saver);
    Populate();

    // A file from a clock ten years ahead: the new file must still be newer.
    const std::uint64_t future =
        std::uint64_t(QDateTime::currentMSecsSinceEpoch()) + 10ull * 365 * 24 * 3600 * 1000;
    WriteFile(prefix + "." + QString::number(future), "future");
    // A folder already holds the next number: it is not replaced.
    QVERIFY(QDir(dir.path()).mkdir(".Tavenook." + QString::number(future + 1)));
    QVERIFY(saver.Save(prefix));
    QStringList files = DataSaver::StoreFiles(prefix);
    QCOMPARE(files.size(), 2);
    QVERIFY(NumberOf(files[0], prefix) > future + 1);
    QCOMPARE(ReadFile(files[1]), QByteArray("future"));
    QVERIFY(QFileInfo(prefix + "." + QString::number(future + 1)).isDir());

    // The loader agrees on which file is newest.
    SetSetting("username", "later");
    QVERIFY(saver.Save(prefix));
    d.Reset();
    {
        DataSaver loader;
        DeclareClient(&loader);
        loader.Load(prefix);
        QCOMPARE(GetSetting("username"), QString("later"));
    }

    // The largest number a name can carry still leaves room for a newer file
    // that the loader sees.
    QTemporaryDir far;
    const QString farPrefix = far.filePath(".Tavenook");
    WriteFile(farPrefix + ".9999999999999999999", "far future");
    d.Reset();
    DataSaver farSaver;
    DeclareClient(&farSaver);
    SetSetting("username", "far");
    const bool farSaved = farSaver.Save(farPrefix);
    if (farSaved) {
        const QStringList farFiles = DataSaver::StoreFiles(farPrefix);
        QVERIFY2(farFiles.size() == 2, qPrintable(Names(far.path()).join(", ")));
        QVERIFY(Parses(ReadFile(farFiles.value(0))));
    }
}

void TestSaver::failedSaveLeavesFilesAlone() {
    DataSaver saver;
    DeclareClient(&saver);
    Populate();
    {
        QTemporaryDir dir;
        LogCapture log;
        QVERIFY(!saver.Save(dir.filePath("no/such/folder/.Tavenook")));
        QVERIFY(log.Has("Configuration Data"));
        QVERIFY(Names(dir.path()).isEmpty());
    }
    {
        // The write fails after the number was chosen: nothing is pruned.
        QTemporaryDir dir;
        const QString prefix = dir.filePath(".Tavenook");
        const std::uint64_t future =
            std::uint64_t(QDateTime::currentMSecsSinceEpoch()) + 3600ull * 1000;
        const QStringList old{".Tavenook.1", ".Tavenook.2", ".Tavenook.3",
                              ".Tavenook." + QString::number(future)};
        for (const QString& name : old)
            WriteFile(dir.filePath(name), name.toUtf8());
        QVERIFY(QDir(dir.path()).mkdir(".Tavenook." + QString::number(future + 1) + ".tmp"));
        LogCapture log;
        QVERIFY(!saver.Save(prefix));
        QVERIFY(log.Has("Configuration Data"));
        for (const QString& name : old)
            QCOMPARE(ReadFile(dir.filePath(name)), name.toUtf8());
        QCOMPARE(Names(dir.path()).size(), old.size() + 1);
    }
}

void TestSaver::storeFilesOrder() {
    QTemporaryDir dir;
    const QString prefix = dir.filePath("store");
    for (const char* n : {"9", "10", "100", "11", "1", "18446744073709551615"})
        WriteFile(prefix + "." + n, "x");
    WriteFile(prefix + ".10.unreadable", "x");
    WriteFile(dir.filePath("store2.50"), "x");
    QCOMPARE(DataSaver::StoreFiles(prefix),
             (QStringList{prefix + ".18446744073709551615", prefix + ".100", prefix + ".11",
                          prefix + ".10", prefix + ".9", prefix + ".1"}));
    QVERIFY(DataSaver::StoreFiles(dir.filePath("missing/store")).isEmpty());
}

void TestSaver::saveAllDumpsEverything() {
    QTemporaryDir dir;
    const QString dump = dir.filePath("dump.bin");
    std::vector<std::string> before;
    std::size_t count = 0;
    {
        DataSaver saver;
        DeclareClient(&saver);
        Populate();
        before = AllSignatures();
        count = d.ItemCount();
        WriteFile(dump, "an earlier dump");
        const mode_t oldMask = ::umask(0);
        const bool ok = saver.SaveAll(dump);
        ::umask(oldMask);
        QVERIFY(ok);
        QCOMPARE(AllSignatures(), before);  // the store is unchanged
        QVERIFY(!saver.SaveAll(dir.filePath("missing/dump.bin")));
    }
    const QByteArray bytes = ReadFile(dump);
    const StagedStore staged = Parse(bytes);
    QCOMPARE(staged.items.size(), count);
    const auto& names = staged.typeNames;
    QVERIFY(std::find(names.begin(), names.end(), "search_results_widget") != names.end());
    QVERIFY(std::find(names.begin(), names.end(), "vglobal") != names.end());
    struct stat st;
    QCOMPARE(::stat(QFile::encodeName(dump).constData(), &st), 0);
    QCOMPARE(int(st.st_mode & 07777), 0600);

    d.Reset();
    DeclareClient(nullptr);
    DataSaver::Apply(staged);
    QCOMPARE(AllSignatures(), before);
}

void TestSaver::wellFormedButOddFiles() {
    // Files the writer never makes but a damaged or hand-made file with a
    // good checksum could hold.
    auto varint = [](QByteArray& out, std::uint64_t v) {
        while (v >= 0x80) {
            out.append(char((v & 0x7F) | 0x80));
            v >>= 7;
        }
        out.append(char(v));
    };
    auto file = [&](const std::vector<std::string>& types,
                    const std::vector<std::pair<int, std::string>>& items,
                    const std::vector<std::pair<int, int>>& links) {
        QByteArray out("TVNKSTOR");
        out.append("\x01\x00\x00\x00", 4);
        varint(out, types.size());
        for (const std::string& t : types) {
            varint(out, t.size());
            out.append(t.data(), int(t.size()));
        }
        varint(out, items.size());
        for (const auto& item : items) {
            varint(out, std::uint64_t(item.first));
            if (item.second == "*" || item.second == "-") {
                out.append(char(item.second == "*" ? 2 : 1));
            } else {
                out.append(char(0));
                varint(out, item.second.size());
                out.append(item.second.data(), int(item.second.size()));
            }
        }
        varint(out, links.size());
        for (const auto& link : links) {
            varint(out, std::uint64_t(link.first));
            varint(out, std::uint64_t(link.second));
        }
        out.append("TEND");
        return WithCrc(out);
    };

    d.Reset();
    Type* user = d.NewType("user", PrimacyRoot, false, true);
    Type* status = d.NewType("status", PrimacyLeaf, false, true);
    Type* peer = d.NewType("peer", PrimacyRoot, false, true);
    Type* flag = d.NewType("flag", PrimacyLeaf, true, false);
    user->RelateToType(status, Many, One, false);
    user->RelateToType(flag, Many, One, false);
    peer->RelateToType(peer, Many, Many, false);

    // The same value twice, the same link twice, a "one" end offered two
    // partners, two shared flag items, an item of a type with the wrong kind.
    const QByteArray odd =
        file({"user", "status", "flag", "peer", "user"},
             {{0, "bob"},
              {4, "bob"},
              {1, "online"},
              {1, "away"},
              {2, "*"},
              {2, "*"},
              {2, "x"},
              {1, "-"},
              {3, "p"},
              {3, "p"},
              {3, "q"}},
             {{0, 2}, {1, 2}, {0, 3}, {4, 0}, {5, 1}, {6, 0}, {7, 0}, {8, 9}, {8, 10}, {9, 10}});
    StagedStore staged = Parse(odd);
    QCOMPARE(int(staged.items.size()), 11);
    DataSaver::Apply(staged);
    QCOMPARE(user->ItemCount(), 1);
    ItemPtr bob = user->HasItem("bob");
    QCOMPARE(bob.GetItems("status").Size(), 1);
    QCOMPARE(bob["status"].AsStdString(), std::string("away"));
    QCOMPARE(flag->ItemCount(), 1);
    QVERIFY(bob["flag"] == flag->GetGlobalNullItem());
    // A type name is the whole name, not the text before a NUL byte in it.
    staged = StagedStore();
    const QByteArray nul = file({std::string("user\0junk", 9)}, {{0, "mallory"}}, {});
    if (DataSaver::ParseStore(nul, staged, nullptr))
        DataSaver::Apply(staged);
    QVERIFY(user->HasItem("mallory").IsNull());

    // Apply keeps to indices it was given: every accepted file is in bounds.
    for (const QByteArray& bad :
         {file({"user"}, {{1, "x"}}, {}), file({"user"}, {{0, "x"}}, {{0, 1}}),
          file({"user"}, {{0, "x"}}, {{0, 0}}), file({}, {{0, "x"}}, {})})
        QVERIFY(!Parses(bad));
    QVERIFY(Parses(file({}, {}, {})));

    // Two entries of one value are one item: they make no link to itself.
    QCOMPARE(peer->ItemCount(), 2);
    ItemPtr p = peer->HasItem("p");
    ItemPtr q = peer->HasItem("q");
    QVERIFY(p.IsConnected(q));
    QVERIFY(!p.IsConnected(p));
    QCOMPARE(p.GetItems("peer").Size(), 1);
}

void TestSaver::specialFileNamedLikeStoreFile() {
    // A pipe with a store file's name must not stall the start-up load.
    QByteArray good;
    {
        QTemporaryDir other;
        DataSaver saver;
        DeclareClient(&saver);
        Populate();
        QVERIFY(saver.Save(other.filePath("s")));
        good = ReadFile(DataSaver::StoreFiles(other.filePath("s")).value(0));
    }
    QTemporaryDir dir;
    const QString prefix = dir.filePath(".Tavenook");
    WriteFile(prefix + ".100", good);
    const QByteArray fifo = QFile::encodeName(prefix + ".200");
    QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);

    // Should the load open the pipe, a writer that comes and goes lets it
    // read an empty file, so the test ends either way.
    std::atomic<bool> done{false};
    std::atomic<bool> stalled{false};
    std::thread watchdog([&] {
        QElapsedTimer timer;
        timer.start();
        while (!done) {
            QThread::msleep(20);
            if (timer.elapsed() < 3000)
                continue;
            const int fd = ::open(fifo.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0) {
                stalled = true;
                ::close(fd);
            }
        }
    });
    d.Reset();
    DataSaver saver;
    DeclareClient(&saver);
    try {
        saver.Load(prefix);
    } catch (const DataLoadFailure&) {
    }
    done = true;
    watchdog.join();
    QVERIFY(!stalled);
    QCOMPARE(GetSetting("username"), QString("alice"));
}

void TestSaver::valueSharedByManyItems() {
    // One value item shared by hundreds of settings, then by one more of
    // another type after the load.
    QTemporaryDir dir;
    const QString prefix = dir.filePath(".Tavenook");
    {
        DataSaver saver;
        DeclareClient(&saver);
        for (int k = 0; k < 600; ++k)
            SetSettingYes(QByteArray("flag_" + QByteArray::number(k)).constData(), true);
        QVERIFY(saver.Save(prefix));
    }
    d.Reset();
    DataSaver saver;
    DeclareClient(&saver);
    saver.Load(prefix);
    ItemPtr yes = d.GetType("global_value")->HasItem("yes");
    QCOMPARE(yes.GetItems("global").Size(), 600);
    SetRuntimeSetting("finish_uploads_and_quit", "yes");
    QCOMPARE(yes.GetItems("vglobal").Size(), 1);
    QCOMPARE(yes.GetItems("global").Size(), 600);
    QVERIFY(IsRuntimeSettingYes("finish_uploads_and_quit"));
}

QTEST_GUILESS_MAIN(TestSaver)
#include "test_saver.moc"
