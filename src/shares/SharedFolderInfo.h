#ifndef TAVENOOK_SHARES_SHAREDFOLDERINFO_H
#define TAVENOOK_SHARES_SHAREDFOLDERINFO_H

#include <set>

#include "store/FileInfo.h"
#include "store/Persistent.h"

// The files of one folder as a folder-contents answer carries them. Wire
// form: u32 count, that many FileInfo records in set order, u32 0.
class SharedFolderInfo : public Persistent {
public:
    // A larger count is refused rather than looped over.
    static constexpr quint32 kMaxFileCount = 0x20000;

    std::set<FileInfo>& Files() { return m_files; }
    const std::set<FileInfo>& Files() const { return m_files; }

    // Empties the set first; on failure the set holds the records read so far.
    bool Read(InputStream& stream) override;
    bool Write(OutputStream& stream) const override;

private:
    std::set<FileInfo> m_files;
};

#endif
