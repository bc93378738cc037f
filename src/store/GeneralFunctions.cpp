#include "store/GeneralFunctions.h"

#include <QRegularExpression>
#include <QStringList>
#include <QTextCodec>
#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>

namespace {

bool IsSeparator(char c) {
    return c == '/' || c == '\\';
}

// The path with at most one trailing separator removed.
std::string DropOneTrailingSeparator(const std::string& path) {
    if (!path.empty() && IsSeparator(path.back()))
        return path.substr(0, path.size() - 1);
    return path;
}

std::size_t FindLastSeparator(const std::string& path) {
    return path.find_last_of("/\\");
}

std::atomic<QTextCodec*> g_fallbackCodec{nullptr};

}  // namespace

std::string GetFileName(const std::string& path) {
    const std::string trimmed = DropOneTrailingSeparator(path);
    const std::size_t pos = FindLastSeparator(trimmed);
    if (pos == std::string::npos)
        return trimmed;
    return trimmed.substr(pos + 1);
}

std::string GetFolder(const std::string& path) {
    const std::string trimmed = DropOneTrailingSeparator(path);
    const std::size_t pos = FindLastSeparator(trimmed);
    if (pos == std::string::npos)
        return trimmed;
    return trimmed.substr(0, pos);
}

std::string GetParentFolder(const std::string& path) {
    std::size_t end = path.size();
    while (end > 0 && path[end - 1] == '\\')
        --end;
    if (end == 0)
        return std::string();
    return GetFolder(path.substr(0, end));
}

std::string GetFileExtension(const std::string& name) {
    const std::size_t pos = name.rfind('.');
    if (pos == std::string::npos)
        return std::string();
    std::string ext = name.substr(pos + 1);
    // ASCII only: a locale-aware lower-casing would alter bytes of multi-byte
    // characters.
    for (char& c : ext) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return ext;
}

std::string StringReplace(const std::string& text, const std::string& from, const std::string& to) {
    if (from.empty())
        return text;
    std::string result;
    result.reserve(text.size());
    std::size_t start = 0;
    for (;;) {
        const std::size_t pos = text.find(from, start);
        if (pos == std::string::npos)
            break;
        result.append(text, start, pos - start);
        result.append(to);
        start = pos + from.size();
    }
    result.append(text, start, std::string::npos);
    return result;
}

QString FormatSeconds(qint64 seconds) {
    const qint64 total = std::max<qint64>(seconds, 0);
    const qint64 days = total / 86400;
    const qint64 hours = (total / 3600) % 24;
    const qint64 minutes = (total / 60) % 60;
    const qint64 secs = total % 60;
    QString text;
    if (days != 0)
        text += QString::number(days) + QLatin1Char('d');
    if (days != 0 || hours != 0)
        text += QString::number(hours) + QLatin1Char('h');
    text += QString::number(minutes) + QLatin1Char('m');
    text += QString::number(secs) + QLatin1Char('s');
    return text;
}

QString CommafyNumber(long long n) {
    if (n < 1)
        return QString();
    const QString digits = QString::number(n);
    QString text;
    text.reserve(digits.size() + digits.size() / 3);
    const int count = digits.size();
    for (int i = 0; i < count; ++i) {
        if (i > 0 && (count - i) % 3 == 0)
            text += QLatin1Char(',');
        text += digits[i];
    }
    return text;
}

QString ReversePathname(const QString& path) {
    static const QRegularExpression separators(QStringLiteral("[/\\\\]"));
    QStringList parts = path.split(separators, Qt::SkipEmptyParts);
    std::reverse(parts.begin(), parts.end());
    return parts.join(QLatin1Char('/'));
}

QString EscapeHTML(const QString& text) {
    QString escaped = text;
    escaped.replace(QLatin1Char('&'), QLatin1String("&amp;"));
    escaped.replace(QLatin1Char('<'), QLatin1String("&lt;"));
    escaped.replace(QLatin1Char('>'), QLatin1String("&gt;"));
    escaped.replace(QLatin1Char(' '), QLatin1String("&nbsp;"));
    return escaped;
}

QString LiteralLabel(QString text) {
    return text.replace(QLatin1Char('&'), QLatin1String("&&"));
}

QString ConvertLinks(const QString& text) {
    // The input is already escaped, so "&" and ";" are URL characters that
    // also make up the entities EscapeHTML produced. A link must not run on
    // into an entity, or a blank ("&nbsp;") would pull the rest of the line in.
    static const QRegularExpression link(
        QStringLiteral("(\\bhttps?://"
                       "(?:(?!&(?:nbsp|lt|gt|amp|quot);)[-a-zA-Z0-9+&@#/%?=~_|!:,.;])*"
                       "(?!&(?:nbsp|lt|gt|amp|quot);)[a-zA-Z0-9+&@#/%=~_|])"));
    QString converted = text;
    converted.replace(link, QStringLiteral("<a href=\"\\1\">\\1</a>"));
    return converted;
}

bool GetBit(std::uint64_t value, int n) {
    if (n < 1 || n > 64)
        return false;
    return ((value >> (n - 1)) & 1u) != 0;
}

bool IsValidUtf8(const char* bytes, std::size_t length) {
    if (length == 0)
        return true;
    if (bytes == nullptr)
        return false;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes);
    const unsigned char* const end = p + length;
    while (p < end) {
        // Most text is ASCII: skip it a word at a time.
        while (end - p >= 8) {
            std::uint64_t word;
            std::memcpy(&word, p, sizeof word);
            if ((word & 0x8080808080808080ull) != 0)
                break;
            p += 8;
        }
        if (p == end)
            break;
        const unsigned char lead = *p;
        if (lead < 0x80) {
            ++p;
            continue;
        }
        int follow;
        unsigned char min2 = 0x80;  // bounds of the second byte
        unsigned char max2 = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            follow = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            follow = 2;
            if (lead == 0xE0)
                min2 = 0xA0;  // overlong
            if (lead == 0xED)
                max2 = 0x9F;  // surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            follow = 3;
            if (lead == 0xF0)
                min2 = 0x90;  // overlong
            if (lead == 0xF4)
                max2 = 0x8F;  // above U+10FFFF
        } else {
            return false;  // stray continuation byte, overlong C0/C1, or F5..FF
        }
        if (end - p <= follow)
            return false;
        if (p[1] < min2 || p[1] > max2)
            return false;
        for (int i = 2; i <= follow; ++i) {
            if ((p[i] & 0xC0) != 0x80)
                return false;
        }
        p += follow + 1;
    }
    return true;
}

QString ToQString(const std::string& bytes) {
    return ToQString(bytes.data(), bytes.size());
}

QString ToQString(const char* bytes, std::size_t length) {
    if (bytes == nullptr || length == 0)
        return QString();
    // QString cannot hold more; such input is cut rather than refused.
    const int size = static_cast<int>(std::min<std::size_t>(length, INT_MAX / 4));
    if (IsValidUtf8(bytes, static_cast<std::size_t>(size))) {
        // fromUtf8 swallows a leading byte-order mark; keep it, so that the
        // text encodes back to the bytes it came from.
        QString text;
        int start = 0;
        while (size - start >= 3 && std::memcmp(bytes + start, "\xEF\xBB\xBF", 3) == 0) {
            text += QChar(0xFEFF);
            start += 3;
        }
        return text + QString::fromUtf8(bytes + start, size - start);
    }
    if (QTextCodec* codec = g_fallbackCodec.load(std::memory_order_acquire))
        return codec->toUnicode(bytes, size);
    return QString::fromLatin1(bytes, size);
}

void SetFallbackCodec(QTextCodec* codec) {
    g_fallbackCodec.store(codec, std::memory_order_release);
}

QTextCodec* GetFallbackCodec() {
    return g_fallbackCodec.load(std::memory_order_acquire);
}
