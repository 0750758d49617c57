// The module's entry point and its one execute step.
#include "core/kestrin.h"
#include "lib/classes.h"
#include "lib/fault.h"
#include "lib/pyref.h"

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
        return 0;
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(exec_module)},
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
