#ifndef TAVENOOK_NET_SOCKETQUEUE_H
#define TAVENOOK_NET_SOCKETQUEUE_H

// How much of our output the other end has not taken yet. What leaves a
// socket's own buffer only moves into the system's send queue, and the
// system wakes the writer again only once much of that queue has drained: a
// peer that reads slowly but steadily takes bytes from the system's queue
// for seconds while the socket's buffer does not shrink. Whoever asks
// whether a peer still reads looks at both.

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#ifdef __linux__
#include <linux/sockios.h>
#endif

#include <QAbstractSocket>

namespace SocketQueue {

// Bytes the system still holds for the socket, sent but not acknowledged
// included; 0 where the system does not tell.
inline qint64 InSystem(const QAbstractSocket* socket) {
#ifdef SIOCOUTQ
    const int descriptor = socket ? int(socket->socketDescriptor()) : -1;
    int queued = 0;
    if (descriptor != -1 && ::ioctl(descriptor, SIOCOUTQ, &queued) == 0 && queued > 0)
        return queued;
#else
    Q_UNUSED(socket);
#endif
    return 0;
}

// Whether the system is resending output it takes for lost, or holding back
// after losses: on a slow, congested link the other end's acknowledgements
// then stop for seconds, though it reads all that reaches it. A peer that
// reads nothing shuts its window instead, which is none of these. False
// where the system does not tell.
inline bool Recovering(const QAbstractSocket* socket) {
#if defined(__linux__) && defined(TCP_INFO)
    const int descriptor = socket ? int(socket->socketDescriptor()) : -1;
    tcp_info info{};
    socklen_t length = sizeof info;
    if (descriptor != -1 && ::getsockopt(descriptor, IPPROTO_TCP, TCP_INFO, &info, &length) == 0)
        return info.tcpi_ca_state != TCP_CA_Open || info.tcpi_retransmits > 0;
#else
    Q_UNUSED(socket);
#endif
    return false;
}

// Our output on the socket that the other end has not taken yet.
inline qint64 Unsent(const QAbstractSocket* socket) {
    return socket ? socket->bytesToWrite() + InSystem(socket) : 0;
}

// Follows one socket's unsent output, so that a look tells whether any of it
// reached the other end since the look before.
class Progress {
public:
    // Bytes just written to the socket: they are not taken for progress.
    void Added(qint64 bytes) { m_unsent += bytes; }
    // True when the other end took some of our output since the last look
    // (or since the first, which only sets the mark).
    bool Moved(const QAbstractSocket* socket) {
        const qint64 unsent = Unsent(socket);
        const bool moved = unsent < m_unsent;
        m_unsent = unsent;
        return moved;
    }
    // What the last look found unsent, written since included.
    qint64 Last() const { return m_unsent; }

private:
    qint64 m_unsent = 0;
};

}  // namespace SocketQueue

#endif
