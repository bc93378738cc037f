#include <sys/ioctl.h>

#include <QTcpSocket>

#include "net/PeerConnection.h"
#include "net/PeerMessenger.h"

// What a user sent that we have not read yet. Only that user's connections
// are looked at, a few calls each.

qint64 PeerMessenger::UnreadBytesFrom(const QString& user) const {
    const auto ids = m_messagingByUser.find(user);
    if (ids == m_messagingByUser.end())
        return 0;
    qint64 unread = 0;
    for (const quint64 id : ids->second) {
        const ConnectionPtr c = FindConnection(id);
        // Only her own: a stranger's bytes under her name keep nothing of hers waiting.
        if (!c || c->closed || !c->socket || !c->vouched)
            continue;
        unread +=
            c->reader.BufferedBytes() + c->decoder.BufferedBytes() + c->socket->bytesAvailable();
        // Bytes the socket has not fetched yet, when its notice waits in a
        // busy event loop or its buffer is full.
        int waiting = 0;
        const int descriptor = int(c->socket->socketDescriptor());
        if (descriptor != -1 && ::ioctl(descriptor, FIONREAD, &waiting) == 0 && waiting > 0)
            unread += waiting;
    }
    return unread;
}
