// The compressed peer payloads and the user-info reply: bounded inflate and
// deflate, share lists, search results and user info parsed back from the
// bytes a peer sends, hostile counts and bombs, the storage of search results
// under their request, and the declaration of the peer item types.

#include <zlib.h>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>
#include <functional>
#include <iterator>
#include <limits>
#include <random>

#include "net/PeerLimits.h"
#include "net/PeerPayloads.h"
#include "net/PeerTypes.h"
#include "net/server.h"
#include "store/DataSaver.h"
#include "store/GeneralFunctions.h"
#include "store/Log.h"
#include "store/Settings.h"

#include "support/LargestAllocation.h"
#include "support/Payload.h"

namespace {

const char* const kArea = "Peer Messenger";

class LogCapture : public LogSink {
public:
    LogCapture() { SetLogSink(this); }
    ~LogCapture() override { SetLogSink(nullptr); }
    void Log(const QString& area, int level, const QString& text, const ItemPtr&) override {
        entries << QString("%1/%2: %3").arg(area).arg(level).arg(text);
    }
    QStringList entries;
};

AttributeMap Audio(quint32 bitrate, quint32 seconds, int vbr = -1) {
    AttributeMap a("mp3");
    a.Append(AttributeMap::kBitrate, bitrate);
    a.Append(AttributeMap::kLength, seconds);
    if (vbr >= 0)
        a.Append(AttributeMap::kVariableBitrate, quint32(vbr));
    return a;
}

// A share-list body as a sender writes it.
struct ShareBuilder {
    struct Folder {
        std::string path;
        std::vector<FileInfo> files;
    };
    std::vector<Folder> folders;
    std::vector<std::pair<quint32, QString>> table;

    QByteArray Body() const {
        MemStream m;
        m.Write(quint32(folders.size()));
        for (const Folder& f : folders) {
            m.Write(f.path);
            m.Write(quint32(f.files.size()));
            for (const FileInfo& file : f.files)
                file.Write(m);
        }
        m.Write(quint32(table.size()));
        for (const auto& entry : table) {
            m.Write(entry.first);
            m.Write(entry.second);
        }
        return m.GetWrittenBytes();
    }
};

struct SearchBuilder {
    QString user = "bob";
    quint32 token = 7;
    std::vector<FileInfo> files;
    quint8 freeSlot = 1;
    quint32 speed = 12345;
    quint32 queue = 3;
    int extras = 0;  // -1: no extra list at all

    QByteArray Body() const {
        MemStream m;
        m.Write(user);
        m.Write(token);
        m.Write(quint32(files.size()));
        for (const FileInfo& f : files)
            f.Write(m);
        m.Write(freeSlot);
        m.Write(speed);
        m.Write(queue);
        if (extras >= 0) {
            m.Write(quint32(extras));
            for (int k = 0; k < extras; ++k) {
                m.Write(quint32(k));
                m.Write(std::string("extra"));
            }
        }
        return m.GetWrittenBytes();
    }
};

// A zlib stream of `megabytes` MiB of zeros, made without holding them.
QByteArray ZeroBomb(int megabytes) {
    z_stream zs{};
    if (deflateInit(&zs, 9) != Z_OK)
        qFatal("deflateInit failed");
    const QByteArray zeros(1024 * 1024, '\0');
    QByteArray out;
    char buffer[65536];
    for (int k = 0; k < megabytes; ++k) {
        zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(zeros.constData()));
        zs.avail_in = uInt(zeros.size());
        const int flush = k + 1 == megabytes ? Z_FINISH : Z_NO_FLUSH;
        int rc;
        do {
            zs.next_out = reinterpret_cast<Bytef*>(buffer);
            zs.avail_out = sizeof(buffer);
            rc = deflate(&zs, flush);
            out.append(buffer, int(sizeof(buffer) - zs.avail_out));
        } while (zs.avail_out == 0 || (flush == Z_FINISH && rc != Z_STREAM_END));
    }
    deflateEnd(&zs);
    return out;
}

// Runs `parse` while recording the largest allocation it makes (not under
// ASan, which replaces the allocator) and checks that a hostile count made it
// fail quickly without sizing anything from the count.
void ExpectFastFailure(const std::function<bool()>& parse) {
#ifndef TAVENOOK_ASAN
    g_largestAllocation = 0;
    g_tracking = true;
#endif
    QElapsedTimer t;
    t.start();
    const bool ok = parse();
    const qint64 ms = t.elapsed();
#ifndef TAVENOOK_ASAN
    g_tracking = false;
    QVERIFY2(g_largestAllocation < 256 * 1024,
             qPrintable(QString("allocated %1 bytes").arg(g_largestAllocation.load())));
#endif
    QVERIFY(!ok);
    QVERIFY2(ms < 1000, qPrintable(QString("took %1 ms").arg(ms)));
}

ItemPtr MakeRequest(quint32 token, const QString& text) {
    const ItemPtr request = d.GetType("search_request")->NewItem(Value(token));
    request.Connect(d.GetType("search_request_text")->NewItem(Value(text)));
    return request;
}

SearchResultMessage Message(quint32 token, std::vector<FileInfo> files) {
    SearchResultMessage m;
    m.user = "bob";
    m.token = token;
    m.files = std::move(files);
    m.freeSlot = true;
    m.uploadSpeed = 5000;
    m.queueLength = 2;
    return m;
}

// The file names of an answer, sorted.
QStringList Names(const ItemPtr& results) {
    QStringList names;
    for (const ItemPtr& r : results.GetItems("search_result"))
        names << r["search_result_file_name"].AsString();
    names.sort();
    return names;
}

ItemPtr ResultNamed(const ItemPtr& results, const QString& name) {
    for (const ItemPtr& r : results.GetItems("search_result"))
        if (r["search_result_file_name"].AsString() == name)
            return r;
    return ItemPtr();
}

}  // namespace

class TestPeerPayloads : public QObject {
    Q_OBJECT

private slots:
    void init() {
        d.Reset();
        DeclareSettingsTypes(nullptr);
        Server::CreateData();
        DeclarePeerTypes(nullptr);
    }

    void cleanup() { d.Reset(); }

    void inflateRoundTripsAndRefusesBadStreams() {
        std::mt19937 rng(11);
        QByteArray noise(300000, '\0');
        for (char& c : noise)
            c = char(rng());
        QByteArray text;
        while (text.size() < 2000000)
            text += "Music\\Artist\\Album\\01 - Track.mp3 ";
        for (const QByteArray& in : {QByteArray(), QByteArray("x"), noise, text}) {
            const QByteArray z = Compress(in);
            QByteArray out("stale");
            QVERIFY(InflateBounded(z.constData(), z.size(), in.size(), out));
            QCOMPARE(out, in);
            // Never more room than the cap.
            QVERIFY(out.capacity() <= qMax(in.size(), 1));
            if (!in.isEmpty()) {
                QVERIFY(!InflateBounded(z.constData(), z.size(), in.size() - 1, out));
                QVERIFY(out.isEmpty());
            }
        }
        // The network's buffer layout holds even incompressible data.
        QVERIFY(Compress(noise).size() <= 2 * noise.size() + 12);

        // A stream cut anywhere is truncated, a byte after its end is refused.
        const QByteArray z = Compress(QByteArray(text.left(5000)));
        for (int n = 0; n < z.size(); ++n) {
            QByteArray out;
            QVERIFY2(!InflateBounded(z.constData(), n, 1 << 20, out),
                     qPrintable(QString::number(n)));
            QVERIFY(out.isEmpty());
        }
        QByteArray out;
        QVERIFY(!InflateBounded((z + '\0').constData(), z.size() + 1, 1 << 20, out));
        QVERIFY(!InflateBounded((z + z).constData(), 2 * z.size(), 1 << 20, out));

        // A raw deflate or a gzip stream is not a zlib stream; a flipped check
        // value is corrupt.
        QVERIFY(!InflateBounded(z.constData() + 2, z.size() - 2, 1 << 20, out));
        QVERIFY(!InflateBounded("\x1f\x8b\x08\x00\x00\x00\x00\x00", 8, 1 << 20, out));
        QByteArray corrupt = z;
        corrupt[corrupt.size() - 1] = char(corrupt[corrupt.size() - 1] ^ 1);
        QVERIFY(!InflateBounded(corrupt.constData(), corrupt.size(), 1 << 20, out));
        QVERIFY(!InflateBounded(z.constData(), -1, 1 << 20, out));
        QVERIFY(!InflateBounded(nullptr, 0, 1 << 20, out));
    }

    void inflateStopsABombAtTheCap() {
        const QByteArray bomb = ZeroBomb(100);
        QVERIFY(bomb.size() < 1024 * 1024);
        QElapsedTimer t;
        t.start();
        QByteArray out;
        QVERIFY(!InflateBounded(bomb.constData(), bomb.size(), PeerLimits::kMaxInflatedSize, out));
        QVERIFY(out.isEmpty());
        QVERIFY2(t.elapsed() < 5000, qPrintable(QString("took %1 ms").arg(t.elapsed())));
        // A small cap stops it at once.
        t.restart();
        QVERIFY(!InflateBounded(bomb.constData(), bomb.size(), 1 << 20, out));
        QVERIFY(t.elapsed() < 1000);

        // The same bomb as a share list and as search results.
        FileInfoMap share{{"x", {}}};
        AttributeTranslationTable table{{1, "y"}};
        QVERIFY(!ParseSharedFileList(bomb.constData(), bomb.size(), share, table));
        QVERIFY(share.empty() && table.empty());
        SearchResultMessage results;
        QVERIFY(!ParseSearchResults(bomb.constData(), bomb.size(), results));
    }

    void sharedFileListRoundTrip() {
        ShareBuilder b;
        b.folders.push_back({"Music\\Beatles\\Abbey Road",
                             {FileInfo("01 - Come Together.mp3", 6200000, Audio(320, 259, 0)),
                              FileInfo("02 - Something.mp3", 4800000, Audio(192, 182, 1)),
                              FileInfo("cover.jpg", 81000, AttributeMap("jpg"))}});
        // Path bytes that are not UTF-8 stay exactly as sent.
        b.folders.push_back({"Music\\Caf\xe9", {FileInfo("x.ogg", 1, AttributeMap())}});
        b.folders.push_back({"Empty", {}});
        // A folder sent twice adds up; a (name, size) sent twice is one file.
        b.folders.push_back(
            {"Music\\Caf\xe9", {FileInfo("y.ogg", 2), FileInfo("x.ogg", 1, Audio(1, 1))}});
        b.folders.push_back({"Big", {FileInfo("huge.iso", std::numeric_limits<qint64>::max())}});
        b.table = {{0, "bitrate"}, {1, "length"}, {2, "vbr"}, {0, "bitrate again"}};
        QByteArray body = b.Body();
        // Bytes after the table are left alone.
        body += "later";
        const QByteArray z = Compress(body);

        FileInfoMap share;
        AttributeTranslationTable table;
        QVERIFY(ParseSharedFileList(z.constData(), z.size(), share, table));
        QCOMPARE(int(share.size()), 4);
        const std::set<FileInfo>& abbey = share.at("Music\\Beatles\\Abbey Road");
        QCOMPARE(int(abbey.size()), 3);
        const FileInfo& first = *abbey.begin();
        QCOMPARE(first.GetName(), std::string("01 - Come Together.mp3"));
        QCOMPARE(first.GetSize(), qint64(6200000));
        QVERIFY(first.GetAttributes() == Audio(320, 259, 0));
        QCOMPARE(std::prev(abbey.end())->GetAttributes().GetExtension(), std::string("jpg"));
        const std::set<FileInfo>& cafe = share.at("Music\\Caf\xe9");
        QCOMPARE(int(cafe.size()), 2);
        QVERIFY(cafe.begin()->GetAttributes().IsEmpty());  // the first x.ogg stays
        QVERIFY(share.at("Empty").empty());
        QCOMPARE(share.at("Big").begin()->GetSize(), std::numeric_limits<qint64>::max());
        QCOMPARE(int(table.size()), 3);
        QCOMPARE(table.at(0), QString("bitrate again"));
        QCOMPARE(table.at(2), QString("vbr"));

        // The smallest files: each takes exactly the least bytes a count is
        // checked against.
        ShareBuilder tiny;
        tiny.folders.push_back({"", {FileInfo("", 0), FileInfo("", 1), FileInfo("", 2)}});
        const QByteArray tz = Compress(tiny.Body());
        QVERIFY(ParseSharedFileList(tz.constData(), tz.size(), share, table));
        QCOMPARE(int(share.at("").size()), 3);
        QVERIFY(table.empty());
    }

    void sharedFileListRefusesBrokenBodies() {
        ShareBuilder b;
        b.folders.push_back({"A\\B",
                             {FileInfo("a.mp3", 100, Audio(128, 60, 0)),
                              FileInfo("b.mp3", 200, Audio(256, 90, 1))}});
        b.folders.push_back({"C", {FileInfo("c.flac", 300, AttributeMap("flac"))}});
        b.table = {{0, "bitrate"}, {1, "length"}};
        const QByteArray body = b.Body();
        // Every truncation of the body fails and leaves both outputs empty.
        for (int n = 0; n < body.size(); ++n) {
            const QByteArray z = Compress(body.left(n));
            FileInfoMap share{{"stale", {}}};
            AttributeTranslationTable table{{9, "stale"}};
            QVERIFY2(!ParseSharedFileList(z.constData(), z.size(), share, table),
                     qPrintable(QString::number(n)));
            QVERIFY(share.empty() && table.empty());
        }
        // And so does every truncation of the stream.
        const QByteArray z = Compress(body);
        for (int n = 0; n < z.size(); ++n) {
            FileInfoMap share;
            AttributeTranslationTable table;
            QVERIFY(!ParseSharedFileList(z.constData(), n, share, table));
        }

        // Counts far above the data fail before anything is kept for them.
        const auto hostile = [](const QByteArray& bodyBytes) {
            const QByteArray hz = Compress(bodyBytes);
            ExpectFastFailure([&] {
                FileInfoMap share;
                AttributeTranslationTable table;
                return ParseSharedFileList(hz.constData(), hz.size(), share, table);
            });
        };
        MemStream folders;
        folders.Write(quint32(0xFFFFFFFF));
        folders.Write(std::string("A"));
        folders.Write(quint32(0));
        hostile(folders.GetWrittenBytes());
        MemStream files;
        files.Write(quint32(1));
        files.Write(std::string("A"));
        files.Write(quint32(0x10000000));
        FileInfo("a", 1).Write(files);
        files.Write(quint32(0));
        hostile(files.GetWrittenBytes());
        MemStream names;
        names.Write(quint32(0));
        names.Write(quint32(0xFFFFFFF0));
        names.Write(quint32(1));
        names.Write(std::string("n"));
        hostile(names.GetWrittenBytes());
        // One file more than the bytes could hold.
        MemStream justOver;
        justOver.Write(quint32(1));
        justOver.Write(std::string(""));
        justOver.Write(quint32(2));
        FileInfo("", 0).Write(justOver);
        justOver.Write(quint32(0));  // 4 more bytes, not the 21 a file needs
        justOver.Write(quint32(0));
        justOver.Write(quint32(0));
        justOver.Write(quint32(0));
        justOver.Write(quint32(0));
        hostile(justOver.GetWrittenBytes());

        // A size above 2^63 - 1 is malformed.
        MemStream big;
        big.Write(quint32(1));
        big.Write(std::string("A"));
        big.Write(quint32(1));
        big.Write(quint8(1));
        big.Write(std::string("a"));
        big.Write(quint64(1) << 63);
        AttributeMap().Write(big);
        big.Write(quint32(0));
        const QByteArray bz = Compress(big.GetWrittenBytes());
        FileInfoMap share;
        AttributeTranslationTable table;
        QVERIFY(!ParseSharedFileList(bz.constData(), bz.size(), share, table));
        // Uncompressed bytes are not a share list.
        QVERIFY(!ParseSharedFileList(body.constData(), body.size(), share, table));
    }

    void searchResultsRoundTripAndRefusals() {
        SearchBuilder b;
        b.user = QString::fromUtf8(
            "b\xc3\xb6"
            "b");
        b.token = 0xFFFFFFFE;
        b.files = {FileInfo("Music\\A\\song.mp3", 5000000000LL, Audio(320, 200, 0)),
                   FileInfo("Music\\A\\song.mp3", 5000000000LL), FileInfo("readme", 0)};
        b.extras = 2;
        for (int extras : {-1, 0, 2}) {
            b.extras = extras;
            const QByteArray z = Compress(b.Body());
            SearchResultMessage m;
            QVERIFY(ParseSearchResults(z.constData(), z.size(), m));
            QCOMPARE(m.user, b.user);
            QCOMPARE(m.token, b.token);
            // Files keep their order and duplicates, as sent.
            QCOMPARE(int(m.files.size()), 3);
            QCOMPARE(m.files[0].GetSize(), 5000000000LL);
            QVERIFY(m.files[0].GetAttributes() == Audio(320, 200, 0));
            QCOMPARE(m.files[2].GetName(), std::string("readme"));
            QVERIFY(m.freeSlot);
            QCOMPARE(m.uploadSpeed, 12345u);
            QCOMPARE(m.queueLength, 3u);
        }
        // Only a 1 means a free slot.
        for (quint8 slot : {0, 2}) {
            b.freeSlot = slot;
            const QByteArray z = Compress(b.Body());
            SearchResultMessage m;
            QVERIFY(ParseSearchResults(z.constData(), z.size(), m));
            QVERIFY(!m.freeSlot);
        }

        // Every cut fails and resets the message, except right before the
        // optional extra list.
        b.extras = 2;
        b.freeSlot = 1;
        const QByteArray body = b.Body();
        SearchBuilder bare = b;
        bare.extras = -1;
        const int endOfRequired = bare.Body().size();
        for (int n = 0; n < body.size(); ++n) {
            const QByteArray z = Compress(body.left(n));
            SearchResultMessage m;
            m.user = "stale";
            m.files.push_back(FileInfo("stale", 1));
            QCOMPARE(ParseSearchResults(z.constData(), z.size(), m), n == endOfRequired);
            if (n != endOfRequired) {
                QVERIFY(m.user.isEmpty() && m.files.empty() && m.token == 0);
            }
        }

        // Counts far above the data.
        SearchBuilder huge;
        huge.files = {FileInfo("a", 1)};
        QByteArray hugeBody = huge.Body();
        const int countAt = 4 + huge.user.toUtf8().size() + 4;
        qToLittleEndian<quint32>(0xFFFFFFFF, hugeBody.data() + countAt);
        const QByteArray hz = Compress(hugeBody);
        ExpectFastFailure([&] {
            SearchResultMessage m;
            return ParseSearchResults(hz.constData(), hz.size(), m);
        });
        huge.extras = 1;
        QByteArray extraBody = huge.Body();
        qToLittleEndian<quint32>(0xFFFFFFFF, extraBody.data() + extraBody.size() - 4 - 4 - 9);
        const QByteArray ez = Compress(extraBody);
        ExpectFastFailure([&] {
            SearchResultMessage m;
            return ParseSearchResults(ez.constData(), ez.size(), m);
        });

        // A size above 2^63 - 1 is malformed.
        MemStream big;
        big.Write(std::string("bob"));
        big.Write(quint32(1));
        big.Write(quint32(1));
        big.Write(quint8(1));
        big.Write(std::string("a"));
        big.Write(quint64(0xFFFFFFFFFFFFFFFFull));
        AttributeMap().Write(big);
        big.Write(quint8(1));
        big.Write(quint32(0));
        big.Write(quint32(0));
        const QByteArray bz = Compress(big.GetWrittenBytes());
        SearchResultMessage m;
        QVERIFY(!ParseSearchResults(bz.constData(), bz.size(), m));
    }

    void userInfoReply() {
        const auto build = [](const QByteArray& description, int hasPicture,
                              const QByteArray& picture, qint64 declared, quint32 uploadSlots,
                              quint32 queued, quint8 free) {
            MemStream m;
            m.Write(quint32(16));  // the code, already read by the caller
            m.Write(description);
            m.Write(quint8(hasPicture));
            if (hasPicture) {
                m.Write(quint32(declared < 0 ? picture.size() : declared));
                m.WriteBuffer(picture.constData(), picture.size());
            }
            m.Write(uploadSlots);
            m.Write(queued);
            m.Write(free);
            return m.GetWrittenBytes();
        };
        const QByteArray picture("\x89PNG\r\n\x1a\n....", 12);
        {
            MemStream s(build("Hello\r\nthere", 1, picture, -1, 2, 0xFFFFFFFF, 1));
            quint32 code = 0;
            QVERIFY(s.Read(code));
            UserInfoReply r;
            QVERIFY(ParseUserInfoReply(s, r));
            QCOMPARE(r.description, QString("Hello\r\nthere"));
            QVERIFY(r.hasPicture);
            QCOMPARE(r.picture, picture);
            QCOMPARE(r.uploadSlots, 2);
            // Read as u32, passed as int: clamped rather than negative.
            QCOMPARE(r.queuedUploads, std::numeric_limits<int>::max());
            QVERIFY(r.freeSlot);
        }
        {
            // No picture: nothing between the flag and the counts.
            MemStream s(build("", 0, QByteArray(), -1, 0, 5, 0));
            s.SetReadPos(4);
            UserInfoReply r;
            QVERIFY(ParseUserInfoReply(s, r));
            QVERIFY(!r.hasPicture && r.picture.isEmpty() && !r.freeSlot);
            QCOMPARE(r.queuedUploads, 5);
        }
        // A picture length beyond the bytes left, and every cut, fail and
        // leave the reply empty and the stream where it was.
        const QByteArray good = build("desc", 1, picture, -1, 1, 2, 1);
        const QByteArray lying = build("desc", 1, picture, 0x7FFFFFFF, 1, 2, 1);
        QList<QByteArray> bad{lying};
        for (int n = 4; n < good.size(); ++n)
            bad << good.left(n);
        for (const QByteArray& bytes : bad) {
            MemStream s(bytes);
            s.SetReadPos(4);
            UserInfoReply r;
            r.description = "stale";
            r.picture = "stale";
            ExpectFastFailure([&] { return ParseUserInfoReply(s, r); });
            QVERIFY(r.description.isEmpty() && r.picture.isEmpty() && !r.hasPicture);
            QCOMPARE(s.GetReadPos(), qint64(4));
        }
        // A description over the string cap.
        MemStream s(build(QByteArray(InputStream::kMaxStringLength, 'a'), 0, {}, -1, 0, 0, 0));
        s.SetReadPos(4);
        UserInfoReply r;
        QVERIFY(ParseUserInfoReply(s, r));
        MemStream tooLong;
        tooLong.Write(quint32(InputStream::kMaxStringLength + 1));
        const QByteArray text(InputStream::kMaxStringLength + 1, 'a');
        tooLong.WriteBuffer(text.constData(), text.size());
        tooLong.Write(quint8(0));
        tooLong.Write(quint32(0));
        tooLong.Write(quint32(0));
        tooLong.Write(quint8(0));
        QVERIFY(!ParseUserInfoReply(tooLong, r));
    }

    void storeSearchResultsUnderTheRequest() {
        LogCapture log;
        const ItemPtr request = MakeRequest(7, "beatles -live *bey");
        SearchResultMessage m = Message(
            7, {FileInfo("Music\\Beatles\\Abbey Road.mp3", 5000000000LL, Audio(320, 259, 0)),
                FileInfo("Music\\Beatles\\Live at the BBC.mp3", 100, Audio(128, 60, 1)),
                FileInfo("Music\\Beatles\\Help.mp3", 200, Audio(128, 60, 1)),
                FileInfo("Music/beatles/Abbey Road Medley.ogg", 300, Audio(160, 900, 1)),
                FileInfo("Abbey-beatles.flac", 400, AttributeMap("flac"))});
        m.user = "mallory";  // the connection's peer wins
        const ItemPtr results = StoreSearchResults("bob", m);
        QVERIFY(!results.IsNull());
        QCOMPARE(results["user"].AsString(), QString("bob"));
        QCOMPARE(results["search_request"], request);
        QCOMPARE(results["search_results_user_available"].AsString(), QString("yes"));
        QCOMPARE(results["search_results_uploads_in_queue"].AsString(), QString("2"));
        QCOMPARE(results["search_results_user_speed"].AsString(), QString("5000"));
        QCOMPARE(Names(results),
                 QStringList({"Abbey Road Medley.ogg", "Abbey Road.mp3", "Abbey-beatles.flac"}));
        QVERIFY(log.entries.contains(
            "Peer Messenger/2: Filtered out search result Music\\Beatles\\Live at the BBC.mp3 "
            "from user bob"));
        QVERIFY(log.entries.contains(
            "Peer Messenger/2: Filtered out search result Music\\Beatles\\Help.mp3 from user bob"));
        QCOMPARE(log.entries.filter("Filtered out").size(), 2);

        // Folder and name split at the last separator of either kind; a bare
        // name has no folder.
        const ItemPtr abbey = ResultNamed(results, "Abbey Road.mp3");
        QCOMPARE(abbey["search_result_file_folder"].AsString(), QString("Music\\Beatles"));
        QCOMPARE(abbey["file_size"].AsString(), QString("5000000000"));
        QCOMPARE(abbey["bitrate"].AsString(), QString("320"));
        QCOMPARE(abbey["length_seconds"].AsString(), QString("259"));
        QCOMPARE(abbey["bitrate_mode"].AsString(), QString("cbr"));
        const ItemPtr medley = ResultNamed(results, "Abbey Road Medley.ogg");
        QCOMPARE(medley["search_result_file_folder"].AsString(), QString("Music/beatles"));
        QCOMPARE(medley["bitrate_mode"].AsString(), QString("vbr"));
        const ItemPtr flac = ResultNamed(results, "Abbey-beatles.flac");
        QCOMPARE(flac["search_result_file_folder"].AsString(), QString());
        QVERIFY(flac["bitrate"].IsNull() && flac["bitrate_mode"].IsNull() &&
                flac["length_seconds"].IsNull());
        QCOMPARE(flac["file_size"].AsString(), QString("400"));

        // No free slot; an answer with bitrate but no mode flag gets no mode.
        AttributeMap noMode("mp3");
        noMode.Append(AttributeMap::kBitrate, 192);
        SearchResultMessage busy = Message(7, {FileInfo("x\\beatles abbey.mp3", 1, noMode)});
        busy.freeSlot = false;
        busy.queueLength = 0;
        busy.uploadSpeed = 4294967295u;
        const ItemPtr busyResults = StoreSearchResults("carl", busy);
        QVERIFY(!busyResults.IsNull());
        QVERIFY(busyResults != results);
        QCOMPARE(busyResults["search_results_user_available"].AsString(), QString("no"));
        QCOMPARE(busyResults["search_results_uploads_in_queue"].AsString(), QString("0"));
        QCOMPARE(busyResults["search_results_user_speed"].AsString(), QString("4294967295"));
        const ItemPtr only = ResultNamed(busyResults, "beatles abbey.mp3");
        QCOMPARE(only["bitrate"].AsString(), QString("192"));
        QVERIFY(only["bitrate_mode"].IsNull());
        QCOMPARE(request.CountItems("search_results"), 2);
        QCOMPARE(d.GetType("user")->HasItem(Value("bob")).CountItems("search_results"), 1);
    }

    void storeSearchResultsDropsWhatItMust() {
        LogCapture log;
        // Unknown token: nothing stored, and no request made up for it.
        MakeRequest(1, "abc");
        const std::vector<FileInfo> files{FileInfo("f\\abc.mp3", 1)};
        QVERIFY(StoreSearchResults("bob", Message(2, files)).IsNull());
        QVERIFY(d.GetType("search_request")->HasItem(Value(2)).IsNull());
        QCOMPARE(d.GetType("search_results")->ItemCount(), 0);

        // A stopped request takes nothing more.
        const ItemPtr stopped = MakeRequest(3, "abc");
        stopped.NewItem("search_stopped");
        QVERIFY(StoreSearchResults("bob", Message(3, files)).IsNull());
        QCOMPARE(d.GetType("search_results")->ItemCount(), 0);

        // Everything filtered out: nothing stored.
        QVERIFY(StoreSearchResults(
                    "bob", Message(1, {FileInfo("f\\xyz.mp3", 1), FileInfo("f\\ab c.mp3", 2)}))
                    .IsNull());
        QCOMPARE(d.GetType("search_results")->ItemCount(), 0);
        QCOMPARE(d.GetType("search_result")->ItemCount(), 0);
        QCOMPARE(log.entries.filter("Filtered out").size(), 2);
        QVERIFY(StoreSearchResults("bob", Message(1, {})).IsNull());
        QCOMPARE(d.GetType("search_results")->ItemCount(), 0);
    }

    void storeSearchResultsSharesValuesAndSweeps() {
        MakeRequest(5, "mp3");
        MakeRequest(6, "song");
        // Names are stored as the bytes came; the store decodes on reading.
        const std::string raw("Mus\xefk\\Caf\xe9\\song.mp3");
        const ItemPtr first = StoreSearchResults(
            "bob", Message(5, {FileInfo(raw, 10), FileInfo("Other\\a.mp3", 10)}));
        const ItemPtr second = StoreSearchResults("carl", Message(6, {FileInfo(raw, 20)}));
        QVERIFY(!first.IsNull() && !second.IsNull());
        const ItemPtr a = ResultNamed(first, "song.mp3");
        const ItemPtr b = ResultNamed(second, "song.mp3");
        QVERIFY(a != b);
        QCOMPARE(a["search_result_file_folder"], b["search_result_file_folder"]);
        QCOMPARE(a["search_result_file_folder"].AsStdString(), std::string("Mus\xefk\\Caf\xe9"));
        QCOMPARE(a["search_result_file_folder"].AsString(),
                 ToQString(std::string("Mus\xefk\\Caf\xe9")));
        QCOMPARE(a["search_result_file_name"], b["search_result_file_name"]);
        QCOMPARE(d.GetType("search_result_file_folder")->ItemCount(), 2);
        QCOMPARE(a["file_size"], ResultNamed(first, "a.mp3")["file_size"]);

        // An answer's files go with it at the sweep, even while something
        // else (a view row, say) still holds on to them.
        Type* row = d.NewType("test_view_row", PrimacyRoot, true, false);
        row->RelateToType(d.GetType("search_result"), Many, Many, false);
        row->NewItem().Connect(a);
        first.Remove();
        d.RemoveDisconnectedItems();
        QVERIFY(a.IsRemoved());
        QCOMPARE(d.GetType("search_result")->ItemCount(), 1);
        QVERIFY(!b.IsRemoved());
        QCOMPARE(second.CountItems("search_result"), 1);
    }

    void peerTypesAgreeWithTheServer() {
        // A second declaration changes nothing and throws nothing.
        DeclarePeerTypes(nullptr);
        const ItemPtr alice = d.GetType("user")->NewItem(Value("alice"));
        const ItemPtr bob = d.GetType("user")->NewItem(Value("bob"));
        Type* address = d.GetType("user_address");
        QVERIFY(!address->IsNull());
        QCOMPARE(address->GetPrimacy(), PrimacyLeaf);
        // Users at one address share its item; a user has one address.
        const ItemPtr home = address->NewItem(Value(quint32(0x7F000001)));
        alice.Connect(home);
        bob.Connect(home);
        QCOMPARE(home.CountItems("user"), 2);
        alice.Connect(address->NewItem(Value(quint32(0x7F000002))));
        QCOMPARE(alice.CountItems("user_address"), 1);
        QCOMPARE(home.CountItems("user"), 1);
        alice.Connect(d.GetType("user_port")->NewItem(Value(2235)));
        alice.Connect(d.GetType("user_port")->NewItem(Value(2236)));
        QCOMPARE(alice["user_port"].AsString(), QString("2236"));

        for (const char* name : {"file_size", "bitrate", "bitrate_mode", "length_seconds",
                                 "mpeg_version", "channel_mode", "audio_frequency"}) {
            Type* t = d.GetType(name);
            QVERIFY(!t->IsNull() && t->IsAutoCreate());
            QCOMPARE(t->GetPrimacy(), PrimacyLeaf);
        }
        QCOMPARE(d.GetType("search_request_text")->GetPrimacy(), PrimacyRoot);
        for (const char* name : {"search_request", "search_results", "search_result"})
            QCOMPARE(d.GetType(name)->GetPrimacy(), PrimacyIntermediate);

        // What the server's search requests and correlations rely on.
        const ItemPtr request = MakeRequest(9, "abc");
        QVERIFY(request.NewItem("wishlist_search") ==
                d.GetType("wishlist_search")->GetGlobalNullItem());
        Type* correlation = d.GetType("search_correlation");
        QVERIFY(correlation->IsNull());
        Type* text = d.GetType("search_request_text");
        RelationInfo r = text->GetRelation(correlation);
        QCOMPARE(r.thisPerOther, One);
        QCOMPARE(r.otherPerThis, Many);
        for (const char* name : {"correlation_text", "correlation_rank"}) {
            r = correlation->GetRelation(d.GetType(name));
            QCOMPARE(r.thisPerOther, Many);
            QCOMPARE(r.otherPerThis, One);
        }

        // An unconnected request goes at the sweep; one with a text stays.
        d.GetType("search_request")->NewItem(Value(10));
        d.RemoveDisconnectedItems();
        QVERIFY(d.GetType("search_request")->HasItem(Value(10)).IsNull());
        QVERIFY(!d.GetType("search_request")->HasItem(Value(9)).IsNull());
    }

    void searchTextsSavedWithDownloads() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString prefix = dir.filePath(".Tavenook");
        const auto declare = [](DataSaver& saver) {
            d.Reset();
            DeclareSettingsTypes(&saver);
            Server::CreateData();
            Type* entry = d.NewType("download_entry", PrimacyRoot, true, false);
            d.NewType("search_request_text", PrimacyRoot, false, true)
                ->RelateToType(entry, Many, Many, false);
            saver.AddSavedType("download_entry");
            DeclarePeerTypes(&saver);
        };
        {
            DataSaver saver;
            declare(saver);
            d.GetType("download_entry")
                ->NewItem()
                .Connect(d.GetType("search_request_text")->NewItem(Value("kept text")));
            d.GetType("search_request_text")->NewItem(Value("lost text"));
            QVERIFY(saver.Save(prefix));
        }
        DataSaver saver;
        declare(saver);
        saver.Load(prefix);
        QVERIFY(!d.GetType("search_request_text")->HasItem(Value("kept text")).IsNull());
        QVERIFY(d.GetType("search_request_text")->HasItem(Value("lost text")).IsNull());
    }
};

QTEST_GUILESS_MAIN(TestPeerPayloads)
#include "test_peer_payloads.moc"
