#ifndef TAVENOOK_NET_PEERCONNECTION_H
#define TAVENOOK_NET_PEERCONNECTION_H

// The messenger's record of one peer connection, shared by its source files.

#include <QByteArray>
#include <QString>
#include <QTcpSocket>
#include <deque>
#include <list>
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
    // Its user is the one the server named: we connected to the address the
    // server gave for them, or it answered with a token we issued for them.
    // An incoming set-up's name is the peer's word only.
    bool vouched = false;
    // Its address was held against the ones that are hers: a message only
    // she may send waits in `held` meanwhile (reading paused). Whom it
    // speaks for is answered by Stranger() alone, so that the server's word,
    // however late, makes it hers for everything.
    enum Check { Unchecked, Checking, Checked };
    Check check = Unchecked;
    bool Stranger() const { return check == Checked && !vouched; }
    QByteArray held;
    quint32 heldCode = 0;
    quint32 peerIp = 0;
    // Direct: our request's token. Connect-back: the peer's request token.
    quint32 token = 0;
    int ticks = 0;
    quint64 readyOrder = 0;
    // A message arrived on it.
    bool heard = false;
    // Our connect-back, until the peer speaks on it: copies of the messages
    // we wrote on it, sent again on her next connection when she turns it
    // down at once (a peer whose own attempt to reach us won meanwhile may
    // close it unread). Set-up when it became a messaging connection.
    std::deque<QByteArray> unheard;
    qint64 unheardBytes = 0;
    qint64 messagingSince = 0;
    // Incoming and its set-up or token not read yet: counted in the
    // messenger's order of those by age.
    bool unidentified = false;
    // Messaging and a message came on it or we wrote one: in use, not only
    // a hello. Its place in the messenger's order of idleness.
    bool inUse = false;
    bool idleListed = false;
    std::list<quint64>::iterator idlePlace;
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
    // Bytes written to the socket in all.
    qint64 written = 0;
    // What the peer had taken of our output at two looks about
    // kOutputGivesWayMs apart: its pace of reading (-1: no look yet).
    qint64 drainAt = -1, drainBytes = 0, drainPrevAt = -1, drainPrevBytes = 0;
    // When a look last judged whether its output is stuck, and how.
    qint64 lookedAt = -1;
    bool lookedStuck = false;
    // Messages behind a large answer that goes a piece at a time, as the
    // peer takes it, that answer first. A shared one's bytes are kept for
    // others too, so only its piece in the socket counts as ours.
    struct Pending {
        QByteArray body;
        qint64 sent = 0;  // bytes of its frame written
        bool shared = false;
        quint32 answer = 0;  // the answer's code, 0 for none
        quint32 key = 0;     // obfuscation key
        bool reply = false;  // counted in replyBytes
    };
    std::deque<Pending> pending;
    qint64 pendingOwn = 0;
    // Output of ours it holds as counted into the messenger's total, and
    // its keys in the orders of waiting output (-1: not in them).
    qint64 counted = 0;
    qint64 quietKey = -1;
    qint64 ageKey = -1;
    // By message code: bytes of output up to the end of the last answer
    // SendAnswer wrote that the system has not taken yet.
    std::map<quint32, qint64> answersUnwritten;
    // Replies to the peer's requests held by us: their bytes, and for those
    // in the socket's buffer where each ends in the count of bytes written.
    qint64 replyBytes = 0;
    std::deque<std::pair<qint64, qint64>> replies;
    // Frames are left for a later turn; the peer closed meanwhile.
    bool readPaused = false;
    bool closeWhenRead = false;
    FrameReader reader{PeerLimits::kMaxFrameLength};
    ObfuscationDecoder decoder{PeerLimits::kMaxSetUpLength};
};

#endif
