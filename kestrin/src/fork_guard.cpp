#include "fork_guard.hpp"

#include <pthread.h>

#include <atomic>
#include <mutex>
#include <new>
#include <unordered_set>

namespace kestrin::fork_guard {

namespace {

// The handles made in this process since its last fork(). Only a forked child keeps it: the
// parent's objects are never checked, and its calls cost one relaxed load.
struct ForkState {
    std::mutex lock;
    std::unordered_set<const void *> made_here;
};
std::atomic<bool> g_forked{false};
std::atomic<ForkState *> g_fork_state{nullptr};

void on_fork_child() {
    // The old state's mutex may have been held by a thread that does not exist here: leak it.
    g_fork_state.store(new (std::nothrow) ForkState, std::memory_order_relaxed);
    g_forked.store(true, std::memory_order_relaxed);
}

[[maybe_unused]] const int g_atfork = pthread_atfork(nullptr, nullptr, &on_fork_child);

// Runs f on the handles made since the fork; nothing in a process that never forked.
template <class F> void update_made_here(F &&f) {
    if (!g_forked.load(std::memory_order_relaxed))
        return;
    if (ForkState *st = g_fork_state.load(std::memory_order_relaxed)) {
        std::lock_guard guard(st->lock);
        f(st->made_here);
    }
}

} // namespace

bool inherited(const void *handle) {
    if (!g_forked.load(std::memory_order_relaxed))
        return false;
    ForkState *st = g_fork_state.load(std::memory_order_relaxed);
    if (!st)
        return true;
    std::lock_guard guard(st->lock);
    return st->made_here.count(handle) == 0;
}

void made(const void *handle) {
    update_made_here([&](auto &made_here) { made_here.insert(handle); });
}

void released(const void *handle) {
    update_made_here([&](auto &made_here) { made_here.erase(handle); });
}

} // namespace kestrin::fork_guard
