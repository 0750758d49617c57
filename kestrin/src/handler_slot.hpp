#pragma once

#include <atomic>
#include <cstddef>
#include <new>

#include <boost/asio/bind_allocator.hpp>

namespace kestrin {

// Room for one queued handler inside the object it serves, so that queuing it cannot fail
// for lack of memory. Used once: the abort that a release queues must not be lost, since the
// caller has no handle left to try again with.
class HandlerSlot {
  public:
    static constexpr size_t kSize = 256;

    // Hands out the slot once; anything later, or larger, comes from the heap.
    void *take(size_t n) {
        if (n <= kSize && !taken_.exchange(true, std::memory_order_relaxed))
            return storage_;
        return ::operator new(n);
    }
    // Never touches the slot: the object holding it may be gone by the time Asio frees the
    // handler's memory.
    static void give_back(const void *storage, void *p) noexcept {
        if (p != storage)
            ::operator delete(p);
    }
    const void *storage() const { return storage_; }

  private:
    alignas(std::max_align_t) unsigned char storage_[kSize];
    std::atomic<bool> taken_{false};
};

template <class T> struct SlotAllocator {
    using value_type = T;

    HandlerSlot *slot;
    const void *storage;

    explicit SlotAllocator(HandlerSlot &s) noexcept : slot(&s), storage(s.storage()) {}
    template <class U>
    SlotAllocator(const SlotAllocator<U> &o) noexcept : slot(o.slot), storage(o.storage) {}

    T *allocate(size_t n) { return static_cast<T *>(slot->take(sizeof(T) * n)); }
    void deallocate(T *p, size_t) noexcept { HandlerSlot::give_back(storage, p); }

    template <class U> bool operator==(const SlotAllocator<U> &o) const noexcept {
        return storage == o.storage;
    }
};

// The handler, with its memory in `slot` while that is free.
template <class F> auto in_slot(HandlerSlot &slot, F &&f) {
    return boost::asio::bind_allocator(SlotAllocator<char>(slot), std::forward<F>(f));
}

} // namespace kestrin
