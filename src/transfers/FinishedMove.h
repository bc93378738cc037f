#ifndef TAVENOOK_TRANSFERS_FINISHEDMOVE_H
#define TAVENOOK_TRANSFERS_FINISHEDMOVE_H

// How a finished download reaches its complete folder. Within one file
// system a rename moves it whole at once. Across file systems the file is
// copied into a temporary of ours in the complete folder (made anew, never
// through a link), synced, renamed to a free name there without replacing
// anything, and only then is the partial removed: whatever stops the copy
// midway, a full disk or a kill, leaves no file under a finished name.

#include <QString>
#include <atomic>

struct FinishedMove {
    bool done = false;       // the file stands at folder/name
    bool needsCopy = false;  // folder is on another file system: copy next
    QString name;            // the name it got in the folder
    QString error;           // why not, naming the path that failed; when
                             // done, what went wrong after (the partial stayed)
};

// Renames source into folder under name or, when that is taken, its first
// free "name (n).ext". Main thread: a rename costs nothing.
FinishedMove RenameFinishedFile(const QString& source, const QString& folder, const QString& name);

// The copy, for any thread. Gives up, removing its temporary and keeping
// the source, once *cancel is set. First removes what killed copies left
// in the folder.
FinishedMove CopyFinishedFile(const QString& source, const QString& folder, const QString& name,
                              const std::atomic<bool>* cancel = nullptr);

// For a partial found whole at a start or a retry, whose move a quit, a
// kill or a failure stopped, on any thread: when the copy was renamed into
// place before the stop, a file of name or a "name (n).ext" form in folder
// holding exactly the source's bytes, the source is removed and that file
// is the result; otherwise as RenameFinishedFile, then CopyFinishedFile.
FinishedMove PlaceWholeFile(const QString& source, const QString& folder, const QString& name,
                            const std::atomic<bool>* cancel = nullptr);

// The copy's temporary names: ".tavenook-move-" and 16 hex digits, ".tmp".
bool IsMoveTemporaryName(const QString& name);

// Removes the temporaries of copies into folder that no copy is writing
// (each writer holds a lock on its own), and whatever link, FIFO or socket
// took such a name; folders stay. The number removed.
int RemoveMoveLeftovers(const QString& folder);

// Test hook: every move takes the copy path, as across file systems.
void ForceFinishedFileCopy(bool on);

#endif
