// Behaviour of the in-memory item store: types, items, links, events, path
// handlers, the sweep, settings items and Renew.

#include <QObject>
#include <QTextCodec>
#include <QtTest>
#include <algorithm>
#include <climits>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "store/Data.h"
#include "store/GeneralFunctions.h"
#include "store/Settings.h"

namespace {

// Names given to valueless items so that logs stay readable.
std::map<std::uint64_t, QString> g_labels;

QString Name(const ItemPtr& x) {
    if (x.IsNull())
        return QStringLiteral("null");
    auto it = g_labels.find(x.GetId());
    if (it != g_labels.end())
        return it->second;
    return x.AsString();
}

ItemPtr Label(const ItemPtr& x, const QString& name) {
    g_labels[x.GetId()] = name;
    return x;
}

QStringList Names(const ItemSet& set) {
    QStringList out;
    for (const ItemPtr& x : set)
        out << Name(x);
    return out;
}

QStringList Names(const std::list<ItemPtr>& list) {
    QStringList out;
    for (const ItemPtr& x : list)
        out << Name(x);
    return out;
}

QStringList Sorted(QStringList list) {
    list.sort();
    return list;
}

ItemSet Set(std::initializer_list<ItemPtr> items) {
    ItemSet out;
    for (const ItemPtr& x : items)
        out.Insert(x);
    return out;
}

// Records what it is told, as "tag:item" or "tag:from>to", and runs an
// optional hook afterwards.
class Probe : public DataHandler {
public:
    Probe(QString tag, QStringList* log) : m_tag(std::move(tag)), mp_log(log) {}

    void OnItem(ItemPtr x) {
        ++calls;
        last = x;
        if (mp_log)
            mp_log->append(m_tag + ':' + Name(x));
        if (onItem)
            onItem(x);
    }
    void OnItemRef(const ItemPtr& x) { OnItem(x); }
    void OnConn(ConnectionInfo& info) {
        ++calls;
        lastInfo = info;
        if (mp_log)
            mp_log->append(m_tag + ':' + Name(info.from) + '>' + Name(info.to));
        if (onConn)
            onConn(info);
    }
    void OnConnByValue(ConnectionInfo info) { OnConn(info); }

    EventHandlerBase<ItemPtr>* ItemH() { return ItemHandler(this, &Probe::OnItem); }
    EventHandlerBase<ConnectionInfo&>* ConnH() { return ConnectionHandler(this, &Probe::OnConn); }
    void Watch(Event<ItemPtr>& event) { event.Insert(ItemH()); }
    void Watch(Event<ConnectionInfo&>& event) { event.Insert(ConnH()); }
    void WatchPath(PathNode* root) { d.AddPathEventHandler(root, ItemH()); }

    int calls = 0;
    ItemPtr last;
    ConnectionInfo lastInfo;
    std::function<void(const ItemPtr&)> onItem;
    std::function<void(ConnectionInfo&)> onConn;

private:
    QString m_tag;
    QStringList* mp_log;
};

// Logs the connection and disconnection events of some types as
// "type+:from>to" and "type-:from>to".
class LinkLog {
public:
    explicit LinkLog(std::initializer_list<Type*> types) {
        for (Type* t : types) {
            const QString name = QString::fromStdString(t->GetName());
            m_probes.push_back(std::make_unique<Probe>(name + '+', &log));
            m_probes.back()->Watch(t->ConnectedEvent());
            m_probes.back()->onConn = [](ConnectionInfo& info) {
                QVERIFY(info.from.IsConnected(info.to));
            };
            m_probes.push_back(std::make_unique<Probe>(name + '-', &log));
            m_probes.back()->Watch(t->DisconnectedEvent());
            // The cut link is already gone when its handlers run.
            m_probes.back()->onConn = [](ConnectionInfo& info) {
                QVERIFY(!info.from.IsConnected(info.to));
            };
        }
    }
    LinkLog(const LinkLog&) = delete;
    LinkLog& operator=(const LinkLog&) = delete;

    QStringList log;

private:
    std::vector<std::unique_ptr<Probe>> m_probes;
};

// Deletes itself from inside its own handler.
class SelfDestroyer : public DataHandler {
public:
    explicit SelfDestroyer(int* calls) : mp_calls(calls) {}
    void OnItem(ItemPtr) {
        ++*mp_calls;
        delete this;
    }
    EventHandlerBase<ItemPtr>* ItemH() { return ItemHandler(this, &SelfDestroyer::OnItem); }

private:
    int* mp_calls;
};

// A form whose destructor changes the store, after switching its handlers off.
class ClosingForm : public DataHandler {
public:
    ClosingForm(ItemPtr own, int* calls) : m_own(own), mp_calls(calls) {
        own.GetType()->ItemRemovedEvent().Insert(ItemHandler(this, &ClosingForm::OnRemoved));
    }
    ~ClosingForm() override {
        DisableHandlers();
        m_own.Remove();
    }
    void OnRemoved(ItemPtr) { ++*mp_calls; }

private:
    ItemPtr m_own;
    int* mp_calls;
};

// Restores the code-page fallback whatever a test leaves behind.
struct CodecGuard {
    QTextCodec* saved = GetFallbackCodec();
    ~CodecGuard() { SetFallbackCodec(saved); }
};

// The people, rooms and flags the path patterns of the program work on.
void DeclarePeople() {
    Type* user = d.NewType("user", PrimacyRoot, false, true);
    Type* room = d.NewType("room", PrimacyRoot, false, true);
    Type* online = d.NewType("is_online", PrimacyLeaf, true, false);
    Type* ignored = d.NewType("is_ignored", PrimacyLeaf, true, false);
    Type* note = d.NewType("user_note", PrimacyLeaf, false, true);
    Type* list = d.NewType("in_user_list", PrimacyIntermediate, true, false);
    Type* group = d.NewType("user_list_group", PrimacyRoot, false, true);
    Type* files = d.NewType("shared_file_count", PrimacyLeaf, false, true);
    Type* ops = d.NewType("room_operators", PrimacyIntermediate, true, false);
    Type* country = d.NewType("country_code", PrimacyLeaf, false, true);
    user->RelateToType(room, Many, Many, false);
    user->RelateToType(online, Many, One, false);
    user->RelateToType(ignored, Many, One, false);
    user->RelateToType(note, Many, One, false);
    user->RelateToType(list, One, One, false);
    list->RelateToType(group, Many, Many, false);
    user->RelateToType(files, Many, One, false);
    room->RelateToType(ops, One, One, true);
    user->RelateToType(ops, Many, Many, false);
    user->RelateToType(country, Many, One, false);
}

ItemPtr User(const char* name) {
    return d.GetType("user")->GetItem(name);
}
ItemPtr Room(const char* name) {
    return d.GetType("room")->GetItem(name);
}

// Adds a pattern "root type -> one child" and returns nothing; the store owns it.
void WatchChild(Probe& probe, const char* rootType, const char* child, PathNodeRelation rel) {
    auto* root = new PathNode(&d, rootType);
    new PathNode(root, child, rel);
    probe.WatchPath(root);
}

}  // namespace

namespace QTest {
template <>
char* toString(const ItemPtr& x) {
    return qstrdup(qPrintable(Name(x)));
}
}  // namespace QTest

class TestData : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void typesAndNames();
    void relationsAndMisuse();
    void lookupsCreateOnlyWhenAsked();
    void valueForms();
    void numberAndTextReads();
    void connectAndDisconnect();
    void oneEndReplacesOldPartner();
    void itemNewItemRule();
    void removalOrder();
    void removedHandleStaysSafe();
    void itemSetOperations();
    void itemSetSorts();
    void dataQueries();
    void itemSubsetMatchesBruteForce();
    void itemEventsAndBinding();
    void handlerLifetime();
    void connectionPairHandlers();
    void resetDropsStoreWideHandlers();
    void pathSettingsWatcher();
    void pathAllFourChildren();
    void pathConnectingAndDisconnecting();
    void pathNotConnected();
    void pathNested();
    void pathBoundItemsAndOneCallPerRoot();
    void pathRemovedHandlers();
    void sweepOwnershipCascade();
    void sweepPrimacy();
    void sweepWhileHandlersChangeStore();
    void settingsHelpers();
    void renewKeepsHandlesAndWatchers();
    void largeLinkForm();
    void randomConsistency();
};

void TestData::init() {
    d.Reset();
    g_labels.clear();
}

void TestData::cleanup() {
    d.Reset();
    g_labels.clear();
}

// ---------------------------------------------------------------------------

void TestData::typesAndNames() {
    Type* beta = d.NewType("beta", PrimacyIntermediate, false, true);
    Type* alpha = d.NewType("alpha", PrimacyRoot, true, false);
    Type* zeta = d.NewType("Zeta", PrimacyLeaf, false, false);
    Type* accented = d.NewType("\xc3\xa9t\xc3\xa9", PrimacyLeaf, false, false);

    QCOMPARE(QString::fromStdString(alpha->GetName()), QString("alpha"));
    QVERIFY(alpha->IsNull());
    QVERIFY(!alpha->IsAutoCreate());
    QCOMPARE(alpha->GetPrimacy(), PrimacyRoot);
    QVERIFY(!beta->IsNull());
    QVERIFY(beta->IsAutoCreate());
    QCOMPARE(beta->GetPrimacy(), PrimacyIntermediate);
    QCOMPARE(zeta->GetPrimacy(), PrimacyLeaf);

    QCOMPARE(d.GetType("beta"), beta);
    QCOMPARE(d.GetType(std::string("alpha")), alpha);
    QCOMPARE(d.GetType("\xc3\xa9t\xc3\xa9"), accented);
    QVERIFY(d.HasType("Zeta"));
    QVERIFY(!d.HasType("zeta"));
    QVERIFY(!d.HasType("gamma"));
    QVERIFY_EXCEPTION_THROWN(d.GetType("gamma"), TypeNotFoundException);
    QVERIFY_EXCEPTION_THROWN(d.GetType(std::string("gamma")), TypeNotFoundException);

    // A second declaration is refused and the first one stands.
    QVERIFY_EXCEPTION_THROWN(d.NewType("beta", PrimacyRoot, true, false),
                             TypeAlreadyExistsException);
    QCOMPARE(d.GetType("beta"), beta);
    QVERIFY(!beta->IsNull());
    QCOMPARE(beta->GetPrimacy(), PrimacyIntermediate);

    // Byte order of the names: upper case before lower case, bytes above
    // 0x7f last.
    std::map<std::string, Type*> all;
    d.GetTypes(all);
    QStringList names;
    for (const auto& e : all)
        names << QString::fromStdString(e.first);
    QCOMPARE(names, QStringList({"Zeta", "alpha", "beta", QString::fromUtf8("\xc3\xa9t\xc3\xa9")}));
    QCOMPARE(all["beta"], beta);

    // Every operation that takes a type name refuses an unknown one.
    ItemPtr x = beta->GetItem("x");
    QVERIFY_EXCEPTION_THROWN(x["gamma"], TypeNotFoundException);
    QVERIFY_EXCEPTION_THROWN(x[std::string("gamma")], TypeNotFoundException);
    QVERIFY_EXCEPTION_THROWN(ItemPtr()["gamma"], TypeNotFoundException);
    QVERIFY_EXCEPTION_THROWN(x.GetItems("gamma"), TypeNotFoundException);
    QVERIFY_EXCEPTION_THROWN(x.IsConnected("gamma"), TypeNotFoundException);
    QVERIFY_EXCEPTION_THROWN(delete new PathNode(&d, "gamma"), TypeNotFoundException);
    auto* root = new PathNode(&d, "beta");
    QVERIFY_EXCEPTION_THROWN(new PathNode(root, "gamma", PathConnectedWatched),
                             TypeNotFoundException);
    QVERIFY(root->GetChildren().empty());
    delete root;
}

void TestData::relationsAndMisuse() {
    Type* owner = d.NewType("owner_t", PrimacyRoot, false, true);
    Type* owned = d.NewType("owned_u", PrimacyIntermediate, false, true);
    Type* flag = d.NewType("flag_f", PrimacyLeaf, true, false);
    Type* lone = d.NewType("lone", PrimacyRoot, false, true);

    // Each owned item links to one owner; an owner to many owned items.
    owner->RelateToType(owned, One, Many, true);
    const RelationInfo fromOwner = owner->GetRelation(owned);
    QCOMPARE(fromOwner.thisPerOther, One);
    QCOMPARE(fromOwner.otherPerThis, Many);
    QVERIFY(fromOwner.owns);
    QVERIFY(!fromOwner.ownedBy);
    const RelationInfo fromOwned = owned->GetRelation(owner);
    QCOMPARE(fromOwned.thisPerOther, Many);
    QCOMPARE(fromOwned.otherPerThis, One);
    QVERIFY(!fromOwned.owns);
    QVERIFY(fromOwned.ownedBy);

    owner->RelateToType(flag, Many, One, false);
    QVERIFY(owner->IsRelatedTo(owned));
    QVERIFY(owned->IsRelatedTo(owner));
    QVERIFY(!owner->IsRelatedTo(lone));
    QVERIFY(!owned->IsRelatedTo(flag));

    std::map<Type*, RelationInfo> related;
    owner->GetRelatedTypes(related);
    QCOMPARE(int(related.size()), 2);
    QVERIFY(related.count(owned) && related.count(flag));
    QCOMPARE(related[flag].otherPerThis, One);
    QCOMPARE(related[flag].thisPerOther, Many);
    QVERIFY(related[owned].owns);
    related.clear();
    owned->GetRelatedTypes(related);
    QCOMPARE(int(related.size()), 1);
    QVERIFY(related[owner].ownedBy);
    related.clear();
    lone->GetRelatedTypes(related);
    QVERIFY(related.empty());

    // Relating a pair twice, from either side, is refused and changes nothing.
    QVERIFY_EXCEPTION_THROWN(owner->RelateToType(owned, Many, Many, false),
                             AlreadyRelatedException);
    QVERIFY_EXCEPTION_THROWN(owned->RelateToType(owner, Many, Many, false),
                             AlreadyRelatedException);
    QVERIFY(owner->GetRelation(owned).owns);
    QCOMPARE(owner->GetRelation(owned).thisPerOther, One);
    QVERIFY_EXCEPTION_THROWN(owner->GetRelation(lone), NotRelatedException);

    // Connecting unrelated items raises and fires nothing.
    QStringList log;
    Probe connected("c", &log);
    connected.Watch(owner->ConnectedEvent());
    connected.Watch(lone->ConnectedEvent());
    ItemPtr x = owner->GetItem("x");
    ItemPtr y = lone->GetItem("y");
    QVERIFY_EXCEPTION_THROWN(x.Connect(y), NotRelatedException);
    QVERIFY_EXCEPTION_THROWN(y += x, NotRelatedException);
    QVERIFY(!x.IsConnected(y));
    QVERIFY(log.isEmpty());

    // Lookups on an unrelated type read as empty.
    QVERIFY(x["lone"].IsNull());
    QVERIFY(!x.IsConnected("lone"));
    QVERIFY(x.GetItems("lone").Empty());
    x.Disconnect("lone");
    x.Disconnect(y);
    QVERIFY(log.isEmpty());

    EventHandlerBase<ConnectionInfo&>* pair = connected.ConnH();
    QVERIFY_EXCEPTION_THROWN(d.AddConnectionEventHandler(owner, lone, pair), NotRelatedException);
    delete pair;

    // Value lookups on a valueless type, and valueless creation on a valued one.
    QVERIFY_EXCEPTION_THROWN(flag->GetItem("v"), NullTypeException);
    QVERIFY_EXCEPTION_THROWN((*flag)["v"], NullTypeException);
    QVERIFY_EXCEPTION_THROWN(flag->HasItem("v"), NullTypeException);
    QVERIFY_EXCEPTION_THROWN(flag->NewItem(Value("v")), NullTypeException);
    QVERIFY_EXCEPTION_THROWN(owner->NewItem(), NullTypeException);
    QVERIFY_EXCEPTION_THROWN(owner->GetGlobalNullItem(), NullTypeException);
    QVERIFY_EXCEPTION_THROWN(x.NewItem("owned_u"), NullTypeException);
    QCOMPARE(owned->ItemCount(), 0);
    QCOMPARE(flag->ItemCount(), 0);
    QVERIFY(x.IsDisconnectedFromAll());
}

void TestData::lookupsCreateOnlyWhenAsked() {
    Type* word = d.NewType("word", PrimacyRoot, false, true);
    Type* name = d.NewType("name", PrimacyRoot, false, false);
    QStringList log;
    Probe typeNew("type", &log), storeNew("store", &log);
    typeNew.Watch(word->NewItemEvent());
    typeNew.Watch(name->NewItemEvent());
    storeNew.Watch(d.NewItemEvent());

    // Auto-create: the first lookup creates, later ones find it.
    ItemPtr apple = word->GetItem("apple");
    QVERIFY(!apple.IsNull());
    QCOMPARE(apple.AsString(), QString("apple"));
    QCOMPARE(apple.GetType(), word);
    QCOMPARE(log, QStringList({"type:apple", "store:apple"}));
    QCOMPARE((*word)["apple"], apple);
    QCOMPARE(word->HasItem("apple"), apple);
    QCOMPARE(word->NewItem("apple"), apple);
    QCOMPARE(word->GetItem(QString("apple")), apple);
    QCOMPARE(word->GetItem(std::string("apple")), apple);
    QCOMPARE(word->GetItem(QByteArray("apple")), apple);
    QCOMPARE(log.size(), 2);
    QCOMPARE(word->ItemCount(), 1);

    // HasItem never creates, not even on an auto-create type.
    QVERIFY(word->HasItem("pear").IsNull());
    QCOMPARE(word->ItemCount(), 1);
    ItemPtr pear = (*word)["pear"];
    QVERIFY(!pear.IsNull());
    QVERIFY(pear != apple);
    QCOMPARE(word->ItemCount(), 2);

    // Without auto-create only NewItem(Value) creates.
    QVERIFY(name->GetItem("bob").IsNull());
    QVERIFY((*name)["bob"].IsNull());
    QVERIFY(name->HasItem("bob").IsNull());
    QCOMPARE(name->ItemCount(), 0);
    QCOMPARE(log.size(), 4);
    ItemPtr bob = name->NewItem("bob");
    QVERIFY(!bob.IsNull());
    QCOMPARE(log.size(), 6);
    QCOMPARE(name->GetItem("bob"), bob);
    QCOMPARE(name->HasItem("bob"), bob);
    QCOMPARE(name->NewItem("bob"), bob);
    QCOMPARE(log.size(), 6);
    QCOMPARE(name->ItemCount(), 1);

    // The same bytes in another type make another item.
    ItemPtr bobWord = word->GetItem("bob");
    QVERIFY(bobWord != bob);

    // Items in creation order, whatever their values.
    QCOMPARE(Names(word->GetItems()), QStringList({"apple", "pear", "bob"}));
    ItemSet mixed;
    mixed.Insert(bob);
    word->GetItems(mixed);
    QCOMPARE(mixed.Size(), 4);
    QCOMPARE(mixed.First(), apple);
    QVERIFY(mixed.Contains(bob));
    QVERIFY(apple < pear);
    QVERIFY(bob < bobWord);

    // A valueless type's items are distinct; the flag item is one of them.
    Type* entry = d.NewType("entry", PrimacyIntermediate, true, false);
    ItemPtr e1 = entry->NewItem(), e2 = entry->NewItem();
    QVERIFY(e1 != e2);
    ItemPtr shared = entry->GetGlobalNullItem();
    QCOMPARE(entry->GetGlobalNullItem(), shared);
    QVERIFY(shared != e1 && shared != e2);
    QCOMPARE(entry->ItemCount(), 3);
    QVERIFY(entry->GetItems().Contains(shared));
}

void TestData::valueForms() {
    static_assert(!std::is_constructible<Value, bool>::value, "no bool values");
    Type* v = d.NewType("val", PrimacyRoot, false, true);
    auto bytes = [&](const Value& value) { return v->GetItem(value).AsByteArray(); };

    QCOMPARE(bytes(QString::fromUtf8("h\xc3\xa9llo")), QByteArray("h\xc3\xa9llo"));
    QCOMPARE(bytes(QString::fromUtf8("ab\0cd", 5)), QByteArray("ab"));
    QCOMPARE(v->GetItem(QString::fromUtf8("ab\0cd", 5)), v->GetItem("ab"));
    QCOMPARE(bytes("plain"), QByteArray("plain"));
    QCOMPARE(bytes(std::string("a\0b", 3)), QByteArray("a\0b", 3));
    QCOMPARE(bytes(QByteArray("x\0y", 3)), QByteArray("x\0y", 3));

    // A char buffer is text, not an address.
    char buffer[] = "buffer";
    char* pointer = buffer;
    QCOMPARE(bytes(buffer), QByteArray("buffer"));
    QCOMPARE(bytes(pointer), QByteArray("buffer"));
    const char* constPointer = buffer;
    QCOMPARE(bytes(constPointer), QByteArray("buffer"));

    // Integers of every width, as decimal.
    QCOMPARE(bytes(std::int8_t(-5)), QByteArray("-5"));
    QCOMPARE(bytes(std::uint8_t(200)), QByteArray("200"));
    QCOMPARE(bytes(std::int16_t(-32768)), QByteArray("-32768"));
    QCOMPARE(bytes(std::uint16_t(65535)), QByteArray("65535"));
    QCOMPARE(bytes(std::int32_t(INT_MIN)), QByteArray("-2147483648"));
    QCOMPARE(bytes(std::uint32_t(4294967295u)), QByteArray("4294967295"));
    QCOMPARE(bytes(std::numeric_limits<std::int64_t>::min()), QByteArray("-9223372036854775808"));
    QCOMPARE(bytes(std::numeric_limits<std::uint64_t>::max()), QByteArray("18446744073709551615"));
    QCOMPARE(bytes(0), QByteArray("0"));
    QCOMPARE(bytes(-7L), QByteArray("-7"));
    QCOMPARE(bytes(42ULL), QByteArray("42"));
    QCOMPARE(bytes(qint64(1) << 40), QByteArray("1099511627776"));
    // The same number through different widths is one item.
    QCOMPARE(v->GetItem(std::uint8_t(42)), v->GetItem(42LL));
    QCOMPARE(v->GetItem(42), v->GetItem("42"));

    // Object pointers: the address in unsigned decimal, read back by AsUInt64.
    QObject object;
    const quint64 address = quint64(reinterpret_cast<std::uintptr_t>(&object));
    ItemPtr objectItem = v->GetItem(&object);
    QCOMPARE(objectItem.AsByteArray(), QByteArray::number(address));
    QCOMPARE(objectItem.AsUInt64(), address);
    QCOMPARE(reinterpret_cast<QObject*>(std::uintptr_t(objectItem.AsUInt64())), &object);
    const QObject* constObject = &object;
    QCOMPARE(v->GetItem(constObject), objectItem);
    int local = 0;
    QCOMPARE(bytes(&local), QByteArray::number(quint64(reinterpret_cast<std::uintptr_t>(&local))));

    // Empty values are values like any other.
    ItemPtr empty = v->GetItem("");
    QVERIFY(!empty.IsNull());
    QCOMPARE(v->GetItem(Value()), empty);
    QCOMPARE(v->GetItem(QString()), empty);
    QCOMPARE(v->GetItem(std::string()), empty);
    QVERIFY(v->GetItem("0") != empty);
    QVERIFY(empty.AsString().isEmpty());
    QVERIFY(empty.AsStdString().empty());
    QCOMPARE(empty.AsInt(), 0);

    // Values with bytes that are not UTF-8 are kept exactly and found by them.
    const std::string raw("a\xff\0b", 4);
    ItemPtr rawItem = v->GetItem(raw);
    QCOMPARE(rawItem.AsByteArray(), QByteArray(raw.data(), 4));
    QCOMPARE(int(rawItem.AsStdString().size()), 4);
    QCOMPARE(v->HasItem(raw), rawItem);
    QVERIFY(v->HasItem(std::string("a\xff", 2)).IsNull());
    QVERIFY(v->HasItem(std::string("a\xff\0c", 4)).IsNull());
}

void TestData::numberAndTextReads() {
    CodecGuard guard;
    SetFallbackCodec(nullptr);
    Type* v = d.NewType("val", PrimacyRoot, false, true);
    auto item = [&](const std::string& text) { return v->GetItem(text); };

    QCOMPARE(item("123").AsInt(), 123);
    QCOMPARE(item("123").AsUInt(), 123u);
    QCOMPARE(item("123").AsInt64(), qint64(123));
    QCOMPARE(item("123").AsUInt64(), quint64(123));
    QCOMPARE(item("-42").AsInt(), -42);
    QCOMPARE(item("-42").AsInt64(), qint64(-42));
    QCOMPARE(item("2147483647").AsInt(), INT_MAX);
    QCOMPARE(item("-2147483648").AsInt(), INT_MIN);
    QCOMPARE(item("4294967295").AsUInt(), 4294967295u);
    QCOMPARE(item("9223372036854775807").AsInt64(), std::numeric_limits<qint64>::max());
    QCOMPARE(item("18446744073709551615").AsUInt64(), std::numeric_limits<quint64>::max());

    // Too large for the width: 0.
    QCOMPARE(item("2147483648").AsInt(), 0);
    QCOMPARE(item("2147483648").AsUInt(), 2147483648u);
    QCOMPARE(item("2147483648").AsInt64(), qint64(2147483648LL));
    QCOMPARE(item("4294967296").AsUInt(), 0u);
    QCOMPARE(item("4294967296").AsInt64(), qint64(4294967296LL));
    QCOMPARE(item("9223372036854775808").AsInt64(), qint64(0));
    QCOMPARE(item("9223372036854775808").AsUInt64(), quint64(9223372036854775808ULL));
    QCOMPARE(item("18446744073709551616").AsUInt64(), quint64(0));
    QCOMPARE(item("99999999999999999999999").AsInt(), 0);

    // Not a number: 0.
    for (const char* text : {"abc", "12abc", "", "1.5", "0x10", "--1"}) {
        ItemPtr x = item(text);
        QCOMPARE(x.AsInt(), 0);
        QCOMPARE(x.AsUInt(), 0u);
        QCOMPARE(x.AsInt64(), qint64(0));
        QCOMPARE(x.AsUInt64(), quint64(0));
    }
    QCOMPARE(ItemPtr().AsInt(), 0);
    QCOMPARE(ItemPtr().AsUInt64(), quint64(0));

    // Text: UTF-8 when it is UTF-8, else Latin-1 without a code page.
    QCOMPARE(item("h\xc3\xa9llo").AsString(), QString::fromUtf8("h\xc3\xa9llo"));
    QCOMPARE(item("caf\xe9").AsString(), QString::fromLatin1("caf\xe9"));
    QCOMPARE(item(std::string("a\xff\0b", 4)).AsString(), QString::fromLatin1("a\xff\0b", 4));
    QVERIFY(ItemPtr().AsString().isEmpty());
    QVERIFY(ItemPtr().AsStdString().empty());
    QVERIFY(ItemPtr().AsByteArray().isEmpty());
}

void TestData::connectAndDisconnect() {
    Type* user = d.NewType("user", PrimacyRoot, false, true);
    Type* room = d.NewType("room", PrimacyRoot, false, true);
    Type* note = d.NewType("user_note", PrimacyLeaf, false, true);
    user->RelateToType(room, Many, Many, false);
    user->RelateToType(note, Many, One, false);
    LinkLog links({user, room});

    ItemPtr alice = user->GetItem("alice"), bob = user->GetItem("bob");
    ItemPtr zoo = room->GetItem("zoo"), art = room->GetItem("art"), mid = room->GetItem("mid");

    QCOMPARE(alice.Connect(zoo), zoo);
    QCOMPARE(Sorted(links.log), QStringList({"room+:zoo>alice", "user+:alice>zoo"}));
    QCOMPARE((alice += art), art);
    QCOMPARE(links.log.size(), 4);

    // Linking linked items again fires nothing, from either side.
    alice.Connect(zoo);
    zoo.Connect(alice);
    alice += zoo;
    art += alice;
    QCOMPARE(links.log.size(), 4);

    QVERIFY(alice.IsConnected(zoo));
    QVERIFY(zoo.IsConnected(alice));
    QVERIFY(!alice.IsConnected(mid));
    QVERIFY(alice.IsConnected("room"));
    QVERIFY(zoo.IsConnected("user"));
    QVERIFY(!alice.IsConnected("user_note"));
    QVERIFY(!bob.IsConnected("room"));
    QVERIFY(bob.IsDisconnectedFromAll());
    QVERIFY(!alice.IsDisconnectedFromAll());
    QVERIFY(mid.IsDisconnectedFromAll());
    QVERIFY(!ItemPtr().IsConnected(zoo));
    QVERIFY(!alice.IsConnected(ItemPtr()));
    QVERIFY(!ItemPtr().IsConnected("room"));

    // Partners in creation order, whatever the order of linking.
    alice += mid;
    QCOMPARE(Names(alice.GetItems("room")), QStringList({"zoo", "art", "mid"}));
    mid += bob;
    art += bob;
    QCOMPARE(Names(bob.GetItems("room")), QStringList({"art", "mid"}));
    QCOMPARE(alice["room"], zoo);
    QCOMPARE(alice.HasItem("room"), zoo);
    QCOMPARE(alice.GetItem("room"), zoo);
    QCOMPARE(bob["room"], art);
    QCOMPARE(alice.CountItems("room"), 3);
    QCOMPARE(Names(art.GetItems("user")), QStringList({"alice", "bob"}));
    ItemSet appended = Set({bob});
    zoo.GetItems("user", appended);
    QCOMPARE(Names(appended), QStringList({"alice", "bob"}));
    QVERIFY(ItemPtr().GetItems("room").Empty());
    QVERIFY(ItemPtr()["room"].IsNull());

    // Unlinking items that are not linked fires nothing.
    links.log.clear();
    bob -= zoo;
    zoo.Disconnect(bob);
    bob.Disconnect(ItemPtr());
    alice.Disconnect("user_note");
    QVERIFY(links.log.isEmpty());

    alice -= art;
    QCOMPARE(Sorted(links.log), QStringList({"room-:art>alice", "user-:alice>art"}));
    QVERIFY(!alice.IsConnected(art));
    alice.Disconnect(art);
    art -= alice;
    QCOMPARE(links.log.size(), 2);

    // Disconnect(type): one event per link, on both types.
    links.log.clear();
    bob.Disconnect("room");
    QCOMPARE(Sorted(links.log),
             QStringList({"room-:art>bob", "room-:mid>bob", "user-:bob>art", "user-:bob>mid"}));
    QVERIFY(bob.IsDisconnectedFromAll());
    links.log.clear();
    bob.Disconnect("room");
    QVERIFY(links.log.isEmpty());

    // Partners grouped by type in declaration order.
    alice += note->GetItem("hi");
    TypeItemsMap map;
    alice.GetConnectedItems(map);
    QCOMPARE(map.Size(), 2);
    auto it = map.Begin();
    QCOMPARE(it.GetType(), room);
    QCOMPARE(Names(it.Set()), QStringList({"zoo", "mid"}));
    ++it;
    QCOMPARE(it.GetType(), note);
    QCOMPARE(Names(it.Set()), QStringList({"hi"}));
    ++it;
    QVERIFY(it == map.End());
    bob.GetConnectedItems(map);
    QCOMPARE(map.Size(), 0);
}

void TestData::largeLinkForm() {
    // An item with hundreds of partners keeps them in another form; it must
    // still take partners of further types, lose whole groups and regain them.
    Type* hub = d.NewType("hub", PrimacyRoot, false, true);
    Type* many = d.NewType("many", PrimacyRoot, false, true);
    Type* second = d.NewType("second", PrimacyRoot, false, true);
    Type* third = d.NewType("third", PrimacyRoot, false, true);
    hub->RelateToType(many, Many, Many, false);
    hub->RelateToType(second, Many, Many, false);
    hub->RelateToType(third, Many, One, false);
    ItemPtr h = hub->GetItem("h");
    std::vector<ItemPtr> partners;
    for (int k = 0; k < 1000; ++k) {
        partners.push_back(many->GetItem(k));
        h += partners.back();
    }
    QCOMPARE(h.CountItems("many"), 1000);
    ItemPtr s1 = second->GetItem("s1"), s2 = second->GetItem("s2");
    h += s2;
    h += s1;
    QCOMPARE(Names(h.GetItems("second")), QStringList({"s1", "s2"}));
    ItemPtr t1 = third->GetItem("t1"), t2 = third->GetItem("t2");
    h += t1;
    h += t2;
    QCOMPARE(Names(h.GetItems("third")), QStringList({"t2"}));
    QCOMPARE(h.CountItems("many"), 1000);
    QVERIFY(h.IsConnected(partners[0]) && h.IsConnected(partners[999]));
    QCOMPARE(h.GetItems("many").Size(), 1000);
    QCOMPARE(h.GetItems("many").Items()[700], partners[700]);

    // Empty a group, then fill it again.
    h.Disconnect("second");
    QVERIFY(!h.IsConnected("second"));
    h += s1;
    QCOMPARE(h["second"], s1);
    for (int k = 0; k < 1000; k += 2)
        partners[std::size_t(k)].Remove();
    QCOMPARE(h.CountItems("many"), 500);
    QCOMPARE(h.GetItems("many").Items()[250], partners[501]);
    h.Disconnect("many");
    QVERIFY(!h.IsConnected("many"));
    h += partners[1];
    QCOMPARE(h["many"], partners[1]);
    QCOMPARE(h.CountItems("many"), 1);
    QVERIFY(h.IsConnected(t2) && h.IsConnected(s1));
}

void TestData::oneEndReplacesOldPartner() {
    // "One" at the T end: each U item links to one T item.
    {
        Type* t = d.NewType("t1", PrimacyRoot, false, true);
        Type* u = d.NewType("u1", PrimacyRoot, false, true);
        t->RelateToType(u, One, Many, false);
        LinkLog links({t, u});
        ItemPtr a = t->GetItem("a"), b = t->GetItem("b"), x = u->GetItem("x"), y = u->GetItem("y");
        a += x;
        a += y;  // a may have many
        QVERIFY(a.IsConnected(x) && a.IsConnected(y));
        links.log.clear();
        b += x;
        QCOMPARE(Sorted(links.log.mid(0, 2)), QStringList({"t1-:a>x", "u1-:x>a"}));
        QCOMPARE(Sorted(links.log.mid(2)), QStringList({"t1+:b>x", "u1+:x>b"}));
        QVERIFY(!a.IsConnected(x));
        QVERIFY(b.IsConnected(x));
        QVERIFY(a.IsConnected(y));
        // From the other side.
        links.log.clear();
        x.Connect(a);
        QCOMPARE(Sorted(links.log.mid(0, 2)), QStringList({"t1-:b>x", "u1-:x>b"}));
        QCOMPARE(Sorted(links.log.mid(2)), QStringList({"t1+:a>x", "u1+:x>a"}));
        QCOMPARE(Names(a.GetItems("u1")), QStringList({"x", "y"}));
        QVERIFY(b.IsDisconnectedFromAll());
    }
    // "One" at the U end: each T item links to one U item.
    {
        Type* t = d.NewType("t2", PrimacyRoot, false, true);
        Type* u = d.NewType("u2", PrimacyRoot, false, true);
        t->RelateToType(u, Many, One, false);
        LinkLog links({t, u});
        ItemPtr a = t->GetItem("a"), b = t->GetItem("b"), x = u->GetItem("x"), y = u->GetItem("y");
        a += x;
        b += x;  // x may have many
        links.log.clear();
        a.Connect(y);
        QCOMPARE(Sorted(links.log.mid(0, 2)), QStringList({"t2-:a>x", "u2-:x>a"}));
        QCOMPARE(Sorted(links.log.mid(2)), QStringList({"t2+:a>y", "u2+:y>a"}));
        QCOMPARE(a["u2"], y);
        QVERIFY(b.IsConnected(x));
        links.log.clear();
        x += a;
        QCOMPARE(Sorted(links.log.mid(0, 2)), QStringList({"t2-:a>y", "u2-:y>a"}));
        QCOMPARE(Sorted(links.log.mid(2)), QStringList({"t2+:a>x", "u2+:x>a"}));
        QCOMPARE(Names(x.GetItems("t2")), QStringList({"a", "b"}));
    }
    // One to one: both old partners go before the new link is made.
    {
        Type* t = d.NewType("t3", PrimacyRoot, false, true);
        Type* u = d.NewType("u3", PrimacyRoot, false, true);
        t->RelateToType(u, One, One, false);
        LinkLog links({t, u});
        ItemPtr a = t->GetItem("a"), b = t->GetItem("b"), x = u->GetItem("x"), y = u->GetItem("y");
        a += x;
        b += y;
        links.log.clear();
        a += y;
        QCOMPARE(links.log.size(), 6);
        QCOMPARE(Sorted(links.log.mid(0, 4)),
                 QStringList({"t3-:a>x", "t3-:b>y", "u3-:x>a", "u3-:y>b"}));
        QCOMPARE(Sorted(links.log.mid(4)), QStringList({"t3+:a>y", "u3+:y>a"}));
        QVERIFY(x.IsDisconnectedFromAll());
        QVERIFY(b.IsDisconnectedFromAll());
        QCOMPARE(a["u3"], y);
    }
}

void TestData::itemNewItemRule() {
    Type* user = d.NewType("user", PrimacyRoot, false, true);
    Type* list = d.NewType("in_user_list", PrimacyIntermediate, true, false);
    Type* online = d.NewType("is_online", PrimacyLeaf, true, false);
    Type* entry = d.NewType("download_entry", PrimacyIntermediate, true, false);
    Type* note = d.NewType("user_note", PrimacyLeaf, false, true);
    user->RelateToType(list, One, One, false);
    user->RelateToType(online, Many, One, false);
    user->RelateToType(entry, One, Many, false);
    user->RelateToType(note, Many, One, false);
    QStringList log;
    Probe created("new", &log), linked("link", &log);
    created.Watch(d.NewItemEvent());
    linked.Watch(user->ConnectedEvent());
    ItemPtr alice = user->GetItem("alice"), bob = user->GetItem("bob"),
            carol = user->GetItem("carol");
    log.clear();

    // One to one: a new item per owner, then the existing one.
    ItemPtr aliceList = alice.NewItem("in_user_list");
    QVERIFY(!aliceList.IsNull());
    QVERIFY(alice.IsConnected(aliceList));
    QVERIFY(!aliceList.GetItemObject()->IsGlobalNull());
    QCOMPARE(log, QStringList({"new:", "link:alice>"}));
    QCOMPARE(alice.NewItem("in_user_list"), aliceList);
    QCOMPARE(log.size(), 2);
    ItemPtr bobList = bob.NewItem("in_user_list");
    QVERIFY(bobList != aliceList);
    QCOMPARE(list->ItemCount(), 2);

    // One partner here, many on the other side: the shared flag item.
    ItemPtr flag = alice.NewItem("is_online");
    QCOMPARE(flag, online->GetGlobalNullItem());
    QVERIFY(flag.GetItemObject()->IsGlobalNull());
    QCOMPARE(bob.NewItem("is_online"), flag);
    QCOMPARE(alice.NewItem("is_online"), flag);
    QCOMPARE(online->ItemCount(), 1);
    QCOMPARE(Names(flag.GetItems("user")), QStringList({"alice", "bob"}));
    // An existing partner is returned even when it is not the shared item.
    ItemPtr own = online->NewItem();
    carol += own;
    QCOMPARE(carol.NewItem("is_online"), own);
    QCOMPARE(carol.CountItems("is_online"), 1);

    // Many partners allowed: a new item every time.
    ItemPtr e1 = alice.NewItem("download_entry");
    ItemPtr e2 = alice.NewItem("download_entry");
    QVERIFY(e1 != e2);
    QVERIFY(!e1.GetItemObject()->IsGlobalNull());
    QCOMPARE(alice.CountItems("download_entry"), 2);
    QCOMPARE(e1["user"], alice);
    QCOMPARE(entry->ItemCount(), 2);

    QVERIFY_EXCEPTION_THROWN(alice.NewItem("user_note"), NullTypeException);
    QCOMPARE(note->ItemCount(), 0);
    QVERIFY(ItemPtr().NewItem("in_user_list").IsNull());
}

void TestData::removalOrder() {
    Type* entry = d.NewType("entry", PrimacyRoot, false, true);
    Type* status = d.NewType("status", PrimacyRoot, false, true);
    entry->RelateToType(status, Many, Many, false);
    ItemPtr x = entry->GetItem("x"), other = entry->GetItem("other");
    ItemPtr s1 = status->GetItem("s1"), s2 = status->GetItem("s2");
    x += s1;
    x += s2;
    other += s1;

    QStringList log;
    Probe typeRemoved("type", &log), storeRemoved("store", &log);
    typeRemoved.Watch(entry->ItemRemovedEvent());
    storeRemoved.Watch(d.ItemRemovedEvent());
    LinkLog links({entry, status});
    QStringList seen;
    auto observe = [&](const QString& who, const ItemPtr& r) {
        seen << who + QString(" byValue=%1 inItems=%2 count=%3 links=%4")
                          .arg(!entry->HasItem("x").IsNull())
                          .arg(entry->GetItems().Contains(r))
                          .arg(entry->ItemCount())
                          .arg(r.CountItems("status") + (s1.IsConnected(r) ? 10 : 0));
    };
    typeRemoved.onItem = [&](const ItemPtr& r) { observe("type", r); };
    storeRemoved.onItem = [&](const ItemPtr& r) { observe("store", r); };

    x.Remove();
    // Out of its type, links all there, during both removal events.
    QCOMPARE(seen, QStringList({"type byValue=0 inItems=0 count=1 links=12",
                                "store byValue=0 inItems=0 count=1 links=12"}));
    QCOMPARE(log, QStringList({"type:x", "store:x"}));
    // Then the links go, with their events.
    QCOMPARE(Sorted(links.log),
             QStringList({"entry-:x>s1", "entry-:x>s2", "status-:s1>x", "status-:s2>x"}));
    QVERIFY(x.IsRemoved());
    QVERIFY(x.IsDisconnectedFromAll());
    QVERIFY(entry->HasItem("x").IsNull());
    QCOMPARE(Names(entry->GetItems()), QStringList({"other"}));
    QCOMPARE(Names(s1.GetItems("entry")), QStringList({"other"}));
    QVERIFY(s2.IsDisconnectedFromAll());

    // Removing again does nothing; the value can be used for a new item.
    log.clear();
    links.log.clear();
    x.Remove();
    QVERIFY(log.isEmpty());
    QVERIFY(links.log.isEmpty());
    ItemPtr again = entry->GetItem("x");
    QVERIFY(again != x);
    QVERIFY(!again.IsRemoved());
    QVERIFY(x.IsRemoved());

    // The shared flag item, once removed, is made anew on next use.
    Type* flag = d.NewType("flag", PrimacyLeaf, true, false);
    ItemPtr f = flag->GetGlobalNullItem();
    f.Remove();
    ItemPtr f2 = flag->GetGlobalNullItem();
    QVERIFY(f2 != f);
    QVERIFY(!f2.IsRemoved());
    QCOMPARE(flag->ItemCount(), 1);

    // A removal handler removing another member while a set is removed.
    ItemSet members = Set({entry->GetItem("m1"), entry->GetItem("m2"), entry->GetItem("m3")});
    ItemPtr m3 = entry->HasItem("m3");
    log.clear();
    seen.clear();
    typeRemoved.onItem = [&](const ItemPtr& r) {
        if (r != m3)
            m3.Remove();
    };
    storeRemoved.onItem = nullptr;
    members.Remove();
    QCOMPARE(Sorted(log),
             QStringList({"store:m1", "store:m2", "store:m3", "type:m1", "type:m2", "type:m3"}));
    for (const ItemPtr& m : members)
        QVERIFY(m.IsRemoved());
    QCOMPARE(Names(entry->GetItems()), QStringList({"other", "x"}));
}

void TestData::removedHandleStaysSafe() {
    Type* entry = d.NewType("entry", PrimacyRoot, false, true);
    Type* status = d.NewType("status", PrimacyRoot, false, true);
    Type* flag = d.NewType("flag", PrimacyLeaf, true, false);
    entry->RelateToType(status, Many, Many, false);
    entry->RelateToType(flag, Many, One, false);
    ItemPtr s1 = status->GetItem("s1"), s2 = status->GetItem("s2");
    ItemPtr kept;
    {
        ItemPtr x = entry->GetItem("x");
        x += s1;
        kept = x;
        x.Remove();
    }
    LinkLog links({entry, status});

    QVERIFY(kept.IsRemoved());
    QCOMPARE(kept.GetType(), entry);
    QVERIFY(kept["status"].IsNull());
    QVERIFY(kept.GetItems("status").Empty());
    QVERIFY(!kept.IsConnected("status"));
    QVERIFY(!kept.IsConnected(s1));
    QVERIFY(!s1.IsConnected(kept));
    QVERIFY(kept.IsDisconnectedFromAll());
    QCOMPARE(kept.CountItems("status"), 0);

    // Linking it is refused, from either side, and fires nothing.
    kept.Connect(s2);
    s2 += kept;
    kept += flag->GetGlobalNullItem();
    QVERIFY(!kept.IsConnected(s2));
    QVERIFY(s2.IsDisconnectedFromAll());
    QVERIFY(!kept.IsConnected("flag"));
    QVERIFY(flag->GetGlobalNullItem().IsDisconnectedFromAll());
    kept.Disconnect("status");
    kept -= s1;
    kept.Remove();
    QVERIFY(links.log.isEmpty());
    QVERIFY(entry->GetItems().Empty());
    QVERIFY(d.GetItems(kept, s1, "status").Empty());
    QVERIFY(d.GetItemSubset(Set({kept}), "status").Empty());

    // The store dropping its removed items (and Renew) leaves the handle usable.
    for (int k = 0; k < 300; ++k) {
        ItemPtr t = entry->GetItem(k);
        t += s2;
        t.Remove();
    }
    d.Renew();
    QVERIFY(kept.IsRemoved());
    QCOMPARE(kept.GetType(), entry);
    QVERIFY(kept.IsDisconnectedFromAll());
    QVERIFY(kept["status"].IsNull());
    QVERIFY(s2.IsDisconnectedFromAll());
    QCOMPARE(entry->ItemCount(), 0);
}

void TestData::itemSetOperations() {
    Type* file = d.NewType("file", PrimacyRoot, false, true);
    Type* tag = d.NewType("tag", PrimacyRoot, false, true);
    Type* folder = d.NewType("folder", PrimacyRoot, false, true);
    file->RelateToType(tag, Many, Many, false);
    file->RelateToType(folder, Many, One, false);
    ItemPtr f1 = file->GetItem("f1"), f2 = file->GetItem("f2"), f3 = file->GetItem("f3"),
            f4 = file->GetItem("f4"), f5 = file->GetItem("f5");
    ItemPtr t1 = tag->GetItem("t1"), t2 = tag->GetItem("t2"), t3 = tag->GetItem("t3");
    ItemPtr music = folder->GetItem("music");
    f1 += t1;
    f1 += t2;
    f2 += t2;
    f4 += t3;
    f5 += t1;
    f3 += music;
    const ItemSet all = file->GetItems();

    // Insert once, in identity order; null handles are ignored.
    ItemSet s;
    s.Insert(f3);
    s.Insert(f1);
    s.Insert(f3);
    s.Insert(ItemPtr());
    QCOMPARE(Names(s), QStringList({"f1", "f3"}));
    QVERIFY(s.Contains(f3));
    QVERIFY(!s.Contains(f2));
    QCOMPARE(ItemPtr(s), f1);
    QCOMPARE(s.First(), f1);
    QVERIFY(ItemPtr(ItemSet()).IsNull());
    QVERIFY(ItemSet().Empty());
    s.Erase(f5);
    QCOMPARE(s.Size(), 2);
    s.Erase(f1);
    QCOMPARE(Names(s), QStringList({"f3"}));
    QCOMPARE(ItemPtr(s), f3);

    ItemSet a = Set({f1, f3}), b = Set({f5, f2, f3});
    QCOMPARE(Names(a.Common(b)), QStringList({"f3"}));
    QVERIFY(a.Common(ItemSet()).Empty());
    a.Add(b);
    QCOMPARE(Names(a), QStringList({"f1", "f2", "f3", "f5"}));
    ItemSet c = Set({f4});
    c.Add(Set({f1}));
    QCOMPARE(Names(c), QStringList({"f1", "f4"}));

    QStringList iterated;
    for (ItemSet::Iterator it = all.Begin(); it != all.End(); ++it)
        iterated << Name(it.Item()) + Name(*it);
    QCOMPARE(iterated, QStringList({"f1f1", "f2f2", "f3f3", "f4f4", "f5f5"}));

    // Connected, with small and large sets on the other side.
    QCOMPARE(Names(all.Connected(Set({t1}))), QStringList({"f1", "f5"}));
    QCOMPARE(Names(all.Connected(Set({t1, t2, t3, music, f1, f2}))),
             QStringList({"f1", "f2", "f3", "f4", "f5"}));
    QCOMPARE(Names(all.Connected(Set({t1, t2}))), QStringList({"f1", "f2", "f5"}));
    QVERIFY(all.Connected(ItemSet()).Empty());
    QCOMPARE(Names(all.Connected(t2)), QStringList({"f1", "f2"}));
    QVERIFY(all.Connected(ItemPtr()).Empty());
    QCOMPARE(Names(all.Connected("tag")), QStringList({"f1", "f2", "f4", "f5"}));
    QCOMPARE(Names(all.Connected("tag", "t1")), QStringList({"f1", "f5"}));

    // NotConnected.
    QCOMPARE(Names(all.NotConnected(t1)), QStringList({"f2", "f3", "f4"}));
    QCOMPARE(Names(all.NotConnected(ItemPtr())), Names(all));
    QCOMPARE(Names(all.NotConnected("tag")), QStringList({"f3"}));
    QCOMPARE(Names(all.NotConnected("folder")), QStringList({"f1", "f2", "f4", "f5"}));
    QCOMPARE(Names(all.NotConnected("tag", "t2")), QStringList({"f3", "f4", "f5"}));

    // Lookups by value never create, even on an auto-create type.
    QStringList created;
    Probe newItems("new", &created);
    newItems.Watch(d.NewItemEvent());
    QVERIFY(all.Connected("tag", "nope").Empty());
    QCOMPARE(Names(all.NotConnected("tag", "nope")), Names(all));
    QVERIFY(i("tag", "nope").Empty());
    QVERIFY(tag->HasItem("nope").IsNull());
    QVERIFY(created.isEmpty());
    QCOMPARE(Names(i("tag", "t2")), QStringList({"t2"}));
    QCOMPARE(ItemPtr(i("file", "f4")), f4);

    // Union of partners, in identity order.
    QCOMPARE(Names(Set({f5, f4, f2}).GetItems("tag")), QStringList({"t1", "t2", "t3"}));
    QCOMPARE(Names(Set({f1, f2}).GetItems("tag")), QStringList({"t1", "t2"}));
    QCOMPARE(Names(d.GetItems(Set({f5, f4}), "tag")), QStringList({"t1", "t3"}));
    QVERIFY(ItemSet().GetItems("tag").Empty());

    // Disconnect every member from a type.
    LinkLog links({file});
    Set({f1, f2, f3}).Disconnect("tag");
    QCOMPARE(Sorted(links.log), QStringList({"file-:f1>t1", "file-:f1>t2", "file-:f2>t2"}));
    QCOMPARE(Names(all.Connected("tag")), QStringList({"f4", "f5"}));
    QVERIFY(f3.IsConnected(music));
}

void TestData::itemSetSorts() {
    Type* word = d.NewType("word", PrimacyRoot, false, true);
    Type* other = d.NewType("other_word", PrimacyRoot, false, true);
    ItemSet words;
    for (const char* w : {"b", "a", "A", "C", "Zed", "alpha"})
        words.Insert(word->GetItem(w));

    // Case-sensitive: by character code, so "Zed" before "alpha".
    QCOMPARE(Names(words.SortAlphabetic(true, true)),
             QStringList({"A", "C", "Zed", "a", "alpha", "b"}));
    QCOMPARE(Names(words.SortAlphabetic(false, true)),
             QStringList({"b", "alpha", "a", "Zed", "C", "A"}));
    // Case-insensitive; "a" and "A" tie and keep creation order both ways.
    QCOMPARE(Names(words.SortAlphabetic(true, false)),
             QStringList({"a", "A", "alpha", "b", "C", "Zed"}));
    QCOMPARE(Names(words.SortAlphabetic(false, false)),
             QStringList({"Zed", "C", "b", "alpha", "a", "A"}));

    // Equal texts of two types: creation order in both directions.
    ItemPtr first = word->HasItem("a");
    ItemPtr second = Label(other->GetItem("a"), "a2");
    ItemSet ties = Set({second, first, word->HasItem("b")});
    QCOMPARE(Names(ties.SortAlphabetic(true, true)), QStringList({"a", "a2", "b"}));
    QCOMPARE(Names(ties.SortAlphabetic(false, true)), QStringList({"b", "a", "a2"}));
    QVERIFY(ItemSet().SortAlphabetic(true, true).empty());

    // By a partner's text or number; members without the partner left out.
    Type* row = d.NewType("row", PrimacyRoot, true, false);
    Type* label = d.NewType("label", PrimacyLeaf, false, true);
    Type* size = d.NewType("size", PrimacyLeaf, false, true);
    row->RelateToType(label, Many, One, false);
    row->RelateToType(size, Many, One, false);
    ItemSet rows;
    std::vector<ItemPtr> r;
    for (int k = 1; k <= 5; ++k) {
        r.push_back(Label(row->NewItem(), QString("r%1").arg(k)));
        rows.Insert(r.back());
    }
    r[0] += label->GetItem("beta");
    r[2] += label->GetItem("Alpha");
    r[3] += label->GetItem("alpha");
    r[4] += label->GetItem("beta");
    QCOMPARE(Names(rows.SortAlphabeticBy("label", true, true)),
             QStringList({"r3", "r4", "r1", "r5"}));
    QCOMPARE(Names(rows.SortAlphabeticBy("label", false, true)),
             QStringList({"r1", "r5", "r4", "r3"}));
    QCOMPARE(Names(rows.SortAlphabeticBy("label", true, false)),
             QStringList({"r3", "r4", "r1", "r5"}));
    QCOMPARE(Names(rows.SortAlphabeticBy("label", false, false)),
             QStringList({"r1", "r5", "r3", "r4"}));

    r[0] += size->GetItem("10");
    r[1] += size->GetItem("9");
    r[2] += size->GetItem("-3");
    r[4] += size->GetItem("10");
    QCOMPARE(Names(rows.SortNumericBy("size", true)), QStringList({"r3", "r2", "r1", "r5"}));
    QCOMPARE(Names(rows.SortNumericBy("size", false)), QStringList({"r1", "r5", "r2", "r3"}));

    // Many ties: creation order among equals in both directions.
    ItemSet big;
    QStringList ascending[3];
    for (int k = 0; k < 120; ++k) {
        ItemPtr x = Label(row->NewItem(), QString("b%1").arg(k));
        x += size->GetItem((k * 7) % 3);
        x += label->GetItem((k * 7) % 3 ? "same" : "Same");
        big.Insert(x);
        ascending[(k * 7) % 3] << Name(x);
    }
    QCOMPARE(Names(big.SortNumericBy("size", true)), ascending[0] + ascending[1] + ascending[2]);
    QCOMPARE(Names(big.SortNumericBy("size", false)), ascending[2] + ascending[1] + ascending[0]);
    QCOMPARE(Names(big.SortAlphabeticBy("label", false, false)), Names(big));
    QCOMPARE(Names(big.SortAlphabeticBy("label", true, false)), Names(big));
    QVERIFY_EXCEPTION_THROWN(rows.SortNumericBy("nope", true), TypeNotFoundException);
}

void TestData::dataQueries() {
    Type* user = d.NewType("user", PrimacyRoot, false, true);
    Type* file = d.NewType("file", PrimacyRoot, false, true);
    Type* entry = d.NewType("download_entry", PrimacyIntermediate, true, false);
    entry->RelateToType(user, Many, One, false);
    entry->RelateToType(file, Many, One, false);
    ItemPtr alice = user->GetItem("alice"), bob = user->GetItem("bob"),
            carol = user->GetItem("carol");
    ItemPtr f1 = file->GetItem("f1"), f2 = file->GetItem("f2");
    auto make = [&](const char* name, ItemPtr u, ItemPtr f) {
        ItemPtr e = Label(entry->NewItem(), name);
        e += u;
        e += f;
        return e;
    };
    ItemPtr e1 = make("e1", alice, f1);
    make("e2", bob, f1);
    make("e3", alice, f2);
    make("e4", alice, f1);

    QCOMPARE(d.GetItem(alice, f1, "download_entry"), e1);
    QCOMPARE(d.GetItem(f1, alice, "download_entry"), e1);
    QCOMPARE(Names(d.GetItems(alice, f1, "download_entry")), QStringList({"e1", "e4"}));
    QVERIFY(d.GetItem(bob, f2, "download_entry").IsNull());
    QVERIFY(d.GetItems(bob, f2, "download_entry").Empty());
    QVERIFY(d.GetItem(ItemPtr(), f1, "download_entry").IsNull());
    QVERIFY(d.GetItems(alice, ItemPtr(), "download_entry").Empty());

    QCOMPARE(d.GetItem(Set({alice, f1}), "download_entry"), e1);
    QVERIFY(d.GetItem(Set({alice, f1, bob}), "download_entry").IsNull());
    QVERIFY(d.GetItem(ItemSet(), "download_entry").IsNull());
    QCOMPARE(Names(d.GetItemSubset(Set({alice}), "download_entry")),
             QStringList({"e1", "e3", "e4"}));
    QCOMPARE(Names(d.GetItemSubset(Set({f1}), "download_entry")), QStringList({"e1", "e2", "e4"}));
    QCOMPARE(Names(d.GetItemSubset(Set({f1, alice}), "download_entry")), QStringList({"e1", "e4"}));
    QVERIFY(d.GetItemSubset(ItemSet(), "download_entry").Empty());
    QVERIFY(d.GetItemSubset(Set({alice, carol}), "download_entry").Empty());
    QVERIFY(d.GetItemSubset(Set({carol}), "download_entry").Empty());
    QCOMPARE(Names(d.GetItems(Set({bob, f2}), "download_entry")), QStringList({"e2", "e3"}));
    QVERIFY_EXCEPTION_THROWN(d.GetItemSubset(Set({alice}), "nope"), TypeNotFoundException);
}

void TestData::itemSubsetMatchesBruteForce() {
    Type* token = d.NewType("token", PrimacyRoot, false, true);
    Type* file = d.NewType("shared_file", PrimacyIntermediate, false, false);
    token->RelateToType(file, Many, Many, false);
    std::mt19937 rng(4242);
    const int tokenCount = 40;
    const int fileCount = 1500;
    std::vector<ItemPtr> tokens, files;
    for (int k = 0; k < tokenCount; ++k)
        tokens.push_back(token->GetItem("t" + std::to_string(k)));
    std::vector<std::set<int>> fileTokens(fileCount);
    std::unordered_map<std::uint64_t, int> fileIndex;
    for (int f = 0; f < fileCount; ++f) {
        files.push_back(file->NewItem("f" + std::to_string(f)));
        fileIndex[files.back().GetId()] = f;
        for (int k = 0; k < tokenCount; ++k) {
            // Token 0 is common (hundreds of files), the last ones rare.
            const double p = 0.5 / (1 + k);
            if (std::uniform_real_distribution<double>(0, 1)(rng) < p)
                fileTokens[std::size_t(f)].insert(k);
        }
    }
    // Link in a shuffled order: the result order must not depend on it.
    std::vector<std::pair<int, int>> pairs;
    for (int f = 0; f < fileCount; ++f)
        for (int k : fileTokens[std::size_t(f)])
            pairs.emplace_back(f, k);
    std::shuffle(pairs.begin(), pairs.end(), rng);
    for (const auto& p : pairs)
        tokens[std::size_t(p.second)] += files[std::size_t(p.first)];
    QVERIFY(tokens[0].CountItems("shared_file") > 300);

    for (int q = 0; q < 400; ++q) {
        const int n = 1 + int(rng() % 4);
        ItemSet query;
        std::set<int> chosen;
        while (int(chosen.size()) < n)
            chosen.insert(int(rng() % (q % 2 ? 6 : tokenCount)));
        for (int k : chosen)
            query.Insert(tokens[std::size_t(k)]);
        std::vector<int> expected;
        for (int f = 0; f < fileCount; ++f)
            if (std::includes(fileTokens[std::size_t(f)].begin(), fileTokens[std::size_t(f)].end(),
                              chosen.begin(), chosen.end()))
                expected.push_back(f);
        std::vector<int> got;
        for (const ItemPtr& x : d.GetItemSubset(query, "shared_file"))
            got.push_back(fileIndex.at(x.GetId()));
        QVERIFY2(got == expected, qPrintable(QString("query %1: %2 files, expected %3")
                                                 .arg(q)
                                                 .arg(got.size())
                                                 .arg(expected.size())));
        const ItemPtr firstOne = d.GetItem(query, "shared_file");
        QCOMPARE(firstOne.IsNull(), expected.empty());
        if (!expected.empty())
            QCOMPARE(firstOne, files[std::size_t(expected.front())]);
        if (n == 2) {
            ItemSet both = d.GetItems(query.Items()[0], query.Items()[1], "shared_file");
            QCOMPARE(both.Size(), int(expected.size()));
        }
    }
}

void TestData::itemEventsAndBinding() {
    Type* user = d.NewType("user", PrimacyRoot, false, true);
    Type* entry = d.NewType("entry", PrimacyIntermediate, true, false);
    Type* flag = d.NewType("flag", PrimacyLeaf, true, false);
    user->RelateToType(entry, One, Many, false);
    user->RelateToType(flag, Many, One, false);
    QStringList log;
    Probe typeFirst("type", &log), typeSecond("type2", &log), store("store", &log);
    typeFirst.Watch(user->NewItemEvent());
    // Members taking a const reference bind too.
    user->NewItemEvent().Insert(typeSecond.ItemHandler(&typeSecond, &Probe::OnItemRef));
    store.Watch(d.NewItemEvent());
    QStringList inType;
    typeFirst.onItem = [&](const ItemPtr& x) {
        inType << QString("%1 %2")
                      .arg(user->GetItems().Contains(x))
                      .arg(user->HasItem(x.AsStdString()) == x);
    };

    // The item is in its type before anyone hears of it; type handlers in
    // registration order, then the store's.
    user->GetItem("alice");
    QCOMPARE(log, QStringList({"type:alice", "type2:alice", "store:alice"}));
    QCOMPARE(inType, QStringList({"1 1"}));
    log.clear();
    user->NewItem("bob");
    QCOMPARE(log, QStringList({"type:bob", "type2:bob", "store:bob"}));

    // Every way of making an item tells the store.
    ItemPtr alice = user->HasItem("alice");
    const int before = store.calls;
    entry->NewItem();
    alice.NewItem("entry");
    flag->GetGlobalNullItem();
    flag->GetGlobalNullItem();
    user->NewItem("zed");
    user->GetItem("zed");
    QCOMPARE(store.calls - before, 4);

    // Connection handlers by reference and by value.
    QStringList conn;
    Probe byRef("ref", &conn), byValue("value", &conn);
    user->ConnectedEvent().Insert(byRef.ConnectionHandler(&byRef, &Probe::OnConn));
    entry->ConnectedEvent().Insert(byValue.ConnectionHandler(&byValue, &Probe::OnConnByValue));
    ItemPtr e3 = Label(entry->NewItem(), "e3");
    alice += e3;
    QCOMPARE(Sorted(conn), QStringList({"ref:alice>e3", "value:e3>alice"}));
    QCOMPARE(byValue.lastInfo.from, e3);
    QCOMPARE(byValue.lastInfo.to, alice);

    // A handler added while an event is notified runs from the next one on.
    log.clear();
    Probe late("late", &log);
    bool added = false;
    store.onItem = [&](const ItemPtr&) {
        if (!added) {
            added = true;
            late.Watch(d.NewItemEvent());
            late.Watch(user->NewItemEvent());
        }
    };
    typeFirst.onItem = nullptr;
    user->GetItem("carol");
    QCOMPARE(log, QStringList({"type:carol", "type2:carol", "store:carol"}));
    log.clear();
    user->GetItem("dave");
    QCOMPARE(log, QStringList({"type:dave", "type2:dave", "late:dave", "store:dave", "late:dave"}));

    // A handler switched off by an earlier one in the same notification is skipped.
    log.clear();
    typeFirst.onItem = [&](const ItemPtr&) { typeSecond.DisableHandlers(); };
    user->GetItem("erin");
    QCOMPARE(log, QStringList({"type:erin", "late:erin", "store:erin", "late:erin"}));
}

void TestData::handlerLifetime() {
    Type* user = d.NewType("user", PrimacyRoot, false, true);
    QStringList log;

    // A destroyed handler object is never called, and its handler goes the
    // next time the event is notified.
    auto* gone = new Probe("gone", &log);
    gone->Watch(user->NewItemEvent());
    gone->Watch(user->ItemRemovedEvent());
    QCOMPARE(user->NewItemEvent().Size(), 1);
    delete gone;
    ItemPtr alice = user->GetItem("alice");
    QVERIFY(log.isEmpty());
    QCOMPARE(user->NewItemEvent().Size(), 0);
    alice.Remove();
    QVERIFY(log.isEmpty());
    QCOMPARE(user->ItemRemovedEvent().Size(), 0);

    // DisableHandlers switches off everything registered so far.
    Probe off("off", &log);
    off.Watch(user->NewItemEvent());
    off.DisableHandlers();
    user->GetItem("bob");
    QVERIFY(log.isEmpty());
    off.Watch(user->NewItemEvent());
    user->GetItem("carol");
    QCOMPARE(log, QStringList({"off:carol"}));

    // A handler destroying its own object: its other handler is skipped,
    // other objects' handlers still run.
    log.clear();
    int selfCalls = 0;
    auto* self = new SelfDestroyer(&selfCalls);
    user->NewItemEvent().Insert(self->ItemH());
    user->NewItemEvent().Insert(self->ItemH());
    Probe after("after", &log);
    after.Watch(user->NewItemEvent());
    user->GetItem("dave");
    QCOMPARE(selfCalls, 1);
    QCOMPARE(log, QStringList({"off:dave", "after:dave"}));
    user->GetItem("erin");
    QCOMPARE(selfCalls, 1);
    QCOMPARE(user->NewItemEvent().Size(), 2);

    // A destructor that changes the store after switching its handlers off.
    int formCalls = 0;
    auto* form = new ClosingForm(user->GetItem("form"), &formCalls);
    delete form;
    QCOMPARE(formCalls, 0);
    QVERIFY(user->HasItem("form").IsNull());
}

void TestData::connectionPairHandlers() {
    Type* entry = d.NewType("download_entry", PrimacyIntermediate, true, false);
    Type* status = d.NewType("download_entry_status", PrimacyLeaf, false, true);
    Type* user = d.NewType("user", PrimacyRoot, false, true);
    entry->RelateToType(status, Many, One, false);
    entry->RelateToType(user, Many, One, false);
    QStringList log;
    Probe pair("pair", &log), reverse("reverse", &log), byValue("value", &log);
    EventHandlerBase<ConnectionInfo&>* h = pair.ConnH();
    d.AddConnectionEventHandler(entry, status, h);
    d.AddConnectionEventHandler(entry, status, h);
    d.AddConnectionEventHandler(status, entry, reverse.ConnH());
    d.AddConnectionEventHandler(entry, status,
                                byValue.ConnectionHandler(&byValue, &Probe::OnConnByValue));

    ItemPtr e1 = Label(entry->NewItem(), "e1"), e2 = Label(entry->NewItem(), "e2");
    ItemPtr queued = status->GetItem("queued"), done = status->GetItem("done");
    e1 += queued;
    QCOMPARE(Sorted(log), QStringList({"pair:e1>queued", "reverse:queued>e1", "value:e1>queued"}));
    // One pair's handlers in registration order.
    QVERIFY(log.indexOf("pair:e1>queued") < log.indexOf("value:e1>queued"));
    log.clear();
    // From the other side: from is still the first type's item.
    queued.Connect(e2);
    QCOMPARE(Sorted(log), QStringList({"pair:e2>queued", "reverse:queued>e2", "value:e2>queued"}));
    QCOMPARE(pair.lastInfo.from, e2);
    QCOMPARE(pair.lastInfo.to, queued);

    // A status change: the entry and its new status, once; no disconnection call.
    log.clear();
    e1 += done;
    QCOMPARE(Sorted(log), QStringList({"pair:e1>done", "reverse:done>e1", "value:e1>done"}));
    log.clear();
    e1 += done;
    e1 -= done;
    e2.Disconnect("download_entry_status");
    QVERIFY(log.isEmpty());
    // Links of other type pairs don't reach it.
    e1 += user->GetItem("alice");
    QVERIFY(log.isEmpty());
}

void TestData::resetDropsStoreWideHandlers() {
    // Reset is the test fixture: it promises to drop every handler, so that a
    // store-wide handler of one case never runs in the next.
    QStringList log;
    Probe store("store", &log);
    store.Watch(d.NewItemEvent());
    store.Watch(d.ItemRemovedEvent());
    d.Reset();
    QVERIFY(d.NewItemEvent().Empty());
    QVERIFY(d.ItemRemovedEvent().Empty());
    d.NewType("user", PrimacyRoot, false, true)->GetItem("alice");
    QVERIFY(log.isEmpty());
}

// ---------------------------------------------------------------------------
// Path handlers

void TestData::pathSettingsWatcher() {
    DeclareSettingsTypes(nullptr);
    QStringList log;
    Probe watch0("w0", &log), watch2("w2", &log), any("any", &log);
    watch0.onItem = [&](const ItemPtr&) { log << "=" + GetSetting("username"); };
    {
        auto* root = new PathNode(GetSettingItem("username"));
        new PathNode(root, "global_value", PathConnectedWatched);
        watch0.WatchPath(root);
    }
    {
        auto* root = new PathNode(GetSettingItem("username"));
        new PathNode(root, "global_value", PathConnecting);
        watch2.WatchPath(root);
    }
    WatchChild(any, "global", "global_value", PathConnectedWatched);

    SetSetting("username", "alice");
    QCOMPARE(Sorted(log), QStringList({"=alice", "any:username", "w0:username", "w2:username"}));
    // The same value again changes nothing.
    log.clear();
    SetSetting("username", "alice");
    QVERIFY(log.isEmpty());
    // Another key with the same value: only the any-setting watcher.
    SetSetting("nickname", "alice");
    QCOMPARE(log, QStringList({"any:nickname"}));
    log.clear();
    SetSetting("username", "bob");
    QCOMPARE(Sorted(log), QStringList({"=bob", "any:username", "w0:username", "w2:username"}));
    log.clear();
    ClearSetting("username");
    QVERIFY(log.isEmpty());
    SetSetting("username", "alice");
    QCOMPARE(Sorted(log), QStringList({"=alice", "any:username", "w0:username", "w2:username"}));
    QCOMPARE(GetSetting("nickname"), QString("alice"));
}

void TestData::pathAllFourChildren() {
    Type* entry = d.NewType("download_entry", PrimacyIntermediate, true, false);
    const char* children[] = {"user", "file_name", "file_size", "remote_folder"};
    for (const char* name : children)
        entry->RelateToType(d.NewType(name, PrimacyLeaf, false, true), Many, One, false);
    QStringList log;
    Probe added("added", &log);
    auto* root = new PathNode(&d, "download_entry");
    for (const char* name : children)
        new PathNode(root, name, PathConnectedWatched);
    added.WatchPath(root);

    auto value = [](const char* type, const char* text) { return d.GetType(type)->GetItem(text); };
    ItemPtr e = Label(entry->NewItem(), "e");
    e += value("user", "alice");
    e += value("file_name", "a.mp3");
    e += value("file_size", "100");
    QVERIFY(log.isEmpty());
    e += value("remote_folder", "music");
    QCOMPARE(log, QStringList({"added:e"}));
    // Writing a present value again: nothing.
    e += value("file_size", "100");
    QCOMPARE(log.size(), 1);
    // A replacement: one call.
    e += value("file_size", "200");
    QCOMPARE(log.size(), 2);
    // A cut: nothing; making it again: one call.
    e.Disconnect("user");
    QCOMPARE(log.size(), 2);
    e += value("user", "bob");
    QCOMPARE(log.size(), 3);

    // Another entry, linked in another order: one call at the fourth link only.
    ItemPtr f = Label(entry->NewItem(), "f");
    f += value("remote_folder", "docs");
    f += value("user", "alice");
    f += value("file_size", "5");
    QCOMPARE(log.size(), 3);
    value("file_name", "b.txt") += f;
    QCOMPARE(log, QStringList({"added:e", "added:e", "added:e", "added:f"}));
}

void TestData::pathConnectingAndDisconnecting() {
    DeclarePeople();
    QStringList log;
    Probe online("on", &log), offline("off", &log);
    WatchChild(online, "user", "is_online", PathConnecting);
    WatchChild(offline, "user", "is_online", PathDisconnecting);
    ItemPtr alice = User("alice"), bob = User("bob");

    alice.NewItem("is_online");
    bob.NewItem("is_online");
    alice.NewItem("is_online");
    QCOMPARE(log, QStringList({"on:alice", "on:bob"}));
    log.clear();
    alice.Disconnect("is_online");
    alice -= d.GetType("is_online")->GetGlobalNullItem();
    QCOMPARE(log, QStringList({"off:alice"}));
    log.clear();
    // Removing an item cuts its links: the disconnection fires.
    bob.Remove();
    QCOMPARE(log, QStringList({"off:bob"}));

    // A replacement fires the disconnection of the old partner, then the
    // connection of the new one.
    log.clear();
    Probe noteSet("set", &log), noteGone("gone", &log);
    noteSet.onItem = [&](const ItemPtr& u) { log << "now " + Name(u["user_note"]); };
    noteGone.onItem = [&](const ItemPtr& u) { log << "now " + Name(u["user_note"]); };
    WatchChild(noteSet, "user", "user_note", PathConnecting);
    WatchChild(noteGone, "user", "user_note", PathDisconnecting);
    Type* note = d.GetType("user_note");
    alice += note->GetItem("x");
    QCOMPARE(log, QStringList({"set:alice", "now x"}));
    log.clear();
    alice += note->GetItem("y");
    QCOMPARE(log, QStringList({"gone:alice", "now null", "set:alice", "now y"}));
    log.clear();
    alice += note->GetItem("y");
    QVERIFY(log.isEmpty());

    // A condition (1) next to a disconnection (5): only users in the list.
    Probe listedOffline("listed", &log);
    {
        auto* root = new PathNode(&d, "user");
        new PathNode(root, "is_online", PathDisconnecting);
        new PathNode(root, "in_user_list", PathConnected);
        listedOffline.WatchPath(root);
    }
    ItemPtr carol = User("carol"), dave = User("dave");
    dave.NewItem("in_user_list");
    carol.NewItem("is_online");
    dave.NewItem("is_online");
    log.clear();
    carol.Disconnect("is_online");
    QCOMPARE(log, QStringList({"off:carol"}));
    log.clear();
    dave.Disconnect("is_online");
    QCOMPARE(Sorted(log), QStringList({"listed:dave", "off:dave"}));
    // Joining the list is a condition, not a trigger.
    log.clear();
    carol.NewItem("in_user_list");
    QVERIFY(log.isEmpty());

    // "Runs when either connection is made while the other exists" (0 and 0).
    Probe counts("count", &log);
    {
        auto* root = new PathNode(&d, "user");
        new PathNode(root, "in_user_list", PathConnectedWatched);
        new PathNode(root, "shared_file_count", PathConnectedWatched);
        counts.WatchPath(root);
    }
    ItemPtr erin = User("erin");
    erin += d.GetType("shared_file_count")->GetItem("12");
    QVERIFY(log.isEmpty());
    erin.NewItem("in_user_list");
    QCOMPARE(log, QStringList({"count:erin"}));
    erin += d.GetType("shared_file_count")->GetItem("13");
    QCOMPARE(log, QStringList({"count:erin", "count:erin"}));
}

void TestData::pathNotConnected() {
    DeclarePeople();
    QStringList log;
    Probe leftAll("left", &log);
    WatchChild(leftAll, "user", "room", PathNotConnectedWatched);
    ItemPtr alice = User("alice");
    ItemPtr r1 = Room("r1"), r2 = Room("r2");

    alice += r1;
    alice += r2;
    QVERIFY(log.isEmpty());
    alice -= r1;
    QVERIFY(log.isEmpty());
    alice -= r2;
    QCOMPARE(log, QStringList({"left:alice"}));
    alice += r1;
    QCOMPARE(log.size(), 1);
    // Losing the last room through the room's removal.
    r1.Remove();
    QCOMPARE(log, QStringList({"left:alice", "left:alice"}));
    // A user who never was in a room.
    User("bob") += d.GetType("country_code")->GetItem("de");
    QCOMPARE(log.size(), 2);

    // A condition (4): online users who are not ignored.
    log.clear();
    Probe onlineHeard("heard", &log);
    {
        auto* root = new PathNode(&d, "user");
        new PathNode(root, "is_online", PathConnecting);
        new PathNode(root, "is_ignored", PathNotConnected);
        onlineHeard.WatchPath(root);
    }
    ItemPtr carol = User("carol"), dave = User("dave");
    carol.NewItem("is_ignored");
    QVERIFY(log.isEmpty());
    carol.NewItem("is_online");
    QVERIFY(log.isEmpty());
    dave.NewItem("is_online");
    QCOMPARE(log, QStringList({"heard:dave"}));
    // Losing the ignore flag does not fire a condition.
    carol.Disconnect("is_ignored");
    carol.Disconnect("is_online");
    QCOMPARE(log, QStringList({"heard:dave"}));
    carol.NewItem("is_online");
    QCOMPARE(log, QStringList({"heard:dave", "heard:carol"}));

    // Relation 3 on a bound item: a user leaving that room.
    log.clear();
    Probe leftRoom("leftR2", &log);
    {
        auto* root = new PathNode(&d, "user");
        new PathNode(root, r2, PathNotConnectedWatched);
        leftRoom.WatchPath(root);
    }
    ItemPtr r3 = Room("r3");
    dave += r2;
    dave += r3;
    dave -= r3;
    QVERIFY(log.isEmpty());
    dave += r3;
    dave -= r2;
    QCOMPARE(log, QStringList({"leftR2:dave"}));
}

void TestData::pathNested() {
    DeclarePeople();
    QStringList log;
    ItemPtr roomR = Room("R"), roomS = Room("S");
    Probe added("added", &log), anyRoom("any", &log), removed("removed", &log);
    {
        // user -> room_operators (0) -> the room item R (0)
        auto* root = new PathNode(&d, "user");
        auto* ops = new PathNode(root, "room_operators", PathConnectedWatched);
        new PathNode(ops, roomR, PathConnectedWatched);
        added.WatchPath(root);
    }
    {
        // user -> room_operators (0) -> room (0)
        auto* root = new PathNode(&d, "user");
        auto* ops = new PathNode(root, "room_operators", PathConnectedWatched);
        new PathNode(ops, "room", PathConnectedWatched);
        anyRoom.WatchPath(root);
    }
    {
        // user -> room_operators (5) -> the room item R (1)
        auto* root = new PathNode(&d, "user");
        auto* ops = new PathNode(root, "room_operators", PathDisconnecting);
        new PathNode(ops, roomR, PathConnected);
        removed.WatchPath(root);
    }
    ItemPtr alice = User("alice"), bob = User("bob"), carol = User("carol");
    ItemPtr opsR = Label(roomR.NewItem("room_operators"), "opsR");
    ItemPtr opsS = Label(roomS.NewItem("room_operators"), "opsS");
    QVERIFY(opsR != opsS);
    QVERIFY(log.isEmpty());

    alice += opsR;
    QCOMPARE(Sorted(log), QStringList({"added:alice", "any:alice"}));
    log.clear();
    alice += opsS;
    QCOMPARE(log, QStringList({"any:alice"}));
    log.clear();
    bob += opsR;
    QCOMPARE(Sorted(log), QStringList({"added:bob", "any:bob"}));

    // The nested link is watched too: a new operators node for R fires for
    // its users (and drops R's old node, whose users are no longer matched).
    log.clear();
    ItemPtr opsX = Label(d.GetType("room_operators")->NewItem(), "opsX");
    carol += opsX;
    QVERIFY(log.isEmpty());
    opsX += roomR;
    QCOMPARE(Sorted(log), QStringList({"added:carol", "any:carol"}));
    QCOMPARE(Names(opsR.GetItems("user")), QStringList({"alice", "bob"}));
    QVERIFY(!opsR.IsConnected("room"));

    // Losing the role in R: the node stays linked to R while the user goes.
    log.clear();
    carol -= opsX;
    QCOMPARE(log, QStringList({"removed:carol"}));
    log.clear();
    alice -= opsS;
    bob -= opsR;  // opsR no longer belongs to R
    QVERIFY(log.isEmpty());
    // The room losing its node is not the user's disconnection.
    opsX += alice;
    log.clear();
    opsX -= roomR;
    QVERIFY(log.isEmpty());

    // Groups hang off the per-user list item: user -> in_user_list (1) ->
    // user_list_group (2) / (5).
    Probe groupAdded("gadd", &log), groupRemoved("grem", &log);
    {
        auto* root = new PathNode(&d, "user");
        auto* list = new PathNode(root, "in_user_list", PathConnected);
        new PathNode(list, "user_list_group", PathConnecting);
        groupAdded.WatchPath(root);
    }
    {
        auto* root = new PathNode(&d, "user");
        auto* list = new PathNode(root, "in_user_list", PathConnected);
        new PathNode(list, "user_list_group", PathDisconnecting);
        groupRemoved.WatchPath(root);
    }
    ItemPtr friends = d.GetType("user_list_group")->GetItem("friends");
    ItemPtr aliceList = alice.NewItem("in_user_list");
    ItemPtr bobList = bob.NewItem("in_user_list");
    log.clear();
    aliceList += friends;
    QCOMPARE(log, QStringList({"gadd:alice"}));
    friends += bobList;
    QCOMPARE(log, QStringList({"gadd:alice", "gadd:bob"}));
    log.clear();
    aliceList -= friends;
    QCOMPARE(log, QStringList({"grem:alice"}));
    // A list item no user holds matches nothing.
    log.clear();
    ItemPtr strayList = d.GetType("in_user_list")->NewItem();
    strayList += friends;
    strayList -= friends;
    QVERIFY(log.isEmpty());
}

void TestData::pathBoundItemsAndOneCallPerRoot() {
    DeclarePeople();
    QStringList log;
    ItemPtr alice = User("alice"), bob = User("bob");
    ItemPtr roomR = Room("R"), roomS = Room("S");

    // A root bound to one item.
    Probe aliceOnline("aliceOn", &log);
    {
        auto* root = new PathNode(alice);
        new PathNode(root, "is_online", PathConnecting);
        aliceOnline.WatchPath(root);
    }
    bob.NewItem("is_online");
    QVERIFY(log.isEmpty());
    alice.NewItem("is_online");
    QCOMPARE(log, QStringList({"aliceOn:alice"}));

    // A child bound to one item.
    log.clear();
    Probe inR("inR", &log);
    {
        auto* root = new PathNode(&d, "user");
        new PathNode(root, roomR, PathConnectedWatched);
        inR.WatchPath(root);
    }
    alice += roomS;
    QVERIFY(log.isEmpty());
    alice += roomR;
    roomR += bob;
    QCOMPARE(log, QStringList({"inR:alice", "inR:bob"}));

    // Two steps matching the same change still make one call.
    log.clear();
    Probe twice("twice", &log);
    {
        auto* root = new PathNode(&d, "user");
        new PathNode(root, "room", PathConnectedWatched);
        new PathNode(root, "room", PathConnectedWatched);
        twice.WatchPath(root);
    }
    ItemPtr roomT = Room("T");
    alice += roomT;
    QCOMPARE(log, QStringList({"twice:alice"}));

    // One change reaching two roots: one call each.
    log.clear();
    Probe perRoom("room", &log);
    {
        auto* root = new PathNode(&d, "room");
        auto* user = new PathNode(root, "user", PathConnectedWatched);
        new PathNode(user, "country_code", PathConnectedWatched);
        perRoom.WatchPath(root);
    }
    ItemPtr carol = User("carol");
    carol += roomR;
    carol += roomS;
    QVERIFY(log.filter("room:").isEmpty());
    log.clear();
    carol += d.GetType("country_code")->GetItem("de");
    QCOMPARE(Sorted(log), QStringList({"room:R", "room:S"}));

    // A 2 or 5 step that is not the firing change never holds.
    log.clear();
    Probe both("both", &log), mixed("mixed", &log);
    {
        auto* root = new PathNode(&d, "user");
        new PathNode(root, "is_online", PathConnecting);
        new PathNode(root, "user_note", PathConnecting);
        both.WatchPath(root);
    }
    {
        auto* root = new PathNode(&d, "user");
        new PathNode(root, "is_online", PathConnectedWatched);
        new PathNode(root, "user_note", PathDisconnecting);
        mixed.WatchPath(root);
    }
    ItemPtr dave = User("dave");
    dave += d.GetType("user_note")->GetItem("hello");
    dave.NewItem("is_online");
    QVERIFY(log.isEmpty());
    // The 5 step fires when it is the change, with the 0 step as condition.
    dave.Disconnect("user_note");
    QCOMPARE(log, QStringList({"mixed:dave"}));
}

void TestData::pathRemovedHandlers() {
    DeclarePeople();
    QStringList log;
    ItemPtr alice = User("alice"), bob = User("bob");

    auto* gone = new Probe("gone", &log);
    WatchChild(*gone, "user", "is_online", PathConnecting);
    delete gone;
    Probe off("off", &log);
    WatchChild(off, "user", "is_online", PathConnecting);
    off.DisableHandlers();
    alice.NewItem("is_online");
    QVERIFY(log.isEmpty());

    // Two patterns of one object that deletes itself in the first call.
    int selfCalls = 0;
    auto* self = new SelfDestroyer(&selfCalls);
    for (int k = 0; k < 2; ++k) {
        auto* root = new PathNode(&d, "user");
        new PathNode(root, "is_online", PathConnecting);
        d.AddPathEventHandler(root, self->ItemH());
    }
    bob.NewItem("is_online");
    QCOMPARE(selfCalls, 1);
    bob.Disconnect("is_online");
    bob.NewItem("is_online");
    QCOMPARE(selfCalls, 1);

    // A pattern added by a path handler is not called for the change that
    // runs it, only for later ones.
    Probe adder("adder", &log), added("added", &log);
    bool done = false;
    adder.onItem = [&](const ItemPtr&) {
        if (!done) {
            done = true;
            WatchChild(added, "user", "is_online", PathConnecting);
        }
    };
    WatchChild(adder, "user", "is_online", PathConnecting);
    ItemPtr carol = User("carol");
    carol.NewItem("is_online");
    QCOMPARE(log, QStringList({"adder:carol"}));
    User("dave").NewItem("is_online");
    QCOMPARE(Sorted(log), QStringList({"added:dave", "adder:carol", "adder:dave"}));
}

// ---------------------------------------------------------------------------
// The sweep

void TestData::sweepOwnershipCascade() {
    // The deepest level is declared first, so one pass over the types in
    // declaration order cannot catch the whole cascade.
    Type* folderNode = d.NewType("search_results_folder_node", PrimacyIntermediate, true, false);
    Type* userNode = d.NewType("search_results_user_node", PrimacyIntermediate, true, false);
    Type* widget = d.NewType("search_results_widget", PrimacyRoot, false, true);
    Type* user = d.NewType("user", PrimacyRoot, false, true);
    Type* folderName = d.NewType("folder_name", PrimacyLeaf, false, true);
    widget->RelateToType(userNode, One, Many, true);
    userNode->RelateToType(folderNode, One, Many, true);
    user->RelateToType(userNode, One, Many, false);
    // Folder nodes also hang off a root, so only ownership can remove them.
    user->RelateToType(folderNode, One, Many, false);
    folderNode->RelateToType(folderName, Many, One, false);

    ItemPtr w1 = widget->GetItem("w1"), w2 = widget->GetItem("w2");
    ItemPtr alice = user->GetItem("alice"), bob = user->GetItem("bob");
    auto addUser = [&](ItemPtr w, ItemPtr u, const char* name) {
        ItemPtr n = Label(userNode->NewItem(), name);
        w += n;
        u += n;
        return n;
    };
    auto addFolder = [&](ItemPtr n, const char* name, const char* text) {
        ItemPtr f = Label(folderNode->NewItem(), name);
        n += f;
        f += folderName->GetItem(text);
        f += n["user"];
        return f;
    };
    ItemPtr n1 = addUser(w1, alice, "n1"), n2 = addUser(w1, bob, "n2"),
            n3 = addUser(w2, alice, "n3");
    ItemPtr f1 = addFolder(n1, "f1", "music"), f2 = addFolder(n1, "f2", "docs"),
            f3 = addFolder(n2, "f3", "music"), f4 = addFolder(n3, "f4", "pics");
    QCOMPARE(d.RemoveDisconnectedItems(), 0);

    QStringList log;
    Probe removed("removed", &log);
    removed.Watch(d.ItemRemovedEvent());
    LinkLog links({user});
    w1.Remove();
    log.clear();
    QCOMPARE(d.RemoveDisconnectedItems(), 7);
    QCOMPARE(Sorted(log), QStringList({"removed:docs", "removed:f1", "removed:f2", "removed:f3",
                                       "removed:music", "removed:n1", "removed:n2"}));
    QCOMPARE(Sorted(links.log), QStringList({"user-:alice>f1", "user-:alice>f2", "user-:alice>n1",
                                             "user-:bob>f3", "user-:bob>n2"}));
    for (const ItemPtr& x : {n1, n2, f1, f2, f3})
        QVERIFY(x.IsRemoved());
    for (const ItemPtr& x : {n3, f4, w2, alice, bob})
        QVERIFY(!x.IsRemoved());
    QVERIFY(folderName->HasItem("music").IsNull());
    QVERIFY(!folderName->HasItem("pics").IsNull());
    QCOMPARE(d.RemoveDisconnectedItems(), 0);

    // Owned by two owner types: kept while either owner is linked.
    Type* ownerA = d.NewType("owner_a", PrimacyRoot, false, true);
    Type* ownerB = d.NewType("owner_b", PrimacyRoot, false, true);
    Type* thing = d.NewType("owned_thing", PrimacyIntermediate, true, false);
    ownerA->RelateToType(thing, Many, Many, true);
    ownerB->RelateToType(thing, Many, Many, true);
    ItemPtr a1 = ownerA->GetItem("a1"), b1 = ownerB->GetItem("b1");
    ItemPtr x = Label(thing->NewItem(), "x"), y = Label(thing->NewItem(), "y");
    ItemPtr z = Label(thing->NewItem(), "z");
    x += a1;
    x += b1;
    y += b1;
    log.clear();
    QCOMPARE(d.RemoveDisconnectedItems(), 1);
    QCOMPARE(log, QStringList({"removed:z"}));
    a1.Remove();
    QCOMPARE(d.RemoveDisconnectedItems(), 0);
    QVERIFY(!x.IsRemoved());
    b1.Remove();
    QCOMPARE(d.RemoveDisconnectedItems(), 2);
    QVERIFY(x.IsRemoved());
    QVERIFY(y.IsRemoved());
}

void TestData::sweepPrimacy() {
    Type* root = d.NewType("root_t", PrimacyRoot, false, true);
    Type* mid = d.NewType("mid_t", PrimacyIntermediate, false, true);
    Type* leaf = d.NewType("leaf_t", PrimacyLeaf, false, true);
    Type* mid2 = d.NewType("mid2_t", PrimacyIntermediate, false, true);
    root->RelateToType(mid, Many, Many, false);
    root->RelateToType(leaf, Many, Many, false);
    mid->RelateToType(leaf, Many, Many, false);
    mid->RelateToType(mid2, Many, Many, false);
    leaf->RelateToType(mid2, Many, Many, false);

    ItemPtr r1 = root->GetItem("r1"), r2 = root->GetItem("r2");
    ItemPtr m1 = mid->GetItem("m1"), m2 = mid2->GetItem("m2");
    ItemPtr l1 = leaf->GetItem("l1"), j1 = mid2->GetItem("j1");
    ItemPtr l2 = leaf->GetItem("l2"), j2 = mid2->GetItem("j2");
    ItemPtr l3 = leaf->GetItem("l3"), m3 = mid->GetItem("m3");
    ItemPtr m4 = mid->GetItem("m4"), l4 = leaf->GetItem("l4");
    r1 += m1;  // root -> intermediate
    m1 += m2;  // intermediate passes it on
    m1 += l1;  // a leaf reached is kept
    l1 += j1;  // but passes nothing on
    r1 += l2;
    l2 += j2;
    m4 += l4;  // no root at all

    QStringList log;
    Probe removed("removed", &log);
    removed.Watch(d.ItemRemovedEvent());
    QCOMPARE(d.RemoveDisconnectedItems(), 6);
    QCOMPARE(Sorted(log), QStringList({"removed:j1", "removed:j2", "removed:l3", "removed:l4",
                                       "removed:m3", "removed:m4"}));
    for (const ItemPtr& x : {r1, r2, m1, m2, l1, l2})
        QVERIFY(!x.IsRemoved());
    QCOMPARE(l1["mid_t"], m1);
    QVERIFY(!l1.IsConnected("mid2_t"));
    QCOMPARE(d.RemoveDisconnectedItems(), 0);
    QCOMPARE(root->ItemCount(), 2);
}

void TestData::sweepWhileHandlersChangeStore() {
    Type* anchor = d.NewType("anchor", PrimacyRoot, false, true);
    Type* loose = d.NewType("loose", PrimacyIntermediate, false, true);
    Type* widget = d.NewType("widget", PrimacyRoot, false, true);
    Type* node = d.NewType("node", PrimacyIntermediate, true, false);
    anchor->RelateToType(loose, Many, Many, false);
    widget->RelateToType(node, One, Many, true);
    anchor->RelateToType(node, Many, Many, false);
    ItemPtr a = anchor->GetItem("a");
    std::vector<ItemPtr> c;
    for (const char* name : {"c1", "c2", "c3", "c4", "c5"})
        c.push_back(loose->GetItem(name));

    // The first removal removes another candidate, ties a second one to a
    // root item, ties a third to a root item made on the spot and makes a new
    // unlinked item.
    Probe handler("h", nullptr);
    handler.Watch(loose->ItemRemovedEvent());
    ItemPtr victim, rescued, rescuedLate, fresh;
    handler.onItem = [&](const ItemPtr& x) {
        if (!fresh.IsNull())
            return;
        std::vector<ItemPtr> others;
        for (const ItemPtr& o : c)
            if (o != x)
                others.push_back(o);
        victim = others[0];
        rescued = others[1];
        rescuedLate = others[2];
        victim.Remove();
        a += rescued;
        anchor->GetItem("late") += rescuedLate;
        fresh = loose->GetItem("fresh");
    };
    // Owned nodes whose removal handler removes and makes items too.
    ItemPtr w = widget->GetItem("w");
    std::vector<ItemPtr> nodes;
    for (int k = 0; k < 4; ++k) {
        nodes.push_back(node->NewItem());
        nodes.back() += w;
        nodes.back() += a;
    }
    Probe nodeHandler("n", nullptr);
    nodeHandler.Watch(node->ItemRemovedEvent());
    nodeHandler.onItem = [&](const ItemPtr& x) {
        for (const ItemPtr& n : nodes)
            if (n != x && !n.IsRemoved()) {
                n.Remove();
                break;
            }
        anchor->GetItem("made_by_node_handler");
    };
    w.Remove();

    const int count = d.RemoveDisconnectedItems();
    QVERIFY(count >= 3);
    for (const ItemPtr& n : nodes)
        QVERIFY(n.IsRemoved());
    QVERIFY(!anchor->HasItem("made_by_node_handler").IsNull());
    QVERIFY(!fresh.IsNull());
    QVERIFY(victim.IsRemoved());
    QVERIFY(!rescued.IsRemoved());
    QVERIFY(rescued.IsConnected(a));
    // Made during the sweep: left for the next one.
    QVERIFY(!fresh.IsRemoved());
    QCOMPARE(d.RemoveDisconnectedItems(), 1);
    QVERIFY(fresh.IsRemoved());
    // Tied to a root item made during the sweep: reachable, so kept.
    QVERIFY2(!rescuedLate.IsRemoved(), "a candidate tied to a new root item was removed");
    int removedCandidates = 0;
    for (const ItemPtr& x : c)
        removedCandidates += x.IsRemoved();
    QCOMPARE(removedCandidates, 3);
}

// ---------------------------------------------------------------------------

void TestData::settingsHelpers() {
    DeclareSettingsTypes(nullptr);
    Type* global = d.GetType("global");
    Type* value = d.GetType("global_value");
    Type* vglobal = d.GetType("vglobal");
    QCOMPARE(global->GetPrimacy(), PrimacyRoot);
    QCOMPARE(value->GetPrimacy(), PrimacyLeaf);
    QCOMPARE(vglobal->GetPrimacy(), PrimacyRoot);
    QVERIFY(global->IsAutoCreate() && value->IsAutoCreate() && vglobal->IsAutoCreate());
    QCOMPARE(global->GetRelation(value).otherPerThis, One);
    QCOMPARE(global->GetRelation(value).thisPerOther, Many);
    QVERIFY(!global->GetRelation(value).owns && !global->GetRelation(value).ownedBy);

    // Unset reads as empty, 0 and "no".
    QCOMPARE(GetSetting("username"), QString());
    QVERIFY(!HasSetting("username"));
    QCOMPARE(GetSettingInt("username"), 0);
    QVERIFY(!IsSettingYes("username"));
    QVERIFY(GetSettingValueItem("username").IsNull());
    QCOMPARE(GetSettingItem("username").GetType(), global);

    SetSetting("username", "alice");
    QCOMPARE(GetSetting("username"), QString("alice"));
    QVERIFY(HasSetting("username"));
    QCOMPARE(GetSettingValueItem("username"), value->HasItem("alice"));
    SetSetting("port", 2234);
    QCOMPARE(GetSettingInt("port"), 2234);
    QCOMPARE(GetSetting("port"), QString("2234"));
    SetSetting("big", qint64(1) << 40);
    QCOMPARE(GetSettingInt64("big"), qint64(1) << 40);
    SetSetting("nick", QString::fromUtf8("J\xc3\xb6rg"));
    QCOMPARE(GetSetting("nick"), QString::fromUtf8("J\xc3\xb6rg"));
    QCOMPARE(GetSettingValueItem("nick").AsByteArray(), QByteArray("J\xc3\xb6rg"));

    // Two settings with the same text share one value item; changing one
    // leaves the other alone.
    SetSetting("a_flag", "yes");
    SetSettingYes("b_flag", true);
    ItemPtr yes = value->HasItem("yes");
    QCOMPARE(GetSettingValueItem("a_flag"), yes);
    QCOMPARE(GetSettingValueItem("b_flag"), yes);
    QVERIFY(IsSettingYes("a_flag") && IsSettingYes("b_flag"));
    QVERIFY(GetSettingItem("a_flag").IsConnected(yes));
    SetSettingYes("a_flag", false);
    QCOMPARE(GetSetting("a_flag"), QString("no"));
    QVERIFY(!IsSettingYes("a_flag"));
    QVERIFY(!GetSettingItem("a_flag").IsConnected(yes));
    QCOMPARE(GetSetting("b_flag"), QString("yes"));
    QVERIFY(IsSettingYes("b_flag"));
    QCOMPARE(Names(yes.GetItems("global")), QStringList({"b_flag"}));

    // Defaults only where there is no value.
    SetSettingDefault("username", "bob");
    QCOMPARE(GetSetting("username"), QString("alice"));
    SetSettingDefault("download_folder", "/tmp/in");
    QCOMPARE(GetSetting("download_folder"), QString("/tmp/in"));
    SetSettingDefault("a_flag", "yes");
    QCOMPARE(GetSetting("a_flag"), QString("no"));

    ClearSetting("username");
    QVERIFY(!HasSetting("username"));
    QCOMPARE(GetSetting("username"), QString());
    ClearSetting("username");
    SetSettingDefault("username", "bob");
    QCOMPARE(GetSetting("username"), QString("bob"));

    // Dropped value items wait for the sweep; shared ones stay.
    QVERIFY(!value->HasItem("alice").IsNull());
    d.RemoveDisconnectedItems();
    QVERIFY(value->HasItem("alice").IsNull());
    QCOMPARE(value->HasItem("yes"), yes);
    QCOMPARE(GetSetting("b_flag"), QString("yes"));
    QCOMPARE(GetSetting("username"), QString("bob"));

    // Run-time values live apart from saved ones.
    SetRuntimeSetting("finish_uploads_and_quit", "yes");
    QVERIFY(IsRuntimeSettingYes("finish_uploads_and_quit"));
    QCOMPARE(GetRuntimeSetting("finish_uploads_and_quit"), QString("yes"));
    QCOMPARE(GetRuntimeSettingItem("finish_uploads_and_quit").GetType(), vglobal);
    QVERIFY(!HasSetting("finish_uploads_and_quit"));
    QCOMPARE(GetSetting("finish_uploads_and_quit"), QString());
    SetRuntimeSetting("wish_list_search_index", 7);
    QCOMPARE(GetRuntimeSettingInt("wish_list_search_index"), 7);
    // The shared "yes" item serves both kinds.
    QVERIFY(GetRuntimeSettingItem("finish_uploads_and_quit").IsConnected(yes));
    ClearRuntimeSetting("finish_uploads_and_quit");
    QVERIFY(!IsRuntimeSettingYes("finish_uploads_and_quit"));
    QCOMPARE(GetRuntimeSetting("finish_uploads_and_quit"), QString());
    QVERIFY(IsSettingYes("b_flag"));
}

void TestData::renewKeepsHandlesAndWatchers() {
    DeclareSettingsTypes(nullptr);
    Type* user = d.NewType("user", PrimacyRoot, false, true);
    Type* room = d.NewType("room", PrimacyRoot, false, true);
    user->RelateToType(room, Many, Many, false);
    QStringList log;
    Probe watcher("username", &log), roomWatch("room", &log), events("event", &log);
    {
        auto* root = new PathNode(GetSettingItem("username"));
        new PathNode(root, "global_value", PathConnectedWatched);
        watcher.WatchPath(root);
    }
    ItemPtr zoo = room->GetItem("zoo");
    {
        auto* root = new PathNode(zoo);
        new PathNode(root, "user", PathConnecting);
        roomWatch.WatchPath(root);
    }
    events.Watch(d.NewItemEvent());
    events.Watch(d.ItemRemovedEvent());
    events.Watch(user->ConnectedEvent());
    events.Watch(user->DisconnectedEvent());

    SetSetting("username", "alice");
    std::vector<ItemPtr> users;
    for (int k = 0; k < 400; ++k)
        users.push_back(user->GetItem("u" + std::to_string(k)));
    for (int k = 0; k < 400; k += 3)
        users[std::size_t(k)] += zoo;
    ItemPtr art = room->GetItem("art");
    users[5] += art;
    for (int k = 0; k < 400; k += 2)
        users[std::size_t(k)].Remove();
    ItemPtr removed = users[0];
    log.clear();

    d.Renew();
    QVERIFY(log.isEmpty());

    // Handles, lookups by value, order and partners are all as before.
    QVERIFY(removed.IsRemoved());
    QCOMPARE(user->ItemCount(), 200);
    for (int k = 0; k < 400; ++k) {
        const ItemPtr& u = users[std::size_t(k)];
        QCOMPARE(u.IsRemoved(), k % 2 == 0);
        QCOMPARE(user->HasItem("u" + std::to_string(k)).IsNull(), k % 2 == 0);
        if (k % 2)
            QCOMPARE(user->HasItem("u" + std::to_string(k)), u);
        QCOMPARE(u.IsConnected(zoo), k % 2 == 1 && k % 3 == 0);
    }
    QCOMPARE(users[5]["room"], art);
    QCOMPARE(zoo.CountItems("user"), 67);
    QCOMPARE(zoo["user"], users[3]);
    QStringList order = Names(user->GetItems()).mid(0, 3);
    QCOMPARE(order, QStringList({"u1", "u3", "u5"}));
    QCOMPARE(GetSetting("username"), QString("alice"));

    // Watchers bound to items still fire; new items come after old ones.
    SetSetting("username", "bob");
    QCOMPARE(Sorted(log), QStringList({"event:bob", "username:username"}));
    log.clear();
    ItemPtr late = user->GetItem("late");
    QVERIFY(users[399] < late);
    late += zoo;
    QCOMPARE(Sorted(log), QStringList({"event:late", "event:late>zoo", "room:zoo"}));
    QCOMPARE(Names(user->GetItems()).last(), QString("late"));
}

// ---------------------------------------------------------------------------

void TestData::randomConsistency() {
    const char* names[4] = {"rand_a", "rand_b", "rand_c", "rand_d"};
    Type* types[4] = {d.NewType(names[0], PrimacyRoot, false, false),
                      d.NewType(names[1], PrimacyIntermediate, false, false),
                      d.NewType(names[2], PrimacyIntermediate, true, false),
                      d.NewType(names[3], PrimacyLeaf, true, false)};
    types[0]->RelateToType(types[1], Many, Many, false);
    types[0]->RelateToType(types[2], Many, One, false);
    types[1]->RelateToType(types[2], One, One, false);
    types[1]->RelateToType(types[3], One, Many, false);
    // limit[t][u]: how many u partners one t item may have; -1 when unrelated.
    int limit[4][4];
    for (auto& row : limit)
        std::fill(std::begin(row), std::end(row), -1);
    limit[0][1] = Many;
    limit[1][0] = Many;
    limit[0][2] = One;
    limit[2][0] = Many;
    limit[1][2] = One;
    limit[2][1] = One;
    limit[1][3] = Many;
    limit[3][1] = One;
    for (int t = 0; t < 4; ++t)
        for (int u = 0; u < 4; ++u)
            if (limit[t][u] >= 0)
                QCOMPARE(int(types[t]->GetRelation(types[u]).otherPerThis), limit[t][u]);

    // The reference model: nodes by creation sequence.
    struct Node {
        int type;
        ItemPtr item;
        std::set<int> links;
        bool live;
    };
    std::vector<Node> nodes;
    std::unordered_map<std::uint64_t, int> seqOf;
    std::vector<std::vector<int>> live(4);
    std::mt19937 rng(77);
    auto pick = [&](std::size_t n) { return std::size_t(rng() % n); };

    int connEvents = 0, discEvents = 0, removedEvents = 0;
    Probe conn("", nullptr), disc("", nullptr), rem("", nullptr);
    for (Type* t : types) {
        conn.Watch(t->ConnectedEvent());
        disc.Watch(t->DisconnectedEvent());
        rem.Watch(t->ItemRemovedEvent());
    }
    conn.onConn = [&](ConnectionInfo&) { ++connEvents; };
    disc.onConn = [&](ConnectionInfo&) { ++discEvents; };
    rem.onItem = [&](const ItemPtr&) { ++removedEvents; };

    auto create = [&](int t) {
        const int seq = int(nodes.size());
        ItemPtr x =
            types[t]->IsNull() ? types[t]->NewItem() : types[t]->NewItem("v" + std::to_string(seq));
        seqOf[x.GetId()] = seq;
        nodes.push_back(Node{t, x, {}, true});
        live[std::size_t(t)].push_back(seq);
        return seq;
    };
    std::set<int> touched;
    int made = 0, cut = 0;
    auto unlink = [&](int a, int b) {
        nodes[std::size_t(a)].links.erase(b);
        nodes[std::size_t(b)].links.erase(a);
        touched.insert(a);
        touched.insert(b);
        ++cut;
    };
    auto partnersOfType = [&](int a, int t) {
        std::vector<int> out;
        for (int p : nodes[std::size_t(a)].links)
            if (nodes[std::size_t(p)].type == t)
                out.push_back(p);
        return out;
    };
    auto modelConnect = [&](int a, int b) {
        Node& na = nodes[std::size_t(a)];
        Node& nb = nodes[std::size_t(b)];
        touched.insert(a);
        touched.insert(b);
        if (!na.live || !nb.live || na.links.count(b))
            return;
        if (limit[na.type][nb.type] == One)
            for (int p : partnersOfType(a, nb.type))
                unlink(a, p);
        if (limit[nb.type][na.type] == One)
            for (int p : partnersOfType(b, na.type))
                unlink(b, p);
        na.links.insert(b);
        nb.links.insert(a);
        ++made;
    };
    auto modelRemove = [&](int a) {
        Node& n = nodes[std::size_t(a)];
        const std::set<int> partners = n.links;
        for (int p : partners)
            unlink(a, p);
        n.live = false;
        auto& l = live[std::size_t(n.type)];
        l.erase(std::find(l.begin(), l.end(), a));
        touched.insert(a);
    };

    auto checkItem = [&](int s) -> QString {
        const Node& n = nodes[std::size_t(s)];
        const QString who = QString("item %1 (type %2)").arg(s).arg(n.type);
        if (!n.live)
            return n.item.IsRemoved() && n.item.IsDisconnectedFromAll()
                       ? QString()
                       : who + " should read as removed";
        if (n.item.IsRemoved())
            return who + " reads as removed";
        if (n.item.IsDisconnectedFromAll() != n.links.empty())
            return who + ": IsDisconnectedFromAll wrong";
        for (int u = 0; u < 4; ++u) {
            if (limit[n.type][u] < 0)
                continue;
            const std::vector<int> want = partnersOfType(s, u);
            std::vector<int> got;
            for (const ItemPtr& y : n.item.GetItems(names[u])) {
                auto it = seqOf.find(y.GetId());
                got.push_back(it == seqOf.end() ? -1 : it->second);
            }
            if (got != want)
                return who + QString(": %1 partners of type %2, expected %3 (or wrong order)")
                                 .arg(got.size())
                                 .arg(u)
                                 .arg(want.size());
            if (n.item.CountItems(names[u]) != int(want.size()))
                return who + ": CountItems wrong";
            if (n.item.IsConnected(names[u]) != !want.empty())
                return who + ": IsConnected(type) wrong";
            const ItemPtr first = n.item[names[u]];
            if (want.empty() ? !first.IsNull() : first != nodes[std::size_t(want.front())].item)
                return who + ": first partner wrong";
        }
        for (int p : n.links)
            if (!n.item.IsConnected(nodes[std::size_t(p)].item) ||
                !nodes[std::size_t(p)].item.IsConnected(n.item))
                return who + QString(": not linked to %1").arg(p);
        return QString();
    };
    auto checkTypes = [&]() -> QString {
        for (int t = 0; t < 4; ++t) {
            std::vector<int> got;
            for (const ItemPtr& x : types[t]->GetItems())
                got.push_back(seqOf.count(x.GetId()) ? seqOf[x.GetId()] : -1);
            if (got != live[std::size_t(t)])
                return QString("type %1 items differ").arg(t);
            if (types[t]->ItemCount() != int(live[std::size_t(t)].size()))
                return QString("type %1 count differs").arg(t);
        }
        return QString();
    };
    auto checkAll = [&]() -> QString {
        for (int s = 0; s < int(nodes.size()); ++s) {
            const QString err = checkItem(s);
            if (!err.isEmpty())
                return err;
        }
        return checkTypes();
    };
    auto randomLive = [&](int t) {
        return live[std::size_t(t)][pick(live[std::size_t(t)].size())];
    };
    // The pairs of related types, both ways.
    std::vector<std::pair<int, int>> related;
    for (int t = 0; t < 4; ++t)
        for (int u = 0; u < 4; ++u)
            if (limit[t][u] >= 0)
                related.emplace_back(t, u);

    // Runs one operation and checks the events it fired against the model.
    auto step = [&](const std::function<void()>& storeOp, const std::function<void()>& modelOp,
                    int expectRemoved) -> QString {
        made = cut = 0;
        const int c0 = connEvents, d0 = discEvents, r0 = removedEvents;
        storeOp();
        modelOp();
        if (connEvents - c0 != 2 * made || discEvents - d0 != 2 * cut ||
            removedEvents - r0 != expectRemoved)
            return QString(
                       "events: %1 connected (model %2), %3 disconnected (model %4), %5 removed")
                .arg(connEvents - c0)
                .arg(2 * made)
                .arg(discEvents - d0)
                .arg(2 * cut)
                .arg(removedEvents - r0);
        for (int s : touched) {
            const QString err = checkItem(s);
            if (!err.isEmpty())
                return err;
        }
        touched.clear();
        return QString();
    };
    auto connect = [&](int a, int b) {
        return step([&] { nodes[std::size_t(a)].item.Connect(nodes[std::size_t(b)].item); },
                    [&] { modelConnect(a, b); }, 0);
    };

    for (int k = 0; k < 60; ++k)
        create(0);
    for (int k = 0; k < 900; ++k)
        create(1);
    for (int k = 0; k < 40; ++k)
        create(2);
    for (int k = 0; k < 600; ++k)
        create(3);
    const int hubA = live[0][0];
    const int hubB = live[1][0];
    // Hubs with hundreds of partners use the large link form; link them in
    // creation order, then at random.
    for (int k = 0; k < 850; ++k) {
        const QString err = connect(hubA, live[1][std::size_t(k)]);
        QVERIFY2(err.isEmpty(), qPrintable(err));
    }
    for (int k = 0; k < 400; ++k) {
        const QString err = connect(hubB, live[3][std::size_t(599 - k)]);
        QVERIFY2(err.isEmpty(), qPrintable(err));
    }
    QCOMPARE(nodes[std::size_t(hubA)].item.CountItems(names[1]), 850);
    QCOMPARE(nodes[std::size_t(hubB)].item.CountItems(names[3]), 400);
    {
        const QString err = checkAll();
        QVERIFY2(err.isEmpty(), qPrintable(err));
    }

    std::size_t hubMax = 0;
    for (int round = 0; round < 20000; ++round) {
        const unsigned r = unsigned(pick(100));
        QString err;
        if (r < 6) {
            const int t = int(pick(4));
            err = step([&] { create(t); }, [] {}, 0);
        } else if (r < 50) {
            int a, b;
            const unsigned bias = unsigned(pick(10));
            if (bias < 3 && nodes[std::size_t(hubA)].live) {
                a = hubA;
                b = randomLive(1);
            } else if (bias < 4 && nodes[std::size_t(hubB)].live) {
                a = randomLive(3);
                b = hubB;
            } else {
                const auto& pr = related[pick(related.size())];
                a = randomLive(pr.first);
                b = randomLive(pr.second);
            }
            err = connect(a, b);
        } else if (r < 65) {
            const auto& pr = related[pick(related.size())];
            const int a = randomLive(pr.first);
            const std::vector<int> partners = partnersOfType(a, pr.second);
            const int b = !partners.empty() && pick(3) ? partners[pick(partners.size())]
                                                       : randomLive(pr.second);
            const bool wasLinked = nodes[std::size_t(a)].links.count(b) > 0;
            err = step(
                [&] {
                    if (pick(2))
                        nodes[std::size_t(a)].item -= nodes[std::size_t(b)].item;
                    else
                        nodes[std::size_t(b)].item.Disconnect(nodes[std::size_t(a)].item);
                },
                [&] {
                    touched.insert(a);
                    touched.insert(b);
                    if (wasLinked)
                        unlink(a, b);
                },
                0);
        } else if (r < 70) {
            const auto& pr = related[pick(related.size())];
            const int a = randomLive(pr.first);
            err = step([&] { nodes[std::size_t(a)].item.Disconnect(names[pr.second]); },
                       [&] {
                           for (int p : partnersOfType(a, pr.second))
                               unlink(a, p);
                           touched.insert(a);
                       },
                       0);
        } else if (r < 85) {
            const int t = int(pick(4));
            if (live[std::size_t(t)].size() < 20)
                continue;
            const int a = randomLive(t);
            if (a == hubA || a == hubB)
                continue;
            err = step([&] { nodes[std::size_t(a)].item.Remove(); }, [&] { modelRemove(a); }, 1);
        } else {
            const std::vector<int> partners = partnersOfType(hubA, 1);
            if (partners.empty() || !nodes[std::size_t(hubA)].live)
                continue;
            const int b = partners[pick(partners.size())];
            if (b == hubB)
                continue;
            if (pick(2))
                err =
                    step([&] { nodes[std::size_t(b)].item.Remove(); }, [&] { modelRemove(b); }, 1);
            else
                err = step([&] { nodes[std::size_t(hubA)].item -= nodes[std::size_t(b)].item; },
                           [&] { unlink(hubA, b); }, 0);
        }
        QVERIFY2(err.isEmpty(), qPrintable(QString("round %1: %2").arg(round).arg(err)));
        hubMax = std::max(hubMax, nodes[std::size_t(hubA)].links.size());

        // Random pairs, linked or not.
        for (int k = 0; k < 10; ++k) {
            const auto& pr = related[pick(related.size())];
            const int a = randomLive(pr.first), b = randomLive(pr.second);
            QCOMPARE(nodes[std::size_t(a)].item.IsConnected(nodes[std::size_t(b)].item),
                     nodes[std::size_t(a)].links.count(b) > 0);
        }
        if (round % 1000 == 999) {
            err = checkAll();
            QVERIFY2(err.isEmpty(), qPrintable(QString("round %1: %2").arg(round).arg(err)));
        }
    }
    QVERIFY(hubMax > 300);

    // Shrink the hub below the large-link threshold, then remove both hubs.
    while (nodes[std::size_t(hubA)].links.size() > 50) {
        const std::vector<int> partners = partnersOfType(hubA, 1);
        const int b = partners[pick(partners.size())];
        QString err;
        if (b != hubB && pick(2))
            err = step([&] { nodes[std::size_t(b)].item.Remove(); }, [&] { modelRemove(b); }, 1);
        else
            err =
                step([&] { nodes[std::size_t(b)].item.Disconnect(nodes[std::size_t(hubA)].item); },
                     [&] { unlink(hubA, b); }, 0);
        QVERIFY2(err.isEmpty(), qPrintable(err));
    }
    for (int hub : {hubA, hubB}) {
        const QString err =
            step([&] { nodes[std::size_t(hub)].item.Remove(); }, [&] { modelRemove(hub); }, 1);
        QVERIFY2(err.isEmpty(), qPrintable(err));
    }
    const QString err = checkAll();
    QVERIFY2(err.isEmpty(), qPrintable(err));
}

QTEST_GUILESS_MAIN(TestData)
#include "test_data.moc"
