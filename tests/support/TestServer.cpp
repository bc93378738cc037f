#include "support/TestServer.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QHostAddress>
#include <QLoggingCategory>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QtEndian>
#include <algorithm>
#include <cstdio>
#include <limits>

#include "store/MemStream.h"

Q_LOGGING_CATEGORY(lcTestServer, "tavenook.testserver")

namespace {

// A client that lets its output pile up past this is dropped, so that one
// stalled reader cannot eat the memory every other test client needs.
constexpr qint64 kMaxPendingOutput = 64 * 1024 * 1024;
// Messages kept for one offline user.
constexpr int kMaxStoredMessages = 1000;

// Reads fields in order; after the first failure every later read fails too.
class Reader {
public:
    explicit Reader(const QByteArray& bytes) : m_stream(bytes) {}
    template <typename T>
    T Get() {
        T value{};
        if (m_ok && !m_stream.Read(value)) {
            m_ok = false;
        }
        return value;
    }
    QString Str() { return Get<QString>(); }
    quint32 U32() { return Get<quint32>(); }
    quint8 U8() { return Get<quint8>(); }
    bool Ok() const { return m_ok; }

private:
    MemStream m_stream;
    bool m_ok = true;
};

class Writer {
public:
    Writer& operator<<(quint8 value) {
        m_stream.Write(value);
        return *this;
    }
    Writer& operator<<(quint32 value) {
        m_stream.Write(value);
        return *this;
    }
    Writer& operator<<(const QString& value) {
        m_stream.Write(value);
        return *this;
    }
    Writer& operator<<(const UserStats& stats) {
        stats.Write(m_stream);
        return *this;
    }
    Writer& operator<<(const QByteArray& raw) {
        m_stream.WriteBuffer(raw.constData(), raw.size());
        return *this;
    }
    QByteArray Bytes() const { return m_stream.GetWrittenBytes(); }

private:
    MemStream m_stream;
};

QString CodeName(quint32 code) {
    static const QHash<quint32, const char*> names{{1, "LOGIN"},
                                                   {2, "SET_LISTENING_PORTS"},
                                                   {3, "GET_PEER_ADDRESS"},
                                                   {5, "ADD_USER"},
                                                   {7, "USER_STATUS"},
                                                   {13, "SAY_IN_ROOM"},
                                                   {14, "JOIN_ROOM"},
                                                   {15, "LEAVE_ROOM"},
                                                   {16, "USER_JOINED_ROOM"},
                                                   {17, "USER_LEFT_ROOM"},
                                                   {18, "CONNECT_TO_PEER"},
                                                   {22, "PRIVATE_MESSAGE"},
                                                   {26, "FILE_SEARCH"},
                                                   {28, "SET_STATUS"},
                                                   {32, "KEEP_ALIVE"},
                                                   {35, "SHARED_FOLDERS_FILES"},
                                                   {36, "GET_USER_STATS"},
                                                   {42, "USER_SEARCH"},
                                                   {64, "ROOM_LIST"},
                                                   {66, "ADMIN_MESSAGE"},
                                                   {69, "PRIVILEGED_USERS"},
                                                   {71, "SEND_DISTRIBUTIONS"},
                                                   {83, "SET_PARENT_MIN_SPEED"},
                                                   {84, "SET_PARENT_SPEED_CONNECTION_RATIO"},
                                                   {91, "ADD_PRIVILEGED_USER"},
                                                   {92, "CHECK_PRIVILEGES"},
                                                   {93, "DNET_MESSAGE"},
                                                   {100, "CAN_PARENT"},
                                                   {102, "POSSIBLE_PARENTS"},
                                                   {103, "LOW_PRIORITY_FILE_SEARCH"},
                                                   {104, "WISHLIST_WAIT"},
                                                   {113, "ROOM_TICKERS"},
                                                   {114, "ROOM_TICKER_ADD"},
                                                   {116, "SET_ROOM_TICKER"},
                                                   {120, "ROOM_SEARCH"},
                                                   {121, "SEND_UPLOAD_SPEED"},
                                                   {123, "GIVE_PRIVILEGE"},
                                                   {126, "DNET_LEVEL"},
                                                   {127, "DNET_GROUP_LEADER"},
                                                   {128, "DNET_DELIVERY_REPORT"},
                                                   {129, "DNET_CHILD_DEPTH"},
                                                   {130, "DNET_RESET"},
                                                   {133, "PRIVATE_ROOM_ROLES"},
                                                   {134, "PRIVATE_ROOM_ADD_USER"},
                                                   {135, "PRIVATE_ROOM_REMOVE_USER"},
                                                   {136, "PRIVATE_ROOM_DISMEMBER"},
                                                   {137, "PRIVATE_ROOM_DISOWN"},
                                                   {141, "PRIVATE_ROOM_TOGGLE"},
                                                   {143, "PRIVATE_ROOM_ADD_OPERATOR"},
                                                   {144, "PRIVATE_ROOM_REMOVE_OPERATOR"},
                                                   {149, "MESSAGE_USERS"},
                                                   {153, "SEARCH_CORRELATIONS"},
                                                   {1001, "CANNOT_CONNECT"}};
    return QString::fromLatin1(names.value(code, "unknown"));
}

}  // namespace

TestServer::TestServer(QObject* parent) : QObject(parent), mp_listener(new QTcpServer(this)) {
    connect(mp_listener, &QTcpServer::newConnection, this, &TestServer::OnNewConnection);
}

TestServer::~TestServer() {
    // No teardown messages or signals while being destroyed.
    for (const auto& client : m_clients) {
        client->closed = true;
        client->socket->disconnect(this);
        client->socket->abort();
    }
    m_clients.clear();
}

bool TestServer::Listen(quint16 port) {
    mp_listener->close();
    if (!mp_listener->listen(QHostAddress::LocalHost, port)) {
        Log(QStringLiteral("cannot listen on 127.0.0.1:%1: %2")
                .arg(port)
                .arg(mp_listener->errorString()),
            true);
        return false;
    }
    Log(QStringLiteral("listening on %1").arg(Address()));
    return true;
}

quint16 TestServer::Port() const {
    return mp_listener->isListening() ? mp_listener->serverPort() : 0;
}

QString TestServer::Address() const {
    return QStringLiteral("127.0.0.1:%1").arg(Port());
}

void TestServer::Close() {
    mp_listener->close();
    const auto clients = m_clients;
    for (const auto& client : clients) {
        CloseClient(client.get(), false);
    }
}

void TestServer::RefuseNextLogin(const QString& reason) {
    m_refusals.append(reason);
}

void TestServer::DropClient(const QString& user) {
    if (Client* client = m_sessions.value(user)) {
        Log(QStringLiteral("dropping %1").arg(user));
        CloseClient(client, true);
    }
}

void TestServer::SendTo(const QString& user, quint32 code, const QByteArray& payload) {
    if (!m_sessions.contains(user)) {
        Log(QStringLiteral("SendTo: %1 is not logged in").arg(user), true);
    }
    SendToUser(user, code, payload);
}

void TestServer::SendRawTo(const QString& user, const QByteArray& bytes) {
    Client* client = m_sessions.value(user);
    if (!client) {
        Log(QStringLiteral("SendRawTo: %1 is not logged in").arg(user), true);
        return;
    }
    Log(QStringLiteral("-> %1 %2 raw bytes").arg(user).arg(bytes.size()));
    client->socket->write(bytes);
}

QList<QPair<quint32, QByteArray>> TestServer::Received(const QString& user) const {
    return m_received.value(user).frames;
}

void TestServer::ClearReceived(const QString& user) {
    m_received.remove(user);
}

bool TestServer::TakeRecorded(const QString& user, quint32 code, QByteArray* payload) {
    auto it = m_received.find(user);
    if (it == m_received.end()) {
        return false;
    }
    const auto& frames = it->frames;
    for (int i = it->cursors.value(code, 0); i < frames.size(); ++i) {
        if (frames[i].first == code) {
            it->cursors[code] = i + 1;
            if (payload) {
                *payload = frames[i].second;
            }
            return true;
        }
    }
    return false;
}

bool TestServer::WaitForMessage(const QString& user, quint32 code, int timeoutMs,
                                QByteArray* payload) {
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        if (TakeRecorded(user, code, payload)) {
            return true;
        }
        const qint64 left = deadline.remainingTime();
        if (left == 0) {
            return false;
        }
        QEventLoop loop;
        QTimer timer;
        timer.setSingleShot(true);
        connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
        // A client whose frame handler is running below us (a slot waiting
        // from inside a signal of ours) gets no second readyRead: its bytes
        // and buffered frames are taken from here.
        QTimer pump;
        connect(&pump, &QTimer::timeout, this, &TestServer::PumpAll);
        pump.start(10);
        connect(this, &TestServer::MessageReceived, &loop, [&](const QString& from, quint32 got) {
            if (from == user && got == code) {
                loop.quit();
            }
        });
        if (left > 0) {
            timer.start(int(std::min<qint64>(left, std::numeric_limits<int>::max())));
        }
        loop.exec();
    }
}

bool TestServer::IsLoggedIn(const QString& user) const {
    return m_sessions.contains(user);
}

int TestServer::ClientCount() const {
    return m_clients.size();
}

QStringList TestServer::LoggedInUsers() const {
    QStringList users = m_sessions.keys();
    users.sort();
    return users;
}

void TestServer::SetUserStats(const QString& user, const UserStats& stats) {
    m_accounts[user].stats = stats;
}

void TestServer::SetUserCountry(const QString& user, const QString& country) {
    m_accounts[user].country = country;
}

void TestServer::SetPrivileges(const QString& user, quint32 seconds, bool supporter) {
    Account& account = m_accounts[user];
    account.privilegeSeconds = seconds;
    account.supporter = supporter;
}

quint32 TestServer::PrivilegeSeconds(const QString& user) const {
    return m_accounts.value(user).privilegeSeconds;
}

void TestServer::SetPrivilegedUsers(const QStringList& users) {
    m_privileged = users;
    Writer out;
    out << quint32(users.size());
    for (const QString& user : users) {
        out << user;
    }
    Broadcast(LoggedInUsers(), 69, out.Bytes());
}

void TestServer::AddPrivilegedUser(const QString& user) {
    if (!m_privileged.contains(user)) {
        m_privileged.append(user);
    }
    Broadcast(LoggedInUsers(), 91, (Writer() << user).Bytes());
}

void TestServer::SetCorrelations(const QString& text,
                                 const QList<QPair<QString, quint32>>& related) {
    m_correlations.insert(text, related);
}

void TestServer::SetRoomTickers(const QString& room,
                                const QList<QPair<QString, QString>>& tickers) {
    Room& target = m_rooms[room];
    target.tickers = tickers;
    Writer out;
    out << room << quint32(tickers.size());
    for (const auto& ticker : tickers) {
        out << ticker.first << ticker.second;
    }
    Broadcast(target.joined, 113, out.Bytes());
}

void TestServer::SetPossibleParents(const QString& user,
                                    const QList<QPair<QString, quint32>>& parents) {
    Account& account = m_accounts[user];
    account.parents = parents;
    Client* client = m_sessions.value(user);
    account.pendingParents = client == nullptr;
    if (client) {
        SendPossibleParents(client, parents);
    }
}

void TestServer::SendPossibleParents(Client* client,
                                     const QList<QPair<QString, quint32>>& parents) {
    Writer out;
    out << quint32(parents.size());
    for (const auto& parent : parents) {
        quint32 port = parent.second;
        if (port == 0) {
            const Client* session = m_sessions.value(parent.first);
            port = session ? session->port : 0;
        }
        out << parent.first << kLoopbackIp << port;
    }
    Send(client, 102, out.Bytes());
}

// ---- connections ----

void TestServer::OnNewConnection() {
    while (QTcpSocket* socket = mp_listener->nextPendingConnection()) {
        auto client = std::make_shared<Client>();
        client->socket = socket;
        m_clients.append(client);
        std::weak_ptr<Client> weak = client;
        connect(socket, &QTcpSocket::readyRead, this, [this, weak] {
            if (auto locked = weak.lock()) {
                OnReadyRead(locked.get());
            }
        });
        connect(socket, &QTcpSocket::disconnected, this, [this, weak] {
            if (auto locked = weak.lock()) {
                CloseClient(locked.get(), false);
            }
        });
        Log(QStringLiteral("connection from port %1 (%2 open)")
                .arg(socket->peerPort())
                .arg(m_clients.size()));
    }
}

void TestServer::OnReadyRead(Client* client) {
    std::shared_ptr<Client> keep;
    for (const auto& c : m_clients) {
        if (c.get() == client) {
            keep = c;
        }
    }
    if (!keep) {
        return;
    }
    // A handler may spin an event loop (WaitForMessage) that comes back here
    // for the same client: every call works from the shared read position, and
    // only the outermost one compacts the buffer.
    ++client->depth;
    while (!client->closed) {
        if (client->socket->bytesAvailable() > 0) {
            client->input += client->socket->readAll();
        }
        const int start = client->offset;
        if (client->input.size() - start < 4) {
            break;
        }
        const quint32 length = qFromLittleEndian<quint32>(client->input.constData() + start);
        if (length < 4 || length > kMaxFrameLength) {
            Log(QStringLiteral("frame length %1 from %2: closing its connection")
                    .arg(length)
                    .arg(client->user.isEmpty() ? QStringLiteral("(not logged in)") : client->user),
                true);
            CloseClient(client, false);
            break;
        }
        if (client->input.size() - start < 4 + qint64(length)) {
            break;
        }
        const quint32 code = qFromLittleEndian<quint32>(client->input.constData() + start + 4);
        const QByteArray payload = client->input.mid(start + 8, int(length) - 4);
        client->offset = start + 4 + int(length);
        HandleFrame(client, code, payload);
    }
    if (--client->depth == 0 && !client->closed) {
        client->input.remove(0, client->offset);
        client->offset = 0;
    }
}

void TestServer::PumpAll() {
    const auto clients = m_clients;
    for (const auto& client : clients) {
        if (!client->closed &&
            (client->socket->bytesAvailable() > 0 || client->input.size() - client->offset >= 4)) {
            OnReadyRead(client.get());
        }
    }
}

void TestServer::CloseClient(Client* client, bool gently) {
    if (client->closed) {
        return;
    }
    client->closed = true;
    std::shared_ptr<Client> keep;
    for (int i = 0; i < m_clients.size(); ++i) {
        if (m_clients[i].get() == client) {
            keep = m_clients.takeAt(i);
            break;
        }
    }
    QTcpSocket* socket = client->socket;
    socket->disconnect(this);
    if (gently && socket->state() == QAbstractSocket::ConnectedState) {
        // Flush what was written, read nothing more.
        socket->setReadBufferSize(1);
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        socket->disconnectFromHost();
    } else {
        socket->abort();
        socket->deleteLater();
    }
    client->input.clear();
    Logout(client);
    Log(QStringLiteral("connection closed (%1 open)").arg(m_clients.size()));
}

void TestServer::Logout(Client* client) {
    const QString user = client->user;
    if (user.isEmpty()) {
        return;
    }
    if (m_sessions.value(user) == client) {
        m_sessions.remove(user);
    }
    for (auto it = m_rooms.begin(); it != m_rooms.end(); ++it) {
        if (it->joined.contains(user)) {
            LeaveRoom(user, it.key(), false);
        }
    }
    SetStatus(user, 0);
    Log(QStringLiteral("%1 logged out").arg(user));
    emit ClientDisconnected(user);
}

void TestServer::HandleFrame(Client* client, quint32 code, const QByteArray& payload) {
    if (client->user.isEmpty()) {
        if (code == 1) {
            HandleLogin(client, payload);
        } else {
            Log(QStringLiteral("code %1 before login ignored").arg(code), true);
        }
        return;
    }
    const QString user = client->user;
    m_received[user].frames.append(qMakePair(code, payload));
    Log(QStringLiteral("%1 -> %2 %3 (%4 bytes)")
            .arg(user)
            .arg(code)
            .arg(CodeName(code))
            .arg(payload.size()));
    if (!HandleMessage(client, code, payload)) {
        Log(QStringLiteral("malformed %1 from %2 ignored").arg(code).arg(user), true);
    }
    emit MessageReceived(user, code, payload);
}

void TestServer::HandleLogin(Client* client, const QByteArray& payload) {
    Reader in(payload);
    const QByteArray userBytes = in.Get<QByteArray>();
    const QByteArray password = in.Get<QByteArray>();
    const quint32 major = in.U32();
    const quint32 minor = in.U32();
    const QByteArray digest = in.Get<QByteArray>();
    if (!in.Ok()) {
        Log(QStringLiteral("malformed login ignored"), true);
        return;
    }
    const QString user = QString::fromUtf8(userBytes);
    const QString pass = QString::fromUtf8(password);
    QString reason;
    if (!m_refusals.isEmpty()) {
        reason = m_refusals.takeFirst();
    } else if (user.isEmpty()) {
        reason = QStringLiteral("INVALIDUSERNAME");
    } else if (major != 157 || minor != 100) {
        reason = QStringLiteral("INVALIDVERSION");
    } else if (digest !=
               QCryptographicHash::hash(userBytes + password, QCryptographicHash::Md5).toHex()) {
        reason = QStringLiteral("INVALIDDIGEST");
    } else {
        const Account account = m_accounts.value(user);
        if (account.hasPassword && account.password != pass) {
            reason = QStringLiteral("INVALIDPASS");
        }
    }
    if (!reason.isEmpty()) {
        Log(QStringLiteral("login of \"%1\" refused: %2").arg(user, reason));
        Send(client, 1, (Writer() << quint8(0) << reason).Bytes());
        return;
    }

    if (Client* older = m_sessions.value(user)) {
        Log(QStringLiteral("%1 logged in again: closing the older connection").arg(user));
        CloseClient(older, true);
    }
    Account& account = m_accounts[user];
    if (!account.hasPassword) {
        account.hasPassword = true;
        account.password = pass;
    }
    client->user = user;
    m_sessions.insert(user, client);
    Log(QStringLiteral("%1 logged in (%2 logged in)").arg(user).arg(m_sessions.size()));

    Send(client, 1, (Writer() << quint8(1)).Bytes());
    Writer privileged;
    privileged << quint32(m_privileged.size());
    for (const QString& name : qAsConst(m_privileged)) {
        privileged << name;
    }
    Send(client, 69, privileged.Bytes());
    SendRoles(user);
    const QList<StoredMessage> stored = m_accounts[user].stored;
    m_accounts[user].stored.clear();
    for (const StoredMessage& message : stored) {
        Send(client, 22,
             (Writer() << message.from << message.time << quint8(0) << message.text).Bytes());
    }
    if (m_accounts[user].pendingParents) {
        m_accounts[user].pendingParents = false;
        SendPossibleParents(client, m_accounts[user].parents);
    }
    SetStatus(user, 2);
    emit ClientLoggedIn(user);
}

// ---- messages of a logged-in client; false when the payload is malformed ----

bool TestServer::HandleMessage(Client* client, quint32 code, const QByteArray& payload) {
    const QString me = client->user;
    Reader in(payload);
    switch (code) {
        case 1:
            Log(QStringLiteral("second login on %1's connection ignored").arg(me), true);
            return true;
        case 2: {
            const quint32 port = in.U32();
            const quint32 obfuscated = in.U32();
            if (!in.Ok()) {
                return false;
            }
            client->port = port;
            client->obfuscatedPort = obfuscated;
            return true;
        }
        case 3: {
            const QString user = in.Str();
            if (!in.Ok()) {
                return false;
            }
            const Client* peer = m_sessions.value(user);
            Writer out;
            out << user << (peer ? kLoopbackIp : 0u) << (peer ? peer->port : 0u)
                << (peer ? peer->obfuscatedPort : 0u);
            Send(client, 3, out.Bytes());
            return true;
        }
        case 5: {
            const QString user = in.Str();
            if (!in.Ok()) {
                return false;
            }
            Writer out;
            out << user;
            if (Exists(user)) {
                client->tracked.insert(user);
                out << quint8(1) << UserRecord(user);
            } else {
                out << quint8(0);
            }
            Send(client, 5, out.Bytes());
            return true;
        }
        case 13: {
            const QString room = in.Str();
            const QString text = in.Str();
            if (!in.Ok()) {
                return false;
            }
            const QStringList joined = m_rooms.value(room).joined;
            if (!joined.contains(me)) {
                Log(QStringLiteral("%1 is not in room \"%2\": chat dropped").arg(me, room), true);
                return true;
            }
            Broadcast(joined, 13, (Writer() << room << me << text).Bytes());
            return true;
        }
        case 14: {
            const QString room = in.Str();
            const quint32 isPrivate = in.U32();
            if (!in.Ok()) {
                return false;
            }
            JoinRoom(client, room, isPrivate != 0);
            return true;
        }
        case 15: {
            const QString room = in.Str();
            if (!in.Ok()) {
                return false;
            }
            LeaveRoom(me, room, true);
            return true;
        }
        case 18: {
            const quint32 token = in.U32();
            const QString user = in.Str();
            const QString kind = in.Str();
            if (!in.Ok()) {
                return false;
            }
            if (m_sessions.contains(user)) {
                SendToUser(
                    user, 18,
                    (Writer() << me << kind << kLoopbackIp << client->port << token).Bytes());
            } else {
                Send(client, 1001, (Writer() << token << user).Bytes());
            }
            return true;
        }
        case 22: {
            const QString user = in.Str();
            const QString text = in.Str();
            if (!in.Ok()) {
                return false;
            }
            DeliverPrivateMessage(me, user, text);
            return true;
        }
        case 26:
        case 103: {
            const quint32 token = in.U32();
            const QString text = in.Str();
            if (!in.Ok()) {
                return false;
            }
            QStringList others = LoggedInUsers();
            others.removeAll(me);
            Broadcast(others, 26, (Writer() << me << token << text).Bytes());
            return true;
        }
        case 28: {
            const quint32 status = in.U32();
            if (!in.Ok() || (status != 1 && status != 2)) {
                return false;
            }
            SetStatus(me, status);
            return true;
        }
        case 32:
            return true;
        case 35: {
            const quint32 folders = in.U32();
            const quint32 files = in.U32();
            if (!in.Ok()) {
                return false;
            }
            Account& account = m_accounts[me];
            account.stats.SetFolders(folders);
            account.stats.SetFiles(files);
            return true;
        }
        case 36: {
            const QString user = in.Str();
            if (!in.Ok()) {
                return false;
            }
            Send(client, 36, (Writer() << user << m_accounts.value(user).stats).Bytes());
            return true;
        }
        case 42: {
            const QString user = in.Str();
            const quint32 token = in.U32();
            const QString text = in.Str();
            if (!in.Ok()) {
                return false;
            }
            SendToUser(user, 26, (Writer() << me << token << text).Bytes());
            return true;
        }
        case 64: {
            Writer rooms;
            quint32 count = 0;
            for (auto it = m_rooms.cbegin(); it != m_rooms.cend(); ++it) {
                if (!it->isPrivate || it->owner == me || it->members.contains(me)) {
                    rooms << it.key() << quint32(it->joined.size());
                    ++count;
                }
            }
            Send(client, 64, (Writer() << count << rooms.Bytes()).Bytes());
            return true;
        }
        case 71:
        case 100:
        case 129:
            in.U8();
            return in.Ok();
        case 121:
        case 126:
            in.U32();
            return in.Ok();
        case 127:
            in.Str();
            return in.Ok();
        case 92: {
            const Account account = m_accounts.value(me);
            Send(client, 92,
                 (Writer() << account.privilegeSeconds << quint8(account.supporter ? 1 : 0))
                     .Bytes());
            return true;
        }
        case 116: {
            const QString room = in.Str();
            const QString text = in.Str();
            if (!in.Ok()) {
                return false;
            }
            auto it = m_rooms.find(room);
            if (it == m_rooms.end() || !it->joined.contains(me)) {
                Log(QStringLiteral("%1 is not in room \"%2\": ticker dropped").arg(me, room), true);
                return true;
            }
            auto& tickers = it->tickers;
            for (int i = tickers.size() - 1; i >= 0; --i) {
                if (tickers[i].first == me) {
                    tickers.removeAt(i);
                }
            }
            if (!text.isEmpty()) {
                tickers.append(qMakePair(me, text));
            }
            Broadcast(it->joined, 114, (Writer() << room << me << text).Bytes());
            return true;
        }
        case 120: {
            const QString room = in.Str();
            const quint32 token = in.U32();
            const QString text = in.Str();
            if (!in.Ok()) {
                return false;
            }
            QStringList others = m_rooms.value(room).joined;
            others.removeAll(me);
            Broadcast(others, 26, (Writer() << me << token << text).Bytes());
            return true;
        }
        case 123: {
            const QString user = in.Str();
            const quint32 days = in.U32();
            if (!in.Ok() || user.isEmpty()) {
                return false;
            }
            Account& account = m_accounts[user];
            const quint64 seconds = quint64(account.privilegeSeconds) + quint64(days) * 86400;
            account.privilegeSeconds =
                quint32(std::min<quint64>(seconds, std::numeric_limits<quint32>::max()));
            return true;
        }
        case 134:
        case 135:
        case 136:
        case 137:
        case 143:
        case 144:
            return HandlePrivateRoom(client, code, payload);
        case 141: {
            const quint8 enable = in.U8();
            if (!in.Ok()) {
                return false;
            }
            m_accounts[me].privateRoomAdd = enable != 0;
            Send(client, 141, (Writer() << quint8(enable != 0 ? 1 : 0)).Bytes());
            return true;
        }
        case 149: {
            const quint32 count = in.U32();
            QStringList users;
            for (quint32 i = 0; i < count && in.Ok(); ++i) {
                users.append(in.Str());
            }
            const QString text = in.Str();
            if (!in.Ok()) {
                return false;
            }
            for (const QString& user : qAsConst(users)) {
                DeliverPrivateMessage(me, user, text);
            }
            return true;
        }
        case 153: {
            const QString text = in.Str();
            if (!in.Ok()) {
                return false;
            }
            const auto related = m_correlations.value(text);
            Writer out;
            out << text << quint32(related.size());
            for (const auto& item : related) {
                out << item.first << item.second;
            }
            Send(client, 153, out.Bytes());
            return true;
        }
        case 1001: {
            const quint32 token = in.U32();
            const QString user = in.Str();
            if (!in.Ok()) {
                return false;
            }
            SendToUser(user, 1001, (Writer() << token << me).Bytes());
            return true;
        }
        default:
            Log(QStringLiteral("code %1 from %2 has no handler: recorded only").arg(code).arg(me),
                true);
            return true;
    }
}

bool TestServer::HandlePrivateRoom(Client* client, quint32 code, const QByteArray& payload) {
    const QString me = client->user;
    Reader in(payload);
    const QString name = in.Str();
    const QString target = (code == 136 || code == 137) ? me : in.Str();
    if (!in.Ok()) {
        return false;
    }
    auto it = m_rooms.find(name);
    if (it == m_rooms.end() || !it->isPrivate) {
        Log(QStringLiteral("\"%1\" is not a private room: %2 from %3 ignored")
                .arg(name)
                .arg(code)
                .arg(me),
            true);
        return true;
    }
    Room& room = *it;
    const bool owner = room.owner == me;
    const bool moderator = owner || room.operators.contains(me);
    bool allowed = false;
    quint32 echo = code;
    switch (code) {
        case 134:
            allowed = moderator && !target.isEmpty() && target != room.owner &&
                      !room.members.contains(target);
            if (allowed) {
                room.members.append(target);
            }
            break;
        case 135:
            // Only the owner removes an operator.
            allowed = moderator && room.members.contains(target) &&
                      (owner || !room.operators.contains(target));
            if (allowed) {
                room.members.removeAll(target);
                room.operators.removeAll(target);
            }
            break;
        case 143:
            allowed = owner && !target.isEmpty() && target != room.owner &&
                      !room.operators.contains(target);
            if (allowed) {
                if (!room.members.contains(target)) {
                    room.members.append(target);
                }
                room.operators.append(target);
            }
            break;
        case 144:
            allowed = owner && room.operators.contains(target);
            if (allowed) {
                room.operators.removeAll(target);
            }
            break;
        case 136:
            allowed = room.members.contains(me);
            echo = 135;
            if (allowed) {
                room.members.removeAll(me);
                room.operators.removeAll(me);
            }
            break;
        case 137: {
            if (!owner) {
                break;
            }
            // Without its owner the room keeps no roles and turns public.
            QStringList former = room.members;
            former.prepend(room.owner);
            room.isPrivate = false;
            room.owner.clear();
            room.members.clear();
            room.operators.clear();
            Log(QStringLiteral("%1 gave up private room \"%2\"").arg(me, name));
            for (const QString& user : qAsConst(former)) {
                SendRoles(user);
            }
            return true;
        }
    }
    if (!allowed) {
        Log(QStringLiteral("%1 from %2 on \"%3\" for \"%4\" not allowed")
                .arg(code)
                .arg(me, name, target),
            true);
        return true;
    }
    QStringList recipients = room.joined;
    if (!recipients.contains(me)) {
        recipients.append(me);
    }
    Broadcast(recipients, echo, (Writer() << name << target).Bytes());
    SendRoles(target);
    return true;
}

// ---- state and replies ----

void TestServer::Send(Client* client, quint32 code, const QByteArray& payload) {
    if (client->closed) {
        return;
    }
    QByteArray frame(8, '\0');
    qToLittleEndian<quint32>(quint32(payload.size() + 4), frame.data());
    qToLittleEndian<quint32>(code, frame.data() + 4);
    frame += payload;
    Log(QStringLiteral("   %1 <- %2 %3 (%4 bytes)")
            .arg(client->user.isEmpty() ? QStringLiteral("(login)") : client->user)
            .arg(code)
            .arg(CodeName(code))
            .arg(payload.size()));
    client->socket->write(frame);
    if (client->socket->bytesToWrite() > kMaxPendingOutput) {
        Log(QStringLiteral("%1 reads nothing: dropping it").arg(client->user), true);
        // Not now: the caller may be walking a member list this would change.
        std::weak_ptr<Client> weak;
        for (const auto& c : m_clients) {
            if (c.get() == client) {
                weak = c;
            }
        }
        QTimer::singleShot(0, this, [this, weak] {
            if (auto locked = weak.lock()) {
                CloseClient(locked.get(), false);
            }
        });
    }
}

void TestServer::SendToUser(const QString& user, quint32 code, const QByteArray& payload) {
    if (Client* client = m_sessions.value(user)) {
        Send(client, code, payload);
    }
}

void TestServer::Broadcast(const QStringList& users, quint32 code, const QByteArray& payload) {
    for (const QString& user : users) {
        SendToUser(user, code, payload);
    }
}

void TestServer::SetStatus(const QString& user, quint32 status) {
    Account& account = m_accounts[user];
    if (account.status == status) {
        return;
    }
    account.status = status;
    const QByteArray payload = (Writer() << user << status).Bytes();
    const auto clients = m_clients;
    for (const auto& client : clients) {
        if (!client->user.isEmpty() && client->tracked.contains(user)) {
            Send(client.get(), 7, payload);
        }
    }
}

void TestServer::DeliverPrivateMessage(const QString& from, const QString& to,
                                       const QString& text) {
    const quint32 now = quint32(QDateTime::currentSecsSinceEpoch());
    if (m_sessions.contains(to)) {
        SendToUser(to, 22, (Writer() << from << now << quint8(1) << text).Bytes());
        return;
    }
    if (to.isEmpty()) {
        Log(QStringLiteral("private message from %1 to no one dropped").arg(from), true);
        return;
    }
    auto& stored = m_accounts[to].stored;
    if (stored.size() >= kMaxStoredMessages) {
        Log(QStringLiteral("too many stored messages for %1: dropped").arg(to), true);
        return;
    }
    stored.append({from, now, text});
    Log(QStringLiteral("private message from %1 stored for %2").arg(from, to));
}

void TestServer::SendRoles(const QString& user) {
    if (!m_sessions.contains(user)) {
        return;
    }
    Writer roles;
    quint32 count = 0;
    for (auto it = m_rooms.cbegin(); it != m_rooms.cend(); ++it) {
        if (!it->isPrivate) {
            continue;
        }
        quint8 role = 0;
        if (it->owner == user) {
            role = 3;
        } else if (it->operators.contains(user)) {
            role = 2;
        } else if (it->members.contains(user)) {
            role = 1;
        }
        if (role != 0) {
            roles << it.key() << role;
            ++count;
        }
    }
    SendToUser(user, 133, (Writer() << count << roles.Bytes()).Bytes());
}

void TestServer::JoinRoom(Client* client, const QString& name, bool isPrivate) {
    const QString me = client->user;
    if (name.isEmpty()) {
        Log(QStringLiteral("%1 asked to join a room without a name").arg(me), true);
        return;
    }
    bool created = false;
    auto it = m_rooms.find(name);
    if (it == m_rooms.end()) {
        Room room;
        room.isPrivate = isPrivate;
        if (isPrivate) {
            room.owner = me;
        }
        it = m_rooms.insert(name, room);
        created = true;
    }
    Room& room = *it;
    if (room.isPrivate && room.owner != me && !room.members.contains(me)) {
        Log(QStringLiteral("%1 holds no role in private room \"%2\": join refused").arg(me, name),
            true);
        return;
    }
    const bool arriving = !room.joined.contains(me);
    if (arriving) {
        room.joined.append(me);
    }
    Writer answer;
    answer << name << quint32(room.joined.size());
    for (const QString& user : qAsConst(room.joined)) {
        answer << user << UserRecord(user);
    }
    answer << room.owner << quint32(room.operators.size());
    for (const QString& user : qAsConst(room.operators)) {
        answer << user;
    }
    Send(client, 14, answer.Bytes());
    if (arriving) {
        QStringList others = room.joined;
        others.removeAll(me);
        Broadcast(others, 16, (Writer() << name << me << UserRecord(me)).Bytes());
    }
    Writer tickers;
    tickers << name << quint32(room.tickers.size());
    for (const auto& ticker : qAsConst(room.tickers)) {
        tickers << ticker.first << ticker.second;
    }
    Send(client, 113, tickers.Bytes());
    if (created && isPrivate) {
        SendRoles(me);
    }
}

void TestServer::LeaveRoom(const QString& user, const QString& name, bool answer) {
    if (answer) {
        SendToUser(user, 15, (Writer() << name).Bytes());
    }
    auto it = m_rooms.find(name);
    if (it != m_rooms.end() && it->joined.removeAll(user) > 0) {
        Broadcast(it->joined, 17, (Writer() << name << user).Bytes());
    }
}

QByteArray TestServer::UserRecord(const QString& user) {
    const Account account = m_accounts.value(user);
    return (Writer() << account.status << account.stats << account.country).Bytes();
}

bool TestServer::Exists(const QString& user) const {
    return m_sessions.contains(user) || m_accounts.value(user).hasPassword;
}

void TestServer::Log(const QString& text, bool problem) const {
    if (m_verbose) {
        const QByteArray line =
            QDateTime::currentDateTime().toString(QStringLiteral("hh:mm:ss.zzz ")).toUtf8() +
            text.toUtf8() + '\n';
        std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
        std::fflush(stdout);
    } else if (problem) {
        qCWarning(lcTestServer, "%s", qUtf8Printable(text));
    }
}
