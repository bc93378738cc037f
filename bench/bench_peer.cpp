// The peer messenger under load over loopback: small messages parsed and
// dispatched on one "P" connection (plain and obfuscated), and short-lived
// "P" connections opened, set up and closed one after another. The scripted
// peer runs on the same thread, so the figures include its own work.
//
// Usage: bench_peer [--quick] [--messages N] [--connections N]

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "net/PeerMessenger.h"
#include "net/server.h"
#include "store/DataSaver.h"
#include "store/MemStream.h"
#include "store/Settings.h"
#include "support/RawPeer.h"

namespace {

// What the messenger dispatched: PM 51 as UploadPlaceInLineRequested.
struct Seen {
    qint64 count = 0;
    QString user;
    QString file;
};

constexpr int kBatch = 1000;
constexpr int kTimeoutMs = 30000;

QString FileName(int k) {
    return QString("Music\\Album %1\\%2 - Track.mp3").arg(k % 50).arg(k, 4, 10, QChar('0'));
}

QByteArray PlaceInLineRequest(int k) {
    MemStream payload;
    payload.Write(FileName(k));
    return payload.GetWrittenBytes();
}

// Sends `messages` PM 51 frames on one connection, in writes of kBatch frames,
// and returns the messages per second the messenger dispatched (0 on failure).
double MessageRate(quint16 port, bool obfuscated, int messages, const Seen& seen) {
    const qint64& dispatched = seen.count;
    const QString user = obfuscated ? "bench_obfuscated" : "bench_plain";
    RawPeer peer;
    if (!peer.ConnectTo(port, obfuscated))
        return 0;
    peer.SendSetUp(user, "P");
    // The messenger holds the connection once the set-up is read; the first
    // message then measures nothing of the set-up.
    const qint64 before = dispatched;
    peer.SendMessage(51, PlaceInLineRequest(0));
    if (!RawPeer::WaitUntil([&] { return dispatched == before + 1; }, 5000))
        return 0;

    QByteArray batch;
    for (int k = 0; k < kBatch; ++k) {
        const QByteArray frame = RawPeer::Frame(51, PlaceInLineRequest(k));
        batch += obfuscated ? RawPeer::Obfuscate(frame, 0x9E3779B9u * quint32(k + 1)) : frame;
    }
    const qint64 start = dispatched;
    const qint64 target = start + messages;
    QElapsedTimer timer;
    timer.start();
    int sent = 0;
    int last = 0;
    // Keep a few batches in flight so that neither side waits on the other.
    const bool done = RawPeer::WaitUntil(
        [&] {
            while (sent < messages && peer.BytesToWrite() < 4 * batch.size()) {
                const int n = qMin(kBatch, messages - sent);
                last = n - 1;
                if (n == kBatch) {
                    peer.SendRaw(batch);
                } else {
                    for (int k = 0; k < n; ++k)
                        peer.SendMessage(51, PlaceInLineRequest(k));
                }
                sent += n;
            }
            return dispatched >= target;
        },
        kTimeoutMs);
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    if (!done) {
        std::fprintf(stderr, "  dispatched only %lld of %d messages\n",
                     static_cast<long long>(dispatched - start), messages);
        return 0;
    }
    // Counting is only worth something when the messages arrived intact.
    if (seen.user != user || seen.file != FileName(last)) {
        std::fprintf(stderr, "  the last message came out as %s from %s\n", qPrintable(seen.file),
                     qPrintable(seen.user));
        return 0;
    }
    return seconds > 0 ? messages / seconds : 0;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    int messages = 500000;
    int connections = 500;
    for (int k = 1; k < argc; ++k) {
        if (std::strcmp(argv[k], "--quick") == 0) {
            messages = 100000;
            connections = 500;
        } else if (std::strcmp(argv[k], "--messages") == 0 && k + 1 < argc) {
            messages = std::max(1, std::atoi(argv[++k]));
        } else if (std::strcmp(argv[k], "--connections") == 0 && k + 1 < argc) {
            connections = std::max(1, std::atoi(argv[++k]));
        }
    }

    DataSaver saver;
    DeclareSettingsTypes(&saver);
    Server::CreateData();
    SetSetting("listening_port", 0);
    SetSetting("obfuscated_listening_port", 0);
    PeerMessenger messenger;
    messenger.SetListenAddress(QHostAddress::LocalHost);
    if (!messenger.Listen()) {
        std::fprintf(stderr, "bench_peer: the messenger could not listen\n");
        return 1;
    }
    Seen seen;
    const qint64& dispatched = seen.count;
    QObject::connect(&messenger, &PeerMessenger::UploadPlaceInLineRequested,
                     [&seen](const QString& user, const QString& file) {
                         ++seen.count;
                         seen.user = user;
                         seen.file = file;
                     });

    std::printf("peer messenger benchmark: %d messages, %d connections\n", messages, connections);

    const double plainRate = MessageRate(messenger.ListeningPort(), false, messages, seen);
    std::printf("  small messages, plain:      %10.0f /s (target >= 200000)\n", plainRate);
    const double obfuscatedRate =
        MessageRate(messenger.ObfuscatedListeningPort(), true, messages, seen);
    std::printf("  small messages, obfuscated: %10.0f /s\n", obfuscatedRate);
    if (!RawPeer::WaitUntil([&] { return messenger.ConnectionCount() == 0; }, 5000))
        std::fprintf(stderr, "  the message connections were not closed\n");

    // Each connection: connect, set-up, one message, close. Done when the
    // messenger has dispatched every message and dropped every connection.
    const qint64 before = dispatched;
    RawPeer peer;
    QElapsedTimer timer;
    timer.start();
    bool connected = true;
    for (int k = 0; k < connections && connected; ++k) {
        connected = peer.ConnectTo(messenger.ListeningPort());
        peer.SendSetUp(QString("user%1").arg(k), "P");
        peer.SendMessage(51, PlaceInLineRequest(k));
        peer.Close();
    }
    const bool allSeen =
        connected &&
        RawPeer::WaitUntil([&] { return dispatched - before == connections; }, kTimeoutMs);
    const double seenMs = double(timer.nsecsElapsed()) / 1e6;
    const bool closed =
        allSeen && RawPeer::WaitUntil([&] { return messenger.ConnectionCount() == 0; }, kTimeoutMs);
    const double closedMs = double(timer.nsecsElapsed()) / 1e6;
    std::printf("  %d connections, all messages seen: %8.1f ms\n", connections, seenMs);
    std::printf("  %d connections, all closed:        %8.1f ms (target < 2000 for 500)\n",
                connections, closedMs);
    if (!allSeen || !closed)
        std::fprintf(stderr, "  connections: %s, %lld of %d messages seen, %d still open\n",
                     connected ? "made" : "refused", static_cast<long long>(dispatched - before),
                     connections, messenger.ConnectionCount());

    return plainRate > 0 && obfuscatedRate > 0 && allSeen && closed ? 0 : 1;
}
