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

inline QByteArray ReadFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Bytes that differ at nearby offsets.
inline QByteArray Pattern(int n) {
    QByteArray b(n, '\0');
    for (int i = 0; i < n; ++i)
        b[i] = char((i * 7 + i / 251) & 0xff);
    return b;
}

// A local path as peers name it, with backslashes.
inline QString Wire(QString path) {
    return path.replace('/', '\\');
}

#endif
