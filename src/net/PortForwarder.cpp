#include "net/PortForwarder.h"

#include <QHostAddress>
#include <QTcpSocket>

#include "store/Log.h"

PortForwarder* portForwarder = nullptr;

namespace {
const char* const kArea = "Port Forwarding";
}

PortForwarder::PortForwarder(QObject* parent) : QObject(parent) {
    portForwarder = this;
}

PortForwarder::~PortForwarder() {
    if (portForwarder == this)
        portForwarder = nullptr;
}

void PortForwarder::Init() {
    ++m_initCount;
    LogLines(QStringList() << "Initializing UPnP");
}

void PortForwarder::AddPortMapping(QTcpSocket* socket, int port) {
    m_mappedPorts.append(port);
    const QString address = socket ? socket->localAddress().toString() : QString();
    LogLines(
        QStringList() << QString("Port mapping of %1 to %2 requested.").arg(port).arg(address));
}

void PortForwarder::RemovePortMapping(int port) {
    m_removedPorts.append(port);
    LogLines(QStringList() << QString("Removing mapping for port %1").arg(port));
}

void PortForwarder::LogLines(QStringList lines) {
    for (const QString& line : lines)
        Log(kArea, 1, line);
}
