#include "shares/FileScanner.h"

#include <QDir>
#include <QMutexLocker>
#include <algorithm>

#include "shares/MP3Scanner.h"

namespace {

// Files and folders only: no symbolic links, no hidden or system entries.
constexpr QDir::Filters kListing =
    QDir::Files | QDir::Dirs | QDir::NoSymLinks | QDir::NoDotAndDotDot;
constexpr QDir::SortFlags kOrder = QDir::Name | QDir::IgnoreCase;

}  // namespace

void FileScanner::FileList::Add(const QString& name, qint64 size) {
    m_files.push_back(File{m_names.size(), name.size(), size});
    m_names += name;
}

void FileScanner::FileList::Finish() {
    auto nameOf = [this](const File& f) { return QStringRef(&m_names, f.offset, f.length); };
    std::sort(m_files.begin(), m_files.end(), [&](const File& a, const File& b) {
        return QStringRef::compare(nameOf(a), nameOf(b), Qt::CaseSensitive) < 0;
    });
    // Rebuilt at their exact sizes, in name order.
    QString names;
    names.reserve(m_names.size());
    std::vector<File> files;
    files.reserve(m_files.size());
    for (const File& f : m_files) {
        files.push_back(File{names.size(), f.length, f.size});
        names += nameOf(f);
    }
    m_names = names;
    m_files.swap(files);
}

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
    // The folder's own entry first, so that it exists even when empty; the
    // files are gathered aside and stored once the sub-folders are walked.
    m_results[root][folder];
    FileList files;
    for (const QFileInfo& entry : entries) {
        if (entry.isDir())
            ScanFolder(root, entry.absoluteFilePath(), visited);
        else if (entry.isFile())
            files.Add(entry.fileName(), entry.size());
    }
    files.Finish();
    m_results[root][folder] = std::move(files);
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
