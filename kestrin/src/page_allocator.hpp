// An allocator for buffers that come and go with large transfers. Blocks from KS_BODY_MAP_FROM
// up are mapped straight from the kernel and unmapped when freed (the pools keep a few): the C
// allocator would otherwise serve them from the network thread's arena once its mmap threshold
// has risen, and an arena keeps freed memory resident long after the transfer that needed it.
#pragma once

#include <cstddef>
#include <new>
#include <string>

#include <sys/mman.h>

#include <kestrin/kestrin.h>

namespace kestrin {

template <class T> struct PageAllocator {
    using value_type = T;
    static constexpr size_t kMapFrom = KS_BODY_MAP_FROM;

    PageAllocator() = default;
    template <class U> PageAllocator(const PageAllocator<U> &) noexcept {}

    T *allocate(size_t n) {
        if (n * sizeof(T) < kMapFrom)
            return static_cast<T *>(::operator new(n * sizeof(T)));
        void *p = mmap(nullptr, n * sizeof(T), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                       -1, 0);
        if (p == MAP_FAILED)
            throw std::bad_alloc();
        return static_cast<T *>(p);
    }
    void deallocate(T *p, size_t n) noexcept {
        if (n * sizeof(T) < kMapFrom)
            ::operator delete(p);
        else
            munmap(p, n * sizeof(T));
    }
    template <class U> bool operator==(const PageAllocator<U> &) const noexcept { return true; }
};

// A body block: grows like a string, large ones outside the heap.
using BodyBlock = std::basic_string<char, std::char_traits<char>, PageAllocator<char>>;

} // namespace kestrin
