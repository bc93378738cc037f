#include <sys/ioctl.h>
#include <sys/socket.h>

#include <QTcpSocket>

#include "net/PeerConnection.h"
#include "net/PeerMessenger.h"

// What a user sent that we have not handled yet. Only that user's connections
// are looked at, a few calls each.

namespace {

// The first `n` bytes that follow what the reader holds: those in the
// socket's buffer come first, then the system's, which a peek leaves there.
QByteArray PeekAhead(QTcpSocket* socket, int n) {
    // Only what the socket's buffer holds: past it the socket would go to
    // the system itself.
    QByteArray ahead = socket->peek(qMin<qint64>(n, socket->bytesAvailable()));
    const int descriptor = int(socket->socketDescriptor());
    if (ahead.size() < n && descriptor != -1) {
        QByteArray more(n - ahead.size(), '\0');
        const ssize_t got =
            ::recv(descriptor, more.data(), std::size_t(more.size()), MSG_PEEK | MSG_DONTWAIT);
        if (got > 0)
            ahead += more.left(int(got));
    }
    return ahead;
}

// A whole frame waits among the reader's bytes and those behind them; a
// frame still coming is not one.
template <class Reader>
bool WholeFrameWaits(const Reader& reader, QTcpSocket* socket) {
    const qint64 buffered = reader.BufferedBytes();
    qint64 behind = socket->bytesAvailable();
    // Bytes the socket has not fetched yet, when its notice waits in a busy
    // event loop or its buffer is full.
    int waiting = 0;
    const int descriptor = int(socket->socketDescriptor());
    if (descriptor != -1 && ::ioctl(descriptor, FIONREAD, &waiting) == 0 && waiting > 0)
        behind += waiting;
    if (buffered + behind < Reader::kHeaderBytes)
        return false;
    const QByteArray after = buffered < Reader::kHeaderBytes
                                 ? PeekAhead(socket, int(Reader::kHeaderBytes - buffered))
                                 : QByteArray();
    const qint64 size = reader.NextFrameSize(after);
    return size >= 0 && buffered + behind >= size;
}

}  // namespace

bool PeerMessenger::MessageUnreadFrom(const QString& user) const {
    const auto ids = m_messagingByUser.find(user);
    if (ids == m_messagingByUser.end())
        return false;
    for (const quint64 id : ids->second) {
        const ConnectionPtr c = FindConnection(id);
        // Only her own: a stranger's bytes under her name keep nothing of hers waiting.
        if (!c || c->closed || !c->socket || !c->vouched)
            continue;
        // One of hers held for the address check.
        if (c->check == Connection::Checking)
            return true;
        if (c->obfuscated ? WholeFrameWaits(c->decoder, c->socket)
                          : WholeFrameWaits(c->reader, c->socket))
            return true;
    }
    return false;
}
