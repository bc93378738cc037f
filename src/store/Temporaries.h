#ifndef TAVENOOK_STORE_TEMPORARIES_H
#define TAVENOOK_STORE_TEMPORARIES_H

// Temporary files the client writes beside a file it is about to put in
// place (a finished download's copy, a dump): ".tavenook-<kind>-", 16 hex
// digits, ".tmp". The name is ours alone, so what a kill left behind can be
// found again and removed; from its creation until it is renamed into
// place, each is locked, so that no other writer, in this client or
// another, removes it. A disk that refuses locks (a network disk without
// its lock service) still takes temporaries: this process knows its own
// open ones, and a sweep there takes only those nobody wrote to for an
// hour.

#include <sys/types.h>

#include <QString>
#include <functional>

// A new temporary of `kind` in folder, made anew (never through a link),
// locked where the disk keeps locks; the descriptor, close-on-exec, with
// its path in *path. -1 with *error naming the path that failed, leaving
// no file behind. Before the rename, CloseKeepingOpen checks the close of
// what was written while the file stays locked; the descriptor goes back
// through CloseTemporary once the file is renamed into place, or
// DropTemporary.
int CreateTemporary(const QString& folder, const QString& kind, QString* path, QString* error,
                    mode_t mode = 0600);

// After the temporary's rename: closes it, and it is no longer one of ours.
void CloseTemporary(int fd);

// Removes the temporary at path, when it still stands there, and closes it.
void DropTemporary(int fd, const QString& path);

// Whether name is a temporary name of `kind`.
bool IsTemporaryName(const QString& name, const QString& kind);

// Removes the temporaries of `kind` in folder that no writer holds (on a
// disk without locks: that this process did not make and nobody wrote to
// for kUnlockedTemporaryAge), and whatever link, FIFO or socket took such
// a name; folders stay. The number removed.
int RemoveTemporaryLeftovers(const QString& folder, const QString& kind);
constexpr int kUnlockedTemporaryAge = 3600;  // seconds

// Called with a temporary's path just before it is renamed into place,
// while it is still held; a test hook (another writer's sweep comes then).
void SetBeforeTemporaryRename(std::function<void(const QString& temporary)> hook);
void BeforeTemporaryRename(const QString& temporary);

// Puts data in place of the file at path, which the user chose (a link
// there is followed to her file): written into a new temporary of `kind`
// beside it, synced, its close checked, and only then renamed over it, so
// that a failure leaves her old file as it was. The new file keeps the old
// one's permissions. False with why in *error.
bool ReplaceFile(const QString& path, const QString& kind, const QByteArray& data, QString* error);

// Flushes folder's entries (a rename into it) to the disk.
void SyncFolder(const QString& folder);

#endif
