#include "shares/ShareListBuilder.h"

#include <QString>
#include <algorithm>
#include <limits>
#include <numeric>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "net/PeerLimits.h"
#include "net/PeerMessenger.h"
#include "net/PeerPayloads.h"
#include "shares/SharedFoldersManager.h"
#include "store/Log.h"
#include "store/MemStream.h"

namespace {

// Files and folders copied per turn of the event loop: a few milliseconds.
constexpr std::size_t kItemsPerStep = 2048;
// After a change, copying begins again this much later, so that a burst of
// changes (a rescan) is not chased item by item.
constexpr int kPauseMs = 50;

// What a share list shows of the index, as plain data that any thread may
// read: the folders in the order visited, each with its files after those
// of the folder before.
struct ShareListCopy {
    struct File {
        std::size_t nameOffset;
        std::size_t nameSize;
        qint64 size;
        AudioFacts audio;
    };
    struct Folder {
        std::string path;  // as sent: "\" for "/"
        std::size_t firstFile;
    };
    std::string names;
    std::vector<File> files;
    std::vector<Folder> folders;

    std::size_t EndOfFolder(std::size_t k) const {
        return k + 1 < folders.size() ? folders[k + 1].firstFile : files.size();
    }
};

void CopyFile(const ItemPtr& file, ShareListCopy& copy) {
    const Item* name = file.HasItem("shared_file_name").GetItemObject();
    const char* bytes = name ? name->ValueData() : "";
    const std::size_t size = name ? name->ValueSize() : 0;
    copy.files.push_back(ShareListCopy::File{copy.names.size(), size,
                                             file.HasItem("shared_file_size").AsInt64(),
                                             AudioFacts::Of(file, bytes, size)});
    copy.names.append(bytes, size);
}

// The share-list payload; false when stopped.
bool WriteShareList(const ShareListCopy& copy, MemStream& payload, const std::atomic<bool>* stop) {
    // One entry per path, in byte order: folders whose paths read the same
    // share it, their files in the order they were visited.
    std::vector<std::size_t> order(copy.folders.size());
    std::iota(order.begin(), order.end(), std::size_t(0));
    std::stable_sort(order.begin(), order.end(), [&copy](std::size_t a, std::size_t b) {
        return copy.folders[a].path < copy.folders[b].path;
    });
    quint32 entries = 0;
    for (std::size_t k = 0; k < order.size(); ++k)
        entries += k == 0 || copy.folders[order[k]].path != copy.folders[order[k - 1]].path;
    payload.Write(entries);
    std::set<FileInfo> files;
    for (std::size_t k = 0; k < order.size();) {
        if (stop && stop->load(std::memory_order_relaxed))
            return false;
        const std::string& path = copy.folders[order[k]].path;
        files.clear();
        for (; k < order.size() && copy.folders[order[k]].path == path; ++k) {
            for (std::size_t f = copy.folders[order[k]].firstFile; f < copy.EndOfFolder(order[k]);
                 ++f) {
                const ShareListCopy::File& file = copy.files[f];
                files.insert(FileInfo(copy.names.substr(file.nameOffset, file.nameSize), file.size,
                                      file.audio.Attributes()));
            }
        }
        bool ok = payload.Write(path) && payload.Write(quint32(files.size()));
        for (auto file = files.begin(); ok && file != files.end(); ++file)
            ok = file->Write(payload);
        if (!ok)
            break;
    }
    payload.Write(quint32(0));
    return true;
}

Packing MakeShareList(const ShareListCopy& copy, QByteArray& message,
                      const std::atomic<bool>* stop) {
    MemStream payload;
    if (!WriteShareList(copy, payload, stop))
        return Packing::Stopped;
    return PackAnswer(PeerMessenger::PM_SHARED_FILE_LIST, payload.GetWrittenBytes(), message, stop);
}

}  // namespace

// ---------------------------------------------------------------------------

AudioFacts::Types AudioFacts::Types::Get() {
    return Types{d.GetType("bitrate"), d.GetType("bitrate_mode")};
}

AudioFacts AudioFacts::Of(const ItemPtr& file, const char* name, std::size_t size) {
    return Of(file, name, size, Types::Get());
}

AudioFacts AudioFacts::Of(const ItemPtr& file, const char* name, std::size_t size,
                          const Types& types) {
    AudioFacts facts;
    const std::string_view text(name, size);
    const std::size_t dot = text.rfind('.');
    if (dot == std::string_view::npos || size - dot != 4)
        return facts;
    for (std::size_t k = 1; k < 4; ++k) {
        const char c = text[dot + k];
        if ((c >= 'A' && c <= 'Z' ? char(c + ('a' - 'A')) : c) != "mp3"[k - 1])
            return facts;
    }
    facts.mp3 = true;
    const ItemPtr bitrate = file.HasItem(types.bitrate);
    facts.hasBitrate = !bitrate.IsNull();
    facts.bitrate = quint32(bitrate.AsInt64());
    const ItemPtr mode = file.HasItem(types.mode);
    facts.hasMode = !mode.IsNull();
    facts.vbr = facts.hasMode && mode.AsStdString() == "vbr";
    return facts;
}

AttributeMap AudioFacts::Attributes() const {
    AttributeMap attributes;
    if (!mp3)
        return attributes;
    attributes.SetExtension("mp3");
    if (hasBitrate)
        attributes.Append(AttributeMap::kBitrate, bitrate);
    if (hasMode)
        attributes.Append(AttributeMap::kVariableBitrate, vbr ? 1 : 0);
    return attributes;
}

Packing PackAnswer(quint32 code, const QByteArray& payload, QByteArray& message,
                   const std::atomic<bool>* stop) {
    message.clear();
    QByteArray compressed;
    if (!DeflatePayload(payload, compressed, stop))
        return stop && stop->load() ? Packing::Stopped : Packing::Failed;
    if (4 + qint64(compressed.size()) > qint64(PeerLimits::kMaxFrameLength))
        return Packing::TooLarge;
    MemStream out;
    if (!out.Write(code) || !out.WriteBuffer(compressed.constData(), compressed.size()))
        return Packing::Failed;
    message = out.GetWrittenBytes();
    return Packing::Packed;
}

void LogPackingFailure(quint32 code, Packing result) {
    if (result == Packing::Failed)
        Log("Shared", 1, QStringLiteral("Could not compress an answer (code %1)").arg(code));
    else if (result == Packing::TooLarge)
        Log("Shared", 1, QStringLiteral("Answer too large to send (code %1)").arg(code));
}

// ---------------------------------------------------------------------------

struct ShareListBuilder::Copying {
    FolderSource source;
    bool begun = false;
    ItemSet folders;
    std::size_t nextFolder = 0;
    // The folder being copied, its files taken from the index a step at a
    // time after the last one copied.
    ItemSet folder;
    std::uint64_t lastFile = 0;
    bool inFolder = false;
    ShareListCopy copy;

    void Begin() {
        Drop();
        folders = source();
        begun = true;
    }
    void Drop() {
        begun = false;
        folders.Clear();
        folder.Clear();
        nextFolder = 0;
        lastFile = 0;
        inFolder = false;
        copy = ShareListCopy();
    }

    // Copies until done (true) or until `limit` files and folders are copied.
    bool Run(std::size_t limit) {
        const ItemSet::Container& list = folders.Items();
        std::size_t copied = 0;
        while (nextFolder < list.size()) {
            if (!inFolder) {
                const ItemPtr& next = list[nextFolder];
                QString path = next.AsString();
                path.replace(QLatin1Char('/'), QLatin1Char('\\'));
                copy.folders.push_back(
                    ShareListCopy::Folder{path.toStdString(), copy.files.size()});
                folder.Clear();
                folder.Insert(next);
                lastFile = 0;
                inFolder = true;
                if (++copied >= limit)
                    return false;
            }
            bool more = false;
            d.ForEachInSubset(
                folder, "shared_file",
                [&](const ItemPtr& file) {
                    lastFile = file.GetId();
                    CopyFile(file, copy);
                    more = ++copied >= limit;
                    return !more;
                },
                lastFile);
            if (more)
                return false;
            inFolder = false;
            folder.Clear();
            ++nextFolder;
        }
        return true;
    }
};

struct ShareListBuilder::Job {
    ShareListCopy copy;
    std::atomic<bool> stop{false};
    Packing result = Packing::Failed;
    QByteArray message;
    std::thread thread;
};

ShareListBuilder::ShareListBuilder(QObject* parent) : QObject(parent) {
    m_step.setSingleShot(true);
    connect(&m_step, &QTimer::timeout, this, &ShareListBuilder::CopyStep);
}

ShareListBuilder::~ShareListBuilder() {
    if (m_job) {
        m_job->stop = true;
        if (m_job->thread.joinable())
            m_job->thread.join();
    }
}

QByteArray ShareListBuilder::Build(const ItemSet& folders) {
    Copying copying;
    copying.source = [&folders] { return folders; };
    copying.Begin();
    copying.Run(std::numeric_limits<std::size_t>::max());
    QByteArray message;
    const Packing result = MakeShareList(copying.copy, message, nullptr);
    LogPackingFailure(PeerMessenger::PM_SHARED_FILE_LIST, result);
    return result == Packing::Packed ? message : QByteArray();
}

void ShareListBuilder::Start(FolderSource source) {
    if (IsBusy())
        return;
    m_copying = std::make_unique<Copying>();
    m_copying->source = std::move(source);
    m_startOver = false;
    CopyStep();
}

void ShareListBuilder::CopyStep() {
    if (!m_copying)
        return;
    if (m_startOver) {
        m_startOver = false;
        m_copying->Drop();
        m_step.start(kPauseMs);
        return;
    }
    if (!m_copying->begun)
        m_copying->Begin();
    if (!m_copying->Run(kItemsPerStep)) {
        m_step.start(0);
        return;
    }
    // Copied: the rest needs no index and goes off this thread.
    m_job = std::make_unique<Job>();
    m_job->copy = std::move(m_copying->copy);
    m_copying.reset();
    Job* job = m_job.get();
    job->thread = std::thread([this, job] {
        job->result = MakeShareList(job->copy, job->message, &job->stop);
        job->copy = ShareListCopy();
        QMetaObject::invokeMethod(this, &ShareListBuilder::OnCompressed, Qt::QueuedConnection);
    });
}

void ShareListBuilder::OnCompressed() {
    if (!m_job)
        return;
    m_job->thread.join();
    const Packing result = m_job->result;
    QByteArray message = result == Packing::Packed ? m_job->message : QByteArray();
    m_job.reset();
    LogPackingFailure(PeerMessenger::PM_SHARED_FILE_LIST, result);
    emit Finished(message);
}
