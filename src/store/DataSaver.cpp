#include "store/DataSaver.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "store/Links.h"
#include "store/Log.h"
#include "store/Parallel.h"
#include "store/PlainFile.h"
#include "store/Temporaries.h"

DataSaver* dataSaver = nullptr;

namespace {

const char kMagic[8] = {'T', 'V', 'N', 'K', 'S', 'T', 'O', 'R'};
const char kEndMark[4] = {'T', 'E', 'N', 'D'};
constexpr std::uint32_t kFormatVersion = 1;
const char* const kLogArea = "Configuration Data";

void PutVarint(std::string& out, std::uint64_t v) {
    char buf[10];
    std::size_t n = 0;
    while (v >= 0x80) {
        buf[n++] = char((v & 0x7F) | 0x80);
        v >>= 7;
    }
    buf[n++] = char(v);
    out.append(buf, n);
}

void PutU32(std::string& out, std::uint32_t v) {
    for (int k = 0; k < 4; ++k)
        out.push_back(char((v >> (8 * k)) & 0xFF));
}

// Bounds-checked reader over a file image.
class Reader {
public:
    Reader(const char* data, std::size_t size) : m_p(data), m_end(data + size) {}
    std::size_t Left() const { return std::size_t(m_end - m_p); }
    const char* Pos() const { return m_p; }
    bool Varint(std::uint64_t& v) {
        v = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (m_p == m_end)
                return false;
            const auto byte = std::uint8_t(*m_p++);
            v |= std::uint64_t(byte & 0x7F) << shift;
            if (!(byte & 0x80))
                return true;
        }
        return false;
    }
    bool Byte(std::uint8_t& v) {
        if (m_p == m_end)
            return false;
        v = std::uint8_t(*m_p++);
        return true;
    }
    bool Skip(std::size_t n) {
        if (Left() < n)
            return false;
        m_p += n;
        return true;
    }

private:
    const char* m_p;
    const char* m_end;
};

bool Fail(QString* error, const QString& reason) {
    if (error)
        *error = reason;
    return false;
}

std::uint64_t FileNumber(const QString& name, const QString& base, bool* ok) {
    *ok = false;
    if (!name.startsWith(base + "."))
        return 0;
    const QStringRef digits = name.midRef(base.size() + 1);
    if (digits.isEmpty() || digits.size() > 20)  // toULongLong refuses what overflows
        return 0;
    for (QChar c : digits)
        if (c < '0' || c > '9')
            return 0;
    return digits.toULongLong(ok);
}

// A write that failed because the disk (or the user's quota) is full.
class NoSpace : public DataSaveFailure {
public:
    using DataSaveFailure::DataSaveFailure;
};

qint64 FolderUsage(const QString& folder) {
    qint64 used = 0;
    for (const QFileInfo& info : QDir(folder).entryInfoList(QDir::Files | QDir::Hidden))
        used += info.size();
    return used;
}

bool ReadsWhole(const QString& path) {
    QFile file;
    if (!OpenPlainFile(file, path, QIODevice::ReadOnly) || file.size() > DataSaver::kMaxFileSize)
        return false;
    StagedStore staged;
    return DataSaver::ParseStore(file.readAll(), staged, nullptr);
}

// Temporary files of saves that a crash interrupted, and whatever else
// took their names: a FIFO, link or socket is removed as a stale file of
// ours would be, a folder set aside.
int RemoveLeftoverTemporaries(const QString& prefix) {
    const QFileInfo prefixInfo(prefix);
    QDir dir(prefixInfo.absolutePath());
    int removed = 0;
    for (const QString& name :
         dir.entryList(QStringList() << (prefixInfo.fileName() + ".*.tmp"),
                       QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot)) {
        bool ok = false;
        FileNumber(name.chopped(4), prefixInfo.fileName(), &ok);
        if (!ok)
            continue;
        const QString path = dir.filePath(name);
        struct stat st;
        if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
            continue;
        QString aside, why;
        if (!S_ISDIR(st.st_mode)) {
            removed += ::unlink(QFile::encodeName(path).constData()) == 0 ? 1 : 0;
        } else if (SetAside(path, &aside, &why)) {
            Log(kLogArea, 1,
                QString("A folder stood at %1, a store temporary; kept as %2").arg(path, aside));
        } else {
            Log(kLogArea, 1,
                QString("A folder stands at %1, a store temporary, and cannot be set aside: %2")
                    .arg(path, why));
        }
    }
    return removed;
}

const QString kDumpKind = QStringLiteral("dump");

// Moves an unreadable store file out of the way so that no later prune
// deletes what may still be recovered by hand; never onto anything that
// stands there, not even a dangling link.
void SetAsideUnreadable(const QString& path, const QString& reason) {
    QString aside = path + ".unreadable";
    bool setAside = false;
    for (int n = 1; !(setAside = RenameNoReplace(path, aside)) && errno == EEXIST && n < 1000; ++n)
        aside = QString("%1.unreadable%2").arg(path).arg(n);
    if (setAside)
        Log(kLogArea, 1, QString("Could not load %1 (%2); kept as %3").arg(path, reason, aside));
    else
        Log(kLogArea, 1,
            QString("Could not load %1 (%2), nor set it aside as %3; left in place")
                .arg(path, reason, aside));
}

// An item with its identity, read once while marking.
using KeyedItem = std::pair<std::uint64_t, Item*>;

// Orders items by identity with a radix sort on the ids: a large store is
// saved at every exit, and a comparison sort through the item pointers costs
// a cache miss per comparison.
void SortByIdentity(std::vector<KeyedItem>& items) {
    std::uint64_t largest = 0;
    for (const KeyedItem& e : items)
        largest = std::max(largest, e.first);
    std::vector<KeyedItem> scratch(items.size());
    constexpr int kBits = 11;
    constexpr std::size_t kBuckets = std::size_t(1) << kBits;
    for (int shift = 0; shift < 64 && (largest >> shift) != 0; shift += kBits) {
        std::vector<std::size_t> start(kBuckets + 1, 0);
        for (const KeyedItem& e : items)
            ++start[((e.first >> shift) & (kBuckets - 1)) + 1];
        for (std::size_t b = 1; b <= kBuckets; ++b)
            start[b] += start[b - 1];
        for (const KeyedItem& e : items)
            scratch[start[(e.first >> shift) & (kBuckets - 1)]++] = e;
        items.swap(scratch);
    }
}

}  // namespace

// ---------------------------------------------------------------------------

DataLoadedEventHandler::~DataLoadedEventHandler() {
    if (dataSaver)
        dataSaver->RemoveDataLoadedEventHandler(this);
}

DataSaver::DataSaver() {
    dataSaver = this;
}

DataSaver::~DataSaver() {
    if (dataSaver == this)
        dataSaver = nullptr;
}

void DataSaver::AddSavedType(const std::string& type) {
    Type* t = d.GetType(type);
    if (m_savedTypes.size() <= std::size_t(t->GetOrdinal()))
        m_savedTypes.resize(std::size_t(t->GetOrdinal()) + 1, false);
    m_savedTypes[std::size_t(t->GetOrdinal())] = true;
}

void DataSaver::AddSavedByConnectionType(const std::string& type, const std::string& owner) {
    d.GetType(type);
    d.GetType(owner);
    for (const auto& rule : m_byConnection)
        if (rule.first == type && rule.second == owner)
            return;
    m_byConnection.emplace_back(type, owner);
}

void DataSaver::AddDataLoadedEventHandler(DataLoadedEventHandler* handler) {
    if (!handler)
        return;
    if (std::find(m_listeners.begin(), m_listeners.end(), handler) == m_listeners.end())
        m_listeners.push_back(handler);
}

void DataSaver::RemoveDataLoadedEventHandler(DataLoadedEventHandler* handler) {
    m_listeners.erase(std::remove(m_listeners.begin(), m_listeners.end(), handler),
                      m_listeners.end());
}

void DataSaver::AddDataSavedHandler(DataSavedHandler* handler) {
    if (handler &&
        std::find(m_savedHandlers.begin(), m_savedHandlers.end(), handler) == m_savedHandlers.end())
        m_savedHandlers.push_back(handler);
}

void DataSaver::RemoveDataSavedHandler(DataSavedHandler* handler) {
    m_savedHandlers.erase(std::remove(m_savedHandlers.begin(), m_savedHandlers.end(), handler),
                          m_savedHandlers.end());
}

void DataSaver::NotifyLoaded(bool noData) {
    // A listener may go away while another is told; check membership each time.
    const std::vector<DataLoadedEventHandler*> snapshot = m_listeners;
    auto stillThere = [this](DataLoadedEventHandler* h) {
        return std::find(m_listeners.begin(), m_listeners.end(), h) != m_listeners.end();
    };
    for (DataLoadedEventHandler* h : snapshot)
        if (stillThere(h))
            h->DataLoaded();
    if (noData)
        for (DataLoadedEventHandler* h : snapshot)
            if (stillThere(h))
                h->NoData();
}

// ---------------------------------------------------------------------------
// Writing

// Writes a new file that only the user may read: it holds the password.
// Whatever stood at the path goes first, so nothing is written through a link.
void DataSaver::WriteNewFile(const QString& path, const Pieces& pieces) const {
    QString why;
    const int fd = CreateFileAnew(path, &why);
    if (fd < 0)
        throw DataSaveFailure(QString("cannot create %1: %2").arg(path, why));
    WriteInto(fd, path, pieces);
}

// The new file at path; see the declaration.
void DataSaver::WriteInto(int fd, const QString& path, const Pieces& pieces, bool close) const {
    const QByteArray native = QFile::encodeName(path);
    std::size_t total = 0;
    for (const std::string& piece : pieces)
        total += piece.size();
    std::size_t room = total;
    if (m_folderSpace >= 0) {
        const qint64 left = m_folderSpace - FolderUsage(QFileInfo(path).absolutePath());
        room = std::size_t(std::max<qint64>(0, std::min<qint64>(left, qint64(total))));
    }
    bool ok = true;
    std::size_t left = room;
    for (const std::string& piece : pieces) {
        const std::size_t n = std::min(left, piece.size());
        ok = ok && WriteAll(fd, piece.data(), n);
        left -= n;
    }
    int err = errno;
    if (ok && room < total) {
        ok = false;
        err = ENOSPC;
    }
    if (ok && !SyncFile(fd, true)) {
        ok = false;
        err = errno;
    }
    // Some disks report a lost write only here.
    if (close && !CloseFile(fd) && ok) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        // One kept open is the caller's to remove.
        if (close)
            ::unlink(native.constData());
        const QString reason = QString("cannot write %1: %2").arg(path, SystemError(err));
        if (err == ENOSPC || err == EDQUOT)
            throw NoSpace(reason);
        throw DataSaveFailure(reason);
    }
}

// Frees room for a save: keeps the newest store file that reads whole and
// removes the store files older than it. Newer files that do not read are
// left alone, as are files set aside as unreadable. False when nothing was
// freed, so that trying again is pointless.
bool DataSaver::PruneForRoom(const QString& prefix) {
    int removed = RemoveLeftoverTemporaries(prefix);
    const QStringList files = StoreFiles(prefix);
    int keep = 0;
    while (keep < files.size() && !ReadsWhole(files[keep]))
        ++keep;
    if (keep == files.size()) {
        Log(kLogArea, 1, "Not enough room to save, and no readable store file to keep");
        return removed > 0;
    }
    for (int k = keep + 1; k < files.size(); ++k)
        if (QFile::remove(files[k]))
            ++removed;
    if (removed == 0) {
        Log(kLogArea, 1,
            QString("Not enough room to save, and nothing older than %1 to remove")
                .arg(files[keep]));
        return false;
    }
    Log(kLogArea, 1,
        QString("Not enough room to save: kept %1, removed %2 files; trying again")
            .arg(files[keep])
            .arg(removed));
    return removed > 0;
}

DataSaver::Pieces DataSaver::Serialize(bool everything) {
    // Mark what is saved: whole saved types, then, to a fixpoint, items
    // linked to a saved item of the owner type of a by-connection rule.
    const std::vector<Type*>& types = d.TypesInOrder();
    // A save that fails part way (out of memory) leaves no marks behind: the
    // next one would take the items marked for saved ones.
    struct Unmark {
        const std::vector<Type*>& types;
        bool done = false;
        ~Unmark() {
            if (!done)
                for (Type* t : types)
                    for (Item* x : t->m_items)
                        x->m_flags &= ~std::uint32_t(Item::kMark2);
        }
    } unmark{types};
    std::vector<std::vector<int>> rulesByOwner(types.size());
    for (const auto& rule : m_byConnection) {
        Type* t = d.FindType(rule.first.c_str());
        Type* owner = d.FindType(rule.second.c_str());
        if (t && owner && t->IsRelatedTo(owner))
            rulesByOwner[std::size_t(owner->GetOrdinal())].push_back(t->GetOrdinal());
    }
    // Whether items of the second type ordinal are saved with the first.
    std::vector<std::vector<bool>> savedWith(types.size());
    for (std::size_t k = 0; k < types.size(); ++k)
        if (!rulesByOwner[k].empty()) {
            savedWith[k].assign(types.size(), false);
            for (int ord : rulesByOwner[k])
                savedWith[k][std::size_t(ord)] = true;
        }
    std::vector<KeyedItem> saved;
    // The smallest identity of each saved type, which orders the type table.
    std::vector<std::uint64_t> firstOfType(types.size(), std::numeric_limits<std::uint64_t>::max());
    auto take = [&](Item* x) {
        x->m_flags |= Item::kMark2;
        saved.emplace_back(x->m_id, x);
        std::uint64_t& first = firstOfType[std::size_t(x->mp_type->m_ordinal)];
        first = std::min(first, x->m_id);
    };
    for (Type* t : types) {
        const bool whole = everything || (std::size_t(t->GetOrdinal()) < m_savedTypes.size() &&
                                          m_savedTypes[std::size_t(t->GetOrdinal())]);
        if (!whole)
            continue;
        for (Item* x : t->m_items)
            if (!x->IsRemoved())
                take(x);
    }
    // By waves: the partners of the items taken last are taken next. The
    // time goes into cache misses on partners all over the heap, so a large
    // wave is shared out between threads, which may meet at one partner:
    // only the one that marks it takes it.
    for (std::size_t begin = 0; !everything && begin < saved.size();) {
        const std::size_t end = saved.size();
        const std::size_t threads = parallel::Threads(end - begin, 100000);
        std::vector<std::vector<KeyedItem>> found(threads);
        std::vector<std::vector<std::uint64_t>> firsts(
            threads,
            std::vector<std::uint64_t>(types.size(), std::numeric_limits<std::uint64_t>::max()));
        parallel::OnThreads(threads, [&](std::size_t t) {
            std::vector<Item*> partners;
            const std::size_t from = begin + (end - begin) * t / threads;
            const std::size_t to = begin + (end - begin) * (t + 1) / threads;
            for (std::size_t k = from; k < to; ++k) {
                const Item* x = saved[k].second;
                const std::vector<bool>& with = savedWith[std::size_t(x->mp_type->m_ordinal)];
                if (with.empty())
                    continue;
                // One pass over the partners, all fetched at once, rather than
                // a search per rule.
                partners.clear();
                Links::ForEachAll(x, [&](Item* y) {
                    __builtin_prefetch(y);
                    partners.push_back(y);
                });
                for (Item* y : partners) {
                    const std::size_t ord = std::size_t(y->mp_type->m_ordinal);
                    if (!with[ord] ||
                        (__atomic_load_n(&y->m_flags, __ATOMIC_RELAXED) & Item::kMark2) ||
                        (__atomic_fetch_or(&y->m_flags, std::uint32_t(Item::kMark2),
                                           __ATOMIC_RELAXED) &
                         Item::kMark2))
                        continue;
                    found[t].emplace_back(y->m_id, y);
                    firsts[t][ord] = std::min(firsts[t][ord], y->m_id);
                }
            }
        });
        for (std::size_t t = 0; t < threads; ++t) {
            saved.insert(saved.end(), found[t].begin(), found[t].end());
            for (std::size_t ord = 0; ord < types.size(); ++ord)
                firstOfType[ord] = std::min(firstOfType[ord], firsts[t][ord]);
        }
        begin = end;
    }
    SortByIdentity(saved);

    std::vector<Type*> usedTypes;
    for (Type* t : types)
        if (firstOfType[std::size_t(t->GetOrdinal())] != std::numeric_limits<std::uint64_t>::max())
            usedTypes.push_back(t);
    std::sort(usedTypes.begin(), usedTypes.end(), [&](const Type* a, const Type* b) {
        return firstOfType[std::size_t(a->GetOrdinal())] <
               firstOfType[std::size_t(b->GetOrdinal())];
    });
    std::vector<int> typeIndex(types.size(), -1);
    for (std::size_t k = 0; k < usedTypes.size(); ++k)
        typeIndex[std::size_t(usedTypes[k]->GetOrdinal())] = int(k);

    std::string head;
    head.append(kMagic, sizeof kMagic);
    PutU32(head, kFormatVersion);
    PutVarint(head, usedTypes.size());
    for (Type* t : usedTypes) {
        PutVarint(head, t->GetName().size());
        head.append(t->GetName());
    }
    PutVarint(head, saved.size());

    // The items and their links are written by stretches of the saved items,
    // a large store on several threads: the store is only read meanwhile, and
    // the time goes into cache misses on partners all over the heap.
    struct Stretch {
        std::size_t begin = 0, end = 0;
        std::string items, links;
        std::uint64_t linkCount = 0;
        uLong itemsCrc = 0, linksCrc = 0;
    };
    const std::size_t threads = parallel::Threads(saved.size());
    std::vector<Stretch> stretches(threads);
    for (std::size_t k = 0; k < threads; ++k) {
        stretches[k].begin = saved.size() * k / threads;
        stretches[k].end = saved.size() * (k + 1) / threads;
    }
    // Every item's index first: links name their partners by it.
    parallel::OnThreads(threads, [&](std::size_t t) {
        for (std::size_t k = stretches[t].begin; k < stretches[t].end; ++k)
            saved[k].second->m_scratch = std::uint32_t(k);
    });
    auto write = [&](Stretch& s) {
        s.items.reserve((s.end - s.begin) * 24);
        for (std::size_t k = s.begin; k < s.end; ++k) {
            const Item* x = saved[k].second;
            PutVarint(s.items, std::uint64_t(typeIndex[std::size_t(x->mp_type->m_ordinal)]));
            if (x->IsGlobalNull()) {
                s.items.push_back(char(StagedStore::GlobalNull));
            } else if (x->IsValueless()) {
                s.items.push_back(char(StagedStore::Valueless));
            } else {
                s.items.push_back(char(StagedStore::Valued));
                PutVarint(s.items, x->m_valueSize);
                s.items.append(x->ValueData(), x->m_valueSize);
            }
        }
        s.links.reserve((s.end - s.begin) * 8);
        std::vector<Item*> partners;
        for (std::size_t k = s.begin; k < s.end; ++k) {
            const Item* x = saved[k].second;
            const std::uint32_t self = x->m_scratch;
            // Touch every partner before reading any, so that their cache
            // misses overlap.
            partners.clear();
            Links::ForEachAll(x, [&](Item* y) {
                __builtin_prefetch(y);
                partners.push_back(y);
            });
            for (const Item* y : partners) {
                if ((y->m_flags & Item::kMark2) && y->m_scratch > self) {
                    PutVarint(s.links, self);
                    PutVarint(s.links, y->m_scratch);
                    ++s.linkCount;
                }
            }
        }
        s.itemsCrc =
            crc32(0L, reinterpret_cast<const Bytef*>(s.items.data()), uInt(s.items.size()));
        s.linksCrc =
            crc32(0L, reinterpret_cast<const Bytef*>(s.links.data()), uInt(s.links.size()));
    };
    parallel::OnThreads(threads, [&](std::size_t t) { write(stretches[t]); });
    for (const KeyedItem& x : saved)
        x.second->m_flags &= ~std::uint32_t(Item::kMark2);
    unmark.done = true;

    Pieces pieces;
    uLong crc =
        crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(head.data()), uInt(head.size()));
    pieces.push_back(std::move(head));
    std::uint64_t linkCount = 0;
    for (Stretch& s : stretches) {
        crc = crc32_combine(crc, s.itemsCrc, z_off_t(s.items.size()));
        pieces.push_back(std::move(s.items));
        linkCount += s.linkCount;
    }
    std::string count;
    PutVarint(count, linkCount);
    crc = crc32(crc, reinterpret_cast<const Bytef*>(count.data()), uInt(count.size()));
    pieces.push_back(std::move(count));
    for (Stretch& s : stretches) {
        crc = crc32_combine(crc, s.linksCrc, z_off_t(s.links.size()));
        pieces.push_back(std::move(s.links));
    }
    std::string tail(kEndMark, sizeof kEndMark);
    crc = crc32(crc, reinterpret_cast<const Bytef*>(tail.data()), uInt(tail.size()));
    PutU32(tail, std::uint32_t(crc));
    pieces.push_back(std::move(tail));
    return pieces;
}

bool DataSaver::Save(const QString& prefix) {
    const QFileInfo prefixInfo(prefix);
    const QString folder = prefixInfo.absolutePath();
    QString tmp;
    try {
        const Pieces bytes = Serialize(false);
        // Never go below an existing number, so a clock set back cannot make
        // a new save look older than the ones it should replace.
        std::uint64_t number = std::uint64_t(QDateTime::currentMSecsSinceEpoch());
        const QStringList existing = StoreFiles(prefix);
        if (!existing.isEmpty()) {
            bool ok = false;
            const std::uint64_t newest =
                FileNumber(QFileInfo(existing.first()).fileName(), prefixInfo.fileName(), &ok);
            if (ok && newest >= number) {
                if (newest == std::numeric_limits<std::uint64_t>::max())
                    throw DataSaveFailure(QString("no file number after %1").arg(existing.first()));
                number = newest + 1;
            }
        }
        tmp = QString("%1.%2.tmp").arg(prefix).arg(number);
        try {
            WriteNewFile(tmp, bytes);
        } catch (const NoSpace& full) {
            // Pruning only after a good save would need room for a fourth
            // file; on a full disk every later save would fail.
            Log(kLogArea, 1, QString("Saving: %1").arg(full.Reason()));
            if (!PruneForRoom(prefix))
                throw;
            WriteNewFile(tmp, bytes);
        }
        QString final;
        for (int attempt = 0;; ++attempt) {
            final = QString("%1.%2").arg(prefix).arg(number);
            // Never onto an existing name, so two saves can never overwrite
            // each other, also on disks without hard links.
            QString why;
            if (RenameNoReplace(tmp, final, &why))
                break;
            if (errno != EEXIST || attempt > 1000 ||
                number == std::numeric_limits<std::uint64_t>::max())
                throw DataSaveFailure(QString("cannot name %1: %2").arg(final, why));
            ++number;
        }
        tmp.clear();
        SyncFolder(folder);

        const QStringList files = StoreFiles(prefix);
        for (int k = 3; k < files.size(); ++k)
            QFile::remove(files[k]);
        RemoveLeftoverTemporaries(prefix);
        m_prefix = prefix;
        m_fileNumber = number;
        m_lastFailure.clear();
        const std::vector<DataSavedHandler*> handlers = m_savedHandlers;
        for (DataSavedHandler* h : handlers)
            if (std::find(m_savedHandlers.begin(), m_savedHandlers.end(), h) !=
                m_savedHandlers.end())
                h->DataSaved(number);
        return true;
    } catch (const DataSaveFailure& failure) {
        if (!tmp.isEmpty())
            QFile::remove(tmp);
        m_lastFailure = failure.Reason();
    } catch (const std::bad_alloc&) {
        if (!tmp.isEmpty())
            QFile::remove(tmp);
        m_lastFailure = "out of memory";
    }
    Log(kLogArea, 1, "Saving failed: " + m_lastFailure);
    return false;
}

bool DataSaver::SaveAll(const QString& fileName) {
    // The chosen file, which the user may still need, is replaced only by a
    // whole new one: a failed dump leaves it as it was.
    QString tmp;
    int fd = -1;
    try {
        const Pieces bytes = Serialize(true);
        const QString folder = QFileInfo(fileName).absolutePath();
        RemoveTemporaryLeftovers(folder, kDumpKind);
        QString why;
        fd = CreateTemporary(folder, kDumpKind, &tmp, &why);
        if (fd < 0)
            throw DataSaveFailure(why);
        // Kept open, so locked, until renamed: another dump's sweep of the
        // folder must not take it in between. Its close is checked first all
        // the same, on a duplicate: some disks report a lost write only there.
        WriteInto(fd, tmp, bytes, false);
        if (!CloseKeepingOpen(&fd))
            throw DataSaveFailure(QString("cannot write %1: %2").arg(tmp, SystemError(errno)));
        BeforeTemporaryRename(tmp);
        if (::rename(QFile::encodeName(tmp).constData(), QFile::encodeName(fileName).constData()) !=
            0)
            throw DataSaveFailure(
                QString("cannot replace %1: %2").arg(fileName, SystemError(errno)));
        CloseTemporary(fd);
        SyncFolder(folder);
        m_lastFailure.clear();
        return true;
    } catch (const DataSaveFailure& failure) {
        m_lastFailure = failure.Reason();
    } catch (const std::bad_alloc&) {
        m_lastFailure = "out of memory";
    }
    DropTemporary(fd, tmp);
    Log(kLogArea, 1, "Dump failed: " + m_lastFailure);
    return false;
}

// ---------------------------------------------------------------------------
// Reading

QStringList DataSaver::StoreFiles(const QString& prefix) {
    const QFileInfo prefixInfo(prefix);
    const QString base = prefixInfo.fileName();
    QDir dir(prefixInfo.absolutePath());
    std::vector<std::pair<std::uint64_t, QString>> found;
    const QStringList names =
        dir.entryList(QStringList() << (base + ".*"), QDir::Files | QDir::Hidden);
    for (const QString& name : names) {
        bool ok = false;
        const std::uint64_t n = FileNumber(name, base, &ok);
        if (ok)
            found.emplace_back(n, dir.filePath(name));
    }
    std::sort(found.begin(), found.end(),
              [](const auto& a, const auto& b) { return a.first > b.first; });
    QStringList out;
    for (const auto& f : found)
        out << f.second;
    return out;
}

bool DataSaver::ParseStore(const QByteArray& bytes, StagedStore& out, QString* error) {
    out = StagedStore();
    const std::size_t size = std::size_t(bytes.size());
    const std::size_t fixed = sizeof kMagic + 4 + sizeof kEndMark + 4;
    if (size < fixed)
        return Fail(error, "file too short");
    const char* data = bytes.constData();
    if (std::memcmp(data, kMagic, sizeof kMagic) != 0)
        return Fail(error, "not a store file");
    std::uint32_t storedCrc = 0;
    for (int k = 0; k < 4; ++k)
        storedCrc |= std::uint32_t(std::uint8_t(data[size - 4 + std::size_t(k)])) << (8 * k);
    const uLong crc =
        crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(data), uInt(size - 4));
    if (std::uint32_t(crc) != storedCrc)
        return Fail(error, "checksum mismatch");
    if (std::memcmp(data + size - 8, kEndMark, sizeof kEndMark) != 0)
        return Fail(error, "no end mark");
    std::uint32_t version = 0;
    for (int k = 0; k < 4; ++k)
        version |= std::uint32_t(std::uint8_t(data[8 + k])) << (8 * k);
    if (version != kFormatVersion)
        return Fail(error, QString("unknown version %1").arg(version));

    Reader r(data + 12, size - fixed);
    std::uint64_t typeCount = 0;
    if (!r.Varint(typeCount) || typeCount > r.Left())
        return Fail(error, "bad type count");
    out.typeNames.reserve(std::size_t(std::min<std::uint64_t>(typeCount, 4096)));
    for (std::uint64_t k = 0; k < typeCount; ++k) {
        std::uint64_t len = 0;
        if (!r.Varint(len) || len > r.Left() || len > 4096 ||
            std::memchr(r.Pos(), 0, std::size_t(len)))
            return Fail(error, "bad type name");
        out.typeNames.emplace_back(r.Pos(), std::size_t(len));
        r.Skip(std::size_t(len));
    }
    std::uint64_t itemCount = 0;
    // Each item takes at least two bytes, which bounds what a count may ask for.
    if (!r.Varint(itemCount) || itemCount > r.Left() / 2 || itemCount > 0xFFFFFFFFu)
        return Fail(error, "bad item count");
    out.items.reserve(std::size_t(itemCount));
    for (std::uint64_t k = 0; k < itemCount; ++k) {
        std::uint64_t type = 0;
        std::uint8_t kind = 0;
        if (!r.Varint(type) || type >= typeCount || !r.Byte(kind))
            return Fail(error, "bad item");
        StagedStore::StagedItem item{std::uint32_t(type), StagedStore::Kind(kind), 0, 0};
        if (kind == StagedStore::Valued) {
            std::uint64_t len = 0;
            if (!r.Varint(len) || len > r.Left())
                return Fail(error, "bad value");
            item.valueOffset = std::uint32_t(r.Pos() - data);
            item.valueSize = std::uint32_t(len);
            r.Skip(std::size_t(len));
        } else if (kind != StagedStore::Valueless && kind != StagedStore::GlobalNull) {
            return Fail(error, "bad item kind");
        }
        out.items.push_back(item);
    }
    std::uint64_t linkCount = 0;
    if (!r.Varint(linkCount) || linkCount > r.Left() / 2)
        return Fail(error, "bad link count");
    out.links.reserve(std::size_t(linkCount));
    for (std::uint64_t k = 0; k < linkCount; ++k) {
        std::uint64_t a = 0, b = 0;
        if (!r.Varint(a) || !r.Varint(b) || a >= itemCount || b >= itemCount || a == b)
            return Fail(error, "bad link");
        out.links.emplace_back(std::uint32_t(a), std::uint32_t(b));
    }
    if (r.Left() != 0)
        return Fail(error, "trailing bytes");
    out.bytes = bytes;
    return true;
}

bool DataSaver::IsSavedType(const Type* type) const {
    const std::size_t ordinal = std::size_t(type->GetOrdinal());
    if (ordinal < m_savedTypes.size() && m_savedTypes[ordinal])
        return true;
    for (const auto& rule : m_byConnection)
        if (rule.first == type->GetName())
            return true;
    return false;
}

void DataSaver::Apply(const StagedStore& staged) const {
    std::vector<Type*> types;
    types.reserve(staged.typeNames.size());
    for (const std::string& name : staged.typeNames) {
        Type* t = d.FindType(name.c_str());
        types.push_back(t && IsSavedType(t) ? t : nullptr);
    }
    // Per type of the file: the items dropped for being of a type no save
    // writes (a dump of the whole store, or a damaged file).
    std::vector<std::uint64_t> dropped(staged.typeNames.size(), 0);
    std::vector<ItemPtr> made(staged.items.size());
    const char* data = staged.bytes.constData();
    for (std::size_t k = 0; k < staged.items.size(); ++k) {
        const StagedStore::StagedItem& s = staged.items[k];
        Type* t = types[s.type];
        // A type this run does not declare, or declares differently, is
        // skipped rather than failing the whole store.
        if (!t) {
            ++dropped[s.type];
            continue;
        }
        if (s.kind == StagedStore::Valued) {
            if (!t->IsNull())
                made[k] = t->NewItem(Value(std::string(data + s.valueOffset, s.valueSize)));
        } else if (t->IsNull()) {
            made[k] = s.kind == StagedStore::GlobalNull ? t->GetGlobalNullItem() : t->NewItem();
        }
    }
    for (std::size_t k = 0; k < dropped.size(); ++k)
        if (dropped[k])
            Log(kLogArea, 1,
                QString("Dropped %1 stored items of type %2, which no save holds")
                    .arg(dropped[k])
                    .arg(QString::fromStdString(staged.typeNames[k])));
    const auto& links = staged.links;
    const std::size_t n = links.size();
    for (std::size_t k = 0; k < n; ++k) {
        // Link targets are scattered over the heap; ask for them early.
        if (k + 16 < n)
            __builtin_prefetch(made[links[k + 16].second].GetItemObject());
        const ItemPtr& a = made[links[k].first];
        const ItemPtr& b = made[links[k].second];
        if (a.IsNull() || b.IsNull() || a == b || a.IsRemoved() || b.IsRemoved())
            continue;
        if (!a.GetType()->IsRelatedTo(b.GetType()))
            continue;
        a.Connect(b);
    }
}

void DataSaver::Load(const QString& prefix) {
    m_prefix = prefix;
    m_fileNumber = 0;
    // What is no plain file at a store name, which the listing below leaves
    // out, goes aside as well: left there, it would hold its number and
    // name for good.
    QStringList reasons;
    const QFileInfo prefixInfo(prefix);
    const QDir dir(prefixInfo.absolutePath());
    for (const QString& name :
         dir.entryList(QStringList() << (prefixInfo.fileName() + ".*"),
                       QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot)) {
        bool numbered = false;
        FileNumber(name, prefixInfo.fileName(), &numbered);
        const QString path = dir.filePath(name);
        struct stat st;
        if (!numbered || ::lstat(QFile::encodeName(path).constData(), &st) != 0 ||
            S_ISREG(st.st_mode) || (S_ISLNK(st.st_mode) && QFileInfo(path).isFile()))
            continue;
        const QString reason = S_ISLNK(st.st_mode)   ? "a link stands there; it is not followed"
                               : S_ISDIR(st.st_mode) ? "a folder, not a plain file"
                                                     : "not a plain file";
        SetAsideUnreadable(path, reason);
        reasons << QString("%1: %2").arg(name, reason);
    }
    const QStringList files = StoreFiles(prefix);
    if (files.isEmpty()) {
        NotifyLoaded(true);
        if (!reasons.isEmpty())
            throw DataLoadFailure(reasons.join("; "));
        return;
    }
    for (const QString& path : files) {
        QString reason;
        QFile file;
        StagedStore staged;
        // Only a plain file: a link may lead to a user's file, a FIFO would hang the start.
        if (OpenPlainFile(file, path, QIODevice::ReadOnly, &reason)) {
            if (file.size() > kMaxFileSize) {
                reason = "file too large";
            } else {
                const QByteArray bytes = file.readAll();
                if (bytes.size() != file.size())
                    reason = "read error";
                else
                    ParseStore(bytes, staged, &reason);
            }
        }
        file.close();
        if (reason.isEmpty()) {
            bool numbered = false;
            m_fileNumber =
                FileNumber(QFileInfo(path).fileName(), QFileInfo(prefix).fileName(), &numbered);
            Apply(staged);
            Log(kLogArea, 1, QString("Loaded %1").arg(path));
            NotifyLoaded(false);
            return;
        }
        SetAsideUnreadable(path, reason);
        reasons << QString("%1: %2").arg(QFileInfo(path).fileName(), reason);
    }
    NotifyLoaded(true);
    throw DataLoadFailure(reasons.join("; "));
}
