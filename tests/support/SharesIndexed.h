#ifndef TAVENOOK_TESTS_SUPPORT_SHARESINDEXED_H
#define TAVENOOK_TESTS_SUPPORT_SHARESINDEXED_H

#include <QEventLoop>
#include <QTimer>

#include "shares/SharedFoldersManager.h"

// Shared folders are walked on the scanner thread and merged in slices:
// runs the event loop until every walk asked for is merged, or `ms` pass.
inline bool WaitForSharesIndexed(SharedFoldersManager* shares, int ms = 60000) {
    if (!shares->IsBackgroundScanPending())
        return true;
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    QObject::connect(shares, &SharedFoldersManager::BackgroundMergeEnded, &loop, [&] {
        if (!shares->IsBackgroundScanPending())
            loop.quit();
    });
    loop.exec();
    return !shares->IsBackgroundScanPending();
}

#endif
