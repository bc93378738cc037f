#include "views/search/FilterParser.h"

#include <limits>

#include "shares/SharedFoldersManager.h"
#include "store/FileInfo.h"

namespace {

// A decimal number with an optional leading sign. Anything else reads as 0
// (no limit); digits beyond the type's range saturate instead of wrapping.
template <class T>
T ReadNumber(const QString& text) {
    int pos = 0;
    bool negative = false;
    if (pos < text.size() && (text[pos] == '-' || text[pos] == '+')) {
        negative = text[pos] == '-';
        ++pos;
    }
    if (pos == text.size())
        return 0;
    const T limit = negative ? std::numeric_limits<T>::min() : std::numeric_limits<T>::max();
    T value = 0;
    for (; pos < text.size(); ++pos) {
        const ushort c = text[pos].unicode();
        if (c < '0' || c > '9')
            return 0;
        const T digit = T(c - '0');
        if (value == limit)
            continue;  // saturated; keep checking that the rest are digits
        if (negative) {
            if (value < (limit + digit) / 10)
                value = limit;
            else
                value = value * 10 - digit;
        } else {
            if (value > (limit - digit) / 10)
                value = limit;
            else
                value = value * 10 + digit;
        }
    }
    return value;
}

qint64 MegabytesToBytes(qint64 megabytes) {
    const qint64 factor = 1000000;
    if (megabytes > std::numeric_limits<qint64>::max() / factor)
        return std::numeric_limits<qint64>::max();
    if (megabytes < std::numeric_limits<qint64>::min() / factor)
        return std::numeric_limits<qint64>::min();
    return megabytes * factor;
}

}  // namespace

void FilterParser::Parse(const QString& text) {
    const QStringList tokens = text.split(QChar(' '), Qt::SkipEmptyParts);
    for (const QString& token : tokens) {
        if (token.startsWith('-')) {
            if (token.size() > 1)
                m_excluded.append(token.mid(1));
        } else if (token == "isvbr") {
            m_vbr = m_hasAttributes = true;
        } else if (token == "iscbr") {
            m_cbr = m_hasAttributes = true;
        } else if (token.startsWith("minbitrate:")) {
            m_minBitrate = ReadNumber<qint64>(token.mid(11));
            m_hasAttributes = true;
        } else if (token.startsWith("mbr:")) {
            m_minBitrate = ReadNumber<qint64>(token.mid(4));
            m_hasAttributes = true;
        } else if (token.startsWith("minfilesize:")) {
            m_minFileSize = MegabytesToBytes(ReadNumber<qint64>(token.mid(12)));
            m_hasAttributes = true;
        } else if (token.startsWith("mfs:")) {
            m_minFileSize = MegabytesToBytes(ReadNumber<qint64>(token.mid(4)));
            m_hasAttributes = true;
        } else if (token.startsWith("minfilesinfolder:")) {
            m_minFilesInFolder = ReadNumber<int>(token.mid(17));
        } else if (token.startsWith("mfif:")) {
            m_minFilesInFolder = ReadNumber<int>(token.mid(5));
        } else {
            m_included.append(token);
        }
    }
}

FilterAttributes FilterAttributes::Of(const ItemPtr& file, int parts) {
    FilterAttributes out;
    if (file.IsNull())
        return out;
    if (parts & Mode) {
        const std::string mode = file.HasItem("bitrate_mode").AsStdString();
        out.hasMode = mode == "vbr" || mode == "cbr";
        out.vbr = mode == "vbr";
    }
    if (parts & Bitrate)
        out.bitrate = SharedFoldersManager::FileAttribute(file, "bitrate");
    if (parts & Size)
        out.size = SharedFoldersManager::FileAttribute(file, "file_size");
    return out;
}

FilterAttributes FilterAttributes::Of(const FileInfo& file) {
    FilterAttributes out;
    const AttributeMap& attributes = file.GetAttributes();
    out.hasMode = attributes.Has(AttributeMap::kVariableBitrate);
    out.vbr = out.hasMode && attributes.Get(AttributeMap::kVariableBitrate) != 0;
    out.bitrate = qint64(attributes.Get(AttributeMap::kBitrate));
    out.size = file.GetSize();
    return out;
}

bool FilterParser::PassesAttributes(const FilterAttributes& file) const {
    if (m_vbr && !(file.hasMode && file.vbr))
        return false;
    if (m_cbr && !(file.hasMode && !file.vbr))
        return false;
    // A limit of 0 is none.
    if (m_minBitrate != 0 && file.bitrate < m_minBitrate)
        return false;
    return m_minFileSize == 0 || file.size >= m_minFileSize;
}

int FilterParser::IsMatching(const QString& text, FilterParser* rest, const ItemPtr& file) const {
    if (rest) {
        rest->m_included.clear();
        rest->m_excluded.clear();
    }
    if (!file.IsNull() && m_hasAttributes) {
        const int parts = (m_vbr || m_cbr ? FilterAttributes::Mode : 0) |
                          (m_minBitrate != 0 ? FilterAttributes::Bitrate : 0) |
                          (m_minFileSize != 0 ? FilterAttributes::Size : 0);
        if (!PassesAttributes(FilterAttributes::Of(file, parts)))
            return 2;
    }
    if (rest) {
        rest->m_vbr = m_vbr;
        rest->m_cbr = m_cbr;
        rest->m_minBitrate = m_minBitrate;
        rest->m_minFileSize = m_minFileSize;
        rest->m_minFilesInFolder = m_minFilesInFolder;
        rest->m_hasAttributes = m_hasAttributes;
    }
    for (const QString& word : m_excluded)
        if (text.contains(word, Qt::CaseInsensitive))
            return 2;
    if (rest)
        rest->m_excluded = m_excluded;
    for (const QString& word : m_included) {
        if (text.contains(word, Qt::CaseInsensitive))
            continue;
        if (!rest)
            return 1;
        rest->m_included.append(word);
    }
    return rest && !rest->m_included.isEmpty() ? 1 : 0;
}
