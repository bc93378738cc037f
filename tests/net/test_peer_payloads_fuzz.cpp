// Random and mutated peer payloads fed to every parser: raw bytes and broken
// zlib streams for the inflate step, and mutated bodies compressed again so
// that the structure checks behind it are reached. Nothing may crash, nothing
// may be sized from a count, a failed parse leaves its outputs empty, and what
// parses once parses again the same after being written back.

#include <QElapsedTimer>
#include <QtTest>
#include <random>

#include "net/PeerPayloads.h"
#include "net/PeerTypes.h"
#include "net/server.h"
#include "store/Settings.h"

#include "support/LargestAllocation.h"
#include "support/Payload.h"

namespace {

using Rng = std::mt19937;

// Strings up to the stream cap, a handful of counts, and the inflated body
// itself (not tracked: QByteArray allocates with malloc) are the largest
// things a parser may hold; nothing may come near a count read from the input.
constexpr std::size_t kAllocationBound = 1024 * 1024;
constexpr qint64 kTimeBudgetMs = 8000;

int Below(Rng& rng, int n) {
    return int(rng() % unsigned(n));
}

std::string RandomText(Rng& rng) {
    static const char* const kWords[] = {
        "Music\\A\\song.mp3", "song",         "a",  "", "x\\y\\", "Caf\xe9",
        "\xc3\xa9t\xc3\xa9",  "dir/file.ogg", "mp3"};
    if (Below(rng, 6) == 0) {
        std::string s(std::size_t(Below(rng, 30)), ' ');
        for (char& c : s)
            c = char(rng());
        return s;
    }
    return kWords[Below(rng, int(sizeof(kWords) / sizeof(kWords[0])))];
}

quint32 RandomCount(Rng& rng, int usual) {
    static const quint32 kEdges[] = {0, 1, 2, 255, 65536, 0x7FFFFFFF, 0xFFFFFFFF};
    return Below(rng, 10) == 0 ? kEdges[Below(rng, 7)] : quint32(Below(rng, usual));
}

FileInfo RandomFile(Rng& rng) {
    AttributeMap attributes(Below(rng, 3) ? "mp3" : "");
    const int pairs = Below(rng, 4);
    for (int k = 0; k < pairs; ++k)
        attributes.Append(quint32(Below(rng, 4)), quint32(rng()));
    const qint64 size =
        Below(rng, 8) == 0 ? std::numeric_limits<qint64>::max() : Below(rng, 1 << 20);
    return FileInfo(RandomText(rng), size, attributes);
}

void WriteFile(MemStream& m, Rng& rng) {
    RandomFile(rng).Write(m);
}

QByteArray ShareBody(Rng& rng) {
    MemStream m;
    const int folders = Below(rng, 5);
    m.Write(quint32(folders));
    for (int k = 0; k < folders; ++k) {
        m.Write(RandomText(rng));
        const int files = Below(rng, 5);
        m.Write(quint32(files));
        for (int j = 0; j < files; ++j)
            WriteFile(m, rng);
    }
    const int names = Below(rng, 4);
    m.Write(quint32(names));
    for (int k = 0; k < names; ++k) {
        m.Write(quint32(Below(rng, 4)));
        m.Write(RandomText(rng));
    }
    return m.GetWrittenBytes();
}

QByteArray SearchBody(Rng& rng) {
    MemStream m;
    m.Write(RandomText(rng));
    m.Write(quint32(Below(rng, 4)));  // tokens 0..3, some of which have requests
    const int files = Below(rng, 6);
    m.Write(quint32(files));
    for (int k = 0; k < files; ++k)
        WriteFile(m, rng);
    m.Write(quint8(Below(rng, 3)));
    m.Write(quint32(rng()));
    m.Write(quint32(rng()));
    if (Below(rng, 3)) {
        const int extras = Below(rng, 3);
        m.Write(quint32(extras));
        for (int k = 0; k < extras; ++k) {
            m.Write(quint32(rng()));
            m.Write(RandomText(rng));
        }
    }
    return m.GetWrittenBytes();
}

QByteArray UserInfoBody(Rng& rng) {
    MemStream m;
    m.Write(RandomText(rng));
    const bool picture = Below(rng, 2);
    m.Write(quint8(picture ? 1 + Below(rng, 255) : 0));
    if (picture) {
        const QByteArray bytes(Below(rng, 64), 'p');
        m.Write(quint32(bytes.size()));
        m.WriteBuffer(bytes.constData(), bytes.size());
    }
    m.Write(quint32(rng()));
    m.Write(quint32(rng()));
    m.Write(quint8(rng()));
    return m.GetWrittenBytes();
}

QByteArray RandomBytes(Rng& rng, int maxLength) {
    QByteArray bytes(Below(rng, maxLength + 1), '\0');
    for (char& c : bytes)
        c = char(rng());
    return bytes;
}

// One to four edits: flipped bytes, counts overwritten with edge values, cuts,
// insertions and duplicated runs.
QByteArray Mutate(QByteArray bytes, Rng& rng) {
    const int edits = 1 + Below(rng, 4);
    for (int e = 0; e < edits; ++e) {
        const int size = bytes.size();
        switch (Below(rng, 6)) {
            case 0:
                if (size > 0)
                    bytes[Below(rng, size)] = char(rng());
                break;
            case 1:
                if (size >= 4) {
                    const int at = Below(rng, size - 3);
                    qToLittleEndian<quint32>(RandomCount(rng, 50), bytes.data() + at);
                }
                break;
            case 2:
                bytes.truncate(Below(rng, size + 1));
                break;
            case 3:
                bytes.insert(Below(rng, size + 1), RandomBytes(rng, 8));
                break;
            case 4:
                if (size > 0) {
                    const int at = Below(rng, size);
                    bytes.remove(at, 1 + Below(rng, qMin(8, size - at)));
                }
                break;
            default:
                if (size > 0) {
                    const int at = Below(rng, size);
                    const int n = 1 + Below(rng, qMin(16, size - at));
                    bytes.insert(Below(rng, size + 1), bytes.mid(at, n));
                }
                break;
        }
    }
    return bytes;
}

// Writes a parsed share list back as a body.
QByteArray ShareBody(const FileInfoMap& share, const AttributeTranslationTable& table) {
    MemStream m;
    m.Write(quint32(share.size()));
    for (const auto& folder : share) {
        m.Write(folder.first);
        m.Write(quint32(folder.second.size()));
        for (const FileInfo& f : folder.second)
            f.Write(m);
    }
    m.Write(quint32(table.size()));
    for (const auto& entry : table) {
        m.Write(entry.first);
        m.Write(entry.second);
    }
    return m.GetWrittenBytes();
}

QByteArray SearchBody(const SearchResultMessage& r) {
    MemStream m;
    m.Write(r.user);
    m.Write(r.token);
    m.Write(quint32(r.files.size()));
    for (const FileInfo& f : r.files)
        f.Write(m);
    m.Write(quint8(r.freeSlot ? 1 : 0));
    m.Write(r.uploadSpeed);
    m.Write(r.queueLength);
    return m.GetWrittenBytes();
}

bool SameFiles(const std::vector<FileInfo>& a, const std::vector<FileInfo>& b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t k = 0; k < a.size(); ++k)
        if (a[k] != b[k] || a[k].GetAttributes() != b[k].GetAttributes())
            return false;
    return true;
}

// Picks an input for a compressed parser: raw noise, a mutated stream, a
// mutated body compressed again, or the body as built.
QByteArray CompressedInput(Rng& rng, const QByteArray& body) {
    switch (Below(rng, 6)) {
        case 0:
            return RandomBytes(rng, 200);
        case 1:
            return Mutate(Compress(body), rng);
        case 2:
            return Compress(body);
        default:
            return Compress(Mutate(body, rng));
    }
}

}  // namespace

class TestPeerPayloadsFuzz : public QObject {
    Q_OBJECT

private slots:
    void init() {
        d.Reset();
        DeclareSettingsTypes(nullptr);
        Server::CreateData();
        DeclarePeerTypes(nullptr);
    }

    void cleanup() { d.Reset(); }

    void fuzzEveryParser() {
        Rng rng(20240611);
        // Requests for some tokens, one stopped, so that stored answers are
        // reached as well.
        for (quint32 token : {1u, 2u}) {
            const ItemPtr request = d.GetType("search_request")->NewItem(Value(token));
            request.Connect(
                d.GetType("search_request_text")->NewItem(Value(token == 1 ? "a" : "")));
        }
        d.GetType("search_request")->NewItem(Value(3)).NewItem("search_stopped");
        d.GetType("search_request")
            ->HasItem(Value(3))
            .Connect(d.GetType("search_request_text")->NewItem(Value("mp3")));

        int parsedShares = 0, parsedSearches = 0, parsedInfos = 0, stored = 0;
        QElapsedTimer timer;
        timer.start();
        const int kRounds = 8000;
        int round = 0;
        for (; round < kRounds && timer.elapsed() < kTimeBudgetMs; ++round) {
#ifndef TAVENOOK_ASAN
            g_largestAllocation = 0;
            g_tracking = true;
#endif
            // Share list.
            {
                const QByteArray in = CompressedInput(rng, ShareBody(rng));
                FileInfoMap share{{"stale", {}}};
                AttributeTranslationTable table{{1, "stale"}};
                if (ParseSharedFileList(in.constData(), in.size(), share, table)) {
                    ++parsedShares;
                    const QByteArray again = Compress(ShareBody(share, table));
                    FileInfoMap share2;
                    AttributeTranslationTable table2;
                    QVERIFY(ParseSharedFileList(again.constData(), again.size(), share2, table2));
                    QVERIFY(share2 == share);
                    QVERIFY(table2 == table);
                } else {
                    QVERIFY(share.empty() && table.empty());
                }
            }
            // Search results, and their storage.
            {
                const QByteArray in = CompressedInput(rng, SearchBody(rng));
                SearchResultMessage m;
                m.user = "stale";
                if (ParseSearchResults(in.constData(), in.size(), m)) {
                    ++parsedSearches;
                    const QByteArray again = Compress(SearchBody(m));
                    SearchResultMessage m2;
                    QVERIFY(ParseSearchResults(again.constData(), again.size(), m2));
                    QCOMPARE(m2.user, m.user);
                    QCOMPARE(m2.token, m.token);
                    QVERIFY(SameFiles(m2.files, m.files));
                    QCOMPARE(m2.freeSlot, m.freeSlot);
                    QCOMPARE(m2.uploadSpeed, m.uploadSpeed);
                    QCOMPARE(m2.queueLength, m.queueLength);
                    const ItemPtr results = StoreSearchResults("peer", m);
                    if (!results.IsNull()) {
                        ++stored;
                        QVERIFY(m.token == 1 || m.token == 2);
                        QVERIFY(results.CountItems("search_result") >= 1);
                        QVERIFY(results.CountItems("search_result") <= int(m.files.size()));
                        // Answers go again, so that the store stays small.
                        results.Remove();
                    }
                } else {
                    QVERIFY(m.user.isEmpty() && m.files.empty() && m.token == 0);
                }
            }
            // User info, raw from a message buffer at any read position.
            {
                const QByteArray body =
                    Below(rng, 4) == 0 ? RandomBytes(rng, 60) : Mutate(UserInfoBody(rng), rng);
                MemStream s(body);
                const qint64 start = Below(rng, 3) == 0 ? Below(rng, body.size() + 1) : 0;
                QVERIFY(s.SetReadPos(start));
                UserInfoReply r;
                r.description = "stale";
                if (ParseUserInfoReply(s, r)) {
                    ++parsedInfos;
                    QVERIFY(r.hasPicture || r.picture.isEmpty());
                    QVERIFY(r.uploadSlots >= 0 && r.queuedUploads >= 0);
                } else {
                    QVERIFY(r.description.isEmpty() && r.picture.isEmpty());
                    QCOMPARE(s.GetReadPos(), start);
                }
            }
            // Inflate with caps around the true size.
            {
                const QByteArray body = RandomBytes(rng, 3000);
                const QByteArray z = Compress(body);
                const qint64 cap = qMax(0, body.size() + Below(rng, 5) - 2);
                QByteArray out;
                const bool ok = InflateBounded(z.constData(), z.size(), cap, out);
                QCOMPARE(ok, cap >= body.size());
                QCOMPARE(out, ok ? body : QByteArray());
            }
#ifndef TAVENOOK_ASAN
            g_tracking = false;
            QVERIFY2(g_largestAllocation < kAllocationBound,
                     qPrintable(QString("round %1 allocated %2 bytes")
                                    .arg(round)
                                    .arg(g_largestAllocation.load())));
#endif
            if (round % 500 == 0)
                d.RemoveDisconnectedItems();
        }
        d.RemoveDisconnectedItems();
        qInfo("%d rounds: %d share lists, %d search answers (%d stored), %d user infos parsed",
              round, parsedShares, parsedSearches, stored, parsedInfos);
        // The generators must reach past the inflate step and the checks.
        QVERIFY(parsedShares > round / 20);
        QVERIFY(parsedSearches > round / 20);
        QVERIFY(stored > 0);
        QVERIFY(parsedInfos > round / 20);
        // Nothing of the answers is left once they are gone.
        QCOMPARE(d.GetType("search_result")->ItemCount(), 0);
    }
};

QTEST_GUILESS_MAIN(TestPeerPayloadsFuzz)
#include "test_peer_payloads_fuzz.moc"
