#include "support/TestServer.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QHostAddress>
#include <QLoggingCategory>
#include <QTcpSocket>
#include <QTimer>
#include <QtEndian>
#include <algorithm>
#ifdef __linux__
#include <linux/sockios.h>
#endif
#include <sys/ioctl.h>
#include <cstdio>
#include <limits>
#include <utility>

#include "store/MemStream.h"
#include "support/Payload.h"

Q_LOGGING_CATEGORY(lcTestServer, "tavenook.testserver")

namespace {

// Messages kept for one offline user.
constexpr int kMaxStoredMessages = 1000;

// The format with %1, %2, ... replaced by the arguments in turn.
template <typename... A>
QString Format(const char* format, const A&... args) {
    QString text = QString::fromUtf8(format);
    ((text = text.arg(args)), ...);
    return text;
}

}  // namespace

template <typename... A>
void TestServer::Note(const char* format, const A&... args) const {
    if (m_verbose)
        Log(Format(format, args...), false);
}

template <typename... A>
void TestServer::Problem(const char* format, const A&... args) const {
    Log(Format(format, args...), true);
}

TestServer::TestServer(QObject* parent) : QObject(parent), mp_listener(new QTcpServer(this)) {
    connect(mp_listener, &QTcpServer::newConnection, this, &TestServer::OnNewConnection);
    m_clock.start();
    m_deafTimer.setInterval(250);
    connect(&m_deafTimer, &QTimer::timeout, this, &TestServer::CheckDeafClients);
}

TestServer::~TestServer() {
    // No teardown messages or signals while being destroyed.
    for (const auto& client : m_clients) {
        client->closed = true;
        client->socket->disconnect(this);
        client->socket->abort();
    }
}

bool TestServer::Listen(quint16 port) {
    mp_listener->close();
    if (!mp_listener->listen(QHostAddress::LocalHost, port)) {
        Problem("cannot listen on 127.0.0.1:%1: %2", port, mp_listener->errorString());
        return false;
    }
    Note("listening on %1", Address());
    return true;
}

void TestServer::Close() {
    mp_listener->close();
    const auto clients = m_clients;
    for (const auto& client : clients)
        CloseClient(client.get(), false);
}

void TestServer::DropClient(const QString& user) {
    if (Client* client = m_sessions.value(user)) {
        Note("dropping %1", user);
        CloseClient(client, true);
    }
}

void TestServer::SendTo(const QString& user, quint32 code, const QByteArray& payload) {
    if (!m_sessions.contains(user))
        Problem("SendTo: %1 is not logged in", user);
    SendToUser(user, code, payload);
}

void TestServer::SendRawTo(const QString& user, const QByteArray& bytes) {
    Client* client = m_sessions.value(user);
    if (!client)
        return Problem("SendRawTo: %1 is not logged in", user);
    Note("-> %1 %2 raw bytes", user, bytes.size());
    client->socket->write(bytes);
    client->written += bytes.size();
}

bool TestServer::TakeRecorded(const QString& user, quint32 code, QByteArray* payload) {
    auto it = m_received.find(user);
    if (it == m_received.end())
        return false;
    const auto& frames = it->frames;
    for (int i = it->cursors.value(code, 0); i < frames.size(); ++i) {
        if (frames[i].first == code) {
            it->cursors[code] = i + 1;
            if (payload)
                *payload = frames[i].second;
            return true;
        }
    }
    return false;
}

bool TestServer::WaitForMessage(const QString& user, quint32 code, int timeoutMs,
                                QByteArray* payload) {
    const QDeadlineTimer deadline(timeoutMs);
    while (!TakeRecorded(user, code, payload)) {
        const qint64 left = deadline.remainingTime();
        if (left == 0)
            return false;
        QEventLoop loop;
        if (left > 0)
            QTimer::singleShot(int(std::min<qint64>(left, std::numeric_limits<int>::max())), &loop,
                               &QEventLoop::quit);
        // A client whose frame handler is running below us (a slot waiting
        // from inside a signal of ours) gets no second readyRead: its bytes
        // and buffered frames are taken from here.
        QTimer pump;
        connect(&pump, &QTimer::timeout, this, &TestServer::PumpAll);
        pump.start(10);
        connect(this, &TestServer::MessageReceived, &loop, [&](const QString& from, quint32 got) {
            if (from == user && got == code)
                loop.quit();
        });
        loop.exec();
    }
    return true;
}

QStringList TestServer::LoggedInUsers() const {
    QStringList users = m_sessions.keys();
    users.sort();
    return users;
}

void TestServer::SetPossibleParents(const QString& user,
                                    const QList<QPair<QString, quint32>>& parents) {
    Account& account = m_accounts[user];
    account.parents = parents;
    Client* client = m_sessions.value(user);
    account.pendingParents = client == nullptr;
    if (client)
        SendPossibleParents(client, parents);
}

void TestServer::SendPossibleParents(Client* client,
                                     const QList<QPair<QString, quint32>>& parents) {
    Payload out;
    out.U32(quint32(parents.size()));
    for (const auto& parent : parents) {
        const Client* session = m_sessions.value(parent.first);
        const quint32 port = parent.second ? parent.second : session ? session->port : 0;
        out.Str(parent.first).U32(kLoopbackIp).U32(port);
    }
    Send(client, 102, out);
}

// ---- connections ----

std::shared_ptr<TestServer::Client> TestServer::Find(const Client* client) const {
    for (const auto& c : m_clients)
        if (c.get() == client)
            return c;
    return nullptr;
}

void TestServer::OnNewConnection() {
    while (QTcpSocket* socket = mp_listener->nextPendingConnection()) {
        auto client = std::make_shared<Client>();
        client->socket = socket;
        m_clients.append(client);
        std::weak_ptr<Client> weak = client;
        connect(socket, &QTcpSocket::readyRead, this, [this, weak] {
            if (auto locked = weak.lock())
                OnReadyRead(locked.get());
        });
        connect(socket, &QTcpSocket::disconnected, this, [this, weak] {
            if (auto locked = weak.lock())
                CloseClient(locked.get(), false);
        });
        Note("connection from port %1 (%2 open)", socket->peerPort(), m_clients.size());
    }
}

void TestServer::OnReadyRead(Client* client) {
    const std::shared_ptr<Client> keep = Find(client);
    if (!keep)
        return;
    // A handler may spin an event loop (WaitForMessage) that comes back here
    // for the same client: every call works from the shared read position, and
    // only the outermost one compacts the buffer.
    ++client->depth;
    while (!client->closed) {
        if (client->socket->bytesAvailable() > 0)
            client->input += client->socket->readAll();
        const int start = client->offset;
        if (client->input.size() - start < 4)
            break;
        const quint32 length = qFromLittleEndian<quint32>(client->input.constData() + start);
        if (length < 4 || length > kMaxFrameLength) {
            Problem("frame length %1 from \"%2\": closing its connection", length, client->user);
            CloseClient(client, false);
            break;
        }
        if (client->input.size() - start < 4 + qint64(length))
            break;
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

void TestServer::Release(bool lose) {
    m_hold.clear();
    const QList<Held> held = std::exchange(m_held, {});
    for (const Held& h : held)
        if (!lose && Find(h.client) && !h.client->closed)
            Handle(h.client, h.code, h.payload);
}

void TestServer::PumpAll() {
    const auto clients = m_clients;
    for (const auto& client : clients)
        if (!client->closed &&
            (client->socket->bytesAvailable() > 0 || client->input.size() - client->offset >= 4))
            OnReadyRead(client.get());
}

void TestServer::CloseClient(Client* client, bool gently) {
    if (client->closed)
        return;
    client->closed = true;
    const std::shared_ptr<Client> keep = Find(client);
    m_clients.removeAll(keep);
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
    Note("connection closed (%1 open)", m_clients.size());
    const QString user = client->user;
    if (user.isEmpty())
        return;
    if (m_sessions.value(user) == client)
        m_sessions.remove(user);
    for (auto it = m_rooms.begin(); it != m_rooms.end(); ++it)
        if (it->joined.contains(user))
            LeaveRoom(user, it.key(), false);
    SetStatus(user, 0);
    Note("%1 logged out", user);
}

void TestServer::HandleFrame(Client* client, quint32 code, const QByteArray& payload) {
    if (client->user.isEmpty()) {
        if (code == 1)
            HandleLogin(client, payload);
        else
            Problem("code %1 before login ignored", code);
        return;
    }
    const QString user = client->user;
    m_received[user].frames.append(qMakePair(code, payload));
    if (m_hold.contains(code)) {
        m_held.append({client, code, payload});
        return;
    }
    Handle(client, code, payload);
}

void TestServer::Handle(Client* client, quint32 code, const QByteArray& payload) {
    const QString user = client->user;
    Note("%1 -> %2 (%3 bytes)", user, code, payload.size());
    MemStream in(payload);
    if (!HandleMessage(client, code, in))
        Problem("malformed %1 from %2 ignored", code, user);
    emit MessageReceived(user, code, payload);
}

void TestServer::HandleLogin(Client* client, const QByteArray& payload) {
    MemStream in(payload);
    QByteArray userBytes, password, digest;
    quint32 major = 0, minor = 0;
    if (!in.Read(userBytes) || !in.Read(password) || !in.Read(major) || !in.Read(minor) ||
        !in.Read(digest))
        return Problem("malformed login ignored");
    const QString user = QString::fromUtf8(userBytes);
    const QString pass = QString::fromUtf8(password);
    const Account known = m_accounts.value(user);
    QString reason;
    if (!m_refusals.isEmpty())
        reason = m_refusals.takeFirst();
    else if (user.isEmpty())
        reason = QStringLiteral("INVALIDUSERNAME");
    else if (major != 157 || minor != 100)
        reason = QStringLiteral("INVALIDVERSION");
    else if (digest !=
             QCryptographicHash::hash(userBytes + password, QCryptographicHash::Md5).toHex())
        reason = QStringLiteral("INVALIDDIGEST");
    else if (known.hasPassword && known.password != pass)
        reason = QStringLiteral("INVALIDPASS");
    if (!reason.isEmpty()) {
        Note("login of \"%1\" refused: %2", user, reason);
        return Send(client, 1, Payload().U8(0).Str(reason));
    }

    if (Client* older = m_sessions.value(user)) {
        Note("%1 logged in again: closing the older connection", user);
        CloseClient(older, true);
    }
    Account& account = m_accounts[user];
    if (!account.hasPassword) {
        account.hasPassword = true;
        account.password = pass;
    }
    client->user = user;
    m_sessions.insert(user, client);
    Note("%1 logged in (%2 logged in)", user, m_sessions.size());

    Send(client, 1, Payload().U8(1));
    Send(client, 69, Payload().U32(0));
    SendRoles(user);
    for (const StoredMessage& message : std::exchange(m_accounts[user].stored, {}))
        Send(client, 22, Payload().Str(message.from).U32(message.time).U8(0).Str(message.text));
    if (std::exchange(m_accounts[user].pendingParents, false))
        SendPossibleParents(client, m_accounts[user].parents);
    SetStatus(user, 2);
}

// ---- messages of a logged-in client; false when the payload is malformed ----

bool TestServer::HandleMessage(Client* client, quint32 code, MemStream& in) {
    // Each code's fields in order: s str, u u32, b u8. The codes not listed
    // read their own (149) or carry none.
    static const QHash<quint32, QByteArray> layouts{
        {2, "uu"},    {3, "s"},    {5, "s"},    {13, "ss"}, {14, "su"},  {15, "s"},  {18, "uss"},
        {22, "ss"},   {26, "us"},  {103, "us"}, {28, "u"},  {35, "uu"},  {36, "s"},  {42, "sus"},
        {71, "b"},    {100, "b"},  {129, "b"},  {121, "u"}, {126, "u"},  {127, "s"}, {116, "ss"},
        {120, "sus"}, {123, "su"}, {141, "b"},  {153, "s"}, {1001, "us"}};
    QStringList s;
    QList<quint32> u;
    for (const char kind : layouts.value(code)) {
        QString text;
        quint32 number = 0;
        quint8 flag = 0;
        if (kind == 's' ? !in.Read(text) : kind == 'u' ? !in.Read(number) : !in.Read(flag))
            return false;
        if (kind == 's')
            s << text;
        else
            u << (kind == 'u' ? number : flag);
    }
    const QString me = client->user;
    switch (code) {
        case 1:
            Problem("second login on %1's connection ignored", me);
            return true;
        case 2:
            client->port = u[0];
            client->obfuscatedPort = u[1];
            return true;
        case 3: {
            if (!m_answersAddresses)
                return true;
            const Client* peer = m_sessions.value(s[0]);
            Send(client, 3,
                 Payload()
                     .Str(s[0])
                     .U32(peer ? kLoopbackIp : 0u)
                     .U32(peer ? peer->port : 0u)
                     .U32(peer ? peer->obfuscatedPort : 0u));
            return true;
        }
        case 5:
            if (Exists(s[0]))
                client->tracked.insert(s[0]);
            Send(client, 5,
                 Exists(s[0]) ? Payload().Str(s[0]).U8(1).Raw(UserRecord(s[0]))
                              : Payload().Str(s[0]).U8(0));
            return true;
        case 13:
            if (!m_rooms.value(s[0]).joined.contains(me))
                Problem("%1 is not in room \"%2\": chat dropped", me, s[0]);
            else
                Broadcast(m_rooms.value(s[0]).joined, 13, Payload().Str(s[0]).Str(me).Str(s[1]));
            return true;
        case 14:
            JoinRoom(client, s[0], u[0] != 0);
            return true;
        case 15:
            LeaveRoom(me, s[0], true);
            return true;
        case 18:
            if (m_sessions.contains(s[0]))
                SendToUser(
                    s[0], 18,
                    Payload().Str(me).Str(s[1]).U32(kLoopbackIp).U32(client->port).U32(u[0]));
            else
                Send(client, 1001, Payload().U32(u[0]).Str(s[0]));
            return true;
        case 22:
            DeliverPrivateMessage(me, s[0], s[1]);
            return true;
        case 26:
        case 103:
        case 120: {
            // Everyone else logged in, or in the room for 120.
            QStringList others = code == 120 ? m_rooms.value(s[0]).joined : LoggedInUsers();
            others.removeAll(me);
            Broadcast(others, 26, Payload().Str(me).U32(u[0]).Str(s.last()));
            return true;
        }
        case 28:
            if (u[0] != 1 && u[0] != 2)
                return false;
            SetStatus(me, u[0]);
            return true;
        case 35:
            m_accounts[me].stats.SetFolders(u[0]);
            m_accounts[me].stats.SetFiles(u[1]);
            return true;
        case 36:
            Send(client, 36, Payload().Str(s[0]).Stats(m_accounts.value(s[0]).stats));
            return true;
        case 42:
            SendToUser(s[0], 26, Payload().Str(me).U32(u[0]).Str(s[1]));
            return true;
        case 64: {
            Payload rooms;
            quint32 count = 0;
            for (auto it = m_rooms.cbegin(); it != m_rooms.cend(); ++it) {
                if (!it->isPrivate || it->owner == me || it->members.contains(me)) {
                    rooms.Str(it.key()).U32(quint32(it->joined.size()));
                    ++count;
                }
            }
            Send(client, 64, Payload().U32(count).Raw(rooms));
            return true;
        }
        case 32:
        case 71:
        case 100:
        case 121:
        case 126:
        case 127:
        case 129:
            return true;
        case 92: {
            const Account account = m_accounts.value(me);
            Send(client, 92, Payload().U32(account.privilegeSeconds).U8(account.supporter ? 1 : 0));
            return true;
        }
        case 116: {
            auto it = m_rooms.find(s[0]);
            if (it == m_rooms.end() || !it->joined.contains(me)) {
                Problem("%1 is not in room \"%2\": ticker dropped", me, s[0]);
                return true;
            }
            auto& tickers = it->tickers;
            for (int i = tickers.size() - 1; i >= 0; --i)
                if (tickers[i].first == me)
                    tickers.removeAt(i);
            if (!s[1].isEmpty())
                tickers.append(qMakePair(me, s[1]));
            Broadcast(it->joined, 114, Payload().Str(s[0]).Str(me).Str(s[1]));
            return true;
        }
        case 123: {
            if (s[0].isEmpty())
                return false;
            Account& account = m_accounts[s[0]];
            const quint64 seconds = quint64(account.privilegeSeconds) + quint64(u[0]) * 86400;
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
            return HandlePrivateRoom(client, code, in);
        case 141:
            Send(client, 141, Payload().U8(u[0] != 0 ? 1 : 0));
            return true;
        case 149: {
            quint32 count = 0;
            QString text;
            if (!in.Read(count))
                return false;
            for (quint32 i = 0; i < count; ++i) {
                if (!in.Read(text))
                    return false;
                s << text;
            }
            if (!in.Read(text))
                return false;
            for (const QString& to : qAsConst(s))
                DeliverPrivateMessage(me, to, text);
            return true;
        }
        case 153: {
            const auto related = m_correlations.value(s[0]);
            Payload out;
            out.Str(s[0]).U32(quint32(related.size()));
            for (const auto& item : related)
                out.Str(item.first).U32(item.second);
            Send(client, 153, out);
            return true;
        }
        case 1001:
            SendToUser(s[0], 1001, Payload().U32(u[0]).Str(me));
            return true;
        default:
            Problem("code %1 from %2 has no handler: recorded only", code, me);
            return true;
    }
}

bool TestServer::HandlePrivateRoom(Client* client, quint32 code, MemStream& in) {
    const QString me = client->user;
    QString name, target = me;
    if (!in.Read(name) || (code != 136 && code != 137 && !in.Read(target)))
        return false;
    auto it = m_rooms.find(name);
    if (it == m_rooms.end() || !it->isPrivate) {
        Problem("\"%1\" is not a private room: %2 from %3 ignored", name, code, me);
        return true;
    }
    Room& room = *it;
    const bool owner = room.owner == me;
    const bool moderator = owner || room.operators.contains(me);
    const bool outsider = !target.isEmpty() && target != room.owner;
    const bool member = room.members.contains(target);
    const bool op = room.operators.contains(target);
    // Only the owner names or removes operators; anyone may leave.
    const bool allowed = code == 134   ? moderator && outsider && !member
                         : code == 135 ? moderator && member && (owner || !op)
                         : code == 136 ? member
                         : code == 143 ? owner && outsider && !op
                         : code == 144 ? owner && op
                                       : owner;
    if (!allowed) {
        Problem("%1 from %2 on \"%3\" for \"%4\" not allowed", code, me, name, target);
        return true;
    }
    if (code == 137) {
        // Without its owner the room keeps no roles and turns public.
        const QStringList former = QStringList(room.owner) + room.members;
        room = Room{false, {}, {}, {}, room.joined, room.tickers};
        Note("%1 gave up private room \"%2\"", me, name);
        for (const QString& user : former)
            SendRoles(user);
        return true;
    }
    if ((code == 134 || code == 143) && !member)
        room.members.append(target);
    if (code == 143)
        room.operators.append(target);
    if (code == 135 || code == 136)
        room.members.removeAll(target);
    if (code != 134 && code != 143)
        room.operators.removeAll(target);
    QStringList recipients = room.joined;
    if (!recipients.contains(me))
        recipients.append(me);
    Broadcast(recipients, code == 136 ? 135 : code, Payload().Str(name).Str(target));
    SendRoles(target);
    return true;
}

// ---- state and replies ----

void TestServer::Send(Client* client, quint32 code, const QByteArray& payload) {
    if (client->closed)
        return;
    QByteArray frame(8, '\0');
    qToLittleEndian<quint32>(quint32(payload.size() + 4), frame.data());
    qToLittleEndian<quint32>(code, frame.data() + 4);
    Note("   \"%1\" <- %2 (%3 bytes)", client->user, code, payload.size());
    client->socket->write(frame + payload);
    client->written += frame.size() + payload.size();
    if (client->socket->bytesToWrite() <= m_maxPendingOutput)
        return;
    // Behind on a burst of requests (a login with a long user list asks
    // millions of things), the server has not been back to its event loop
    // to hand its output over: hand over what the system takes now. A client
    // that lets its output pile up is dropped (CheckDeafClients), so that one
    // stalled reader cannot eat the memory every other test client needs;
    // one that reads is not, however far behind the server itself is.
    client->socket->flush();
    if (client->watched || client->socket->bytesToWrite() <= m_maxPendingOutput)
        return;
    client->watched = true;
    client->taken = Taken(client);
    client->takenAt = m_clock.elapsed();
    if (!m_deafTimer.isActive())
        m_deafTimer.start();
}

qint64 TestServer::Taken(const Client* client) {
    int queued = 0;
#ifdef SIOCOUTQ
    const int descriptor = int(client->socket->socketDescriptor());
    if (descriptor == -1 || ::ioctl(descriptor, SIOCOUTQ, &queued) != 0)
        queued = 0;
#endif
    return client->written - client->socket->bytesToWrite() - queued;
}

void TestServer::CheckDeafClients() {
    const qint64 now = m_clock.elapsed();
    bool watching = false;
    const auto clients = m_clients;
    for (const auto& client : clients) {
        if (!client->watched || client->closed)
            continue;
        if (client->socket->bytesToWrite() <= m_maxPendingOutput) {
            client->watched = false;
            continue;
        }
        watching = true;
        const qint64 taken = Taken(client.get());
        // All the system holds was taken: the server is the slow one.
        const bool held = taken < client->written - client->socket->bytesToWrite();
        if (taken > client->taken || !held) {
            client->taken = taken;
            client->takenAt = now;
        } else if (now - client->takenAt >= m_deafAfterMs) {
            Problem("%1 reads nothing: dropping it", client->user);
            CloseClient(client.get(), false);
        }
    }
    if (!watching)
        m_deafTimer.stop();
}

void TestServer::SendToUser(const QString& user, quint32 code, const QByteArray& payload) {
    if (Client* client = m_sessions.value(user))
        Send(client, code, payload);
}

void TestServer::Broadcast(const QStringList& users, quint32 code, const QByteArray& payload) {
    for (const QString& user : users)
        SendToUser(user, code, payload);
}

void TestServer::SetStatus(const QString& user, quint32 status) {
    Account& account = m_accounts[user];
    if (account.status == status)
        return;
    account.status = status;
    const QByteArray payload = Payload().Str(user).U32(status);
    const auto clients = m_clients;
    for (const auto& client : clients)
        if (!client->user.isEmpty() && client->tracked.contains(user))
            Send(client.get(), 7, payload);
}

void TestServer::DeliverPrivateMessage(const QString& from, const QString& to,
                                       const QString& text) {
    const quint32 now = quint32(QDateTime::currentSecsSinceEpoch());
    if (m_sessions.contains(to))
        return SendToUser(to, 22, Payload().Str(from).U32(now).U8(1).Str(text));
    if (to.isEmpty())
        return Problem("private message from %1 to no one dropped", from);
    auto& stored = m_accounts[to].stored;
    if (stored.size() >= kMaxStoredMessages)
        return Problem("too many stored messages for %1: dropped", to);
    stored.append({from, text, now});
    Note("private message from %1 stored for %2", from, to);
}

void TestServer::SendRoles(const QString& user) {
    if (!m_sessions.contains(user))
        return;
    Payload roles;
    quint32 count = 0;
    for (auto it = m_rooms.cbegin(); it != m_rooms.cend(); ++it) {
        const quint8 role = !it->isPrivate                 ? 0
                            : it->owner == user            ? 3
                            : it->operators.contains(user) ? 2
                            : it->members.contains(user)   ? 1
                                                           : 0;
        if (role != 0) {
            roles.Str(it.key()).U8(role);
            ++count;
        }
    }
    SendToUser(user, 133, Payload().U32(count).Raw(roles));
}

void TestServer::JoinRoom(Client* client, const QString& name, bool isPrivate) {
    const QString me = client->user;
    if (name.isEmpty())
        return Problem("%1 asked to join a room without a name", me);
    const bool created = !m_rooms.contains(name);
    Room& room = m_rooms[name];
    if (created) {
        room.isPrivate = isPrivate;
        if (isPrivate)
            room.owner = me;
    }
    if (room.isPrivate && room.owner != me && !room.members.contains(me))
        return Problem("%1 holds no role in private room \"%2\": join refused", me, name);
    const bool arriving = !room.joined.contains(me);
    if (arriving)
        room.joined.append(me);
    Payload answer;
    answer.Str(name).U32(quint32(room.joined.size()));
    for (const QString& user : qAsConst(room.joined))
        answer.Str(user).Raw(UserRecord(user));
    answer.Str(room.owner).U32(quint32(room.operators.size()));
    for (const QString& user : qAsConst(room.operators))
        answer.Str(user);
    Send(client, 14, answer);
    if (arriving) {
        QStringList others = room.joined;
        others.removeAll(me);
        Broadcast(others, 16, Payload().Str(name).Str(me).Raw(UserRecord(me)));
    }
    Payload tickers;
    tickers.Str(name).U32(quint32(room.tickers.size()));
    for (const auto& ticker : qAsConst(room.tickers))
        tickers.Str(ticker.first).Str(ticker.second);
    Send(client, 113, tickers);
    if (created && isPrivate)
        SendRoles(me);
}

void TestServer::LeaveRoom(const QString& user, const QString& name, bool answer) {
    if (answer)
        SendToUser(user, 15, Payload().Str(name));
    auto it = m_rooms.find(name);
    if (it != m_rooms.end() && it->joined.removeAll(user) > 0)
        Broadcast(it->joined, 17, Payload().Str(name).Str(user));
}

QByteArray TestServer::UserRecord(const QString& user) {
    const Account account = m_accounts.value(user);
    return Payload().U32(account.status).Stats(account.stats).Str(account.country);
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
