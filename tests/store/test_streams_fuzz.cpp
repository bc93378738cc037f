// Random and mutated inputs fed to every stream reader, on memory and on a
// real file: nothing may crash, a failed read consumes nothing, and no read
// allocates from a count it was given.

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <limits>
#include <new>
#include <random>
#include <sstream>

#include "store/FileInfo.h"
#include "store/GeneralFunctions.h"
#include "store/MemStream.h"
#include "store/QFileStreamer.h"
#include "store/UserStats.h"

#include "support/LargestAllocation.h"

namespace {

using Rng = std::mt19937;

enum Op {
    kU8,
    kI8,
    kU16,
    kI16,
    kU32,
    kI32,
    kU64,
    kI64,
    kBool,
    kStdString,
    kQString,
    kQByteArray,
    kBuffer,
    kPeek,
    kFileInfo,
    kAttributes,
    kUserStats,
    kOpCount
};

// A valid encoding, the offsets of the u32 counts inside it and the reads
// that take it apart.
struct Sample {
    QByteArray bytes;
    std::vector<int> countOffsets;
    std::vector<Op> reads;
};

QByteArray RandomBytes(Rng& rng, int size) {
    QByteArray bytes(size, '\0');
    for (char& c : bytes) {
        c = char(rng() & 0xff);
    }
    return bytes;
}

std::string RandomName(Rng& rng) {
    const int length = int(rng() % 24);
    std::string name;
    for (int i = 0; i < length; ++i) {
        // Mostly text, some high bytes and the odd NUL.
        const unsigned roll = rng() % 10;
        name.push_back(roll < 7   ? char('a' + rng() % 26)
                       : roll < 9 ? char(0x80 + rng() % 0x80)
                                  : '\0');
    }
    return name;
}

FileInfo RandomFileInfo(Rng& rng) {
    AttributeMap attributes(RandomName(rng).substr(0, 4));
    const int pairs = int(rng() % 5);
    for (int i = 0; i < pairs; ++i) {
        attributes.Append(rng() % 4, rng());
    }
    return FileInfo(RandomName(rng), qint64((quint64(rng()) << 32) | rng()), attributes);
}

void AppendFileInfo(Rng& rng, MemStream& out, Sample& sample) {
    std::vector<int>& countOffsets = sample.countOffsets;
    sample.reads.push_back(kFileInfo);
    const FileInfo info = RandomFileInfo(rng);
    const int start = int(out.GetWritePos());
    countOffsets.push_back(start + 1);
    const int extension = start + 1 + 4 + int(info.GetName().size()) + 8;
    countOffsets.push_back(extension);
    countOffsets.push_back(extension + 4 + int(info.GetAttributes().GetExtension().size()));
    info.Write(out);
}

Sample ValidSample(Rng& rng) {
    MemStream out;
    Sample sample;
    const int records = 1 + int(rng() % 4);
    for (int i = 0; i < records; ++i) {
        switch (rng() % 5) {
            case 0:
                AppendFileInfo(rng, out, sample);
                break;
            case 1:
                UserStats(rng(), (quint64(rng()) << 32) | rng(), rng(), rng()).Write(out);
                sample.reads.push_back(kUserStats);
                break;
            case 2:
                sample.countOffsets.push_back(int(out.GetWritePos()));
                out.Write(RandomName(rng));
                sample.reads.push_back(rng() % 2 ? kStdString : kQString);
                break;
            case 3:
                out.Write(quint32(rng()));
                out.Write(quint8(rng()));
                out.Write(qint64((quint64(rng()) << 32) | rng()));
                sample.reads.insert(sample.reads.end(), {kU32, kU8, kI64});
                break;
            default: {
                // A folder-like list: count, then records.
                const quint32 count = rng() % 4;
                sample.countOffsets.push_back(int(out.GetWritePos()));
                out.Write(count);
                sample.reads.push_back(kU32);
                for (quint32 j = 0; j < count; ++j) {
                    AppendFileInfo(rng, out, sample);
                }
            }
        }
    }
    sample.bytes = out.GetWrittenBytes();
    return sample;
}

QByteArray Mutate(Rng& rng, const Sample& sample) {
    QByteArray bytes = sample.bytes;
    const int mutations = 1 + int(rng() % 3);
    for (int m = 0; m < mutations; ++m) {
        const int size = bytes.size();
        switch (rng() % 6) {
            case 0:  // bit flips
                if (size > 0) {
                    for (int flips = 1 + int(rng() % 4); flips > 0; --flips) {
                        bytes.data()[rng() % size] ^= char(1 << (rng() % 8));
                    }
                }
                break;
            case 1:  // truncation
                bytes.truncate(size > 0 ? int(rng() % size) : 0);
                break;
            case 2:  // insertion
                bytes.insert(size > 0 ? int(rng() % (size + 1)) : 0,
                             RandomBytes(rng, 1 + int(rng() % 8)));
                break;
            case 3:  // deletion
                if (size > 0) {
                    bytes.remove(int(rng() % size), 1 + int(rng() % 8));
                }
                break;
            default: {  // a count set to a huge or boundary value
                static const quint32 values[] = {0xffffffffu,
                                                 0x80000000u,
                                                 0x7fffffffu,
                                                 InputStream::kMaxStringLength,
                                                 InputStream::kMaxStringLength + 1,
                                                 AttributeMap::kMaxAttributeCount + 1,
                                                 0x00010000u};
                const quint32 value = values[rng() % (sizeof(values) / sizeof(values[0]))];
                int offset = -1;
                if (!sample.countOffsets.empty() && rng() % 4 != 0) {
                    offset = sample.countOffsets[rng() % sample.countOffsets.size()];
                } else if (size >= 4) {
                    offset = int(rng() % (size - 3));
                }
                if (offset >= 0 && offset + 4 <= bytes.size()) {
                    qToLittleEndian<quint32>(value, bytes.data() + offset);
                }
            }
        }
    }
    return bytes;
}

// Runs the reads and checks each one; the returned trace lets the memory and
// the file stream be compared.
class Reader {
public:
    explicit Reader(InputStream& in) : m_in(in) {}

    std::string trace;
    bool failed = false;

    void Check(bool condition, const char* what) {
        if (!condition && !failed) {
            failed = true;
            trace += std::string("\nCHECK FAILED: ") + what;
        }
    }

    template <typename T>
    bool Integer(T sentinel) {
        const qint64 before = m_in.BytesLeft();
        T value = sentinel;
        const bool ok = m_in.Read(value);
        const qint64 after = m_in.BytesLeft();
        if (ok) {
            Check(before - after == qint64(sizeof(T)), "integer consumed its size");
            trace += std::to_string(qint64(value)) + ' ';
        } else {
            Check(value == sentinel, "failed integer read changed its output");
            Check(after == before, "failed integer read consumed");
            Check(before < qint64(sizeof(T)), "integer read failed with enough bytes");
            trace += "F ";
        }
        return ok;
    }

    template <typename S>
    bool String(const S& sentinel) {
        const qint64 before = m_in.BytesLeft();
        S value = sentinel;
        const bool ok = m_in.Read(value);
        const qint64 after = m_in.BytesLeft();
        if (ok) {
            Check(before - after >= 4, "str consumed its count");
            Check(before - after <= 4 + qint64(InputStream::kMaxStringLength),
                  "str longer than the limit");
            trace += "s" + std::to_string(before - after) + ' ';
        } else {
            Check(value == sentinel, "failed str read changed its output");
            Check(after == before, "failed str read consumed");
            trace += "F ";
        }
        return ok;
    }

    bool Buffer(qint64 n, bool peek) {
        const qint64 before = m_in.BytesLeft();
        // Requests beyond what is left get a small destination: a read that
        // wrote to it anyway would show up under ASan.
        std::vector<char> destination(std::size_t(std::max<qint64>(1, std::min(n, before))), 'q');
        const bool ok =
            peek ? m_in.PeekBuffer(destination.data(), n) : m_in.ReadBuffer(destination.data(), n);
        const qint64 after = m_in.BytesLeft();
        if (ok) {
            Check(n >= 0 && n <= before, "raw read succeeded beyond the data");
            Check(before - after == (peek ? 0 : n), "raw read consumed the wrong amount");
            trace += "b" + std::to_string(n) + ' ';
        } else {
            Check(n < 0 || n > before, "raw read failed with enough bytes");
            Check(after == before, "failed raw read consumed");
            Check(std::all_of(destination.begin(), destination.end(),
                              [](char c) { return c == 'q'; }),
                  "failed raw read wrote to its destination");
            trace += "F ";
        }
        return ok;
    }

    template <typename R>
    bool Record(const R& sentinel) {
        const qint64 before = m_in.BytesLeft();
        R value = sentinel;
        const bool ok = value.Read(m_in);
        const qint64 after = m_in.BytesLeft();
        Check(after >= 0 && after <= before, "record read left a bad position");
        if (ok) {
            trace += "r" + std::to_string(before - after) + ' ';
        } else {
            // A record read may consume part of what it read; the message is dropped.
            Check(Same(value, sentinel), "failed record read changed the record");
            trace += "F" + std::to_string(before - after) + ' ';
        }
        return ok;
    }

    bool Run(Op op, qint64 bufferRequest) {
        switch (op) {
            case kU8:
                return Integer<quint8>(0xa5);
            case kI8:
                return Integer<qint8>(-91);
            case kU16:
                return Integer<quint16>(0xa5a5);
            case kI16:
                return Integer<qint16>(-23131);
            case kU32:
                return Integer<quint32>(0xa5a5a5a5);
            case kI32:
                return Integer<qint32>(-1515870811);
            case kU64:
                return Integer<quint64>(0xa5a5a5a5a5a5a5a5ULL);
            case kI64:
                return Integer<qint64>(-6510615555426900571LL);
            case kBool:
                return Integer<bool>(true);
            case kStdString:
                return String(std::string("sentinel"));
            case kQString:
                return String(QStringLiteral("sentinel"));
            case kQByteArray:
                return String(QByteArray("sentinel"));
            case kBuffer:
                return Buffer(bufferRequest, false);
            case kPeek:
                return Buffer(bufferRequest, true);
            case kFileInfo:
                return Record(FileInfo("sentinel", 7, AttributeMap("ext")));
            case kAttributes:
                return Record(AttributeMap("ext"));
            case kUserStats:
                return Record(UserStats(1, 2, 3, 4));
            default:
                return false;
        }
    }

private:
    static bool Same(const FileInfo& a, const FileInfo& b) {
        return a == b && a.GetAttributes() == b.GetAttributes();
    }
    static bool Same(const AttributeMap& a, const AttributeMap& b) { return a == b; }
    static bool Same(const UserStats& a, const UserStats& b) { return a == b; }

    InputStream& m_in;
};

struct Step {
    Op op;
    qint64 bufferRequest;
};

std::vector<Step> RandomProgram(Rng& rng, const Sample& sample, bool& fitting) {
    std::vector<Step> steps;
    fitting = false;
    switch (rng() % 5) {
        case 0:  // records until one fails
            for (int i = 0; i < 8; ++i) {
                steps.push_back({kFileInfo, 0});
            }
            break;
        case 1: {  // a folder-like list: count, then records
            steps.push_back({kU32, 0});
            for (int i = 0; i < 6; ++i) {
                steps.push_back({kFileInfo, 0});
            }
            break;
        }
        case 2:  // the reads that fit the sample
            fitting = true;
            for (Op op : sample.reads) {
                steps.push_back({op, 0});
            }
            break;
        default: {
            static const qint64 requests[] = {
                -1, 0, 1, 3, 4, 8, 17, 1LL << 40, std::numeric_limits<qint64>::max()};
            const int length = 1 + int(rng() % 16);
            for (int i = 0; i < length; ++i) {
                steps.push_back({Op(rng() % kOpCount),
                                 requests[rng() % (sizeof(requests) / sizeof(requests[0]))]});
            }
        }
    }
    return steps;
}

}  // namespace

class TestStreamsFuzz : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { SetFallbackCodec(nullptr); }

    void readersSurviveRandomAndMutatedInput() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QFile file(dir.filePath(QStringLiteral("fuzz.bin")));
        QVERIFY(file.open(QIODevice::ReadWrite | QIODevice::Truncate));
        QFileStreamer fileStream(&file);

        Rng rng(0x5eed1234u);
        QElapsedTimer timer;
        timer.start();
        int inputs = 0;
        int successfulReads = 0;
        int exactSamples = 0;
        for (; inputs < 20000 && timer.elapsed() < 3000; ++inputs) {
            const Sample sample = ValidSample(rng);
            QByteArray bytes;
            const unsigned kind = rng() % 10;
            if (kind < 2) {
                bytes = RandomBytes(rng, int(rng() % 64));
            } else if (kind < 3) {
                bytes = sample.bytes;
            } else {
                bytes = Mutate(rng, sample);
            }
            bool fitting = false;
            const std::vector<Step> program = RandomProgram(rng, sample, fitting);

            MemStream memory(bytes);
            const qint64 bufferSize = memory.GetBufferSize();
            QVERIFY(file.resize(0));
            QVERIFY(file.seek(0));
            QCOMPARE(file.write(bytes), qint64(bytes.size()));
            QVERIFY(file.seek(0));

            Reader memoryReader(memory);
            Reader fileReader(fileStream);
#ifndef TAVENOOK_ASAN
            g_tracking = true;
#endif
            int succeeded = 0;
            for (const Step& step : program) {
                succeeded += memoryReader.Run(step.op, step.bufferRequest) ? 1 : 0;
                fileReader.Run(step.op, step.bufferRequest);
            }
            successfulReads += succeeded;
#ifndef TAVENOOK_ASAN
            g_tracking = false;
#endif
            if (memoryReader.failed || fileReader.failed ||
                memoryReader.trace != fileReader.trace) {
                QFAIL(qPrintable(QStringLiteral("input %1 (%2): memory [%3] file [%4]")
                                     .arg(inputs)
                                     .arg(QString::fromLatin1(bytes.toHex()))
                                     .arg(QString::fromStdString(memoryReader.trace))
                                     .arg(QString::fromStdString(fileReader.trace))));
            }
            if (fitting && bytes == sample.bytes) {
                // Unmutated, the reads that fit take it apart exactly.
                QCOMPARE(succeeded, int(program.size()));
                QCOMPARE(memory.BytesLeft(), qint64(0));
                QCOMPARE(fileStream.BytesLeft(), qint64(0));
                ++exactSamples;
            }
            // Reading never grows the buffer, and the bytes read stay the bytes given.
            QCOMPARE(memory.GetBufferSize(), bufferSize);
            QCOMPARE(memory.GetWrittenBytes(), bytes);
        }
        QVERIFY(inputs >= 500);
        QVERIFY(successfulReads > inputs);
        QVERIFY(exactSamples > 10);
#ifndef TAVENOOK_ASAN
        // A str of the maximum length is the largest thing a reader may allocate.
        QVERIFY2(g_largestAllocation <= 2 * (4 + std::size_t(InputStream::kMaxStringLength)),
                 qPrintable(QString::number(g_largestAllocation.load())));
#endif
        qInfo("%d inputs, %d successful reads", inputs, successfulReads);
    }

    void hostileCountsDoNotAllocate() {
        // Counts a str or a pair list may carry, with a few bytes behind them: also
        // those within the limits must not be allocated before the bytes are there.
        static const quint32 counts[] = {0xffffffffu,
                                         0x80000000u,
                                         0x7fffffffu,
                                         InputStream::kMaxStringLength + 1,
                                         0x01000000u,
                                         InputStream::kMaxStringLength,
                                         AttributeMap::kMaxAttributeCount};
        for (quint32 count : counts) {
            QByteArray bytes(4, '\0');
            qToLittleEndian<quint32>(count, bytes.data());
            bytes += QByteArray(64, 'x');
#ifndef TAVENOOK_ASAN
            g_largestAllocation = 0;
            g_tracking = true;
#endif
            MemStream stream(bytes);
            std::string raw;
            QString text;
            QByteArray qb;
            AttributeMap attributes;
            QVERIFY(!stream.Read(raw));
            QVERIFY(!stream.Read(text));
            QVERIFY(!stream.Read(qb));
            QCOMPARE(stream.BytesLeft(), qint64(bytes.size()));
            MemStream pairs(QByteArray(4, '\0') + bytes);  // empty extension, then the count
            QVERIFY(!attributes.Read(pairs));
#ifndef TAVENOOK_ASAN
            g_tracking = false;
            QVERIFY2(g_largestAllocation < 4096,
                     qPrintable(QString::number(g_largestAllocation.load())));
#endif
        }
    }
};

QTEST_GUILESS_MAIN(TestStreamsFuzz)
#include "test_streams_fuzz.moc"
