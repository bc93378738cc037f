#ifndef TAVENOOK_TESTS_SUPPORT_TESTFILES_H
#define TAVENOOK_TESTS_SUPPORT_TESTFILES_H

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>

// Writes a whole file, making its folders first.
inline bool Write(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// A local path as peers name it, with backslashes.
inline QString Wire(QString path) {
    return path.replace('/', '\\');
}

#endif
