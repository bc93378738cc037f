#include <QtTest>

#include "shares/SearchParser.h"

namespace {

// The set in its own order, so expectations also pin the ordering.
QStringList ToList(const SearchParser::TokenSet& set) {
    return QStringList(set.begin(), set.end());
}

}  // namespace

class TestSearchParser : public QObject {
    Q_OBJECT

private slots:
    void parsesSearchText_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("parsed");
        QTest::addColumn<QStringList>("included");
        QTest::addColumn<QStringList>("part");
        QTest::addColumn<QStringList>("excluded");

        const QStringList none;
        auto row = [](const char* name, const QString& text, bool parsed,
                      const QStringList& included, const QStringList& part,
                      const QStringList& excluded) {
            QTest::newRow(name) << text << parsed << included << part << excluded;
        };

        row("two blanks, upper case", "Foo  Bar", true, {"bar", "foo"}, none, none);
        row("all three kinds", "foo -live *mix", true, {"foo"}, {"mix"}, {"live"});
        row("phrase and word", "\"hello world\" x", true, {"hello world", "x"}, none, none);
        row("closing quote ends a token", "\"a\"b", true, {"a", "b"}, none, none);
        row("excluded phrase only", "-\"a b\"", false, none, none, {"a b"});
        row("unclosed quote", "\"open phrase", true, {"open phrase"}, none, none);
        row("unclosed quote keeps tabs and blanks", "x \"a\t b  ", true, {"a\t b  ", "x"}, none,
            none);
        row("part token only", "*mix", true, none, {"mix"}, none);
        row("excluded token only", "-live", false, none, none, {"live"});
        row("trailing minus", "foo -", false, {"foo"}, none, none);
        row("trailing star", "foo *", false, {"foo"}, none, none);
        row("prefix then blank", "foo - bar", false, {"foo"}, none, none);
        row("prefix then quote at end", "foo -\"", false, {"foo"}, none, none);
        row("quote at end", "foo \"", false, {"foo"}, none, none);
        row("empty phrase", "\"\"", false, none, none, none);
        row("empty phrase stops reading", "a \"\" b", false, {"a"}, none, none);
        row("quote inside a word", "ab\"cd", false, none, none, none);
        row("quote inside a later word", "x ab\"cd y", false, {"x"}, none, none);
        row("empty", "", false, none, none, none);
        row("separators only", " \t \t ", false, none, none, none);
        row("newline is no separator", "a\nb", true, {"a\nb"}, none, none);
        row("carriage return is no separator", "a\rb", true, {"a\rb"}, none, none);
        row("no-break space is no separator", QString::fromUtf8("a\u00A0b"), true,
            {QString::fromUtf8("a\u00A0b")}, none, none);
        row("repeated token", "foo foo FOO", true, {"foo"}, none, none);
        row("trailing minus is part of a word", "foo-", true, {"foo-"}, none, none);
        row("double minus", "--x", false, none, none, {"-x"});
        row("minus then star", "-*x", false, none, none, {"*x"});
        row("star then minus", "*-x", true, none, {"-x"}, none);
        row("tabs separate", "\ta\tb\t", true, {"a", "b"}, none, none);
        row("same word in two sets", "x -x *x", true, {"x"}, {"x"}, {"x"});
        row("non-ASCII lower case", QString::fromUtf8("ÜBER Straße ПЕСНЯ"), true,
            {QString::fromUtf8("straße"), QString::fromUtf8("über"), QString::fromUtf8("песня")},
            none, none);
        row("non-ASCII phrase", QString::fromUtf8("*\"Ärger Öl\""), true, none,
            {QString::fromUtf8("ärger öl")}, none);
        row("zero ends the text", QString::fromUtf8("foo\0bar -", 9), true, {"foo"}, none, none);
        row("zero right after a prefix", QString::fromUtf8("a -\0x", 5), false, {"a"}, none, none);
        row("dotted capital I grows", QString::fromUtf8("İSTANBUL"), true,
            {QString::fromUtf8("i\u0307stanbul")}, none, none);
        // Longer texts are lower-cased in pieces; a surrogate pair and a
        // growing character sit where a piece ends.
        row("long text, pair across a piece end",
            QString(63, QChar('A')) + QString::fromUtf8("\U0001F3B5") + QString(70, QChar(0x0130)) +
                QStringLiteral(" *X"),
            true,
            {QString(63, QChar('a')) + QString::fromUtf8("\U0001F3B5") +
             QString::fromUtf8("i\u0307").repeated(70)},
            {"x"}, none);
        row("ordered by UTF-16 code units", QString::fromUtf8("b A é Z"), true,
            {"a", "b", "z", QString::fromUtf8("é")}, none, none);
    }

    void parsesSearchText() {
        QFETCH(QString, text);
        QFETCH(bool, parsed);
        QFETCH(QStringList, included);
        QFETCH(QStringList, part);
        QFETCH(QStringList, excluded);

        SearchParser parser;
        QCOMPARE(parser.SetSearchText(text), parsed);
        QCOMPARE(ToList(parser.GetIncludedTokenSet()), included);
        QCOMPARE(ToList(parser.GetIncludedPartTokenSet()), part);
        QCOMPARE(ToList(parser.GetExcludedTokenSet()), excluded);
    }

    void freshParserAndRepeatedTexts() {
        SearchParser parser;
        QVERIFY(parser.GetIncludedTokenSet().empty());
        QVERIFY(parser.GetIncludedPartTokenSet().empty());
        QVERIFY(parser.GetExcludedTokenSet().empty());
        QCOMPARE(SearchParser::Whitespace(), QStringLiteral(" \t"));

        // A second text adds to the sets, and the verdict looks at the sets
        // as a whole, not at the second text alone.
        QVERIFY(parser.SetSearchText("foo"));
        QVERIFY(parser.SetSearchText("-live"));
        QCOMPARE(ToList(parser.GetIncludedTokenSet()), QStringList{"foo"});
        QCOMPARE(ToList(parser.GetExcludedTokenSet()), QStringList{"live"});
        QVERIFY(!parser.SetSearchText("bar *"));
        QCOMPARE(ToList(parser.GetIncludedTokenSet()), (QStringList{"bar", "foo"}));
    }

    void matchesText_data() {
        QTest::addColumn<QString>("search");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("match");

        auto row = [](const char* name, const QString& search, const QString& text, bool match) {
            QTest::newRow(name) << search << text << match;
        };

        row("substring, not word", "art", "Party Mix.mp3", true);
        row("empty search, any text", "", "Party Mix.mp3", true);
        row("empty search, empty text", "", "", true);
        row("separators only, any text", " \t", "x", true);
        row("only excluded, absent", "-live", "Song.mp3", true);
        row("only excluded, present", "-live", "Song (LIVE).mp3", false);
        row("part token present", "*mix", "Party Remix.mp3", true);
        row("part token absent", "*mix", "Party.mp3", false);
        row("all three fit", "foo -live *mix", "FOO remix.mp3", true);
        row("excluded spoils", "foo -live *mix", "foo mix live.mp3", false);
        row("part token missing", "foo -live *mix", "foo.mp3", false);
        row("every included token needed", "foo bar", "foo.mp3", false);
        row("included tokens in any order", "bar foo", "Foo - Bar.mp3", true);
        row("phrase with blank", "\"hello world\"", "Hello World.mp3", true);
        row("phrase needs the blank", "\"hello world\"", "hello_world.mp3", false);
        row("phrase needs the order", "\"hello world\"", "world hello.mp3", false);
        row("excluded phrase", "x -\"live at\"", "x Live At Leeds.mp3", false);
        row("excluded phrase, words apart", "x -\"live at\"", "x live, at home.mp3", true);
        row("upper-case search", "ROCK", "rock.mp3", true);
        row("upper-case text", "rock", "ROCK.MP3", true);
        row("non-ASCII upper-case search", QString::fromUtf8("ÜBER"),
            QString::fromUtf8("über_straße.mp3"), true);
        row("non-ASCII upper-case text", QString::fromUtf8("über"),
            QString::fromUtf8("ÜBER_STRASSE.MP3"), true);
        row("sharp s is not folded", QString::fromUtf8("straße"), "STRASSE.mp3", false);
        row("sharp s against itself", QString::fromUtf8("straße"), QString::fromUtf8("Straße.mp3"),
            true);
        row("Cyrillic", QString::fromUtf8("ПЕСНЯ"), QString::fromUtf8("Моя песня.mp3"), true);
        row("full path with backslashes", "music rock", "\\home\\ann\\Music\\Rock\\a.mp3", true);
        row("token absent from path", "jazz", "\\home\\ann\\Music\\Rock\\a.mp3", false);
        row("excluded token in the folder", "song -ann", "\\home\\ann\\Music\\song.mp3", false);
        row("newline inside a token", "a\nb", "a\nb.mp3", true);
        row("newline token, blank text", "a\nb", "a b.mp3", false);
        row("failed text keeps earlier tokens", "foo \"\" bar", "foo.mp3", true);
        row("failed text, earlier token absent", "foo \"\" bar", "bar.mp3", false);
        row("dotted capital I against plain i", "istanbul", QString::fromUtf8("İSTANBUL.mp3"),
            false);
        row("dotted capital I against itself", QString::fromUtf8("İstanbul"),
            QString::fromUtf8("İSTANBUL.mp3"), true);
        row("long text lower-cased in pieces", QString::fromUtf8("i\u0307stanbul -\U0001F3B5x"),
            QString(100, QChar(0x0130)) + QString(60, QChar('-')) + QStringLiteral("ISTANBUL") +
                QString::fromUtf8("\U0001F3B5X"),
            false);
        row("long text, excluded absent", QString::fromUtf8("i\u0307stanbul -\U0001F3B5x"),
            QString(100, QChar(0x0130)) + QStringLiteral("STANBUL") +
                QString::fromUtf8("\U0001F3B5Y"),
            true);
        row("zero ends the search text", QString::fromUtf8("foo\0bar", 7), "foo.mp3", true);
    }

    void matchesText() {
        QFETCH(QString, search);
        QFETCH(QString, text);
        QFETCH(bool, match);

        SearchParser parser;
        parser.SetSearchText(search);
        QCOMPARE(parser.IsMatch(text), match);
    }
};

QTEST_GUILESS_MAIN(TestSearchParser)
#include "test_search_parser.moc"
