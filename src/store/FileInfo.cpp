#include "store/FileInfo.h"

#include <algorithm>

#include "store/MemStream.h"

bool AttributeMap::Has(quint32 key) const {
    return std::any_of(m_pairs.begin(), m_pairs.end(),
                       [key](const Pair& pair) { return pair.first == key; });
}

quint32 AttributeMap::Get(quint32 key, quint32 fallback) const {
    for (const Pair& pair : m_pairs) {
        if (pair.first == key) {
            return pair.second;
        }
    }
    return fallback;
}

void AttributeMap::Set(quint32 key, quint32 value) {
    for (Pair& pair : m_pairs) {
        if (pair.first == key) {
            pair.second = value;
            return;
        }
    }
    Append(key, value);
}

bool AttributeMap::Append(quint32 key, quint32 value) {
    if (m_pairs.size() >= kMaxAttributeCount) {
        return false;
    }
    m_pairs.emplace_back(key, value);
    return true;
}

void AttributeMap::Remove(quint32 key) {
    m_pairs.erase(std::remove_if(m_pairs.begin(), m_pairs.end(),
                                 [key](const Pair& pair) { return pair.first == key; }),
                  m_pairs.end());
}

void AttributeMap::Clear() {
    m_extension.clear();
    m_pairs.clear();
}

bool AttributeMap::Read(InputStream& stream) {
    AttributeMap read;
    quint32 count = 0;
    if (!stream.Read(read.m_extension) || !stream.Read(count) || count > kMaxAttributeCount) {
        return false;
    }
    // Pair by pair: the count is not trusted for an allocation.
    for (quint32 i = 0; i < count; ++i) {
        Pair pair;
        if (!stream.Read(pair.first) || !stream.Read(pair.second)) {
            return false;
        }
        read.m_pairs.push_back(pair);
    }
    *this = std::move(read);
    return true;
}

bool AttributeMap::Write(OutputStream& stream) const {
    if (!stream.Write(m_extension) || !stream.Write(quint32(m_pairs.size()))) {
        return false;
    }
    for (const Pair& pair : m_pairs) {
        if (!stream.Write(pair.first) || !stream.Write(pair.second)) {
            return false;
        }
    }
    return true;
}

bool FileInfo::Read(InputStream& stream) {
    quint8 marker = 0;
    FileInfo read;
    quint64 size = 0;
    if (!stream.Read(marker) || !stream.Read(read.m_name) || !stream.Read(size) ||
        !read.m_attributes.Read(stream)) {
        return false;
    }
    read.m_size = qint64(size);
    *this = std::move(read);
    return true;
}

bool FileInfo::Write(OutputStream& stream) const {
    return stream.Write(kMarker) && stream.Write(m_name) && stream.Write(quint64(m_size)) &&
           m_attributes.Write(stream);
}

bool FileInfo::operator<(const FileInfo& other) const {
    // std::string compares bytes as unsigned values, a prefix first.
    const int byName = m_name.compare(other.m_name);
    if (byName != 0) {
        return byName < 0;
    }
    return m_size < other.m_size;
}
