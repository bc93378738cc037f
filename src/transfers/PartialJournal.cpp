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

std::string KeyOf(const PartialJournal::Record& r) {
    return r.user.toStdString() + '\0' + r.remoteFolder + '\0' + r.fileName;
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
    if (size < 1 || (p[0] != 'P' && p[0] != 'F'))
        return false;
    r->forget = p[0] == 'F';
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
    if (int(fields.size()) != (r->forget ? kForgetFields : kPartialFields) || fields[0].isEmpty() ||
        fields[2].isEmpty())
        return false;
    r->user = QString::fromUtf8(fields[0]);
    r->remoteFolder = fields[1].toStdString();
    r->fileName = fields[2].toStdString();
    if (r->forget)
        return true;
    qint64 single = 0, level = 0;
    if (!Number(fields[3], 0, std::numeric_limits<qint64>::max(), &r->fileSize) ||
        !Number(fields[4], 0, 1, &single) || !Number(fields[5], 0, 4096, &level) ||
        fields[6].isEmpty() || !Number(fields[8], 0, std::numeric_limits<qint64>::max(), &r->size))
        return false;
    r->single = single == 1;
    r->level = int(level);
    r->path = QString::fromUtf8(fields[6]);
    r->identity = QString::fromUtf8(fields[7]);
    r->head = QString::fromUtf8(fields[9]);
    return true;
}

bool WriteAll(int fd, const char* data, std::size_t size) {
    while (size) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= std::size_t(n);
    }
    return true;
}

// The whole file replaced at once, so that a crash leaves the old or the new.
int Replace(const QString& path, const QByteArray& image) {
    const QByteArray native = QFile::encodeName(path);
    const QByteArray tmp = native + ".tmp";
    const int fd = ::open(tmp.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return -1;
    if (!WriteAll(fd, image.constData(), std::size_t(image.size())) || ::fdatasync(fd) != 0 ||
        ::close(fd) != 0 || ::rename(tmp.constData(), native.constData()) != 0) {
        ::unlink(tmp.constData());
        return -1;
    }
    const int dir = ::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(),
                           O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return ::open(native.constData(), O_WRONLY | O_APPEND | O_CLOEXEC);
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

QByteArray PartialJournal::Encode(const Record& r) {
    QByteArray body(1, r.forget ? 'F' : 'P');
    std::vector<QByteArray> fields{r.user.toUtf8(), QByteArray::fromStdString(r.remoteFolder),
                                   QByteArray::fromStdString(r.fileName)};
    if (!r.forget)
        for (const QByteArray& f :
             {QByteArray::number(r.fileSize), QByteArray::number(r.single ? 1 : 0),
              QByteArray::number(r.level), r.path.toUtf8(), r.identity.toUtf8(),
              QByteArray::number(r.size), r.head.toUtf8()})
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

std::vector<PartialJournal::Record> PartialJournal::Open(const QString& path,
                                                         std::uint64_t storeNumber) {
    Close();
    m_path = path;
    QByteArray bytes;
    QFile file(path);
    if (file.open(QIODevice::ReadOnly))
        bytes = file.read(kMaxReadBytes);
    file.close();

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
    // The last record of each entry, in the order the entries first appear.
    std::vector<Record> live;
    std::map<std::string, std::size_t> index;
    for (Record& r : read) {
        const std::string key = KeyOf(r);
        const auto at = index.find(key);
        if (r.forget) {
            if (at != index.end())
                live[at->second].forget = true;
            continue;
        }
        if (at != index.end())
            live[at->second] = std::move(r);
        else
            index.emplace(key, live.size()), live.push_back(std::move(r));
    }
    std::vector<Record> out;
    Command rewrite(Command::Rewrite);
    rewrite.storeNumber = readable ? std::max(number, storeNumber) : storeNumber;
    for (Record& r : live)
        if (!r.forget) {
            rewrite.live.emplace_back(KeyOf(r), Encode(r));
            out.push_back(std::move(r));
        }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = false;
        m_failed = false;
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
            QStringLiteral("Partial record of %1 too large for the journal")
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

void PartialJournal::WaitWritten(std::uint64_t number, const std::function<bool()>& giveUp) {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (m_written < number && !m_failed && !m_stop) {
        m_changed.wait_for(lock, std::chrono::milliseconds(100));
        if (m_written < number && giveUp && giveUp())
            return;
    }
}

void PartialJournal::Run() {
    int fd = -1;
    std::uint64_t storeNumber = 0;
    // The last record of each entry written since the file started over:
    // what a rewrite keeps.
    std::map<std::string, QByteArray> live;
    qint64 liveBytes = 0, fileBytes = 0;
    const auto rewrite = [&] {
        QByteArray image = Header(storeNumber);
        for (const auto& r : live)
            image += r.second;
        if (fd >= 0)
            ::close(fd);
        fd = Replace(m_path, image);
        fileBytes = image.size();
        return fd >= 0;
    };
    for (;;) {
        std::vector<Command> batch;
        std::uint64_t last = 0;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_changed.wait(lock, [this] { return m_stop || !m_queue.empty(); });
            if (m_queue.empty())
                break;
            batch.swap(m_queue);
            last = m_queued;
        }
        bool ok = true;
        QByteArray appended;
        const auto flush = [&] {
            if (appended.isEmpty())
                return;
            ok = ok && fd >= 0 &&
                 WriteAll(fd, appended.constData(), std::size_t(appended.size())) &&
                 ::fdatasync(fd) == 0;
            fileBytes += appended.size();
            appended.clear();
        };
        for (Command& c : batch) {
            if (c.kind == Command::Append) {
                appended += c.bytes;
                auto at = live.find(c.key);
                if (at != live.end())
                    liveBytes -= at->second.size();
                if (c.forget) {
                    if (at != live.end())
                        live.erase(at);
                } else {
                    liveBytes += c.bytes.size();
                    live[c.key] = c.bytes;
                }
                continue;
            }
            flush();
            storeNumber = c.storeNumber;
            live.clear();
            liveBytes = 0;
            for (auto& r : c.live) {
                liveBytes += r.second.size();
                live[r.first] = std::move(r.second);
            }
            ok = rewrite() && ok;
        }
        flush();
        if (ok && fileBytes > std::max(kCompactBytes, 2 * liveBytes))
            ok = rewrite();
        if (!ok)
            Log(kArea, 1,
                QStringLiteral("Could not write the partials journal %1: %2")
                    .arg(m_path, QString::fromLocal8Bit(std::strerror(errno))));
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_written = last;
            m_failed = !ok;
        }
        m_changed.notify_all();
    }
    if (fd >= 0)
        ::close(fd);
}
