// The transfer views over a real store and engine: building the lists at
// start, progress reports of running transfers under a user with a long
// queue, clearing finished downloads at once, recolouring every row, a
// downloader's queue burst read with the Uploads page in front, and a big
// folder queued with the Downloads page in front.
//
// Usage: bench_gui_transfers [--quick]
//   --quick  smaller lists, bursts and fewer progress seconds, figures only
//   (none)   full sizes, with verdicts on the targets: each start-up build
//            of 20,000 downloads under 1 s, progress under 5 % of the main
//            thread, clearing 5,000 finished downloads under 1 s and
//            recolouring 20,000 rows under 200 ms; "a queue burst in front"
//            (one peer queues 1,500 and then 5,000 files at our own client's
//            pace, the Uploads page in front and expanded) and "a big folder
//            queued in front" (5,000 downloads, the Downloads page in front):
//            the main thread's time for the last 100 rows within a fifth of
//            the first 100's, no stall over 200 ms, and the burst read as it
//            comes; each also measured with another page in front in the same
//            run. Also the figures of a Delete on a large user row and of the
//            half-minute sweep

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

#include "ClientBench.h"
#include "StallProbe.h"
#include "store/Settings.h"
#include "support/Payload.h"
#include "support/RawPeer.h"
#include "support/SharesIndexed.h"
#include "support/TestFiles.h"
#include "support/TransferColours.h"
#include "support/TransferServices.h"
#include "ui_TransfersForm.h"
#include "views/transfers/TransfersForm.h"

namespace {

bool g_quick = false;

void Verdict(const char* what, double value, double limit) {
    if (!g_quick)
        std::printf("  %s: %s (target under %.0f)\n", what, value < limit ? "met" : "MISSED",
                    limit);
}

// A fresh store, engine and form, shown inside a tab as in the main window.
struct Fixture : TransferServices {
    QTabWidget tabs;
    TransfersForm* form = nullptr;
    QWidget* rooms = nullptr;  // another page, for the figures with it in front
    int order = 0;

    Fixture() {
        StartTransferServices();
        WriteTransferColours();
        form = new TransfersForm;
        rooms = new QWidget;
        tabs.addTab(rooms, "Rooms");
        tabs.addTab(form, "Transfers");
        tabs.setCurrentWidget(form);
        form->Init();
        tabs.resize(1000, 600);
        tabs.show();
    }
    ~Fixture() {
        delete form;
        StopTransferServices();
    }

    static void Link(const ItemPtr& item, const char* type, const Value& value) {
        item.Connect(d.GetType(type)->GetItem(value));
    }
    ItemPtr Download(const QString& user, int folder, int file, const char* status) {
        const ItemPtr e = d.GetType("download_entry")->NewItem();
        Link(e, "download_entry_status", status);
        Link(e, "download_order", ++order);
        Link(e, "file_size", 1000000 + file);
        Link(e, "file_name", QString("track %1.mp3").arg(file));
        Link(e, "remote_folder", QString("music\\album %1").arg(folder));
        Link(e, "user", user);
        return e;
    }
    ItemPtr Upload(const QString& user, int file, const char* status) {
        const ItemPtr shared = d.GetType("shared_file")->NewItem();
        Link(shared, "shared_file_name", QString("song %1.mp3").arg(file));
        Link(shared, "shared_file_size", 5000000);
        Link(shared, "shared_file_folder", QString("/home/me/music/set %1").arg(file % 3));
        const ItemPtr e = d.GetType("upload_entry")->NewItem();
        Link(e, "upload_entry_status", status);
        Link(e, "user", user);
        e.Connect(shared);
        return e;
    }
    // Running transfers carry the engine's heap values.
    static void Run(const ItemPtr& e, const char* positionType) {
        Link(e, positionType, Value(new qint64(0)));
        Link(e, "bytes_per_second", Value(new qint32(0)));
    }
};

double Ms(QElapsedTimer& clock) {
    return double(clock.nsecsElapsed()) / 1e6;
}

// The rows waiting to go in or leave are in their lists, and the events
// left queued handled.
void Shown() {
    if (transfersForm)
        transfersForm->FlushRows();
    QApplication::processEvents();
}

// Milliseconds of the work and of the events it left queued.
template <class Work>
double Timed(Work work) {
    QElapsedTimer clock;
    clock.start();
    work();
    Shown();
    return Ms(clock);
}

double StartupBuild(int users, int perUser) {
    Fixture f;
    for (int u = 0; u < users; ++u)
        for (int i = 0; i < perUser; ++i)
            f.Download(QString("user%1").arg(u), i / 100, i, i % 10 ? "queued" : "complete");
    const double ms = Timed([&] { f.form->OnTransfersLoaded(); });
    std::printf("start-up build, %d users x %d downloads: %.0f ms (%d user rows)\n", users, perUser,
                ms, f.form->DownloadsList()->topLevelItemCount());
    return ms;
}

double Progress(int queued, int seconds) {
    Fixture f;
    f.form->OnTransfersLoaded();
    std::vector<ItemPtr> downloads, uploads;
    for (int i = 0; i < queued; ++i)
        f.Download("busy", i % 20, i, "queued");
    for (int i = 0; i < 10; ++i) {
        downloads.push_back(f.Download(i < 5 ? "busy" : QString("user%1").arg(i), i % 20,
                                       100000 + i, "downloading"));
        Fixture::Run(downloads.back(), "write_position");
    }
    for (int i = 0; i < 20; ++i) {
        uploads.push_back(f.Upload(QString("peer%1").arg(i % 7), i, "uploading"));
        Fixture::Run(uploads.back(), "read_position");
    }
    Shown();
    // Two reports a second per transfer, as the transfer threads send them.
    QElapsedTimer clock;
    clock.start();
    for (int half = 0; half < seconds * 2; ++half) {
        for (const ItemPtr& e : downloads) {
            *TransferQueueManager::ObjectOf<qint64>(e["write_position"]) += 50000;
            *TransferQueueManager::ObjectOf<qint32>(e["bytes_per_second"]) = 100000;
            emit f.tqm->DownloadProgressed(e);
        }
        for (const ItemPtr& e : uploads) {
            *TransferQueueManager::ObjectOf<qint64>(e["read_position"]) += 20000;
            *TransferQueueManager::ObjectOf<qint32>(e["bytes_per_second"]) = 40000;
            emit f.tqm->UploadProgressed(e);
        }
        QApplication::processEvents();
    }
    const double share = Ms(clock) / (seconds * 1000.0) * 100;
    std::printf(
        "progress, 10 downloads + 20 uploads, %d queued under one user: %.2f %% of the "
        "main thread over %d s of reports\n",
        queued, share, seconds);
    return share;
}

double ClearComplete(int complete, int others) {
    Fixture f;
    f.form->OnTransfersLoaded();
    for (int i = 0; i < complete + others; ++i)
        f.Download(QString("user%1").arg(i % 10), i % 50, i, i < complete ? "complete" : "queued");
    Shown();
    const double ms = Timed(
        [&] { f.form->OnActionBarTriggered(f.form->DownloadsList(), "clear_complete_downloads"); });
    std::printf("clearing %d finished of %d downloads: %.0f ms (%d entries left)\n", complete,
                complete + others, ms, d.GetType("download_entry")->ItemCount());
    return ms;
}

double Recolor(int rows) {
    Fixture f;
    f.form->OnTransfersLoaded();
    const char* statuses[] = {"queued", "complete", "aborted", "denied"};
    for (int i = 0; i < rows; ++i)
        f.Download(QString("user%1").arg(i % 100), i % 20, i, statuses[i % 4]);
    Shown();
    SetSetting("color_transfer_queued", "#123456");
    SetSetting("color_transfer_complete", "#00aa00");
    SetSetting("color_transfer_failed", "#aa0000");
    const double ms = Timed([&] { f.form->RecolorEntries(); });
    std::printf("recolouring %d downloads (and their folder and user rows): %.0f ms\n", rows, ms);
    return ms;
}

double DeleteUserRow(int downloads) {
    Fixture f;
    f.form->OnTransfersLoaded();
    for (int i = 0; i < downloads; ++i)
        f.Download("big", i % 50, i, "queued");
    Shown();
    f.form->DownloadsList()->topLevelItem(0)->setSelected(true);
    const double ms = Timed([&] { f.form->DeleteSelectedDownloads(); });
    std::printf("Delete on a user row of %d downloads: %.0f ms (%d rows left)\n", downloads, ms,
                f.form->DownloadsList()->topLevelItemCount());
    return ms;
}

double Sweep(int queued) {
    Fixture f;
    SetSetting("clear_complete_aborted_uploads", "yes");
    const QString longAgo = QDateTime::currentDateTime().addSecs(-900).toString(Qt::TextDate);
    for (int u = 0; u < 100; ++u)
        Fixture::Link(TransferServices::User(QString("peer%1").arg(u)), "last_online_status_change",
                      longAgo);
    for (int i = 0; i < queued; ++i) {
        const ItemPtr e = f.Upload(QString("peer%1").arg(i % 100), i, "queued");
        // Every other one has been idle long enough to go.
        Fixture::Link(e, "last_status_change_time",
                      i % 2 ? longAgo : QDateTime::currentDateTime().toString(Qt::TextDate));
    }
    Shown();
    const double ms = Timed([&] { f.form->EveryHalfMinute(); });
    std::printf("half-minute sweep over %d queued uploads: %.0f ms (%d left)\n", queued, ms,
                d.GetType("upload_entry")->ItemCount());
    return ms;
}

// The longest gap, in ms, between two turns of a 5 ms timer until `done()`
// holds (finer turns would cost the main thread more than the rows measured).
template <class Done>
double StallUntil(Done done) {
    QElapsedTimer clock;
    clock.start();
    return LongestStallUntil(clock, done, 5);
}

// The main thread's processor time, in ms.
double ThreadMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

// What one burst phase measured: the main thread's ms for the first and the
// last 100 rows, its longest stall, and how far reading fell behind.
struct Burst {
    double first = 0, last = 0, stall = 0, lagMs = 0;
    int rows = 0, expected = 0;
    bool Met() const {
        return rows == expected && last <= first * 1.2 && stall <= 200 && lagMs <= 1000;
    }
};

// Main-thread time at the row counts seen: the first 100 rows' and the last
// 100's come from the samples that cover them, scaled to 100 rows.
struct RowClock {
    std::vector<std::pair<int, double>> samples{{0, ThreadMs()}};
    void Seen(int rows) {
        if (rows != samples.back().first)
            samples.emplace_back(rows, ThreadMs());
    }
    void Fill(Burst& b) const {
        const int n = samples.back().first;
        if (n < 200)
            return;
        std::size_t i = 1;
        while (samples[i].first < 100)
            ++i;
        b.first = (samples[i].second - samples[0].second) * 100 / samples[i].first;
        std::size_t j = samples.size() - 1;
        while (j > 0 && samples[j].first > n - 100)
            --j;
        b.last = (samples.back().second - samples[j].second) * 100 / (n - samples[j].first);
    }
};

// The downloader on a thread of her own, over a blocking socket: one
// request every 10 ms, the pace of the budget our own client keeps to, and
// whatever we answer read and dropped.
class Downloader {
public:
    Downloader(quint16 port, const QStringList& paths) : m_paths(paths) {
        m_thread = std::thread([this, port] { Run(port); });
    }
    ~Downloader() {
        m_stop = true;
        m_thread.join();
    }
    int Sent() const { return m_sent; }
    // Milliseconds on the steady clock when the last request went.
    qint64 LastSentAt() const { return m_lastAt; }

private:
    void Run(quint16 port) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
            if (fd >= 0)
                ::close(fd);
            return;
        }
        Put(fd, RawPeer::SetUpFrame("downloader", "P"));
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < m_paths.size() && !m_stop; ++i) {
            const qint64 due = qint64(i) * 10;
            while (!m_stop && clock.elapsed() < due) {
                Drain(fd);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            Put(fd, RawPeer::Frame(PeerMessenger::PM_QUEUE_UPLOAD, Payload().Str(m_paths[i])));
            m_sent = i + 1;
            m_lastAt = QDateTime::currentMSecsSinceEpoch();
        }
        while (!m_stop) {
            Drain(fd);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ::close(fd);
    }
    static void Put(int fd, const QByteArray& bytes) {
        qint64 at = 0;
        while (at < bytes.size()) {
            const ssize_t n = ::send(fd, bytes.constData() + at, size_t(bytes.size() - at), 0);
            if (n <= 0)
                return;
            at += n;
        }
    }
    static void Drain(int fd) {
        char sink[65536];
        while (::recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0) {
        }
    }

    QStringList m_paths;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_sent{0};
    std::atomic<qint64> m_lastAt{0};
};

// One peer queues `first` and then `second` files at our own client's pace;
// each file goes as soon as it is queued, as the uploads did with another
// page in front.
Burst QueueBurst(bool inFront, int first, int second) {
    Burst b;
    b.expected = first + second;
    Fixture f;
    SetSetting("max_queued_uploads_per_user", 100000);
    SetSetting("upload_slots", 1);
    QTemporaryDir dir;
    const QString root = dir.path() + "/share";
    if (!WriteFiles(root, b.expected, [first](int i) {
            return QString("%1/file %2 of the set.mp3").arg(i < first ? "first" : "second").arg(i);
        }))
        return b;
    f.shares->AddSharedFolder(root).Connect(d.GetType("shared_public")->GetGlobalNullItem());
    if (!WaitForSharesIndexed(f.shares.get(), 600000))
        return b;
    QStringList paths;
    for (int i = 0; i < b.expected; ++i)
        paths << Wire(
            root +
            QString("/%1/file %2 of the set.mp3").arg(i < first ? "first" : "second").arg(i));
    f.tabs.setCurrentWidget(inFront ? static_cast<QWidget*>(f.form) : f.rooms);
    f.form->Ui()->transfersTabControl->setCurrentWidget(f.form->Ui()->uploadsTab);
    QApplication::processEvents();
    Type* entries = d.GetType("upload_entry");
    const ItemPtr queued = d.GetType("upload_entry_status")->GetItem(TransferQueueManager::kQueued);
    RowClock rows;
    qint64 lastRowAt = 0;
    Downloader downloader(f.messenger->ListeningPort(), paths);
    b.stall = StallUntil([&] {
        // Each queued file goes at once: its row turns complete.
        const ItemSet waiting = queued.GetItems("upload_entry");
        for (const ItemPtr& e : waiting)
            f.tqm->SetUploadEntryStatus(e, TransferQueueManager::kComplete);
        const int n = entries->ItemCount();
        if (n > rows.samples.back().first)
            lastRowAt = QDateTime::currentMSecsSinceEpoch();
        rows.Seen(n);
        const bool allSent = downloader.Sent() == b.expected;
        // A window that falls far behind is given a minute past the last send.
        return n >= b.expected ||
               (allSent && QDateTime::currentMSecsSinceEpoch() - downloader.LastSentAt() > 60000);
    });
    b.rows = entries->ItemCount();
    rows.Fill(b);
    b.lagMs = double(std::max<qint64>(0, lastRowAt - downloader.LastSentAt()));
    std::printf(
        "queue burst of %d + %d files, %s in front: %d rows, main thread %.1f ms for the first "
        "100, %.1f ms for the last 100; longest stall %.0f ms; last row %.0f ms after the last "
        "request\n",
        first, second, inFront ? "the Uploads page" : "another page", b.rows, b.first, b.last,
        b.stall, b.lagMs);
    return b;
}

// The user queues a folder of `files` from a share, as a folder download
// does, and waits until every row shows.
Burst FolderQueued(bool inFront, int files) {
    Burst b;
    b.expected = files;
    Fixture f;
    f.form->OnTransfersLoaded();
    f.tabs.setCurrentWidget(inFront ? static_cast<QWidget*>(f.form) : f.rooms);
    f.form->Ui()->transfersTabControl->setCurrentWidget(f.form->Ui()->downloadsTab);
    QApplication::processEvents();
    std::vector<TransferQueueManager::DownloadRequest> folder;
    for (int i = 0; i < files; ++i)
        folder.push_back({"uploader", QString("track %1.mp3").arg(i).toStdString(),
                          "music\\the folder", 4000 + i, false, 0});
    RowClock rows;
    Type* entries = d.GetType("download_entry");
    bool asked = false;
    b.stall = StallUntil([&] {
        if (!asked) {
            asked = true;
            f.tqm->AddDownloads(std::move(folder));
        }
        rows.Seen(entries->ItemCount());
        return entries->ItemCount() >= files && !f.form->RowsWaiting();
    });
    b.rows = f.form->DownloadsList()->topLevelItemCount() == 1
                 ? f.form->DownloadsList()->topLevelItem(0)->child(0)->childCount()
                 : 0;
    rows.Fill(b);
    std::printf(
        "folder of %d queued, %s in front: %d rows, main thread %.1f ms for the first 100, "
        "%.1f ms for the last 100; longest stall %.0f ms\n",
        files, inFront ? "the Downloads page" : "another page", b.rows, b.first, b.last, b.stall);
    return b;
}

void BurstVerdict(const char* phase, const Burst& front, const Burst& other) {
    if (g_quick)
        return;
    std::printf(
        "  %s: %s (targets: last 100 rows within a fifth of the first 100's, no stall over "
        "200 ms, read as it comes; %d of %d rows, %.1f vs %.1f ms, stall %.0f ms, lag %.0f ms; "
        "with another page in front %.1f vs %.1f ms, stall %.0f ms, lag %.0f ms)\n",
        phase, front.Met() ? "met" : "MISSED", front.rows, front.expected, front.last, front.first,
        front.stall, front.lagMs, other.last, other.first, other.stall, other.lagMs);
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("TAVENOOK_NO_UPNP", "1");
    g_quick = argc > 1 && !std::strcmp(argv[1], "--quick");
    QTemporaryDir home;
    if (!home.isValid())
        return 1;
    qputenv("HOME", home.path().toUtf8());
    QApplication app(argc, argv);
    qRegisterMetaType<ItemPtr>("ItemPtr");
    const int big = g_quick ? 5000 : 20000;
    std::printf("bench_gui_transfers%s\n", g_quick ? " (quick)" : "");

    Verdict("build, one user", StartupBuild(1, big), 1000);
    Verdict("build, 100 users", StartupBuild(100, big / 100), 1000);
    Verdict("progress share in %", Progress(g_quick ? 1000 : 2000, g_quick ? 2 : 10), 5);
    Verdict("clear", ClearComplete(g_quick ? 1500 : 5000, g_quick ? 1500 : 5000), 1000);
    Verdict("recolour", Recolor(big), 200);
    DeleteUserRow(big);
    Sweep(g_quick ? 2000 : 10000);
    const int first = g_quick ? 150 : 1500, second = g_quick ? 350 : 5000;
    const Burst burstFront = QueueBurst(true, first, second);
    const Burst burstOther = QueueBurst(false, first, second);
    BurstVerdict("a queue burst in front", burstFront, burstOther);
    const int folder = g_quick ? 1000 : 5000;
    const Burst folderFront = FolderQueued(true, folder);
    const Burst folderOther = FolderQueued(false, folder);
    BurstVerdict("a big folder queued in front", folderFront, folderOther);
    return 0;
}
