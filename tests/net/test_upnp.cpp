// The port forwarder against a fake UPnP gateway on 127.0.0.1: mapping, the
// conflict's delete-and-retry, removal, requests before or without a
// discovery, the destructor with a busy worker, and the choice of own address.

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>
#include <memory>

#include "net/PortForwarder.h"
#include "net/ThreadedServices.h"
#include "store/Log.h"
#include "support/FakeGateway.h"

class TestUpnp : public QObject, LogSink {
    Q_OBJECT

    QStringList lines;  // the forwarder's log
    QTcpServer listener;

    void Log(const QString& area, int, const QString& text, const ItemPtr&) override {
        lines << (area == "Port Forwarding" ? text : area + ": " + text);
    }
    // The lines logged since `from` up to the given one, waiting for it.
    QStringList LinesUpTo(const QString& line, int from) {
        if (!QTest::qWaitFor([&] { return lines.indexOf(line, from) >= 0; }, 10000))
            return {"<none>"};
        return lines.mid(from, lines.indexOf(line, from) + 1 - from);
    }
    // A connected socket whose local end is the given loopback address.
    std::unique_ptr<QTcpSocket> From(const QString& address) {
        auto socket = std::make_unique<QTcpSocket>();
        socket->bind(QHostAddress(address), 0);
        socket->connectToHost(QHostAddress::LocalHost, listener.serverPort());
        socket->waitForConnected(10000);
        return socket;
    }

private slots:
    void initTestCase() {
        SetLogSink(this);
        QVERIFY(listener.listen(QHostAddress::LocalHost, 0));
    }
    void cleanupTestCase() { SetLogSink(nullptr); }
    void init() {
        lines.clear();
        qputenv("TAVENOOK_NO_UPNP", "1");  // never a discovery on the network
        qunsetenv("TAVENOOK_UPNP_ROOT_URL");
    }

    void mappingAgainstGateway() {
        FakeGateway gateway;
        QVERIFY(gateway.Start());
        // The variable points the forwarder at the gateway though discovery is off.
        qputenv("TAVENOOK_UPNP_ROOT_URL", gateway.RootUrl().toLatin1());
        PortForwarder forwarder;
        forwarder.Init();
        QCOMPARE(LinesUpTo("Device XML found.", 0).size(), 3);
        const auto socket = From("127.0.0.2");
        forwarder.AddPortMapping(socket.get(), 2234);
        QCOMPARE(
            LinesUpTo("Port 2234 successfully mapped.", 3),
            QStringList({"Found own address to be 127.0.0.2", "Port 2234 successfully mapped."}));
        const QMap<QString, QString> add = gateway.Requests().value(0).arguments;
        QCOMPARE(add.value("NewExternalPort") + add.value("NewInternalPort"), QString("22342234"));
        QCOMPARE(add.value("NewInternalClient"), QString("127.0.0.2"));
        QCOMPARE(add.value("NewProtocol"), QString("TCP"));
        QCOMPARE(add.value("NewPortMappingDescription"), QString("TavenookQT"));
        QCOMPARE(add.value("NewLeaseDuration", "0"), QString("0"));

        // A conflict (718): the old mapping is deleted and the mapping asked
        // for once more; a second conflict and other refusals are logged.
        gateway.ScriptAddResults({718, 0, 718, 718, 501});
        int from = lines.size();
        forwarder.AddPortMapping(socket.get(), 2235);
        QCOMPARE(LinesUpTo("Second mapping attempt successful.", from).size(), 5);
        QStringList actions;
        for (const FakeGateway::Request& r : gateway.Requests())
            actions << r.action.left(3) + r.arguments.value("NewExternalPort");
        QCOMPARE(actions, QStringList({"Add2234", "Add2235", "Del2235", "Add2235"}));
        from = lines.size();
        forwarder.AddPortMapping(socket.get(), 2236);
        QCOMPARE(LinesUpTo("Second mapping attempt failed, miniupnp error: 718", from).size(), 5);
        forwarder.AddPortMapping(socket.get(), 2237);
        QVERIFY(LinesUpTo("Port 2237 mapping failure, miniupnp error: 501", from).size() > 1);
        from = lines.size();
        forwarder.RemovePortMapping(2234);
        QCOMPARE(LinesUpTo("Port mapping successfully removed.", from).size(), 2);
        QCOMPARE(gateway.Requests().last().action, QString("DeletePortMapping"));

        // A new discovery replaces the gateway's URLs (ASan sees the old ones freed).
        forwarder.Init();
        QTRY_COMPARE_WITH_TIMEOUT(gateway.DescriptionFetches(), 2, 10000);
    }

    void requestsWithoutDiscovery() {
        PortForwarder forwarder;
        forwarder.Init();  // switched off: it only logs
        forwarder.RemovePortMapping(2234);
        QCOMPARE(LinesUpTo("UPnP appears to not have been initialized, aborting.", 0).size(), 4);
        // Mapping without a control URL fails in the library; the thread lives on.
        const auto socket = From("127.0.0.2");
        forwarder.AddPortMapping(socket.get(), 2234);
        QVERIFY(QTest::qWaitFor([&] { return !lines.filter("mapping failure").isEmpty(); }, 10000));
        // A description that cannot be fetched leaves it uninitialised.
        forwarder.SetRootDescriptionUrl("http://127.0.0.1:1/rootDesc.xml");
        int from = lines.size();
        forwarder.Init();
        QCOMPARE(LinesUpTo("Device XML not found.", from).size(), 3);
        from = lines.size();
        forwarder.RemovePortMapping(2234);
        QCOMPARE(LinesUpTo("UPnP appears to not have been initialized, aborting.", from).size(), 2);
    }

    void destructorWaitsForBusyWorker() {
        FakeGateway gateway;
        QVERIFY(gateway.Start());
        gateway.SetResponseDelay(1500);
        QElapsedTimer timer;
        timer.start();
        auto forwarder = std::make_unique<PortForwarder>();
        forwarder->SetRootDescriptionUrl(gateway.RootUrl());
        forwarder->Init();
        forwarder->RemovePortMapping(2234);
        QTRY_COMPARE_WITH_TIMEOUT(gateway.DescriptionFetches(), 1, 10000);
        forwarder.reset();
        // The discovery in progress was answered, and waited for.
        QVERIFY(timer.elapsed() >= 1500);
        QVERIFY(portForwarder == nullptr);
        // The worker's last lines went nowhere.
        QCoreApplication::processEvents();
        QVERIFY(!lines.contains("Device XML found."));
    }

    void ownAddressChoice() {
        const auto choose = [](const QString& texts, const QString& url, const QString& seen) {
            QList<QHostAddress> list;
            for (const QString& t : texts.split(' '))
                list.append(QHostAddress(t));
            return ThreadedServices::ChooseOwnAddress(list, url, seen);
        };
        const QString three = "127.0.0.1 192.168.1.5 10.0.0.2";
        QCOMPARE(choose(three, "http://192.168.1.1:5000/ctl", ""), QString("192.168.1.5"));
        QCOMPARE(choose(three, "http://10.0.0.1/ctl", ""), QString("10.0.0.2"));
        // No match: the earliest non-loopback IPv4 address.
        QCOMPARE(choose(three, "http://172.16.0.1/ctl", ""), QString("192.168.1.5"));
        // Whole components: 192.168.1.x is not on 192.168.10.x.
        QCOMPARE(choose("10.0.0.2 192.168.10.7 192.168.1.5", "http://192.168.10.1:1900/ctl", ""),
                 QString("192.168.10.7"));
        // IPv6 and loopback only: stays on loopback.
        QCOMPARE(choose("::1 fe80::1 127.0.0.1", "http://192.168.1.1/", ""), QString("127.0.0.1"));
        // What the library saw on the way to the router wins when usable.
        QCOMPARE(choose(three, "http://192.168.1.1/", "10.0.0.2"), QString("10.0.0.2"));
        QCOMPARE(choose(three, "http://192.168.1.1/", "127.0.0.1"), QString("192.168.1.5"));
    }
};

QTEST_GUILESS_MAIN(TestUpnp)
#include "test_upnp.moc"
