// Placeholder until this subsystem lands: every method reports "not implemented".
#include "lib/fault.h"
#include "lib/methods.h"

namespace corvina {

const Py_ssize_t kRequestObjectSize = sizeof(PyObject);
void request_finalize(PyObject *) {}
PyObject *request_cancel(PyObject *) {
    return raise_fault("not implemented");
}
PyObject *request_detach_callback(PyObject *) {
    return raise_fault("not implemented");
}
PyObject *request_is_finished(PyObject *) {
    return raise_fault("not implemented");
}
PyObject *request_upload_finish(PyObject *) {
    return raise_fault("not implemented");
}
PyObject *request_resume_read(PyObject *) {
    return raise_fault("not implemented");
}
PyObject *request_follow_redirect(PyObject *) {
    return raise_fault("not implemented");
}
PyObject *request_take_redirects(PyObject *) {
    return raise_fault("not implemented");
}
PyObject *request_start_stream(PyObject *) {
    return raise_fault("not implemented");
}
PyObject *request_start(PyObject *) {
    return raise_fault("not implemented");
}
PyObject *request_await_response(PyObject *) {
    return raise_fault("not implemented");
}
PyObject *request_next_body(PyObject *) {
    return raise_fault("not implemented");
}
PyObject *request_read_body(PyObject *) {
    return raise_fault("not implemented");
}
PyObject *request_poll_event(PyObject *) {
    return raise_fault("not implemented");
}
PyObject *request_upload_write(PyObject *, PyObject *const *, Py_ssize_t, PyObject *) {
    return raise_fault("not implemented");
}
PyObject *request_wait_redirect(PyObject *, PyObject *const *, Py_ssize_t, PyObject *) {
    return raise_fault("not implemented");
}
PyObject *request_wait_manual(PyObject *, PyObject *const *, Py_ssize_t, PyObject *) {
    return raise_fault("not implemented");
}
PyObject *request_start_async(PyObject *, PyObject *const *, Py_ssize_t, PyObject *) {
    return raise_fault("not implemented");
}
PyObject *request_attach_async(PyObject *, PyObject *const *, Py_ssize_t, PyObject *) {
    return raise_fault("not implemented");
}
PyObject *request_poll_events(PyObject *, PyObject *const *, Py_ssize_t, PyObject *) {
    return raise_fault("not implemented");
}
PyObject *engine_request(PyObject *, PyObject *const *, Py_ssize_t, PyObject *) {
    return raise_fault("not implemented");
}

} // namespace corvina
