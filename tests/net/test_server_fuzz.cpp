// Random and mutated server messages fed straight to the message handler,
// and random byte streams through the frame reader: nothing may crash or
// throw, nothing may allocate from a count it was given, and the store may
// grow only with the bytes that arrived.

#include <QtTest>
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <list>
#include <memory>
#include <new>
#include <random>
#include <vector>

#include "net/FrameReader.h"
#include "net/server.h"
#include "store/DataSaver.h"
#include "store/Settings.h"
#include "store/TimerManager.h"

#include "support/CoreServices.h"
#include "support/LargestAllocation.h"

namespace {

using Rng = std::mt19937;

// Writes a message of one code with random but well-formed fields; with
// `hugeCounts` every list count claims far more entries than follow.
class Builder {
public:
    Builder(Rng& rng, bool hugeCounts) : m_rng(rng), m_huge(hugeCounts) {}

    int Below(int n) { return int(m_rng() % unsigned(n)); }

    void Str() {
        // Few distinct names, so that the same users and rooms come back.
        static const char* const kWords[] = {
            "", "bob", "carl", "den", "hall", "a b", "\xc3\xa9t\xc3\xa9", "\xff\xfe", "x\r\ny"};
        if (Below(8) == 0) {
            std::string s(std::size_t(Below(40)), 'a');
            for (char& c : s)
                c = char(m_rng());
            m.Write(s);
        } else {
            m.Write(kWords[Below(int(sizeof(kWords) / sizeof(kWords[0])))]);
        }
    }
    void U8(int below = 256) { m.Write(quint8(Below(below))); }
    void U32() {
        static const quint32 kEdges[] = {0, 1, 2, 3, 65535, 65536, 0x7FFFFFFF, 0xFFFFFFFF};
        m.Write(Below(3) == 0 ? kEdges[Below(8)] : quint32(m_rng()));
    }
    void Status() { m.Write(quint32(Below(4) == 0 ? Below(6) : Below(3))); }
    void Port() { m.Write(quint32(Below(5) == 0 ? 65536 + Below(1000) : Below(65536))); }
    void Stats() {
        UserStats s{quint32(m_rng()), quint64(m_rng()), quint32(m_rng()), quint32(m_rng())};
        s.Write(m);
    }
    void List(const std::function<void()>& entry) {
        const int n = Below(6);
        m.Write(m_huge ? quint32(0xFFFFFFFF - quint32(Below(3))) : quint32(n));
        for (int k = 0; k < n; ++k)
            entry();
    }
    void Raw(int n) {
        for (int k = 0; k < n; ++k)
            m.Write(quint8(m_rng()));
    }

    MemStream m;

private:
    Rng& m_rng;
    bool m_huge;
};

// The server-to-client layout of every code of the protocol.
void BuildPayload(quint32 code, Builder& b) {
    switch (code) {
        case 1:
            b.U8(2);
            b.Str();
            break;
        case 3:
            b.Str();
            b.U32();
            b.Port();
            b.Port();
            break;
        case 5:
            b.Str();
            b.U8(3);
            b.Status();
            b.Stats();
            b.Str();
            break;
        case 7:
            b.Str();
            b.Status();
            break;
        case 13:
        case 114:
            b.Str();
            b.Str();
            b.Str();
            break;
        case 14:
            b.Str();
            b.List([&] {
                b.Str();
                b.Status();
                b.Stats();
                b.Str();
            });
            b.Str();
            b.List([&] { b.Str(); });
            break;
        case 15:
        case 66:
        case 91:
            b.Str();
            break;
        case 16:
            b.Str();
            b.Str();
            b.Status();
            b.Stats();
            b.Str();
            break;
        case 17:
        case 134:
        case 135:
        case 143:
        case 144:
            b.Str();
            b.Str();
            break;
        case 18:
            b.Str();
            b.Str();
            b.U32();
            b.Port();
            b.U32();
            break;
        case 22:
            b.Str();
            b.U32();
            b.U8(2);
            b.Str();
            break;
        case 26:
            b.Str();
            b.U32();
            b.Str();
            break;
        case 36:
            b.Str();
            b.Stats();
            break;
        case 64:
            b.List([&] {
                b.Str();
                b.U32();
            });
            break;
        case 69:
            b.List([&] { b.Str(); });
            break;
        case 83:
        case 84:
        case 104:
        case 128:
            b.U32();
            break;
        case 92:
            b.U32();
            b.U8(2);
            break;
        case 93:
            b.U8(8);
            b.Raw(b.Below(40));
            break;
        case 102:
            b.List([&] {
                b.Str();
                b.U32();
                b.Port();
            });
            break;
        case 113:
            b.Str();
            b.List([&] {
                b.Str();
                b.Str();
            });
            break;
        case 130:
            break;
        case 133:
            b.List([&] {
                b.Str();
                b.U8(b.Below(4) == 0 ? 256 : 4);
            });
            break;
        case 141:
            b.U8(2);
            break;
        case 153:
            b.Str();
            b.List([&] {
                b.Str();
                b.U32();
            });
            break;
        case 1001:
            b.U32();
            b.Str();
            break;
        default:
            b.Raw(b.Below(64));
            break;
    }
}

const quint32 kCodes[] = {1,   3,   5,   7,   13,  14,  15,  16,  17,   18,  22,  26,  36,
                          64,  66,  69,  83,  84,  91,  92,  93,  102,  104, 113, 114, 128,
                          130, 133, 134, 135, 141, 143, 144, 153, 1001, 2,   999};

QByteArray Mutate(Rng& rng, QByteArray bytes) {
    switch (rng() % 6) {
        case 0:  // as built
            break;
        case 1:  // cut short
            bytes.truncate(bytes.isEmpty() ? 0 : int(rng() % unsigned(bytes.size())));
            break;
        case 2:  // a few bytes changed
            for (int k = 0, n = 1 + int(rng() % 4); k < n && !bytes.isEmpty(); ++k)
                bytes[int(rng() % unsigned(bytes.size()))] = char(rng());
            break;
        case 3:  // a string count made huge
            if (bytes.size() >= 4) {
                const int at = int(rng() % unsigned(bytes.size() - 3));
                bytes[at] = char(0xF0);
                bytes[at + 1] = char(0xFF);
                bytes[at + 2] = char(0xFF);
                bytes[at + 3] = char(0x7F);
            }
            break;
        case 4:  // bytes left over
            for (int k = 0, n = int(rng() % 16); k < n; ++k)
                bytes.append(char(rng()));
            break;
        default:  // noise
            bytes.resize(int(rng() % 64));
            for (char& c : bytes)
                c = char(rng());
            break;
    }
    return bytes;
}

QByteArray Frame(quint32 code, const QByteArray& payload) {
    MemStream m;
    m.Write(quint32(payload.size() + 4));
    m.Write(code);
    m.WriteBuffer(payload.constData(), payload.size());
    return m.GetWrittenBytes();
}

}  // namespace

class TestServerFuzz : public QObject, CoreServices {
    Q_OBJECT

private:
    void Setup(bool peerTypes) {
        StartCore(false);
        if (peerTypes) {
            Type* user = d.GetType("user");
            Type* request = d.NewType("search_request", PrimacyIntermediate, false, true);
            Type* text = d.NewType("search_request_text", PrimacyRoot, false, true);
            d.NewType("wishlist_search", PrimacyLeaf, true, false);
            d.NewType("search_correlation", PrimacyIntermediate, true, false);
            text->RelateToType(request, One, Many, false);
            user->RelateToType(d.NewType("user_address", PrimacyLeaf, false, true), Many, One,
                               false);
            user->RelateToType(d.NewType("user_port", PrimacyLeaf, false, true), Many, One, false);
        }
        // Receivers that touch what the reference signals pass.
        connect(server.get(), &Server::DNetMessage, this, [this](MemStream& message) {
            quint8 code = 0;
            message.Read(code);
            m_sink += int(code) + int(message.BytesLeft());
        });
        connect(server.get(), &Server::DNetPossibleParents, this,
                [this](std::list<std::pair<QString, TCPAddress>>& parents) {
                    for (const auto& p : parents)
                        m_sink += int(p.second.port) + p.first.size();
                });
    }

    void Teardown() { StopCore(); }

    int m_sink = 0;
    int m_count = 0;

    static int FlaggedCount(const char* flag) {
        int n = 0;
        for (const ItemPtr& f : d.GetType(flag)->GetItems())
            n += f.CountItems("room");
        return n;
    }

public slots:
    void Count() { ++m_count; }

private slots:
    void mutatedMessagesToTheHandler() {
        for (bool peerTypes : {false, true}) {
            Setup(peerTypes);
            Rng rng(peerTypes ? 20240601u : 7u);
            qint64 bytesFed = 0;
            const std::size_t itemsBefore = d.ItemCount();
#ifndef TAVENOOK_ASAN
            g_largestAllocation = 0;
#endif
            int emitted = 0;
            for (const char* signal :
                 {SIGNAL(RoomChat(QString, QString, QString)), SIGNAL(AdminMessage(QString)),
                  SIGNAL(AddUserResponse(QString, bool)), SIGNAL(SearchCorrelations(QString)),
                  SIGNAL(ConnectToPeerRequested(QString, QString, quint32, quint16, quint32))})
                connect(server.get(), signal, this, SLOT(Count()));
            m_count = 0;
            for (int iteration = 0; iteration < 50000; ++iteration) {
                const quint32 code = kCodes[rng() % (sizeof(kCodes) / sizeof(kCodes[0]))];
                Builder b(rng, rng() % 5 == 0);
                BuildPayload(code, b);
                const QByteArray bytes = Mutate(rng, b.m.GetWrittenBytes());
                bytesFed += bytes.size();
                if (rng() % 4 == 0)
                    SetSettingYes("accept_room_list", true);
                MemStream payload(bytes);
#ifndef TAVENOOK_ASAN
                g_tracking = true;
#endif
                server->HandleMessage(code, payload);
#ifndef TAVENOOK_ASAN
                g_tracking = false;
#endif
            }
            emitted = m_count;
            // The well-formed share of the input did take effect.
            QVERIFY(emitted > 1000);
            QVERIFY(FlaggedCount("in_room") > 0);
            QVERIFY(d.GetType("room_ticker")->ItemCount() > 0);
            if (peerTypes)
                QVERIFY(d.GetType("search_correlation")->ItemCount() > 0);
            // Every item stands for bytes that arrived.
            QVERIFY(qint64(d.ItemCount() - itemsBefore) <= bytesFed);
#ifndef TAVENOOK_ASAN
            // Payloads here are a few hundred bytes; nothing may size itself
            // from a claimed count.
            QVERIFY2(g_largestAllocation.load() < std::size_t(1) << 20,
                     qPrintable(QString::number(g_largestAllocation.load())));
#endif
            // Whatever it went through, the handler still works.
            QSignalSpy admin(server.get(), &Server::AdminMessage);
            MemStream ok;
            ok.Write(QString("still here"));
            server->HandleMessage(SM_ADMIN_MESSAGE, ok);
            QCOMPARE(admin.count(), 1);
            Teardown();
        }
    }

    void largeCountsAndLongPayloads() {
        Setup(true);
        // Lists that claim every entry a u32 can count, with long real tails.
        for (quint32 code : {14u, 64u, 69u, 102u, 113u, 133u, 153u}) {
            MemStream m;
            if (code == 14 || code == 113 || code == 153)
                m.Write(QString("den"));
            m.Write(quint32(0xFFFFFFFF));
            for (int k = 0; k < 20000; ++k)
                m.Write(QString("u%1").arg(k % 50));
            SetSettingYes("accept_room_list", true);
#ifndef TAVENOOK_ASAN
            g_largestAllocation = 0;
            g_tracking = true;
#endif
            server->HandleMessage(code, m);
#ifndef TAVENOOK_ASAN
            g_tracking = false;
            QVERIFY(g_largestAllocation.load() < std::size_t(8) << 20);
#endif
        }
        // A string just over the limit and one at it.
        MemStream over;
        over.Write(quint32(InputStream::kMaxStringLength + 1));
        over.WriteBuffer(std::string(InputStream::kMaxStringLength + 1, 'a').data(),
                         InputStream::kMaxStringLength + 1);
        QSignalSpy admin(server.get(), &Server::AdminMessage);
        server->HandleMessage(SM_ADMIN_MESSAGE, over);
        QCOMPARE(admin.count(), 0);
        MemStream at;
        at.Write(QString(int(InputStream::kMaxStringLength), 'a'));
        server->HandleMessage(SM_ADMIN_MESSAGE, at);
        QCOMPARE(admin.count(), 1);
        Teardown();
    }

    void frameReaderKeepsFramesWhole() {
        Rng rng(99);
        for (int round = 0; round < 300; ++round) {
            // Valid frames, cut at random places.
            std::vector<std::pair<quint32, QByteArray>> sent;
            QByteArray stream;
            for (int k = 0, n = 1 + int(rng() % 8); k < n; ++k) {
                QByteArray payload(int(rng() % (rng() % 8 == 0 ? 70000 : 40)), '\0');
                for (char& c : payload)
                    c = char(rng());
                const quint32 code = quint32(rng());
                sent.emplace_back(code, payload);
                stream += Frame(code, payload);
            }
            FrameReader reader(100000);
            std::vector<std::pair<quint32, QByteArray>> got;
            int at = 0;
            while (at < stream.size()) {
                const int n = std::min(stream.size() - at, 1 + int(rng() % 3000));
                reader.Feed(stream.constData() + at, n);
                at += n;
                quint32 code = 0;
                MemStream payload;
                FrameReader::Result r;
                while ((r = reader.Next(code, payload)) == FrameReader::Frame) {
                    QCOMPARE(payload.GetReadPos(), qint64(0));
                    got.emplace_back(code, payload.GetWrittenBytes());
                }
                QCOMPARE(r, FrameReader::NeedMore);
            }
            QCOMPARE(reader.BufferedBytes(), qint64(0));
            QVERIFY(got == sent);
        }
    }

    void frameReaderOnNoise() {
        Rng rng(4242);
        const quint32 cap = 65536;
        const int chunk = 4096;
        int errors = 0;
        for (int round = 0; round < 2000; ++round) {
            FrameReader reader(cap);
            for (int feeds = 0; feeds < 40; ++feeds) {
                QByteArray bytes(1 + int(rng() % chunk), '\0');
                for (char& c : bytes)
                    c = char(rng());
                // Sometimes a plausible length, so that frames do come out.
                if (rng() % 3 == 0 && bytes.size() >= 4) {
                    const quint32 length = 4 + rng() % 64;
                    memcpy(bytes.data(), &length, 4);
                }
                reader.Feed(bytes);
                quint32 code = 0;
                MemStream payload;
                FrameReader::Result r;
                while ((r = reader.Next(code, payload)) == FrameReader::Frame) {
                    QVERIFY(payload.BytesLeft() <= qint64(cap) - 4);
                }
                // Never more than one frame and one feed held.
                QVERIFY(reader.BufferedBytes() <= qint64(cap) + 4 + chunk);
                if (r == FrameReader::Error) {
                    ++errors;
                    QVERIFY(reader.HasError());
                    QCOMPARE(reader.BufferedBytes(), qint64(0));
                    // Broken for good until cleared.
                    reader.Feed(Frame(1, QByteArray("x")));
                    QCOMPARE(reader.Next(code, payload), FrameReader::Error);
                    break;
                }
            }
        }
        QVERIFY(errors > 0);

        // The bounds themselves.
        for (quint32 length : {0u, 1u, 3u, cap + 1, 0xFFFFFFFFu}) {
            FrameReader reader(cap);
            QByteArray bytes(4, '\0');
            memcpy(bytes.data(), &length, 4);
            reader.Feed(bytes);
            quint32 code = 0;
            MemStream payload;
            QCOMPARE(reader.Next(code, payload), FrameReader::Error);
        }
        FrameReader reader(cap);
        reader.Feed(Frame(7, QByteArray(int(cap) - 4, 'z')));
        quint32 code = 0;
        MemStream payload;
        QCOMPARE(reader.Next(code, payload), FrameReader::Frame);
        QCOMPARE(code, 7u);
        QCOMPARE(payload.BytesLeft(), qint64(cap) - 4);
        reader.Feed(Frame(8, QByteArray()));
        QCOMPARE(reader.Next(code, payload), FrameReader::Frame);
        QCOMPARE(code, 8u);
        QCOMPARE(payload.BytesLeft(), qint64(0));
    }
};

QTEST_GUILESS_MAIN(TestServerFuzz)
#include "test_server_fuzz.moc"
