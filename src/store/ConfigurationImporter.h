#ifndef TAVENOOK_STORE_CONFIGURATIONIMPORTER_H
#define TAVENOOK_STORE_CONFIGURATIONIMPORTER_H

#include <QString>

// Imports the user list of the older client's configuration file.
class ConfigurationImporter {
public:
    // Marks every listed user as on the user list; `added` counts the users
    // that were not on it before. False when the file cannot be opened or
    // read whole, or holds no user name at all (a file of another kind); what
    // was marked before a failure stays.
    static bool ImportUserList(const QString& path, int* added = nullptr);

    static constexpr qint64 kMaxFileSize = 16 * 1024 * 1024;
    static constexpr int kMaxNameLength = 1024;
};

#endif
