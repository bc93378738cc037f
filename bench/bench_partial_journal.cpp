// What the partials journal costs while downloads start and run, with a large
// share indexed in the store: a scripted uploader ("bob", over 127.0.0.1)
// offers downloads one after the other, each taken whole. The same run is
// made with the journal (the store loaded from a prefix, as at every start)
// and without (no store loaded, so no journal), and compared:
//   main-thread CPU per download (the main thread's own CPU clock),
//   the longest main-thread stall (gaps between turns of a 1 ms timer),
//   the journal's records and bytes per download, each record one write and
//   at most one fdatasync on the journal's own thread.
//
// Usage: bench_partial_journal [--quick]
//   full:    1,000,000 shared files, 50 downloads of 256 KiB
//   --quick: 100,000 shared files, 10 downloads, figures only

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "ProcStatus.h"
#include "net/PeerMessenger.h"
#include "support/Payload.h"
#include "support/TestFiles.h"
#include "support/TransferServices.h"
#include "transfers/PartialJournal.h"

namespace {

constexpr double kStallTargetMs = 200;
constexpr double kPerDownloadTargetMs = 5;
constexpr int kFileSize = 256 * 1024;

struct Figures {
    double cpuPerDownloadMs = 0;
    double worstStallMs = 0;
    int records = 0;
    qint64 bytes = 0;
    bool ok = false;
};

// One whole run on fresh services; `journal` loads a store first.
Figures Run(int sharedFiles, int downloads, bool journal) {
    Figures out;
    QTemporaryDir dir;
    TransferServices s;
    RawPeer bob;
    if (!dir.isValid() || !s.StartTransferServices() || !s.ConnectAsPeer(bob, "bob"))
        return out;
    SetSetting("download_folder", dir.path() + "/dl");
    Type* shared = d.GetType("shared_file");
    Type* name = d.GetType("shared_file_name");
    for (int k = 0; k < sharedFiles; ++k) {
        const ItemPtr file =
            shared->IsNull() ? shared->NewItem() : shared->NewItem(Value(QString("/m/%1").arg(k)));
        file.Connect(name->GetItem(Value(QString("track %1.mp3").arg(k))));
    }
    const QString prefix = dir.path() + "/.Tavenook";
    if (journal)
        s.saver->Load(prefix);

    QElapsedTimer clock;
    clock.start();
    qint64 last = clock.nsecsElapsed();
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        out.worstStallMs = std::max(out.worstStallMs, double(now - last) / 1e6);
        last = now;
    });
    probe.start(1);
    const QByteArray data = Pattern(kFileSize);
    const double cpuBefore = ThreadCpuMs();
    for (int k = 0; k < downloads; ++k) {
        const QString file = QString("f%1.bin").arg(k);
        const ItemPtr e =
            s.tqm->AddDownload("bob", file.toStdString(), "S\\F", kFileSize, false, 0);
        const quint32 req = quint32(100 + k);
        bob.SendMessageOn(0, PeerMessenger::PM_TRANSFER_REQUEST,
                          Payload().U32(1).U32(req).Str("S\\F\\" + file).I64(kFileSize));
        quint32 code = 0;
        QByteArray answer;
        if (!bob.WaitForMessageOn(0, &code, &answer, 10000) ||
            !bob.ConnectTo(s.messenger->ListeningPort()))
            return out;
        const int f = bob.CurrentConnection();
        bob.SendSetUpOn(f, "bob", "F");
        bob.SendRawOn(f, RawPeer::U32(req));
        if (bob.ReadRawOn(f, 8, 10000).size() != 8)
            return out;
        bob.SendRawOn(f, data);
        if (!RawPeer::WaitUntil(
                [&] {
                    return TransferQueueManager::DownloadStatus(e) ==
                           QLatin1String(TransferQueueManager::kComplete);
                },
                10000))
            return out;
        bob.CloseOn(f);
        bob.Select(0);
    }
    out.cpuPerDownloadMs = (ThreadCpuMs() - cpuBefore) / downloads;
    probe.stop();
    s.tqm.reset();  // writes what the journal still holds
    QFile file(prefix + ".partials");
    if (journal && file.open(QIODevice::ReadOnly)) {
        const QByteArray bytes = file.readAll();
        std::uint64_t number = 0;
        std::vector<PartialJournal::Record> records;
        QString note;
        PartialJournal::Parse(bytes, &number, &records, &note);
        out.records = int(records.size());
        out.bytes = bytes.size() - PartialJournal::kHeaderSize;
    }
    s.StopTransferServices();
    out.ok = true;
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("TAVENOOK_NO_UPNP", "1");
    QCoreApplication app(argc, argv);
    const bool quick = app.arguments().contains(QStringLiteral("--quick"));
    const int sharedFiles = quick ? 100000 : 1000000;
    const int downloads = quick ? 10 : 50;

    const Figures without = Run(sharedFiles, downloads, false);
    const Figures with = Run(sharedFiles, downloads, true);
    if (!without.ok || !with.ok) {
        std::fprintf(stderr, "bench_partial_journal: a download did not complete\n");
        return 1;
    }
    std::printf("bench_partial_journal%s: %d downloads of %d KiB, %d shared files\n",
                quick ? " --quick" : "", downloads, kFileSize / 1024, sharedFiles);
    std::printf("  main-thread CPU per download: %.3f ms with the journal, %.3f ms without\n",
                with.cpuPerDownloadMs, without.cpuPerDownloadMs);
    std::printf("  longest main-thread stall: %.1f ms with the journal, %.1f ms without\n",
                with.worstStallMs, without.worstStallMs);
    std::printf(
        "  journal per download: %.1f records, %.0f bytes (each record one write and at "
        "most one fdatasync, off the main thread)\n",
        double(with.records) / downloads, double(with.bytes) / downloads);
    if (!quick) {
        const double added = with.cpuPerDownloadMs - without.cpuPerDownloadMs;
        std::printf(
            "  main-thread time the journal adds per download: %.3f ms: %s (target under "
            "%.0f ms)\n",
            added, added < kPerDownloadTargetMs ? "met" : "MISSED", kPerDownloadTargetMs);
        std::printf("  longest stall with the journal: %.1f ms: %s (target under %.0f ms)\n",
                    with.worstStallMs, with.worstStallMs < kStallTargetMs ? "met" : "MISSED",
                    kStallTargetMs);
    }
    return 0;
}
