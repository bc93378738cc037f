#ifndef TAVENOOK_SHARES_FILESCANNER_H
#define TAVENOOK_SHARES_FILESCANNER_H

#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>
#include <map>
#include <set>
#include <vector>

// Walks the shared folders and analyses MP3 files on the shared-files
// manager's own thread, so that a large share never freezes the window. It
// never touches the item store: the walk is collected into the result map,
// which the manager merges on the main thread after FoldersScanned.
class FileScanner : public QObject {
    Q_OBJECT

public:
    // The files of one folder, kept compact: a whole share is held until the
    // merge, and what this thread allocates is slow to go back to the system.
    // Files are ordered by name in UTF-16 code units (case-sensitive).
    class FileList {
    public:
        int Size() const { return int(m_files.size()); }
        QString Name(int k) const { return m_names.mid(m_files[k].offset, m_files[k].length); }
        qint64 FileSize(int k) const { return m_files[k].size; }
        // Names are unique within one listing.
        void Add(const QString& name, qint64 size);
        // Sorts by name and frees the slack.
        void Finish();

    private:
        struct File {
            int offset;
            int length;
            qint64 size;
        };
        QString m_names;  // every name, back to back
        std::vector<File> m_files;
    };
    using FolderMap = std::map<QString, FileList>;   // folder path -> its files
    using ResultMap = std::map<QString, FolderMap>;  // shared root -> its folders

    FileScanner() = default;

    // Main thread: every walk and analysis still to come returns at once. An
    // analysis already reading a file may finish it.
    void Quit();
    bool IsStopRequested() const;

    // Written only inside ScanFolders. The manager reads and empties it after
    // FoldersScanned has arrived, while the scanner is idle; that is sound
    // only as long as no second ScanFolders is queued before that merge.
    ResultMap& Results() { return m_results; }

    // The attributes of one MP3 file; false when it could not be analysed.
    bool ScanMP3(const QString& path, int& mpegVersion, QString& channelMode, int& frequency,
                 bool& isVBR, int& bitrate);

public slots:
    // Depth first, each folder at most once per call even when roots
    // overlap; FoldersScanned follows even when a stop cut the walk short.
    void ScanFolders(QStringList folders);
    // Emits MP3Scanned on success and nothing on failure.
    void OnMP3ScanRequired(QString file);

signals:
    void FoldersScanned();
    void MP3Scanned(QString file, int mpegVersion, QString channelMode, int frequency, bool isVBR,
                    int bitrate);

private:
    void ScanFolder(const QString& root, const QString& folder, std::set<QString>& visited);

    ResultMap m_results;
    bool m_stop = false;
    mutable QMutex m_stopMutex;
};

#endif
