#include "store/UserStats.h"

#include "store/MemStream.h"

bool UserStats::Read(InputStream& stream) {
    UserStats read;
    if (!stream.Read(read.m_averageSpeed) || !stream.Read(read.m_downloadNum) ||
        !stream.Read(read.m_files) || !stream.Read(read.m_folders)) {
        return false;
    }
    *this = read;
    return true;
}

bool UserStats::Write(OutputStream& stream) const {
    return stream.Write(m_averageSpeed) && stream.Write(m_downloadNum) && stream.Write(m_files) &&
           stream.Write(m_folders);
}
