#include "store/ConfigurationImporter.h"

#include <QFile>

#include "store/Data.h"
#include "store/Log.h"

namespace {
// No user name holds a control character; a line with one is not a name.
bool IsName(const QByteArray& line) {
    for (const char c : line)
        if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == '\x7f')
            return false;
    return !line.isEmpty();
}
}  // namespace

bool ConfigurationImporter::ImportUserList(const QString& path, int* added) {
    if (added)
        *added = 0;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    if (file.size() > kMaxFileSize) {
        Log("Configuration Data", 1, QString("User list %1 is too large").arg(path));
        return false;
    }
    const QByteArray bytes = file.read(kMaxFileSize + 1);
    if (file.error() != QFileDevice::NoError)
        return false;
    if (bytes.size() > kMaxFileSize) {
        Log("Configuration Data", 1, QString("User list %1 is too large").arg(path));
        return false;
    }
    // A text file never holds a NUL byte: this one is of another kind, and
    // its stray printable runs are no names.
    if (bytes.contains('\0')) {
        Log("Configuration Data", 1, QString("User list %1 is not a text file").arg(path));
        return false;
    }
    Type* users = d.GetType("user");
    bool anyName = false;
    // Layout in docs/protocol.md: one UTF-8 user name per line.
    for (int start = 0; start < bytes.size();) {
        int end = bytes.indexOf('\n', start);
        if (end < 0)
            end = bytes.size();
        QByteArray line = bytes.mid(start, end - start);
        start = end + 1;
        while (line.endsWith('\r'))
            line.chop(1);
        if (line.size() > kMaxNameLength) {
            Log("Configuration Data", 1, QString("User list %1: name too long").arg(path));
            return false;
        }
        if (!IsName(line))
            continue;
        anyName = true;
        ItemPtr user = users->NewItem(Value(line));
        if (user.IsConnected("in_user_list"))
            continue;
        user.NewItem("in_user_list");
        if (added)
            ++*added;
    }
    if (!anyName)
        Log("Configuration Data", 1, QString("User list %1 holds no user name").arg(path));
    return anyName;
}
