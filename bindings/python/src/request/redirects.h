// PyRequest's redirect methods: reported hops, waits for one, and following a manual one.
#pragma once

#include "lib/python.h"

namespace corvina {

PyObject *request_take_redirects(PyObject *self);
PyObject *request_wait_redirect(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                                PyObject *kwnames);
PyObject *request_wait_manual(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                              PyObject *kwnames);
PyObject *request_follow_redirect(PyObject *self);

} // namespace corvina
