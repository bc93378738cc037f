#include "shares/SearchParser.h"

#include <QByteArray>
#include <algorithm>

namespace {

// QString::toLower makes room for a lower case longer than its character
// (U+0130 becomes two units) by moving the whole rest of the string, so a
// long text full of such characters, from a peer or a search, takes
// quadratic time. Lower-casing is per character, so short pieces give the
// same text in linear time. A piece never ends on a high surrogate: Qt reads
// one together with the unit after it.
QString LowerCase(const QString& text) {
    constexpr int kPiece = 64;
    if (text.size() <= kPiece) {
        return text.toLower();
    }
    QString lower;
    lower.reserve(text.size() + text.size() / 8);
    int pos = 0;
    while (pos < text.size()) {
        int end = std::min(pos + kPiece, text.size());
        while (end < text.size() && text.at(end - 1).isHighSurrogate()) {
            ++end;
        }
        lower += text.mid(pos, end - pos).toLower();
        pos = end;
    }
    return lower;
}

bool IsSeparator(char c) {
    return c == ' ' || c == '\t';
}

}  // namespace

bool SearchParser::SetSearchText(const QString& text) {
    return Tokenize(text);
}

// Works on UTF-8 bytes: separators, prefixes and quotes are all single bytes,
// so a cut never lands inside a multi-byte character.
bool SearchParser::Tokenize(const QString& text) {
    QByteArray bytes = LowerCase(text).toUtf8();
    const int zero = bytes.indexOf('\0');
    if (zero >= 0) {
        bytes.truncate(zero);
    }
    const int size = bytes.size();

    int pos = 0;
    while (pos < size) {
        int start = pos;
        while (start < size && IsSeparator(bytes.at(start))) {
            ++start;
        }
        if (start == size) {
            break;
        }

        // Only one prefix is read: "--x" excludes "-x".
        TokenSet* set = &m_includedTokens;
        if (bytes.at(start) == '-' || bytes.at(start) == '*') {
            set = bytes.at(start) == '-' ? &m_excludedTokens : &m_includedPartTokens;
            ++start;
            if (start == size) {
                return false;
            }
        }

        const bool quoted = bytes.at(start) == '"';
        int end = -1;
        if (quoted) {
            ++start;
            end = bytes.indexOf('"', start);
        } else {
            for (int i = start; i < size; ++i) {
                if (IsSeparator(bytes.at(i))) {
                    end = i;
                    break;
                }
            }
        }

        // An unclosed quote takes the rest of the text, blanks included.
        QByteArray raw;
        if (end >= 0) {
            raw = bytes.mid(start, end - start);
            pos = quoted ? end + 1 : end;
        } else {
            raw = bytes.mid(start);
            pos = size;
        }

        const QString token = QString::fromUtf8(raw);
        if (token.isEmpty() || token.contains(QLatin1Char('"'))) {
            return false;
        }
        set->insert(token);
    }

    return !m_includedTokens.empty() || !m_includedPartTokens.empty();
}

bool SearchParser::IsMatch(const QString& text) const {
    const QString lower = LowerCase(text);
    for (const QString& token : m_includedTokens) {
        if (!lower.contains(token)) {
            return false;
        }
    }
    for (const QString& token : m_includedPartTokens) {
        if (!lower.contains(token)) {
            return false;
        }
    }
    for (const QString& token : m_excludedTokens) {
        if (lower.contains(token)) {
            return false;
        }
    }
    return true;
}
