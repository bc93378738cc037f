#include <QFile>
#include <QTemporaryDir>
#include <QtTest>
#include <cstring>
#include <limits>
#include <memory>
#include <set>

#include "store/FileInfo.h"
#include "store/GeneralFunctions.h"
#include "store/MemStream.h"
#include "store/QFileStreamer.h"
#include "store/UserStats.h"

namespace {

// A readable stream over given bytes, in memory or in a real file.
class Source {
public:
    Source(bool inFile, const QByteArray& bytes, const QTemporaryDir& dir) {
        if (!inFile) {
            m_mem = std::make_unique<MemStream>(bytes);
            return;
        }
        m_file = std::make_unique<QFile>(dir.filePath(QStringLiteral("source.bin")));
        if (m_file->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            m_file->write(bytes);
            m_file->close();
        }
        m_file->open(QIODevice::ReadOnly);
        m_streamer = std::make_unique<QFileStreamer>(m_file.get());
    }

    InputStream& In() {
        return m_mem ? static_cast<InputStream&>(*m_mem) : static_cast<InputStream&>(*m_streamer);
    }

private:
    std::unique_ptr<MemStream> m_mem;
    std::unique_ptr<QFile> m_file;
    std::unique_ptr<QFileStreamer> m_streamer;
};

QByteArray StrBytes(quint32 count, const QByteArray& body) {
    QByteArray bytes(4, '\0');
    qToLittleEndian<quint32>(count, bytes.data());
    return bytes + body;
}

// Accepts the first `limit` bytes, then fails every write and counts the
// attempts made after the first failure.
class LimitedOutput : public OutputStream {
public:
    explicit LimitedOutput(qint64 limit) : m_limit(limit) {}
    bool WriteBuffer(const void*, qint64 n) override {
        if (m_failed) {
            ++m_writesAfterFailure;
            return false;
        }
        if (m_written + n > m_limit) {
            m_failed = true;
            return false;
        }
        m_written += n;
        return true;
    }
    qint64 m_limit;
    qint64 m_written = 0;
    bool m_failed = false;
    int m_writesAfterFailure = 0;
};

template <typename T>
void CheckShortReads(bool inFile, const QTemporaryDir& dir, T sentinel) {
    for (int n = 0; n < int(sizeof(T)); ++n) {
        Source source(inFile, QByteArray(n, '\x5a'), dir);
        T value = sentinel;
        QVERIFY(!source.In().Read(value));
        QCOMPARE(value, sentinel);
        QCOMPARE(source.In().BytesLeft(), qint64(n));
    }
}

// Writes one of everything; the same calls give the same bytes on every stream.
bool WriteEverything(OutputStream& out) {
    const char raw[] = {'\x00', '\x7f', '\x80', '\xff'};
    return out.Write(quint8(0xfe)) && out.Write(qint8(-2)) && out.Write(quint16(0xbeef)) &&
           out.Write(qint16(std::numeric_limits<qint16>::min())) &&
           out.Write(quint32(0x01020304)) && out.Write(qint32(-1)) &&
           out.Write(std::numeric_limits<quint64>::max()) &&
           out.Write(std::numeric_limits<qint64>::min()) && out.Write(true) && out.Write(false) &&
           out.Write(std::string("a\0b\xff", 4)) &&
           out.Write(QString::fromUtf8("Gr\xc3\xbc\xc3\x9f\x65 \xe2\x9c\x93")) &&
           out.Write(QString()) && out.Write("literal") && out.Write(QByteArray("qb")) &&
           out.WriteBuffer(raw, sizeof(raw));
}

void ReadEverything(InputStream& in) {
    quint8 u8 = 0;
    qint8 i8 = 0;
    quint16 u16 = 0;
    qint16 i16 = 0;
    quint32 u32 = 0;
    qint32 i32 = 0;
    quint64 u64 = 0;
    qint64 i64 = 0;
    bool yes = false, no = true;
    std::string bytes;
    QString text, empty = QStringLiteral("x");
    std::string literal;
    QByteArray qb;
    char raw[4] = {};
    QVERIFY(in.Read(u8) && in.Read(i8) && in.Read(u16) && in.Read(i16));
    QVERIFY(in.Read(u32) && in.Read(i32) && in.Read(u64) && in.Read(i64));
    QVERIFY(in.Read(yes) && in.Read(no) && in.Read(bytes) && in.Read(text) && in.Read(empty));
    QVERIFY(in.Read(literal) && in.Read(qb) && in.ReadBuffer(raw, sizeof(raw)));
    QCOMPARE(u8, quint8(0xfe));
    QCOMPARE(i8, qint8(-2));
    QCOMPARE(u16, quint16(0xbeef));
    QCOMPARE(i16, std::numeric_limits<qint16>::min());
    QCOMPARE(u32, quint32(0x01020304));
    QCOMPARE(i32, qint32(-1));
    QCOMPARE(u64, std::numeric_limits<quint64>::max());
    QCOMPARE(i64, std::numeric_limits<qint64>::min());
    QVERIFY(yes);
    QVERIFY(!no);
    QCOMPARE(bytes, std::string("a\0b\xff", 4));
    QCOMPARE(text, QString::fromUtf8("Gr\xc3\xbc\xc3\x9f\x65 \xe2\x9c\x93"));
    QVERIFY(empty.isEmpty());
    QCOMPARE(literal, std::string("literal"));
    QCOMPARE(qb, QByteArray("qb"));
    QCOMPARE(QByteArray(raw, 4), QByteArray("\x00\x7f\x80\xff", 4));
    QCOMPARE(in.BytesLeft(), qint64(0));
}

FileInfo SampleFile() {
    AttributeMap attributes("mp3");
    attributes.Set(AttributeMap::kBitrate, 320);
    attributes.Set(AttributeMap::kLength, 215);
    attributes.Set(AttributeMap::kVariableBitrate, 1);
    return FileInfo("@@music\\Artist\\Song.mp3", qint64(5) << 32, attributes);
}

}  // namespace

class TestStreams : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { SetFallbackCodec(nullptr); }

    void typedWritesHaveTheWireLayout() {
        MemStream out;
        QVERIFY(out.Write(quint32(0x01020304)));
        QVERIFY(out.Write(qint16(-2)));
        QVERIFY(out.Write(quint64(0x1122334455667788ULL)));
        QVERIFY(out.Write(true));
        QVERIFY(out.Write("ab"));
        QVERIFY(out.Write(QString::fromUtf8("\xc3\xa9")));
        QVERIFY(out.Write(static_cast<const char*>(nullptr)));
        QCOMPARE(out.GetWrittenBytes(), QByteArray("\x04\x03\x02\x01"
                                                   "\xfe\xff"
                                                   "\x88\x77\x66\x55\x44\x33\x22\x11"
                                                   "\x01"
                                                   "\x02\x00\x00\x00"
                                                   "ab"
                                                   "\x02\x00\x00\x00\xc3\xa9"
                                                   "\x00\x00\x00\x00",
                                                   4 + 2 + 8 + 1 + 6 + 6 + 4));
    }

    void roundTripsThroughMemoryAndFile() {
        MemStream mem;
        QVERIFY(WriteEverything(mem));
        ReadEverything(mem);

        // The same through a real file, which must hold the same bytes.
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QFile file(dir.filePath(QStringLiteral("stream.bin")));
        QVERIFY(file.open(QIODevice::ReadWrite));
        QFileStreamer streamer(&file);
        QVERIFY(WriteEverything(streamer));
        QCOMPARE(streamer.BytesLeft(), qint64(0));
        QVERIFY(file.seek(0));
        ReadEverything(streamer);
        file.close();
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), mem.GetWrittenBytes());

        // Records through both as well.
        const FileInfo info = SampleFile();
        const UserStats stats(1234, 0x100000001ULL, 56, 7);
        file.close();
        QVERIFY(file.open(QIODevice::ReadWrite | QIODevice::Truncate));
        QVERIFY(info.Write(streamer) && stats.Write(streamer));
        QVERIFY(file.seek(0));
        FileInfo readInfo;
        UserStats readStats;
        QVERIFY(readInfo.Read(streamer) && readStats.Read(streamer));
        QCOMPARE(readInfo.GetName(), info.GetName());
        QCOMPARE(readInfo.GetSize(), info.GetSize());
        QVERIFY(readInfo.GetAttributes() == info.GetAttributes());
        QVERIFY(readStats == stats);
        QCOMPARE(streamer.BytesLeft(), qint64(0));

        // Writing to a file opened for reading only fails.
        file.close();
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(!streamer.Write(quint8(1)));
        QVERIFY(!info.Write(streamer));
    }

    void shortReadsConsumeNothing() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        for (bool inFile : {false, true}) {
            CheckShortReads<quint8>(inFile, dir, 0x11);
            CheckShortReads<qint8>(inFile, dir, 0x11);
            CheckShortReads<quint16>(inFile, dir, 0x1111);
            CheckShortReads<qint16>(inFile, dir, 0x1111);
            CheckShortReads<quint32>(inFile, dir, 0x11111111);
            CheckShortReads<qint32>(inFile, dir, 0x11111111);
            CheckShortReads<quint64>(inFile, dir, 0x1111111111111111ULL);
            CheckShortReads<qint64>(inFile, dir, 0x1111111111111111LL);
            CheckShortReads<bool>(inFile, dir, true);

            // A str whose count says more than is there, or whose count is cut.
            const QByteArray shortStrings[] = {StrBytes(10, "123456789"), StrBytes(1, ""),
                                               QByteArray("\x05\x00", 2),
                                               StrBytes(0xffffffffu, "abc")};
            for (const QByteArray& bytes : shortStrings) {
                Source source(inFile, bytes, dir);
                std::string raw = "keep";
                QString text = QStringLiteral("keep");
                QByteArray qb = "keep";
                QVERIFY(!source.In().Read(raw));
                QVERIFY(!source.In().Read(text));
                QVERIFY(!source.In().Read(qb));
                QCOMPARE(raw, std::string("keep"));
                QCOMPARE(text, QStringLiteral("keep"));
                QCOMPARE(qb, QByteArray("keep"));
                QCOMPARE(source.In().BytesLeft(), qint64(bytes.size()));
            }

            // Raw reads: all or nothing, and a failure leaves the rest readable.
            Source source(inFile, QByteArray("abcde"), dir);
            char raw[8] = "xxxxxxx";
            QVERIFY(!source.In().ReadBuffer(raw, 6));
            QVERIFY(!source.In().ReadBuffer(raw, -1));
            QCOMPARE(QByteArray(raw), QByteArray("xxxxxxx"));
            QVERIFY(source.In().ReadBuffer(raw, 5));
            QCOMPARE(QByteArray(raw, 5), QByteArray("abcde"));
            QVERIFY(source.In().ReadBuffer(raw, 0));
            QVERIFY(!source.In().ReadBuffer(raw, 1));
        }
    }

    void stringLengthLimit() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const quint32 limit = InputStream::kMaxStringLength;
        QCOMPARE(limit, quint32(131072));
        const QByteArray atLimit(int(limit), 'a');
        const QByteArray overLimit(int(limit) + 1, 'b');
        for (bool inFile : {false, true}) {
            {
                Source source(inFile, StrBytes(limit, atLimit) + StrBytes(limit, atLimit), dir);
                std::string raw;
                QString text;
                QVERIFY(source.In().Read(raw));
                QVERIFY(source.In().Read(text));
                QCOMPARE(raw.size(), std::size_t(limit));
                QCOMPARE(text.size(), int(limit));
            }
            {
                // Refused though every byte is there, and nothing is consumed.
                Source source(inFile, StrBytes(limit + 1, overLimit), dir);
                std::string raw = "keep";
                QString text = QStringLiteral("keep");
                QVERIFY(!source.In().Read(raw));
                QVERIFY(!source.In().Read(text));
                QCOMPARE(raw, std::string("keep"));
                QCOMPARE(text, QStringLiteral("keep"));
                QCOMPARE(source.In().BytesLeft(), qint64(4) + limit + 1);
            }
        }

        // What would be refused on reading is not written either.
        MemStream out;
        QVERIFY(!out.Write(std::string(limit + 1, 'c')));
        QVERIFY(!out.Write(QString(int(limit) + 1, QLatin1Char('c'))));
        QVERIFY(!out.Write(overLimit));
        // 65537 characters of two UTF-8 bytes each are over the limit in bytes.
        QVERIFY(!out.Write(QString(int(limit / 2) + 1, QChar(0xe9))));
        QCOMPARE(out.GetWritePos(), qint64(0));
        QVERIFY(out.Write(std::string(limit, 'c')));
        QCOMPARE(out.GetWritePos(), qint64(4) + limit);
    }

    void decodesTextFromTheWire() {
        SetFallbackCodec(nullptr);
        MemStream stream;
        QVERIFY(stream.Write(std::string("\xe9t\xe9 \xff")));     // not UTF-8
        QVERIFY(stream.Write(std::string("\xc3\xa9t\xc3\xa9")));  // UTF-8
        QVERIFY(stream.Write(std::string("\xc3")));               // cut UTF-8 sequence
        QString text;
        QVERIFY(stream.Read(text));
        QCOMPARE(text, QString::fromLatin1("\xe9t\xe9 \xff"));
        QVERIFY(stream.Read(text));
        QCOMPARE(text, QString::fromLatin1("\xe9t\xe9"));
        QVERIFY(stream.Read(text));
        QCOMPARE(text, QString(QChar(0xc3)));
    }

    void copiesShareTheBuffer() {
        MemStream a;
        QVERIFY(a.Write(quint32(7)));
        MemStream b = a;
        QCOMPARE(b.GetBuffer(), a.GetBuffer());
        QCOMPARE(b.GetWritePos(), qint64(4));

        // Positions are per copy; the bytes are the same.
        QVERIFY(a.Write(quint32(8)));
        QCOMPARE(b.GetWritePos(), qint64(4));
        QVERIFY(b.SetWritePos(8));
        quint32 value = 0;
        QVERIFY(b.Read(value) && value == 7);
        QVERIFY(b.Read(value) && value == 8);
        QCOMPARE(a.GetReadPos(), qint64(0));

        // Growth by one copy is seen by the other.
        QVERIFY(a.WriteBuffer(QByteArray(1000, 'g').constData(), 1000));
        QCOMPARE(b.GetBufferSize(), a.GetBufferSize());
        QCOMPARE(b.GetBuffer(), a.GetBuffer());
        QVERIFY(b.SetWritePos(a.GetWritePos()));
        QCOMPARE(b.GetWrittenBytes(), a.GetWrittenBytes());

        // A new buffer for one copy leaves the other on the old one.
        const QByteArray before = b.GetWrittenBytes();
        const qint64 sizeBefore = b.GetBufferSize();
        QVERIFY(a.ResizeBuffer(16));
        QCOMPARE(a.GetBufferSize(), qint64(16));
        QVERIFY(b.GetBuffer() != a.GetBuffer());
        QCOMPARE(b.GetBufferSize(), sizeBefore);
        QCOMPARE(b.GetWrittenBytes(), before);
        QVERIFY(a.Write(quint32(9)));
        QCOMPARE(b.GetWrittenBytes(), before);

        // Assignment shares too, and a stream moved from stays usable.
        MemStream c;
        c = b;
        QCOMPARE(c.GetBuffer(), b.GetBuffer());
        MemStream d = std::move(c);
        QCOMPARE(d.GetBuffer(), b.GetBuffer());
        QVERIFY(c.Write(quint8(1)));
        QCOMPARE(c.GetBufferSize(), b.GetBufferSize());
    }

    void positionsAndBuffer() {
        MemStream stream;
        QCOMPARE(stream.GetBufferSize(), MemStream::kInitialSize);
        QCOMPARE(MemStream::kInitialSize, qint64(256));
        QCOMPARE(stream.BytesLeft(), qint64(0));
        QVERIFY(stream.GetWrittenBytes().isEmpty());

        QVERIFY(stream.Write(std::string("hello")));
        QVERIFY(!stream.SetReadPos(-1));
        QVERIFY(!stream.SetReadPos(10));
        QVERIFY(!stream.SetWritePos(-1));
        QVERIFY(!stream.SetWritePos(257));
        QCOMPARE(stream.GetReadPos(), qint64(0));
        QCOMPARE(stream.GetWritePos(), qint64(9));
        QVERIFY(stream.SetReadPos(9));
        QCOMPARE(stream.BytesLeft(), qint64(0));
        // The written bytes do not depend on the read position.
        QCOMPARE(stream.GetWrittenBytes(), StrBytes(5, "hello"));
        QVERIFY(stream.SetWritePos(256));
        QCOMPARE(stream.BytesLeft(), qint64(256 - 9));
        // A write position before the read position takes it back.
        QVERIFY(stream.SetWritePos(4));
        QCOMPARE(stream.GetReadPos(), qint64(4));
        QVERIFY(stream.SetWritePos(0));
        QCOMPARE(stream.GetReadPos(), qint64(0));

        // Growth doubles and keeps what was written.
        const QByteArray big(300, 'z');
        QVERIFY(stream.WriteBuffer(big.constData(), 257));
        QCOMPARE(stream.GetBufferSize(), qint64(512));
        QVERIFY(stream.WriteBuffer(big.constData(), 300));
        QCOMPARE(stream.GetBufferSize(), qint64(1024));
        QCOMPARE(stream.GetWrittenBytes(), big.left(257) + big);

        // Built from bytes: readable from the start, writable at the end.
        MemStream fromBytes(QByteArray("\x2a\x00\x00\x00", 4));
        QCOMPARE(fromBytes.GetWritePos(), qint64(4));
        quint32 value = 0;
        QVERIFY(fromBytes.Read(value));
        QCOMPARE(value, quint32(42));
        QVERIFY(fromBytes.Write(quint8(1)));
        QCOMPARE(fromBytes.GetWrittenBytes(), QByteArray("\x2a\x00\x00\x00\x01", 5));
        MemStream empty{QByteArray()};
        QVERIFY(!empty.Read(value));
        QVERIFY(empty.Write(quint32(3)) && empty.Read(value) && value == 3);
    }

    void resizeBuffer() {
        MemStream stream;
        QVERIFY(stream.Write(quint32(1)));
        QVERIFY(!stream.ResizeBuffer(-1));
        QVERIFY(!stream.ResizeBuffer(std::numeric_limits<qint64>::min()));
        QVERIFY(!stream.ResizeBuffer(MemStream::kMaxBufferSize + 1));
        QVERIFY(!stream.ResizeBuffer(std::numeric_limits<qint64>::max()));
        QCOMPARE(stream.GetBufferSize(), qint64(256));
        QCOMPARE(stream.GetWritePos(), qint64(4));

        // Filled directly, as from a socket, then read.
        QVERIFY(stream.ResizeBuffer(6));
        QCOMPARE(stream.GetBufferSize(), qint64(6));
        QCOMPARE(stream.GetWritePos(), qint64(0));
        QCOMPARE(stream.GetReadPos(), qint64(0));
        QCOMPARE(QByteArray(stream.GetBuffer(), 6), QByteArray(6, '\0'));
        std::memcpy(stream.GetBuffer(), "\x02\x00\x00\x00hi", 6);
        QVERIFY(!stream.SetWritePos(7));
        QVERIFY(stream.SetWritePos(6));
        std::string text;
        QVERIFY(stream.Read(text));
        QCOMPARE(text, std::string("hi"));

        QVERIFY(stream.ResizeBuffer(0));
        QCOMPARE(stream.GetBufferSize(), qint64(0));
        QVERIFY(stream.Write(quint8(5)));
        QCOMPARE(stream.GetWrittenBytes(), QByteArray("\x05"));

        // Nothing grows past the maximum.
        QVERIFY(stream.ResizeBuffer(MemStream::kMaxBufferSize));
        QVERIFY(stream.SetWritePos(MemStream::kMaxBufferSize - 1));
        QVERIFY(!stream.Write(quint16(1)));
        QCOMPARE(stream.GetWritePos(), MemStream::kMaxBufferSize - 1);
        QVERIFY(stream.Write(quint8(1)));
        QVERIFY(!stream.Write(quint8(1)));
        QVERIFY(!stream.WriteBuffer("x", -1));
        QVERIFY(stream.ResizeBuffer(8));
        QVERIFY(stream.SetWritePos(8));
        QVERIFY(!stream.WriteBuffer(stream.GetBuffer(), MemStream::kMaxBufferSize));
        QCOMPARE(stream.GetBufferSize(), qint64(8));
    }

    void fileInfoRecord() {
        const FileInfo info = SampleFile();
        MemStream stream;
        QVERIFY(info.Write(stream));
        const QByteArray name = QByteArray::fromStdString(info.GetName());
        QByteArray expected = QByteArray("\x01", 1) + StrBytes(name.size(), name) +
                              QByteArray("\x00\x00\x00\x00\x05\x00\x00\x00", 8) +
                              StrBytes(3, "mp3") + QByteArray("\x03\x00\x00\x00", 4) +
                              QByteArray("\x00\x00\x00\x00\x40\x01\x00\x00", 8) +
                              QByteArray("\x01\x00\x00\x00\xd7\x00\x00\x00", 8) +
                              QByteArray("\x02\x00\x00\x00\x01\x00\x00\x00", 8);
        QCOMPARE(stream.GetWrittenBytes(), expected);

        // Any marker is accepted; pairs keep their order, duplicates included.
        QByteArray odd = QByteArray("\x07", 1) + StrBytes(1, "f") +
                         QByteArray("\xff\xff\xff\xff\xff\xff\xff\xff", 8) + StrBytes(0, "") +
                         QByteArray("\x02\x00\x00\x00", 4) +
                         QByteArray("\x09\x00\x00\x00\x01\x00\x00\x00", 8) +
                         QByteArray("\x09\x00\x00\x00\x02\x00\x00\x00", 8);
        MemStream oddStream(odd);
        FileInfo read;
        QVERIFY(read.Read(oddStream));
        QCOMPARE(read.GetSize(), qint64(-1));
        const std::vector<AttributeMap::Pair> pairs = {{9, 1}, {9, 2}};
        QVERIFY(read.GetAttributes().GetPairs() == pairs);
        QCOMPARE(read.GetAttributes().Get(9), quint32(1));

        // Cut anywhere, the read fails and the record is unchanged.
        for (int n = 0; n < expected.size(); ++n) {
            MemStream cut(expected.left(n));
            FileInfo target = read;
            QVERIFY(!target.Read(cut));
            QCOMPARE(target.GetName(), read.GetName());
            QVERIFY(target.GetAttributes() == read.GetAttributes());
        }

        // Pair counts: over the maximum refused, a huge count fails at the end of data.
        for (quint32 count : {AttributeMap::kMaxAttributeCount + 1, 0xffffffffu, 5u}) {
            QByteArray bytes =
                QByteArray("\x01", 1) + StrBytes(0, "") + QByteArray(8, '\0') + StrBytes(0, "");
            QByteArray countBytes(4, '\0');
            qToLittleEndian<quint32>(count, countBytes.data());
            bytes += countBytes + QByteArray(8 * 4, '\x01');
            MemStream hostile(bytes);
            FileInfo target;
            QVERIFY(!target.Read(hostile));
            QVERIFY(target.GetAttributes().IsEmpty());
        }

        // A write stops at the first failure.
        for (qint64 limit = 0; limit < expected.size(); ++limit) {
            LimitedOutput out(limit);
            QVERIFY(!info.Write(out));
            QVERIFY(out.m_failed);
            QCOMPARE(out.m_writesAfterFailure, 0);
        }
        LimitedOutput enough(expected.size());
        QVERIFY(info.Write(enough));
    }

    void fileInfoOrdering() {
        const FileInfo ab("ab", 100), abc("abc", 1), abc2("abc", 2), high("\xff", 0), upper("B", 0),
            lower("a", 0);
        QVERIFY(ab < abc);
        QVERIFY(!(abc < ab));
        QVERIFY(abc < abc2);
        QVERIFY(!(abc2 < abc));
        QVERIFY(lower < high);  // bytes compare unsigned
        QVERIFY(upper < lower);
        QVERIFY(FileInfo("a", -1) < FileInfo("a", 0));
        QVERIFY(!(abc < abc));

        AttributeMap attributes("mp3");
        attributes.Set(AttributeMap::kBitrate, 128);
        std::set<FileInfo> files = {abc2, abc, ab, FileInfo("abc", 1, attributes), high};
        QCOMPARE(files.size(), std::size_t(4));
        std::vector<std::string> names;
        for (const FileInfo& file : files) {
            names.push_back(file.GetName() + ":" + std::to_string(file.GetSize()));
        }
        const std::vector<std::string> expected = {"ab:100", "abc:1", "abc:2", "\xff:0"};
        QVERIFY(names == expected);
        QVERIFY(FileInfo("abc", 1, attributes) == abc);
        QVERIFY(abc != abc2);
    }

    void attributeMapHelpers() {
        AttributeMap map;
        QVERIFY(map.IsEmpty());
        map.Set(AttributeMap::kLength, 10);
        map.Set(AttributeMap::kBitrate, 192);
        map.Set(AttributeMap::kLength, 11);
        const std::vector<AttributeMap::Pair> pairs = {{1, 11}, {0, 192}};
        QVERIFY(map.GetPairs() == pairs);
        QVERIFY(map.Has(AttributeMap::kBitrate));
        QVERIFY(!map.Has(AttributeMap::kVariableBitrate));
        QCOMPARE(map.Get(AttributeMap::kVariableBitrate, 77), quint32(77));
        map.Remove(AttributeMap::kLength);
        QCOMPARE(map.GetPairs().size(), std::size_t(1));
        for (quint32 i = 1; i < AttributeMap::kMaxAttributeCount; ++i) {
            QVERIFY(map.Append(i, i));
        }
        QVERIFY(!map.Append(0, 0));
        MemStream stream;
        QVERIFY(map.Write(stream));
        AttributeMap read;
        QVERIFY(read.Read(stream));
        QVERIFY(read == map);
    }

    void userStatsRecord() {
        const UserStats stats(0x01020304, 0x0102030405060708ULL, 9, 10);
        MemStream stream;
        QVERIFY(stats.Write(stream));
        const QByteArray expected(
            "\x04\x03\x02\x01"
            "\x08\x07\x06\x05\x04\x03\x02\x01"
            "\x09\x00\x00\x00"
            "\x0a\x00\x00\x00",
            20);
        QCOMPARE(stream.GetWrittenBytes(), expected);
        UserStats read;
        QVERIFY(read.Read(stream));
        QVERIFY(read == stats);
        QCOMPARE(read.GetAverageSpeed(), quint32(0x01020304));
        QCOMPARE(read.GetDownloadNum(), quint64(0x0102030405060708ULL));
        QCOMPARE(read.GetFiles(), quint32(9));
        QCOMPARE(read.GetFolders(), quint32(10));

        for (int n = 0; n < expected.size(); ++n) {
            MemStream cut(expected.left(n));
            UserStats target(1, 2, 3, 4);
            QVERIFY(!target.Read(cut));
            QVERIFY(target == UserStats(1, 2, 3, 4));
        }
        for (qint64 limit = 0; limit < expected.size(); ++limit) {
            LimitedOutput out(limit);
            QVERIFY(!stats.Write(out));
            QCOMPARE(out.m_writesAfterFailure, 0);
        }
        // Carried by queued signals.
        QVERIFY(QVariant::fromValue(stats).value<UserStats>() == stats);
    }
};

QTEST_GUILESS_MAIN(TestStreams)
#include "test_streams.moc"
