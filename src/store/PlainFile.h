#ifndef TAVENOOK_STORE_PLAINFILE_H
#define TAVENOOK_STORE_PLAINFILE_H

// The client keeps its files (store, logs, journals) where the user keeps
// his own. Whatever else stands at one of their paths, such as a link to a
// user's file or a FIFO, is never read or written through, nor waited on.

#include <sys/types.h>

#include <cstddef>
#include <functional>

#include <QIODevice>
#include <QString>

class QFile;
class QFileDevice;

// Opens path only when it is a plain file: a link there is not followed
// (unless followLinks, for a file the user chose himself) and a FIFO does
// not make the open wait. `flags` are open(2)'s; with O_CREAT an absent file
// is made with `mode`. The descriptor is close-on-exec and blocking. -1 when
// refused or failed, with errno set and *error saying why.
int OpenPlainFile(const QString& path, int flags, QString* error = nullptr,
                  bool followLinks = false, mode_t mode = 0600);

// The same through a QFile, which owns the descriptor: ReadOnly, WriteOnly
// (with Append: made when absent) or ReadWrite; Unbuffered is kept.
bool OpenPlainFile(QFile& file, const QString& path, QIODevice::OpenMode mode,
                   QString* error = nullptr, bool followLinks = false);

// Makes a new file at path for writing, after removing whatever stood
// there (a stale temporary of ours, a link, a FIFO, a socket): what is
// written goes into a file nobody else had, never through a link into a
// user's file. A folder there is set aside (SetAside) and logged. The
// descriptor is close-on-exec; -1 with errno and *error on failure.
int CreateFileAnew(const QString& path, QString* error = nullptr, mode_t mode = 0600);

// Renames whatever stands at path to the first free "path.aside",
// "path.aside2", ... (never over anything); the new name in *aside.
bool SetAside(const QString& path, QString* aside = nullptr, QString* error = nullptr);

// Renames `from` to `to` only while nothing, not even a dangling link,
// stands at `to`; never falls back to a copy written through `to`.
bool RenameNoReplace(const QString& from, const QString& to, QString* error = nullptr);

// Writes every byte, going on after interruptions; false with errno set
// (ENOSPC when the system takes nothing more).
bool WriteAll(int fd, const char* data, std::size_t size);

// fdatasync (or with `metadata` fsync) of fd. A disk that offers no sync at
// all (EINVAL, ENOSYS, EOPNOTSUPP) counts as synced: nothing more can be
// done there, and refusing would keep every file off it. False with errno
// on a failure of the write itself (EIO, ENOSPC).
bool SyncFile(int fd, bool metadata = false);

// The system's text for an error number, as errno holds it.
QString SystemError(int error);

// Writes all of data to file, or with data null flushes what it buffers;
// false with why in *error. The system's reason is kept where Qt has none:
// it says "Unknown error" for a write that got part of its bytes out,
// though the system said why the rest failed.
bool WriteOut(QFileDevice& file, const char* data, qint64 size, QString* error = nullptr);

// Closes fd and says whether the disk kept what was written through it:
// network and cloud mounts, and disks that write a file out only at its
// close (offering no sync, or answering every sync with success), report a
// lost write here and nowhere else. False with errno; fd is gone either way
// (a close is never repeated).
bool CloseFile(int fd);

// Closes fd as CloseFile does and puts in *fd a duplicate made just before:
// the close has reported on every write so far, while the file stays open,
// and a lock taken on it stays held (a lock belongs to the open file, not
// to one of its descriptors). False with errno when the close failed (*fd
// the duplicate then) or no duplicate could be had (*fd unchanged, open).
bool CloseKeepingOpen(int* fd);

// CloseFile for a file Qt holds: writes out what it buffers and closes it;
// false with why in *error.
bool CloseOut(QFileDevice& file, QString* error = nullptr);

// Test hook, any thread: asked at each close above, with the descriptor
// still open, for the error the disk answers that close with (0: none,
// the close's own answer counts). The file is closed all the same.
void SetCloseFault(std::function<int(int fd)> fault);

#endif
