// Shared by the C entry points: handle checks and the boundary no exception crosses.
#pragma once

#include <new>

#include <kestrin/kestrin.h>

#include "engine.hpp"

namespace kestrin::entry {

inline constexpr ks_status kBadHandle = KS_INVALID_ARGUMENT;

// A handle the caller may use: not null, and not inherited from the parent of a fork.
inline bool usable(const void *handle) {
    return handle && !fork_guard::inherited(handle);
}

inline ks_status refusal(const void *handle) {
    return handle ? ks_status{KS_INVALID_STATE} : kBadHandle;
}

template <class F> ks_status guarded(F &&f) {
    try {
        return f();
    } catch (const std::bad_alloc &) {
        return KS_OUT_OF_MEMORY;
    } catch (...) {
        return KS_INITIALIZATION_FAILED;
    }
}

} // namespace kestrin::entry
