// The one place that includes the interpreter's headers: the stable ABI, or on a free-threaded
// interpreter, which has none before 3.15, the full API. What differs between the two builds is
// here and nowhere else.
#pragma once

#if !defined(Py_LIMITED_API) && !defined(CORVINA_FREE_THREADED)
#error "the module is built against the stable ABI, or for a free-threaded interpreter"
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#if defined(CORVINA_FREE_THREADED) && !defined(Py_GIL_DISABLED)
#error "the free-threaded build needs a free-threaded interpreter"
#endif

namespace corvina {

// Serializes a method's use of an object's Python-level fields with other threads' use of the
// same object. With the interpreter lock, the lock already does; without it, the object's
// critical section does, which the interpreter suspends, as it would the lock, while the thread
// waits or blocks.
class CriticalSection {
  public:
#ifdef Py_GIL_DISABLED
    explicit CriticalSection(PyObject *op) {
        PyCriticalSection_Begin(&section_, op);
    }
    ~CriticalSection() {
        PyCriticalSection_End(&section_);
    }
#else
    explicit CriticalSection(PyObject *) {}
#endif
    CriticalSection(const CriticalSection &) = delete;
    CriticalSection &operator=(const CriticalSection &) = delete;

  private:
#ifdef Py_GIL_DISABLED
    PyCriticalSection section_;
#endif
};

} // namespace corvina
