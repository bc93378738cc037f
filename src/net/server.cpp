#include "net/server.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QElapsedTimer>
#include <QTcpSocket>
#include <QTimer>
#include <QtEndian>
#include <map>
#include <set>
#include <vector>

#include "net/LowDelay.h"
#include "net/PeerLimits.h"
#include "net/PeerMessenger.h"
#include "net/PortForwarder.h"
#include "store/DataSaver.h"
#include "store/Log.h"
#include "store/Settings.h"
#include "store/TimerManager.h"

Server* gp_server = nullptr;

const char* const Server::kDefaultHost = "server.tavenook.net";
const char* const Server::kDefaultPassword = "tavenook";

namespace {

const char* const kArea = "server";
// Bytes taken from the socket per read, so that one burst cannot make the
// frame reader hold more than one frame and one chunk.
const qint64 kReadChunk = 64 * 1024;
// Main-thread time the frames of one turn of the event loop may take: a
// flood of messages then cannot hold up drawing, input or a quit, and some of
// it is read on every turn, so the server never sees us fall silent; what
// comes faster than that waits in TCP once the socket's buffer is full.
const qint64 kReadBudgetMs = 10;
// The same for the requests about a long user list sent at login: hundreds of
// thousands of them would otherwise hold the window for seconds.
const qint64 kPacedBudgetMs = 10;

enum UserStatus : quint32 { StatusOffline = 0, StatusAway = 1, StatusOnline = 2 };

QString Now() {
    return QDateTime::currentDateTime().toString(Qt::TextDate);
}

ItemPtr UserItem(const QString& name) {
    return d.GetType("user")->NewItem(Value(name));
}

ItemPtr FindUser(const QString& name) {
    return d.GetType("user")->HasItem(Value(name));
}

ItemPtr RoomItem(const QString& name) {
    return d.GetType("room")->NewItem(Value(name));
}

ItemPtr FindRoom(const QString& name) {
    return d.GetType("room")->HasItem(Value(name));
}

// Links the owner to the value item of the type; at a "one" end this replaces
// the old value.
void SetValue(const ItemPtr& owner, const char* type, const Value& value) {
    owner.Connect(d.GetType(type)->NewItem(value));
}

bool IsIgnored(const QString& user) {
    const ItemPtr u = FindUser(user);
    return !u.IsNull() && u.IsConnected("is_ignored");
}

// Every item of `partner` linked to any item of the flag type.
ItemSet FlaggedItems(const char* flag, const char* partner) {
    Type* t = d.FindType(flag);
    if (!t)
        return ItemSet();
    const ItemSet flags = t->GetItems();
    // One flag shared by all: its partners are in order already.
    if (flags.Size() == 1)
        return flags.First().GetItems(partner);
    // Gathered whole and ordered once: flags made in another order than
    // their partners would cost a merge of all gathered so far each.
    return flags.GetItems(partner);
}

// A valued type that another part may or may not have declared yet.
Type* OptionalValuedType(const char* name) {
    Type* t = d.FindType(name);
    return t && !t->IsNull() ? t : nullptr;
}

bool ReadPort(InputStream& in, quint16& port) {
    quint32 value = 0;
    if (!in.Read(value) || value > 0xFFFF)
        return false;
    port = quint16(value);
    return true;
}

bool ReadStatus(InputStream& in, quint32& status) {
    return in.Read(status) && status <= StatusOnline;
}

}  // namespace

// ---------------------------------------------------------------------------

Server::Server(QObject* parent) : QObject(parent), m_reader(kMaxFrameLength) {
    gp_server = this;
    qRegisterMetaType<UserStats>("UserStats");
    qRegisterMetaType<TCPAddress>("TCPAddress");
    qRegisterMetaType<time_t>("time_t");
    mp_portForwarder = new PortForwarder(this);
    if (timerManager) {
        connect(&timerManager->everyHalfMinute, &QTimer::timeout, this, &Server::OnHalfMinuteTick);
        connect(&timerManager->everyFiveMinutes, &QTimer::timeout, this, &Server::OnFiveMinuteTick);
        connect(&timerManager->everyHour, &QTimer::timeout, this, &Server::RenewPortMapping);
    }
    if (dataSaver)
        dataSaver->AddDataLoadedEventHandler(this);
}

Server::~Server() {
    DisableHandlers();
    if (dataSaver)
        dataSaver->RemoveDataLoadedEventHandler(this);
    DropSocket();
    if (gp_server == this)
        gp_server = nullptr;
}

void Server::CreateData() {
    Type* user = d.NewType("user", PrimacyRoot, false, true);
    Type* room = d.NewType("room", PrimacyRoot, false, true);
    Type* group = d.NewType("user_list_group", PrimacyRoot, false, true);

    auto flag = [](const char* name) { return d.NewType(name, PrimacyLeaf, true, false); };
    auto value = [](const char* name) { return d.NewType(name, PrimacyLeaf, false, true); };
    auto node = [](const char* name) { return d.NewType(name, PrimacyIntermediate, true, false); };

    // Flags of users: one shared flag item serves every user.
    for (const char* name : {"is_online", "is_away", "is_tracked", "is_privileged", "is_ignored"})
        user->RelateToType(flag(name), Many, One, false);
    // Each user on the list gets an item of its own, which the groups share.
    Type* inUserList = flag("in_user_list");
    user->RelateToType(inUserList, One, One, false);
    inUserList->RelateToType(group, Many, Many, false);
    group->RelateToType(value("group_download_priority"), Many, One, false);
    group->RelateToType(flag("accept_uploads"), Many, One, false);

    for (const char* name : {"average_download_speed", "shared_file_count", "country_code",
                             "last_online_status_change"})
        user->RelateToType(value(name), Many, One, false);

    // Members present in the room.
    room->RelateToType(user, Many, Many, false);
    room->RelateToType(value("user_count"), Many, One, false);
    for (const char* name : {"in_room", "room_autojoin", "is_owner", "is_operator", "is_member"})
        room->RelateToType(flag(name), Many, One, false);
    // One role node per room, linked to every user holding the role there.
    Type* owner = node("room_owner");
    room->RelateToType(owner, One, One, false);
    owner->RelateToType(user, Many, One, false);
    for (const char* name : {"room_operators", "room_members"}) {
        Type* roleNode = node(name);
        room->RelateToType(roleNode, One, One, false);
        roleNode->RelateToType(user, Many, Many, false);
    }

    Type* ticker = node("room_ticker");
    room->RelateToType(ticker, One, Many, false);
    user->RelateToType(ticker, One, Many, false);
    ticker->RelateToType(value("room_ticker_text"), Many, One, false);
    ticker->RelateToType(value("room_ticker_order"), Many, One, false);

    // Related to "search_correlation" when the answer to 153 first needs it:
    // that type is declared later, by the peer messenger.
    value("correlation_text");
    value("correlation_rank");

    if (dataSaver) {
        dataSaver->AddSavedType("in_user_list");
        dataSaver->AddSavedType("is_ignored");
        dataSaver->AddSavedType("user_list_group");
        dataSaver->AddSavedType("group_download_priority");
        dataSaver->AddSavedType("accept_uploads");
        dataSaver->AddSavedType("room_autojoin");
        dataSaver->AddSavedByConnectionType("user", "in_user_list");
        dataSaver->AddSavedByConnectionType("user", "is_ignored");
        dataSaver->AddSavedByConnectionType("room", "room_autojoin");
    }

    SetSettingDefault("availability_status", "available");
}

void Server::DataLoaded() {
    SetSettingDefault("use_upnp", "yes");
}

void Server::ServerAddress(QString& host, quint16& port) {
    host = kDefaultHost;
    port = kDefaultPort;
    const QString configured = QString::fromLocal8Bit(qgetenv("TAVENOOK_SERVER")).trimmed();
    if (configured.isEmpty())
        return;
    QString hostPart = configured;
    QString portPart;
    if (configured.startsWith('[')) {
        // [IPv6 address] or [IPv6 address]:port
        const int close = configured.indexOf(']');
        if (close < 0)
            return;
        hostPart = configured.mid(1, close - 1);
        if (configured.mid(close + 1).startsWith(':'))
            portPart = configured.mid(close + 2);
    } else if (configured.count(':') == 1) {
        const int colon = configured.indexOf(':');
        hostPart = configured.left(colon);
        portPart = configured.mid(colon + 1);
    }
    if (hostPart.isEmpty())
        return;
    host = hostPart;
    if (!portPart.isEmpty()) {
        bool ok = false;
        const uint value = portPart.toUInt(&ok);
        if (ok && value >= 1 && value <= 0xFFFF)
            port = quint16(value);
        else
            Log(kArea, 1, QString("Ignoring the port of TAVENOOK_SERVER: %1").arg(portPart));
    }
}

// ---------------------------------------------------------------------------
// Connection life.

void Server::Connect() {
    if (m_state != StateIdle)
        return;
    if (GetSetting("username").isEmpty())
        return;
    m_abrupt = false;
    StartAttempt();
}

void Server::Disconnect() {
    m_abrupt = false;
    const State was = m_state;
    if (was == StateIdle)
        return;
    Log(kArea, 1, "Disconnecting at the user's request.");
    DropSocket();
    m_state = StateIdle;
    if (was == StateLoggedIn)
        RunDisconnectHandling();
}

void Server::StartAttempt() {
    if (GetSetting("username").isEmpty())
        return;
    DropSocket();
    QString host;
    quint16 port = kDefaultPort;
    ServerAddress(host, port);

    m_state = StateConnecting;
    m_attemptTicks = 0;
    const quint64 generation = m_generation;
    QTcpSocket* socket = new QTcpSocket(this);
    socket->setReadBufferSize(kReadBufferSize);
    mp_socket = socket;
    connect(socket, &QTcpSocket::connected, this, &Server::OnSocketConnected);
    connect(socket, &QTcpSocket::readyRead, this, &Server::OnSocketReadyRead);
    connect(socket, &QTcpSocket::disconnected, this, &Server::OnSocketClosed);
    connect(socket, &QAbstractSocket::errorOccurred, this,
            [this, socket](QAbstractSocket::SocketError error) {
                if (error == QAbstractSocket::TemporaryError || socket != mp_socket)
                    return;
                OnSocketClosed();
            });
    Log(kArea, 1, QString("Connecting to %1:%2.").arg(host).arg(port));

    emit Connecting();
    if (m_generation != generation || m_state != StateConnecting)
        return;  // a receiver stopped it
    if (IsSettingYes("use_upnp"))
        mp_portForwarder->Init();
    socket->connectToHost(host, port);
}

void Server::DropSocket() {
    ++m_generation;
    m_paced.clear();
    m_reader.Clear();
    m_readQueued = false;
    m_closed = false;
    m_closeReason.clear();
    if (QTcpSocket* socket = mp_socket) {
        mp_socket = nullptr;
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
}

void Server::ConnectionLost(const QString& why) {
    if (m_state == StateLoggedIn) {
        Log(kArea, 1, QString("Connection to the server lost: %1").arg(why));
        DropSocket();
        m_state = StateIdle;
        m_abrupt = true;
        RunDisconnectHandling();
    } else if (m_state == StateConnecting) {
        Log(kArea, 1, QString("Connection attempt failed: %1").arg(why));
        DropSocket();
        m_state = StateIdle;
        emit ConnectionFailed("socket error");
    }
}

void Server::RunDisconnectHandling() {
    emit Disconnected();
    // Written for each user going offline because of our own drop, so that
    // nothing takes them for users who have been away for long.
    const QString now = Now();
    for (const ItemPtr& user : FlaggedItems("is_online", "user")) {
        SetValue(user, "last_online_status_change", Value(now));
        user.Disconnect("is_away");
        user.Disconnect("is_online");
    }
}

void Server::OnSocketConnected() {
    if (sender() != mp_socket || m_state != StateConnecting)
        return;
    LowDelay::SendAtOnce(mp_socket);
    SendLogin();
}

void Server::SendLogin() {
    const QString user = GetSetting("username");
    QString password = GetSetting("password");
    if (password.isEmpty())
        password = kDefaultPassword;
    const QByteArray digest =
        QCryptographicHash::hash(user.toUtf8() + password.toUtf8(), QCryptographicHash::Md5)
            .toHex();
    MemStream m;
    if (!(m.Write(user) && m.Write(password) && m.Write(kMajorVersion) && m.Write(kMinorVersion) &&
          m.Write(digest))) {
        ConnectionLost("the login does not fit in a message");
        return;
    }
    Log(kArea, 2, QString("Logging in as %1.").arg(user));
    WriteFrame(SM_LOGIN, m);
}

void Server::OnSocketClosed() {
    QTcpSocket* socket = mp_socket;
    if (!socket || m_closed)
        return;
    // What arrived before the close is handled first (a refusal is often
    // followed by it), in budgeted turns like the rest: a full socket of
    // short lines would otherwise hold the window for seconds. The drop is
    // told once it is all handled.
    m_closed = true;
    m_closeReason = socket->errorString();
    if (!m_readQueued)
        ReadSocket(kReadBudgetMs);
}

qint64 Server::UnhandledBytes() const {
    return (mp_socket ? mp_socket->bytesAvailable() : 0) + m_reader.BufferedBytes();
}

void Server::OnSocketReadyRead() {
    // A queued turn goes on where the last one stopped, in order.
    if (!m_readQueued)
        ReadSocket(kReadBudgetMs);
}

void Server::ReadSocket(qint64 budgetMs) {
    QTcpSocket* socket = mp_socket;
    if (!socket)
        return;
    LowDelay::AcknowledgeAtOnce(socket);
    const quint64 generation = m_generation;
    QElapsedTimer clock;
    clock.start();
    std::vector<char> chunk;
    for (;;) {
        if (budgetMs > 0 && clock.elapsed() >= budgetMs) {
            m_readQueued = true;
            QMetaObject::invokeMethod(
                this,
                [this, generation] {
                    if (generation != m_generation)
                        return;
                    m_readQueued = false;
                    ReadSocket(kReadBudgetMs);
                },
                Qt::QueuedConnection);
            return;
        }
        quint32 code = 0;
        MemStream payload;
        const FrameReader::Result result = m_reader.Next(code, payload);
        if (result == FrameReader::Error) {
            Log(kArea, 1, QString("Protocol error: %1").arg(m_reader.ErrorText()));
            ConnectionLost(m_reader.ErrorText());
            return;
        }
        if (result == FrameReader::Frame) {
            Dispatch(code, payload);
            if (generation != m_generation)
                return;  // a handler or a receiver ended the connection
            continue;
        }
        const qint64 available = socket->bytesAvailable();
        qint64 n = 0;
        if (available > 0) {
            chunk.resize(std::size_t(qMin(available, kReadChunk)));
            n = socket->read(chunk.data(), qint64(chunk.size()));
        }
        if (n <= 0) {
            if (m_closed)
                ConnectionLost(m_closeReason);
            return;
        }
        m_reader.Feed(chunk.data(), n);
    }
}

void Server::Dispatch(quint32 code, MemStream& payload) {
    if (m_state == StateConnecting && code != SM_LOGIN) {
        Log(kArea, 1, QString("Message %1 before the login reply ignored.").arg(code));
        return;
    }
    HandleMessage(code, payload);
}

void Server::OnLoginSucceeded() {
    m_state = StateLoggedIn;
    m_abrupt = false;
    m_attemptTicks = 0;
    const quint64 generation = m_generation;
    Log(kArea, 1, "Logged in.");

    // The ports actually held: a port that another program took would send
    // peers, and what they say, to that program instead of the connect-back.
    quint32 plain = quint32(GetSettingInt("listening_port"));
    quint32 obfuscated = quint32(GetSettingInt("obfuscated_listening_port"));
    if (peerMessenger) {
        plain = peerMessenger->ListeningPort();
        obfuscated = peerMessenger->ObfuscatedListeningPort();
    }
    MemStream ports;
    ports.Write(plain);
    ports.Write(obfuscated);
    Send(SM_SET_LISTENING_PORTS, ports);

    // Users marked while logged out are watched from now on.
    SendPacedFlagged(SM_ADD_USER, "is_tracked");
    for (const ItemPtr& room : FlaggedItems("room_autojoin", "room"))
        EnterRoom(room.AsString(), false);
    if (GetSetting("availability_status") == "away") {
        MemStream status;
        status.Write(quint32(StatusAway));
        Send(SM_SET_STATUS, status);
    }
    OnConnectedToServer();
    if (generation == m_generation && m_state == StateLoggedIn)
        emit Connected();
}

void Server::OnConnectedToServer() {
    if (!IsSettingYes("use_upnp") || m_state != StateLoggedIn)
        return;
    mp_portForwarder->AddPortMapping(mp_socket, GetSettingInt("listening_port"));
    const int obfuscated = GetSettingInt("obfuscated_listening_port");
    if (obfuscated != 0)
        mp_portForwarder->AddPortMapping(mp_socket, obfuscated);
}

void Server::RenewPortMapping() {
    // The mapping points at the local end of the server connection: without
    // one there is no address to map to.
    if (!IsSettingYes("use_upnp") || m_state != StateLoggedIn)
        return;
    Log(kArea, 1, "Renewing UPnP port mapping.");
    OnConnectedToServer();
}

void Server::OnHalfMinuteTick() {
    if (m_state == StateConnecting) {
        if (++m_attemptTicks >= kAttemptTicks)
            ConnectionLost("no login reply in time");
        return;
    }
    if (m_state == StateIdle && m_abrupt) {
        Log(kArea, 1, "Reconnecting.");
        StartAttempt();
    }
}

void Server::OnFiveMinuteTick() {
    if (m_state == StateLoggedIn)
        Send(SM_KEEP_ALIVE, MemStream());
}

// ---------------------------------------------------------------------------
// Sending.

bool Server::Send(quint32 code, const MemStream& payload) {
    // Once the server has closed, what it sent last is still being handled;
    // there is no one to send to.
    if (m_state != StateLoggedIn || !mp_socket || m_closed)
        return false;
    return WriteFrame(code, payload);
}

template <typename... Fields>
void Server::SendFields(quint32 code, const Fields&... fields) {
    MemStream m;
    if ((m.Write(fields) && ...))
        Send(code, m);
}

bool Server::WriteFrame(quint32 code, const MemStream& payload) {
    QTcpSocket* socket = mp_socket;
    if (!socket)
        return false;
    const QByteArray body = payload.GetWrittenBytes();
    if (quint64(body.size()) + 4 > kMaxFrameLength) {
        Log(kArea, 1, QString("Message %1 too long to send; dropped.").arg(code));
        return false;
    }
    QByteArray frame(8, '\0');
    qToLittleEndian<quint32>(quint32(body.size() + 4), frame.data());
    qToLittleEndian<quint32>(code, frame.data() + 4);
    frame += body;
    if (socket->write(frame) != frame.size()) {
        ConnectionLost("write failed");
        return false;
    }
    return true;
}

void Server::TrackUser(QString user) {
    const ItemPtr u = UserItem(user);
    if (u.IsConnected("is_tracked"))
        return;
    u.NewItem("is_tracked");
    AddUser(user);
}

void Server::AddUser(QString user) {
    SendFields(SM_ADD_USER, user);
}

void Server::GetUserStats(QString user) {
    SendFields(SM_GET_USER_STATS, user);
}

void Server::GetUserStats(const QStringList& users) {
    PacedBatch batch;
    batch.code = SM_GET_USER_STATS;
    batch.names = users;
    SendPaced(std::move(batch));
}

void Server::GetFlaggedUserStats(const char* flag) {
    SendPacedFlagged(SM_GET_USER_STATS, flag);
}

void Server::SendPacedFlagged(quint32 code, const char* flag) {
    PacedBatch batch;
    batch.code = code;
    if (Type* t = d.FindType(flag)) {
        ItemSet flags = t->GetItems();
        // A flag shared by all gives its users at once, in order; flags of
        // one user each give their users as they go out.
        if (flags.Size() == 1)
            batch.users = flags.First().GetItems("user");
        else
            batch.flags = std::move(flags);
    }
    SendPaced(std::move(batch));
}

void Server::SendPaced(PacedBatch batch) {
    if (m_state != StateLoggedIn || batch.Size() == 0)
        return;
    m_paced.push_back(std::move(batch));
    // The first slice at once: a short list goes out whole, in its place.
    if (!m_pacedQueued)
        SendPacedSlice();
}

// Queued, so that input, painting and the frames read meanwhile run between
// two slices.
void Server::SendPacedSlice() {
    m_pacedQueued = false;
    QElapsedTimer clock;
    clock.start();
    for (int sent = 1; !m_paced.empty() && m_state == StateLoggedIn; ++sent) {
        PacedBatch& batch = m_paced.front();
        const int k = batch.next++;
        const bool named = !batch.names.isEmpty();
        const quint32 code = batch.code;
        // A flag dropped since has no user left to ask about.
        const ItemPtr user = named                 ? ItemPtr()
                             : batch.flags.Empty() ? batch.users.At(k)
                                                   : batch.flags.At(k)["user"];
        const QString name = named           ? batch.names.at(k)
                             : user.IsNull() ? QString()
                                             : user.AsString();
        if (batch.next >= batch.Size())
            m_paced.pop_front();
        if (named || !user.IsNull())
            SendFields(code, name);
        if (sent % 64 == 0 && clock.elapsed() >= kPacedBudgetMs)
            break;
    }
    if (!m_paced.empty() && m_state == StateLoggedIn) {
        m_pacedQueued = true;
        QMetaObject::invokeMethod(this, &Server::SendPacedSlice, Qt::QueuedConnection);
    }
}

void Server::GetOwnPrivilegesStatus() {
    Send(SM_CHECK_PRIVILEGES, MemStream());
}

quint32 Server::NewSearchRequest(const QString& text, bool wishList) {
    const quint32 token = m_searchToken++;
    if (m_searchToken == 0)
        m_searchToken = 1;
    Type* request = OptionalValuedType("search_request");
    Type* requestText = OptionalValuedType("search_request_text");
    if (request) {
        const ItemPtr r = request->NewItem(Value(token));
        if (requestText && request->IsRelatedTo(requestText))
            r.Connect(requestText->NewItem(Value(text)));
        Type* wish = d.FindType("wishlist_search");
        if (wishList && wish && wish->IsNull() && request->IsRelatedTo(wish))
            r.NewItem("wishlist_search");
    }
    return token;
}

quint32 Server::FileSearch(QString text, bool wishList) {
    const quint32 token = NewSearchRequest(text, wishList);
    SendFields(wishList ? SM_LOW_PRIORITY_FILE_SEARCH : SM_FILE_SEARCH, token, text);
    return token;
}

quint32 Server::SearchUserList(QString text) {
    const quint32 token = NewSearchRequest(text, false);
    for (const ItemPtr& user : FlaggedItems("in_user_list", "user")) {
        if (!user.IsConnected("is_online"))
            continue;
        SendFields(SM_USER_SEARCH, user.AsString(), token, text);
    }
    return token;
}

quint32 Server::SearchRoom(QString room, QString text) {
    const quint32 token = NewSearchRequest(text, false);
    SendFields(SM_ROOM_SEARCH, room, token, text);
    return token;
}

void Server::GetSearchCorrelations(QString text) {
    SendFields(SM_SEARCH_CORRELATIONS, text);
}

void Server::SetAvailabilityStatus(bool available) {
    SetSetting("availability_status", available ? "available" : "away");
    SendFields(SM_SET_STATUS, quint32(available ? StatusOnline : StatusAway));
}

void Server::SendFilesFolders(int folders, int files) {
    SendFields(SM_SHARED_FOLDERS_FILES, quint32(folders), quint32(files));
}

void Server::SendUploadSpeed(int speed) {
    SendFields(SM_SEND_UPLOAD_SPEED, quint32(speed));
}

void Server::SendPrivateChat(QString user, QString text) {
    text.replace('\r', ' ');
    text.replace('\n', ' ');
    SendFields(SM_PRIVATE_MESSAGE, user, text);
    emit PrivateChatSent(user, text);
}

void Server::EnterRoom(QString room, bool isPrivate) {
    SendFields(SM_JOIN_ROOM, room, quint32(isPrivate ? 1 : 0));
}

void Server::LeaveRoom(QString room) {
    const ItemPtr r = FindRoom(room);
    if (r.IsNull() || !r.IsConnected("in_room"))
        return;
    if (m_state != StateLoggedIn) {
        // Nobody would answer: leave locally, or the room would stay entered.
        r.Disconnect("in_room");
        r.Disconnect("user");
        return;
    }
    SendFields(SM_LEAVE_ROOM, room);
}

void Server::SendRoomChat(QString room, QString text) {
    SendFields(SM_SAY_IN_ROOM, room, text);
}

void Server::SetRoomTicker(QString room, QString text) {
    SendFields(SM_SET_ROOM_TICKER, room, text);
}

void Server::GetRoomList() {
    SetSettingYes("accept_room_list", true);
    Send(SM_ROOM_LIST, MemStream());
}

void Server::EnablePrivateRoomAdd(bool enable) {
    SendFields(SM_PRIVATE_ROOM_TOGGLE, quint8(enable ? 1 : 0));
}

void Server::GiveUpPrivateRoom(QString room) {
    SendFields(SM_PRIVATE_ROOM_DISOWN, room);
}

void Server::GiveUpPrivateRoomMembership(QString room) {
    SendFields(SM_PRIVATE_ROOM_DISMEMBER, room);
}

void Server::AddPrivateRoomMember(QString room, QString user) {
    SendFields(SM_PRIVATE_ROOM_ADD_USER, room, user);
}

void Server::RemovePrivateRoomMember(QString room, QString user) {
    SendFields(SM_PRIVATE_ROOM_REMOVE_USER, room, user);
}

void Server::AddPrivateRoomOperator(QString room, QString user) {
    SendFields(SM_PRIVATE_ROOM_ADD_OPERATOR, room, user);
}

void Server::RemovePrivateRoomOperator(QString room, QString user) {
    SendFields(SM_PRIVATE_ROOM_REMOVE_OPERATOR, room, user);
}

void Server::GiftPrivileges(QString user, int days) {
    SendFields(SM_GIVE_PRIVILEGE, user, quint32(days));
}

void Server::MessageUsers(const QStringList& users, QString text) {
    MemStream m;
    bool ok = m.Write(quint32(users.size()));
    for (const QString& user : users)
        ok = ok && m.Write(user);
    ok = ok && m.Write(text);
    if (ok)
        Send(SM_MESSAGE_USERS, m);
}

void Server::SendDNetHasParent(bool hasParent) {
    SendFields(SM_SEND_DISTRIBUTIONS, quint8(hasParent ? 0 : 1));
}

void Server::SendDNetCanParent(bool canParent) {
    SendFields(SM_CAN_PARENT, quint8(canParent ? 1 : 0));
}

void Server::SendDNetLevel(int level) {
    SendFields(SM_DNET_LEVEL, qint32(level));
}

void Server::SendDNetGroupLeader(QString leader) {
    SendFields(SM_DNET_GROUP_LEADER, leader);
}

void Server::SendChildDepth(bool hasDepth) {
    SendFields(SM_DNET_CHILD_DEPTH, quint8(hasDepth ? 1 : 0));
}

bool Server::GetPeerAddress(QString user) {
    if (m_state != StateLoggedIn || !mp_socket ||
        mp_socket->bytesToWrite() > PeerLimits::kMaxServerBacklog)
        return false;
    SendFields(SM_GET_PEER_ADDRESS, user);
    return true;
}

void Server::ConnectToPeer(quint32 token, QString user, QString kind) {
    SendFields(SM_CONNECT_TO_PEER, token, user, kind);
}

void Server::CannotConnect(quint32 token, QString user) {
    SendFields(SM_CANNOT_CONNECT, token, user);
}

// ---------------------------------------------------------------------------
// Receiving. Each handler reads the whole payload before it changes anything,
// so a message that does not read whole leaves no trace.

void Server::Malformed(quint32 code) {
    Log(kArea, 1, QString("Malformed message %1 dropped.").arg(code));
}

void Server::HandleMessage(quint32 code, MemStream& payload) {
    switch (code) {
        case SM_LOGIN:
            if (m_state == StateConnecting)
                HandleLoginReply(payload);
            break;
        case SM_GET_PEER_ADDRESS:
            HandlePeerAddress(payload);
            break;
        case SM_ADD_USER:
            HandleAddUserAnswer(payload);
            break;
        case SM_USER_STATUS:
            HandleUserStatus(payload);
            break;
        case SM_SAY_IN_ROOM:
            HandleRoomChat(payload);
            break;
        case SM_JOIN_ROOM:
            HandleJoinRoom(payload);
            break;
        case SM_LEAVE_ROOM:
            HandleLeaveRoom(payload);
            break;
        case SM_USER_JOINED_ROOM:
            HandleUserJoinedRoom(payload);
            break;
        case SM_USER_LEFT_ROOM:
            HandleUserLeftRoom(payload);
            break;
        case SM_CONNECT_TO_PEER:
            HandleConnectToPeer(payload);
            break;
        case SM_PRIVATE_MESSAGE:
            HandlePrivateMessage(payload);
            break;
        case SM_FILE_SEARCH:
            HandleFileSearch(payload);
            break;
        case SM_GET_USER_STATS:
            HandleUserStats(payload);
            break;
        case SM_ROOM_LIST:
            HandleRoomList(payload);
            break;
        case SM_ADMIN_MESSAGE:
            HandleAdminMessage(payload);
            break;
        case SM_PRIVILEGED_USERS:
            HandlePrivilegedUsers(payload);
            break;
        case SM_ADD_PRIVILEGED_USER:
            HandleAddPrivilegedUser(payload);
            break;
        case SM_CHECK_PRIVILEGES:
            HandleOwnPrivileges(payload);
            break;
        case SM_DNET_MESSAGE:
            HandleDNetMessage(payload);
            break;
        case SM_POSSIBLE_PARENTS:
            HandlePossibleParents(payload);
            break;
        case SM_SET_PARENT_MIN_SPEED:
        case SM_SET_PARENT_SPEED_CONNECTION_RATIO:
        case SM_WISHLIST_WAIT:
        case SM_DNET_DELIVERY_REPORT:
            HandleU32Signal(code, payload);
            break;
        case SM_DNET_RESET:
            emit DNetReset();
            break;
        case SM_ROOM_TICKERS:
            HandleRoomTickers(payload);
            break;
        case SM_ROOM_TICKER_ADD:
            HandleRoomTickerAdd(payload);
            break;
        case SM_PRIVATE_ROOM_ROLES:
            HandlePrivateRoomRoles(payload);
            break;
        case SM_PRIVATE_ROOM_ADD_USER:
        case SM_PRIVATE_ROOM_REMOVE_USER:
        case SM_PRIVATE_ROOM_ADD_OPERATOR:
        case SM_PRIVATE_ROOM_REMOVE_OPERATOR:
            HandleRoomRoleChange(code, payload);
            break;
        case SM_PRIVATE_ROOM_TOGGLE:
            HandlePrivateRoomToggle(payload);
            break;
        case SM_SEARCH_CORRELATIONS:
            HandleSearchCorrelations(payload);
            break;
        case SM_CANNOT_CONNECT:
            HandleCannotConnect(payload);
            break;
        default:
            Log(kArea, 2, QString("Unknown message %1 ignored.").arg(code));
            break;
    }
}

void Server::HandleLoginReply(MemStream& payload) {
    quint8 success = 0;
    QString reason;
    if (!payload.Read(success) || (success == 0 && !payload.Read(reason))) {
        Malformed(SM_LOGIN);
        ConnectionLost("malformed login reply");
        return;
    }
    if (success != 0) {
        OnLoginSucceeded();
        return;
    }
    // A refusal is not retried: the same name and password would only be
    // refused again.
    Log(kArea, 1, QString("Login refused: %1").arg(reason));
    DropSocket();
    m_state = StateIdle;
    m_abrupt = false;
    emit ConnectionFailed(reason);
}

void Server::HandlePeerAddress(MemStream& payload) {
    QString user;
    quint32 ip = 0;
    quint16 port = 0;
    quint16 obfuscatedPort = 0;
    if (!payload.Read(user) || !payload.Read(ip) || !ReadPort(payload, port) ||
        !ReadPort(payload, obfuscatedPort)) {
        Malformed(SM_GET_PEER_ADDRESS);
        return;
    }
    if (ip != 0) {
        Type* userType = d.GetType("user");
        Type* address = OptionalValuedType("user_address");
        Type* portType = OptionalValuedType("user_port");
        const ItemPtr u = UserItem(user);
        if (address && userType->IsRelatedTo(address))
            u.Connect(address->NewItem(Value(ip)));
        if (portType && userType->IsRelatedTo(portType))
            u.Connect(portType->NewItem(Value(port)));
    }
    emit PeerAddress(user, ip, port, obfuscatedPort);
}

void Server::SetUserStatus(const ItemPtr& user, quint32 status) {
    const bool online = status != StatusOffline;
    // The time marks changes of online state; a first report counts as one.
    if (online != user.IsConnected("is_online") || !user.IsConnected("last_online_status_change"))
        SetValue(user, "last_online_status_change", Value(Now()));
    if (status == StatusAway)
        user.NewItem("is_away");
    else
        user.Disconnect("is_away");
    if (online)
        user.NewItem("is_online");
    else
        user.Disconnect("is_online");
}

void Server::SetUserStats(const ItemPtr& user, const UserStats& stats) {
    SetValue(user, "average_download_speed", Value(stats.GetAverageSpeed()));
    SetValue(user, "shared_file_count", Value(stats.GetFiles()));
}

void Server::HandleAddUserAnswer(MemStream& payload) {
    QString user;
    quint8 exists = 0;
    quint32 status = 0;
    UserStats stats;
    QString country;
    if (!payload.Read(user) || !payload.Read(exists) ||
        (exists != 0 &&
         (!ReadStatus(payload, status) || !stats.Read(payload) || !payload.Read(country)))) {
        Malformed(SM_ADD_USER);
        return;
    }
    if (exists != 0) {
        const ItemPtr u = UserItem(user);
        SetUserStats(u, stats);
        SetValue(u, "country_code", Value(country));
        SetUserStatus(u, status);
    } else {
        // Nobody to watch.
        FindUser(user).Disconnect("is_tracked");
    }
    emit AddUserResponse(user, exists != 0);
}

void Server::HandleUserStatus(MemStream& payload) {
    QString user;
    quint32 status = 0;
    if (!payload.Read(user) || !ReadStatus(payload, status)) {
        Malformed(SM_USER_STATUS);
        return;
    }
    SetUserStatus(UserItem(user), status);
}

void Server::HandleRoomChat(MemStream& payload) {
    QString room, user, text;
    if (!payload.Read(room) || !payload.Read(user) || !payload.Read(text)) {
        Malformed(SM_SAY_IN_ROOM);
        return;
    }
    if (!IsIgnored(user))
        emit RoomChat(room, user, text);
}

namespace {
struct Member {
    QString name;
    quint32 status = 0;
    UserStats stats;
    QString country;
};

bool ReadMember(InputStream& in, Member& m) {
    return in.Read(m.name) && ReadStatus(in, m.status) && m.stats.Read(in) && in.Read(m.country);
}

// Reads a u32 count and that many strings. The list grows only as entries
// actually read, never from the count.
bool ReadNames(InputStream& in, std::vector<QString>& names) {
    quint32 n = 0;
    if (!in.Read(n))
        return false;
    for (quint32 k = 0; k < n; ++k) {
        QString name;
        if (!in.Read(name))
            return false;
        names.push_back(name);
    }
    return true;
}

// Makes the users linked to `node` exactly `wanted`.
void ReplaceUsers(const ItemPtr& node, const ItemSet& wanted) {
    for (const ItemPtr& u : node.GetItems("user"))
        if (!wanted.Contains(u))
            node.Disconnect(u);
    for (const ItemPtr& u : wanted)
        node.Connect(u);
}
}  // namespace

void Server::HandleJoinRoom(MemStream& payload) {
    QString roomName;
    quint32 n = 0;
    std::vector<Member> members;
    QString owner;
    std::vector<QString> operators;
    bool ok = payload.Read(roomName) && payload.Read(n);
    for (quint32 k = 0; ok && k < n; ++k) {
        Member m;
        ok = ReadMember(payload, m);
        if (ok)
            members.push_back(m);
    }
    ok = ok && payload.Read(owner) && ReadNames(payload, operators);
    if (!ok) {
        Malformed(SM_JOIN_ROOM);
        return;
    }
    const ItemPtr room = RoomItem(roomName);
    // The room is entered before its members arrive, so that a view opened on
    // "in_room" sees them come in.
    room.NewItem("in_room");
    ItemSet present;
    for (const Member& m : members) {
        const ItemPtr u = UserItem(m.name);
        SetUserStats(u, m.stats);
        SetValue(u, "country_code", Value(m.country));
        present.Insert(u);
    }
    ReplaceUsers(room, present);
    ItemSet ops;
    for (const QString& name : operators)
        ops.Insert(UserItem(name));
    ReplaceUsers(room.NewItem("room_operators"), ops);
    const ItemPtr ownerNode = room.NewItem("room_owner");
    if (owner.isEmpty())
        ownerNode.Disconnect("user");
    else
        ownerNode.Connect(UserItem(owner));
}

void Server::HandleLeaveRoom(MemStream& payload) {
    QString roomName;
    if (!payload.Read(roomName)) {
        Malformed(SM_LEAVE_ROOM);
        return;
    }
    const ItemPtr room = FindRoom(roomName);
    if (room.IsNull())
        return;
    room.Disconnect("in_room");
    // We no longer hear who comes and goes.
    room.Disconnect("user");
}

void Server::HandleUserJoinedRoom(MemStream& payload) {
    QString roomName;
    Member m;
    if (!payload.Read(roomName) || !ReadMember(payload, m)) {
        Malformed(SM_USER_JOINED_ROOM);
        return;
    }
    const ItemPtr room = FindRoom(roomName);
    if (room.IsNull() || !room.IsConnected("in_room"))
        return;
    const ItemPtr u = UserItem(m.name);
    SetUserStats(u, m.stats);
    SetValue(u, "country_code", Value(m.country));
    room.Connect(u);
}

void Server::HandleUserLeftRoom(MemStream& payload) {
    QString roomName, user;
    if (!payload.Read(roomName) || !payload.Read(user)) {
        Malformed(SM_USER_LEFT_ROOM);
        return;
    }
    const ItemPtr room = FindRoom(roomName);
    const ItemPtr u = FindUser(user);
    if (!room.IsNull() && !u.IsNull())
        room.Disconnect(u);
}

void Server::HandleConnectToPeer(MemStream& payload) {
    QString user, kind;
    quint32 ip = 0;
    quint16 port = 0;
    quint32 token = 0;
    if (!payload.Read(user) || !payload.Read(kind) || !payload.Read(ip) ||
        !ReadPort(payload, port) || !payload.Read(token)) {
        Malformed(SM_CONNECT_TO_PEER);
        return;
    }
    emit ConnectToPeerRequested(user, kind, ip, port, token);
}

void Server::HandlePrivateMessage(MemStream& payload) {
    QString user, text;
    quint32 time = 0;
    quint8 spontaneous = 0;
    if (!payload.Read(user) || !payload.Read(time) || !payload.Read(spontaneous) ||
        !payload.Read(text)) {
        Malformed(SM_PRIVATE_MESSAGE);
        return;
    }
    if (!IsIgnored(user))
        emit PrivateChat(user, text, time_t(time), spontaneous != 0);
}

void Server::HandleFileSearch(MemStream& payload) {
    QString user, text;
    quint32 token = 0;
    if (!payload.Read(user) || !payload.Read(token) || !payload.Read(text)) {
        Malformed(SM_FILE_SEARCH);
        return;
    }
    emit DirectFileSearch(user, token, text);
}

void Server::HandleUserStats(MemStream& payload) {
    QString user;
    UserStats stats;
    if (!payload.Read(user) || !stats.Read(payload)) {
        Malformed(SM_GET_USER_STATS);
        return;
    }
    SetUserStats(UserItem(user), stats);
    emit ReceivedUserStats(user, stats);
}

void Server::HandleRoomList(MemStream& payload) {
    if (!IsSettingYes("accept_room_list")) {
        Log(kArea, 2, "Room list not asked for; ignored.");
        return;
    }
    quint32 n = 0;
    std::vector<std::pair<QString, quint32> > rooms;
    bool ok = payload.Read(n);
    for (quint32 k = 0; ok && k < n; ++k) {
        QString name;
        quint32 count = 0;
        ok = payload.Read(name) && payload.Read(count);
        if (ok)
            rooms.emplace_back(name, count);
    }
    if (!ok) {
        Malformed(SM_ROOM_LIST);
        return;
    }
    SetSettingYes("accept_room_list", false);
    for (const auto& entry : rooms)
        SetValue(RoomItem(entry.first), "user_count", Value(entry.second));
}

void Server::HandleAdminMessage(MemStream& payload) {
    QString text;
    if (!payload.Read(text)) {
        Malformed(SM_ADMIN_MESSAGE);
        return;
    }
    emit AdminMessage(text);
}

void Server::HandlePrivilegedUsers(MemStream& payload) {
    std::vector<QString> names;
    if (!ReadNames(payload, names)) {
        Malformed(SM_PRIVILEGED_USERS);
        return;
    }
    ItemSet wanted;
    for (const QString& name : names)
        wanted.Insert(UserItem(name));
    for (const ItemPtr& u : FlaggedItems("is_privileged", "user"))
        if (!wanted.Contains(u))
            u.Disconnect("is_privileged");
    for (const ItemPtr& u : wanted)
        u.NewItem("is_privileged");
}

void Server::HandleAddPrivilegedUser(MemStream& payload) {
    QString user;
    if (!payload.Read(user)) {
        Malformed(SM_ADD_PRIVILEGED_USER);
        return;
    }
    UserItem(user).NewItem("is_privileged");
}

void Server::HandleOwnPrivileges(MemStream& payload) {
    quint32 seconds = 0;
    quint8 supporter = 0;
    if (!payload.Read(seconds) || !payload.Read(supporter)) {
        Malformed(SM_CHECK_PRIVILEGES);
        return;
    }
    SetSetting("privileges_time_left", Value(seconds));
    SetSettingYes("is_supporter", supporter != 0);
    emit ReceivedOwnPrivilegesStatus(int(seconds));
}

void Server::HandleDNetMessage(MemStream& payload) {
    const qint64 left = payload.BytesLeft();
    if (left < 1) {
        Malformed(SM_DNET_MESSAGE);
        return;
    }
    // A stream of its own whose buffer starts at the frame code: the
    // distributed network relays it from the start of its buffer.
    QByteArray body(int(left), '\0');
    payload.ReadBuffer(body.data(), left);
    MemStream message(body);
    emit DNetMessage(message);
}

void Server::HandlePossibleParents(MemStream& payload) {
    quint32 n = 0;
    std::list<std::pair<QString, TCPAddress> > parents;
    bool ok = payload.Read(n);
    for (quint32 k = 0; ok && k < n; ++k) {
        QString user;
        TCPAddress address;
        ok = payload.Read(user) && payload.Read(address.ip) && ReadPort(payload, address.port);
        if (ok)
            parents.emplace_back(user, address);
    }
    if (!ok) {
        Malformed(SM_POSSIBLE_PARENTS);
        return;
    }
    emit DNetPossibleParents(parents);
}

void Server::HandleU32Signal(quint32 code, MemStream& payload) {
    quint32 value = 0;
    if (!payload.Read(value)) {
        Malformed(code);
        return;
    }
    // Passed on as received; the receivers bound what they divide by or wait for.
    switch (code) {
        case SM_SET_PARENT_MIN_SPEED:
            emit DNetParentMinSpeed(int(value));
            break;
        case SM_SET_PARENT_SPEED_CONNECTION_RATIO:
            emit DNetParentSpeedConnectionRatio(int(value));
            break;
        case SM_WISHLIST_WAIT:
            emit WishListWait(uint(value));
            break;
        case SM_DNET_DELIVERY_REPORT:
            emit DNetDeliveryReport(int(value));
            break;
        default:
            break;
    }
}

void Server::PutTicker(const ItemPtr& room, const ItemPtr& user, const QString& text) {
    for (const ItemPtr& old : d.GetItems(room, user, "room_ticker"))
        old.Remove();
    // An empty text takes the entry off the wall.
    if (text.isEmpty())
        return;
    const ItemPtr ticker = d.GetType("room_ticker")->NewItem();
    SetValue(ticker, "room_ticker_text", Value(text));
    SetValue(ticker, "room_ticker_order", Value(++m_tickerOrder));
    ticker.Connect(user);
    // Linked to the room last, so that whoever watches the room finds it whole.
    ticker.Connect(room);
}

void Server::HandleRoomTickers(MemStream& payload) {
    QString roomName;
    quint32 n = 0;
    std::vector<std::pair<QString, QString> > tickers;
    bool ok = payload.Read(roomName) && payload.Read(n);
    for (quint32 k = 0; ok && k < n; ++k) {
        QString user, text;
        ok = payload.Read(user) && payload.Read(text);
        if (ok)
            tickers.emplace_back(user, text);
    }
    if (!ok) {
        Malformed(SM_ROOM_TICKERS);
        return;
    }
    const ItemPtr room = RoomItem(roomName);
    room.GetItems("room_ticker").Remove();
    for (const auto& entry : tickers)
        PutTicker(room, UserItem(entry.first), entry.second);
}

void Server::HandleRoomTickerAdd(MemStream& payload) {
    QString roomName, user, text;
    if (!payload.Read(roomName) || !payload.Read(user) || !payload.Read(text)) {
        Malformed(SM_ROOM_TICKER_ADD);
        return;
    }
    PutTicker(RoomItem(roomName), UserItem(user), text);
}

void Server::HandlePrivateRoomRoles(MemStream& payload) {
    static const char* const kFlags[] = {"is_member", "is_operator", "is_owner"};
    quint32 n = 0;
    std::vector<std::pair<QString, quint8> > roles;
    bool ok = payload.Read(n);
    for (quint32 k = 0; ok && k < n; ++k) {
        QString room;
        quint8 role = 0;
        ok = payload.Read(room) && payload.Read(role) && role >= 1 && role <= 3;
        if (ok)
            roles.emplace_back(room, role);
    }
    if (!ok) {
        Malformed(SM_PRIVATE_ROOM_ROLES);
        return;
    }
    // An operator is a member as well; an owner holds its room outright.
    ItemSet wanted[3];
    for (const auto& entry : roles) {
        const ItemPtr room = RoomItem(entry.first);
        wanted[entry.second - 1].Insert(room);
        if (entry.second == 2)
            wanted[0].Insert(room);
    }
    for (int k = 0; k < 3; ++k) {
        for (const ItemPtr& room : FlaggedItems(kFlags[k], "room"))
            if (!wanted[k].Contains(room))
                room.Disconnect(kFlags[k]);
        for (const ItemPtr& room : wanted[k])
            room.NewItem(kFlags[k]);
    }
}

void Server::HandleRoomRoleChange(quint32 code, MemStream& payload) {
    QString roomName, user;
    if (!payload.Read(roomName) || !payload.Read(user)) {
        Malformed(code);
        return;
    }
    const bool members = code == SM_PRIVATE_ROOM_ADD_USER || code == SM_PRIVATE_ROOM_REMOVE_USER;
    const bool add = code == SM_PRIVATE_ROOM_ADD_USER || code == SM_PRIVATE_ROOM_ADD_OPERATOR;
    const char* nodeType = members ? "room_members" : "room_operators";
    if (add) {
        RoomItem(roomName).NewItem(nodeType).Connect(UserItem(user));
        return;
    }
    const ItemPtr room = FindRoom(roomName);
    const ItemPtr u = FindUser(user);
    if (room.IsNull() || u.IsNull())
        return;
    const ItemPtr node = room[nodeType];
    if (!node.IsNull())
        node.Disconnect(u);
}

void Server::HandlePrivateRoomToggle(MemStream& payload) {
    quint8 enabled = 0;
    if (!payload.Read(enabled)) {
        Malformed(SM_PRIVATE_ROOM_TOGGLE);
        return;
    }
    SetSettingYes("enable_private_room_add", enabled != 0);
    emit PrivateRoomAddEnabled(enabled != 0);
}

void Server::HandleSearchCorrelations(MemStream& payload) {
    QString text;
    quint32 n = 0;
    std::vector<std::pair<QString, quint32> > correlations;
    bool ok = payload.Read(text) && payload.Read(n);
    for (quint32 k = 0; ok && k < n; ++k) {
        QString related;
        quint32 rank = 0;
        ok = payload.Read(related) && payload.Read(rank);
        if (ok)
            correlations.emplace_back(related, rank);
    }
    if (!ok) {
        Malformed(SM_SEARCH_CORRELATIONS);
        return;
    }
    Type* correlation = d.FindType("search_correlation");
    Type* requestText = OptionalValuedType("search_request_text");
    if (!correlation || !correlation->IsNull() || !requestText) {
        Log(kArea, 2, "Search correlations arrived before their types exist; ignored.");
        return;
    }
    // The peer messenger declares "search_correlation"; whichever links it
    // leaves out are made here, once.
    Type* corrText = d.GetType("correlation_text");
    Type* corrRank = d.GetType("correlation_rank");
    if (!requestText->IsRelatedTo(correlation))
        requestText->RelateToType(correlation, One, Many, false);
    if (!correlation->IsRelatedTo(corrText))
        correlation->RelateToType(corrText, Many, One, false);
    if (!correlation->IsRelatedTo(corrRank))
        correlation->RelateToType(corrRank, Many, One, false);

    const ItemPtr textItem = requestText->NewItem(Value(text));
    textItem.GetItems("search_correlation").Remove();
    for (const auto& entry : correlations) {
        const ItemPtr c = correlation->NewItem();
        SetValue(c, "correlation_text", Value(entry.first));
        SetValue(c, "correlation_rank", Value(entry.second));
        c.Connect(textItem);
    }
    emit SearchCorrelations(text);
}

void Server::HandleCannotConnect(MemStream& payload) {
    quint32 token = 0;
    QString user;
    if (!payload.Read(token) || !payload.Read(user)) {
        Malformed(SM_CANNOT_CONNECT);
        return;
    }
    emit CannotConnectToPeer(token, user);
}
