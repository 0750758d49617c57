#include "lib/pyref.h"

#include <atomic>
#include <mutex>
#include <vector>

namespace corvina {
namespace {

thread_local bool t_gil_held = false;

// References released where the interpreter lock is not held, for the next thread that holds it.
// Never destroyed: a Core thread may still release one while the process exits and runs the
// destructors of statics.
struct ReleaseQueue {
    std::mutex lock;
    std::vector<PyObject *> refs;
};
ReleaseQueue &g_queue = *new ReleaseQueue;
std::atomic<bool> g_queue_nonempty{false};

} // namespace

bool gil_held_here() {
    return t_gil_held;
}

GilHeldScope::GilHeldScope() : previous_(t_gil_held) {
    t_gil_held = true;
    drain_released_refs();
}

GilHeldScope::~GilHeldScope() {
    t_gil_held = previous_;
}

GilRelease::GilRelease() : previous_(t_gil_held) {
    t_gil_held = false;
    state_ = PyEval_SaveThread();
}

GilRelease::~GilRelease() noexcept(false) {
    PyEval_RestoreThread(state_);
    t_gil_held = previous_;
    drain_released_refs();
}

std::unique_lock<std::mutex> lock_yielding(std::mutex &m) {
    std::unique_lock<std::mutex> lock(m, std::try_to_lock);
    if (lock.owns_lock() || !t_gil_held) {
        if (!lock.owns_lock())
            lock.lock();
        return lock;
    }
    // Wait with the interpreter lock given up, and never take it back while holding `m`. Raw
    // save/restore: nothing else runs on this thread meanwhile, and nothing queued is released.
    for (;;) {
        PyThreadState *ts = PyEval_SaveThread();
        { std::lock_guard<std::mutex> wait(m); }
        PyEval_RestoreThread(ts);
        if (lock.try_lock())
            return lock;
    }
}

void release_python_ref(PyObject *o) {
    if (o == nullptr)
        return;
    if (t_gil_held) {
        Py_DECREF(o);
        return;
    }
    std::lock_guard<std::mutex> lock(g_queue.lock);
    g_queue.refs.push_back(o);
    g_queue_nonempty.store(true, std::memory_order_release);
}

void drain_released_refs() {
    if (!g_queue_nonempty.load(std::memory_order_acquire))
        return;
    std::vector<PyObject *> batch;
    {
        std::lock_guard<std::mutex> lock(g_queue.lock);
        batch.swap(g_queue.refs);
        g_queue_nonempty.store(false, std::memory_order_relaxed);
    }
    // Outside the queue lock: a release may run Python code that queues more.
    for (PyObject *o : batch)
        Py_DECREF(o);
}

} // namespace corvina
