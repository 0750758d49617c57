#include "lib/fault.h"

#include <cstdio>
#include <new>
#include <stdexcept>
#include <unistd.h>

namespace corvina {

PyObject *fault_type() {
    // Kept for the life of the process, like the classes.
    static PyObject *type = PyErr_NewExceptionWithDoc(
        "corvina_native.NativeFault", "An internal fault of the native layer; not a network error.",
        PyExc_BaseException, nullptr);
    return type;
}

PyObject *raise_fault(const std::string &what) {
    PyObject *type = fault_type();
    if (type == nullptr)
        return nullptr; // the creation error is set
    PyErr_SetString(type, what.c_str());
    return nullptr;
}

PyObject *raise_current_fault() {
    try {
        throw;
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory(); // a real condition of the process, not a fault of ours
    } catch (const std::exception &e) {
        return raise_fault(std::string("internal fault: ") + e.what());
    } catch (...) {
        return raise_fault("internal fault: unknown exception");
    }
}

namespace {
// Trivially destructible: a thread-local with a destructor races the thread's own exit.
thread_local char t_release_fault[160];
thread_local bool t_release_faulted = false;

void note(const char *what) noexcept {
    std::snprintf(t_release_fault, sizeof t_release_fault,
                  "internal fault while releasing a Core handle%s%s", what ? ": " : "",
                  what ? what : "");
    t_release_faulted = true;
}
} // namespace

void note_release_fault() noexcept {
    try {
        throw;
    } catch (const std::exception &e) {
        note(e.what());
    } catch (...) {
        note(nullptr);
    }
}

void report_release_faults(PyObject *obj) {
    if (!t_release_faulted)
        return;
    t_release_faulted = false;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    raise_fault(t_release_fault);
    PyErr_WriteUnraisable(obj);
    PyErr_Restore(type, value, tb);
}

PyObject *raise_runtime(const std::string &text) {
    PyObject *msg =
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    if (msg == nullptr)
        return nullptr;
    PyErr_SetObject(PyExc_RuntimeError, msg);
    Py_DECREF(msg);
    return nullptr;
}

void park_ended_thread() noexcept {
    for (;;)
        pause();
}

} // namespace corvina
