#ifndef TAVENOOK_SHARES_SHAREDFOLDERSMANAGER_H
#define TAVENOOK_SHARES_SHAREDFOLDERSMANAGER_H

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QThread>
#include <QTimer>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "net/DropCounter.h"
#include "net/PeerLimits.h"
#include "net/PeerPayloads.h"
#include "shares/FileScanner.h"
#include "shares/FolderAnswerBuilder.h"
#include "shares/FolderRequestQueue.h"
#include "shares/SearchAnswerBuilder.h"
#include "shares/SearchLine.h"
#include "shares/ShareListBuilder.h"
#include "store/Data.h"
#include "store/MemStream.h"
#include "store/UserStats.h"

// The user's own shares: which folders are shared and with whom, the index of
// every shared file (names, folders, sizes, audio attributes, search tokens)
// in the item store, the scanner thread that walks the folders, and the
// answers to other users' searches and browse requests.
//
// Index entry of a file: a valueless "shared_file" linked to one
// "shared_file_folder" (the folder's path), one "shared_file_name", one
// "shared_file_size", its "search_token" items and, once analysed, its audio
// attributes and the "is_scanned" flag. Files are found by path through the
// normalised twins of names and folders (GetAbsoluteFileName).
//
// Main thread only, except the scanner, which runs on the manager's thread,
// and the compression of share lists and large search and folder answers,
// which runs on threads of their own.
class SharedFoldersManager : public QObject, public DataHandler {
    Q_OBJECT

public:
    // Needs the settings types, the server's types ("user",
    // "user_list_group") and the peer types (the audio attributes,
    // "file_size", "user_address") to be declared already.
    explicit SharedFoldersManager(QObject* parent = nullptr);
    ~SharedFoldersManager() override;

    // After the saved store is loaded: queues the start-up walk of every
    // shared root and registers the user-address handler. Only the first call
    // acts, so that only one start-up walk is ever queued.
    void Init();
    // True while a walk of shared roots (start-up, rescan or a root just
    // shared) is asked for, runs on the scanner thread or is being merged.
    bool IsBackgroundScanPending() const { return m_backgroundScanPending; }
    // True while a walk is being merged, slice by slice.
    bool IsBackgroundMergeRunning() const { return m_merge != nullptr; }
    // Merges what is left of the walk at once, without yielding.
    void FinishBackgroundMerge();
    // How long one merge slice may run (20 ms); at 0 each does one step.
    void SetMergeSliceBudget(qint64 nanoseconds) { m_mergeSliceNs = nanoseconds; }

    // Shares a new root and gives it its id "[n]dirname" at once; its walk
    // runs on the scanner thread and is merged in slices (after any walk
    // running already). A root shared already is returned unchanged.
    ItemPtr AddSharedFolder(QString path);
    // Walks every root again on the scanner thread and merges it in slices;
    // SharedFilesRescanned follows with the entries created and dropped. A
    // walk running already is dropped for it; a rescan dropped so reports
    // together with the one that replaced it.
    void RescanShares();

    // Links the file to every search token of its lower-cased "folder\name".
    void TokenizeSharedFile(ItemPtr file);
    static bool IsSearchTokenSeparator(QChar c);

    // The index entry of a path, compared case-insensitively with "\" read as
    // "/" and runs of "/" as one; a null item when there is none. Never
    // creates items, so it is safe for paths that peers send.
    ItemPtr GetSharedFileItem(const QString& path) const;
    // Lower case, "\" as "/", each run of "/" as one.
    static QString GetAbsoluteFileName(const QString& path);
    // "192 CBR", "211 VBR, 4m5s"; empty for a file without audio attributes.
    static QString GetFileItemDisplayString(ItemPtr file);
    // A numeric attribute of a file, result or received record ("file_size",
    // "bitrate", "length_seconds"); 0 when absent, and then `present` says so.
    // Peers send audio values as unsigned 32-bit numbers and sizes as 64-bit
    // ones, so every list, sort and filter reads them through this one
    // 64-bit reading.
    static qint64 FileAttribute(const ItemPtr& file, const char* attribute,
                                bool* present = nullptr);

    // The worker; its result map may be touched only while no walk runs.
    FileScanner* GetScanner() { return &m_scanner; }

    // Runs whenever a user is linked to an address: a user seen at the
    // address of an unshared user is unshared too.
    void OnUserAddress(ItemPtr user);

    // Visibility. None of these creates items: user names come from peers.
    // The roots the user may see: none for an unshared user; the public
    // ones; for a user on the own list also the user-list roots and those of
    // the user's groups. Not `hers` (a connection not vouched for her): what
    // a stranger under her name gets, the public roots (none when unshared).
    ItemSet GetUserSharedFolders(const QString& user, bool hers = true) const;
    // True when her own connection is shown roots a stranger's is not.
    bool ShownMoreThanStrangers(const QString& user) const;
    // True when one of the file's roots is among GetUserSharedFolders(user).
    bool IsFileSharedWithUser(ItemPtr file, const QString& user) const;
    // True when some user at this user's address (the user included) is unshared.
    bool IsUserAddressUnshared(const QString& user) const;
    // Drops the cached browse tree of another user's share, then sweeps.
    static void RemoveUserShare(const QString& user);
    // Drops a browse tree (its files, folders and the share item), then sweeps.
    static void RemoveShare(const ItemPtr& share);

    // Answers. Search answers hold at most this many payload bytes before
    // compression, so that the message always fits in one peer frame.
    static constexpr qint64 kMaxSearchAnswerPayload = 10485760 - 65536;
    // Answers up to this many payload bytes are compressed at once; larger
    // ones go to a thread of their own.
    static constexpr qint64 kSearchAnswerMadeAtOnce = 65536;
    // A search whose words more files hold than this is copied a step per
    // turn of the event loop, this many files a step, within a slice of the
    // main thread per turn; a user has one such under way at a time, and
    // all users kMaxSearchCopies.
    static constexpr std::size_t kSearchCandidatesAtOnce = 4096;
    static constexpr std::size_t kSearchCandidatesPerStep = 2048;
    static constexpr qint64 kSearchCopySliceNs = 10 * 1000 * 1000;
    static constexpr std::size_t kMaxSearchCopies = 4;
    // A search to be copied in steps while the user's last one is still
    // under way, or while kMaxSearchCopies are, or while the answers being
    // copied or made fill the queue of answers to be made, waits for its
    // turn: a user who searches again soon is answered. Users who took what
    // we sent them go first. Past these bounds it is a flood, and dropped;
    // a full line still takes the search of a user who took what we sent,
    // in place of the newest of one who did not.
    static constexpr std::size_t kMaxSearchesWaiting = 64;
    static constexpr std::size_t kMaxSearchesWaitingPerUser = 4;
    // The search answer (code 9) for the user, made at once, or false when
    // nothing is to be sent. When more files match than fit, it holds those
    // indexed first, up to the first that does not fit, listed in byte order
    // of their paths. Does not emit SearchProcessed.
    bool BuildSearchAnswer(const QString& user, quint32 ticket, const QString& search,
                           MemStream& message) const;
    enum class SearchAnswerSent { No, Now, Later };
    // Sends the user the answer BuildSearchAnswer makes: Later when its
    // words many files hold (copied in steps) or when it is large (made off
    // the main thread), unless one for the user waits or is being made
    // already, or too many for others are (then none is sent). One sent
    // Later is dropped if the user has lost sight of a root meanwhile, and
    // emits SearchProcessed once sent or dropped.
    SearchAnswerSent ProcessSearch(const QString& user, unsigned int ticket, const QString& search);
    // Every visible folder (path with "\\"), an entry also when empty; `table`
    // is not touched.
    void GetSharedFilesAsUserShare(const QString& user, FileInfoMap& share,
                                   AttributeTranslationTable& table) const;
    // The compressed share list (code 5) the user may see, made at once;
    // empty (write position 0) when it cannot be made. Kept per audience
    // until the index or the visibility of a root changes.
    MemStream GetSharedFilesMessage(const QString& user);
    // The folder-contents answer (code 37), or false when the folder is
    // unknown or hidden from the user.
    bool BuildFolderContentsAnswer(const QString& user, quint32 req, const QString& folder,
                                   MemStream& message) const;
    // Share-list and folder requests dropped: one answer waits for the user
    // already, or too many of the user's folder requests wait.
    qint64 DroppedPeerRequests() const { return m_droppedPeerRequests.Total(); }

public slots:
    void OnConnectedToServer();
    void OnDNetSearchRequest(QString user, quint32 req, QString searchText);
    void OnDirectFileSearch(QString user, quint32 req, QString search);
    // A folder-contents request (code 36): queued and answered in turn, one
    // answer waiting for the user at a time (FolderRequestQueue).
    void OnFilesInFoldersRequested(QString user, quint32 req, QString folder);
    // A share-list request (code 4): sends the list GetSharedFilesMessage
    // gives, made off the main thread unless kept; requests that come while
    // it is made are answered with it.
    void OnSharedFileListRequested(QString user);
    // Starts merging a walk into the index: a slice at a time
    // through the event loop, so that a large share never freezes the
    // window. BackgroundMergeEnded follows the last slice.
    void OnFoldersRescanned();
    void OnMP3Scanned(QString file, int mpegVersion, QString channelMode, int frequency, bool isVBR,
                      int bitrate);
    void OnReceivedUserStats(QString user, UserStats stats);

signals:
    void MP3ScanRequired(QString file);
    void SearchProcessed(QString search, bool match);
    void SharedFilesRescanned(int filesAdded, int filesRemoved);
    // A walk is merged (or was dropped for a newer rescan).
    void BackgroundMergeEnded();

private:
    void OnSharedFileNameAdded(ItemPtr name);
    void OnSharedFileFolderAdded(ItemPtr folder);

    // Finds or creates the entry of one file found on disk, updates its size,
    // asks for its audio analysis when due and tokenises it unless it has its
    // tokens already (they follow from its folder and name alone).
    ItemPtr IndexFile(const ItemPtr& folder, const QString& path, const QString& name, qint64 size,
                      bool& created);
    // The search tokens of a lower-cased text, found or created.
    static std::vector<ItemPtr> TokenItems(const QString& lowerText);
    // Removes an entry with the tokens, name and size no other entry has.
    static void RemoveFile(const ItemPtr& file);
    // Removes the members of `old` missing from `kept`; returns how many.
    static int RemoveFilesNotKept(const ItemSet& old, std::vector<ItemPtr>& kept);
    // Removes a folder item and its files; the sweep cannot be relied on for
    // the files, since a name shared with a live file keeps them reachable.
    static int RemoveFolderWithFiles(const ItemPtr& folder);

    // Counts every change of the index and of root visibility, so that a
    // cached share list knows it is stale.
    void WatchIndexForAnswers();
    // Upload entries link to the files they serve but change nothing a share
    // list shows; counting them would rebuild the list on every queue request.
    void OnIndexChanged(ConnectionInfo& info) {
        if (!info.to.GetType() || info.to.GetType()->GetName() != "upload_entry")
            ++m_indexGeneration;
    }

    struct Merge;
    struct Slice;
    // Merges until `budgetNs` of this slice are spent, but always a step;
    // true when all is merged.
    bool MergeSlice(qint64 budgetNs);
    void MergeNextSlice();
    bool MergeFolderFiles(Slice& slice);
    // `completed` is false when the walk is dropped for a newer one.
    void EndBackgroundMerge(bool completed = true);
    // Queues the walk asked for, unless one is queued, running or merged.
    void StartWantedWalk();

    QThread m_scannerThread;
    FileScanner m_scanner;
    qint32 m_filesAdded = 0;
    qint32 m_filesRemoved = 0;
    bool m_initialised = false;
    bool m_backgroundScanPending = false;
    // One walk at a time, since the scanner's result map is merged in
    // place: what is asked for meanwhile waits here. Every root (start-up or
    // rescan), or else the roots shared since.
    bool m_walkAllWanted = false;
    bool m_reportWanted = false;
    QStringList m_rootsWanted;
    // From queueing a walk until its merge starts.
    bool m_walkInFlight = false;
    // The walk queued or merged is a rescan, whose end is reported.
    bool m_reportWalk = false;
    // The counters belong to a rescan not yet reported.
    bool m_rescanCounting = false;
    // A rescan of every root made the walk still running stale.
    bool m_dropWalk = false;
    std::unique_ptr<Merge> m_merge;
    qint64 m_mergeSliceNs = 20 * 1000 * 1000;
    QTimer m_mergeTimer;
    // The tokens of the folder tokenised last.
    ItemPtr m_tokenFolder;
    std::vector<ItemPtr> m_folderTokens;
    // Compressed share lists by audience (the ids of the visible roots),
    // valid while m_cacheGeneration == m_indexGeneration.
    quint64 m_indexGeneration = 0;
    quint64 m_cacheGeneration = 0;
    std::map<std::vector<quint64>, QByteArray> m_shareListCache;

    // Share lists made off the main thread: the users waiting, in the order
    // they asked, and what the list being made was copied for.
    void OnShareListLinkChanged(ConnectionInfo& info);
    void DropStaleShareLists();
    void KeepShareList(const std::vector<quint64>& audience, const QByteArray& message);
    // Removes and returns the waiting users who now see these roots.
    // A user on the connection that asked, where the answer goes.
    using Asker = std::pair<QString, quint64>;
    std::vector<Asker> TakeShareListWaiters(const std::vector<quint64>& audience);
    // Answers the waiting users whose list is kept; starts a list for the
    // first of the others.
    void ServeShareListWaiters();
    void OnShareListBuilt(QByteArray message);
    // Sends a list as an answer; one without room yet is kept for a retry.
    void SendShareList(const Asker& asker, const QByteArray& list);
    void RetryShareLists();
    // The folder's index entry when the user may see it, else null.
    ItemPtr VisibleFolder(const QString& user, const QString& folder, bool hers) const;
    // Whether the answer goes to her own connection: one the server vouched
    // for, or, without one that asked, the one a reply then goes on.
    bool ToHer(quint64 via) const;
    // A turn at the user's first folder request: a step of its answer, which
    // goes once made (FolderAnswerBuilder).
    FolderRequestQueue::Turn AnswerFolderRequest(const FolderRequestQueue::Request& request);
    // Counts a request of the code dropped; logged at most once per interval.
    void DropPeerRequest(const QString& user, quint32 code);
    // The answer's records as BuildSearchAnswer chooses them, stopping at
    // the first that would take the payload past `limit` (copy.full then
    // says so); false when there is nothing to send.
    bool CopySearchAnswer(const QString& user, quint32 ticket, const QString& search, qint64 limit,
                          SearchAnswerCopy& copy) const;
    void OnSearchAnswerMade(QString user, QString search, QByteArray message);
    // A search answer's copy, made at once or in steps.
    struct SearchCopy {
        QString user;
        QString search;
        qint64 limit = 0;
        std::set<QString> parts;
        std::set<QString> excluded;
        ItemSet roots;
        // Files holding every included token are looked at in identity
        // order, so that the files indexed first are the ones kept and no
        // more are looked at than fit; taken from the index a step at a
        // time, after the last one looked at, so that a search many files
        // match costs no more to begin than one few do.
        ItemSet tokens;
        std::uint64_t lastLooked = 0;
        // Visibility is a property of the folder, and files of one folder come
        // together: each folder is judged once. Its index in the copy, -1 when
        // hidden from the user; the folders are held, so that their addresses
        // stay theirs while the copy lasts.
        std::unordered_map<const Item*, qint64> folders;
        std::vector<ItemPtr> heldFolders;
        ItemPtr lastFolder;
        qint64 folderIndex = -1;
        // Two entries can read the same on the wire only when a folder or name
        // holds "\": from the first such path on, every path is checked.
        std::vector<bool> folderHasBackslash;
        std::unordered_set<std::string> paths;
        bool checkPaths = false;
        bool done = false;
        SearchAnswerCopy copy;
    };
    // False when nothing can match: a word no shared path holds, or no root
    // the user may see.
    bool BeginSearchCopy(const QString& user, quint32 ticket, const QString& search, qint64 limit,
                         SearchCopy& copying) const;
    // Looks at up to `count` more files; true once the copy is done.
    bool StepSearchCopy(SearchCopy& copying, std::size_t count) const;
    // Fills in the answer's last fields; false when nothing matched.
    bool EndSearchCopy(SearchCopy& copying) const;
    bool SearchCopyUnderWay(const QString& user) const;
    void StepSearchCopies();
    void EndStepwiseSearch(SearchCopy& copying);
    bool SendSearchAnswerNow(const QString& user, const QString& search,
                             const SearchAnswerCopy& copy);
    std::deque<std::unique_ptr<SearchCopy>> m_searchCopies;
    QTimer m_searchCopyTimer;
    SearchLine m_searchesWaiting{kMaxSearchesWaiting, kMaxSearchesWaitingPerUser};
    bool WaitForSearchTurn(const QString& user, quint32 ticket, const QString& search);
    // Each copy in steps holds a place in the queue of answers to be made,
    // so that none is copied only to be dropped for want of one.
    bool RoomForLargeAnswer() const;
    // Nothing we sent the user waits for them to take it.
    bool TookOurOutput(const QString& user) const;
    void StartWaitingSearches();
    // Whether the user still sees every root seen when the answer was
    // copied; forgets that audience. Logs a drop.
    bool IsSearchAnswerStillVisible(const QString& user, const QString& search);
    SearchAnswerQueue m_searchAnswers;
    // The roots each user with a large answer on its way saw at the copy.
    std::map<QString, std::vector<quint64>> m_searchAnswerAudiences;

    struct ListTypes {
        const Type* root = nullptr;
        const Type* folder = nullptr;
        const Type* file = nullptr;
        const Type* name = nullptr;
    };
    ListTypes m_listTypes;
    std::vector<Asker> m_shareListWaiters;
    // Users whose list is made but waits for room under the output cap.
    std::vector<Asker> m_shareListsHeld;
    QTimer m_shareListRetry;
    FolderRequestQueue m_folderRequests;
    FolderAnswerBuilder m_folderAnswers;
    QElapsedTimer m_answerClock;
    DropCounter m_droppedPeerRequests{PeerLimits::kDroppedRequestLogMs};
    bool m_droppedPeerRequestsFlush = false;
    Asker m_shareListAsker;
    std::vector<quint64> m_shareListAudience;
    quint64 m_shareListGeneration = 0;
    // Last, so that it goes first: it calls off a list being made.
    ShareListBuilder m_shareListBuilder;
};

extern SharedFoldersManager* sharedFoldersManager;

#endif
