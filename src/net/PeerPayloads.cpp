#include "net/PeerPayloads.h"

#include <zlib.h>
#include <QHash>
#include <QtEndian>
#include <algorithm>
#include <cstring>
#include <limits>
#include <map>
#include <memory>

#include "net/PeerLimits.h"
#include "shares/SearchParser.h"
#include "store/GeneralFunctions.h"
#include "store/Log.h"

namespace {

const char* const kArea = "Peer Messenger";

// Output is produced in pieces of this size, so a stream never makes us hold
// more than its cap plus one piece.
constexpr qint64 kInflateChunk = 64 * 1024;
// A QByteArray holds at most about 2 GiB; stay well below.
constexpr qint64 kMaxOutput = qint64(1) << 30;
// zlib counts its input in uInt.
constexpr qint64 kMaxInputStep = qint64(1) << 30;

// The least bytes an entry can take on the wire, so that a count can be
// checked against the bytes left before anything is read or kept for it.
constexpr qint64 kMinFileInfoBytes = 1 + 4 + 8 + 4 + 4;  // marker, name, size, extension, pairs
constexpr qint64 kMinFolderBytes = 4 + 4;                // path, file count
constexpr qint64 kMinKeyedStringBytes = 4 + 4;           // key, str

// One zlib (RFC 1950) stream over a buffer, inflated piece by piece.
class Inflater {
public:
    Inflater(const char* data, qint64 size) : mp_next(data), m_inputLeft(size) {
        std::memset(&m_zs, 0, sizeof(m_zs));
        m_ready = size >= 0 && (size == 0 || data) && inflateInit(&m_zs) == Z_OK;
    }
    ~Inflater() {
        if (m_ready)
            inflateEnd(&m_zs);
    }
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;

    bool IsFinished() const { return m_finished; }

    // Inflates at least one byte into out (room > 0) unless the stream ends
    // first. False on a malformed stream, one that stops short of its end,
    // or bytes after its end: those are not part of any message we know, so
    // they are refused rather than guessed at.
    bool Step(char* out, qint64 room, qint64& produced) {
        produced = 0;
        if (!m_ready || m_failed || room <= 0)
            return false;
        while (produced == 0 && !m_finished) {
            if (m_zs.avail_in == 0 && m_inputLeft > 0) {
                const qint64 step = std::min(m_inputLeft, kMaxInputStep);
                m_zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(mp_next));
                m_zs.avail_in = uInt(step);
                mp_next += step;
                m_inputLeft -= step;
            }
            const qint64 chunk = std::min(room, kInflateChunk);
            m_zs.next_out = reinterpret_cast<Bytef*>(out);
            m_zs.avail_out = uInt(chunk);
            const int rc = inflate(&m_zs, Z_NO_FLUSH);
            // With room to write, Z_BUF_ERROR means the input ran out first.
            if (rc != Z_OK && rc != Z_STREAM_END) {
                m_failed = true;
                return false;
            }
            produced = chunk - qint64(m_zs.avail_out);
            if (rc == Z_STREAM_END) {
                m_finished = true;
                if (m_zs.avail_in != 0 || m_inputLeft != 0) {
                    m_failed = true;
                    return false;
                }
            }
        }
        return true;
    }

private:
    z_stream m_zs;
    const char* mp_next;
    qint64 m_inputLeft;
    bool m_ready = false;
    bool m_finished = false;
    bool m_failed = false;
};

// The size a stream inflates to, found without keeping any of it; false
// when the stream is bad or inflates beyond cap.
bool InflatedSize(const char* data, qint64 size, qint64 cap, qint64& total) {
    total = 0;
    Inflater inflater(data, size);
    const std::unique_ptr<char[]> scratch(new char[std::size_t(kInflateChunk)]);
    while (!inflater.IsFinished()) {
        qint64 produced = 0;
        if (!inflater.Step(scratch.get(), kInflateChunk, produced) || produced > cap - total)
            return false;
        total += produced;
    }
    return true;
}

// Reads a compressed payload as it inflates, through a small window. The
// stream is inflated once beforehand to learn its size, so that every count
// can still be checked against the bytes left while the payload itself is
// never held whole: the parsed result is all that grows.
class PayloadReader : public InputStream {
public:
    PayloadReader(const char* data, qint64 size)
        : m_inflater(data, size), m_data(data), m_size(size) {}

    // False when the stream is bad or inflates beyond cap.
    bool Open(qint64 cap) {
        m_window.reset(new char[std::size_t(kInflateChunk)]);
        return InflatedSize(m_data, m_size, cap, m_left);
    }

    qint64 BytesLeft() const override { return m_left; }

    bool ReadBuffer(void* data, qint64 n) override {
        if (n < 0 || n > m_left)
            return false;
        char* out = static_cast<char*>(data);
        while (n > 0) {
            if (m_begin == m_end && !Fill())
                return Fail();
            const qint64 take = std::min(n, m_end - m_begin);
            std::memcpy(out, m_window.get() + m_begin, std::size_t(take));
            out += take;
            m_begin += take;
            m_left -= take;
            n -= take;
        }
        return true;
    }

    // Peeks of up to one window (the readers peek at a 4-byte count).
    bool PeekBuffer(void* data, qint64 n) override {
        if (n < 0 || n > m_left || n > kInflateChunk)
            return false;
        if (m_end - m_begin < n) {
            std::memmove(m_window.get(), m_window.get() + m_begin, std::size_t(m_end - m_begin));
            m_end -= m_begin;
            m_begin = 0;
            while (m_end < n)
                if (!Fill())
                    return Fail();
        }
        if (n > 0)
            std::memcpy(data, m_window.get() + m_begin, std::size_t(n));
        return true;
    }

    bool CountFits(quint32 count, qint64 minEntryBytes) const {
        return qint64(count) <= m_left / minEntryBytes;
    }

private:
    // Appends to the window; the window has room whenever this is called.
    bool Fill() {
        if (m_begin == m_end)
            m_begin = m_end = 0;
        qint64 produced = 0;
        if (!m_inflater.Step(m_window.get() + m_end, kInflateChunk - m_end, produced) ||
            produced == 0)
            return false;
        m_end += produced;
        return true;
    }

    // Only when the second inflate differs from the first; nothing more reads.
    bool Fail() {
        m_left = 0;
        return false;
    }

    Inflater m_inflater;
    const char* m_data;
    qint64 m_size;
    std::unique_ptr<char[]> m_window;
    qint64 m_begin = 0;
    qint64 m_end = 0;
    qint64 m_left = 0;
};

// A FileInfo whose size is a valid qint64: a u64 above 2^63-1 is malformed.
bool ReadFile(InputStream& in, FileInfo& file) {
    return file.Read(in) && file.GetSize() >= 0;
}

bool ParseShareBody(PayloadReader& in, FileInfoMap& share, AttributeTranslationTable& table) {
    quint32 folders = 0;
    if (!in.Read(folders) || !in.CountFits(folders, kMinFolderBytes))
        return false;
    for (quint32 k = 0; k < folders; ++k) {
        std::string path;
        quint32 files = 0;
        if (!in.Read(path) || !in.Read(files) || !in.CountFits(files, kMinFileInfoBytes))
            return false;
        // A path sent twice adds to the same folder.
        std::set<FileInfo>& folder = share[path];
        for (quint32 j = 0; j < files; ++j) {
            FileInfo file;
            if (!ReadFile(in, file))
                return false;
            // Copied rather than moved: a copy's buffers fit their contents,
            // where the ones just read keep spare room, and a large share
            // list holds many of them.
            folder.insert(file);
        }
    }
    quint32 names = 0;
    if (!in.Read(names) || !in.CountFits(names, kMinKeyedStringBytes))
        return false;
    for (quint32 k = 0; k < names; ++k) {
        quint32 key = 0;
        QString name;
        if (!in.Read(key) || !in.Read(name))
            return false;
        table[key] = name;
    }
    // Bytes after the table are left for later versions of the layout.
    return true;
}

bool ParseSearchBody(PayloadReader& in, SearchResultMessage& out) {
    quint32 count = 0;
    if (!in.Read(out.user) || !in.Read(out.token) || !in.Read(count) ||
        !in.CountFits(count, kMinFileInfoBytes))
        return false;
    for (quint32 k = 0; k < count; ++k) {
        FileInfo file;
        if (!ReadFile(in, file))
            return false;
        out.files.push_back(std::move(file));
    }
    quint8 freeSlot = 0;
    if (!in.Read(freeSlot) || !in.Read(out.uploadSpeed) || !in.Read(out.queueLength))
        return false;
    out.freeSlot = freeSlot == 1;
    // Older senders end here; when the extra list is there it must read whole.
    if (in.BytesLeft() == 0)
        return true;
    quint32 extras = 0;
    if (!in.Read(extras) || !in.CountFits(extras, kMinKeyedStringBytes))
        return false;
    for (quint32 k = 0; k < extras; ++k) {
        quint32 key = 0;
        std::string ignored;
        if (!in.Read(key) || !in.Read(ignored))
            return false;
    }
    return true;
}

// Clamps a u32 count from the wire into an int.
int ToInt(quint32 value) {
    return int(std::min<quint32>(value, quint32(std::numeric_limits<int>::max())));
}

// The folder part of a full path. A bare name has no folder, where GetFolder
// would give the name back.
std::string FolderOf(const std::string& path) {
    std::string trimmed = path;
    if (!trimmed.empty() && (trimmed.back() == '\\' || trimmed.back() == '/'))
        trimmed.pop_back();
    if (trimmed.find_first_of("\\/") == std::string::npos)
        return std::string();
    return GetFolder(path);
}

// Results stored so far per search, kept beside the store so that a flood
// of small answers costs no scan of what is already there. A tally holds
// while its request and its count of answers are the ones in the store;
// otherwise it is counted afresh.
struct Tally {
    quint64 requestId = 0;
    int answers = 0;
    int total = 0;
    QHash<QString, int> perUser;
};

Tally& TallyOf(quint32 token, const ItemPtr& request) {
    static std::map<quint32, Tally> tallies;
    if (tallies.size() > 256) {
        Type* requests = d.FindType("search_request");
        for (auto it = tallies.begin(); it != tallies.end();)
            if (!requests || requests->HasItem(Value(it->first)).GetId() != it->second.requestId)
                it = tallies.erase(it);
            else
                ++it;
    }
    Tally& tally = tallies[token];
    const int answers = request.CountItems("search_results");
    if (tally.requestId != request.GetId() || tally.answers != answers) {
        tally = Tally();
        tally.requestId = request.GetId();
        tally.answers = answers;
        for (const ItemPtr& earlier : request.GetItems("search_results")) {
            const int n = earlier.CountItems("search_result");
            tally.total += n;
            tally.perUser[earlier["user"].AsString()] += n;
        }
    }
    return tally;
}

}  // namespace

bool InflateBounded(const char* data, qint64 size, qint64 cap, QByteArray& out) {
    out.clear();
    if (cap < 0)
        return false;
    const qint64 limit = std::min(cap, kMaxOutput);
    Inflater inflater(data, size);
    const std::unique_ptr<char[]> chunk(new char[std::size_t(kInflateChunk)]);
    while (!inflater.IsFinished()) {
        qint64 produced = 0;
        if (!inflater.Step(chunk.get(), kInflateChunk, produced) || produced > limit - out.size()) {
            out.clear();
            return false;
        }
        const qint64 needed = out.size() + produced;
        if (needed > out.capacity())
            out.reserve(int(std::min(limit, std::max(needed, 2 * qint64(out.capacity())))));
        out.append(chunk.get(), int(produced));
    }
    return true;
}

bool PeekSearchToken(const char* zlibData, qint64 size, quint32& token) {
    // A name longer than any set-up can carry is not a reply we read.
    constexpr qint64 kMaxHead = 4 + 64 * 1024 + 4;
    Inflater inflater(zlibData, size);
    QByteArray head;
    char chunk[4096];
    qint64 wanted = 4;
    while (head.size() < wanted) {
        qint64 produced = 0;
        if (inflater.IsFinished() ||
            !inflater.Step(chunk, std::min<qint64>(sizeof chunk, kMaxHead - head.size()), produced))
            return false;
        head.append(chunk, int(produced));
        if (wanted == 4 && head.size() >= 4) {
            const qint64 nameBytes = qFromLittleEndian<quint32>(head.constData());
            if (nameBytes > kMaxHead - 8)
                return false;
            wanted = 8 + nameBytes;
        }
    }
    token = qFromLittleEndian<quint32>(head.constData() + wanted - 4);
    return true;
}

bool DeflatePayload(const QByteArray& in, QByteArray& out, const std::atomic<bool>* stop) {
    out.clear();
    // The buffer the network's senders use; zlib's worst case never needs more.
    const qint64 capacity = 2 * qint64(in.size()) + 12;
    if (capacity > std::numeric_limits<int>::max())
        return false;
    QByteArray buffer(int(capacity), Qt::Uninitialized);
    z_stream z{};
    if (deflateInit(&z, 9) != Z_OK)
        return false;
    z.next_out = reinterpret_cast<Bytef*>(buffer.data());
    z.avail_out = uInt(capacity);
    // Fed in steps, so that a stop is seen within one step. Without a flush
    // between steps the stream is the one a single call makes.
    constexpr qint64 kStep = 256 * 1024;
    const char* next = in.constData();
    qint64 left = in.size();
    int status = Z_OK;
    while (status == Z_OK) {
        if (stop && stop->load(std::memory_order_relaxed))
            break;
        if (z.avail_in == 0 && left > 0) {
            const qint64 step = std::min(left, kStep);
            z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(next));
            z.avail_in = uInt(step);
            next += step;
            left -= step;
        }
        status = deflate(&z, left > 0 ? Z_NO_FLUSH : Z_FINISH);
    }
    const uLong length = z.total_out;
    deflateEnd(&z);
    if (status != Z_STREAM_END)
        return false;
    buffer.truncate(int(length));
    out = buffer;
    return true;
}

bool ParseSharedFileList(const char* zlibData, qint64 size, FileInfoMap& share,
                         AttributeTranslationTable& table) {
    share.clear();
    table.clear();
    PayloadReader in(zlibData, size);
    if (in.Open(PeerLimits::kMaxInflatedSize) && ParseShareBody(in, share, table))
        return true;
    share.clear();
    table.clear();
    return false;
}

bool ParseSearchResults(const char* zlibData, qint64 size, SearchResultMessage& out) {
    out = SearchResultMessage();
    PayloadReader in(zlibData, size);
    if (in.Open(PeerLimits::kMaxInflatedSize) && ParseSearchBody(in, out))
        return true;
    out = SearchResultMessage();
    return false;
}

bool ParseUserInfoReply(MemStream& payload, UserInfoReply& out) {
    out = UserInfoReply();
    const qint64 start = payload.GetReadPos();
    UserInfoReply reply;
    quint8 hasPicture = 0;
    quint32 uploadSlots = 0;
    quint32 queued = 0;
    quint8 freeSlot = 0;
    bool ok = payload.Read(reply.description) && payload.Read(hasPicture);
    if (ok && hasPicture != 0) {
        quint32 length = 0;
        // The frame cap already bounds the bytes left, and so the picture.
        ok = payload.Read(length) && qint64(length) <= payload.BytesLeft();
        if (ok) {
            reply.picture.resize(int(length));
            ok = payload.ReadBuffer(reply.picture.data(), length);
        }
    }
    ok = ok && payload.Read(uploadSlots) && payload.Read(queued) && payload.Read(freeSlot);
    if (!ok) {
        payload.SetReadPos(start);
        return false;
    }
    reply.hasPicture = hasPicture != 0;
    reply.uploadSlots = ToInt(uploadSlots);
    reply.queuedUploads = ToInt(queued);
    reply.freeSlot = freeSlot != 0;
    out = std::move(reply);
    return true;
}

bool SearchAwaitsResults(quint32 token) {
    Type* requestType = d.FindType("search_request");
    const ItemPtr request = requestType ? requestType->HasItem(Value(token)) : ItemPtr();
    return !request.IsNull() && !request.IsConnected("search_stopped");
}

ItemPtr StoreSearchResults(const QString& fromUser, const SearchResultMessage& message) {
    Type* requestType = d.FindType("search_request");
    const ItemPtr request = requestType ? requestType->HasItem(Value(message.token)) : ItemPtr();
    if (request.IsNull()) {
        Log(kArea, 2,
            QString("Search results from user %1 for unknown token %2 dropped")
                .arg(fromUser, QString::number(message.token)));
        return ItemPtr();
    }
    if (request.IsConnected("search_stopped"))
        return ItemPtr();

    // A peer may answer with millions, and any user can learn the token.
    Tally& tally = TallyOf(message.token, request);
    const int room =
        std::max(0, std::min(PeerLimits::kMaxSearchResultsPerUser - tally.perUser.value(fromUser),
                             PeerLimits::kMaxSearchResultsPerRequest - tally.total));

    SearchParser parser;
    // A text that does not parse filters by the tokens read before the fault.
    parser.SetSearchText(request.HasItem("search_request_text").AsString());
    std::vector<const FileInfo*> kept;
    std::size_t filtered = 0;
    for (const FileInfo& file : message.files) {
        if (!parser.IsMatch(ToQString(file.GetName())))
            ++filtered;
        else if (int(kept.size()) < room)
            kept.push_back(&file);
    }
    if (filtered > 0)
        Log(kArea, 2,
            QString("Filtered out %1 search results from user %2").arg(filtered).arg(fromUser));
    if (message.files.size() - filtered > kept.size())
        Log(kArea, 1,
            QString("%1 search results from user %2 over the limit dropped")
                .arg(message.files.size() - filtered - kept.size())
                .arg(fromUser));
    if (kept.empty())
        return ItemPtr();

    const ItemPtr results = d.GetType("search_results")->NewItem();
    results.Connect(d.GetType("user")->NewItem(Value(fromUser)));
    results.Connect(d.GetType("search_results_user_available")
                        ->NewItem(Value(message.freeSlot ? "yes" : "no")));
    results.Connect(
        d.GetType("search_results_uploads_in_queue")->NewItem(Value(message.queueLength)));
    results.Connect(d.GetType("search_results_user_speed")->NewItem(Value(message.uploadSpeed)));

    Type* resultType = d.GetType("search_result");
    Type* nameType = d.GetType("search_result_file_name");
    Type* folderType = d.GetType("search_result_file_folder");
    Type* sizeType = d.GetType("file_size");
    for (const FileInfo* file : kept) {
        const std::string& path = file->GetName();
        const ItemPtr result = resultType->NewItem();
        results.Connect(result);
        result.Connect(nameType->NewItem(Value(GetFileName(path))));
        result.Connect(folderType->NewItem(Value(FolderOf(path))));
        result.Connect(sizeType->NewItem(Value(file->GetSize())));
        const AttributeMap& attributes = file->GetAttributes();
        if (attributes.Has(AttributeMap::kBitrate))
            result.Connect(
                d.GetType("bitrate")->NewItem(Value(attributes.Get(AttributeMap::kBitrate))));
        if (attributes.Has(AttributeMap::kVariableBitrate))
            result.Connect(
                d.GetType("bitrate_mode")
                    ->NewItem(Value(attributes.Get(AttributeMap::kVariableBitrate) == 0 ? "cbr"
                                                                                        : "vbr")));
        if (attributes.Has(AttributeMap::kLength))
            result.Connect(
                d.GetType("length_seconds")->NewItem(Value(attributes.Get(AttributeMap::kLength))));
    }
    tally.answers += 1;
    tally.total += int(kept.size());
    tally.perUser[fromUser] += int(kept.size());
    // Linked to its request last, so that whoever watches the request finds
    // the answer complete.
    results.Connect(request);
    return results;
}
