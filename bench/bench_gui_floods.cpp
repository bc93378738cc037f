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
//     that the system holds little of what the client sends them.
// Meanwhile an honest user browses every 10 s and searches for one track
// every 2 s, and in the first two phases a newcomer sets up and asks for
// user info every second.
//
// Usage: bench_gui_floods [--quick] [--files N] [--phase NAME]
//   --quick    a share of 5,000 files, short floods, figures only
//   --files N  a share of N files (300,000 unless given), with verdicts
//   --phase    only that phase: bare, setups, reader, slow, names, name or stall
// The share is built and saved by a process of its own; each phase runs in
// a fresh child, and the flooders in processes of their own, so that their
// work does not count as the client's.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
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
#include "support/RawPeer.h"

namespace {

constexpr double kStallTargetMs = 200;
constexpr qint64 kAnswerWithinMs = 10000;
constexpr qint64 kHonestReadRate = 10240;  // bytes a second
// With the honest user, as many as the messaging connections kept.
constexpr int kSlowStrangers = PeerLimits::kMaxMessagingConnections - 1;

// ---------------------------------------------------------------------------
// A flooder process: keeps `--keep` connections open to `--port`, replacing
// the oldest as fast as it can for `--seconds`; with `--setups PREFIX` each
// sends a whole set-up under a fresh name first.

int RunFlooder(const Args& args) {
    const quint16 port = quint16(args.Int("--port"));
    const int keep = args.Int("--keep", 300), seconds = args.Int("--seconds", 5);
    const char* prefix = args.Value("--setups");
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
                const QByteArray setUp =
                    RawPeer::SetUpFrame(QString("%1%2").arg(prefix).arg(names++), "P");
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

// Searches every 5 s for one track as `user` and counts the answers that
// come on `peer` within kAnswerWithinMs.
struct Searches {
    QString user;
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
void RunSearches(Searches& s, const QElapsedTimer& clock, qint64 ms,
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
    Searches quiet, flood;
    quiet.user = flood.user = "honest";
    RunSearches(quiet, clock, quick ? 10000 : 30000, answers);
    // The stranger asks for the share list and a folder under her name and
    // reads nothing through a 2 KiB window, then closes.
    const int connections = peerMessenger->ConnectionCount();
    const int stranger = SmallWindowSocket(peerMessenger->ListeningPort(), 2048);
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
        user.Connect(d.GetType("user_address")->GetItem(Value(quint32(0x7F000001))));
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
    Searches searches;
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
                              "names", "name", "stall"}) {
        if (only && QString::fromLatin1(only) != phase)
            continue;
        QStringList arguments = {"--measure", "--phase", phase, "--files", QString::number(files)};
        arguments << (quick ? "--quick" : "--verdicts");
        status |= RunMeasuredChild(arguments);
    }
    return status;
}
