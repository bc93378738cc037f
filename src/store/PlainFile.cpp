#include "store/PlainFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <utility>

#include "store/Log.h"

namespace {

std::atomic<bool> g_closeFaulty{false};
std::mutex g_closeFaultMutex;
std::function<int(int)> g_closeFault;

int CloseFault(int fd) {
    if (!g_closeFaulty.load(std::memory_order_acquire))
        return 0;
    const std::lock_guard<std::mutex> lock(g_closeFaultMutex);
    return g_closeFault ? g_closeFault(fd) : 0;
}

int Refuse(QString* error, const QString& why, int err) {
    if (error)
        *error = why;
    errno = err;
    return -1;
}

}  // namespace

QString SystemError(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

int OpenPlainFile(const QString& path, int flags, QString* error, bool followLinks, mode_t mode) {
    const QByteArray native = QFile::encodeName(path);
    // Without O_NONBLOCK the open of a FIFO waits for its other end, for ever.
    const int openFlags = flags | O_CLOEXEC | O_NONBLOCK | (followLinks ? 0 : O_NOFOLLOW);
    int fd = -1;
    do
        fd = ::open(native.constData(), openFlags, mode);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int err = errno;
        if (err == ELOOP && !followLinks)
            return Refuse(error, "a link stands there; it is not followed", err);
        if (err == ENXIO)  // a FIFO without a reader, or a device
            return Refuse(error, "not a plain file", err);
        return Refuse(error, SystemError(err), err);
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return Refuse(error, "not a plain file", EINVAL);
    }
    if (!(flags & O_NONBLOCK))
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

bool OpenPlainFile(QFile& file, const QString& path, QIODevice::OpenMode mode, QString* error,
                   bool followLinks) {
    int flags = O_RDONLY;
    if ((mode & QIODevice::ReadWrite) == QIODevice::ReadWrite)
        flags = O_RDWR | O_CREAT;
    else if (mode & QIODevice::WriteOnly)
        flags = O_WRONLY | O_CREAT;
    if (mode & QIODevice::Append)
        flags |= O_APPEND;
    const int fd = OpenPlainFile(path, flags, error, followLinks);
    if (fd < 0)
        return false;
    if (!file.open(fd, mode, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        if (error)
            *error = file.errorString();
        return false;
    }
    return true;
}

bool SetAside(const QString& path, QString* aside, QString* error) {
    QString name = path + QStringLiteral(".aside");
    for (int n = 2; n <= 1000; ++n) {
        if (RenameNoReplace(path, name, error)) {
            if (aside)
                *aside = name;
            return true;
        }
        if (errno != EEXIST)
            return false;
        name = path + QStringLiteral(".aside") + QString::number(n);
    }
    Refuse(error, QStringLiteral("no free name to set it aside"), EEXIST);
    return false;
}

int CreateFileAnew(const QString& path, QString* error, mode_t mode) {
    const QByteArray native = QFile::encodeName(path);
    auto create = [&] {
        int fd = -1;
        do
            fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        mode);
        while (fd < 0 && errno == EINTR);
        return fd;
    };
    ::unlink(native.constData());
    int fd = create();
    // What unlink cannot remove, a folder, is moved out of the way: it may
    // hold someone's files, and left there it would fail every later write.
    QString aside, why;
    if (fd < 0 && errno == EEXIST) {
        if (!SetAside(path, &aside, &why))
            return Refuse(
                error,
                QStringLiteral("a folder stands there and cannot be set aside (%1)").arg(why),
                EEXIST);
        Log(QStringLiteral("Files"), 1,
            QStringLiteral("Set aside %1 as %2: the client writes a file there").arg(path, aside));
        fd = create();
    }
    if (fd < 0)
        return Refuse(error, SystemError(errno), errno);
    return fd;
}

namespace {

// Errors of a file system that lacks the call, not of the names given.
bool Unsupported(int err) {
    return err == EINVAL || err == ENOSYS || err == EOPNOTSUPP || err == ENOTSUP;
}

bool SameInode(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Without a no-replace rename and without hard links (SMB shares, some
// shared folders of virtual machines and FUSE disks): the name is taken
// first by a new empty file of ours, made exclusively, so anything that
// stands there or comes meanwhile is refused (EEXIST), and the plain
// rename then replaces only that file of ours. A kill in between leaves an
// empty file under the name, never a part of one and never a lost file. A
// folder takes its name by an empty folder of ours, which a rename of a
// folder may replace as well.
bool RenameOntoReservedName(const QByteArray& source, const QByteArray& target) {
    struct stat from;
    if (::lstat(source.constData(), &from) != 0)
        return false;
    const bool folder = S_ISDIR(from.st_mode);
    struct stat reserved;
    if (folder) {
        if (::mkdir(target.constData(), 0700) != 0 || ::lstat(target.constData(), &reserved) != 0)
            return false;
    } else {
        int fd = -1;
        do
            fd = ::open(target.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        0600);
        while (fd < 0 && errno == EINTR);
        if (fd < 0)
            return false;
        const bool known = ::fstat(fd, &reserved) == 0;
        ::close(fd);
        if (!known) {
            ::unlink(target.constData());
            errno = EIO;
            return false;
        }
    }
    const auto drop = [&] {
        struct stat there;
        if (::lstat(target.constData(), &there) == 0 && SameInode(reserved, there))
            folder ? ::rmdir(target.constData()) : ::unlink(target.constData());
    };
    struct stat there;
    // Only while the name still holds what we made: someone who removed it
    // and put his own there keeps his (a folder of ours he filled too).
    if (::lstat(target.constData(), &there) != 0 || !SameInode(reserved, there) ||
        (!folder && there.st_size != 0)) {
        errno = EEXIST;
        return false;
    }
    if (::rename(source.constData(), target.constData()) == 0)
        return true;
    const int err = errno;
    drop();
    errno = err == ENOTEMPTY ? EEXIST : err;
    return false;
}

}  // namespace

bool RenameNoReplace(const QString& from, const QString& to, QString* error) {
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) ==
        0)
        return true;
    // A file system that cannot rename so gets a new name and loses the old.
    if (Unsupported(errno)) {
        if (::link(source.constData(), target.constData()) == 0) {
            ::unlink(source.constData());
            return true;
        }
        if ((Unsupported(errno) || errno == EPERM) && RenameOntoReservedName(source, target))
            return true;
    }
    Refuse(error, SystemError(errno), errno);
    return false;
}

bool WriteOut(QFileDevice& file, const char* data, qint64 size, QString* error) {
    errno = 0;
    if (data ? file.write(data, size) == size : file.flush())
        return true;
    const int err = errno;
    if (error)
        *error = err != 0 ? SystemError(err) : file.errorString();
    return false;
}

bool SyncFile(int fd, bool metadata) {
    int done = -1;
    do
        done = metadata ? ::fsync(fd) : ::fdatasync(fd);
    while (done != 0 && errno == EINTR);
    return done == 0 || Unsupported(errno);
}

bool WriteAll(int fd, const char* data, std::size_t size) {
    while (size) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0) {  // no progress: nothing more will fit
            errno = ENOSPC;
            return false;
        }
        data += n;
        size -= std::size_t(n);
    }
    return true;
}

void SetCloseFault(std::function<int(int fd)> fault) {
    const std::lock_guard<std::mutex> lock(g_closeFaultMutex);
    g_closeFaulty.store(bool(fault), std::memory_order_release);
    g_closeFault = std::move(fault);
}

bool CloseFile(int fd) {
    const int fault = CloseFault(fd);
    // Not repeated after EINTR: the descriptor is gone, and what the disk
    // did with the writes is unknown, so it counts as a failure.
    if (::close(fd) != 0)
        return false;
    errno = fault;
    return fault == 0;
}

bool CloseKeepingOpen(int* fd) {
    const int kept = ::fcntl(*fd, F_DUPFD_CLOEXEC, 0);
    if (kept < 0)
        return false;
    const int written = *fd;
    *fd = kept;
    return CloseFile(written);
}

bool CloseOut(QFileDevice& file, QString* error) {
    if (!file.isOpen())
        return true;
    QString why;
    bool ok = WriteOut(file, nullptr, 0, &why);
    const int fault = CloseFault(file.handle());
    file.close();
    // Qt keeps the close's failure, with the system's reason, as the error.
    if (ok && file.error() != QFileDevice::NoError) {
        ok = false;
        why = file.errorString();
    }
    if (ok && fault != 0) {
        ok = false;
        why = SystemError(fault);
    }
    if (!ok && error)
        *error = why;
    return ok;
}
