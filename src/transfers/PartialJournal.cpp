#include "transfers/PartialJournal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>
#include <map>
#include <system_error>
#include <utility>

#include "store/Log.h"
#include "store/PlainFile.h"

namespace {

const QString kArea = QStringLiteral("Transfer Queue");
const char kMagic[8] = {'T', 'V', 'N', 'K', 'P', 'J', 'N', 'L'};
constexpr std::uint32_t kVersion = 1;
constexpr int kPartialFields = 10;
constexpr int kForgetFields = 3;

void PutLE(QByteArray& out, std::uint64_t v, int bytes) {
    for (int k = 0; k < bytes; ++k)
        out.append(char((v >> (8 * k)) & 0xFF));
}

std::uint64_t GetLE(const char* p, int bytes) {
    std::uint64_t v = 0;
    for (int k = 0; k < bytes; ++k)
        v |= std::uint64_t(std::uint8_t(p[k])) << (8 * k);
    return v;
}

std::uint32_t Crc(const char* data, std::size_t size) {
    return std::uint32_t(
        crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(data), uInt(size)));
}

// Text as written: the exact bytes, NULs included (the QByteArray overload
// would stop at the first NUL).
QString Text(const QByteArray& bytes) {
    return QString::fromUtf8(bytes.constData(), bytes.size());
}

// The text's bytes when they read back as the same text; false for one that
// holds a lone surrogate, which no UTF-8 can carry.
bool Utf8(const QString& text, QByteArray* out) {
    *out = text.toUtf8();
    return Text(*out) == text;
}

bool Number(const QByteArray& text, qint64 low, qint64 high, qint64* out) {
    bool ok = false;
    const qint64 n = text.toLongLong(&ok);
    if (!ok || n < low || n > high || text != QByteArray::number(n))
        return false;
    *out = n;
    return true;
}

bool Decode(const char* p, std::size_t size, PartialJournal::Record* r) {
    if (size < 1 || (p[0] != 'P' && p[0] != 'C' && p[0] != 'F'))
        return false;
    r->forget = p[0] == 'F';
    r->complete = p[0] == 'C';
    std::vector<QByteArray> fields;
    for (std::size_t at = 1; at < size;) {
        if (size - at < 2)
            return false;
        const std::size_t n = std::size_t(GetLE(p + at, 2));
        at += 2;
        if (n > size - at)
            return false;
        fields.emplace_back(p + at, int(n));
        at += n;
    }
    // Empty names are read as written: a record the writer took must not
    // end the reading.
    if (int(fields.size()) != (r->forget ? kForgetFields : kPartialFields))
        return false;
    r->user = Text(fields[0]);
    r->remoteFolder = fields[1].toStdString();
    r->fileName = fields[2].toStdString();
    if (r->forget)
        return true;
    qint64 single = 0, level = 0;
    if (!Number(fields[3], 0, std::numeric_limits<qint64>::max(), &r->fileSize) ||
        !Number(fields[4], 0, 1, &single) || !Number(fields[5], 0, 4096, &level) ||
        !Number(fields[8], 0, std::numeric_limits<qint64>::max(), &r->size))
        return false;
    r->single = single == 1;
    r->level = int(level);
    r->path = Text(fields[6]);
    r->identity = Text(fields[7]);
    r->head = Text(fields[9]);
    return true;
}

// Renames what stands at path to the first free name beside it: path +
// suffix, then with a number after `separator` (from 1, or from 2 without
// a separator); false with errno set.
bool PutAside(const QString& path, const QString& suffix, const QString& separator,
              QString* aside) {
    const int first = separator.isEmpty() ? 2 : 1;
    for (int k = first - 1; k < 100; ++k) {
        *aside = path + suffix + (k >= first ? separator + QString::number(k) : QString());
        if (RenameNoReplace(path, *aside))
            return true;
        if (errno != EEXIST)
            return false;
    }
    errno = EEXIST;
    return false;
}

// The whole file replaced at once, so that a crash leaves the old or the new;
// the descriptor left open to append to it, or -1 with *error saying which
// path failed and why.
int Replace(const QString& path, const QByteArray& image, QString* error) {
    const QByteArray native = QFile::encodeName(path);
    const QString tmp = path + QStringLiteral(".tmp");
    const QByteArray nativeTmp = QFile::encodeName(tmp);
    // A folder there is set aside by CreateFileAnew, so no rewrite fails on it for good.
    QString why;
    int fd = CreateFileAnew(tmp, &why);
    if (fd < 0) {
        *error = QStringLiteral("%1: %2").arg(tmp, why);
        return -1;
    }
    // Closed and checked before the old file goes (some disks report a lost
    // write only at the close); a duplicate stays open for the appends.
    const bool written = WriteAll(fd, image.constData(), std::size_t(image.size())) &&
                         SyncFile(fd) && CloseKeepingOpen(&fd);
    if (!written || ::rename(nativeTmp.constData(), native.constData()) != 0) {
        *error = QStringLiteral("%1: %2").arg(written ? path : tmp, SystemError(errno));
        ::close(fd);
        ::unlink(nativeTmp.constData());
        return -1;
    }
    const int dir = ::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(),
                           O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return fd;
}

// Whether fd is still the file at path: removed or replaced under the
// writer, appends to it would reach no start.
bool StillAt(int fd, const QString& path) {
    struct stat open, there;
    return ::fstat(fd, &open) == 0 && open.st_nlink > 0 &&
           ::lstat(QFile::encodeName(path).constData(), &there) == 0 &&
           open.st_dev == there.st_dev && open.st_ino == there.st_ino;
}

}  // namespace

PartialJournal::~PartialJournal() {
    Close();
}

QByteArray PartialJournal::Header(std::uint64_t storeNumber) {
    QByteArray out(kMagic, sizeof kMagic);
    PutLE(out, kVersion, 4);
    PutLE(out, storeNumber, 8);
    PutLE(out, Crc(out.constData(), std::size_t(out.size())), 4);
    return out;
}

std::string PartialJournal::KeyOf(const QString& user, const std::string& remoteFolder,
                                  const std::string& fileName) {
    // Lengths before the first two parts: any bytes may be in a name.
    const std::string u = user.toStdString();
    std::string key;
    key.reserve(16 + u.size() + remoteFolder.size() + fileName.size());
    for (const std::string* part : {&u, &remoteFolder}) {
        key += std::to_string(part->size());
        key += ':';
        key += *part;
    }
    return key + fileName;
}

QByteArray PartialJournal::Encode(const Record& r) {
    QByteArray body(1, r.forget ? 'F' : r.complete ? 'C' : 'P');
    QByteArray user, path, identity, head;
    if (!Utf8(r.user, &user) ||
        (!r.forget &&
         (!Utf8(r.path, &path) || !Utf8(r.identity, &identity) || !Utf8(r.head, &head))))
        return QByteArray();
    std::vector<QByteArray> fields{user, QByteArray::fromStdString(r.remoteFolder),
                                   QByteArray::fromStdString(r.fileName)};
    if (!r.forget)
        for (const QByteArray& f :
             {QByteArray::number(r.fileSize), QByteArray::number(r.single ? 1 : 0),
              QByteArray::number(r.level), path, identity, QByteArray::number(r.size), head})
            fields.push_back(f);
    for (const QByteArray& f : fields) {
        if (f.size() > 0xFFFF)
            return QByteArray();
        PutLE(body, std::uint64_t(f.size()), 2);
        body.append(f);
    }
    if (body.size() > kMaxRecordBody)
        return QByteArray();
    QByteArray out;
    PutLE(out, std::uint64_t(body.size()), 4);
    PutLE(out, Crc(body.constData(), std::size_t(body.size())), 4);
    return out + body;
}

bool PartialJournal::Parse(const QByteArray& bytes, std::uint64_t* storeNumber,
                           std::vector<Record>* records, QString* note) {
    records->clear();
    note->clear();
    const char* p = bytes.constData();
    const std::size_t size = std::size_t(bytes.size());
    if (size < std::size_t(kHeaderSize) || std::memcmp(p, kMagic, sizeof kMagic) != 0 ||
        GetLE(p + 8, 4) != kVersion || GetLE(p + 20, 4) != Crc(p, 20)) {
        *note = QStringLiteral("no journal header");
        return false;
    }
    *storeNumber = GetLE(p + 12, 8);
    for (std::size_t at = std::size_t(kHeaderSize); at < size;) {
        Record r;
        const std::size_t left = size - at;
        const std::size_t n = left < 8 ? 0 : std::size_t(GetLE(p + at, 4));
        if (left < 8 || n == 0 || n > std::size_t(kMaxRecordBody) || n > left - 8 ||
            GetLE(p + at + 4, 4) != Crc(p + at + 8, n) || !Decode(p + at + 8, n, &r)) {
            *note = QStringLiteral("dropped %1 bytes from offset %2 that do not read as a record")
                        .arg(left)
                        .arg(at);
            break;
        }
        records->push_back(std::move(r));
        at += 8 + n;
    }
    return true;
}

bool PartialJournal::ReadFile(QByteArray* bytes) {
    bytes->clear();
    QString why;
    const int fd = OpenPlainFile(m_path, O_RDONLY, &why);
    int error = fd < 0 ? errno : 0;
    if (fd < 0 && error == ENOENT)
        return true;
    if (fd >= 0) {
        QByteArray chunk(1 << 16, Qt::Uninitialized);
        while (bytes->size() < kMaxReadBytes) {
            const ssize_t n =
                ::read(fd, chunk.data(),
                       std::size_t(std::min<qint64>(chunk.size(), kMaxReadBytes - bytes->size())));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                error = n < 0 ? errno : 0;
                break;
            }
            bytes->append(chunk.constData(), int(n));
        }
        ::close(fd);
        if (!error)
            return true;
    }
    // Never written over unread: what stands there is kept beside it.
    bytes->clear();
    if (fd >= 0)
        why = SystemError(error);
    QString aside;
    if (PutAside(m_path, kUnreadableSuffix, QStringLiteral("."), &aside)) {
        Log(kArea, 1,
            QStringLiteral("Partials journal %1 cannot be read (%2); set aside as %3")
                .arg(m_path, why, aside));
        return true;
    }
    const int asideError = errno;
    Log(kArea, 1,
        QStringLiteral("Partials journal %1 cannot be read (%2) nor set aside (%3); no partial "
                       "is journaled this run")
            .arg(m_path, why,
                 asideError != EEXIST ? SystemError(asideError) : QStringLiteral("no free name")));
    return false;
}

std::vector<PartialJournal::Record> PartialJournal::Open(const QString& path,
                                                         std::uint64_t storeNumber) {
    Close();
    m_path = path;
    QByteArray bytes;
    if (!ReadFile(&bytes))
        return {};

    std::uint64_t number = 0;
    std::vector<Record> read;
    QString note;
    const bool readable = !bytes.isEmpty() && Parse(bytes, &number, &read, &note);
    if (!bytes.isEmpty() && !note.isEmpty())
        Log(kArea, 1, QStringLiteral("Partials journal %1: %2").arg(path, note));
    if (readable && number < storeNumber) {
        Log(kArea, 1,
            QStringLiteral("Partials journal %1 precedes the store loaded; %2 records dropped")
                .arg(path)
                .arg(read.size()));
        read.clear();
    }
    // Per entry, in the order the entries first appear: its last record, and
    // whether it was removed before it.
    struct Entry {
        Record last;
        bool removed = false;
    };
    std::vector<Entry> entries;
    std::map<std::string, std::size_t> index;
    for (Record& r : read) {
        const auto at = index.emplace(KeyOf(r), entries.size()).first;
        if (at->second == entries.size())
            entries.emplace_back();
        Entry& e = entries[at->second];
        e.removed = e.removed || r.forget;
        e.last = std::move(r);
    }
    std::vector<Record> out;
    Command rewrite(Command::Rewrite);
    rewrite.storeNumber = readable ? std::max(number, storeNumber) : storeNumber;
    for (Entry& e : entries) {
        Record& r = e.last;
        r.removed = e.removed;
        Live live;
        if (r.removed) {
            Record forget;
            forget.forget = true;
            forget.user = r.user, forget.remoteFolder = r.remoteFolder,
            forget.fileName = r.fileName;
            live.forget = Encode(forget);
        }
        if (!r.forget)
            live.last = Encode(r);
        rewrite.live.emplace_back(KeyOf(r), std::move(live));
        out.push_back(std::move(r));
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = false;
    }
    try {
        m_writer = std::thread([this] { Run(); });
    } catch (const std::system_error&) {
        // Downloads go on as before, known again only by what a save holds.
        Log(kArea, 1, QStringLiteral("Partials journal %1: no thread to write it").arg(path));
        return out;
    }
    Queue(std::move(rewrite));
    return out;
}

void PartialJournal::Close() {
    if (!m_writer.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_changed.notify_all();
    m_writer.join();
}

void PartialJournal::Queue(Command command) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.push_back(std::move(command));
        ++m_queued;
    }
    m_changed.notify_all();
}

std::uint64_t PartialJournal::Append(const Record& record) {
    if (!IsOpen())
        return 0;
    Command c(Command::Append);
    c.bytes = Encode(record);
    if (c.bytes.isEmpty()) {
        Log(kArea, 1,
            QStringLiteral("Partial record of %1 cannot be journaled (too long, or no Unicode)")
                .arg(QString::fromStdString(record.fileName)));
        return 0;
    }
    c.key = KeyOf(record);
    c.forget = record.forget;
    Queue(std::move(c));
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_queued;
}

void PartialJournal::Restart(std::uint64_t storeNumber) {
    if (!IsOpen())
        return;
    Command c(Command::Restart);
    c.storeNumber = storeNumber;
    Queue(std::move(c));
}

bool PartialJournal::WaitWritten(std::uint64_t number, const std::function<bool()>& giveUp,
                                 QString* why) {
    std::unique_lock<std::mutex> lock(m_mutex);
    // A failure from before this wait may be old: room may have come back
    // since. The writer tries at once, and its answer counts, not its last.
    const std::uint64_t attempt = m_attempts;
    if (m_written < number && m_failedThrough >= number && !m_stop) {
        m_retryNow = true;
        m_changed.notify_all();
    }
    while (m_written < number && (m_failedThrough < number || m_attempts == attempt) && !m_stop) {
        m_changed.wait_for(lock, std::chrono::milliseconds(100));
        if (m_written < number && giveUp && giveUp())
            break;
    }
    if (m_written >= number)
        return true;
    if (why)
        *why = m_failedThrough >= number
                   ? QStringLiteral("%1 (%2)").arg(QLatin1String(kWriteFailed), m_error)
               : m_stop ? QStringLiteral("The partials journal is closed")
                        : QStringLiteral("Stopped waiting for the partials journal");
    return false;
}

bool PartialJournal::Failing() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_failedThrough > m_written;
}

void PartialJournal::Run() {
    int fd = -1;
    std::uint64_t storeNumber = 0;
    // Per entry, what a rewrite keeps since the file started over.
    std::map<std::string, Live> live;
    qint64 liveBytes = 0, fileBytes = 0;
    // The file reads whole and `fd` appends to its end. After a failed write
    // it may end in a torn record, which would hide every record after it:
    // the next batch rewrites it from the live records instead.
    bool whole = false;
    // After a failure the live records are written again on their own, when
    // no record comes first, at growing intervals.
    std::chrono::milliseconds retryIn{0};
    const auto rewrite = [&](QString* error) {
        QByteArray image = Header(storeNumber);
        for (const auto& e : live)
            image += e.second.forget + e.second.last;
        if (fd >= 0)
            ::close(fd);
        fd = Replace(m_path, image, error);
        fileBytes = image.size();
        return fd >= 0;
    };
    for (;;) {
        std::vector<Command> batch;
        std::uint64_t last = 0;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            const auto ready = [this] { return m_stop || !m_queue.empty() || m_retryNow; };
            if (retryIn.count() == 0) {
                m_changed.wait(lock, ready);
            } else if (m_retryWait) {
                lock.unlock();
                m_retryWait(retryIn);
                lock.lock();
            } else {
                m_changed.wait_for(lock, retryIn, ready);
            }
            const bool called = m_retryNow;
            m_retryNow = false;
            if (m_queue.empty() && (m_stop || (retryIn.count() == 0 && !called)))
                break;
            batch.swap(m_queue);
            last = m_queued;
        }
        bool replace = !whole;
        QByteArray appended;
        for (Command& c : batch) {
            if (c.kind == Command::Append) {
                appended += c.bytes;
                Live& e = live[c.key];
                liveBytes -= e.Size();
                // A removal stays until the next save: the store may hold the entry.
                if (c.forget) {
                    e.forget = std::move(c.bytes);
                    e.last.clear();
                } else {
                    e.last = std::move(c.bytes);
                }
                liveBytes += e.Size();
                continue;
            }
            storeNumber = c.storeNumber;
            live.clear();
            liveBytes = 0;
            for (auto& e : c.live) {
                liveBytes += e.second.Size();
                live[e.first] = std::move(e.second);
            }
            appended.clear();
            replace = true;
        }
        QString error;
        if (!replace && !appended.isEmpty()) {
            // A record counts as written once a close has said so too.
            if (!WriteAll(fd, appended.constData(), std::size_t(appended.size())) ||
                !SyncFile(fd) || !CloseKeepingOpen(&fd))
                error = QStringLiteral("%1: %2").arg(m_path, SystemError(errno));
            fileBytes += appended.size();
            replace = error.isEmpty() && fileBytes > std::max(kCompactBytes, 2 * liveBytes);
            // Removed or replaced under us (the file or its folder): the
            // records just appended are where no start looks.
            if (error.isEmpty() && !replace && !StillAt(fd, m_path)) {
                Log(kArea, 1,
                    QStringLiteral("Partials journal %1 was removed or replaced; writing it anew")
                        .arg(m_path));
                replace = true;
            }
        }
        if (replace)
            rewrite(&error);
        whole = error.isEmpty();
        if (whole) {
            retryIn = std::chrono::milliseconds(0);
        } else {
            retryIn = std::min(std::max(2 * retryIn, kRetryFirst), kRetryLast);
            Log(kArea, 1,
                QStringLiteral("Could not write the partials journal (%1); trying again in %2 s")
                    .arg(error)
                    .arg(retryIn.count() / 1000));
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (whole) {
                m_written = last;
            } else {
                m_failedThrough = last;
                m_error = error;
            }
            ++m_attempts;
        }
        m_changed.notify_all();
    }
    if (fd >= 0)
        ::close(fd);
}
