#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>
#include <algorithm>
#include <string>
#include <vector>

#include "store/ConfigurationImporter.h"
#include "store/Data.h"
#include "store/DataSaver.h"
#include "store/ExtendedAsciiTranslator.h"
#include "store/GeneralFunctions.h"
#include "store/Log.h"
#include "store/Settings.h"

namespace {

// "Привет" in Windows-1251, and the same word in UTF-8.
const std::string kCp1251Hello("\xcf\xf0\xe8\xe2\xe5\xf2");
const QString kHello = QString::fromUtf8("\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82");

class LogCapture : public LogSink {
public:
    LogCapture() { SetLogSink(this); }
    ~LogCapture() override { SetLogSink(nullptr); }
    void Log(const QString& area, int, const QString& text, const ItemPtr&) override {
        entries << area + ": " + text;
    }
    QStringList entries;
};

void WriteFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    QVERIFY2(f.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    QCOMPARE(f.write(bytes), qint64(bytes.size()));
}

// As the user list view declares them: one "in_user_list" item per user,
// carrying the user's groups.
void DeclareUserList(DataSaver* saver) {
    DeclareSettingsTypes(saver);
    Type* user = d.NewType("user", PrimacyRoot, false, true);
    Type* inList = d.NewType("in_user_list", PrimacyIntermediate, true, false);
    Type* group = d.NewType("user_list_group", PrimacyLeaf, false, true);
    user->RelateToType(inList, One, One, false);
    inList->RelateToType(group, Many, Many, false);
    if (saver) {
        saver->AddSavedType("in_user_list");
        saver->AddSavedByConnectionType("user", "in_user_list");
    }
}

bool Listed(const std::string& name) {
    return d.GetType("user")->HasItem(name).IsConnected("in_user_list");
}

int ListedCount() {
    return d.GetType("user")->GetItems().Connected("in_user_list").Size();
}

class ListWatcher : public DataHandler {
public:
    ListWatcher() {
        auto* root = new PathNode(&d, "user");
        new PathNode(root, "in_user_list", PathConnecting);
        d.AddPathEventHandler(root, ItemHandler(this, &ListWatcher::OnListed));
    }
    void OnListed(ItemPtr user) { added.push_back(user.AsStdString()); }
    std::vector<std::string> added;
};

}  // namespace

class TestImporter : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void importMarksEveryListedUser();
    void importKeepsNamesAsWritten();
    void importFailures();
    void overlongNames();
    void translatorDefaultSetting();
    void translatorDecodesWithCodePage();
    void translatorUnknownOrNoCodePage();
    void translatorFollowsLoadedSetting();
};

void TestImporter::init() {
    d.Reset();
    SetFallbackCodec(nullptr);
}

void TestImporter::cleanup() {
    d.Reset();
    SetFallbackCodec(nullptr);
}

void TestImporter::importMarksEveryListedUser() {
    DeclareUserList(nullptr);
    // A user already on the list keeps its item and its groups.
    ItemPtr bob = d.GetType("user")->GetItem("bob");
    ItemPtr bobList = bob.NewItem("in_user_list");
    bobList.Connect(d.GetType("user_list_group")->GetItem("friends"));
    d.GetType("user")->GetItem("stranger");
    ListWatcher watcher;

    QTemporaryDir dir;
    const QString path = dir.filePath("quorlet.cfg");
    WriteFile(path, QByteArray("alice\nbob\r\n\r\n\ncaf\xe9\nzo\xc3\xab\r\n\n") +
                        "last line without end");
    QVERIFY(ConfigurationImporter::ImportUserList(path));

    for (const std::string& name :
         {std::string("alice"), std::string("bob"), std::string("caf\xe9"),
          std::string("zo\xc3\xab"), std::string("last line without end")})
        QVERIFY2(Listed(name), name.c_str());
    QCOMPARE(ListedCount(), 5);
    QVERIFY(!Listed("stranger"));
    QVERIFY(d.GetType("user")->HasItem("").IsNull());
    QVERIFY(bob["in_user_list"] == bobList);
    QVERIFY(bobList.IsConnected("user_list_group"));
    // Each user has an item of its own.
    QCOMPARE(d.GetType("in_user_list")->ItemCount(), 5);
    std::sort(watcher.added.begin(), watcher.added.end());
    QCOMPARE(watcher.added,
             (std::vector<std::string>{"alice", "caf\xe9", "last line without end", "zo\xc3\xab"}));

    // A second import changes nothing.
    watcher.added.clear();
    QVERIFY(ConfigurationImporter::ImportUserList(path));
    QCOMPARE(d.GetType("in_user_list")->ItemCount(), 5);
    QCOMPARE(d.GetType("user")->ItemCount(), 6);
    QVERIFY(watcher.added.empty());

    // An empty file is a list with nobody on it.
    WriteFile(path, QByteArray());
    QVERIFY(ConfigurationImporter::ImportUserList(path));
    WriteFile(path, "\r\n\n\r\n");
    QVERIFY(ConfigurationImporter::ImportUserList(path));
    QCOMPARE(ListedCount(), 5);
}

void TestImporter::importKeepsNamesAsWritten() {
    // Only the line end is taken off: a name is imported byte for byte.
    DeclareUserList(nullptr);
    QTemporaryDir dir;
    const QString path = dir.filePath("quorlet.cfg");
    WriteFile(path, " alice\nbob \r\n\tcarol\n");
    QVERIFY(ConfigurationImporter::ImportUserList(path));
    QVERIFY(Listed(" alice"));
    QVERIFY(Listed("bob "));
    QVERIFY(Listed("\tcarol"));
    QCOMPARE(ListedCount(), 3);
}

void TestImporter::importFailures() {
    DeclareUserList(nullptr);
    QTemporaryDir dir;
    QVERIFY(!ConfigurationImporter::ImportUserList(dir.filePath("missing.cfg")));
    QVERIFY(!ConfigurationImporter::ImportUserList(dir.path()));
    QTest::ignoreMessage(QtWarningMsg, "QFSFileEngine::open: No file name specified");
    QVERIFY(!ConfigurationImporter::ImportUserList(QString()));

    // Larger than any user list: refused before anything is marked.
    const QString big = dir.filePath("big.cfg");
    WriteFile(big, "alice\nbob\n");
    {
        QFile f(big);
        QVERIFY(f.resize(ConfigurationImporter::kMaxFileSize + 1));
    }
    QVERIFY(!ConfigurationImporter::ImportUserList(big));
    QCOMPARE(d.GetType("user")->ItemCount(), 0);
}

void TestImporter::overlongNames() {
    DeclareUserList(nullptr);
    QTemporaryDir dir;
    const QString path = dir.filePath("quorlet.cfg");
    const int max = ConfigurationImporter::kMaxNameLength;
    const QByteArray longest(max, 'x');
    const QByteArray tooLong(max + 1, 'y');

    // The longest name is fine with either line end, and last without one.
    WriteFile(path, longest + "\n" + QByteArray(max, 'c') + "\r\n" + QByteArray(max, 'e'));
    QVERIFY(ConfigurationImporter::ImportUserList(path));
    QVERIFY(Listed(longest.toStdString()));
    QVERIFY(Listed(std::string(std::size_t(max), 'c')));
    QVERIFY(Listed(std::string(std::size_t(max), 'e')));

    // One byte more fails the import; names before it stay marked.
    for (const QByteArray& tail :
         {tooLong + "\nafter\n", tooLong + "\r\nafter\n", tooLong, QByteArray(100000, 'z')}) {
        d.Reset();
        DeclareUserList(nullptr);
        WriteFile(path, "first\r\nsecond\n" + tail);
        LogCapture log;
        QVERIFY2(!ConfigurationImporter::ImportUserList(path),
                 qPrintable(QString("tail of %1 bytes").arg(tail.size())));
        QVERIFY(Listed("first"));
        QVERIFY(Listed("second"));
        QCOMPARE(ListedCount(), 2);
        QVERIFY(d.GetType("user")->HasItem("after").IsNull());
    }
}

void TestImporter::translatorDefaultSetting() {
    DeclareSettingsTypes(nullptr);
    {
        ExtendedAsciiTranslator translator;
        QVERIFY(extendedAsciiTranslator == &translator);
        QVERIFY(HasSetting("extended_ascii_codepage"));
        QCOMPARE(GetSetting("extended_ascii_codepage"), QString());
        QVERIFY(GetFallbackCodec() == nullptr);
    }
    QVERIFY(extendedAsciiTranslator == nullptr);

    // A chosen code page is kept and used at once.
    d.Reset();
    DeclareSettingsTypes(nullptr);
    SetSetting("extended_ascii_codepage", "Windows-1251");
    ExtendedAsciiTranslator translator;
    QCOMPARE(GetSetting("extended_ascii_codepage"), QString("Windows-1251"));
    QCOMPARE(ToQString(kCp1251Hello), kHello);
}

void TestImporter::translatorDecodesWithCodePage() {
    DeclareUserList(nullptr);
    ItemPtr user = d.GetType("user")->GetItem(kCp1251Hello);
    const std::string utf8 = kHello.toUtf8().toStdString();
    {
        ExtendedAsciiTranslator translator;
        QCOMPARE(ToQString(kCp1251Hello), QString::fromLatin1(kCp1251Hello.c_str()));
        translator.SetCodePage("Windows-1251");
        QCOMPARE(GetSetting("extended_ascii_codepage"), QString("Windows-1251"));
        QCOMPARE(ToQString(kCp1251Hello), kHello);
        QCOMPARE(user.AsString(), kHello);
        QCOMPARE(translator.Decode(kCp1251Hello), kHello);
        // UTF-8 stays UTF-8, whatever the code page.
        QCOMPARE(ToQString(utf8), kHello);
        QCOMPARE(ToQString(std::string("plain")), QString("plain"));

        translator.SetCodePage("KOI8-R");
        QCOMPARE(ToQString(std::string("\xf0\xd2\xc9\xd7\xc5\xd4")), kHello);
        translator.SetCodePage("Windows-1251");
    }
    // Without the translator, text that is not UTF-8 is Latin-1 again.
    QCOMPARE(ToQString(std::string("caf\xe9")), QString::fromUtf8("caf\xc3\xa9"));
    QCOMPARE(user.AsString(), QString::fromLatin1(kCp1251Hello.c_str()));
}

void TestImporter::translatorUnknownOrNoCodePage() {
    DeclareSettingsTypes(nullptr);
    const QString latin1 = QString::fromUtf8("caf\xc3\xa9");
    ExtendedAsciiTranslator translator;
    translator.SetCodePage("Windows-1251");
    QCOMPARE(ToQString(kCp1251Hello), kHello);
    {
        LogCapture log;
        translator.SetCodePage("no-such-code-page");
        QCOMPARE(ToQString(std::string("caf\xe9")), latin1);
        QVERIFY(!log.entries.isEmpty());
    }
    translator.SetCodePage("Windows-1251");
    translator.SetCodePage("");
    QCOMPARE(ToQString(std::string("caf\xe9")), latin1);
    QCOMPARE(GetSetting("extended_ascii_codepage"), QString());

    // An unset code page is no code page.
    translator.SetCodePage("Windows-1251");
    ClearSetting("extended_ascii_codepage");
    QCOMPARE(ToQString(std::string("caf\xe9")), latin1);

    // A name the program stored when the platform still had it.
    SetSetting("extended_ascii_codepage", std::string("\xff\x00junk", 6));
    QCOMPARE(ToQString(std::string("caf\xe9")), latin1);
}

void TestImporter::translatorFollowsLoadedSetting() {
    QTemporaryDir dir;
    const QString prefix = dir.filePath(".Tavenook");
    {
        DataSaver saver;
        DeclareUserList(&saver);
        ExtendedAsciiTranslator translator;
        translator.SetCodePage("Windows-1251");
        d.GetType("user")->GetItem(kCp1251Hello).NewItem("in_user_list");
        QVERIFY(saver.Save(prefix));
    }
    QVERIFY(GetFallbackCodec() == nullptr);
    d.Reset();

    DataSaver saver;
    DeclareUserList(&saver);
    ExtendedAsciiTranslator translator;
    QCOMPARE(GetSetting("extended_ascii_codepage"), QString());
    saver.Load(prefix);
    QCOMPARE(GetSetting("extended_ascii_codepage"), QString("Windows-1251"));
    QCOMPARE(ToQString(kCp1251Hello), kHello);
    ItemPtr user = d.GetType("user")->GetItems().First();
    QCOMPARE(user.AsString(), kHello);
}

QTEST_GUILESS_MAIN(TestImporter)
#include "test_importer.moc"
