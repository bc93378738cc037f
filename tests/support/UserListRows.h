#pragma once

// What the user list's tests read of its rows and put in its store.

#include <QAbstractItemView>
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

// A list's row as "cell|cell|...|icon of column 0", a note cell with its icon
// marked by a trailing "*"; "<none>" past the last row.
inline QString RowText(const QAbstractItemView* list, int i, int noteColumn) {
    const QAbstractItemModel* model = list->model();
    if (i < 0 || i >= model->rowCount())
        return "<none>";
    QStringList cells;
    for (int c = 0; c < model->columnCount(); ++c) {
        const QModelIndex cell = model->index(i, c);
        cells << cell.data().toString();
        if (c == noteColumn && !cell.data(Qt::DecorationRole).value<QIcon>().isNull())
            cells.last() += "*";
    }
    return cells.join('|') + "|" +
           IconName(model->index(i, 0).data(Qt::DecorationRole).value<QIcon>());
}

inline QStringList Rows(const QAbstractItemView* list, int noteColumn) {
    QStringList rows;
    for (int i = 0; i < list->model()->rowCount(); ++i)
        rows << RowText(list, i, noteColumn);
    return rows;
}

// The names of the list's rows, in order.
inline QStringList Shown(const QAbstractItemView* list) {
    QStringList names;
    for (int i = 0; i < list->model()->rowCount(); ++i)
        names << list->model()->index(i, 0).data().toString();
    return names;
}

// The first row of `user`, as its first cell.
inline QModelIndex RowOf(const QAbstractItemView* list, const QString& user) {
    const QModelIndexList found =
        list->model()->match(list->model()->index(0, 0), Qt::DisplayRole, user, 1,
                             Qt::MatchExactly | Qt::MatchCaseSensitive);
    return found.value(0);
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
