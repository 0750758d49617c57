// Shared by the C entry points: handle checks and the boundary no exception crosses.
#pragma once

#include <memory>
#include <new>

#include <kestrin/kestrin.h>

#include "engine.hpp"
#include "fork_guard.hpp"

namespace kestrin::entry {

// What a ks_engine handle points to: the caller's reference to its engine.
struct EngineHandle {
    std::shared_ptr<Engine> engine;
};

inline EngineHandle *engine_of(ks_engine *e) {
    return reinterpret_cast<EngineHandle *>(e);
}

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
