#include "bridge/notifier.h"

#include "lib/pyref.h"

#include <utility>

namespace corvina {

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

void LoopNotifier::invoke() noexcept {
    if (pending_->exchange(true, std::memory_order_acq_rel))
        return; // a notification is already on its way
    // Ensure does not take the lock again when this thread already holds it (a callback made
    // synchronously inside a Core call), and takes it back when this thread released it.
    PyGILState_STATE gil = PyGILState_Ensure();
    {
        GilHeldScope held;
        // A caller on this thread may have an error pending; it must survive the call.
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyObject *result = PyObject_CallMethod(loop_, "call_soon_threadsafe", "O", notify_);
        if (result == nullptr) {
            PyErr_Clear();
            pending_->store(false, std::memory_order_release);
        } else {
            Py_DECREF(result);
        }
        PyErr_Restore(type, value, tb);
    }
    PyGILState_Release(gil);
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

void NotifierSlot::clear() { take(); }

void NotifierSlot::invoke() noexcept {
    NotifierRef current;
    {
        std::lock_guard<std::mutex> guard(lock_);
        current = notifier_;
    }
    if (current)
        current->invoke();
    // The temporary reference may be the last one: its Python references are then queued unless
    // this thread holds the interpreter lock.
}

} // namespace corvina
