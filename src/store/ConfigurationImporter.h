#ifndef TAVENOOK_STORE_CONFIGURATIONIMPORTER_H
#define TAVENOOK_STORE_CONFIGURATIONIMPORTER_H

#include <QString>

// Imports the user list of the older client's configuration file.
class ConfigurationImporter {
public:
    // Marks every listed user as on the user list, or nobody: the whole file
    // is read and checked before the first user is marked. `added` counts the
    // users that were not on it before. False when the file cannot be opened
    // or read whole, breaks a rule of its layout, or holds no user name at
    // all (a file of another kind); `error` then says why, naming the line.
    static bool ImportUserList(const QString& path, int* added = nullptr, QString* error = nullptr);

    static constexpr qint64 kMaxFileSize = 16 * 1024 * 1024;
    static constexpr int kMaxNameLength = 1024;
};

#endif
