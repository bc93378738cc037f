#ifndef TAVENOOK_STORE_LINKS_H
#define TAVENOOK_STORE_LINKS_H

// Internal to the store and its saver: how an item keeps its links.

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "store/Data.h"

// ---------------------------------------------------------------------------
// Links. Most items have a handful of partners, kept in one flat array sorted
// by (partner type ordinal, partner id), so that a link costs one pointer at
// each end. Items with very many partners (a flag shared by every file, a
// common word) switch to per-type chunked arrays so that a further link stays
// logarithmic.

namespace store_detail {

struct Chunked {
    std::size_t size = 0;
    std::vector<std::vector<Item*>> chunks;
};

struct BigLinks {
    std::vector<std::pair<int, Chunked>> groups;  // sorted by type ordinal
};

constexpr std::size_t kChunkMax = 512;

}  // namespace store_detail

class Links {
    using Chunked = store_detail::Chunked;
    using BigLinks = store_detail::BigLinks;
    static constexpr std::size_t kChunkMax = store_detail::kChunkMax;

public:
    static constexpr std::uint32_t kBig = 0xFFFFFFFFu;
    static constexpr std::uint32_t kBigThreshold = 256;

    static int Ord(const Item* x) { return x->mp_type->m_ordinal; }
    static bool IsBig(const Item* it) { return it->m_linkCapacity == kBig; }
    static BigLinks* Big(const Item* it) { return static_cast<BigLinks*>(it->mp_links); }

    static Item** Flat(Item* it) {
        return it->m_linkCapacity <= 1 ? reinterpret_cast<Item**>(&it->mp_links)
                                       : static_cast<Item**>(it->mp_links);
    }
    static Item* const* Flat(const Item* it) {
        return it->m_linkCapacity <= 1 ? reinterpret_cast<Item* const*>(&it->mp_links)
                                       : static_cast<Item* const*>(it->mp_links);
    }

    static bool Less(const Item* x, int ord, std::uint64_t id) {
        const int xo = Ord(x);
        return xo < ord || (xo == ord && x->m_id < id);
    }

    static std::pair<Item* const*, Item* const*> FlatRange(const Item* it, int ord) {
        Item* const* b = Flat(it);
        Item* const* e = b + it->m_linkCount;
        Item* const* lo =
            std::lower_bound(b, e, ord, [](const Item* x, int o) { return Ord(x) < o; });
        Item* const* hi = lo;
        while (hi != e && Ord(*hi) == ord)
            ++hi;
        return {lo, hi};
    }

    static Chunked* Group(const Item* it, int ord) {
        BigLinks* big = Big(it);
        auto g =
            std::lower_bound(big->groups.begin(), big->groups.end(), ord,
                             [](const std::pair<int, Chunked>& p, int o) { return p.first < o; });
        if (g == big->groups.end() || g->first != ord)
            return nullptr;
        return &g->second;
    }

    // Index of the chunk that holds, or would hold, the id.
    static std::size_t ChunkFor(const Chunked& c, std::uint64_t id) {
        auto it = std::lower_bound(
            c.chunks.begin(), c.chunks.end(), id,
            [](const std::vector<Item*>& ch, std::uint64_t v) { return ch.back()->m_id < v; });
        if (it == c.chunks.end())
            return c.chunks.size() - 1;
        return std::size_t(it - c.chunks.begin());
    }

    static bool ChunkedContains(const Chunked& c, const Item* y) {
        if (c.size == 0)
            return false;
        const auto& ch = c.chunks[ChunkFor(c, y->m_id)];
        auto pos = std::lower_bound(ch.begin(), ch.end(), y->m_id,
                                    [](const Item* x, std::uint64_t v) { return x->m_id < v; });
        return pos != ch.end() && *pos == y;
    }

    static void ChunkedInsert(Chunked& c, Item* y) {
        if (c.chunks.empty()) {
            // ChunkFor reads each chunk's last entry: never leave one empty.
            c.chunks.emplace_back();
            c.chunks.back().reserve(8);
            c.chunks.back().push_back(y);
            ++c.size;
            return;
        }
        const std::size_t ci = ChunkFor(c, y->m_id);
        auto& ch = c.chunks[ci];
        auto pos = std::lower_bound(ch.begin(), ch.end(), y->m_id,
                                    [](const Item* x, std::uint64_t v) { return x->m_id < v; });
        ch.insert(pos, y);
        ++c.size;
        if (ch.size() > kChunkMax) {
            std::vector<Item*> upper(ch.begin() + std::ptrdiff_t(ch.size() / 2), ch.end());
            ch.resize(ch.size() / 2);
            ch.shrink_to_fit();
            c.chunks.insert(c.chunks.begin() + std::ptrdiff_t(ci + 1), std::move(upper));
        }
    }

    static bool ChunkedErase(Chunked& c, const Item* y) {
        if (c.size == 0)
            return false;
        const std::size_t ci = ChunkFor(c, y->m_id);
        auto& ch = c.chunks[ci];
        auto pos = std::lower_bound(ch.begin(), ch.end(), y->m_id,
                                    [](const Item* x, std::uint64_t v) { return x->m_id < v; });
        if (pos == ch.end() || *pos != y)
            return false;
        ch.erase(pos);
        --c.size;
        if (ch.empty())
            c.chunks.erase(c.chunks.begin() + std::ptrdiff_t(ci));
        return true;
    }

    template <class F>
    static bool ForEachOfType(const Item* it, int ord, F&& f) {
        if (it->m_linkCount == 0)
            return true;
        if (IsBig(it)) {
            const Chunked* c = Group(it, ord);
            if (!c)
                return true;
            for (const auto& ch : c->chunks)
                for (Item* x : ch)
                    if (!f(x))
                        return false;
            return true;
        }
        auto r = FlatRange(it, ord);
        for (Item* const* p = r.first; p != r.second; ++p)
            if (!f(*p))
                return false;
        return true;
    }

    // As ForEachOfType, from the first partner whose id is above `after`.
    template <class F>
    static bool ForEachOfTypeAfter(const Item* it, int ord, std::uint64_t after, F&& f) {
        if (after == 0)
            return ForEachOfType(it, ord, f);
        if (it->m_linkCount == 0)
            return true;
        const auto byId = [](const Item* x, std::uint64_t v) { return x->m_id <= v; };
        if (IsBig(it)) {
            const Chunked* c = Group(it, ord);
            if (!c || c->size == 0)
                return true;
            for (std::size_t ci = ChunkFor(*c, after); ci < c->chunks.size(); ++ci) {
                const auto& ch = c->chunks[ci];
                for (auto p = std::lower_bound(ch.begin(), ch.end(), after, byId); p != ch.end();
                     ++p)
                    if (!f(*p))
                        return false;
            }
            return true;
        }
        auto r = FlatRange(it, ord);
        for (Item* const* p = std::lower_bound(r.first, r.second, after, byId); p != r.second; ++p)
            if (!f(*p))
                return false;
        return true;
    }

    template <class F>
    static void ForEachAll(const Item* it, F&& f) {
        if (it->m_linkCount == 0)
            return;
        if (IsBig(it)) {
            for (const auto& g : Big(it)->groups)
                for (const auto& ch : g.second.chunks)
                    for (Item* x : ch)
                        f(x);
            return;
        }
        Item* const* b = Flat(it);
        for (std::uint32_t k = 0; k < it->m_linkCount; ++k)
            f(b[k]);
    }

    static std::size_t Count(const Item* it, int ord) {
        if (it->m_linkCount == 0)
            return 0;
        if (IsBig(it)) {
            const Chunked* c = Group(it, ord);
            return c ? c->size : 0;
        }
        auto r = FlatRange(it, ord);
        return std::size_t(r.second - r.first);
    }

    static Item* First(const Item* it, int ord) {
        if (it->m_linkCount == 0)
            return nullptr;
        if (IsBig(it)) {
            const Chunked* c = Group(it, ord);
            return c && c->size ? c->chunks.front().front() : nullptr;
        }
        auto r = FlatRange(it, ord);
        return r.first != r.second ? *r.first : nullptr;
    }

    // Whether `it` holds y, searching `it`'s own links.
    static bool Holds(const Item* it, const Item* y) {
        if (it->m_linkCount == 0)
            return false;
        if (IsBig(it)) {
            const Chunked* c = Group(it, Ord(y));
            return c && ChunkedContains(*c, y);
        }
        Item* const* b = Flat(it);
        Item* const* e = b + it->m_linkCount;
        const int ord = Ord(y);
        // Links are mostly made to newer items: one look at the last entry
        // settles most of them.
        if (Less(e[-1], ord, y->m_id))
            return false;
        Item* const* pos = std::lower_bound(
            b, e, y, [ord](const Item* x, const Item* v) { return Less(x, ord, v->m_id); });
        return pos != e && *pos == y;
    }

    // Links are mirrored, so search the end with fewer links.
    static bool Contains(const Item* a, const Item* b) {
        return a->m_linkCount <= b->m_linkCount ? Holds(a, b) : Holds(b, a);
    }

    // Room for `n` links in all, so that links added one at a time do not
    // move the array again and again.
    static void Reserve(Item* it, std::uint32_t n) {
        if (!IsBig(it) && n > 1 && n <= kBigThreshold && n > it->m_linkCapacity)
            Reallocate(it, n);
    }

    static void Insert(Item* it, Item* y) {
        if (IsBig(it)) {
            BigLinks* big = Big(it);
            const int ord = Ord(y);
            auto g = std::lower_bound(
                big->groups.begin(), big->groups.end(), ord,
                [](const std::pair<int, Chunked>& p, int o) { return p.first < o; });
            if (g == big->groups.end() || g->first != ord)
                g = big->groups.insert(g, std::make_pair(ord, Chunked()));
            ChunkedInsert(g->second, y);
            ++it->m_linkCount;
            return;
        }
        const std::uint32_t n = it->m_linkCount;
        if (n + 1 > std::max<std::uint32_t>(it->m_linkCapacity, 1))
            Grow(it, n + 1);
        Item** b = Flat(it);
        const int ord = Ord(y);
        Item** pos = b + n;
        if (n && !Less(b[n - 1], ord, y->m_id))
            pos = std::lower_bound(
                b, b + n, y, [ord](const Item* x, const Item* v) { return Less(x, ord, v->m_id); });
        std::memmove(pos + 1, pos, std::size_t(b + n - pos) * sizeof(Item*));
        *pos = y;
        it->m_linkCount = n + 1;
        if (it->m_linkCount > kBigThreshold)
            ToBig(it);
    }

    static bool Erase(Item* it, const Item* y) {
        if (it->m_linkCount == 0)
            return false;
        if (IsBig(it)) {
            BigLinks* big = Big(it);
            const int ord = Ord(y);
            auto g = std::lower_bound(
                big->groups.begin(), big->groups.end(), ord,
                [](const std::pair<int, Chunked>& p, int o) { return p.first < o; });
            if (g == big->groups.end() || g->first != ord)
                return false;
            if (!ChunkedErase(g->second, y))
                return false;
            if (g->second.size == 0)
                big->groups.erase(g);
            --it->m_linkCount;
            return true;
        }
        Item** b = Flat(it);
        const std::uint32_t n = it->m_linkCount;
        const int ord = Ord(y);
        Item** pos = std::lower_bound(
            b, b + n, y, [ord](const Item* x, const Item* v) { return Less(x, ord, v->m_id); });
        if (pos == b + n || *pos != y)
            return false;
        std::memmove(pos, pos + 1, std::size_t(b + n - pos - 1) * sizeof(Item*));
        it->m_linkCount = n - 1;
        if (it->m_linkCount <= 1 && it->m_linkCapacity > 1) {
            Item* keep = it->m_linkCount ? b[0] : nullptr;
            std::free(b);
            it->m_linkCapacity = it->m_linkCount;
            it->mp_links = keep;
        }
        return true;
    }

    static void Grow(Item* it, std::uint32_t need) {
        std::uint32_t cap = it->m_linkCapacity <= 1 ? 2 : it->m_linkCapacity;
        while (cap < need)
            cap += (cap + 1) / 2;
        Reallocate(it, cap);
    }

    static void Reallocate(Item* it, std::uint32_t cap) {
        const std::uint32_t n = it->m_linkCount;
        if (cap <= 1) {
            if (it->m_linkCapacity > 1) {
                Item** old = static_cast<Item**>(it->mp_links);
                Item* keep = n ? old[0] : nullptr;
                std::free(old);
                it->mp_links = keep;
            }
            it->m_linkCapacity = cap;
            return;
        }
        if (it->m_linkCapacity <= 1) {
            Item* keep = n ? static_cast<Item*>(it->mp_links) : nullptr;
            Item** fresh = static_cast<Item**>(std::malloc(cap * sizeof(Item*)));
            if (!fresh)
                throw std::bad_alloc();
            if (n)
                fresh[0] = keep;
            it->mp_links = fresh;
        } else {
            void* fresh = std::realloc(it->mp_links, cap * sizeof(Item*));
            if (!fresh)
                throw std::bad_alloc();
            it->mp_links = fresh;
        }
        it->m_linkCapacity = cap;
    }

    static void ToBig(Item* it) {
        Item** b = Flat(it);
        const std::uint32_t n = it->m_linkCount;
        auto* big = new BigLinks;
        for (std::uint32_t k = 0; k < n;) {
            const int ord = Ord(b[k]);
            Chunked c;
            std::uint32_t e = k;
            while (e < n && Ord(b[e]) == ord)
                ++e;
            for (std::uint32_t s = k; s < e; s += kChunkMax / 2) {
                const std::uint32_t t = std::min<std::uint32_t>(e, s + kChunkMax / 2);
                c.chunks.emplace_back(b + s, b + t);
            }
            c.size = e - k;
            big->groups.emplace_back(ord, std::move(c));
            k = e;
        }
        if (it->m_linkCapacity > 1)
            std::free(b);
        it->mp_links = big;
        it->m_linkCapacity = kBig;
    }

    static void Free(Item* it) {
        if (IsBig(it))
            delete Big(it);
        else if (it->m_linkCapacity > 1)
            std::free(it->mp_links);
        it->mp_links = nullptr;
        it->m_linkCount = 0;
        it->m_linkCapacity = 0;
    }

    static void Shrink(Item* it) {
        if (IsBig(it)) {
            for (auto& g : Big(it)->groups)
                for (auto& ch : g.second.chunks)
                    ch.shrink_to_fit();
            return;
        }
        if (it->m_linkCapacity > 1 && it->m_linkCapacity > it->m_linkCount)
            Reallocate(it, std::max<std::uint32_t>(it->m_linkCount, 2));
    }
};

#endif
