// The queue of folder-contents requests: turns between users, answers kept
// while there is no room, the main-thread budget per second, and what it
// takes in.

#include <QElapsedTimer>
#include <QtTest>

#include "net/PeerLimits.h"
#include "shares/FolderRequestQueue.h"

namespace {

constexpr int kWait = 20000;
using Turn = FolderRequestQueue::Turn;

void Spin(qint64 ms) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
    }
}

}  // namespace

class TestFolderRequestQueue : public QObject {
    Q_OBJECT

private slots:
    // Users take turns, one answer each, a served one going to the back: an
    // honest user waits behind one answer of a flooder's, not a hundred.
    // An answer that finds no room is kept and sent when there is.
    void turnsAndAnswersKept() {
        QStringList answered;
        int refusals = 3;
        FolderRequestQueue queue(
            [&](const FolderRequestQueue::Request& r) -> Turn {
                if (r.user == "honest" && refusals > 0) {
                    --refusals;
                    return Turn::Later;
                }
                answered << QString("%1:%2").arg(r.user).arg(r.req);
                return Turn::Done;
            },
            [](const FolderRequestQueue::Request&) { return true; });
        for (quint32 k = 0; k < 100; ++k)
            QVERIFY(queue.Add("flood", k, QString("f%1").arg(k)));
        QVERIFY(queue.Add("honest", 7, "mine"));
        QTRY_COMPARE_WITH_TIMEOUT(queue.Waiting(), 0, kWait);
        QCOMPARE(answered.size(), 101);
        QCOMPARE(answered.count("honest:7"), 1);
        // Three refusals: the honest user's turn came back three times.
        QVERIFY2(answered.indexOf("honest:7") <= 4, qPrintable(answered.mid(0, 6).join(" ")));
    }

    // Main-thread time counts against the second's budget: answers of 10 ms
    // go at most 20 a second.
    void mainThreadTimePerSecond() {
        std::vector<qint64> starts;
        QElapsedTimer clock;
        clock.start();
        FolderRequestQueue queue(
            [&](const FolderRequestQueue::Request&) -> Turn {
                starts.push_back(clock.elapsed());
                Spin(10);
                return Turn::Done;
            },
            [](const FolderRequestQueue::Request&) { return true; });
        for (quint32 k = 0; k < 80; ++k)
            QVERIFY(queue.Add(QString("user%1").arg(k % 4), k, QString("f%1").arg(k)));
        QTRY_VERIFY_WITH_TIMEOUT(!starts.empty(), kWait);
        QTest::qWait(900);
        const qint64 first = starts.front();
        const long within = std::count_if(starts.begin(), starts.end(),
                                          [&](qint64 at) { return at - first < 900; });
        // The first second's budget and, at most, the next one's.
        const long most = 2 * PeerLimits::kFolderAnswerMsPerSecond / 10 + 2;
        QVERIFY2(within <= most, qPrintable(QString::number(within)));
        QTRY_COMPARE_WITH_TIMEOUT(queue.Waiting(), 0, kWait);
    }

    // An answer that runs past the end of the second it began in: the
    // queue goes on with those waiting, nobody asking anew.
    void goesOnAfterASlowAnswer() {
        int answered = 0;
        FolderRequestQueue queue(
            [&](const FolderRequestQueue::Request& r) -> Turn {
                if (r.req == 0)
                    Spin(1300);
                ++answered;
                return Turn::Done;
            },
            [](const FolderRequestQueue::Request&) { return true; });
        for (quint32 k = 0; k < 3; ++k)
            QVERIFY(queue.Add("bob", k, QString("f%1").arg(k)));
        QTRY_COMPARE_WITH_TIMEOUT(answered, 3, kWait);
    }

    // The same folder under another request number is a request of its own;
    // the same request again is answered by the one waiting. A user's share
    // of the queue is bounded in requests and bytes.
    void whatTheQueueTakes() {
        QStringList answered;
        bool ready = false;
        FolderRequestQueue queue(
            [&](const FolderRequestQueue::Request& r) -> Turn {
                answered << QString("%1:%2").arg(r.req).arg(r.folder);
                return Turn::Done;
            },
            [&](const FolderRequestQueue::Request&) { return ready; });
        QVERIFY(queue.Add("bob", 1, "a"));
        QVERIFY(queue.Add("bob", 2, "a"));
        QVERIFY(queue.Add("bob", 2, "a"));
        QVERIFY(queue.Add("bob", 3, "a"));
        QCOMPARE(queue.Waiting(), 3);
        for (int k = 3; k < PeerLimits::kMaxFolderRequestsPerUser; ++k)
            QVERIFY(queue.Add("bob", quint32(100 + k), "b"));
        QVERIFY(!queue.Add("bob", 99, "c"));
        const QString large(int(PeerLimits::kMaxFolderRequestBytesPerUser / 6), 'x');
        QVERIFY(queue.Add("carol", 1, large));
        QVERIFY(queue.Add("carol", 2, large));
        QVERIFY(!queue.Add("carol", 3, large));
        ready = true;
        QTRY_COMPARE_WITH_TIMEOUT(queue.Waiting(), 0, kWait);
        QCOMPARE(answered.mid(0, 1), QStringList{"1:a"});
        QVERIFY(answered.contains("2:a") && answered.contains("3:a"));
        QCOMPARE(answered.count("2:a"), 1);
    }

    // Answered requests stop counting once they are gone: users who keep
    // asking, answer after answer, for far more than the queue holds in all
    // and than each user's share, are taken every time, also one who always
    // has one waiting as she asks again.
    void answeredRequestsStopCounting() {
        quint32 held = 0;
        FolderRequestQueue queue(
            [&](const FolderRequestQueue::Request& r) {
                return r.req == held ? Turn::Later : Turn::Done;
            },
            [](const FolderRequestQueue::Request&) { return true; });
        // Three fit in a user's share at once.
        const QString folder(int(PeerLimits::kMaxFolderRequestBytesPerUser / 8), 'f');
        quint32 req = 0;
        for (qint64 asked = 0; asked < 2 * PeerLimits::kMaxFolderRequestBytesTotal;
             asked += 4 * 2 * folder.size()) {
            for (const char* user : {"bob", "carol", "bob", "carol"})
                QVERIFY2(queue.Add(user, ++req, folder), qPrintable(QString::number(req)));
            held = req;
            queue.Serve();
            QCOMPARE(queue.Waiting(), 1);
        }
        held = 0;
        QTRY_COMPARE_WITH_TIMEOUT(queue.Waiting(), 0, kWait);
    }
};

QTEST_GUILESS_MAIN(TestFolderRequestQueue)
#include "test_folder_request_queue.moc"
