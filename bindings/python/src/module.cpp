// The module's entry point and its one execute step, which sets up each class from the file
// that owns it.
#include <kestrin/kestrin.h>

#include "bridge/notifier.h"
#include "engine/engine.h"
#include "entry/run_loop.h"
#include "lib/fault.h"
#include "lib/pyref.h"
#include "request/chunk.h"
#include "request/py_request.h"
#include "request/response.h"
#include "websocket/py_websocket.h"

namespace corvina {
namespace {

int add_to_all(PyObject *module, PyObject *all, const char *name, PyObject *value) {
    if (value == nullptr)
        return -1;
    if (PyModule_AddObjectRef(module, name, value) < 0)
        return -1;
    PyRef text = PyRef::steal(PyUnicode_FromString(name));
    if (!text || PyList_Append(all, text.get()) < 0)
        return -1;
    return 0;
}

PyObject *on_exit(PyObject *, PyObject *) {
    stop_notifiers_for_exit();
    Py_RETURN_NONE;
}

PyMethodDef exit_hook = {"_corvina_native_exit", on_exit, METH_NOARGS, nullptr};

// Once per process: the hook outlives any one module object.
int register_exit_hook() {
    static bool registered = false;
    if (registered)
        return 0;
    PyRef hook = PyRef::steal(PyCFunction_NewEx(&exit_hook, nullptr, nullptr));
    PyRef atexit = PyRef::steal(PyImport_ImportModule("atexit"));
    if (!hook || !atexit)
        return -1;
    PyRef done = PyRef::steal(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
    if (!done)
        return -1;
    registered = true;
    return 0;
}

int exec_module(PyObject *module) {
    return guard_int([&]() -> int {
        PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
        if (!all) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError))
                return -1;
            PyErr_Clear();
            all = PyRef::steal(PyList_New(0));
            if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) < 0)
                return -1;
        }
        PyRef abi = PyRef::steal(PyLong_FromUnsignedLong(KS_ABI_VERSION));
        if (add_to_all(module, all.get(), "PyEngine",
                       reinterpret_cast<PyObject *>(engine_type())) ||
            add_to_all(module, all.get(), "PyRequest",
                       reinterpret_cast<PyObject *>(request_type())) ||
            add_to_all(module, all.get(), "PyResponse",
                       reinterpret_cast<PyObject *>(response_type())) ||
            add_to_all(module, all.get(), "PyWebSocket",
                       reinterpret_cast<PyObject *>(websocket_type())) ||
            add_to_all(module, all.get(), "abi_version", abi.get()))
            return -1;
        core_run_loop(); // the Core's optional entry points, looked up once, now
        prime_heap_thresholds();
        return register_exit_hook();
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(exec_module)},
#ifdef Py_GIL_DISABLED
    // Every object serializes its own state; importing the module must not turn the lock on.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "corvina_native", "",      0,       nullptr,
    module_slots,          nullptr,          nullptr, nullptr,
};

} // namespace
} // namespace corvina

extern "C" __attribute__((visibility("default"))) PyObject *PyInit_corvina_native(void) {
    return PyModuleDef_Init(&corvina::module_def);
}
