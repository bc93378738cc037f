// Answers to other users: file searches (code 9), the share list (code 5) and
// folder contents (code 37), the visibility of the roots behind them, and the
// share counts and upload speed exchanged with the server.

#include <algorithm>
#include <cstring>
#include <limits>
#include <map>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "net/PeerMessenger.h"
#include "net/PeerPayloads.h"
#include "net/server.h"
#include "shares/FolderAnswerBuilder.h"
#include "shares/SearchAnswerBuilder.h"
#include "shares/SearchParser.h"
#include "shares/ShareListBuilder.h"
#include "shares/SharedFolderInfo.h"
#include "shares/SharedFoldersManager.h"
#include "store/Log.h"
#include "store/Settings.h"
#include "transfers/TransferQueueManager.h"

namespace {

// At most this many audiences are kept; real shares have a handful.
constexpr std::size_t kMaxCachedShareLists = 16;

QString ToWirePath(QString path) {
    return path.replace(QLatin1Char('/'), QLatin1Char('\\'));
}

AttributeMap AudioAttributes(const ItemPtr& file, const std::string& nameField) {
    return AudioFacts::Of(file, nameField.data(), nameField.size()).Attributes();
}

std::vector<quint64> Audience(const ItemSet& roots) {
    std::vector<quint64> ids;
    ids.reserve(std::size_t(roots.Size()));
    for (const ItemPtr& root : roots)
        ids.push_back(root.GetId());
    std::sort(ids.begin(), ids.end());
    return ids;
}

}  // namespace

// ---------------------------------------------------------------------------
// Visibility

ItemSet SharedFoldersManager::GetUserSharedFolders(const QString& user, bool hers) const {
    ItemSet roots;
    const ItemPtr userItem = d.GetType("user")->HasItem(user);
    if (!userItem.IsNull() && userItem.IsConnected("unshared"))
        return roots;
    roots = d.GetType("shared_public")->GetItems().GetItems("shared_folder");
    const ItemPtr entry = userItem.HasItem("in_user_list");
    if (!hers || entry.IsNull())
        return roots;
    roots.Add(d.GetType("shared_userlist")->GetItems().GetItems("shared_folder"));
    for (const ItemPtr& group : entry.GetItems("user_list_group"))
        roots.Add(group.GetItems("shared_folder"));
    return roots;
}

bool SharedFoldersManager::ShownMoreThanStrangers(const QString& user) const {
    // Most names are on no list: settled before the roots are looked at.
    const ItemPtr userItem = d.GetType("user")->HasItem(user);
    if (userItem.HasItem("in_user_list").IsNull() || userItem.IsConnected("unshared"))
        return false;
    for (const ItemPtr& root : GetUserSharedFolders(user))
        if (!root.IsConnected("shared_public"))
            return true;
    return false;
}

bool SharedFoldersManager::ToHer(quint64 via) const {
    return via == 0 || (peerMessenger && peerMessenger->IsHers(via));
}

bool SharedFoldersManager::IsFileSharedWithUser(ItemPtr file, const QString& user) const {
    // An unknown user is judged as one not on the list, without making an item.
    const ItemPtr userItem = d.GetType("user")->HasItem(user);
    if (!userItem.IsNull() && userItem.IsConnected("unshared"))
        return false;
    const ItemSet roots = file.HasItem("shared_file_folder").GetItems("shared_folder");
    if (!roots.Connected("shared_public").Empty())
        return true;
    const ItemPtr entry = userItem.HasItem("in_user_list");
    if (entry.IsNull())
        return false;
    if (!roots.Connected("shared_userlist").Empty())
        return true;
    return !roots.Connected(entry.GetItems("user_list_group")).Empty();
}

bool SharedFoldersManager::IsUserAddressUnshared(const QString& user) const {
    const ItemPtr address = d.GetType("user")->HasItem(user).HasItem("user_address");
    if (address.IsNull())
        return false;
    return !address.GetItems("user").Connected("unshared").Empty();
}

void SharedFoldersManager::OnUserAddress(ItemPtr user) {
    if (user.IsNull() || user.IsConnected("unshared"))
        return;
    const QString name = user.AsString();
    if (!IsUserAddressUnshared(name))
        return;
    // Without a transfer engine there are no uploads to refuse.
    if (transferQueueManager)
        transferQueueManager->UnshareUser(name);
    else
        user.Connect(d.GetType("unshared")->GetGlobalNullItem());
}

void SharedFoldersManager::RemoveUserShare(const QString& user) {
    RemoveShare(d.GetType("user")->HasItem(user).HasItem("user_share"));
}

void SharedFoldersManager::RemoveShare(const ItemPtr& share) {
    if (share.IsNull() || share.IsRemoved())
        return;
    const ItemSet folders = share.GetItems("user_share_folder");
    folders.GetItems("user_share_file").Remove();
    folders.Remove();
    share.Remove();
    d.RemoveDisconnectedItems();
}

// ---------------------------------------------------------------------------
// Searches

void SharedFoldersManager::OnDirectFileSearch(QString user, quint32 req, QString search) {
    if (user == GetSetting("username"))
        return;
    const SearchAnswerSent sent = ProcessSearch(user, req, search);
    // One made off this thread counts once it is sent or dropped.
    if (sent != SearchAnswerSent::Later)
        emit SearchProcessed(search, sent == SearchAnswerSent::Now);
}

void SharedFoldersManager::OnDNetSearchRequest(QString user, quint32 req, QString searchText) {
    OnDirectFileSearch(user, req, searchText);
}

SharedFoldersManager::SearchAnswerSent SharedFoldersManager::ProcessSearch(const QString& user,
                                                                           unsigned int ticket,
                                                                           const QString& search) {
    if (!peerMessenger)
        return SearchAnswerSent::No;
    // Answers are optional output: none to a user who does not read what we
    // send, none past the cap on what waits for peers.
    if (!peerMessenger->RoomForOptional(user, 0))
        return SearchAnswerSent::No;
    // A large answer is made off this thread, one per user at a time; when
    // it cannot be queued, only a small one is worth copying.
    const bool busy = m_searchAnswers.Has(user) || SearchCopyUnderWay(user);
    const bool queueable = !busy && RoomForLargeAnswer();
    auto copying = std::make_unique<SearchCopy>();
    if (!BeginSearchCopy(user, ticket, search,
                         queueable ? kMaxSearchAnswerPayload : kSearchAnswerMadeAtOnce, *copying))
        return SearchAnswerSent::No;
    // Many files to look at: copied a step per turn of the event loop.
    if (d.SubsetHasMoreThan(copying->tokens, "shared_file", kSearchCandidatesAtOnce)) {
        if (!queueable || m_searchCopies.size() >= kMaxSearchCopies)
            return WaitForSearchTurn(user, ticket, search) ? SearchAnswerSent::Later
                                                           : SearchAnswerSent::No;
        m_searchAnswerAudiences[user] = Audience(copying->roots);
        copying->search = search;
        m_searchCopies.push_back(std::move(copying));
        if (!m_searchCopyTimer.isActive())
            m_searchCopyTimer.start(0);
        return SearchAnswerSent::Later;
    }
    StepSearchCopy(*copying, std::numeric_limits<std::size_t>::max());
    if (!EndSearchCopy(*copying))
        return SearchAnswerSent::No;
    SearchAnswerCopy& copy = copying->copy;
    const bool large = copy.full || copy.payloadBytes > kSearchAnswerMadeAtOnce;
    if (large && !queueable) {
        Log("Search", 1,
            QStringLiteral("Search from %1 for %2 dropped: a large answer is still being "
                           "made for them or for too many others")
                .arg(user, search));
        return SearchAnswerSent::No;
    }
    if (copy.full)
        Log("Search", 1,
            QStringLiteral("Search answer to %1 cut to %2 files")
                .arg(user, QString::number(copy.records.size())));
    if (large) {
        m_searchAnswerAudiences[user] = Audience(copying->roots);
        m_searchAnswers.Add(user, search, std::move(copy));
        return SearchAnswerSent::Later;
    }
    return SendSearchAnswerNow(user, search, copy) ? SearchAnswerSent::Now : SearchAnswerSent::No;
}

bool SharedFoldersManager::SendSearchAnswerNow(const QString& user, const QString& search,
                                               const SearchAnswerCopy& copy) {
    QByteArray packed;
    const Packing result = PackSearchAnswer(copy, packed);
    LogPackingFailure(PeerMessenger::PM_FILE_SEARCH_RESULT, result);
    if (result != Packing::Packed)
        return false;
    MemStream message(packed);
    if (!peerMessenger || !peerMessenger->SendOptionalMessage(user, message))
        return false;
    Log("Search", 1,
        QStringLiteral("Sending search results to user %1 for search string %2").arg(user, search));
    return true;
}

bool SharedFoldersManager::WaitForSearchTurn(const QString& user, quint32 ticket,
                                             const QString& search) {
    const auto reads = [this](const QString& u) { return TookOurOutput(u); };
    std::optional<SearchLine::Search> dropped;
    const bool added = m_searchesWaiting.Add({user, ticket, search}, reads, dropped);
    if (dropped) {
        Log("Search", 1,
            QStringLiteral("Search from %1 for %2 dropped: its place went to a user who takes "
                           "what we send")
                .arg(dropped->user, dropped->search));
        emit SearchProcessed(dropped->search, false);
    }
    if (!added)
        Log("Search", 1,
            QStringLiteral("Search from %1 for %2 dropped: too many large answers wait to be "
                           "made for them or for others")
                .arg(user, search));
    return added;
}

bool SharedFoldersManager::RoomForLargeAnswer() const {
    return m_searchAnswers.WaitingCount() + m_searchCopies.size() < SearchAnswerQueue::kMaxWaiting;
}

bool SharedFoldersManager::TookOurOutput(const QString& user) const {
    return !peerMessenger || !peerMessenger->OutputWaitingFor(user);
}

void SharedFoldersManager::StartWaitingSearches() {
    const auto busy = [this](const QString& u) {
        return m_searchAnswers.Has(u) || SearchCopyUnderWay(u);
    };
    const auto reads = [this](const QString& u) { return TookOurOutput(u); };
    SearchLine::Search w;
    // Bounded, should a search started come back to wait.
    for (std::size_t tries = m_searchesWaiting.Size();
         tries > 0 && m_searchCopies.size() < kMaxSearchCopies && RoomForLargeAnswer() &&
         m_searchesWaiting.TakeNext(busy, reads, w);
         --tries) {
        const SearchAnswerSent sent = ProcessSearch(w.user, w.ticket, w.search);
        if (sent != SearchAnswerSent::Later)
            emit SearchProcessed(w.search, sent == SearchAnswerSent::Now);
    }
}

bool SharedFoldersManager::SearchCopyUnderWay(const QString& user) const {
    return std::any_of(m_searchCopies.begin(), m_searchCopies.end(),
                       [&user](const auto& copying) { return copying->user == user; });
}

void SharedFoldersManager::StepSearchCopies() {
    QElapsedTimer slice;
    slice.start();
    // Each copy a step in turn, so that one of many files holds up no other.
    while (!m_searchCopies.empty() && slice.nsecsElapsed() < kSearchCopySliceNs) {
        std::unique_ptr<SearchCopy> copying = std::move(m_searchCopies.front());
        m_searchCopies.pop_front();
        if (!StepSearchCopy(*copying, kSearchCandidatesPerStep))
            m_searchCopies.push_back(std::move(copying));
        else
            EndStepwiseSearch(*copying);
    }
    StartWaitingSearches();
    if (!m_searchCopies.empty())
        m_searchCopyTimer.start(0);
}

void SharedFoldersManager::EndStepwiseSearch(SearchCopy& copying) {
    const QString user = copying.user;
    const QString search = copying.search;
    if (!EndSearchCopy(copying) || !peerMessenger) {
        m_searchAnswerAudiences.erase(user);
        emit SearchProcessed(search, false);
        return;
    }
    SearchAnswerCopy& copy = copying.copy;
    if (copy.full || copy.payloadBytes > kSearchAnswerMadeAtOnce) {
        // Copied only as far as a small answer goes when no large one could
        // be queued, as a search made at once is.
        if (copying.limit == kMaxSearchAnswerPayload && !m_searchAnswers.IsFull()) {
            if (copy.full)
                Log("Search", 1,
                    QStringLiteral("Search answer to %1 cut to %2 files")
                        .arg(user, QString::number(copy.records.size())));
            m_searchAnswers.Add(user, search, std::move(copy));
            return;
        }
        m_searchAnswerAudiences.erase(user);
        Log("Search", 1,
            QStringLiteral("Search from %1 for %2 dropped: large answers are still being made "
                           "for too many others")
                .arg(user, search));
        emit SearchProcessed(search, false);
        return;
    }
    const bool sent =
        IsSearchAnswerStillVisible(user, search) && SendSearchAnswerNow(user, search, copy);
    emit SearchProcessed(search, sent);
}

void SharedFoldersManager::OnSearchAnswerMade(QString user, QString search, QByteArray message) {
    // The user's next search may wait for this one.
    if (!m_searchesWaiting.Empty() && !m_searchCopyTimer.isActive())
        m_searchCopyTimer.start(0);
    if (!IsSearchAnswerStillVisible(user, search) || message.isEmpty() || !peerMessenger) {
        emit SearchProcessed(search, false);
        return;
    }
    MemStream stream(message);
    const bool sent = peerMessenger->SendOptionalMessage(user, stream);
    if (sent)
        Log("Search", 1,
            QStringLiteral("Sending search results to user %1 for search string %2")
                .arg(user, search));
    emit SearchProcessed(search, sent);
}

bool SharedFoldersManager::IsSearchAnswerStillVisible(const QString& user, const QString& search) {
    const auto copied = m_searchAnswerAudiences.find(user);
    if (copied == m_searchAnswerAudiences.end())
        return false;
    const std::vector<quint64> audience = std::move(copied->second);
    m_searchAnswerAudiences.erase(copied);
    // Seeing more since is harmless; a root lost from sight (the user
    // unshared, the root unshared or made private) may hold what it names.
    const std::vector<quint64> now = Audience(GetUserSharedFolders(user));
    if (std::includes(now.begin(), now.end(), audience.begin(), audience.end()))
        return true;
    Log("Search", 1,
        QStringLiteral("Search answer to %1 for %2 dropped: what they may see changed while it "
                       "was made")
            .arg(user, search));
    return false;
}

bool SharedFoldersManager::BuildSearchAnswer(const QString& user, quint32 ticket,
                                             const QString& search, MemStream& message) const {
    SearchAnswerCopy copy;
    if (!CopySearchAnswer(user, ticket, search, kMaxSearchAnswerPayload, copy))
        return false;
    QByteArray packed;
    const Packing result = PackSearchAnswer(copy, packed);
    LogPackingFailure(PeerMessenger::PM_FILE_SEARCH_RESULT, result);
    if (result != Packing::Packed)
        return false;
    message = MemStream(packed);
    return true;
}

bool SharedFoldersManager::CopySearchAnswer(const QString& user, quint32 ticket,
                                            const QString& search, qint64 limit,
                                            SearchAnswerCopy& copy) const {
    SearchCopy copying;
    if (!BeginSearchCopy(user, ticket, search, limit, copying))
        return false;
    StepSearchCopy(copying, std::numeric_limits<std::size_t>::max());
    if (!EndSearchCopy(copying))
        return false;
    copy = std::move(copying.copy);
    return true;
}

bool SharedFoldersManager::BeginSearchCopy(const QString& user, quint32 ticket,
                                           const QString& search, qint64 limit,
                                           SearchCopy& copying) const {
    if (GetRuntimeSetting("finish_uploads_and_quit") == QLatin1String("yes"))
        return false;
    SearchParser parser;
    if (!parser.SetSearchText(search))
        return false;
    const SearchParser::TokenSet& included = parser.GetIncludedTokenSet();
    if (included.empty())
        return false;
    // Most searches stop here: some word is in no shared path.
    Type* tokenType = d.GetType("search_token");
    ItemSet tokens;
    bool longEnough = false;
    for (const QString& token : included) {
        const ItemPtr item = tokenType->HasItem(token);
        if (item.IsNull())
            return false;
        tokens.Insert(item);
        longEnough = longEnough || token.size() >= 3;
    }
    if (!longEnough)
        return false;
    copying.roots = GetUserSharedFolders(user);
    if (copying.roots.Empty())
        return false;
    copying.user = user;
    copying.limit = limit;
    copying.parts = parser.GetIncludedPartTokenSet();
    copying.excluded = parser.GetExcludedTokenSet();
    copying.copy.user = GetSetting("username").toUtf8();
    copying.copy.ticket = ticket;
    copying.copy.payloadBytes = SearchAnswerCopy::FixedBytes(copying.copy.user);
    copying.tokens = std::move(tokens);
    return true;
}

bool SharedFoldersManager::StepSearchCopy(SearchCopy& c, std::size_t count) const {
    SearchAnswerCopy& copy = c.copy;
    const auto wirePath = [&copy](const SearchAnswerCopy::Record& record) {
        return copy.folders[record.folder] + '\\' +
               copy.names.substr(record.nameOffset, record.nameSize);
    };
    const Type* nameType = d.GetType("shared_file_name");
    const Type* folderType = d.GetType("shared_file_folder");
    const Type* sizeType = d.GetType("shared_file_size");
    const AudioFacts::Types audioTypes = AudioFacts::Types::Get();
    // False once the copy is full.
    const auto copyRecord = [&](const ItemPtr& file) {
        const ItemPtr nameItem = file.HasItem(nameType);
        const Item* name = nameItem.GetItemObject();
        const char* nameBytes = name ? name->ValueData() : "";
        const std::uint32_t nameSize = name ? name->ValueSize() : 0;
        if (!c.parts.empty() || !c.excluded.empty()) {
            const QString lowerName = QString::fromUtf8(nameBytes, int(nameSize)).toLower();
            const auto in = [&lowerName](const QString& token) {
                return lowerName.contains(token);
            };
            if (std::any_of(c.excluded.begin(), c.excluded.end(), in) ||
                !std::all_of(c.parts.begin(), c.parts.end(), in))
                return true;
        }
        const ItemPtr folder = file.HasItem(folderType);
        if (folder != c.lastFolder) {
            c.lastFolder = folder;
            auto seen = c.folders.find(folder.GetItemObject());
            if (seen == c.folders.end()) {
                qint64 index = -1;
                if (!folder.GetItems("shared_folder").Common(c.roots).Empty()) {
                    index = qint64(copy.folders.size());
                    const QString path = folder.AsString();
                    copy.folders.push_back(ToWirePath(path).toStdString());
                    c.folderHasBackslash.push_back(path.contains(QLatin1Char('\\')));
                }
                c.heldFolders.push_back(folder);
                seen = c.folders.emplace(folder.GetItemObject(), index).first;
            }
            c.folderIndex = seen->second;
        }
        if (c.folderIndex < 0)
            return true;
        SearchAnswerCopy::Record record{copy.names.size(), nameSize, std::uint32_t(c.folderIndex),
                                        file.HasItem(sizeType).AsInt64(),
                                        AudioFacts::Of(file, nameBytes, nameSize, audioTypes)};
        if (!c.checkPaths && (c.folderHasBackslash[std::size_t(c.folderIndex)] ||
                              std::memchr(nameBytes, '\\', nameSize))) {
            c.checkPaths = true;
            for (const SearchAnswerCopy::Record& earlier : copy.records)
                c.paths.insert(wirePath(earlier));
        }
        copy.names.append(nameBytes, nameSize);
        if (c.checkPaths && !c.paths.insert(wirePath(record)).second) {
            copy.names.resize(record.nameOffset);
            return true;
        }
        const qint64 bytes = SearchAnswerCopy::RecordBytes(
            copy.folders[record.folder].size() + 1 + nameSize, record.audio);
        if (copy.payloadBytes + bytes > c.limit) {
            copy.names.resize(record.nameOffset);
            copy.full = true;
            return false;
        }
        copy.payloadBytes += bytes;
        copy.records.push_back(record);
        return true;
    };
    if (c.done)
        return true;
    std::size_t looked = 0;
    d.ForEachInSubset(
        c.tokens, "shared_file",
        [&](const ItemPtr& file) {
            c.lastLooked = file.GetId();
            ++looked;
            if (!copyRecord(file)) {
                c.done = true;
                return false;
            }
            return looked < count;
        },
        c.lastLooked);
    // Fewer than asked for: none is left.
    c.done = c.done || looked < count;
    return c.done;
}

bool SharedFoldersManager::EndSearchCopy(SearchCopy& c) const {
    c.tokens = ItemSet();
    c.heldFolders = std::vector<ItemPtr>();
    if (c.copy.records.empty())
        return false;
    c.copy.freeSlot = !transferQueueManager || transferQueueManager->IsFreeToUpload();
    c.copy.uploadSpeed = quint32(GetSettingInt("upload_speed"));
    c.copy.queueLength =
        transferQueueManager ? quint32(transferQueueManager->QueuedUploadCount()) : 0;
    return true;
}

// ---------------------------------------------------------------------------
// Share list and folder contents

void SharedFoldersManager::WatchIndexForAnswers() {
    // What a share list shows hangs off these three types: files (their
    // folder, name, size and audio links), folders (their roots) and roots
    // (their visibility flags and groups). Removals disconnect first.
    for (const char* type : {"shared_file", "shared_file_folder", "shared_folder"}) {
        Type* t = d.GetType(type);
        for (Event<ConnectionInfo&>* event : {&t->ConnectedEvent(), &t->DisconnectedEvent()}) {
            event->Insert(ConnectionHandler(this, &SharedFoldersManager::OnIndexChanged));
            event->Insert(ConnectionHandler(this, &SharedFoldersManager::OnShareListLinkChanged));
        }
    }
    m_listTypes = ListTypes{d.GetType("shared_folder"), d.GetType("shared_file_folder"),
                            d.GetType("shared_file"), d.GetType("shared_file_name")};
    connect(&m_shareListBuilder, &ShareListBuilder::Finished, this,
            &SharedFoldersManager::OnShareListBuilt);
    connect(&m_searchAnswers, &SearchAnswerQueue::Finished, this,
            &SharedFoldersManager::OnSearchAnswerMade);
}

void SharedFoldersManager::OnShareListLinkChanged(ConnectionInfo& info) {
    // Which files a folder holds, their names, and the roots' folders and
    // flags; a file's size and audio attributes are its record's own.
    const ListTypes& t = m_listTypes;
    const Type* from = info.from.GetType();
    const Type* to = info.to.GetType();
    if (from == t.root || to == t.root || (from == t.file && (to == t.folder || to == t.name)) ||
        (from == t.folder && to == t.file)) {
        m_shareListBuilder.StartOver();
        m_folderAnswers.StartOver();
    }
}

void SharedFoldersManager::GetSharedFilesAsUserShare(const QString& user, FileInfoMap& share,
                                                     AttributeTranslationTable&) const {
    for (const ItemPtr& folder : GetUserSharedFolders(user).GetItems("shared_file_folder")) {
        std::set<FileInfo>& files = share[ToWirePath(folder.AsString()).toStdString()];
        for (const ItemPtr& file : folder.GetItems("shared_file")) {
            const std::string name = file.HasItem("shared_file_name").AsStdString();
            AttributeMap attributes = AudioAttributes(file, name);
            files.insert(
                FileInfo(name, file.HasItem("shared_file_size").AsInt64(), std::move(attributes)));
        }
    }
}

void SharedFoldersManager::DropStaleShareLists() {
    if (m_cacheGeneration != m_indexGeneration) {
        m_shareListCache.clear();
        m_cacheGeneration = m_indexGeneration;
    }
}

void SharedFoldersManager::KeepShareList(const std::vector<quint64>& audience,
                                         const QByteArray& message) {
    DropStaleShareLists();
    if (m_shareListCache.size() >= kMaxCachedShareLists)
        m_shareListCache.clear();
    m_shareListCache.emplace(audience, message);
}

MemStream SharedFoldersManager::GetSharedFilesMessage(const QString& user) {
    Log("Shared", 1, QStringLiteral("Shared file list requested by user %1").arg(user));
    DropStaleShareLists();
    const ItemSet roots = GetUserSharedFolders(user);
    const std::vector<quint64> audience = Audience(roots);
    const auto cached = m_shareListCache.find(audience);
    if (cached != m_shareListCache.end())
        return MemStream(cached->second);
    const QByteArray message = ShareListBuilder::Build(roots.GetItems("shared_file_folder"));
    if (message.isEmpty())
        return MemStream();
    KeepShareList(audience, message);
    return MemStream(message);
}

void SharedFoldersManager::OnSharedFileListRequested(QString user) {
    Log("Shared", 1, QStringLiteral("Shared file list requested by user %1").arg(user));
    // The list goes on the connection that asked.
    const Asker asker(user, peerMessenger ? peerMessenger->Asker() : 0);
    // Asking again while the list waits to be taken, or for room, makes
    // none anew.
    if ((peerMessenger &&
         peerMessenger->AnswerWaiting(user, PeerMessenger::PM_SHARED_FILE_LIST, asker.second)) ||
        std::find(m_shareListsHeld.begin(), m_shareListsHeld.end(), asker) !=
            m_shareListsHeld.end()) {
        DropPeerRequest(user, PeerMessenger::PM_SHARED_FILE_LIST_REQUEST);
        return;
    }
    // Asking again before the list came brings the one list.
    if (std::find(m_shareListWaiters.begin(), m_shareListWaiters.end(), asker) ==
        m_shareListWaiters.end())
        m_shareListWaiters.push_back(asker);
    ServeShareListWaiters();
}

std::vector<SharedFoldersManager::Asker> SharedFoldersManager::TakeShareListWaiters(
    const std::vector<quint64>& audience) {
    std::vector<Asker> taken, left;
    for (Asker& asker : m_shareListWaiters)
        (Audience(GetUserSharedFolders(asker.first, ToHer(asker.second))) == audience ? taken
                                                                                      : left)
            .push_back(asker);
    m_shareListWaiters.swap(left);
    return taken;
}

void SharedFoldersManager::ServeShareListWaiters() {
    DropStaleShareLists();
    // Sent once the waiting list is settled: sending may lead anywhere.
    std::vector<std::pair<Asker, QByteArray>> answers;
    for (const auto& cached : m_shareListCache)
        for (const Asker& asker : TakeShareListWaiters(cached.first))
            answers.emplace_back(asker, cached.second);
    if (!m_shareListWaiters.empty() && !m_shareListBuilder.IsBusy()) {
        m_shareListAsker = m_shareListWaiters.front();
        m_shareListBuilder.Start([this] {
            // Asked again whenever copying begins anew: what the user sees then.
            const ItemSet roots =
                GetUserSharedFolders(m_shareListAsker.first, ToHer(m_shareListAsker.second));
            m_shareListAudience = Audience(roots);
            m_shareListGeneration = m_indexGeneration;
            return roots.GetItems("shared_file_folder");
        });
    }
    for (auto& answer : answers)
        SendShareList(answer.first, answer.second);
}

void SharedFoldersManager::SendShareList(const Asker& asker, const QByteArray& list) {
    // The list is kept for others too: a large one goes as the user takes it.
    if (!peerMessenger || list.isEmpty() ||
        peerMessenger->SendSharedAnswer(asker.first, list, asker.second) ==
            PeerMessenger::Answer::Sent)
        return;
    // Kept until there is room; asked again meanwhile, it is not kept twice.
    if (std::find(m_shareListsHeld.begin(), m_shareListsHeld.end(), asker) ==
        m_shareListsHeld.end())
        m_shareListsHeld.push_back(asker);
    if (!m_shareListRetry.isActive())
        m_shareListRetry.start();
}

void SharedFoldersManager::RetryShareLists() {
    for (Asker& asker : m_shareListsHeld)
        if (std::find(m_shareListWaiters.begin(), m_shareListWaiters.end(), asker) ==
            m_shareListWaiters.end())
            m_shareListWaiters.push_back(std::move(asker));
    m_shareListsHeld.clear();
    ServeShareListWaiters();
}

void SharedFoldersManager::DropPeerRequest(const QString& user, quint32 code) {
    const auto line = [](int n, const QString& last, quint32 lastCode) {
        Log("Shared", 1,
            QStringLiteral("%1 requests dropped while an answer waits for the user or too many "
                           "wait, the last for the %2 from %3")
                .arg(n)
                .arg(lastCode == PeerMessenger::PM_SHARED_FILE_LIST_REQUEST
                         ? QStringLiteral("share list")
                         : QStringLiteral("folder contents"),
                     last));
    };
    int unlogged = 0;
    if (m_droppedPeerRequests.Drop(m_answerClock.elapsed(), unlogged, user, code)) {
        line(unlogged, user, code);
        return;
    }
    // Those held get their line when the interval is over, so that every
    // line counts true.
    if (m_droppedPeerRequestsFlush)
        return;
    m_droppedPeerRequestsFlush = true;
    QTimer::singleShot(int(m_droppedPeerRequests.IntervalMs()), this, [this, line] {
        m_droppedPeerRequestsFlush = false;
        int n = 0;
        QString last;
        quint32 lastCode = 0;
        if (m_droppedPeerRequests.Held(m_answerClock.elapsed(), n, last, lastCode))
            line(n, last, lastCode);
    });
}

void SharedFoldersManager::OnShareListBuilt(QByteArray message) {
    // Kept only while the index is as it was copied.
    if (!message.isEmpty() && m_shareListGeneration == m_indexGeneration)
        KeepShareList(m_shareListAudience, message);
    // Whoever sees what it was made for gets it, also those who asked while
    // it was made; the others wait for a list of their own.
    for (const Asker& asker : TakeShareListWaiters(m_shareListAudience))
        SendShareList(asker, message);
    ServeShareListWaiters();
}

ItemPtr SharedFoldersManager::VisibleFolder(const QString& user, const QString& folder,
                                            bool hers) const {
    QString path = folder;
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    const ItemPtr folderItem = d.GetType("shared_file_folder")->HasItem(path);
    if (folderItem.IsNull() ||
        folderItem.GetItems("shared_folder").Common(GetUserSharedFolders(user, hers)).Empty())
        return ItemPtr();
    return folderItem;
}

bool SharedFoldersManager::BuildFolderContentsAnswer(const QString& user, quint32 req,
                                                     const QString& folder,
                                                     MemStream& message) const {
    const ItemPtr folderItem = VisibleFolder(user, folder, true);
    if (folderItem.IsNull())
        return false;
    FolderContentsCopy copy;
    copy.req = req;
    copy.folder = folder;
    for (const ItemPtr& file : folderItem.GetItems("shared_file")) {
        const std::string name = file.HasItem("shared_file_name").AsStdString();
        copy.files.push_back(FolderContentsCopy::File{copy.names.size(), name.size(),
                                                      file.HasItem("shared_file_size").AsInt64()});
        copy.names += name;
    }
    QByteArray packed;
    const Packing result = PackFolderContents(copy, packed);
    LogPackingFailure(PeerMessenger::PM_SHARED_FILES_IN_FOLDER, result);
    if (result != Packing::Packed)
        return false;
    message = MemStream(packed);
    return true;
}

void SharedFoldersManager::OnFilesInFoldersRequested(QString user, quint32 req, QString folder) {
    // The answer goes on the connection that asked.
    if (!m_folderRequests.Add(user, req, folder, peerMessenger ? peerMessenger->Asker() : 0))
        DropPeerRequest(user, PeerMessenger::PM_GET_SHARED_FILES_IN_FOLDER);
}

FolderRequestQueue::Turn SharedFoldersManager::AnswerFolderRequest(
    const FolderRequestQueue::Request& request) {
    using Turn = FolderRequestQueue::Turn;
    using State = FolderAnswerBuilder::State;
    const QString& user = request.user;
    // Each asker's answer is made apart, under a key of its own.
    const QString asker = request.Asker();
    // The answer belongs on the connection it was asked on: one who left
    // asks again when back.
    if (!peerMessenger ||
        !(request.via ? peerMessenger->IsOpen(request.via) : peerMessenger->IsMessaging(user))) {
        m_folderAnswers.Drop(asker);
        return Turn::Done;
    }
    State state = m_folderAnswers.StateOf(asker, request.req, request.folder);
    if (state == State::None) {
        const ItemPtr folder = VisibleFolder(user, request.folder, ToHer(request.via));
        if (folder.IsNull())
            return Turn::Done;
        // A large answer waits for the others under way to be made.
        if (!m_folderAnswers.Begin(asker, request.req, request.folder, folder))
            return Turn::Later;
        state = m_folderAnswers.Step(asker);
    } else if (state == State::Copying) {
        state = m_folderAnswers.Step(asker);
    } else if (state == State::Packing) {
        return Turn::Later;
    }
    if (state == State::None || state == State::Copying || state == State::Packing)
        return Turn::Step;
    if (state == State::Failed) {
        m_folderAnswers.Drop(asker);
        return Turn::Done;
    }
    // Made over many turns: one who lost sight of the folder meanwhile
    // gets nothing.
    if (VisibleFolder(user, request.folder, ToHer(request.via)).IsNull()) {
        m_folderAnswers.Drop(asker);
        return Turn::Done;
    }
    MemStream message(m_folderAnswers.Message(asker));
    if (peerMessenger->SendAnswer(user, message, request.via) != PeerMessenger::Answer::Sent) {
        m_folderAnswers.Unsent(asker);
        return Turn::Later;
    }
    m_folderAnswers.Drop(asker);
    return Turn::Done;
}

// ---------------------------------------------------------------------------
// Server

void SharedFoldersManager::OnConnectedToServer() {
    if (!gp_server)
        return;
    gp_server->SendFilesFolders(d.GetType("shared_file_folder")->ItemCount(),
                                d.GetType("shared_file")->ItemCount());
    gp_server->GetUserStats(GetSetting("username"));
}

void SharedFoldersManager::OnReceivedUserStats(QString user, UserStats stats) {
    if (user == GetSetting("username"))
        SetSetting("upload_speed", qint32(stats.GetAverageSpeed()));
}
