// Strangers flooding the whole client through its listening port, where
// connections and names cost them nothing, while honest users ask. Each
// phase prints its target and, for comparison, the same figures measured in
// the same run without the flood (or, for the slow reader, what her list
// takes alone at her pace):
//   "bare connections": 4 processes keep 300 connections each open to the
//     listening port, send nothing and replace the oldest as fast as they
//     can, for 60 s (5 s with --quick); target: longest main-thread stall
//     under 200 ms;
//   "fresh-name set-ups": the same, each connection sending a whole set-up
//     under a fresh name and then nothing (1,200 kept, past the 1,000
//     messaging connections); target: every honest request answered;
//   "honest reader among strangers": an honest user reads the share list at
//     10 KB/s, as behind a DSL upstream, among 100 strangers (20 with
//     --quick) who read 1 KB/s, ask for the list every 2 s and come back
//     under a new name when cut, having held the output cap past a minute
//     (2 s with --quick); target: her list whole;
//   "slow-reading strangers": 999 strangers, who with the honest user fill
//     the 1,000 messaging connections, read 1 KB/s and ask for the share
//     list every 2 s, for 120 s (6 s with --quick); target: longest
//     main-thread stall under 200 ms;
//   "long names": 20 strangers, each on a connection of its own under a
//     name of its own, send queue requests for unique 64 KiB names as fast
//     as the client takes them, never reading and coming back when closed,
//     for 60 s (5 s with --quick); target: the client's memory grows less
//     than 150 MiB and the honest user's searches and share lists are
//     answered as without them;
//   "under her name": a stranger under the honest user's name asks for the
//     share list and a folder through a 2 KiB window, reads nothing and
//     closes after 8 s; then she searches every 5 s for 120 s (20 s with
//     --quick), reading everything; target: answered as before it, 30 s
//     (10 s) of which are the figure without it;
//   "after a stall": a searcher the client reaches at her address searches
//     for a word every file holds, reads nothing for 8 s and resets the
//     connection; then she reads everything and searches every 5 s for 60 s
//     (30 s with --quick); target: answered again within 30 s; beside it,
//     one who stalled 3 s. Both have segments of the usual Internet size, so
//     that the system holds little of what the client sends them;
//   "holds her name": an honest user the server knows (the client logged in
//     to a loopback server of the bench) searches through it, and asks for
//     the share list and a folder on her own connection, every 5 s for 120 s
//     (15 s with --quick), and queues a 512 KiB file at 10 s; a stranger
//     from another address keeps a connection under her name from 3 s on,
//     once reading everything and once reading nothing and connecting anew
//     every 4 s; target: all answered as without him, her download starting
//     (the client's transfer request) within 2 s and coming whole;
//   "spends her budget": a stranger from another address sends queue
//     requests for files not shared under her name, 375 a second, evenly,
//     from 3 s on; at 10 s she queues a shared file on her own connection;
//     target: her download starts within 2 s and comes whole, as without him;
//   "address checks": 4 processes from 127.0.0.2-5 keep 300 connections
//     each, each new one under a fresh 4,000-byte name with one queue
//     request (which waits for the server's word on the name), as fast as
//     they can for 60 s (5 s with --quick); a newcomer the server knows
//     queues a shared file on her first connection every 5 s; target: the
//     client's memory grows less than 150 MiB, every newcomer is answered
//     within 2 s and the longest main-thread stall is under 200 ms.
// Meanwhile an honest user browses every 10 s and searches for one track
// every 2 s, and in the first two phases a newcomer sets up and asks for
// user info every second. A stranger under an honest user's name comes from
// 127.0.0.2, another host than hers, as on the Internet.
//
// Usage: bench_gui_floods [--quick] [--files N] [--phase NAME]
//   --quick    a share of 5,000 files, short floods, figures only
//   --files N  a share of N files (300,000 unless given), with verdicts
//   --phase    only that phase: bare, setups, reader, slow, names, name, stall,
//              hers (holds her name), budget (spends her budget) or checks
//              (address checks)
// The share is built and saved by a process of its own; each phase runs in
// a fresh child, and the flooders in processes of their own, so that their
// work does not count as the client's.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtEndian>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ClientBench.h"
#include "PeerFloodBench.h"
#include "ProcStatus.h"
#include "StallProbe.h"
#include "net/PeerMessenger.h"
#include "net/PeerPayloads.h"
#include "shell/Prompts.h"
#include "store/MemStream.h"
#include "support/Payload.h"
#include "support/RawPeer.h"
#include "support/TestServer.h"

namespace {

constexpr double kStallTargetMs = 200;
constexpr qint64 kAnswerWithinMs = 10000;
constexpr qint64 kHonestReadRate = 10240;  // bytes a second
// Honest users come from 127.0.0.1; a stranger under one's name from another
// host, as on the Internet.
constexpr quint32 kHerIp = 0x7F000001;
constexpr quint32 kStrangerIp = 0x7F000002;
// With the honest user, as many as the messaging connections kept.
constexpr int kSlowStrangers = PeerLimits::kMaxMessagingConnections - 1;

// ---------------------------------------------------------------------------
// A flooder process: keeps `--keep` connections open to `--port`, replacing
// the oldest as fast as it can for `--seconds`; with `--setups PREFIX` each
// sends a whole set-up under a fresh name first, the name padded to
// `--name-bytes`, and with `--queue` one queue request behind it. From
// 127.0.0.`--from` when given.

int RunFlooder(const Args& args) {
    const quint16 port = quint16(args.Int("--port"));
    const int keep = args.Int("--keep", 300), seconds = args.Int("--seconds", 5);
    const char* prefix = args.Value("--setups");
    const int nameBytes = args.Int("--name-bytes"), from = args.Int("--from");
    const QByteArray queue = args.Has("--queue") ? RawPeer::Frame(PeerMessenger::PM_QUEUE_UPLOAD,
                                                                  Payload().Str("not shared.mp3"))
                                                 : QByteArray();
    sockaddr_in source{};
    source.sin_family = AF_INET;
    source.sin_addr.s_addr = htonl(INADDR_LOOPBACK + quint32(from > 1 ? from - 1 : 0));
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    std::deque<int> open;
    long made = 0, names = 0;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < seconds * 1000) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        if (fd < 0) {
            if (!open.empty()) {
                ::close(open.front());
                open.pop_front();
            }
            continue;
        }
        // Closed with a reset, as such strangers do: no closed connection
        // waits out its time holding a port of the machine.
        const linger reset{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        if (from > 1 && ::bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0) {
            ::close(fd);
            continue;
        }
        if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 &&
            errno != EINPROGRESS) {
            ::close(fd);
            continue;
        }
        if (prefix) {
            // On loopback the connect is made at once unless the client's
            // backlog is full.
            pollfd writable{fd, POLLOUT, 0};
            if (::poll(&writable, 1, 100) == 1 && !(writable.revents & (POLLERR | POLLHUP))) {
                QString name = QString("%1%2").arg(prefix).arg(names++);
                if (name.size() < nameBytes)
                    name += QString(nameBytes - name.size(), 'n');
                const QByteArray setUp = RawPeer::SetUpFrame(name, "P") + queue;
                ::send(fd, setUp.constData(), std::size_t(setUp.size()), MSG_NOSIGNAL);
            }
        }
        open.push_back(fd);
        ++made;
        while (int(open.size()) > keep) {
            ::close(open.front());
            open.pop_front();
        }
    }
    for (const int fd : open)
        ::close(fd);
    std::printf("flooder: %ld connections made\n", made);
    return 0;
}

// A flooder of queue requests: `--strangers` connections to `--port`, each
// under a name of its own, send queue requests for unique names of
// `--name-bytes` as fast as the client takes them for `--seconds`, never
// reading (a small receive window), and connect again when closed.
int RunNameFlooder(const Args& args) {
    const quint16 port = quint16(args.Int("--port"));
    const int strangers = args.Int("--strangers", 20), seconds = args.Int("--seconds", 5);
    const int nameBytes = args.Int("--name-bytes", 65536);
    const char* prefix = args.Value("--names");
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    struct Stranger {
        int fd = -1;
        QByteArray out;
    };
    std::vector<Stranger> all(static_cast<std::size_t>(strangers));
    long requests = 0, comebacks = 0, made = 0;
    const auto close = [&](Stranger& s) {
        ::close(s.fd);
        s.fd = -1;
        s.out.clear();
        ++comebacks;
    };
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < seconds * 1000) {
        std::vector<pollfd> polled;
        for (std::size_t k = 0; k < all.size(); ++k) {
            Stranger& s = all[k];
            if (s.fd < 0) {
                s.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
                const int window = 4096;
                ::setsockopt(s.fd, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
                if (s.fd < 0 ||
                    (::connect(s.fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 &&
                     errno != EINPROGRESS)) {
                    if (s.fd >= 0)
                        ::close(s.fd);
                    s.fd = -1;
                    continue;
                }
                ++made;
                s.out = RawPeer::SetUpFrame(QString("%1%2").arg(prefix).arg(k), "P");
            }
            if (s.out.isEmpty()) {
                QByteArray body(4 + nameBytes, 'n');
                qToLittleEndian<quint32>(quint32(nameBytes), body.data());
                const QByteArray mark = QByteArray::number(qlonglong(requests++)) + '/';
                body.replace(4, mark.size(), mark);
                s.out = RawPeer::Frame(PeerMessenger::PM_QUEUE_UPLOAD, body);
            }
            polled.push_back({s.fd, POLLOUT, 0});
        }
        if (polled.empty() || ::poll(polled.data(), polled.size(), 100) <= 0)
            continue;
        for (const pollfd& p : polled) {
            auto s = std::find_if(all.begin(), all.end(),
                                  [&](const Stranger& x) { return x.fd == p.fd; });
            if (s == all.end() || !p.revents)
                continue;
            if (p.revents & (POLLERR | POLLHUP)) {
                close(*s);
                continue;
            }
            const ssize_t sent =
                ::send(s->fd, s->out.constData(), std::size_t(s->out.size()), MSG_NOSIGNAL);
            if (sent > 0)
                s->out.remove(0, int(sent));
            else if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
                close(*s);
        }
    }
    for (const Stranger& s : all)
        if (s.fd >= 0)
            ::close(s.fd);
    std::printf("flooder: %ld connections made, %ld requests, %ld closed\n", made, requests,
                comebacks);
    return 0;
}

// Starts `count` flooder processes; they end on their own.
std::vector<std::unique_ptr<QProcess>> StartFlooders(int count, int keep, int seconds,
                                                     bool setUps) {
    std::vector<std::unique_ptr<QProcess>> out;
    for (int k = 0; k < count; ++k) {
        auto flooder = std::make_unique<QProcess>();
        flooder->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QStringList arguments = {"--flooder",
                                 "--port",
                                 QString::number(peerMessenger->ListeningPort()),
                                 "--keep",
                                 QString::number(keep),
                                 "--seconds",
                                 QString::number(seconds)};
        if (setUps)
            arguments << "--setups" << QString("stranger%1x").arg(k);
        flooder->start(QCoreApplication::applicationFilePath(), arguments);
        out.push_back(std::move(flooder));
    }
    return out;
}

// Connections made by the flooders, once they have ended.
long EndFlooders(std::vector<std::unique_ptr<QProcess>>& flooders) {
    long made = 0;
    for (auto& flooder : flooders) {
        while (flooder->state() != QProcess::NotRunning)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        const QByteArray out = flooder->readAllStandardOutput();
        const int at = out.indexOf("flooder: ");
        if (at >= 0)
            made += out.mid(at + 9).split(' ').value(0).toLong();
    }
    flooders.clear();
    return made;
}

// The length of the frame at the start of `bytes`, with its length field;
// -1 while fewer than 4 bytes are there.
qint64 FrameSize(const QByteArray& bytes) {
    return bytes.size() < 4 ? -1 : 4 + qint64(qFromLittleEndian<quint32>(bytes.constData()));
}

// Newcomers, one a second: each connects, sets up under a name of its own
// and asks for user info; answered when the reply comes within 10 s.
class Newcomers {
public:
    // `more`: a newcomer comes if a second has passed.
    void Turn(qint64 now, bool more = true) {
        if (more && now - m_lastAt >= 1000) {
            m_lastAt = now;
            auto socket = std::make_unique<QTcpSocket>();
            socket->connectToHost(QHostAddress::LocalHost, peerMessenger->ListeningPort());
            socket->write(RawPeer::SetUpFrame(QString("newcomer%1").arg(asked), "P") +
                          RawPeer::Frame(PeerMessenger::PM_USER_INFO_REQUEST));
            m_waiting.push_back({std::move(socket), now, QByteArray()});
            ++asked;
        }
        for (auto it = m_waiting.begin(); it != m_waiting.end();) {
            it->got += it->socket->readAll();
            bool replied = false;
            while (FrameSize(it->got) > 0 && it->got.size() >= FrameSize(it->got)) {
                const qint64 size = FrameSize(it->got);
                replied =
                    replied || (size >= 8 && qFromLittleEndian<quint32>(it->got.constData() + 4) ==
                                                 PeerMessenger::PM_USER_INFO_REPLY);
                it->got.remove(0, int(size));
            }
            if (replied) {
                ++answered;
                slowestMs = std::max(slowestMs, now - it->at);
            } else if (it->socket->state() == QAbstractSocket::UnconnectedState) {
                ++closed;
            } else if (now - it->at > kAnswerWithinMs) {
                slowestMs = std::max(slowestMs, now - it->at);
            } else {
                ++it;
                continue;
            }
            it = m_waiting.erase(it);
        }
    }
    // Those still waiting count as unanswered.
    int Unanswered() const { return asked - answered; }
    int asked = 0, answered = 0, closed = 0;
    qint64 slowestMs = 0;

private:
    struct Waiting {
        std::unique_ptr<QTcpSocket> socket;
        qint64 at;
        QByteArray got;
    };
    std::deque<Waiting> m_waiting;
    qint64 m_lastAt = -1000000;
};

struct Stretch {
    double stallMs = 0;
    Newcomers newcomers;
    int browses = 0, lists = 0, searches = 0, answers = 0;
};

// Runs the event loop for `ms` while the honest user (and newcomers, when
// `newcomers`) take their turns.
void RunStretch(Stretch& out, RawPeer& peer, qint64 ms, bool newcomers) {
    Honest honest{peer, {}};
    QElapsedTimer clock;
    clock.start();
    out.stallMs = LongestStallUntil(clock, [&] {
        const qint64 now = clock.elapsed();
        honest.Turn(now);
        if (newcomers)
            out.newcomers.Turn(now);
        return now >= ms;
    });
    // The last ones asked get their time.
    const qint64 end = clock.elapsed();
    while (clock.elapsed() < end + kAnswerWithinMs &&
           (out.newcomers.asked > out.newcomers.answered + out.newcomers.closed ||
            honest.browseSent >= 0 || honest.answers < honest.searches)) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        honest.Turn(clock.elapsed());
        if (newcomers)
            out.newcomers.Turn(clock.elapsed(), false);
    }
    out.browses = honest.browses;
    out.lists = honest.lists;
    out.searches = honest.searches;
    out.answers = honest.answers;
}

void ReportStretch(const char* phase, const Stretch& flood, const Stretch& quiet, bool newcomers) {
    std::printf(
        "%s: the honest user got %d of %d share lists and %d answers to %d searches "
        "(without the flood %d of %d and %d of %d)\n",
        phase, flood.lists, flood.browses, flood.answers, flood.searches, quiet.lists,
        quiet.browses, quiet.answers, quiet.searches);
    if (newcomers)
        std::printf(
            "%s: newcomers answered %d of %d, %d closed by the client, the slowest after "
            "%lld ms (without the flood %d of %d)\n",
            phase, flood.newcomers.answered, flood.newcomers.asked, flood.newcomers.closed,
            static_cast<long long>(flood.newcomers.slowestMs), quiet.newcomers.answered,
            quiet.newcomers.asked);
}

bool AllAnswered(const Stretch& s, bool newcomers) {
    return s.lists + 1 >= s.browses && s.lists > 0 && s.answers >= s.searches &&
           (!newcomers || s.newcomers.answered == s.newcomers.asked);
}

// The two phases of flooders: bare connections, or set-ups under fresh names.
int MeasureFlooders(int files, bool setUps, bool quick, bool verdicts) {
    const char* phase = setUps ? "fresh-name set-ups" : "bare connections";
    RawPeer honest;
    int indexed = 0;
    std::unique_ptr<MainWindow> window = StartWithAskingPeer(honest, phase, "honest", indexed);
    if (!window)
        return 1;
    const int seconds = quick ? 5 : 60;
    Stretch quiet, flood;
    RunStretch(quiet, honest, quick ? 3000 : 10000, true);
    auto flooders = StartFlooders(4, 300, seconds, setUps);
    std::printf(
        "%s: 4 processes keeping 300 connections each%s, replacing the oldest as fast as "
        "they can for %d s (%d files shared)\n",
        phase, setUps ? " with a set-up under a fresh name on each" : ", sending nothing", seconds,
        indexed);
    RunStretch(flood, honest, seconds * 1000, true);
    const long made = EndFlooders(flooders);
    std::printf(
        "%s: %ld connections made; longest main-thread stall %.1f ms (without the flood "
        "%.1f ms)",
        phase, made, flood.stallMs, quiet.stallMs);
    PrintVerdict(verdicts, "under 200 ms", flood.stallMs < kStallTargetMs);
    ReportStretch(phase, flood, quiet, true);
    // Newcomers under the bare flood race it for the system's backlog of
    // connections not yet accepted: their figure is printed, not judged.
    if (verdicts && setUps)
        std::printf("%s: target every honest request answered: %s\n", phase,
                    Verdict(AllAnswered(flood, true)));
    std::fflush(stdout);
    window.reset();
    return indexed >= files ? 0 : 1;
}

// ---------------------------------------------------------------------------
// The honest reader among strangers who come back under new names.

int MeasureReaderAmongStrangers(int files, bool quick, bool verdicts) {
    const char* phase = "honest reader among strangers";
    RawPeer honest;
    int indexed = 0;
    std::unique_ptr<MainWindow> window = StartWithAskingPeer(honest, phase, "honest", indexed);
    if (!window)
        return 1;
    timerManager->everyHalfMinute.start();
    const int strangers = quick ? 20 : 100;
    const qint64 heldMs = quick ? 2000 : 75000;
    QElapsedTimer clock;
    clock.start();
    SlowListers listers(strangers, peerMessenger->ListeningPort(), true);
    qint64 waitingPeak = 0;
    LongestStallUntil(clock, [&] {
        waitingPeak = std::max(waitingPeak, peerMessenger->WaitingOutput());
        return clock.elapsed() >= heldMs;
    });
    const qint64 heldWaiting = peerMessenger->WaitingOutput();

    // She asks, reads at her pace, and asks again when the client cuts her.
    std::unique_ptr<QTcpSocket> socket;
    std::unique_ptr<PacedReader> reader;
    int cuts = 0;
    qint64 cutAtMs = -1, cutBytes = 0, listBytes = -1, wholeMs = -1, read = 0;
    const auto ask = [&] {
        reader.reset();
        socket = std::make_unique<QTcpSocket>();
        if (!ConnectWithSegment(*socket, peerMessenger->ListeningPort(), kInternetSegment))
            return false;
        socket->write(RawPeer::SetUpFrame("reader", "P") +
                      RawPeer::Frame(PeerMessenger::PM_SHARED_FILE_LIST_REQUEST));
        reader = std::make_unique<PacedReader>(socket.get(), kHonestReadRate);
        return true;
    };
    if (!ask()) {
        std::printf("%s: cannot connect to the client\n", phase);
        return 1;
    }
    // Generous: three times what the list of this share takes alone.
    const qint64 start = clock.elapsed();
    const qint64 limitMs = qint64(indexed) * 5 * 3 * 1000 / kHonestReadRate + 60000;
    QByteArray list;
    const double stallMs = LongestStallUntil(clock, [&] {
        waitingPeak = std::max(waitingPeak, peerMessenger->WaitingOutput());
        const QByteArray& got = reader->got;
        if (listBytes < 0 && FrameSize(got) > 0)
            listBytes = FrameSize(got);
        if (listBytes > 0 && got.size() >= listBytes) {
            list = got.mid(8, int(listBytes - 8));
            wholeMs = clock.elapsed() - start;
            return true;
        }
        if (reader->Closed()) {
            ++cuts;
            read += got.size();
            if (cutAtMs < 0) {
                cutAtMs = clock.elapsed() - start;
                cutBytes = got.size();
            }
            listBytes = -1;
            if (!ask())
                return true;
        }
        return clock.elapsed() - start > limitMs;
    });
    const qint64 listed = ListedFiles(list);
    std::printf(
        "%s: %d strangers reading 1 KB/s, asking for the share list of %d files every "
        "2 s and coming back under a new name when cut (%d requests, %d comebacks); "
        "output waiting for peers %.1f MiB after %.0f s, at most %.1f MiB (cap %.0f MiB)\n",
        phase, strangers, indexed, listers.asked, listers.comebacks, heldWaiting / 1048576.0,
        heldMs / 1000.0, waitingPeak / 1048576.0, PeerLimits::kMaxWaitingOutputTotal / 1048576.0);
    std::printf("%s: she reads %lld B/s; ", phase, static_cast<long long>(kHonestReadRate));
    if (wholeMs >= 0)
        std::printf(
            "her list of %lld bytes and %lld files came whole after %.1f s (alone at her "
            "pace %.1f s)",
            static_cast<long long>(listBytes), static_cast<long long>(listed), wholeMs / 1000.0,
            double(listBytes) / kHonestReadRate);
    else
        std::printf("her list did not come whole in %.1f s", limitMs / 1000.0);
    if (cuts > 0)
        std::printf("; cut %d times, first after %.1f s with %lld bytes; %lld bytes read in all",
                    cuts, cutAtMs / 1000.0, static_cast<long long>(cutBytes),
                    static_cast<long long>(read));
    PrintVerdict(verdicts, "her list whole", wholeMs >= 0 && listed == indexed);
    std::printf("%s: longest main-thread stall %.1f ms\n", phase, stallMs);
    std::fflush(stdout);
    reader.reset();
    socket.reset();
    window.reset();
    return indexed >= files ? 0 : 1;
}

// ---------------------------------------------------------------------------
// Many slow-reading strangers.

int MeasureSlowStrangers(int files, bool quick, bool verdicts) {
    const char* phase = "slow-reading strangers";
    RawPeer honest;
    int indexed = 0;
    std::unique_ptr<MainWindow> window = StartWithAskingPeer(honest, phase, "honest", indexed);
    if (!window)
        return 1;
    timerManager->everyHalfMinute.start();
    const int seconds = quick ? 6 : 120;
    Stretch quiet, flood;
    RunStretch(quiet, honest, quick ? 3000 : 10000, false);
    qint64 waitingPeak = 0;
    {
        SlowListers listers(kSlowStrangers, peerMessenger->ListeningPort());
        QTimer sample;
        QObject::connect(&sample, &QTimer::timeout, [&] {
            waitingPeak = std::max(waitingPeak, peerMessenger->WaitingOutput());
        });
        sample.start(1000);
        RunStretch(flood, honest, seconds * 1000, false);
        std::printf(
            "%s: %d strangers reading 1 KB/s, each asking for the share list of %d "
            "files every 2 s, for %d s (%d requests, %d comebacks); output waiting for "
            "peers at most %.1f MiB (cap %.0f MiB)\n",
            phase, kSlowStrangers, indexed, seconds, listers.asked, listers.comebacks,
            waitingPeak / 1048576.0, PeerLimits::kMaxWaitingOutputTotal / 1048576.0);
    }
    std::printf("%s: longest main-thread stall %.1f ms (without them %.1f ms)", phase,
                flood.stallMs, quiet.stallMs);
    PrintVerdict(verdicts, "under 200 ms", flood.stallMs < kStallTargetMs);
    ReportStretch(phase, flood, quiet, false);
    std::fflush(stdout);
    window.reset();
    return indexed >= files ? 0 : 1;
}

// ---------------------------------------------------------------------------
// Queue requests with long names from strangers who never read.

int MeasureLongNames(int files, bool quick, bool verdicts) {
    const char* phase = "long names";
    RawPeer honest;
    int indexed = 0;
    std::unique_ptr<MainWindow> window = StartWithAskingPeer(honest, phase, "honest", indexed);
    if (!window)
        return 1;
    timerManager->everyHalfMinute.start();
    constexpr int kStrangers = 20;
    constexpr int kNameBytes = 64 * 1024;
    constexpr double kGrowthTargetMiB = 150;
    const int seconds = quick ? 5 : 60;
    Stretch quiet, flood;
    RunStretch(quiet, honest, quick ? 3000 : 10000, false);
    const long before = ResidentKiB();
    long peak = before;
    QProcess flooder;
    flooder.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    flooder.start(
        QCoreApplication::applicationFilePath(),
        {"--name-flooder", "--port", QString::number(peerMessenger->ListeningPort()), "--strangers",
         QString::number(kStrangers), "--name-bytes", QString::number(kNameBytes), "--seconds",
         QString::number(seconds), "--names", "stranger"});
    {
        QTimer sample;
        QObject::connect(&sample, &QTimer::timeout, [&] { peak = std::max(peak, ResidentKiB()); });
        sample.start(200);
        RunStretch(flood, honest, seconds * 1000, false);
        while (flooder.state() != QProcess::NotRunning)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        peak = std::max(peak, ResidentKiB());
    }
    const QByteArray said = flooder.readAllStandardOutput().trimmed();
    const int at = said.indexOf("flooder: ");
    std::printf(
        "%s: %d strangers sending queue requests for unique %d KiB names, never reading, "
        "for %d s (%s; %d files shared)\n",
        phase, kStrangers, kNameBytes / 1024, seconds,
        at >= 0 ? said.mid(at + 9).constData() : "flooder said nothing", indexed);
    const double growth = MiB(peak - before);
    std::printf(
        "%s: the client's memory grew %.1f MiB (%.1f MiB before, at most %.1f MiB); "
        "replies held %lld bytes, %lld dropped; %lld requests dropped for their names",
        phase, growth, MiB(before), MiB(peak),
        static_cast<long long>(peerMessenger->HeldReplyBytes()),
        static_cast<long long>(peerMessenger->DroppedReplies()),
        static_cast<long long>(peerMessenger->DroppedLongNames()));
    PrintVerdict(verdicts, "long names: memory grows under 150 MiB", growth < kGrowthTargetMiB);
    ReportStretch(phase, flood, quiet, false);
    if (verdicts)
        std::printf("%s: target long names: the honest user answered as without them: %s\n", phase,
                    Verdict(AllAnswered(flood, false) == AllAnswered(quiet, false)));
    std::fflush(stdout);
    window.reset();
    return indexed >= files ? 0 : 1;
}

// ---------------------------------------------------------------------------
// A name used by a stranger, and a searcher who stalled once.

constexpr qint64 kSearchEveryMs = 5000;
constexpr qint64 kBackWithinMs = 30000;

// Asks every 5 s and counts the answers that come within kAnswerWithinMs,
// in order: by default a search for one track as `user`, as the server hands
// it on.
struct Requests {
    QString user;
    // Makes the n-th request instead.
    std::function<void(int n)> ask;
    int asked = 0, answered = 0;
    qint64 firstAnswerMs = -1, slowestMs = 0;
    std::deque<qint64> waiting;
    qint64 lastAt = -1000000;

    // `got`: answers that came since the last turn.
    void Turn(qint64 now, int got, bool more = true) {
        for (; got > 0 && !waiting.empty(); --got) {
            ++answered;
            slowestMs = std::max(slowestMs, now - waiting.front());
            if (firstAnswerMs < 0)
                firstAnswerMs = now;
            waiting.pop_front();
        }
        while (!waiting.empty() && now - waiting.front() > kAnswerWithinMs)
            waiting.pop_front();
        if (more && now - lastAt >= kSearchEveryMs) {
            lastAt = now;
            ++asked;
            waiting.push_back(now);
            if (ask)
                ask(asked);
            else
                emit gp_server->DirectFileSearch(user, quint32(4000000 + asked),
                                                 QString("track %1").arg(asked % 1000));
        }
    }
};

// Answers to searches that came to `peer` (which reads all) since the last call.
int SearchAnswers(RawPeer& peer) {
    int n = 0;
    quint32 code = 0;
    QByteArray payload;
    while (peer.WaitForMessage(&code, &payload, 0))
        n += code == PeerMessenger::PM_FILE_SEARCH_RESULT;
    return n;
}

// Runs the searches for `ms` and gives the last ones their time.
void RunSearches(Requests& s, const QElapsedTimer& clock, qint64 ms,
                 const std::function<int()>& answers) {
    const qint64 start = clock.elapsed();
    while (clock.elapsed() - start < ms ||
           (!s.waiting.empty() && clock.elapsed() - start < ms + kAnswerWithinMs)) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        s.Turn(clock.elapsed(), answers(), clock.elapsed() - start < ms);
    }
}

void SendAll(int fd, const QByteArray& bytes) {
    ::send(fd, bytes.constData(), std::size_t(bytes.size()), MSG_NOSIGNAL);
}

// Closed with a reset, as a program that gives up on a connection does.
void Reset(int fd) {
    const linger reset{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(fd);
}

int MeasureUnderHerName(int files, bool quick, bool verdicts) {
    const char* phase = "under her name";
    RawPeer honest;
    int indexed = 0;
    std::unique_ptr<MainWindow> window = StartWithAskingPeer(honest, phase, "honest", indexed);
    if (!window)
        return 1;
    QElapsedTimer clock;
    clock.start();
    const auto answers = [&] { return SearchAnswers(honest); };
    Requests quiet, flood;
    quiet.user = flood.user = "honest";
    RunSearches(quiet, clock, quick ? 10000 : 30000, answers);
    // The stranger asks for the share list and a folder under her name and
    // reads nothing through a 2 KiB window, then closes.
    const int connections = peerMessenger->ConnectionCount();
    const int stranger = SmallWindowSocket(peerMessenger->ListeningPort(), 2048, kStrangerIp);
    if (stranger < 0) {
        std::printf("%s: cannot connect to the client\n", phase);
        return 1;
    }
    const std::vector<QString> folders = WireFolders();
    SendAll(stranger, RawPeer::SetUpFrame("honest", "P") +
                          RawPeer::Frame(PeerMessenger::PM_SHARED_FILE_LIST_REQUEST) +
                          FolderRequest(7, folders.empty() ? QString() : folders.front()));
    const qint64 heldFrom = clock.elapsed();
    LongestStall(clock, heldFrom + 8000);
    const qint64 waitingHeld = peerMessenger->WaitingOutput();
    const bool heldUp = peerMessenger->OutputWaitingFor("honest");
    Reset(stranger);
    LongestStallUntil(clock, [&] {
        return peerMessenger->ConnectionCount() <= connections ||
               clock.elapsed() - heldFrom > 20000;
    });
    // Nothing waits on her own connection: only a mark on her name says so.
    const bool marked = peerMessenger->OutputWaitingFor("honest");
    const qint64 start = clock.elapsed();
    RunSearches(flood, clock, quick ? 20000 : 120000, answers);
    std::printf(
        "%s: a stranger under the honest user's name asked for the share list of %d files "
        "and a folder through a 2 KiB window, read nothing and closed after 8 s (%.2f MiB "
        "waiting for peers then, output %swaiting for her name); her name then %smarked as "
        "one who does not read\n",
        phase, indexed, waitingHeld / 1048576.0, heldUp ? "" : "not ", marked ? "" : "not ");
    std::printf(
        "%s: then her searches every 5 s got %d answers to %d, %s, the slowest within "
        "%lld ms (without the stranger %d of %d)",
        phase, flood.answered, flood.asked,
        flood.firstAnswerMs < 0
            ? "none at all"
            : qPrintable(QString("the first after %1 s")
                             .arg((flood.firstAnswerMs - start) / 1000.0, 0, 'f', 1)),
        static_cast<long long>(flood.slowestMs), quiet.answered, quiet.asked);
    PrintVerdict(verdicts, "answered as without it",
                 flood.answered == flood.asked && quiet.answered == quiet.asked);
    std::fflush(stdout);
    window.reset();
    return indexed >= files ? 0 : 1;
}

// A searcher the client reaches at her own address, as the server tells it
// (she opens no connection): behind a 2 KiB window and segments of the usual
// Internet size, she reads nothing while she stalls, and then everything, on
// every connection the client opens to her.
class StallingSearcher {
public:
    explicit StallingSearcher(const QString& name) {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        const int window = 2048;
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof at;
        if (m_listener < 0 ||
            ::setsockopt(m_listener, SOL_SOCKET, SO_RCVBUF, &window, sizeof window) != 0 ||
            ::setsockopt(m_listener, IPPROTO_TCP, TCP_MAXSEG, &kInternetSegment,
                         sizeof kInternetSegment) != 0 ||
            ::bind(m_listener, reinterpret_cast<sockaddr*>(&at), size) != 0 ||
            ::listen(m_listener, 16) != 0 ||
            ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&at), &size) != 0)
            return;
        const ItemPtr user = d.GetType("user")->GetItem(Value(name));
        user.Connect(d.GetType("user_address")->GetItem(Value(kHerIp)));
        user.Connect(d.GetType("user_port")->GetItem(Value(quint32(ntohs(at.sin_port)))));
    }
    ~StallingSearcher() {
        for (Link& link : m_links)
            ::close(link.fd);
        if (m_listener >= 0)
            ::close(m_listener);
    }
    // Takes the connections the client made; while reading, reads them all.
    // Returns the search answers that came whole since the last call.
    int Turn() {
        for (int fd; (fd = ::accept4(m_listener, nullptr, nullptr, SOCK_NONBLOCK)) >= 0;)
            m_links.push_back({fd, QByteArray()});
        if (!reading)
            return 0;
        int answers = 0;
        char buffer[65536];
        for (Link& link : m_links) {
            for (ssize_t n; (n = ::recv(link.fd, buffer, sizeof buffer, 0)) > 0;)
                link.got.append(buffer, int(n));
            while (FrameSize(link.got) > 0 && link.got.size() >= FrameSize(link.got)) {
                const qint64 size = FrameSize(link.got);
                answers += size >= 8 && qFromLittleEndian<quint32>(link.got.constData() + 4) ==
                                            PeerMessenger::PM_FILE_SEARCH_RESULT;
                link.got.remove(0, int(size));
            }
        }
        return answers;
    }
    int Connections() const { return int(m_links.size()); }
    // Her program gives up every connection it holds.
    void ResetAll() {
        for (Link& link : m_links)
            Reset(link.fd);
        m_links.clear();
    }
    bool reading = false;

private:
    struct Link {
        int fd;
        QByteArray got;
    };
    int m_listener = -1;
    std::vector<Link> m_links;
};

// She searches for a word every file holds, reads nothing for `stallMs`
// from the connection that brings the answer, which she then resets; then
// she reads everything and searches every 5 s for one track.
struct Stalled {
    qint64 stallMs = 0, bigAnswerMs = -1, firstBackMs = -1, waitingAtClose = 0;
    bool heldUp = false;
    Requests searches;
};

bool RunStall(Stalled& out, const QString& name, const QElapsedTimer& clock, qint64 searchMs) {
    StallingSearcher her(name);
    out.searches.user = name;
    emit gp_server->DirectFileSearch(name, 3999999, "record");
    const qint64 asked = clock.elapsed();
    LongestStallUntil(clock, [&] {
        her.Turn();
        return her.Connections() > 0 || clock.elapsed() - asked > 60000;
    });
    if (her.Connections() == 0)
        return false;
    out.bigAnswerMs = clock.elapsed() - asked;
    LongestStall(clock, clock.elapsed() + out.stallMs);
    out.waitingAtClose = peerMessenger->WaitingOutput();
    out.heldUp = peerMessenger->OutputWaitingFor(name);
    her.ResetAll();
    her.reading = true;
    const qint64 back = clock.elapsed();
    RunSearches(out.searches, clock, searchMs, [&] { return her.Turn(); });
    if (out.searches.firstAnswerMs >= 0)
        out.firstBackMs = out.searches.firstAnswerMs - back;
    return true;
}

int MeasureAfterStall(int files, bool quick, bool verdicts) {
    const char* phase = "after a stall";
    RawPeer other;
    int indexed = 0;
    std::unique_ptr<MainWindow> window = StartWithAskingPeer(other, phase, "other", indexed);
    if (!window)
        return 1;
    QElapsedTimer clock;
    clock.start();
    const qint64 searchMs = quick ? 30000 : 60000;
    Stalled brief, stalled;
    brief.stallMs = 3000;
    stalled.stallMs = 8000;
    if (!RunStall(brief, "brief", clock, searchMs) ||
        !RunStall(stalled, "stalled", clock, searchMs)) {
        std::printf("%s: the client never connected to the searcher\n", phase);
        return 1;
    }
    const auto back = [](const Stalled& s) {
        return s.firstBackMs < 0 ? QString("never")
                                 : QString("after %1 s").arg(s.firstBackMs / 1000.0, 0, 'f', 1);
    };
    std::printf(
        "%s: a searcher whose search for a word all %d files hold came after %.1f s read "
        "nothing for 8 s (%.2f MiB waiting for peers, output %swaiting for her), reset the "
        "connection, then read everything and searched every 5 s\n",
        phase, indexed, stalled.bigAnswerMs / 1000.0, stalled.waitingAtClose / 1048576.0,
        stalled.heldUp ? "" : "not ");
    std::printf(
        "%s: answered again %s, %d answers to %d searches (one who stalled 3 s: %s, %d of %d)",
        phase, qPrintable(back(stalled)), stalled.searches.answered, stalled.searches.asked,
        qPrintable(back(brief)), brief.searches.answered, brief.searches.asked);
    PrintVerdict(verdicts, "answered again within 30 s",
                 stalled.firstBackMs >= 0 && stalled.firstBackMs <= kBackWithinMs);
    std::fflush(stdout);
    window.reset();
    return indexed >= files ? 0 : 1;
}

// ---------------------------------------------------------------------------
// A stranger under the name of a user the server knows: he holds a
// connection under her name, or spends her budget of queue requests.

constexpr qint64 kStrangerAtMs = 3000;
constexpr qint64 kQueueAtMs = 10000;
constexpr qint64 kStartWithinMs = 2000;
constexpr qint64 kReconnectEveryMs = 4000;
constexpr int kDownloadBytes = 512 * 1024;
constexpr int kStrangerQueueRate = 375;  // a second

// A stranger from 127.0.0.2 under `--name` for `--seconds`: he reads
// everything (`--mode reads`), reads nothing through a 2 KiB window and
// connects anew every 4 s (`deaf`), or reads everything and sends queue
// requests for files not shared, `--rate` a second, evenly (`queues`).
// Closed, he connects again.
int RunStranger(const Args& args) {
    const quint16 port = quint16(args.Int("--port"));
    const QString name = QString::fromUtf8(args.Value("--name"));
    const QByteArray mode = args.Value("--mode");
    const bool deaf = mode == "deaf", queues = mode == "queues";
    const qint64 rate = args.Int("--rate", kStrangerQueueRate);
    const qint64 ms = qint64(args.Int("--seconds", 5)) * 1000;
    int fd = -1;
    long connections = 0;
    qint64 requests = 0, read = 0, connectedAt = 0;
    QByteArray out;
    QElapsedTimer clock;
    clock.start();
    for (qint64 now = 0; now < ms; now = clock.elapsed()) {
        if (fd >= 0 && deaf && now - connectedAt >= kReconnectEveryMs) {
            Reset(fd);
            fd = -1;
        }
        if (fd < 0) {
            fd = SmallWindowSocket(port, deaf ? 2048 : 1 << 20, kStrangerIp);
            if (fd < 0) {
                ::poll(nullptr, 0, 10);
                continue;
            }
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
            ++connections;
            connectedAt = now;
            out = RawPeer::SetUpFrame(name, "P");
        }
        for (; queues && requests < now * rate / 1000; ++requests)
            out += RawPeer::Frame(PeerMessenger::PM_QUEUE_UPLOAD,
                                  Payload().Str(QString("not shared\\%1.mp3").arg(requests)));
        const ssize_t sent = out.isEmpty() ? 0
                                           : ::send(fd, out.constData(), std::size_t(out.size()),
                                                    MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0)
            out.remove(0, int(sent));
        pollfd polled{fd, short(deaf ? 0 : POLLIN), 0};
        ::poll(&polled, 1, 1);
        bool closed = polled.revents & (POLLERR | POLLHUP);
        if (!deaf && (polled.revents & POLLIN)) {
            char buffer[65536];
            ssize_t n;
            while ((n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0)
                read += n;
            closed = closed || n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
        }
        if (closed) {
            ::close(fd);
            fd = -1;
        }
    }
    if (fd >= 0)
        ::close(fd);
    std::printf("stranger: %ld connections, %lld requests, %lld bytes read\n", connections,
                static_cast<long long>(requests), static_cast<long long>(read));
    return 0;
}

// The file she downloads, beside the share's empty ones (the share is
// walked at the window's start); its name as peers write it.
QString WriteDownloadFile() {
    const QString path = QDir::home().filePath("share/download/the whole record.mp3");
    QFile file(path);
    if (file.size() != kDownloadBytes &&
        (!QDir().mkpath(QFileInfo(path).path()) || !file.open(QIODevice::WriteOnly) ||
         file.write(QByteArray(kDownloadBytes, 'r')) != kDownloadBytes))
        return QString();
    return QString(path).replace('/', '\\');
}

// An honest user the server knows: logged in from 127.0.0.1, with a port of
// her own where the client reaches her, and a "P" connection of her own to
// the client. She reads everything on every connection, connects back when
// the client asks through the server, accepts the download she queued and
// takes it on its "F" connection. Times are from her start.
class Her {
public:
    Her(const QString& name, const QString& download) : m_name(name), m_download(download) {}

    bool Start(quint16 serverPort) {
        const QByteArray digest =
            QCryptographicHash::hash(m_name.toUtf8() + "pw", QCryptographicHash::Md5).toHex();
        if (!m_peer.Listen() || !m_session.ConnectTo(serverPort))
            return false;
        m_session.SendMessage(
            1, Payload().Str(m_name).Str("pw").U32(157).U32(100).Str(QString::fromLatin1(digest)));
        m_session.SendMessage(2, Payload().U32(m_peer.Port()).U32(0));
        if (!m_session.Take(1).startsWith('\1') ||
            !m_peer.ConnectTo(peerMessenger->ListeningPort()))
            return false;
        m_own = m_peer.CurrentConnection();
        m_links.push_back(m_own);
        m_peer.SendSetUp(m_name, "P");
        m_peer.SendMessage(PeerMessenger::PM_USER_INFO_REQUEST);
        return m_peer.Take(PeerMessenger::PM_USER_INFO_REPLY) != "(none)";
    }
    const QString& Name() const { return m_name; }

    // Through the server, as every search comes.
    void Search(quint32 token, const QString& text) {
        m_session.SendMessage(26, Payload().U32(token).Str(text));
    }
    // On her own connection.
    void Ask(const QByteArray& frame) { m_peer.SendRawOn(m_own, frame); }
    void Queue(qint64 now) {
        queuedMs = now;
        m_peer.SendMessageOn(m_own, PeerMessenger::PM_QUEUE_UPLOAD, Payload().Str(m_download));
    }

    void Turn(qint64 now) {
        quint32 code = 0;
        QByteArray payload;
        while (m_session.WaitForMessage(&code, &payload, 0))
            if (code == 18)
                ConnectBack(payload);
        while (m_peer.WaitForIncoming(0))
            m_unset.push_back(m_peer.CurrentConnection());
        for (auto it = m_unset.begin(); it != m_unset.end();) {
            RawPeer::SetUp setUp;
            if (!m_peer.Select(*it) || !m_peer.ReadSetUp(&setUp, 0)) {
                ++it;
                continue;
            }
            (setUp.kind == "F" ? m_files : m_links).push_back(*it);
            it = m_unset.erase(it);
        }
        for (const int link : m_links)
            while (m_peer.WaitForMessageOn(link, &code, &payload, 0))
                Take(link, code, payload, now);
        for (const int file : m_files)
            Receive(file, now);
    }

    // Answers that came since the last call.
    int searchAnswers = 0, lists = 0, folders = 0;
    qint64 queuedMs = -1, answeredMs = -1, transferMs = -1, wholeMs = -1;
    // What answered her queue request first.
    QString answer;

private:
    void ConnectBack(const QByteArray& payload) {
        MemStream in(payload);
        QString user, kind;
        quint32 ip = 0, port = 0, token = 0;
        if (!in.Read(user) || !in.Read(kind) || !in.Read(ip) || !in.Read(port) || !in.Read(token))
            return;
        const int index = m_peer.ConnectToAsync(quint16(port));
        m_peer.SendRawOn(index, RawPeer::ConnectBackFrame(token));
        (kind == "F" ? m_files : m_links).push_back(index);
    }
    void Take(int link, quint32 code, const QByteArray& payload, qint64 now) {
        MemStream in(payload);
        quint32 direction = 0, req = 0;
        QString file;
        switch (code) {
            case PeerMessenger::PM_FILE_SEARCH_RESULT:
                ++searchAnswers;
                break;
            case PeerMessenger::PM_SHARED_FILE_LIST:
                ++lists;
                break;
            case PeerMessenger::PM_SHARED_FILES_IN_FOLDER:
                ++folders;
                break;
            case PeerMessenger::PM_TRANSFER_REQUEST:
                if (in.Read(direction) && in.Read(req) && in.Read(file) && direction == 1 &&
                    file == m_download && transferMs < 0) {
                    Answered(now, "a transfer request");
                    transferMs = now;
                    m_peer.SendMessageOn(link, PeerMessenger::PM_TRANSFER_RESPONSE,
                                         Payload().U32(req).U8(1));
                }
                break;
            case PeerMessenger::PM_UPLOAD_DENIED:
            case PeerMessenger::PM_UPLOAD_PLACE_IN_LINE:
                if (in.Read(file) && file == m_download)
                    Answered(now, code == PeerMessenger::PM_UPLOAD_DENIED ? "a denial"
                                                                          : "her place in line");
                break;
            default:
                break;
        }
    }
    void Answered(qint64 now, const char* what) {
        if (answeredMs < 0 && queuedMs >= 0) {
            answeredMs = now;
            answer = what;
        }
    }
    // The uploader's token first; she starts at the beginning.
    void Receive(int file, qint64 now) {
        if (!m_tokens.count(file)) {
            if (m_peer.ReadRawOn(file, 4, 0).size() != 4)
                return;
            m_tokens.insert(file);
            m_peer.SendRawOn(file, RawPeer::I64(0));
        }
        m_peer.Select(file);
        m_got += m_peer.ReadRawOn(file, int(m_peer.BytesAvailable()), 0).size();
        if (m_got >= kDownloadBytes && wholeMs < 0)
            wholeMs = now;
    }

    QString m_name, m_download;
    RawPeer m_session, m_peer;
    int m_own = -1;
    std::vector<int> m_links, m_files, m_unset;
    std::set<int> m_tokens;
    qint64 m_got = 0;
};

// What she asks every 5 s when she asks, and what came of it.
struct HerAsks {
    Requests searches, lists, folders;
    double stallMs = 0;
    QByteArray stranger;
};

// Runs her for `ms` (and the last answers their time): when `asking`, she
// searches and asks for the share list and a folder every 5 s; at 10 s she
// queues the download. A stranger of `mode` comes under her name at 3 s and
// stays to the end (none when null).
void RunHer(Her& her, HerAsks& out, qint64 ms, bool asking, const char* mode) {
    const std::vector<QString> folders = WireFolders();
    out.searches.ask = [&](int n) {
        her.Search(quint32(5000000 + n), QString("track %1").arg(n % 1000));
    };
    out.lists.ask = [&](int) {
        her.Ask(RawPeer::Frame(PeerMessenger::PM_SHARED_FILE_LIST_REQUEST));
    };
    out.folders.ask = [&](int n) {
        her.Ask(FolderRequest(
            quint32(n), folders.empty() ? QString() : folders[std::size_t(n) % folders.size()]));
    };
    // The first at 5 s.
    for (Requests* r : {&out.searches, &out.lists, &out.folders})
        r->lastAt = 0;
    QProcess stranger;
    stranger.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QElapsedTimer clock;
    clock.start();
    out.stallMs = LongestStallUntil(clock, [&] {
        const qint64 now = clock.elapsed();
        if (mode && stranger.state() == QProcess::NotRunning && now >= kStrangerAtMs &&
            out.stranger.isNull()) {
            out.stranger = "";
            stranger.start(
                QCoreApplication::applicationFilePath(),
                {"--stranger", "--port", QString::number(peerMessenger->ListeningPort()), "--name",
                 her.Name(), "--mode", mode, "--seconds", QString::number((ms - now) / 1000)});
        }
        her.Turn(now);
        const bool more = now < ms;
        if (asking) {
            out.searches.Turn(now, std::exchange(her.searchAnswers, 0), more);
            out.lists.Turn(now, std::exchange(her.lists, 0), more);
            out.folders.Turn(now, std::exchange(her.folders, 0), more);
        }
        if (her.queuedMs < 0 && now >= kQueueAtMs)
            her.Queue(now);
        const bool waiting = !out.searches.waiting.empty() || !out.lists.waiting.empty() ||
                             !out.folders.waiting.empty() ||
                             (her.wholeMs < 0 && now - her.queuedMs < kAnswerWithinMs);
        return !more && (!waiting || now > ms + kAnswerWithinMs);
    });
    if (mode) {
        stranger.waitForFinished(-1);
        out.stranger = stranger.readAllStandardOutput().trimmed();
    }
}

// Her download, from her queue request on.
QString DownloadFigures(const Her& her) {
    const auto after = [&](qint64 ms) {
        return QString("%1 s").arg((ms - her.queuedMs) / 1000.0, 0, 'f', 2);
    };
    if (her.answeredMs < 0)
        return QString("no answer at all");
    QString out = QString("%1 after %2").arg(her.answer, after(her.answeredMs));
    if (her.transferMs >= 0)
        out += her.wholeMs >= 0
                   ? QString(", accepted, the file whole after %1").arg(after(her.wholeMs))
                   : QString(", accepted, the file never whole");
    else
        out += ", no transfer request";
    return out;
}

bool DownloadStarted(const Her& her) {
    return her.transferMs >= 0 && her.transferMs - her.queuedMs <= kStartWithinMs &&
           her.wholeMs >= 0;
}

QString AnsweredOf(const Requests& r) {
    const QString of = QString("%1 of %2").arg(r.answered).arg(r.asked);
    return r.answered == 0 ? of
                           : of + QString(" (slowest %1 s)").arg(r.slowestMs / 1000.0, 0, 'f', 2);
}

// The window, logged in to a server of this process, with the download
// shared and upload slots for each user's download.
// Through `via` ("host:port") when given, else straight to the server.
std::unique_ptr<MainWindow> StartLoggedIn(TestServer& server, RawPeer& first, const char* phase,
                                          QString& download, int& indexed,
                                          const std::function<QString()>& via = {}) {
    download = WriteDownloadFile();
    if (download.isEmpty() || !server.Listen()) {
        std::printf("%s: cannot write the download or serve\n", phase);
        return nullptr;
    }
    const QString address = via ? via() : server.Address();
    if (address.isEmpty()) {
        std::printf("%s: no way to the server\n", phase);
        return nullptr;
    }
    qputenv("TAVENOOK_SERVER", address.toUtf8());
    std::unique_ptr<MainWindow> window = StartWithAskingPeer(first, phase, "first", indexed);
    if (!window)
        return nullptr;
    // Again, so that the server gives peers the port the client listens on now.
    gp_server->Disconnect();
    gp_server->Connect();
    if (!RawPeer::WaitUntil([] { return gp_server->IsConnected(); })) {
        std::printf("%s: the client never logged in\n", phase);
        return nullptr;
    }
    SetSetting("upload_slots", 10);
    return window;
}

// A user under whose name she runs, the stranger beside her (none when
// null) and what he does.
struct HerRun {
    const char* name;
    const char* mode;
    const char* what;
};

// Runs her under each name in turn, for `ms`, beside its stranger, in the
// window logged in to a server of this process. Met: in every run all she
// asked was answered and her download started within 2 s and came whole.
int MeasureHer(const char* phase, const std::vector<HerRun>& runs, qint64 ms, bool asking,
               const QString& target, const char* verdict, int files, bool verdicts) {
    TestServer server;
    RawPeer first;
    QString download;
    int indexed = 0;
    std::unique_ptr<MainWindow> window = StartLoggedIn(server, first, phase, download, indexed);
    if (!window)
        return 1;
    std::printf("%s: target: %s (%d files shared)\n", phase, qPrintable(target), indexed);
    bool met = true;
    for (const HerRun& run : runs) {
        Her her(run.name, download);
        if (!her.Start(server.Port())) {
            std::printf("%s: %s never got in\n", phase, run.name);
            return 1;
        }
        HerAsks asks;
        RunHer(her, asks, ms, asking, run.mode);
        std::printf("%s: %s: ", phase, run.what);
        if (asking)
            std::printf("searches answered %s, share lists %s, folders %s; ",
                        qPrintable(AnsweredOf(asks.searches)), qPrintable(AnsweredOf(asks.lists)),
                        qPrintable(AnsweredOf(asks.folders)));
        std::printf("her download queued at %.1f s: %s; longest main-thread stall %.1f ms%s%s\n",
                    her.queuedMs / 1000.0, qPrintable(DownloadFigures(her)), asks.stallMs,
                    run.mode ? "; " : "", asks.stranger.constData());
        for (const Requests* r : {&asks.searches, &asks.lists, &asks.folders})
            met = met && r->answered == r->asked;
        met = met && DownloadStarted(her);
    }
    std::printf(
        "%s: %lld messages only she may send refused from strangers, %lld requests dropped past "
        "budgets",
        phase, static_cast<long long>(peerMessenger->StrangersRefused()),
        static_cast<long long>(peerMessenger->DroppedRequests()));
    PrintVerdict(verdicts, verdict, met);
    std::fflush(stdout);
    window.reset();
    return indexed >= files ? 0 : 1;
}

int MeasureHerName(int files, bool quick, bool verdicts) {
    const qint64 ms = quick ? 15000 : 120000;
    return MeasureHer(
        "holds her name",
        {{"alone", nullptr, "without the stranger"},
         {"beside-reader", "reads", "a stranger reading everything"},
         {"beside-deaf", "deaf", "a stranger reading nothing and connecting anew every 4 s"}},
        ms, true,
        QString("an honest user the server knows searches through it and asks for the share "
                "list and a folder on her own connection every 5 s for %1 s, and queues a "
                "512 KiB file at 10 s; a stranger from 127.0.0.2 holds a connection under her "
                "name from 3 s on; all answered as without him, her download starting within "
                "2 s")
            .arg(ms / 1000),
        "holds her name: her searches, share lists, folders and download answered as without "
        "him",
        files, verdicts);
}

int MeasureHerBudget(int files, bool verdicts) {
    return MeasureHer(
        "spends her budget",
        {{"unspent", nullptr, "without the stranger"}, {"spent", "queues", "with the stranger"}},
        kQueueAtMs + kAnswerWithinMs, false,
        QString("a stranger from 127.0.0.2 sends queue requests for files not shared under her "
                "name, %1 a second, evenly, from 3 s on; her queue request for a shared 512 KiB "
                "file on her own connection at 10 s is answered and her download starts within "
                "2 s, as without him")
            .arg(kStrangerQueueRate),
        "spends her budget: her queue request answered and her download started within 2 s, as "
        "without him",
        files, verdicts);
}

// ---------------------------------------------------------------------------
// The client's link to the server as over the Internet: a process between
// them passes what the client sends at `--rate` bytes a second, an uplink's
// pace, through small buffers, so that what the client queues for the
// server waits in the client; answers pass as they come. It listens on a
// free port of loopback, says it ("relay: PORT"), and serves the server at
// `--port` for `--seconds`.
int RunRelay(const Args& args) {
    const quint16 port = quint16(args.Int("--port"));
    const qint64 rate = args.Int("--rate", 1 << 20), ms = qint64(args.Int("--seconds", 60)) * 1000;
    const int window = 64 * 1024;
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof at;
    ::setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
        ::listen(listener, 8) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&at), &length) != 0)
        return 1;
    std::printf("relay: %d\n", int(ntohs(at.sin_port)));
    std::fflush(stdout);
    // Each pair: the client's end, the server's, and what waits to go each way.
    struct Pair {
        int client, server;
        QByteArray up, down;
    };
    std::vector<Pair> pairs;
    QElapsedTimer clock;
    clock.start();
    qint64 allowance = 0, lastMs = 0;
    char buffer[65536];
    while (clock.elapsed() < ms) {
        const qint64 now = clock.elapsed();
        if (now > lastMs) {
            allowance = std::min(allowance + (now - lastMs) * rate / 1000, rate / 10);
            lastMs = now;
        }
        std::vector<pollfd> polled{{listener, POLLIN, 0}};
        for (const Pair& p : pairs) {
            polled.push_back({p.client, short(p.up.size() < window ? POLLIN : 0), 0});
            polled.push_back({p.server, short(POLLIN), 0});
        }
        ::poll(polled.data(), polled.size(), 5);
        if (polled[0].revents & POLLIN) {
            const int client = ::accept(listener, nullptr, nullptr);
            const int server = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            to.sin_port = htons(port);
            if (client >= 0 && server >= 0 &&
                ::connect(server, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
                ::fcntl(client, F_SETFL, ::fcntl(client, F_GETFL) | O_NONBLOCK);
                ::fcntl(server, F_SETFL, ::fcntl(server, F_GETFL) | O_NONBLOCK);
                pairs.push_back({client, server, {}, {}});
            } else {
                ::close(client);
                ::close(server);
            }
        }
        for (auto p = pairs.begin(); p != pairs.end();) {
            bool closed = false;
            ssize_t n = -1;
            if (p->up.size() < window &&
                (n = ::recv(p->client, buffer, sizeof buffer, MSG_DONTWAIT)) > 0)
                p->up.append(buffer, int(n));
            closed = closed || n == 0;
            n = -1;
            while ((n = ::recv(p->server, buffer, sizeof buffer, MSG_DONTWAIT)) > 0)
                p->down.append(buffer, int(n));
            closed = closed || n == 0;
            const qint64 upNow = std::min<qint64>(p->up.size(), allowance);
            if (upNow > 0 && (n = ::send(p->server, p->up.constData(), std::size_t(upNow),
                                         MSG_NOSIGNAL | MSG_DONTWAIT)) > 0) {
                p->up.remove(0, int(n));
                allowance -= n;
            }
            if (!p->down.isEmpty() &&
                (n = ::send(p->client, p->down.constData(), std::size_t(p->down.size()),
                            MSG_NOSIGNAL | MSG_DONTWAIT)) > 0)
                p->down.remove(0, int(n));
            if (closed) {
                ::close(p->client);
                ::close(p->server);
                p = pairs.erase(p);
            } else {
                ++p;
            }
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Strangers from other hosts under fresh names, each with one queue request
// that waits for the server's word on the name, beside honest newcomers;
// the client reaches the server through an uplink's pace.

constexpr int kCheckFlooders = 4;
constexpr int kCheckNameBytes = 4000;
constexpr qint64 kNewcomerEveryMs = 5000;
constexpr qint64 kNewcomerAnsweredMs = 2000;
constexpr double kCheckGrowthTargetMiB = 150;
// An uplink of 8 Mbit/s.
constexpr qint64 kServerUplink = 1024 * 1024;

// What newcomers met in one stretch.
struct Newcomings {
    double stallMs = 0, growthMiB = 0;
    int asked = 0, answered = 0, inTime = 0;
    qint64 slowestMs = 0;
};

// For `ms`, a newcomer the server knows every 5 s from 2 s on, each queueing
// the shared file on her first connection; the client's memory sampled.
void RunNewcomers(TestServer& server, const QString& download, const QString& prefix, qint64 ms,
                  Newcomings& out) {
    std::vector<std::unique_ptr<Her>> hers;
    const long before = ResidentKiB();
    long peak = before;
    QElapsedTimer clock;
    clock.start();
    qint64 nextAt = 2000, sampledAt = 0;
    out.stallMs = LongestStallUntil(clock, [&] {
        const qint64 now = clock.elapsed();
        if (now - sampledAt >= 200) {
            sampledAt = now;
            peak = std::max(peak, ResidentKiB());
            // What the server of this process keeps of the client's frames
            // is not the client's.
            for (const QString& user : server.LoggedInUsers())
                server.ClearReceived(user);
        }
        if (now < ms && now >= nextAt) {
            nextAt += kNewcomerEveryMs;
            auto her =
                std::make_unique<Her>(QString("%1%2").arg(prefix).arg(out.asked++), download);
            if (her->Start(server.Port()))
                her->Queue(clock.elapsed());
            hers.push_back(std::move(her));
        }
        bool waiting = false;
        for (const auto& her : hers) {
            her->Turn(now);
            waiting = waiting || (her->queuedMs >= 0 && her->answeredMs < 0 &&
                                  now - her->queuedMs < kAnswerWithinMs);
        }
        return now >= ms && !waiting;
    });
    out.growthMiB = MiB(peak - before);
    for (const auto& her : hers) {
        if (her->answeredMs < 0 || her->queuedMs < 0) {
            out.slowestMs = std::max(out.slowestMs, kAnswerWithinMs);
            continue;
        }
        const qint64 took = her->answeredMs - her->queuedMs;
        ++out.answered;
        out.inTime += took <= kNewcomerAnsweredMs;
        out.slowestMs = std::max(out.slowestMs, took);
    }
}

int MeasureAddressChecks(int files, bool quick, bool verdicts) {
    const char* phase = "address checks";
    TestServer server;
    RawPeer first;
    QString download;
    int indexed = 0;
    const int seconds = quick ? 5 : 60;
    QProcess relay;
    relay.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    const auto via = [&] {
        relay.start(QCoreApplication::applicationFilePath(),
                    {"--relay", "--port", QString::number(server.Port()), "--rate",
                     QString::number(kServerUplink), "--seconds", QString::number(seconds + 600)});
        QByteArray said;
        while (!said.contains('\n') && relay.waitForReadyRead(10000))
            said += relay.readAllStandardOutput();
        const int at = said.indexOf("relay: ");
        return at < 0 ? QString() : QString("127.0.0.1:%1").arg(said.mid(at + 7).trimmed().toInt());
    };
    std::unique_ptr<MainWindow> window =
        StartLoggedIn(server, first, phase, download, indexed, via);
    if (!window)
        return 1;
    std::printf(
        "%s: the client's link to the server takes %d KiB/s; %d processes from 127.0.0.2-%d keep "
        "300 connections each, each new one under a "
        "fresh %d-byte name with one queue request, as fast as they can for %d s; a newcomer "
        "the server knows queues the shared file on her first connection every 5 s; target: "
        "memory under +%.0f MiB, every newcomer answered within %.0f s, stall under %.0f ms "
        "(%d files shared)\n",
        phase, int(kServerUplink / 1024), kCheckFlooders, 1 + kCheckFlooders, kCheckNameBytes,
        seconds, kCheckGrowthTargetMiB, kNewcomerAnsweredMs / 1000.0, kStallTargetMs, indexed);
    Newcomings quiet, flood;
    RunNewcomers(server, download, "calm", quick ? 5000 : 15000, quiet);
    std::vector<std::unique_ptr<QProcess>> flooders;
    for (int k = 0; k < kCheckFlooders; ++k) {
        auto flooder = std::make_unique<QProcess>();
        flooder->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        flooder->start(
            QCoreApplication::applicationFilePath(),
            {"--flooder", "--port", QString::number(peerMessenger->ListeningPort()), "--keep",
             "300", "--seconds", QString::number(seconds), "--setups", QString("checked%1x").arg(k),
             "--name-bytes", QString::number(kCheckNameBytes), "--queue", "--from",
             QString::number(2 + k)});
        flooders.push_back(std::move(flooder));
    }
    RunNewcomers(server, download, "newcomer", seconds * 1000, flood);
    const long made = EndFlooders(flooders);
    std::printf("%s: %ld connections made; %lld messages only a user may send refused\n", phase,
                made, static_cast<long long>(peerMessenger->StrangersRefused()));
    std::printf("%s: the client's memory grew %.1f MiB (without the flood %.1f MiB)", phase,
                flood.growthMiB, quiet.growthMiB);
    PrintVerdict(verdicts, "address checks: memory grows under 150 MiB",
                 flood.growthMiB < kCheckGrowthTargetMiB);
    std::printf(
        "%s: newcomers answered %d of %d, %d within 2 s, the slowest after %lld ms (without "
        "the flood %d of %d, the slowest after %lld ms)",
        phase, flood.answered, flood.asked, flood.inTime, static_cast<long long>(flood.slowestMs),
        quiet.answered, quiet.asked, static_cast<long long>(quiet.slowestMs));
    PrintVerdict(verdicts, "address checks: every newcomer answered within 2 s",
                 flood.asked > 0 && flood.inTime == flood.asked);
    std::printf("%s: longest main-thread stall %.1f ms (without the flood %.1f ms)", phase,
                flood.stallMs, quiet.stallMs);
    PrintVerdict(verdicts, "address checks: stall under 200 ms", flood.stallMs < kStallTargetMs);
    std::fflush(stdout);
    window.reset();
    relay.kill();
    relay.waitForFinished();
    return indexed >= files ? 0 : 1;
}

int MeasurePhase(const QString& phase, int files, bool quick, bool verdicts) {
    if (phase == "bare")
        return MeasureFlooders(files, false, quick, verdicts);
    if (phase == "setups")
        return MeasureFlooders(files, true, quick, verdicts);
    if (phase == "reader")
        return MeasureReaderAmongStrangers(files, quick, verdicts);
    if (phase == "slow")
        return MeasureSlowStrangers(files, quick, verdicts);
    if (phase == "names")
        return MeasureLongNames(files, quick, verdicts);
    if (phase == "name")
        return MeasureUnderHerName(files, quick, verdicts);
    if (phase == "stall")
        return MeasureAfterStall(files, quick, verdicts);
    if (phase == "hers")
        return MeasureHerName(files, quick, verdicts);
    if (phase == "budget")
        return MeasureHerBudget(files, verdicts);
    if (phase == "checks")
        return MeasureAddressChecks(files, quick, verdicts);
    std::printf("no phase %s\n", qPrintable(phase));
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    UseLoopbackOnly();
    const Args args(argc, argv);
    if (args.Has("--flooder")) {
        QCoreApplication app(argc, argv);
        return RunFlooder(args);
    }
    if (args.Has("--name-flooder")) {
        QCoreApplication app(argc, argv);
        return RunNameFlooder(args);
    }
    if (args.Has("--relay")) {
        QCoreApplication app(argc, argv);
        return RunRelay(args);
    }
    if (args.Has("--stranger")) {
        QCoreApplication app(argc, argv);
        return RunStranger(args);
    }
    const bool quick = args.Has("--quick");
    QApplication app(argc, argv);
    prompts::SetBoxHandler([](QWidget*, const prompts::Box&) { return QMessageBox::Ok; });
    const char* only = args.Value("--phase");
    if (args.Has("--measure"))
        return MeasurePhase(QString::fromLatin1(only), args.Int("--files"), quick,
                            args.Has("--verdicts"));

    // One share for every phase, built by a process of its own.
    const int files = args.Int("--files", quick ? 5000 : 300000);
    QTemporaryDir home;
    if (!home.isValid())
        return 1;
    qputenv("HOME", home.path().toUtf8());
    std::printf("bench_gui_floods: %d shared files\n", files);
    if (!BuildShare(home.filePath("share"), files))
        return 1;
    std::fflush(stdout);
    int status = 0;
    for (const char* phase : {"bare", "setups", "reader", "slow",
                              // Then queue requests with long names, and honest users
                              // under attack by name, or after a stall.
                              "names", "name", "stall", "hers", "budget", "checks"}) {
        if (only && QString::fromLatin1(only) != phase)
            continue;
        QStringList arguments = {"--measure", "--phase", phase, "--files", QString::number(files)};
        arguments << (quick ? "--quick" : "--verdicts");
        status |= RunMeasuredChild(arguments);
    }
    return status;
}
