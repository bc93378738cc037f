#ifndef TAVENOOK_TESTS_SUPPORT_CORESERVICES_H
#define TAVENOOK_TESTS_SUPPORT_CORESERVICES_H

#include <memory>

#include "net/PeerMessenger.h"
#include "net/server.h"
#include "store/Data.h"
#include "store/DataSaver.h"
#include "store/Settings.h"
#include "store/TimerManager.h"
#include "support/RawPeer.h"

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

    // A share-list round trip on the peer's current connection: everything it
    // sent before has been handled, and the answer was the next message.
    static bool SyncPeer(RawPeer& peer, int timeoutMs = 10000) {
        peer.SendMessage(PeerMessenger::PM_SHARED_FILE_LIST_REQUEST);
        quint32 code = 0;
        QByteArray payload;
        return peer.WaitForMessage(&code, &payload, timeoutMs) &&
               code == PeerMessenger::PM_SHARED_FILE_LIST;
    }

    // The server gave 127.0.0.1 as the user's address: her connections from
    // there are hers.
    static void HerAddress(const QString& user) {
        d.GetType("user")
            ->GetItem(Value(user))
            .Connect(d.GetType("user_address")->GetItem(Value(quint32(0x7F000001))));
    }

    // An incoming messaging connection from `user`, proven by a round trip,
    // so that messages to the user go out on it.
    bool ConnectAsPeer(RawPeer& peer, const QString& user, int timeoutMs = 10000) {
        HerAddress(user);
        if (!peer.ConnectTo(messenger->ListeningPort()))
            return false;
        peer.SendSetUp(user, "P");
        return SyncPeer(peer, timeoutMs);
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
