#include "net/DNetManager.h"

#include <QTcpSocket>
#include <QtEndian>
#include <algorithm>
#include <cstdint>
#include <vector>

#include "net/PeerLimits.h"
#include "net/PeerMessenger.h"
#include "net/server.h"
#include "shares/SharedFoldersManager.h"
#include "store/Log.h"
#include "store/Settings.h"
#include "store/TimerManager.h"

DNetManager* dnetManager = nullptr;

namespace {

const char* const kParentUser = "dnet_parent_user";
const char* const kParentSocket = "dnet_parent_socket";
const char* const kLevel = "dnet_level";
const char* const kLeader = "dnet_group_leader";
const char* const kChildDepth = "dnet_child_depth";

// Frame codes.
const quint8 kRelay = 3;
const quint8 kLevelCode = 4;
const quint8 kLeaderCode = 5;
const quint8 kDepthCode = 7;
const quint32 kSearchRequest = PeerMessenger::PM_INDIRECT_FILE_SEARCH_REQUEST;

// Parent silence allowed before the connection is given up.
const qint64 kParentSilenceMs = 60 * 1000;

Type* Declare(const char* name, Primacy primacy, bool isNull) {
    if (Type* t = d.FindType(name))
        return t;
    return d.NewType(name, primacy, isNull, true);
}

void Relate(Type* a, Type* b, OneOrMany x, OneOrMany y) {
    if (!a->IsRelatedTo(b))
        a->RelateToType(b, x, y, false);
}

QTcpSocket* SocketOf(const ItemPtr& item) {
    return item.IsNull() ? nullptr : reinterpret_cast<QTcpSocket*>(std::uintptr_t(item.AsUInt64()));
}

void LogLine(int level, const QString& text) {
    Log(DNetManager::kArea, level, text);
}

MemStream LevelFrame(int level) {
    MemStream m;
    m.Write(kLevelCode);
    m.Write(qint32(level));
    return m;
}

MemStream LeaderFrame(const QString& leader) {
    MemStream m;
    m.Write(kLeaderCode);
    m.Write(leader);
    return m;
}

}  // namespace

DNetManager::DNetManager(QObject* parent) : QObject(parent) {
    dnetManager = this;

    Type* user = Declare("user", PrimacyRoot, false);
    Type* mark = Declare("attempted_dnet_connection", PrimacyLeaf, true);
    Type* global = Declare("dnet_global", PrimacyRoot, false);
    Type* value = Declare("dnet_value", PrimacyLeaf, false);
    Type* child = Declare("dnet_child", PrimacyRoot, false);
    Type* childDepth = Declare("dnet_child_depth", PrimacyLeaf, false);
    Type* candidate = Declare("dnet_parent_candidate", PrimacyRoot, false);
    Type* candidateLevel = Declare("dnet_candidate_level", PrimacyLeaf, false);
    Type* candidateLeader = Declare("dnet_candidate_leader", PrimacyLeaf, false);
    Relate(user, mark, Many, One);
    Relate(global, value, Many, One);
    Relate(child, user, One, One);
    Relate(child, childDepth, Many, One);
    Relate(candidate, user, Many, One);
    Relate(candidate, candidateLevel, Many, One);
    Relate(candidate, candidateLeader, Many, One);

    if (gp_server) {
        connect(gp_server, &Server::DNetParentMinSpeed, this, &DNetManager::OnDNetParentMinSpeed);
        connect(gp_server, &Server::DNetParentSpeedConnectionRatio, this,
                &DNetManager::OnDNetParentSpeedConnectionRatio);
        connect(gp_server, &Server::DNetPossibleParents, this, &DNetManager::OnDNetPossibleParents);
        connect(gp_server, &Server::DNetMessage, this, &DNetManager::OnDNetMessage);
        connect(gp_server, &Server::DNetDeliveryReport, this, &DNetManager::OnDNetDeliveryReport);
        connect(gp_server, &Server::DNetReset, this, &DNetManager::OnDNetReset);
        connect(gp_server, &Server::Connected, this, &DNetManager::OnConnected);
    }
    if (peerMessenger) {
        connect(peerMessenger, &PeerMessenger::DNetConnectionAccepted, this,
                &DNetManager::OnDNetConnectionAccepted);
        connect(peerMessenger, &PeerMessenger::DNetConnectionRequested, this,
                &DNetManager::OnDNetConnectionRequested);
    }
    if (timerManager)
        connect(&timerManager->everyHalfMinute, &QTimer::timeout, this,
                &DNetManager::EveryHalfMinute);
    // Whichever of the two managers is made second connects the tree's searches.
    if (sharedFoldersManager)
        connect(this, &DNetManager::DNetSearchRequest, sharedFoldersManager,
                &SharedFoldersManager::OnDNetSearchRequest);

    if (d.FindType("global")) {
        auto* root = new PathNode(GetSettingItem("upload_speed"));
        new PathNode(root, "global_value", PathConnecting);
        d.AddPathEventHandler(root, ItemHandler(this, &DNetManager::OnReceivedOwnUploadSpeed));
    }
}

DNetManager::~DNetManager() {
    DisableHandlers();
    // The sockets go with this object; none may call back into it meanwhile,
    // and no item may keep naming them.
    for (QTcpSocket* socket : findChildren<QTcpSocket*>(QString(), Qt::FindDirectChildrenOnly))
        QObject::disconnect(socket, nullptr, this, nullptr);
    for (const char* type : {"dnet_child", "dnet_parent_candidate"})
        if (Type* t = d.FindType(type))
            t->GetItems().Remove();
    if (d.FindType("dnet_global"))
        for (const char* key : {kParentUser, kParentSocket})
            ClearState(key);
    if (dnetManager == this)
        dnetManager = nullptr;
}

// ---------------------------------------------------------------------------
// State values.

bool DNetManager::HasState(const char* i_key) {
    const ItemPtr key = d.GetType("dnet_global")->HasItem(Value(i_key));
    return !key.IsNull() && key.IsConnected("dnet_value");
}

QString DNetManager::State(const char* i_key) {
    const ItemPtr key = d.GetType("dnet_global")->HasItem(Value(i_key));
    return key.IsNull() ? QString() : key.HasItem("dnet_value").AsString();
}

void DNetManager::SetState(const char* i_key, const Value& i_value) {
    d.GetType("dnet_global")
        ->GetItem(Value(i_key))
        .Connect(d.GetType("dnet_value")->GetItem(i_value));
}

void DNetManager::ClearState(const char* i_key) {
    const ItemPtr key = d.GetType("dnet_global")->HasItem(Value(i_key));
    if (!key.IsNull())
        key.Disconnect("dnet_value");
}

bool DNetManager::HasParent() const {
    return HasState(kParentUser);
}

int DNetManager::Level() const {
    return HasState(kLevel) ? State(kLevel).toInt() : -1;
}

QString DNetManager::GroupLeader() const {
    return State(kLeader);
}

int DNetManager::ChildDepth() const {
    return HasState(kChildDepth) ? State(kChildDepth).toInt() : 0;
}

QTcpSocket* DNetManager::ParentSocket() const {
    const ItemPtr key = d.GetType("dnet_global")->HasItem(Value(kParentSocket));
    return key.IsNull() ? nullptr : SocketOf(key.HasItem("dnet_value"));
}

ItemPtr DNetManager::CandidateOf(QTcpSocket* ip_socket) const {
    return ip_socket ? d.GetType("dnet_parent_candidate")->HasItem(Value(ip_socket)) : ItemPtr();
}

ItemPtr DNetManager::ChildOf(QTcpSocket* ip_socket) const {
    return ip_socket ? d.GetType("dnet_child")->HasItem(Value(ip_socket)) : ItemPtr();
}

// ---------------------------------------------------------------------------
// Sockets.

void DNetManager::ConnectParentSlots(QTcpSocket* ip_socket) {
    ip_socket->setParent(this);
    connect(ip_socket, &QTcpSocket::readyRead, this, &DNetManager::OnSocketReadyToRead);
    connect(ip_socket, &QAbstractSocket::errorOccurred, this, &DNetManager::OnSocketError);
    connect(ip_socket, &QAbstractSocket::disconnected, this, &DNetManager::OnSocketClosed);
}

void DNetManager::ConnectChildSlots(QTcpSocket* ip_socket) {
    ip_socket->setParent(this);
    connect(ip_socket, &QTcpSocket::readyRead, this, &DNetManager::OnChildSocketReadyToRead);
    connect(ip_socket, &QAbstractSocket::errorOccurred, this, &DNetManager::OnChildSocketError);
    connect(ip_socket, &QAbstractSocket::disconnected, this, &DNetManager::OnChildSocketClosed);
}

void DNetManager::DropSocket(QTcpSocket* ip_socket) {
    m_partial.erase(ip_socket);
    QObject::disconnect(ip_socket, &QTcpSocket::readyRead, nullptr, nullptr);
    QObject::disconnect(ip_socket, &QAbstractSocket::errorOccurred, nullptr, nullptr);
    QObject::disconnect(ip_socket, &QAbstractSocket::disconnected, nullptr, nullptr);
    ip_socket->close();
    ip_socket->deleteLater();
}

void DNetManager::OnSocketReadyToRead() {
    if (auto* socket = qobject_cast<QTcpSocket*>(sender()))
        ReadFrames(socket, false);
}

void DNetManager::OnChildSocketReadyToRead() {
    if (auto* socket = qobject_cast<QTcpSocket*>(sender()))
        ReadFrames(socket, true);
}

void DNetManager::ReadFrames(QTcpSocket* ip_socket, bool i_child) {
    while (ip_socket->isOpen()) {
        const qint64 available = ip_socket->bytesAvailable();
        if (available < 4)
            return;
        char header[4];
        if (ip_socket->peek(header, 4) != 4)
            return;
        const qint32 length = qFromLittleEndian<qint32>(header);
        // The length is the peer's word; a bound keeps it from sizing our memory.
        const quint32 cap =
            i_child ? PeerLimits::kMaxDNetChildFrameLength : PeerLimits::kMaxDNetFrameLength;
        if (length < 1 || quint32(length) > cap) {
            LogLine(1, QString("Bad frame length %1, closing connection").arg(length));
            ip_socket->close();
            return;
        }
        if (available - 4 < length)
            return;
        ip_socket->read(header, 4);
        if (m_message.GetBufferSize() < length)
            m_message.ResizeBuffer(length);
        m_message.SetWritePos(0);
        if (ip_socket->read(m_message.GetBuffer(), length) != length)
            return;
        m_message.SetWritePos(length);
        m_message.SetReadPos(0);
        m_partial.erase(ip_socket);
        if (i_child)
            HandleChildMessage(ip_socket, m_message);
        else
            HandleMessage(ip_socket, m_message);
    }
}

void DNetManager::WriteFrame(QTcpSocket* ip_socket, const MemStream& i_message) {
    const qint64 n = i_message.GetWritePos();
    QByteArray frame(4, '\0');
    qToLittleEndian<quint32>(quint32(n), frame.data());
    frame.append(i_message.GetBuffer(), int(n));
    // A child that stops reading would otherwise make us hold every relay.
    if (ip_socket->bytesToWrite() + frame.size() > kMaxChildBacklog) {
        LogLine(1, "Child connection not reading, closing it");
        ip_socket->abort();
        return;
    }
    ip_socket->write(frame);
}

void DNetManager::SendMessageToChildren(MemStream& i_message) {
    const ItemSet children = d.GetType("dnet_child")->GetItems();
    for (const ItemPtr& child : children)
        if (!child.IsRemoved())
            if (QTcpSocket* socket = SocketOf(child))
                WriteFrame(socket, i_message);
}

void DNetManager::SendLevelFrame(int i_level, QTcpSocket* ip_only) {
    MemStream frame = LevelFrame(i_level);
    if (ip_only)
        WriteFrame(ip_only, frame);
    else
        SendMessageToChildren(frame);
}

void DNetManager::SendLeaderFrame(const QString& i_leader, QTcpSocket* ip_only) {
    MemStream frame = LeaderFrame(i_leader);
    if (ip_only)
        WriteFrame(ip_only, frame);
    else
        SendMessageToChildren(frame);
}

// ---------------------------------------------------------------------------
// Frames from the parent side.

void DNetManager::HandleMessage(QTcpSocket* ip_socket, MemStream& i_message) {
    // Unreadable frames close the connection; from the server they are only logged.
    auto fail = [ip_socket](const QString& why) {
        LogLine(1, why);
        if (ip_socket)
            ip_socket->close();
    };
    quint8 code = 0;
    if (!i_message.Read(code)) {
        fail("Error reading message code, closing parent/candidate connection");
        return;
    }
    bool fromParent = false;
    ItemPtr candidate;
    if (ip_socket) {
        if (HasParent()) {
            if (ip_socket != ParentSocket()) {
                DropSocket(ip_socket);
                return;
            }
            fromParent = true;
        } else {
            candidate = CandidateOf(ip_socket);
            if (candidate.IsNull()) {
                DropSocket(ip_socket);
                return;
            }
        }
    }
    const bool fromCandidate = !candidate.IsNull();

    if (code == kLevelCode) {
        const int current = Level();
        qint32 level = 0;
        if (!i_message.Read(level)) {
            fail("Error reading level");
            return;
        }
        if (level > kMaxLevel) {
            fail(QString("Implausible level %1, closing connection").arg(level));
            return;
        }
        level = level < 0 ? -1 : level + 1;
        if (fromCandidate && level != -1)
            candidate.Connect(d.GetType("dnet_candidate_level")->GetItem(Value(level)));
        if (!fromParent || level == current)
            return;
        LogLine(1, QString("Received level from parent, updating to %1").arg(level));
        if (level == -1)
            ClearState(kLevel);
        else
            SetState(kLevel, Value(level));
        if (gp_server)
            gp_server->SendDNetLevel(level);
        SendLevelFrame(level);
    } else if (code == kLeaderCode) {
        QString leader;
        if (!i_message.Read(leader)) {
            fail("Error reading group leader");
            return;
        }
        const QString current = GroupLeader();
        if (fromCandidate)
            candidate.Connect(d.GetType("dnet_candidate_leader")->GetItem(Value(leader)));
        if (fromParent && leader != current) {
            LogLine(1, QString("Received group leader from parent, updating to %1").arg(leader));
            SetState(kLeader, Value(leader));
            if (gp_server)
                gp_server->SendDNetGroupLeader(leader);
            SendMessageToChildren(i_message);
        }
    } else if (code == kRelay) {
        quint32 inner = 0;
        if (!i_message.Read(inner)) {
            fail("Error reading relayed message code");
            return;
        }
        if (inner != kSearchRequest) {
            SendMessageToChildren(i_message);
            return;
        }
        QString user;
        quint32 token = 0;
        QString text;
        if (!i_message.Read(user) || !i_message.Read(token) || !i_message.Read(text)) {
            fail("Error reading search request");
            return;
        }
        emit DNetSearchRequest(user, token, text);
        m_lastSearchTime = m_clock ? m_clock() : QDateTime::currentDateTimeUtc();
        if (ip_socket && !HasParent())
            Adopt(ip_socket);
        SendMessageToChildren(i_message);
    }
}

void DNetManager::Adopt(QTcpSocket* ip_socket) {
    const ItemPtr candidate = CandidateOf(ip_socket);
    const QString name = candidate["user"].AsString();
    SetState(kParentUser, Value(name));
    SetState(kParentSocket, Value(ip_socket));
    LogLine(1,
            QString("Received first search request from parent candidate %1, adopting as parent.")
                .arg(name));
    const ItemPtr level = candidate["dnet_candidate_level"];
    if (!level.IsNull()) {
        LogLine(2, QString("Level recorded as %1.").arg(level.AsInt()));
        SetState(kLevel, Value(level.AsInt()));
        if (gp_server)
            gp_server->SendDNetLevel(level.AsInt());
        SendLevelFrame(level.AsInt());
    }
    const QString leader = candidate["dnet_candidate_leader"].AsString();
    LogLine(2, QString("Group leader recorded as %1.").arg(leader));
    SetState(kLeader, Value(leader));
    if (gp_server)
        gp_server->SendDNetGroupLeader(leader);
    SendLeaderFrame(leader);

    const ItemSet candidates = d.GetType("dnet_parent_candidate")->GetItems();
    for (const ItemPtr& c : candidates) {
        QTcpSocket* socket = SocketOf(c);
        c.Remove();
        if (socket && socket != ip_socket)
            DropSocket(socket);
    }
    if (gp_server)
        gp_server->SendDNetHasParent(true);
}

// ---------------------------------------------------------------------------
// Frames from children.

void DNetManager::HandleChildMessage(QTcpSocket* ip_socket, MemStream& i_message) {
    quint8 code = 0;
    if (!i_message.Read(code)) {
        LogLine(1, "Error reading message code, closing child connection");
        ip_socket->close();
        return;
    }
    const ItemPtr child = ChildOf(ip_socket);
    if (child.IsNull()) {
        DropSocket(ip_socket);
        return;
    }
    LogLine(1, QString("Received message from child, code %1").arg(code));
    if (code != kDepthCode)
        return;
    qint32 depth = 0;
    if (!i_message.Read(depth) || depth > kMaxLevel) {
        LogLine(1, "Bad child depth, closing child connection");
        ip_socket->close();
        return;
    }
    depth = std::max(depth, -1);
    LogLine(1, QString("Received child depth %1 from %2").arg(depth).arg(child["user"].AsString()));
    child.Connect(d.GetType("dnet_child_depth")->GetItem(Value(depth)));
    DetermineChildDepth();
}

// ---------------------------------------------------------------------------
// Connections.

void DNetManager::OnDNetPossibleParents(std::list<std::pair<QString, TCPAddress>>& i_parents) {
    if (HasParent()) {
        LogLine(1, "Received possible parents list, but already have a parent. Not processing.");
        return;
    }
    LogLine(1, QString("Received possible parents list, %1 entries").arg(i_parents.size()));
    Type* users = d.GetType("user");
    Type* addresses = d.FindType("user_address");
    Type* ports = d.FindType("user_port");
    const bool canRecord =
        addresses && ports && users->IsRelatedTo(addresses) && users->IsRelatedTo(ports);
    for (const auto& entry : i_parents) {
        if (entry.first.isEmpty())
            continue;
        const ItemPtr user = users->NewItem(Value(entry.first));
        if (user.IsConnected("attempted_dnet_connection")) {
            LogLine(
                2, QString("Already attempted parent connection to %1, skipping").arg(entry.first));
            continue;
        }
        LogLine(2, QString("Attempting parent connection to %1").arg(entry.first));
        if (canRecord) {
            user.Connect(addresses->NewItem(Value(entry.second.ip)));
            user.Connect(ports->NewItem(Value(entry.second.port)));
        }
        user.NewItem("attempted_dnet_connection");
        if (peerMessenger)
            peerMessenger->RequestDNetConnection(entry.first);
    }
}

void DNetManager::OnDNetConnectionAccepted(QString i_user, QTcpSocket* ip_socket) {
    if (!ip_socket)
        return;
    LogLine(1, QString("Parent connection to user %1 accepted").arg(i_user));
    if (HasParent()) {
        LogLine(2, "Rejecting, already have parent");
        ip_socket->deleteLater();
        return;
    }
    if (d.GetType("dnet_parent_candidate")->ItemCount() >= PeerLimits::kMaxDNetCandidates) {
        LogLine(1, "Too many parent candidates, closing the new one");
        ip_socket->abort();
        ip_socket->deleteLater();
        return;
    }
    LogLine(2, "Adding as possible parent candidate");
    d.GetType("dnet_parent_candidate")
        ->NewItem(Value(ip_socket))
        .Connect(d.GetType("user")->NewItem(Value(i_user)));
    ConnectParentSlots(ip_socket);
    // Frames may have come with the set-up.
    ReadFrames(ip_socket, false);
}

void DNetManager::OnDNetConnectionRequested(QString i_user, QTcpSocket* ip_socket) {
    if (!ip_socket)
        return;
    LogLine(1, QString("Child connection accepted from %1").arg(i_user));
    const ItemPtr user = d.GetType("user")->NewItem(Value(i_user));
    const ItemPtr old = user["dnet_child"];
    const qint64 capacity = ChildCapacity();
    const int children = d.GetType("dnet_child")->ItemCount();
    if (old.IsNull() && children >= capacity) {
        LogLine(1, QString("Child connection from %1 refused, %2 children held, capacity %3")
                       .arg(i_user)
                       .arg(children)
                       .arg(capacity));
        ip_socket->abort();
        ip_socket->deleteLater();
        return;
    }
    if (!old.IsNull()) {
        LogLine(2, "Child connection already found, closing old connection.");
        QTcpSocket* oldSocket = SocketOf(old);
        old.Remove();
        if (oldSocket)
            DropSocket(oldSocket);
    }
    d.GetType("dnet_child")->NewItem(Value(ip_socket)).Connect(user);
    ConnectChildSlots(ip_socket);
    if (HasState(kLevel))
        SendLevelFrame(Level(), ip_socket);
    if (HasState(kLeader))
        SendLeaderFrame(GroupLeader(), ip_socket);
    // The server hears at once when this child fills the last place.
    DetermineCanParent();
    DetermineChildDepth();
    ReadFrames(ip_socket, true);
}

void DNetManager::OnSocketError(QAbstractSocket::SocketError) {
    OnSocketClosed();
}

void DNetManager::OnSocketClosed() {
    if (auto* socket = qobject_cast<QTcpSocket*>(sender()))
        ParentSocketClosed(socket);
}

void DNetManager::ParentSocketClosed(QTcpSocket* ip_socket) {
    // Error and disconnected both arrive; only the first counts.
    QObject::disconnect(ip_socket, nullptr, this, nullptr);
    m_partial.erase(ip_socket);
    if (ip_socket == ParentSocket()) {
        LogLine(1, "Parent socket closed");
        for (const char* key : {kParentUser, kParentSocket, kLeader, kLevel})
            ClearState(key);
        if (gp_server) {
            gp_server->SendDNetHasParent(false);
            gp_server->SendDNetGroupLeader(QString());
            gp_server->SendDNetLevel(-1);
        }
    } else if (const ItemPtr candidate = CandidateOf(ip_socket); !candidate.IsNull()) {
        LogLine(1, "Parent candidate socket closed");
        candidate.Remove();
    }
    ip_socket->deleteLater();
}

void DNetManager::OnChildSocketError(QAbstractSocket::SocketError) {
    OnChildSocketClosed();
}

void DNetManager::OnChildSocketClosed() {
    if (auto* socket = qobject_cast<QTcpSocket*>(sender()))
        ChildSocketClosed(socket);
}

void DNetManager::ChildSocketClosed(QTcpSocket* ip_socket) {
    LogLine(1, "Child socket closed");
    QObject::disconnect(ip_socket, nullptr, this, nullptr);
    m_partial.erase(ip_socket);
    ip_socket->deleteLater();
    const ItemPtr child = ChildOf(ip_socket);
    if (child.IsNull()) {
        LogLine(2, "Child socket item not found, aborting");
        return;
    }
    child.Remove();
    // A place came free, and the depth below may have gone with the child.
    DetermineCanParent();
    DetermineChildDepth();
}

// ---------------------------------------------------------------------------
// Server.

void DNetManager::OnDNetMessage(MemStream& i_message) {
    // Exactly the frame, whatever else the server's stream holds before it.
    const qint64 start = i_message.GetReadPos();
    const qint64 n = i_message.GetWritePos() - start;
    if (n < 1) {
        LogLine(1, "Empty distributed message from server ignored");
        return;
    }
    MemStream frame(QByteArray(i_message.GetBuffer() + start, int(n)));
    HandleMessage(nullptr, frame);
}

void DNetManager::OnDNetDeliveryReport(int i_request) {
    LogLine(1, QString("Received DNet delivery report request, req %1").arg(i_request));
}

void DNetManager::OnDNetReset() {
    LogLine(1, "Received DNet reset request");
}

void DNetManager::OnConnected() {
    if (gp_server) {
        gp_server->SendDNetHasParent(HasParent());
        if (HasState(kLeader))
            gp_server->SendDNetGroupLeader(GroupLeader());
        if (HasState(kLevel))
            gp_server->SendDNetLevel(Level());
    }
    DetermineCanParent();
}

void DNetManager::CloseStalledFrames(const QDateTime& i_now) {
    std::vector<std::pair<QTcpSocket*, bool>> sockets;
    for (const bool child : {true, false})
        for (const ItemPtr& item :
             d.GetType(child ? "dnet_child" : "dnet_parent_candidate")->GetItems())
            if (QTcpSocket* socket = SocketOf(item))
                sockets.emplace_back(socket, child);
    if (QTcpSocket* parent = ParentSocket())
        sockets.emplace_back(parent, false);
    for (const auto& [socket, child] : sockets) {
        const qint64 buffered = socket->bytesAvailable();
        const auto it = m_partial.find(socket);
        if (buffered == 0) {
            if (it != m_partial.end())
                m_partial.erase(it);
        } else if (it == m_partial.end()) {
            m_partial[socket] = {i_now, buffered};
        } else if (it->second.first.msecsTo(i_now) >= PeerLimits::kStalledFrameMs) {
            if (buffered - it->second.second >= PeerLimits::kStalledFrameBytes) {
                it->second = {i_now, buffered};
                continue;
            }
            LogLine(1, "Frame stalled, closing the connection");
            QObject::disconnect(socket, nullptr, this, nullptr);
            socket->abort();
            if (child)
                ChildSocketClosed(socket);
            else
                ParentSocketClosed(socket);
        }
    }
}

void DNetManager::EveryHalfMinute() {
    const QDateTime now = m_clock ? m_clock() : QDateTime::currentDateTimeUtc();
    CloseStalledFrames(now);
    QTcpSocket* parent = ParentSocket();
    if (!parent)
        return;
    if (m_lastSearchTime.isValid() && m_lastSearchTime.msecsTo(now) <= kParentSilenceMs)
        return;
    LogLine(1, "More than a minute elapsed without hearing from parent, closing connection.");
    parent->close();
    // A socket that was never connected reports no disconnection.
    if (ParentSocket() == parent)
        ParentSocketClosed(parent);
}

// ---------------------------------------------------------------------------
// Capacity and depth.

void DNetManager::OnDNetParentMinSpeed(int i_speed) {
    LogLine(1, QString("Received parent min speed %1, currently not processing").arg(i_speed));
    m_parentMinSpeed = i_speed;
    DetermineCanParent();
}

void DNetManager::OnDNetParentSpeedConnectionRatio(int i_ratio) {
    LogLine(1, QString("Received parent speed connection ratio %1, currently not processing")
                   .arg(i_ratio));
    m_parentSpeedConnectionRatio = i_ratio;
    DetermineCanParent();
}

void DNetManager::OnReceivedOwnUploadSpeed(ItemPtr) {
    DetermineCanParent();
}

void DNetManager::DetermineCanParent() {
    if (m_parentMinSpeed == -1 || m_parentSpeedConnectionRatio == -1 || !d.FindType("global") ||
        !HasSetting("upload_speed"))
        return;
    LogLine(1, "Determining whether we can accept child connections.");
    const qint64 capacity = ChildCapacity();
    const int children = d.GetType("dnet_child")->ItemCount();
    LogLine(2, QString("Currently have %1 child connections, capacity %2 (speed %3, minimum %4 "
                       "KiB/s, ratio %5)")
                   .arg(children)
                   .arg(capacity)
                   .arg(GetSetting("upload_speed"))
                   .arg(m_parentMinSpeed)
                   .arg(m_parentSpeedConnectionRatio));
    const bool state = children < capacity;
    if (state == m_canParent) {
        LogLine(2, "No status change, not notifying.");
        return;
    }
    m_canParent = state;
    LogLine(2, "Status changed, sending notification.");
    if (gp_server)
        gp_server->SendDNetCanParent(state);
}

qint64 DNetManager::ChildCapacity() const {
    const qint64 cap = PeerLimits::kMaxDNetChildren;
    if (m_parentMinSpeed == -1 || m_parentSpeedConnectionRatio == -1 || !d.FindType("global") ||
        !HasSetting("upload_speed"))
        return cap;
    // 64-bit throughout: the server's figures and the speed may be near the int range.
    const qint64 kSpeedBound = qint64(1) << 50;
    bool ok = false;
    qint64 speed = GetSetting("upload_speed").toLongLong(&ok);
    speed = ok ? qBound(-kSpeedBound, speed, kSpeedBound) : 0;
    if (speed < qint64(m_parentMinSpeed) * 1024 || m_parentSpeedConnectionRatio <= 0)
        return 0;
    return std::min(cap, (speed * 10 / 1024) / m_parentSpeedConnectionRatio);
}

void DNetManager::DetermineChildDepth() {
    const int current = ChildDepth();
    int depth = 0;
    const ItemSet children = d.GetType("dnet_child")->GetItems();
    for (const ItemPtr& child : children) {
        const ItemPtr reported = child["dnet_child_depth"];
        if (!reported.IsNull())
            depth = std::max(depth, reported.AsInt() + 1);
    }
    if (depth == current)
        return;
    LogLine(1, QString("New child depth is %1").arg(depth));
    if (depth == 0)
        ClearState(kChildDepth);
    else
        SetState(kChildDepth, Value(depth));
    if (gp_server)
        gp_server->SendChildDepth(depth != 0);
}
