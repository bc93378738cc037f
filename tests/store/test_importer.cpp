// The user-list import and the code-page translator.

#include <sys/stat.h>

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

#include "store/ConfigurationImporter.h"
#include "store/Data.h"
#include "store/ExtendedAsciiTranslator.h"
#include "store/GeneralFunctions.h"
#include "store/Log.h"
#include "store/Settings.h"
#include "support/FifoWatch.h"
#include "support/TestFiles.h"

namespace {

// "Privet" in Windows-1251, and the same word decoded.
const std::string kCp1251Hello("\xcf\xf0\xe8\xe2\xe5\xf2");
const QString kHello = QString::fromUtf8("\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82");
const QString kLatin1Cafe = QString::fromUtf8("caf\xc3\xa9");

QStringList Listed() {
    QStringList out;
    for (const ItemPtr& u : d.GetType("user")->GetItems().Connected("in_user_list"))
        out << QString::fromLatin1(u.AsByteArray());
    out.sort();
    return out;
}

}  // namespace

class TestImporter : public QObject, public LogSink {
    Q_OBJECT

public:
    void Log(const QString&, int, const QString& text, const ItemPtr&) override { m_log << text; }

private slots:
    void init() {
        // As the user list view declares them: one "in_user_list" item per user.
        d.Reset();
        DeclareSettingsTypes(nullptr);
        Type* list = d.NewType("in_user_list", PrimacyIntermediate, true, false);
        d.NewType("user", PrimacyRoot, false, true)->RelateToType(list, One, One, false);
        list->RelateToType(d.NewType("user_list_group", PrimacyLeaf, false, true), Many, Many,
                           false);
        SetFallbackCodec(nullptr);
        SetLogSink(this);
        m_log.clear();
    }
    void cleanup() {
        SetLogSink(nullptr);
        SetFallbackCodec(nullptr);
    }

    void importMarksEveryListedUser() {
        // A user already on the list keeps its item and its groups.
        ItemPtr bobList = d.GetType("user")->GetItem("bob").NewItem("in_user_list");
        bobList.Connect(d.GetType("user_list_group")->GetItem("friends"));
        QTemporaryDir dir;
        const QString path = dir.filePath("old.cfg");
        // Only the line end is taken off: names are imported byte for byte.
        QVERIFY(Write(path, "alice\nbob\r\n\r\n\ncaf\xe9\n bob \r\n\tcarol\nlast line"));
        int added = -1;
        QVERIFY(ConfigurationImporter::ImportUserList(path, &added));
        QCOMPARE(added, 5);
        const QStringList expected{
            "\tcarol", " bob ", "alice", "bob", QString::fromLatin1("caf\xe9"), "last line"};
        QCOMPARE(Listed(), expected);
        QVERIFY(d.GetType("user")->HasItem("bob")["in_user_list"] == bobList);
        QVERIFY(bobList.IsConnected("user_list_group"));
        QCOMPARE(d.GetType("in_user_list")->ItemCount(), 6);
        // Again: nothing changes, nobody is added.
        QVERIFY(ConfigurationImporter::ImportUserList(path, &added));
        QCOMPARE(added, 0);
        QCOMPARE(d.GetType("in_user_list")->ItemCount(), 6);
    }

    // All or nothing: a file that breaks a rule anywhere adds nobody and says
    // which rule, and which line; a good one adds every name.
    void importAllOrNothing_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("names");  // none: the import fails
        QTest::addColumn<QString>("why");        // pattern of the failure
        const QString noName = "^The file holds no user name\\.$";
        const QString control =
            "^Line %1 holds a control character \\(0x%2\\), which no user "
            "name has\\.$";
        QTest::newRow("empty") << QByteArray() << QStringList() << noName;
        QTest::newRow("blank lines") << QByteArray("\r\n\n\n") << QStringList() << noName;
        QTest::newRow("lines of spaces and tabs")
            << QByteArray("   \n\t\n \r\n") << QStringList() << noName;
        QTest::newRow("control characters") << QByteArray(
                                                   "\x01\x02\n\x7f\r\nab\x1b"
                                                   "c\n\x1b")
                                            << QStringList() << control.arg(1).arg("01");
        QRandomGenerator random(33);
        QByteArray noise(64 * 1024, Qt::Uninitialized);
        random.fillRange(reinterpret_cast<quint32*>(noise.data()), noise.size() / 4);
        QTest::newRow("random bytes")
            << noise << QStringList() << "^Line \\d+ holds a NUL byte: this is not a text file\\.$";
        QTest::newRow("random bytes without NUL")
            << QByteArray(noise).replace('\0', "") << QStringList() << "^Line \\d+ ";
        QTest::newRow("names beside a NUL")
            << QByteArray("alice\nbob\n") + '\0' << QStringList()
            << "^Line 3 holds a NUL byte: this is not a text file\\.$";
        QTest::newRow("names before a control character")
            << QByteArray("alice\nbob\r\n\n\x1b[b\ncarol\n") << QStringList()
            << control.arg(4).arg("1b");
        QTest::newRow("DEL in the first name") << QByteArray(
                                                      "b\x7f"
                                                      "ob\nalice\n")
                                               << QStringList() << control.arg(1).arg("7f");
        // One CR ends a line with the LF; a second is part of the name.
        QTest::newRow("CR CR LF") << QByteArray("alice\nbob\r\r\n") << QStringList()
                                  << control.arg(2).arg("0d");
        QTest::newRow("CR without LF")
            << QByteArray("alice\rbob\n") << QStringList() << control.arg(1).arg("0d");
        QTest::newRow("names before a long line")
            << "alice\nbob\n" + QByteArray(ConfigurationImporter::kMaxNameLength + 1, 'y') +
                   "\ncarol\n"
            << QStringList() << "^Line 3 is longer than 1024 bytes\\.$";
        QTest::newRow("LF") << QByteArray("alice\nbob\n") << QStringList({"alice", "bob"})
                            << QString();
        QTest::newRow("CR LF, blank lines, no last line end")
            << QByteArray("\r\nalice\r\n\n\r\nbob\r\ncarol")
            << QStringList({"alice", "bob", "carol"}) << QString();
        QTest::newRow("blank lines among names") << QByteArray("alice\n \t \r\n\tbob \n")
                                                 << QStringList({"\tbob ", "alice"}) << QString();
        QTest::newRow("repeated names")
            << QByteArray("bob\nalice\r\nbob\n") << QStringList({"alice", "bob"}) << QString();
    }
    void importAllOrNothing() {
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, names);
        QFETCH(QString, why);
        QTemporaryDir dir;
        const QString path = dir.filePath("quorlet.cfg");
        QVERIFY(Write(path, bytes));
        int added = -1;
        QString error = "stale";
        QCOMPARE(ConfigurationImporter::ImportUserList(path, &added, &error), !names.isEmpty());
        QCOMPARE(Listed(), names);
        QCOMPARE(added, names.size());
        QCOMPARE(d.GetType("user")->ItemCount(), names.size());
        if (names.isEmpty())
            QVERIFY2(QRegularExpression(why).match(error).hasMatch(), qPrintable(error));
        else
            QVERIFY(error.isEmpty());
    }

    // A long list is marked from the event loop a slice at a time and its end
    // told once, whether the loop marks it all or a quit marks what is left
    // at once.
    void importInSlices_data() {
        QTest::addColumn<bool>("quit");
        QTest::newRow("marked by the event loop") << false;
        QTest::newRow("the rest marked by a quit") << true;
    }

    void importInSlices() {
        QFETCH(bool, quit);
        QTemporaryDir dir;
        const QString path = dir.filePath("quorlet.cfg");
        constexpr int kNames = 100000;
        QByteArray bytes;
        for (int i = 0; i < kNames; ++i)
            bytes += "user" + QByteArray::number(i) + "\r\n";
        QVERIFY(Write(path, bytes + " \t\n"));
        QString error = "stale";
        QVERIFY(
            !ConfigurationImporter::StartUserListImport(dir.filePath("missing.cfg"), this, &error));
        QVERIFY(error.startsWith("The file cannot be opened ("));
        std::unique_ptr<UserListImport> import(
            ConfigurationImporter::StartUserListImport(path, nullptr, &error));
        QVERIFY(import && error.isEmpty());
        QSignalSpy finished(import.get(), &UserListImport::Finished);
        Type* listed = d.GetType("in_user_list");
        QCOMPARE(listed->ItemCount(), 0);
        QTRY_VERIFY(listed->ItemCount() > 0);
        QVERIFY2(listed->ItemCount() < kNames, "all names marked in one turn");
        QVERIFY(finished.isEmpty() && !import->IsFinished());
        if (quit)
            import->Finish();
        else
            QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 20000);
        QVERIFY(import->IsFinished());
        QCOMPARE(listed->ItemCount(), kNames);
        QCOMPARE(finished.size(), 1);
        QCOMPARE(finished[0][0].toInt(), kNames);
        QCOMPARE(d.GetType("user")->ItemCount(), kNames);
        QCoreApplication::processEvents();
        QCOMPARE(finished.size(), 1);
    }

    void importFailures() {
        QTemporaryDir dir;
        QString error;
        QVERIFY(
            !ConfigurationImporter::ImportUserList(dir.filePath("missing.cfg"), nullptr, &error));
        QVERIFY2(error.startsWith("The file cannot be opened ("), qPrintable(error));
        QVERIFY(!ConfigurationImporter::ImportUserList(dir.path()));
        QVERIFY(!ConfigurationImporter::ImportUserList(QString()));
        // A FIFO chosen by mistake is refused, not waited on with the window held.
        const QString fifo = dir.filePath("fifo.cfg");
        QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
        {
            FifoWatch watch(fifo);
            QVERIFY(!ConfigurationImporter::ImportUserList(fifo, nullptr, &error));
            QVERIFY2(!watch.Freed(), "the import waited on the FIFO");
        }
        QCOMPARE(error, QString("The file cannot be opened (not a plain file)."));
        // Larger than any user list: refused before anything is marked.
        const QString big = dir.filePath("big.cfg");
        QVERIFY(Write(big, "alice\n"));
        QVERIFY(QFile(big).resize(ConfigurationImporter::kMaxFileSize + 1));
        QVERIFY(!ConfigurationImporter::ImportUserList(big, nullptr, &error));
        QCOMPARE(error,
                 QString("The file is larger than 16777216 bytes: no user list is that large."));
        QCOMPARE(d.GetType("user")->ItemCount(), 0);

        // The longest name passes with either line end; one byte more fails the
        // import, and the names before it are not marked either.
        const int max = ConfigurationImporter::kMaxNameLength;
        const QString path = dir.filePath("old.cfg");
        QVERIFY(Write(path, QByteArray(max, 'x') + "\n" + QByteArray(max, 'c') + "\r\n" +
                                QByteArray(max, 'e')));
        QVERIFY(ConfigurationImporter::ImportUserList(path));
        QCOMPARE(Listed().size(), 3);
        const QByteArray tooLong(max + 1, 'y');
        for (const QByteArray& tail :
             {tooLong + "\nafter\n", tooLong + "\r\nafter\n", tooLong, QByteArray(100000, 'z')}) {
            init();
            d.GetType("user")->GetItem("first").NewItem("in_user_list");
            QVERIFY(Write(path, "first\r\nsecond\n" + tail));
            QVERIFY(!ConfigurationImporter::ImportUserList(path, nullptr, &error));
            QCOMPARE(error, QString("Line 3 is longer than 1024 bytes."));
            QCOMPARE(Listed(), QStringList({"first"}));
            QCOMPARE(d.GetType("user")->ItemCount(), 1);
        }
    }

    void translator() {
        ItemPtr user = d.GetType("user")->GetItem(kCp1251Hello);
        {
            ExtendedAsciiTranslator translator;
            QVERIFY(HasSetting("extended_ascii_codepage"));
            QCOMPARE(user.AsString(), QString::fromLatin1(kCp1251Hello.c_str()));
            translator.SetCodePage("Windows-1251");
            QCOMPARE(GetSetting("extended_ascii_codepage"), QString("Windows-1251"));
            QCOMPARE(user.AsString(), kHello);
            QCOMPARE(ToQString(kHello.toStdString()), kHello);  // UTF-8 stays UTF-8
            // An unknown name, an empty one, a cleared setting and garbage all mean none.
            translator.SetCodePage("no-such-code-page");
            QCOMPARE(ToQString(std::string("caf\xe9")), kLatin1Cafe);
            QVERIFY(!m_log.isEmpty());
            for (int k = 0; k < 3; ++k) {
                translator.SetCodePage("Windows-1251");
                if (k == 0)
                    translator.SetCodePage("");
                else if (k == 1)
                    ClearSetting("extended_ascii_codepage");
                else
                    SetSetting("extended_ascii_codepage", std::string("\xff\x00junk", 6));
                QCOMPARE(ToQString(std::string("caf\xe9")), kLatin1Cafe);
            }
            translator.SetCodePage("Windows-1251");
        }
        // Without the translator, text that is not UTF-8 is Latin-1 again.
        QVERIFY(extendedAsciiTranslator == nullptr);
        QCOMPARE(user.AsString(), QString::fromLatin1(kCp1251Hello.c_str()));
    }

private:
    QStringList m_log;
};

QTEST_GUILESS_MAIN(TestImporter)
#include "test_importer.moc"
