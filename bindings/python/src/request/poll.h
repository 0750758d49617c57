// Event-loop side of a PyRequest: installing the notifier and polling request events.
#pragma once

#include "bridge/notifier.h"
#include "lib/binding.h"
#include "lib/pyref.h"
#include "request/py_request.h"

namespace corvina {

// One step of polling: the next event tuple in `out`, or `out` left empty when nothing is
// ready. False with a Python error set on failure.
bool poll_one(RequestNative &n, PyRef &out);

// The event-loop methods of PyRequest.
inline constexpr auto kRequestStartAsync = signature("PyRequest", "start_async", kLoopParams);
inline constexpr auto kRequestAttachAsync = signature("PyRequest", "attach_async", kLoopParams);
inline constexpr auto kRequestPollEvents = signature("PyRequest", "poll_events", kPollLimitParams);
PyObject *request_start_async(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                              PyObject *kwnames);
PyObject *request_attach_async(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                               PyObject *kwnames);
PyObject *request_detach_callback(PyObject *self);
PyObject *request_poll_event(PyObject *self);
PyObject *request_poll_events(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                              PyObject *kwnames);

} // namespace corvina
