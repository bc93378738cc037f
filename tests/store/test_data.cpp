// The in-memory item store: types, items, links, events, path handlers, the
// sweep, settings items and Renew.

#include <QTextCodec>
#include <QtTest>
#include <algorithm>
#include <climits>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <tuple>
#include <type_traits>
#include <utility>

#include "store/Data.h"
#include "store/GeneralFunctions.h"
#include "store/Parallel.h"
#include "store/Settings.h"
#include "support/LargestAllocation.h"

namespace {

// Names given to valueless items so that logs stay readable.
std::map<std::uint64_t, QString> g_labels;

QString Name(const ItemPtr& x) {
    auto it = g_labels.find(x.GetId());
    return x.IsNull() ? "null" : it != g_labels.end() ? it->second : x.AsString();
}

ItemPtr Label(const ItemPtr& x, const QString& name) {
    g_labels[x.GetId()] = name;
    return x;
}

template <class C>
QStringList Names(const C& items) {
    QStringList out;
    for (const ItemPtr& x : items)
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

// Records what it is told, as "tag:item" or "tag:from>to", then runs a hook.
class Probe : public DataHandler {
public:
    Probe(QString tag, QStringList* log) : m_tag(std::move(tag)), mp_log(log) {}
    void OnItem(ItemPtr x) {
        if (mp_log)
            mp_log->append(m_tag + ':' + Name(x));
        if (onItem)
            onItem(x);
    }
    void OnConn(ConnectionInfo& info) {
        if (mp_log)
            mp_log->append(m_tag + ':' + Name(info.from) + '>' + Name(info.to));
        if (onConn)
            onConn(info);
    }
    EventHandlerBase<ItemPtr>* ItemH() { return ItemHandler(this, &Probe::OnItem); }
    EventHandlerBase<ConnectionInfo&>* ConnH() { return ConnectionHandler(this, &Probe::OnConn); }
    void Watch(Event<ItemPtr>& event) { event.Insert(ItemH()); }
    void Watch(Event<ConnectionInfo&>& event) { event.Insert(ConnH()); }

    std::function<void(const ItemPtr&)> onItem;
    std::function<void(ConnectionInfo&)> onConn;

private:
    QString m_tag;
    QStringList* mp_log;
};

// Logs the link events of some types as "type+:from>to" and "type-:from>to",
// checking that the link is already made, or already cut, when they run.
class LinkLog {
public:
    explicit LinkLog(std::initializer_list<Type*> types) {
        for (Type* t : types)
            for (bool made : {true, false}) {
                const QString tag = QString::fromStdString(t->GetName()) + (made ? '+' : '-');
                m_probes.push_back(std::make_unique<Probe>(tag, &log));
                m_probes.back()->Watch(made ? t->ConnectedEvent() : t->DisconnectedEvent());
                m_probes.back()->onConn = [made](ConnectionInfo& info) {
                    QCOMPARE(info.from.IsConnected(info.to), made);
                };
            }
    }
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

// The people, rooms, flags and entries the program's patterns work on.
void DeclarePeople() {
    Type* user = d.NewType("user", PrimacyRoot, false, true);
    Type* room = d.NewType("room", PrimacyRoot, false, true);
    Type* list = d.NewType("in_user_list", PrimacyIntermediate, true, false);
    Type* ops = d.NewType("room_operators", PrimacyIntermediate, true, false);
    user->RelateToType(room, Many, Many, false);
    for (const char* flag : {"is_online", "is_ignored"})
        user->RelateToType(d.NewType(flag, PrimacyLeaf, true, false), Many, One, false);
    for (const char* value : {"user_note", "country_code"})
        user->RelateToType(d.NewType(value, PrimacyLeaf, false, true), Many, One, false);
    user->RelateToType(list, One, One, false);
    list->RelateToType(d.NewType("user_list_group", PrimacyRoot, false, true), Many, Many, false);
    room->RelateToType(ops, One, One, true);
    user->RelateToType(ops, Many, Many, false);
    user->RelateToType(d.NewType("download_entry", PrimacyIntermediate, true, false), One, Many,
                       false);
}

ItemPtr Of(const char* type, const Value& value) {
    return d.GetType(type)->GetItem(value);
}
ItemPtr User(const char* name) {
    return Of("user", name);
}
ItemPtr Room(const char* name) {
    return Of("room", name);
}

// A pattern of a root (a type, or one item) and (type, relation) children.
void Watch(Probe& probe, PathNode* root,
           std::initializer_list<std::pair<const char*, PathNodeRelation>> children) {
    for (const auto& child : children)
        new PathNode(root, child.first, child.second);
    d.AddPathEventHandler(root, probe.ItemH());
}
void Watch(Probe& probe, const char* rootType,
           std::initializer_list<std::pair<const char*, PathNodeRelation>> children) {
    Watch(probe, new PathNode(&d, rootType), children);
}

}  // namespace

class TestData : public QObject {
    Q_OBJECT

private slots:
    void init() {
        d.Reset();
        g_labels.clear();
        DeclarePeople();
    }
    void cleanup() { d.Reset(); }

    void misuseIsRefusedAndChangesNothing() {
        Type* user = d.GetType("user");
        Type* lone = d.NewType("lone", PrimacyRoot, false, true);
        QVERIFY_EXCEPTION_THROWN(d.NewType("user", PrimacyLeaf, true, false),
                                 TypeAlreadyExistsException);
        QVERIFY_EXCEPTION_THROWN(d.GetType("room")->RelateToType(user, Many, Many, false),
                                 AlreadyRelatedException);
        ItemPtr x = User("x"), y = lone->GetItem("y");
        QVERIFY_EXCEPTION_THROWN(x["gamma"], TypeNotFoundException);
        QVERIFY_EXCEPTION_THROWN(delete new PathNode(&d, "gamma"), TypeNotFoundException);
        LinkLog links({user, lone});
        QVERIFY_EXCEPTION_THROWN(x.Connect(y), NotRelatedException);
        QVERIFY_EXCEPTION_THROWN(y += x, NotRelatedException);
        x.Disconnect(y);
        QVERIFY(x["lone"].IsNull() && !x.IsConnected(y) && links.log.isEmpty());
        QVERIFY_EXCEPTION_THROWN(d.GetType("is_online")->GetItem("v"), NullTypeException);
        QVERIFY_EXCEPTION_THROWN(user->NewItem(), NullTypeException);
        QVERIFY_EXCEPTION_THROWN(x.NewItem("user_note"), NullTypeException);
        QCOMPARE(d.GetType("is_online")->ItemCount() + d.GetType("user_note")->ItemCount(), 0);
    }

    void values() {
        static_assert(!std::is_constructible<Value, bool>::value, "no bool values");
        SetFallbackCodec(nullptr);
        Type* v = d.NewType("val", PrimacyRoot, false, true);
        Type* name = d.NewType("name", PrimacyRoot, false, false);
        // Without auto-create only NewItem(Value) makes an item.
        QVERIFY(name->GetItem("bob").IsNull() && !name->NewItem("bob").IsNull());
        QVERIFY(!name->GetItem("bob").IsNull());
        // A char buffer is text, not an address; a QString is cut at NUL; other
        // bytes are kept exactly; numbers are decimal whatever their width.
        char buffer[] = "buffer";
        char* pointer = buffer;
        QCOMPARE(v->GetItem(pointer).AsByteArray(), QByteArray("buffer"));
        QVERIFY(v->GetItem(QString::fromUtf8("ab\0cd", 5)) == v->GetItem("ab"));
        QVERIFY(v->GetItem(std::string("a\0b", 3)).AsByteArray() == QByteArray("a\0b", 3));
        QVERIFY(v->HasItem(std::string("a\0c", 3)).IsNull());
        QVERIFY(v->GetItem(std::uint8_t(42)) == v->GetItem("42"));
        QObject object;  // an address, read back by AsUInt64
        QVERIFY(reinterpret_cast<QObject*>(std::uintptr_t(v->GetItem(&object).AsUInt64())) ==
                &object);
        // Number reads: 0 for text that is no number or too large for the width.
        for (auto [text, i32, u64] : std::initializer_list<std::tuple<const char*, int, quint64>>{
                 {"-2147483648", INT_MIN, 0},
                 {"2147483648", 0, 2147483648ULL},
                 {"18446744073709551615", 0, ~0ULL},
                 {"18446744073709551616", 0, 0},
                 {"12abc", 0, 0},
                 {"", 0, 0}})
            QVERIFY2(v->GetItem(text).AsInt() == i32 && v->GetItem(text).AsUInt64() == u64, text);
        QVERIFY(v->GetItem("4294967296").AsUInt() == 0 && v->GetItem("4294967295").AsUInt() == ~0u);
        // Text: UTF-8 when it is, else Latin-1 without a code page; no byte lost.
        QCOMPARE(v->GetItem("h\xc3\xa9").AsString(), QString::fromUtf8("h\xc3\xa9"));
        QCOMPARE(v->GetItem(std::string("a\xff\0b", 4)).AsString(),
                 QString::fromLatin1("a\xff\0b", 4));
        QVERIFY(ItemPtr().AsString().isEmpty() && ItemPtr().AsUInt64() == 0);
    }

    void linksAndArity() {
        Type* user = d.GetType("user");
        LinkLog links({user, d.GetType("room")});
        ItemPtr alice = User("alice"), bob = User("bob"), zoo = Room("zoo");
        QVERIFY(alice.Connect(zoo) == zoo);
        zoo.Connect(alice);  // linked already: nothing, from either side
        alice += zoo;
        QCOMPARE(Sorted(links.log), QStringList({"room+:zoo>alice", "user+:alice>zoo"}));
        // Partners in creation order, whatever the order of linking.
        ItemPtr art = Room("art"), mid = Room("mid");
        alice += mid;
        alice += art;
        QCOMPARE(Names(alice.GetItems("room")), QStringList({"zoo", "art", "mid"}));
        QVERIFY(alice["room"] == zoo && alice.CountItems("room") == 3 && zoo.IsConnected("user"));
        QVERIFY(bob.IsDisconnectedFromAll() && !ItemPtr().IsConnected(zoo));
        // Room made ahead keeps a single partner and the order of more.
        bob += zoo;
        bob.ReserveLinks(8);
        bob += art;
        zoo.ReserveLinks(2);
        QVERIFY(Names(bob.GetItems("room")) == QStringList({"zoo", "art"}) &&
                Names(zoo.GetItems("user")) == QStringList({"alice", "bob"}));
        bob.Disconnect("room");
        // Unlinking what is not linked fires nothing; Disconnect(type) one event per link.
        links.log.clear();
        bob -= zoo;
        alice.Disconnect("user_note");
        alice.Disconnect("room");
        QCOMPARE(links.log.size(), 6);
        QVERIFY(alice.IsDisconnectedFromAll());
        // A thousand partners are kept in another form: it still takes further
        // types, loses every other partner, and regains them in order.
        std::vector<ItemPtr> many;
        for (int k = 0; k < 1000; ++k)
            many.push_back(alice.Connect(Room(std::to_string(k).c_str())));
        alice += Of("user_note", "bye");
        for (int k = 0; k < 1000; k += 2)
            many[std::size_t(k)].Remove();
        QVERIFY(alice.CountItems("room") == 500 &&
                alice.GetItems("room").Items()[250] == many[501]);
        alice.Disconnect("room");
        alice += many[1];
        QVERIFY(alice.GetItems("room").Size() == 1 && Name(alice["user_note"]) == "bye");
        // At a "one" end the old partner goes first, with its events, then the
        // new link is made; from the other side too.
        struct Case {
            OneOrMany x, y;
            bool linkBX;  // link b-x, else a-y, after a-x and b-y
            QStringList cut;
        };
        for (const Case& c : {Case{One, Many, true, {"t-:a>x", "u-:x>a"}},
                              Case{Many, One, false, {"t-:a>x", "u-:x>a"}},
                              Case{One, One, false, {"t-:a>x", "t-:b>y", "u-:x>a", "u-:y>b"}},
                              Case{Many, Many, false, {}}}) {
            d.Reset();
            Type* t = d.NewType("t", PrimacyRoot, false, true);
            Type* u = d.NewType("u", PrimacyRoot, false, true);
            t->RelateToType(u, c.x, c.y, false);
            LinkLog log({t, u});
            ItemPtr a = t->GetItem("a"), b = t->GetItem("b"), x = u->GetItem("x");
            ItemPtr y = u->GetItem("y");
            a += x;
            b += y;
            log.log.clear();
            (c.linkBX ? x : y).Connect(c.linkBX ? b : a);
            const QString from = c.linkBX ? "b" : "a", to = c.linkBX ? "x" : "y";
            QCOMPARE(Sorted(log.log.mid(0, c.cut.size())), c.cut);
            QCOMPARE(Sorted(log.log.mid(c.cut.size())),
                     QStringList({"t+:" + from + '>' + to, "u+:" + to + '>' + from}));
            QCOMPARE(a.IsConnected(x), c.cut.isEmpty());
        }
    }

    void itemNewItemRule() {
        ItemPtr alice = User("alice"), bob = User("bob"), carol = User("carol");
        // One to one: a new item per owner, linked, then the existing one.
        ItemPtr aliceList = alice.NewItem("in_user_list");
        QVERIFY(alice.IsConnected(aliceList));
        QVERIFY(alice.NewItem("in_user_list") == aliceList);
        QVERIFY(bob.NewItem("in_user_list") != aliceList);
        // One partner here, many there: the shared flag item, unless one is linked.
        ItemPtr flag = alice.NewItem("is_online");
        QVERIFY(flag == d.GetType("is_online")->GetGlobalNullItem());
        QVERIFY(bob.NewItem("is_online") == flag && !aliceList.GetItemObject()->IsGlobalNull());
        ItemPtr own = d.GetType("is_online")->NewItem();
        carol += own;
        QVERIFY(carol.NewItem("is_online") == own);
        // Many partners allowed: a new item every time.
        QVERIFY(alice.NewItem("download_entry") != alice.NewItem("download_entry"));
        QVERIFY(ItemPtr().NewItem("in_user_list").IsNull());
    }

    void removalOrderAndRemovedHandles() {
        Type* user = d.GetType("user");
        ItemPtr x = User("x"), s1 = Room("s1"), s2 = Room("s2");
        x += s1;
        x += s2;
        User("other") += s1;
        QStringList log;
        Probe typeRemoved("type", &log), storeRemoved("store", &log);
        typeRemoved.Watch(user->ItemRemovedEvent());
        storeRemoved.Watch(d.ItemRemovedEvent());
        LinkLog links({user});
        // During both removal events the item is out of its type, links all there.
        typeRemoved.onItem = storeRemoved.onItem = [&](const ItemPtr& r) {
            log << QString("found=%1 listed=%2 links=%3")
                       .arg(!user->HasItem("x").IsNull())
                       .arg(user->GetItems().Contains(r))
                       .arg(r.CountItems("room"));
        };
        x.Remove();
        QCOMPARE(log, QStringList({"type:x", "found=0 listed=0 links=2", "store:x",
                                   "found=0 listed=0 links=2"}));
        QCOMPARE(Sorted(links.log), QStringList({"user-:x>s1", "user-:x>s2"}));
        // A removed handle reads empty, refuses links and removes nothing again,
        // also once the store dropped its removed items and renewed itself.
        for (int k = 0; k < 300; ++k)
            User(std::to_string(k).c_str()).Remove();
        d.Renew();
        log.clear();
        links.log.clear();
        x.Remove();
        x.Connect(s2);
        s2 += x;
        x.Disconnect("room");
        QVERIFY(log.isEmpty() && links.log.isEmpty() && x.IsRemoved() && x.GetType() == user);
        QVERIFY(x.IsDisconnectedFromAll() && x["room"].IsNull() && !s2.IsConnected(x));
        QVERIFY(User("x") != x && !User("x").IsRemoved());
        // The shared flag item, once removed, is made anew on next use.
        ItemPtr f = d.GetType("is_online")->GetGlobalNullItem();
        f.Remove();
        QVERIFY(d.GetType("is_online")->GetGlobalNullItem() != f);
    }

    void itemSetsAndQueries() {
        std::vector<ItemPtr> f;
        for (const char* n : {"f1", "f2", "f3", "f4", "f5"})
            f.push_back(User(n));
        ItemPtr t1 = Room("t1"), t2 = Room("t2");
        for (auto [u, r] :
             std::initializer_list<std::pair<int, ItemPtr>>{{0, t1}, {0, t2}, {1, t2}, {4, t1}})
            f[std::size_t(u)] += r;
        const ItemSet all = d.GetType("user")->GetItems();
        // Lookups by value never create, even on an auto-create type.
        QCOMPARE(Names(all.Connected(Set({t1, t2}))), QStringList({"f1", "f2", "f5"}));
        QVERIFY(all.Connected("room", "nope").Empty() && i("room", "nope").Empty());
        QVERIFY(d.GetType("room")->HasItem("nope").IsNull() && ItemPtr(i("user", "f4")) == f[3]);
        // Items linked to every member of a set, first by identity.
        Type* entry = d.NewType("entry", PrimacyIntermediate, true, false);
        entry->RelateToType(d.GetType("user"), Many, One, false);
        entry->RelateToType(d.GetType("room"), Many, One, false);
        for (auto [n, u, r] : std::initializer_list<std::tuple<const char*, int, ItemPtr>>{
                 {"e1", 0, t1}, {"e2", 1, t1}, {"e3", 0, t2}, {"e4", 0, t1}}) {
            ItemPtr e = Label(entry->NewItem(), n);
            e += f[std::size_t(u)];
            e += r;
        }
        QCOMPARE(Name(d.GetItem(t1, f[0], "entry")), QString("e1"));
        QCOMPARE(Names(d.GetItemSubset(Set({t1, f[0]}), "entry")), QStringList({"e1", "e4"}));
        QVERIFY(d.GetItem(f[1], t2, "entry").IsNull() &&
                d.GetItemSubset(ItemSet(), "entry").Empty());
        QVERIFY(d.GetItemSubset(Set({f[0], f[3]}), "entry").Empty());
        // Disconnecting a set cuts every member's links of that type.
        LinkLog links({d.GetType("user")});
        Set({f[0], f[1], f[2]}).Disconnect("room");
        QCOMPARE(Sorted(links.log), QStringList({"user-:f1>t1", "user-:f1>t2", "user-:f2>t2"}));
    }

    // A subset taken a stretch at a time while the store changes between
    // stretches: members come in identity order, once each, none after it
    // left, and those that join come too. The count's bound is exact.
    void subsetInStretches_data() {
        QTest::addColumn<int>("members");
        QTest::newRow("a few links") << 60;
        QTest::newRow("chunked links") << 3000;
    }
    void subsetInStretches() {
        QFETCH(int, members);
        const ItemPtr a = Room("a"), b = Room("b");
        int made = 0;
        const auto join = [&](bool inBoth) {
            ItemPtr u = User(qPrintable(QString("u%1").arg(made++)));
            u += a;
            if (inBoth)
                u += b;
        };
        for (int k = 0; k < members; ++k)
            join(k % 3 != 0);
        const ItemSet both = Set({a, b});
        const auto inBoth = std::size_t(d.GetItemSubset(both, "user").Size());
        QCOMPARE(inBoth, std::size_t(members - (members + 2) / 3));
        for (std::size_t n : {std::size_t(0), inBoth - 1, inBoth, inBoth + 1})
            QCOMPARE(d.SubsetHasMoreThan(both, "user", n), n < inBoth);
        QVERIFY(d.SubsetHasMoreThan(Set({a}), "user", std::size_t(members - 1)));
        QVERIFY(!d.SubsetHasMoreThan(Set({a}), "user", std::size_t(members)));
        std::vector<std::uint64_t> taken;
        std::set<std::uint64_t> leftUntaken;
        bool inOrder = true;
        for (int stretch = 0;; ++stretch) {
            int n = 0;
            bool more = false;
            d.ForEachInSubset(
                both, "user",
                [&](const ItemPtr& x) {
                    inOrder = inOrder && (taken.empty() || x.GetId() > taken.back()) &&
                              !leftUntaken.count(x.GetId());
                    taken.push_back(x.GetId());
                    more = ++n == 7;
                    return !more;
                },
                taken.empty() ? 0 : taken.back());
            if (!more)
                break;
            // The next to be taken leaves, now and then the last one taken
            // too; one joins.
            const ItemSet now = d.GetItemSubset(both, "user");
            for (const ItemPtr& x : now)
                if (x.GetId() > taken.back()) {
                    leftUntaken.insert(x.GetId());
                    ItemPtr(x).Remove();
                    break;
                }
            if (stretch % 2)
                for (const ItemPtr& x : now)
                    if (x.GetId() == taken.back())
                        ItemPtr(x).Remove();
            join(true);
        }
        QVERIFY(inOrder);
        for (const ItemPtr& x : d.GetItemSubset(both, "user"))
            QVERIFY(std::binary_search(taken.begin(), taken.end(), x.GetId()));
        QVERIFY(taken.size() > inBoth / 2);
    }

    void eventOrderAndHandlerLifetime() {
        Type* user = d.GetType("user");
        QStringList log;
        Probe first("type", &log), second("type2", &log), store("store", &log);
        first.Watch(user->NewItemEvent());
        second.Watch(user->NewItemEvent());
        store.Watch(d.NewItemEvent());
        // In its type before anyone hears; type handlers in order, then the store's.
        first.onItem = [&](const ItemPtr& x) { QCOMPARE(user->HasItem(x.AsStdString()), x); };
        User("alice");
        // A handler added during a notification runs from the next one on; one
        // switched off by an earlier handler of the same notification is skipped.
        Probe late("late", &log);
        bool added = false;
        store.onItem = [&](const ItemPtr&) {
            if (!std::exchange(added, true))
                late.Watch(user->NewItemEvent());
        };
        User("bob");
        first.onItem = [&](const ItemPtr&) { second.DisableHandlers(); };
        User("carol");
        QCOMPARE(log,
                 QStringList({"type:alice", "type2:alice", "store:alice", "type:bob", "type2:bob",
                              "store:bob", "type:carol", "late:carol", "store:carol"}));
        // A destroyed handler object is never called; its handlers go lazily.
        log.clear();
        first.DisableHandlers();
        late.DisableHandlers();
        auto* gone = new Probe("gone", &log);
        gone->Watch(user->NewItemEvent());
        delete gone;
        User("erin");
        QVERIFY(log == QStringList({"store:erin"}) && user->NewItemEvent().Size() == 0);
        // A handler destroying its own object: its other handler is skipped.
        int selfCalls = 0;
        auto* self = new SelfDestroyer(&selfCalls);
        user->NewItemEvent().Insert(self->ItemH());
        user->NewItemEvent().Insert(self->ItemH());
        Probe after("after", &log);
        after.Watch(user->NewItemEvent());
        User("fred");
        User("gina");
        QCOMPARE(selfCalls, 1);
        QCOMPARE(log.filter("after:"), QStringList({"after:fred", "after:gina"}));
        // Pair handlers: "from" is the first type's item whichever side links;
        // a repeat is ignored; cuts and other pairs fire nothing.
        Type* list = d.GetType("in_user_list");
        store.DisableHandlers();
        log.clear();
        Probe pair("pair", &log), reverse("reverse", &log);
        EventHandlerBase<ConnectionInfo&>* h = pair.ConnH();
        d.AddConnectionEventHandler(user, list, h);
        d.AddConnectionEventHandler(user, list, h);
        d.AddConnectionEventHandler(list, user, reverse.ConnH());
        ItemPtr entry = Label(list->NewItem(), "l");
        entry.Connect(User("alice"));
        User("alice") -= entry;
        User("alice") += Room("r");
        QCOMPARE(Sorted(log), QStringList({"pair:alice>l", "reverse:l>alice"}));
    }

    void pathEvents() {
        QStringList log;
        // Connecting (2) and disconnecting (5) steps, with a condition (1);
        // removal cuts links too; a replacement is the old cut, then the new link.
        Probe on("on", &log), off("off", &log), noteSet("note", &log), noteGone("note", &log),
            listedOff("listed", &log);
        Watch(on, "user", {{"is_online", PathConnecting}});
        Watch(off, "user", {{"is_online", PathDisconnecting}});
        Watch(noteGone, "user", {{"user_note", PathDisconnecting}});
        Watch(noteSet, "user", {{"user_note", PathConnecting}});
        noteSet.onItem =
            noteGone.onItem = [&](const ItemPtr& u) { log << "now " + Name(u["user_note"]); };
        Watch(listedOff, "user",
              {{"is_online", PathDisconnecting}, {"in_user_list", PathConnected}});
        ItemPtr alice = User("alice"), bob = User("bob"), carol = User("carol");
        alice.NewItem("is_online");
        alice.NewItem("is_online");
        bob.NewItem("in_user_list");
        bob.NewItem("is_online");
        bob.Disconnect("is_online");
        alice.Remove();
        carol += Of("user_note", "x");
        carol += Of("user_note", "y");
        QCOMPARE(log, QStringList({"on:alice", "on:bob", "off:bob", "listed:bob", "off:alice",
                                   "note:carol", "now x", "note:carol", "now null", "note:carol",
                                   "now y"}));
        // Losing the last partner (3); a condition of not being linked (4).
        log.clear();
        Probe left("left", &log), heard("heard", &log);
        Watch(left, "user", {{"room", PathNotConnectedWatched}});
        Watch(heard, "user", {{"is_online", PathConnecting}, {"is_ignored", PathNotConnected}});
        on.DisableHandlers();
        ItemPtr r1 = Room("r1"), r2 = Room("r2"), dave = User("dave"), fred = User("fred");
        dave += r1;
        dave += r2;
        dave -= r1;
        dave -= r2;
        dave += r1;
        r1.Remove();
        fred.NewItem("is_ignored");
        fred.NewItem("is_online");
        dave.NewItem("is_online");
        fred.Disconnect("is_ignored");  // losing a condition does not fire
        QCOMPARE(log, QStringList({"left:dave", "left:dave", "heard:dave"}));
        // A 2 step that is not the change never holds; two steps matching one
        // change make one call.
        log.clear();
        Probe mixed("mixed", &log), twice("twice", &log);
        Watch(mixed, "user", {{"is_online", PathConnecting}, {"user_note", PathConnecting}});
        Watch(twice, "user", {{"room", PathConnectedWatched}, {"room", PathConnectedWatched}});
        ItemPtr gina = User("gina");
        gina += Of("user_note", "hello");
        gina.NewItem("is_online");
        gina += Room("r3");
        QVERIFY(log.filter("mixed").isEmpty() && log.filter("twice") == QStringList{"twice:gina"});
    }

    void pathNestedAndBound() {
        QStringList log;
        ItemPtr roomR = Room("R"), roomS = Room("S");
        ItemPtr alice = User("alice"), bob = User("bob"), carol = User("carol");
        Probe added("added", &log), removed("removed", &log), perRoom("room", &log);
        // user -> room_operators -> R, watched or as a condition.
        for (bool watch : {true, false}) {
            auto* root = new PathNode(&d, "user");
            auto* ops = new PathNode(root, "room_operators",
                                     watch ? PathConnectedWatched : PathDisconnecting);
            new PathNode(ops, roomR, watch ? PathConnectedWatched : PathConnected);
            d.AddPathEventHandler(root, (watch ? added : removed).ItemH());
        }
        ItemPtr opsR = roomR.NewItem("room_operators"), opsS = roomS.NewItem("room_operators");
        alice += opsR;
        alice += opsS;
        // The nested link is watched too: R's new operators node fires for its users.
        ItemPtr opsX = d.GetType("room_operators")->NewItem();
        carol += opsX;
        opsX += roomR;
        QVERIFY(!opsR.IsConnected("room"));
        // Losing the role in R fires; R losing the node does not.
        carol -= opsX;
        alice -= opsS;
        opsX += bob;
        QCOMPARE(log, QStringList({"added:alice", "added:carol", "removed:carol", "added:bob"}));
        log.clear();
        opsX -= roomR;
        // One change reaching two roots calls each once; a handler object
        // deleted before the change is not called.
        auto* gone = new Probe("gone", &log);
        Watch(*gone, "user", {{"is_online", PathConnecting}});
        delete gone;
        auto* root = new PathNode(&d, "room");
        new PathNode(new PathNode(root, "user", PathConnectedWatched), "country_code",
                     PathConnectedWatched);
        d.AddPathEventHandler(root, perRoom.ItemH());
        bob.NewItem("is_online");
        alice.NewItem("is_online");
        carol += roomR;
        carol += roomS;
        carol += Of("country_code", "de");
        QCOMPARE(Sorted(log), QStringList({"room:R", "room:S"}));
    }

    void sweep() {
        // The deepest level is declared first, so that one pass over the types in
        // declaration order cannot catch the whole ownership cascade.
        d.Reset();
        Type* folderNode = d.NewType("folder_node", PrimacyIntermediate, true, false);
        Type* userNode = d.NewType("user_node", PrimacyIntermediate, true, false);
        Type* widget = d.NewType("widget", PrimacyRoot, false, true);
        Type* user = d.NewType("user", PrimacyRoot, false, true);
        Type* folderName = d.NewType("folder_name", PrimacyLeaf, false, true);
        widget->RelateToType(userNode, One, Many, true);
        userNode->RelateToType(folderNode, One, Many, true);
        user->RelateToType(userNode, One, Many, false);
        user->RelateToType(folderNode, One, Many, false);  // a root: only ownership removes
        folderNode->RelateToType(folderName, Many, One, false);
        ItemPtr w1 = widget->GetItem("w1"), alice = User("alice");
        auto node = [&](ItemPtr owner, Type* t, const char* name) {
            ItemPtr n = Label(t->NewItem(), name);
            owner += n;
            alice += n;
            return n;
        };
        ItemPtr n1 = node(w1, userNode, "n1"), n2 = node(widget->GetItem("w2"), userNode, "n2");
        node(n1, folderNode, "f1") += folderName->GetItem("music");
        node(n2, folderNode, "f2") += folderName->GetItem("pics");
        QCOMPARE(d.RemoveDisconnectedItems(), 0);
        QStringList log;
        Probe removed("removed", &log);
        removed.Watch(d.ItemRemovedEvent());
        w1.Remove();
        log.clear();
        QCOMPARE(d.RemoveDisconnectedItems(), 3);
        QCOMPARE(Sorted(log), QStringList({"removed:f1", "removed:music", "removed:n1"}));
        QVERIFY(!n2.IsRemoved() && !folderName->HasItem("pics").IsNull());
        // Owned by two owner types: kept while either owner is linked.
        Type* ownerA = d.NewType("owner_a", PrimacyRoot, false, true);
        Type* ownerB = d.NewType("owner_b", PrimacyRoot, false, true);
        Type* thing = d.NewType("thing", PrimacyIntermediate, true, false);
        ownerA->RelateToType(thing, Many, Many, true);
        ownerB->RelateToType(thing, Many, Many, true);
        ItemPtr a1 = ownerA->GetItem("a1"), b1 = ownerB->GetItem("b1"), x = thing->NewItem();
        x += a1;
        x += b1;
        a1.Remove();
        QCOMPARE(d.RemoveDisconnectedItems(), 0);
        b1.Remove();
        QVERIFY(d.RemoveDisconnectedItems() == 1 && x.IsRemoved());
        // Primacy: roots stay, intermediates pass reachability on, leaves do not.
        d.Reset();
        Type* root = d.NewType("root_t", PrimacyRoot, false, true);
        Type* mid = d.NewType("mid_t", PrimacyIntermediate, false, true);
        Type* leaf = d.NewType("leaf_t", PrimacyLeaf, false, true);
        Type* far = d.NewType("far_t", PrimacyIntermediate, false, true);
        for (auto [a, b] : std::initializer_list<std::pair<Type*, Type*>>{
                 {root, mid}, {root, leaf}, {mid, leaf}, {mid, far}, {leaf, far}})
            a->RelateToType(b, Many, Many, false);
        ItemPtr m1 = mid->GetItem("m1"), l1 = leaf->GetItem("l1");
        root->GetItem("r1") += m1;
        m1 += far->GetItem("m2");  // through an intermediate: kept
        m1 += l1;                  // a leaf reached: kept
        l1 += far->GetItem("j1");  // through a leaf: not
        mid->GetItem("m4") += leaf->GetItem("l4");
        removed.Watch(d.ItemRemovedEvent());
        log.clear();
        QCOMPARE(d.RemoveDisconnectedItems(), 3);
        QCOMPARE(Sorted(log), QStringList({"removed:j1", "removed:l4", "removed:m4"}));
    }

    void sweepOfALargeStore_data() {
        QTest::addColumn<int>("extra");   // roots past the even split, one chain each
        QTest::addColumn<int>("starts");  // helper threads that may start; -1: all
        QTest::addColumn<bool>("helpersOutOfMemory");
        QTest::newRow("even split") << 0 << -1 << false;
        for (int extra = 1; extra <= 3; ++extra)
            QTest::addRow("remainder %d", extra) << extra << -1 << false;
        QTest::newRow("one helper starts") << 3 << 1 << false;
        QTest::newRow("no helper starts") << 1 << 0 << false;
        QTest::newRow("helpers out of memory") << 1 << -1 << true;
    }
    void sweepOfALargeStore() {
        // Big enough to be marked on several threads: from each root many
        // chains of intermediates, each item with a leaf of its own and one
        // shared by many, and unreachable islands that hold each other and
        // reach a shared leaf, which passes reachability on to nothing. The
        // frontier shared out is the chains' first items: 40 roots give an
        // even split, and each extra root one chain more at its very end.
        QFETCH(int, extra);
        QFETCH(int, starts);
        QFETCH(bool, helpersOutOfMemory);
        d.Reset();
        Type* root = d.NewType("root_t", PrimacyRoot, false, true);
        Type* mid = d.NewType("mid_t", PrimacyIntermediate, true, false);
        Type* leaf = d.NewType("leaf_t", PrimacyLeaf, false, true);
        root->RelateToType(mid, Many, Many, false);
        mid->RelateToType(mid, Many, Many, false);
        mid->RelateToType(leaf, Many, Many, false);
        std::vector<ItemPtr> kept, lost;
        int n = 0;
        for (int r = 0; r < 40 + extra; ++r) {
            const ItemPtr top = root->GetItem(r);
            for (int chain = 0; chain < (r < 40 ? 30 : 1); ++chain) {
                ItemPtr previous = top;
                for (int k = 0; k < 85; ++k, ++n) {
                    ItemPtr m = mid->NewItem();
                    previous += m;
                    m += leaf->GetItem("shared" + std::to_string(n % 3000));
                    m += leaf->GetItem("own" + std::to_string(n));
                    kept.push_back(m);
                    previous = m;
                    if (n % 50 == 0) {
                        ItemPtr a = mid->NewItem(), b = mid->NewItem();
                        a += b;
                        a += leaf->GetItem("shared" + std::to_string(n % 3000));
                        b += leaf->GetItem("island" + std::to_string(n));
                        lost.insert(lost.end(), {a, b, b["leaf_t"]});
                    }
                }
            }
        }
        if (helpersOutOfMemory) {
            if (parallel::Threads(d.ItemCount()) == 1)
                QSKIP("marked on one thread here");
            int removed = -1;
            if (!WithOtherThreadsOutOfMemory([&] { removed = d.RemoveDisconnectedItems(); }))
                QSKIP("allocations cannot be made to fail under ASan");
            // What is reachable is not known then: nothing goes.
            QCOMPARE(removed, 0);
            QVERIFY(std::none_of(lost.begin(), lost.end(),
                                 [](const ItemPtr& x) { return x.IsRemoved(); }));
        }
        parallel::g_startsLeft = starts;
        const int removed = d.RemoveDisconnectedItems();
        parallel::g_startsLeft = -1;
        QCOMPARE(removed, int(lost.size()));
        QVERIFY(std::none_of(kept.begin(), kept.end(), [](const ItemPtr& x) {
            return x.IsRemoved() || x.GetItems("leaf_t").Size() != 2;
        }));
        QVERIFY(
            std::all_of(lost.begin(), lost.end(), [](const ItemPtr& x) { return x.IsRemoved(); }));
        // A chain cut in the middle loses what hangs below the cut, with their
        // own leaves and that of the item cut out.
        kept[40].Remove();
        QCOMPARE(d.RemoveDisconnectedItems(), 2 * 44 + 1);
        QVERIFY(kept[39].IsConnected(kept[38]) && kept[41].IsRemoved() && kept[84].IsRemoved());
        QVERIFY(!kept[85].IsRemoved());
    }

    void sweepWhileHandlersChangeStore() {
        Type* loose = d.NewType("loose", PrimacyIntermediate, false, true);
        d.GetType("user")->RelateToType(loose, Many, Many, false);
        ItemPtr a = User("a");
        std::vector<ItemPtr> c, others;
        for (int k = 0; k < 5; ++k)
            c.push_back(loose->GetItem(k));
        // The first removal removes another candidate, ties a second to a root
        // item, a third to a root item made on the spot, and makes a new item.
        Probe handler("h", nullptr);
        handler.Watch(loose->ItemRemovedEvent());
        ItemPtr fresh;
        handler.onItem = [&](const ItemPtr& x) {
            if (!others.empty())
                return;
            std::copy_if(c.begin(), c.end(), std::back_inserter(others),
                         [&](const ItemPtr& o) { return o != x; });
            others[0].Remove();
            a += others[1];
            User("late") += others[2];
            fresh = loose->GetItem("fresh");
        };
        QVERIFY(d.RemoveDisconnectedItems() >= 2);
        QVERIFY(others[0].IsRemoved() && !others[1].IsRemoved() && !others[2].IsRemoved());
        QCOMPARE(std::count_if(c.begin(), c.end(), [](const ItemPtr& x) { return x.IsRemoved(); }),
                 3);
        QVERIFY(!fresh.IsRemoved());  // made during the sweep: left for the next one
        QCOMPARE(d.RemoveDisconnectedItems(), 1);
    }

    void lookupsWhileTheIndexGrows() {
        // Past a few thousand values the index grows by stretches: every value
        // must be found, and no removed one, at every step of the move, and
        // through a renewal in the middle of one.
        Type* v = d.NewType("val", PrimacyRoot, false, true);
        std::vector<ItemPtr> made;
        auto check = [&](std::size_t k) {
            const ItemPtr& x = made[k];
            return v->HasItem("v" + std::to_string(k)) == (x.IsRemoved() ? ItemPtr() : x);
        };
        for (std::size_t k = 0; k < 40000; ++k) {
            made.push_back(v->GetItem("v" + std::to_string(k)));
            if (k % 3 == 0)
                made[k / 2].Remove();
            if (k == 25000)
                d.Renew();
            // A rotating stretch of all values so far, so that each step of
            // the move is checked against many chains.
            for (std::size_t j = 0; j < 64; ++j)
                QVERIFY2(check((k * 64 + j) % (k + 1)), qPrintable(QString::number(k)));
        }
        for (std::size_t k = 0; k < made.size(); ++k)
            QVERIFY2(check(k), qPrintable(QString::number(k)));
        QVERIFY(v->HasItem("v40000").IsNull());
        QCOMPARE(v->ItemCount(), int(std::count_if(made.begin(), made.end(), [](const ItemPtr& x) {
                     return !x.IsRemoved();
                 })));
    }

    void settingsAndRenew() {
        DeclareSettingsTypes(nullptr);
        // Two settings share one value item; changing one leaves the other alone.
        SetSetting("a_flag", "yes");
        SetSettingYes("b_flag", true);
        ItemPtr yes = d.GetType("global_value")->HasItem("yes");
        QVERIFY(GetSettingValueItem("a_flag") == yes && GetSettingValueItem("b_flag") == yes);
        SetSettingYes("a_flag", false);
        SetSettingDefault("b_flag", "no");
        QVERIFY(GetSetting("a_flag") == "no" && IsSettingYes("b_flag"));
        // Renew keeps every handle, lookup, order and watcher, and fires nothing.
        QStringList log;
        Probe watcher("username", &log), roomWatch("room", &log), events("event", &log);
        Watch(watcher, new PathNode(GetSettingItem("username")),
              {{"global_value", PathConnectedWatched}});
        ItemPtr zoo = Room("zoo");
        Watch(roomWatch, new PathNode(zoo), {{"user", PathConnecting}});
        events.Watch(d.NewItemEvent());
        events.Watch(d.GetType("user")->ConnectedEvent());
        std::vector<ItemPtr> users;
        for (int k = 0; k < 400; ++k) {
            users.push_back(User(("u" + std::to_string(k)).c_str()));
            if (k % 3 == 0)
                users.back() += zoo;
        }
        for (int k = 0; k < 400; k += 2)
            users[std::size_t(k)].Remove();
        log.clear();
        d.Renew();
        QVERIFY(log.isEmpty() && d.GetType("user")->ItemCount() == 200 && zoo["user"] == users[3]);
        for (int k = 0; k < 400; ++k) {
            const ItemPtr& u = users[std::size_t(k)];
            QCOMPARE(d.GetType("user")->HasItem("u" + std::to_string(k)), k % 2 ? u : ItemPtr());
            QVERIFY(u.IsRemoved() == (k % 2 == 0) && u.IsConnected(zoo) == (k % 6 == 3));
        }
        SetSetting("username", "carol");
        ItemPtr late = User("late");
        QVERIFY(users[399] < late);
        late += zoo;
        QCOMPARE(Sorted(log), QStringList({"event:carol", "event:late", "event:late>zoo",
                                           "room:zoo", "username:username"}));
    }
};

QTEST_GUILESS_MAIN(TestData)
#include "test_data.moc"
