#include "lib/binding.h"

#include "lib/convert.h"

#include <string>

namespace corvina {
namespace {

void too_many_positional(const ParamSpec &spec, Py_ssize_t given) {
    std::string takes;
    if (spec.required == spec.count)
        takes = std::to_string(spec.count) + " positional argument" + (spec.count == 1 ? "" : "s");
    else
        takes = "from " + std::to_string(spec.required) + " to " + std::to_string(spec.count) +
                " positional arguments";
    PyErr_Format(PyExc_TypeError, "%s takes %s but %zd %s given", spec.function, takes.c_str(),
                 given, given == 1 ? "was" : "were");
}

bool report_missing(const ParamSpec &spec, PyObject **out) {
    std::string names;
    int missing = 0;
    for (int i = 0; i < spec.required; ++i)
        if (out[i] == nullptr)
            ++missing;
    if (missing == 0)
        return true;
    int seen = 0;
    for (int i = 0; i < spec.required; ++i) {
        if (out[i] != nullptr)
            continue;
        ++seen;
        if (seen > 1)
            names += (seen == missing) ? (missing > 2 ? ", and " : " and ") : ", ";
        names += "'";
        names += spec.params[i].name;
        names += "'";
    }
    PyErr_Format(PyExc_TypeError, "%s missing %d required positional argument%s: %s", spec.function,
                 missing, missing == 1 ? "" : "s", names.c_str());
    return false;
}

bool bind_keyword(const ParamSpec &spec, PyObject *key, PyObject *value, PyObject **out) {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%s keywords must be strings", spec.function);
        return false;
    }
    Py_ssize_t len = 0;
    const char *name = PyUnicode_AsUTF8AndSize(key, &len);
    if (name == nullptr)
        return false;
    for (int i = 0; i < spec.count; ++i) {
        if (std::string_view(spec.params[i].name) !=
            std::string_view(name, static_cast<size_t>(len)))
            continue;
        if (out[i] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", spec.function,
                         spec.params[i].name);
            return false;
        }
        out[i] = value;
        return true;
    }
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", spec.function, key);
    return false;
}

} // namespace

bool bind_fast(const ParamSpec &spec, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
               PyObject **out) {
    for (int i = 0; i < spec.count; ++i)
        out[i] = nullptr;
    if (nargs > spec.count) {
        too_many_positional(spec, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i)
        out[i] = args[i];
    if (kwnames != nullptr) {
        Py_ssize_t nkw = PyTuple_Size(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k)
            if (!bind_keyword(spec, PyTuple_GetItem(kwnames, k), args[nargs + k], out))
                return false;
    }
    return report_missing(spec, out);
}

bool bind_tuple(const ParamSpec &spec, PyObject *args, PyObject *kwargs, PyObject **out) {
    for (int i = 0; i < spec.count; ++i)
        out[i] = nullptr;
    Py_ssize_t nargs = args ? PyTuple_Size(args) : 0;
    if (nargs > spec.count) {
        too_many_positional(spec, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i)
        out[i] = PyTuple_GetItem(args, i);
    if (kwargs != nullptr) {
        PyObject *key = nullptr;
        PyObject *value = nullptr;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value))
            if (!bind_keyword(spec, key, value, out))
                return false;
    }
    return report_missing(spec, out);
}

bool bind_poll_limit(const ParamSpec &spec, PyObject *const *args, Py_ssize_t nargs,
                     PyObject *kwnames, uint32_t &limit) {
    PyObject *a[1];
    if (!bind_fast(spec, args, nargs, kwnames, a))
        return false;
    return convert_arg(spec.params[0].name, [&] { return to_poll_limit(a[0], limit); });
}

} // namespace corvina
