#include <QString>
#include <algorithm>
#include <iterator>
#include <list>
#include <vector>

#include "store/Data.h"
#include "store/Links.h"

namespace {
bool IdLess(const ItemPtr& a, const ItemPtr& b) {
    return a.GetId() < b.GetId();
}
const ItemPtr kNullItem;
}  // namespace

bool ItemSet::Contains(const ItemPtr& item) const {
    auto pos = std::lower_bound(m_items.begin(), m_items.end(), item, IdLess);
    return pos != m_items.end() && *pos == item;
}

const ItemPtr& ItemSet::First() const {
    return m_items.empty() ? kNullItem : m_items.front();
}

void ItemSet::Insert(const ItemPtr& item) {
    if (item.IsNull())
        return;
    if (m_items.empty() || m_items.back().GetId() < item.GetId()) {
        m_items.push_back(item);
        return;
    }
    auto pos = std::lower_bound(m_items.begin(), m_items.end(), item, IdLess);
    if (pos != m_items.end() && *pos == item)
        return;
    m_items.insert(pos, item);
}

void ItemSet::AppendOrdered(const ItemPtr& item) {
    m_items.push_back(item);
}

void ItemSet::Erase(const ItemPtr& item) {
    auto pos = std::lower_bound(m_items.begin(), m_items.end(), item, IdLess);
    if (pos != m_items.end() && *pos == item)
        m_items.erase(pos);
}

void ItemSet::Add(const ItemSet& other) {
    if (other.m_items.empty())
        return;
    if (m_items.empty()) {
        m_items = other.m_items;
        return;
    }
    if (m_items.back().GetId() < other.m_items.front().GetId()) {
        m_items.insert(m_items.end(), other.m_items.begin(), other.m_items.end());
        return;
    }
    Container merged;
    merged.reserve(m_items.size() + other.m_items.size());
    std::set_union(m_items.begin(), m_items.end(), other.m_items.begin(), other.m_items.end(),
                   std::back_inserter(merged), IdLess);
    m_items.swap(merged);
}

ItemSet ItemSet::Common(const ItemSet& other) const {
    ItemSet out;
    std::set_intersection(m_items.begin(), m_items.end(), other.m_items.begin(),
                          other.m_items.end(), std::back_inserter(out.m_items), IdLess);
    return out;
}

void ItemSet::Remove() const {
    const Container snapshot = m_items;
    for (const ItemPtr& x : snapshot)
        x.Remove();
}

void ItemSet::Disconnect(const char* typeName) const {
    const Container snapshot = m_items;
    for (const ItemPtr& x : snapshot)
        x.Disconnect(typeName);
}

ItemSet ItemSet::GetItems(const char* typeName) const {
    Type* t = d.GetType(typeName);
    std::vector<Item*> all;
    for (const ItemPtr& x : m_items)
        Links::ForEachOfType(x.GetItemObject(), t->GetOrdinal(), [&](Item* y) {
            all.push_back(y);
            return true;
        });
    std::sort(all.begin(), all.end(),
              [](const Item* a, const Item* b) { return a->GetId() < b->GetId(); });
    all.erase(std::unique(all.begin(), all.end()), all.end());
    ItemSet out;
    out.m_items.reserve(all.size());
    for (Item* y : all)
        out.m_items.emplace_back(y);
    return out;
}

ItemSet ItemSet::Connected(const ItemSet& other) const {
    ItemSet out;
    for (const ItemPtr& x : m_items) {
        const Item* xi = x.GetItemObject();
        bool linked = false;
        if (std::size_t(xi->LinkCount()) < other.m_items.size()) {
            Links::ForEachAll(xi, [&](Item* y) {
                if (!linked && other.Contains(ItemPtr(y)))
                    linked = true;
            });
        } else {
            for (const ItemPtr& o : other.m_items)
                if (Links::Contains(xi, o.GetItemObject())) {
                    linked = true;
                    break;
                }
        }
        if (linked)
            out.m_items.push_back(x);
    }
    return out;
}

ItemSet ItemSet::Connected(const ItemPtr& item) const {
    ItemSet out;
    if (item.IsNull())
        return out;
    for (const ItemPtr& x : m_items)
        if (Links::Contains(x.GetItemObject(), item.GetItemObject()))
            out.m_items.push_back(x);
    return out;
}

ItemSet ItemSet::Connected(const char* typeName) const {
    Type* t = d.GetType(typeName);
    ItemSet out;
    for (const ItemPtr& x : m_items)
        if (Links::First(x.GetItemObject(), t->GetOrdinal()))
            out.m_items.push_back(x);
    return out;
}

ItemSet ItemSet::Connected(const char* typeName, const Value& value) const {
    ItemPtr item = d.GetType(typeName)->HasItem(value);
    return item.IsNull() ? ItemSet() : Connected(item);
}

ItemSet ItemSet::NotConnected(const ItemPtr& item) const {
    if (item.IsNull())
        return *this;
    ItemSet out;
    for (const ItemPtr& x : m_items)
        if (!Links::Contains(x.GetItemObject(), item.GetItemObject()))
            out.m_items.push_back(x);
    return out;
}

ItemSet ItemSet::NotConnected(const char* typeName) const {
    Type* t = d.GetType(typeName);
    ItemSet out;
    for (const ItemPtr& x : m_items)
        if (!Links::First(x.GetItemObject(), t->GetOrdinal()))
            out.m_items.push_back(x);
    return out;
}

ItemSet ItemSet::NotConnected(const char* typeName, const Value& value) const {
    return NotConnected(d.GetType(typeName)->HasItem(value));
}

namespace {
template <class Key, class Less>
std::list<ItemPtr> SortBy(std::vector<std::pair<Key, ItemPtr>>& keyed, bool ascending, Less less) {
    // The input is in identity order; a stable sort keeps ties that way in
    // both directions.
    std::stable_sort(keyed.begin(), keyed.end(), [&](const auto& a, const auto& b) {
        return ascending ? less(a.first, b.first) : less(b.first, a.first);
    });
    std::list<ItemPtr> out;
    for (auto& k : keyed)
        out.push_back(std::move(k.second));
    return out;
}

QString SortText(const ItemPtr& item, bool caseSensitive) {
    return caseSensitive ? item.AsString() : item.AsString().toLower();
}
}  // namespace

std::list<ItemPtr> ItemSet::SortAlphabetic(bool ascending, bool caseSensitive) const {
    std::vector<std::pair<QString, ItemPtr>> keyed;
    keyed.reserve(m_items.size());
    for (const ItemPtr& x : m_items)
        keyed.emplace_back(SortText(x, caseSensitive), x);
    return SortBy(keyed, ascending, [](const QString& a, const QString& b) { return a < b; });
}

std::list<ItemPtr> ItemSet::SortAlphabeticBy(const char* typeName, bool ascending,
                                             bool caseSensitive) const {
    d.GetType(typeName);
    std::vector<std::pair<QString, ItemPtr>> keyed;
    for (const ItemPtr& x : m_items) {
        ItemPtr partner = x[typeName];
        if (!partner.IsNull())
            keyed.emplace_back(SortText(partner, caseSensitive), x);
    }
    return SortBy(keyed, ascending, [](const QString& a, const QString& b) { return a < b; });
}

std::list<ItemPtr> ItemSet::SortNumericBy(const char* typeName, bool ascending) const {
    d.GetType(typeName);
    std::vector<std::pair<qint64, ItemPtr>> keyed;
    for (const ItemPtr& x : m_items) {
        ItemPtr partner = x[typeName];
        if (!partner.IsNull())
            keyed.emplace_back(partner.AsInt64(), x);
    }
    return SortBy(keyed, ascending, [](qint64 a, qint64 b) { return a < b; });
}

ItemSet i(const char* typeName, const Value& value) {
    ItemSet out;
    out.Insert(d.GetType(typeName)->HasItem(value));
    return out;
}
