// Two whole clients (driver processes, each with its own home) meet through
// the loopback server: a search answered and downloaded, a nested folder
// browsed and downloaded, a download that survives the uploader being
// killed mid-transfer and resumes from its partial file, and one that
// survives its downloader being killed before any save recorded its partial.
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

#include "support/DriverProcess.h"
#include "support/TestServer.h"

namespace {

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

QByteArray WriteRandom(const QString& path, int size) {
    QDir().mkpath(QFileInfo(path).path());
    QByteArray bytes(size, '\0');
    QRandomGenerator generator{quint32(size)};
    for (char& byte : bytes)
        byte = char(generator.bounded(256));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != size)
        qFatal("cannot write %s", qPrintable(path));
    return bytes;
}

// The network's form of a local path.
QString Remote(const QString& path) {
    return QString(path).replace('/', '\\');
}

}  // namespace

class TestEndToEnd : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    TestServer m_server;
    std::unique_ptr<DriverProcess> m_a{new DriverProcess(TAVENOOK_DRIVER, At("a.log"))};
    std::unique_ptr<DriverProcess> m_b{new DriverProcess(TAVENOOK_DRIVER, At("b.log"))};
    QByteArray m_song, m_y, m_x, m_big, m_slow;
    int m_crashRow = 0;

    QString At(const QString& relative) const { return m_dir.filePath(relative); }
    bool StartB(const QString& uploadLimit) {
        return m_b->Start({"--home", At("b"), "--user", "bob", "--password", "pw", "--share",
                           At("share"), "--downloads", At("b/dl"), "--server", m_server.Address(),
                           "--upload-limit", uploadLimit});
    }
    // Each file's complete line, in any order; each file must hold its bytes.
    void ExpectComplete(QMap<QString, QByteArray> files) {
        const QDir complete(At("a/dl/complete"));
        while (!files.isEmpty()) {
            const QStringList done = m_a->WaitFor("complete", 60000, [&](const QStringList& f) {
                return files.contains(complete.relativeFilePath(f.value(2)));
            });
            QVERIFY2(!done.isEmpty(), m_a->LogTail().constData());
            QCOMPARE(ReadAll(done[2]), files.take(complete.relativeFilePath(done[2])));
        }
    }

private slots:
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        QVERIFY(m_server.Listen());
        m_song = WriteRandom(At("share/song one.mp3"), 100000);
        m_y = WriteRandom(At("share/sub/y.txt"), 3);
        m_x = WriteRandom(At("share/sub/deep/x.bin"), 70000);
        m_big = WriteRandom(At("share/big.bin"), 4 << 20);
        m_slow = WriteRandom(At("slow/big.bin"), 700000);
        // Slow enough that the big file is still moving when its uploader dies.
        QVERIFY2(StartB("100"), m_b->LogTail().constData());
        QVERIFY2(m_a->Start({"--home", At("a"), "--user", "alice", "--password", "pw",
                             "--downloads", At("a/dl"), "--server", m_server.Address()}),
                 m_a->LogTail().constData());
    }

    void searchAndDownload() {
        m_a->Send("search song one");
        const QStringList result = m_a->WaitFor("result");
        QVERIFY2(!result.isEmpty(), m_b->LogTail().constData());
        QCOMPARE(result, (QStringList{"result", "bob", Remote(At("share/song one.mp3")),
                                      QString::number(m_song.size())}));
        m_a->Send("download\tbob\t" + result[2] + '\t' + result[3]);
        QCOMPARE(m_a->WaitFor("queued").value(2), result[2]);
        ExpectComplete({{"share/song one.mp3", m_song}});
    }

    void browseAndDownloadNestedFolder() {
        m_a->Send("browse bob");
        QCOMPARE(m_a->WaitFor("share-end"), (QStringList{"share-end", "bob", "4"}));
        m_a->Send("download-folder\tbob\t" + Remote(At("share/sub")));
        QCOMPARE(m_a->WaitFor("queued-folder").value(3), QString("2"));
        // The chosen folder and its subfolder are recreated under "complete".
        ExpectComplete({{"sub/y.txt", m_y}, {"sub/deep/x.bin", m_x}});
    }

    void resumeAfterUploaderKilled() {
        const QString path = Remote(At("share/big.bin"));
        m_a->Send(QString("download\tbob\t%1\t%2").arg(path).arg(m_big.size()));
        const auto moving = [&](const QStringList& f) {
            return f.value(2) == path && f.value(4).toLongLong() > 0;
        };
        QVERIFY2(!m_a->WaitFor("progress", 60000, moving).isEmpty(), m_b->LogTail().constData());
        m_b->Kill();
        const QStringList stopped = m_a->WaitFor("state", 60000, [&](const QStringList& f) {
            return f.value(2) == path && f.value(3) != "downloading";
        });
        QVERIFY2(!stopped.isEmpty(), m_a->LogTail().constData());
        const QByteArray partial = ReadAll(At("a/dl/downloading/share/big.bin"));
        QVERIFY(partial.size() > 0 && partial.size() < m_big.size());
        QCOMPARE(partial, m_big.left(partial.size()));

        // Back online, unlimited: the download starts again at the partial's end.
        QVERIFY2(StartB("0"), m_b->LogTail().constData());
        const QStringList resumed = m_a->WaitFor("state", 60000, [&](const QStringList& f) {
            return f.value(2) == path && f.value(3) == "downloading";
        });
        QVERIFY2(!resumed.isEmpty(), m_a->LogTail().constData());
        QCOMPARE(resumed.value(4).toLongLong(), qint64(partial.size()));
        ExpectComplete({{"share/big.bin", m_big}});
    }

    // The downloader killed (SIGKILL) mid-download, its partial begun since
    // the last save: the next start goes on from the partial's size on disk,
    // in the same file, and leaves neither a copy nor a partial behind. The
    // uploader's limit keeps the download running until the kill.
    void crashMidDownload_data() {
        QTest::addColumn<bool>("split");
        QTest::addColumn<bool>("queuedBeforeSave");
        QTest::newRow("split, queued in an earlier run") << true << true;
        QTest::newRow("not split, queued in an earlier run") << false << true;
        QTest::newRow("split, queued since the last save") << true << false;
        QTest::newRow("not split, queued since the last save") << false << false;
    }
    void crashMidDownload() {
        QFETCH(bool, split);
        QFETCH(bool, queuedBeforeSave);
        const QString row = QString::number(m_crashRow++);
        const QString home = At("crash" + row), up = "up" + row, down = "down" + row;
        const QString path = Remote(At("slow/big.bin"));
        const QString command = QString("download\t%1\t%2\t%3").arg(up, path).arg(m_slow.size());
        DriverProcess uploader(TAVENOOK_DRIVER, At(up + ".log"));
        std::unique_ptr<DriverProcess> client;
        const auto startClient = [&] {
            client.reset(new DriverProcess(TAVENOOK_DRIVER, At(down + ".log")));
            QStringList args{"--home", home,          "--user",     down,       "--password",
                             "pw",     "--downloads", home + "/dl", "--server", m_server.Address()};
            if (!split)
                args << "--dont-split";
            return client->Start(args);
        };
        const auto startUploader = [&] {
            return uploader.Start({"--home", At(up), "--user", up, "--password", "pw", "--share",
                                   At("slow"), "--server", m_server.Address(), "--upload-limit",
                                   "200"});
        };
        // The "downloading" state, with its start offset. The uploader may
        // not be known online yet, or still be noticing a dead connection:
        // the queue is asked again each half-minute tick, sent until it runs
        // (for up to two minutes: a loaded machine may take one).
        const auto running = [&] {
            QStringList started;
            for (int k = 0; k < 60 && started.isEmpty(); ++k) {
                client->Send("tick");
                started = client->WaitFor("state", 2000, [&](const QStringList& f) {
                    return f.value(2) == path && f.value(3) == "downloading";
                });
            }
            return started;
        };
        // The uploader's account exists, as on a real network.
        QVERIFY2(startUploader(), uploader.LogTail().constData());
        QVERIFY2(startClient(), client->LogTail().constData());
        if (queuedBeforeSave) {
            // Queued while the uploader is away; the save at quit holds no partial.
            QVERIFY(uploader.Quit());
            client->Send(command);
            QVERIFY(!client->WaitFor("queued").isEmpty());
            QVERIFY(client->Quit());
            QVERIFY2(startClient(), client->LogTail().constData());
            QVERIFY2(startUploader(), uploader.LogTail().constData());
        } else {
            client->Send(command);
        }
        QVERIFY2(!running().isEmpty(), client->LogTail().constData());
        const auto past = [&](const QStringList& f) {
            return f.value(2) == path && f.value(4).toLongLong() >= 150000;
        };
        QVERIFY2(!client->WaitFor("progress", 60000, past).isEmpty(),
                 client->LogTail().constData());
        client->Kill();

        const QString folder = home + (split ? "/dl/downloading/slow/" : "/dl/slow/");
        const QString done = home + (split ? "/dl/complete/slow/" : "/dl/slow/");
        const qint64 onDisk = QFileInfo(folder + "big.bin").size();
        QVERIFY(onDisk >= 150000 && onDisk < m_slow.size());
        QVERIFY2(startClient(), client->LogTail().constData());
        const QStringList resumed = running();
        QVERIFY2(!resumed.isEmpty(), client->LogTail().constData());
        QCOMPARE(resumed.value(4).toLongLong(), onDisk);
        const QStringList complete = client->WaitFor("complete");
        QVERIFY2(!complete.isEmpty(), client->LogTail().constData());
        QCOMPARE(complete.value(2), done + "big.bin");
        QCOMPARE(ReadAll(done + "big.bin"), m_slow);
        QCOMPARE(QDir(done).entryList(QDir::Files | QDir::Hidden), QStringList{"big.bin"});
        if (split)
            QVERIFY(QDir(folder).entryList(QDir::Files | QDir::Hidden).isEmpty());
        QVERIFY(client->Quit());
        QVERIFY(uploader.Quit());
    }

    // A download whose move failed (a file stands where its folder goes),
    // and the client started again: however often the tick comes, the move
    // is not made again at once and the file is not asked of the uploader
    // again; once the way is clear, the user's Retry moves it here.
    void failedMoveAfterRestart() {
        const QString home = At("mover"), log = At("mover.log");
        const QString path = Remote(At("share/song one.mp3"));
        DriverProcess client(TAVENOOK_DRIVER, log);
        const auto start = [&] {
            return client.Start({"--home", home, "--user", "mover", "--password", "pw",
                                 "--downloads", home + "/dl", "--server", m_server.Address()});
        };
        const QString blocked = home + "/dl/complete/share";
        WriteRandom(blocked, 10);
        QVERIFY2(start(), client.LogTail().constData());
        client.Send(QString("download\tbob\t%1\t%2").arg(path).arg(m_song.size()));
        const auto failed = [&](const QStringList& f) {
            return f.value(2) == path && f.value(3) == "local error";
        };
        QVERIFY2(!client.WaitFor("state", 60000, failed).isEmpty(), client.LogTail().constData());
        QVERIFY(client.Quit());
        const qint64 before = QFileInfo(log).size();
        QVERIFY2(start(), client.LogTail().constData());
        for (int k = 0; k < 5; ++k) {
            client.Send("tick");
            QVERIFY(!client.WaitFor("ticked").isEmpty());
        }
        const auto since = [&](const char* text) {
            return ReadAll(log).mid(int(before)).count(text);
        };
        QCOMPARE(since("Could not move"), 0);
        QCOMPARE(since("Queueing song one.mp3"), 0);
        QCOMPARE(since("Received upload request from bob"), 0);

        QVERIFY(QFile::remove(blocked));
        client.Send("retry\tbob\t" + path);
        QCOMPARE(client.WaitFor("retried"), (QStringList{"retried", path, ""}));
        const QStringList complete = client.WaitFor("complete");
        QVERIFY2(!complete.isEmpty(), client.LogTail().constData());
        QCOMPARE(ReadAll(blocked + "/song one.mp3"), m_song);
        QVERIFY(!QFileInfo::exists(home + "/dl/downloading/share/song one.mp3"));
        QCOMPARE(since("Queueing song one.mp3"), 0);
        QCOMPARE(since("Received upload request from bob"), 0);
        QVERIFY(client.Quit());
    }

    void cleanupTestCase() {
        // Both leave cleanly and keep their store for the next run.
        QVERIFY(m_a->Quit());
        QVERIFY(m_b->Quit());
        QVERIFY(!QDir(At("a/.tavenook")).entryList({"store.*"}).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "test_e2e.moc"
