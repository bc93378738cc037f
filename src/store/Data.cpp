#include "store/Data.h"

#include <QList>
#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string_view>

#include "store/GeneralFunctions.h"
#include "store/Links.h"
#include "store/Log.h"
#include "store/Parallel.h"

Data d;

// ---------------------------------------------------------------------------

DataException::DataException(const char* kind, const std::string& name)
    : m_name(name), m_message(std::string(kind) + ": " + name) {}

Value::Value(const QString& text) {
    QByteArray bytes = text.toUtf8();
    const int nul = bytes.indexOf('\0');
    if (nul >= 0)
        bytes.truncate(nul);
    m_bytes.assign(bytes.constData(), std::size_t(bytes.size()));
}

// ---------------------------------------------------------------------------
// Item memory. Items are small and many, so they come from size-classed
// blocks without a per-object header. The last handle may in principle go
// on another thread, hence the lock.

namespace {

class ItemAllocator {
public:
    static constexpr std::size_t kGranule = 8;
    static constexpr std::size_t kMaxPooled = 256;
    static constexpr std::size_t kBlockSize = 64 * 1024;

    void* Allocate(std::size_t size) {
        const std::size_t cls = (size + kGranule - 1) / kGranule;
        if (cls * kGranule > kMaxPooled)
            return ::operator new(size);
        std::lock_guard<std::mutex> lock(m_mutex);
        FreeNode*& head = m_free[cls];
        if (head) {
            FreeNode* node = head;
            head = node->next;
            return node;
        }
        const std::size_t bytes = cls * kGranule;
        if (m_blockLeft < bytes) {
            m_blocks.push_back(static_cast<char*>(::operator new(kBlockSize)));
            m_blockPos = m_blocks.back();
            m_blockLeft = kBlockSize;
        }
        void* p = m_blockPos;
        m_blockPos += bytes;
        m_blockLeft -= bytes;
        return p;
    }

    void Free(void* p, std::size_t size) {
        const std::size_t cls = (size + kGranule - 1) / kGranule;
        if (cls * kGranule > kMaxPooled) {
            ::operator delete(p);
            return;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        auto* node = static_cast<FreeNode*>(p);
        node->next = m_free[cls];
        m_free[cls] = node;
    }

private:
    struct FreeNode {
        FreeNode* next;
    };
    std::mutex m_mutex;
    FreeNode* m_free[kMaxPooled / kGranule + 1] = {};
    std::vector<char*> m_blocks;
    char* m_blockPos = nullptr;
    std::size_t m_blockLeft = 0;
};

// Never destroyed: handles held by other globals may outlive every destructor.
ItemAllocator& Allocator() {
    static ItemAllocator* allocator = new ItemAllocator;
    return *allocator;
}

}  // namespace

// ---------------------------------------------------------------------------
// Item

void Item::Destroy(Item* item) {
    Links::Free(item);
    const std::size_t size = sizeof(Item) + item->m_valueSize;
    item->~Item();
    Allocator().Free(item, size);
}

void Item::GetConnectedItems(TypeItemsMap& out) const {
    out.Clear();
    auto& entries = out.Entries();
    Links::ForEachAll(this, [&](Item* x) {
        if (entries.empty() || entries.back().first != x->mp_type)
            entries.emplace_back(x->mp_type, ItemSet());
        entries.back().second.AppendOrdered(ItemPtr(x));
    });
}

// ---------------------------------------------------------------------------
// Type

Type::Type(Data* data, std::string name, Primacy primacy, bool isNull, bool autoCreate, int ordinal)
    : mp_data(data),
      m_name(std::move(name)),
      m_primacy(primacy),
      m_isNull(isNull),
      m_autoCreate(autoCreate),
      m_ordinal(ordinal) {}

Type::~Type() = default;

void Type::RelateToType(Type* other, OneOrMany x, OneOrMany y, bool owns) {
    if (!other)
        throw TypeNotFoundException("(null)");
    if (IsRelatedTo(other))
        throw AlreadyRelatedException(m_name + " / " + other->m_name);
    auto slotFor = [](Type* t, const Type* partner) -> RelationSlot& {
        if (t->m_relations.size() <= std::size_t(partner->m_ordinal))
            t->m_relations.resize(std::size_t(partner->m_ordinal) + 1);
        return t->m_relations[std::size_t(partner->m_ordinal)];
    };
    RelationSlot& mine = slotFor(this, other);
    mine.related = true;
    mine.info = RelationInfo{x, y, owns, false};
    if (other != this) {
        RelationSlot& theirs = slotFor(other, this);
        theirs.related = true;
        theirs.info = RelationInfo{y, x, false, owns};
    }
    if (owns) {
        other->m_isOwned = true;
        other->m_owners.push_back(this);
    }
}

bool Type::IsRelatedTo(const Type* other) const {
    return other && Slot(other) != nullptr;
}

RelationInfo Type::GetRelation(const Type* other) const {
    const RelationSlot* s = other ? Slot(other) : nullptr;
    if (!s)
        throw NotRelatedException(m_name + " / " + (other ? other->m_name : "(null)"));
    return s->info;
}

void Type::GetRelatedTypes(std::map<Type*, RelationInfo>& out) const {
    for (Type* t : mp_data->m_typeList)
        if (const RelationSlot* s = Slot(t))
            out[t] = s->info;
}

void Type::Compact() {
    if (m_deadCount == 0)
        return;
    std::vector<Item*> kept;
    kept.reserve(std::size_t(m_liveCount));
    for (Item* x : m_items) {
        if (x->IsRemoved()) {
            if (x->Release())
                Item::Destroy(x);
        } else {
            kept.push_back(x);
        }
    }
    m_items.swap(kept);
    m_deadCount = 0;
}

Item* Type::CreateItem(const char* bytes, std::size_t size, bool valueless, bool globalNull) {
    if (size > 0xFFFFFFFFu)
        throw std::bad_alloc();
    void* mem = Allocator().Allocate(sizeof(Item) + size);
    std::uint32_t flags = 0;
    if (valueless)
        flags |= Item::kValueless;
    if (globalNull)
        flags |= Item::kGlobalNull;
    Item* item = new (mem) Item(this, mp_data->NextId(), std::uint32_t(size), flags);
    if (size)
        std::memcpy(reinterpret_cast<char*>(item + 1), bytes, size);
    item->AddRef();  // the store's own reference
    m_items.push_back(item);
    ++m_liveCount;
    if (!valueless)
        IndexInsert(item);
    if (globalNull)
        mp_globalNull = item;
    mp_data->NotifyNewItem(item);
    return item;
}

ItemPtr Type::GetItem(const Value& value) {
    if (m_isNull)
        throw NullTypeException(m_name);
    const std::string& b = value.Bytes();
    if (Item* x = FindByValue(b.data(), b.size()))
        return ItemPtr(x);
    if (!m_autoCreate)
        return ItemPtr();
    return ItemPtr(CreateItem(b.data(), b.size(), false, false));
}

ItemPtr Type::HasItem(const Value& value) const {
    if (m_isNull)
        throw NullTypeException(m_name);
    const std::string& b = value.Bytes();
    return ItemPtr(FindByValue(b.data(), b.size()));
}

ItemPtr Type::NewItem(const Value& value) {
    if (m_isNull)
        throw NullTypeException(m_name);
    const std::string& b = value.Bytes();
    if (Item* x = FindByValue(b.data(), b.size()))
        return ItemPtr(x);
    return ItemPtr(CreateItem(b.data(), b.size(), false, false));
}

ItemPtr Type::NewItem() {
    if (!m_isNull)
        throw NullTypeException(m_name);
    return ItemPtr(CreateItem(nullptr, 0, true, false));
}

ItemPtr Type::GetGlobalNullItem() {
    if (!m_isNull)
        throw NullTypeException(m_name);
    if (mp_globalNull && !mp_globalNull->IsRemoved())
        return ItemPtr(mp_globalNull);
    return ItemPtr(CreateItem(nullptr, 0, true, true));
}

ItemSet Type::GetItems() const {
    ItemSet out;
    GetItems(out);
    return out;
}

void Type::GetItems(ItemSet& out) const {
    ItemSet mine;
    for (Item* x : m_items)
        if (!x->IsRemoved())
            mine.AppendOrdered(ItemPtr(x));
    if (out.Empty())
        out = std::move(mine);
    else
        out.Add(mine);
}

// ---------------------------------------------------------------------------
// ItemPtr

namespace {
Type* TypeByName(const char* name) {
    return d.GetType(name);
}

template <class T>
T ParseNumber(const Item* item) {
    if (!item || item->ValueSize() == 0)
        return T(0);
    const char* b = item->ValueData();
    const char* e = b + item->ValueSize();
    T result{};
    auto r = std::from_chars(b, e, result);
    if (r.ec != std::errc() || r.ptr != e)
        return T(0);
    return result;
}
}  // namespace

ItemPtr ItemPtr::HasItem(const char* typeName) const {
    Type* t = TypeByName(typeName);
    if (IsNull())
        return ItemPtr();
    return ItemPtr(Links::First(m_item.Get(), t->m_ordinal));
}

ItemPtr ItemPtr::HasItem(const Type* type) const {
    if (IsNull())
        return ItemPtr();
    return ItemPtr(Links::First(m_item.Get(), type->m_ordinal));
}

ItemSet ItemPtr::GetItems(const char* typeName) const {
    ItemSet out;
    GetItems(typeName, out);
    return out;
}

void ItemPtr::GetItems(const char* typeName, ItemSet& out) const {
    Type* t = TypeByName(typeName);
    if (IsNull())
        return;
    ItemSet mine;
    Links::ForEachOfType(m_item.Get(), t->m_ordinal, [&](Item* x) {
        mine.AppendOrdered(ItemPtr(x));
        return true;
    });
    if (out.Empty())
        out = std::move(mine);
    else
        out.Add(mine);
}

int ItemPtr::CountItems(const char* typeName) const {
    Type* t = TypeByName(typeName);
    return IsNull() ? 0 : int(Links::Count(m_item.Get(), t->m_ordinal));
}

bool ItemPtr::IsConnected(const char* typeName) const {
    Type* t = TypeByName(typeName);
    return !IsNull() && Links::First(m_item.Get(), t->m_ordinal) != nullptr;
}

bool ItemPtr::IsConnected(const ItemPtr& other) const {
    if (IsNull() || other.IsNull())
        return false;
    return Links::Contains(m_item.Get(), other.m_item.Get());
}

bool ItemPtr::IsDisconnectedFromAll() const {
    return IsNull() || m_item->m_linkCount == 0;
}

ItemPtr ItemPtr::Connect(const ItemPtr& other) const {
    if (IsNull() || other.IsNull())
        return other;
    d.ConnectItems(m_item.Get(), other.m_item.Get());
    return other;
}

void ItemPtr::Disconnect(const char* typeName) const {
    Type* t = TypeByName(typeName);
    if (IsNull())
        return;
    std::vector<ItemPtr> partners;
    Links::ForEachOfType(m_item.Get(), t->m_ordinal, [&](Item* x) {
        partners.emplace_back(x);
        return true;
    });
    for (const ItemPtr& p : partners)
        d.DisconnectItems(m_item.Get(), p.m_item.Get());
}

void ItemPtr::Disconnect(const ItemPtr& other) const {
    if (IsNull() || other.IsNull())
        return;
    d.DisconnectItems(m_item.Get(), other.m_item.Get());
}

ItemPtr ItemPtr::NewItem(const char* typeName) const {
    Type* t = TypeByName(typeName);
    if (!t->IsNull())
        throw NullTypeException(t->GetName());
    if (IsNull() || m_item->IsRemoved())
        return ItemPtr();
    Type* mine = m_item->mp_type;
    const RelationInfo rel = mine->GetRelation(t);
    ItemPtr flag;
    if (rel.otherPerThis == One) {
        if (Item* existing = Links::First(m_item.Get(), t->m_ordinal))
            return ItemPtr(existing);
        flag = rel.thisPerOther == Many ? t->GetGlobalNullItem() : t->NewItem();
    } else {
        flag = t->NewItem();
    }
    Connect(flag);
    return flag;
}

void ItemPtr::ReserveLinks(int count) const {
    if (!m_item.IsNull() && !m_item->IsRemoved() && count > 0)
        Links::Reserve(m_item.Get(), std::uint32_t(count));
}

void ItemPtr::Remove() const {
    if (IsNull())
        return;
    d.RemoveItem(m_item.Get());
}

QString ItemPtr::AsString() const {
    if (IsNull() || m_item->ValueSize() == 0)
        return QString();
    return ToQString(m_item->ValueData(), m_item->ValueSize());
}

std::string ItemPtr::AsStdString() const {
    if (IsNull())
        return std::string();
    return std::string(m_item->ValueData(), m_item->ValueSize());
}

QByteArray ItemPtr::AsByteArray() const {
    if (IsNull())
        return QByteArray();
    return QByteArray(m_item->ValueData(), int(m_item->ValueSize()));
}

int ItemPtr::AsInt() const {
    return ParseNumber<int>(m_item.Get());
}
unsigned ItemPtr::AsUInt() const {
    return ParseNumber<unsigned>(m_item.Get());
}
qint64 ItemPtr::AsInt64() const {
    return ParseNumber<qint64>(m_item.Get());
}
quint64 ItemPtr::AsUInt64() const {
    return ParseNumber<quint64>(m_item.Get());
}

void ItemPtr::GetConnectedItems(TypeItemsMap& out) const {
    if (IsNull()) {
        out.Clear();
        return;
    }
    m_item->GetConnectedItems(out);
}

// ---------------------------------------------------------------------------
// Handlers

EventHandlerRoot::~EventHandlerRoot() {
    if (mp_owner)
        mp_owner->Forget(this);
}

DataHandler::~DataHandler() {
    DisableHandlers();
}

void DataHandler::DisableHandlers() {
    for (EventHandlerRoot* h : m_handlers) {
        h->MarkRemoved();
        h->mp_owner = nullptr;
    }
    m_handlers.clear();
}

void DataHandler::Forget(EventHandlerRoot* handler) {
    auto pos = std::find(m_handlers.begin(), m_handlers.end(), handler);
    if (pos != m_handlers.end())
        m_handlers.erase(pos);
}

// ---------------------------------------------------------------------------
// Path patterns

PathNode::PathNode(Data* data, const char* typeName) : mp_type(data->GetType(typeName)) {}

PathNode::PathNode(const ItemPtr& root) : mp_type(root.GetType()), m_item(root) {}

PathNode::PathNode(PathNode* parent, const char* typeName, PathNodeRelation relation)
    : mp_parent(parent), m_relation(relation) {
    mp_type = parent->mp_type ? parent->mp_type->GetData()->GetType(typeName) : d.GetType(typeName);
    parent->m_children.push_back(this);
}

PathNode::PathNode(PathNode* parent, const ItemPtr& item, PathNodeRelation relation)
    : mp_parent(parent), mp_type(item.GetType()), m_item(item), m_relation(relation) {
    parent->m_children.push_back(this);
}

PathNode::~PathNode() {
    for (PathNode* c : m_children)
        delete c;
}

struct Data::PathPattern {
    std::unique_ptr<PathNode> root;
    EventHandlerBase<ItemPtr>* handler = nullptr;
    bool dead = false;
    ~PathPattern() { delete handler; }
};

namespace {

bool NodeMatches(const PathNode* n, const Item* x) {
    if (!n->GetBoundItem().IsNull())
        return n->GetBoundItem().GetItemObject() == x;
    return x->GetType() == n->GetType();
}

bool SubtreeHolds(const PathNode* node, const Item* x, const PathNode* skip);

bool ChildHolds(const PathNode* child, const Item* parentItem) {
    const Item* bound = child->GetBoundItem().GetItemObject();
    switch (child->GetRelation()) {
        case PathConnectedWatched:
        case PathConnected: {
            if (bound)
                return Links::Contains(parentItem, bound) && SubtreeHolds(child, bound, nullptr);
            if (!child->GetType())
                return false;
            bool found = false;
            Links::ForEachOfType(parentItem, child->GetType()->GetOrdinal(), [&](Item* y) {
                found = SubtreeHolds(child, y, nullptr);
                return !found;
            });
            return found;
        }
        case PathNotConnectedWatched:
        case PathNotConnected:
            if (bound)
                return !Links::Contains(parentItem, bound);
            return !child->GetType() ||
                   Links::First(parentItem, child->GetType()->GetOrdinal()) == nullptr;
        default:
            // Only the change being notified can satisfy these.
            return false;
    }
}

bool SubtreeHolds(const PathNode* node, const Item* x, const PathNode* skip) {
    for (const PathNode* c : node->GetChildren())
        if (c != skip && !ChildHolds(c, x))
            return false;
    return true;
}

void CollectUp(const PathNode* node, Item* x, const PathNode* from, std::vector<Item*>& roots) {
    if (!SubtreeHolds(node, x, from))
        return;
    const PathNode* parent = node->GetParent();
    if (!parent) {
        if (std::find(roots.begin(), roots.end(), x) == roots.end())
            roots.push_back(x);
        return;
    }
    const PathNodeRelation rel = node->GetRelation();
    if (rel != PathConnectedWatched && rel != PathConnected)
        return;
    if (Item* bound = parent->GetBoundItem().GetItemObject()) {
        if (Links::Contains(x, bound))
            CollectUp(parent, bound, node, roots);
        return;
    }
    if (!parent->GetType())
        return;
    Links::ForEachOfType(x, parent->GetType()->GetOrdinal(), [&](Item* y) {
        CollectUp(parent, y, node, roots);
        return true;
    });
}

}  // namespace

void Data::CollectPathRoots(const PathTrigger& trigger, Item* c, Item* p, bool connected,
                            std::vector<Item*>& roots) {
    const PathNode* n = trigger.node;
    const PathNode* parent = n->GetParent();
    if (!NodeMatches(n, c) || !NodeMatches(parent, p))
        return;
    switch (n->GetRelation()) {
        case PathConnectedWatched:
        case PathConnecting:
            if (!connected || !SubtreeHolds(n, c, nullptr))
                return;
            break;
        case PathDisconnecting:
            if (connected || !SubtreeHolds(n, c, nullptr))
                return;
            break;
        case PathNotConnectedWatched:
            if (connected || !ChildHolds(n, p))
                return;
            break;
        default:
            return;
    }
    CollectUp(parent, p, n, roots);
}

void Data::AddPathEventHandler(PathNode* root, EventHandlerBase<ItemPtr>* handler) {
    auto pattern = std::make_unique<PathPattern>();
    pattern->root.reset(root);
    pattern->handler = handler;
    std::vector<PathNode*> stack(root->GetChildren().begin(), root->GetChildren().end());
    while (!stack.empty()) {
        PathNode* n = stack.back();
        stack.pop_back();
        for (PathNode* c : n->GetChildren())
            stack.push_back(c);
        const PathNodeRelation rel = n->GetRelation();
        if (rel == PathConnected || rel == PathNotConnected || !n->GetType())
            continue;
        const std::size_t ord = std::size_t(n->GetType()->GetOrdinal());
        if (m_triggers.size() <= ord)
            m_triggers.resize(ord + 1);
        m_triggers[ord].push_back(PathTrigger{pattern.get(), n});
    }
    m_patterns.push_back(std::move(pattern));
}

void Data::FirePaths(Item* a, Item* b, bool connected) {
    if (m_patterns.empty())
        return;
    const std::size_t oa = std::size_t(a->mp_type->m_ordinal);
    const std::size_t ob = std::size_t(b->mp_type->m_ordinal);
    const bool ta = oa < m_triggers.size() && !m_triggers[oa].empty();
    const bool tb = ob < m_triggers.size() && !m_triggers[ob].empty();
    if (!ta && !tb)
        return;

    struct Call {
        PathPattern* pattern;
        ItemPtr root;
    };
    std::vector<Call> calls;
    std::vector<Item*> roots;
    auto scan = [&](std::size_t ord, Item* c, Item* p) {
        for (const PathTrigger& t : m_triggers[ord]) {
            if (t.pattern->dead)
                continue;
            if (t.pattern->handler->IsRemoved()) {
                t.pattern->dead = true;
                m_patternsDirty = true;
                continue;
            }
            roots.clear();
            CollectPathRoots(t, c, p, connected, roots);
            for (Item* r : roots) {
                bool seen = false;
                for (const Call& call : calls)
                    if (call.pattern == t.pattern && call.root.GetItemObject() == r)
                        seen = true;
                if (!seen)
                    calls.push_back(Call{t.pattern, ItemPtr(r)});
            }
        }
    };
    if (ta)
        scan(oa, a, b);
    if (tb)
        scan(ob, b, a);

    ++m_pathDepth;
    for (const Call& call : calls) {
        if (call.pattern->dead || call.pattern->handler->IsRemoved())
            continue;
        call.pattern->handler->Call(call.root);
    }
    --m_pathDepth;
    if (m_pathDepth == 0 && m_patternsDirty)
        PurgePatterns();
}

void Data::PurgePatterns() {
    m_patternsDirty = false;
    for (auto& p : m_patterns)
        if (p->handler->IsRemoved())
            p->dead = true;
    for (auto& list : m_triggers)
        list.erase(std::remove_if(list.begin(), list.end(),
                                  [](const PathTrigger& t) { return t.pattern->dead; }),
                   list.end());
    m_patterns.erase(std::remove_if(m_patterns.begin(), m_patterns.end(),
                                    [](const std::unique_ptr<PathPattern>& p) { return p->dead; }),
                     m_patterns.end());
}

// ---------------------------------------------------------------------------
// Data

Data::Data() = default;

Data::~Data() {
    Reset();
}

void Data::Reset() {
    // No events: every item is detached and the handlers are dropped.
    for (Type* t : m_typeList) {
        for (Item* x : t->m_items) {
            Links::Free(x);
            x->m_flags |= Item::kRemoved;
            x->mp_type = nullptr;
            if (x->Release())
                Item::Destroy(x);
        }
        t->m_items.clear();
    }
    m_patterns.clear();
    m_triggers.clear();
    m_pairHandlers.clear();
    m_newItemEvent.Clear();
    m_itemRemovedEvent.Clear();
    m_hasPairHandlers.clear();
    for (Type* t : m_typeList)
        delete t;
    m_typeList.clear();
    m_types.clear();
}

Type* Data::NewType(const std::string& name, Primacy primacy, bool isNull, bool autoCreate) {
    if (m_types.count(name))
        throw TypeAlreadyExistsException(name);
    Type* t = new Type(this, name, primacy, isNull, autoCreate, int(m_typeList.size()));
    m_types.emplace(name, t);
    m_typeList.push_back(t);
    return t;
}

Type* Data::FindType(const char* name) const {
    if (!name)
        return nullptr;
    auto it = m_types.find(std::string_view(name));
    return it == m_types.end() ? nullptr : it->second;
}

Type* Data::GetType(const char* name) const {
    Type* t = FindType(name);
    if (!t)
        throw TypeNotFoundException(name ? name : "(null)");
    return t;
}

Type* Data::GetType(const std::string& name) const {
    return GetType(name.c_str());
}

bool Data::HasType(const std::string& name) const {
    return FindType(name.c_str()) != nullptr;
}

void Data::GetTypes(std::map<std::string, Type*>& out) const {
    for (const auto& e : m_types)
        out[e.first] = e.second;
}

std::size_t Data::ItemCount() const {
    std::size_t n = 0;
    for (Type* t : m_typeList)
        n += std::size_t(t->m_liveCount);
    return n;
}

ItemPtr Data::GetItem(const ItemPtr& a, const ItemPtr& b, const char* typeName) {
    ItemSet both = GetItems(a, b, typeName);
    return both.First();
}

ItemSet Data::GetItems(const ItemPtr& a, const ItemPtr& b, const char* typeName) {
    ItemSet pair;
    pair.Insert(a);
    pair.Insert(b);
    if (a.IsNull() || b.IsNull())
        return ItemSet();
    return GetItemSubset(pair, typeName);
}

ItemPtr Data::GetItem(const ItemSet& items, const char* typeName) {
    return GetItemSubset(items, typeName).First();
}

ItemSet Data::GetItems(const ItemSet& items, const char* typeName) {
    return items.GetItems(typeName);
}

ItemSet Data::GetItemSubset(const ItemSet& items, const char* typeName) {
    ItemSet out;
    ForEachInSubset(items, typeName, [&out](const ItemPtr& x) {
        out.AppendOrdered(x);
        return true;
    });
    return out;
}

namespace {

// The member of `items` with the fewest links to the type, and how many;
// null when some member has none.
std::pair<const Item*, std::size_t> Rarest(const ItemSet& items, int ord) {
    const Item* rarest = nullptr;
    std::size_t fewest = 0;
    for (const ItemPtr& x : items) {
        const std::size_t n = Links::Count(x.GetItemObject(), ord);
        if (n == 0)
            return {nullptr, 0};
        if (!rarest || n < fewest) {
            rarest = x.GetItemObject();
            fewest = n;
        }
    }
    return {rarest, fewest};
}

}  // namespace

void Data::ForEachInSubset(const ItemSet& items, const char* typeName,
                           const std::function<bool(const ItemPtr&)>& visit, std::uint64_t after) {
    Type* t = GetType(typeName);
    const int ord = t->m_ordinal;
    const Item* rarest = Rarest(items, ord).first;
    if (!rarest)
        return;
    Links::ForEachOfTypeAfter(rarest, ord, after, [&](Item* candidate) {
        for (const ItemPtr& x : items) {
            const Item* xi = x.GetItemObject();
            if (xi != rarest && !Links::Contains(xi, candidate))
                return true;
        }
        return visit(ItemPtr(candidate));
    });
}

bool Data::SubsetHasMoreThan(const ItemSet& items, const char* typeName, std::size_t n) {
    const auto [rarest, fewest] = Rarest(items, GetType(typeName)->m_ordinal);
    if (fewest <= n)
        return false;
    if (items.Size() == 1)
        return true;
    std::size_t seen = 0;
    ForEachInSubset(items, typeName, [&seen, n](const ItemPtr&) { return ++seen <= n; });
    return seen > n;
}

void Data::AddConnectionEventHandler(Type* a, Type* b, EventHandlerBase<ConnectionInfo&>* handler) {
    if (!a || !b || !a->IsRelatedTo(b))
        throw NotRelatedException((a ? a->m_name : "(null)") + " / " + (b ? b->m_name : "(null)"));
    // An event owns its handlers, so one handler may only ever sit in one.
    for (const auto& e : m_pairHandlers)
        if (e.second->Contains(handler))
            return;
    auto& event = m_pairHandlers[std::make_pair(a->m_ordinal, b->m_ordinal)];
    if (!event)
        event = std::make_unique<Event<ConnectionInfo&>>();
    event->Insert(handler);
    const std::size_t need = std::size_t(std::max(a->m_ordinal, b->m_ordinal)) + 1;
    if (m_hasPairHandlers.size() < need)
        m_hasPairHandlers.resize(need, false);
    m_hasPairHandlers[std::size_t(a->m_ordinal)] = true;
    m_hasPairHandlers[std::size_t(b->m_ordinal)] = true;
}

void Data::NotifyNewItem(Item* item) {
    Type* t = item->mp_type;
    if (t->m_newItemEvent.Empty() && m_newItemEvent.Empty())
        return;
    ItemPtr handle(item);
    t->m_newItemEvent.Notify(handle);
    m_newItemEvent.Notify(handle);
}

void Data::Link(Item* a, Item* b) {
    Links::Insert(a, b);
    if (a != b)
        Links::Insert(b, a);
}

void Data::Unlink(Item* a, Item* b) {
    Links::Erase(a, b);
    if (a != b)
        Links::Erase(b, a);
}

void Data::ConnectItems(Item* a, Item* b) {
    Type* ta = a->mp_type;
    Type* tb = b->mp_type;
    if (!ta || !tb || a->IsRemoved() || b->IsRemoved())
        return;
    const Type::RelationSlot* slot = ta->Slot(tb);
    if (!slot)
        throw NotRelatedException(ta->m_name + " / " + tb->m_name);
    if (Links::Contains(a, b))
        return;
    Item* oldA = slot->info.otherPerThis == One ? Links::First(a, tb->m_ordinal) : nullptr;
    Item* oldB = slot->info.thisPerOther == One ? Links::First(b, ta->m_ordinal) : nullptr;
    if (oldA || oldB) {
        ItemPtr keepA(a), keepB(b);
        // Drop old partners at "one" ends; handlers of those disconnections
        // may change the store, so look again until it is settled.
        for (int round = 0; round < 16 && (oldA || oldB); ++round) {
            // A handler of the first disconnection may remove the second old
            // partner: hold both.
            const ItemPtr keepOldA(oldA), keepOldB(oldB);
            if (oldA)
                DisconnectItems(a, oldA);
            if (oldB)
                DisconnectItems(b, oldB);
            if (a->IsRemoved() || b->IsRemoved() || Links::Contains(a, b))
                return;
            oldA = slot->info.otherPerThis == One ? Links::First(a, tb->m_ordinal) : nullptr;
            oldB = slot->info.thisPerOther == One ? Links::First(b, ta->m_ordinal) : nullptr;
        }
    }
    Link(a, b);
    FireConnected(a, b);
}

bool Data::DisconnectItems(Item* a, Item* b) {
    if (!a->mp_type || !b->mp_type || !Links::Contains(a, b))
        return false;
    Unlink(a, b);
    FireDisconnected(a, b);
    return true;
}

bool Data::HasListeners(Item* a, Item* b, bool connected) const {
    Type* ta = a->mp_type;
    Type* tb = b->mp_type;
    if (connected ? !ta->m_connectedEvent.Empty() || !tb->m_connectedEvent.Empty()
                  : !ta->m_disconnectedEvent.Empty() || !tb->m_disconnectedEvent.Empty())
        return true;
    const std::size_t oa = std::size_t(ta->m_ordinal), ob = std::size_t(tb->m_ordinal);
    if (connected && oa < m_hasPairHandlers.size() && ob < m_hasPairHandlers.size() &&
        m_hasPairHandlers[oa] && m_hasPairHandlers[ob])
        return true;
    return (oa < m_triggers.size() && !m_triggers[oa].empty()) ||
           (ob < m_triggers.size() && !m_triggers[ob].empty());
}

void Data::FireConnected(Item* a, Item* b) {
    if (!HasListeners(a, b, true))
        return;
    // Handlers may remove either item; keep both alive until all have run.
    ItemPtr keepA(a), keepB(b);
    Type* ta = a->mp_type;
    Type* tb = b->mp_type;
    if (!ta->m_connectedEvent.Empty()) {
        ConnectionInfo info{ItemPtr(a), ItemPtr(b)};
        ta->m_connectedEvent.Notify(info);
    }
    if (!tb->m_connectedEvent.Empty() && ta != tb) {
        ConnectionInfo info{ItemPtr(b), ItemPtr(a)};
        tb->m_connectedEvent.Notify(info);
    }
    const std::size_t oa = std::size_t(ta->m_ordinal), ob = std::size_t(tb->m_ordinal);
    if (oa < m_hasPairHandlers.size() && m_hasPairHandlers[oa] && ob < m_hasPairHandlers.size() &&
        m_hasPairHandlers[ob]) {
        auto fire = [&](Item* from, Item* to) {
            auto it = m_pairHandlers.find(
                std::make_pair(from->mp_type->m_ordinal, to->mp_type->m_ordinal));
            if (it == m_pairHandlers.end())
                return;
            ConnectionInfo info{ItemPtr(from), ItemPtr(to)};
            it->second->Notify(info);
        };
        fire(a, b);
        if (ta != tb)
            fire(b, a);
    }
    FirePaths(a, b, true);
}

void Data::FireDisconnected(Item* a, Item* b) {
    if (!HasListeners(a, b, false))
        return;
    ItemPtr keepA(a), keepB(b);
    Type* ta = a->mp_type;
    Type* tb = b->mp_type;
    if (!ta->m_disconnectedEvent.Empty()) {
        ConnectionInfo info{ItemPtr(a), ItemPtr(b)};
        ta->m_disconnectedEvent.Notify(info);
    }
    if (!tb->m_disconnectedEvent.Empty() && ta != tb) {
        ConnectionInfo info{ItemPtr(b), ItemPtr(a)};
        tb->m_disconnectedEvent.Notify(info);
    }
    FirePaths(a, b, false);
}

void Data::RemoveItem(Item* item) {
    Type* t = item->mp_type;
    if (!t || item->IsRemoved())
        return;
    ItemPtr handle(item);
    // Leave the type first: a removal handler no longer finds it by value or
    // in the type's items, but still sees all its links.
    item->m_flags |= Item::kRemoved;
    if (!item->IsValueless())
        t->IndexErase(item);
    if (t->mp_globalNull == item)
        t->mp_globalNull = nullptr;
    --t->m_liveCount;
    ++t->m_deadCount;
    t->m_itemRemovedEvent.Notify(handle);
    m_itemRemovedEvent.Notify(handle);
    while (item->m_linkCount) {
        std::vector<ItemPtr> partners;
        partners.reserve(item->m_linkCount);
        Links::ForEachAll(item, [&](Item* x) { partners.emplace_back(x); });
        for (const ItemPtr& p : partners)
            DisconnectItems(item, p.GetItemObject());
    }
    Links::Free(item);
    if (t->m_deadCount > 64 && t->m_deadCount > t->m_liveCount / 2)
        t->Compact();
}

int Data::RemoveDisconnectedItems() {
    int removed = 0;
    auto hasOwner = [](const Item* x) {
        for (Type* owner : x->GetType()->m_owners)
            if (Links::First(x, owner->m_ordinal))
                return true;
        return false;
    };

    // Owned items without an owner; repeated, since removing an owner can
    // orphan the items it owns in turn.
    for (bool again = true; again;) {
        again = false;
        for (std::size_t k = 0; k < m_typeList.size(); ++k) {
            Type* t = m_typeList[k];
            if (!t->m_isOwned)
                continue;
            std::vector<ItemPtr> orphans;
            for (Item* x : t->m_items)
                if (!x->IsRemoved() && !hasOwner(x))
                    orphans.emplace_back(x);
            for (const ItemPtr& o : orphans) {
                Item* x = o.GetItemObject();
                if (x->IsRemoved() || hasOwner(x))
                    continue;
                RemoveItem(x);
                ++removed;
                again = true;
            }
        }
    }

    // Reachability from the root items, through roots and intermediates.
    // The time goes into cache misses on partners all over the heap, so a
    // large store is marked on several threads, and every partner of an item
    // is touched before any is read, so that the misses overlap.
    std::vector<ItemPtr> candidates;
    try {
        std::vector<Item*> frontier;
        std::size_t items = 0;
        for (Type* t : m_typeList) {
            items += t->m_items.size();
            if (t->m_primacy != PrimacyRoot)
                continue;
            for (Item* x : t->m_items)
                if (!x->IsRemoved()) {
                    x->m_flags |= Item::kMark;
                    frontier.push_back(x);
                }
        }
        const std::size_t threads = parallel::Threads(items);
        // Two threads may reach one item: only the one that marks it goes on.
        auto markFrom = [](Item* x, std::vector<Item*>& stack, std::vector<Item*>& partners) {
            partners.clear();
            Links::ForEachAll(x, [&](Item* y) {
                __builtin_prefetch(y);
                partners.push_back(y);
            });
            for (Item* y : partners) {
                // Most partners are marked already: a read is cheaper than a swap.
                if ((__atomic_load_n(&y->m_flags, __ATOMIC_RELAXED) & Item::kMark) ||
                    (__atomic_fetch_or(&y->m_flags, std::uint32_t(Item::kMark), __ATOMIC_RELAXED) &
                     Item::kMark))
                    continue;
                if (y->mp_type->m_primacy != PrimacyLeaf) {
                    __builtin_prefetch(y->mp_links);
                    stack.push_back(y);
                }
            }
        };
        // Breadth first on this thread until there is enough to share out.
        std::vector<Item*> partners, next;
        while (threads > 1 && !frontier.empty() && frontier.size() < threads * 256) {
            next.clear();
            for (Item* x : frontier)
                markFrom(x, next, partners);
            frontier.swap(next);
        }
        parallel::OnThreads(threads, [&](std::size_t k) {
            std::vector<Item*> stack(
                frontier.begin() + std::ptrdiff_t(frontier.size() * k / threads),
                frontier.begin() + std::ptrdiff_t(frontier.size() * (k + 1) / threads));
            std::vector<Item*> seen;
            while (!stack.empty()) {
                Item* x = stack.back();
                stack.pop_back();
                markFrom(x, stack, seen);
            }
        });

        for (Type* t : m_typeList)
            for (Item* x : t->m_items)
                if (!x->IsRemoved() && !(x->m_flags & Item::kMark))
                    candidates.emplace_back(x);
    } catch (const std::bad_alloc&) {
        // What is reachable is not known: remove nothing, and let the save
        // that may follow write a few items too many rather than lose any.
        candidates.clear();
        Log("Configuration Data", 1, "Sweep skipped: out of memory");
    }
    for (const ItemPtr& c : candidates) {
        Item* x = c.GetItemObject();
        if (x->IsRemoved())
            continue;
        // A handler may have tied it to a reachable item meanwhile.
        bool reached = false;
        Links::ForEachAll(x, [&](Item* y) {
            if (y->mp_type->m_primacy == PrimacyRoot ||
                ((y->m_flags & Item::kMark) && y->mp_type->m_primacy != PrimacyLeaf))
                reached = true;
        });
        if (reached)
            continue;
        RemoveItem(x);
        ++removed;
    }
    for (Type* t : m_typeList)
        for (Item* x : t->m_items)
            x->m_flags &= ~std::uint32_t(Item::kMark);
    return removed;
}

void Data::Renew() {
    for (Type* t : m_typeList) {
        t->Compact();
        t->m_items.shrink_to_fit();
        if (!t->m_isNull)
            t->IndexRebuild();
        for (Item* x : t->m_items)
            Links::Shrink(x);
    }
}
