#ifndef TAVENOOK_STORE_FILEINFO_H
#define TAVENOOK_STORE_FILEINFO_H

#include <QMetaType>
#include <QtGlobal>
#include <string>
#include <utility>
#include <vector>

#include "store/Persistent.h"

// A file's extension and its numbered audio attributes, kept as (key, value)
// pairs in the order they were set or read (duplicates read from the wire are
// kept as they came). Wire form: str extension, u32 pair count, pairs of
// (u32 key, u32 value).
class AttributeMap : public Persistent {
public:
    using Pair = std::pair<quint32, quint32>;

    static constexpr quint32 kBitrate = 0;          // kbit/s
    static constexpr quint32 kLength = 1;           // seconds
    static constexpr quint32 kVariableBitrate = 2;  // 1 or 0
    // Real files carry a handful of attributes; a larger count is refused
    // rather than looped over.
    static constexpr quint32 kMaxAttributeCount = 1024;

    AttributeMap() = default;
    explicit AttributeMap(std::string extension) : m_extension(std::move(extension)) {}

    const std::string& GetExtension() const { return m_extension; }
    void SetExtension(const std::string& extension) { m_extension = extension; }

    const std::vector<Pair>& GetPairs() const { return m_pairs; }
    bool IsEmpty() const { return m_extension.empty() && m_pairs.empty(); }
    bool Has(quint32 key) const;
    // The value of the first pair with this key, else fallback.
    quint32 Get(quint32 key, quint32 fallback = 0) const;
    // Replaces the value of the first pair with this key, or appends a pair.
    void Set(quint32 key, quint32 value);
    // Appends a pair even when the key is already there. False at the maximum.
    bool Append(quint32 key, quint32 value);
    void Remove(quint32 key);
    void Clear();

    // Leaves this map unchanged when the read fails.
    bool Read(InputStream& stream) override;
    bool Write(OutputStream& stream) const override;

    bool operator==(const AttributeMap& other) const {
        return m_extension == other.m_extension && m_pairs == other.m_pairs;
    }
    bool operator!=(const AttributeMap& other) const { return !(*this == other); }

private:
    std::string m_extension;
    std::vector<Pair> m_pairs;
};

// The wire record of one file. Wire form: u8 marker 1, str name, u64 size,
// then the AttributeMap.
//
// Records order and compare by (name byte-wise, size) only, so a set holds one
// record per (name, size); attributes take no part.
class FileInfo : public Persistent {
public:
    static constexpr quint8 kMarker = 1;

    FileInfo() = default;
    FileInfo(std::string name, qint64 size, AttributeMap attributes = AttributeMap())
        : m_name(std::move(name)), m_size(size), m_attributes(std::move(attributes)) {}

    const std::string& GetName() const { return m_name; }
    void SetName(const std::string& name) { m_name = name; }
    qint64 GetSize() const { return m_size; }
    void SetSize(qint64 size) { m_size = size; }
    const AttributeMap& GetAttributes() const { return m_attributes; }
    AttributeMap& GetAttributes() { return m_attributes; }
    void SetAttributes(const AttributeMap& attributes) { m_attributes = attributes; }

    // Accepts any marker value. Leaves this record unchanged when the read fails.
    bool Read(InputStream& stream) override;
    bool Write(OutputStream& stream) const override;

    bool operator<(const FileInfo& other) const;
    bool operator==(const FileInfo& other) const {
        return m_size == other.m_size && m_name == other.m_name;
    }
    bool operator!=(const FileInfo& other) const { return !(*this == other); }

private:
    std::string m_name;
    qint64 m_size = 0;
    AttributeMap m_attributes;
};

Q_DECLARE_METATYPE(FileInfo)

#endif
