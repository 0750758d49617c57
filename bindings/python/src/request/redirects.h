// PyRequest's redirect methods: reported hops, waits for one, and following a manual one.
#pragma once

#include "lib/binding.h"
#include "lib/pyref.h"
#include "lib/python.h"
#include "request/state.h"

namespace corvina {

// (status, head, first text, second text), the texts decoded with U+FFFD replacement; empty with
// an error set on failure.
PyRef hop_tuple(const RedirectHop &hop);

PyObject *request_take_redirects(PyObject *self);
inline constexpr Param kWaitParams[] = {{"timeout", "None"}};
inline constexpr auto kWaitRedirect = signature("PyRequest", "wait_redirect", kWaitParams);
inline constexpr auto kWaitManual = signature("PyRequest", "wait_manual", kWaitParams);
PyObject *request_wait_redirect(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                                PyObject *kwnames);
PyObject *request_wait_manual(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                              PyObject *kwnames);
PyObject *request_follow_redirect(PyObject *self);

} // namespace corvina
