#ifndef TAVENOOK_TESTS_SUPPORT_FAKEGATEWAY_H
#define TAVENOOK_TESTS_SUPPORT_FAKEGATEWAY_H

#include <QList>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QThread>

class QTcpServer;
class QTcpSocket;

// A UPnP internet gateway on 127.0.0.1, enough for miniupnpc: it serves a
// root description with one WANIPConnection service and answers the SOAP
// actions AddPortMapping and DeletePortMapping. It runs on a thread of its
// own, so the test's thread may block (as a destructor waiting for the
// port-forwarding thread does) while it answers. Every accessor is
// thread-safe.
class FakeGateway : public QObject {
    Q_OBJECT
public:
    struct Request {
        QString action;                    // "AddPortMapping", "DeletePortMapping", ...
        QMap<QString, QString> arguments;  // "NewExternalPort" -> "2234", ...
    };

    FakeGateway() { m_thread.setObjectName("Fake gateway"); }
    ~FakeGateway() override;

    // Listens on 127.0.0.1 (free port).
    bool Start();
    quint16 Port() const { return m_port; }
    // "http://127.0.0.1:<port>/rootDesc.xml".
    QString RootUrl() const { return QString("http://127.0.0.1:%1/rootDesc.xml").arg(m_port); }

    // The answers to the next AddPortMapping requests, in order: 0 succeeds,
    // anything else is a UPnP error code (718 = ConflictInMappingEntry).
    // Once used up, requests succeed.
    void ScriptAddResults(const QList<int>& codes);
    // Every answer (description and SOAP) waits this long first.
    void SetResponseDelay(int ms);

    QList<Request> Requests() const;
    int DescriptionFetches() const;

private:
    class Worker;
    friend class Worker;

    QThread m_thread;
    Worker* mp_worker = nullptr;
    quint16 m_port = 0;

    mutable QMutex m_mutex;
    QList<int> m_addResults;
    int m_delayMs = 0;
    QList<Request> m_requests;
    int m_descriptionFetches = 0;
};

#endif
