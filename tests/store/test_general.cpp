// Text and path helpers: edge inputs, link conversion after escaping, UTF-8
// detection and decoding.

#include <QTextCodec>
#include <QtTest>
#include <climits>
#include <cstring>
#include <string>

#include "store/GeneralFunctions.h"
#include "support/Fuzz.h"

class TestGeneral : public QObject {
    Q_OBJECT

private slots:
    void init() { SetFallbackCodec(nullptr); }
    void cleanup() { SetFallbackCodec(nullptr); }

    void paths() {
        // path, file name, folder, parent folder: either separator, one trailing ignored
        const char* rows[][4] = {
            {"", "", "", ""},
            {"song.mp3", "song.mp3", "song.mp3", "song.mp3"},
            {"music\\Artist\\Album", "Album", "music\\Artist", "music\\Artist"},
            {"a\\b/c", "c", "a\\b", "a\\b"},
            {"music\\Artist\\", "Artist", "music", "music"},
            {"a\\b\\\\", "", "a\\b", "a"},
            {"C:\\", "C:", "C:", "C:"},
            {"/abc", "abc", "", ""},
            {"\\\\\\", "", "\\", ""},
        };
        for (const auto& r : rows) {
            QCOMPARE(GetFileName(r[0]), std::string(r[1]));
            QCOMPARE(GetFolder(r[0]), std::string(r[2]));
            QCOMPARE(GetParentFolder(r[0]), std::string(r[3]));
        }
        QCOMPARE(GetFileExtension("archive.TaR.Gz"), std::string("gz"));
        QCOMPARE(GetFileExtension("trailing."), std::string());
        QCOMPARE(GetFileExtension("x.\xc3\x89T"), std::string("\xc3\x89t"));  // ASCII lowered only
        QCOMPARE(ReversePathname("\\\\a//\\b\\"), QString("b/a"));
        QCOMPARE(ReversePathname("/\\/"), QString());
    }

    void textEdges() {
        QCOMPARE(StringReplace("aaa", "aa", "b"), std::string("ba"));
        QCOMPARE(StringReplace("ab", "a", "aa"), std::string("aab"));  // not rescanned
        QCOMPARE(StringReplace("abc", "", "x"), std::string("abc"));   // no endless loop
        QCOMPARE(StringReplace(std::string("a\0b", 3), std::string("\0", 1), "-"),
                 std::string("a-b"));
        // Negative and extreme inputs format as zero or in full.
        QVERIFY(FormatSeconds(86405) == "1d0h0m5s" && FormatSeconds(3599) == "59m59s");
        QVERIFY(FormatSeconds(-1) == "0m0s" && FormatSeconds(INT_MIN) == "0m0s");
        QCOMPARE(FormatSeconds(INT_MAX), QString("24855d3h14m7s"));
        QVERIFY(CommafyNumber(999) == "999" && CommafyNumber(1000) == "1,000");
        QVERIFY(CommafyNumber(0).isEmpty() && CommafyNumber(LLONG_MIN).isEmpty());
        QCOMPARE(CommafyNumber(LLONG_MAX), QString("9,223,372,036,854,775,807"));
        // Bits counted from 1; out of range is 0, with no undefined shift.
        for (int n = 1; n <= 64; ++n) {
            QVERIFY(GetBit(std::uint64_t(1) << (n - 1), n));
            QVERIFY(!GetBit(~(std::uint64_t(1) << (n - 1)), n));
        }
        for (int n : {0, -1, 65, INT_MAX, INT_MIN})
            QVERIFY(!GetBit(~std::uint64_t(0), n));
        // "&" first, so the entities made are not escaped again; only U+0020 is a blank.
        QCOMPARE(EscapeHTML("<&> a"), QString("&lt;&amp;&gt;&nbsp;a"));
        QCOMPARE(EscapeHTML(QString("a\tb") + QChar(0xA0)), QString("a\tb") + QChar(0xA0));
    }

    void convertLinks() {
        // A link stops before the entities that escaping made; "[x]" is a link to x.
        const char* rows[][2] = {{"see http://a.b/x now", "see&nbsp;[http://a.b/x]&nbsp;now"},
                                 {"<http://a.b/x>", "&lt;[http://a.b/x]&gt;"},
                                 {"http://a.b/x&more", "[http://a.b/x]&amp;more"},
                                 {"https://h.example/p?q=1#f", "[https://h.example/p?q=1#f]"},
                                 {"go http://a.b/x.", "go&nbsp;[http://a.b/x]."},
                                 {"http://a.b/x,y z", "[http://a.b/x,y]&nbsp;z"},
                                 {"\"http://a.b\"", "\"[http://a.b]\""},
                                 {"xhttp://a.b", "xhttp://a.b"},
                                 {"http:// x", "http://&nbsp;x"},
                                 {"ftp://a.b", "ftp://a.b"}};
        for (const auto& r : rows)
            QCOMPARE(ConvertLinks(EscapeHTML(r[0])),
                     QString(r[1]).replace(QRegularExpression("\\[([^]]*)\\]"),
                                           "<a href=\"\\1\">\\1</a>"));
    }

    void utf8Detection() {
        const std::pair<const char*, bool> rows[] = {
            {"\xf0\x9f\x98\x80", true},     {"\xf4\x8f\xbf\xbf", true},
            {"\xed\x9f\xbf", true},         {"\xc0\xaf", false},
            {"\xe0\x80\xaf", false},        {"\xf0\x80\x80\xaf", false},
            {"\xed\xa0\x80", false},        {"\xf4\x90\x80\x80", false},
            {"\xf5\x80\x80\x80", false},    {"a\x80", false},
            {"abc\xe2\x82", false},         {"\xe2\x82x", false},
            {"0123456789abcdef\xff", false}};
        for (const auto& r : rows)
            QVERIFY2(IsValidUtf8(r.first, std::strlen(r.first)) == r.second, r.first);
        // Random and mutated bytes against Qt's own decoder; decoding loses no byte.
        QTextCodec* utf8 = QTextCodec::codecForName("UTF-8");
        const QByteArray seed =
            QString::fromUtf8("h\xc3\xa9llo \xe2\x82\xac \xf0\x9f\x98\x80").toUtf8();
        fuzz::Rng rng(20240611);
        for (int round = 0; round < 20000; ++round) {
            const QByteArray bytes =
                round % 2 ? fuzz::Mutate(rng, seed) : fuzz::RandomBytes(rng, 12);
            QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
            const QString text = utf8->toUnicode(bytes.constData(), bytes.size(), &state);
            const bool expected =
                state.invalidChars == 0 && state.remainingChars == 0 && text.toUtf8() == bytes;
            const QString decoded = ToQString(bytes.constData(), std::size_t(bytes.size()));
            if (IsValidUtf8(bytes.constData(), std::size_t(bytes.size())) != expected ||
                (expected ? decoded.toUtf8() : decoded.toLatin1()) != bytes)
                QFAIL(qPrintable("wrong on " + bytes.toHex(' ')));
        }
    }

    void decoding() {
        QCOMPARE(ToQString(std::string("caf\xe9")), QString::fromUtf8("caf\xc3\xa9"));
        QCOMPARE(ToQString(std::string("\xe9\0\xe9", 3)),
                 QString(QChar(0xe9)) + QChar(0) + QChar(0xe9));
        QCOMPARE(ToQString(std::string("\xef\xbb\xbfx")), QString(QChar(0xfeff)) + "x");
        QTextCodec* cp1251 = QTextCodec::codecForName("Windows-1251");
        if (!cp1251)
            QSKIP("Windows-1251 is not available on this platform");
        SetFallbackCodec(cp1251);
        QCOMPARE(ToQString(std::string("\xcf\xf0\xe8\xe2\xe5\xf2")),
                 QString::fromUtf8("\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82"));
        QCOMPARE(ToQString(std::string("\xd0\x9f")), QString::fromUtf8("\xd0\x9f"));  // UTF-8 first
    }
};

QTEST_GUILESS_MAIN(TestGeneral)
#include "test_general.moc"
