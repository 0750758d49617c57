#include "lib/convert.h"

#include "lib/pyref.h"

#include <climits>
#include <cmath>
#include <limits>

namespace corvina {
namespace {

constexpr const char kTimeoutMessage[] = "timeout must be a finite non-negative number";
constexpr const char kStrToVec[] = "Can't extract `str` to `Vec`";

// Sequences that are not str: the shared front of the list rules.
bool check_list_sequence(PyObject *o) {
    if (PyUnicode_Check(o)) {
        PyErr_SetString(PyExc_TypeError, kStrToVec);
        return false;
    }
    if (!PySequence_Check(o)) {
        raise_type_mismatch(o, "Sequence");
        return false;
    }
    return true;
}

// Converts each item of a list-like sequence with `add`, which appends it to a fresh container;
// `out` takes that container only once every item converted.
template <class Container, class Add> bool convert_items(PyObject *o, Container &out, Add &&add) {
    if (!check_list_sequence(o))
        return false;
    Py_ssize_t n = PySequence_Size(o);
    if (n < 0)
        return false;
    Container result;
    result.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyRef item = PyRef::steal(PySequence_GetItem(o, i));
        if (!item || !add(item.get(), result))
            return false;
    }
    out = std::move(result);
    return true;
}

bool is_numpy_bool(PyObject *o) {
    PyRef type = PyRef::borrow(reinterpret_cast<PyObject *>(Py_TYPE(o)));
    PyRef module = PyRef::steal(PyObject_GetAttrString(type.get(), "__module__"));
    if (!module) {
        PyErr_Clear();
        return false;
    }
    if (!PyUnicode_Check(module.get()) || PyUnicode_CompareWithASCIIString(module.get(), "numpy"))
        return false;
    PyRef name = PyRef::steal(PyObject_GetAttrString(type.get(), "__name__"));
    if (!name) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_Check(name.get()) &&
           (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
            PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
}

} // namespace

void raise_type_mismatch(PyObject *given, const char *expected) {
    if (given == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
        return;
    }
    PyRef name = PyRef::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject *>(Py_TYPE(given)), "__name__"));
    if (!name)
        return;
    PyErr_Format(PyExc_TypeError, "'%S' object is not an instance of '%s'", name.get(), expected);
}

void prefix_argument_error(const char *name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError))
        return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr && value != nullptr)
        PyException_SetTraceback(value, tb);
    PyRef cause = PyRef::steal(value);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    PyRef text = PyRef::steal(cause ? PyObject_Str(cause.get()) : nullptr);
    if (!text)
        return;
    PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    if (!message)
        return;
    PyRef error =
        PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    if (!error)
        return;
    PyException_SetCause(error.get(), cause.release()); // steals
    PyErr_SetObject(PyExc_TypeError, error.get());
}

bool to_text(PyObject *o, std::string &out) {
    if (!PyUnicode_Check(o)) {
        raise_type_mismatch(o, "str");
        return false;
    }
    Py_ssize_t len = 0;
    const char *data = PyUnicode_AsUTF8AndSize(o, &len);
    if (data == nullptr)
        return false;
    out.assign(data, static_cast<size_t>(len));
    return true;
}

bool to_optional_text(PyObject *o, std::optional<std::string> &out) {
    if (o == nullptr || o == Py_None) {
        out.reset();
        return true;
    }
    std::string s;
    if (!to_text(o, s))
        return false;
    out = std::move(s);
    return true;
}

bool to_byte_view(PyObject *o, Bytes &copy, std::span<const uint8_t> &out) {
    if (PyBytes_Check(o)) {
        char *data = nullptr;
        Py_ssize_t len = 0;
        if (PyBytes_AsStringAndSize(o, &data, &len) < 0)
            return false;
        out = {reinterpret_cast<const uint8_t *>(data), static_cast<size_t>(len)};
        return true;
    }
    if (!to_byte_string(o, copy))
        return false;
    out = copy;
    return true;
}

bool to_byte_string(PyObject *o, Bytes &out) {
    if (PyBytes_Check(o)) {
        char *data = nullptr;
        Py_ssize_t len = 0;
        if (PyBytes_AsStringAndSize(o, &data, &len) < 0)
            return false;
        out.assign(data, data + len);
        return true;
    }
    if (PyByteArray_Check(o)) {
        // Another thread may resize it; the copy is one step for it.
        CriticalSection section(o);
        const char *data = PyByteArray_AsString(o);
        out.assign(data, data + PyByteArray_Size(o));
        return true;
    }
    return convert_items(o, out, [](PyObject *item, Bytes &result) {
        PyRef index = PyRef::steal(PyNumber_Index(item));
        if (!index)
            return false;
        long v = PyLong_AsLong(index.get());
        if (v == -1 && PyErr_Occurred())
            return false;
        if (v < 0 || v > 255) {
            PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
            return false;
        }
        result.push_back(static_cast<uint8_t>(v));
        return true;
    });
}

bool to_header_list(PyObject *o, HeaderList &out) {
    out.clear();
    if (o == nullptr || o == Py_None)
        return true;
    return convert_items(o, out, [](PyObject *item, HeaderList &result) {
        if (!PyTuple_Check(item)) {
            raise_type_mismatch(item, "tuple");
            return false;
        }
        Py_ssize_t len = PyTuple_Size(item);
        if (len != 2) {
            PyErr_Format(PyExc_ValueError,
                         "expected tuple of length 2, but got tuple of length %zd", len);
            return false;
        }
        std::string name, value;
        if (!to_text(PyTuple_GetItem(item, 0), name) || !to_text(PyTuple_GetItem(item, 1), value))
            return false;
        result.emplace_back(std::move(name), std::move(value));
        return true;
    });
}

bool to_text_list(PyObject *o, std::vector<std::string> &out) {
    out.clear();
    if (o == nullptr || o == Py_None)
        return true;
    return convert_items(o, out, [](PyObject *item, std::vector<std::string> &result) {
        std::string s;
        if (!to_text(item, s))
            return false;
        result.push_back(std::move(s));
        return true;
    });
}

bool to_flag(PyObject *o, bool &out) {
    if (o == Py_True || o == Py_False) {
        out = (o == Py_True);
        return true;
    }
    if (o != Py_None && is_numpy_bool(o)) {
        int v = PyObject_IsTrue(o);
        if (v < 0)
            return false;
        out = v != 0;
        return true;
    }
    if (PyErr_Occurred())
        return false;
    raise_type_mismatch(o, "bool");
    return false;
}

bool to_seconds(PyObject *o, std::optional<double> &out) {
    out.reset();
    if (o == nullptr || o == Py_None)
        return true;
    double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred())
        return false;
    out = v;
    return true;
}

bool seconds_to_timeout(const std::optional<double> &seconds, std::optional<Duration> &out) {
    out.reset();
    if (!seconds)
        return true;
    Duration d;
    if (!std::isfinite(*seconds) || std::signbit(*seconds) || !split_seconds(*seconds, d)) {
        PyErr_SetString(PyExc_RuntimeError, kTimeoutMessage);
        return false;
    }
    out = d;
    return true;
}

bool to_timeout(PyObject *o, std::optional<Duration> &out) {
    std::optional<double> seconds;
    return to_seconds(o, seconds) && seconds_to_timeout(seconds, out);
}

bool to_poll_limit(PyObject *o, uint32_t &out) {
    if (o == nullptr) {
        out = 64;
        return true;
    }
    PyRef index = PyRef::steal(PyNumber_Index(o));
    if (!index)
        return false;
    unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred())
        return false;
    if (v > UINT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = v == 0 ? 1 : static_cast<uint32_t>(v);
    return true;
}

PyObject *new_bytes(const uint8_t *data, size_t len) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char *>(data),
                                     static_cast<Py_ssize_t>(len));
}

PyObject *new_bytes(const Bytes &b) {
    return new_bytes(b.data(), b.size());
}

PyObject *new_text_lossy(const char *data, size_t len) {
    return PyUnicode_DecodeUTF8(len ? data : "", static_cast<Py_ssize_t>(len), "replace");
}

} // namespace corvina
