#include "bridge/notifier.h"

#include "lib/pyref.h"

#include <chrono>
#include <thread>
#include <utility>

namespace corvina {
namespace {

// Set when the interpreter starts to exit; a Core thread must not ask for the interpreter lock
// after that, since the interpreter ends any thread that does.
std::atomic<bool> g_exiting{false};
// Invocations between their check of g_exiting and their return.
std::atomic<int> g_invoking{0};

// A Core thread keeps the thread state its first notification made, parked while it is outside
// Python: making and deleting one per notification costs a stack mapping, a system call for the
// thread id and the state's set-up every time. It is deleted when the thread ends.
struct ParkedThreadState {
    PyThreadState *state = nullptr;
    ~ParkedThreadState() {
        if (!state)
            return;
        g_invoking.fetch_add(1);
        if (!g_exiting.load()) {
            PyEval_RestoreThread(state);
            PyGILState_Release(PyGILState_UNLOCKED); // the last Ensure: deletes it, unlocks
        }
        g_invoking.fetch_sub(1);
    }
};
thread_local ParkedThreadState t_parked;

// How long interpreter exit waits for notifications already on their way: long enough for a
// callback that is merely slow, short enough that a stuck one cannot hang the exit.
constexpr std::chrono::seconds kExitWait{5};

} // namespace

void stop_notifiers_for_exit() {
    g_exiting.store(true);
    // Invocations already past the check finish their call first; they need the interpreter
    // lock, which this thread holds.
    Py_BEGIN_ALLOW_THREADS;
    auto deadline = std::chrono::steady_clock::now() + kExitWait;
    while (g_invoking.load() > 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    Py_END_ALLOW_THREADS;
}

LoopNotifier::LoopNotifier(NotifyPending pending, PyObject *loop, PyObject *notify)
    : pending_(std::move(pending)), loop_(loop), notify_(notify) {
    Py_INCREF(loop_);
    Py_INCREF(notify_);
}

LoopNotifier::~LoopNotifier() {
    pending_.reset();
    release_python_ref(loop_);
    release_python_ref(notify_);
}

void LoopNotifier::schedule() noexcept {
    // Exactly one positional argument, whatever notify is (a tuple included).
    static PyObject *name = PyUnicode_InternFromString("call_soon_threadsafe");
    PyObject *result = name ? PyObject_CallMethodObjArgs(loop_, name, notify_, nullptr) : nullptr;
    if (result == nullptr) {
        PyErr_Clear();
        pending_->store(false, std::memory_order_release);
    } else {
        Py_DECREF(result);
    }
}

NotifierRef make_notifier(const NotifyPending &pending, PyObject *loop, PyObject *notify) {
    return std::make_shared<LoopNotifier>(pending, loop, notify);
}

void NotifierSlot::set(NotifierRef notifier) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        notifier_.swap(notifier);
    }
    // The previous notifier goes here, outside the mutex: releasing it may run Python code.
}

NotifierRef NotifierSlot::take() {
    std::lock_guard<std::mutex> guard(lock_);
    return std::move(notifier_);
}

void NotifierSlot::clear() {
    take();
}

void NotifierSlot::invoke() noexcept {
    NotifyPending pending;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!notifier_)
            return;
        pending = notifier_->pending();
    }
    if (pending->exchange(true, std::memory_order_acq_rel))
        return; // a notification is already on its way
    g_invoking.fetch_add(1);
    if (g_exiting.load()) {
        g_invoking.fetch_sub(1);
        return;
    }
    // Ensure does not take the lock again when this thread already holds it (a callback made
    // synchronously inside a Core call), and takes it back when this thread released it.
    bool foreign = PyGILState_GetThisThreadState() == nullptr;
    PyGILState_STATE gil = PyGILState_Ensure();
    {
        GilHeldScope held;
        // A caller on this thread may have an error pending; it must survive the call.
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        // cancel(), detach_callback() and a terminal poll remove the notifier holding the
        // interpreter lock, so it is read only now: one removed while this thread waited
        // schedules nothing, and no reference from before the wait is left to be the last one
        // afterwards, where the loop and notify could only be queued until the module's next call.
        NotifierRef current;
        {
            std::lock_guard<std::mutex> guard(lock_);
            current = notifier_;
        }
        if (current)
            current->schedule();
        else
            pending->store(false, std::memory_order_release);
        current.reset(); // if it was the last reference, loop and notify go now
        PyErr_Restore(type, value, tb);
    }
    if (foreign)
        t_parked.state = PyEval_SaveThread(); // keeps the state Ensure made for this thread
    else
        PyGILState_Release(gil);
    g_invoking.fetch_sub(1);
}

} // namespace corvina
