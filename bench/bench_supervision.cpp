// The transfer queue's half-minute supervision with a large download queue:
// queued downloads spread over online users, the download folder on disk, the
// peer messenger listening on 127.0.0.1 (messages to the users wait for an
// address the test server never gives, so nothing leaves the machine).
//
// Three ticks are timed, each its own case:
//   re-queue: every user is due, so each queued download is checked on disk
//             and asked for again (one queue request each);
//   places:   every user's place-in-line request is due (one each);
//   idle:     nothing is due, the common case.
//
// Usage: bench_supervision [--quick]
//   full:    10,000 queued downloads over 100 users, 5 rounds (best counts)
//   --quick: 1,000 over 20 users, 2 rounds

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "support/TransferServices.h"

namespace {

constexpr double kGoalMs = 50;

ItemPtr User(int n) {
    return d.GetType("user")->GetItem(QStringLiteral("user%1").arg(n));
}

void SetUserTime(const ItemPtr& user, const char* type, qint64 secondsFromNow) {
    user.Connect(d.GetType(type)->GetItem(
        Value(QDateTime::currentDateTime().addSecs(secondsFromNow).toString(Qt::TextDate))));
}

double TimedTick(TransferQueueManager& tqm) {
    QElapsedTimer timer;
    timer.start();
    tqm.EveryHalfMinute();
    return double(timer.nsecsElapsed()) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("TAVENOOK_NO_UPNP", "1");
    QCoreApplication app(argc, argv);
    const bool quick = app.arguments().contains(QStringLiteral("--quick"));
    const int users = quick ? 20 : 100;
    const int perUser = quick ? 50 : 100;
    const int rounds = quick ? 2 : 5;

    QTemporaryDir dir;
    TransferServices services;
    if (!dir.isValid() || !services.StartTransferServices()) {
        std::fprintf(stderr, "bench_supervision: set-up failed\n");
        return 1;
    }
    SetSetting("download_folder", dir.path());
    TransferQueueManager& tqm = *services.tqm;

    const ItemPtr online = d.GetType("is_online")->GetGlobalNullItem();
    for (int u = 0; u < users; ++u)
        User(u).Connect(online);
    for (int u = 0; u < users; ++u)
        for (int k = 0; k < perUser; ++k)
            tqm.AddDownload(QStringLiteral("user%1").arg(u),
                            QStringLiteral("track %1.mp3").arg(k).toStdString(),
                            QStringLiteral("Music\\Album %1").arg(k % 10).toStdString(),
                            4000000 + k, false, 0);
    const int queued = users * perUser;

    struct Case {
        const char* name;
        std::function<void()> prepare;
        double best = 1e300;
    };
    Case cases[] = {
        {"re-queue (all users due)",
         [&] {
             for (int u = 0; u < users; ++u)
                 SetUserTime(User(u), "last_queue_request_time", -700);
         }},
        {"places in line (all due)",
         [&] {
             for (int u = 0; u < users; ++u) {
                 SetUserTime(User(u), "last_queue_request_time", 0);
                 SetUserTime(User(u), "next_place_in_line_request_time", -1);
             }
         }},
        {"idle (nothing due)",
         [&] {
             for (int u = 0; u < users; ++u) {
                 SetUserTime(User(u), "last_queue_request_time", 0);
                 SetUserTime(User(u), "next_place_in_line_request_time", 600);
             }
         }},
    };
    for (int r = 0; r < rounds; ++r) {
        for (Case& c : cases) {
            c.prepare();
            c.best = std::min(c.best, TimedTick(tqm));
            // Deliver what the tick queued, so rounds do not pile it up.
            QCoreApplication::processEvents();
        }
    }

    std::printf("bench_supervision%s: %d queued downloads over %d online users, best of %d\n",
                quick ? " --quick" : "", queued, users, rounds);
    for (const Case& c : cases) {
        std::printf("  %-28s %9.2f ms", c.name, c.best);
        if (!quick)
            std::printf("   goal < %.0f ms: %s", kGoalMs, c.best < kGoalMs ? "met" : "MISSED");
        std::printf("\n");
    }

    services.StopTransferServices();
    return 0;
}
