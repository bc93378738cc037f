#include "net/PortForwarder.h"

#include <QHostAddress>
#include <QTcpSocket>

#include "store/Log.h"

PortForwarder* portForwarder = nullptr;

namespace {
const char* const kArea = "Port Forwarding";
}

PortForwarder::PortForwarder(QObject* parent) : QObject(parent) {
    m_rootUrl = qEnvironmentVariable("TAVENOOK_UPNP_ROOT_URL");
    m_thread.setObjectName("Port forwarding");
    m_worker.moveToThread(&m_thread);
    connect(&m_worker, &ThreadedServices::Lines, this, &PortForwarder::LogLines,
            Qt::QueuedConnection);
    m_thread.start(QThread::InheritPriority);
    portForwarder = this;
}

PortForwarder::~PortForwarder() {
    if (portForwarder == this)
        portForwarder = nullptr;
    // No time limit: a discovery in progress finishes first.
    m_thread.quit();
    m_thread.wait();
}

void PortForwarder::Init() {
    ++m_initCount;
    if (m_rootUrl.isEmpty() && qEnvironmentVariableIsSet("TAVENOOK_NO_UPNP")) {
        LogLines(QStringList() << "Initializing UPnP"
                               << "UPnP discovery is switched off (TAVENOOK_NO_UPNP).");
        return;
    }
    QMetaObject::invokeMethod(&m_worker, "Init", Qt::QueuedConnection, Q_ARG(QString, m_rootUrl));
}

void PortForwarder::AddPortMapping(QTcpSocket* socket, int port) {
    QueueMapping(socket ? socket->localAddress().toString() : QString(), port);
}

void PortForwarder::QueueMapping(const QString& address, int port) {
    m_mappedPorts.append(port);
    QMetaObject::invokeMethod(&m_worker, "AddPortMapping", Qt::QueuedConnection,
                              Q_ARG(QString, address), Q_ARG(int, port));
}

void PortForwarder::RemovePortMapping(int port) {
    m_removedPorts.append(port);
    QMetaObject::invokeMethod(&m_worker, "RemovePortMapping", Qt::QueuedConnection,
                              Q_ARG(int, port));
}

void PortForwarder::LogLines(QStringList lines) {
    for (const QString& line : lines)
        Log(kArea, 1, line);
}
