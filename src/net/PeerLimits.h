#ifndef TAVENOOK_NET_PEERLIMITS_H
#define TAVENOOK_NET_PEERLIMITS_H

// Every bound of peer messaging in one place. The values are those of
// docs/protocol.md, "Peer connections", "Limits and time-outs".

#include <QtGlobal>
#include <cstddef>

namespace PeerLimits {

// Frame lengths count the code and the payload, not the length field itself.
// A peer message frame longer than this closes the connection.
constexpr quint32 kMaxFrameLength = 10485760;
// The first frame of a connection (set-up or connect-back answer).
constexpr quint32 kMaxSetUpLength = 4096;
// Shortest legal frame: the code alone.
constexpr quint32 kMinFrameLength = 4;
// Inflated size of a compressed payload (codes 5, 9, 37).
constexpr qint64 kMaxInflatedSize = qint64(64) * 1024 * 1024;

// Messages held for a user without a messaging connection, and our requests
// held on an open one for the user's budget; each counts its bytes plus the
// overhead. No count of messages: a folder of thousands of files queued at
// once is held whole and goes as the connection opens.
constexpr qint64 kMaxUnsentBytesPerUser = qint64(16) * 1024 * 1024;
constexpr qint64 kMaxUnsentBytesTotal = qint64(64) * 1024 * 1024;
constexpr qint64 kUnsentMessageOverhead = 64;
// How often requests held for a budget are looked at: the shortest refill.
constexpr int kSendPaceMs = 10;

// Accepted connections that have not finished their set-up (and, for an
// incoming "F", its 4-byte token). A newcomer past the cap closes the oldest
// of them, so that slow set-ups cannot lock real peers out; one whose set-up
// came but is unread because we are behind is read instead (at most
// kSetUpsReadNow a newcomer), so a newcomer costs a few system calls at most.
constexpr int kMaxUnidentifiedConnections = 256;
constexpr int kSetUpsReadNow = 8;
// Connections accepted per turn of the event loop; the rest wait for the
// next turn in the listener's backlog and the system's.
constexpr int kAcceptsPerTurn = 64;
// Set-up messaging connections held at once; a new one past the cap closes
// the one idle longest of those on which no message came and we wrote none
// (a set-up under a fresh name costs nothing), else the one idle longest. With the caps above and
// below, the messenger never holds more than about 1,400 descriptors.
constexpr int kMaxMessagingConnections = 1000;
// Outgoing attempts at once: our own pending connect requests plus the
// connect-backs we are making for others.
constexpr int kMaxOutgoingAttempts = 128;
// Distributed-network connections held at once, children and parent
// candidates each; children are also held to the capacity the server's
// figures give. A child only ever sends its depth, so its frames are small.
constexpr int kMaxDNetChildren = 100;
constexpr int kMaxDNetCandidates = 100;
constexpr quint32 kMaxDNetChildFrameLength = 4096;
// Frames from a parent or candidate: searches, levels and leaders.
constexpr quint32 kMaxDNetFrameLength = 64 * 1024;
// Descriptors kept free for the store, the logs and transfers when the
// process limit is too low for the connection caps; the soft limit is raised
// to the hard one, but no further than kWantedDescriptors.
constexpr int kReservedDescriptors = 100;
constexpr int kWantedDescriptors = 8192;

// Output not yet taken by the peer, per messaging connection: a peer that
// asks and never reads is closed rather than buffered for (three of the
// largest answers).
constexpr qint64 kMaxUnsentOutput = qint64(32) * 1024 * 1024;
// Output waiting for peers across all connections: what the sockets have not
// handed to the system yet plus the messages held for users without a
// connection. Search answers are optional and go only while they fit under
// it; share lists, folder contents and user info wait until they fit; other
// messages are not refused for it (each connection keeps kMaxUnsentOutput),
// so that users who never read cannot starve the others.
constexpr qint64 kMaxWaitingOutputTotal = qint64(48) * 1024 * 1024;
// Output of which the peer took nothing for this long, counting what it took
// from the system's send queue, marks a peer that does not read:
// it gets no optional answers, and its connection is closed to make room for
// one to a peer that reads. Not while the system resends lost output or backs
// off after losses: on a slow, congested link that alone lasts 5-11 s. After
// kStalledFrameMs it is closed in any case.
constexpr qint64 kStuckOutputMs = 5000;
// Output that has waited this long in our buffer gives way unless its peer
// reads steadily: while the cap above is full, its connection is closed,
// the longest waiting first, to make room for another user's, so that peers
// who read a little cannot hold the cap for good. A slow reader is served as
// long as nobody else needs the room; one that took at least
// kSteadyReadBytes a minute lately (a little less than the 10 KB/s of a
// slow DSL line), or at a pace that takes what waits for it within
// kOutputGivesWayMs, keeps its place. Large share lists go a piece at a
// time as the peer takes them, so a reader of one holds a piece of the cap,
// not the list.
constexpr qint64 kOutputGivesWayMs = 60000;
constexpr qint64 kSteadyReadBytes = 540 * 1024;
// Stuck and slow output is looked at again (a system call or two) at most
// this often while room is made, and OutputRoom comes at most this often.
constexpr qint64 kLookAgainMs = 1000;
constexpr int kOutputRoomMs = 100;
// Room freed that way goes first to users none of whose connections gave
// way in the last kGaveWayMemoryMs, and among them to the one who asked
// last; a user refused room who does not ask again within kRoomWantedMs no
// longer waits for it. Each record is kept for at most kMaxRoomRecords users.
constexpr qint64 kGaveWayMemoryMs = 600000;
// A connection closed, for whatever reason, while its output was stuck
// leaves its user marked as one who does not read for this long, or until
// output of ours moves for them on another, so that a peer cannot clear the
// mark by letting us close and connect again. Meanwhile one optional answer
// goes now and then, kDeafTrialMs after the mark and after the one before,
// and only while nothing of ours waits for them: a user who reads again
// takes it and is answered as before, one who does not costs one answer a
// connection. A connection whose user the server did not name (set-up names
// are unchecked: a stranger could mark anyone) marks more lightly: an answer
// goes whenever nothing of ours waits for the user, at once.
constexpr qint64 kDeafMemoryMs = 600000;
constexpr qint64 kDeafTrialMs = 20000;
constexpr qint64 kRoomWantedMs = 1000;
constexpr std::size_t kMaxRoomRecords = 4096;
// Requests that cost us work or output, per user and connection (a name in
// a set-up is the peer's word: a stranger under it spends his own): each
// kind has a budget of
// `burst` that refills continuously, by one every `refillMs`. One past it
// waits (up to `wait` of its kind per user, in the order asked) and is
// handled once the budget has refilled by one; the same request as the last
// one waiting is answered by it. Past `wait`, or past the bytes below, a
// queue request is denied ("Too many files", kQueueDenials), any other
// dropped and counted
// (logged at most once per kDroppedRequestLogMs, with the count); so is what
// waits for a user no longer connected when its turn comes. Bursts are what
// an honest client sends at once (a folder download asks for every
// subfolder, or queues every file; our client asks the place of every
// queued download at once); the pace is what it keeps up. Our own client
// sends no faster than these budgets take, so a peer running our code
// takes every request; the waits are for other clients' bursts.
struct RequestBudget {
    quint32 code;
    int burst;
    qint64 refillMs;
    int wait;
};
constexpr RequestBudget kRequestBudgets[] = {
    {4, 10, 2000, 1},      // share list
    {15, 50, 1000, 1},     // user info
    {36, 100, 100, 1000},  // folder contents
    {40, 200, 10, 1000},   // transfer request
    {43, 200, 10, 1000},   // queue upload
    {51, 100, 100, 1000},  // place in line
};
// Queue requests past their budget and wait are told no at most this fast
// per user; past it they are dropped, so that a flood under one name costs
// no more answers than the budget lets in (each answer looks up the user's
// connection), and an honest burst of 1,400 files is answered at once.
constexpr RequestBudget kQueueDenials = {43, 200, 10, 0};
// A request naming one of our files or folders (queue 43, place in line 51,
// folder contents 36, a transfer request 40 asking us to send) whose name is
// longer than this is dropped unanswered: no shared path is that long (a
// path the system opens holds at most 4,096 bytes), so it cannot name a file
// of ours, and its answer would echo the name.
constexpr quint32 kMaxRequestedNameBytes = 8192;
// Replies to a peer's requests (denials, places in line, transfer answers)
// held by us and not yet taken by the system: at most this much per
// connection, and in all unless the connection holds none. Past it a reply
// is dropped and counted, so that however long the names and whether or not
// the peer reads, what its requests make us hold stays small and leaves the
// cap on waiting output to others' answers. The system takes a reader's at
// once; the bound per connection holds an honest burst (200 queue requests
// told no) whole.
constexpr qint64 kMaxReplyBytesPerPeer = 256 * 1024;
constexpr qint64 kMaxReplyBytesTotal = qint64(8) * 1024 * 1024;
// Bytes of requests waiting for their budget, per user and in all; each
// counts its payload plus the overhead.
constexpr qint64 kMaxWaitingRequestBytesPerUser = qint64(1) * 1024 * 1024;
constexpr qint64 kMaxWaitingRequestBytesTotal = qint64(64) * 1024 * 1024;
constexpr qint64 kWaitingRequestOverhead = 64;
// Budgets kept past which the one used longest ago goes even when not full.
constexpr int kMaxKeptBudgets = 200000;
// Main-thread time for waiting requests, and for the frames of one
// connection, per turn of the event loop: the rest waits for the next turn.
constexpr qint64 kRequestSliceMs = 5;
constexpr qint64 kReadSliceMs = 2;
constexpr qint64 kDroppedRequestLogMs = 10000;
// Share lists (code 5) are taken only from users we asked, one per request
// not yet answered (at most this many per user), for this many users; past
// it one user's are forgotten. A list nobody asked for is
// dropped unread.
constexpr int kMaxListsAskedPerUser = 16;
constexpr int kMaxListsAsked = 10000;
// Answers a user asked for (share list, folder contents, user info): one of
// each kind per user waits in our output at a time. A request that comes
// while one waits is not made again; they also wait for room under
// kMaxWaitingOutputTotal.
// Folder requests waiting to be answered, per user, and their bytes (the
// folder name plus the overhead) per user and in all; past them they are
// dropped. The budget above lets in fewer than that while answers go.
constexpr int kMaxFolderRequestsPerUser = 1000;
constexpr qint64 kMaxFolderRequestBytesPerUser = qint64(1) * 1024 * 1024;
constexpr qint64 kMaxFolderRequestBytesTotal = qint64(64) * 1024 * 1024;
// Main-thread time for folder answers: per turn of the event loop, and per
// second in all.
constexpr qint64 kFolderAnswerSliceMs = 10;
constexpr qint64 kFolderAnswerMsPerSecond = 200;
// Incomplete incoming frames buffered across all messaging connections; past
// it the connection holding the largest one is closed.
constexpr qint64 kMaxPartialFramesTotal = qint64(256) * 1024 * 1024;
// Search results stored per request: from one user, and from all together.
constexpr int kMaxSearchResultsPerUser = 5000;
constexpr int kMaxSearchResultsPerRequest = 100000;

// Time-outs, counted in ticks of the shared 30-second timer. A count of n
// means the n-th tick after the start ends it, so it lasts between (n - 1)
// and n ticks.
// A connect-back we make must have connected.
constexpr int kSetUpTicks = 2;
// A direct attempt: waiting for the peer's address, then for the connect.
constexpr int kDirectAttemptTicks = 2;
// A connect-back request through the server.
constexpr int kIndirectRequestTicks = 3;
// A messaging connection without traffic in either direction.
constexpr int kIdleTicks = 10;

// Milliseconds, checked every kDeadlineCheckMs by a timer of the messenger's
// own. From the accept (or our connect-back's connect) to a finished set-up
// and, for "F", the token.
constexpr qint64 kSetUpMs = 10000;
// A message only the user herself may send, on a connection the server did
// not vouch for, waits this long at most for the server to give the
// address of her name; past it the connection counts as a stranger's.
constexpr qint64 kAddressCheckMs = 10000;
// Connections held for such a check, from one address and in all, and the
// bytes they hold (the message, the name, the overhead). A new one past a
// cap ends the oldest check of its own address, or, past the caps in all,
// of the address holding the most: that connection counts as a stranger's.
// Names cost nothing, so a flood of fresh ones ends its own checks and
// leaves those of other addresses be; the per-address caps are far above
// what one host's honest users have waiting at once.
constexpr int kMaxChecksPerAddress = 32;
constexpr int kMaxChecks = 256;
constexpr qint64 kMaxCheckBytesPerAddress = qint64(16) * 1024 * 1024;
constexpr qint64 kMaxCheckBytes = qint64(64) * 1024 * 1024;
constexpr qint64 kCheckOverhead = 64;
// Questions to the server for such checks not yet answered; the next goes
// as one is answered (or after half of kAddressCheckMs, as lost, its name asked again while
// checked), the source addresses of the checks waiting each in turn, so that an address's newcomer
// asks after at most one question of each other address. None goes while the server link holds more
// than kMaxServerBacklog unsent.
constexpr int kMaxAddressQuestions = 16;
constexpr qint64 kMaxServerBacklog = 1024 * 1024;
// An address from which a connection answered a token we issued for a user
// is hers too, while the server gives the address it gave then (a user with
// two lines): the newest kMaxAnsweredAddresses per user, for at most
// kMaxRoomRecords users. A token stays known for kIssuedTokenMs after its
// request ended, the kMaxIssuedTokens newest: a messaging connection that
// answers it late is hers, though another answered first.
constexpr std::size_t kMaxAnsweredAddresses = 4;
constexpr qint64 kIssuedTokenMs = 120000;
constexpr std::size_t kMaxIssuedTokens = 4096;
// Messages written on our connect-back before the peer spoke on it are
// kept, up to this many bytes per connection, and sent again on her next
// connection when she closes it within kSetUpMs of its set-up.
constexpr qint64 kMaxUnheardBytes = 256 * 1024;
// A messaging connection in the middle of a frame that delivers fewer than
// kStalledFrameBytes in kStalledFrameMs is closed; a slow link still carries
// a large share list at that pace.
constexpr qint64 kStalledFrameBytes = 1024;
constexpr qint64 kStalledFrameMs = 60000;
constexpr int kDeadlineCheckMs = 1000;

// Bytes taken from a socket per read, so that a burst cannot make a reader
// hold more than one frame and one chunk.
constexpr qint64 kReadChunk = 64 * 1024;
// What a "P" connection's socket holds read from the system and not yet
// taken; past it TCP holds the rest back.
constexpr qint64 kMessagingReadBuffer = 256 * 1024;

constexpr quint16 kDefaultListeningPort = 2235;
constexpr quint16 kDefaultObfuscatedListeningPort = 2236;

}  // namespace PeerLimits

#endif
