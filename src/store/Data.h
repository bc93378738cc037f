#ifndef TAVENOOK_STORE_DATA_H
#define TAVENOOK_STORE_DATA_H

// The in-memory typed item store. One global instance, `d`, holds every
// setting, queue entry, shared-file index entry and view row of the program.
// It takes no locks: only the main thread may touch it.

#include <QByteArray>
#include <QMetaType>
#include <QString>
#include <cstdint>
#include <exception>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "store/rcptr.h"

class Data;
class Type;
class Item;
class ItemPtr;
class ItemSet;
class PathNode;
class DataHandler;

// ---------------------------------------------------------------------------
// Exceptions. They mark programming errors; nothing is expected to recover.

class DataException : public std::exception {
public:
    DataException(const char* kind, const std::string& name);
    const char* what() const noexcept override { return m_message.c_str(); }
    const std::string& TypeName() const { return m_name; }

private:
    std::string m_name;
    std::string m_message;
};

class TypeNotFoundException : public DataException {
public:
    explicit TypeNotFoundException(const std::string& name)
        : DataException("type not found", name) {}
};
class TypeAlreadyExistsException : public DataException {
public:
    explicit TypeAlreadyExistsException(const std::string& name)
        : DataException("type already exists", name) {}
};
class AlreadyRelatedException : public DataException {
public:
    explicit AlreadyRelatedException(const std::string& name)
        : DataException("types already related", name) {}
};
class NotRelatedException : public DataException {
public:
    explicit NotRelatedException(const std::string& name)
        : DataException("types not related", name) {}
};
class NullTypeException : public DataException {
public:
    explicit NullTypeException(const std::string& name)
        : DataException("wrong use of a type with or without values", name) {}
};

// ---------------------------------------------------------------------------

enum Primacy { PrimacyRoot = 0, PrimacyIntermediate = 1, PrimacyLeaf = 2 };
enum OneOrMany { One = 0, Many = 1 };

// The condition on one step of a path pattern.
enum PathNodeRelation {
    PathConnectedWatched = 0,     // linked; making such a link can fire the pattern
    PathConnected = 1,            // linked; condition only
    PathConnecting = 2,           // the very connection that fired
    PathNotConnectedWatched = 3,  // not linked; losing the last such link fires
    PathNotConnected = 4,         // not linked; condition only
    PathDisconnecting = 5         // the very disconnection that fired
};

// The text form of an item value. Text is kept as UTF-8 bytes; integers as
// decimal; object pointers as their address in unsigned decimal. There is
// deliberately no bool constructor: settings use "yes" and "no".
class Value {
public:
    Value() = default;
    Value(const QString& text);
    Value(const QByteArray& bytes) : m_bytes(bytes.constData(), std::size_t(bytes.size())) {}
    Value(const char* text) : m_bytes(text ? text : "") {}
    Value(char* text) : m_bytes(text ? text : "") {}
    Value(const std::string& bytes) : m_bytes(bytes) {}
    Value(std::string&& bytes) : m_bytes(std::move(bytes)) {}
    Value(bool) = delete;

    template <class T,
              typename std::enable_if<std::is_integral<T>::value && !std::is_same<T, bool>::value &&
                                          !std::is_same<T, char>::value,
                                      int>::type = 0>
    Value(T n) : m_bytes(std::to_string(n)) {}

    template <class T,
              typename std::enable_if<!std::is_same<typename std::remove_cv<T>::type, char>::value,
                                      int>::type = 0>
    Value(T* object) : m_bytes(std::to_string(reinterpret_cast<std::uintptr_t>(object))) {}

    const std::string& Bytes() const { return m_bytes; }

private:
    std::string m_bytes;
};

// How two related types may be linked, seen from one of them.
struct RelationInfo {
    OneOrMany thisPerOther = Many;  // how many of this type's items one other item may link to
    OneOrMany otherPerThis = Many;  // how many of the other type's items one item of this type may
                                    // link to
    bool owns = false;              // this type owns the other
    bool ownedBy = false;           // the other type owns this one
};

// ---------------------------------------------------------------------------
// Items. An item lives in the store until it is removed; handles keep its
// memory alive after that, and a removed item reads as removed: lookups give
// nothing, and connecting it is refused.

class Item : public RefCounted {
public:
    static void Destroy(Item* item);

    Type* GetType() const { return mp_type; }
    std::uint64_t GetId() const { return m_id; }
    bool IsRemoved() const { return m_flags & kRemoved; }
    bool IsValueless() const { return m_flags & kValueless; }
    bool IsGlobalNull() const { return m_flags & kGlobalNull; }
    const char* ValueData() const { return reinterpret_cast<const char*>(this + 1); }
    std::uint32_t ValueSize() const { return m_valueSize; }
    std::uint32_t LinkCount() const { return m_linkCount; }

    void GetConnectedItems(class TypeItemsMap& out) const;

private:
    friend class Data;
    friend class Type;
    friend class ItemPtr;
    friend class Links;
    friend class DataSaver;
    friend struct StoreInternals;

    enum Flag : std::uint32_t {
        kRemoved = 1,
        kValueless = 2,
        kGlobalNull = 4,
        kMark = 8,   // scratch mark of the sweep and the saver
        kMark2 = 16  // second scratch mark
    };

    Item(Type* type, std::uint64_t id, std::uint32_t valueSize, std::uint32_t flags)
        : m_valueSize(valueSize), mp_type(type), m_id(id), m_flags(flags) {}
    ~Item() = default;

    // Laid out to keep an item at 48 bytes: the store holds hundreds of
    // thousands of them. The links are a flat array sorted by (partner type,
    // partner id), or for items with very many partners a chunked form (see
    // Data.cpp); a single partner is held inline in mp_links.
    std::uint32_t m_valueSize;
    Type* mp_type;
    std::uint64_t m_id;
    std::uint32_t m_flags;
    std::uint32_t m_linkCount = 0;
    void* mp_links = nullptr;
    std::uint32_t m_linkCapacity = 0;  // 0 or 1: inline; Links::kBig: chunked
    std::uint32_t m_scratch = 0;       // index used while saving
    // the value bytes follow the object
};

// A copyable, possibly null handle to an item.
class ItemPtr {
public:
    ItemPtr() = default;
    explicit ItemPtr(Item* item) : m_item(item) {}

    bool IsNull() const { return m_item.IsNull(); }
    bool operator!() const { return m_item.IsNull(); }
    bool operator==(const ItemPtr& o) const { return m_item.Get() == o.m_item.Get(); }
    bool operator!=(const ItemPtr& o) const { return m_item.Get() != o.m_item.Get(); }
    // Identity order: the order in which the items were created.
    bool operator<(const ItemPtr& o) const { return GetId() < o.GetId(); }

    // The item's identity number; 0 for a null handle.
    std::uint64_t GetId() const { return m_item.IsNull() ? 0 : m_item->GetId(); }
    Item* GetItemObject() const { return m_item.Get(); }
    Type* GetType() const { return m_item.IsNull() ? nullptr : m_item->GetType(); }
    bool IsRemoved() const { return !m_item.IsNull() && m_item->IsRemoved(); }

    // The connected item of the named type (the first in identity order), or
    // a null handle. An undeclared name raises TypeNotFoundException.
    ItemPtr operator[](const char* typeName) const { return HasItem(typeName); }
    ItemPtr operator[](const std::string& typeName) const { return HasItem(typeName.c_str()); }
    ItemPtr HasItem(const char* typeName) const;
    // The same with the type looked up already: for loops over many items.
    ItemPtr HasItem(const Type* type) const;
    ItemPtr GetItem(const char* typeName) const { return HasItem(typeName); }
    ItemSet GetItems(const char* typeName) const;
    void GetItems(const char* typeName, ItemSet& out) const;
    int CountItems(const char* typeName) const;

    bool IsConnected(const char* typeName) const;
    bool IsConnected(const ItemPtr& other) const;
    bool IsDisconnectedFromAll() const;

    // Links the two items and returns the other one. Nothing happens when
    // they are already linked. At an end that allows one partner the old
    // partner is dropped first. Unrelated types raise NotRelatedException.
    ItemPtr Connect(const ItemPtr& other) const;
    ItemPtr operator+=(const ItemPtr& other) const { return Connect(other); }
    // Cuts links; events fire only for links that existed.
    void Disconnect(const char* typeName) const;
    void Disconnect(const ItemPtr& other) const;
    void operator-=(const ItemPtr& other) const { Disconnect(other); }

    // Links a valueless item of the named type and returns it: the existing
    // partner when this item may have only one, else the type's shared flag
    // item when that may serve many items, else a new item.
    ItemPtr NewItem(const char* typeName) const;

    void Remove() const;
    // Makes room for this many links in all before they are made one by one;
    // changes nothing else.
    void ReserveLinks(int count) const;

    QString AsString() const;
    std::string AsStdString() const;
    QByteArray AsByteArray() const;
    int AsInt() const;
    unsigned AsUInt() const;
    qint64 AsInt64() const;
    quint64 AsUInt64() const;

    void GetConnectedItems(TypeItemsMap& out) const;

private:
    rcptr<Item> m_item;
};

Q_DECLARE_METATYPE(ItemPtr)

// An ordered set of item handles, ordered by identity.
class ItemSet {
public:
    using Container = std::vector<ItemPtr>;

    class Iterator {
    public:
        Iterator() = default;
        explicit Iterator(Container::const_iterator it) : m_it(it) {}
        const ItemPtr& operator*() const { return *m_it; }
        const ItemPtr* operator->() const { return &*m_it; }
        const ItemPtr& Item() const { return *m_it; }
        Iterator& operator++() {
            ++m_it;
            return *this;
        }
        bool operator!=(const Iterator& o) const { return m_it != o.m_it; }
        bool operator==(const Iterator& o) const { return m_it == o.m_it; }

    private:
        Container::const_iterator m_it;
    };

    ItemSet() = default;

    Iterator Begin() const { return Iterator(m_items.begin()); }
    Iterator End() const { return Iterator(m_items.end()); }
    Iterator begin() const { return Begin(); }
    Iterator end() const { return End(); }

    int Size() const { return int(m_items.size()); }
    bool Empty() const { return m_items.empty(); }
    const ItemPtr& At(int i) const { return m_items[std::size_t(i)]; }
    bool Contains(const ItemPtr& item) const;
    const ItemPtr& First() const;

    void Insert(const ItemPtr& item);
    void Erase(const ItemPtr& item);
    void Add(const ItemSet& other);
    void Clear() { m_items.clear(); }

    // The first member, or a null handle.
    operator ItemPtr() const { return First(); }

    void Remove() const;
    void Disconnect(const char* typeName) const;

    ItemSet GetItems(const char* typeName) const;
    ItemSet Connected(const ItemSet& other) const;
    ItemSet Connected(const ItemPtr& item) const;
    ItemSet Connected(const char* typeName) const;
    ItemSet Connected(const char* typeName, const Value& value) const;
    ItemSet NotConnected(const ItemPtr& item) const;
    ItemSet NotConnected(const char* typeName) const;
    ItemSet NotConnected(const char* typeName, const Value& value) const;
    ItemSet Common(const ItemSet& other) const;

    std::list<ItemPtr> SortAlphabetic(bool ascending, bool caseSensitive) const;
    std::list<ItemPtr> SortAlphabeticBy(const char* typeName, bool ascending,
                                        bool caseSensitive) const;
    std::list<ItemPtr> SortNumericBy(const char* typeName, bool ascending) const;

    // Appends an item known to be newer than every member (no search).
    void AppendOrdered(const ItemPtr& item);
    const Container& Items() const { return m_items; }

private:
    Container m_items;
};

// The one item of the named type with that value, as a set; never creates.
ItemSet i(const char* typeName, const Value& value);

// An item's links grouped by partner type, in the store's type order.
class TypeItemsMap {
public:
    using Entry = std::pair<Type*, ItemSet>;
    class Iterator {
    public:
        explicit Iterator(std::vector<Entry>::const_iterator it) : m_it(it) {}
        Type* GetType() const { return m_it->first; }
        const ItemSet& Set() const { return m_it->second; }
        Iterator& operator++() {
            ++m_it;
            return *this;
        }
        bool operator!=(const Iterator& o) const { return m_it != o.m_it; }
        bool operator==(const Iterator& o) const { return m_it == o.m_it; }

    private:
        std::vector<Entry>::const_iterator m_it;
    };

    Iterator Begin() const { return Iterator(m_entries.begin()); }
    Iterator End() const { return Iterator(m_entries.end()); }
    int Size() const { return int(m_entries.size()); }
    void Clear() { m_entries.clear(); }
    std::vector<Entry>& Entries() { return m_entries; }

private:
    std::vector<Entry> m_entries;
};

// ---------------------------------------------------------------------------
// Events and handlers.

struct ConnectionInfo {
    ItemPtr from;  // the item of the type the handler was registered on
    ItemPtr to;    // its partner
};

// Base of every handler. A handler is removed lazily: its owner flags it,
// and the event that holds it deletes it the next time it is notified.
class EventHandlerRoot {
public:
    virtual ~EventHandlerRoot();
    bool IsRemoved() const { return m_removed; }
    void MarkRemoved() { m_removed = true; }

private:
    friend class DataHandler;
    bool m_removed = false;
    DataHandler* mp_owner = nullptr;
};

template <class A>
class EventHandlerBase : public EventHandlerRoot {
public:
    virtual void Call(A argument) = 0;
};

// A handler bound to one object and one of its member functions. The member
// may take the argument by value or by reference.
template <class T, class A>
class EventHandler : public EventHandlerBase<A> {
public:
    template <class Arg>
    EventHandler(T* object, void (T::*member)(Arg))
        : m_call([object, member](A argument) { (object->*member)(argument); }) {}
    void Call(A argument) override { m_call(argument); }

private:
    std::function<void(A)> m_call;
};

// The handlers of one event, notified in registration order. Handlers added
// during a notification are not called for it; flagged ones are skipped and
// deleted once no notification of this event is running.
template <class A>
class Event {
public:
    Event() = default;
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    ~Event() {
        for (auto* h : m_handlers)
            delete h;
    }

    void Insert(EventHandlerBase<A>* handler) {
        for (auto* h : m_handlers)
            if (h == handler)
                return;
        m_handlers.push_back(handler);
    }
    bool Contains(const EventHandlerBase<A>* handler) const {
        for (auto* h : m_handlers)
            if (h == handler)
                return true;
        return false;
    }
    bool Empty() const { return m_handlers.empty(); }
    int Size() const { return int(m_handlers.size()); }
    // Drops every handler; not while a notification of this event runs.
    void Clear() {
        for (auto* h : m_handlers)
            delete h;
        m_handlers.clear();
    }

    void Notify(A argument) {
        if (m_handlers.empty())
            return;
        ++m_depth;
        const std::size_t n = m_handlers.size();
        bool sawRemoved = false;
        for (std::size_t k = 0; k < n; ++k) {
            EventHandlerBase<A>* h = m_handlers[k];
            if (h->IsRemoved()) {
                sawRemoved = true;
                continue;
            }
            h->Call(argument);
        }
        --m_depth;
        if (m_depth == 0) {
            if (!sawRemoved)
                for (auto* h : m_handlers)
                    if (h->IsRemoved())
                        sawRemoved = true;
            if (sawRemoved)
                Purge();
        }
    }

private:
    void Purge() {
        std::vector<EventHandlerBase<A>*> kept;
        for (auto* h : m_handlers) {
            if (h->IsRemoved())
                delete h;
            else
                kept.push_back(h);
        }
        m_handlers.swap(kept);
    }

    std::vector<EventHandlerBase<A>*> m_handlers;
    int m_depth = 0;
};

// Base of every object that registers store handlers. Its destruction flags
// them all removed, so no handler runs on a destroyed object. Destructors
// that change the store should call DisableHandlers() first.
class DataHandler {
public:
    DataHandler() = default;
    DataHandler(const DataHandler&) = delete;
    DataHandler& operator=(const DataHandler&) = delete;
    virtual ~DataHandler();

    void DisableHandlers();

    template <class T, class Arg>
    EventHandlerBase<ItemPtr>* ItemHandler(T* object, void (T::*member)(Arg)) {
        return Record(new EventHandler<T, ItemPtr>(object, member));
    }
    template <class T, class Arg>
    EventHandlerBase<ConnectionInfo&>* ConnectionHandler(T* object, void (T::*member)(Arg)) {
        return Record(new EventHandler<T, ConnectionInfo&>(object, member));
    }

private:
    friend class EventHandlerRoot;
    template <class H>
    H* Record(H* handler) {
        handler->mp_owner = this;
        m_handlers.push_back(handler);
        return handler;
    }
    void Forget(EventHandlerRoot* handler);

    std::vector<EventHandlerRoot*> m_handlers;
};

// Called by the saver at the end of the start-up load.
class DataLoadedEventHandler {
public:
    virtual ~DataLoadedEventHandler();
    virtual void DataLoaded() {}
    virtual void NoData() {}
};

// ---------------------------------------------------------------------------

class Type {
public:
    const std::string& GetName() const { return m_name; }
    bool IsNull() const { return m_isNull; }
    Primacy GetPrimacy() const { return m_primacy; }
    bool IsAutoCreate() const { return m_autoCreate; }
    int GetOrdinal() const { return m_ordinal; }
    Data* GetData() const { return mp_data; }

    // Relates this type T and `other` U: each U item links to at most x T
    // items and each T item to at most y U items; `owns` makes T the owner
    // of U (an owned item without an owner goes at the next sweep).
    void RelateToType(Type* other, OneOrMany x, OneOrMany y, bool owns);
    bool IsRelatedTo(const Type* other) const;
    RelationInfo GetRelation(const Type* other) const;
    void GetRelatedTypes(std::map<Type*, RelationInfo>& out) const;

    ItemPtr operator[](const Value& value) { return GetItem(value); }
    // The item of that value; created when the type auto-creates.
    ItemPtr GetItem(const Value& value);
    // The item of that value or a null handle; never creates.
    ItemPtr HasItem(const Value& value) const;
    // Finds or creates the item of that value whatever the auto-create flag.
    ItemPtr NewItem(const Value& value);
    // A new valueless item of a null type.
    ItemPtr NewItem();
    ItemPtr GetGlobalNullItem();

    ItemSet GetItems() const;
    void GetItems(ItemSet& out) const;
    int ItemCount() const { return m_liveCount; }

    Event<ItemPtr>& NewItemEvent() { return m_newItemEvent; }
    Event<ItemPtr>& ItemRemovedEvent() { return m_itemRemovedEvent; }
    Event<ConnectionInfo&>& ConnectedEvent() { return m_connectedEvent; }
    Event<ConnectionInfo&>& DisconnectedEvent() { return m_disconnectedEvent; }

private:
    friend class Data;
    friend class Item;
    friend class ItemPtr;
    friend class Links;
    friend class DataSaver;
    friend struct StoreInternals;

    struct RelationSlot {
        bool related = false;
        RelationInfo info;
    };

    Type(Data* data, std::string name, Primacy primacy, bool isNull, bool autoCreate, int ordinal);
    ~Type();
    Type(const Type&) = delete;
    Type& operator=(const Type&) = delete;

    const RelationSlot* Slot(const Type* other) const {
        return other->m_ordinal < int(m_relations.size()) &&
                       m_relations[std::size_t(other->m_ordinal)].related
                   ? &m_relations[std::size_t(other->m_ordinal)]
                   : nullptr;
    }
    Item* FindByValue(const char* bytes, std::size_t size) const;
    Item* CreateItem(const char* bytes, std::size_t size, bool valueless, bool globalNull);
    void IndexInsert(Item* item);
    void IndexErase(Item* item);
    void IndexRebuild();
    // Starts a larger index; the old one is moved over a stretch per insert.
    void IndexGrow();
    void IndexMoveSome(std::size_t count);
    void Compact();

    Data* mp_data;
    std::string m_name;
    Primacy m_primacy;
    bool m_isNull;
    bool m_autoCreate;
    bool m_isOwned = false;  // some type owns this one
    int m_ordinal;
    std::vector<RelationSlot> m_relations;  // by partner ordinal
    std::vector<Type*> m_owners;
    std::vector<Item*> m_items;  // identity order; removed ones until compaction
    int m_liveCount = 0;
    int m_deadCount = 0;
    std::vector<Item*> m_index;  // open addressing by value; null = empty
    // The index it outgrew, emptied into m_index from m_oldIndexNext on, so
    // that growing a big type never rehashes it in one go.
    std::vector<Item*> m_oldIndex;
    std::size_t m_oldIndexNext = 0;
    std::size_t m_indexUsed = 0;   // items in both indexes
    std::size_t m_indexTombs = 0;  // in m_index
    Item* mp_globalNull = nullptr;

    Event<ItemPtr> m_newItemEvent;
    Event<ItemPtr> m_itemRemovedEvent;
    Event<ConnectionInfo&> m_connectedEvent;
    Event<ConnectionInfo&> m_disconnectedEvent;
};

// ---------------------------------------------------------------------------
// Path patterns. A pattern is rooted at a type or one item; each child step
// names a partner type or item and its relation. The parent owns its children.

class PathNode {
public:
    PathNode(Data* data, const char* typeName);
    explicit PathNode(const ItemPtr& root);
    PathNode(PathNode* parent, const char* typeName, PathNodeRelation relation);
    PathNode(PathNode* parent, const ItemPtr& item, PathNodeRelation relation);
    ~PathNode();
    PathNode(const PathNode&) = delete;
    PathNode& operator=(const PathNode&) = delete;

    Type* GetType() const { return mp_type; }
    const ItemPtr& GetBoundItem() const { return m_item; }
    PathNodeRelation GetRelation() const { return m_relation; }
    PathNode* GetParent() const { return mp_parent; }
    const std::vector<PathNode*>& GetChildren() const { return m_children; }

private:
    PathNode* mp_parent = nullptr;
    Type* mp_type = nullptr;
    ItemPtr m_item;
    PathNodeRelation m_relation = PathConnectedWatched;
    std::vector<PathNode*> m_children;
};

// ---------------------------------------------------------------------------

class Data {
public:
    Data();
    ~Data();
    Data(const Data&) = delete;
    Data& operator=(const Data&) = delete;

    Type* NewType(const std::string& name, Primacy primacy, bool isNull, bool autoCreate);
    Type* GetType(const std::string& name) const;
    Type* GetType(const char* name) const;
    bool HasType(const std::string& name) const;
    Type* FindType(const char* name) const;  // null when not declared
    void GetTypes(std::map<std::string, Type*>& out) const;
    const std::vector<Type*>& TypesInOrder() const { return m_typeList; }

    ItemPtr GetItem(const ItemPtr& a, const ItemPtr& b, const char* typeName);
    ItemPtr GetItem(const ItemSet& items, const char* typeName);
    ItemSet GetItems(const ItemPtr& a, const ItemPtr& b, const char* typeName);
    ItemSet GetItems(const ItemSet& items, const char* typeName);
    ItemSet GetItemSubset(const ItemSet& items, const char* typeName);
    // The members of GetItemSubset one at a time, in identity order, until
    // `visit` returns false: a caller that needs only the first few pays
    // only for those. `visit` must not change the store. Members from the
    // first whose identity is above `after`, so that a caller may go on
    // where it stopped, the store changed between.
    void ForEachInSubset(const ItemSet& items, const char* typeName,
                         const std::function<bool(const ItemPtr&)>& visit, std::uint64_t after = 0);
    // Whether GetItemSubset has more than `n` members; looks at no more
    // than n + 1 of them, and at none when one item has few links.
    bool SubsetHasMoreThan(const ItemSet& items, const char* typeName, std::size_t n);

    // The sweep: removes owned items without an owner (repeatedly), then every
    // item no root item reaches. Returns the number of items removed.
    int RemoveDisconnectedItems();
    // Rebuilds the internal indexes and containers; items keep their identity.
    void Renew();

    void AddPathEventHandler(PathNode* root, EventHandlerBase<ItemPtr>* handler);
    void AddConnectionEventHandler(Type* a, Type* b, EventHandlerBase<ConnectionInfo&>* handler);

    Event<ItemPtr>& NewItemEvent() { return m_newItemEvent; }
    Event<ItemPtr>& ItemRemovedEvent() { return m_itemRemovedEvent; }

    std::size_t ItemCount() const;

    // Drops every type, item and handler without events. For tests, which
    // share one global store across cases.
    void Reset();

private:
    friend class Type;
    friend class ItemPtr;
    friend class Item;
    friend class DataSaver;
    friend struct StoreInternals;

    struct PathPattern;
    struct PathTrigger {
        PathPattern* pattern;
        PathNode* node;
    };
    struct PairHandlers;

    std::uint64_t NextId() { return ++m_lastId; }

    void Link(Item* a, Item* b);
    void Unlink(Item* a, Item* b);
    void ConnectItems(Item* a, Item* b);
    bool DisconnectItems(Item* a, Item* b);
    void RemoveItem(Item* item);
    void NotifyNewItem(Item* item);
    bool HasListeners(Item* a, Item* b, bool connected) const;
    void FireConnected(Item* a, Item* b);
    void FireDisconnected(Item* a, Item* b);
    void FirePaths(Item* a, Item* b, bool connected);
    void CollectPathRoots(const PathTrigger& trigger, Item* c, Item* p, bool connected,
                          std::vector<Item*>& roots);
    void PurgePatterns();

    std::map<std::string, Type*, std::less<>> m_types;
    std::vector<Type*> m_typeList;
    std::uint64_t m_lastId = 0;
    Event<ItemPtr> m_newItemEvent;
    Event<ItemPtr> m_itemRemovedEvent;
    std::vector<std::unique_ptr<PathPattern>> m_patterns;
    std::vector<std::vector<PathTrigger>> m_triggers;  // by type ordinal
    bool m_patternsDirty = false;
    int m_pathDepth = 0;
    std::map<std::pair<int, int>, std::unique_ptr<Event<ConnectionInfo&>>> m_pairHandlers;
    std::vector<bool> m_hasPairHandlers;  // by type ordinal
};

// The item store of the program.
extern Data d;

#endif
