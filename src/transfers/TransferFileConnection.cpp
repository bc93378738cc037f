// The end of a download: where its partial and finished files live, the file
// connection the uploader opens after we accepted its transfer request, the
// download thread that fills the partial, and the move into the complete
// folder with its finished-download record.

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTcpSocket>
#include <memory>
#include <string>
#include <unordered_map>

#include "store/Data.h"
#include "store/Log.h"
#include "store/MemStream.h"
#include "store/Settings.h"
#include "transfers/DownloadPaths.h"
#include "transfers/TransferQueueManager.h"
#include "transfers/TransferThreads.h"

namespace {

const QString kArea = QStringLiteral("Transfer Queue");

void Note(int level, const QString& text, const ItemPtr& item) {
    Log(kArea, level, text, item);
}

QString Internal(QString path) {
    return path.replace(QLatin1Char('/'), QLatin1Char('\\'));
}

// The settings every download's paths depend on.
struct PathSettings {
    QString downloadFolder = GetSetting("download_folder");
    bool dontSplit = IsSettingYes("dont_split_downloads");
    bool noSingleSubfolders = IsSettingYes("dont_create_subfolders_for_single_downloads");
};

// What an entry's paths are made of, besides the settings.
struct PathInputs {
    std::string remoteFolder;
    int level = 0;
    bool noSubfolders = false;
};

PathInputs InputsOf(const ItemPtr& entry, bool applySingleRule, const PathSettings& settings) {
    const ItemPtr folder = entry.HasItem("remote_folder");
    PathInputs in;
    in.remoteFolder = folder.IsNull() ? std::string() : folder.AsStdString();
    in.level = qMax(0, entry.HasItem("subfolder_save_level").AsInt());
    in.noSubfolders =
        applySingleRule && settings.noSingleSubfolders && entry.IsConnected("single_download");
    return in;
}

// The name an older store recorded for a finished file; stores written now
// record the whole path instead. Empty when none was recorded (or a stored
// one is unusable).
QString LocalName(const ItemPtr& entry) {
    const ItemPtr item = entry.HasItem("local_file_name");
    QString safe;
    if (item.IsNull() || !SafeComponent(item.AsString(), safe))
        return QString();
    return safe;
}

// A path as recorded and compared: absolute and clean, so that a relative
// download folder names the same file after a restart.
QString Absolute(const QString& path) {
    return path.isEmpty() ? QString() : QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

// The file this download created, on-disk form; empty when it created none
// (or the stored path is unusable).
QString RecordedPath(const ItemPtr& entry) {
    const ItemPtr item = entry.HasItem("local_file_path");
    if (item.IsNull())
        return QString();
    const QString path = item.AsString();
    if (path.isEmpty() || QDir::isRelativePath(path) || QDir::cleanPath(path) != path)
        return QString();
    return path;
}

qint64 RecordedSize(const ItemPtr& entry) {
    const ItemPtr item = entry.HasItem("local_file_size");
    bool ok = false;
    const qint64 size = item.IsNull() ? -1 : item.AsString().toLongLong(&ok);
    return ok && size >= 0 ? size : -1;
}

void RecordSize(const ItemPtr& entry, qint64 size) {
    if (size >= 0 && RecordedSize(entry) != size)
        entry.Connect(d.GetType("local_file_size")->GetItem(Value(size)));
}

void RecordFile(const ItemPtr& entry, const QString& path, qint64 size) {
    entry.Connect(d.GetType("local_file_path")->GetItem(Value(Absolute(path))));
    RecordSize(entry, size);
}

// The file at the recorded path is still the one this download wrote: a
// plain file of the size it had when the download last stopped. Anything
// else that took its place is someone else's.
bool IsRecordedFileIntact(const ItemPtr& entry) {
    const QString path = RecordedPath(entry);
    const qint64 size = RecordedSize(entry);
    if (path.isEmpty() || size < 0)
        return false;
    const QFileInfo info(path);
    return info.isFile() && !info.isSymLink() && info.size() == size;
}

// Both locations of the entry's file as the settings now place it; false
// (with a reason) when the peer's names would leave the download folder or
// cannot be used. A finished file of an older store that was given another
// name than the remote one is found under that name.
bool PathsOf(const ItemPtr& entry, bool applySingleRule, DownloadPaths& paths,
             QString* error = nullptr, const PathSettings& settings = PathSettings()) {
    if (entry.IsNull())
        return false;
    const PathInputs in = InputsOf(entry, applySingleRule, settings);
    if (!MakeDownloadPaths(settings.downloadFolder, settings.dontSplit, in.remoteFolder,
                           entry.HasItem("file_name").AsStdString(), in.level, in.noSubfolders,
                           paths, error))
        return false;
    const QString local = LocalName(entry);
    if (!local.isEmpty() && RecordedPath(entry).isEmpty())
        paths.completePath = QDir(paths.completeFolder).filePath(local);
    return true;
}

// The file the entry writes to or wrote: the one it recorded, else where
// the settings put it now.
QString FileOf(const ItemPtr& entry, const DownloadPaths& paths, bool complete) {
    const QString recorded = RecordedPath(entry);
    if (!recorded.isEmpty() && (complete == (TransferQueueManager::DownloadStatus(entry) ==
                                             QLatin1String(TransferQueueManager::kComplete))))
        return recorded;
    return complete ? paths.completePath : paths.partialPath;
}

// The download goes on in the file it created only while that file is
// intact and lies where the settings now put partials: after a change of
// download folder, split or subfolder setting the download starts afresh
// there, as at its first attempt, and whatever is found under its name is
// left alone.
bool OwnsPartial(const ItemPtr& entry, const DownloadPaths& paths) {
    return IsRecordedFileIntact(entry) &&
           QFileInfo(RecordedPath(entry)).path() == Absolute(paths.downloadingFolder);
}

// Replaces the entry's item of that type by one holding the object's address;
// removing the old one frees what it pointed to.
template <class T>
void Attach(const ItemPtr& entry, const char* typeName, T* object) {
    const ItemPtr old = entry.HasItem(typeName);
    if (!old.IsNull())
        old.Remove();
    entry.Connect(d.GetType(typeName)->GetItem(Value(object)));
}

void Refuse(QTcpSocket* socket) {
    socket->disconnect();
    socket->close();
    socket->deleteLater();
}

// Another running download already writes to that partial file.
bool PartialInUse(const ItemPtr& entry, const QString& partialPath) {
    const ItemPtr flag = d.GetType("is_active")->GetGlobalNullItem();
    for (const ItemPtr& status : d.GetType("download_entry_status")->GetItems()) {
        if (!status.IsConnected(flag))
            continue;
        for (const ItemPtr& other : status.GetItems("download_entry")) {
            if (other == entry)
                continue;
            if (RecordedPath(other) == Absolute(partialPath))
                return true;
        }
    }
    return false;
}

}  // namespace

QString TransferQueueManager::GetDownloadTargetFolder(ItemPtr entry, bool complete) {
    DownloadPaths paths;
    if (!PathsOf(entry, true, paths))
        return QString();
    // A written file stays where it was written, whatever the settings now say.
    const QString file = FileOf(entry, paths, complete);
    if (file != (complete ? paths.completePath : paths.partialPath))
        return Internal(QFileInfo(file).path());
    return Internal(complete ? paths.completeFolder : paths.downloadingFolder);
}

QString TransferQueueManager::GetDownloadTargetPath(ItemPtr entry, bool complete) {
    DownloadPaths paths;
    if (!PathsOf(entry, true, paths))
        return QString();
    return Internal(FileOf(entry, paths, complete));
}

QString TransferQueueManager::GetDownloadRelativeDownloadFolder(ItemPtr entry) {
    DownloadPaths paths;
    if (!PathsOf(entry, false, paths))
        return QString();
    return RelativeDownloadFolder(paths.subfolders);
}

struct TransferQueueManager::CompleteCheckCache {
    PathSettings settings;
    // Per recreated folder: whether its complete folder is a directory.
    std::unordered_map<std::string, bool> folderIsDir;
};

void TransferQueueManager::BeginCompleteChecks() {
    delete m_completeChecks;
    m_completeChecks = new CompleteCheckCache;
}

void TransferQueueManager::EndCompleteChecks() {
    delete m_completeChecks;
    m_completeChecks = nullptr;
}

bool TransferQueueManager::DoesDownloadItemCompleteFilenameExist(ItemPtr entry) {
    if (entry.IsNull())
        return false;
    if (DownloadStatus(entry) == QLatin1String(kComplete) && !RecordedPath(entry).isEmpty())
        return IsRecordedFileIntact(entry) &&
               RecordedSize(entry) == entry.HasItem("file_size").AsInt64();
    if (CompleteCheckCache* cache = m_completeChecks) {
        // No folder, no file in it: the folder is looked for once per pass,
        // and the entries of a missing or refused one cost no path and no
        // file look of their own.
        const PathInputs in = InputsOf(entry, true, cache->settings);
        const std::string key =
            in.remoteFolder + '\0' + std::to_string(in.level) + (in.noSubfolders ? "s" : "");
        auto known = cache->folderIsDir.find(key);
        if (known == cache->folderIsDir.end()) {
            DownloadPaths folderOnly;
            const bool usable =
                MakeDownloadPaths(cache->settings.downloadFolder, cache->settings.dontSplit,
                                  in.remoteFolder, "x", in.level, in.noSubfolders, folderOnly);
            known = cache->folderIsDir
                        .emplace(key, usable && QFileInfo(folderOnly.completeFolder).isDir())
                        .first;
        }
        if (!known->second)
            return false;
    }
    DownloadPaths paths;
    if (!PathsOf(entry, true, paths, nullptr,
                 m_completeChecks ? m_completeChecks->settings : PathSettings()))
        return false;
    // Only the same size counts: another file of that name is not the one
    // we want.
    const QFileInfo info(paths.completePath);
    return info.isFile() && info.size() == entry.HasItem("file_size").AsInt64();
}

void TransferQueueManager::RecordWrittenSize(const ItemPtr& entry) {
    const QString path = RecordedPath(entry);
    if (path.isEmpty())
        return;
    const QFileInfo info(path);
    if (info.isFile() && !info.isSymLink())
        RecordSize(entry, info.size());
}

void TransferQueueManager::TrimToRecordedSize(const ItemPtr& entry) {
    const QString path = RecordedPath(entry);
    const qint64 size = RecordedSize(entry);
    const QFileInfo info(path);
    // Only the file this run had open reaches here, so it is ours to cut.
    if (!path.isEmpty() && size >= 0 && info.isFile() && !info.isSymLink() && info.size() > size)
        QFile::resize(path, size);
}

void TransferQueueManager::RecordProgressSize(const ItemPtr& entry, qint64 offset) {
    if (!entry.IsNull() && !RecordedPath(entry).isEmpty())
        RecordSize(entry, offset);
}

void TransferQueueManager::RecordFoundComplete(const ItemPtr& entry) {
    DownloadPaths paths;
    if (!PathsOf(entry, true, paths))
        return;
    const QFileInfo info(paths.completePath);
    if (info.isFile())
        RecordFile(entry, paths.completePath, info.size());
}

void TransferQueueManager::RemoveDownloadDownloadingFolderIfAppropriate(ItemPtr entry) {
    if (entry.IsNull() || entry.IsConnected("single_download"))
        return;
    const ItemPtr folder = entry.HasItem("remote_folder");
    if (folder.IsNull())
        return;
    for (const ItemPtr& other : folder.GetItems("download_entry"))
        if (DownloadStatus(other) != QLatin1String(kComplete))
            return;
    DownloadPaths paths;
    if (!PathsOf(entry, true, paths) || paths.subfolders.isEmpty())
        return;
    // Climbs no higher than the downloading root, so exactly the recreated
    // folders are tried.
    RemoveEmptiedFolders(paths.downloadingFolder, paths.downloadingRoot);
}

void TransferQueueManager::OnFileConnection(QString user, QTcpSocket* socket, uint requestID) {
    if (!socket)
        return;
    const ItemPtr userItem = d.GetType("user")->HasItem(Value(user));
    Note(1,
         QStringLiteral("File connection created by user %1 for req %2").arg(user).arg(requestID),
         userItem);

    const ItemPtr reqItem = d.GetType("remote_transfer_req")->HasItem(Value(requestID));
    ItemPtr entry;
    if (!userItem.IsNull() && !reqItem.IsNull())
        entry = d.GetItem(reqItem, userItem, "download_entry");
    if (entry.IsNull()) {
        Refuse(socket);
        Note(2, QStringLiteral("Download not found, aborting"), userItem);
        return;
    }
    // A second connection must not start a second writer, and a finished
    // download must not be fetched again.
    if (IsDownloadActive(entry) || DownloadStatus(entry) == QLatin1String(kComplete)) {
        Refuse(socket);
        Note(2, QStringLiteral("Download already %1, aborting").arg(DownloadStatus(entry)),
             userItem);
        return;
    }
    entry.Disconnect(reqItem);

    DownloadPaths paths;
    QString why;
    const qint64 fileSize = entry.HasItem("file_size").AsInt64();
    if (!PathsOf(entry, true, paths, &why) || fileSize < 0) {
        Refuse(socket);
        SetDownloadEntryStatus(entry, kLocalError);
        Note(2, QStringLiteral("Unusable download target (%1), aborting").arg(why), userItem);
        return;
    }
    const bool own = OwnsPartial(entry, paths);
    if (own)
        paths.partialPath = RecordedPath(entry);
    if (PartialInUse(entry, paths.partialPath)) {
        // The uploader sees the connection end and reports a failure, which
        // queues this download again.
        Refuse(socket);
        Note(2, QStringLiteral("Another download is writing %1, waiting").arg(paths.partialPath),
             userItem);
        return;
    }
    if (!own) {
        const QString name = UniqueCompleteName(paths.downloadingFolder, paths.fileName);
        if (name.isEmpty()) {
            Refuse(socket);
            SetDownloadEntryStatus(entry, kLocalError);
            Note(2, QStringLiteral("No free name for %1, aborting").arg(paths.partialPath),
                 userItem);
            return;
        }
        paths.partialPath = QDir(paths.downloadingFolder).filePath(name);
    }

    QDir().mkpath(paths.downloadingFolder);
    auto file = std::make_unique<QFile>(paths.partialPath);
    // A new file is created, never opened over one that appeared since.
    const QIODevice::OpenMode mode =
        own ? QIODevice::WriteOnly | QIODevice::Append : QIODevice::WriteOnly | QIODevice::NewOnly;
    if (!file->open(mode)) {
        SetDownloadEntryStatus(entry, kLocalError);
        Refuse(socket);
        Note(2, QStringLiteral("Could not open file, aborting"), userItem);
        return;
    }
    if (!own)
        RecordFile(entry, paths.partialPath, 0);
    // Our partial, larger than the file the uploader now announces, is not
    // this file: start over.
    if (file->size() > fileSize && !file->resize(0)) {
        SetDownloadEntryStatus(entry, kLocalError);
        Refuse(socket);
        Note(2, QStringLiteral("Could not truncate file, aborting"), userItem);
        return;
    }
    const qint64 offset = file->size();
    RecordSize(entry, offset);

    MemStream answer;
    answer.Write(offset);
    socket->write(answer.GetWrittenBytes());
    socket->flush();

    const QDateTime now = QDateTime::currentDateTime();
    QFile* openFile = file.release();
    Attach(entry, "download_socket", socket);
    Attach(entry, "download_file", openFile);
    Attach(entry, "write_position", new qint64(offset));
    SetDownloadEntryStatus(entry, kDownloading);
    Attach(entry, "last_receipt_time", new QDateTime(now));
    Attach(entry, "last_speed_measurement_time", new QDateTime(now));
    Attach(entry, "bytes_per_second", new qint32(0));
    Attach(entry, "bytes_since_last_receipt", new qint64(0));

    socket->disconnect();
    auto* thread = new DownloadThread(socket, openFile, fileSize, offset);
    Attach(entry, "download_thread", thread);
    connect(thread, &DownloadThread::DownloadError, this, &TransferQueueManager::OnDownloadError);
    connect(thread, &DownloadThread::DownloadProgress, this,
            &TransferQueueManager::OnDownloadProgress);
    connect(thread, &DownloadThread::DownloadComplete, this,
            &TransferQueueManager::OnDownloadComplete);
    StartTransferThread(thread, socket);
    Note(2, QStringLiteral("Downloading"), userItem);
}

ItemPtr TransferQueueManager::DownloadEntryOfSender() {
    QObject* thread = sender();
    if (!thread)
        return ItemPtr();
    return d.GetType("download_thread")->HasItem(Value(thread)).HasItem("download_entry");
}

void TransferQueueManager::OnDownloadComplete() {
    const ItemPtr entry = DownloadEntryOfSender();
    if (entry.IsNull())
        return;
    StopAndWait(ObjectOf<QThread>(entry.HasItem("download_thread")));
    const ItemPtr user = entry.HasItem("user");
    const QString fileName = entry.HasItem("file_name").AsString();

    DownloadPaths paths;
    QString why;
    if (!PathsOf(entry, true, paths, &why)) {
        Note(1,
             QStringLiteral("Finished download of %1 has no usable target (%2)").arg(fileName, why),
             user);
        SetDownloadEntryStatus(entry, kLocalError);
        return;
    }
    // Success only when the file on disk holds exactly the expected bytes.
    const QString written = FileOf(entry, paths, false);
    const qint64 fileSize = entry.HasItem("file_size").AsInt64();
    const qint64 onDisk = QFileInfo(written).size();
    if (onDisk != fileSize) {
        Note(1,
             QStringLiteral("Download of %1 from %2 holds %3 of %4 bytes, marking aborted")
                 .arg(fileName, user.AsString())
                 .arg(onDisk)
                 .arg(fileSize),
             user);
        SetDownloadEntryStatus(entry, kAborted);
        return;
    }

    QString finalName = QFileInfo(written).fileName();
    // Without the split the file was written where it stays; a setting
    // changed meanwhile still sends it where the settings now put it.
    if (Absolute(QFileInfo(written).path()) == Absolute(paths.completeFolder)) {
        RecordFile(entry, written, onDisk);
        SetDownloadEntryStatus(entry, kComplete);
    } else {
        QDir().mkpath(paths.completeFolder);
        // Never replace a finished file of the same name.
        finalName = UniqueCompleteName(paths.completeFolder, paths.fileName);
        const QString finalPath = QDir(paths.completeFolder).filePath(finalName);
        if (finalName.isEmpty() || !QFile::rename(written, finalPath)) {
            Note(1,
                 QStringLiteral("Could not move %1 into %2, marking local error")
                     .arg(written, paths.completeFolder),
                 user);
            SetDownloadEntryStatus(entry, kLocalError);
            return;
        }
        RecordFile(entry, finalPath, onDisk);
        SetDownloadEntryStatus(entry, kComplete);
        if (!IsSettingYes("dont_split_downloads"))
            RemoveDownloadDownloadingFolderIfAppropriate(entry);
    }

    const ItemPtr folderItem =
        d.GetType("complete_download_folder")->GetItem(Value(Internal(paths.completeFolder)));
    const ItemPtr nameItem = d.GetType("complete_download_filename")->GetItem(Value(finalName));
    ItemSet keys;
    keys.Insert(user);
    keys.Insert(folderItem);
    keys.Insert(nameItem);
    if (!d.GetItem(keys, "complete_download").IsNull())
        return;
    const ItemPtr record = d.GetType("complete_download")->NewItem();
    record.Connect(user);
    record.Connect(folderItem);
    record.Connect(d.GetType("complete_download_relative_folder")
                       ->GetItem(Value(GetDownloadRelativeDownloadFolder(entry))));
    record.Connect(nameItem);
    record.Connect(d.GetType("complete_download_file_size")
                       ->GetItem(Value(entry.HasItem("file_size").AsString())));
    record.Connect(d.GetType("complete_download_completion_time")
                       ->GetItem(Value(QDateTime::currentDateTime().toString(Qt::TextDate))));
    const ItemPtr searchText = entry.HasItem("search_request_text");
    if (!searchText.IsNull())
        record.Connect(searchText);
    emit CompleteDownloadAdded(record);
}

void TransferQueueManager::OnDownloadError(QString error) {
    const ItemPtr entry = DownloadEntryOfSender();
    if (entry.IsNull())
        return;
    const ItemPtr user = entry.HasItem("user");
    Note(1,
         QStringLiteral("Error downloading %1 from %2. %3")
             .arg(entry.HasItem("file_name").AsString(), user.AsString(), error),
         user);
    SetDownloadEntryStatus(entry, kAborted);
}
