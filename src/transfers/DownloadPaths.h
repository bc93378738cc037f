#ifndef TAVENOOK_TRANSFERS_DOWNLOADPATHS_H
#define TAVENOOK_TRANSFERS_DOWNLOADPATHS_H

#include <QString>
#include <QStringList>
#include <functional>
#include <string>

// Where a download lives on disk. Remote folder and file names come from
// peers, so every component is cleaned here and the result is checked to stay
// inside the download folder; a refusal means the download is a local error.
// All returned paths use "/" (the on-disk form).

// A peer-supplied path component made safe to use as one file or folder name:
// control characters, "/", "\" and ":" become "_". Refused (false) when empty,
// "." or "..", or longer than 255 bytes in UTF-8.
bool SafeComponent(const QString& raw, QString& safe);
bool SafeComponent(const std::string& raw, QString& safe);

// The last level + 1 components of the remote folder, outermost first, each
// made safe. Empty components (doubled or leading separators) are skipped, and
// a level beyond the folder's depth stops at its outermost component, so the
// list has exactly as many entries as folders are recreated. Empty for an empty
// remote folder. False, with a reason, when a used component is refused.
bool RecreatedSubfolders(const std::string& remoteFolder, int level, QStringList& components,
                         QString* error = nullptr);

struct DownloadPaths {
    QString root;               // the download folder, cleaned
    QString downloadingRoot;    // root/downloading, or root when not split
    QString completeRoot;       // root/complete, or root when not split
    QStringList subfolders;     // the recreated remote folders, outermost first
    QString downloadingFolder;  // downloadingRoot plus the subfolders
    QString completeFolder;     // completeRoot plus the subfolders
    QString fileName;           // the remote file name, made safe
    QString partialPath;        // downloadingFolder/fileName
    QString completePath;       // completeFolder/fileName (before any clash rename)
};

// Builds both locations of a download. noSubfolders drops the recreated
// folders (a single download with subfolders for single downloads turned off).
// False, with a reason, when the download folder is empty, a used name is
// refused, or a result would leave its root.
bool MakeDownloadPaths(const QString& downloadFolder, bool dontSplit,
                       const std::string& remoteFolder, const std::string& fileName,
                       int subfolderSaveLevel, bool noSubfolders, DownloadPaths& paths,
                       QString* error = nullptr);

// The subfolders joined with "\" (the completed-downloads record's relative
// folder); empty when there are none.
QString RelativeDownloadFolder(const QStringList& subfolders);

// True when path lies strictly below root, compared after cleaning both.
bool IsInsideFolder(const QString& path, const QString& root);

// name when taken(name) is false, else the first free "base (n).ext" for
// n = 1, 2, ...; the empty text when none is free within a bounded search.
// A candidate stays within 255 bytes of UTF-8: the base is cut, between
// characters, to make room (an extension that leaves no room counts as base).
QString UniqueNameAmong(const QString& name, const std::function<bool(const QString&)>& taken);

// True when candidate is name itself or one of the "base (n).ext" names
// UniqueNameAmong gives it.
bool IsNameOrUniqueForm(const QString& candidate, const QString& name);

// A name for a finished file in folder that names nothing yet (a dangling
// link counts as taken), so a finished file never replaces another one.
QString UniqueCompleteName(const QString& folder, const QString& name);

// Removes from and then each parent while it is empty, stopping below root;
// root itself and any folder that still holds something stay. Does nothing
// when from is not inside root.
void RemoveEmptiedFolders(const QString& from, const QString& root);

#endif
