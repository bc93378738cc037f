#ifndef TAVENOOK_STORE_PLAINFILE_H
#define TAVENOOK_STORE_PLAINFILE_H

#include <sys/types.h>

#include <QByteArray>
#include <cstddef>

// Files the client keeps in the home: a link, FIFO or device put where one
// of them belongs is never followed, waited on or written.

// Opens `path` (native bytes) with `flags` (O_CREAT is dropped) only when it
// is a plain file, without following a link or waiting on a FIFO; the open
// descriptor blocks again. -1 with errno set otherwise; `notPlain` then says
// whether something else than a plain file stood there.
int OpenPlainFile(const QByteArray& path, int flags, bool* notPlain = nullptr);

// Creates `path` anew for writing: whatever stood there (a stale file or a
// link to someone's file) is unlinked, and the file is made, refusing links.
// -1 with errno set when that fails.
int CreateFileAnew(const QByteArray& path, int flags, mode_t mode);

// Opens `path` as OpenPlainFile does, or, when nothing is there, creates it
// refusing links (for files appended to across runs, such as logs).
int OpenOrCreatePlainFile(const QByteArray& path, int flags, mode_t mode, bool* notPlain = nullptr);

// Writes every byte, going on after interruptions; false with errno set.
bool WriteAll(int fd, const char* data, std::size_t size);

#endif
