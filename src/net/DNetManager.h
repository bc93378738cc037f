#ifndef TAVENOOK_NET_DNETMANAGER_H
#define TAVENOOK_NET_DNETMANAGER_H

#include <QAbstractSocket>
#include <QDateTime>
#include <QObject>
#include <QString>
#include <functional>
#include <list>
#include <map>
#include <utility>

#include "net/TCPAddress.h"
#include "store/Data.h"
#include "store/MemStream.h"

class QTcpSocket;

// The client's place in the distributed search tree: connects to the possible
// parents the server names, adopts the first one that sends a search, passes
// searches to the shares through DNetSearchRequest, relays every relay frame
// byte for byte to the children, and keeps the server told about its parent,
// level, group leader, capacity and child depth.
//
// Frames on "D" connections: u32 little-endian length (code + payload), u8
// code, payload. State lives in non-saved store types ("dnet_*"); sockets are
// named there by their address. Main thread only.
class DNetManager : public QObject, public DataHandler {
    Q_OBJECT

public:
    static constexpr const char* kArea = "Distributed Network";
    // Levels beyond this are not a real tree: the frame closes the connection.
    static constexpr qint32 kMaxLevel = 1000;
    // A child whose unsent relays exceed this is cut off rather than buffered.
    static constexpr qint64 kMaxChildBacklog = qint64(16) * 1024 * 1024;

    // Sets `dnetManager`, declares the store types and connects to the server
    // connection, the peer messenger, the half-minute timer and the shares'
    // search answer, each when it exists.
    explicit DNetManager(QObject* parent = nullptr);
    ~DNetManager() override;

    // A frame (read position at its code) from the parent, a candidate or,
    // with a null socket, the server.
    void HandleMessage(QTcpSocket* ip_socket, MemStream& i_message);
    void HandleChildMessage(QTcpSocket* ip_socket, MemStream& i_message);
    // Writes the frame as u32 length + the buffer up to the write position.
    void SendMessageToChildren(MemStream& i_message);
    void DetermineCanParent();
    void DetermineChildDepth();
    // Children held at most: the server's figures against our upload speed,
    // and never more than the hard cap.
    qint64 ChildCapacity() const;

    // Views of the state, for the diagnostics and tests.
    bool CanParent() const { return m_canParent; }
    bool HasParent() const;
    int Level() const;  // -1 when unknown
    QString GroupLeader() const;
    int ChildDepth() const;

    // The clock behind the parent-silence time-out; tests replace it.
    void SetClock(std::function<QDateTime()> i_clock) { m_clock = std::move(i_clock); }

public slots:
    void OnDNetParentMinSpeed(int i_speed);
    void OnDNetParentSpeedConnectionRatio(int i_ratio);
    void OnDNetPossibleParents(std::list<std::pair<QString, TCPAddress>>& i_parents);
    void OnDNetMessage(MemStream& i_message);
    void OnDNetDeliveryReport(int i_request);
    void OnDNetReset();
    void OnDNetConnectionAccepted(QString i_user, QTcpSocket* ip_socket);
    void OnDNetConnectionRequested(QString i_user, QTcpSocket* ip_socket);
    void OnConnected();
    void EveryHalfMinute();

signals:
    void DNetSearchRequest(QString user, quint32 req, QString searchText);

private slots:
    void OnSocketReadyToRead();
    void OnSocketError(QAbstractSocket::SocketError);
    void OnSocketClosed();
    void OnChildSocketReadyToRead();
    void OnChildSocketError(QAbstractSocket::SocketError);
    void OnChildSocketClosed();

private:
    void OnReceivedOwnUploadSpeed(ItemPtr);
    void ReadFrames(QTcpSocket* ip_socket, bool i_child);
    void ParentSocketClosed(QTcpSocket* ip_socket);
    void ChildSocketClosed(QTcpSocket* ip_socket);
    void ConnectParentSlots(QTcpSocket* ip_socket);
    void ConnectChildSlots(QTcpSocket* ip_socket);
    void DropSocket(QTcpSocket* ip_socket);
    void Adopt(QTcpSocket* ip_socket);
    // Closes connections whose incomplete frame has not grown by the stall
    // minimum within the stall window.
    void CloseStalledFrames(const QDateTime& i_now);
    void SendLevelFrame(int i_level, QTcpSocket* ip_only = nullptr);
    void SendLeaderFrame(const QString& i_leader, QTcpSocket* ip_only = nullptr);
    void WriteFrame(QTcpSocket* ip_socket, const MemStream& i_message);
    QTcpSocket* ParentSocket() const;
    ItemPtr CandidateOf(QTcpSocket* ip_socket) const;
    ItemPtr ChildOf(QTcpSocket* ip_socket) const;

    static bool HasState(const char* i_key);
    static QString State(const char* i_key);
    static void SetState(const char* i_key, const Value& i_value);
    static void ClearState(const char* i_key);

    MemStream m_message;
    int m_parentMinSpeed = -1;
    int m_parentSpeedConnectionRatio = -1;
    bool m_canParent = false;
    QDateTime m_lastSearchTime;
    // Sockets in the middle of a frame: when the window began, bytes then.
    std::map<QTcpSocket*, std::pair<QDateTime, qint64>> m_partial;
    std::function<QDateTime()> m_clock;
};

extern DNetManager* dnetManager;

#endif
