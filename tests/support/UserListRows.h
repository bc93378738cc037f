#pragma once

// What the user list's tests read of its rows and put in its store.

#include <QIcon>
#include <QImage>
#include <QStringList>
#include <algorithm>
#include <random>

#include "store/ConfigurationImporter.h"
#include "store/Data.h"
#include "support/TestFiles.h"

inline ItemPtr User(const QString& name) {
    return d.GetType("user")->GetItem(name);
}

inline void Flag(const QString& user, const char* type, bool on) {
    if (on)
        User(user).Connect(d.GetType(type)->GetGlobalNullItem());
    else
        User(user).Disconnect(type);
}

// "on", "off" or "" for the online and offline icons.
inline QString IconName(const QIcon& icon) {
    const QImage image = icon.pixmap(16).toImage();
    if (image.isNull())
        return QString();
    if (image == QIcon(":/icons/online_icon").pixmap(16).toImage())
        return "on";
    if (image == QIcon(":/icons/offline_icon").pixmap(16).toImage())
        return "off";
    return "?";
}

// Names that sort as numbered, listed from a file in another order.
inline QStringList ListFromFile(const QString& path, int users) {
    QStringList names;
    for (int i = 0; i < users; ++i)
        names << QString("u%1").arg(i, 6, 10, QChar('0'));
    QStringList shuffled = names;
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(3));
    if (!Write(path, shuffled.join("\n").toUtf8()) || !ConfigurationImporter::ImportUserList(path))
        return QStringList();
    return names;
}
