#include "net/PeerMessenger.h"

#include <QElapsedTimer>
#include <QMetaMethod>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QtEndian>
#include <algorithm>
#include <limits>
#include <vector>

#include <sys/ioctl.h>
#include <sys/resource.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "net/FrameReader.h"
#include "net/LowDelay.h"
#include "net/Obfuscation.h"
#include "net/PeerConnection.h"
#include "net/PeerLimits.h"
#include "net/PeerTypes.h"
#include "net/server.h"
#include "store/DataSaver.h"
#include "store/Log.h"
#include "store/Settings.h"
#include "store/TimerManager.h"

PeerMessenger* peerMessenger = nullptr;

namespace {

const char* const kArea = "Peer Messenger";
// Search answers and the output they become are megabytes each, made and
// freed many times a second under a search flood. The allocator's sliding
// threshold would soon serve them from the heap, which keeps what they freed;
// a fixed one maps them apart and gives them back when freed.
void KeepLargeBuffersApart() {
#ifdef __GLIBC__
    static const bool done = [] {
        constexpr int kApartFrom = 1024 * 1024;
        mallopt(M_MMAP_THRESHOLD, kApartFrom);
        mallopt(M_TRIM_THRESHOLD, kApartFrom);
        return true;
    }();
    Q_UNUSED(done);
#endif
}

bool IsKind(const QString& kind) {
    return kind == "P" || kind == "F" || kind == "D";
}

QByteArray FrameOf(const QByteArray& body) {
    QByteArray frame(4, '\0');
    qToLittleEndian<quint32>(quint32(body.size()), frame.data());
    return frame + body;
}

QByteArray BodyOf(quint32 code, const MemStream& payload) {
    QByteArray body(4, '\0');
    qToLittleEndian<quint32>(code, body.data());
    return body + payload.GetWrittenBytes();
}

// Keeps failure checks from running (and signals from being emitted) while a
// request is half set up; a socket may report a refused connect at once.
class DeferGuard {
public:
    explicit DeferGuard(int& depth) : m_depth(depth) { ++m_depth; }
    ~DeferGuard() { --m_depth; }

private:
    int& m_depth;
};

}  // namespace

struct PeerMessenger::Request {
    enum Direct { DirectEnded, DirectAwaitingAddress, DirectConnecting };

    quint32 token = 0;
    QString user;
    QString kind;
    Direct direct = DirectEnded;
    int directTicks = 0;
    quint64 directConnection = 0;
    bool indirect = false;
    int indirectTicks = 0;
    // Only asks her to prove an address of hers: its end is nobody's failure.
    bool probe = false;
};

// ---------------------------------------------------------------------------

PeerMessenger::PeerMessenger(QObject* parent)
    : QObject(parent), m_maxMessaging(PeerLimits::kMaxMessagingConnections) {
    peerMessenger = this;
    KeepLargeBuffersApart();
    FitDescriptorLimit();
    // Shared by every instance, so that all of them see one steady time line.
    static QElapsedTimer steady;
    if (!steady.isValid())
        steady.start();
    m_clock = [] { return steady.elapsed(); };
    m_deadlineTimer.setInterval(PeerLimits::kDeadlineCheckMs);
    connect(&m_deadlineTimer, &QTimer::timeout, this, &PeerMessenger::CheckDeadlines);
    m_deadlineTimer.start();
    m_waitTimer.setSingleShot(true);
    connect(&m_waitTimer, &QTimer::timeout, this, &PeerMessenger::ServeWaitingRequests);
    m_resumeTimer.setSingleShot(true);
    connect(&m_resumeTimer, &QTimer::timeout, this, &PeerMessenger::ResumeReads);
    m_paceTimer.setInterval(PeerLimits::kSendPaceMs);
    connect(&m_paceTimer, &QTimer::timeout, this, &PeerMessenger::OnPaceTick);
    qRegisterMetaType<ItemPtr>("ItemPtr");
    DeclarePeerTypes(dataSaver);
    if (dataSaver)
        dataSaver->AddDataLoadedEventHandler(this);
    if (timerManager)
        connect(&timerManager->everyHalfMinute, &QTimer::timeout, this,
                &PeerMessenger::OnHalfMinuteTick);
    if (gp_server) {
        connect(gp_server, &Server::PeerAddress, this, &PeerMessenger::OnPeerAddress);
        connect(gp_server, &Server::ConnectToPeerRequested, this,
                &PeerMessenger::OnConnectToPeerRequested);
        connect(gp_server, &Server::CannotConnectToPeer, this,
                &PeerMessenger::OnCannotConnectToPeer);
        connect(gp_server, &Server::Connected, this, [this] { AskAgain(); });
    }
}

PeerMessenger::~PeerMessenger() {
    if (dataSaver)
        dataSaver->RemoveDataLoadedEventHandler(this);
    for (auto& entry : m_connections) {
        const ConnectionPtr& c = entry.second;
        c->closed = true;
        if (QTcpSocket* socket = c->socket) {
            socket->disconnect(this);
            socket->abort();
            delete socket;
            c->socket = nullptr;
        }
    }
    m_connections.clear();
    if (peerMessenger == this)
        peerMessenger = nullptr;
}

void PeerMessenger::FitDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return;
    const rlim_t wanted = limit.rlim_max == RLIM_INFINITY
                              ? rlim_t(PeerLimits::kWantedDescriptors)
                              : std::min(limit.rlim_max, rlim_t(PeerLimits::kWantedDescriptors));
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < wanted) {
        rlimit raised = limit;
        raised.rlim_cur = wanted;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    const qint64 soft = limit.rlim_cur == RLIM_INFINITY ? std::numeric_limits<qint64>::max()
                                                        : qint64(limit.rlim_cur);
    // Two listeners, the server, outgoing attempts, the distributed network
    // and a reserve are fixed; messaging and set-ups share what is left.
    const qint64 fixed = 3 + PeerLimits::kMaxOutgoingAttempts + PeerLimits::kMaxDNetChildren +
                         PeerLimits::kMaxDNetCandidates + PeerLimits::kReservedDescriptors;
    const qint64 room = soft - fixed;
    const qint64 wantedRoom = qint64(m_maxMessaging) + m_maxUnidentified;
    if (room < wantedRoom) {
        const qint64 kFloor = 16;
        m_maxUnidentified = int(qMax(kFloor, room * m_maxUnidentified / wantedRoom));
        m_maxMessaging = int(qMax(kFloor, room - m_maxUnidentified));
    }
    Log(kArea, 1,
        QString("Descriptor limit %1; up to %2 messaging connections and %3 without set-up.")
            .arg(soft)
            .arg(m_maxMessaging)
            .arg(m_maxUnidentified));
}

namespace {
quint16 g_defaultPort = PeerLimits::kDefaultListeningPort;
quint16 g_defaultObfuscatedPort = PeerLimits::kDefaultObfuscatedListeningPort;
}  // namespace

void PeerMessenger::SetDefaultPorts(quint16 plain, quint16 obfuscated) {
    g_defaultPort = plain;
    g_defaultObfuscatedPort = obfuscated;
}

void PeerMessenger::DataLoaded() {
    SetSettingDefault("listening_port", g_defaultPort);
    SetSettingDefault("obfuscated_listening_port", g_defaultObfuscatedPort);
    if (HasSetting("new_listening_port")) {
        bool ok = false;
        const uint port = GetSetting("new_listening_port").toUInt(&ok);
        if (ok && port >= 1 && port <= 0xFFFF) {
            SetSetting("listening_port", port);
            // 0 stands for "no obfuscated port" where nothing is above it.
            SetSetting("obfuscated_listening_port", port < 0xFFFF ? port + 1 : 0u);
        } else {
            Log(kArea, 1,
                QString("Ignoring new_listening_port %1").arg(GetSetting("new_listening_port")));
        }
    }
    Listen();
}

bool PeerMessenger::Listen() {
    bool allOpen = true;
    auto open = [this, &allOpen](QTcpServer*& listener, const char* key, bool obfuscated) {
        if (listener) {
            listener->close();
            listener->deleteLater();
            listener = nullptr;
        }
        const int port = GetSettingInt(key);
        if (port < 0 || port > 0xFFFF) {
            Log(kArea, 1, QString("Setting %1 is not a port: %2").arg(key).arg(port));
            allOpen = false;
            return;
        }
        QTcpServer* server = new QTcpServer(this);
        if (!server->listen(m_listenAddress, quint16(port))) {
            Log(kArea, 1,
                QString("Cannot listen on port %1: %2").arg(port).arg(server->errorString()));
            delete server;
            allOpen = false;
            return;
        }
        listener = server;
        connect(server, &QTcpServer::newConnection, this,
                [this, obfuscated] { OnNewConnection(obfuscated); });
        // The listener pauses itself on an accept error (out of descriptors,
        // for one); the next tick resumes it.
        connect(server, &QTcpServer::acceptError, this, [server](QAbstractSocket::SocketError) {
            Log(kArea, 1, QString("Cannot accept a connection: %1").arg(server->errorString()));
        });
        Log(kArea, 1,
            QString("Listening on %1port %2.")
                .arg(obfuscated ? "obfuscated " : "")
                .arg(server->serverPort()));
    };
    open(mp_plainListener, "listening_port", false);
    open(mp_obfuscatedListener, "obfuscated_listening_port", true);
    return allOpen;
}

quint16 PeerMessenger::ListeningPort() const {
    return mp_plainListener ? mp_plainListener->serverPort() : 0;
}

quint16 PeerMessenger::ObfuscatedListeningPort() const {
    return mp_obfuscatedListener ? mp_obfuscatedListener->serverPort() : 0;
}

int PeerMessenger::ConnectionCount() const {
    return int(m_connections.size());
}

int PeerMessenger::UnsentMessageCount(const QString& user) const {
    const auto it = m_unsent.find(user);
    return it == m_unsent.end() ? 0 : int(it->second.messages.size());
}

int PeerMessenger::PacedMessageCount(const QString& user) const {
    const auto it = m_paced.find(user);
    int n = 0;
    if (it != m_paced.end())
        for (const auto& code : it->second)
            n += int(code.second.messages.size());
    return n;
}

// ---------------------------------------------------------------------------
// Connections.

PeerMessenger::ConnectionPtr PeerMessenger::AddConnection(QTcpSocket* socket, int origin,
                                                          bool obfuscated) {
    auto c = std::make_shared<Connection>();
    c->id = m_nextConnectionId++;
    c->socket = socket;
    c->origin = origin;
    c->obfuscated = obfuscated;
    c->state = origin == OriginIncoming ? Connection::AwaitSetUp : Connection::Connecting;
    c->vouched = origin != OriginIncoming;
    c->peerIp = origin == OriginIncoming ? PeerIp(socket) : 0;
    c->lastActivity = Now();
    if (origin == OriginIncoming) {
        c->setUpDeadline = c->lastActivity + PeerLimits::kSetUpMs;
        c->unidentified = true;
        m_unidentified.insert(c->id);
    }
    m_connections[c->id] = c;

    const quint64 id = c->id;
    LowDelay::SendAtOnce(socket);
    connect(socket, &QTcpSocket::connected, socket, [socket] { LowDelay::SendAtOnce(socket); });
    connect(socket, &QTcpSocket::connected, this, [this, id] { OnSocketConnected(id); });
    connect(socket, &QTcpSocket::readyRead, this, [this, id] { OnSocketReadyRead(id); });
    connect(socket, &QTcpSocket::bytesWritten, this,
            [this, id](qint64 written) { OnBytesWritten(id, written); });
    connect(socket, &QTcpSocket::disconnected, this, [this, id] { OnSocketClosed(id); });
    connect(socket, &QAbstractSocket::errorOccurred, this,
            [this, id](QAbstractSocket::SocketError error) {
                if (error != QAbstractSocket::TemporaryError)
                    OnSocketClosed(id);
            });
    return c;
}

PeerMessenger::ConnectionPtr PeerMessenger::FindConnection(quint64 id) const {
    const auto it = m_connections.find(id);
    return it == m_connections.end() ? ConnectionPtr() : it->second;
}

void PeerMessenger::OnNewConnection(bool obfuscated) {
    QTcpServer* listener = obfuscated ? mp_obfuscatedListener : mp_plainListener;
    if (!listener)
        return;
    // The listener accepts while connections come, so a flood of them would
    // hold the thread: a turn of the event loop takes kAcceptsPerTurn at
    // most, and the rest wait in the listener, which stops accepting past
    // its own small backlog until the next turn takes them.
    if (!m_acceptTurnPosted) {
        m_acceptTurnPosted = true;
        QTimer::singleShot(0, this, [this] {
            m_acceptTurnPosted = false;
            const bool took = m_acceptedThisTurn > 0;
            m_acceptedThisTurn = 0;
            if (took) {
                OnNewConnection(false);
                OnNewConnection(true);
            }
        });
    }
    while (m_acceptedThisTurn < m_maxAcceptsPerTurn) {
        QTcpSocket* socket = listener->nextPendingConnection();
        if (!socket)
            break;
        ++m_acceptedThisTurn;
        MakeRoomForUnidentified();
        // Ours until handed over, whatever happens to the listener.
        socket->setParent(this);
        const ConnectionPtr c = AddConnection(socket, OriginIncoming, obfuscated);
        Log(kArea, 2,
            QString("Connection from %1:%2%3.")
                .arg(socket->peerAddress().toString())
                .arg(socket->peerPort())
                .arg(obfuscated ? " (obfuscated)" : ""));
        if (socket->bytesAvailable() > 0)
            Process(c);
    }
}

void PeerMessenger::OnSocketConnected(quint64 id) {
    const ConnectionPtr c = FindConnection(id);
    if (!c || c->state != Connection::Connecting)
        return;
    c->ticks = 0;
    c->peerIp = PeerIp(c->socket);
    if (c->origin == OriginDirect) {
        MemStream setUp;
        setUp.Write(GetSetting("username"));
        setUp.Write(c->kind);
        setUp.Write(quint32(0));
        WriteSetUp(c, SETUP_PEER_INIT, setUp);
        if (c->closed)
            return;
        Log(kArea, 2, QString("Connected to %1 (%2).").arg(c->user, c->kind));
        // This attempt answered the request; a late connect-back for it is
        // then closed as unknown.
        const auto it = m_requests.find(c->token);
        if (it != m_requests.end() && it->second->directConnection == c->id)
            m_requests.erase(it);
        if (c->kind == "P") {
            BecomeMessaging(c);
        } else if (c->kind == "F") {
            const QString user = c->user;
            if (QTcpSocket* socket =
                    HandOver(c, QMetaMethod::fromSignal(&PeerMessenger::FileConnectionAccepted)))
                emit FileConnectionAccepted(user, socket);
        } else {
            const QString user = c->user;
            if (QTcpSocket* socket =
                    HandOver(c, QMetaMethod::fromSignal(&PeerMessenger::DNetConnectionAccepted)))
                emit DNetConnectionAccepted(user, socket);
        }
        return;
    }
    // Our connect-back to the peer's request.
    MemStream answer;
    answer.Write(c->token);
    WriteSetUp(c, SETUP_CONNECT_BACK_ANSWER, answer);
    if (c->closed)
        return;
    Log(kArea, 2, QString("Connected back to %1 (%2).").arg(c->user, c->kind));
    if (c->kind == "P") {
        BecomeMessaging(c);
    } else if (c->kind == "F") {
        // The peer uploads: its transfer token comes first, as on an incoming "F".
        c->state = Connection::AwaitToken;
        c->setUpDeadline = Now() + PeerLimits::kSetUpMs;
        Process(c);
    } else {
        const QString user = c->user;
        if (QTcpSocket* socket =
                HandOver(c, QMetaMethod::fromSignal(&PeerMessenger::DNetConnectionRequested)))
            emit DNetConnectionRequested(user, socket);
    }
}

void PeerMessenger::OnSocketReadyRead(quint64 id) {
    if (const ConnectionPtr c = FindConnection(id)) {
        LowDelay::AcknowledgeAtOnce(c->socket);
        Process(c);
    }
}

void PeerMessenger::OnSocketClosed(quint64 id) {
    const ConnectionPtr c = FindConnection(id);
    if (!c)
        return;
    // Take what arrived before the close; frames left for a later turn are
    // read then.
    if (c->state != Connection::Connecting && c->socket && c->socket->bytesAvailable() > 0)
        Process(c);
    if (c->closed)
        return;
    // Frames read before the close are handled, also those behind a
    // message held for the check of her address.
    if (c->readPaused || c->check == Connection::Checking) {
        c->closeWhenRead = true;
        return;
    }
    std::deque<QByteArray> turnedDown;
    if (c->state == Connection::Messaging && Now() - c->messagingSince <= PeerLimits::kSetUpMs)
        turnedDown.swap(c->unheard);
    Close(c, c->state == Connection::Connecting
                 ? QString("cannot connect: %1").arg(c->socket->errorString())
                 : QString("closed by the peer"));
    if (!turnedDown.empty())
        Log(kArea, 2,
            QString("%1 turned our connection down; %2 messages go again.")
                .arg(c->user)
                .arg(turnedDown.size()));
    for (const QByteArray& body : turnedDown)
        SendOn(NewestMessaging(c->user), c->user, body);
}

void PeerMessenger::Close(const ConnectionPtr& c, const QString& why) {
    if (c->closed)
        return;
    RememberIfDeaf(*c, Now());
    c->closed = true;
    if (c->check == Connection::Checking) {
        Unwait(*c);
        ReleaseCheck(*c);
    }
    m_connections.erase(c->id);
    Unindex(*c);
    m_partialBytes -= c->partialBytes;
    c->partialBytes = 0;
    Log(kArea, 2,
        QString("Connection %1%2 closed: %3")
            .arg(c->user.isEmpty() ? QString("(unidentified)") : c->user)
            .arg(c->kind.isEmpty() ? QString() : QString(" (%1)").arg(c->kind))
            .arg(why));
    if (QTcpSocket* socket = c->socket) {
        c->socket = nullptr;
        m_releasedOutput += socket->bytesToWrite();
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
    if (c->state == Connection::Connecting) {
        if (c->origin == OriginDirect) {
            DirectEnded(c->token, c->id);
        } else if (c->origin == OriginConnectBack) {
            if (gp_server)
                gp_server->CannotConnect(c->token, c->user);
        }
    }
}

QTcpSocket* PeerMessenger::HandOver(const ConnectionPtr& c, const QMetaMethod& signal) {
    Unindex(*c);
    QTcpSocket* socket = c->socket;
    c->socket = nullptr;
    c->closed = true;
    m_connections.erase(c->id);
    if (!socket)
        return nullptr;
    QObject::disconnect(socket, nullptr, this, nullptr);
    socket->setParent(nullptr);
    socket->flush();
    if (!isSignalConnected(signal)) {
        Log(kArea, 1,
            QString("Nobody takes the %1 connection of %2; closed.").arg(c->kind, c->user));
        socket->abort();
        socket->deleteLater();
        return nullptr;
    }
    Log(kArea, 2, QString("Handing over the %1 connection of %2.").arg(c->kind, c->user));
    return socket;
}

void PeerMessenger::Process(const ConnectionPtr& c) {
    QElapsedTimer slice;
    while (!c->closed && c->socket) {
        switch (c->state) {
            case Connection::Connecting:
                return;
            case Connection::AwaitSetUp: {
                quint32 code = 0;
                MemStream payload;
                bool got = false;
                const bool ok = c->obfuscated ? ReadFrame(c, c->decoder, code, payload, got)
                                              : ReadPlainSetUp(c, code, payload, got);
                if (!ok || !got)
                    return;
                HandleSetUp(c, code, payload);
                break;
            }
            case Connection::AwaitToken:
                if (c->socket->bytesAvailable() < 4)
                    return;
                TakeFileToken(c);
                return;
            case Connection::Messaging: {
                // A connection whose frames keep coming gives way to the
                // others and the window after its slice; the rest waits in
                // its buffers, and TCP holds back what follows.
                if (c->readPaused || c->check == Connection::Checking)
                    return;
                if (!slice.isValid()) {
                    slice.start();
                } else if (slice.elapsed() >= PeerLimits::kReadSliceMs) {
                    c->readPaused = true;
                    m_pausedReads.push_back(c->id);
                    if (!m_resumeTimer.isActive())
                        m_resumeTimer.start(0);
                    return;
                }
                quint32 code = 0;
                MemStream payload;
                bool got = false;
                const bool ok = c->obfuscated ? ReadFrame(c, c->decoder, code, payload, got)
                                              : ReadFrame(c, c->reader, code, payload, got);
                if (!ok)
                    return;
                if (!got) {
                    TrackFrameProgress(c, 0);
                    return;
                }
                c->ticks = 0;
                c->heard = true;
                c->unheard.clear();
                c->unheardBytes = 0;
                MarkInUse(*c);
                if (CheckAddress(c, code, payload))
                    return;
                DispatchFrom(c, code, payload);
                break;
            }
        }
    }
}

void PeerMessenger::ResumeReads() {
    std::deque<quint64> paused;
    paused.swap(m_pausedReads);
    QElapsedTimer slice;
    slice.start();
    while (!paused.empty()) {
        // Those not reached this turn keep their place ahead of the others.
        if (slice.elapsed() >= PeerLimits::kReadSliceMs) {
            paused.insert(paused.end(), m_pausedReads.begin(), m_pausedReads.end());
            m_pausedReads.swap(paused);
            m_resumeTimer.start(0);
            return;
        }
        const quint64 id = paused.front();
        paused.pop_front();
        const ConnectionPtr c = FindConnection(id);
        if (!c)
            continue;
        c->readPaused = false;
        Process(c);
        if (!c->closed && !c->readPaused && c->closeWhenRead)
            Close(c, "closed by the peer");
    }
}

bool PeerMessenger::ReadPlainSetUp(const ConnectionPtr& c, quint32& code, MemStream& payload,
                                   bool& got) {
    // Never reads past the set-up: on "F" and "D" the bytes after it belong
    // to whoever takes the socket over.
    got = false;
    QTcpSocket* socket = c->socket;
    if (socket->bytesAvailable() < 4)
        return true;
    char head[4];
    if (socket->peek(head, 4) != 4)
        return true;
    const quint32 length = qFromLittleEndian<quint32>(head);
    if (length < PeerLimits::kMinFrameLength || length > PeerLimits::kMaxSetUpLength) {
        Close(c, QString("bad set-up length %1").arg(length));
        return false;
    }
    if (socket->bytesAvailable() < 4 + qint64(length))
        return true;
    QByteArray frame(int(4 + length), '\0');
    if (socket->read(frame.data(), frame.size()) != frame.size()) {
        Close(c, "read failed");
        return false;
    }
    m_bytesRead += frame.size();
    code = qFromLittleEndian<quint32>(frame.constData() + 4);
    payload = MemStream(frame.mid(8));
    got = true;
    return true;
}

// Reads from the socket until one whole frame is decoded. Only "P" uses the
// obfuscated port, and plain set-ups are read elsewhere, so reading ahead is
// harmless for both readers here.
template <class Reader>
bool PeerMessenger::ReadFrame(const ConnectionPtr& c, Reader& reader, quint32& code,
                              MemStream& payload, bool& got) {
    got = false;
    std::vector<char> chunk;
    for (;;) {
        const typename Reader::Result result = reader.Next(code, payload);
        if (result == Reader::Error) {
            Close(c, reader.ErrorText());
            return false;
        }
        if (result == Reader::Frame) {
            got = true;
            return true;
        }
        const qint64 available = c->socket->bytesAvailable();
        if (available <= 0)
            return true;
        chunk.resize(std::size_t(qMin(available, PeerLimits::kReadChunk)));
        const qint64 n = c->socket->read(chunk.data(), qint64(chunk.size()));
        if (n <= 0)
            return true;
        reader.Feed(chunk.data(), n);
        m_bytesRead += n;
        TrackFrameProgress(c, n);
        if (c->closed)
            return false;
    }
}

void PeerMessenger::HandleSetUp(const ConnectionPtr& c, quint32 code, MemStream& payload) {
    if (code == SETUP_PEER_INIT) {
        QString user, kind;
        quint32 unused = 0;
        if (!payload.Read(user) || !payload.Read(kind) || !payload.Read(unused)) {
            Close(c, "malformed set-up");
            return;
        }
        if (user.isEmpty() || !IsKind(kind)) {
            Close(c, QString("set-up with user \"%1\" and kind \"%2\"").arg(user, kind));
            return;
        }
        c->user = user;
        c->kind = kind;
        if (c->obfuscated && kind != "P") {
            Close(c, "file and distributed connections are not obfuscated");
            return;
        }
        Log(kArea, 2, QString("%1 connected to us (%2).").arg(user, kind));
        if (kind == "P") {
            BecomeMessaging(c);
        } else if (kind == "F") {
            c->state = Connection::AwaitToken;
        } else {
            if (QTcpSocket* socket =
                    HandOver(c, QMetaMethod::fromSignal(&PeerMessenger::DNetConnectionRequested)))
                emit DNetConnectionRequested(user, socket);
        }
        return;
    }
    if (code == SETUP_CONNECT_BACK_ANSWER) {
        quint32 token = 0;
        if (!payload.Read(token)) {
            Close(c, "malformed connect-back answer");
            return;
        }
        const auto it = m_requests.find(token);
        QString user, kind;
        if (it != m_requests.end()) {
            user = it->second->user;
            kind = it->second->kind;
        } else if (!LatelyIssued(token, user, kind)) {
            Close(c, QString("connect-back answer with unknown token %1").arg(token));
            return;
        }
        // Only she was given the token: where she answers from is hers.
        AnsweredFrom(user, c->peerIp);
        if (c->closed)
            return;
        if (it == m_requests.end() && kind != "P") {
            Close(c, QString("connect-back answer for a %1 connection made since").arg(kind));
            return;
        }
        // A messaging one that comes after another answered is hers all the
        // same: what she sent on it is not lost.
        c->user = user;
        c->kind = kind;
        c->vouched = true;
        if (c->obfuscated && kind != "P") {
            Close(c, "file and distributed connections are not obfuscated");
            return;
        }
        Log(kArea, 2, QString("%1 connected back to us (%2).").arg(user, kind));
        RetireRequest(token);
        if (kind == "P") {
            BecomeMessaging(c);
        } else if (kind == "F") {
            if (QTcpSocket* socket =
                    HandOver(c, QMetaMethod::fromSignal(&PeerMessenger::FileConnectionAccepted)))
                emit FileConnectionAccepted(user, socket);
        } else {
            if (QTcpSocket* socket =
                    HandOver(c, QMetaMethod::fromSignal(&PeerMessenger::DNetConnectionAccepted)))
                emit DNetConnectionAccepted(user, socket);
        }
        return;
    }
    Close(c, QString("unknown set-up code %1").arg(code));
}

void PeerMessenger::TakeFileToken(const ConnectionPtr& c) {
    char bytes[4];
    if (c->socket->read(bytes, 4) != 4) {
        Close(c, "read failed");
        return;
    }
    m_bytesRead += 4;
    const uint requestID = qFromLittleEndian<quint32>(bytes);
    const QString user = c->user;
    // The file of an offer we took comes from where the offer came, or
    // from an address of hers; on a connection we made at the server's word
    // (she asked it to have us connect back) it is hers.
    const auto offer = m_offersTaken.find({user, requestID});
    if (offer != m_offersTaken.end()) {
        if (!c->vouched && offer->second != c->peerIp && !AddressIsHers(user, c->peerIp)) {
            CountStranger(user, 0);
            Close(c, "file connection from another address than its offer");
            return;
        }
        m_offersTaken.erase(offer);
    }
    if (QTcpSocket* socket =
            HandOver(c, QMetaMethod::fromSignal(&PeerMessenger::FileConnectionRequested)))
        emit FileConnectionRequested(user, socket, requestID);
}

void PeerMessenger::BecomeMessaging(const ConnectionPtr& c) {
    MakeRoomForMessaging(c);
    // What we do not read yet stays with TCP, not in our memory.
    if (c->socket)
        c->socket->setReadBufferSize(PeerLimits::kMessagingReadBuffer);
    c->state = Connection::Messaging;
    c->ticks = 0;
    c->setUpDeadline = 0;
    c->lastActivity = Now();
    c->messagingSince = c->lastActivity;
    c->readyOrder = ++m_readyOrder;
    if (c->unidentified) {
        c->unidentified = false;
        m_unidentified.erase(c->id);
    }
    m_messagingByUser[c->user].insert(c->id);
    c->idlePlace = m_idleHello.insert(m_idleHello.end(), c->id);
    c->idleListed = true;
    c->decoder.SetMaxLength(PeerLimits::kMaxFrameLength);
    // From an address of hers: hers.
    if (!c->vouched && AddressIsHers(c->user, c->peerIp))
        c->vouched = true;
    // A set-up under her name from elsewhere is not her: our attempts to
    // reach her go on, and what waits for her stays for her.
    if (c->vouched)
        Vouch(c);
}

void PeerMessenger::Vouch(const ConnectionPtr& c) {
    c->vouched = true;
    // Whatever we were still trying for this user's messaging is answered.
    std::vector<quint32> answered;
    for (const auto& entry : m_requests)
        if (entry.second->user == c->user && entry.second->kind == "P")
            answered.push_back(entry.first);
    for (quint32 token : answered)
        RetireRequest(token);
    Flush(c);
}

// ---------------------------------------------------------------------------
// Writing.

bool PeerMessenger::WriteBody(const ConnectionPtr& c, const QByteArray& body) {
    // The peer closed it: what is left of its input is read, nothing written.
    if (c->closed || !c->socket || c->closeWhenRead)
        return false;
    if (c->state == Connection::Messaging)
        MarkInUse(*c);
    // Search answers are optional: sent twice, they would show twice.
    if (c->origin == OriginConnectBack && c->state == Connection::Messaging && !c->heard &&
        c->unheardBytes >= 0 &&
        qFromLittleEndian<quint32>(body.constData()) != PM_FILE_SEARCH_RESULT) {
        c->unheardBytes += body.size();
        c->unheard.push_back(body);
        // Past the bound nothing more is kept for it: sent again in part,
        // they would come out of order.
        if (c->unheardBytes > PeerLimits::kMaxUnheardBytes) {
            c->unheard.clear();
            c->unheardBytes = -1;
        }
    }
    // Frames never mix: behind a large answer going in pieces, a message
    // waits its turn.
    if (!c->pending.empty()) {
        Connection::Pending waiting;
        waiting.body = body;
        c->pending.push_back(waiting);
        c->pendingOwn += 4 + body.size();
        if (TooMuchUnsent(c))
            return false;
        c->ticks = 0;
        Touch(*c, Now());
        Recount(*c);
        return true;
    }
    QByteArray bytes = FrameOf(body);
    if (c->obfuscated)
        bytes = Obfuscation::Encode(bytes);
    return WriteOut(c, bytes);
}

bool PeerMessenger::WriteOut(const ConnectionPtr& c, const QByteArray& bytes) {
    const qint64 now = Now();
    if (c->socket->bytesToWrite() == 0)
        c->outputMoved = now;
    if (c->socket->write(bytes) != bytes.size()) {
        Close(c, "write failed");
        return false;
    }
    c->written += bytes.size();
    c->output.Added(bytes.size());
    c->outputAge.Written(bytes.size(), now);
    if (TooMuchUnsent(c))
        return false;
    c->ticks = 0;
    Touch(*c, now);
    Recount(*c);
    return true;
}

void PeerMessenger::WriteSetUp(const ConnectionPtr& c, quint32 code, const MemStream& payload) {
    const QByteArray body = BodyOf(code, payload);
    if (quint32(body.size()) > PeerLimits::kMaxSetUpLength) {
        Close(c, "set-up too long");
        return;
    }
    WriteBody(c, body);
}

PeerMessenger::ConnectionPtr PeerMessenger::NewestMessaging(const QString& user) const {
    ConnectionPtr best;
    const auto ids = m_messagingByUser.find(user);
    if (ids == m_messagingByUser.end())
        return best;
    for (const quint64 id : ids->second) {
        const ConnectionPtr c = FindConnection(id);
        if (!c)
            continue;
        // Our connect-back answer is turned down when the peer's own attempt
        // won meanwhile, and what we wrote on it is lost: until the peer
        // speaks on it, any other connection goes first.
        const auto rank = [](const ConnectionPtr& x) {
            return std::make_pair(x->origin != OriginConnectBack || x->heard, x->readyOrder);
        };
        if (c->state == Connection::Messaging && c->vouched && c->user == user &&
            !c->closeWhenRead && (!best || rank(c) > rank(best)))
            best = c;
    }
    return best;
}

bool PeerMessenger::Sendable(const QString& user, const QByteArray& body) const {
    if (body.size() >= qint64(PeerLimits::kMinFrameLength) &&
        quint64(body.size()) <= PeerLimits::kMaxFrameLength)
        return true;
    Log(kArea, 1,
        QString("Message of %1 bytes to %2 cannot be sent; dropped.").arg(body.size()).arg(user));
    return false;
}

void PeerMessenger::SendMessage(QString user, MemStream& message) {
    const QByteArray body = message.GetWrittenBytes();
    if (Sendable(user, body))
        SendOn(NewestMessaging(user), user, body);
}

void PeerMessenger::SendOn(const ConnectionPtr& c, const QString& user, const QByteArray& body) {
    if (c) {
        if (!Paced(user, body))
            WriteBody(c, body);
        return;
    }
    Enqueue(user, body);
    StartRequest(user, "P");
}

PeerMessenger::ConnectionPtr PeerMessenger::ReplyTarget(const QString& user, quint64 via,
                                                        bool& gone) const {
    gone = false;
    if (via == 0 && m_asker != 0 && m_askerUser == user)
        via = m_asker;
    if (via == 0)
        return NewestMessaging(user);
    const ConnectionPtr c = FindConnection(via);
    if (c && !c->closed && c->socket && !c->closeWhenRead && c->state == Connection::Messaging &&
        c->user == user)
        return c;
    gone = true;
    return nullptr;
}

bool PeerMessenger::IsOpen(quint64 via) const {
    const ConnectionPtr c = FindConnection(via);
    return c && !c->closed && c->socket && !c->closeWhenRead && c->state == Connection::Messaging;
}

bool PeerMessenger::IsHers(quint64 via) const {
    const ConnectionPtr c = FindConnection(via);
    return IsOpen(via) && c->vouched;
}

template <typename... Fields>
void PeerMessenger::SendFields(const QString& user, quint32 code, const Fields&... fields) {
    MemStream m;
    if ((m.Write(fields) && ...))
        Send(user, code, m);
}

template <typename... Fields>
void PeerMessenger::SendReply(const QString& user, quint32 code, const Fields&... fields) {
    MemStream m;
    if (!(m.Write(fields) && ...))
        return;
    bool gone = false;
    const ConnectionPtr c = ReplyTarget(user, 0, gone);
    if (gone)
        return;  // the asker left: one who comes back asks again
    if (!c || !c->socket) {
        Send(user, code, m);
        return;
    }
    const QByteArray body = BodyOf(code, m);
    const qint64 bytes = 4 + body.size();
    if (!RoomForReply(c, bytes)) {
        int unlogged = 0;
        if (m_droppedReplies.Drop(Now(), unlogged, user, code))
            LogDroppedReplies(unlogged, user, code);
        return;
    }
    const bool behind = !c->pending.empty();
    if (!WriteBody(c, body) || c->closed)
        return;
    c->replyBytes += bytes;
    m_replyBytes += bytes;
    if (behind)
        c->pending.back().reply = true;
    else
        c->replies.emplace_back(c->written, bytes);
}

void PeerMessenger::LogDroppedReplies(int n, const QString& user, quint32 code) {
    Log(kArea, 1,
        QString("%1 replies dropped: their users do not take what we send, the last code %2 to "
                "%3.")
            .arg(n)
            .arg(code)
            .arg(user));
}

void PeerMessenger::Send(const QString& user, quint32 code, const MemStream& payload) {
    MemStream message;
    message.Write(code);
    const QByteArray bytes = payload.GetWrittenBytes();
    if (!message.WriteBuffer(bytes.constData(), bytes.size()))
        return;
    SendMessage(user, message);
}

void PeerMessenger::QueueDownload(QString user, std::string file) {
    SendFields(user, PM_QUEUE_UPLOAD, file);
}

void PeerMessenger::QueueUpload(QString user, QString file, qint64 size) {
    SendFields(user, PM_QUEUE_DOWNLOAD_REQUEST, file, size);
}

uint PeerMessenger::RequestUpload(QString user, QString file, qint64 size) {
    // The transfer engine writes the default "1" before the load.
    uint req = HasSetting("transfer_req_counter")
                   ? GetSettingValueItem("transfer_req_counter").AsUInt()
                   : 1u;
    uint next = req + 1;
    if (next == 0)
        next = 1;
    SetSetting("transfer_req_counter", next);
    SendFields(user, PM_TRANSFER_REQUEST, quint32(1), quint32(req), file, size);
    return req;
}

void PeerMessenger::AcceptTransferRequest(QString user, uint req, bool includeSize, qint64 size) {
    bool gone = false;
    if (const ConnectionPtr asker = ReplyTarget(user, 0, gone)) {
        if (m_offersTaken.size() >= PeerLimits::kMaxRoomRecords)
            m_offersTaken.erase(m_offersTaken.begin());
        m_offersTaken[{user, quint32(req)}] = asker->peerIp;
    }
    if (includeSize)
        SendReply(user, PM_TRANSFER_RESPONSE, quint32(req), quint8(1), size);
    else
        SendReply(user, PM_TRANSFER_RESPONSE, quint32(req), quint8(1));
}

void PeerMessenger::DenyTransferRequest(QString user, uint req, QString reason) {
    SendReply(user, PM_TRANSFER_RESPONSE, quint32(req), quint8(0), reason);
}

void PeerMessenger::DenyUpload(QString user, QString file, QString reason) {
    SendReply(user, PM_UPLOAD_DENIED, file, reason);
}

void PeerMessenger::SendUploadPlaceInLine(QString user, QString file, int place) {
    SendReply(user, PM_UPLOAD_PLACE_IN_LINE, file, quint32(place));
}

void PeerMessenger::GetUserSharedFiles(QString user) {
    // A list is taken only from a user we asked, once per request.
    if (!m_listsAsked.contains(user) && m_listsAsked.size() >= PeerLimits::kMaxListsAsked)
        m_listsAsked.erase(m_listsAsked.begin());
    int& asked = m_listsAsked[user];
    asked = std::min(asked + 1, PeerLimits::kMaxListsAskedPerUser);
    Send(user, PM_SHARED_FILE_LIST_REQUEST, MemStream());
}

void PeerMessenger::GetUserInfo(QString user) {
    Send(user, PM_USER_INFO_REQUEST, MemStream());
}

void PeerMessenger::RequestFileConnectionToUser(QString user) {
    StartRequest(user, "F");
}

void PeerMessenger::RequestDNetConnection(QString user) {
    StartRequest(user, "D");
}

// ---------------------------------------------------------------------------
// Unsent messages: one FIFO per user, outside the store, so that two equal
// messages stay two and keep their order.

bool PeerMessenger::Enqueue(const QString& user, const QByteArray& body) {
    Unsent& queue = m_unsent[user];
    const qint64 size = body.size() + PeerLimits::kUnsentMessageOverhead;
    if (queue.bytes + size > PeerLimits::kMaxUnsentBytesPerUser ||
        m_unsentBytes + m_pacedBytes + size > PeerLimits::kMaxUnsentBytesTotal) {
        if (queue.messages.empty())
            m_unsent.erase(user);
        CountUnsentDropped(user, qFromLittleEndian<quint32>(body.constData()));
        return false;
    }
    queue.messages.push_back(body);
    queue.bytes += size;
    m_unsentBytes += size;
    return true;
}

void PeerMessenger::CountUnsentDropped(const QString& user, quint32 code) {
    int unlogged = 0;
    if (m_droppedUnsent.Drop(Now(), unlogged, user, code))
        LogUnsentDropped(unlogged, user, code);
}

void PeerMessenger::LogUnsentDropped(int n, const QString& user, quint32 code) {
    Log(kArea, 1,
        QString("%1 messages dropped: too many wait for their users, the last code %2 to %3.")
            .arg(n)
            .arg(code)
            .arg(user));
}

void PeerMessenger::DropUnsent(const QString& user) {
    const auto it = m_unsent.find(user);
    const auto paced = m_paced.find(user);
    int n = 0;
    if (it != m_unsent.end()) {
        n += int(it->second.messages.size());
        m_unsentBytes -= it->second.bytes;
        m_unsent.erase(it);
    }
    if (paced != m_paced.end()) {
        for (const auto& code : paced->second) {
            n += int(code.second.messages.size());
            m_pacedBytes -= code.second.bytes;
        }
        m_paced.erase(paced);
    }
    if (n > 0)
        Log(kArea, 1, QString("Dropping %1 unsent messages to %2.").arg(n).arg(user));
}

void PeerMessenger::Flush(const ConnectionPtr& c) {
    const auto it = m_unsent.find(c->user);
    if (it == m_unsent.end())
        return;
    std::deque<QByteArray> messages;
    messages.swap(it->second.messages);
    m_unsentBytes -= it->second.bytes;
    m_unsent.erase(it);
    for (const QByteArray& body : messages)
        if (!Paced(c->user, body) && !WriteBody(c, body))
            break;
}

bool PeerMessenger::Paced(const QString& user, const QByteArray& body) {
    const quint32 code = qFromLittleEndian<quint32>(body.constData());
    if (!RequestBudgets::Budgeted(code))
        return false;
    const auto held = m_paced.find(user);
    // Those held go first, in order.
    const bool ahead = held != m_paced.end() && held->second.count(code);
    if (!ahead && m_sendBudgets.Take(user, 0, code, Now()))
        return false;
    const qint64 size = body.size() + PeerLimits::kUnsentMessageOverhead;
    qint64 userBytes = 0;
    if (held != m_paced.end())
        for (const auto& queue : held->second)
            userBytes += queue.second.bytes;
    if (userBytes + size > PeerLimits::kMaxUnsentBytesPerUser ||
        m_unsentBytes + m_pacedBytes + size > PeerLimits::kMaxUnsentBytesTotal) {
        CountUnsentDropped(user, code);
        return true;
    }
    Unsent& queue = m_paced[user][code];
    queue.messages.push_back(body);
    queue.bytes += size;
    m_pacedBytes += size;
    if (!m_paceTimer.isActive())
        m_paceTimer.start();
    return true;
}

void PeerMessenger::WritePaced(const QString& user, const ConnectionPtr& c, qint64 now) {
    const auto held = m_paced.find(user);
    if (held == m_paced.end())
        return;
    for (auto queue = held->second.begin(); queue != held->second.end();) {
        Unsent& u = queue->second;
        while (!u.messages.empty() && m_sendBudgets.Take(user, 0, queue->first, now)) {
            const QByteArray body = std::move(u.messages.front());
            u.messages.pop_front();
            const qint64 size = body.size() + PeerLimits::kUnsentMessageOverhead;
            u.bytes -= size;
            m_pacedBytes -= size;
            if (!WriteBody(c, body))
                return;  // closed: what is left waits for the next connection
        }
        queue = u.messages.empty() ? held->second.erase(queue) : std::next(queue);
    }
    if (held->second.empty())
        m_paced.erase(held);
}

void PeerMessenger::OnPaceTick() {
    const qint64 now = Now();
    std::vector<QString> users;
    users.reserve(m_paced.size());
    for (const auto& entry : m_paced)
        users.push_back(entry.first);
    for (const QString& user : users) {
        if (const ConnectionPtr c = NewestMessaging(user)) {
            WritePaced(user, c, now);
            continue;
        }
        // The connection went: what waits goes ahead of what came since, on
        // the next one. (A closing on the way may have dropped it.)
        const auto held = m_paced.find(user);
        if (held == m_paced.end())
            continue;
        Unsent& unsent = m_unsent[user];
        for (auto& queue : held->second) {
            unsent.messages.insert(unsent.messages.begin(), queue.second.messages.begin(),
                                   queue.second.messages.end());
            unsent.bytes += queue.second.bytes;
            m_unsentBytes += queue.second.bytes;
            m_pacedBytes -= queue.second.bytes;
        }
        m_paced.erase(held);
        StartRequest(user, "P");
    }
    if (m_paced.empty())
        m_paceTimer.stop();
}

// ---------------------------------------------------------------------------
// Requests: a direct attempt and a connect-back through the server, at once.

quint32 PeerMessenger::NewToken() const {
    // Hard to guess, so that only the peer the server told can answer.
    for (;;) {
        const quint32 token = QRandomGenerator::global()->generate();
        if (token != 0 && m_requests.find(token) == m_requests.end() &&
            m_issued.find(token) == m_issued.end())
            return token;
    }
}

int PeerMessenger::OutgoingAttempts() const {
    int n = int(m_requests.size());
    for (const auto& entry : m_connections)
        if (entry.second->origin == OriginConnectBack &&
            entry.second->state == Connection::Connecting)
            ++n;
    return n;
}

void PeerMessenger::MakeRoomForUnidentified() {
    // Only the oldest are looked at, so that a newcomer costs the same
    // however many wait. One whose set-up has come, unread because we are
    // behind, is read now rather than closed; one still without a whole
    // set-up after that goes.
    int tries = 0;
    while (int(m_unidentified.size()) >= m_maxUnidentified && !m_unidentified.empty()) {
        const ConnectionPtr oldest = FindConnection(*m_unidentified.begin());
        if (!oldest) {
            m_unidentified.erase(m_unidentified.begin());
            continue;
        }
        int unread = 0;
        if (tries < PeerLimits::kSetUpsReadNow && oldest->socket &&
            ::ioctl(int(oldest->socket->socketDescriptor()), FIONREAD, &unread) == 0 &&
            unread > 0) {
            ++tries;
            oldest->socket->waitForReadyRead(0);
            if (oldest->closed || !oldest->unidentified)
                continue;
        }
        Close(oldest, "too many connections without set-up; the oldest goes");
        return;
    }
}

void PeerMessenger::MakeRoomForMessaging(const ConnectionPtr& c) {
    if (c->idleListed || int(m_idleHello.size() + m_idleInUse.size()) < m_maxMessaging)
        return;
    // A set-up under a fresh name costs nothing: those on which nothing
    // was asked or answered go before those in use.
    const bool hello = !m_idleHello.empty();
    const ConnectionPtr idlest = FindConnection(hello ? m_idleHello.front() : m_idleInUse.front());
    if (idlest)
        Close(idlest, hello ? "too many messaging connections; the longest idle of those only set "
                              "up goes"
                            : "too many messaging connections; the longest idle goes");
}

qint64 PeerMessenger::Now() const {
    return m_clock();
}

void PeerMessenger::TrackFrameProgress(const ConnectionPtr& c, qint64 bytes) {
    if (c->state != Connection::Messaging)
        return;
    const qint64 now = Now();
    // A large frame that keeps coming is traffic, though no message is whole.
    if (bytes > 0) {
        Touch(*c, now);
        c->ticks = 0;
    }
    const qint64 buffered = c->obfuscated ? c->decoder.BufferedBytes() : c->reader.BufferedBytes();
    m_partialBytes += buffered - c->partialBytes;
    c->partialBytes = buffered;
    if (m_partialBytes > m_maxPartialBytes) {
        ConnectionPtr largest = c;
        for (const auto& entry : m_connections)
            if (entry.second->partialBytes > largest->partialBytes)
                largest = entry.second;
        Log(kArea, 1,
            QString("Incomplete frames hold %1 bytes; the largest (%2 bytes) goes.")
                .arg(m_partialBytes)
                .arg(largest->partialBytes));
        Close(largest, "too many bytes in incomplete frames");
        if (c->closed)
            return;
    }
    if (buffered == 0) {
        c->frameWindowStart = -1;
        return;
    }
    if (c->frameWindowStart < 0) {
        c->frameWindowStart = now;
        c->frameWindowBytes = 0;
    }
    c->frameWindowBytes += bytes;
}

void PeerMessenger::FollowOutput(Connection& c, qint64 now) {
    if (!c.socket)
        return;
    const bool moved = c.output.Moved(c.socket);
    if (c.state != Connection::Messaging)
        return;
    // What the peer took, sampled about a minute apart: its pace.
    const qint64 drained = c.written - c.output.Last();
    if (c.drainAt < 0) {
        c.drainAt = c.drainPrevAt = now;
        c.drainBytes = c.drainPrevBytes = drained;
    } else if (now - c.drainAt >= PeerLimits::kOutputGivesWayMs) {
        c.drainPrevAt = c.drainAt;
        c.drainPrevBytes = c.drainBytes;
        c.drainAt = now;
        c.drainBytes = drained;
    }
    if (moved) {
        // Her own reading clears her mark; a stranger's under her name only
        // the light one a stranger's close left.
        if (!m_deafLately.empty()) {
            const auto deaf = m_deafLately.find(c.user);
            if (deaf != m_deafLately.end() && (c.vouched || !deaf->second.vouched))
                m_deafLately.erase(deaf);
        }
        c.outputMoved = now;
        c.lookedStuck = false;
        c.ticks = 0;
        Touch(c, now);
        Reindex(c);
    }
}

void PeerMessenger::CheckDeadlines() {
    const qint64 now = Now();
    if (m_requestBudgets.NextDue() >= 0 && m_requestBudgets.NextDue() <= now)
        ServeWaitingRequests();
    FlushDropLines(now);
    ExpireQuestions(now);
    // The server did not answer for the name in time: taken as a stranger.
    while (!m_checkDeadlines.empty() && m_checkDeadlines.front().first <= now) {
        const ConnectionPtr c = FindConnection(m_checkDeadlines.front().second);
        m_checkDeadlines.pop_front();
        if (c && c->check == Connection::Checking) {
            Unwait(*c);
            EndCheck(c);
        }
    }
    std::vector<ConnectionPtr> late;
    for (const auto& entry : m_connections) {
        Connection& c = *entry.second;
        if (c.setUpDeadline > 0 && now >= c.setUpDeadline &&
            (c.state == Connection::AwaitSetUp || c.state == Connection::AwaitToken)) {
            late.push_back(entry.second);
        } else if (c.state == Connection::Messaging && c.frameWindowStart >= 0 &&
                   now - c.frameWindowStart >= PeerLimits::kStalledFrameMs) {
            if (c.frameWindowBytes < PeerLimits::kStalledFrameBytes) {
                late.push_back(entry.second);
            } else {
                c.frameWindowStart = now;
                c.frameWindowBytes = 0;
            }
        }
    }
    for (const ConnectionPtr& c : late)
        Close(c,
              c->state == Connection::Messaging ? "frame stalled" : "set-up not finished in time");
    // A peer that takes nothing of what we send for as long is not reading.
    // Output the system took since the last look leaves no signal: only
    // connections whose output waits and was quiet for a second are looked
    // at, a system call each, so that a look tells when it moved.
    std::vector<quint64> quiet;
    for (auto it = m_quietOrder.begin();
         it != m_quietOrder.end() && it->first <= now - PeerLimits::kLookAgainMs; ++it)
        quiet.push_back(it->second);
    std::vector<ConnectionPtr> deaf;
    for (const quint64 id : quiet) {
        const ConnectionPtr c = FindConnection(id);
        if (!c)
            continue;
        FollowOutput(*c, now);
        if (c->state == Connection::Messaging && c->socket && c->socket->bytesToWrite() > 0 &&
            now - c->outputMoved >= PeerLimits::kStalledFrameMs)
            deaf.push_back(c);
    }
    for (const ConnectionPtr& c : deaf)
        Close(c, "output stalled");
    TrimReleasedOutput();
}

bool PeerMessenger::RecordedIp(const QString& user, quint32& ip) const {
    Type* users = d.FindType("user");
    Type* addresses = d.FindType("user_address");
    if (!users || !addresses || addresses->IsNull() || !users->IsRelatedTo(addresses))
        return false;
    const ItemPtr u = users->HasItem(Value(user));
    const ItemPtr a = u.IsNull() ? ItemPtr() : u.HasItem("user_address");
    const quint64 value = a.IsNull() ? 0 : a.AsUInt64();
    if (value == 0 || value > 0xFFFFFFFFu)
        return false;
    ip = quint32(value);
    return true;
}

bool PeerMessenger::RecordedAddress(const QString& user, quint32& ip, quint16& port) const {
    Type* users = d.FindType("user");
    Type* ports = d.FindType("user_port");
    if (!RecordedIp(user, ip) || !ports || ports->IsNull() || !users->IsRelatedTo(ports))
        return false;
    const ItemPtr p = users->HasItem(Value(user)).HasItem("user_port");
    const quint64 value = p.IsNull() ? 0 : p.AsUInt64();
    if (value == 0 || value > 0xFFFF)
        return false;
    port = quint16(value);
    return true;
}

void PeerMessenger::StartRequest(const QString& user, const QString& kind) {
    if (user.isEmpty())
        return;
    if (kind == "P")
        for (const auto& entry : m_requests)
            if (entry.second->user == user && entry.second->kind == "P" && !entry.second->probe)
                return;  // already on its way

    DeferGuard guard(m_deferChecks);
    auto request = std::make_unique<Request>();
    const quint32 token = NewToken();
    request->token = token;
    request->user = user;
    request->kind = kind;
    const bool atCap = OutgoingAttempts() >= PeerLimits::kMaxOutgoingAttempts;
    m_requests[token] = std::move(request);
    RememberToken(token, user, kind);
    if (atCap) {
        Log(kArea, 1, QString("Too many connection attempts; %1 (%2) given up.").arg(user, kind));
        RequestsChanged();
        return;
    }
    const bool online = gp_server && gp_server->IsConnected();
    quint32 ip = 0;
    quint16 port = 0;
    if (RecordedAddress(user, ip, port)) {
        ConnectDirect(token, ip, port);
    } else if (online) {
        m_requests[token]->direct = Request::DirectAwaitingAddress;
        gp_server->GetPeerAddress(user);
    }
    const auto it = m_requests.find(token);
    if (it != m_requests.end() && online) {
        it->second->indirect = true;
        gp_server->ConnectToPeer(token, user, kind);
    }
    Log(kArea, 2, QString("Connecting to %1 (%2).").arg(user, kind));
    RequestsChanged();
}

bool PeerMessenger::ProbeHer(const QString& user) {
    if (!gp_server || !gp_server->IsConnected())
        return false;
    for (const auto& entry : m_requests)
        if (entry.second->user == user && entry.second->kind == "P" && entry.second->indirect)
            return true;  // its answer tells
    const qint64 now = Now();
    const auto probed = m_probedAt.find(user);
    if (probed != m_probedAt.end() && now - probed->second < PeerLimits::kAddressCheckMs)
        return false;
    if (OutgoingAttempts() >= PeerLimits::kMaxOutgoingAttempts)
        return false;
    if (probed == m_probedAt.end() && m_probedAt.size() >= PeerLimits::kMaxRoomRecords)
        m_probedAt.erase(m_probedAt.begin());
    m_probedAt[user] = now;
    auto request = std::make_unique<Request>();
    const quint32 token = NewToken();
    request->token = token;
    request->user = user;
    request->kind = QStringLiteral("P");
    request->indirect = true;
    request->probe = true;
    m_requests[token] = std::move(request);
    RememberToken(token, user, QStringLiteral("P"));
    gp_server->ConnectToPeer(token, user, QStringLiteral("P"));
    Log(kArea, 2, QString("Asking %1 through the server to prove another address.").arg(user));
    return true;
}

void PeerMessenger::ConnectDirect(quint32 token, quint32 ip, quint16 port) {
    const auto it = m_requests.find(token);
    if (it == m_requests.end())
        return;
    Request& r = *it->second;
    QTcpSocket* socket = new QTcpSocket(this);
    const ConnectionPtr c = AddConnection(socket, OriginDirect, false);
    c->user = r.user;
    c->kind = r.kind;
    c->token = token;
    r.direct = Request::DirectConnecting;
    r.directConnection = c->id;
    r.directTicks = 0;
    // "F" and "D" are read raw, so they go to the plain port; "P" goes there too.
    socket->connectToHost(QHostAddress(ip), port);
}

void PeerMessenger::RememberToken(quint32 token, const QString& user, const QString& kind) {
    const qint64 now = Now();
    while (!m_issuedOrder.empty() &&
           (m_issuedOrder.size() >= PeerLimits::kMaxIssuedTokens ||
            now - m_issuedOrder.front().first > PeerLimits::kIssuedTokenMs)) {
        const auto issued = m_issued.find(m_issuedOrder.front().second);
        if (issued != m_issued.end() && issued->second.at == m_issuedOrder.front().first)
            m_issued.erase(issued);
        m_issuedOrder.pop_front();
    }
    m_issued[token] = Issued{user, kind, now};
    m_issuedOrder.emplace_back(now, token);
}

bool PeerMessenger::LatelyIssued(quint32 token, QString& user, QString& kind) {
    const auto issued = m_issued.find(token);
    if (issued == m_issued.end() || Now() - issued->second.at > PeerLimits::kIssuedTokenMs)
        return false;
    user = issued->second.user;
    kind = issued->second.kind;
    m_issued.erase(issued);
    return true;
}

void PeerMessenger::DirectEnded(quint32 token, quint64 connectionId) {
    const auto it = m_requests.find(token);
    if (it == m_requests.end())
        return;
    Request& r = *it->second;
    if (r.direct != Request::DirectConnecting || r.directConnection != connectionId)
        return;
    r.direct = Request::DirectEnded;
    r.directConnection = 0;
    RequestsChanged();
}

void PeerMessenger::RetireRequest(quint32 token) {
    const auto it = m_requests.find(token);
    if (it == m_requests.end())
        return;
    const quint64 direct =
        it->second->direct == Request::DirectConnecting ? it->second->directConnection : 0;
    m_requests.erase(it);
    if (direct != 0)
        if (const ConnectionPtr c = FindConnection(direct))
            if (c->state == Connection::Connecting)
                Close(c, "answered another way");
}

void PeerMessenger::RequestsChanged() {
    if (m_deferChecks > 0) {
        if (!m_checkPosted) {
            m_checkPosted = true;
            QTimer::singleShot(0, this, [this] {
                m_checkPosted = false;
                CheckRequests();
            });
        }
        return;
    }
    CheckRequests();
}

void PeerMessenger::CheckRequests() {
    std::vector<std::pair<QString, QString>> failed;
    for (auto it = m_requests.begin(); it != m_requests.end();) {
        const Request& r = *it->second;
        if (r.direct == Request::DirectEnded && !r.indirect) {
            if (!r.probe)
                failed.emplace_back(r.user, r.kind);
            it = m_requests.erase(it);
        } else {
            ++it;
        }
    }
    for (const auto& entry : failed) {
        Log(kArea, 1, QString("Cannot connect to %1 (%2).").arg(entry.first, entry.second));
        if (entry.second == "P")
            DropUnsent(entry.first);
        emit ConnectionToUserFailed(entry.first, entry.second);
    }
}

void PeerMessenger::OnPeerAddress(QString user, quint32 ip, quint16 port, quint16 obfuscatedPort) {
    Q_UNUSED(obfuscatedPort);
    ServerSaid(user, ip);
    VouchByAddress(user, ip);
    EndChecks(user, ip);
    AddressAnswered(user);
    std::vector<quint32> waiting;
    for (const auto& entry : m_requests)
        if (entry.second->user == user && entry.second->direct == Request::DirectAwaitingAddress)
            waiting.push_back(entry.first);
    if (waiting.empty())
        return;
    {
        DeferGuard guard(m_deferChecks);
        for (quint32 token : waiting) {
            const auto it = m_requests.find(token);
            if (it == m_requests.end())
                continue;
            if (ip == 0 || port == 0) {
                it->second->direct = Request::DirectEnded;
                continue;
            }
            ConnectDirect(token, ip, port);
        }
    }
    if (ip == 0 || port == 0)
        Log(kArea, 2, QString("No address known for %1.").arg(user));
    CheckRequests();
}

void PeerMessenger::OnConnectToPeerRequested(QString user, QString kind, quint32 ip, quint16 port,
                                             quint32 token) {
    if (user.isEmpty() || !IsKind(kind) || ip == 0 || port == 0) {
        Log(kArea, 1, QString("Unusable connect-back request from %1 (%2).").arg(user, kind));
        if (gp_server)
            gp_server->CannotConnect(token, user);
        return;
    }
    if (OutgoingAttempts() >= PeerLimits::kMaxOutgoingAttempts) {
        Log(kArea, 1,
            QString("Too many connection attempts; not connecting back to %1.").arg(user));
        if (gp_server)
            gp_server->CannotConnect(token, user);
        return;
    }
    Log(kArea, 2, QString("Connecting back to %1 (%2).").arg(user, kind));
    QTcpSocket* socket = new QTcpSocket(this);
    const ConnectionPtr c = AddConnection(socket, OriginConnectBack, false);
    c->user = user;
    c->kind = kind;
    c->token = token;
    socket->connectToHost(QHostAddress(ip), port);
}

void PeerMessenger::OnCannotConnectToPeer(quint32 token, QString user) {
    const auto it = m_requests.find(token);
    if (it == m_requests.end() || it->second->user != user)
        return;
    Log(kArea, 2, QString("%1 cannot connect back (%2).").arg(user, it->second->kind));
    it->second->indirect = false;
    RequestsChanged();
}

void PeerMessenger::OnHalfMinuteTick() {
    for (QTcpServer* listener : {mp_plainListener, mp_obfuscatedListener})
        if (listener)
            listener->resumeAccepting();
    std::vector<ConnectionPtr> connections;
    for (const auto& entry : m_connections)
        connections.push_back(entry.second);
    for (const ConnectionPtr& c : connections) {
        if (c->closed)
            continue;
        if (c->output.Last() > 0)
            FollowOutput(*c, Now());
        ++c->ticks;
        switch (c->state) {
            case Connection::Messaging:
                if (c->ticks >= PeerLimits::kIdleTicks)
                    Close(c, "idle");
                break;
            case Connection::AwaitSetUp:
            case Connection::AwaitToken:
                break;  // on the deadline clock
            case Connection::Connecting:
                if (c->ticks >= (c->origin == OriginDirect ? PeerLimits::kDirectAttemptTicks
                                                           : PeerLimits::kSetUpTicks))
                    Close(c, "connect timed out");
                break;
        }
    }
    for (auto& entry : m_requests) {
        Request& r = *entry.second;
        if (r.direct == Request::DirectAwaitingAddress &&
            ++r.directTicks >= PeerLimits::kDirectAttemptTicks)
            r.direct = Request::DirectEnded;
        if (r.indirect && ++r.indirectTicks >= PeerLimits::kIndirectRequestTicks)
            r.indirect = false;
    }
    CheckRequests();
}
