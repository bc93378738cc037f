// The transfer queue's side of the partials journal: which records of a
// download entry go into it, and how they come back into the entries after
// the next start's load.

#include "store/Data.h"
#include "store/DataSaver.h"
#include "store/Log.h"
#include "transfers/PartialJournal.h"
#include "transfers/TransferQueueManager.h"
#include "transfers/TransferThreads.h"

namespace {

PartialJournal::Record RecordOf(const ItemPtr& entry) {
    PartialJournal::Record r;
    r.user = entry.HasItem("user").AsString();
    r.remoteFolder = entry.HasItem("remote_folder").AsStdString();
    r.fileName = entry.HasItem("file_name").AsStdString();
    r.fileSize = qMax<qint64>(0, entry.HasItem("file_size").AsInt64());
    r.single = entry.IsConnected("single_download");
    r.level = qBound(0, entry.HasItem("subfolder_save_level").AsInt(), 4096);
    r.path = entry.HasItem("local_file_path").AsString();
    r.identity = entry.HasItem("local_file_identity").AsString();
    r.size = qMax<qint64>(0, entry.HasItem("local_file_size").AsString().toLongLong());
    r.head = entry.HasItem("local_file_head").AsString();
    r.complete = TransferQueueManager::DownloadStatus(entry) ==
                 QLatin1String(TransferQueueManager::kComplete);
    return r;
}

// The record as compared: a new size alone is not worth a write, since a
// partial is continued from its size on disk.
QByteArray Snapshot(PartialJournal::Record r) {
    r.size = 0;
    return PartialJournal::Encode(r);
}

QString JournalPath(const QString& storePrefix) {
    return storePrefix + QStringLiteral(".partials");
}

// A record's user item as the store holds it: by the name's exact bytes.
// Text taken in as a name is cut at a NUL, but a loaded store keeps a name
// whole, and "a\0b" is then another user than "a", with downloads of his own.
ItemPtr UserOf(const PartialJournal::Record& r, bool make) {
    Type* users = d.GetType("user");
    const Value name(r.user.toUtf8());
    return make ? users->GetItem(name) : users->HasItem(name);
}

ItemPtr EntryOf(const PartialJournal::Record& r) {
    const ItemPtr user = UserOf(r, false);
    const ItemPtr file = d.GetType("file_name")->HasItem(r.fileName);
    const ItemPtr folder = d.GetType("remote_folder")->HasItem(r.remoteFolder);
    if (user.IsNull() || file.IsNull() || folder.IsNull())
        return ItemPtr();
    ItemSet keys;
    keys.Insert(user);
    keys.Insert(file);
    keys.Insert(folder);
    return d.GetItem(keys, "download_entry");
}

void SetValue(const ItemPtr& entry, const char* type, const QString& value) {
    if (value.isEmpty())
        entry.Disconnect(type);
    else if (entry.HasItem(type).AsString() != value)
        entry.Connect(d.GetType(type)->GetItem(Value(value)));
}

}  // namespace

void TransferQueueManager::OpenPartialJournal() {
    if (!dataSaver || dataSaver->Prefix().isEmpty())
        return;
    if (!m_journal)
        m_journal = std::make_unique<PartialJournal>();
    m_journaled.clear();
    const QString path = JournalPath(dataSaver->Prefix());
    int restored = 0;
    for (const PartialJournal::Record& r : m_journal->Open(path, dataSaver->FileNumberInUse())) {
        ItemPtr entry = EntryOf(r);
        // Removed since the save: the store's entry is gone, and one made
        // again since is a download of its own. Nothing runs yet to release.
        if (r.removed && !entry.IsNull()) {
            entry.Remove();
            entry = ItemPtr();
        }
        if (r.forget)
            continue;
        if (entry.IsNull()) {
            entry = CreateDownloadEntry(r.user, r.fileName, r.remoteFolder, r.fileSize, r.single,
                                        r.level);
            entry.Connect(UserOf(r, true));
        } else if (DownloadStatus(entry) == QLatin1String(kComplete))
            continue;
        // The same records a save would have held; every check of a partial
        // applies to them as to saved ones.
        SetValue(entry, "file_size", QString::number(r.fileSize));
        SetValue(entry, "local_file_path", r.path);
        SetValue(entry, "local_file_size", QString::number(r.size));
        SetValue(entry, "local_file_identity", r.identity);
        SetValue(entry, "local_file_head", r.head);
        // A download finished since the save is finished again only while its
        // file is as it was left; otherwise it is queued, as a save of it
        // would be loaded.
        if (r.complete) {
            Type* status = d.GetType("download_entry_status");
            entry.Connect(status->GetItem(Value(kComplete)));
            if (!DoesDownloadItemCompleteFilenameExist(entry))
                entry.Connect(status->GetItem(Value(kQueued)));
        }
        m_journaled[PartialJournal::KeyOf(r)] = {Snapshot(r), 0};
        ++restored;
    }
    if (restored)
        Log(QStringLiteral("Transfer Queue"), 1,
            QStringLiteral("Restored the partial files of %1 downloads from %2")
                .arg(restored)
                .arg(path));
}

void TransferQueueManager::DataSaved(std::uint64_t fileNumber) {
    // A save elsewhere holds nothing the journal's store lacks.
    if (!m_journal || !dataSaver || m_journal->Path() != JournalPath(dataSaver->Prefix()))
        return;
    m_journaled.clear();
    m_journal->Restart(fileNumber);
}

std::uint64_t TransferQueueManager::JournalPartial(const ItemPtr& entry) {
    if (!m_journal || !m_journal->IsOpen() || entry.IsNull() || entry.IsRemoved() ||
        entry.HasItem("local_file_path").IsNull())
        return 0;
    const PartialJournal::Record r = RecordOf(entry);
    const auto known = m_journaled.try_emplace(PartialJournal::KeyOf(r));
    QByteArray now = Snapshot(r);
    // Unchanged: the first write still waits for the record queued before.
    if (!known.second && known.first->second.snapshot == now)
        return known.first->second.number;
    known.first->second = {std::move(now), m_journal->Append(r)};
    return known.first->second.number;
}

void TransferQueueManager::HoldFirstWrite(DownloadThread* thread, std::uint64_t number) {
    if (!thread || number == 0 || !m_journal)
        return;
    PartialJournal* journal = m_journal.get();
    // A partial written while its record is not on disk is one no start
    // finds: the download stops instead, and is tried again later.
    thread->SetBeforeFirstWrite([journal, thread, number] {
        QString why;
        journal->WaitWritten(
            number, [thread] { return thread->AskedToExit(); }, &why);
        return why;
    });
}

void TransferQueueManager::ForgetJournaledPartial(const ItemPtr& entry) {
    if (!m_journal || !m_journal->IsOpen() || entry.IsNull())
        return;
    PartialJournal::Record r;
    r.forget = true;
    r.user = entry.HasItem("user").AsString();
    r.remoteFolder = entry.HasItem("remote_folder").AsStdString();
    r.fileName = entry.HasItem("file_name").AsStdString();
    // Always: the last save may hold the entry, and a compaction keeps this
    // record until the next save.
    m_journaled.erase(PartialJournal::KeyOf(r));
    m_journal->Append(r);
}
