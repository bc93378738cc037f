// Two whole clients (driver processes) through the loopback server, one
// asking the other what our client asks in normal use, at once: a folder of
// 300 subfolders queued (more than the uploader queues per user), the place
// of every queued download while another user holds the upload slot, and
// the share list opened again and again.
// Each request gets its answer, later if its budget says so.
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

#include "support/DriverProcess.h"
#include "support/TestServer.h"

class TestEndToEndRequests : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    TestServer m_server;
    std::unique_ptr<DriverProcess> m_alice{new DriverProcess(TAVENOOK_DRIVER, At("a.log"))};
    std::unique_ptr<DriverProcess> m_bob{new DriverProcess(TAVENOOK_DRIVER, At("b.log"))};
    std::unique_ptr<DriverProcess> m_carol{new DriverProcess(TAVENOOK_DRIVER, At("c.log"))};

    QString At(const QString& relative) const { return m_dir.filePath(relative); }
    QString Remote(const QString& path) const { return QString(path).replace('/', '\\'); }
    // Every download's status, by its remote path.
    QMap<QString, QString> Statuses() {
        m_alice->Send("status");
        QMap<QString, QString> out;
        for (;;) {
            const QStringList line = m_alice->WaitFor("download", 60000, {});
            if (line.isEmpty())
                return out;
            out.insert(line.value(2), line.value(3));
            if (out.size() == kFiles)
                return out;
        }
    }
    static constexpr int kFiles = 300;

private slots:
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        QVERIFY(m_server.Listen());
        for (int k = 0; k < kFiles; ++k) {
            const QString folder = At(QString("share/tree/%1").arg(k, 3, 10, QChar('0')));
            QFile file(folder + "/track.mp3");
            QVERIFY(QDir().mkpath(folder) && file.open(QIODevice::WriteOnly) &&
                    file.resize(200000));
        }
        // Uploads crawl, so that what bob queues stays queued.
        QVERIFY2(m_bob->Start({"--home", At("b"), "--user", "bob", "--password", "pw", "--share",
                               At("share"), "--server", m_server.Address(), "--upload-limit", "1"}),
                 m_bob->LogTail().constData());
        QVERIFY2(m_alice->Start({"--home", At("a"), "--user", "alice", "--password", "pw",
                                 "--downloads", At("a/dl"), "--server", m_server.Address()}),
                 m_alice->LogTail().constData());
        // Carol takes bob's one upload slot: alice's downloads all wait.
        QVERIFY2(m_carol->Start({"--home", At("c"), "--user", "carol", "--password", "pw",
                                 "--downloads", At("c/dl"), "--server", m_server.Address()}),
                 m_carol->LogTail().constData());
        const QString first = Remote(At("share/tree/000/track.mp3"));
        m_carol->Send("download\tbob\t" + first + "\t200000");
        QVERIFY(!m_carol
                     ->WaitFor("state", 60000,
                               [](const QStringList& f) { return f.value(3) == "downloading"; })
                     .isEmpty());
    }

    // Opened again and again, the share list comes each time, past the
    // budget's burst too, once it has refilled.
    void shareListOpenedAgainAndAgain() {
        for (int k = 0; k < 13; ++k) {
            m_alice->Send("browse bob");
            QVERIFY2(!m_alice->WaitFor("share-end", 30000).isEmpty(),
                     qPrintable(QString("browse %1").arg(k + 1)));
        }
    }

    // 300 queue requests at once: the uploader queues 200 a user and says
    // no to the rest; every download learns one or the other, and then the
    // place in line of every queued one.
    void folderQueuedAndEveryPlaceTold() {
        m_alice->Send("download-folder\tbob\t" + Remote(At("share/tree")));
        QCOMPARE(m_alice->WaitFor("queued-folder").value(3), QString::number(kFiles));
        QMap<QString, QString> statuses;
        QElapsedTimer waited;
        waited.start();
        int denied = 0;
        do {
            QTest::qWait(500);
            statuses = Statuses();
            denied = int(std::count(statuses.begin(), statuses.end(), QString("denied")));
        } while (denied < kFiles - 200 && waited.elapsed() < 60000);
        QStringList seen;
        for (const QString& status : statuses)
            seen << status;
        seen.removeDuplicates();
        QVERIFY2(denied == kFiles - 200,
                 qPrintable(QString("%1 denied of %2: %3\n%4")
                                .arg(denied)
                                .arg(statuses.size())
                                .arg(seen.join(","), QString::fromUtf8(m_bob->LogTail()))));
        // The place of each queued download is asked for at the first
        // half-minute tick 30 s after the queue requests went: brought due.
        m_alice->Send("places-due");
        QVERIFY(!m_alice->WaitFor("places-due").isEmpty());
        m_alice->Send("tick");
        QVERIFY(!m_alice->WaitFor("ticked").isEmpty());
        const int queued = int(std::count(statuses.begin(), statuses.end(), QString("queued")));
        QCOMPARE(queued, 200);
        int told = 0;
        for (int k = 0; k < 60 && told < queued; ++k) {
            QTest::qWait(500);
            m_alice->Send("places");
            told = m_alice->WaitFor("places-end").value(1).toInt();
        }
        QCOMPARE(told, queued);
    }

    void cleanupTestCase() {
        QVERIFY(m_alice->Quit());
        QVERIFY(m_bob->Quit());
        QVERIFY(m_carol->Quit());
    }
};

QTEST_GUILESS_MAIN(TestEndToEndRequests)
#include "test_e2e_requests.moc"
