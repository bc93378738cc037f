// The release check against a loopback HTTP stub: which version files raise
// the announcement, the link and description it carries, refused and
// oversized answers, and one fetch per run.

#include <QHostAddress>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>
#include <memory>

#include "net/UpdateChecker.h"
#include "net/server.h"
#include "store/Settings.h"

namespace {

const int kWait = 10000;

// Answers every GET with the scripted status and body, then closes.
class HttpStub : public QObject {
public:
    HttpStub() {
        connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = server.nextPendingConnection()) {
                connect(s, &QTcpSocket::readyRead, this, [this, s] { OnRead(s); });
                connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            }
        });
    }
    bool Listen() { return server.listen(QHostAddress::LocalHost, 0); }
    QString Url() const {
        return QString("http://127.0.0.1:%1/qtversion.txt").arg(server.serverPort());
    }

    int status = 200;
    QByteArray body;
    QList<QByteArray> requestLines;

private:
    void OnRead(QTcpSocket* s) {
        QByteArray& in = inputs[s];
        in += s->readAll();
        if (!in.contains("\r\n\r\n"))
            return;
        requestLines << in.left(in.indexOf("\r\n"));
        inputs.remove(s);
        s->write("HTTP/1.1 " + QByteArray::number(status) + (status == 200 ? " OK" : " Not Found") +
                 "\r\nContent-Type: text/plain\r\nContent-Length: " +
                 QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
        s->disconnectFromHost();
    }
    QTcpServer server;
    QHash<QTcpSocket*, QByteArray> inputs;
};

}  // namespace

class TestUpdate : public QObject {
    Q_OBJECT

    std::unique_ptr<HttpStub> stub;

    struct Outcome {
        bool announced = false;
        qint64 version = 0;
        QString link;
        QStringList description;
    };

    // One run of the program: a fresh checker and its first login.
    Outcome Check(const QByteArray& body, int status = 200) {
        stub->body = body;
        stub->status = status;
        UpdateChecker checker;
        QSignalSpy announced(&checker, &UpdateChecker::NewVersion);
        QSignalSpy done(&checker, &UpdateChecker::CheckDone);
        checker.OnConnectedToServer();
        Outcome out;
        if (!done.wait(kWait)) {
            out.link = "<no answer>";
            return out;
        }
        if (announced.count() == 1) {
            out.announced = true;
            out.version = announced[0][0].toLongLong();
            out.link = announced[0][1].toString();
            out.description = announced[0][2].toStringList();
        }
        return out;
    }

private slots:
    void initTestCase() {
        // Loopback must not go through a proxy from the environment.
        for (const char* name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"})
            qunsetenv(name);
    }

    void init() {
        d.Reset();
        DeclareSettingsTypes(nullptr);
        stub.reset(new HttpStub);
        QVERIFY(stub->Listen());
        qputenv("TAVENOOK_UPDATE_URL", stub->Url().toLatin1());
    }

    void cleanup() {
        stub.reset();
        qunsetenv("TAVENOOK_UPDATE_URL");
        d.Reset();
    }

    void url() {
        QCOMPARE(UpdateChecker::VersionFileUrl(), QUrl(stub->Url()));
        qunsetenv("TAVENOOK_UPDATE_URL");
        QCOMPARE(UpdateChecker::VersionFileUrl(), QUrl(UpdateChecker::kDefaultUrl));
        QCOMPARE(UpdateChecker::VersionFileUrl().path(), QString("/qtversion.txt"));
    }

    void versionsAgainstBuildAndSkip() {
        // Equal to this build: nothing.
        Outcome o = Check("20130226\nhttp://dl.test/files\ntavenook-2\nFixes\n");
        QVERIFY(!o.announced);
        QCOMPARE(o.link, QString());
        QCOMPARE(stub->requestLines.size(), 1);
        QVERIFY(stub->requestLines[0].startsWith("GET /qtversion.txt HTTP/1."));

        o = Check("20130227\nhttp://dl.test/files\ntavenook-2\nFixes\nFaster\n");
        QVERIFY(o.announced);
        QCOMPARE(o.version, qint64(20130227));
        QCOMPARE(o.link, QString("http://dl.test/files/Linux/tavenook-2-64bit.tgz"));
        QCOMPARE(o.description, QStringList({"Fixes", "Faster"}));

        SetSetting("skip_version", "20130301");
        QVERIFY(!Check("20130301\nb\ns\n").announced);
        o = Check("20130302\nb\ns\n");
        QVERIFY(o.announced);
        QCOMPARE(o.version, qint64(20130302));
        // Three lines: no description.
        QCOMPARE(o.description, QStringList());
        QCOMPARE(o.link, QString("b/Linux/s-64bit.tgz"));

        // A skip value that is not a number counts as 0.
        SetSetting("skip_version", "soon");
        QVERIFY(Check("20130227\nb\ns\n").announced);
        // So does a version line that is not one; 64-bit versions compare whole.
        QVERIFY(!Check("tomorrow\nb\ns\n").announced);
        QCOMPARE(Check("99991231235959\nb\ns\n").version, qint64(99991231235959));
        // Empty base or stem: nothing.
        QVERIFY(!Check("20130227\n\ns\nx\n").announced);
        QVERIFY(!Check("20130227\nb\n  \nx\n").announced);
    }

    void lineForms() {
        const Outcome clean = Check("20140101\nhttp://dl.test\nstem\nOne\nTwo\n");
        QVERIFY(clean.announced);
        const Outcome crlf = Check("20140101\r\nhttp://dl.test\r\nstem\r\nOne\r\nTwo\r\n");
        const Outcome padded =
            Check("  20140101 \n\thttp://dl.test  \n stem\t\n  One \r\nTwo\x0b\f\n");
        for (const Outcome& o : {crlf, padded}) {
            QVERIFY(o.announced);
            QCOMPARE(o.version, clean.version);
            QCOMPARE(o.link, clean.link);
            QCOMPARE(o.description, clean.description);
        }
        // The last line without a line feed is not part of the description.
        QCOMPARE(Check("20140101\nb\ns\nOne\nTwo").description, QStringList({"One"}));
        // Cut at NUL; Latin-1.
        static const char kOdd[] = "20140101\nb\ns\nab\0cd\ncaf\xe9\n";
        const Outcome odd = Check(QByteArray(kOdd, int(sizeof kOdd) - 1));
        QCOMPARE(odd.description, QStringList({"ab", QString::fromUtf8("caf\xc3\xa9")}));
    }

    void refusedAndOversized() {
        const QByteArray good = "20140101\nb\ns\nOne\n";
        QVERIFY(!Check(good, 404).announced);
        QCOMPARE(stub->requestLines.size(), 1);
        QVERIFY(!Check(good, 500).announced);
        QByteArray big = good;
        big += QByteArray(UpdateChecker::kMaxBodySize, 'x') + "\n";
        QVERIFY(!Check(big).announced);
        // Exactly at the cap is still read.
        QByteArray full = good;
        full += QByteArray(UpdateChecker::kMaxBodySize - good.size() - 1, 'y') + "\n";
        QCOMPARE(full.size(), int(UpdateChecker::kMaxBodySize));
        QCOMPARE(Check(full).description.size(), 2);
        // Nobody listening: nothing, no crash.
        const QString url = stub->Url();
        stub.reset();
        qputenv("TAVENOOK_UPDATE_URL", url.toLatin1());
        UpdateChecker checker;
        QSignalSpy done(&checker, &UpdateChecker::CheckDone);
        QSignalSpy announced(&checker, &UpdateChecker::NewVersion);
        checker.CheckForNewVersion();
        QVERIFY(done.wait(kWait));
        QCOMPARE(announced.count(), 0);
    }

    void oneFetchPerRun() {
        stub->body = "20140101\nb\ns\n";
        Server server;
        UpdateChecker checker;
        checker.Init();
        QSignalSpy announced(&checker, &UpdateChecker::NewVersion);
        QSignalSpy done(&checker, &UpdateChecker::CheckDone);
        QVERIFY(!checker.IsChecked());
        emit server.Connected();
        QVERIFY(checker.IsChecked());
        QVERIFY(done.wait(kWait));
        QCOMPARE(announced.count(), 1);
        // A second login, and a direct call, fetch nothing.
        emit server.Connected();
        checker.OnConnectedToServer();
        QTest::qWait(300);
        QCOMPARE(stub->requestLines.size(), 1);
        QCOMPARE(announced.count(), 1);
        QCOMPARE(done.count(), 1);
    }

    void destroyedWhileFetching() {
        // The stub never answers: the request is pending when the checker goes.
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
        qputenv("TAVENOOK_UPDATE_URL",
                QString("http://127.0.0.1:%1/qtversion.txt").arg(silent.serverPort()).toLatin1());
        {
            UpdateChecker checker;
            checker.CheckForNewVersion();
            QVERIFY(QTest::qWaitFor([&] { return silent.hasPendingConnections(); }, kWait));
        }
        QTest::qWait(50);
    }
};

QTEST_GUILESS_MAIN(TestUpdate)
#include "test_update.moc"
