// The Core's optional entry points that let a waiting thread run the engine's loop itself, looked
// up once when the module loads. A Core without them (the scripted one, for one) leaves them
// null, and every wait hands over between threads as before.
#pragma once

#include <kestrin/kestrin.h>
#include <kestrin/kestrin_run.h>

#include <mutex>

namespace corvina {

struct CoreRunLoop {
    decltype(&ks_request_start_and_run) start_and_run = nullptr;
    decltype(&ks_request_run_until) run_until = nullptr;
    decltype(&ks_websocket_send_and_run) websocket_send_and_run = nullptr;
    decltype(&ks_websocket_run_until) websocket_run_until = nullptr;
};

const CoreRunLoop &core_run_loop();

// Before a wait on a state guarded by `lock`: runs the Core's loop on this thread, the lock let
// go, until ready() (checked with the lock's mutex held). Does nothing without `run_until` or
// `handle`, or when ready() holds already; returns early when the Core declines.
template <class Handle, class Ready>
void run_core_until(ks_status (*run_until)(Handle *, ks_ready_fn, void *), Handle *handle,
                    std::unique_lock<std::mutex> &lock, Ready &ready) {
    if (!run_until || !handle || ready())
        return;
    struct Check {
        std::mutex *mutex;
        Ready *ready;
    } check{lock.mutex(), &ready};
    lock.unlock();
    run_until(
        handle,
        [](void *arg) -> int {
            auto *c = static_cast<Check *>(arg);
            std::lock_guard<std::mutex> guard(*c->mutex);
            return (*c->ready)() ? 1 : 0;
        },
        &check);
    lock.lock();
}

} // namespace corvina
