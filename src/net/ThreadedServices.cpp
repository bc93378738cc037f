#include "net/ThreadedServices.h"

#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/miniwget.h>
#include <miniupnpc/upnpcommands.h>

#include <QByteArray>
#include <QNetworkInterface>
#include <QUrl>
#include <cstdlib>
#include <cstring>

namespace {
const int kDiscoveryDelayMs = 2000;
const unsigned char kDiscoveryTtl = 2;
const char* const kDescription = "TavenookQT";
const char* const kProtocol = "TCP";
const int kConflictInMappingEntry = 718;

// The first three dotted components of an IPv4 text, or empty.
QStringList FirstThree(const QString& address) {
    const QStringList parts = address.split('.');
    if (parts.size() != 4)
        return QStringList();
    return parts.mid(0, 3);
}

bool IsUsableLanAddress(const QString& text) {
    QHostAddress address;
    return address.setAddress(text) && address.protocol() == QAbstractSocket::IPv4Protocol &&
           !address.isLoopback() && address != QHostAddress(QHostAddress::AnyIPv4);
}
}  // namespace

struct ThreadedServices::Gateway {
    UPNPUrls urls;
    IGDdatas data;
    // The local address the library used to reach the router.
    QString lanAddress;
    bool haveUrls = false;

    Gateway() { Zero(); }
    ~Gateway() { Free(); }
    void Zero() {
        std::memset(&urls, 0, sizeof urls);
        std::memset(&data, 0, sizeof data);
        lanAddress.clear();
    }
    // Each discovery replaces the URLs; the old ones must go first or every
    // reconnection attempt leaks them.
    void Free() {
        if (haveUrls)
            FreeUPNPUrls(&urls);
        haveUrls = false;
        Zero();
    }
    bool HasControlUrl() const { return urls.controlURL && urls.controlURL[0] != '\0'; }
};

ThreadedServices::ThreadedServices(QObject* parent) : QObject(parent), mp_gateway(new Gateway) {}

ThreadedServices::~ThreadedServices() = default;

QString ThreadedServices::ChooseOwnAddress(const QList<QHostAddress>& machineAddresses,
                                           const QString& controlUrl,
                                           const QString& reportedLanAddress) {
    if (IsUsableLanAddress(reportedLanAddress))
        return reportedLanAddress;
    // Whole components only: a prefix 192.168.1 must not match 192.168.10.1.
    const QStringList routerPrefix = FirstThree(QUrl(controlUrl).host());
    QString chosen = "127.0.0.1";
    for (int k = machineAddresses.size() - 1; k >= 0; --k) {
        const QHostAddress& a = machineAddresses[k];
        if (a.protocol() != QAbstractSocket::IPv4Protocol || a.isLoopback())
            continue;
        chosen = a.toString();
        if (!routerPrefix.isEmpty() && FirstThree(chosen) == routerPrefix)
            break;
    }
    return chosen;
}

void ThreadedServices::Init(QString rootUrl) {
    QStringList lines;
    lines << "Initializing UPnP";
    mp_gateway->Free();
    if (rootUrl.isEmpty()) {
        Discover(lines);
    } else {
        lines << QString("Using the device description at %1").arg(rootUrl);
        FetchDescription(rootUrl, lines);
    }
    emit Lines(lines);
}

void ThreadedServices::Discover(QStringList& lines) {
    int error = 0;
    UPNPDev* devices = upnpDiscover(kDiscoveryDelayMs, nullptr, nullptr, UPNP_LOCAL_PORT_ANY, 0,
                                    kDiscoveryTtl, &error);
    if (!devices) {
        lines
            << QString("No device list found during discovery. miniupnp error code: %1").arg(error);
        return;
    }
    lines << "Device list found";
    UPNPDev* chosen = nullptr;
    for (UPNPDev* dev = devices; dev; dev = dev->pNext) {
        const QString url = QString::fromLatin1(dev->descURL);
        const QString type = QString::fromLatin1(dev->st);
        if (type.contains("InternetGatewayDevice")) {
            lines << QString("%1, InternetGatewayDevice, found").arg(url);
            chosen = dev;
            break;
        }
        lines << QString("%1, %2 skipping").arg(url, type);
    }
    if (!chosen) {
        chosen = devices;
        lines
            << QString("Defaulting to first device found, %1").arg(QString::fromLatin1(chosen->st));
    }
    FetchDescription(QString::fromLatin1(chosen->descURL), lines);
    freeUPNPDevlist(devices);
}

void ThreadedServices::FetchDescription(const QString& descUrl, QStringList& lines) {
    const QByteArray url = descUrl.toLatin1();
    int size = 0;
    int status = 0;
    char lanAddress[64] = {0};
    char* xml = static_cast<char*>(
        miniwget_getaddr(url.constData(), &size, lanAddress, sizeof lanAddress, 0, &status));
    if (!xml || size <= 0) {
        std::free(xml);
        lines << "Device XML not found.";
        return;
    }
    parserootdesc(xml, size, &mp_gateway->data);
    std::free(xml);
    GetUPNPUrls(&mp_gateway->urls, &mp_gateway->data, url.constData(), 0);
    mp_gateway->haveUrls = true;
    mp_gateway->lanAddress = QString::fromLatin1(lanAddress);
    lines << "Device XML found.";
}

int ThreadedServices::RequestMapping(const QString& address, int port) {
    const QByteArray portText = QByteArray::number(port);
    const QByteArray client = address.toLatin1();
    return UPNP_AddPortMapping(mp_gateway->urls.controlURL, mp_gateway->data.first.servicetype,
                               portText.constData(), portText.constData(), client.constData(),
                               kDescription, kProtocol, nullptr, nullptr);
}

void ThreadedServices::AddPortMapping(QString address, int port) {
    QStringList lines;
    if (address == "127.0.0.1") {
        lines << "Own address is reported as 127.0.0.1, checking all addresses.";
        address = ChooseOwnAddress(QNetworkInterface::allAddresses(),
                                   QString::fromLatin1(mp_gateway->urls.controlURL),
                                   mp_gateway->lanAddress);
    }
    lines << QString("Found own address to be %1").arg(address);
    const int result = RequestMapping(address, port);
    if (result == 0) {
        lines << QString("Port %1 successfully mapped.").arg(port);
    } else if (result == kConflictInMappingEntry) {
        lines << "Port already mapped, attempting to remove existing mapping before retrying.";
        // The removal's lines go out first, as their own batch.
        RemovePortMapping(port);
        const int second = RequestMapping(address, port);
        if (second == 0)
            lines << "Second mapping attempt successful.";
        else
            lines << QString("Second mapping attempt failed, miniupnp error: %1").arg(second);
    } else {
        lines << QString("Port %1 mapping failure, miniupnp error: %2").arg(port).arg(result);
    }
    emit Lines(lines);
}

void ThreadedServices::RemovePortMapping(int port) {
    QStringList lines;
    lines << QString("Removing mapping for port %1").arg(port);
    if (!mp_gateway->HasControlUrl()) {
        lines << "UPnP appears to not have been initialized, aborting.";
    } else {
        const QByteArray portText = QByteArray::number(port);
        const int result =
            UPNP_DeletePortMapping(mp_gateway->urls.controlURL, mp_gateway->data.first.servicetype,
                                   portText.constData(), kProtocol, nullptr);
        if (result == 0)
            lines << "Port mapping successfully removed.";
        else
            lines << QString("Port mapping removal failed, miniupnp error: %1").arg(result);
    }
    emit Lines(lines);
}
