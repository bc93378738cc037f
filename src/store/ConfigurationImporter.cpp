#include "store/ConfigurationImporter.h"

#include <QFile>

#include "store/Data.h"
#include "store/Log.h"

bool ConfigurationImporter::ImportUserList(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    if (file.size() > kMaxFileSize) {
        Log("Configuration Data", 1, QString("User list %1 is too large").arg(path));
        return false;
    }
    Type* users = d.GetType("user");
    // Layout in docs/protocol.md: one UTF-8 user name per line.
    while (!file.atEnd()) {
        // The longest name with CR LF after it, and one byte to spot more.
        QByteArray line = file.readLine(kMaxNameLength + 3);
        if (line.isEmpty() && file.error() != QFileDevice::NoError)
            return false;
        const bool whole = line.endsWith('\n') || file.atEnd();
        while (line.endsWith('\n') || line.endsWith('\r'))
            line.chop(1);
        if (!whole || line.size() > kMaxNameLength) {
            Log("Configuration Data", 1, QString("User list %1: name too long").arg(path));
            return false;
        }
        if (line.isEmpty() || line.contains('\0'))
            continue;
        users->NewItem(Value(line)).NewItem("in_user_list");
    }
    return file.error() == QFileDevice::NoError;
}
