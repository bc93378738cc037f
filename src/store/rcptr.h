#ifndef TAVENOOK_STORE_RCPTR_H
#define TAVENOOK_STORE_RCPTR_H

#include <atomic>
#include <cstdint>

// Base of intrusively reference-counted objects. The count is atomic so that a
// handle may be copied through a queued signal, though the store itself is
// only ever touched from the main thread.
class RefCounted {
public:
    RefCounted() = default;
    RefCounted(const RefCounted&) : m_refs(0) {}
    RefCounted& operator=(const RefCounted&) { return *this; }

    void AddRef() const { m_refs.fetch_add(1, std::memory_order_relaxed); }
    // True when this was the last reference.
    bool Release() const { return m_refs.fetch_sub(1, std::memory_order_acq_rel) == 1; }
    std::uint32_t RefCount() const { return m_refs.load(std::memory_order_relaxed); }

protected:
    ~RefCounted() = default;

private:
    mutable std::atomic<std::uint32_t> m_refs{0};
};

// A shared pointer to a RefCounted object. T must provide a static
// Destroy(T*) when it is not deletable with plain delete; by default delete.
template <class T>
class rcptr {
public:
    rcptr() = default;
    explicit rcptr(T* p) : mp_object(p) {
        if (mp_object)
            mp_object->AddRef();
    }
    rcptr(const rcptr& o) : mp_object(o.mp_object) {
        if (mp_object)
            mp_object->AddRef();
    }
    rcptr(rcptr&& o) noexcept : mp_object(o.mp_object) { o.mp_object = nullptr; }
    ~rcptr() { Reset(); }

    rcptr& operator=(const rcptr& o) {
        if (o.mp_object)
            o.mp_object->AddRef();
        Reset();
        mp_object = o.mp_object;
        return *this;
    }
    rcptr& operator=(rcptr&& o) noexcept {
        if (this != &o) {
            Reset();
            mp_object = o.mp_object;
            o.mp_object = nullptr;
        }
        return *this;
    }

    void Reset() {
        T* p = mp_object;
        mp_object = nullptr;
        if (p && p->Release())
            T::Destroy(p);
    }

    T* Get() const { return mp_object; }
    T* operator->() const { return mp_object; }
    T& operator*() const { return *mp_object; }
    bool IsNull() const { return mp_object == nullptr; }

private:
    T* mp_object = nullptr;
};

#endif
