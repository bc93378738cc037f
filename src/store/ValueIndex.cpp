#include <cstring>
#include <string_view>

#include "store/Data.h"

// ---------------------------------------------------------------------------
// The value index of a type: open addressing, grown a stretch at a time.

namespace {
std::size_t HashBytes(const char* bytes, std::size_t size) {
    return std::hash<std::string_view>()(std::string_view(bytes, size));
}
Item* const kTomb = reinterpret_cast<Item*>(std::uintptr_t(1));
}  // namespace

namespace {

Item* FindIn(const std::vector<Item*>& index, const char* bytes, std::size_t size) {
    if (index.empty())
        return nullptr;
    const std::size_t mask = index.size() - 1;
    for (std::size_t pos = HashBytes(bytes, size) & mask;; pos = (pos + 1) & mask) {
        Item* x = index[pos];
        if (!x)
            return nullptr;
        if (x != kTomb && x->ValueSize() == size && std::memcmp(x->ValueData(), bytes, size) == 0)
            return x;
    }
}

// Puts an item into a free or dead slot; true when that slot was dead.
bool PlaceIn(std::vector<Item*>& index, Item* item) {
    const std::size_t mask = index.size() - 1;
    for (std::size_t pos = HashBytes(item->ValueData(), item->ValueSize()) & mask;;
         pos = (pos + 1) & mask) {
        Item*& slot = index[pos];
        if (!slot || slot == kTomb) {
            const bool dead = slot == kTomb;
            slot = item;
            return dead;
        }
    }
}

bool EraseFrom(std::vector<Item*>& index, Item* item) {
    if (index.empty())
        return false;
    const std::size_t mask = index.size() - 1;
    for (std::size_t pos = HashBytes(item->ValueData(), item->ValueSize()) & mask;;
         pos = (pos + 1) & mask) {
        if (!index[pos])
            return false;
        if (index[pos] == item) {
            index[pos] = kTomb;
            return true;
        }
    }
}

// Slots of the outgrown index moved per insert: it is gone well before the
// new one fills up.
constexpr std::size_t kIndexSlotsMovedPerInsert = 32;

}  // namespace

Item* Type::FindByValue(const char* bytes, std::size_t size) const {
    if (Item* x = FindIn(m_index, bytes, size))
        return x;
    return m_oldIndex.empty() ? nullptr : FindIn(m_oldIndex, bytes, size);
}

void Type::IndexInsert(Item* item) {
    if (!m_oldIndex.empty())
        IndexMoveSome(kIndexSlotsMovedPerInsert);
    if ((m_indexUsed + m_indexTombs + 1) * 5 > m_index.size() * 4)
        IndexGrow();
    if (PlaceIn(m_index, item))
        --m_indexTombs;
    ++m_indexUsed;
}

void Type::IndexErase(Item* item) {
    if (EraseFrom(m_index, item)) {
        --m_indexUsed;
        ++m_indexTombs;
    } else if (EraseFrom(m_oldIndex, item)) {
        // A dead slot there only keeps the probe chains whole until it goes.
        --m_indexUsed;
    }
}

void Type::IndexMoveSome(std::size_t count) {
    const std::size_t end = std::min(m_oldIndex.size(), m_oldIndexNext + count);
    for (; m_oldIndexNext < end; ++m_oldIndexNext) {
        Item*& x = m_oldIndex[m_oldIndexNext];
        if (!x || x == kTomb)
            continue;
        if (PlaceIn(m_index, x))
            --m_indexTombs;
        // Dead rather than empty, so that the chains through it still lead on.
        x = kTomb;
    }
    if (m_oldIndexNext == m_oldIndex.size()) {
        std::vector<Item*>().swap(m_oldIndex);
        m_oldIndexNext = 0;
    }
}

void Type::IndexGrow() {
    // An index outgrown again before it was moved (many removals) goes at once.
    if (!m_oldIndex.empty())
        IndexMoveSome(m_oldIndex.size());
    if (m_index.size() < 4096) {
        // Small: rehashed at once, which is cheaper than two lookups a find.
        IndexRebuild();
        return;
    }
    std::size_t size = 16;
    // Between 40% and 80% full: the index is a large share of a big type.
    while (size * 5 < (m_indexUsed + 1) * 8)
        size *= 2;
    m_oldIndex.swap(m_index);
    m_oldIndexNext = 0;
    m_index.assign(size, nullptr);
    m_indexTombs = 0;
}

void Type::IndexRebuild() {
    std::size_t size = 16;
    // Between 40% and 80% full: the index is a large share of a big type.
    while (size * 5 < (m_indexUsed + 1) * 8)
        size *= 2;
    std::vector<Item*> old;
    old.swap(m_index);
    std::vector<Item*> older;
    older.swap(m_oldIndex);
    m_oldIndexNext = 0;
    m_index.assign(size, nullptr);
    m_indexUsed = 0;
    m_indexTombs = 0;
    for (const std::vector<Item*>* from : {&old, &older})
        for (Item* x : *from) {
            if (!x || x == kTomb)
                continue;
            PlaceIn(m_index, x);
            ++m_indexUsed;
        }
}
