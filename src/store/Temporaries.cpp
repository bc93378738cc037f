#include "store/Temporaries.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QStringList>

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

int CreateTemporary(const QString& folder, const QString& kind, QString* path, QString* error) {
    for (int attempt = 0; attempt < 10; ++attempt) {
        *path =
            QDir(folder).filePath(Start(kind) +
                                  QStringLiteral("%1").arg(QRandomGenerator::system()->generate64(),
                                                           kDigits, 16, QLatin1Char('0')) +
                                  kEnd);
        QString why;
        const int fd = CreateFileAnew(*path, &why);
        if (fd < 0) {
            if (error)
                *error = QStringLiteral("cannot create %1: %2").arg(*path, why);
            return -1;
        }
        // A sweep may have taken the name between the create and the lock.
        struct stat mine, there;
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &mine) == 0 &&
            ::lstat(QFile::encodeName(*path).constData(), &there) == 0 && SameInode(mine, there))
            return fd;
        ::close(fd);
    }
    if (error)
        *error = QStringLiteral("cannot keep a temporary file in %1").arg(folder);
    return -1;
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
            // Only while no writer holds it.
            const int fd = OpenPlainFile(QFile::decodeName(path), O_RDONLY);
            struct stat opened;
            const bool free = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
                              ::fstat(fd, &opened) == 0 && SameInode(st, opened);
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
