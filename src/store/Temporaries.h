#ifndef TAVENOOK_STORE_TEMPORARIES_H
#define TAVENOOK_STORE_TEMPORARIES_H

// Temporary files the client writes beside a file it is about to put in
// place (a finished download's copy, a dump): ".tavenook-<kind>-", 16 hex
// digits, ".tmp". The name is ours alone, so what a kill left behind can be
// found again and removed; from its creation until it is renamed into
// place, each is locked, so that no other writer, in this client or
// another, removes it.

#include <QString>
#include <functional>

// A new locked temporary of `kind` in folder, made anew (never through a
// link); the descriptor, close-on-exec, with its path in *path. -1 with
// *error naming the path that failed.
int CreateTemporary(const QString& folder, const QString& kind, QString* path, QString* error);

// Whether name is a temporary name of `kind`.
bool IsTemporaryName(const QString& name, const QString& kind);

// Removes the temporaries of `kind` in folder that no writer holds, and
// whatever link, FIFO or socket took such a name; folders stay. The number
// removed.
int RemoveTemporaryLeftovers(const QString& folder, const QString& kind);

// Called with a temporary's path just before it is renamed into place,
// while it is still held; a test hook (another writer's sweep comes then).
void SetBeforeTemporaryRename(std::function<void(const QString& temporary)> hook);
void BeforeTemporaryRename(const QString& temporary);

// Flushes folder's entries (a rename into it) to the disk.
void SyncFolder(const QString& folder);

#endif
