#include "shares/FileScanner.h"

#include <QDir>
#include <QMutexLocker>

#include "shares/MP3Scanner.h"

namespace {

// Files and folders only: no symbolic links, no hidden or system entries.
constexpr QDir::Filters kListing =
    QDir::Files | QDir::Dirs | QDir::NoSymLinks | QDir::NoDotAndDotDot;
constexpr QDir::SortFlags kOrder = QDir::Name | QDir::IgnoreCase;

}  // namespace

void FileScanner::Quit() {
    QMutexLocker lock(&m_stopMutex);
    m_stop = true;
}

bool FileScanner::IsStopRequested() const {
    QMutexLocker lock(&m_stopMutex);
    return m_stop;
}

void FileScanner::ScanFolders(QStringList folders) {
    std::set<QString> visited;
    for (const QString& root : folders)
        ScanFolder(root, root, visited);
    emit FoldersScanned();
}

void FileScanner::ScanFolder(const QString& root, const QString& folder,
                             std::set<QString>& visited) {
    if (IsStopRequested())
        return;
    // An empty path would list the working folder.
    if (folder.isEmpty() || !folder.startsWith(root))
        return;
    if (!visited.insert(folder).second)
        return;

    const QFileInfoList entries = QDir(folder).entryInfoList(kListing, kOrder);
    // std::map keeps this reference valid while the recursion adds folders.
    FileMap& files = m_results[root][folder];
    for (const QFileInfo& entry : entries) {
        if (entry.isDir()) {
            ScanFolder(root, entry.absoluteFilePath(), visited);
        } else if (entry.isFile()) {
            // The listing knows only the entry's kind; fetch the size here so
            // that the merge on the main thread never waits on the disk.
            entry.size();
            files.insert_or_assign(entry.fileName(), entry);
        }
    }
}

void FileScanner::OnMP3ScanRequired(QString file) {
    int mpegVersion = 0;
    QString channelMode;
    int frequency = 0;
    bool isVBR = false;
    int bitrate = 0;
    if (ScanMP3(file, mpegVersion, channelMode, frequency, isVBR, bitrate))
        emit MP3Scanned(file, mpegVersion, channelMode, frequency, isVBR, bitrate);
}

bool FileScanner::ScanMP3(const QString& path, int& mpegVersion, QString& channelMode,
                          int& frequency, bool& isVBR, int& bitrate) {
    if (IsStopRequested())
        return false;
    return ScanMP3File(path, mpegVersion, channelMode, frequency, isVBR, bitrate,
                       [this] { return IsStopRequested(); });
}
