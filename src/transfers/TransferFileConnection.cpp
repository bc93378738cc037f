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

// The name the entry's file was given on disk, when the download wrote one:
// its own partial without the split, its finished file in any case. Empty
// when none was recorded (or a stored one is unusable).
QString LocalName(const ItemPtr& entry) {
    const ItemPtr item = entry.HasItem("local_file_name");
    QString safe;
    if (item.IsNull() || !SafeComponent(item.AsString(), safe))
        return QString();
    return safe;
}

void RecordLocalName(const ItemPtr& entry, const QString& name) {
    entry.Connect(d.GetType("local_file_name")->GetItem(Value(name)));
}

// Both locations of the entry's file; false (with a reason) when the peer's
// names would leave the download folder or cannot be used. A file the entry
// wrote under another name than the remote one is found under that name.
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
    if (!local.isEmpty()) {
        paths.completePath = QDir(paths.completeFolder).filePath(local);
        if (settings.dontSplit)
            paths.partialPath = paths.completePath;
    }
    return true;
}

// Without the split the partial lies where the finished file goes, among the
// user's own files: only a file this download started is continued. Any
// other file of that name is left alone and the download takes a free name,
// returned in newName (empty when the partial is ours). False when no name
// is free.
bool ClaimPartial(const ItemPtr& entry, DownloadPaths& paths, QString& newName) {
    newName.clear();
    const QFileInfo info(paths.partialPath);
    if (!LocalName(entry).isEmpty() && info.isFile() && !info.isSymLink())
        return true;
    newName = UniqueCompleteName(paths.downloadingFolder, paths.fileName);
    if (newName.isEmpty())
        return false;
    paths.partialPath = QDir(paths.downloadingFolder).filePath(newName);
    return true;
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
            DownloadPaths paths;
            if (PathsOf(other, true, paths) && paths.partialPath == partialPath)
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
    return Internal(complete ? paths.completeFolder : paths.downloadingFolder);
}

QString TransferQueueManager::GetDownloadTargetPath(ItemPtr entry, bool complete) {
    DownloadPaths paths;
    if (!PathsOf(entry, true, paths))
        return QString();
    return Internal(complete ? paths.completePath : paths.partialPath);
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
    // Only the same size counts: without the split the partial lies at this
    // very path, and another file of that name is not the one we want.
    const QFileInfo info(paths.completePath);
    return info.isFile() && info.size() == entry.HasItem("file_size").AsInt64();
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
    const PathSettings settings;
    QString newName;
    if (!PathsOf(entry, true, paths, &why, settings) || fileSize < 0 ||
        (settings.dontSplit && !ClaimPartial(entry, paths, newName))) {
        Refuse(socket);
        SetDownloadEntryStatus(entry, kLocalError);
        Note(2, QStringLiteral("Unusable download target (%1), aborting").arg(why), userItem);
        return;
    }
    if (PartialInUse(entry, paths.partialPath)) {
        // The uploader sees the connection end and reports a failure, which
        // queues this download again.
        Refuse(socket);
        Note(2, QStringLiteral("Another download is writing %1, waiting").arg(paths.partialPath),
             userItem);
        return;
    }

    QDir().mkpath(paths.downloadingFolder);
    auto file = std::make_unique<QFile>(paths.partialPath);
    // A new name is created, never opened over a file that appeared since.
    const QIODevice::OpenMode mode = newName.isEmpty() ? QIODevice::WriteOnly | QIODevice::Append
                                                       : QIODevice::WriteOnly | QIODevice::NewOnly;
    if (!file->open(mode)) {
        SetDownloadEntryStatus(entry, kLocalError);
        Refuse(socket);
        Note(2, QStringLiteral("Could not open file, aborting"), userItem);
        return;
    }
    if (!newName.isEmpty())
        RecordLocalName(entry, newName);
    // A partial larger than the file is not this file: start over.
    if (file->size() > fileSize && !file->resize(0)) {
        SetDownloadEntryStatus(entry, kLocalError);
        Refuse(socket);
        Note(2, QStringLiteral("Could not truncate file, aborting"), userItem);
        return;
    }
    const qint64 offset = file->size();

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
    const qint64 fileSize = entry.HasItem("file_size").AsInt64();
    const qint64 onDisk = QFileInfo(paths.partialPath).size();
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

    QString finalName = QFileInfo(paths.partialPath).fileName();
    if (IsSettingYes("dont_split_downloads")) {
        RecordLocalName(entry, finalName);
        SetDownloadEntryStatus(entry, kComplete);
    } else {
        QDir().mkpath(paths.completeFolder);
        // Never replace a finished file of the same name.
        finalName = UniqueCompleteName(paths.completeFolder, paths.fileName);
        if (finalName.isEmpty() ||
            !QFile::rename(paths.partialPath,
                           paths.completeFolder + QLatin1Char('/') + finalName)) {
            Note(1,
                 QStringLiteral("Could not move %1 into %2, marking local error")
                     .arg(paths.partialPath, paths.completeFolder),
                 user);
            SetDownloadEntryStatus(entry, kLocalError);
            return;
        }
        RecordLocalName(entry, finalName);
        SetDownloadEntryStatus(entry, kComplete);
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
