#ifndef TAVENOOK_STORE_USERSTATS_H
#define TAVENOOK_STORE_USERSTATS_H

#include <QMetaType>
#include <QtGlobal>

#include "store/Persistent.h"

// A user's statistics as the server holds them. Wire form: u32 average speed,
// u64 download count, u32 shared files, u32 shared folders. What the second
// number counts is not known for certain; its name is a placeholder.
class UserStats : public Persistent {
public:
    UserStats() = default;
    UserStats(quint32 averageSpeed, quint64 downloadNum, quint32 files, quint32 folders)
        : m_averageSpeed(averageSpeed),
          m_downloadNum(downloadNum),
          m_files(files),
          m_folders(folders) {}

    quint32 GetAverageSpeed() const { return m_averageSpeed; }
    void SetAverageSpeed(quint32 speed) { m_averageSpeed = speed; }
    quint64 GetDownloadNum() const { return m_downloadNum; }
    void SetDownloadNum(quint64 count) { m_downloadNum = count; }
    quint32 GetFiles() const { return m_files; }
    void SetFiles(quint32 files) { m_files = files; }
    quint32 GetFolders() const { return m_folders; }
    void SetFolders(quint32 folders) { m_folders = folders; }

    // Leaves these statistics unchanged when the read fails.
    bool Read(InputStream& stream) override;
    bool Write(OutputStream& stream) const override;

    bool operator==(const UserStats& other) const {
        return m_averageSpeed == other.m_averageSpeed && m_downloadNum == other.m_downloadNum &&
               m_files == other.m_files && m_folders == other.m_folders;
    }
    bool operator!=(const UserStats& other) const { return !(*this == other); }

private:
    quint32 m_averageSpeed = 0;
    quint64 m_downloadNum = 0;
    quint32 m_files = 0;
    quint32 m_folders = 0;
};

Q_DECLARE_METATYPE(UserStats)

#endif
