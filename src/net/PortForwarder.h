#ifndef TAVENOOK_NET_PORTFORWARDER_H
#define TAVENOOK_NET_PORTFORWARDER_H

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QThread>

#include "net/ThreadedServices.h"

class QTcpSocket;

// Maps the listening ports on the home router through UPnP. Discovery and
// mapping block for seconds, so they run on a thread of their own in a
// ThreadedServices worker; requests cross to it queued, in order, and the
// outcome shows only as log lines in the area "Port Forwarding".
//
// TAVENOOK_UPNP_ROOT_URL (or SetRootDescriptionUrl) points the worker at a
// given device description instead of discovering. With TAVENOOK_NO_UPNP set
// and no such URL, Init() only logs: test runs never search the network.
class PortForwarder : public QObject {
    Q_OBJECT

public:
    explicit PortForwarder(QObject* parent = nullptr);
    // Returns once the worker has finished what it is doing.
    ~PortForwarder() override;

    // Router discovery.
    void Init();
    // Maps the port to the local address of the socket's connection.
    void AddPortMapping(QTcpSocket* socket, int port);
    void RemovePortMapping(int port);

    // Empty: discover. Otherwise the device description to use.
    void SetRootDescriptionUrl(const QString& url) { m_rootUrl = url; }
    QString RootDescriptionUrl() const { return m_rootUrl; }

    // What was asked so far, for checks.
    int InitCount() const { return m_initCount; }
    QList<int> MappedPorts() const { return m_mappedPorts; }
    QList<int> RemovedPorts() const { return m_removedPorts; }

public slots:
    // Lines from the worker, logged in order in the area "Port Forwarding".
    void LogLines(QStringList lines);

private:
    void QueueMapping(const QString& address, int port);

    QThread m_thread;
    ThreadedServices m_worker;
    QString m_rootUrl;
    int m_initCount = 0;
    QList<int> m_mappedPorts;
    QList<int> m_removedPorts;
};

extern PortForwarder* portForwarder;

#endif
