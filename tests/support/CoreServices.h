#ifndef TAVENOOK_TESTS_SUPPORT_CORESERVICES_H
#define TAVENOOK_TESTS_SUPPORT_CORESERVICES_H

#include <memory>

#include "net/PeerMessenger.h"
#include "net/server.h"
#include "store/Data.h"
#include "store/DataSaver.h"
#include "store/Settings.h"
#include "store/TimerManager.h"

// The services a client makes first, in start-up order, on a fresh store.
// Test classes derive from it; the clock ticks only when a test says so.
struct CoreServices {
    std::unique_ptr<DataSaver> saver;
    std::unique_ptr<TimerManager> timers;
    std::unique_ptr<Server> server;
    std::unique_ptr<PeerMessenger> messenger;

    void StartCore(bool withMessenger = true) {
        d.Reset();
        saver.reset(new DataSaver);
        timers.reset(new TimerManager);
        timers->everyHalfMinute.stop();
        timers->everyFiveMinutes.stop();
        timers->everyHour.stop();
        DeclareSettingsTypes(saver.get());
        server.reset(new Server);
        Server::CreateData();
        if (withMessenger)
            messenger.reset(new PeerMessenger);
    }

    void StopCore() {
        messenger.reset();
        server.reset();
        timers.reset();
        saver.reset();
        d.Reset();
    }
};

#endif
