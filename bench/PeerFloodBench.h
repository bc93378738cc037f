#ifndef TAVENOOK_BENCH_PEERFLOODBENCH_H
#define TAVENOOK_BENCH_PEERFLOODBENCH_H

// What the benchmarks of peers flooding the whole client share: the command
// line, verdicts, a share built and saved by a process of its own, the
// window started with a peer connected, and peers that read at a set pace
// through a small window, as behind a slow link.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "ClientBench.h"
#include "net/PeerMessenger.h"
#include "net/PeerPayloads.h"
#include "net/server.h"
#include "shares/SharedFoldersManager.h"
#include "shell/ShellGlobals.h"
#include "shell/mainwindow.h"
#include "store/Settings.h"
#include "store/TimerManager.h"
#include "support/RawPeer.h"
#include "support/SharesIndexed.h"
#include "support/WindowStart.h"

inline void StopTimers() {
    timerManager->everyHalfMinute.stop();
    timerManager->everyFiveMinutes.stop();
    timerManager->everyHour.stop();
}

// Shares `files` empty files and saves the store under $HOME.
inline bool BuildShare(const QString& root, int files) {
    if (!WriteShareFiles(root, files))
        return false;
    auto window = std::make_unique<MainWindow>();
    window->Init();
    StopTimers();
    sharedFoldersManager->AddSharedFolder(root);
    if (!WaitForSharesIndexed(sharedFoldersManager, 3600000))
        return false;
    const int indexed = d.GetType("shared_file")->ItemCount();
    window.reset();
    std::printf("share built: %d files indexed\n", indexed);
    return indexed >= files;
}

// The files a share-list answer lists, or -1 when it does not parse.
inline qint64 ListedFiles(const QByteArray& list) {
    FileInfoMap share;
    AttributeTranslationTable table;
    if (list.isEmpty() || !ParseSharedFileList(list.constData(), list.size(), share, table))
        return -1;
    qint64 listed = 0;
    for (const auto& folder : share)
        listed += qint64(folder.second.size());
    return listed;
}

inline const char* Verdict(bool met) {
    return met ? "met" : "MISSED";
}

// Shares every folder with everyone, as a peer must see it, listens on any
// free port on loopback and connects `peer` there as `name`.
inline bool ConnectPeer(RawPeer& peer, const char* phase, const char* name) {
    for (const ItemPtr& root : d.GetType("shared_folder")->GetItems())
        root.Connect(d.GetType("shared_public")->GetGlobalNullItem());
    SetSetting("listening_port", 0);
    SetSetting("obfuscated_listening_port", 0);
    peerMessenger->SetListenAddress(QHostAddress::LocalHost);
    if (!peerMessenger->Listen() || !peer.ConnectTo(peerMessenger->ListeningPort())) {
        std::printf("%s: cannot connect to the client\n", phase);
        return false;
    }
    peer.SendSetUp(name, "P");
    return true;
}

// The command line's flags ("--quick") and named values ("--files 5").
class Args {
public:
    Args(int argc, char** argv) : m_argc(argc), m_argv(argv) {}
    bool Has(const char* flag) const { return Find(flag, false) > 0; }
    // The value after `name`, or nullptr.
    const char* Value(const char* name) const {
        const int at = Find(name, true);
        return at > 0 ? m_argv[at + 1] : nullptr;
    }
    int Int(const char* name, int fallback = 0) const {
        const char* v = Value(name);
        return v ? std::atoi(v) : fallback;
    }

private:
    int Find(const char* name, bool valued) const {
        for (int i = 1; i < m_argc; ++i)
            if (!std::strcmp(m_argv[i], name) && (!valued || i + 1 < m_argc))
                return i;
        return 0;
    }
    int m_argc;
    char** m_argv;
};

// The window with its share indexed (`indexed` files), and `peer` connected
// as `name` with a round trip made, from the address the server gives for
// her (as it would answer), so that what goes to her goes out on this
// connection; null (said under `phase`) when the peer got no answer.
inline std::unique_ptr<MainWindow> StartWithAskingPeer(RawPeer& peer, const char* phase,
                                                       const char* name, int& indexed) {
    QElapsedTimer clock;
    clock.start();
    std::unique_ptr<MainWindow> window = StartMainWindow();
    while (sharedFoldersManager->IsBackgroundScanPending() && clock.elapsed() < 600000)
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    indexed = d.GetType("shared_file")->ItemCount();
    if (!ConnectPeer(peer, phase, name))
        return nullptr;
    peer.SendMessage(PeerMessenger::PM_USER_INFO_REQUEST);
    if (peer.Take(PeerMessenger::PM_USER_INFO_REPLY) == "(none)") {
        std::printf("%s: the client never answered %s\n", phase, name);
        return nullptr;
    }
    if (gp_server)
        emit gp_server->PeerAddress(name, 0x7F000001, 0, 0);
    return window;
}

inline double MiB(long kib) {
    return kib / 1024.0;
}

inline void PrintVerdict(bool verdicts, const char* target, bool met) {
    if (verdicts)
        std::printf("; target %s: %s", target, Verdict(met));
    std::printf("\n");
}

// Reads a socket at a steady pace, as a user behind a slow link: the
// system's buffers fill and the sender feels it, but the bytes keep coming.
class PacedReader : public QObject {
public:
    PacedReader(QTcpSocket* socket, qint64 bytesPerSecond)
        : m_socket(socket), m_perTick(bytesPerSecond / 10) {
        socket->setReadBufferSize(4096);
        connect(&m_tick, &QTimer::timeout, this, [this] {
            m_allowance = std::min(m_allowance + m_perTick, 4 * m_perTick);
            const QByteArray part = m_socket->read(m_allowance);
            m_allowance -= part.size();
            got += part;
        });
        m_tick.start(100);
    }
    bool Closed() const { return m_socket->state() == QAbstractSocket::UnconnectedState; }
    QByteArray got;

private:
    QTcpSocket* m_socket;
    QTimer m_tick;
    qint64 m_perTick;
    qint64 m_allowance = 0;
};

constexpr int kInternetSegment = 1460;

// A socket to the client's listening port with a receive buffer of `window`
// and segments of the usual Internet size, so that the system holds little
// of what the client sends it; from `from` (127.0.0.2 and up: another host,
// as a stranger comes).
inline int SmallWindowSocket(quint16 port, int window, quint32 from = INADDR_LOOPBACK) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{}, source{};
    to.sin_family = source.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    source.sin_addr.s_addr = htonl(from);
    if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &window, sizeof window) != 0 ||
        ::setsockopt(fd, IPPROTO_TCP, TCP_MAXSEG, &kInternetSegment, sizeof kInternetSegment) !=
            0 ||
        (from != INADDR_LOOPBACK &&
         ::bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0) ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    return fd;
}

// Connects `socket` to the client on loopback, announcing `segment` as the
// largest segment it takes.
inline bool ConnectWithSegment(QTcpSocket& socket, quint16 port, int segment) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    if (fd < 0 || ::setsockopt(fd, IPPROTO_TCP, TCP_MAXSEG, &segment, sizeof segment) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    return socket.setSocketDescriptor(fd);
}

// Users reading 2 KB every 2 s through a small receive window and segments
// of the usual Internet size, so that the system holds little of what the
// client sends them and the client sees each read (smaller reads would let
// the system's window probes back off for longer than the client takes for
// a peer that reads nothing), each asking for the share list every 2 s; one
// whom the client closed connects again for its next request, under a new
// name when `freshNames`, as names cost strangers nothing.
class SlowListers : public QObject {
public:
    SlowListers(int users, quint16 port, bool freshNames = false)
        : m_port(port), m_freshNames(freshNames), m_sockets(std::size_t(users)) {
        connect(&m_tick, &QTimer::timeout, this, [this] { Tick(); });
        m_tick.start(100);
    }
    int asked = 0, comebacks = 0;
    qint64 read = 0;

private:
    void Tick() {
        const QByteArray request = RawPeer::Frame(PeerMessenger::PM_SHARED_FILE_LIST_REQUEST);
        for (std::size_t k = 0; k < m_sockets.size(); ++k) {
            std::unique_ptr<QTcpSocket>& socket = m_sockets[k];
            // Every 2 s, each in its own tenth of a second.
            if (int(m_ticks % 20) != int(k % 20))
                continue;
            if (socket && socket->isOpen())
                read += socket->read(2048).size();
            if (!socket || socket->state() == QAbstractSocket::UnconnectedState) {
                comebacks += socket != nullptr;
                socket = Connect(m_freshNames ? QString("fresh%1").arg(m_names++)
                                              : QString("slowlister%1").arg(k));
                if (!socket)
                    continue;
            }
            socket->write(request);
            ++asked;
        }
        ++m_ticks;
    }
    std::unique_ptr<QTcpSocket> Connect(const QString& name) const {
        const int fd = SmallWindowSocket(m_port, 2048);
        if (fd < 0)
            return nullptr;
        auto socket = std::make_unique<QTcpSocket>();
        if (!socket->setSocketDescriptor(fd))
            return nullptr;
        socket->setReadBufferSize(4096);
        socket->write(RawPeer::SetUpFrame(name, "P"));
        return socket;
    }
    quint16 m_port;
    bool m_freshNames;
    int m_names = 0;
    std::vector<std::unique_ptr<QTcpSocket>> m_sockets;
    QTimer m_tick;
    quint64 m_ticks = 0;
};

inline QByteArray FolderRequest(quint32 req, const QString& folder) {
    MemStream payload;
    payload.Write(req);
    payload.Write(folder);
    return RawPeer::Frame(PeerMessenger::PM_GET_SHARED_FILES_IN_FOLDER, payload.GetWrittenBytes());
}

// The shared folders as peers name them.
inline std::vector<QString> WireFolders() {
    std::vector<QString> out;
    for (const ItemPtr& folder : d.GetType("shared_file_folder")->GetItems())
        out.push_back(folder.AsString().replace('/', '\\'));
    return out;
}

// The honest user: reads all, browses every `browseMs`, searches for one
// track every 2 s and, when asked to, asks for a folder every second, one at
// a time.
struct Honest {
    RawPeer& peer;
    std::vector<QString> folders;
    qint64 browseMs = 10000;
    bool asksFolders = false;
    int browses = 0, lists = 0, searches = 0, answers = 0;
    int folderAsks = 0, folderAnswers = 0;
    qint64 slowestListMs = 0, slowestFolderMs = 0;
    qint64 browseSent = -1, folderSent = -1, lastBrowse = -1000000, lastSearch = -1000000,
           lastFolder = -1000000;

    void Turn(qint64 now) {
        quint32 code = 0;
        QByteArray payload;
        while (peer.WaitForMessage(&code, &payload, 0)) {
            if (code == PeerMessenger::PM_SHARED_FILE_LIST && browseSent >= 0) {
                ++lists;
                slowestListMs = std::max(slowestListMs, now - browseSent);
                browseSent = -1;
            } else if (code == PeerMessenger::PM_FILE_SEARCH_RESULT) {
                ++answers;
            } else if (code == PeerMessenger::PM_SHARED_FILES_IN_FOLDER && folderSent >= 0) {
                ++folderAnswers;
                slowestFolderMs = std::max(slowestFolderMs, now - folderSent);
                folderSent = -1;
            }
        }
        // Unanswered for 10 s counts as never answered.
        if (browseSent >= 0 && now - browseSent > 10000)
            browseSent = -1, slowestListMs = std::max<qint64>(slowestListMs, 10000);
        if (folderSent >= 0 && now - folderSent > 10000)
            folderSent = -1, slowestFolderMs = std::max<qint64>(slowestFolderMs, 10000);
        if (browseSent < 0 && now - lastBrowse >= browseMs) {
            lastBrowse = browseSent = now;
            ++browses;
            peer.SendMessage(PeerMessenger::PM_SHARED_FILE_LIST_REQUEST);
        }
        if (now - lastSearch >= 2000) {
            lastSearch = now;
            // For one track, as users search: a word every file holds costs
            // what the search flood phase measures, not what these floods do.
            ++searches;
            emit gp_server->DirectFileSearch("honest", quint32(2000000 + searches),
                                             QString("track %1").arg(searches % 1000));
        }
        if (asksFolders && folderSent < 0 && now - lastFolder >= 1000 && !folders.empty()) {
            lastFolder = folderSent = now;
            peer.SendMessage(PeerMessenger::PM_GET_SHARED_FILES_IN_FOLDER,
                             FolderRequest(quint32(3000000 + folderAsks),
                                           folders[std::size_t(folderAsks) % folders.size()])
                                 .mid(8));
            ++folderAsks;
        }
    }
};

#endif
