#include <zlib.h>

#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>
#include <cstdlib>
#include <iterator>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "store/Data.h"
#include "store/DataSaver.h"
#include "store/Settings.h"

// ---------------------------------------------------------------------------
// Every allocation of the process goes through here, so a test can cap the
// size of any single one while the parser runs: a count read from a file
// must never turn into an allocation the file's own size does not justify.

namespace {
std::size_t g_allocLimit = 0;  // 0: no limit
std::size_t g_refused = 0;     // the size of the first refused request
}  // namespace

static void* Allocate(std::size_t n) {
    if (g_allocLimit && n > g_allocLimit) {
        if (!g_refused)
            g_refused = n;
        throw std::bad_alloc();
    }
    if (void* p = std::malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}

void* operator new(std::size_t n) {
    return Allocate(n);
}
void* operator new[](std::size_t n) {
    return Allocate(n);
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    try {
        return Allocate(n);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
    try {
        return Allocate(n);
    } catch (...) {
        return nullptr;
    }
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}

namespace {

constexpr quint32 kSeed = 0x5A7E5702;

// Parses with every single allocation capped in proportion to the input.
bool GuardedParse(const QByteArray& bytes, StagedStore& out, QString* failure) {
    // Staging may hold a few words per input byte, never more.
    g_allocLimit = std::size_t(bytes.size()) * 64 + (1u << 20);
    g_refused = 0;
    bool ok = false;
    try {
        ok = DataSaver::ParseStore(bytes, out, nullptr);
    } catch (const std::bad_alloc&) {
        g_allocLimit = 0;
        *failure = QString("allocation of %1 bytes for a %2-byte file")
                       .arg(qulonglong(g_refused))
                       .arg(bytes.size());
        return false;
    }
    g_allocLimit = 0;
    if (g_refused)
        *failure = QString("allocation of %1 bytes refused").arg(qulonglong(g_refused));
    return ok;
}

// What Apply relies on: every index and range of an accepted file is in bounds.
QString CheckStaged(const StagedStore& s) {
    for (const StagedStore::StagedItem& item : s.items) {
        if (item.type >= s.typeNames.size())
            return "type index out of range";
        if (item.kind != StagedStore::Valued && item.kind != StagedStore::Valueless &&
            item.kind != StagedStore::GlobalNull)
            return "unknown kind accepted";
        if (item.kind == StagedStore::Valued &&
            (std::uint64_t(item.valueOffset) + item.valueSize > std::uint64_t(s.bytes.size())))
            return "value outside the file";
    }
    for (const auto& link : s.links)
        if (link.first >= s.items.size() || link.second >= s.items.size() ||
            link.first == link.second)
            return "bad link accepted";
    return QString();
}

QByteArray WithCrc(QByteArray body) {
    const uLong crc = crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(body.constData()),
                            uInt(body.size()));
    for (int k = 0; k < 4; ++k)
        body.append(char((crc >> (8 * k)) & 0xFF));
    return body;
}

void PutVarint(QByteArray& out, std::uint64_t v) {
    while (v >= 0x80) {
        out.append(char((v & 0x7F) | 0x80));
        v >>= 7;
    }
    out.append(char(v));
}

// A varint of the file body: where it is and what it counts.
struct Field {
    int offset;
    int length;
    std::uint64_t value;
};

bool GetVarint(const QByteArray& b, int& pos, int end, std::uint64_t& v) {
    v = 0;
    for (int shift = 0; shift < 64 && pos < end; shift += 7) {
        const auto byte = std::uint8_t(b[pos++]);
        v |= std::uint64_t(byte & 0x7F) << shift;
        if (!(byte & 0x80))
            return true;
    }
    return false;
}

// Finds the varints and kind bytes of a body (without checksum) as far as it
// reads, so that mutations can aim at counts and indices.
void ScanFields(const QByteArray& body, std::vector<Field>& varints, std::vector<int>& kinds) {
    varints.clear();
    kinds.clear();
    const int end = body.size() - 4;  // before the end mark
    int pos = 12;
    auto next = [&](std::uint64_t& v) {
        const int start = pos;
        if (!GetVarint(body, pos, end, v))
            return false;
        varints.push_back({start, pos - start, v});
        return true;
    };
    std::uint64_t types = 0, items = 0, links = 0, v = 0;
    if (!next(types))
        return;
    for (std::uint64_t k = 0; k < types && k < 100000; ++k) {
        if (!next(v) || v > std::uint64_t(end - pos))
            return;
        pos += int(v);
    }
    if (!next(items))
        return;
    for (std::uint64_t k = 0; k < items && k < 100000; ++k) {
        if (!next(v) || pos >= end)
            return;
        kinds.push_back(pos);
        const auto kind = std::uint8_t(body[pos++]);
        if (kind == 0) {
            if (!next(v) || v > std::uint64_t(end - pos))
                return;
            pos += int(v);
        }
    }
    if (!next(links))
        return;
    for (std::uint64_t k = 0; k < 2 * links && k < 200000; ++k)
        if (!next(v))
            return;
}

const std::uint64_t kInteresting[] = {0,
                                      1,
                                      2,
                                      127,
                                      128,
                                      255,
                                      16383,
                                      16384,
                                      0x7FFFFFFFull,
                                      0xFFFFFFFFull,
                                      0x100000000ull,
                                      std::uint64_t(1) << 40,
                                      std::uint64_t(1) << 62,
                                      ~std::uint64_t(0) >> 1,
                                      ~std::uint64_t(0)};

class Mutator {
public:
    Mutator(QRandomGenerator& rng, const std::vector<QByteArray>& seeds)
        : m_rng(rng), m_seeds(seeds) {}

    int Below(int n) { return n <= 0 ? 0 : int(m_rng.bounded(quint32(n))); }

    // A mutated body of a seed file (magic, version, ..., end mark; no checksum).
    QByteArray Body() {
        const QByteArray& seed = m_seeds[std::size_t(Below(int(m_seeds.size())))];
        QByteArray body = seed.left(seed.size() - 4);
        const int rounds = 1 + Below(3);
        for (int r = 0; r < rounds; ++r)
            Mutate(body);
        return body;
    }

    void Mutate(QByteArray& b) {
        // Mostly aim past the fixed header, where the structure is.
        auto anywhere = [&](int size) {
            return size > 12 && Below(8) ? 12 + Below(size - 12) : Below(size);
        };
        switch (Below(11)) {
            case 0:  // flip bits
                if (!b.isEmpty())
                    for (int k = 1 + Below(4); k > 0; --k) {
                        const int pos = anywhere(b.size());
                        b[pos] = char(b[pos] ^ (1 << Below(8)));
                    }
                break;
            case 1:  // replace a byte
                if (!b.isEmpty())
                    b[anywhere(b.size())] = char(Below(256));
                break;
            case 2:  // truncate, sometimes keeping the end mark
                b.truncate(anywhere(b.size() + 1));
                if (Below(2))
                    b.append("TEND");
                break;
            case 3: {  // insert random bytes
                QByteArray junk;
                for (int k = 1 + Below(16); k > 0; --k)
                    junk.append(char(Below(256)));
                b.insert(anywhere(b.size() + 1), junk);
                break;
            }
            case 4: {  // delete a region
                const int pos = anywhere(b.size());
                b.remove(pos, 1 + Below(32));
                break;
            }
            case 5: {  // duplicate a region
                if (b.isEmpty())
                    break;
                const int pos = anywhere(b.size());
                const QByteArray region = b.mid(pos, 1 + Below(64));
                b.insert(anywhere(b.size() + 1), region);
                break;
            }
            case 6: {  // splice in a stretch of another seed
                const QByteArray& other = m_seeds[std::size_t(Below(int(m_seeds.size())))];
                const int from = Below(other.size());
                b.insert(anywhere(b.size() + 1), other.mid(from, 1 + Below(128)));
                break;
            }
            case 7:
            case 8:
            case 9: {  // set a count, length or index to an awkward value
                std::vector<Field> varints;
                std::vector<int> kinds;
                ScanFields(b, varints, kinds);
                if (varints.empty())
                    break;
                const Field f = varints[std::size_t(Below(int(varints.size())))];
                QByteArray encoded;
                const int how = Below(4);
                std::uint64_t value = kInteresting[Below(int(std::size(kInteresting)))];
                if (how == 1)
                    value = f.value + 1;
                else if (how == 2)
                    value = f.value ? f.value - 1 : 0;
                PutVarint(encoded, value);
                if (how == 3) {  // the same value, encoded too long
                    encoded.clear();
                    std::uint64_t v = f.value;
                    for (int k = 0; k < 9 + Below(3); ++k) {
                        encoded.append(char((v & 0x7F) | 0x80));
                        v >>= 7;
                    }
                    encoded.append(char(0));
                }
                b.replace(f.offset, f.length, encoded);
                break;
            }
            case 10: {  // change an item's kind
                std::vector<Field> varints;
                std::vector<int> kinds;
                ScanFields(b, varints, kinds);
                if (kinds.empty())
                    break;
                b[kinds[std::size_t(Below(int(kinds.size())))]] =
                    char(Below(2) ? Below(4) : Below(256));
                break;
            }
        }
    }

private:
    QRandomGenerator& m_rng;
    const std::vector<QByteArray>& m_seeds;
};

void Declare(DataSaver* saver) {
    DeclareSettingsTypes(saver);
    Type* folder = d.NewType("shared_folder", PrimacyRoot, false, true);
    Type* fileFolder = d.NewType("shared_file_folder", PrimacyIntermediate, false, true);
    Type* file = d.NewType("shared_file", PrimacyIntermediate, true, false);
    Type* name = d.NewType("shared_file_name", PrimacyIntermediate, false, true);
    Type* scanned = d.NewType("is_scanned", PrimacyLeaf, true, false);
    Type* user = d.NewType("user", PrimacyRoot, false, true);
    Type* inList = d.NewType("in_user_list", PrimacyIntermediate, true, false);
    Type* group = d.NewType("user_list_group", PrimacyLeaf, false, true);
    folder->RelateToType(fileFolder, One, Many, true);
    fileFolder->RelateToType(file, One, Many, true);
    file->RelateToType(name, Many, One, false);
    folder->RelateToType(scanned, Many, One, false);
    user->RelateToType(inList, One, One, false);
    inList->RelateToType(group, Many, Many, false);
    if (!saver)
        return;
    saver->AddSavedByConnectionType("shared_file_name", "shared_file");
    saver->AddSavedByConnectionType("shared_file", "shared_file_folder");
    saver->AddSavedByConnectionType("shared_file_folder", "shared_folder");
    saver->AddSavedType("shared_folder");
    saver->AddSavedType("is_scanned");
    saver->AddSavedType("in_user_list");
    saver->AddSavedByConnectionType("user", "in_user_list");
    saver->AddSavedByConnectionType("user_list_group", "in_user_list");
}

void Populate(int scale) {
    SetSetting("username", "alice");
    SetSetting("download_folder", std::string("/home/\xe9t\xe9", 9));
    SetSetting("empty", "");
    Type* folders = d.GetType("shared_folder");
    for (int f = 0; f < scale; ++f) {
        ItemPtr folder = folders->GetItem("/share/" + std::to_string(f));
        if (f % 2)
            folder.NewItem("is_scanned");
        ItemPtr sub = folder.Connect(
            d.GetType("shared_file_folder")->GetItem("/share/" + std::to_string(f) + "/sub"));
        for (int k = 0; k < 3; ++k) {
            ItemPtr file = d.GetType("shared_file")->NewItem();
            sub.Connect(file);
            file.Connect(d.GetType("shared_file_name")->GetItem("file" + std::to_string(k)));
        }
    }
    for (int u = 0; u < scale; ++u) {
        ItemPtr list =
            d.GetType("user")->GetItem("user" + std::to_string(u)).NewItem("in_user_list");
        list.Connect(d.GetType("user_list_group")->GetItem(std::string(u % 3, 'g')));
    }
}

QByteArray Seed(int scale) {
    d.Reset();
    DataSaver saver;
    Declare(&saver);
    Populate(scale);
    QTemporaryDir dir;
    const QString prefix = dir.filePath(".Tavenook");
    if (!saver.Save(prefix))
        return QByteArray();
    QFile f(DataSaver::StoreFiles(prefix).value(0));
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.readAll();
}

// No "one" end holds more than one partner, whatever the file said.
QString CheckArity() {
    for (Type* t : d.TypesInOrder()) {
        std::map<Type*, RelationInfo> related;
        t->GetRelatedTypes(related);
        for (const auto& rel : related) {
            if (rel.second.otherPerThis != One)
                continue;
            for (const ItemPtr& x : t->GetItems())
                if (x.CountItems(rel.first->GetName().c_str()) > 1)
                    return QString::fromStdString(t->GetName() + " -> " + rel.first->GetName());
        }
    }
    return QString();
}

}  // namespace

class TestSaverFuzz : public QObject {
    Q_OBJECT

private slots:
    void init() { d.Reset(); }
    void cleanup() { d.Reset(); }

    void hugeCountsAllocateNothing();
    void randomBytes();
    void mutatedFiles();
    void mutatedFilesThroughLoad();
};

void TestSaverFuzz::hugeCountsAllocateNothing() {
    // The cap is in force: without it the checks below would prove nothing.
    g_allocLimit = 4096;
    g_refused = 0;
    bool refused = false;
    try {
        std::vector<char> big(std::size_t(1) << 20);
        big[0] = 1;
    } catch (const std::bad_alloc&) {
        refused = true;
    }
    g_allocLimit = 0;
    QVERIFY(refused);
    QCOMPARE(g_refused, std::size_t(1) << 20);

    auto header = [] {
        QByteArray b("TVNKSTOR");
        b.append("\x01\x00\x00\x00", 4);
        return b;
    };
    std::vector<std::pair<const char*, QByteArray>> cases;
    for (std::uint64_t huge : {std::uint64_t(1) << 40, std::uint64_t(1) << 32,
                               std::uint64_t(0xFFFFFFFF), ~std::uint64_t(0)}) {
        QByteArray types = header();
        PutVarint(types, huge);
        cases.emplace_back("type count", types);

        QByteArray name = header();
        PutVarint(name, 1);
        PutVarint(name, huge);
        cases.emplace_back("type name length", name);

        QByteArray items = header();
        PutVarint(items, 1);
        PutVarint(items, 1);
        items.append("u");
        PutVarint(items, huge);
        cases.emplace_back("item count", items);

        QByteArray value = header();
        PutVarint(value, 1);
        PutVarint(value, 1);
        value.append("u");
        PutVarint(value, 1);
        PutVarint(value, 0);
        value.append(char(0));
        PutVarint(value, huge);
        cases.emplace_back("value length", value);

        QByteArray links = header();
        PutVarint(links, 0);
        PutVarint(links, 0);
        PutVarint(links, huge);
        cases.emplace_back("link count", links);
    }
    for (auto& c : cases) {
        for (int padding : {0, 16, 4096}) {
            const QByteArray file = WithCrc(c.second + QByteArray(padding, '\0') + "TEND");
            StagedStore staged;
            QString failure;
            QVERIFY2(!GuardedParse(file, staged, &failure), c.first);
            QVERIFY2(failure.isEmpty(), qPrintable(QString(c.first) + ": " + failure));
        }
    }
}

void TestSaverFuzz::randomBytes() {
    QRandomGenerator rng(kSeed);
    d.Reset();
    Declare(nullptr);
    for (int iteration = 0; iteration < 4000; ++iteration) {
        QByteArray bytes;
        const int size = int(rng.bounded(600u));
        for (int k = 0; k < size; ++k)
            bytes.append(char(rng.bounded(256u)));
        // Half of them get a real header, end mark and checksum around the noise.
        if (iteration % 2) {
            QByteArray body("TVNKSTOR");
            body.append("\x01\x00\x00\x00", 4);
            bytes = WithCrc(body + bytes + "TEND");
        }
        StagedStore staged;
        QString failure;
        const bool ok = GuardedParse(bytes, staged, &failure);
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
        if (ok) {
            QVERIFY2(CheckStaged(staged).isEmpty(), qPrintable(CheckStaged(staged)));
            DataSaver::Apply(staged);
        }
    }
    QVERIFY2(CheckArity().isEmpty(), qPrintable(CheckArity()));
}

void TestSaverFuzz::mutatedFiles() {
    std::vector<QByteArray> seeds{Seed(1), Seed(3), Seed(12)};
    for (const QByteArray& s : seeds)
        QVERIFY(s.size() > 24);
    QRandomGenerator rng(kSeed + 1);
    Mutator mutator(rng, seeds);

    d.Reset();
    Declare(nullptr);
    int accepted = 0, applied = 0, rejected = 0;
    QElapsedTimer timer;
    timer.start();
    for (int iteration = 0; iteration < 100000; ++iteration) {
        QByteArray body = mutator.Body();
        QByteArray file;
        switch (iteration % 10) {
            case 0:  // the checksum of the seed, now wrong
                file = body + seeds[0].right(4);
                break;
            case 1:  // any checksum
                file = body + QByteArray::number(iteration).left(4);
                break;
            default:  // a good checksum: the structure checks must hold alone
                file = WithCrc(body);
        }
        StagedStore staged;
        QString failure;
        const bool ok = GuardedParse(file, staged, &failure);
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
        if (!ok) {
            ++rejected;
            continue;
        }
        ++accepted;
        const QString problem = CheckStaged(staged);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        if (iteration % 3 == 0) {
            DataSaver::Apply(staged);
            if (++applied % 100 == 0) {
                QVERIFY2(CheckArity().isEmpty(), qPrintable(CheckArity()));
                d.Reset();
                Declare(nullptr);
            }
        }
    }
    QVERIFY2(CheckArity().isEmpty(), qPrintable(CheckArity()));
    // The fuzzing reached past the checksum both ways.
    QVERIFY(accepted > 2000);
    QVERIFY(rejected > 20000);
    qInfo("%d accepted, %d rejected, %d applied in %lld ms", accepted, rejected, applied,
          timer.elapsed());
}

void TestSaverFuzz::mutatedFilesThroughLoad() {
    const QByteArray older = Seed(2);
    const std::vector<QByteArray> seeds{Seed(4)};
    QRandomGenerator rng(kSeed + 2);
    Mutator mutator(rng, seeds);

    for (int iteration = 0; iteration < 40; ++iteration) {
        const QByteArray mutated = WithCrc(mutator.Body());
        StagedStore staged;
        const bool parses = DataSaver::ParseStore(mutated, staged, nullptr);

        QTemporaryDir dir;
        const QString prefix = dir.filePath(".Tavenook");
        {
            QFile f(prefix + ".100");
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(older);
        }
        {
            QFile f(prefix + ".200");
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(mutated);
        }
        d.Reset();
        DataSaver saver;
        Declare(&saver);
        SetSetting("username", "default");
        saver.Load(prefix);
        QVERIFY(CheckArity().isEmpty());
        QCOMPARE(QFile::exists(prefix + ".200"), parses);
        QCOMPARE(QFile::exists(prefix + ".200.unreadable"), !parses);
        if (!parses) {
            // The older file alone: its second user and nothing of the fourth.
            QVERIFY(!d.GetType("user")->HasItem("user1").IsNull());
            QVERIFY(d.GetType("user")->HasItem("user3").IsNull());
            QCOMPARE(GetSetting("username"), QString("alice"));
        }
    }

    // Nothing readable at all.
    QTemporaryDir dir;
    const QString prefix = dir.filePath(".Tavenook");
    for (int k = 0; k < 5; ++k) {
        QFile f(prefix + "." + QString::number(k + 1));
        QVERIFY(f.open(QIODevice::WriteOnly));
        QByteArray body = mutator.Body();
        body.truncate(body.size() - 4 - k);  // no end mark
        f.write(k % 2 ? WithCrc(body) : body);
    }
    d.Reset();
    DataSaver saver;
    Declare(&saver);
    SetSetting("username", "default");
    QVERIFY_EXCEPTION_THROWN(saver.Load(prefix), DataLoadFailure);
    QCOMPARE(GetSetting("username"), QString("default"));
    QVERIFY(DataSaver::StoreFiles(prefix).isEmpty());
}

QTEST_GUILESS_MAIN(TestSaverFuzz)
#include "test_saver_fuzz.moc"
