#include "store/Temporaries.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStringList>
#include <cerrno>
#include <ctime>
#include <mutex>
#include <set>
#include <utility>

#include "store/PlainFile.h"

namespace {

constexpr int kDigits = 16;

QString Start(const QString& kind) {
    return QStringLiteral(".tavenook-") + kind + QLatin1Char('-');
}

const QString kEnd = QStringLiteral(".tmp");

bool SameInode(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::function<void(const QString&)> g_beforeRename;

// The temporaries this process has open, by device and inode: where the
// disk keeps no locks, its own sweeps know them by this alone.
using Inode = std::pair<dev_t, ino_t>;
std::mutex g_openMutex;
std::set<Inode> g_open;

void SetOpen(const struct stat& st, bool open) {
    const std::lock_guard<std::mutex> lock(g_openMutex);
    if (open)
        g_open.insert(Inode(st.st_dev, st.st_ino));
    else
        g_open.erase(Inode(st.st_dev, st.st_ino));
}

bool OpenHere(const struct stat& st) {
    const std::lock_guard<std::mutex> lock(g_openMutex);
    return g_open.count(Inode(st.st_dev, st.st_ino)) != 0;
}

void Forget(int fd) {
    struct stat st;
    if (::fstat(fd, &st) == 0)
        SetOpen(st, false);
}

// Removes path only while it still names the open file.
void UnlinkIfSame(int fd, const QByteArray& path) {
    struct stat mine, there;
    if (::fstat(fd, &mine) == 0 && ::lstat(path.constData(), &there) == 0 && SameInode(mine, there))
        ::unlink(path.constData());
}

}  // namespace

void SetBeforeTemporaryRename(std::function<void(const QString& temporary)> hook) {
    g_beforeRename = std::move(hook);
}

void BeforeTemporaryRename(const QString& temporary) {
    if (g_beforeRename)
        g_beforeRename(temporary);
}

void SyncFolder(const QString& folder) {
    const int fd =
        ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

int CreateTemporary(const QString& folder, const QString& kind, QString* path, QString* error,
                    mode_t mode) {
    for (int attempt = 0; attempt < 10; ++attempt) {
        *path =
            QDir(folder).filePath(Start(kind) +
                                  QStringLiteral("%1").arg(QRandomGenerator::system()->generate64(),
                                                           kDigits, 16, QLatin1Char('0')) +
                                  kEnd);
        QString why;
        const int fd = CreateFileAnew(*path, &why, mode);
        if (fd < 0) {
            if (error)
                *error = QStringLiteral("cannot create %1: %2").arg(*path, why);
            return -1;
        }
        const QByteArray native = QFile::encodeName(*path);
        struct stat mine, there;
        if (::fstat(fd, &mine) != 0) {
            ::unlink(native.constData());
            ::close(fd);
            continue;
        }
        // Known before the lock, so that no sweep of ours comes in between.
        SetOpen(mine, true);
        const bool locked = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        // Held by another client's sweep, which is removing it; any other
        // refusal is a disk that keeps no locks.
        const bool swept = !locked && (errno == EWOULDBLOCK || errno == EAGAIN);
        // A sweep may have taken the name between the create and the lock.
        if (!swept && ::lstat(native.constData(), &there) == 0 && SameInode(mine, there))
            return fd;
        // Ours goes, whoever else meant to remove it; nobody's put there since stays.
        UnlinkIfSame(fd, native);
        SetOpen(mine, false);
        ::close(fd);
    }
    if (error)
        *error = QStringLiteral("cannot keep a temporary file in %1").arg(folder);
    return -1;
}

void CloseTemporary(int fd) {
    if (fd < 0)
        return;
    Forget(fd);
    ::close(fd);
}

void DropTemporary(int fd, const QString& path) {
    if (fd < 0)
        return;
    UnlinkIfSame(fd, QFile::encodeName(path));
    CloseTemporary(fd);
}

bool IsTemporaryName(const QString& name, const QString& kind) {
    const QString start = Start(kind);
    if (name.size() != start.size() + kDigits + kEnd.size() || !name.startsWith(start) ||
        !name.endsWith(kEnd))
        return false;
    for (int k = start.size(); k < start.size() + kDigits; ++k) {
        const QChar c = name.at(k);
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

int RemoveTemporaryLeftovers(const QString& folder, const QString& kind) {
    int removed = 0;
    const QStringList names = QDir(folder).entryList(QStringList() << (Start(kind) + "*"),
                                                     QDir::Files | QDir::System | QDir::Hidden);
    for (const QString& name : names) {
        if (!IsTemporaryName(name, kind))
            continue;
        const QByteArray path = QFile::encodeName(QDir(folder).filePath(name));
        struct stat st;
        if (::lstat(path.constData(), &st) != 0 || S_ISDIR(st.st_mode))
            continue;
        if (S_ISREG(st.st_mode)) {
            if (OpenHere(st))
                continue;
            // Read-write where it can: some network disks lock only files
            // opened for writing.
            int fd = OpenPlainFile(QFile::decodeName(path), O_RDWR);
            if (fd < 0)
                fd = OpenPlainFile(QFile::decodeName(path), O_RDONLY);
            struct stat opened;
            bool free = fd >= 0 && ::fstat(fd, &opened) == 0 && SameInode(st, opened);
            if (free && ::flock(fd, LOCK_EX | LOCK_NB) != 0)
                // Held, or on a disk that refuses locks: there only what no
                // writer touched for long.
                free = errno != EWOULDBLOCK && errno != EAGAIN &&
                       std::time(nullptr) - opened.st_mtime > kUnlockedTemporaryAge;
            const bool gone = free && ::unlink(path.constData()) == 0;
            if (fd >= 0)
                ::close(fd);
            removed += gone ? 1 : 0;
            continue;
        }
        if (::unlink(path.constData()) == 0)
            ++removed;
    }
    return removed;
}

bool ReplaceFile(const QString& path, const QString& kind, const QByteArray& data, QString* error) {
    QFileInfo target(path);
    for (int depth = 0; depth < 128 && target.isSymLink(); ++depth)
        target.setFile(target.symLinkTarget());
    const QString final = target.filePath();
    const QString folder = target.absolutePath();
    struct stat old;
    const bool existed = ::stat(QFile::encodeName(final).constData(), &old) == 0;
    RemoveTemporaryLeftovers(folder, kind);
    QString temporary, why;
    // A new file's permissions as the user's umask makes them, or the old one's.
    int fd = CreateTemporary(folder, kind, &temporary, &why, 0666);
    bool ok = fd >= 0;
    if (ok) {
        if (existed)
            ::fchmod(fd, old.st_mode & 07777);
        // Its close too, where some disks say a write was lost.
        ok = WriteAll(fd, data.constData(), std::size_t(data.size())) && SyncFile(fd) &&
             CloseKeepingOpen(&fd);
        if (!ok)
            why = QStringLiteral("cannot write %1: %2").arg(temporary, SystemError(errno));
    }
    if (ok) {
        BeforeTemporaryRename(temporary);
        ok = ::rename(QFile::encodeName(temporary).constData(),
                      QFile::encodeName(final).constData()) == 0;
        if (!ok)
            why = QStringLiteral("cannot replace %1: %2").arg(final, SystemError(errno));
    }
    if (!ok) {
        DropTemporary(fd, temporary);
        if (error)
            *error = why;
        return false;
    }
    CloseTemporary(fd);
    SyncFolder(folder);
    return true;
}
