// PyEngine.request: binds and converts the arguments, creates the Core request.
#pragma once

#include "lib/python.h"

namespace corvina {

// A new idle PyRequest.
PyObject *engine_request(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                         PyObject *kwnames);

} // namespace corvina
