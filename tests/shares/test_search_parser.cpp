// The search text parser: the example tables, random and mutated texts
// against the rules' invariants, and texts long enough that any step worse
// than linear would never finish.

#include <QtTest>

#include "shares/SearchParser.h"
#include "support/Fuzz.h"

namespace {

// The set in its own order, so expectations also pin the ordering.
QStringList ToList(const SearchParser::TokenSet& set) {
    return QStringList(set.begin(), set.end());
}

// Special characters, neighbours that must not be taken for them, and text
// that changes length or shape when lower-cased or encoded.
const QStringList kPieces =
    QString::fromUtf8(" |\t|-|*|\"|a|B|7|\n|\u00A0|Ü|ß|İ|П|中|\U0001F3B5|\\|.|--|\"\"|*-")
        .split('|')
    << QString(QChar(0));

QString RandomText(fuzz::Rng& rng, int maxPieces) {
    QString text;
    for (int k = fuzz::Below(rng, maxPieces + 1); k > 0; --k)
        text += kPieces[fuzz::Below(rng, kPieces.size())];
    return text;
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
        row("part token only", "*mix", true, none, {"mix"}, none);
        row("excluded token only", "-live", false, none, none, {"live"});
        row("empty phrase", "\"\"", false, none, none, none);
        row("quote inside a word", "ab\"cd", false, none, none, none);
        row("newline is no separator", "a\nb", true, {"a\nb"}, none, none);
        row("non-ASCII lower case", QString::fromUtf8("ÜBER Straße ПЕСНЯ"), true,
            {QString::fromUtf8("straße"), QString::fromUtf8("über"), QString::fromUtf8("песня")},
            none, none);
        row("zero ends the text", QString::fromUtf8("foo\0bar -", 9), true, {"foo"}, none, none);
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
    }

    void parsesSearchText() {
        QFETCH(QString, text);
        QFETCH(bool, parsed);
        QFETCH(QStringList, included);
        QFETCH(QStringList, part);
        QFETCH(QStringList, excluded);

        SearchParser parser;
        QCOMPARE(parser.SetSearchText(text), parsed);
        QCOMPARE(QList<QStringList>() << ToList(parser.GetIncludedTokenSet())
                                      << ToList(parser.GetIncludedPartTokenSet())
                                      << ToList(parser.GetExcludedTokenSet()),
                 QList<QStringList>() << included << part << excluded);
    }

    void matchesText_data() {
        QTest::addColumn<QString>("search");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("match");

        auto row = [](const char* name, const QString& search, const QString& text, bool match) {
            QTest::newRow(name) << search << text << match;
        };

        row("substring, not word", "art", "Party Mix.mp3", true);
        row("part token present", "*mix", "Party Remix.mp3", true);
        row("excluded spoils", "foo -live *mix", "foo mix live.mp3", false);
        row("failed text keeps earlier tokens", "foo \"\" bar", "foo.mp3", true);
        row("dotted capital I against plain i", "istanbul", QString::fromUtf8("İSTANBUL.mp3"),
            false);
    }

    void matchesText() {
        QFETCH(QString, search);
        QFETCH(QString, text);
        QFETCH(bool, match);

        SearchParser parser;
        parser.SetSearchText(search);
        QCOMPARE(parser.IsMatch(text), match);
    }

    // Every token is non-empty, lower case, free of quotes and zeros, and
    // found in the lower-cased text; a parsed text has a wanted token; a
    // text made of the wanted tokens matches unless it holds an excluded one.
    void randomAndMutatedTexts() {
        fuzz::Rng rng(0x5EA4C4u);
        for (int i = 0; i < 20000; ++i) {
            QString text = RandomText(rng, 24);
            if (i % 2)
                text = QString::fromUtf8(fuzz::Mutate(rng, text.toUtf8()));
            const QString what = QString::fromLatin1(text.toUtf8().toPercentEncoding());
            SearchParser parser;
            const bool parsed = parser.SetSearchText(text);
            QByteArray lower = text.toLower().toUtf8();
            lower.truncate(lower.indexOf('\0') < 0 ? lower.size() : lower.indexOf('\0'));
            const QString readable = QString::fromUtf8(lower);
            QStringList wanted;
            bool spoiled = false;
            for (const auto* set :
                 {&parser.GetIncludedTokenSet(), &parser.GetIncludedPartTokenSet(),
                  &parser.GetExcludedTokenSet()})
                for (const QString& token : *set) {
                    QVERIFY2(!token.isEmpty() && !token.contains('"') &&
                                 !token.contains(QChar(0)) && token.toLower() == token &&
                                 readable.contains(token),
                             qPrintable(what));
                    if (set != &parser.GetExcludedTokenSet())
                        wanted << token;
                }
            QVERIFY2(!parsed || !wanted.isEmpty(), qPrintable(what));
            const QString candidate = wanted.join('|');
            for (const QString& token : parser.GetExcludedTokenSet())
                spoiled = spoiled || candidate.contains(token);
            QVERIFY2(parser.IsMatch(candidate) != spoiled, qPrintable(what));
            QVERIFY(SearchParser().IsMatch(text));
        }
    }

    // A search text or a file name from a peer must never stall the main
    // thread: these finish at once when every step is linear, and would take
    // hours otherwise.
    void veryLongTexts() {
        const int n = 1 << 19;
        for (const QString& text :
             {QString(n, 'a'), QString(n, '-'), QString(n, '"'), "\"" + QString(n, ' '),
              "x " + QString("-a ").repeated(n / 3), "*" + QString("\"a\"").repeated(n / 3),
              "-\"" + QString(n, QChar(0x130))}) {
            SearchParser parser;
            parser.SetSearchText(text);
            QVERIFY(parser.IsMatch(text) || !parser.GetExcludedTokenSet().empty());
        }
        // Lower case longer than the character itself: QString::toLower alone
        // needs minutes for this.
        const QString grows(1 << 21, QChar(0x130));
        SearchParser parser;
        QVERIFY(parser.SetSearchText("x " + grows));
        QVERIFY(!parser.IsMatch(grows));
        QCOMPARE(parser.GetIncludedTokenSet().size(), std::size_t(2));
        QCOMPARE(parser.GetIncludedTokenSet().begin()->size(), 2 << 21);
    }
};

QTEST_GUILESS_MAIN(TestSearchParser)
#include "test_search_parser.moc"
