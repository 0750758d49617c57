// The event-loop bridge: a notifier that schedules the facade's callable on its loop from any
// thread, coalesced by a shared flag that polls clear.
#pragma once

#include "lib/binding.h"
#include "lib/python.h"

#include <atomic>
#include <memory>
#include <mutex>

namespace corvina {

// The parameters of the methods that install a notifier: the loop and the callable.
inline constexpr Param kLoopParams[] = {{"loop_"}, {"notify"}};

// True while a notification is on its way to the loop and nobody has polled since.
using NotifyPending = std::shared_ptr<std::atomic<bool>>;

inline NotifyPending make_notify_pending() {
    return std::make_shared<std::atomic<bool>>(false);
}

// Holds the loop and the callable. Its Python references are released where the interpreter
// lock is held, or queued for the next time the module holds it.
class LoopNotifier {
  public:
    // Takes new references to loop and notify; the caller holds the interpreter lock.
    LoopNotifier(NotifyPending pending, PyObject *loop, PyObject *notify);
    ~LoopNotifier();
    LoopNotifier(const LoopNotifier &) = delete;
    LoopNotifier &operator=(const LoopNotifier &) = delete;

    const NotifyPending &pending() const { return pending_; }

    // Hands notify to loop.call_soon_threadsafe; the caller holds the interpreter lock. A
    // failure is discarded and clears the flag, so that the next invocation tries again.
    void schedule() noexcept;

  private:
    NotifyPending pending_;
    PyObject *loop_;
    PyObject *notify_;
};

using NotifierRef = std::shared_ptr<LoopNotifier>;

// The notifier slot of a request or WebSocket state, behind its own small mutex. The mutex is
// never held together with the state lock, and nothing is released or invoked under it.
class NotifierSlot {
  public:
    void set(NotifierRef notifier);
    void clear();
    // Takes the notifier out; the caller drops it after releasing its own locks, since the last
    // reference may release the loop and the callable and so run Python code.
    NotifierRef take();
    // Schedules notify of the installed notifier unless a notification is pending. Call with no
    // module lock held, from any thread. The notifier is read again once the interpreter lock is
    // held, so one removed meanwhile schedules nothing, and the temporary reference taken then
    // is dropped under that lock: it never outlives the invocation on a thread that would have
    // to queue its Python references.
    void invoke() noexcept;

  private:
    std::mutex lock_;
    NotifierRef notifier_;
};

// Called when the interpreter starts to exit (an atexit hook, interpreter lock held): no
// notifier asks for the lock from then on, and those already inside Python finish first.
void stop_notifiers_for_exit();

// Makes a notifier for an object's flag; the caller holds the interpreter lock.
NotifierRef make_notifier(const NotifyPending &pending, PyObject *loop, PyObject *notify);

} // namespace corvina
