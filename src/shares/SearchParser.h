#ifndef TAVENOOK_SHARES_SEARCHPARSER_H
#define TAVENOOK_SHARES_SEARCHPARSER_H

#include <QString>
#include <set>

// Splits the text of a file search into lower-case tokens: plain ones, part
// tokens written "*x" and excluded ones written "-x"; a double-quoted phrase
// is one token. Blank and tab are the only separators. One parser serves one
// search text: SetSearchText adds to the sets and never clears them.
class SearchParser {
public:
    using TokenSet = std::set<QString>;

    SearchParser() = default;

    // False when the text does not parse; the sets then keep the tokens read
    // before the failing one.
    bool SetSearchText(const QString& text);

    const TokenSet& GetIncludedTokenSet() const { return m_includedTokens; }
    const TokenSet& GetIncludedPartTokenSet() const { return m_includedPartTokens; }
    const TokenSet& GetExcludedTokenSet() const { return m_excludedTokens; }

    // Plain substring tests on the lower-cased text, no word boundaries:
    // every included and part token must occur, no excluded token may.
    bool IsMatch(const QString& text) const;

    // The token separators.
    static QString Whitespace() { return QStringLiteral(" \t"); }

private:
    bool Tokenize(const QString& text);

    TokenSet m_includedTokens;
    TokenSet m_includedPartTokens;
    TokenSet m_excludedTokens;
};

#endif
