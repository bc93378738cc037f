// The compressed peer payloads and the user-info reply: bounded inflate,
// share lists, search results and user info parsed back from the bytes a
// peer sends, cuts, hostile counts and bombs, the storage of search results
// under their request; and mutated payloads, which may crash nothing and size
// nothing from a count, leave failed outputs empty and parse again the same
// once written back.

#include <QtTest>
#include <limits>

#include "net/PeerLimits.h"
#include "net/PeerPayloads.h"
#include "net/PeerTypes.h"
#include "net/server.h"
#include "store/Settings.h"

#include "support/Fuzz.h"
#include "support/LargestAllocation.h"
#include "support/Payload.h"

namespace {

AttributeMap Audio(quint32 bitrate, quint32 seconds, int vbr = -1) {
    AttributeMap a("mp3");
    a.Append(AttributeMap::kBitrate, bitrate);
    a.Append(AttributeMap::kLength, seconds);
    if (vbr >= 0)
        a.Append(AttributeMap::kVariableBitrate, quint32(vbr));
    return a;
}

// A share-list body: folders of files, then the attribute names.
template <typename Folders, typename Names>
QByteArray ShareBody(const Folders& folders, const Names& names) {
    MemStream m;
    m.Write(quint32(folders.size()));
    for (const auto& folder : folders) {
        m.Write(folder.first);
        m.Write(quint32(folder.second.size()));
        for (const FileInfo& file : folder.second)
            file.Write(m);
    }
    m.Write(quint32(names.size()));
    for (const auto& name : names)
        m.Write(name.first), m.Write(name.second);
    return m.GetWrittenBytes();
}
using Folders = std::vector<std::pair<std::string, std::vector<FileInfo>>>;
using Names = std::vector<std::pair<quint32, QString>>;

// A search-result body; the optional list of extras only when `extras` >= 0.
QByteArray SearchBody(const SearchResultMessage& r, int extras = -1) {
    MemStream m;
    m.Write(r.user), m.Write(r.token), m.Write(quint32(r.files.size()));
    for (const FileInfo& f : r.files)
        f.Write(m);
    m.Write(quint8(r.freeSlot)), m.Write(r.uploadSpeed), m.Write(r.queueLength);
    if (extras >= 0)
        m.Write(quint32(extras));
    for (int k = 0; k < extras; ++k)
        m.Write(quint32(k)), m.Write(std::string("extra"));
    return m.GetWrittenBytes();
}

// A parse that must fail on a hostile count without sizing anything from it.
bool FailsSmall(const std::function<bool()>& parse) {
    bool ok = true;
    return LargestAllocation([&] { ok = parse(); }) < 256 * 1024 && !ok;
}

}  // namespace

class TestPeerPayloads : public QObject {
    Q_OBJECT

    using Table = AttributeTranslationTable;
    static bool Share(const QByteArray& z, FileInfoMap& share, Table& table) {
        return ParseSharedFileList(z.constData(), z.size(), share, table);
    }
    static bool ShareOf(const QByteArray& body) {
        FileInfoMap share;
        Table table;
        return Share(Compress(body), share, table);
    }
    static bool Results(const QByteArray& z, SearchResultMessage& m) {
        return ParseSearchResults(z.constData(), z.size(), m);
    }
    static SearchResultMessage Answer(quint32 token, std::vector<FileInfo> files) {
        return {"bob", token, std::move(files), true, 5000, 2};
    }
    static ItemPtr Request(quint32 token, const QString& text) {
        const ItemPtr request = d.GetType("search_request")->NewItem(Value(token));
        return request.Connect(d.GetType("search_request_text")->NewItem(Value(text))), request;
    }

private slots:
    void init() {
        d.Reset();
        DeclareSettingsTypes(nullptr);
        Server::CreateData();
        DeclarePeerTypes(nullptr);
    }
    void cleanup() { d.Reset(); }

    void inflateIsBounded() {
        fuzz::Rng rng(11);
        QByteArray text;
        while (text.size() < 2000000)
            text += "Music\\Artist\\Album\\01 - Track.mp3 ";
        for (const QByteArray& in : {QByteArray(), QByteArray("x"), text,
                                     fuzz::RandomBytes(rng, 300000) + QByteArray(1, 'n')}) {
            const QByteArray z = Compress(in);
            QVERIFY(z.size() <= 2 * in.size() + 12);
            QByteArray out("stale");
            QVERIFY(InflateBounded(z.constData(), z.size(), in.size(), out));
            QCOMPARE(out, in);
            QVERIFY(out.capacity() <= qMax(in.size(), 1));  // never more room than the cap
            QVERIFY(in.isEmpty() || !InflateBounded(z.constData(), z.size(), in.size() - 1, out));
            QVERIFY(in.isEmpty() || out.isEmpty());
        }
        // Cut anywhere, a byte or a stream after its end, raw deflate, gzip,
        // a flipped check value, a bad size: refused.
        const QByteArray z = Compress(text.left(5000));
        QByteArray corrupt = z;
        corrupt[corrupt.size() - 1] = char(corrupt[corrupt.size() - 1] ^ 1);
        QList<QByteArray> bad = {z + '\0', z + z, z.mid(2), corrupt,
                                 QByteArray("\x1f\x8b\x08\x00\x00\x00\x00\x00", 8)};
        for (int n = 0; n < z.size(); ++n)
            bad << z.left(n);
        for (const QByteArray& bytes : bad) {
            QByteArray out("stale");
            QVERIFY(!InflateBounded(bytes.constData(), bytes.size(), 1 << 20, out));
            QVERIFY(out.isEmpty());
        }
        QByteArray out;
        QVERIFY(!InflateBounded(z.constData(), -1, 1 << 20, out));
        QVERIFY(!InflateBounded(nullptr, 0, 1 << 20, out));
        // A bomb: 100 MiB of zeros stop at the cap, as a stream, a share
        // list and search results.
        const QByteArray bomb = Compress(QByteArray(100 << 20, '\0'));
        QVERIFY(!InflateBounded(bomb.constData(), bomb.size(), PeerLimits::kMaxInflatedSize, out));
        FileInfoMap share{{"x", {}}};
        AttributeTranslationTable table{{1, "y"}};
        SearchResultMessage results;
        QVERIFY(!Share(bomb, share, table) && !Results(bomb, results));
        QVERIFY(out.isEmpty() && share.empty() && table.empty());
    }

    void sharedFileLists() {
        // Path bytes that are not UTF-8 stay as sent; a folder sent twice adds
        // up; a (name, size) sent twice is one file, the first.
        const QByteArray body = ShareBody(
            Folders{{"Music\\Beatles",
                     {FileInfo("01.mp3", 6200000, Audio(320, 259, 0)),
                      FileInfo("cover.jpg", 81000, AttributeMap("jpg"))}},
                    {"Caf\xe9", {FileInfo("x.ogg", 1)}},
                    {"Empty", {}},
                    {"Caf\xe9", {FileInfo("y.ogg", 2), FileInfo("x.ogg", 1, Audio(1, 1))}},
                    {"Big", {FileInfo("huge.iso", std::numeric_limits<qint64>::max())}},
                    {"", {FileInfo("", 0), FileInfo("", 1)}}},
            Names{{0, "bitrate"}, {2, "vbr"}, {0, "bitrate again"}});
        FileInfoMap share;
        AttributeTranslationTable table;
        QVERIFY(Share(Compress(body + "later"), share, table));  // bytes after the table left alone
        const FileInfoMap expected = {
            {"Music\\Beatles", {FileInfo("01.mp3", 6200000), FileInfo("cover.jpg", 81000)}},
            {"Caf\xe9", {FileInfo("x.ogg", 1), FileInfo("y.ogg", 2)}},
            {"Empty", {}},
            {"Big", {FileInfo("huge.iso", std::numeric_limits<qint64>::max())}},
            {"", {FileInfo("", 0), FileInfo("", 1)}}};
        QVERIFY(share == expected);
        QVERIFY(share.at("Music\\Beatles").begin()->GetAttributes() == Audio(320, 259, 0));
        QVERIFY(share.at("Caf\xe9").begin()->GetAttributes().IsEmpty());  // the first x.ogg
        QCOMPARE(table, (AttributeTranslationTable{{0, "bitrate again"}, {2, "vbr"}}));

        // Every cut of the body or of the stream fails and empties both outputs.
        const QByteArray z = Compress(body);
        for (int n = 0; n < body.size() + z.size(); ++n) {
            const QByteArray cut =
                n < body.size() ? Compress(body.left(n)) : z.left(n - body.size());
            share = {{"stale", {}}};
            table = {{9, "stale"}};
            QVERIFY2(!Share(cut, share, table), qPrintable(QString::number(n)));
            QVERIFY(share.empty() && table.empty());
        }
        QVERIFY(!ShareOf(QByteArray()) && !Share(body, share, table));  // not compressed

        // Counts far above the data; one file more than the bytes hold (16
        // bytes left, 21 needed); a size above 2^63 - 1.
        // clang-format off
        const QByteArray hostile[] = {
            Payload().U32(0xFFFFFFFF).Str("A").U32(0),
            Payload().U32(1).Str("A").U32(0x10000000).File("a", 1).U32(0),
            Payload().U32(0).U32(0xFFFFFFF0).U32(1).Str("n"),
            Payload().U32(1).Str("").U32(2).Raw(ShareBody(Folders{{"", {FileInfo("", 0)}}}, Names()).mid(12)).U32(0).U32(0).U32(0),
            Payload().U32(1).Str("A").U32(1).U8(1).Str("a").U64(quint64(1) << 63).Str("").U32(0).U32(0)};
        // clang-format on
        for (const QByteArray& bytes : hostile)
            QVERIFY(FailsSmall([&] { return ShareOf(bytes); }));
    }

    // The token at the start of a reply, read without the rest: whole,
    // cut after the token, a name too long, mutated starts.
    void searchTokenAtTheStart() {
        quint32 token = 0;
        const QByteArray whole = Compress(Payload().Str("bob").U32(77).U32(0).Bytes());
        QVERIFY(PeekSearchToken(whole.constData(), whole.size(), token) && token == 77);
        const QByteArray cut = Compress(Payload().Str("bob").U32(78).Bytes());
        QVERIFY(PeekSearchToken(cut.constData(), cut.size(), token) && token == 78);
        const QByteArray shortOne = Compress(Payload().Str("bob").U8(1).Bytes());
        QVERIFY(!PeekSearchToken(shortOne.constData(), shortOne.size(), token));
        const QByteArray longName = Compress(Payload().U32(1 << 20).Bytes() + QByteArray(9, 'x'));
        QVERIFY(!PeekSearchToken(longName.constData(), longName.size(), token));
        QVERIFY(!PeekSearchToken(nullptr, 0, token));
        fuzz::Rng rng(53);
        for (int k = 0; k < 5000; ++k) {
            QByteArray bytes = whole;
            for (int n = fuzz::Below(rng, 4); n >= 0; --n)
                bytes[fuzz::Below(rng, bytes.size())] = char(rng());
            PeekSearchToken(bytes.constData(), fuzz::Below(rng, bytes.size() + 1), token);
            const QByteArray noise = fuzz::RandomBytes(rng, fuzz::Below(rng, 64));
            PeekSearchToken(noise.constData(), noise.size(), token);
        }
    }

    void searchResults() {
        SearchResultMessage sent =
            Answer(0xFFFFFFFE, {FileInfo("A\\s.mp3", 5000000000LL, Audio(320, 200, 0)),
                                FileInfo("A\\s.mp3", 5000000000LL), FileInfo("readme", 0)});
        sent.user = QString::fromUtf8("b\xc3\xb6");
        // Files keep their order and duplicates, as sent; only a 1 means a
        // free slot.
        for (int extras : {-1, 0, 2}) {
            for (quint8 slot : {0, 1, 2}) {
                QByteArray bytes = SearchBody(sent, extras);
                bytes[SearchBody(sent).size() - 9] = char(slot);  // before speed and queue
                SearchResultMessage m;
                QVERIFY(Results(Compress(bytes), m));
                QVERIFY(m.user == sent.user && m.token == sent.token && m.files == sent.files);
                QVERIFY(m.files[0].GetAttributes() == sent.files[0].GetAttributes());
                QVERIFY(m.uploadSpeed == sent.uploadSpeed && m.queueLength == sent.queueLength);
                QCOMPARE(m.freeSlot, slot == 1);
            }
        }
        // Every cut fails and resets the message, except right before the
        // optional extra list.
        const QByteArray body = SearchBody(sent, 2);
        const int endOfRequired = SearchBody(sent).size();
        for (int n = 0; n < body.size(); ++n) {
            SearchResultMessage m = Answer(1, {FileInfo("stale", 1)});
            QCOMPARE(Results(Compress(body.left(n)), m), n == endOfRequired);
            QVERIFY(n == endOfRequired || (m.user.isEmpty() && m.files.empty() && m.token == 0));
        }
        // Counts far above the data; a size above 2^63 - 1.
        QByteArray files32 = SearchBody(Answer(1, {FileInfo("a", 1)}));
        files32.replace(4 + 3 + 4, 4, Payload().U32(0xFFFFFFFF));
        QByteArray extras32 = SearchBody(Answer(1, {FileInfo("a", 1)}), 1);
        extras32.replace(extras32.size() - 4 - 4 - 9, 4, Payload().U32(0xFFFFFFFF));
        // clang-format off
        const QByteArray big = Payload().Str("bob").U32(1).U32(1).U8(1).Str("a").U64(~quint64(0)).Str("").U32(0).U8(1).U32(0).U32(0);
        // clang-format on
        SearchResultMessage results;
        for (const QByteArray& bytes : {files32, extras32, big})
            QVERIFY(FailsSmall([&] { return Results(Compress(bytes), results); }));
    }

    void userInfoReply() {
        const QByteArray picture("\x89PNG\r\n\x1a\n....", 12);
        const auto build = [&](const QByteArray& text, qint64 pictureLength, quint32 queued) {
            Payload p;
            p.U32(16).U32(quint32(text.size())).Raw(text).U8(pictureLength >= 0 ? 1 : 0);
            if (pictureLength >= 0)
                p.U32(quint32(pictureLength)).Raw(picture);
            return p.U32(2).U32(queued).U8(1).Bytes();
        };
        MemStream s(build("Hello\r\nthere", picture.size(), 0xFFFFFFFF));
        s.SetReadPos(4);
        UserInfoReply r;
        QVERIFY(ParseUserInfoReply(s, r));
        QVERIFY(r.description == "Hello\r\nthere" && r.hasPicture && r.picture == picture);
        // Read as u32, passed as int: a queue length is clamped rather than negative.
        QVERIFY(r.uploadSlots == 2 && r.queuedUploads == std::numeric_limits<int>::max());
        // A picture length beyond the bytes left, a description over the
        // cap, and every cut fail, leave the reply empty and the stream
        // where it was.
        const QByteArray good = build("desc", picture.size(), 2);
        QList<QByteArray> bad = {
            build("desc", 0x7FFFFFFF, 2),
            build(QByteArray(int(InputStream::kMaxStringLength) + 1, 'a'), -1, 0)};
        for (int n = 4; n < good.size(); ++n)
            bad << good.left(n);
        for (const QByteArray& bytes : bad) {
            MemStream cut(bytes);
            cut.SetReadPos(4);
            UserInfoReply reply{"stale", true, "stale"};
            QVERIFY(FailsSmall([&] { return ParseUserInfoReply(cut, reply); }));
            QVERIFY(reply.description.isEmpty() && reply.picture.isEmpty() && !reply.hasPicture);
            QCOMPARE(cut.GetReadPos(), qint64(4));
        }
    }

    void searchResultsStoredUnderTheRequest() {
        const ItemPtr request = Request(7, "beatles -live *bey");
        SearchResultMessage m =
            Answer(7, {FileInfo("Music\\Beatles\\Abbey Road.mp3", 5000000000LL, Audio(320, 259, 0)),
                       FileInfo("Music\\Beatles\\Live at the BBC.mp3", 100, Audio(128, 60, 1)),
                       FileInfo("Music/beatles/Abbey Medley.ogg", 300, Audio(160, 900, 1)),
                       FileInfo("Abbey-beatles.flac", 400, AttributeMap("flac"))});
        m.user = "mallory";  // the connection's peer wins
        const ItemPtr results = StoreSearchResults("bob", m);
        QCOMPARE(results["user"].AsString(), QString("bob"));
        QCOMPARE(results["search_request"], request);
        // Filtered by the request's text; split at the last separator of
        // either kind: "name|folder|size|bitrate|mode|length".
        QStringList stored;
        for (const ItemPtr& r : results.GetItems("search_result")) {
            QStringList fields;
            for (const char* type : {"search_result_file_name", "search_result_file_folder",
                                     "file_size", "bitrate", "bitrate_mode", "length_seconds"})
                fields << r[type].AsString();
            stored << fields.join('|');
        }
        stored.sort();
        QCOMPARE(stored, QStringList({"Abbey Medley.ogg|Music/beatles|300|160|vbr|900",
                                      "Abbey Road.mp3|Music\\Beatles|5000000000|320|cbr|259",
                                      "Abbey-beatles.flac||400|||"}));
        // Unknown token, stopped request, everything filtered out, nothing
        // at all: nothing stored, no request made up.
        Request(3, "abc").NewItem("search_stopped");
        QVERIFY(StoreSearchResults("bob", Answer(2, {FileInfo("abc", 1)})).IsNull());
        QVERIFY(StoreSearchResults("bob", Answer(3, {FileInfo("abc", 1)})).IsNull());
        QVERIFY(StoreSearchResults("bob", Answer(7, {FileInfo("f\\xyz.mp3", 1)})).IsNull());
        QVERIFY(d.GetType("search_request")->HasItem(Value(2)).IsNull());

        // An answer's files go with it at the sweep, even while something
        // else still holds on to them.
        const ItemPtr a = results["search_result"];
        Type* row = d.NewType("test_view_row", PrimacyRoot, true, false);
        row->RelateToType(d.GetType("search_result"), Many, Many, false);
        row->NewItem().Connect(a);
        results.Remove();
        d.RemoveDisconnectedItems();
        QVERIFY(a.IsRemoved());
        QCOMPARE(d.GetType("search_result")->ItemCount(), 0);
    }

    void searchResultFloodsCapped() {
        // Millions of matches in one answer: so many per user and per request.
        const int perUser = PeerLimits::kMaxSearchResultsPerUser;
        Request(8, "x");
        const auto store = [](const QString& user, int n) {
            const ItemPtr r = StoreSearchResults(user, Answer(8, std::vector(n, FileInfo("x", 1))));
            return r.IsNull() ? 0 : r.CountItems("search_result");
        };
        QCOMPARE(store("bob", perUser + 1), perUser);
        QCOMPARE(store("bob", 1), 0);
        const int users = PeerLimits::kMaxSearchResultsPerRequest / perUser;
        for (int k = 1, n = perUser; k < users; ++k, n = k + 1 < users ? perUser : perUser - 1)
            QCOMPARE(store(QString("u%1").arg(k), n), n);
        QCOMPARE(store("late", 2), 1);
        QCOMPARE(store("later", 1), 0);
    }

    void mutatedPayloads() {
        Request(1, "a");
        fuzz::Rng rng(20240611);
        const auto file = [&] {
            AttributeMap attributes(fuzz::Below(rng, 3) ? "mp3" : "");
            for (int k = fuzz::Below(rng, 4); k > 0; --k)
                attributes.Append(quint32(fuzz::Below(rng, 4)), quint32(rng()));
            return FileInfo(fuzz::Below(rng, 2) ? "a\\b.mp3" : "", fuzz::Below(rng, 1 << 20),
                            attributes);
        };
        int parsed[3] = {}, stored = 0;
        for (int round = 0; round < 8000; ++round) {
            FileInfoMap share, share2;
            AttributeTranslationTable table{{quint32(fuzz::Below(rng, 4)), "bitrate"}}, table2;
            for (int k = fuzz::Below(rng, 5); k > 0; --k)
                share[k % 2 ? "x\\y" : "Caf\xe9"].insert(file());
            SearchResultMessage m = Answer(quint32(fuzz::Below(rng, 3)), {}), m2;
            for (int k = fuzz::Below(rng, 5); k > 0; --k)
                m.files.push_back(file());
            // A mutated body compressed, or a mutated stream.
            QByteArray in[2] = {ShareBody(share, table), SearchBody(m, fuzz::Below(rng, 3) - 1)};
            for (QByteArray& bytes : in)
                bytes = fuzz::Below(rng, 3) ? Compress(fuzz::Mutate(rng, bytes))
                                            : fuzz::Mutate(rng, Compress(bytes));
            MemStream info(fuzz::Mutate(
                rng, Payload().Str("d").U8(1).U32(3).Raw("pic").U32(9).U32(rng()).U8(1)));
            UserInfoReply r;
            r.description = "stale";
            m = Answer(9, {FileInfo("stale", 1)});
            bool ok[3] = {};
            const std::size_t largest = LargestAllocation([&] {
                ok[0] = Share(in[0], share, table);
                ok[1] = Results(in[1], m);
                ok[2] = ParseUserInfoReply(info, r);
            });
            QVERIFY2(largest < 1024 * 1024, qPrintable(QString::number(round)));
            // Failed: nothing kept. Parsed: written back, it parses the same.
            QVERIFY(ok[0] ? Share(Compress(ShareBody(share, table)), share2, table2) &&
                                share2 == share && table2 == table
                          : share.empty() && table.empty());
            QVERIFY(ok[1] ? Results(Compress(SearchBody(m)), m2) && m2.files == m.files &&
                                m2.user == m.user && m2.token == m.token &&
                                m2.queueLength == m.queueLength
                          : m.user.isEmpty() && m.files.empty() && m.token == 0);
            QVERIFY(ok[2]
                        ? r.queuedUploads >= 0 && (r.hasPicture || r.picture.isEmpty())
                        : r.description.isEmpty() && r.picture.isEmpty() && info.GetReadPos() == 0);
            // What parsed goes to the store only under a live request.
            const ItemPtr results = ok[1] ? StoreSearchResults("peer", m) : ItemPtr();
            QVERIFY(results.IsNull() || m.token == 1);
            if (!results.IsNull())
                results.Remove(), ++stored;
            for (int k = 0; k < 3; ++k)
                parsed[k] += ok[k];
        }
        d.RemoveDisconnectedItems();
        // The inputs reach past the inflate step and the checks.
        QVERIFY(parsed[0] > 400 && parsed[1] > 400 && parsed[2] > 400 && stored > 0);
        QCOMPARE(d.GetType("search_result")->ItemCount(), 0);
    }
};

QTEST_GUILESS_MAIN(TestPeerPayloads)
#include "test_peer_payloads.moc"
