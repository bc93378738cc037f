// Random and mutated search texts: nothing may crash or hang, tokenizing stays
// linear on very long texts, and the sets and IsMatch obey a few invariants.

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QtTest>
#include <random>
#include <set>
#include <vector>

#include "shares/SearchParser.h"

namespace {

using Rng = std::mt19937;

// Characters the tokenizer treats specially, plus neighbours that must not be
// taken for them (newline, no-break space, ideographic space) and text that
// changes length or shape when lower-cased or encoded.
const std::vector<QString>& Alphabet() {
    static const std::vector<QString> alphabet = {
        QStringLiteral(" "),    QStringLiteral("\t"),
        QStringLiteral("-"),    QStringLiteral("*"),
        QStringLiteral("\""),   QStringLiteral("a"),
        QStringLiteral("B"),    QStringLiteral("z"),
        QStringLiteral("7"),    QStringLiteral("\n"),
        QStringLiteral("\r"),   QString(QChar(0)),
        QString(QChar(0x00A0)), QString(QChar(0x3000)),
        QString(QChar(0x00DC)), QString(QChar(0x00DF)),
        QString(QChar(0x0130)), QString(QChar(0x03A3)),
        QString(QChar(0x041F)), QString(QChar(0x4E2D)),
        QString(QChar(0xFFFD)), QString::fromUtf8("\xF0\x9F\x8E\xB5"),
        QString(QChar(0xD800)), QString(QChar(0xDC00)),
        QStringLiteral("\\"),   QStringLiteral("/"),
        QStringLiteral("."),    QStringLiteral("--"),
        QStringLiteral("\"\""), QStringLiteral("*-"),
    };
    return alphabet;
}

const QStringList& Seeds() {
    static const QStringList seeds = {
        QStringLiteral("Foo  Bar"),
        QStringLiteral("foo -live *mix"),
        QStringLiteral("\"hello world\" x"),
        QStringLiteral("\"a\"b"),
        QStringLiteral("-\"a b\""),
        QStringLiteral("\"open phrase"),
        QStringLiteral("*mix"),
        QStringLiteral("-live"),
        QStringLiteral("foo - bar"),
        QStringLiteral("ab\"cd"),
        QStringLiteral("--x -*x *-x foo-"),
        QString::fromUtf8("Über_Straße.mp3 \"ПЕСНЯ 中文\" -live\t*remix"),
    };
    return seeds;
}

int Pick(Rng& rng, int bound) {
    return std::uniform_int_distribution<int>(0, bound - 1)(rng);
}

QString RandomText(Rng& rng, int maxPieces) {
    const auto& alphabet = Alphabet();
    QString text;
    const int pieces = Pick(rng, maxPieces + 1);
    for (int i = 0; i < pieces; ++i) {
        text += alphabet[Pick(rng, int(alphabet.size()))];
    }
    return text;
}

QString Mutate(Rng& rng, QString text) {
    const int rounds = 1 + Pick(rng, 4);
    for (int r = 0; r < rounds; ++r) {
        const int at = Pick(rng, text.size() + 1);
        switch (Pick(rng, 5)) {
            case 0:
                text.insert(at, RandomText(rng, 3));
                break;
            case 1:
                text.remove(at, 1 + Pick(rng, 3));
                break;
            case 2:
                if (at < text.size()) {
                    text[at] = Alphabet()[Pick(rng, int(Alphabet().size()))].at(0);
                }
                break;
            case 3:
                text.insert(at, text.mid(Pick(rng, text.size() + 1), Pick(rng, 8)));
                break;
            default:
                text = text.mid(at) + text.left(at);
                break;
        }
    }
    return text;
}

// The text the tokenizer reads: lower case, through UTF-8, cut at the first
// zero. Lower-cased one character at a time, which for well-formed text is
// what QString::toLower gives, without its cost on long texts.
QString ReadableText(const QString& text) {
    QString lower;
    for (int i = 0; i < text.size();) {
        const int n = text.at(i).isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
        lower += text.mid(i, n).toLower();
        i += n;
    }
    QByteArray bytes = lower.toUtf8();
    const int zero = bytes.indexOf('\0');
    if (zero >= 0) {
        bytes.truncate(zero);
    }
    return QString::fromUtf8(bytes);
}

// Qt lower-cases a lone high surrogate together with the unit after it, so
// only well-formed UTF-16 (all that a UTF-8 decode gives) is sure to come out
// in lower case.
bool IsWellFormed(const QString& text) {
    for (int i = 0; i < text.size(); ++i) {
        if (text.at(i).isHighSurrogate() && i + 1 < text.size() &&
            text.at(i + 1).isLowSurrogate()) {
            ++i;
        } else if (text.at(i).isSurrogate()) {
            return false;
        }
    }
    return true;
}

bool SameSets(const SearchParser& a, const SearchParser& b) {
    return a.GetIncludedTokenSet() == b.GetIncludedTokenSet() &&
           a.GetIncludedPartTokenSet() == b.GetIncludedPartTokenSet() &&
           a.GetExcludedTokenSet() == b.GetExcludedTokenSet();
}

}  // namespace

class TestSearchParserFuzz : public QObject {
    Q_OBJECT

private:
    // Checks one text and returns false at the first broken invariant, with
    // the reason in *why.
    static bool CheckText(Rng& rng, const QString& text, const char** why) {
        SearchParser parser;
        const bool parsed = parser.SetSearchText(text);

        const QString readable = ReadableText(text);
        const bool hasQuote = readable.contains(QLatin1Char('"'));
        const bool wellFormed = IsWellFormed(text);
        const std::vector<const SearchParser::TokenSet*> sets = {&parser.GetIncludedTokenSet(),
                                                                 &parser.GetIncludedPartTokenSet(),
                                                                 &parser.GetExcludedTokenSet()};
        for (const auto* set : sets) {
            for (const QString& token : *set) {
                if (token.isEmpty() || token.contains(QLatin1Char('"')) ||
                    token.contains(QChar(0))) {
                    *why = "token empty or holds a quote or a zero";
                    return false;
                }
                if (wellFormed && token.toLower() != token) {
                    *why = "token not lower case";
                    return false;
                }
                if (wellFormed && !readable.contains(token)) {
                    *why = "token not taken from the text";
                    return false;
                }
                if (wellFormed && !hasQuote &&
                    (token.contains(QLatin1Char(' ')) || token.contains(QLatin1Char('\t')))) {
                    *why = "separator inside a token of an unquoted text";
                    return false;
                }
            }
        }
        if (parsed && parser.GetIncludedTokenSet().empty() &&
            parser.GetIncludedPartTokenSet().empty()) {
            *why = "parsed without an included or part token";
            return false;
        }

        // Same text, same outcome; and feeding it again adds nothing.
        SearchParser again;
        if (again.SetSearchText(text) != parsed || !SameSets(parser, again)) {
            *why = "tokenizing not deterministic";
            return false;
        }
        if (again.SetSearchText(text) != parsed || !SameSets(parser, again)) {
            *why = "a repeated text changed the sets or the verdict";
            return false;
        }

        // A text made of the wanted tokens matches unless it carries an
        // excluded one.
        QStringList wanted(parser.GetIncludedTokenSet().begin(),
                           parser.GetIncludedTokenSet().end());
        for (const QString& token : parser.GetIncludedPartTokenSet()) {
            wanted << token;
        }
        const QString candidate = wanted.join(QLatin1Char('|'));
        bool spoiled = false;
        for (const QString& token : parser.GetExcludedTokenSet()) {
            spoiled = spoiled || candidate.contains(token);
        }
        if (wellFormed && parser.IsMatch(candidate) == spoiled) {
            *why = "text of the wanted tokens matched wrongly";
            return false;
        }

        const QString other = Pick(rng, 2) ? Mutate(rng, text) : RandomText(rng, 40);
        const bool match = parser.IsMatch(other);
        if (parser.IsMatch(other) != match || again.IsMatch(other) != match) {
            *why = "IsMatch not deterministic";
            return false;
        }
        if (!SearchParser().IsMatch(other)) {
            *why = "empty parser rejected a text";
            return false;
        }
        return true;
    }

private slots:
    void randomAndMutatedTexts() {
        Rng rng(0x5EA4C4u);
        QElapsedTimer timer;
        timer.start();
        const char* why = nullptr;
        for (int i = 0; i < 40000; ++i) {
            QString text;
            switch (i % 3) {
                case 0:
                    text = RandomText(rng, 24);
                    break;
                case 1:
                    text = Mutate(rng, Seeds()[Pick(rng, Seeds().size())]);
                    break;
                default:
                    text = Mutate(rng, RandomText(rng, 12));
                    break;
            }
            if (!CheckText(rng, text, &why)) {
                QFAIL(qPrintable(QStringLiteral("%1 for text %2")
                                     .arg(QLatin1String(why))
                                     .arg(QString::fromLatin1(text.toUtf8().toPercentEncoding()))));
            }
        }
        qInfo("random and mutated texts: %lld ms", static_cast<long long>(timer.elapsed()));
    }

    // Texts of plain words and separators have a verdict and tokens known in
    // advance.
    void plainWords() {
        Rng rng(0xB1A4Eu);
        const QString letters = QString::fromUtf8("abcXYZéÜß中\n");
        for (int i = 0; i < 5000; ++i) {
            QString text;
            const int length = Pick(rng, 30);
            for (int k = 0; k < length; ++k) {
                text += Pick(rng, 3) == 0 ? Pick(rng, 2) ? QChar(' ') : QChar('\t')
                                          : letters.at(Pick(rng, letters.size()));
            }
            std::set<QString> expected;
            for (const QString& word :
                 text.toLower().split(QRegularExpression("[ \t]"), Qt::SkipEmptyParts)) {
                expected.insert(word);
            }
            SearchParser parser;
            QCOMPARE(parser.SetSearchText(text), !expected.empty());
            QVERIFY(parser.GetIncludedTokenSet() == expected);
            QVERIFY(parser.GetIncludedPartTokenSet().empty());
            QVERIFY(parser.GetExcludedTokenSet().empty());
            QVERIFY(parser.IsMatch(text.toUpper()) || text.contains(QChar(0xDF)));
        }
    }

    // Tokenizing and matching are linear: neither a remote search text nor a
    // file name from a peer may stall the main thread, however long.
    void veryLongTexts() {
        Rng rng(0x10A6u);
        const int length = 1 << 19;
        QString words;
        while (words.size() < length) {
            words += RandomText(rng, 6) + QLatin1Char(' ');
        }
        const std::vector<QString> texts = {
            QString(length, QChar('a')),
            QString(length, QChar(0x0130)),
            QStringLiteral("-\"") + QString(length, QChar(0x0130)),
            QString(length, QChar('-')),
            QString(length, QChar('*')),
            QString(length, QChar('"')),
            QString(length, QChar(' ')),
            QStringLiteral("\"") + QString(length, QChar(' ')),
            QStringLiteral("x ") + QString("-a ").repeated(length / 3),
            QStringLiteral("*") + QString("\"a\"").repeated(length / 3),
            QString("\"\xC3\x9C\"").repeated(length / 3),
            words,
        };
        const char* why = nullptr;
        for (const QString& text : texts) {
            QElapsedTimer timer;
            timer.start();
            SearchParser parser;
            parser.SetSearchText(text);
            QVERIFY2(timer.elapsed() < 5000, "tokenizing a long text took too long");
            // IsMatch costs tokens times text length; keep those checks small.
            const std::size_t tokens = parser.GetIncludedTokenSet().size() +
                                       parser.GetIncludedPartTokenSet().size() +
                                       parser.GetExcludedTokenSet().size();
            if (tokens < 64) {
                timer.restart();
                parser.IsMatch(text);
                QVERIFY2(timer.elapsed() < 5000, "matching a long text took too long");
                QVERIFY2(CheckText(rng, text, &why), why);
            }
        }

        // A character whose lower case is longer than itself, over and over:
        // QString::toLower alone needs minutes for this.
        const QString grows = QString(1 << 21, QChar(0x0130));
        QElapsedTimer timer;
        timer.start();
        SearchParser parser;
        QVERIFY(parser.SetSearchText(QStringLiteral("x ") + grows));
        QVERIFY(!parser.IsMatch(grows));
        QVERIFY2(timer.elapsed() < 5000, "lower-casing a long text took too long");
        QCOMPARE(parser.GetIncludedTokenSet().size(), std::size_t(2));
        QCOMPARE(parser.GetIncludedTokenSet().begin()->size(), 2 << 21);
    }
};

QTEST_GUILESS_MAIN(TestSearchParserFuzz)
#include "test_search_parser_fuzz.moc"
