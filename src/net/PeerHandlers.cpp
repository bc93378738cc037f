#include <QtEndian>
#include <algorithm>

#include "net/PeerConnection.h"
#include "net/PeerLimits.h"
#include "net/PeerMessenger.h"
#include "net/PeerPayloads.h"
#include "net/server.h"
#include "store/Log.h"

// Receiving on "P" connections. Each handler reads the whole message before
// it acts; what a peer can send costs us little whoever sends it.

namespace {

const char* const kArea = "Peer Messenger";

// Sizes are file sizes: a negative one is not a size.
bool ReadSize(MemStream& in, qint64& size) {
    return in.Read(size) && size >= 0;
}

// The lines of drops counted, for each drop that is due one and for those
// held since (FlushDropLines).
void LogMalformed(int n, const QString& user, quint32 code) {
    Log(kArea, 1,
        QString("%1 malformed messages dropped, the last %2 from %3.").arg(n).arg(code).arg(user));
}

void LogIgnored(int n, const QString& user, quint32 code) {
    Log(kArea, 2,
        QString("%1 messages of codes we do not take ignored, the last %2 from %3.")
            .arg(n)
            .arg(code)
            .arg(user));
}

void LogUnaskedLists(int n, const QString& user, quint32) {
    Log(kArea, 2,
        QString("%1 share lists nobody asked for dropped, the last from %2.").arg(n).arg(user));
}

// Code 0 stands for a file connection.
void LogStrangers(int n, const QString& user, quint32 code) {
    Log(kArea, 1,
        QString("%1 messages only a user may send came from another address than hers, "
                "refused; the last %2 under %3.")
            .arg(n)
            .arg(code ? QString("code %1").arg(code) : QString("a file connection"))
            .arg(user));
}

void LogUnknownResults(int n, const QString& user, quint32 token) {
    Log(kArea, 2,
        QString("%1 search replies for searches not ours dropped, the last from %2 (token %3).")
            .arg(n)
            .arg(user)
            .arg(token));
}

}  // namespace

void PeerMessenger::FlushDropLines(qint64 now) {
    int n = 0;
    QString user;
    quint32 code = 0;
    if (m_droppedRequests.Held(now, n, user, code))
        LogDroppedRequests(n, user, code);
    if (m_deniedRequests.Held(now, n, user, code))
        LogDeniedRequests(n, user);
    if (m_droppedUnsent.Held(now, n, user, code))
        LogUnsentDropped(n, user, code);
    if (m_malformedMessages.Held(now, n, user, code))
        LogMalformed(n, user, code);
    if (m_ignoredMessages.Held(now, n, user, code))
        LogIgnored(n, user, code);
    if (m_unaskedLists.Held(now, n, user, code))
        LogUnaskedLists(n, user, code);
    if (m_unknownResults.Held(now, n, user, code))
        LogUnknownResults(n, user, code);
    if (m_droppedReplies.Held(now, n, user, code))
        LogDroppedReplies(n, user, code);
    if (m_longNames.Held(now, n, user, code))
        LogLongNames(n, user, code);
    if (m_strangers.Held(now, n, user, code))
        LogStrangers(n, user, code);
    if (m_optionalRefused > 0 && m_optionalLoggedAt >= 0 &&
        now - m_optionalLoggedAt >= kOptionalLogMs) {
        Log(kArea, 1,
            QString("%1 optional messages dropped since: no room under the output cap, or "
                    "their users do not read what we send.")
                .arg(m_optionalRefused));
        m_optionalRefused = 0;
        m_optionalLoggedAt = now;
    }
}

bool PeerMessenger::Malformed(const QString& user, quint32 code) {
    int unlogged = 0;
    if (m_malformedMessages.Drop(Now(), unlogged, user, code))
        LogMalformed(unlogged, user, code);
    return true;
}

void PeerMessenger::HandleMessage(const QString& user, quint32 code, MemStream& payload) {
    Dispatch(user, code, payload);
}

void PeerMessenger::LogLongNames(int n, const QString& user, quint32 code) {
    Log(kArea, 1,
        QString("%1 requests naming no file a share can hold (the name too long) dropped, the "
                "last code %2 from %3.")
            .arg(n)
            .arg(code)
            .arg(user));
}

bool PeerMessenger::NamePastShares(quint32 code, const MemStream& payload) const {
    const char* bytes = payload.GetBuffer() + payload.GetReadPos();
    const qint64 size = payload.BytesLeft();
    const auto u32At = [&](qint64 at, quint32& value) {
        if (at + 4 > size)
            return false;
        value = qFromLittleEndian<quint32>(bytes + at);
        return true;
    };
    qint64 at = -1;
    quint32 direction = 0;
    switch (code) {
        case PM_QUEUE_UPLOAD:
        case PM_UPLOAD_PLACE_IN_LINE_REQUEST:
            at = 0;
            break;
        case PM_GET_SHARED_FILES_IN_FOLDER:
            at = 4;
            break;
        case PM_TRANSFER_REQUEST:
            // Only one asking us to send names a file of ours.
            if (u32At(0, direction) && direction == 0)
                at = 8;
            break;
        default:
            break;
    }
    quint32 length = 0;
    return at >= 0 && u32At(at, length) && length > PeerLimits::kMaxRequestedNameBytes;
}

bool PeerMessenger::Dispatch(const QString& user, quint32 code, MemStream& payload) {
    // Held by nothing and answered by nothing: its answer would echo it.
    if (NamePastShares(code, payload)) {
        int unlogged = 0;
        if (m_longNames.Drop(Now(), unlogged, user, code))
            LogLongNames(unlogged, user, code);
        return true;
    }
    if (!AdmitRequest(user, code, payload))
        return true;
    return Handle(user, code, payload);
}

quint32 PeerMessenger::PeerIp(const QTcpSocket* socket) {
    bool ok = false;
    const quint32 ip = socket ? socket->peerAddress().toIPv4Address(&ok) : 0;
    return ok ? ip : 0;
}

bool PeerMessenger::NeedsHer(quint32 code) {
    switch (code) {
        // Answers to what we asked her, and notices about our transfers
        // with her.
        case PM_SHARED_FILE_LIST:
        case PM_USER_INFO_REPLY:
        case PM_TRANSFER_RESPONSE:
        case PM_UPLOAD_PLACE_IN_LINE:
        case PM_UPLOAD_FAILED:
        case PM_UPLOAD_DENIED:
        // Offers and queue requests: they change what we hold for her.
        case PM_TRANSFER_REQUEST:
        case PM_QUEUE_UPLOAD:
        case PM_QUEUE_DOWNLOAD_REQUEST:
        // Her place in our line is hers to know.
        case PM_UPLOAD_PLACE_IN_LINE_REQUEST:
            return true;
        default:
            return false;
    }
}

bool PeerMessenger::NeedsCheck(const QString& user, quint32 code) const {
    if (NeedsHer(code))
        return true;
    // What she is shown of our shares: a stranger under her name gets what
    // any stranger gets, so only names shown more cost a check.
    return (code == PM_SHARED_FILE_LIST_REQUEST || code == PM_GET_SHARED_FILES_IN_FOLDER) &&
           m_shownMoreOwner && m_shownMore && m_shownMore(user);
}

bool PeerMessenger::CheckAddress(const ConnectionPtr& c, quint32 code, const MemStream& payload) {
    if (c->vouched || c->check != Connection::Unchecked || !NeedsCheck(c->user, code))
        return false;
    // Nobody to ask: the name is all there is, as it always was.
    if (!gp_server || !gp_server->IsConnected())
        return false;
    // The server gives IPv4 addresses only: one from elsewhere is not hers.
    if (c->peerIp == 0) {
        c->check = Connection::Checked;
        return false;
    }
    // The message waits, and reading stops behind it, so that order holds
    // and a connection holds one message at most meanwhile.
    c->check = Connection::Checking;
    c->heldCode = code;
    c->held = QByteArray(payload.GetBuffer() + payload.GetReadPos(), int(payload.BytesLeft()));
    m_checks[c->user].push_back(c->id);
    m_checkDeadlines.emplace_back(Now() + PeerLimits::kAddressCheckMs, c->id);
    HoldCheck(c);
    AskAddresses();
    return true;
}

void PeerMessenger::AskAgain() {
    // The questions went on a link gone since: every name still checked is
    // asked again, so that every check ends with the server asked.
    m_questions.clear();
    m_questionOrder.clear();
    m_askTurns.clear();
    for (auto& held : m_heldChecks) {
        held.second.inTurn = true;
        m_askTurns.push_back(held.first);
    }
    AskAddresses();
}

void PeerMessenger::Unwait(const Connection& c) {
    const auto waiting = m_checks.find(c.user);
    if (waiting == m_checks.end())
        return;
    auto& ids = waiting->second;
    ids.erase(std::remove(ids.begin(), ids.end(), c.id), ids.end());
    if (ids.empty()) {
        m_checks.erase(waiting);
        m_askedAt.erase(c.user);
    }
}

bool PeerMessenger::AddressIsHers(const QString& user, quint32 ip, quint32 server) const {
    if (ip == 0 || server == 0)
        return false;
    if (ip == server)
        return true;
    const auto answered = m_answeredFrom.find(user);
    return answered != m_answeredFrom.end() && answered->second.server == server &&
           std::find(answered->second.ips.begin(), answered->second.ips.end(), ip) !=
               answered->second.ips.end();
}

bool PeerMessenger::ServerIp(const QString& user, quint32& ip) const {
    const auto said = m_serverSaid.find(user);
    if (said == m_serverSaid.end())
        return RecordedIp(user, ip);
    ip = said->second;
    return true;
}

void PeerMessenger::ServerSaid(const QString& user, quint32 ip) {
    const auto said = m_serverSaid.find(user);
    if (said != m_serverSaid.end()) {
        said->second = ip;
        return;
    }
    if (m_serverSaid.size() >= PeerLimits::kMaxRoomRecords)
        m_serverSaid.erase(m_serverSaid.begin());
    m_serverSaid.emplace(user, ip);
}

bool PeerMessenger::AddressIsHers(const QString& user, quint32 ip) const {
    quint32 server = 0;
    return ServerIp(user, server) && AddressIsHers(user, ip, server);
}

void PeerMessenger::AnsweredFrom(const QString& user, quint32 ip) {
    quint32 server = 0;
    if (ip == 0 || !ServerIp(user, server) || server == 0 || ip == server)
        return;
    auto found = m_answeredFrom.find(user);
    if (found == m_answeredFrom.end()) {
        if (m_answeredFrom.size() >= PeerLimits::kMaxRoomRecords)
            m_answeredFrom.erase(m_answeredFrom.begin());
        found = m_answeredFrom.emplace(user, Answered{server, {}}).first;
    }
    Answered& a = found->second;
    if (a.server != server) {
        a.server = server;
        a.ips.clear();
    }
    if (std::find(a.ips.begin(), a.ips.end(), ip) != a.ips.end())
        return;
    // A few lines of hers are kept, the newest.
    if (a.ips.size() >= PeerLimits::kMaxAnsweredAddresses)
        a.ips.erase(a.ips.begin());
    a.ips.push_back(ip);
    VouchByAddress(user, server);
}

void PeerMessenger::VouchByAddress(const QString& user, quint32 server) {
    const auto ids = m_messagingByUser.find(user);
    if (server == 0 || ids == m_messagingByUser.end())
        return;
    std::vector<ConnectionPtr> hers;
    for (const quint64 id : ids->second)
        if (const ConnectionPtr c = FindConnection(id))
            if (!c->vouched && AddressIsHers(user, c->peerIp, server))
                hers.push_back(c);
    for (const ConnectionPtr& c : hers)
        if (!c->closed)
            Vouch(c);
    // Their held messages are hers: handled now.
    for (const ConnectionPtr& c : hers)
        if (!c->closed && c->check == Connection::Checking) {
            Unwait(*c);
            EndCheck(c);
        }
}

void PeerMessenger::EndChecks(const QString& user, quint32 server) {
    const auto it = m_checks.find(user);
    if (it == m_checks.end())
        return;
    const std::vector<quint64> ids = std::move(it->second);
    m_checks.erase(it);
    m_askedAt.erase(user);
    // From an address the server does not give for her: she may yet prove
    // it hers by a token she alone is given; until then, or the deadline,
    // the message waits.
    std::vector<ConnectionPtr> ended;
    std::vector<quint64> proving;
    for (const quint64 id : ids)
        if (const ConnectionPtr c = FindConnection(id)) {
            if (!c->vouched && server != 0 && ProbeHer(user))
                proving.push_back(id);
            else
                ended.push_back(c);
        }
    if (!proving.empty()) {
        m_checks[user] = std::move(proving);
        m_askedAt[user] = Now();
    }
    for (const ConnectionPtr& c : ended)
        EndCheck(c);
}

void PeerMessenger::EndCheck(const ConnectionPtr& c) {
    if (c->check != Connection::Checking)
        return;
    c->check = Connection::Checked;
    ReleaseCheck(*c);
    MemStream payload(c->held);
    const quint32 code = c->heldCode;
    c->held.clear();
    DispatchFrom(c, code, payload);
    if (c->closed || c->readPaused)
        return;
    // What came behind it is read in a turn of its own, also when the peer
    // closed meanwhile.
    c->readPaused = true;
    m_pausedReads.push_back(c->id);
    if (!m_resumeTimer.isActive())
        m_resumeTimer.start(0);
}

void PeerMessenger::DispatchFrom(const ConnectionPtr& c, quint32 code, MemStream& payload) {
    const AskedOn asked(this, c->id, c->user);
    if (!Dispatch(c->user, code, payload) && !c->closed)
        Close(c, QString("bad message %1").arg(code));
}

void PeerMessenger::CountStranger(const QString& user, quint32 code) {
    int unlogged = 0;
    if (m_strangers.Drop(Now(), unlogged, user, code))
        LogStrangers(unlogged, user, code);
}

void PeerMessenger::RefuseStranger(const QString& user, quint32 code, MemStream& payload) {
    CountStranger(user, code);
    // Requests get their no on the connection that asked; the rest is dropped.
    const QString notShared = QStringLiteral("File not shared.");
    quint32 direction = 0, req = 0;
    QString file;
    if (code == PM_QUEUE_UPLOAD && payload.Read(file))
        DenyUpload(user, file, notShared);
    else if (code == PM_TRANSFER_REQUEST && payload.Read(direction) && payload.Read(req))
        DenyTransferRequest(user, req, direction == 1 ? QStringLiteral("Cancelled") : notShared);
}

bool PeerMessenger::Handle(const QString& user, quint32 code, MemStream& payload) {
    if (m_asker != 0 && NeedsHer(code)) {
        const ConnectionPtr c = FindConnection(m_asker);
        if (c && c->Stranger()) {
            RefuseStranger(user, code, payload);
            return true;
        }
    }
    switch (code) {
        case PM_SHARED_FILE_LIST_REQUEST:
            emit SharedFileListRequested(user);
            return true;
        case PM_SHARED_FILE_LIST:
            return HandleSharedFileList(user, payload);
        case PM_FILE_SEARCH_RESULT:
            return HandleSearchResults(user, payload);
        case PM_USER_INFO_REQUEST:
            emit UserInfoRequested(user);
            return true;
        case PM_USER_INFO_REPLY:
            return HandleUserInfoReply(user, payload);
        case PM_GET_SHARED_FILES_IN_FOLDER:
            return HandleGetSharedFilesInFolder(user, payload);
        case PM_SHARED_FILES_IN_FOLDER:
            // Nothing in this client asks for it; not inflated.
            IgnoreMessage(user, code);
            return true;
        case PM_TRANSFER_REQUEST:
            return HandleTransferRequest(user, payload);
        case PM_TRANSFER_RESPONSE:
            return HandleTransferResponse(user, payload);
        case PM_QUEUE_UPLOAD:
            return HandleQueueUpload(user, payload);
        case PM_UPLOAD_PLACE_IN_LINE:
            return HandleUploadPlaceInLine(user, payload);
        case PM_UPLOAD_FAILED:
            return HandleUploadFailed(user, payload);
        case PM_UPLOAD_DENIED:
            return HandleUploadDenied(user, payload);
        case PM_UPLOAD_PLACE_IN_LINE_REQUEST:
            return HandleUploadPlaceInLineRequest(user, payload);
        case PM_QUEUE_DOWNLOAD_REQUEST:
            return HandleQueueDownloadRequest(user, payload);
        case PM_INDIRECT_FILE_SEARCH_REQUEST:
        default:
            IgnoreMessage(user, code);
            return true;
    }
}

void PeerMessenger::IgnoreMessage(const QString& user, quint32 code) {
    int unlogged = 0;
    if (m_ignoredMessages.Drop(Now(), unlogged, user, code))
        LogIgnored(unlogged, user, code);
}

bool PeerMessenger::HandleSharedFileList(const QString& user, MemStream& payload) {
    // One nobody asked for would cost the whole inflate and parse.
    const auto asked = m_listsAsked.find(user);
    if (asked == m_listsAsked.end()) {
        int unlogged = 0;
        if (m_unaskedLists.Drop(Now(), unlogged, user))
            LogUnaskedLists(unlogged, user, 0);
        return true;
    }
    if (--asked.value() <= 0)
        m_listsAsked.erase(asked);
    FileInfoMap share;
    AttributeTranslationTable table;
    // A stream we cannot inflate (corrupt, or larger than we accept) means a
    // peer we cannot talk to.
    if (!ParseSharedFileList(payload.GetBuffer() + payload.GetReadPos(), payload.BytesLeft(), share,
                             table)) {
        Malformed(user, PM_SHARED_FILE_LIST);
        emit ShareListMalformed(user);
        return false;
    }
    emit UserShare(user, share, table);
    return true;
}

bool PeerMessenger::HandleSearchResults(const QString& user, MemStream& payload) {
    // Replies to searches not ours (or stopped) cost the start of the
    // stream, not the whole inflate: anyone may send them, at any rate.
    quint32 token = 0;
    if (!PeekSearchToken(payload.GetBuffer() + payload.GetReadPos(), payload.BytesLeft(), token)) {
        Malformed(user, PM_FILE_SEARCH_RESULT);
        return false;
    }
    if (!SearchAwaitsResults(token)) {
        int unlogged = 0;
        if (m_unknownResults.Drop(Now(), unlogged, user, token))
            LogUnknownResults(unlogged, user, token);
        return true;
    }
    SearchResultMessage message;
    if (!ParseSearchResults(payload.GetBuffer() + payload.GetReadPos(), payload.BytesLeft(),
                            message)) {
        Malformed(user, PM_FILE_SEARCH_RESULT);
        return false;
    }
    if (message.user != user)
        Log(kArea, 2,
            QString("Search results from %1 name %2; taken as %1's.").arg(user, message.user));
    const ItemPtr results = StoreSearchResults(user, message);
    if (!results.IsNull())
        emit SearchResults(results);
    return true;
}

bool PeerMessenger::HandleUserInfoReply(const QString& user, MemStream& payload) {
    UserInfoReply reply;
    if (!ParseUserInfoReply(payload, reply))
        return Malformed(user, PM_USER_INFO_REPLY);
    char* picture = reply.hasPicture && !reply.picture.isEmpty() ? reply.picture.data() : nullptr;
    emit UserInfoReceived(user, reply.description, reply.hasPicture, picture,
                          picture ? reply.picture.size() : 0, reply.uploadSlots,
                          reply.queuedUploads, reply.freeSlot);
    return true;
}

bool PeerMessenger::HandleGetSharedFilesInFolder(const QString& user, MemStream& payload) {
    quint32 req = 0;
    QString folder;
    if (!payload.Read(req) || !payload.Read(folder))
        return Malformed(user, PM_GET_SHARED_FILES_IN_FOLDER);
    emit SharedFilesInFolderRequested(user, req, folder);
    return true;
}

bool PeerMessenger::HandleTransferRequest(const QString& user, MemStream& payload) {
    quint32 direction = 0, req = 0;
    std::string file;
    qint64 size = 0;
    if (!payload.Read(direction) || !payload.Read(req) || !payload.Read(file) ||
        (payload.BytesLeft() >= 8 && !ReadSize(payload, size)))
        return Malformed(user, PM_TRANSFER_REQUEST);
    emit FileTransferRequested(user, int(direction), req, file, size);
    return true;
}

bool PeerMessenger::HandleTransferResponse(const QString& user, MemStream& payload) {
    quint32 req = 0;
    quint8 accepted = 0;
    if (!payload.Read(req) || !payload.Read(accepted))
        return Malformed(user, PM_TRANSFER_RESPONSE);
    if (accepted) {
        qint64 size = 0;
        const bool hasSize = payload.BytesLeft() >= 8;
        if (hasSize && !ReadSize(payload, size))
            return Malformed(user, PM_TRANSFER_RESPONSE);
        emit FileTransferResponse(user, req, true, hasSize, size, QString());
        return true;
    }
    QString reason;
    if (!payload.Read(reason))
        return Malformed(user, PM_TRANSFER_RESPONSE);
    emit FileTransferResponse(user, req, false, false, 0, reason);
    return true;
}

bool PeerMessenger::HandleQueueUpload(const QString& user, MemStream& payload) {
    QString file;
    if (!payload.Read(file))
        return Malformed(user, PM_QUEUE_UPLOAD);
    emit QueueUploadRequested(user, file);
    return true;
}

bool PeerMessenger::HandleUploadPlaceInLine(const QString& user, MemStream& payload) {
    std::string file;
    quint32 place = 0;
    if (!payload.Read(file) || !payload.Read(place))
        return Malformed(user, PM_UPLOAD_PLACE_IN_LINE);
    emit DownloadPlaceInLine(user, file, int(qMin<quint32>(place, 0x7FFFFFFF)));
    return true;
}

bool PeerMessenger::HandleUploadFailed(const QString& user, MemStream& payload) {
    std::string file;
    if (!payload.Read(file))
        return Malformed(user, PM_UPLOAD_FAILED);
    emit UploadFailed(user, file);
    return true;
}

bool PeerMessenger::HandleUploadDenied(const QString& user, MemStream& payload) {
    std::string file;
    QString reason;
    if (!payload.Read(file) || !payload.Read(reason))
        return Malformed(user, PM_UPLOAD_DENIED);
    emit UploadDenied(user, file, reason);
    return true;
}

bool PeerMessenger::HandleUploadPlaceInLineRequest(const QString& user, MemStream& payload) {
    QString file;
    if (!payload.Read(file))
        return Malformed(user, PM_UPLOAD_PLACE_IN_LINE_REQUEST);
    emit UploadPlaceInLineRequested(user, file);
    return true;
}

bool PeerMessenger::HandleQueueDownloadRequest(const QString& user, MemStream& payload) {
    std::string file;
    qint64 size = 0;
    if (!payload.Read(file) || !ReadSize(payload, size))
        return Malformed(user, PM_QUEUE_DOWNLOAD_REQUEST);
    emit QueueDownloadRequested(user, file, size);
    return true;
}
