#ifndef TAVENOOK_NET_PORTFORWARDER_H
#define TAVENOOK_NET_PORTFORWARDER_H

#include <QList>
#include <QObject>
#include <QStringList>

class QTcpSocket;

// Maps the listening ports on the home router. For now the operations only
// log and count what was asked of them; the UPnP worker thread comes later
// behind the same interface.
class PortForwarder : public QObject {
    Q_OBJECT

public:
    explicit PortForwarder(QObject* parent = nullptr);
    ~PortForwarder() override;

    // Router discovery.
    void Init();
    // Maps the port to the local address of the socket's connection.
    void AddPortMapping(QTcpSocket* socket, int port);
    void RemovePortMapping(int port);

    // What was asked so far, for checks.
    int InitCount() const { return m_initCount; }
    QList<int> MappedPorts() const { return m_mappedPorts; }
    QList<int> RemovedPorts() const { return m_removedPorts; }

public slots:
    // Lines from the worker, logged in order in the area "Port Forwarding".
    void LogLines(QStringList lines);

private:
    int m_initCount = 0;
    QList<int> m_mappedPorts;
    QList<int> m_removedPorts;
};

extern PortForwarder* portForwarder;

#endif
