#ifndef TAVENOOK_TRANSFERS_TRANSFERSTANDIN_H
#define TAVENOOK_TRANSFERS_TRANSFERSTANDIN_H

#include <QString>

// What the shares ask of the upload side until the transfer engine exists;
// the engine's upload queue replaces these three.

// A free upload slot: always, since nothing uploads yet.
bool IsFreeToUpload();
// Queued uploads of all users: none yet.
int QueuedUploadCount();
// Marks the user "unshared" (and logs it). The engine will also refuse and
// remove the user's uploads here.
void UnshareUser(const QString& user);

#endif
