#ifndef TAVENOOK_NET_LOWDELAY_H
#define TAVENOOK_NET_LOWDELAY_H

// Messages to the server and to peers are small and mostly answered at once.
// Left to TCP's defaults, a small message waits for the acknowledgement of
// the one before it (Nagle), and the other end holds that acknowledgement back
// for up to 40 ms; a download's negotiation paid that several times over.

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <QAbstractSocket>

namespace LowDelay {

// Our small messages leave at once. Takes effect only on a socket that has
// a descriptor, so a connecting socket needs it again once connected.
inline void SendAtOnce(QAbstractSocket* socket) {
    if (socket && socket->socketDescriptor() != -1)
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
}

// What we received is acknowledged at once, so a peer or server that holds
// its next small message back until then is not kept waiting. The kernel
// drops the mode again by itself, so it is asked for at every read.
inline void AcknowledgeAtOnce(QAbstractSocket* socket) {
#ifdef TCP_QUICKACK
    const int descriptor = socket ? int(socket->socketDescriptor()) : -1;
    const int on = 1;
    if (descriptor != -1)
        ::setsockopt(descriptor, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
#else
    Q_UNUSED(socket);
#endif
}

}  // namespace LowDelay

#endif
