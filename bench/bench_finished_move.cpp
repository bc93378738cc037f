// The move of a finished download into a complete folder on another file
// system (tmpfs at /dev/shm, the download folder on the disk of the temporary
// folder): the partial is laid down beforehand, a scripted uploader ("bob",
// over 127.0.0.1) sends its last byte, and the main thread is watched from
// that byte until the row reads "complete":
//   the longest main-thread stall (gaps between turns of a 1 ms timer),
//   the time the move took, and whether the file arrived whole.
// Then the same move stopped by a kill midway: the client starts again with
// the whole partial and the killed copy's temporary, the uploader online,
// and the move is watched from the load of the store until the row reads
// "complete": the stall, the time, whether the file arrived whole, whether
// the temporary went, and how often the uploader was asked for the file.
// Without a second file system at hand the bench says so and ends.
//
// Usage: bench_finished_move [--quick]
//   full:    a 2 GiB file
//   --quick: 256 MiB, figures only

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <memory>

#include "StallProbe.h"
#include "net/PeerMessenger.h"
#include "support/Payload.h"
#include "support/TestFiles.h"
#include "support/TransferServices.h"

namespace {

constexpr double kStallTargetMs = 200;
constexpr qint64 kMiB = 1024 * 1024;

dev_t DeviceOf(const QString& path) {
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_dev : dev_t(-1);
}

// Byte k of the file.
char ByteAt(qint64 k) {
    return char((k * 7 + k / 4093) & 0xFF);
}

bool WritePartial(const QString& path, qint64 size) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray block(int(8 * kMiB), Qt::Uninitialized);
    for (qint64 at = 0; at < size;) {
        const int n = int(std::min<qint64>(block.size(), size - at));
        for (int k = 0; k < n; ++k)
            block[k] = ByteAt(at + k);
        if (file.write(block.constData(), n) != n)
            return false;
        at += n;
    }
    return file.flush();
}

// Every 64 MiB's first bytes and the last one, as laid down.
bool LooksWhole(const QString& path, qint64 size) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() != size)
        return false;
    for (qint64 at = 0; at < size; at += 64 * kMiB) {
        file.seek(at);
        const QByteArray got = file.read(4096);
        for (int k = 0; k < got.size(); ++k)
            if (got[k] != ByteAt(at + k))
                return false;
    }
    file.seek(size - 1);
    return file.read(1) == QByteArray(1, ByteAt(size - 1));
}

struct Figures {
    double worstStallMs = 0;
    double moveMs = 0;
    bool whole = false;
    bool swept = false;
    int asked = 0;
    bool ok = false;
    QString why;
};

Figures Run(qint64 size, const QString& otherFolder) {
    Figures out;
    QTemporaryDir dir;
    TransferServices s;
    RawPeer bob;
    if (!dir.isValid() || !s.StartTransferServices() || !s.ConnectAsPeer(bob, "bob")) {
        out.why = "no services";
        return out;
    }
    const QString root = dir.path() + "/dl";
    SetSetting("download_folder", root);
    if (!QDir().mkpath(root) || !QFile::link(otherFolder, root + "/complete")) {
        out.why = "no complete folder";
        return out;
    }
    const QString partial = root + "/downloading/F/big.bin";
    if (!WritePartial(partial, size - 1)) {
        out.why = "could not lay down the partial";
        return out;
    }
    const ItemPtr e = s.tqm->AddDownload("bob", "big.bin", "S\\F", size, false, 0);
    e.Connect(d.GetType("local_file_path")->GetItem(Value(partial)));
    e.Connect(d.GetType("local_file_size")->GetItem(Value(size - 1)));
    const quint32 req = 7;
    bob.SendMessageOn(0, PeerMessenger::PM_TRANSFER_REQUEST,
                      Payload().U32(1).U32(req).Str("S\\F\\big.bin").I64(size));
    quint32 code = 0;
    QByteArray answer;
    if (!bob.WaitForMessageOn(0, &code, &answer, 10000) ||
        !bob.ConnectTo(s.messenger->ListeningPort())) {
        out.why = "no file connection";
        return out;
    }
    const int f = bob.CurrentConnection();
    bob.SendSetUpOn(f, "bob", "F");
    bob.SendRawOn(f, RawPeer::U32(req));
    MemStream offset(bob.ReadRawOn(f, 8, 10000));
    qint64 from = -1;
    if (!offset.Read(from) || from != size - 1) {
        out.why = QString("asked from %1, not %2").arg(from).arg(size - 1);
        return out;
    }

    QElapsedTimer clock;
    clock.start();
    bob.SendRawOn(f, QByteArray(1, ByteAt(size - 1)));
    const auto status = [&] { return TransferQueueManager::DownloadStatus(e); };
    out.worstStallMs = LongestStallUntil(clock, [&] {
        return (status() != "downloading" && status() != "queued") || clock.elapsed() >= 600000;
    });
    out.moveMs = double(clock.nsecsElapsed()) / 1e6;
    if (status() != "complete") {
        out.why = "the download ended " + status();
        return out;
    }
    out.whole = LooksWhole(otherFolder + "/F/big.bin", size) && !QFileInfo::exists(partial);
    bob.CloseOn(f);
    s.StopTransferServices();
    out.ok = true;
    return out;
}

// The client killed while it copied the finished file: the whole partial,
// recorded, and half a copy in a temporary of the complete folder; then a
// start, with the uploader online.
Figures RunRestart(qint64 size, const QString& otherFolder) {
    Figures out;
    QTemporaryDir dir;
    const QString root = dir.path() + "/dl";
    const QString prefix = dir.path() + "/store/t";
    const QString partial = root + "/downloading/F/big.bin";
    const QString temporary = otherFolder + "/F/.tavenook-move-00000000000000aa.tmp";
    {
        TransferServices s;
        if (!dir.isValid() || !s.StartTransferServices()) {
            out.why = "no services";
            return out;
        }
        SetSetting("download_folder", root);
        if (!QDir().mkpath(root) || !QFile::link(otherFolder, root + "/complete") ||
            !WritePartial(partial, size) || !WritePartial(temporary, size / 2) ||
            !QDir().mkpath(dir.path() + "/store")) {
            out.why = "could not lay down the files";
            return out;
        }
        const ItemPtr e = s.tqm->AddDownload("bob", "big.bin", "S\\F", size, false, 0);
        e.Connect(d.GetType("local_file_path")->GetItem(Value(partial)));
        e.Connect(d.GetType("local_file_size")->GetItem(Value(size)));
        if (!s.saver->Save(prefix)) {
            out.why = "could not save";
            return out;
        }
        s.tqm.reset();
        s.StopTransferServices();
    }
    TransferServices s;
    RawPeer bob;
    if (!s.StartTransferServices() || !s.ConnectAsPeer(bob, "bob")) {
        out.why = "no services";
        return out;
    }
    TransferServices::Online("bob");
    QElapsedTimer clock;
    clock.start();
    s.saver->Load(prefix);
    const ItemPtr e = s.tqm->GetDownloadEntry("bob", "big.bin", "S\\F");
    const auto status = [&] { return TransferQueueManager::DownloadStatus(e); };
    int asked = 0;
    out.worstStallMs = LongestStallUntil(clock, [&] {
        // The clock's half-minute tick, as a long wait would bring it.
        if (clock.elapsed() / 500 > asked) {
            ++asked;
            s.tqm->EveryHalfMinute();
        }
        return status() == "complete" || clock.elapsed() >= (size >> 20) * 20 + 10000;
    });
    out.moveMs = double(clock.nsecsElapsed()) / 1e6;
    out.asked = TransferServices::Drain(bob).filter("43 S\\F\\big.bin").size();
    if (status() != "complete") {
        out.why = "the download is still " + status();
        out.ok = true;
        return out;
    }
    out.whole = LooksWhole(otherFolder + "/F/big.bin", size) && !QFileInfo::exists(partial);
    out.swept = !QFileInfo::exists(temporary);
    s.StopTransferServices();
    out.ok = true;
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("TAVENOOK_NO_UPNP", "1");
    QCoreApplication app(argc, argv);
    const bool quick = app.arguments().contains(QStringLiteral("--quick"));
    const qint64 size = (quick ? 256 : 2048) * kMiB;
    QTemporaryDir other(QStringLiteral("/dev/shm/bench_finished_move-XXXXXX"));
    QTemporaryDir here;
    if (!other.isValid() || DeviceOf(other.path()) == DeviceOf(here.path())) {
        std::printf(
            "bench_finished_move: no second file system at hand (tmpfs at /dev/shm); "
            "nothing measured\n");
        return 0;
    }
    const Figures figures = Run(size, other.path());
    if (!figures.ok) {
        std::fprintf(stderr, "bench_finished_move: %s\n", qPrintable(figures.why));
        return 1;
    }
    std::printf("bench_finished_move%s: a %lld MiB finished file into another file system\n",
                quick ? " --quick" : "", size / kMiB);
    std::printf("  move took %.0f ms (%.0f MiB/s); the file arrived %s\n", figures.moveMs,
                double(size / kMiB) * 1000 / std::max(figures.moveMs, 1.0),
                figures.whole ? "whole, the partial removed" : "NOT WHOLE");
    std::printf("  longest main-thread stall during the move: %.1f ms", figures.worstStallMs);
    if (!quick)
        std::printf(": %s (target under %.0f ms)",
                    figures.worstStallMs < kStallTargetMs ? "met" : "MISSED", kStallTargetMs);
    std::printf("\n");

    QTemporaryDir second(QStringLiteral("/dev/shm/bench_finished_move-XXXXXX"));
    const Figures restart = RunRestart(size, second.path());
    if (!restart.ok) {
        std::fprintf(stderr, "bench_finished_move: %s\n", qPrintable(restart.why));
        return 1;
    }
    std::printf("  after a kill during the copy, the start:\n");
    if (!restart.why.isEmpty())
        std::printf("    the move did not end: %s after %.0f ms\n", qPrintable(restart.why),
                    restart.moveMs);
    else
        std::printf(
            "    moved it in %.0f ms; the file arrived %s; the killed copy's temporary %s\n",
            restart.moveMs, restart.whole ? "whole, the partial removed" : "NOT WHOLE",
            restart.swept ? "removed" : "KEPT");
    std::printf("    the uploader was asked for it %d times\n", restart.asked);
    std::printf("    longest main-thread stall: %.1f ms", restart.worstStallMs);
    if (!quick)
        std::printf(": %s (target under %.0f ms)",
                    restart.worstStallMs < kStallTargetMs ? "met" : "MISSED", kStallTargetMs);
    std::printf("\n");
    return figures.whole ? 0 : 1;
}
