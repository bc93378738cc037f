#ifndef TAVENOOK_STORE_DATASAVER_H
#define TAVENOOK_STORE_DATASAVER_H

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "store/Data.h"

class DataLoadFailure : public std::exception {
public:
    explicit DataLoadFailure(QString reason)
        : m_reason(std::move(reason)), m_what(m_reason.toUtf8().toStdString()) {}
    const char* what() const noexcept override { return m_what.c_str(); }
    const QString& Reason() const { return m_reason; }

private:
    QString m_reason;
    std::string m_what;
};

class DataSaveFailure : public std::exception {
public:
    explicit DataSaveFailure(QString reason)
        : m_reason(std::move(reason)), m_what(m_reason.toUtf8().toStdString()) {}
    const char* what() const noexcept override { return m_what.c_str(); }
    const QString& Reason() const { return m_reason; }

private:
    QString m_reason;
    std::string m_what;
};

// A store file read whole and checked, not yet applied to the store.
struct StagedStore {
    enum Kind : std::uint8_t { Valued = 0, Valueless = 1, GlobalNull = 2 };
    struct StagedItem {
        std::uint32_t type;
        Kind kind;
        std::uint32_t valueOffset;  // into bytes
        std::uint32_t valueSize;
    };
    QByteArray bytes;
    std::vector<std::string> typeNames;
    std::vector<StagedItem> items;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> links;
};

// Told after each save that reached the disk, with the new file's number.
class DataSavedHandler {
public:
    virtual ~DataSavedHandler() = default;
    virtual void DataSaved(std::uint64_t fileNumber) = 0;
};

// Saves the saved part of the store to a new file per save and loads the
// newest file that reads whole. The file layout is in docs/protocol.md.
class DataSaver {
public:
    DataSaver();
    ~DataSaver();
    DataSaver(const DataSaver&) = delete;
    DataSaver& operator=(const DataSaver&) = delete;

    // Every item of the type is saved, with its links to other saved items.
    void AddSavedType(const std::string& type);
    // Items of `type` are saved while linked to a saved item of `owner`.
    void AddSavedByConnectionType(const std::string& type, const std::string& owner);

    void AddDataLoadedEventHandler(DataLoadedEventHandler* handler);
    void RemoveDataLoadedEventHandler(DataLoadedEventHandler* handler);
    void AddDataSavedHandler(DataSavedHandler* handler);
    void RemoveDataSavedHandler(DataSavedHandler* handler);

    // The prefix of the last Load or Save; empty before either.
    const QString& Prefix() const { return m_prefix; }
    // The number of the store file loaded or last saved; 0 when there is none.
    std::uint64_t FileNumberInUse() const { return m_fileNumber; }

    // Loads the newest readable file named prefix + "." + digits. Listeners
    // get DataLoaded, and NoData as well when nothing could be loaded. When
    // files exist but none reads whole, the store keeps its defaults, the
    // unreadable files are renamed aside, and DataLoadFailure is thrown after
    // the listeners were told.
    void Load(const QString& prefix);
    // Writes a new file and prunes old ones, keeping the two previous files.
    // When the disk is too full for the new file, the store files older than
    // the newest one that reads whole are pruned and the write is tried once
    // more. Failures are logged and never thrown; the result says whether it
    // worked.
    bool Save(const QString& prefix);
    // Writes every item of the store, saved or not, in the same layout, to
    // a new file beside fileName that then replaces it: whatever stood
    // there stays until the new file is whole. Failures are logged and never
    // thrown.
    bool SaveAll(const QString& fileName);
    // Why the last Save or SaveAll failed, as logged; empty after a success.
    const QString& LastFailure() const { return m_lastFailure; }

    // The store files of a prefix, newest first.
    static QStringList StoreFiles(const QString& prefix);
    // Reads one file into `out`; false with a reason when it does not read whole.
    static bool ParseStore(const QByteArray& bytes, StagedStore& out, QString* error);
    // Applies a staged store through the normal store operations. Only items
    // of saved types (whole or by connection) are made: the others hold what
    // belongs to one run, such as object addresses, and are dropped and logged.
    void Apply(const StagedStore& staged) const;

    static constexpr qint64 kMaxFileSize = qint64(1) << 30;

    // Makes writes fail for lack of space once the regular files of the
    // prefix's folder would hold more than this many bytes, as on a full disk
    // (negative: no limit). Lets the full-disk path be exercised for real.
    void LimitFolderSpace(qint64 bytes) { m_folderSpace = bytes; }

private:
    // A file image in pieces, written one after the other.
    using Pieces = std::vector<std::string>;
    void WriteNewFile(const QString& path, const Pieces& pieces) const;
    // Writes, syncs and, unless told to keep it open (the caller checks its
    // close before a rename and closes it after), closes fd, its close
    // checked; on failure a file it closes is removed, one kept open is left
    // to the caller.
    void WriteInto(int fd, const QString& path, const Pieces& pieces, bool close = true) const;
    bool PruneForRoom(const QString& prefix);

    Pieces Serialize(bool everything);
    bool IsSavedType(const Type* type) const;
    void NotifyLoaded(bool noData);

    std::vector<bool> m_savedTypes;  // by type ordinal
    std::vector<std::pair<std::string, std::string>> m_byConnection;
    std::vector<DataLoadedEventHandler*> m_listeners;
    std::vector<DataSavedHandler*> m_savedHandlers;
    QString m_prefix;
    std::uint64_t m_fileNumber = 0;
    qint64 m_folderSpace = -1;
    QString m_lastFailure;
};

extern DataSaver* dataSaver;

#endif
