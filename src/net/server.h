#ifndef TAVENOOK_NET_SERVER_H
#define TAVENOOK_NET_SERVER_H

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <ctime>
#include <deque>
#include <list>
#include <utility>
#include <vector>

#include "net/FrameReader.h"
#include "net/TCPAddress.h"
#include "store/Data.h"
#include "store/MemStream.h"
#include "store/UserStats.h"

class QTcpSocket;
class PortForwarder;

// Server message codes. Layouts are in docs/protocol.md, "Server connection".
enum ServerMessageCode : quint32 {
    SM_LOGIN = 1,
    SM_SET_LISTENING_PORTS = 2,
    SM_GET_PEER_ADDRESS = 3,
    SM_ADD_USER = 5,
    SM_USER_STATUS = 7,
    SM_SAY_IN_ROOM = 13,
    SM_JOIN_ROOM = 14,
    SM_LEAVE_ROOM = 15,
    SM_USER_JOINED_ROOM = 16,
    SM_USER_LEFT_ROOM = 17,
    SM_CONNECT_TO_PEER = 18,
    SM_PRIVATE_MESSAGE = 22,
    SM_FILE_SEARCH = 26,
    SM_SET_STATUS = 28,
    SM_KEEP_ALIVE = 32,
    SM_SHARED_FOLDERS_FILES = 35,
    SM_GET_USER_STATS = 36,
    SM_USER_SEARCH = 42,
    SM_ROOM_LIST = 64,
    SM_ADMIN_MESSAGE = 66,
    SM_PRIVILEGED_USERS = 69,
    SM_SEND_DISTRIBUTIONS = 71,
    SM_SET_PARENT_MIN_SPEED = 83,
    SM_SET_PARENT_SPEED_CONNECTION_RATIO = 84,
    SM_ADD_PRIVILEGED_USER = 91,
    SM_CHECK_PRIVILEGES = 92,
    SM_DNET_MESSAGE = 93,
    SM_CAN_PARENT = 100,
    SM_POSSIBLE_PARENTS = 102,
    SM_LOW_PRIORITY_FILE_SEARCH = 103,
    SM_WISHLIST_WAIT = 104,
    SM_ROOM_TICKERS = 113,
    SM_ROOM_TICKER_ADD = 114,
    SM_SET_ROOM_TICKER = 116,
    SM_ROOM_SEARCH = 120,
    SM_SEND_UPLOAD_SPEED = 121,
    SM_GIVE_PRIVILEGE = 123,
    SM_DNET_LEVEL = 126,
    SM_DNET_GROUP_LEADER = 127,
    SM_DNET_DELIVERY_REPORT = 128,
    SM_DNET_CHILD_DEPTH = 129,
    SM_DNET_RESET = 130,
    SM_PRIVATE_ROOM_ROLES = 133,
    SM_PRIVATE_ROOM_ADD_USER = 134,
    SM_PRIVATE_ROOM_REMOVE_USER = 135,
    SM_PRIVATE_ROOM_DISMEMBER = 136,
    SM_PRIVATE_ROOM_DISOWN = 137,
    SM_PRIVATE_ROOM_TOGGLE = 141,
    SM_PRIVATE_ROOM_ADD_OPERATOR = 143,
    SM_PRIVATE_ROOM_REMOVE_OPERATOR = 144,
    SM_MESSAGE_USERS = 149,
    SM_SEARCH_CORRELATIONS = 153,
    SM_CANNOT_CONNECT = 1001
};

// The one connection to the central server: login, keep-alive, reconnection,
// every server message with its sender and its handler, and the store types
// the server fills. Main thread only; every signal is emitted there.
//
// Signals that pass a reference (DNetMessage, DNetPossibleParents) pass data
// that lives only during the emission: connect them with Qt::DirectConnection
// (or the default on the main thread), never queued.
class Server : public QObject, public DataHandler, public DataLoadedEventHandler {
    Q_OBJECT

public:
    static constexpr quint16 kDefaultPort = 2242;
    static const char* const kDefaultHost;
    // Used when the "password" setting is empty.
    static const char* const kDefaultPassword;
    static constexpr quint32 kMaxFrameLength = FrameReader::kDefaultMaxLength;
    // Login version numbers.
    static constexpr quint32 kMajorVersion = 157;
    static constexpr quint32 kMinorVersion = 100;
    // Half-minute ticks an attempt may take from its start to the login reply.
    static constexpr int kAttemptTicks = 2;
    // Bytes the socket holds read but not yet handled. When it is full the
    // socket stops reading, so that a flood faster than we handle it waits in
    // TCP, where the sender sees a closed window, and not in our memory.
    static constexpr qint64 kReadBufferSize = 256 * 1024;

    explicit Server(QObject* parent = nullptr);
    ~Server() override;

    // Declares the server's item types, relations and saved types and writes
    // the default "availability_status". Needs the settings types; registers
    // saved types with the global store saver when there is one.
    static void CreateData();
    void DataLoaded() override;

    // Starts an attempt when none runs, nobody is logged in and a user name is set.
    void Connect();
    // Ends the login, or the attempt, at the user's request; no reconnection follows.
    void Disconnect();
    bool IsConnected() const { return m_state == StateLoggedIn; }
    bool IsAbruptlyDisconnected() const { return m_abrupt; }
    // True while an attempt runs (not yet logged in).
    bool IsConnecting() const { return m_state == StateConnecting; }

    // The address Connect uses: TAVENOOK_SERVER ("host:port" or "host") when
    // set, else the built-in host; port 2242 unless given.
    static void ServerAddress(QString& host, quint16& port);

    // Senders. Each sends only while logged in; local store changes happen
    // either way.
    void TrackUser(QString user);
    void AddUser(QString user);
    void GetUserStats(QString user);
    // The same for many users, a slice at a time between turns of the event
    // loop, behind any slice still to go.
    void GetUserStats(const QStringList& users);
    // The same for every user flagged with `flag` (one shared flag item, or
    // one item for each user).
    void GetFlaggedUserStats(const char* flag);
    void GetOwnPrivilegesStatus();
    quint32 FileSearch(QString text, bool wishList);
    quint32 SearchUserList(QString text);
    quint32 SearchRoom(QString room, QString text);
    void GetSearchCorrelations(QString text);
    void SetAvailabilityStatus(bool available);
    void SendFilesFolders(int folders, int files);
    void SendUploadSpeed(int speed);
    void SendPrivateChat(QString user, QString text);
    void EnterRoom(QString room, bool isPrivate);
    void LeaveRoom(QString room);
    void SendRoomChat(QString room, QString text);
    void SetRoomTicker(QString room, QString text);
    void GetRoomList();
    void EnablePrivateRoomAdd(bool enable);
    void GiveUpPrivateRoom(QString room);
    void GiveUpPrivateRoomMembership(QString room);
    void AddPrivateRoomMember(QString room, QString user);
    void RemovePrivateRoomMember(QString room, QString user);
    void AddPrivateRoomOperator(QString room, QString user);
    void RemovePrivateRoomOperator(QString room, QString user);
    void GiftPrivileges(QString user, int days);
    void MessageUsers(const QStringList& users, QString text);
    void SendDNetHasParent(bool hasParent);
    void SendDNetCanParent(bool canParent);
    void SendDNetLevel(int level);
    void SendDNetGroupLeader(QString leader);
    void SendChildDepth(bool hasDepth);
    // For the peer messenger.
    // Refused (false) while the link holds more than kMaxServerBacklog
    // bytes not yet sent, so that questions cannot pile up behind it.
    bool GetPeerAddress(QString user);
    void ConnectToPeer(quint32 token, QString user, QString kind);
    void CannotConnect(quint32 token, QString user);

    // Handles one received message. The payload's read position is at the
    // first payload byte. A payload that does not read whole is logged and
    // dropped. Public so that tests can feed it directly.
    void HandleMessage(quint32 code, MemStream& payload);

    // Bytes read off the connection and not handled yet: at most
    // kReadBufferSize in the socket, plus what the frame reader holds (one
    // chunk, or the frame it is putting together).
    qint64 UnhandledBytes() const;

    // The search token the next search will take.
    quint32 NextSearchToken() const { return m_searchToken; }

public slots:
    // After each login, when "use_upnp" is "yes": maps both listening ports.
    void OnConnectedToServer();
    // Hourly.
    void RenewPortMapping();
    // Half-minute tick: reconnection after an unexpected drop; attempt time-out.
    void OnHalfMinuteTick();
    // Five-minute tick: keep-alive.
    void OnFiveMinuteTick();

signals:
    void Connecting();
    void Connected();
    void Disconnected();
    void ConnectionFailed(QString reason);
    void PrivateChat(QString user, QString text, time_t time, bool spontaneous);
    void PrivateChatSent(QString user, QString text);
    void AdminMessage(QString text);
    void RoomChat(QString room, QString user, QString chat);
    void AddUserResponse(QString user, bool exists);
    void PrivateRoomAddEnabled(bool enabled);
    void ReceivedUserStats(QString user, UserStats stats);
    void ReceivedOwnPrivilegesStatus(int seconds);
    void SearchCorrelations(QString text);
    void DirectFileSearch(QString user, quint32 req, QString search);
    void WishListWait(uint seconds);
    // Direct connections only: the stream lives during the emission.
    void DNetMessage(MemStream& message);
    void DNetDeliveryReport(int request);
    void DNetParentMinSpeed(int speed);
    void DNetParentSpeedConnectionRatio(int ratio);
    // Direct connections only: the list lives during the emission.
    void DNetPossibleParents(std::list<std::pair<QString, TCPAddress>>& parents);
    void DNetReset();
    // Answer to GetPeerAddress; ip and ports 0 when the user is offline or unknown.
    void PeerAddress(QString user, quint32 ip, quint16 port, quint16 obfuscatedPort);
    // The user asks us to connect to it and answer with the token.
    void ConnectToPeerRequested(QString user, QString kind, quint32 ip, quint16 port,
                                quint32 token);
    // The user could not connect back for our request with this token.
    void CannotConnectToPeer(quint32 token, QString user);

private slots:
    void OnSocketConnected();
    void OnSocketReadyRead();
    void OnSocketClosed();

private:
    enum State { StateIdle, StateConnecting, StateLoggedIn };

    void StartAttempt();
    // Handles the frames that have arrived, for at most budgetMs (0: all of
    // them); the rest waits for the next turn of the event loop. After the
    // close, the connection is given up once nothing is left.
    void ReadSocket(qint64 budgetMs);
    // Tears the socket down without letting it report anything more.
    void DropSocket();
    // The connection ended without being asked to.
    void ConnectionLost(const QString& why);
    // Disconnected(), then every online user goes offline.
    void RunDisconnectHandling();
    void OnLoginSucceeded();
    void Dispatch(quint32 code, MemStream& payload);
    void SendLogin();
    // Frames the message and writes it while logged in; drops it otherwise.
    bool Send(quint32 code, const MemStream& payload);
    // Sends the fields in order, or nothing when one does not fit.
    template <typename... Fields>
    void SendFields(quint32 code, const Fields&... fields);
    bool WriteFrame(quint32 code, const MemStream& payload);
    quint32 NewSearchRequest(const QString& text, bool wishList);

    void HandleLoginReply(MemStream& payload);
    void HandlePeerAddress(MemStream& payload);
    void HandleAddUserAnswer(MemStream& payload);
    void HandleUserStatus(MemStream& payload);
    void HandleRoomChat(MemStream& payload);
    void HandleJoinRoom(MemStream& payload);
    void HandleLeaveRoom(MemStream& payload);
    void HandleUserJoinedRoom(MemStream& payload);
    void HandleUserLeftRoom(MemStream& payload);
    void HandleConnectToPeer(MemStream& payload);
    void HandlePrivateMessage(MemStream& payload);
    void HandleFileSearch(MemStream& payload);
    void HandleUserStats(MemStream& payload);
    void HandleRoomList(MemStream& payload);
    void HandleAdminMessage(MemStream& payload);
    void HandlePrivilegedUsers(MemStream& payload);
    void HandleAddPrivilegedUser(MemStream& payload);
    void HandleOwnPrivileges(MemStream& payload);
    void HandleDNetMessage(MemStream& payload);
    void HandlePossibleParents(MemStream& payload);
    void HandleRoomTickers(MemStream& payload);
    void HandleRoomTickerAdd(MemStream& payload);
    void HandlePrivateRoomRoles(MemStream& payload);
    void HandleRoomRoleChange(quint32 code, MemStream& payload);
    void HandlePrivateRoomToggle(MemStream& payload);
    void HandleSearchCorrelations(MemStream& payload);
    void HandleCannotConnect(MemStream& payload);
    void HandleU32Signal(quint32 code, MemStream& payload);

    void SetUserStatus(const ItemPtr& user, quint32 status);
    void SetUserStats(const ItemPtr& user, const UserStats& stats);
    void PutTicker(const ItemPtr& room, const ItemPtr& user, const QString& text);
    void Malformed(quint32 code);
    // Requests about many users at once, sent a slice per turn: by name, by
    // user item, or for the one user of each item of a flag, found as it
    // goes out, so that asking about a long list costs the asking turn little.
    struct PacedBatch {
        quint32 code = 0;
        QStringList names;
        ItemSet users;
        ItemSet flags;
        int next = 0;
        int Size() const { return names.size() + users.Size() + flags.Size(); }
    };
    void SendPaced(PacedBatch batch);
    void SendPacedFlagged(quint32 code, const char* flag);
    void SendPacedSlice();

    State m_state = StateIdle;
    bool m_abrupt = false;
    int m_attemptTicks = 0;
    // Raised whenever the socket is replaced or dropped, so that a frame loop
    // notices when a handler ended the connection under it.
    quint64 m_generation = 0;
    QPointer<QTcpSocket> mp_socket;
    FrameReader m_reader;
    bool m_readQueued = false;
    std::deque<PacedBatch> m_paced;
    bool m_pacedQueued = false;
    // The socket closed; the frames it left are being handled before the drop.
    bool m_closed = false;
    QString m_closeReason;
    quint32 m_searchToken = 1;
    quint64 m_tickerOrder = 0;
    PortForwarder* mp_portForwarder = nullptr;
};

extern Server* gp_server;

#endif
