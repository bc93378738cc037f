// Byte streams and the records built on them: wire layouts, all-or-nothing
// reads over memory and files, string caps, and hostile input.

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>
#include <atomic>
#include <cstring>
#include <limits>

#include "store/FileInfo.h"
#include "store/GeneralFunctions.h"
#include "store/MemStream.h"
#include "store/QFileStreamer.h"
#include "store/UserStats.h"
#include "support/Fuzz.h"
#include "support/LargestAllocation.h"
#include "support/Payload.h"

namespace {

#ifdef TAVENOOK_ASAN  // ASan brings its own allocator: nothing is recorded
std::atomic<bool> g_tracking{false};
std::atomic<std::size_t> g_largestAllocation{0};
#endif

QByteArray Str(quint32 count, const QByteArray& body) {
    MemStream m;
    m.Write(count);
    return m.GetWrittenBytes() + body;
}

}  // namespace

class TestStreams : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { SetFallbackCodec(nullptr); }
    void layoutsAndRoundTrips() {
        QTemporaryDir dir;
        QFile file(dir.filePath("stream.bin"));
        QVERIFY(file.open(QIODevice::ReadWrite));
        QFileStreamer streamer(&file);
        MemStream mem;
        AttributeMap attributes("mp3");
        attributes.Set(AttributeMap::kBitrate, 320);
        attributes.Set(AttributeMap::kLength, 215);
        const FileInfo info("@@music\\Song.mp3", qint64(5) << 32, attributes);
        const UserStats stats(0x01020304, 0x0102030405060708ULL, 9, 10);
        for (OutputStream* out :
             {static_cast<OutputStream*>(&mem), static_cast<OutputStream*>(&streamer)})
            QVERIFY(out->Write(quint32(0x01020304)) && out->Write(qint16(-2)) &&
                    out->Write(quint64(0x1122334455667788ULL)) && out->Write(true) &&
                    out->Write("ab") && out->Write(QString::fromUtf8("\xc3\xa9")) &&
                    out->Write(static_cast<const char*>(nullptr)) && info.Write(*out) &&
                    stats.Write(*out));
        // Little-endian integers, strings as a u32 count and bytes, then the
        // file record (marker, name, size, extension, pairs) and the user stats.
        const QByteArray expected =
            QByteArray("\x04\x03\x02\x01\xfe\xff\x88\x77\x66\x55\x44\x33\x22\x11\x01", 15) +
            Str(2, "ab") + Str(2, "\xc3\xa9") + Str(0, "") + QByteArray("\x01", 1) +
            Str(16, "@@music\\Song.mp3") + QByteArray("\x00\x00\x00\x00\x05\x00\x00\x00", 8) +
            Str(3, "mp3") + QByteArray("\x02\x00\x00\x00\x00\x00\x00\x00\x40\x01\x00\x00", 12) +
            QByteArray("\x01\x00\x00\x00\xd7\x00\x00\x00", 8) +
            QByteArray(
                "\x04\x03\x02\x01\x08\x07\x06\x05\x04\x03\x02\x01\x09\x00\x00\x00\x0a\x00\x00\x00",
                20);
        QCOMPARE(mem.GetWrittenBytes(), expected);
        file.seek(0);
        QCOMPARE(file.readAll(), expected);

        // Read back to the last byte.
        quint64 u64 = 0;
        std::string ab;
        QString text, empty = "x";
        FileInfo readInfo;
        UserStats readStats;
        QVERIFY(mem.SetReadPos(6) && mem.Read(u64) && mem.SetReadPos(15) && mem.Read(ab) &&
                mem.Read(text) && mem.Read(empty) && readInfo.Read(mem) && readStats.Read(mem));
        QVERIFY(u64 == 0x1122334455667788ULL && ab == "ab" &&
                text == QString::fromUtf8("\xc3\xa9"));
        QVERIFY(empty.isEmpty() && readStats == stats);
        QVERIFY(readInfo == info && readInfo.GetAttributes() == info.GetAttributes());
        QCOMPARE(mem.BytesLeft(), qint64(0));
    }

    void readsAreAllOrNothing() {
        // Strings whose count says more than is there, is cut, or is over the
        // cap, though every byte is there: refused, consuming nothing.
        const quint32 limit = InputStream::kMaxStringLength;
        for (const QByteArray& bytes :
             {Str(10, "123456789"), QByteArray("\x05\x00", 2), Str(0xffffffffu, "abc"),
              Str(limit + 1, QByteArray(int(limit) + 1, 'b'))}) {
            MemStream in(bytes);
            std::string raw = "keep";
            QString text = "keep";
            QByteArray qb = "keep";
            QVERIFY(!in.Read(raw) && !in.Read(text) && !in.Read(qb));
            QVERIFY(raw == "keep" && text == "keep" && qb == "keep" &&
                    in.BytesLeft() == bytes.size());
        }
        MemStream in(Str(limit, QByteArray(int(limit), 'a')) + "abcde");
        std::string raw;
        QVERIFY(in.Read(raw) && raw.size() == limit);
        char buffer[8] = "xxxxxxx";  // raw reads: all or nothing
        QVERIFY(!in.ReadBuffer(buffer, 6) && !in.ReadBuffer(buffer, -1));
        QVERIFY(QByteArray(buffer) == "xxxxxxx" && in.ReadBuffer(buffer, 5) &&
                !in.ReadBuffer(buffer, 1));
        // What a reader would refuse is not written either.
        MemStream out;
        QVERIFY(!out.Write(std::string(limit + 1, 'c')));
        QVERIFY(!out.Write(QString(int(limit / 2) + 1, QChar(0xe9))));  // over in UTF-8 bytes
        QVERIFY(out.GetWritePos() == 0 && out.Write(std::string(limit, 'c')));
    }

    void memStreamBuffers() {
        // Positions and sizes outside the buffer are refused and change nothing.
        MemStream s;
        QVERIFY(s.Write(std::string("hello")));
        QVERIFY(!s.SetReadPos(-1) && !s.SetReadPos(10) && !s.SetWritePos(-1) &&
                !s.SetWritePos(s.GetBufferSize() + 1));
        for (qint64 n : {qint64(-1), std::numeric_limits<qint64>::min(),
                         MemStream::kMaxBufferSize + 1, std::numeric_limits<qint64>::max()})
            QVERIFY(!s.ResizeBuffer(n));
        QVERIFY(s.GetReadPos() == 0 && s.GetWritePos() == 9);
        QVERIFY(s.SetReadPos(9) && s.SetWritePos(4) && s.GetReadPos() == 4);
        // Filled directly, as from a socket; nothing grows past the maximum.
        QVERIFY(s.ResizeBuffer(6));
        std::memcpy(s.GetBuffer(), "\x02\x00\x00\x00hi", 6);
        std::string text;
        QVERIFY(!s.SetWritePos(7) && s.SetWritePos(6) && s.Read(text) && text == "hi");
        QVERIFY(s.ResizeBuffer(MemStream::kMaxBufferSize));
        QVERIFY(s.SetWritePos(MemStream::kMaxBufferSize - 1));
        QVERIFY(!s.Write(quint16(1)) && s.Write(quint8(1)) && !s.Write(quint8(1)));
        QVERIFY(!s.WriteBuffer("x", -1));
    }

    void recordsRefuseHostileInput() {
        // Any marker; pairs as read, duplicates included; pair counts over the cap refused.
        MemStream odd(Payload().U8(7).Str("f").I64(-1).Str("").U32(2).U32(9).U32(1).U32(9).U32(2));
        FileInfo read;
        QVERIFY(read.Read(odd) && read.GetSize() == -1);
        QVERIFY(read.GetAttributes().GetPairs() ==
                (std::vector<AttributeMap::Pair>{{9, 1}, {9, 2}}));
        for (quint32 count : {AttributeMap::kMaxAttributeCount + 1, 0xffffffffu, 5u}) {
            MemStream hostile(Payload().Str("").U32(count).Raw(QByteArray(32, '\x01')));
            AttributeMap target;
            QVERIFY(!target.Read(hostile) && target.IsEmpty());
        }
        AttributeMap full;
        for (quint32 k = 0; k < AttributeMap::kMaxAttributeCount; ++k)
            QVERIFY(full.Append(k, k));
        QVERIFY(!full.Append(0, 0));
    }

    void mutatedInput() {
        // Records and values made by the writers, mutated, read back by a
        // random mix of readers over memory and over a file: the two agree, a
        // failed read changes nothing and (records aside) consumes nothing, and
        // nothing allocates more than the longest string a reader accepts.
        QTemporaryDir dir;
        QFile file(dir.filePath("fuzz.bin"));
        QVERIFY(file.open(QIODevice::ReadWrite | QIODevice::Truncate));
        QFileStreamer fileStream(&file);
        fuzz::Rng rng(0x5eed1234u);
        auto name = [&] { return fuzz::RandomBytes(rng, 24).toStdString(); };
        // "ok:" and what was read, "no:" for a clean failure, "BAD:" for a fault.
        auto read = [&](InputStream& in, int op) -> std::string {
            const qint64 before = in.BytesLeft();
            FileInfo info("keep", 7);
            UserStats stats(1, 2, 3, 4);
            std::string text = "keep";
            quint32 number = 7;
            const bool ok = op == 0   ? in.Read(number)
                            : op == 1 ? in.Read(text)
                            : op == 2 ? info.Read(in)
                                      : stats.Read(in);
            const std::string got = std::to_string(number) + text + info.GetName() +
                                    std::to_string(info.GetSize()) +
                                    std::to_string(stats.GetFiles());
            const qint64 used = before - in.BytesLeft();
            const bool unchanged = got == "7keepkeep73" && info.GetAttributes().IsEmpty();
            if (ok)
                return "ok:" + got + ":" + std::to_string(used);
            return (unchanged && (op >= 2 || used == 0) ? "no:" : "BAD:") + std::to_string(used);
        };
        int succeeded = 0;
        g_largestAllocation = 0;
        for (int input = 0; input < 20000; ++input) {
            MemStream out;
            for (int k = 1 + fuzz::Below(rng, 4); k > 0; --k) {
                const int kind = fuzz::Below(rng, 4);
                if (kind == 0)
                    FileInfo(name(), qint64(rng()), AttributeMap(name().substr(0, 4))).Write(out);
                else if (kind == 1)
                    UserStats(rng(), rng(), rng(), rng()).Write(out);
                else
                    kind == 2 ? out.Write(name()) : out.Write(quint32(rng()));
            }
            const QByteArray bytes = fuzz::Mutate(rng, out.GetWrittenBytes());
            MemStream memory(bytes);
            QVERIFY(file.resize(0) && file.seek(0) && file.write(bytes) == bytes.size() &&
                    file.seek(0));
            for (int k = 1 + fuzz::Below(rng, 8); k > 0; --k) {
                const int op = fuzz::Below(rng, 4);
                g_tracking = true;
                const std::string inMemory = read(memory, op), inFile = read(fileStream, op);
                g_tracking = false;
                if (inMemory != inFile || inMemory.rfind("BAD:", 0) == 0)
                    QFAIL(qPrintable(QString("input %1 op %2: memory '%3' file '%4'")
                                         .arg(input)
                                         .arg(op)
                                         .arg(QString::fromStdString(inMemory))
                                         .arg(QString::fromStdString(inFile))));
                succeeded += inMemory.rfind("ok:", 0) == 0;
            }
            QCOMPARE(memory.GetWrittenBytes(), bytes);  // reading never changes the bytes
        }
        QVERIFY(succeeded > 10000);
        QVERIFY2(g_largestAllocation <= 2 * (4 + std::size_t(InputStream::kMaxStringLength)),
                 qPrintable(QString::number(g_largestAllocation.load())));
        // Counts with a few bytes behind them: not even those under the cap are
        // allocated before the bytes are there.
        for (quint32 count : {0xffffffffu, 0x7fffffffu, InputStream::kMaxStringLength,
                              AttributeMap::kMaxAttributeCount}) {
            MemStream stream(Str(count, QByteArray(64, 'x')));
            MemStream pairs(Str(0, "") + Str(count, QByteArray(64, 'x')));
            std::string raw;
            AttributeMap attributes;
            g_largestAllocation = 0;
            g_tracking = true;
            QVERIFY(!stream.Read(raw) && !attributes.Read(pairs));
            g_tracking = false;
            QVERIFY2(g_largestAllocation < 4096, qPrintable(QString::number(g_largestAllocation)));
        }
    }
};

QTEST_GUILESS_MAIN(TestStreams)
#include "test_streams.moc"
