// Owned Python references and interpreter-lock scopes.
#pragma once

#include "lib/python.h"

#include <mutex>
#include <utility>

namespace corvina {

// One strong reference, released on destruction. The interpreter lock must be held whenever
// a PyRef that holds an object is destroyed or reassigned.
class PyRef {
  public:
    PyRef() = default;
    static PyRef steal(PyObject *o) { return PyRef(o); }
    static PyRef borrow(PyObject *o) {
        Py_XINCREF(o);
        return PyRef(o);
    }
    PyRef(const PyRef &) = delete;
    PyRef &operator=(const PyRef &) = delete;
    PyRef(PyRef &&other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    PyRef &operator=(PyRef &&other) noexcept {
        if (this != &other) {
            PyObject *old = std::exchange(obj_, std::exchange(other.obj_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    ~PyRef() { Py_XDECREF(obj_); }

    PyObject *get() const { return obj_; }
    PyObject *release() { return std::exchange(obj_, nullptr); }
    explicit operator bool() const { return obj_ != nullptr; }

  private:
    explicit PyRef(PyObject *o) : obj_(o) {}
    PyObject *obj_ = nullptr;
};

// Whether this thread holds the interpreter lock, as far as the module knows: set while a
// method, getter, constructor, destructor or the notifier runs, cleared inside GilRelease.
// Core threads never hold it outside the notifier.
bool gil_held_here();

// Marks the current thread as holding the interpreter lock for the scope (method entry).
class GilHeldScope {
  public:
    GilHeldScope();
    ~GilHeldScope();
    GilHeldScope(const GilHeldScope &) = delete;
    GilHeldScope &operator=(const GilHeldScope &) = delete;

  private:
    bool previous_;
};

// Releases the interpreter lock for the scope. Destroy it with no module lock held: taking the
// lock back may wait, and it releases the references queued by other threads. When the
// interpreter is exiting, taking the lock back ends the thread by unwinding it, so the
// destructor lets that unwinding through.
class GilRelease {
  public:
    GilRelease();
    ~GilRelease() noexcept(false);
    GilRelease(const GilRelease &) = delete;
    GilRelease &operator=(const GilRelease &) = delete;

  private:
    PyThreadState *state_;
    bool previous_;
};

// Locks `m`. A thread holding the interpreter lock gives it up while `m` is busy: no object lock
// is ever waited for with the interpreter lock held, whatever its holder waits for.
std::unique_lock<std::mutex> lock_yielding(std::mutex &m);

// Drops a reference now if this thread holds the interpreter lock, else queues it for the next
// time the module holds it.
void release_python_ref(PyObject *o);

// Releases the queued references; the caller holds the interpreter lock.
void drain_released_refs();

} // namespace corvina
