#ifndef TAVENOOK_NET_PEERMESSENGER_H
#define TAVENOOK_NET_PEERMESSENGER_H

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>

#include "net/DropCounter.h"
#include "net/PeerLimits.h"
#include "net/PeerPayloads.h"
#include "net/RequestBudgets.h"
#include "store/Data.h"
#include "store/MemStream.h"

class QMetaMethod;
class QTcpServer;
class QTcpSocket;

// The peer connections: the plain and the obfuscated listening port, direct
// and server-assisted (connect-back) connections of the kinds "P"
// (messaging), "F" (file) and "D" (distributed network), their set-up frame,
// peer message framing, time-outs, and every peer message with its sender and
// its handler. Byte layouts and limits: docs/protocol.md, "Peer connections";
// the limits are named in net/PeerLimits.h.
//
// Main thread only; every signal is emitted there. Signals that pass a
// reference or a pointer into the messenger's own memory (UserShare, the
// picture buffer of UserInfoReceived) are valid only during the emission:
// connect them directly (Qt::DirectConnection, or the default on the main
// thread), never queued.
//
// Sockets passed by FileConnectionRequested, FileConnectionAccepted,
// DNetConnectionRequested and DNetConnectionAccepted are handed over: the
// messenger has read exactly the set-up (and for an incoming "F" the 4 token
// bytes) and nothing more, no longer listens to the socket, has no parent set
// on it and forgets it. The receiver owns it from then on. Bytes after the
// set-up may already be buffered in the socket: read them at once rather than
// waiting for the next readyRead.
class PeerMessenger : public QObject, public DataLoadedEventHandler {
    Q_OBJECT

public:
    // Peer message codes ("P" connections).
    enum PeerMessageCode : quint32 {
        PM_SHARED_FILE_LIST_REQUEST = 4,
        PM_SHARED_FILE_LIST = 5,
        PM_FILE_SEARCH_RESULT = 9,
        PM_USER_INFO_REQUEST = 15,
        PM_USER_INFO_REPLY = 16,
        PM_GET_SHARED_FILES_IN_FOLDER = 36,
        PM_SHARED_FILES_IN_FOLDER = 37,
        PM_TRANSFER_REQUEST = 40,
        PM_TRANSFER_RESPONSE = 41,
        PM_QUEUE_UPLOAD = 43,
        PM_UPLOAD_PLACE_IN_LINE = 44,
        PM_UPLOAD_FAILED = 46,
        PM_INDIRECT_FILE_SEARCH_REQUEST = 49,
        PM_UPLOAD_DENIED = 50,
        PM_UPLOAD_PLACE_IN_LINE_REQUEST = 51,
        PM_QUEUE_DOWNLOAD_REQUEST = 60
    };
    // Codes of the first frame of a connection.
    enum SetUpCode : quint32 { SETUP_CONNECT_BACK_ANSWER = 0, SETUP_PEER_INIT = 1 };

    // Sets `peerMessenger`, declares the peer item types, registers with the
    // store saver and connects to the server connection and the half-minute
    // tick when they exist. The ports open in DataLoaded (or Listen).
    explicit PeerMessenger(QObject* parent = nullptr);
    ~PeerMessenger() override;

    // Fills missing "listening_port" (2235) and "obfuscated_listening_port"
    // (2236), applies "new_listening_port" (the obfuscated port follows it,
    // one higher), then opens the ports.
    void DataLoaded() override;

    // The ports DataLoaded fills in where the settings name none (2235 and
    // 2236 unless set). Tests set 0, any free port, so that no run depends on
    // what else the machine listens on.
    static void SetDefaultPorts(quint16 plain, quint16 obfuscated);

    // (Re)opens both listening ports on the ports the settings say; 0 takes
    // any free port. A port that cannot be bound is logged and left closed;
    // the result says whether both opened.
    bool Listen();
    // The address the ports are opened on; any address unless set (tests
    // keep to 127.0.0.1). Takes effect at the next Listen.
    void SetListenAddress(const QHostAddress& address) { m_listenAddress = address; }
    // The ports actually bound; 0 when closed.
    quint16 ListeningPort() const;
    quint16 ObfuscatedListeningPort() const;

    // Whether a messaging connection to the user is set up that the server
    // vouched for (see SendMessage).
    bool IsMessaging(const QString& user) const { return NewestMessaging(user) != nullptr; }
    // The connection whose request is being handled, during the signal it
    // raised (0 otherwise). A reply goes on the connection that asked: whoever
    // answers later keeps this and passes it as `via`.
    quint64 Asker() const { return m_asker; }
    // Whether the messaging connection is still open.
    bool IsOpen(quint64 via) const;
    // Whether it is open and its user's own (vouched, see SendMessage).
    bool IsHers(quint64 via) const;
    // Users whom our answers to share-list and folder requests (4, 36) show
    // more than a stranger: on a connection not vouched those requests wait
    // for the address check too (see NeedsHer). Kept while `owner` lives.
    void SetShownMore(QObject* owner, std::function<bool(const QString& user)> shownMore) {
        m_shownMoreOwner = owner;
        m_shownMore = std::move(shownMore);
    }
    // Connections held, in any state (handed-over ones are not held).
    int ConnectionCount() const;
    // Our own connect requests not yet answered or given up.
    int PendingRequestCount() const { return int(m_requests.size()); }
    // Messages held for the user until a messaging connection opens, and
    // requests held on an open one until the user's budget for them takes
    // them (PacedMessageCount).
    int UnsentMessageCount(const QString& user) const;
    int PacedMessageCount(const QString& user) const;
    // Whether a whole message the user sent us on one of her own (vouched)
    // messaging connections waits that we have not handled yet, in the
    // system's buffers, the sockets' or the frame readers': an answer we wait
    // for may be among them. A frame not all there yet is not one.
    bool MessageUnreadFrom(const QString& user) const;

    // Bytes read from peers so far, on every kind of connection.
    qint64 BytesRead() const { return m_bytesRead; }

    // The steady clock (milliseconds) that set-up deadlines and stalled
    // frames are measured on; tests put a hand-driven one in.
    void SetClock(std::function<qint64()> clock) { m_clock = std::move(clock); }
    // Closes connections past their set-up deadline and messaging connections
    // stalled in the middle of a frame. A timer calls it every second.
    void CheckDeadlines();
    // Lowers the cap on messaging connections (tests).
    void SetMaxMessagingConnections(int cap) { m_maxMessaging = cap; }
    int MaxMessagingConnections() const { return m_maxMessaging; }
    // Lowers the connections accepted per turn of the event loop (tests).
    void SetMaxAcceptsPerTurn(int accepts) { m_maxAcceptsPerTurn = accepts; }
    // Lowers the budget for incomplete incoming frames (tests).
    void SetMaxPartialFrameBytes(qint64 bytes) { m_maxPartialBytes = bytes; }

    // Handles one peer message from the user; the payload's read position is
    // at the first payload byte. A message that does not read whole is logged
    // and dropped. Public for the fuzz test.
    void HandleMessage(const QString& user, quint32 code, MemStream& payload);

    // `message` holds the u32 code and the payload from the start of its
    // buffer; the length is added here. Sent on the newest messaging
    // connection to the user that the server vouched for (we reached the
    // address the server gives for her, she answered a token we issued for
    // her, or her connection comes from that address): a set-up's name is
    // only the peer's word. Without one it is held (per user, in order,
    // bounded) and a connection is opened, directly and through the server.
    // When none can be formed the held messages are dropped and
    // ConnectionToUserFailed(user, "P") is emitted. Requests that peers
    // budget (PeerLimits::kRequestBudgets) go at the pace the budget takes,
    // those past it waiting here in order, so that a peer running our code
    // takes every one.
    void SendMessage(QString user, MemStream& message);
    void SendMessageToUser(QString user, MemStream& message) { SendMessage(user, message); }
    // Optional output (search answers): whether `bytes` more for the user
    // fit under the cap on output waiting for peers now. Connections whose
    // output is stuck are closed, the largest first, to make room for a user
    // whose own output is not; a user whose output is stuck gets nothing, one
    // marked as not reading only now and then (PeerLimits::kDeafTrialMs). A
    // refusal is logged, at most once per kOptionalLogMs with a count.
    bool RoomForOptional(const QString& user, qint64 bytes);
    // Output of ours waits for the user: their newest connection holds some
    // the system could not take yet, or messages wait for a connection, or
    // one of theirs whose user the server named closed lately with its
    // output stuck. A peer that reads what it asked for seldom has any.
    bool OutputWaitingFor(const QString& user) const;
    // SendMessage when RoomForOptional; false when the message was dropped.
    bool SendOptionalMessage(const QString& user, MemStream& message);
    // Output waiting for peers: unsent socket output of every connection
    // plus the messages held for users.
    qint64 WaitingOutput() const;
    // Lowers the cap on output waiting for peers (tests).
    void SetMaxWaitingOutput(qint64 bytes) { m_maxWaitingOutput = bytes; }
    static constexpr qint64 kOptionalLogMs = 10000;
    // Answers a user asked for (share list, folder contents, user info):
    // one of each code per user waits in our output at a time (Waiting: one
    // does, this one is not sent), and each goes only under the cap on
    // output waiting for peers, room made as for optional output (NoRoom:
    // not sent; also when the user's output is stuck). The caller keeps or
    // drops it.
    // They go on the connection that asked (`via`, by default the Asker);
    // one whose asker left is dropped (Sent: nothing to keep).
    enum class Answer { Sent, Waiting, NoRoom };
    Answer SendAnswer(const QString& user, MemStream& message, quint64 via = 0);
    // The same for an answer whose bytes the caller keeps for others too (a
    // share list): a large one goes a piece at a time as the peer takes it,
    // so that only the piece in the socket counts under the cap and a peer
    // that reads holds little of it however slowly it reads.
    Answer SendSharedAnswer(const QString& user, const QByteArray& message, quint64 via = 0);
    // Bytes of such an answer put into the socket at a time.
    static constexpr qint64 kAnswerPieceBytes = 32 * 1024;
    // Answers refused room so far (NoRoom); their callers keep them.
    qint64 AnswersRefusedRoom() const { return m_answersRefusedRoom; }
    // Whether an answer with this code that SendAnswer sent the user is
    // still held by us, not yet handed to the system.
    bool AnswerWaiting(const QString& user, quint32 code, quint64 via = 0);
    // Requests dropped past their user's budget (PeerLimits::kRequestBudgets),
    // and those waiting for it now.
    qint64 DroppedRequests() const { return m_droppedRequests.Total(); }
    int WaitingRequests() const { return m_requestBudgets.Waiting(); }
    // Replies to peers' requests held by us, in all and for the user's
    // connections (PeerLimits::kMaxReplyBytesPerPeer); those dropped past
    // it, and requests dropped for a name longer than any shared path.
    qint64 HeldReplyBytes() const { return m_replyBytes; }
    qint64 HeldReplyBytes(const QString& user) const;
    qint64 DroppedReplies() const { return m_droppedReplies.Total(); }
    qint64 DroppedLongNames() const { return m_longNames.Total(); }
    // Messages only the user herself may send (answers to our requests,
    // notices about transfers with her, offers and queue requests that
    // change what we hold for her) that came on a connection from another
    // address than the server gives for her name: dropped, or refused on
    // that connection. Also file connections for an offer we took that come
    // from another address than the offer.
    qint64 StrangersRefused() const { return m_strangers.Total(); }
    // Address checks held, their bytes, and questions to the server not yet
    // answered.
    int ChecksHeld() const { return m_checksHeld; }
    qint64 CheckBytesHeld() const { return m_checkBytesHeld; }
    int QuestionsAsked() const { return int(m_questions.size()); }
    // Lowers the bound on replies held in all (tests).
    void SetMaxReplyBytes(qint64 bytes) { m_maxReplyBytes = bytes; }
    // Budgets kept now; full ones go as others are used.
    int KeptBudgets() const { return m_requestBudgets.Kept(); }

    void QueueDownload(QString user, std::string file);
    void QueueUpload(QString user, QString file, qint64 size);
    // Takes the request number from "transfer_req_counter" and stores the next one.
    uint RequestUpload(QString user, QString file, qint64 size);
    void AcceptTransferRequest(QString user, uint req, bool includeSize, qint64 size);
    void DenyTransferRequest(QString user, uint req, QString reason);
    void DenyUpload(QString user, QString file, QString reason);
    void SendUploadPlaceInLine(QString user, QString file, int place);
    void GetUserSharedFiles(QString user);
    void GetUserInfo(QString user);
    // Opens an "F" connection, directly and through the server's connect-back;
    // FileConnectionAccepted when it is up, or ConnectionToUserFailed(user, "F").
    void RequestFileConnectionToUser(QString user);
    // The same for "D": DNetConnectionAccepted or ConnectionToUserFailed(user, "D").
    void RequestDNetConnection(QString user);

public slots:
    // Time-outs counted in ticks: direct attempts, connect-back requests
    // and idle messaging connections.
    void OnHalfMinuteTick();

signals:
    void FileTransferRequested(QString user, int direction, uint req, std::string file,
                               qint64 fileSize);
    void FileTransferResponse(QString user, uint req, bool accepted, bool receivedFileSize,
                              qint64 fileSize, QString denialReason);
    void QueueUploadRequested(QString user, QString file);
    void DownloadPlaceInLine(QString user, std::string file, int place);
    void UploadFailed(QString user, std::string file);
    void UploadDenied(QString user, std::string file, QString reason);
    void UploadPlaceInLineRequested(QString user, QString fileName);
    void QueueDownloadRequested(QString user, std::string fileName, qint64 fileSize);
    // Direct connections only: the references live during the emission.
    void UserShare(QString user, FileInfoMap& share, AttributeTranslationTable& table);
    // A share list arrived that could not be read.
    void ShareListMalformed(QString user);
    void SharedFilesInFolderRequested(QString user, quint32 req, QString folder);
    void SearchResults(ItemPtr searchResults);
    void UserInfoRequested(QString user);
    // Direct connections only: the picture buffer belongs to the messenger and
    // lives during the emission.
    void UserInfoReceived(QString user, QString description, bool hasPicture, char* pictureBuffer,
                          int pictureBufferLength, int uploadSlots, int queuedUploads,
                          bool freeUploadSlots);
    // A share-list request (code 4) arrived. The answer belongs to the shared
    // folders, which send it with SendMessage.
    void SharedFileListRequested(QString user);
    void ConnectionToUserFailed(QString user, QString connectionType);
    // Output waiting for peers went down, or an answer was handed to the
    // system, while users waited for room: held answers may go now. At most
    // once per kOutputRoomMs.
    void OutputRoom();
    // Hand-overs (see above). The request number is the 4-byte token as the
    // peer sent it; whoever issued it checks that it belongs to this user.
    void FileConnectionRequested(QString user, QTcpSocket* socket, uint requestID);
    void FileConnectionAccepted(QString user, QTcpSocket* socket);
    void DNetConnectionAccepted(QString user, QTcpSocket* socket);
    void DNetConnectionRequested(QString user, QTcpSocket* socket);

private:
    struct Connection;
    struct Request;
    struct Unsent {
        std::deque<QByteArray> messages;
        qint64 bytes = 0;
    };
    using ConnectionPtr = std::shared_ptr<Connection>;

    void OnNewConnection(bool obfuscated);
    void OnPeerAddress(QString user, quint32 ip, quint16 port, quint16 obfuscatedPort);
    void OnConnectToPeerRequested(QString user, QString kind, quint32 ip, quint16 port,
                                  quint32 token);
    void OnCannotConnectToPeer(quint32 token, QString user);

    ConnectionPtr AddConnection(QTcpSocket* socket, int origin, bool obfuscated);
    ConnectionPtr FindConnection(quint64 id) const;
    void OnSocketConnected(quint64 id);
    void OnSocketReadyRead(quint64 id);
    void OnSocketClosed(quint64 id);
    // Reads whatever the connection's state allows.
    void Process(const ConnectionPtr& c);
    bool ReadPlainSetUp(const ConnectionPtr& c, quint32& code, MemStream& payload, bool& got);
    template <class Reader>
    bool ReadFrame(const ConnectionPtr& c, Reader& reader, quint32& code, MemStream& payload,
                   bool& got);
    void HandleSetUp(const ConnectionPtr& c, quint32 code, MemStream& payload);
    void TakeFileToken(const ConnectionPtr& c);
    void BecomeMessaging(const ConnectionPtr& c);
    // Forgets the socket and returns it ready for the receiver; null (and the
    // socket closed) when nobody listens to the signal.
    QTcpSocket* HandOver(const ConnectionPtr& c, const QMetaMethod& signal);
    void Close(const ConnectionPtr& c, const QString& why);

    bool WriteBody(const ConnectionPtr& c, const QByteArray& body);
    // Writes bytes of a frame to the socket and counts them.
    bool WriteOut(const ConnectionPtr& c, const QByteArray& bytes);
    bool TooMuchUnsent(const ConnectionPtr& c);
    // Puts the next pieces of what waits behind a large answer into the
    // socket while its buffer runs low.
    void Pump(const ConnectionPtr& c);
    void OnBytesWritten(quint64 id, qint64 written);
    // Keeps the total of output held and the orders of waiting output up to
    // date with the connection's own; Unindex takes it out of every order.
    void Recount(Connection& c);
    void Reindex(Connection& c);
    void Unindex(Connection& c);
    // Traffic on a messaging connection: its place in the order of idleness.
    void Touch(Connection& c, qint64 now);
    void MarkInUse(Connection& c);
    void PostOutputRoom();
    void WriteSetUp(const ConnectionPtr& c, quint32 code, const MemStream& payload);
    ConnectionPtr NewestMessaging(const QString& user) const;
    // Where a reply to the user goes: the asking connection (`via`, else the
    // Asker when it is hers), else NewestMessaging; `gone` when the asker left.
    ConnectionPtr ReplyTarget(const QString& user, quint64 via, bool& gone) const;
    // Writes the message on the connection, or as SendMessage without one.
    void SendOn(const ConnectionPtr& c, const QString& user, const QByteArray& body);
    // Sets the Asker for a scope.
    class AskedOn {
    public:
        AskedOn(PeerMessenger* m, quint64 id, const QString& user)
            : m_m(m), m_id(m->m_asker), m_user(m->m_askerUser) {
            m->m_asker = id;
            m->m_askerUser = user;
        }
        ~AskedOn() {
            m_m->m_asker = m_id;
            m_m->m_askerUser = m_user;
        }
        AskedOn(const AskedOn&) = delete;
        AskedOn& operator=(const AskedOn&) = delete;

    private:
        PeerMessenger* m_m;
        quint64 m_id;
        QString m_user;
    };
    // Vouching by address: the connection comes from the address the server
    // gives for its name. Messages only she may send wait on an unvouched
    // connection (reading it paused) until the server answers.
    static bool NeedsHer(quint32 code);
    bool NeedsCheck(const QString& user, quint32 code) const;
    bool CheckAddress(const ConnectionPtr& c, quint32 code, const MemStream& payload);
    // Asks again for every name checked: the questions went on a link gone since.
    void AskAgain();
    // Takes a connection out of the checks waiting for its name's address.
    void Unwait(const Connection& c);
    void EndCheck(const ConnectionPtr& c);
    void Vouch(const ConnectionPtr& c);
    // Vouches for her connections from an address that is hers, the server
    // giving `server` for her, and handles what they held for the check.
    void VouchByAddress(const QString& user, quint32 server);
    // The server's answer: the checks still waiting end, those from another
    // address after she was asked to prove it (ProbeHer).
    void EndChecks(const QString& user, quint32 server);
    // An address is hers: the server gives it for her, or a connection
    // from it answered a token we issued for her while the server gave the
    // one it gives now.
    bool AddressIsHers(const QString& user, quint32 ip, quint32 server) const;
    bool AddressIsHers(const QString& user, quint32 ip) const;
    // The address the server last gave for her, 0 when offline.
    bool ServerIp(const QString& user, quint32& ip) const;
    void ServerSaid(const QString& user, quint32 ip);
    void AnsweredFrom(const QString& user, quint32 ip);
    // Asks the server to relay a token to her alone, at most once per
    // kAddressCheckMs; true when a token for her is on its way.
    bool ProbeHer(const QString& user);
    void RememberToken(quint32 token, const QString& user, const QString& kind);
    // A token we issued lately for the user, its request ended; forgotten
    // once answered.
    bool LatelyIssued(quint32 token, QString& user, QString& kind);
    void DispatchFrom(const ConnectionPtr& c, quint32 code, MemStream& payload);
    // Bounds on what waits for the server's word (AddressChecks.cpp): a new
    // check takes a place among those held, ending the oldest check of the
    // address that holds the most when none is free; questions go to the
    // server a few at a time, each source address in turn.
    void HoldCheck(const ConnectionPtr& c);
    void ReleaseCheck(const Connection& c);
    void EndOldestCheck(quint32 ip);
    void DropHeld(quint32 ip, quint64 id);
    void AskAddresses();
    void AddressAnswered(const QString& user);
    // She is asked to prove another address: her name is not asked about
    // again meanwhile.
    bool Proving(const QString& user) const;
    void ExpireQuestions(qint64 now);
    void RefuseStranger(const QString& user, quint32 code, MemStream& payload);
    void CountStranger(const QString& user, quint32 code);
    bool AnswerWaitingOn(const QString& user, quint32 code, const ConnectionPtr& c);
    // A message SendMessage can send, else logged.
    bool Sendable(const QString& user, const QByteArray& body) const;
    static quint32 PeerIp(const QTcpSocket* socket);
    // Builds the message from the code and payload and sends it.
    void Send(const QString& user, quint32 code, const MemStream& payload);
    // Sends the fields in order, or nothing when one does not fit.
    template <typename... Fields>
    void SendFields(const QString& user, quint32 code, const Fields&... fields);
    // A reply to the user's request: on their connection only while what
    // replies hold fits (RoomForReply), else dropped and counted; held for
    // a connection like any message when there is none.
    template <typename... Fields>
    void SendReply(const QString& user, quint32 code, const Fields&... fields);
    bool RoomForReply(const ConnectionPtr& c, qint64 bytes);
    // Uncounts the replies the system has taken from the socket's buffer.
    void ReleaseReplies(Connection& c);
    // A request naming one of our files by a name no shared path has.
    bool NamePastShares(quint32 code, const MemStream& payload) const;

    void StartRequest(const QString& user, const QString& kind);
    void ConnectDirect(quint32 token, quint32 ip, quint16 port);
    quint32 NewToken() const;
    int OutgoingAttempts() const;
    bool RecordedAddress(const QString& user, quint32& ip, quint16& port) const;
    // The address the server last gave for the user.
    bool RecordedIp(const QString& user, quint32& ip) const;
    void DirectEnded(quint32 token, quint64 connectionId);
    // Removes a request and the direct attempt it still runs.
    void RetireRequest(quint32 token);
    // Gives up the requests with neither a direct attempt nor an indirect
    // request left; deferred while a request is being started.
    void RequestsChanged();
    void CheckRequests();

    bool Enqueue(const QString& user, const QByteArray& body);
    void DropUnsent(const QString& user);
    void Flush(const ConnectionPtr& c);
    // A request peers budget: false when it is written now, true when it
    // waits for the user's budget (then it is held, or dropped past the caps
    // on held messages).
    bool Paced(const QString& user, const QByteArray& body);
    // Writes the user's held requests as far as the budgets take them.
    void WritePaced(const QString& user, const ConnectionPtr& c, qint64 now);
    void OnPaceTick();
    void CountUnsentDropped(const QString& user, quint32 code);
    // The lines of drops counted, each also for those held (FlushDropLines).
    void LogUnsentDropped(int n, const QString& user, quint32 code);
    void LogDroppedRequests(int n, const QString& user, quint32 code);
    void LogDeniedRequests(int n, const QString& user);
    void LogDroppedReplies(int n, const QString& user, quint32 code);
    void LogLongNames(int n, const QString& user, quint32 code);
    // Writes the held drops' lines whose interval has passed.
    void FlushDropLines(qint64 now);

    qint64 Now() const;
    // Counts what a messaging connection read in the middle of a frame.
    void TrackFrameProgress(const ConnectionPtr& c, qint64 bytes);
    // Notes whether the peer took some of our output since the last look,
    // from the socket's buffer or the system's queue: that is traffic too.
    void FollowOutput(Connection& c, qint64 now);
    void MakeRoomForUnidentified();
    void MakeRoomForMessaging(const ConnectionPtr& c);
    // Raises the soft descriptor limit and, where it stays low, lowers the
    // messaging cap so that a reserve of descriptors stays free.
    void FitDescriptorLimit();
    // Output waiting on the connection that has not moved for kStuckOutputMs.
    bool OutputStuck(Connection& c, qint64 now);
    // The same, looking again at most once per kLookAgainMs.
    bool OutputStuckLately(Connection& c, qint64 now);
    // Whether the peer took at least kSteadyReadBytes of our output a
    // minute lately, or at a pace that takes what waits within
    // kOutputGivesWayMs.
    bool ReadsSteadily(const Connection& c, qint64 now) const;
    void ForgetRoomWanted(const QString& user);
    // Closes connections whose output is stuck, the largest first, then,
    // when the user is first in line for room, those whose output waited
    // past kOutputGivesWayMs, the longest waiting first, until `bytes` more
    // for the user fit under the cap; returns what waits for peers then.
    qint64 MakeRoom(const QString& user, const ConnectionPtr& target, qint64 bytes, qint64 now);
    // Room under the cap freed by closing slow readers goes to one user at
    // a time: of those still asking for room, users none of whose
    // connections gave way lately go first, then the one who asked last, so
    // that neither a crowd that came first nor readers coming back after
    // they gave way keep everyone after them waiting.
    bool FirstForRoom(const QString& user, qint64 now);
    void WantRoom(const QString& user, qint64 now);
    void GaveWay(const QString& user, qint64 now);
    // Takes one from the user's budget for the request; false when it waits
    // for the budget or is dropped.
    bool AdmitRequest(const QString& user, quint32 code, const MemStream& payload);
    void CountDroppedRequests(const QString& user, quint32 code, int n);
    void ScheduleWaitingRequests();
    // Handles waiting requests whose turn has come, for a slice of time.
    void ServeWaitingRequests();
    // Reads the connections whose frames were left for a later turn.
    void ResumeReads();
    // Gives memory that closed connections freed back to the system.
    void TrimReleasedOutput();

    // Parses and dispatches; false when the connection should close.
    bool Dispatch(const QString& user, quint32 code, MemStream& payload);
    // The same for a request its budget let in.
    bool Handle(const QString& user, quint32 code, MemStream& payload);
    // One handler per message; false when the connection should close.
    bool HandleSharedFileList(const QString& user, MemStream& payload);
    bool HandleSearchResults(const QString& user, MemStream& payload);
    bool HandleUserInfoReply(const QString& user, MemStream& payload);
    bool HandleGetSharedFilesInFolder(const QString& user, MemStream& payload);
    bool HandleTransferRequest(const QString& user, MemStream& payload);
    bool HandleTransferResponse(const QString& user, MemStream& payload);
    bool HandleQueueUpload(const QString& user, MemStream& payload);
    bool HandleUploadPlaceInLine(const QString& user, MemStream& payload);
    bool HandleUploadFailed(const QString& user, MemStream& payload);
    bool HandleUploadDenied(const QString& user, MemStream& payload);
    bool HandleUploadPlaceInLineRequest(const QString& user, MemStream& payload);
    bool HandleQueueDownloadRequest(const QString& user, MemStream& payload);
    // Counts a message of a code we do not take; logged now and then.
    void IgnoreMessage(const QString& user, quint32 code);
    // Logs and drops a message that does not read whole; the connection stays.
    bool Malformed(const QString& user, quint32 code);

    QTcpServer* mp_plainListener = nullptr;
    QTcpServer* mp_obfuscatedListener = nullptr;
    QHostAddress m_listenAddress = QHostAddress::Any;
    std::map<quint64, ConnectionPtr> m_connections;
    quint64 m_nextConnectionId = 1;
    quint64 m_readyOrder = 0;
    std::map<quint32, std::unique_ptr<Request>> m_requests;
    std::map<QString, Unsent> m_unsent;
    qint64 m_unsentBytes = 0;
    // Requests held on an open connection for the user's budget, per user and
    // code, in order; the budgets the user keeps for ours, as we follow them.
    std::map<QString, std::map<quint32, Unsent>> m_paced;
    qint64 m_pacedBytes = 0;
    RequestBudgets m_sendBudgets;
    QTimer m_paceTimer;
    DropCounter m_droppedUnsent{PeerLimits::kDroppedRequestLogMs};
    int m_deferChecks = 0;
    bool m_checkPosted = false;
    std::function<qint64()> m_clock;
    QTimer m_deadlineTimer;
    int m_maxMessaging;
    int m_maxUnidentified = PeerLimits::kMaxUnidentifiedConnections;
    qint64 m_maxPartialBytes = PeerLimits::kMaxPartialFramesTotal;
    qint64 m_partialBytes = 0;
    qint64 m_maxWaitingOutput = PeerLimits::kMaxWaitingOutputTotal;
    // Refused optional messages not logged yet, and when the last line went.
    int m_optionalRefused = 0;
    qint64 m_optionalLoggedAt = -1;
    // Users refused room under the cap: when first and last refused. Users
    // whose connection was closed to make room: when.
    struct RoomWanted {
        qint64 since;
        qint64 last;
        bool back;  // one of theirs gave way lately
    };
    std::map<QString, RoomWanted> m_roomWanted;
    // The same users in the order room goes to them: those who did not give
    // way lately first, then the one who asked last.
    std::set<std::tuple<bool, qint64, QString>> m_roomOrder;
    bool m_outputRoomPosted = false;
    // Connections accepted in this turn of the event loop.
    int m_acceptedThisTurn = 0;
    int m_maxAcceptsPerTurn = PeerLimits::kAcceptsPerTurn;
    bool m_acceptTurnPosted = false;
    qint64 m_answersRefusedRoom = 0;
    // Incoming connections without set-up, by age (ids grow with it).
    std::set<quint64> m_unidentified;
    // Messaging connections, the longest idle first: those only set up, and
    // those in use.
    std::list<quint64> m_idleHello, m_idleInUse;
    std::map<QString, std::set<quint64>> m_messagingByUser;
    // Output held in sockets' buffers and behind large answers, in all.
    qint64 m_heldOutput = 0;
    // Connections with output waiting: by when the peer last took some, and
    // by when the oldest byte in the socket's buffer was written.
    std::set<std::pair<qint64, quint64>> m_quietOrder, m_ageOrder;
    std::map<QString, qint64> m_gaveWay;
    // Users a connection of whose closed with its output stuck: when, and
    // when the last optional answer went to them since.
    struct Deaf {
        qint64 at;
        qint64 tried;
        // Set by a connection whose user the server named.
        bool vouched;
    };
    std::map<QString, Deaf> m_deafLately;
    void RememberIfDeaf(const Connection& c, qint64 now);
    bool DeafLately(const QString& user, qint64 now, bool vouchedOnly = false) const;
    // Marked, and an optional answer may go to try whether they read again.
    bool DeafTrialDue(const QString& user, const ConnectionPtr& target, qint64 now) const;
    RequestBudgets m_requestBudgets;
    quint64 m_asker = 0;
    QString m_askerUser;
    // Users whose address the server is asked for, the connections waiting
    // for it, and those in the order their checks end.
    std::map<QString, std::vector<quint64>> m_checks;
    std::deque<std::pair<qint64, quint64>> m_checkDeadlines;
    // Checks held, by the address they come from, oldest first, with the
    // bytes each holds; whether the address waits its turn to ask.
    struct HeldChecks {
        std::deque<std::pair<quint64, qint64>> checks;
        qint64 bytes = 0;
        bool inTurn = false;
    };
    std::map<quint32, HeldChecks> m_heldChecks;
    std::deque<quint32> m_askTurns;
    int m_checksHeld = 0;
    qint64 m_checkBytesHeld = 0;
    // Questions the server has not answered yet, by name, and by their
    // number (the order asked) with when each went.
    std::map<QString, quint64> m_questions;
    std::map<quint64, std::pair<qint64, QString>> m_questionOrder;
    quint64 m_questionCount = 0;
    // When each name checked was answered for and she was asked to prove
    // another address; when each user was last asked to prove one.
    std::map<QString, qint64> m_askedAt, m_probedAt;
    struct Answered {
        quint32 server;
        std::vector<quint32> ips;
    };
    std::map<QString, Answered> m_answeredFrom;
    std::map<QString, quint32> m_serverSaid;
    struct Issued {
        QString user;
        QString kind;
        qint64 at;
    };
    std::map<quint32, Issued> m_issued;
    std::deque<std::pair<qint64, quint32>> m_issuedOrder;
    DropCounter m_strangers{PeerLimits::kDroppedRequestLogMs};
    QPointer<QObject> m_shownMoreOwner;
    std::function<bool(const QString&)> m_shownMore;
    // Upload offers we took: the address of the connection each came on.
    std::map<std::pair<QString, quint32>, quint32> m_offersTaken;
    QTimer m_waitTimer;
    // Connections with frames left for a later turn, in the order left.
    std::deque<quint64> m_pausedReads;
    QTimer m_resumeTimer;
    DropCounter m_droppedRequests{PeerLimits::kDroppedRequestLogMs};
    DropCounter m_deniedRequests{PeerLimits::kDroppedRequestLogMs};
    DropCounter m_unknownResults{PeerLimits::kDroppedRequestLogMs};
    DropCounter m_unaskedLists{PeerLimits::kDroppedRequestLogMs};
    DropCounter m_ignoredMessages{PeerLimits::kDroppedRequestLogMs};
    DropCounter m_malformedMessages{PeerLimits::kDroppedRequestLogMs};
    DropCounter m_droppedReplies{PeerLimits::kDroppedRequestLogMs};
    DropCounter m_longNames{PeerLimits::kDroppedRequestLogMs};
    qint64 m_replyBytes = 0;
    qint64 m_maxReplyBytes = PeerLimits::kMaxReplyBytesTotal;
    // Share lists asked for and not yet come, per user.
    QHash<QString, int> m_listsAsked;
    // Users whose answer is held until a connection to them opens.
    std::set<std::pair<QString, quint32>> m_heldAnswers;
    // Unsent output dropped with closed connections since the heap was
    // last trimmed.
    qint64 m_releasedOutput = 0;
    qint64 m_bytesRead = 0;
};

extern PeerMessenger* peerMessenger;

#endif
