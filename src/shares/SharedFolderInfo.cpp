#include "shares/SharedFolderInfo.h"

#include "store/MemStream.h"

bool SharedFolderInfo::Read(InputStream& stream) {
    m_files.clear();
    quint32 count = 0;
    if (!stream.Read(count) || count > kMaxFileCount)
        return false;
    for (quint32 k = 0; k < count; ++k) {
        FileInfo file;
        if (!file.Read(stream))
            return false;
        m_files.insert(file);
    }
    quint32 trailing = 0;
    return stream.Read(trailing);
}

bool SharedFolderInfo::Write(OutputStream& stream) const {
    if (!stream.Write(quint32(m_files.size())))
        return false;
    for (const FileInfo& file : m_files)
        if (!file.Write(stream))
            return false;
    return stream.Write(quint32(0));
}
