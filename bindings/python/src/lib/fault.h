// Method boundaries: internal faults become the fault exception, never a crash.
#pragma once

#include "errors/error.h"
#include "lib/pyref.h"

#include <cxxabi.h>
#include <exception>
#include <string>

namespace corvina {

// The fault exception type, derived directly from BaseException; created on first need.
PyObject *fault_type();

// Sets the fault exception with a description; returns nullptr for convenience.
PyObject *raise_fault(const std::string &what);

// Turns the exception in flight (inside a catch block) into the fault exception.
PyObject *raise_current_fault();

// RuntimeError with exactly this text.
PyObject *raise_runtime(const std::string &text);
inline PyObject *raise_core_error(const CoreError &e) {
    return raise_runtime(core_error_text(e));
}
inline PyObject *raise_request_failure(const RequestFailure &f) {
    return raise_runtime(request_failure_text(f));
}
// None when the call succeeded, else the raised error.
inline PyObject *none_or_raise(const CallResult &r) {
    if (r)
        return raise_core_error(*r);
    Py_RETURN_NONE;
}

// Core release functions run in destructors, where a fault cannot propagate: it is noted on
// the thread and reported through the unraisable hook at the next method boundary.
void note_release_fault() noexcept;
void report_release_faults(PyObject *obj);

// Calls a Core release function from a destructor.
template <class F> void release_noexcept(F &&release) noexcept {
    try {
        release();
    } catch (...) {
        note_release_fault();
    }
}

// An exiting interpreter ends a thread that asks for its lock by unwinding it (pthread_exit).
// Where that unwinding is caught and cannot go on, the thread waits for the process to end
// instead, as newer interpreters do themselves.
[[noreturn]] void park_ended_thread() noexcept;

// libc++abi hands that unwinding to catch (...) as a foreign exception, one with no C++ type;
// libstdc++ as abi::__forced_unwind, caught before.
inline bool ended_thread_unwinding() noexcept {
#if defined(__GLIBCXX__)
    return false;
#else
    return abi::__cxa_current_exception_type() == nullptr;
#endif
}

// Runs a method body with the fault boundary: C++ exceptions and a null result without an
// error set become the fault exception. The unwinding that ends a thread goes on through it
// where the C++ runtime can rethrow it (libstdc++), else the thread is parked.
template <class F> PyObject *guard(F &&body) {
    GilHeldScope held;
    try {
        PyObject *result = body();
        if (result == nullptr && !PyErr_Occurred())
            result = raise_fault("method returned no value and no error");
        report_release_faults(nullptr);
        return result;
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind &) {
        throw;
#endif
    } catch (...) {
        // libc++abi's rethrow starts a new search for a foreign exception, which finds no
        // handler and terminates.
        if (ended_thread_unwinding())
            park_ended_thread();
        return raise_current_fault();
    }
}

// Same for a constructor-like slot returning int (0 ok, -1 error).
template <class F> int guard_int(F &&body) noexcept {
    GilHeldScope held;
    try {
        int result = body();
        if (result < 0 && !PyErr_Occurred())
            raise_fault("operation failed without an error");
        report_release_faults(nullptr);
        return result;
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind &) {
        park_ended_thread();
#endif
    } catch (...) {
        if (ended_thread_unwinding())
            park_ended_thread();
        raise_current_fault();
        return -1;
    }
}

// Destruction: a fault is reported through the unraisable hook and destruction goes on.
template <class F> void guard_dealloc(PyObject *self, F &&body) noexcept {
    GilHeldScope held;
    try {
        body();
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind &) {
        park_ended_thread();
#endif
    } catch (...) {
        if (ended_thread_unwinding())
            park_ended_thread();
        raise_current_fault();
        PyErr_WriteUnraisable(self);
    }
    report_release_faults(self);
}

} // namespace corvina
