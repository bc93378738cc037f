// The transfer views over a real store and engine: building the lists at
// start, progress reports of running transfers under a user with a long
// queue, clearing finished downloads at once and recolouring every row.
//
// Usage: bench_gui_transfers [--quick]
//   --quick  smaller lists and fewer progress seconds, figures only
//   (none)   full sizes, with verdicts on the targets: each start-up build
//            of 20,000 downloads under 1 s, progress under 5 % of the main
//            thread, clearing 5,000 finished downloads under 1 s and
//            recolouring 20,000 rows under 200 ms; also the figures of a Delete
//            on a large user row and of the half-minute sweep

#include <QApplication>
#include <QElapsedTimer>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <cstdio>
#include <cstring>
#include <vector>

#include "store/Settings.h"
#include "support/TransferColours.h"
#include "support/TransferServices.h"
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
    int order = 0;

    Fixture() {
        StartTransferServices();
        WriteTransferColours();
        form = new TransfersForm;
        tabs.addTab(form, "Transfers");
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

// Milliseconds of the work and of the events it left queued.
template <class Work>
double Timed(Work work) {
    QElapsedTimer clock;
    clock.start();
    work();
    QApplication::processEvents();
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
    QApplication::processEvents();
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
    QApplication::processEvents();
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
    QApplication::processEvents();
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
    QApplication::processEvents();
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
    QApplication::processEvents();
    const double ms = Timed([&] { f.form->EveryHalfMinute(); });
    std::printf("half-minute sweep over %d queued uploads: %.0f ms (%d left)\n", queued, ms,
                d.GetType("upload_entry")->ItemCount());
    return ms;
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
    return 0;
}
