#include "lib/fault.h"

#include <new>
#include <stdexcept>

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
        return raise_fault("internal fault: out of memory");
    } catch (const std::exception &e) {
        return raise_fault(std::string("internal fault: ") + e.what());
    } catch (...) {
        return raise_fault("internal fault: unknown exception");
    }
}

namespace {
thread_local std::string t_release_fault;
} // namespace

void note_release_fault() noexcept {
    try {
        try {
            throw;
        } catch (const std::exception &e) {
            t_release_fault =
                std::string("internal fault while releasing a Core handle: ") + e.what();
        } catch (...) {
            t_release_fault = "internal fault while releasing a Core handle";
        }
    } catch (...) {
        // Out of memory while describing the fault: it is still reported, without a text.
        t_release_fault.clear();
        t_release_fault.shrink_to_fit();
    }
}

void report_release_faults(PyObject *obj) {
    if (t_release_fault.empty())
        return;
    std::string what;
    what.swap(t_release_fault);
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    raise_fault(what);
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

} // namespace corvina
