// Callback arguments fed through the scripted Core into the module: an embedded interpreter
// imports the instrumented corvina_native (bound to the scripted Core linked into this
// program) and callbacks_driver.py turns each input into Core callbacks and API calls.
// Any exception but the documented ones, and any broken Core contract, aborts the run.
// The host embeds the full interpreter; only the module is limited to the stable ABI.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>

namespace {

PyObject *g_run = nullptr;

[[noreturn]] void fail_with_python_error(const char *what) {
    std::fprintf(stderr, "fuzz_callbacks: %s\n", what);
    if (PyErr_Occurred())
        PyErr_Print();
    std::fflush(stderr);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // Python objects on the C heap, so the address sanitizer sees their lifetimes too.
    setenv("PYTHONMALLOC", "malloc", 1);
    setenv("CORVINA_SCRIPTED_CORE", CORVINA_SCRIPTED_CORE, 1);
    Py_InitializeEx(0);
    PyObject *path = PySys_GetObject("path"); // borrowed
    for (const char *dir : {CORVINA_MODULE_DIR, CORVINA_FUZZ_DIR, CORVINA_TESTS_DIR}) {
        PyObject *s = PyUnicode_FromString(dir);
        if (!s || PyList_Insert(path, 0, s) != 0)
            fail_with_python_error("cannot extend sys.path");
        Py_DECREF(s);
    }
    PyObject *driver = PyImport_ImportModule("callbacks_driver");
    if (!driver)
        fail_with_python_error("cannot import callbacks_driver");
    g_run = PyObject_GetAttrString(driver, "run");
    Py_DECREF(driver);
    if (!g_run)
        fail_with_python_error("callbacks_driver has no run()");
    // Core worker threads take the interpreter lock for their callbacks.
    PyEval_SaveThread();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    PyGILState_STATE gil = PyGILState_Ensure();
    PyObject *bytes = PyBytes_FromStringAndSize(reinterpret_cast<const char *>(data),
                                                static_cast<Py_ssize_t>(size));
    if (!bytes)
        fail_with_python_error("cannot build the input bytes");
    PyObject *result = PyObject_CallFunctionObjArgs(g_run, bytes, nullptr);
    Py_DECREF(bytes);
    if (!result)
        fail_with_python_error("driver failed");
    Py_DECREF(result);
    PyGILState_Release(gil);
    return 0;
}
