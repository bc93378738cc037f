// The release check against a loopback HTTP stub: which version files raise
// the announcement and what it carries (odd and malformed files among them),
// refused and oversized answers.

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>
#include <memory>

#include "net/UpdateChecker.h"
#include "store/Settings.h"
#include "support/HttpStub.h"

class TestUpdate : public QObject {
    Q_OBJECT

    std::unique_ptr<HttpStub> stub;

    // One run of the program: a fresh checker and its first login; the
    // announcement as "version link description..." or "" for none.
    QStringList Check(const QByteArray& body, int status = 200) {
        stub->body = body;
        stub->status = status;
        UpdateChecker checker;
        QSignalSpy announced(&checker, &UpdateChecker::NewVersion);
        QSignalSpy done(&checker, &UpdateChecker::CheckDone);
        checker.OnConnectedToServer();
        if (!done.wait(10000))
            return {"<no answer>"};
        if (announced.isEmpty())
            return {};
        return QStringList{announced[0][0].toString(), announced[0][1].toString()} +
               announced[0][2].toStringList();
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
    }
    void cleanup() {
        stub.reset();
        d.Reset();
    }

    void versionFiles() {
        const QStringList one{"20140101", "http://dl.test/Linux/stem-64bit.tgz", "One", "Two"};
        const QStringList b{"20140101", "b/Linux/s-64bit.tgz"};
        struct Row {
            const char* skip;
            QByteArray body;
            QStringList announced;
        };
        // clang-format off
        const Row rows[] = {
            {"", "20130226\nb\ns\nx\n", {}},  // this build
            {"", "20130227\nhttp://dl.test\nt-2\nFix\nFast\n", {"20130227", "http://dl.test/Linux/t-2-64bit.tgz", "Fix", "Fast"}},
            {"20140101", "20140101\nb\ns\n", {}},
            {"20140100", "20140101\nb\ns\n", b},
            {"soon", "20140101\nb\ns\n", b},  // a skip that is no number counts as 0
            {"", "tomorrow\nb\ns\n", {}},
            {"", "99991231235959\nb\ns\n", {"99991231235959", "b/Linux/s-64bit.tgz"}},
            {"", "20140101\n\ns\nx\n", {}},  // empty base
            {"", "20140101\nb\n  \nx\n", {}},  // blank stem
            {"", "20140101\r\nhttp://dl.test\r\nstem\r\nOne\r\nTwo\r\n", one},
            {"", "  20140101 \n\thttp://dl.test  \n stem\t\n  One \r\nTwo\x0b\f\n", one},
            {"", "20140101\nb\ns\nOne\nTwo", b + QStringList{"One"}},  // the last line unended
            {"", QByteArray("20140101\nb\ns\nab\0cd\ncaf\xe9\n", 24), b + QStringList{"ab", "caf\u00e9"}}};
        // clang-format on
        for (const Row& row : rows) {
            SetSetting("skip_version", row.skip);
            QCOMPARE(Check(row.body), row.announced);
        }
        QCOMPARE(stub->requests.size(), int(std::size(rows)));
        QVERIFY(stub->requests[0].startsWith("GET /qtversion.txt HTTP/1."));
    }

    void refusedOversizedAndGone() {
        const QByteArray good = "20140101\nb\ns\nOne\n";
        QCOMPARE(Check(good, 404), QStringList());
        QCOMPARE(Check(good, 500), QStringList());
        QCOMPARE(Check(good + QByteArray(UpdateChecker::kMaxBodySize, 'x') + "\n"), QStringList());
        // Exactly at the cap is still read.
        const QByteArray full =
            good + QByteArray(UpdateChecker::kMaxBodySize - good.size() - 1, 'y') + "\n";
        QCOMPARE(Check(full).size(), 4);
        // Gone while fetching, then nobody listening: nothing, no crash.
        {
            QTcpServer silent;
            QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
            qputenv("TAVENOOK_UPDATE_URL", QByteArray("http://127.0.0.1:") +
                                               QByteArray::number(silent.serverPort()) + "/v");
            UpdateChecker checker;
            checker.CheckForNewVersion();
            QVERIFY(QTest::qWaitFor([&] { return silent.hasPendingConnections(); }, 10000));
        }
        QCOMPARE(Check(good), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestUpdate)
#include "test_update.moc"
