// The end of a download: where its partial and finished files live, the file
// connection the uploader opens after we accepted its transfer request, the
// download thread that fills the partial, and the move into the complete
// folder with its finished-download record.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <zlib.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QTcpSocket>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <memory>
#include <string>
#include <unordered_map>

#include "store/Data.h"
#include "store/Log.h"
#include "store/MemStream.h"
#include "store/PlainFile.h"
#include "store/Settings.h"
#include "transfers/DownloadPaths.h"
#include "transfers/FinishedMove.h"
#include "transfers/PartialJournal.h"
#include "transfers/TransferQueueManager.h"
#include "transfers/TransferThreads.h"

namespace {

const QString kArea = QStringLiteral("Transfer Queue");

// Until then neither the uploader's failure report nor a re-queue asks
// for the entry again; the tick does once the time has come.
void WaitBeforeRetry(const ItemPtr& entry, int seconds) {
    entry.Connect(
        d.GetType("download_retry_time")
            ->GetItem(Value(QDateTime::currentDateTime().addSecs(seconds).toString(Qt::TextDate))));
}

// How a download thread's report of a failed write of the file begins.
const char* const kWriteFailure = "Writing to file failed.";
const char* const kWriteReason = "Error string: ";
constexpr int kFirstWriteRetrySecs = 30;
constexpr int kLastWriteRetrySecs = 600;

void Note(int level, const QString& text, const ItemPtr& item) {
    Log(kArea, level, text, item);
}

// After a failure of our own disk: 30 s, doubled at each such failure in a
// row up to 600 s. The seconds waited.
int BackOff(const ItemPtr& entry) {
    const int last = entry.HasItem("write_failure_backoff").AsInt();
    const int seconds = last <= 0 ? kFirstWriteRetrySecs : qMin(last * 2, kLastWriteRetrySecs);
    entry.Connect(d.GetType("write_failure_backoff")->GetItem(Value(seconds)));
    WaitBeforeRetry(entry, seconds);
    return seconds;
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

// The file this download created, on-disk form; empty when it created none,
// or the stored path is unusable or names a file that is not this
// download's own (neither its remote name nor the "name (n).ext" form this
// client gives it): a damaged or edited store must not point a download at
// another of the user's files.
QString RecordedPath(const ItemPtr& entry) {
    const ItemPtr item = entry.HasItem("local_file_path");
    if (item.IsNull())
        return QString();
    const QString path = item.AsString();
    if (path.isEmpty() || QDir::isRelativePath(path) || QDir::cleanPath(path) != path)
        return QString();
    QString ownName;
    if (!SafeComponent(entry.HasItem("file_name").AsStdString(), ownName) ||
        !IsNameOrUniqueForm(path.mid(path.lastIndexOf(QLatin1Char('/')) + 1), ownName))
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

// A file is known again by what a rename, a crash or a restart leaves as it
// is and another file put at that path does not have: device, inode and,
// where the file system keeps one, birth time (so that an inode number freed
// and given to a new file does not pass). "dev:ino" or "dev:ino:sec.nsec".
QString IdentityText(const struct statx& st) {
    if ((st.stx_mask & (STATX_TYPE | STATX_INO)) != (STATX_TYPE | STATX_INO) ||
        !S_ISREG(st.stx_mode))
        return QString();
    QString text = QString::number(quint64(makedev(st.stx_dev_major, st.stx_dev_minor))) +
                   QLatin1Char(':') + QString::number(quint64(st.stx_ino));
    if (st.stx_mask & STATX_BTIME)
        text += QLatin1Char(':') + QString::number(qint64(st.stx_btime.tv_sec)) + QLatin1Char('.') +
                QString::number(st.stx_btime.tv_nsec);
    return text;
}

// Of an open file; empty when it is no plain file.
QString IdentityOf(int fd) {
    struct statx st;
    if (fd < 0 || ::statx(fd, "", AT_EMPTY_PATH, STATX_TYPE | STATX_INO | STATX_BTIME, &st) != 0)
        return QString();
    return IdentityText(st);
}

QString RecordedIdentity(const ItemPtr& entry) {
    const ItemPtr item = entry.HasItem("local_file_identity");
    return item.IsNull() ? QString() : item.AsString();
}

void RecordIdentity(const ItemPtr& entry, const QString& identity) {
    if (identity.isEmpty())
        entry.Disconnect("local_file_identity");
    else if (RecordedIdentity(entry) != identity)
        entry.Connect(d.GetType("local_file_identity")->GetItem(Value(identity)));
}

// The first bytes of the file are recorded as well: an identity stays when
// someone writes another file's bytes over ours in place, the first bytes
// do not. "n:crc32" of the first n bytes, n at most kHeadBytes.
constexpr qint64 kHeadBytes = 65536;

bool HeadOf(int fd, qint64 n, QString& text) {
    QByteArray bytes(int(qMin(n, kHeadBytes)), Qt::Uninitialized);
    qint64 got = 0;
    while (got < bytes.size()) {
        const ssize_t r = ::pread(fd, bytes.data() + got, size_t(bytes.size() - got), got);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        got += r;
    }
    const uLong crc =
        crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(bytes.constData()), uInt(got));
    text = QString::number(got) + QLatin1Char(':') + QString::number(quint32(crc), 16);
    return got == bytes.size();
}

// A head text's length; 0 when there is none or it is unusable.
qint64 HeadLength(const QString& head) {
    bool ok = false;
    const qint64 n = head.section(QLatin1Char(':'), 0, 0).toLongLong(&ok);
    return ok && n > 0 && n <= kHeadBytes ? n : 0;
}

QString RecordedHead(const ItemPtr& entry) {
    const ItemPtr item = entry.HasItem("local_file_head");
    return item.IsNull() ? QString() : item.AsString();
}

qint64 RecordedHeadLength(const ItemPtr& entry) {
    return HeadLength(RecordedHead(entry));
}

void ForgetHead(const ItemPtr& entry) {
    entry.Disconnect("local_file_head");
}

// The open file starts with the bytes of the head text (true when it has none).
bool HeadMatches(const QString& head, int fd) {
    const qint64 n = HeadLength(head);
    if (n == 0)
        return true;
    QString actual;
    return HeadOf(fd, n, actual) && actual == head;
}

// Whether the open file is the one recorded by `identity` and `head`. The
// device number is not always kept from one run to the next (volumes found
// in another order, subvolumes, network file systems), so a file that
// differs from the record in its device number alone still counts when its
// birth time, or without one its recorded first bytes, say that it is no
// other file that took the inode number; anything else must be equal.
bool SameFile(const QString& identity, const QString& head, int fd) {
    const QString actual = IdentityOf(fd);
    if (identity.isEmpty() || actual.isEmpty())
        return false;
    if (actual != identity) {
        const QStringList was = identity.split(QLatin1Char(':'));
        const QStringList is = actual.split(QLatin1Char(':'));
        if (was.size() != is.size() || was.size() < 2 || was.mid(1) != is.mid(1) ||
            (was.size() == 2 && HeadLength(head) == 0))
            return false;
    }
    return HeadMatches(head, fd);
}

// The path opened (a link is not followed, nothing is created) when it is
// the entry's own file by its identity and first bytes; -1 otherwise.
int OpenOwnFile(const ItemPtr& entry, const QString& path, int flags) {
    const QString identity = RecordedIdentity(entry);
    if (path.isEmpty() || identity.isEmpty())
        return -1;
    const int fd = OpenPlainFile(path, flags & ~O_CREAT);
    if (fd >= 0 && !SameFile(identity, RecordedHead(entry), fd)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Records the first bytes of the entry's own file that `written`, its
// recorded size, covers: the file may already hold more than was reported,
// and the quit cuts those bytes off again.
void RecordHead(const ItemPtr& entry, qint64 written) {
    const qint64 n = qMin(written, kHeadBytes);
    if (n <= 0 || n == RecordedHeadLength(entry))
        return;
    const int fd = OpenOwnFile(entry, RecordedPath(entry), O_RDONLY);
    if (fd < 0)
        return;
    QString head;
    const bool whole = HeadOf(fd, n, head);
    ::close(fd);
    if (whole)
        entry.Connect(d.GetType("local_file_head")->GetItem(Value(head)));
}

// The file at the recorded path is still the one this download wrote: a
// plain file of the size it had when the download last stopped. Anything
// else that took its place is someone else's. For finished files.
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

// The download goes on in the file it created only while that file lies
// where the settings now put partials: after a change of download folder,
// split or subfolder setting the download starts afresh there, as at its
// first attempt, and whatever is found under its name is left alone. The
// file is known by its identity and first bytes, whatever its size: after a
// crash it holds more than the last save recorded. A store without an
// identity knows it by the recorded size alone. Returns the partial opened
// for appending, or -1: the file checked is the one then written, so a link
// or another file put at the path after the look is never written.
int OpenOwnPartial(const ItemPtr& entry, const DownloadPaths& paths) {
    const QString path = RecordedPath(entry);
    if (path.isEmpty() || QFileInfo(path).path() != Absolute(paths.downloadingFolder))
        return -1;
    if (!RecordedIdentity(entry).isEmpty())
        return OpenOwnFile(entry, path, O_RDWR | O_APPEND);
    const int fd = OpenPlainFile(path, O_RDWR | O_APPEND);
    struct stat st;
    if (fd >= 0 && (::fstat(fd, &st) != 0 || st.st_size != RecordedSize(entry))) {
        ::close(fd);
        return -1;
    }
    return fd;
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
    if (!info.isFile() || info.isSymLink())
        return;
    RecordSize(entry, info.size());
    RecordHead(entry, info.size());
}

void TransferQueueManager::TrimToRecordedSize(const ItemPtr& entry) {
    const qint64 size = RecordedSize(entry);
    // Only the very file this run wrote is cut, never one put at its path.
    const int fd = OpenOwnFile(entry, RecordedPath(entry), O_RDWR);
    if (fd < 0)
        return;
    struct stat st;
    if (size >= 0 && ::fstat(fd, &st) == 0 && st.st_size > size && ::ftruncate(fd, size) != 0)
        Note(1,
             QStringLiteral("Could not cut %1 back to %2 bytes").arg(RecordedPath(entry)).arg(size),
             entry.HasItem("user"));
    ::close(fd);
}

void TransferQueueManager::RecordProgressSize(const ItemPtr& entry, qint64 offset) {
    if (entry.IsNull() || RecordedPath(entry).isEmpty())
        return;
    RecordSize(entry, offset);
    RecordHead(entry, offset);
}

void TransferQueueManager::RecordFoundComplete(const ItemPtr& entry) {
    DownloadPaths paths;
    if (!PathsOf(entry, true, paths))
        return;
    const QFileInfo info(paths.completePath);
    if (!info.isFile())
        return;
    // Found, not written: nothing of it is to be known again as a partial.
    RecordFile(entry, paths.completePath, info.size());
    RecordIdentity(entry, QString());
    ForgetHead(entry);
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
    if (IsDownloadActive(entry) || IsMoving(entry) ||
        DownloadStatus(entry) == QLatin1String(kComplete)) {
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
        SetLocalError(entry, QStringLiteral("unusable download target (%1)").arg(why));
        Note(2, QStringLiteral("Unusable download target (%1), aborting").arg(why), userItem);
        return;
    }
    const int ownFd = OpenOwnPartial(entry, paths);
    const bool own = ownFd >= 0;
    if (own)
        paths.partialPath = RecordedPath(entry);
    if (PartialInUse(entry, paths.partialPath)) {
        if (own)
            ::close(ownFd);
        // The uploader sees the connection end and reports a failure. Queued
        // again at once, it would be refused again at once while the other
        // download runs: it waits, as after a write failure.
        WaitBeforeRetry(entry, kFirstWriteRetrySecs);
        Refuse(socket);
        Note(2, QStringLiteral("Another download is writing %1, waiting").arg(paths.partialPath),
             userItem);
        return;
    }
    std::unique_ptr<QFile> file;
    if (own) {
        file = std::make_unique<QFile>();
        if (!file->open(ownFd, QIODevice::WriteOnly | QIODevice::Append,
                        QFileDevice::AutoCloseHandle)) {
            ::close(ownFd);
            const QString error =
                QStringLiteral("cannot open %1: %2").arg(paths.partialPath, file->errorString());
            SetLocalError(entry, error);
            Refuse(socket);
            Note(2, QStringLiteral("Could not open file (%1), aborting").arg(error), userItem);
            return;
        }
    } else {
        QDir().mkpath(paths.downloadingFolder);
        const QString name = UniqueCompleteName(paths.downloadingFolder, paths.fileName);
        if (name.isEmpty()) {
            Refuse(socket);
            SetLocalError(entry, QStringLiteral("no free name for %1").arg(paths.partialPath));
            Note(2, QStringLiteral("No free name for %1, aborting").arg(paths.partialPath),
                 userItem);
            return;
        }
        paths.partialPath = QDir(paths.downloadingFolder).filePath(name);
        file = std::make_unique<QFile>(paths.partialPath);
        // A new file is created, never opened over one that appeared since.
        if (!file->open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
            const QString error =
                QStringLiteral("cannot create %1: %2").arg(paths.partialPath, file->errorString());
            SetLocalError(entry, error);
            Refuse(socket);
            Note(2, QStringLiteral("Could not open file (%1), aborting").arg(error), userItem);
            return;
        }
        RecordFile(entry, paths.partialPath, 0);
        ForgetHead(entry);
    }
    RecordIdentity(entry, IdentityOf(file->handle()));
    // Our partial, larger than the file the uploader now announces, is not
    // this file: start over.
    if (file->size() > fileSize) {
        if (!file->resize(0)) {
            const QString error = QStringLiteral("cannot truncate %1: %2")
                                      .arg(paths.partialPath, file->errorString());
            SetLocalError(entry, error);
            Refuse(socket);
            Note(2, QStringLiteral("Could not truncate file (%1), aborting").arg(error), userItem);
            return;
        }
        ForgetHead(entry);
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
    HoldFirstWrite(thread, JournalPartial(entry));
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
    // Every byte went to the file: writes work again.
    entry.Disconnect("write_failure_backoff");
    entry.Disconnect("download_retry_time");
    const ItemPtr user = entry.HasItem("user");
    const QString fileName = entry.HasItem("file_name").AsString();

    DownloadPaths paths;
    QString why;
    if (!PathsOf(entry, true, paths, &why)) {
        Note(1,
             QStringLiteral("Finished download of %1 has no usable target (%2)").arg(fileName, why),
             user);
        SetLocalError(entry, QStringLiteral("no usable target (%1)").arg(why));
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
        SetDownloadAborted(entry);
        return;
    }

    // Without the split the file was written where it stays; a setting
    // changed meanwhile still sends it where the settings now put it.
    if (Absolute(QFileInfo(written).path()) == Absolute(paths.completeFolder)) {
        RecordFile(entry, written, onDisk);
        SetDownloadEntryStatus(entry, kComplete);
        RecordCompleteDownload(entry, paths.completeFolder, QFileInfo(written).fileName());
        return;
    }
    QDir().mkpath(paths.completeFolder);
    MoveFinished(entry, written, paths.completeFolder, paths.fileName, onDisk);
}

struct TransferQueueManager::MoveJob {
    ItemPtr entry;
    QString written, folder, name;
    qint64 size = 0;
    bool whole = false;
    QThread* thread = nullptr;
    std::atomic<bool> cancel{false};
    FinishedMove result;
};

void TransferQueueManager::MoveFinished(const ItemPtr& entry, const QString& written,
                                        const QString& folder, const QString& name, qint64 size,
                                        bool found) {
    // Never replace a finished file of the same name.
    if (!found) {
        const FinishedMove renamed = RenameFinishedFile(written, folder, name);
        if (!renamed.needsCopy) {
            FinishMove(entry, written, folder, renamed, size);
            return;
        }
    }
    // Another file system: a copy of gigabytes must not hold up the window
    // or the other transfers. A partial found whole may have been copied
    // already, which takes a comparison of its bytes.
    Note(2, QStringLiteral("%1 %2 into %3").arg(found ? "Moving" : "Copying", written, folder),
         entry.HasItem("user"));
    auto* job = new MoveJob;
    job->entry = entry;
    job->written = written;
    job->folder = folder;
    job->name = name;
    job->size = size;
    job->whole = found;
    job->thread = QThread::create([job] {
        job->result = job->whole
                          ? PlaceWholeFile(job->written, job->folder, job->name, &job->cancel)
                          : CopyFinishedFile(job->written, job->folder, job->name, &job->cancel);
    });
    m_moves.push_back(job);
    connect(job->thread, &QThread::finished, this, [this, job] {
        job->thread->wait();
        delete job->thread;
        m_moves.erase(std::find(m_moves.begin(), m_moves.end(), job));
        const std::unique_ptr<MoveJob> done(job);
        FinishMove(job->entry, job->written, job->folder, job->result, job->size);
    });
    job->thread->start();
}

QString TransferQueueManager::WholePartial(const ItemPtr& entry) {
    if (entry.IsNull() || entry.IsRemoved() || DownloadStatus(entry) == QLatin1String(kComplete) ||
        IsDownloadActive(entry))
        return QString();
    const QString path = RecordedPath(entry);
    const qint64 size = entry.HasItem("file_size").AsInt64();
    // A look at the size first: most partials are not whole, and only a
    // whole one costs the open and the check of its first bytes.
    const QFileInfo info(path);
    if (path.isEmpty() || size <= 0 || info.isSymLink() || info.size() != size)
        return QString();
    DownloadPaths paths;
    if (!PathsOf(entry, true, paths))
        return QString();
    const int fd = OpenOwnPartial(entry, paths);
    if (fd < 0)
        return QString();
    struct stat st;
    const bool whole = ::fstat(fd, &st) == 0 && st.st_size == size;
    ::close(fd);
    return whole ? path : QString();
}

bool TransferQueueManager::FinishWholePartial(const ItemPtr& entry) {
    if (IsMoving(entry))
        return true;
    const QString written = WholePartial(entry);
    if (written.isEmpty())
        return false;
    // A move that failed is tried again only once its wait is over.
    if (WaitsAfterWriteFailure(entry))
        return true;
    DownloadPaths paths;
    if (!PathsOf(entry, true, paths))
        return false;
    const qint64 size = entry.HasItem("file_size").AsInt64();
    Note(2, QStringLiteral("%1 holds every byte; finishing it here").arg(written),
         entry.HasItem("user"));
    if (Absolute(QFileInfo(written).path()) == Absolute(paths.completeFolder)) {
        FinishMove(entry, written, paths.completeFolder,
                   FinishedMove{true, false, QFileInfo(written).fileName(), QString()}, size);
        return true;
    }
    QDir().mkpath(paths.completeFolder);
    MoveFinished(entry, written, paths.completeFolder, paths.fileName, size, true);
    return true;
}

bool TransferQueueManager::FinishMovedFile(const ItemPtr& entry) {
    if (entry.IsNull() || entry.IsRemoved() || DownloadStatus(entry) == QLatin1String(kComplete) ||
        IsDownloadActive(entry) || IsMoving(entry))
        return false;
    const QString written = RecordedPath(entry);
    const QFileInfo partial(written);
    if (written.isEmpty() || partial.exists() || partial.isSymLink())
        return false;
    DownloadPaths paths;
    if (!PathsOf(entry, true, paths) || Absolute(partial.path()) == Absolute(paths.completeFolder))
        return false;
    const qint64 size = entry.HasItem("file_size").AsInt64();
    const QString identity = RecordedIdentity(entry);
    const QString head = RecordedHead(entry);
    // Among the names the move could have taken, up to the first free one:
    // the partial itself renamed, or a copy of it of the full size with its
    // first bytes as recorded (without a record of them, only under its
    // own name).
    QString found;
    UniqueNameAmong(paths.fileName, [&](const QString& candidate) {
        const QByteArray path = QFile::encodeName(QDir(paths.completeFolder).filePath(candidate));
        struct stat st;
        if (::lstat(path.constData(), &st) != 0)
            return false;
        if (!S_ISREG(st.st_mode) || st.st_size != size)
            return true;
        const int fd = OpenPlainFile(QFile::decodeName(path), O_RDONLY);
        const bool same =
            fd >= 0 &&
            (SameFile(identity, head, fd) ||
             (HeadLength(head) > 0 ? HeadMatches(head, fd) : candidate == paths.fileName));
        if (fd >= 0)
            ::close(fd);
        if (same)
            found = candidate;
        return !same;
    });
    if (found.isEmpty())
        return false;
    Note(1,
         QStringLiteral("%1 was moved into %2 before the client stopped; finishing it")
             .arg(written, paths.completeFolder),
         entry.HasItem("user"));
    FinishMove(entry, written, paths.completeFolder, FinishedMove{true, false, found, QString()},
               size);
    return true;
}

bool TransferQueueManager::IsMoving(const ItemPtr& entry) const {
    for (const MoveJob* job : m_moves)
        if (job->entry == entry)
            return true;
    return false;
}

void TransferQueueManager::SweepMoveLeftovers() {
    QSet<QString> folders;
    const PathSettings settings;
    for (const ItemPtr& entry : d.GetType("download_entry")->GetItems()) {
        DownloadPaths paths;
        if (DownloadStatus(entry) != QLatin1String(kComplete) &&
            !entry.HasItem("local_file_path").IsNull() &&
            PathsOf(entry, true, paths, nullptr, settings))
            folders.insert(paths.completeFolder);
    }
    if (folders.isEmpty())
        return;
    if (m_sweep)
        m_sweep->wait();
    // A folder on a slow disk must not hold up the start.
    m_sweep.reset(QThread::create([this, folders] {
        for (const QString& folder : folders) {
            if (m_stopSweep)
                return;
            if (const int removed = RemoveMoveLeftovers(folder))
                Log(kArea, 1,
                    QStringLiteral("Removed %1 temporaries of stopped moves from %2")
                        .arg(removed)
                        .arg(folder));
        }
    }));
    m_sweep->start();
}

void TransferQueueManager::StopMoves() {
    if (m_sweep) {
        m_stopSweep = true;
        m_sweep->wait();
        m_sweep.reset();
    }
    for (MoveJob* job : m_moves)
        job->cancel = true;
    for (MoveJob* job : m_moves) {
        job->thread->wait();
        delete job->thread;
        delete job;
    }
    m_moves.clear();
}

void TransferQueueManager::FinishMove(const ItemPtr& entry, const QString& written,
                                      const QString& folder, const FinishedMove& move,
                                      qint64 size) {
    const bool removed = entry.IsNull() || entry.IsRemoved();
    const ItemPtr user = removed ? ItemPtr() : entry.HasItem("user");
    if (!move.done) {
        if (removed) {
            Note(1,
                 QStringLiteral("Could not move %1 into %2 (%3)").arg(written, folder, move.error),
                 user);
            return;
        }
        // The partial is whole: it is moved again, by itself, after a wait
        // that grows as after a failed write, never fetched again.
        const int seconds = BackOff(entry);
        Note(1,
             QStringLiteral("Could not move %1 into %2 (%3), marking local error (trying again in "
                            "%4 s)")
                 .arg(written, folder, move.error)
                 .arg(seconds),
             user);
        SetLocalError(entry, move.error);
        return;
    }
    const QString finalPath = QDir(folder).filePath(move.name);
    if (!move.error.isEmpty())
        Note(1, QStringLiteral("Moved %1 to %2, but %3").arg(written, finalPath, move.error), user);
    if (removed) {
        Log(kArea, 1,
            QStringLiteral("Moved %1 to %2 for a removed download").arg(written, finalPath));
        return;
    }
    entry.Disconnect("write_failure_backoff");
    entry.Disconnect("download_retry_time");
    RecordFile(entry, finalPath, size);
    SetDownloadEntryStatus(entry, kComplete);
    // A partial found whole was no running download, whose end journals it.
    JournalPartial(entry);
    if (!IsSettingYes("dont_split_downloads"))
        RemoveDownloadDownloadingFolderIfAppropriate(entry);
    RecordCompleteDownload(entry, folder, move.name);
}

namespace {
void SetReason(const ItemPtr& entry, const QString& reason) {
    if (!reason.isEmpty())
        entry.Connect(d.GetType("denial_reason")->GetItem(Value(reason)));
    else
        entry.Disconnect("denial_reason");
}
}  // namespace

void TransferQueueManager::SetLocalError(const ItemPtr& entry, const QString& reason) {
    SetReason(entry, reason);
    SetDownloadEntryStatus(entry, kLocalError);
}

void TransferQueueManager::SetDownloadAborted(const ItemPtr& entry, const QString& reason) {
    SetReason(entry, reason);
    SetDownloadEntryStatus(entry, kAborted);
}

void TransferQueueManager::RecordCompleteDownload(const ItemPtr& entry, const QString& folder,
                                                  const QString& finalName) {
    const ItemPtr user = entry.HasItem("user");
    const ItemPtr folderItem =
        d.GetType("complete_download_folder")->GetItem(Value(Internal(folder)));
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
    QString wait, reason;
    // Our own disk failed, not the peer: the uploader's failure report would
    // queue it again at once, and it would fail again at once, many times a
    // second while the disk stays full.
    if (error.startsWith(QLatin1String(kWriteFailure))) {
        const int seconds = BackOff(entry);
        // Not our file's disk but the journal's: once that writes again,
        // the wait is over.
        if (error.contains(QLatin1String(PartialJournal::kWriteFailed)) &&
            std::find(m_journalWaits.begin(), m_journalWaits.end(), entry) == m_journalWaits.end())
            m_journalWaits.push_back(entry);
        wait = QStringLiteral(" (trying again in %1 s)").arg(seconds);
        // Shown in the row: the user can act on a full disk, not on a peer.
        const int why = error.indexOf(QLatin1String(kWriteReason));
        reason = why < 0 ? error : error.mid(why + QLatin1String(kWriteReason).size());
    }
    Note(1,
         QStringLiteral("Error downloading %1 from %2. %3%4")
             .arg(entry.HasItem("file_name").AsString(), user.AsString(), error, wait),
         user);
    SetDownloadAborted(entry, reason);
}
