#ifndef TAVENOOK_NET_THREADEDSERVICES_H
#define TAVENOOK_NET_THREADEDSERVICES_H

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <memory>

// The UPnP side of the port forwarder. It lives on the port-forwarding
// thread: discovery and mapping requests block for seconds. Every slot
// collects its log lines and hands them over once, through Lines().
class ThreadedServices : public QObject {
    Q_OBJECT

public:
    explicit ThreadedServices(QObject* parent = nullptr);
    ~ThreadedServices() override;

    // The address a mapping should point at when the server connection
    // reports 127.0.0.1: the LAN address the library saw on the way to the
    // router when it is a usable one, else the machine's IPv4 address
    // (walked from the last to the first) whose first three components equal
    // those of the control URL's host, else the earliest non-loopback IPv4
    // address, else "127.0.0.1".
    static QString ChooseOwnAddress(const QList<QHostAddress>& machineAddresses,
                                    const QString& controlUrl, const QString& reportedLanAddress);

public slots:
    // Discovery. An empty root URL discovers with SSDP; a given one uses
    // that device description directly.
    void Init(QString rootUrl);
    void AddPortMapping(QString address, int port);
    void RemovePortMapping(int port);

signals:
    void Lines(QStringList lines);

private:
    struct Gateway;
    void Discover(QStringList& lines);
    void FetchDescription(const QString& descUrl, QStringList& lines);
    int RequestMapping(const QString& address, int port);
    void Remove(int port, QStringList& lines);

    // Touched only on the port-forwarding thread (and by the destructor,
    // after that thread has ended).
    std::unique_ptr<Gateway> mp_gateway;
};

#endif
