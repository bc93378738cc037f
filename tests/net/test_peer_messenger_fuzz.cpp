// Random and mutated peer messages fed straight to the dispatcher, random
// streams through the obfuscation decoder, and random and mutated byte
// streams through real connections (set-up and framing, plain and
// obfuscated). Nothing may crash, hang, or allocate from a count it was given.

#include <zlib.h>
#include <QElapsedTimer>
#include <QTcpSocket>
#include <QtEndian>
#include <QtTest>
#include <memory>
#include <random>
#include <vector>

#include "net/Obfuscation.h"
#include "net/PeerLimits.h"
#include "net/PeerMessenger.h"
#include "net/server.h"
#include "store/DataSaver.h"
#include "store/Settings.h"
#include "store/TimerManager.h"
#include "support/CoreServices.h"
#include "support/Payload.h"
#include "support/RawPeer.h"

#include "support/LargestAllocation.h"

namespace {

using Rng = std::mt19937;

const quint32 kCodes[] = {4, 5, 9, 15, 16, 36, 37, 40, 41, 43, 44, 46, 49, 50, 51, 60};

// Well-formed fields with random values; `huge` makes counts and lengths
// claim far more than follows.
class Builder {
public:
    Builder(Rng& rng, bool huge) : m_rng(rng), m_huge(huge) {}

    int Below(int n) { return int(m_rng() % unsigned(n)); }

    void U8() { m.Write(quint8(Below(4) == 0 ? m_rng() : unsigned(Below(2)))); }
    void U32() {
        static const quint32 kEdges[] = {0, 1, 2, 3, 4096, 0x7FFFFFFF, 0xFFFFFFFF};
        m.Write(Below(3) == 0 ? kEdges[Below(7)] : quint32(Below(1000)));
    }
    void Count() {
        m.Write(quint32(m_huge ? 0xFFFFFF00u + unsigned(Below(255)) : unsigned(Below(4))));
    }
    void I64() {
        static const qint64 kEdges[] = {0, -1, 1, 0x7FFFFFFFFFFFFFFFll,
                                        qint64(0x8000000000000000ull)};
        m.Write(Below(3) == 0 ? kEdges[Below(5)] : qint64(m_rng()));
    }
    void Str() {
        static const char* const kWords[] = {"",         "a",        "song",   "a\\b\\c.mp3",
                                             "\xc3\xa9", "\xff\xfe", "music\\"};
        if (m_huge && Below(3) == 0) {
            m.Write(quint32(0x7FFFFFF0));
            return;
        }
        if (Below(6) == 0) {
            std::string s(std::size_t(Below(60)), 'x');
            for (char& c : s)
                c = char(m_rng());
            m.Write(s);
        } else {
            m.Write(kWords[Below(7)]);
        }
    }
    void File() {
        m.Write(quint8(1));
        Str();
        m.Write(quint64(Below(4) == 0 ? quint64(m_rng()) << 33 : quint64(Below(100000))));
        Str();
        const int n = Below(4);
        m.Write(quint32(m_huge ? 0x10000000u : unsigned(n)));
        for (int k = 0; k < n; ++k) {
            m.Write(quint32(Below(4)));
            m.Write(quint32(m_rng()));
        }
    }

    QByteArray Body(quint32 code, const std::vector<quint32>& tokens) {
        switch (code) {
            case 5: {
                const int folders = Below(4);
                m.Write(quint32(m_huge ? 0x40000000u : unsigned(folders)));
                for (int f = 0; f < folders; ++f) {
                    Str();
                    const int files = Below(4);
                    m.Write(quint32(files));
                    for (int k = 0; k < files; ++k)
                        File();
                }
                Count();
                for (int k = 0; k < 2; ++k) {
                    U32();
                    Str();
                }
                return Compress(m.GetWrittenBytes());
            }
            case 9: {
                Str();
                m.Write(tokens.empty() || Below(4) == 0
                            ? quint32(m_rng())
                            : tokens[std::size_t(Below(int(tokens.size())))]);
                const int files = Below(5);
                m.Write(quint32(m_huge ? 0x20000000u : unsigned(files)));
                for (int k = 0; k < files; ++k)
                    File();
                U8();
                U32();
                U32();
                Count();
                return Compress(m.GetWrittenBytes());
            }
            case 16: {
                Str();
                const bool picture = Below(2) == 0;
                m.Write(quint8(picture ? 1 : 0));
                if (picture) {
                    const int n = Below(40);
                    m.Write(quint32(m_huge ? 0x7FFFFFFFu : unsigned(n)));
                    for (int k = 0; k < n; ++k)
                        m.Write(quint8(m_rng()));
                }
                U32();
                U32();
                U8();
                break;
            }
            case 36:
                U32();
                Str();
                break;
            case 37:
                return Compress(QByteArray(Below(100), 'q'));
            case 40:
                U32();
                U32();
                Str();
                if (Below(3))
                    I64();
                break;
            case 41:
                U32();
                U8();
                if (Below(2))
                    I64();
                else
                    Str();
                break;
            case 43:
            case 46:
            case 51:
                Str();
                break;
            case 44:
                Str();
                U32();
                break;
            case 49:
                Str();
                U32();
                Str();
                break;
            case 50:
                Str();
                Str();
                break;
            case 60:
                Str();
                I64();
                break;
            default:
                break;
        }
        return m.GetWrittenBytes();
    }

private:
    Rng& m_rng;
    bool m_huge;
    MemStream m;
};

void Mutate(Rng& rng, QByteArray& bytes) {
    const int edits = 1 + int(rng() % 4);
    for (int e = 0; e < edits; ++e) {
        switch (rng() % 5) {
            case 0:
                if (!bytes.isEmpty())
                    bytes[int(rng() % unsigned(bytes.size()))] = char(rng());
                break;
            case 1:
                if (!bytes.isEmpty())
                    bytes.truncate(int(rng() % unsigned(bytes.size())));
                break;
            case 2:
                bytes.insert(bytes.isEmpty() ? 0 : int(rng() % unsigned(bytes.size())),
                             char(rng()));
                break;
            case 3:
                for (int k = int(rng() % 16); k > 0; --k)
                    bytes.append(char(rng()));
                break;
            default:
                if (bytes.size() >= 4) {
                    const int at = int(rng() % unsigned(bytes.size() - 3));
                    qToLittleEndian<quint32>(quint32(rng()), bytes.data() + at);
                }
                break;
        }
    }
}

QByteArray RandomBytes(Rng& rng, int n) {
    QByteArray bytes(n, '\0');
    for (char& c : bytes)
        c = char(rng());
    return bytes;
}

}  // namespace

class TestPeerMessengerFuzz : public QObject, private CoreServices {
    Q_OBJECT

private:
    int handedOver = 0;
    qint64 pictureSum = 0;
    int emitted = 0;

private slots:
    void init() {
        StartCore();
        SetSetting("username", "alice");
        SetSetting("listening_port", 0);
        SetSetting("obfuscated_listening_port", 0);
        messenger->SetListenAddress(QHostAddress::LocalHost);
        messenger->DataLoaded();
        QVERIFY(messenger->ListeningPort() != 0);

        // Receivers that touch what they are given, so that the sanitizers see it.
        handedOver = 0;
        auto take = [this](QString, QTcpSocket* s) {
            ++handedOver;
            s->deleteLater();
        };
        connect(messenger.get(), &PeerMessenger::FileConnectionAccepted, this, take);
        connect(messenger.get(), &PeerMessenger::DNetConnectionAccepted, this, take);
        connect(messenger.get(), &PeerMessenger::DNetConnectionRequested, this, take);
        connect(messenger.get(), &PeerMessenger::FileConnectionRequested, this,
                [this](QString, QTcpSocket* s, uint) {
                    ++handedOver;
                    s->deleteLater();
                });
        for (auto signal :
             {&PeerMessenger::UserInfoRequested, &PeerMessenger::SharedFileListRequested})
            connect(messenger.get(), signal, this, [this] { ++emitted; });
        connect(messenger.get(), &PeerMessenger::SearchResults, this, [this] { ++emitted; });
        connect(messenger.get(), &PeerMessenger::QueueUploadRequested, this, [this] { ++emitted; });
        connect(messenger.get(), &PeerMessenger::FileTransferResponse, this, [this] { ++emitted; });
        connect(messenger.get(), &PeerMessenger::UserInfoReceived, this,
                [this](QString, QString, bool, char* buffer, int length, int, int, bool) {
                    ++emitted;
                    for (int k = 0; k < length; ++k)
                        pictureSum += uchar(buffer[k]);
                });
        connect(messenger.get(), &PeerMessenger::UserShare, this,
                [this](QString, FileInfoMap& share, AttributeTranslationTable& table) {
                    ++emitted;
                    pictureSum += qint64(share.size() + table.size());
                });
    }

    void cleanup() { StopCore(); }

    void handleMessageRandomAndMutated() {
        Rng rng(0x5EED0001);
        std::vector<quint32> tokens;
        for (const char* text : {"song", "a", "mp3 -b", "\"a\\b\""})
            tokens.push_back(server->FileSearch(text, false));
        QElapsedTimer clock;
        clock.start();
        int runs = 0;
        for (; runs < 40000 && clock.elapsed() < 2500; ++runs) {
            const int pick = int(rng() % 20);
            const quint32 code = pick < 16 ? kCodes[pick] : (pick == 16 ? quint32(rng()) : 0u);
            Builder builder(rng, rng() % 6 == 0);
            QByteArray body;
            switch (rng() % 4) {
                case 0:
                    body = RandomBytes(rng, int(rng() % 64));
                    break;
                default:
                    body = builder.Body(code, tokens);
                    if (rng() % 2)
                        Mutate(rng, body);
                    break;
            }
            MemStream payload(body);
#ifndef TAVENOOK_ASAN
            g_tracking = true;
#endif
            messenger->HandleMessage(rng() % 2 ? "bob" : "carl", code, payload);
#ifndef TAVENOOK_ASAN
            g_tracking = false;
#endif
        }
        QVERIFY(runs > 1000);
        qDebug("%d messages, %d signals", runs, emitted);
#ifndef TAVENOOK_ASAN
        // Nothing sized from a count: the inputs are at most a few kilobytes.
        QVERIFY2(g_largestAllocation < std::size_t(4 * 1024 * 1024),
                 qPrintable(QString::number(g_largestAllocation)));
#endif
        // The messenger made no connections of its own from any of it.
        QCOMPARE(messenger->ConnectionCount(), 0);
    }

    void obfuscationDecoderStreams() {
        Rng rng(0x5EED0002);
        QElapsedTimer clock;
        clock.start();
        for (int round = 0; round < 3000 && clock.elapsed() < 1500; ++round) {
            // Valid frames, sometimes with garbage after them; fed in random pieces.
            QList<QByteArray> frames;
            QByteArray wire;
            const int n = int(rng() % 5);
            for (int k = 0; k < n; ++k) {
                QByteArray frame(4, '\0');
                frame += RandomBytes(rng, 4 + int(rng() % 200));
                qToLittleEndian<quint32>(quint32(frame.size() - 4), frame.data());
                frames << frame;
                wire += Obfuscation::Encode(frame, quint32(rng()));
            }
            const bool garbage = rng() % 3 == 0;
            if (garbage)
                wire += RandomBytes(rng, 1 + int(rng() % 300));
            ObfuscationDecoder decoder(rng() % 2 ? PeerLimits::kMaxSetUpLength
                                                 : PeerLimits::kMaxFrameLength);
            QList<QByteArray> out;
            int at = 0;
            bool error = false;
            while (at < wire.size() && !error) {
                const int piece = 1 + int(rng() % 64);
                decoder.Feed(wire.constData() + at, qMin(piece, wire.size() - at));
                at += piece;
                QByteArray frame;
                ObfuscationDecoder::Result r;
                while ((r = decoder.Next(frame)) == ObfuscationDecoder::Frame)
                    out << frame;
                error = r == ObfuscationDecoder::Error;
                // Bounded: one frame under the cap plus one piece.
                QVERIFY(decoder.BufferedBytes() <= qint64(decoder.MaxLength()) + 8 + 64);
            }
            QCOMPARE(out.mid(0, frames.size()), frames);
            if (!garbage)
                QCOMPARE(out.size(), frames.size());
        }
    }

    void connectionStreams() {
        Rng rng(0x5EED0003);
        const QStringList kinds = {"P", "F", "D", "X", ""};
        QElapsedTimer clock;
        clock.start();
        int rounds = 0;
        for (; rounds < 30 && clock.elapsed() < 4000; ++rounds) {
            RawPeer peer;
            for (int k = 0; k < 12; ++k) {
                const bool obfuscated = rng() % 3 == 0;
                peer.ConnectToAsync(
                    obfuscated ? messenger->ObfuscatedListeningPort() : messenger->ListeningPort(),
                    obfuscated);
                QByteArray stream;
                switch (rng() % 4) {
                    case 0:
                        stream = RandomBytes(rng, int(rng() % 512));
                        break;
                    case 1: {
                        QByteArray setUp = rng() % 4 == 0
                                               ? RawPeer::ConnectBackFrame(quint32(rng()))
                                               : RawPeer::SetUpFrame(rng() % 5 ? "bob" : "",
                                                                     kinds[int(rng() % 5)]);
                        Mutate(rng, setUp);
                        stream = setUp + RandomBytes(rng, int(rng() % 64));
                        break;
                    }
                    default: {
                        // A good set-up, then messages, some of them broken.
                        peer.SendSetUp(rng() % 2 ? "bob" : "carl", kinds[int(rng() % 3)]);
                        for (int m = int(rng() % 6); m > 0; --m) {
                            const quint32 code = kCodes[rng() % 16];
                            Builder builder(rng, rng() % 5 == 0);
                            QByteArray body = builder.Body(code, {});
                            if (rng() % 3 == 0)
                                Mutate(rng, body);
                            QByteArray frame = RawPeer::Frame(code, body);
                            if (rng() % 8 == 0)
                                Mutate(rng, frame);
                            if (obfuscated)
                                stream += RawPeer::Obfuscate(frame, quint32(rng()));
                            else
                                stream += frame;
                        }
                        break;
                    }
                }
                if (!stream.isEmpty())
                    peer.SendRaw(stream);
            }
            peer.WaitForWritten(2000);
            QTest::qWait(20);
            QVERIFY(messenger->ConnectionCount() <= 12 * (rounds + 1));
            if (rounds % 5 == 4)
                messenger->OnHalfMinuteTick();
        }
        QVERIFY(rounds >= 5);
        qDebug("%d rounds, %d sockets handed over", rounds, handedOver);
        // Everything left closes in the end: set-ups on the second tick,
        // messaging connections once idle.
        for (int k = 0; k < PeerLimits::kIdleTicks; ++k)
            messenger->OnHalfMinuteTick();
        QCOMPARE(messenger->ConnectionCount(), 0);
        QTest::qWait(10);
    }
};

QTEST_GUILESS_MAIN(TestPeerMessengerFuzz)
#include "test_peer_messenger_fuzz.moc"
