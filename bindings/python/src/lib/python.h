// The one place that includes the interpreter's headers (stable ABI only).
#pragma once

#ifndef Py_LIMITED_API
#error "the module is built against the stable ABI only"
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>
