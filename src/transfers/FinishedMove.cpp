#include "transfers/FinishedMove.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <memory>

#include "store/PlainFile.h"
#include "store/Temporaries.h"
#include "transfers/DownloadPaths.h"

namespace {

std::atomic<bool> g_forceCopy{false};

const QString kKind = QStringLiteral("move");
constexpr std::size_t kCopyBlock = 1 << 20;
// Names taken between our look and our rename, by someone else.
constexpr int kNameAttempts = 100;

QString Join(const QString& folder, const QString& name) {
    return QDir(folder).filePath(name);
}

QString Failure(const QString& what, const QString& path, int err) {
    return QStringLiteral("%1 %2: %3").arg(what, path, SystemError(err));
}

bool SameInode(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

struct Descriptor {
    int fd = -1;
    ~Descriptor() {
        if (fd >= 0)
            ::close(fd);
    }
};

// A copy's temporary: removed at whatever return comes before its rename.
struct Temporary {
    int fd = -1;
    QString path;
    bool placed = false;
    ~Temporary() {
        if (placed)
            CloseTemporary(fd);
        else
            DropTemporary(fd, path);
    }
};

bool Cancelled(const std::atomic<bool>* cancel) {
    return cancel && cancel->load(std::memory_order_relaxed);
}

}  // namespace

void ForceFinishedFileCopy(bool on) {
    g_forceCopy = on;
}

bool IsMoveTemporaryName(const QString& name) {
    return IsTemporaryName(name, kKind);
}

int RemoveMoveLeftovers(const QString& folder) {
    return RemoveTemporaryLeftovers(folder, kKind);
}

FinishedMove RenameFinishedFile(const QString& source, const QString& folder, const QString& name) {
    FinishedMove move;
    if (g_forceCopy) {
        move.needsCopy = true;
        return move;
    }
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        move.name = UniqueCompleteName(folder, name);
        if (move.name.isEmpty()) {
            move.error = QStringLiteral("no free name for %1 in %2").arg(name, folder);
            return move;
        }
        const QString target = Join(folder, move.name);
        QString why;
        if (RenameNoReplace(source, target, &why)) {
            move.done = true;
            return move;
        }
        if (errno == EXDEV) {
            move.needsCopy = true;
            return move;
        }
        if (errno != EEXIST) {
            move.error = QStringLiteral("cannot rename %1 to %2: %3").arg(source, target, why);
            return move;
        }
    }
    move.error = QStringLiteral("no free name for %1 in %2").arg(name, folder);
    return move;
}

FinishedMove CopyFinishedFile(const QString& source, const QString& folder, const QString& name,
                              const std::atomic<bool>* cancel) {
    FinishedMove move;
    RemoveMoveLeftovers(folder);
    Descriptor in;
    QString why;
    in.fd = OpenPlainFile(source, O_RDONLY, &why);
    struct stat from;
    if (in.fd < 0 || ::fstat(in.fd, &from) != 0) {
        move.error = QStringLiteral("cannot read %1: %2").arg(source, why);
        return move;
    }
    Temporary out;
    out.fd = CreateTemporary(folder, kKind, &out.path, &move.error);
    if (out.fd < 0)
        return move;
    const QString& temporary = out.path;
    auto fail = [&](const QString& error) {
        move.error = error;
        return move;
    };

    std::unique_ptr<char[]> buffer(new char[kCopyBlock]);
    qint64 copied = 0;
    for (;;) {
        if (Cancelled(cancel))
            return fail(QStringLiteral("the copy to %1 was stopped").arg(temporary));
        const ssize_t n = ::read(in.fd, buffer.get(), kCopyBlock);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return fail(Failure(QStringLiteral("cannot read"), source, errno));
        if (n == 0)
            break;
        if (!WriteAll(out.fd, buffer.get(), std::size_t(n)))
            return fail(Failure(QStringLiteral("cannot write"), temporary, errno));
        copied += n;
    }
    if (copied != from.st_size)
        return fail(QStringLiteral("%1 changed while it was copied").arg(source));
    ::fchmod(out.fd, from.st_mode & 07777);
    // Some disks report a lost write only at the close: checked before the
    // copy takes a name, while a duplicate keeps it open, so still locked
    // (or, where the disk keeps no locks, known here as ours): another
    // copy's sweep of this folder must not take a whole temporary before our
    // rename.
    if (!SyncFile(out.fd) || !CloseKeepingOpen(&out.fd))
        return fail(Failure(QStringLiteral("cannot write"), temporary, errno));
    BeforeTemporaryRename(temporary);
    for (int attempt = 0;; ++attempt) {
        move.name = UniqueCompleteName(folder, name);
        if (move.name.isEmpty() || attempt == kNameAttempts)
            return fail(QStringLiteral("no free name for %1 in %2").arg(name, folder));
        if (RenameNoReplace(temporary, Join(folder, move.name), &why))
            break;
        if (errno != EEXIST)
            return fail(QStringLiteral("cannot rename %1 to %2: %3")
                            .arg(temporary, Join(folder, move.name), why));
    }
    out.placed = true;
    SyncFolder(folder);
    move.done = true;
    // Nothing was written through the duplicate: its close reports nothing new.
    CloseTemporary(out.fd);
    out.fd = -1;
    // Only the file that was copied goes, never one put in its place since.
    struct stat there;
    const QByteArray sourcePath = QFile::encodeName(source);
    if (::lstat(sourcePath.constData(), &there) != 0 || !SameInode(from, there))
        move.error = QStringLiteral("%1 was replaced during the copy; it stays").arg(source);
    else if (::unlink(sourcePath.constData()) != 0)
        move.error = Failure(QStringLiteral("cannot remove"), source, errno);
    return move;
}

namespace {

// Whether the two open files hold the same bytes; false once cancelled.
bool SameBytes(int a, int b, const std::atomic<bool>* cancel) {
    std::unique_ptr<char[]> one(new char[kCopyBlock]), two(new char[kCopyBlock]);
    for (off_t at = 0;;) {
        if (Cancelled(cancel))
            return false;
        const ssize_t n = ::pread(a, one.get(), kCopyBlock, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        ssize_t m = 0;
        while (m < n) {
            const ssize_t got = ::pread(b, two.get() + m, std::size_t(n - m), at + m);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return false;
            m += got;
        }
        if (std::memcmp(one.get(), two.get(), std::size_t(n)) != 0)
            return false;
        if (n == 0)
            return true;
        at += n;
    }
}

}  // namespace

FinishedMove PlaceWholeFile(const QString& source, const QString& folder, const QString& name,
                            const std::atomic<bool>* cancel) {
    FinishedMove move;
    Descriptor in;
    in.fd = OpenPlainFile(source, O_RDONLY);
    struct stat from;
    if (in.fd >= 0 && ::fstat(in.fd, &from) == 0) {
        // The names a move of it could have taken, in the order it takes
        // them, up to the first free one.
        QString same;
        UniqueNameAmong(name, [&](const QString& candidate) {
            const QString path = Join(folder, candidate);
            const QFileInfo info(path);
            if (!info.exists() && !info.isSymLink())
                return false;
            Descriptor there;
            there.fd = info.isSymLink() || info.size() != from.st_size
                           ? -1
                           : OpenPlainFile(path, O_RDONLY);
            struct stat st;
            if (there.fd >= 0 && ::fstat(there.fd, &st) == 0 && !SameInode(st, from) &&
                SameBytes(in.fd, there.fd, cancel)) {
                same = candidate;
                return false;
            }
            return !Cancelled(cancel);
        });
        if (Cancelled(cancel)) {
            move.error = QStringLiteral("the move of %1 was stopped").arg(source);
            return move;
        }
        if (!same.isEmpty()) {
            // Only the file compared goes, never one put in its place since.
            move.done = true;
            move.name = same;
            struct stat there;
            const QByteArray sourcePath = QFile::encodeName(source);
            if (::lstat(sourcePath.constData(), &there) != 0 || !SameInode(from, there))
                move.error = QStringLiteral("%1 was replaced meanwhile; it stays").arg(source);
            else if (::unlink(sourcePath.constData()) != 0)
                move.error = Failure(QStringLiteral("cannot remove"), source, errno);
            return move;
        }
    }
    move = RenameFinishedFile(source, folder, name);
    if (move.needsCopy)
        move = CopyFinishedFile(source, folder, name, cancel);
    return move;
}
