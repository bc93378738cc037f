#ifndef TAVENOOK_TESTS_SUPPORT_TRANSFERSERVICES_H
#define TAVENOOK_TESTS_SUPPORT_TRANSFERSERVICES_H

#include <memory>

#include <QDateTime>
#include <QHostAddress>
#include <QStringList>

#include "shares/SharedFoldersManager.h"
#include "store/MemStream.h"
#include "support/CoreServices.h"
#include "transfers/TransferQueueManager.h"

// The core services plus the shares and the transfer engine, as user "me",
// with the peer ports on loopback and port mapping off.
struct TransferServices : CoreServices {
    std::unique_ptr<SharedFoldersManager> shares;
    std::unique_ptr<TransferQueueManager> tqm;

    bool StartTransferServices() {
        StartCore();
        shares.reset(new SharedFoldersManager);
        SetSetting("username", "me");
        SetSetting("listening_port", 0);
        SetSetting("obfuscated_listening_port", 0);
        SetSetting("use_upnp", "no");
        messenger->SetListenAddress(QHostAddress::LocalHost);
        tqm.reset(new TransferQueueManager);
        return messenger->Listen();
    }

    void StopTransferServices() {
        tqm.reset();
        shares.reset();
        StopCore();
    }

    static ItemPtr User(const QString& name) { return d.GetType("user")->GetItem(name); }
    static void Online(const QString& name) {
        User(name).Connect(d.GetType("is_online")->GetGlobalNullItem());
        HerAddress(name);
    }
    static QString Ago(int seconds) {
        return QDateTime::currentDateTime().addSecs(-seconds).toString(Qt::TextDate);
    }
    static void SetTime(const ItemPtr& item, const char* type, const QString& text) {
        item.Connect(d.GetType(type)->GetItem(Value(text)));
    }

    // What the peer was sent until a share-list round trip: code and first
    // text ("43 F\a"; PM 40 skips direction and number), with a denial's
    // reason ("50 F\a | why") or a place ("44 F\a #3"); "timeout" on none.
    static QStringList Drain(RawPeer& peer, int timeoutMs = 10000) {
        peer.SendMessage(PeerMessenger::PM_SHARED_FILE_LIST_REQUEST);
        QStringList got;
        for (;;) {
            quint32 code = 0;
            QByteArray payload;
            if (!peer.WaitForMessage(&code, &payload, timeoutMs))
                return got << QStringLiteral("timeout");
            if (code == PeerMessenger::PM_SHARED_FILE_LIST)
                return got;
            MemStream in(payload);
            quint32 n = 0;
            for (int k = 0; code == PeerMessenger::PM_TRANSFER_REQUEST && k < 2; ++k)
                in.Read(n);
            QString text, reason;
            in.Read(text);
            if (code == PeerMessenger::PM_UPLOAD_DENIED && in.Read(reason))
                text += QStringLiteral(" | ") + reason;
            if (code == PeerMessenger::PM_UPLOAD_PLACE_IN_LINE && in.Read(n))
                text += QStringLiteral(" #") + QString::number(n);
            got << QString::number(code) + QLatin1Char(' ') + text;
        }
    }
};

#endif
