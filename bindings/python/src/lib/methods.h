// Method implementations behind the class tables. They run inside the fault boundary that the
// tables add, with the interpreter lock held; those with parameters bind them themselves.
#pragma once

#include "lib/python.h"

namespace corvina {

using NoArgsImpl = PyObject *(*)(PyObject *self);
using FastImpl = PyObject *(*)(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                               PyObject *kwnames);

// PyEngine
void engine_finalize(PyObject *self);
PyObject *engine_request(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                         PyObject *kwnames);
PyObject *engine_websocket(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                           PyObject *kwnames);

// PyRequest
PyObject *request_cancel(PyObject *self);
PyObject *request_detach_callback(PyObject *self);
PyObject *request_is_finished(PyObject *self);
PyObject *request_upload_write(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                               PyObject *kwnames);
PyObject *request_upload_finish(PyObject *self);
PyObject *request_resume_read(PyObject *self);
PyObject *request_follow_redirect(PyObject *self);
PyObject *request_take_redirects(PyObject *self);
PyObject *request_wait_redirect(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                                PyObject *kwnames);
PyObject *request_wait_manual(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                              PyObject *kwnames);
PyObject *request_start_stream(PyObject *self);
PyObject *request_start(PyObject *self);
PyObject *request_await_response(PyObject *self);
PyObject *request_next_body(PyObject *self);
PyObject *request_read_body(PyObject *self);
PyObject *request_start_async(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                              PyObject *kwnames);
PyObject *request_attach_async(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                               PyObject *kwnames);
PyObject *request_poll_event(PyObject *self);
PyObject *request_poll_events(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                              PyObject *kwnames);
void request_finalize(PyObject *self); // destroys the native part

// PyResponse
PyObject *response_status_code(PyObject *self);
PyObject *response_headers(PyObject *self);
PyObject *response_content(PyObject *self);
void response_finalize(PyObject *self);

// PyWebSocket
PyObject *websocket_connect(PyObject *self);
PyObject *websocket_send_text(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                              PyObject *kwnames);
PyObject *websocket_send_bytes(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                               PyObject *kwnames);
PyObject *websocket_recv(PyObject *self);
PyObject *websocket_close(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                          PyObject *kwnames);
PyObject *websocket_cancel(PyObject *self);
PyObject *websocket_detach_callback(PyObject *self);
PyObject *websocket_is_finished(PyObject *self);
PyObject *websocket_start_async(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                                PyObject *kwnames);
PyObject *websocket_poll_event(PyObject *self);
PyObject *websocket_poll_events(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                                PyObject *kwnames);
void websocket_finalize(PyObject *self);

// Sizes of the instances, from the units that own their native parts.
extern const Py_ssize_t kEngineObjectSize;
extern const Py_ssize_t kRequestObjectSize;
extern const Py_ssize_t kResponseObjectSize;
extern const Py_ssize_t kWebSocketObjectSize;

} // namespace corvina
