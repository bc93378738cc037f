#include <QRandomGenerator>
#include <QTextCodec>
#include <QtTest>
#include <climits>
#include <string>

#include "store/GeneralFunctions.h"

namespace {

std::string S(const char* text) {
    return std::string(text);
}

// Restores the fallback codec whatever a test leaves behind.
struct CodecGuard {
    QTextCodec* saved = GetFallbackCodec();
    ~CodecGuard() { SetFallbackCodec(saved); }
};

// A reference decoder: the bytes are UTF-8 when Qt's decoder takes them without
// a replacement character and encodes the result back to the same bytes.
bool ReferenceUtf8(const QByteArray& bytes) {
    QTextCodec* utf8 = QTextCodec::codecForName("UTF-8");
    QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
    const QString text = utf8->toUnicode(bytes.constData(), bytes.size(), &state);
    if (state.invalidChars != 0 || state.remainingChars != 0)
        return false;
    return text.toUtf8() == bytes;
}

}  // namespace

class TestGeneral : public QObject {
    Q_OBJECT

private slots:
    void pathFunctions_data();
    void pathFunctions();
    void parentFolderClimbsRemotePath();
    void fileExtension();
    void stringReplace();
    void formatSeconds_data();
    void formatSeconds();
    void getBit();
    void commafyNumber_data();
    void commafyNumber();
    void reversePathname_data();
    void reversePathname();
    void escapeHtml();
    void convertLinks_data();
    void convertLinks();
    void isValidUtf8_data();
    void isValidUtf8();
    void utf8DetectionOnRandomInput();
    void toQString();
    void toQStringWithFallbackCodec();
};

void TestGeneral::pathFunctions_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("parent");

    QTest::newRow("empty") << ""
                           << ""
                           << ""
                           << "";
    QTest::newRow("no separator") << "song.mp3"
                                  << "song.mp3"
                                  << "song.mp3"
                                  << "song.mp3";
    QTest::newRow("backslashes") << "music\\Artist\\Album"
                                 << "Album"
                                 << "music\\Artist"
                                 << "music\\Artist";
    QTest::newRow("slashes") << "a/b/c.txt"
                             << "c.txt"
                             << "a/b"
                             << "a/b";
    QTest::newRow("mixed") << "a\\b/c"
                           << "c"
                           << "a\\b"
                           << "a\\b";
    QTest::newRow("one trailing backslash") << "music\\Artist\\"
                                            << "Artist"
                                            << "music"
                                            << "music";
    QTest::newRow("one trailing slash") << "a/b/"
                                        << "b"
                                        << "a"
                                        << "a";
    // Only one trailing separator is ignored by the first two; the parent
    // drops every trailing backslash.
    QTest::newRow("two trailing backslashes") << "a\\b\\\\"
                                              << ""
                                              << "a\\b"
                                              << "a";
    QTest::newRow("top-level with trailing") << "C:\\"
                                             << "C:"
                                             << "C:"
                                             << "C:";
    QTest::newRow("leading separator") << "/abc"
                                       << "abc"
                                       << ""
                                       << "";
    QTest::newRow("only separator") << "\\"
                                    << ""
                                    << ""
                                    << "";
    QTest::newRow("only separators") << "\\\\\\"
                                     << ""
                                     << "\\"
                                     << "";
    QTest::newRow("high bytes") << "d\xc3\xa9j\xc3\xa0\\vu"
                                << "vu"
                                << "d\xc3\xa9j\xc3\xa0"
                                << "d\xc3\xa9j\xc3\xa0";
}

void TestGeneral::pathFunctions() {
    QFETCH(QString, path);
    QFETCH(QString, fileName);
    QFETCH(QString, folder);
    QFETCH(QString, parent);
    const std::string p = path.toStdString();
    QCOMPARE(QString::fromStdString(GetFileName(p)), fileName);
    QCOMPARE(QString::fromStdString(GetFolder(p)), folder);
    QCOMPARE(QString::fromStdString(GetParentFolder(p)), parent);
}

void TestGeneral::parentFolderClimbsRemotePath() {
    // How the transfer engine rebuilds the last L + 1 components of a remote
    // folder: the outermost component repeats once the climb runs out.
    std::string r = "music\\Artist\\Album";
    std::string collected;
    for (int i = 0; i < 4; ++i) {
        collected = "\\" + GetFileName(r) + collected;
        r = GetParentFolder(r);
    }
    QCOMPARE(QString::fromStdString(collected), QString("\\music\\music\\Artist\\Album"));
}

void TestGeneral::fileExtension() {
    QCOMPARE(GetFileExtension(S("Song.MP3")), S("mp3"));
    QCOMPARE(GetFileExtension(S("archive.TaR.Gz")), S("gz"));
    QCOMPARE(GetFileExtension(S("README")), S(""));
    QCOMPARE(GetFileExtension(S("")), S(""));
    QCOMPARE(GetFileExtension(S("trailing.")), S(""));
    QCOMPARE(GetFileExtension(S(".Hidden")), S("hidden"));
    // Bytes of multi-byte characters are left alone; only ASCII is lowered.
    QCOMPARE(GetFileExtension(S("x.\xc3\x89T\xc3\xa9")), S("\xc3\x89t\xc3\xa9"));
    QCOMPARE(GetFileExtension(S("x.\xc4\xb0")), S("\xc4\xb0"));
}

void TestGeneral::stringReplace() {
    QCOMPARE(StringReplace("a-b-c", "-", "+"), S("a+b+c"));
    QCOMPARE(StringReplace("aaaa", "aa", "b"), S("bb"));
    QCOMPARE(StringReplace("aaa", "aa", "b"), S("ba"));
    // The replacement is not rescanned.
    QCOMPARE(StringReplace("ab", "a", "aa"), S("aab"));
    QCOMPARE(StringReplace("x\\y\\z", "\\", "/"), S("x/y/z"));
    QCOMPARE(StringReplace("abc", "abc", ""), S(""));
    QCOMPARE(StringReplace("abc", "abcd", "x"), S("abc"));
    QCOMPARE(StringReplace("", "a", "b"), S(""));
    // An empty pattern would match everywhere: the text comes back unchanged.
    QCOMPARE(StringReplace("abc", "", "x"), S("abc"));
    QCOMPARE(StringReplace("", "", "x"), S(""));
    // Embedded NULs are ordinary bytes.
    const std::string withNul("a\0b\0c", 5);
    QCOMPARE(StringReplace(withNul, std::string("\0", 1), "-"), S("a-b-c"));
}

void TestGeneral::formatSeconds_data() {
    QTest::addColumn<int>("seconds");
    QTest::addColumn<QString>("text");
    QTest::newRow("zero") << 0 << "0m0s";
    QTest::newRow("seconds") << 5 << "0m5s";
    QTest::newRow("minute") << 60 << "1m0s";
    QTest::newRow("just below an hour") << 3599 << "59m59s";
    QTest::newRow("hour") << 3600 << "1h0m0s";
    QTest::newRow("example") << 3725 << "1h2m5s";
    QTest::newRow("just below a day") << 86399 << "23h59m59s";
    QTest::newRow("day keeps zero hours") << 86405 << "1d0h0m5s";
    QTest::newRow("days and hours") << 2 * 86400 + 3 * 3600 + 4 * 60 + 5 << "2d3h4m5s";
    QTest::newRow("negative") << -1 << "0m0s";
    QTest::newRow("most negative") << INT_MIN << "0m0s";
    QTest::newRow("largest") << INT_MAX << "24855d3h14m7s";
}

void TestGeneral::formatSeconds() {
    QFETCH(int, seconds);
    QFETCH(QString, text);
    QCOMPARE(FormatSeconds(seconds), text);
}

void TestGeneral::getBit() {
    const std::uint64_t value = 0x8000000000000005ull;
    QCOMPARE(GetBit(value, 1), true);
    QCOMPARE(GetBit(value, 2), false);
    QCOMPARE(GetBit(value, 3), true);
    QCOMPARE(GetBit(value, 63), false);
    QCOMPARE(GetBit(value, 64), true);
    // Out of range: no shift by a negative or too large count (UBSan would see it).
    const std::uint64_t all = ~std::uint64_t(0);
    QCOMPARE(GetBit(all, 0), false);
    QCOMPARE(GetBit(all, -1), false);
    QCOMPARE(GetBit(all, 65), false);
    QCOMPARE(GetBit(all, INT_MAX), false);
    QCOMPARE(GetBit(all, INT_MIN), false);
    for (int n = 1; n <= 64; ++n) {
        QCOMPARE(GetBit(std::uint64_t(1) << (n - 1), n), true);
        QCOMPARE(GetBit(~(std::uint64_t(1) << (n - 1)), n), false);
    }
}

void TestGeneral::commafyNumber_data() {
    QTest::addColumn<qlonglong>("n");
    QTest::addColumn<QString>("text");
    QTest::newRow("one") << 1LL << "1";
    QTest::newRow("three digits") << 999LL << "999";
    QTest::newRow("four digits") << 1000LL << "1,000";
    QTest::newRow("six digits") << 123456LL << "123,456";
    QTest::newRow("seven digits") << 1234567LL << "1,234,567";
    QTest::newRow("progress bytes") << 1048576LL << "1,048,576";
    QTest::newRow("largest") << LLONG_MAX << "9,223,372,036,854,775,807";
    QTest::newRow("zero") << 0LL << "";
    QTest::newRow("negative") << -5LL << "";
    QTest::newRow("most negative") << LLONG_MIN << "";
}

void TestGeneral::commafyNumber() {
    QFETCH(qlonglong, n);
    QFETCH(QString, text);
    QCOMPARE(CommafyNumber(n), text);
}

void TestGeneral::reversePathname_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("reversed");
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("single") << "file"
                            << "file";
    QTest::newRow("mixed separators, trailing") << "a/b\\c/"
                                                << "c/b/a";
    QTest::newRow("backslashes") << "music\\Artist\\Album"
                                 << "Album/Artist/music";
    QTest::newRow("repeated and leading") << "\\\\a//\\b"
                                          << "b/a";
    QTest::newRow("only separators") << "/\\/"
                                     << "";
    QTest::newRow("non-ASCII") << QString::fromUtf8("Русская\\Музыка") << "Музыка/Русская";
}

void TestGeneral::reversePathname() {
    QFETCH(QString, path);
    QFETCH(QString, reversed);
    QCOMPARE(ReversePathname(path), reversed);
}

void TestGeneral::escapeHtml() {
    QCOMPARE(EscapeHTML("a < b > c"), QString("a&nbsp;&lt;&nbsp;b&nbsp;&gt;&nbsp;c"));
    // "&" first, so the entities it makes are not escaped again.
    QCOMPARE(EscapeHTML("&lt;"), QString("&amp;lt;"));
    QCOMPARE(EscapeHTML("<&>"), QString("&lt;&amp;&gt;"));
    QCOMPARE(EscapeHTML("  "), QString("&nbsp;&nbsp;"));
    // Only U+0020 is a blank here.
    QCOMPARE(EscapeHTML(QString("a\tb") + QChar(0x00A0)), QString("a\tb") + QChar(0x00A0));
    QCOMPARE(EscapeHTML("\"quoted\""), QString("\"quoted\""));
    QCOMPARE(EscapeHTML(""), QString(""));
}

void TestGeneral::convertLinks_data() {
    QTest::addColumn<QString>("raw");
    QTest::addColumn<QString>("html");

    const auto link = [](const QString& url) { return QString("<a href=\"%1\">%1</a>").arg(url); };
    QTest::newRow("no link") << "just text"
                             << "just&nbsp;text";
    QTest::newRow("whole line") << "http://a.b/x" << link("http://a.b/x");
    QTest::newRow("blank after link") << "see http://a.b/x now"
                                      << "see&nbsp;" + link("http://a.b/x") + "&nbsp;now";
    QTest::newRow("https") << "https://host.example/p?q=1#f"
                           << link("https://host.example/p?q=1#f");
    QTest::newRow("angle brackets around") << "<http://a.b/x>"
                                           << "&lt;" + link("http://a.b/x") + "&gt;";
    QTest::newRow("ampersand after link")
        << "http://a.b/x&more" << link("http://a.b/x") + "&amp;more";
    QTest::newRow("trailing punctuation dropped")
        << "go to http://a.b/x."
        << "go&nbsp;to&nbsp;" + link("http://a.b/x") + ".";
    QTest::newRow("comma inside kept") << "http://a.b/x,y z" << link("http://a.b/x,y") + "&nbsp;z";
    QTest::newRow("two links") << "http://a.b and https://c.d/e"
                               << link("http://a.b") + "&nbsp;and&nbsp;" + link("https://c.d/e");
    QTest::newRow("not at a word start") << "xhttp://a.b"
                                         << "xhttp://a.b";
    QTest::newRow("scheme only") << "http:// x"
                                 << "http://&nbsp;x";
    QTest::newRow("ftp untouched") << "ftp://a.b"
                                   << "ftp://a.b";
    QTest::newRow("quote stops link") << "say \"http://a.b\""
                                      << "say&nbsp;\"" + link("http://a.b") + "\"";
}

void TestGeneral::convertLinks() {
    QFETCH(QString, raw);
    QFETCH(QString, html);
    QCOMPARE(ConvertLinks(EscapeHTML(raw)), html);
}

void TestGeneral::isValidUtf8_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("valid");
    QTest::newRow("empty") << QByteArray() << true;
    QTest::newRow("ascii") << QByteArray("plain ascii text, long enough for words") << true;
    QTest::newRow("nul bytes") << QByteArray("a\0b", 3) << true;
    QTest::newRow("two-byte") << QByteArray("\xc3\xa9") << true;
    QTest::newRow("three-byte") << QByteArray("\xe2\x82\xac") << true;
    QTest::newRow("four-byte") << QByteArray("\xf0\x9f\x98\x80") << true;
    QTest::newRow("largest code point") << QByteArray("\xf4\x8f\xbf\xbf") << true;
    QTest::newRow("last before surrogates") << QByteArray("\xed\x9f\xbf") << true;
    QTest::newRow("first after surrogates") << QByteArray("\xee\x80\x80") << true;
    QTest::newRow("after long ascii run") << QByteArray("0123456789abcdef\xc3\xa9") << true;
    QTest::newRow("overlong two-byte C0") << QByteArray("\xc0\xaf") << false;
    QTest::newRow("overlong two-byte C1") << QByteArray("\xc1\xbf") << false;
    QTest::newRow("overlong three-byte") << QByteArray("\xe0\x80\xaf") << false;
    QTest::newRow("overlong four-byte") << QByteArray("\xf0\x80\x80\xaf") << false;
    QTest::newRow("surrogate") << QByteArray("\xed\xa0\x80") << false;
    QTest::newRow("above U+10FFFF") << QByteArray("\xf4\x90\x80\x80") << false;
    QTest::newRow("F5 lead") << QByteArray("\xf5\x80\x80\x80") << false;
    QTest::newRow("stray continuation") << QByteArray("a\x80") << false;
    QTest::newRow("truncated at end") << QByteArray("abc\xe2\x82") << false;
    QTest::newRow("truncated before ascii") << QByteArray("\xe2\x82x") << false;
    QTest::newRow("latin-1 text") << QByteArray("caf\xe9") << false;
    QTest::newRow("invalid after long ascii run") << QByteArray("0123456789abcdef\xff") << false;
}

void TestGeneral::isValidUtf8() {
    QFETCH(QByteArray, bytes);
    QFETCH(bool, valid);
    QCOMPARE(IsValidUtf8(bytes.constData(), std::size_t(bytes.size())), valid);
}

void TestGeneral::utf8DetectionOnRandomInput() {
    CodecGuard guard;
    SetFallbackCodec(nullptr);
    // Random byte strings biased towards UTF-8 structure, and mutations of
    // valid text; checked against Qt's own decoder.
    QRandomGenerator rng(20240611);
    const QByteArray seed = "\xef\xbb\xbf" + QString::fromUtf8("héllo €uro 😀 ЖЖ ascii").toUtf8();
    static const unsigned char interesting[] = {0x00, 0x7f, 0x80, 0xbf, 0xc0, 0xc1, 0xc2,
                                                0xdf, 0xe0, 0xed, 0xef, 0xf0, 0xf4, 0xf5,
                                                0xff, 0x9f, 0xa0, 0x8f, 0x90, 'a'};
    for (int round = 0; round < 20000; ++round) {
        QByteArray bytes;
        if (round % 2 == 0) {
            const int length = rng.bounded(12);
            for (int i = 0; i < length; ++i) {
                bytes.append(
                    char(rng.bounded(3) == 0 ? rng.bounded(256) : interesting[rng.bounded(20)]));
            }
        } else {
            bytes = seed;
            const int edits = 1 + rng.bounded(3);
            for (int e = 0; e < edits; ++e) {
                const int at = rng.bounded(bytes.size());
                switch (rng.bounded(3)) {
                    case 0:
                        bytes[at] = char(rng.bounded(256));
                        break;
                    case 1:
                        bytes.remove(at, 1);
                        break;
                    default:
                        bytes.truncate(at);
                        break;
                }
                if (bytes.isEmpty())
                    break;
            }
        }
        const bool expected = ReferenceUtf8(bytes);
        if (IsValidUtf8(bytes.constData(), std::size_t(bytes.size())) != expected)
            QFAIL(qPrintable("disagreement on " + bytes.toHex(' ')));
        // Either way ToQString loses no byte.
        const QString text = ToQString(bytes.constData(), std::size_t(bytes.size()));
        if ((expected ? text.toUtf8() : text.toLatin1()) != bytes)
            QFAIL(qPrintable("ToQString lost bytes of " + bytes.toHex(' ')));
    }
}

void TestGeneral::toQString() {
    CodecGuard guard;
    SetFallbackCodec(nullptr);
    QCOMPARE(ToQString(S("plain")), QString("plain"));
    QCOMPARE(ToQString(S("")), QString());
    QCOMPARE(ToQString(nullptr, 5), QString());
    QCOMPARE(ToQString(S("caf\xc3\xa9 \xe2\x82\xac")), QString::fromUtf8("café €"));
    // Not UTF-8 and no code page: Latin-1, byte for byte.
    QCOMPARE(ToQString(S("caf\xe9")), QString::fromUtf8("café"));
    QCOMPARE(ToQString(S("\xc0\xaf")), QString::fromUtf8("À¯"));
    // NUL bytes stay in the text whichever decoder runs.
    const std::string withNul("a\0b", 3);
    QCOMPARE(ToQString(withNul).size(), 3);
    QCOMPARE(ToQString(withNul).at(1), QChar(0));
    const std::string latinWithNul("\xe9\0\xe9", 3);
    QCOMPARE(ToQString(latinWithNul), QString(QChar(0xe9)) + QChar(0) + QChar(0xe9));
    // A leading byte-order mark is text like any other character.
    QCOMPARE(ToQString(S("\xef\xbb\xbfx")), QString(QChar(0xfeff)) + "x");
    QCOMPARE(ToQString(S("\xef\xbb\xbf\xef\xbb\xbf")).toUtf8(),
             QByteArray("\xef\xbb\xbf\xef\xbb\xbf"));
    QCOMPARE(ToQString(S("\xef\xbb\xbf")), QString(QChar(0xfeff)));
    // The pointer overload reads exactly the length given.
    QCOMPARE(ToQString("abcdef", 3), QString("abc"));
}

void TestGeneral::toQStringWithFallbackCodec() {
    CodecGuard guard;
    QTextCodec* cp1251 = QTextCodec::codecForName("Windows-1251");
    if (!cp1251)
        QSKIP("Windows-1251 is not available on this platform");

    SetFallbackCodec(cp1251);
    QCOMPARE(GetFallbackCodec(), cp1251);
    // "Привет" in Windows-1251 is not UTF-8.
    const std::string cyrillic("\xcf\xf0\xe8\xe2\xe5\xf2");
    QCOMPARE(ToQString(cyrillic), QString::fromUtf8("Привет"));
    // UTF-8 still wins over the code page.
    QCOMPARE(ToQString(S("\xd0\x9f")), QString::fromUtf8("П"));

    SetFallbackCodec(nullptr);
    QCOMPARE(GetFallbackCodec(), static_cast<QTextCodec*>(nullptr));
    QCOMPARE(ToQString(cyrillic), QString::fromLatin1(cyrillic.data(), int(cyrillic.size())));
}

QTEST_GUILESS_MAIN(TestGeneral)
#include "test_general.moc"
