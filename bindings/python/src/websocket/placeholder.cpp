// Placeholder until this subsystem lands: every method reports "not implemented".
#include "lib/fault.h"
#include "lib/methods.h"

namespace corvina {

const Py_ssize_t kWebSocketObjectSize = sizeof(PyObject);
void websocket_finalize(PyObject *) {}
PyObject *websocket_connect(PyObject *) {
    return raise_fault("not implemented");
}
PyObject *websocket_recv(PyObject *) {
    return raise_fault("not implemented");
}
PyObject *websocket_cancel(PyObject *) {
    return raise_fault("not implemented");
}
PyObject *websocket_detach_callback(PyObject *) {
    return raise_fault("not implemented");
}
PyObject *websocket_is_finished(PyObject *) {
    return raise_fault("not implemented");
}
PyObject *websocket_poll_event(PyObject *) {
    return raise_fault("not implemented");
}
PyObject *websocket_send_text(PyObject *, PyObject *const *, Py_ssize_t, PyObject *) {
    return raise_fault("not implemented");
}
PyObject *websocket_send_bytes(PyObject *, PyObject *const *, Py_ssize_t, PyObject *) {
    return raise_fault("not implemented");
}
PyObject *websocket_close(PyObject *, PyObject *const *, Py_ssize_t, PyObject *) {
    return raise_fault("not implemented");
}
PyObject *websocket_start_async(PyObject *, PyObject *const *, Py_ssize_t, PyObject *) {
    return raise_fault("not implemented");
}
PyObject *websocket_poll_events(PyObject *, PyObject *const *, Py_ssize_t, PyObject *) {
    return raise_fault("not implemented");
}
PyObject *engine_websocket(PyObject *, PyObject *const *, Py_ssize_t, PyObject *) {
    return raise_fault("not implemented");
}

} // namespace corvina
