// The port forwarder against a fake UPnP gateway on 127.0.0.1: the log lines
// of discovery, mapping, the conflict retry and removal; requests before
// discovery; the destructor with a busy worker; the choice of own address.

#include <QElapsedTimer>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>
#include <memory>

#include "net/PortForwarder.h"
#include "net/ThreadedServices.h"
#include "store/Log.h"
#include "support/FakeGateway.h"

namespace {

const int kWait = 10000;

class CaptureSink : public LogSink {
public:
    void Log(const QString& area, int level, const QString& text, const ItemPtr&) override {
        if (area == "Port Forwarding" && level == 1)
            lines.append(text);
        else
            others.append(area + ": " + text);
    }
    QStringList lines;
    QStringList others;
};

// A connected socket whose local end is the given loopback address.
class LocalConnection {
public:
    explicit LocalConnection(const QString& localAddress) {
        server.listen(QHostAddress::LocalHost, 0);
        socket.bind(QHostAddress(localAddress), 0);
        socket.connectToHost(QHostAddress::LocalHost, server.serverPort());
        socket.waitForConnected(kWait);
    }
    QTcpServer server;
    QTcpSocket socket;
};

}  // namespace

class TestUpnp : public QObject {
    Q_OBJECT

    CaptureSink sink;

    // Waits for the line and returns the lines logged from `from` up to it.
    QStringList WaitForLine(const QString& line, int from) {
        if (!QTest::qWaitFor([&] { return sink.lines.indexOf(line, from) >= 0; }, kWait))
            return QStringList() << "<timed out waiting for: " + line + ">" << sink.lines.mid(from);
        return sink.lines.mid(from, sink.lines.indexOf(line, from) - from + 1);
    }

private slots:
    void initTestCase() { SetLogSink(&sink); }
    void cleanupTestCase() { SetLogSink(nullptr); }
    void init() {
        sink.lines.clear();
        qputenv("TAVENOOK_NO_UPNP", "1");
        qunsetenv("TAVENOOK_UPNP_ROOT_URL");
    }

    void mappingRetryAndRemovalAgainstGateway() {
        FakeGateway gateway;
        QVERIFY(gateway.Start());
        // The environment variable points the forwarder at the gateway even
        // though discovery is switched off.
        qputenv("TAVENOOK_UPNP_ROOT_URL", gateway.RootUrl().toLatin1());
        PortForwarder forwarder;
        QCOMPARE(portForwarder, &forwarder);
        QCOMPARE(forwarder.RootDescriptionUrl(), gateway.RootUrl());
        forwarder.Init();
        QCOMPARE(WaitForLine("Device XML found.", 0),
                 QStringList() << "Initializing UPnP"
                               << "Using the device description at " + gateway.RootUrl()
                               << "Device XML found.");
        QCOMPARE(gateway.DescriptionFetches(), 1);

        LocalConnection connection("127.0.0.2");
        QCOMPARE(connection.socket.localAddress().toString(), QString("127.0.0.2"));
        int from = sink.lines.size();
        forwarder.AddPortMapping(&connection.socket, 2234);
        QCOMPARE(WaitForLine("Port 2234 successfully mapped.", from),
                 QStringList() << "Found own address to be 127.0.0.2"
                               << "Port 2234 successfully mapped.");
        QList<FakeGateway::Request> requests = gateway.Requests();
        QCOMPARE(requests.size(), 1);
        QCOMPARE(requests[0].action, QString("AddPortMapping"));
        QCOMPARE(requests[0].arguments.value("NewExternalPort"), QString("2234"));
        QCOMPARE(requests[0].arguments.value("NewInternalPort"), QString("2234"));
        QCOMPARE(requests[0].arguments.value("NewInternalClient"), QString("127.0.0.2"));
        QCOMPARE(requests[0].arguments.value("NewProtocol"), QString("TCP"));
        QCOMPARE(requests[0].arguments.value("NewPortMappingDescription"), QString("TavenookQT"));
        QCOMPARE(requests[0].arguments.value("NewLeaseDuration", "0"), QString("0"));
        QCOMPARE(requests[0].arguments.value("NewRemoteHost"), QString());

        // A conflict: the old mapping is deleted (its lines come first) and
        // the mapping requested once more.
        gateway.ScriptAddResults({718, 0});
        from = sink.lines.size();
        forwarder.AddPortMapping(&connection.socket, 2235);
        QCOMPARE(
            WaitForLine("Second mapping attempt successful.", from),
            QStringList() << "Removing mapping for port 2235"
                          << "Port mapping successfully removed."
                          << "Found own address to be 127.0.0.2"
                          << "Port already mapped, attempting to remove existing mapping before "
                             "retrying."
                          << "Second mapping attempt successful.");
        requests = gateway.Requests();
        QCOMPARE(requests.size(), 4);
        QCOMPARE(requests[1].action, QString("AddPortMapping"));
        QCOMPARE(requests[2].action, QString("DeletePortMapping"));
        QCOMPARE(requests[2].arguments.value("NewExternalPort"), QString("2235"));
        QCOMPARE(requests[2].arguments.value("NewProtocol"), QString("TCP"));
        QCOMPARE(requests[3].action, QString("AddPortMapping"));
        QCOMPARE(requests[3].arguments.value("NewExternalPort"), QString("2235"));

        // A second conflict and other refusals are logged, not dropped.
        gateway.ScriptAddResults({718, 718});
        from = sink.lines.size();
        forwarder.AddPortMapping(&connection.socket, 2236);
        QVERIFY(WaitForLine("Second mapping attempt failed, miniupnp error: 718", from).size() ==
                5);
        gateway.ScriptAddResults({501});
        from = sink.lines.size();
        forwarder.AddPortMapping(&connection.socket, 2237);
        QCOMPARE(WaitForLine("Port 2237 mapping failure, miniupnp error: 501", from).size(), 2);

        from = sink.lines.size();
        forwarder.RemovePortMapping(2234);
        QCOMPARE(WaitForLine("Port mapping successfully removed.", from),
                 QStringList() << "Removing mapping for port 2234"
                               << "Port mapping successfully removed.");
        QCOMPARE(gateway.Requests().last().action, QString("DeletePortMapping"));
        QCOMPARE(gateway.Requests().last().arguments.value("NewExternalPort"), QString("2234"));
        QCOMPARE(forwarder.MappedPorts(), QList<int>({2234, 2235, 2236, 2237}));
        QCOMPARE(forwarder.RemovedPorts(), QList<int>({2234}));

        // 127.0.0.1 is never handed to the router when the machine has
        // another IPv4 address.
        LocalConnection loopback("127.0.0.1");
        from = sink.lines.size();
        forwarder.AddPortMapping(&loopback.socket, 2238);
        const QStringList lines = WaitForLine("Port 2238 successfully mapped.", from);
        QCOMPARE(lines.size(), 3);
        QCOMPARE(lines[0],
                 QString("Own address is reported as 127.0.0.1, checking all addresses."));
        const QString chosen = gateway.Requests().last().arguments.value("NewInternalClient");
        QCOMPARE(lines[1], "Found own address to be " + chosen);
        bool hasOther = false;
        for (const QHostAddress& a : QNetworkInterface::allAddresses())
            hasOther |= a.protocol() == QAbstractSocket::IPv4Protocol && !a.isLoopback();
        QCOMPARE(chosen != "127.0.0.1", hasOther);

        // A new discovery replaces the gateway's URLs (ASan sees the old ones freed).
        forwarder.Init();
        QVERIFY(QTest::qWaitFor([&] { return gateway.DescriptionFetches() == 2; }, kWait));
        QVERIFY(sink.others.isEmpty());
    }

    void requestsBeforeDiscovery() {
        PortForwarder forwarder;
        QVERIFY(forwarder.RootDescriptionUrl().isEmpty());
        // Switched off: discovery only logs.
        forwarder.Init();
        QCOMPARE(forwarder.InitCount(), 1);
        QCOMPARE(sink.lines.value(0), QString("Initializing UPnP"));
        QVERIFY(sink.lines.value(1).contains("TAVENOOK_NO_UPNP"));

        int from = sink.lines.size();
        forwarder.RemovePortMapping(2234);
        QCOMPARE(WaitForLine("UPnP appears to not have been initialized, aborting.", from),
                 QStringList() << "Removing mapping for port 2234"
                               << "UPnP appears to not have been initialized, aborting.");

        // Mapping without a control URL fails in the library; the thread lives on.
        LocalConnection connection("127.0.0.2");
        from = sink.lines.size();
        forwarder.AddPortMapping(&connection.socket, 2234);
        QVERIFY(QTest::qWaitFor([&] { return sink.lines.size() >= from + 2; }, kWait));
        QCOMPARE(sink.lines[from], QString("Found own address to be 127.0.0.2"));
        QVERIFY2(sink.lines[from + 1].startsWith("Port 2234 mapping failure, miniupnp error: -"),
                 qPrintable(sink.lines[from + 1]));

        // A description that cannot be fetched leaves the forwarder uninitialised.
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
        const quint16 deadPort = closed.serverPort();
        closed.close();
        forwarder.SetRootDescriptionUrl(QString("http://127.0.0.1:%1/rootDesc.xml").arg(deadPort));
        from = sink.lines.size();
        forwarder.Init();
        QCOMPARE(WaitForLine("Device XML not found.", from).size(), 3);
        from = sink.lines.size();
        forwarder.RemovePortMapping(2234);
        QCOMPARE(WaitForLine("UPnP appears to not have been initialized, aborting.", from).size(),
                 2);
    }

    void destructorWaitsForBusyWorker() {
        FakeGateway gateway;
        QVERIFY(gateway.Start());
        gateway.SetResponseDelay(1500);
        auto forwarder = std::make_unique<PortForwarder>();
        forwarder->SetRootDescriptionUrl(gateway.RootUrl());
        forwarder->Init();
        forwarder->RemovePortMapping(2234);
        QTest::qWait(200);
        QElapsedTimer timer;
        timer.start();
        forwarder.reset();
        // The discovery in progress finished first.
        QVERIFY(timer.elapsed() >= 1000);
        QCOMPARE(gateway.DescriptionFetches(), 1);
        QVERIFY(portForwarder == nullptr);
        // The worker's last lines went nowhere.
        QTest::qWait(50);
        QVERIFY(!sink.lines.contains("Device XML found."));
    }

    void ownAddressChoice() {
        const auto addresses = [](const QStringList& texts) {
            QList<QHostAddress> list;
            for (const QString& t : texts)
                list.append(QHostAddress(t));
            return list;
        };
        const QList<QHostAddress> three = addresses({"127.0.0.1", "192.168.1.5", "10.0.0.2"});
        QCOMPARE(ThreadedServices::ChooseOwnAddress(three, "http://192.168.1.1:5000/ctl", ""),
                 QString("192.168.1.5"));
        QCOMPARE(ThreadedServices::ChooseOwnAddress(three, "http://10.0.0.1/ctl", ""),
                 QString("10.0.0.2"));
        // No match: the earliest non-loopback IPv4 address.
        QCOMPARE(ThreadedServices::ChooseOwnAddress(three, "http://172.16.0.1/ctl", ""),
                 QString("192.168.1.5"));
        QCOMPARE(ThreadedServices::ChooseOwnAddress(three, QString(), ""), QString("192.168.1.5"));
        // Whole components: 192.168.1.x is not on 192.168.10.x.
        const QList<QHostAddress> homed = addresses({"10.0.0.2", "192.168.10.7", "192.168.1.5"});
        QCOMPARE(ThreadedServices::ChooseOwnAddress(homed, "http://192.168.10.1:1900/ctl", ""),
                 QString("192.168.10.7"));
        // IPv6 and loopback only: stays on loopback.
        QCOMPARE(ThreadedServices::ChooseOwnAddress(addresses({"::1", "fe80::1", "127.0.0.1"}),
                                                    "http://192.168.1.1/", ""),
                 QString("127.0.0.1"));
        // What the library saw on the way to the router wins when usable.
        QCOMPARE(ThreadedServices::ChooseOwnAddress(three, "http://192.168.1.1/", "10.0.0.2"),
                 QString("10.0.0.2"));
        QCOMPARE(ThreadedServices::ChooseOwnAddress(three, "http://192.168.1.1/", "127.0.0.1"),
                 QString("192.168.1.5"));
        QCOMPARE(ThreadedServices::ChooseOwnAddress(three, "http://192.168.1.1/", "garbage"),
                 QString("192.168.1.5"));
    }
};

QTEST_GUILESS_MAIN(TestUpnp)
#include "test_upnp.moc"
