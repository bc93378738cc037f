#ifndef TAVENOOK_VIEWS_SEARCH_FILTERPARSER_H
#define TAVENOOK_VIEWS_SEARCH_FILTERPARSER_H

#include <QString>
#include <QStringList>

#include "store/Data.h"

class FileInfo;

// A file's attribute values as the filter compares them, wide enough for
// every value the wire carries (32-bit unsigned audio attributes, 64-bit
// sizes). The result pages read them from a result's store item, the share
// browsers from the received record; both then go through one comparison.
struct FilterAttributes {
    bool hasMode = false;  // the bitrate mode is known
    bool vbr = false;
    qint64 bitrate = 0;
    qint64 size = 0;

    // The parts a filter may compare; reading only those spares store
    // look-ups on every row of a large list.
    enum Part { Mode = 1, Bitrate = 2, Size = 4, All = 7 };
    static FilterAttributes Of(const ItemPtr& file, int parts = All);
    static FilterAttributes Of(const FileInfo& file);
};

// The filter language of the result lists and the share browsers: words
// that must occur, "-words" that must not, and limits on a file's audio
// attributes, its size and the number of files shown in its folder.
class FilterParser {
public:
    FilterParser() = default;

    // Adds the tokens of the text; does not reset what an earlier call read.
    void Parse(const QString& text);

    // 0 match, 1 an included word is missing, 2 rejected (excluded word or
    // attribute limit). With rest, words the text lacks are handed over to it
    // together with the exclusions and limits, for a second text to satisfy.
    int IsMatching(const QString& text, FilterParser* rest, const ItemPtr& file) const;

    // Whether the file's attributes meet the filter's limits (vbr, cbr,
    // bitrate, size); words are not looked at.
    bool PassesAttributes(const FilterAttributes& file) const;

    bool HasAttributes() const { return m_hasAttributes; }
    int MinFilesInFolder() const { return m_minFilesInFolder; }
    qint64 MinBitrate() const { return m_minBitrate; }
    qint64 MinFileSize() const { return m_minFileSize; }
    bool IsVbr() const { return m_vbr; }
    bool IsCbr() const { return m_cbr; }
    const QStringList& IncludedWords() const { return m_included; }
    const QStringList& ExcludedWords() const { return m_excluded; }
    // True when the filter neither asks for words nor limits files.
    bool IsEmpty() const {
        return m_included.isEmpty() && m_excluded.isEmpty() && !m_hasAttributes;
    }

private:
    QStringList m_included;
    QStringList m_excluded;
    // Wide enough for a limit anywhere in the attribute's unsigned range.
    qint64 m_minBitrate = 0;
    bool m_vbr = false;
    bool m_cbr = false;
    qint64 m_minFileSize = 0;
    int m_minFilesInFolder = 0;
    bool m_hasAttributes = false;
};

#endif
