// Event-loop side of a PyRequest: installing the notifier and polling request events.
#pragma once

#include "lib/pyref.h"
#include "request/py_request.h"

namespace corvina {

// One step of polling: the next event tuple in `out`, or `out` left empty when nothing is
// ready. False with a Python error set on failure.
bool poll_one(RequestNative &n, PyRef &out);

} // namespace corvina
