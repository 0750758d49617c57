// The four classes of the module, created once per process on first need.
#pragma once

#include "lib/python.h"

namespace corvina {

// Borrowed references; nullptr with an error set if a class cannot be created.
PyTypeObject *engine_type();
PyTypeObject *request_type();
PyTypeObject *response_type();
PyTypeObject *websocket_type();

} // namespace corvina
