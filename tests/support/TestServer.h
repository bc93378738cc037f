#ifndef TAVENOOK_TESTS_SUPPORT_TESTSERVER_H
#define TAVENOOK_TESTS_SUPPORT_TESTSERVER_H

#include <QElapsedTimer>
#include <QHash>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QStringList>
#include <QTcpServer>
#include <QTimer>
#include <memory>

#include "store/UserStats.h"

class MemStream;
class QTcpSocket;

// A loopback stand-in for the central server: it speaks the server side of
// every server message in docs/protocol.md ("Server connection") to any number
// of clients at once, keeps its state in memory, and lets tests script it.
// Everything runs on the thread that owns it; it never listens beyond 127.0.0.1.
class TestServer : public QObject {
    Q_OBJECT
public:
    static constexpr quint32 kMaxFrameLength = 10485760;
    static constexpr quint32 kLoopbackIp = 0x7F000001;

    explicit TestServer(QObject* parent = nullptr);
    ~TestServer() override;

    // Listens on 127.0.0.1; port 0 picks a free one.
    bool Listen(quint16 port = 0);
    quint16 Port() const { return mp_listener->isListening() ? mp_listener->serverPort() : 0; }
    // "127.0.0.1:<port>", the form TAVENOOK_SERVER takes.
    QString Address() const { return QStringLiteral("127.0.0.1:%1").arg(Port()); }
    // Stops listening and closes every connection (the server going away).
    void Close();
    // Every event to stdout; otherwise only problems, as warnings of the
    // logging category "tavenook.testserver".
    void SetVerbose(bool verbose) { m_verbose = verbose; }
    // A client whose output waiting in our buffer passes this, and which
    // took nothing of what the system holds for it for the deaf time (30 s
    // unless set), is dropped: it reads nothing. Output that waits only
    // because the server is behind, its system queue empty or moving, is no
    // reason (64 MiB unless set).
    void SetMaxPendingOutput(qint64 bytes) { m_maxPendingOutput = bytes; }
    void SetDeafAfterMs(qint64 ms) { m_deafAfterMs = ms; }
    // While false, questions for a peer's address (3) go unanswered, as
    // from a server that is slow or lost them.
    void SetAnswersAddresses(bool answers) { m_answersAddresses = answers; }

    // Accounts.
    void RefuseNextLogin(const QString& reason) { m_refusals.append(reason); }

    // Scripting; pushed state (privileged users, tickers, ...) goes with SendTo.
    void DropClient(const QString& user);
    void SendTo(const QString& user, quint32 code, const QByteArray& payload);
    void SendRawTo(const QString& user, const QByteArray& bytes);
    QList<QPair<quint32, QByteArray>> Received(const QString& user) const {
        return m_received.value(user).frames;
    }
    void ClearReceived(const QString& user) { m_received.remove(user); }
    // Returns the oldest frame with this code from the user that no earlier
    // call returned (since the last ClearReceived), waiting for one to arrive.
    bool WaitForMessage(const QString& user, quint32 code, int timeoutMs,
                        QByteArray* payload = nullptr);
    bool IsLoggedIn(const QString& user) const { return m_sessions.contains(user); }
    // Open connections, logged in or not.
    int ClientCount() const { return m_clients.size(); }
    QStringList LoggedInUsers() const;

    // Frames of the code from clients wait unhandled until Release, as
    // behind a slow server; Release(true) loses them instead.
    void Hold(quint32 code) { m_hold.insert(code); }
    void Release(bool lose = false);

    // Server-side state.
    void SetUserStats(const QString& user, const UserStats& stats) {
        m_accounts[user].stats = stats;
    }
    void SetUserCountry(const QString& user, const QString& country) {
        m_accounts[user].country = country;
    }
    // Answer to 92; not counted down.
    void SetPrivileges(const QString& user, quint32 seconds, bool supporter) {
        m_accounts[user].privilegeSeconds = seconds;
        m_accounts[user].supporter = supporter;
    }
    quint32 PrivilegeSeconds(const QString& user) const {
        return m_accounts.value(user).privilegeSeconds;
    }
    void SetCorrelations(const QString& text, const QList<QPair<QString, quint32>>& related) {
        m_correlations.insert(text, related);
    }
    // Sends 102 to the user now, or after its next login when it is offline.
    // Each parent is (user, port) at 127.0.0.1; port 0 takes the listening
    // port that user reported with 2.
    void SetPossibleParents(const QString& user, const QList<QPair<QString, quint32>>& parents);

signals:
    void MessageReceived(QString user, quint32 code, QByteArray payload);

private:
    struct Client {
        QTcpSocket* socket = nullptr;
        QByteArray input;
        QString user;  // empty until logged in
        bool closed = false;
        int offset = 0;  // start of the first unhandled frame in input
        int depth = 0;   // OnReadyRead calls running for it
        quint32 port = 0;
        quint32 obfuscatedPort = 0;
        QSet<QString> tracked;
        // Bytes written to the socket; while its output is over the cap,
        // what the client had taken at the last look and since when.
        qint64 written = 0;
        bool watched = false;
        qint64 taken = 0;
        qint64 takenAt = 0;
    };
    QSet<quint32> m_hold;
    struct Held {
        Client* client;
        quint32 code;
        QByteArray payload;
    };
    QList<Held> m_held;
    struct StoredMessage {
        QString from, text;
        quint32 time = 0;
    };
    struct Account {
        bool hasPassword = false;  // set by the first successful login
        QString password;
        UserStats stats;
        QString country;
        quint32 status = 0;
        quint32 privilegeSeconds = 0;
        bool supporter = false;
        QList<StoredMessage> stored;
        bool pendingParents = false;
        QList<QPair<QString, quint32>> parents;
    };
    struct Room {
        bool isPrivate = false;
        QString owner;
        QStringList operators;  // each also in members
        QStringList members;    // private-room membership, not presence
        QStringList joined;     // who is in the room now, in order of arrival
        QList<QPair<QString, QString>> tickers;
    };
    struct Record {
        QList<QPair<quint32, QByteArray>> frames;
        QHash<quint32, int> cursors;  // per code: index after the last frame returned
    };

    std::shared_ptr<Client> Find(const Client* client) const;
    void OnNewConnection();
    void OnReadyRead(Client* client);
    void PumpAll();
    void HandleFrame(Client* client, quint32 code, const QByteArray& payload);
    void Handle(Client* client, quint32 code, const QByteArray& payload);
    void HandleLogin(Client* client, const QByteArray& payload);
    bool HandleMessage(Client* client, quint32 code, MemStream& in);
    bool HandlePrivateRoom(Client* client, quint32 code, MemStream& in);
    // Ends the connection and its session at once; the socket is flushed when
    // gently.
    void CloseClient(Client* client, bool gently);

    void Send(Client* client, quint32 code, const QByteArray& payload);
    // What the client has taken of our output: written, less what waits in
    // the socket's buffer and in the system's send queue.
    static qint64 Taken(const Client* client);
    // Drops the clients over the output cap that took nothing for the deaf
    // time though the system holds output for them.
    void CheckDeafClients();
    void SendToUser(const QString& user, quint32 code, const QByteArray& payload);
    void Broadcast(const QStringList& users, quint32 code, const QByteArray& payload);
    void SetStatus(const QString& user, quint32 status);
    void DeliverPrivateMessage(const QString& from, const QString& to, const QString& text);
    void SendRoles(const QString& user);
    void SendPossibleParents(Client* client, const QList<QPair<QString, quint32>>& parents);
    void JoinRoom(Client* client, const QString& name, bool isPrivate);
    void LeaveRoom(const QString& user, const QString& name, bool answer);
    QByteArray UserRecord(const QString& user);
    bool Exists(const QString& user) const;
    bool TakeRecorded(const QString& user, quint32 code, QByteArray* payload);
    void Log(const QString& text, bool problem) const;
    // Routine events (verbose only) and problems, formatted with %1, %2, ...
    template <typename... A>
    void Note(const char* format, const A&... args) const;
    template <typename... A>
    void Problem(const char* format, const A&... args) const;

    QTcpServer* mp_listener = nullptr;
    bool m_verbose = false;
    qint64 m_maxPendingOutput = 64 * 1024 * 1024;
    qint64 m_deafAfterMs = 30000;
    bool m_answersAddresses = true;
    QTimer m_deafTimer;
    QElapsedTimer m_clock;
    QList<std::shared_ptr<Client>> m_clients;
    QHash<QString, Client*> m_sessions;  // logged-in user -> its connection
    QHash<QString, Account> m_accounts;
    QMap<QString, Room> m_rooms;
    QHash<QString, Record> m_received;
    QHash<QString, QList<QPair<QString, quint32>>> m_correlations;
    QStringList m_refusals;
};

#endif
