// PyWebSocket: the Python API of a WebSocket connection.
#pragma once

#include "lib/binding.h"
#include "lib/python.h"

namespace corvina {

// PyEngine.websocket: a new idle PyWebSocket.
inline constexpr auto kEngineWebSocket = signature(
    "PyEngine", "websocket",
    {{"url"}, {"origin", "\"\""}, {"headers", "None"}, {"timeout", "None"}, {"protocols", "None"}});
PyObject *engine_websocket(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                           PyObject *kwnames);

// The PyWebSocket class, created on the first call; nullptr with an error set on failure.
PyTypeObject *websocket_type();

} // namespace corvina
