// Download locations built from peer-supplied folder and file names: they must
// never leave the download folder, finished files must not replace others, and
// only the emptied recreated folders are removed.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>
#include <random>
#include <string>

#include "transfers/DownloadPaths.h"

namespace {

bool Touch(const QString& path) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly);
}

}  // namespace

class TestDownloadPaths : public QObject {
    Q_OBJECT

private slots:
    void paths_data();
    void paths();
    void singleDownloadAndErrors();
    void nameClashes();
    void emptiedFolders();
    void fuzzPathBuilder();
};

void TestDownloadPaths::paths_data() {
    QTest::addColumn<QByteArray>("remoteFolder");
    QTest::addColumn<QByteArray>("fileName");
    QTest::addColumn<int>("level");
    QTest::addColumn<bool>("dontSplit");
    QTest::addColumn<bool>("ok");
    // Relative to the download folder; the partial file with split folders
    // lies under "downloading/", the finished one under "complete/".
    QTest::addColumn<QString>("partial");
    QTest::addColumn<QString>("complete");

    const QByteArray album("music\\Artist\\Album");
    QTest::newRow("level 0") << album << QByteArray("a.mp3") << 0 << false << true
                             << "downloading/Album/a.mp3"
                             << "complete/Album/a.mp3";
    QTest::newRow("level 1") << album << QByteArray("a.mp3") << 1 << false << true
                             << "downloading/Artist/Album/a.mp3"
                             << "complete/Artist/Album/a.mp3";
    QTest::newRow("level 2") << album << QByteArray("a.mp3") << 2 << false << true
                             << "downloading/music/Artist/Album/a.mp3"
                             << "complete/music/Artist/Album/a.mp3";
    QTest::newRow("level beyond depth stops at the outermost")
        << album << QByteArray("a.mp3") << 7 << false << true
        << "downloading/music/Artist/Album/a.mp3"
        << "complete/music/Artist/Album/a.mp3";
    QTest::newRow("one component, level 1") << QByteArray("Album") << QByteArray("a.mp3") << 1
                                            << false << true << "downloading/Album/a.mp3"
                                            << "complete/Album/a.mp3";
    QTest::newRow("negative level counts as 0")
        << album << QByteArray("a.mp3") << -3 << false << true << "downloading/Album/a.mp3"
        << "complete/Album/a.mp3";
    QTest::newRow("dont split") << album << QByteArray("a.mp3") << 1 << true << true
                                << "Artist/Album/a.mp3"
                                << "Artist/Album/a.mp3";
    QTest::newRow("no remote folder")
        << QByteArray() << QByteArray("a.mp3") << 2 << false << true << "downloading/a.mp3"
        << "complete/a.mp3";
    QTest::newRow("no remote folder, dont split")
        << QByteArray() << QByteArray("a.mp3") << 0 << true << true << "a.mp3"
        << "a.mp3";
    QTest::newRow("forward slashes") << QByteArray("music/Artist/Album/") << QByteArray("a.mp3")
                                     << 1 << false << true << "downloading/Artist/Album/a.mp3"
                                     << "complete/Artist/Album/a.mp3";
    QTest::newRow("empty components skipped")
        << QByteArray("music\\\\Artist\\\\\\Album\\\\") << QByteArray("a") << 1 << false << true
        << "downloading/Artist/Album/a"
        << "complete/Artist/Album/a";
    QTest::newRow("only separators")
        << QByteArray("\\\\/\\") << QByteArray("a") << 3 << true << true << "a"
        << "a";
    QTest::newRow("absolute unix folder")
        << QByteArray("/etc") << QByteArray("passwd") << 5 << true << true << "etc/passwd"
        << "etc/passwd";
    QTest::newRow("drive letter") << QByteArray("C:\\Music\\Album") << QByteArray("a") << 5 << false
                                  << true << "downloading/C_/Music/Album/a"
                                  << "complete/C_/Music/Album/a";
    QTest::newRow("drive letter file name")
        << QByteArray() << QByteArray("C:") << 0 << true << true << "C_"
        << "C_";
    QTest::newRow("control characters") << QByteArray("x\\a\nb\x01") << QByteArray("f\tg\x7f") << 0
                                        << false << true << "downloading/a_b_/f_g_"
                                        << "complete/a_b_/f_g_";
    QTest::newRow("slash in file name")
        << QByteArray("Album") << QByteArray("../../x") << 0 << true << true << "Album/.._.._x"
        << "Album/.._.._x";
    QTest::newRow("backslash in file name")
        << QByteArray() << QByteArray("..\\x") << 0 << true << true << ".._x"
        << ".._x";
    QTest::newRow("dotdot unused by level")
        << QByteArray("..\\Album") << QByteArray("a") << 0 << true << true << "Album/a"
        << "Album/a";
    QTest::newRow("dotdot at level 0, dont split")
        << QByteArray("music\\..") << QByteArray(".bashrc") << 0 << true << false << ""
        << "";
    QTest::newRow("dotdot at level 1")
        << QByteArray("..\\Album") << QByteArray("a") << 1 << false << false << ""
        << "";
    QTest::newRow("dot component")
        << QByteArray("a\\.\\b") << QByteArray("f") << 1 << false << false << ""
        << "";
    QTest::newRow("dotdot file name")
        << QByteArray("Album") << QByteArray("..") << 0 << true << false << ""
        << "";
    QTest::newRow("dot file name") << QByteArray() << QByteArray(".") << 0 << false << false << ""
                                   << "";
    QTest::newRow("empty file name")
        << QByteArray("Album") << QByteArray() << 0 << false << false << ""
        << "";
    QTest::newRow("overlong name")
        << QByteArray() << QByteArray(300, 'x') << 0 << false << false << ""
        << "";
    QTest::newRow("hidden file kept") << QByteArray("Album") << QByteArray(".hidden") << 0 << false
                                      << true << "downloading/Album/.hidden"
                                      << "complete/Album/.hidden";
}

void TestDownloadPaths::paths() {
    QFETCH(QByteArray, remoteFolder);
    QFETCH(QByteArray, fileName);
    QFETCH(int, level);
    QFETCH(bool, dontSplit);
    QFETCH(bool, ok);
    QFETCH(QString, partial);
    QFETCH(QString, complete);

    const QString root = QStringLiteral("/home/u/downloads");
    DownloadPaths p;
    QString error;
    const bool built = MakeDownloadPaths(root + "/", dontSplit, remoteFolder.toStdString(),
                                         fileName.toStdString(), level, false, p, &error);
    QCOMPARE(built, ok);
    if (!ok) {
        QVERIFY(!error.isEmpty());
        QVERIFY(p.partialPath.isEmpty());
        return;
    }
    QCOMPARE(p.root, root);
    QCOMPARE(p.partialPath, root + "/" + partial);
    QCOMPARE(p.completePath, root + "/" + complete);
    QCOMPARE(p.downloadingFolder, QFileInfo(p.partialPath).path());
    QCOMPARE(p.completeFolder, QFileInfo(p.completePath).path());
    QVERIFY(IsInsideFolder(p.partialPath, p.downloadingRoot));
    QVERIFY(IsInsideFolder(p.completePath, p.completeRoot));
}

void TestDownloadPaths::singleDownloadAndErrors() {
    DownloadPaths p;
    // A single download without subfolders still keeps its relative folder
    // for the record, which the caller computes separately.
    QVERIFY(MakeDownloadPaths("C:\\dl", false, "music\\Album", "a", 0, true, p));
    QCOMPARE(p.root, QStringLiteral("C:/dl"));
    QCOMPARE(p.partialPath, QStringLiteral("C:/dl/downloading/a"));
    QCOMPARE(p.completePath, QStringLiteral("C:/dl/complete/a"));
    QStringList subfolders;
    QVERIFY(RecreatedSubfolders("music\\Artist\\Album", 1, subfolders));
    QCOMPARE(RelativeDownloadFolder(subfolders), QStringLiteral("Artist\\Album"));
    QVERIFY(RecreatedSubfolders("", 3, subfolders));
    QCOMPARE(RelativeDownloadFolder(subfolders), QString());

    // Components that are not recreated are never examined.
    QVERIFY(MakeDownloadPaths("/d", false, "..", "a", 0, true, p));
    QCOMPARE(p.partialPath, QStringLiteral("/d/downloading/a"));

    QString error;
    QVERIFY(!MakeDownloadPaths("", false, "x", "a", 0, false, p, &error));
    QVERIFY(!error.isEmpty());

    // Invalid UTF-8 and embedded NUL bytes still give a usable, contained name.
    const std::string odd("\xff\xfe\0z", 4);
    QVERIFY(MakeDownloadPaths("/d", true, odd, odd, 0, false, p));
    QVERIFY(IsInsideFolder(p.partialPath, "/d"));
    QVERIFY(!p.fileName.contains(QChar(0)));

    QVERIFY(IsInsideFolder("/a/b", "/a"));
    QVERIFY(IsInsideFolder("/a/b", "/a/"));
    QVERIFY(!IsInsideFolder("/a", "/a"));
    QVERIFY(!IsInsideFolder("/ab", "/a"));
    QVERIFY(!IsInsideFolder("/a/b/../../c", "/a"));
    QVERIFY(IsInsideFolder("/x", "/"));
}

void TestDownloadPaths::nameClashes() {
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString folder = tmp.path();

    QCOMPARE(UniqueCompleteName(folder, "song.mp3"), QStringLiteral("song.mp3"));
    QVERIFY(Touch(folder + "/song.mp3"));
    QCOMPARE(UniqueCompleteName(folder, "song.mp3"), QStringLiteral("song (1).mp3"));
    QVERIFY(Touch(folder + "/song (1).mp3"));
    QCOMPARE(UniqueCompleteName(folder, "song.mp3"), QStringLiteral("song (2).mp3"));

    // A folder of the same name counts as taken, and so does a dangling link
    // (a rename would replace it).
    QVERIFY(QDir().mkpath(folder + "/noext"));
    QCOMPARE(UniqueCompleteName(folder, "noext"), QStringLiteral("noext (1)"));
    QVERIFY(QFile::link(folder + "/missing", folder + "/dangling.txt"));
    QCOMPARE(UniqueCompleteName(folder, "dangling.txt"), QStringLiteral("dangling (1).txt"));

    QVERIFY(Touch(folder + "/.hidden"));
    QCOMPARE(UniqueCompleteName(folder, ".hidden"), QStringLiteral(".hidden (1)"));
    QVERIFY(Touch(folder + "/a.tar.gz"));
    QCOMPARE(UniqueCompleteName(folder, "a.tar.gz"), QStringLiteral("a.tar (1).gz"));

    // The same rule works against names held by other downloads.
    const QStringList busy{"x.bin", "x (1).bin"};
    QCOMPARE(UniqueNameAmong("x.bin", [&](const QString& n) { return busy.contains(n); }),
             QStringLiteral("x (2).bin"));
    QCOMPARE(UniqueNameAmong("x.bin", [](const QString&) { return true; }), QString());

    // The clash rule keeps the finished file's name safe and inside the folder.
    DownloadPaths p;
    QVERIFY(MakeDownloadPaths(folder, false, "Album", "song.mp3", 0, false, p));
    QVERIFY(Touch(p.completePath));
    const QString unique = UniqueCompleteName(p.completeFolder, p.fileName);
    QCOMPARE(unique, QStringLiteral("song (1).mp3"));
    QVERIFY(IsInsideFolder(p.completeFolder + "/" + unique, p.completeRoot));
}

void TestDownloadPaths::emptiedFolders() {
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    DownloadPaths p;
    QVERIFY(MakeDownloadPaths(tmp.path(), false, "music\\Artist\\Album", "a", 1, false, p));
    QVERIFY(QDir().mkpath(p.downloadingFolder));
    const QString artist = p.downloadingRoot + "/Artist";

    // A folder still holding something stays, and so do its parents.
    QVERIFY(Touch(artist + "/other.mp3"));
    RemoveEmptiedFolders(p.downloadingFolder, p.downloadingRoot);
    QVERIFY(!QFileInfo::exists(p.downloadingFolder));
    QVERIFY(QFileInfo::exists(artist));

    QVERIFY(QDir().mkpath(p.downloadingFolder));
    QVERIFY(Touch(p.downloadingFolder + "/left.part"));
    RemoveEmptiedFolders(p.downloadingFolder, p.downloadingRoot);
    QVERIFY(QFileInfo::exists(p.downloadingFolder));

    // Everything emptied is removed, up to but not including the root.
    QVERIFY(QFile::remove(p.downloadingFolder + "/left.part"));
    QVERIFY(QFile::remove(artist + "/other.mp3"));
    RemoveEmptiedFolders(p.downloadingFolder, p.downloadingRoot);
    QVERIFY(!QFileInfo::exists(artist));
    QVERIFY(QFileInfo::exists(p.downloadingRoot));
    QVERIFY(QFileInfo::exists(tmp.path()));

    // A start at the root or outside it removes nothing.
    RemoveEmptiedFolders(p.downloadingRoot, p.downloadingRoot);
    QVERIFY(QFileInfo::exists(p.downloadingRoot));
    QVERIFY(QDir().mkpath(tmp.path() + "/outside/empty"));
    RemoveEmptiedFolders(tmp.path() + "/outside/empty", p.downloadingRoot);
    QVERIFY(QFileInfo::exists(tmp.path() + "/outside/empty"));
    RemoveEmptiedFolders(p.downloadingRoot + "/../outside/empty", p.downloadingRoot);
    QVERIFY(QFileInfo::exists(tmp.path() + "/outside/empty"));

    // A link to an empty folder elsewhere is neither followed nor removed.
    QVERIFY(QFile::link(tmp.path() + "/outside/empty", p.downloadingRoot + "/link"));
    RemoveEmptiedFolders(p.downloadingRoot + "/link", p.downloadingRoot);
    QVERIFY(QFileInfo(p.downloadingRoot + "/link").isSymLink());
    QVERIFY(QFileInfo::exists(tmp.path() + "/outside/empty"));
}

void TestDownloadPaths::fuzzPathBuilder() {
    std::mt19937 rng(20240605u);
    const char* pieces[] = {"..",   ".",        "",     "a",  "Album", "C:",   "/", "\\",
                            "\\\\", "..\\..",   "x/y",  "\n", "\x01",  "\x7f", " ", ". .",
                            "...",  "\xc3\xa9", "\xff", "~",  "$HOME", "%s"};
    const int pieceCount = static_cast<int>(sizeof(pieces) / sizeof(pieces[0]));
    const QString root = QStringLiteral("/srv/dl");
    int accepted = 0;
    for (int i = 0; i < 20000; ++i) {
        auto randomText = [&](int maxPieces) {
            std::string text;
            const int n = static_cast<int>(rng() % (maxPieces + 1));
            for (int k = 0; k < n; ++k) {
                if (rng() % 4 == 0)
                    text += static_cast<char>(rng() % 256);
                else
                    text += pieces[rng() % pieceCount];
                if (rng() % 2 == 0)
                    text += (rng() % 2 == 0) ? '\\' : '/';
            }
            return text;
        };
        const std::string folder = randomText(8);
        const std::string name = randomText(2);
        const int level = static_cast<int>(rng() % 6) - 1;
        const bool dontSplit = rng() % 2 == 0;
        DownloadPaths p;
        QString error;
        if (!MakeDownloadPaths(root, dontSplit, folder, name, level, rng() % 8 == 0, p, &error)) {
            QVERIFY(!error.isEmpty());
            continue;
        }
        ++accepted;
        for (const QString& path : {p.partialPath, p.completePath}) {
            QVERIFY2(IsInsideFolder(path, root), qPrintable(path));
            QCOMPARE(QDir::cleanPath(path), path);
            const QStringList parts = path.mid(root.size() + 1).split('/');
            for (const QString& part : parts) {
                QVERIFY(!part.isEmpty() && part != "." && part != "..");
                for (const QChar c : part)
                    QVERIFY(c.category() != QChar::Other_Control && c != '\\');
            }
        }
        QVERIFY(p.subfolders.size() <= qMax(level, 0) + 1);
        QVERIFY(IsInsideFolder(p.partialPath, p.downloadingRoot));
        QVERIFY(IsInsideFolder(p.completePath, p.completeRoot));
    }
    QVERIFY(accepted > 1000);
}

QTEST_GUILESS_MAIN(TestDownloadPaths)
#include "test_download_paths.moc"
