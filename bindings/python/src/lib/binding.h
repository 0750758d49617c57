// Binding of positional and keyword arguments to a method's parameters.
#pragma once

#include "lib/python.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace corvina {

struct ParamSpec {
    const char *function; // qualified name with parentheses, for messages: "PyEngine.request()"
    const char *const *names;
    int count;
    int required; // the first `required` parameters have no default
};

// Borrowed references, one per parameter; nullptr where the parameter was not given.
// Positional arguments and kwnames follow the vectorcall convention.
bool bind_fast(const ParamSpec &spec, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
               PyObject **out);

// The same for an argument tuple and keyword dictionary (constructors).
bool bind_tuple(const ParamSpec &spec, PyObject *args, PyObject *kwargs, PyObject **out);

// The one optional `limit` of a poll_events method, converted.
bool bind_poll_limit(const char *function, PyObject *const *args, Py_ssize_t nargs,
                     PyObject *kwnames, uint32_t &limit);

// True when a parameter is absent or None.
inline bool absent(PyObject *o) {
    return o == nullptr || o == Py_None;
}

} // namespace corvina
