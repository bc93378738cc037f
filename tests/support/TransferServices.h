#ifndef TAVENOOK_TESTS_SUPPORT_TRANSFERSERVICES_H
#define TAVENOOK_TESTS_SUPPORT_TRANSFERSERVICES_H

#include <memory>

#include <QHostAddress>

#include "shares/SharedFoldersManager.h"
#include "support/CoreServices.h"
#include "transfers/TransferQueueManager.h"

// The core services plus the shares and the transfer engine, as user "me",
// with the peer ports on loopback and port mapping off.
struct TransferServices : CoreServices {
    std::unique_ptr<SharedFoldersManager> shares;
    std::unique_ptr<TransferQueueManager> tqm;

    // Everything the transfer engine needs, without the engine and without
    // listening yet.
    void StartEngineServices() {
        StartCore();
        shares.reset(new SharedFoldersManager);
        SetSetting("username", "me");
        SetSetting("listening_port", 0);
        SetSetting("obfuscated_listening_port", 0);
        SetSetting("use_upnp", "no");
        messenger->SetListenAddress(QHostAddress::LocalHost);
    }

    bool StartTransferServices() {
        StartEngineServices();
        tqm.reset(new TransferQueueManager);
        return messenger->Listen();
    }

    void StopTransferServices() {
        tqm.reset();
        shares.reset();
        StopCore();
    }
};

#endif
