#ifndef TAVENOOK_STORE_CONFIGURATIONIMPORTER_H
#define TAVENOOK_STORE_CONFIGURATIONIMPORTER_H

#include <QByteArray>
#include <QObject>
#include <QString>

class UserListImport;

// Imports the user list of the older client's configuration file.
class ConfigurationImporter {
public:
    // Marks every listed user as on the user list, or nobody: the whole file
    // is read and checked before the first user is marked. `added` counts the
    // users that were not on it before. False when the file cannot be opened
    // or read whole, breaks a rule of its layout, or holds no user name at
    // all (a file of another kind); `error` then says why, naming the line.
    static bool ImportUserList(const QString& path, int* added = nullptr, QString* error = nullptr);
    // The same check, with the marking left to the returned import (owned
    // by `parent`), which does it a slice at a time; null and `error` set
    // when the file fails the check.
    static UserListImport* StartUserListImport(const QString& path, QObject* parent,
                                               QString* error = nullptr);

    static constexpr qint64 kMaxFileSize = 16 * 1024 * 1024;
    static constexpr int kMaxNameLength = 1024;
};

// The marking of a checked user list, a few milliseconds of it per turn of
// the event loop, so that a list of many thousands of names keeps the window
// answering.
class UserListImport : public QObject {
    Q_OBJECT
public:
    UserListImport(const QByteArray& bytes, QObject* parent);
    // Marks the names left, all at once: a quit must not save half a list.
    void Finish();
    bool IsFinished() const { return m_next >= m_bytes.size(); }
    int Added() const { return m_added; }

    static constexpr int kSliceMs = 10;

signals:
    // Once, after the last name is marked.
    void Finished(int added);

private:
    void Step(qint64 budgetMs);

    QByteArray m_bytes;
    int m_next = 0;
    int m_added = 0;
};

#endif
