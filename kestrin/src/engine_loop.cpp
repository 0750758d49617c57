// Who runs an engine's loop: a caller waiting for its own work, inside the reactor, or else the
// network thread, which sleeps on the reactor's descriptor and runs what is ready.
#include "engine.hpp"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "reactor_fd.hpp"

namespace kestrin {

bool Engine::prepare_watch() {
    reactor_fd_ = reactor_descriptor(io_);
    if (reactor_fd_ < 0) {
        owner_ = LoopOwner::network; // for good: no caller ever takes the loop
        return true;
    }
    watch_fd_ = ::epoll_create1(EPOLL_CLOEXEC);
    wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (reactor_fd_ < 0 || watch_fd_ < 0 || wake_fd_ < 0)
        return false;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = wake_fd_;
    if (::epoll_ctl(watch_fd_, EPOLL_CTL_ADD, wake_fd_, &ev) != 0)
        return false;
    watch_reactor(true);
    return watching_;
}

void Engine::run() {
    if (reactor_fd_ < 0)
        return run_alone();
    for (;;) {
        epoll_event events[2];
        int n = ::epoll_wait(watch_fd_, events, 2, -1);
        for (int i = 0; i < n; ++i) {
            if (events[i].data.fd == wake_fd_) {
                uint64_t count;
                (void)!::read(wake_fd_, &count, sizeof count);
            }
        }
        {
            std::lock_guard lock(post_mu_);
            if (owner_ != LoopOwner::none)
                continue; // whoever runs the loop hands it back watched
            owner_ = LoopOwner::network;
            wake_ = false;
        }
        step_loop(false);
        while (foreign_completions_ > 0 && !io_.stopped())
            step_loop(true);
        if (io_.stopped())
            return; // shut down: nobody runs the loop again
        release_loop();
    }
}

// Without the reactor's descriptor the network thread keeps the loop and waits inside the
// reactor; callers wait for their callbacks as usual.
void Engine::run_alone() {
    while (!io_.stopped())
        step_loop(true);
}

// Handlers catch running out of memory where they can fail just their request. Whatever still
// escapes one (from inside a Beast or Asio operation) lost that operation, and which connection
// it served is unknown: fail them all rather than leave one hanging, and keep the loop, which
// later requests depend on.
void Engine::step_loop(bool block) {
    try {
        if (block)
            io_.run_one();
        else
            io_.poll();
    } catch (const std::bad_alloc &) {
        fail_all();
    }
}

bool Engine::idle() const {
    return !stopped_ && jobs_.empty() && !transfers_.watching();
}

ks_status Engine::take_and_run_until(int (*ready)(void *), void *arg) {
    {
        std::lock_guard lock(post_mu_);
        if (closing_ || !take_loop_locked())
            return KS_INVALID_STATE;
    }
    run_until(ready, arg);
    return KS_OK;
}

bool Engine::take_loop_locked() {
    if (owner_ != LoopOwner::none)
        return false;
    owner_ = LoopOwner::caller;
    watch_reactor(false); // the caller waits in the reactor itself
    return true;
}

void Engine::posted_locked() {
    wake_ = true;
    if (owner_ == LoopOwner::none) {
        uint64_t one = 1;
        (void)!::write(wake_fd_, &one, sizeof one);
    }
}

void Engine::watch_reactor(bool on) {
    if (on == watching_)
        return;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = reactor_fd_;
    if (::epoll_ctl(watch_fd_, on ? EPOLL_CTL_ADD : EPOLL_CTL_DEL, reactor_fd_, &ev) == 0) {
        watching_ = on;
    } else if (on) {
        uint64_t one = 1; // out of kernel memory: the network thread runs the loop once more
        (void)!::write(wake_fd_, &one, sizeof one);
    }
}

void Engine::run_until(int (*ready)(void *), void *arg) {
    struct GiveBack {
        Engine *engine;
        ~GiveBack() {
            // What is ready now (the rest of a response, often) may finish the work before the
            // network thread would have to wake for it.
            if (!engine->idle())
                engine->step_loop(false);
            engine->release_loop();
        }
    } give_back{this};
    // Ready at once: what the caller queued (its start, say) still runs before the loop goes.
    if (ready(arg)) {
        step_loop(false);
        return;
    }
    // One handler at a time, so that the caller goes as soon as its request is ready; the loop
    // blocks in the reactor only when no handler is queued.
    do
        step_loop(true);
    while (!ready(arg) && !io_.stopped());
}

// Work posted while the owner looked elsewhere runs first; handlers still queued after that are
// leftovers (cancelled waits) that the next run of the loop collects.
void Engine::release_loop() {
    for (;;) {
        {
            std::lock_guard lock(post_mu_);
            if (!wake_) {
                owner_ = LoopOwner::none;
                watch_reactor(true);
                // The network thread ends with the loop, or waits out a foreign completion.
                if (io_.stopped() || foreign_completions_ > 0) {
                    uint64_t one = 1;
                    (void)!::write(wake_fd_, &one, sizeof one);
                }
                return;
            }
            wake_ = false;
        }
        step_loop(false);
    }
}

} // namespace kestrin
