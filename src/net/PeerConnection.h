#ifndef TAVENOOK_NET_PEERCONNECTION_H
#define TAVENOOK_NET_PEERCONNECTION_H

// The messenger's record of one peer connection, shared by its source files.

#include <QString>
#include <QTcpSocket>
#include <map>

#include "net/FrameReader.h"
#include "net/Obfuscation.h"
#include "net/OutputAge.h"
#include "net/PeerLimits.h"
#include "net/PeerMessenger.h"
#include "net/SocketQueue.h"

enum Origin {
    OriginIncoming,     // accepted on one of our ports
    OriginDirect,       // we connect on our own for one of our requests
    OriginConnectBack,  // we connect because the peer asked through the server
};

struct PeerMessenger::Connection {
    enum State {
        Connecting,  // outgoing, TCP connect running
        AwaitSetUp,  // incoming, set-up frame not yet read
        AwaitToken,  // "F" we did not open: its 4 token bytes not yet read
        Messaging    // "P", set up
    };

    quint64 id = 0;
    QTcpSocket* socket = nullptr;
    int origin = OriginIncoming;
    State state = AwaitSetUp;
    bool obfuscated = false;
    bool closed = false;
    QString user;
    QString kind;
    // Direct: our request's token. Connect-back: the peer's request token.
    quint32 token = 0;
    int ticks = 0;
    quint64 readyOrder = 0;
    // A message arrived on it.
    bool heard = false;
    // Clock times (ms): set-up must be finished by setUpDeadline (0: none).
    qint64 setUpDeadline = 0;
    qint64 lastActivity = 0;
    // While in the middle of a frame: when the current window began (-1:
    // not in a frame) and the bytes read since.
    qint64 frameWindowStart = -1;
    qint64 frameWindowBytes = 0;
    // Bytes of an incomplete frame, as last counted into the shared budget.
    qint64 partialBytes = 0;
    // When the peer last took some of our unsent output, or it began to wait.
    qint64 outputMoved = 0;
    SocketQueue::Progress output;
    // How long what waits in the socket's buffer has waited.
    OutputAge outputAge;
    // By message code: bytes of output up to the end of the last answer
    // SendAnswer wrote that the system has not taken yet.
    std::map<quint32, qint64> answersUnwritten;
    bool answerWatched = false;
    // Frames are left for a later turn; the peer closed meanwhile.
    bool readPaused = false;
    bool closeWhenRead = false;
    FrameReader reader{PeerLimits::kMaxFrameLength};
    ObfuscationDecoder decoder{PeerLimits::kMaxSetUpLength};
};

#endif
