#include "shares/SharedFoldersManager.h"

#include <QFileInfo>
#include <algorithm>
#include <limits>
#include <string>
#include <string_view>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "net/DNetManager.h"
#include "net/PeerMessenger.h"
#include "net/server.h"
#include "store/DataSaver.h"
#include "store/GeneralFunctions.h"
#include "store/Log.h"
#include "store/Settings.h"

SharedFoldersManager* sharedFoldersManager = nullptr;

namespace {

Type* NewValueType(const char* name, Primacy primacy) {
    return d.NewType(name, primacy, false, true);
}

Type* NewNullType(const char* name, Primacy primacy) {
    return d.NewType(name, primacy, true, true);
}

void SaveWhole(const char* type) {
    if (dataSaver)
        dataSaver->AddSavedType(type);
}

void SaveWith(const char* type, const char* owner) {
    if (dataSaver)
        dataSaver->AddSavedByConnectionType(type, owner);
}

bool WantsMP3Scan(const QString& name) {
    // Only these two spellings; "song.Mp3" and a bare ".mp3" are left alone.
    return name.size() > 4 &&
           (name.endsWith(QLatin1String(".mp3")) || name.endsWith(QLatin1String(".MP3")));
}

// The walk is allocated on the scanner thread's malloc arena, which keeps
// what is freed there; the merge hands it back to the system as it goes, so
// that the scan result and the grown index never add up in full.
constexpr int kFoldersPerTrim = 2048;

void ReleaseFreedMemory() {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

bool ById(const ItemPtr& a, const ItemPtr& b) {
    return a.GetId() < b.GetId();
}

}  // namespace

// Where the merge of the start-up walk stands between two slices.
struct SharedFoldersManager::Merge {
    FileScanner::ResultMap::iterator root;  // the result entry being merged
    ItemPtr rootItem;                       // its root, null when unshared
    bool rootLooked = false;
    // The folder being merged when a slice ended inside it.
    ItemPtr folder;
    QString folderPath;
    ItemSet oldFiles;
    std::vector<ItemPtr> kept;
    int nextFile = 0;
    // Folders reached by the walk, and the roots it walked, so that folders
    // the walk did not reach can go. Kept here rather than as a flag in the
    // store, so that a save during the merge holds no half-set marks.
    std::unordered_set<quint64> reached;
    ItemSet walkedRoots;
    int foldersMerged = 0;
    // The closing sweep over every folder.
    bool sweeping = false;
    std::vector<ItemPtr> folders;
    std::size_t nextFolder = 0;
};

SharedFoldersManager::SharedFoldersManager(QObject* parent)
    : QObject(parent),
      m_folderRequests(
          [this](const FolderRequestQueue::Request& r) { return AnswerFolderRequest(r); },
          [](const FolderRequestQueue::Request& r) {
              return !peerMessenger || !peerMessenger->AnswerWaiting(
                                           r.user, PeerMessenger::PM_SHARED_FILES_IN_FOLDER, r.via);
          }) {
    sharedFoldersManager = this;

    // Roots, the index and the flags of roots.
    Type* root = NewValueType("shared_folder", PrimacyRoot);
    Type* file = NewNullType("shared_file", PrimacyIntermediate);
    Type* name = NewValueType("shared_file_name", PrimacyIntermediate);
    Type* lowerName = NewValueType("shared_file_lowercase_name", PrimacyLeaf);
    Type* folder = NewValueType("shared_file_folder", PrimacyIntermediate);
    Type* lowerFolder = NewValueType("shared_file_folder_lowercase_name", PrimacyLeaf);
    Type* size = NewValueType("shared_file_size", PrimacyLeaf);
    Type* isPublic = NewNullType("shared_public", PrimacyLeaf);
    Type* forUserList = NewNullType("shared_userlist", PrimacyLeaf);
    Type* scanned = NewNullType("is_scanned", PrimacyLeaf);
    Type* rootId = NewValueType("shared_folder_id", PrimacyLeaf);

    // Each b item links to at most x a items, each a item to at most y b items.
    root->RelateToType(folder, Many, Many, false);
    file->RelateToType(folder, Many, One, false);
    folder->RelateToType(lowerFolder, Many, One, false);
    file->RelateToType(name, Many, One, false);
    name->RelateToType(lowerName, Many, One, false);
    file->RelateToType(size, Many, One, false);
    root->RelateToType(isPublic, Many, One, false);
    root->RelateToType(forUserList, Many, One, false);
    folder->RelateToType(scanned, Many, One, false);
    root->RelateToType(d.GetType("user_list_group"), Many, Many, false);
    root->RelateToType(rootId, One, One, false);

    SaveWhole("shared_folder");
    SaveWith("shared_public", "shared_folder");
    SaveWith("shared_userlist", "shared_folder");
    SaveWith("shared_folder_id", "shared_folder");

    // The normalised twins are not saved: these handlers rebuild them for
    // every name and folder, those of the start-up load included.
    name->NewItemEvent().Insert(ItemHandler(this, &SharedFoldersManager::OnSharedFileNameAdded));
    folder->NewItemEvent().Insert(
        ItemHandler(this, &SharedFoldersManager::OnSharedFileFolderAdded));

    // Cache of other users' browsed shares.
    Type* share = NewNullType("user_share", PrimacyRoot);
    Type* shareFolder = NewNullType("user_share_folder", PrimacyIntermediate);
    Type* parentNode = NewNullType("user_share_folder_parent", PrimacyIntermediate);
    Type* childNode = NewNullType("user_share_folder_child", PrimacyIntermediate);
    Type* shareFolderName = NewValueType("user_share_folder_name", PrimacyLeaf);
    Type* shareFile = NewNullType("user_share_file", PrimacyIntermediate);
    Type* shareFileName = NewValueType("user_share_file_name", PrimacyLeaf);
    share->RelateToType(d.GetType("user"), One, One, false);
    share->RelateToType(shareFolder, One, Many, false);
    shareFolder->RelateToType(shareFolderName, Many, One, false);
    shareFolder->RelateToType(shareFile, One, Many, false);
    shareFolder->RelateToType(parentNode, One, One, false);
    shareFolder->RelateToType(childNode, One, Many, false);
    parentNode->RelateToType(childNode, One, One, false);
    shareFile->RelateToType(shareFileName, Many, One, false);
    shareFile->RelateToType(d.GetType("file_size"), Many, One, false);
    m_answerClock.start();
    // Held answers go when the messenger says room was made; the timer only
    // catches room made by closing peers that stopped reading.
    m_shareListRetry.setInterval(1000);
    m_shareListRetry.setSingleShot(true);
    connect(&m_shareListRetry, &QTimer::timeout, this, &SharedFoldersManager::RetryShareLists);
    connect(&m_folderAnswers, &FolderAnswerBuilder::Made, this,
            [this] { m_folderRequests.Wake(); });
    m_searchCopyTimer.setSingleShot(true);
    connect(&m_searchCopyTimer, &QTimer::timeout, this, &SharedFoldersManager::StepSearchCopies);
    if (peerMessenger) {
        connect(peerMessenger, &PeerMessenger::SharedFilesInFolderRequested, this,
                &SharedFoldersManager::OnFilesInFoldersRequested);
        connect(peerMessenger, &PeerMessenger::SharedFileListRequested, this,
                &SharedFoldersManager::OnSharedFileListRequested);
        peerMessenger->SetShownMore(
            this, [this](const QString& user) { return ShownMoreThanStrangers(user); });
        connect(peerMessenger, &PeerMessenger::OutputRoom, this, [this] {
            if (!m_shareListsHeld.empty())
                RetryShareLists();
            m_folderRequests.Wake();
        });
    }

    NewValueType("search_token", PrimacyLeaf)->RelateToType(file, Many, Many, false);
    // Whichever of the two managers is made second connects the tree's searches.
    if (dnetManager)
        connect(dnetManager, &DNetManager::DNetSearchRequest, this,
                &SharedFoldersManager::OnDNetSearchRequest);

    // The own index keeps no playing time: "length_seconds" only for browsed files.
    for (const char* attribute :
         {"mpeg_version", "channel_mode", "audio_frequency", "bitrate_mode", "bitrate"})
        file->RelateToType(d.GetType(attribute), Many, One, false);
    file->RelateToType(scanned, Many, One, false);
    SaveWhole("is_scanned");
    SaveWith("shared_file", "shared_file_folder");
    SaveWith("shared_file_folder", "shared_folder");
    for (const char* attribute : {"shared_file_name", "shared_file_size", "mpeg_version",
                                  "channel_mode", "audio_frequency", "bitrate_mode", "bitrate"})
        SaveWith(attribute, "shared_file");
    for (const char* attribute : {"bitrate_mode", "bitrate", "length_seconds"})
        shareFile->RelateToType(d.GetType(attribute), Many, One, false);

    m_scannerThread.start();
    m_scanner.moveToThread(&m_scannerThread);

    connect(this, &SharedFoldersManager::MP3ScanRequired, &m_scanner,
            &FileScanner::OnMP3ScanRequired);
    connect(&m_scanner, &FileScanner::MP3Scanned, this, &SharedFoldersManager::OnMP3Scanned);
    if (gp_server) {
        connect(gp_server, &Server::Connected, this, &SharedFoldersManager::OnConnectedToServer);
        connect(gp_server, &Server::ReceivedUserStats, this,
                &SharedFoldersManager::OnReceivedUserStats);
    }

    d.GetType("user")->RelateToType(NewNullType("unshared", PrimacyLeaf), Many, One, false);
    SaveWhole("unshared");
    SaveWith("user", "unshared");
    SetSettingDefault("shared_folder_counter", 1);

    if (gp_server)
        connect(gp_server, &Server::DirectFileSearch, this,
                &SharedFoldersManager::OnDirectFileSearch);
    connect(&m_scanner, &FileScanner::FoldersScanned, this,
            &SharedFoldersManager::OnFoldersRescanned);
    // A zero timer lets every waiting event run before the next merge slice.
    m_mergeTimer.setSingleShot(true);
    m_mergeTimer.setInterval(0);
    connect(&m_mergeTimer, &QTimer::timeout, this, &SharedFoldersManager::MergeNextSlice);
    WatchIndexForAnswers();
}

SharedFoldersManager::~SharedFoldersManager() {
    // A merge cut short leaves every folder either as loaded or as walked;
    // the next start walks and merges again.
    m_mergeTimer.stop();
    m_merge.reset();
    DisableHandlers();
    m_scanner.Quit();
    m_scannerThread.quit();
    m_scannerThread.wait();
    if (sharedFoldersManager == this)
        sharedFoldersManager = nullptr;
}

// ---------------------------------------------------------------------------
// Normalised twins and lookups

QString SharedFoldersManager::GetAbsoluteFileName(const QString& path) {
    // Every merged file is looked up by path: plain ASCII paths take one pass.
    QString out(path.size(), Qt::Uninitialized);
    QChar* o = out.data();
    int n = 0;
    bool afterSlash = false;
    for (QChar c : path) {
        ushort u = c.unicode();
        if (u >= 0x80) {
            n = -1;
            break;
        }
        if (u == '\\')
            u = '/';
        if (u == '/') {
            if (afterSlash)
                continue;
            afterSlash = true;
        } else {
            afterSlash = false;
            if (u >= 'A' && u <= 'Z')
                u = ushort(u + ('a' - 'A'));
        }
        o[n++] = QChar(u);
    }
    if (n >= 0) {
        out.truncate(n);
        return out;
    }

    const QString lower = path.toLower();
    out.clear();
    out.reserve(lower.size());
    afterSlash = false;
    for (QChar c : lower) {
        if (c == QLatin1Char('\\'))
            c = QLatin1Char('/');
        if (c == QLatin1Char('/')) {
            if (afterSlash)
                continue;
            afterSlash = true;
        } else {
            afterSlash = false;
        }
        out.append(c);
    }
    return out;
}

void SharedFoldersManager::OnSharedFileNameAdded(ItemPtr name) {
    name.Connect(
        d.GetType("shared_file_lowercase_name")->GetItem(GetAbsoluteFileName(name.AsString())));
}

void SharedFoldersManager::OnSharedFileFolderAdded(ItemPtr folder) {
    folder.Connect(d.GetType("shared_file_folder_lowercase_name")
                       ->GetItem(GetAbsoluteFileName(folder.AsString())));
}

ItemPtr SharedFoldersManager::GetSharedFileItem(const QString& path) const {
    const QString normal = GetAbsoluteFileName(path);
    const int cut = normal.lastIndexOf(QLatin1Char('/'));
    const QString fileName = normal.mid(cut + 1);
    const QString folderName = cut < 0 ? QString() : normal.left(cut);

    const ItemPtr lowerName = d.GetType("shared_file_lowercase_name")->HasItem(fileName);
    if (lowerName.IsNull())
        return ItemPtr();
    const ItemPtr lowerFolder = d.GetType("shared_file_folder_lowercase_name")->HasItem(folderName);
    if (lowerFolder.IsNull())
        return ItemPtr();

    // The entry is a file of one of these names lying in one of these
    // folders. Walk the side with fewer files: a common name ("cover.jpg")
    // may have thousands of files, a folder rarely does.
    const ItemSet names = lowerName.GetItems("shared_file_name");
    const ItemSet folders = lowerFolder.GetItems("shared_file_folder");
    qint64 nameFiles = 0;
    for (const ItemPtr& n : names)
        nameFiles += n.CountItems("shared_file");
    qint64 folderFiles = 0;
    for (const ItemPtr& f : folders)
        folderFiles += f.CountItems("shared_file");

    const bool fromNames = nameFiles <= folderFiles;
    const ItemSet& walked = fromNames ? names : folders;
    const ItemSet& other = fromNames ? folders : names;
    ItemPtr first;
    for (const ItemPtr& start : walked)
        for (const ItemPtr& file : start.GetItems("shared_file")) {
            if (!first.IsNull() && first.GetId() < file.GetId())
                continue;
            for (const ItemPtr& partner : other)
                if (file.IsConnected(partner)) {
                    first = file;
                    break;
                }
        }
    return first;
}

qint64 SharedFoldersManager::FileAttribute(const ItemPtr& file, const char* attribute,
                                           bool* present) {
    const ItemPtr value = file.HasItem(attribute);
    if (present)
        *present = !value.IsNull();
    return value.AsInt64();
}

QString SharedFoldersManager::GetFileItemDisplayString(ItemPtr file) {
    QString text;
    bool present = false;
    const qint64 bitrate = FileAttribute(file, "bitrate", &present);
    if (present)
        text += QString::number(bitrate);
    const std::string mode = file.HasItem("bitrate_mode").AsStdString();
    if (mode == "vbr")
        text += QLatin1String(" VBR");
    else if (mode == "cbr")
        text += QLatin1String(" CBR");
    const qint64 length = FileAttribute(file, "length_seconds", &present);
    if (present)
        text += QLatin1String(", ") + FormatSeconds(length);
    return text;
}

// ---------------------------------------------------------------------------
// Tokens

bool SharedFoldersManager::IsSearchTokenSeparator(QChar c) {
    const ushort u = c.unicode();
    const bool tokenChar = (u >= '0' && u <= '9') || (u >= 'a' && u <= 'z') ||
                           (u >= 'A' && u <= 'Z') || (u >= 0x80 && u <= 0xFF);
    return !tokenChar;
}

namespace {

bool IsPathSeparator(QChar c) {
    return c == QLatin1Char(' ') || c == QLatin1Char('/') || c == QLatin1Char('\\');
}

template <class IsSeparator>
void SplitInto(const QString& text, IsSeparator isSeparator, std::vector<QString>& out) {
    int start = -1;
    for (int k = 0; k <= text.size(); ++k) {
        const bool separator = k == text.size() || isSeparator(text[k]);
        if (!separator) {
            if (start < 0)
                start = k;
        } else if (start >= 0) {
            out.push_back(text.mid(start, k - start));
            start = -1;
        }
    }
}

// The text as bytes when it is plain ASCII, whose characters split and sort
// the same as bytes and whose UTF-8 is those bytes.
bool AsAscii(const QString& text, std::string& out) {
    out.resize(std::size_t(text.size()));
    for (int k = 0; k < text.size(); ++k) {
        const ushort u = text[k].unicode();
        if (u >= 0x80)
            return false;
        out[std::size_t(k)] = char(u);
    }
    return true;
}

template <class IsSeparator>
void SplitBytes(std::string_view text, IsSeparator isSeparator,
                std::vector<std::string_view>& out) {
    std::size_t start = std::string_view::npos;
    for (std::size_t k = 0; k <= text.size(); ++k) {
        const bool separator = k == text.size() || isSeparator(text[k]);
        if (!separator) {
            if (start == std::string_view::npos)
                start = k;
        } else if (start != std::string_view::npos) {
            out.push_back(text.substr(start, k - start));
            start = std::string_view::npos;
        }
    }
}

}  // namespace

std::vector<ItemPtr> SharedFoldersManager::TokenItems(const QString& lowerText) {
    Type* tokenType = d.GetType("search_token");
    std::vector<ItemPtr> tokens;
    // Every new file is tokenised while a share is merged: plain ASCII names
    // are split without a string made per word.
    std::string ascii;
    if (AsAscii(lowerText, ascii)) {
        std::vector<std::string_view> words;
        SplitBytes(
            ascii, [](char c) { return IsSearchTokenSeparator(QLatin1Char(c)); }, words);
        SplitBytes(
            ascii, [](char c) { return IsPathSeparator(QLatin1Char(c)); }, words);
        std::sort(words.begin(), words.end());
        words.erase(std::unique(words.begin(), words.end()), words.end());
        tokens.reserve(words.size());
        for (std::string_view word : words)
            tokens.push_back(tokenType->GetItem(Value(std::string(word))));
        return tokens;
    }
    std::vector<QString> words;
    SplitInto(lowerText, &SharedFoldersManager::IsSearchTokenSeparator, words);
    SplitInto(lowerText, &IsPathSeparator, words);
    std::sort(words.begin(), words.end());
    words.erase(std::unique(words.begin(), words.end()), words.end());
    tokens.reserve(words.size());
    for (const QString& word : words)
        tokens.push_back(tokenType->GetItem(word));
    return tokens;
}

void SharedFoldersManager::TokenizeSharedFile(ItemPtr file) {
    if (file.IsNull())
        return;
    // The text is the lower-cased "folder\name": the whole absolute folder
    // path takes part, so every folder name on the way is a token too. The
    // backslash separates in both passes, so the folder's tokens are the same
    // for all its files; a merge tokenises a folder's files one after another.
    const ItemPtr folder = file.HasItem("shared_file_folder");
    bool cached = folder == m_tokenFolder && !folder.IsRemoved();
    for (const ItemPtr& token : m_folderTokens)
        cached = cached && !token.IsRemoved();
    if (!cached) {
        m_tokenFolder = folder;
        m_folderTokens = TokenItems(folder.AsString().toLower());
    }
    const std::vector<ItemPtr> nameTokens =
        TokenItems(file.HasItem("shared_file_name").AsString().toLower());
    // A new file gets all its tokens at once: one move of its links, not one
    // every few tokens.
    file.ReserveLinks(
        int(file.GetItemObject()->LinkCount() + m_folderTokens.size() + nameTokens.size()));
    for (const ItemPtr& token : m_folderTokens)
        file.Connect(token);
    for (const ItemPtr& token : nameTokens)
        file.Connect(token);
}

// ---------------------------------------------------------------------------
// Indexing

ItemPtr SharedFoldersManager::IndexFile(const ItemPtr& folder, const QString& path,
                                        const QString& name, qint64 size, bool& created) {
    created = false;
    const std::string sizeText = std::to_string(size);
    ItemPtr file = GetSharedFileItem(path);
    if (file.IsNull() && name.contains(QLatin1Char('\\'))) {
        // The lookup reads a backslash as a separator, so a name that holds
        // one is matched exactly instead of getting a new entry every scan.
        const ItemPtr nameItem = d.GetType("shared_file_name")->HasItem(name);
        for (const ItemPtr& candidate : folder.GetItems("shared_file"))
            if (candidate.IsConnected(nameItem)) {
                file = candidate;
                break;
            }
    }
    if (file.IsNull()) {
        file = d.GetType("shared_file")->NewItem();
        file.Connect(folder);
        file.Connect(d.GetType("shared_file_name")->GetItem(name));
        file.Connect(d.GetType("shared_file_size")->GetItem(sizeText));
        created = true;
    } else if (file.HasItem("shared_file_size").AsStdString() != sizeText) {
        // A changed file keeps its entry and its audio attributes.
        file.Connect(d.GetType("shared_file_size")->GetItem(sizeText));
    }
    if (WantsMP3Scan(name) && !file.IsConnected("is_scanned"))
        emit MP3ScanRequired(path);
    if (created || !file.IsConnected("search_token"))
        TokenizeSharedFile(file);
    return file;
}

void SharedFoldersManager::RemoveFile(const ItemPtr& file) {
    // What only this file used goes with it, so that no sweep of the whole
    // store is needed after a rescan.
    std::vector<ItemPtr> used;
    for (const ItemPtr& token : file.GetItems("search_token"))
        used.push_back(token);
    const ItemPtr name = file.HasItem("shared_file_name");
    used.push_back(file.HasItem("shared_file_size"));
    file.Remove();
    for (const ItemPtr& item : used)
        if (!item.IsNull() && !item.IsRemoved() && !item.IsConnected("shared_file"))
            item.Remove();
    if (!name.IsNull() && !name.IsRemoved() && !name.IsConnected("shared_file")) {
        const ItemPtr lower = name.HasItem("shared_file_lowercase_name");
        name.Remove();
        if (!lower.IsNull() && !lower.IsConnected("shared_file_name"))
            lower.Remove();
    }
}

int SharedFoldersManager::RemoveFilesNotKept(const ItemSet& old, std::vector<ItemPtr>& kept) {
    std::sort(kept.begin(), kept.end(), ById);
    int removed = 0;
    for (const ItemPtr& file : old)
        if (!std::binary_search(kept.begin(), kept.end(), file, ById)) {
            RemoveFile(file);
            ++removed;
        }
    return removed;
}

int SharedFoldersManager::RemoveFolderWithFiles(const ItemPtr& folder) {
    const ItemSet files = folder.GetItems("shared_file");
    for (const ItemPtr& file : files)
        RemoveFile(file);
    const ItemPtr lower = folder.HasItem("shared_file_folder_lowercase_name");
    folder.Remove();
    if (!lower.IsNull() && !lower.IsConnected("shared_file_folder"))
        lower.Remove();
    return files.Size();
}

void SharedFoldersManager::Init() {
    if (m_initialised)
        return;
    m_initialised = true;

    m_walkAllWanted = true;
    m_backgroundScanPending = true;
    StartWantedWalk();

    PathNode* users = new PathNode(&d, "user");
    new PathNode(users, "user_address", PathConnecting);
    d.AddPathEventHandler(users, ItemHandler(this, &SharedFoldersManager::OnUserAddress));
}

// The time of one merge slice. It ends only after a step, so that even a
// tiny budget makes progress.
struct SharedFoldersManager::Slice {
    explicit Slice(qint64 budget) : budgetNs(budget) { clock.start(); }
    bool Over() const { return stepped && clock.nsecsElapsed() >= budgetNs; }
    QElapsedTimer clock;
    qint64 budgetNs;
    bool stepped = false;
};

void SharedFoldersManager::StartWantedWalk() {
    if (m_walkInFlight || m_merge)
        return;
    QStringList roots;
    if (m_walkAllWanted) {
        for (const ItemPtr& root : d.GetType("shared_folder")->GetItems())
            roots.append(root.AsString());
        m_reportWalk = m_reportWanted;
    } else {
        // Unshared since it was asked for: its files must not come back.
        Type* shared = d.GetType("shared_folder");
        for (const QString& root : m_rootsWanted)
            if (!shared->HasItem(root).IsNull() && !roots.contains(root))
                roots.append(root);
        m_reportWalk = false;
    }
    const bool wanted = m_walkAllWanted || !roots.isEmpty();
    m_walkAllWanted = false;
    m_reportWanted = false;
    m_rootsWanted.clear();
    if (!wanted) {
        m_backgroundScanPending = false;
        return;
    }
    m_walkInFlight = true;
    m_backgroundScanPending = true;
    QMetaObject::invokeMethod(&m_scanner, "ScanFolders", Qt::QueuedConnection,
                              Q_ARG(QStringList, roots));
}

void SharedFoldersManager::OnFoldersRescanned() {
    // A merge running already works through the same result map.
    if (m_merge)
        return;
    m_walkInFlight = false;
    if (m_dropWalk) {
        // A rescan of every root made this walk stale.
        m_dropWalk = false;
        EndBackgroundMerge(false);
        return;
    }
    Log("Profiling", 1, "OnFoldersRescanned begin");
    m_merge.reset(new Merge);
    m_merge->root = m_scanner.Results().begin();
    MergeNextSlice();
}

void SharedFoldersManager::MergeNextSlice() {
    if (!m_merge)
        return;
    if (MergeSlice(m_mergeSliceNs)) {
        EndBackgroundMerge();
        return;
    }
    m_mergeTimer.start();
}

void SharedFoldersManager::FinishBackgroundMerge() {
    if (!m_merge)
        return;
    m_mergeTimer.stop();
    MergeSlice(std::numeric_limits<qint64>::max());
    EndBackgroundMerge();
}

void SharedFoldersManager::EndBackgroundMerge(bool completed) {
    m_mergeTimer.stop();
    const bool merged = m_merge != nullptr;
    m_merge.reset();
    m_scanner.Results().clear();
    ReleaseFreedMemory();
    if (merged)
        Log("Profiling", 1, "OnFoldersRescanned end");
    // A dropped rescan is reported with the one that replaces it.
    const bool report = completed && m_reportWalk;
    m_reportWalk = false;
    if (report)
        m_rescanCounting = false;
    m_backgroundScanPending = false;
    StartWantedWalk();
    if (report)
        emit SharedFilesRescanned(m_filesAdded, m_filesRemoved);
    emit BackgroundMergeEnded();
}

bool SharedFoldersManager::MergeFolderFiles(Slice& slice) {
    Merge& m = *m_merge;
    const FileScanner::FileList& files = m.root->second.begin()->second;
    for (; m.nextFile < files.Size(); ++m.nextFile) {
        if (slice.Over())
            return false;
        const QString name = files.Name(m.nextFile);
        bool created = false;
        m.kept.push_back(IndexFile(m.folder, m.folderPath + QLatin1Char('/') + name, name,
                                   files.FileSize(m.nextFile), created));
        if (created)
            ++m_filesAdded;
        slice.stepped = true;
    }
    m_filesRemoved += RemoveFilesNotKept(m.oldFiles, m.kept);
    return true;
}

bool SharedFoldersManager::MergeSlice(qint64 budgetNs) {
    Slice slice(budgetNs);
    Merge& m = *m_merge;
    FileScanner::ResultMap& results = m_scanner.Results();
    Type* folderType = d.GetType("shared_file_folder");

    while (!m.sweeping) {
        if (m.root == results.end()) {
            m.sweeping = true;
            for (const ItemPtr& folder : folderType->GetItems())
                m.folders.push_back(folder);
            break;
        }
        if (!m.rootLooked) {
            m.rootLooked = true;
            m.rootItem = d.GetType("shared_folder")->HasItem(m.root->first);
            if (!m.rootItem.IsNull())
                m.walkedRoots.Insert(m.rootItem);
        }
        FileScanner::FolderMap& folders = m.root->second;
        // Unshared before or while the walk's results were merged.
        if (folders.empty() || m.rootItem.IsNull() || m.rootItem.IsRemoved()) {
            ++m.root;
            m.rootItem = ItemPtr();
            m.rootLooked = false;
            m.folder = ItemPtr();
            m.oldFiles.Clear();
            continue;
        }
        if (slice.Over())
            return false;

        if (m.folder.IsNull()) {
            m.folderPath = folders.begin()->first;
            m.folder = folderType->GetItem(m.folderPath);
            m.folder.Connect(m.rootItem);
            m.reached.insert(m.folder.GetId());
            m.oldFiles = m.folder.GetItems("shared_file");
            m.kept.clear();
            m.kept.reserve(std::size_t(folders.begin()->second.Size()));
            m.nextFile = 0;
        } else if (m.folder.IsRemoved()) {
            // Dropped between two slices: what is merged of it stays, the
            // rest of the walk's listing is stale.
            m.folder = ItemPtr();
            folders.erase(folders.begin());
            continue;
        }
        if (!MergeFolderFiles(slice))
            return false;
        m.folder = ItemPtr();
        m.oldFiles.Clear();
        slice.stepped = true;
        // Each folder's listing is freed once merged, so that the scan result
        // and the grown index are not held in full at the same time.
        folders.erase(folders.begin());
        if (++m.foldersMerged % kFoldersPerTrim == 0)
            ReleaseFreedMemory();
    }

    // Folders the walk did not reach are gone from disk, but only under roots
    // it walked: a root shared while it ran (or its new folders) was not
    // walked, and its folders must stay. Folders of unshared roots go too.
    for (; m.nextFolder < m.folders.size(); ++m.nextFolder) {
        if ((m.nextFolder & 63) == 0 && slice.Over())
            return false;
        slice.stepped = true;
        const ItemPtr& folder = m.folders[m.nextFolder];
        if (folder.IsRemoved())
            continue;
        // Its root was unshared, maybe after the folder was merged: a folder
        // and its files hold each other, so the store's sweep leaves them.
        if (!folder.IsConnected("shared_folder")) {
            m_filesRemoved += RemoveFolderWithFiles(folder);
            continue;
        }
        if (m.reached.count(folder.GetId()))
            continue;
        const ItemSet roots = folder.GetItems("shared_folder");
        bool walked = false;
        for (const ItemPtr& root : roots)
            walked = walked || m.walkedRoots.Contains(root);
        if (walked)
            m_filesRemoved += RemoveFolderWithFiles(folder);
    }
    return true;
}

ItemPtr SharedFoldersManager::AddSharedFolder(QString path) {
    // A trailing "/" would give the root's own folder a key under which no
    // file path is ever found.
    while (path.size() > 1 && path.endsWith(QLatin1Char('/')))
        path.chop(1);
    if (path.isEmpty())
        return ItemPtr();
    Type* roots = d.GetType("shared_folder");
    const ItemPtr existing = roots->HasItem(path);
    if (!existing.IsNull())
        return existing;

    const ItemPtr root = roots->GetItem(path);
    const int number = GetSettingInt("shared_folder_counter");
    SetSetting("shared_folder_counter", number + 1);
    const QString dirName = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
    root.Connect(d.GetType("shared_folder_id")
                     ->GetItem(QStringLiteral("[%1]%2").arg(QString::number(number), dirName)));
    // A large folder would freeze the window if walked here.
    m_rootsWanted.append(path);
    m_backgroundScanPending = true;
    StartWantedWalk();
    return root;
}

void SharedFoldersManager::RescanShares() {
    if (!m_rescanCounting) {
        m_rescanCounting = true;
        m_filesAdded = 0;
        m_filesRemoved = 0;
    }
    m_walkAllWanted = true;
    m_reportWanted = true;
    m_backgroundScanPending = true;
    // Every root is listed afresh: what a walk found before is stale.
    if (m_merge)
        EndBackgroundMerge(false);
    else if (m_walkInFlight)
        m_dropWalk = true;
    else
        StartWantedWalk();
}

void SharedFoldersManager::OnMP3Scanned(QString file, int mpegVersion, QString channelMode,
                                        int frequency, bool isVBR, int bitrate) {
    Log("MP3 Scanning", 1, QStringLiteral("Scanned %1").arg(file));
    const ItemPtr entry = GetSharedFileItem(file);
    if (entry.IsNull())
        return;
    entry.Connect(d.GetType("mpeg_version")->GetItem(mpegVersion));
    entry.Connect(d.GetType("channel_mode")->GetItem(channelMode));
    entry.Connect(d.GetType("audio_frequency")->GetItem(frequency));
    entry.Connect(d.GetType("bitrate_mode")->GetItem(isVBR ? "vbr" : "cbr"));
    entry.Connect(d.GetType("bitrate")->GetItem(bitrate));
    entry.Connect(d.GetType("is_scanned")->GetGlobalNullItem());
}
