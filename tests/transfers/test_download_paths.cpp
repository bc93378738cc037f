// Download locations built from peers' folder and file names: they never
// leave the download folder, a finished file never replaces another and its
// unique name stays a usable name, and only emptied recreated folders go.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>
#include <string>

#include "support/Fuzz.h"
#include "support/TestFiles.h"
#include "transfers/DownloadPaths.h"

class TestDownloadPaths : public QObject {
    Q_OBJECT

private slots:
    void pathRules_data() {
        QTest::addColumn<QByteArray>("folder");
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<int>("level");
        QTest::addColumn<bool>("dontSplit");
        // Names already in the complete folder: "/x" a folder, "@x" a dangling link.
        QTest::addColumn<QStringList>("taken");
        // Relative to the download folder; empty when refused.
        QTest::addColumn<QString>("partial");
        QTest::addColumn<QString>("complete");
        const auto add = [](const char* tag, const QByteArray& folder, const QByteArray& name,
                            int level, bool dontSplit, const QStringList& taken,
                            const QString& partial, const QString& complete) {
            QTest::newRow(tag) << folder << name << level << dontSplit << taken << partial
                               << complete;
        };
        const QByteArray album("music\\Artist\\Album"), n255 = QByteArray(251, 'n') + ".mp3";
        const QByteArray e2("\xc3\xa9"), e4("\xf0\x9f\x8e\xb5"), ext = "a." + QByteArray(252, 'e');
        const QString dl("downloading/"), co("complete/");
        add("level 0", album, "a", 0, false, {}, "downloading/Album/a", "complete/Album/a");
        add("level beyond depth", album, "a", 7, true, {}, "music/Artist/Album/a",
            "music/Artist/Album/a");
        add("no remote folder", "", "a", 2, false, {}, "downloading/a", "complete/a");
        add("slashes, empty parts", "m//Ar\\\\\\Al/", "a", 1, true, {}, "Ar/Al/a", "Ar/Al/a");
        add("absolute folder", "/etc", "passwd", 5, true, {}, "etc/passwd", "etc/passwd");
        add("drive letter", "C:\\Music", "C:", 5, true, {}, "C_/Music/C_", "C_/Music/C_");
        add("control characters", "x\\a\nb\x01", "f\tg\x7f", 0, true, {}, "a_b_/f_g_", "a_b_/f_g_");
        add("separators in name", "Al", "../..\\x", 0, true, {}, "Al/.._.._x", "Al/.._.._x");
        add("dotdot not recreated", "..\\Al", "a", 0, true, {}, "Al/a", "Al/a");
        add("dotdot recreated", "..\\Al", "a", 1, false, {}, "", "");
        add("dotdot last", "music\\..", "a", 0, true, {}, "", "");
        add("dot component", "a\\.\\b", "f", 1, false, {}, "", "");
        add("dotdot name", "Al", "..", 0, true, {}, "", "");
        add("dot name", "", ".", 0, false, {}, "", "");
        add("empty name", "Al", "", 0, false, {}, "", "");
        add("name over 255 bytes", "", QByteArray(256, 'x'), 0, false, {}, "", "");
        add("folder over 255 bytes", QByteArray(256, 'x'), "a", 0, false, {}, "", "");
        add("clash", "", "s.mp3", 0, true, {"s.mp3", "s (1).mp3"}, "s.mp3", "s (2).mp3");
        add("clash, folder and dangling link", "", "s", 0, true, {"/s", "@s (1)"}, "s", "s (2)");
        add("clash, hidden, double extension", "", ".h.tar.gz", 0, true, {".h.tar.gz"}, ".h.tar.gz",
            ".h.tar (1).gz");
        add("clash, markers kept", "", "%1.mp3", 0, true, {"%1.mp3"}, "%1.mp3", "%1 (1).mp3");
        add("clash, markers kept 2", "", "a%2b%0.txt", 0, true, {"a%2b%0.txt"}, "a%2b%0.txt",
            "a%2b%0 (1).txt");
        add("clash at 255 bytes", "", n255, 0, false, {n255}, dl + n255,
            co + QByteArray(247, 'n') + " (1).mp3");
        // 2-byte characters: the room left is odd, and no half may stay.
        add("clash cut between characters", "", e2.repeated(125) + ".txt", 0, false,
            {QString(e2.repeated(125) + ".txt")}, dl + e2.repeated(125) + ".txt",
            co + e2.repeated(123) + " (1).txt");
        add("clash cut before a surrogate pair", "", e4.repeated(63), 0, false,
            {QString(e4.repeated(63))}, dl + e4.repeated(63), co + e4.repeated(62) + " (1)");
        add("clash, extension too long to keep", "", ext, 0, false, {QString(ext)}, dl + ext,
            co + ext.left(251) + " (1)");
    }
    void pathRules() {
        QFETCH(QByteArray, folder);
        QFETCH(QByteArray, name);
        QFETCH(int, level);
        QFETCH(bool, dontSplit);
        QFETCH(QStringList, taken);
        QFETCH(QString, partial);
        QFETCH(QString, complete);
        QTemporaryDir tmp;
        const QString root = tmp.path() + "/dl";
        DownloadPaths p;
        QString error;
        const bool built = MakeDownloadPaths(root + "/", dontSplit, folder.toStdString(),
                                             name.toStdString(), level, false, p, &error);
        QCOMPARE(built, !partial.isEmpty());
        if (!built) {
            QVERIFY(!error.isEmpty() && p.partialPath.isEmpty() && p.completePath.isEmpty());
            return;
        }
        QCOMPARE(p.partialPath, root + "/" + partial);
        QVERIFY(IsInsideFolder(p.partialPath, p.downloadingRoot));
        QVERIFY(IsInsideFolder(p.completePath, p.completeRoot));
        for (const QString& t : taken) {
            const QString at =
                p.completeFolder + "/" + t.mid(t.startsWith('/') || t.startsWith('@'));
            QVERIFY(t.startsWith('/')   ? QDir().mkpath(at)
                    : t.startsWith('@') ? QDir().mkpath(p.completeFolder) &&
                                              QFile::link(tmp.path() + "/missing", at)
                                        : Write(at, "x"));
        }
        const QString unique = UniqueCompleteName(p.completeFolder, p.fileName);
        QCOMPARE(p.completeFolder + "/" + unique, root + "/" + complete);
        QVERIFY(Write(p.completeFolder + "/" + unique, "new"));  // a usable name
    }
    void containment() {
        QVERIFY(IsInsideFolder("/a/b", "/a/") && !IsInsideFolder("/a", "/a"));
        QVERIFY(!IsInsideFolder("/ab", "/a") && !IsInsideFolder("/a/b/../../c", "/a"));
        DownloadPaths p;
        QVERIFY(!MakeDownloadPaths("", false, "x", "a", 0, false, p));  // no download folder
    }
    // Only emptied folders below the root go; a start at the root or outside
    // it, or a link, removes nothing.
    void emptiedFolders() {
        QTemporaryDir tmp;
        DownloadPaths p;
        QVERIFY(MakeDownloadPaths(tmp.path(), false, "music\\Artist\\Album", "a", 1, false, p));
        const QString artist = p.downloadingRoot + "/Artist", outside = tmp.path() + "/out/empty";
        QVERIFY(Write(artist + "/other.mp3", "x") && QDir().mkpath(p.downloadingFolder));
        QVERIFY(QDir().mkpath(outside) && QFile::link(outside, p.downloadingRoot + "/link"));
        for (const QString& from : {p.downloadingRoot, outside, p.downloadingRoot + "/../out/empty",
                                    p.downloadingRoot + "/link", p.downloadingFolder})
            RemoveEmptiedFolders(from, p.downloadingRoot);
        QVERIFY(!QFileInfo::exists(p.downloadingFolder) && QFileInfo::exists(artist));
        QVERIFY(QFileInfo::exists(outside) && QFileInfo(p.downloadingRoot + "/link").isSymLink());
        QVERIFY(QFile::remove(artist + "/other.mp3") && QDir().mkpath(p.downloadingFolder));
        RemoveEmptiedFolders(p.downloadingFolder, p.downloadingRoot);
        QVERIFY(!QFileInfo::exists(artist) && QFileInfo::exists(p.downloadingRoot));
    }
    void fuzzPathsAndNames() {
        fuzz::Rng rng(20240605u);
        const char* parts[] = {
            "..",  ".", "", "a", "C:", "/", "x/y", "\n", "%1", "\xc3\xa9", "\xf0\x9f\x8e\xb5",
            ".mp3"};
        // Parts joined by separators, then mutated by the shared mutator.
        const auto randomText = [&](int maxPieces) {
            QByteArray text;
            for (int k = fuzz::Below(rng, maxPieces + 1); k > 0; --k)
                text += QByteArray(parts[fuzz::Below(rng, 12)]) + (fuzz::Below(rng, 2) ? "\\" : "");
            if (fuzz::Below(rng, 8) == 0)
                text += QByteArray(250, 'z');  // near the length limit
            return fuzz::Mutate(rng, text).toStdString();
        };
        const QString root = QStringLiteral("/srv/dl");
        int accepted = 0;
        for (int i = 0; i < 20000; ++i) {
            const std::string folder = randomText(8);
            const std::string name = randomText(3);
            const int level = fuzz::Below(rng, 6) - 1;
            DownloadPaths p;
            QString error;
            if (!MakeDownloadPaths(root, fuzz::Below(rng, 2), folder, name, level,
                                   fuzz::Below(rng, 8) == 0, p, &error)) {
                QVERIFY(!error.isEmpty());
                continue;
            }
            ++accepted;
            for (const QString& path : {p.partialPath, p.completePath}) {
                QVERIFY2(IsInsideFolder(path, root), qPrintable(path));
                QCOMPARE(QDir::cleanPath(path), path);
                for (const QString& part : path.mid(root.size() + 1).split('/')) {
                    QVERIFY(!part.isEmpty() && part != "." && part != "..");
                    QVERIFY(part.toUtf8().size() <= 255);
                    for (const QChar c : part)
                        QVERIFY(c.category() != QChar::Other_Control && c != '\\');
                }
            }
            // Clash names stay safe, whole and within the limit.
            const int busy = fuzz::Below(rng, 4);
            int asked = 0;
            const QString unique =
                UniqueNameAmong(p.fileName, [&](const QString&) { return asked++ < busy; });
            QString safe;
            QVERIFY2(SafeComponent(unique, safe) && safe == unique, qPrintable(unique));
            // Whole characters: no UTF-8 sequence or surrogate pair was cut.
            QVERIFY2(QString::fromUtf8(unique.toUtf8()) == unique, qPrintable(unique));
            // And each is known again as a name of this file.
            QVERIFY2(IsNameOrUniqueForm(unique, p.fileName), qPrintable(unique));
        }
        QVERIFY(accepted > 1000);
        for (const char* other : {"thesis.odt", "run (0).bin", "run (01).bin", "run(1).bin",
                                  "run (1)x.bin", "run (1).binx", "run (1) (1).bin", "run.bin (1)"})
            QVERIFY2(!IsNameOrUniqueForm(other, "run.bin"), other);
        QVERIFY(IsNameOrUniqueForm("run (12).bin", "run.bin"));
    }
};

QTEST_GUILESS_MAIN(TestDownloadPaths)
#include "test_download_paths.moc"
