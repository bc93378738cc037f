#ifndef TAVENOOK_TESTS_SUPPORT_RAWPEER_H
#define TAVENOOK_TESTS_SUPPORT_RAWPEER_H

#include <QObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <functional>
#include <memory>
#include <vector>

// A scripted peer that speaks the bytes of docs/protocol.md "Peer
// connections" over loopback: set-up frames, framed peer messages, the
// obfuscation transform, and the raw "F"/"D" streams (via SendRaw/ReadRaw).
//
// It holds any number of connections, outgoing (ConnectTo) and incoming
// (accepted on Listen/ListenObfuscated). Each gets an index in the order it
// was made or accepted. The plain calls work on the current connection: the
// one made by the last ConnectTo, the one taken by the last WaitForIncoming,
// or the one chosen with Select. The *On variants name a connection instead.
//
// All waiting spins the caller's event loop, so code under test on the same
// thread keeps running. Everything lives on the thread that owns the peer.
class RawPeer : public QObject {
    Q_OBJECT
public:
    static constexpr quint32 kMaxFrameLength = 10485760;
    static constexpr quint32 kMaxSetUpLength = 4096;
    // As long as a loaded machine needs, like the tests' own waits (Waits.h).
    static constexpr int kDefaultWait = 30000;

    struct SetUp {
        quint32 code = 0;  // 1 set-up, 0 connect-back answer
        QString user;      // code 1 only
        QString kind;      // code 1 only
        quint32 token = 0;
    };

    explicit RawPeer(QObject* parent = nullptr);
    ~RawPeer() override;

    // Listening on 127.0.0.1, any free port. Connections accepted on the
    // obfuscated listener are obfuscated in both directions.
    bool Listen() { return ListenOn(mp_listener, false); }
    quint16 Port() const { return mp_listener ? mp_listener->serverPort() : 0; }
    bool ListenObfuscated() { return ListenOn(mp_obfuscatedListener, true); }
    quint16 ObfuscatedPort() const {
        return mp_obfuscatedListener ? mp_obfuscatedListener->serverPort() : 0;
    }

    // Connects to 127.0.0.1:port, waits until connected, and makes the new
    // connection current. Its index is CurrentConnection() afterwards.
    bool ConnectTo(quint16 port, bool obfuscated = false);
    // Connections made from now on come from this loopback address, as from
    // another host (127.0.0.2 and up); 127.0.0.1 by default.
    void ComeFrom(const QHostAddress& address) { m_source = address; }
    // The same without waiting: writes are queued until the socket is up.
    // Returns the new connection's index, which becomes current.
    int ConnectToAsync(quint16 port, bool obfuscated = false);

    // Takes the oldest accepted connection not taken before, waiting for one,
    // and makes it current.
    bool WaitForIncoming(int timeoutMs = kDefaultWait);
    // Reads the first frame of the current connection as a set-up frame
    // (deobfuscated when the connection is). Fails on time-out, on a frame
    // longer than 4,096 bytes, or on a payload that does not parse; what it
    // consumed stays consumed.
    bool ReadSetUp(SetUp* out, int timeoutMs = kDefaultWait);
    bool ReadSetUp(QString* user, QString* kind, int timeoutMs = kDefaultWait);

    // Connection selection.
    int ConnectionCount() const { return int(m_connections.size()); }
    int CurrentConnection() const { return m_current; }
    // False for an index that does not exist.
    bool Select(int index) {
        m_current = At(index) ? index : m_current;
        return At(index) != nullptr;
    }
    bool IsObfuscated() const { return At(m_current) && At(m_current)->obfuscated; }
    bool IsConnected() const {
        return At(m_current) && At(m_current)->socket->state() == QAbstractSocket::ConnectedState;
    }

    // Writers on the current connection; each frame is obfuscated with a fresh
    // random key when the connection is. SendRaw writes the bytes as given.
    void SendSetUp(const QString& user, const QString& kind) { SendSetUpOn(m_current, user, kind); }
    void SendConnectBackAnswer(quint32 token) { Write(At(m_current), ConnectBackFrame(token)); }
    void SendMessage(quint32 code, const QByteArray& payload = QByteArray()) {
        SendMessageOn(m_current, code, payload);
    }
    void SendRaw(const QByteArray& bytes) { SendRawOn(m_current, bytes); }
    void SendSetUpOn(int index, const QString& user, const QString& kind);
    void SendMessageOn(int index, quint32 code, const QByteArray& payload = QByteArray());
    void SendRawOn(int index, const QByteArray& bytes);
    // Bytes written so far but not yet handed to the operating system.
    qint64 BytesToWrite() const {
        return At(m_current) ? At(m_current)->socket->bytesToWrite() : 0;
    }
    // Hands what the current connection was given to the system now, as far
    // as it takes it, without spinning the event loop.
    void Flush() {
        if (At(m_current))
            At(m_current)->socket->flush();
    }
    // Spins until every connection has written what it was given.
    bool WaitForWritten(int timeoutMs = kDefaultWait);

    // Readers on the current connection. WaitForMessage takes the next framed
    // message (deobfuscated when the connection is); false on time-out or on
    // a broken frame (bad length), which leaves the bytes unread.
    bool WaitForMessage(quint32* code, QByteArray* payload, int timeoutMs = kDefaultWait) {
        return WaitForMessageOn(m_current, code, payload, timeoutMs);
    }
    bool WaitForMessageOn(int index, quint32* code, QByteArray* payload,
                          int timeoutMs = kDefaultWait);
    // The payload of the next message with this code, skipping those before
    // it; "(none)" when none comes.
    QByteArray Take(quint32 code) {
        quint32 got = 0;
        QByteArray payload;
        while (WaitForMessage(&got, &payload))
            if (got == code)
                return payload;
        return "(none)";
    }
    // Exactly n raw bytes, or an empty array on time-out (consuming nothing).
    QByteArray ReadRaw(int n, int timeoutMs = kDefaultWait) {
        return ReadRawOn(m_current, n, timeoutMs);
    }
    QByteArray ReadRawOn(int index, int n, int timeoutMs = kDefaultWait);
    // Received bytes not yet read.
    qint64 BytesAvailable() const {
        return At(m_current) ? At(m_current)->input.size() - At(m_current)->start : 0;
    }
    // Waits until the other side closed the current connection; bytes it
    // sent before closing stay readable.
    bool WaitForDisconnect(int timeoutMs = kDefaultWait) {
        return WaitForDisconnectOn(m_current, timeoutMs);
    }
    bool WaitForDisconnectOn(int index, int timeoutMs = kDefaultWait);

    // Closes the current connection after writing what is queued.
    void Close() { CloseOn(m_current); }
    void CloseOn(int index);
    // Drops it at once (reset), discarding unwritten bytes.
    void Abort();
    void CloseAll();

    // The framing and the transform.
    static QByteArray Frame(quint32 code, const QByteArray& payload = QByteArray());
    // Set-up frame, code 1: str user, str kind, u32 token 0.
    static QByteArray SetUpFrame(const QString& user, const QString& kind);
    // Connect-back answer frame, code 0: u32 token.
    static QByteArray ConnectBackFrame(quint32 token);
    // A distributed-network frame as a "D" connection carries it: u32 length
    // (counting the code and payload), u8 code, payload.
    static QByteArray DFrame(quint8 code, const QByteArray& payload = QByteArray());
    // Little-endian integers, for the raw "F" token (u32) and offset (i64).
    static QByteArray U32(quint32 value);
    static QByteArray I64(qint64 value);
    // XORs the i-th 4-byte block with the key rotated right by i+1 bits (a
    // shorter last block with the low-order bytes). Its own inverse.
    static QByteArray Transform(const QByteArray& bytes, quint32 key);
    // A frame as it travels obfuscated: the u32 key, then the transformed frame.
    static QByteArray Obfuscate(const QByteArray& frame, quint32 key);
    // The inverse of Obfuscate: reads the key from the first 4 bytes and
    // returns the plain frame (empty when fewer than 4 bytes are given).
    static QByteArray Deobfuscate(const QByteArray& wire);
    // The bytes after the key, transformed back with the given key.
    static QByteArray Deobfuscate(const QByteArray& transformed, quint32 key) {
        return Transform(transformed, key);
    }

    // Spins the event loop until done() or the time-out; the result of done().
    static bool WaitUntil(const std::function<bool()>& done, int timeoutMs = kDefaultWait);

signals:
    // Something arrived, connected or closed; for waiting loops.
    void Activity();

private:
    struct Connection {
        QTcpSocket* socket = nullptr;
        QByteArray input;
        int start = 0;  // first unread byte of input
        bool obfuscated = false;
        bool incoming = false;
        bool closed = false;
    };

    Connection* At(int index) const;
    bool ListenOn(QTcpServer*& listener, bool obfuscated);
    int Add(QTcpSocket* socket, bool obfuscated, bool incoming);
    void OnNewConnection(QTcpServer* listener, bool obfuscated);
    void Write(Connection* connection, const QByteArray& frame);
    // Takes one whole frame (plain bytes, length field included) off the
    // input, waiting for it; false on time-out or a length out of range.
    bool TakeFrame(Connection* connection, quint32 maxLength, QByteArray* frame, int timeoutMs);

    QTcpServer* mp_listener = nullptr;
    QTcpServer* mp_obfuscatedListener = nullptr;
    std::vector<std::unique_ptr<Connection>> m_connections;
    QList<int> m_untakenIncoming;
    int m_current = -1;
    QHostAddress m_source;
};

#endif
