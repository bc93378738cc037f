// The version-file reader on random and mutated input: no crash, and what it
// accepts always satisfies its own rules.

#include <QRandomGenerator>
#include <QtTest>

#include "net/UpdateChecker.h"

class TestUpdateFuzz : public QObject {
    Q_OBJECT

private slots:
    void randomAndMutatedFiles() {
        QRandomGenerator rng(20130226);
        const QByteArray seeds[] = {
            "20140101\nhttp://dl.test\nstem\nOne\nTwo\n",
            "20140101\r\nb\r\ns\r\nx\r\n",
            "  99999999999 \n b \n s \n",
            QByteArray("20140101\nb\0c\ns\nd\0e\n", 20),
        };
        const char alphabet[] = "0123456789\n\r \t\x0b\f\0-+abc\xff";
        for (int round = 0; round < 60000; ++round) {
            QByteArray input;
            if (round % 3 == 0) {
                const int n = int(rng.bounded(200));
                for (int k = 0; k < n; ++k)
                    input += alphabet[rng.bounded(int(sizeof alphabet - 1))];
            } else {
                input = seeds[rng.bounded(4)];
                const int edits = 1 + int(rng.bounded(6));
                for (int e = 0; e < edits && !input.isEmpty(); ++e) {
                    const int at = int(rng.bounded(input.size()));
                    switch (rng.bounded(4)) {
                        case 0:
                            input[at] = char(rng.bounded(256));
                            break;
                        case 1:
                            input.remove(at, 1 + int(rng.bounded(4)));
                            break;
                        case 2:
                            input.insert(at, alphabet[rng.bounded(int(sizeof alphabet - 1))]);
                            break;
                        default:
                            input.truncate(at);
                    }
                }
            }
            const qint64 skip = qint64(rng.bounded(3)) * 20140101;
            UpdateChecker::Release release;
            if (UpdateChecker::ParseVersionFile(input, skip, release)) {
                QVERIFY(release.version > UpdateChecker::kCurrentVersion);
                QVERIFY(release.version > skip);
                QVERIFY(release.downloadLink.endsWith("-64bit.tgz"));
                QVERIFY(release.description.size() <= input.count('\n'));
                for (const QString& line : release.description)
                    QVERIFY(!line.contains(QChar(0)) && !line.endsWith(QLatin1Char(0x0a)));
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestUpdateFuzz)
#include "test_update_fuzz.moc"
