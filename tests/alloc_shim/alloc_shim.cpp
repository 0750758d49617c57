// Fails the N-th operator new called from the module's own code, for the module's
// allocation-failure torture. Preloaded into the interpreter (LD_PRELOAD); the test arms it
// through ctypes. Only calls whose caller lies in corvina_native.abi3.so count, so the
// interpreter, the scripted Core and the C++ runtime allocate as usual.
#include <dlfcn.h>
#include <execinfo.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

std::atomic<long> g_countdown{-1}; // -1: disarmed
std::atomic<long> g_seen{0};
thread_local bool t_in_check = false;

bool from_module(void *caller) {
    if (t_in_check)
        return false;
    t_in_check = true;
    Dl_info info{};
    bool hit = dladdr(caller, &info) != 0 && info.dli_fname != nullptr &&
               std::strstr(info.dli_fname, "corvina_native") != nullptr;
    t_in_check = false;
    return hit;
}

// True when this allocation is the one to fail.
bool should_fail(void *caller) {
    if (g_countdown.load(std::memory_order_relaxed) < 0 || !from_module(caller))
        return false;
    g_seen.fetch_add(1, std::memory_order_relaxed);
    if (g_countdown.fetch_sub(1, std::memory_order_relaxed) != 0)
        return false;
    if (std::getenv("ALLOC_SHIM_TRACE")) { // where the failing allocation is made
        void *frames[32];
        backtrace_symbols_fd(frames, backtrace(frames, 32), STDERR_FILENO);
    }
    return true;
}

void *allocate(std::size_t n, void *caller) {
    if (should_fail(caller))
        return nullptr;
    return std::malloc(n ? n : 1);
}

} // namespace

extern "C" {
// Fails the allocation `n` allocations from now (0 = the next one).
__attribute__((visibility("default"))) void alloc_shim_arm(long n) {
    g_seen.store(0);
    g_countdown.store(n);
}
// Disarms; returns how many module allocations were seen while armed.
__attribute__((visibility("default"))) long alloc_shim_disarm() {
    g_countdown.store(-1);
    return g_seen.load();
}
}

void *operator new(std::size_t n) {
    if (void *p = allocate(n, __builtin_return_address(0)))
        return p;
    throw std::bad_alloc();
}
void *operator new[](std::size_t n) {
    if (void *p = allocate(n, __builtin_return_address(0)))
        return p;
    throw std::bad_alloc();
}
void *operator new(std::size_t n, const std::nothrow_t &) noexcept {
    return allocate(n, __builtin_return_address(0));
}
void *operator new[](std::size_t n, const std::nothrow_t &) noexcept {
    return allocate(n, __builtin_return_address(0));
}
void operator delete(void *p) noexcept { std::free(p); }
void operator delete[](void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }
void operator delete[](void *p, std::size_t) noexcept { std::free(p); }
