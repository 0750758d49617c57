// What every class of the module is built from: method-table entries that run their
// implementation inside the fault boundary, a deallocator for a boxed native part, and a type
// object created once per process.
#pragma once

#include "lib/binding.h"
#include "lib/fault.h"
#include "lib/python.h"

namespace corvina {

using NoArgsImpl = PyObject *(*)(PyObject *self);
using FastImpl = PyObject *(*)(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                               PyObject *kwnames);

template <NoArgsImpl F> PyObject *noargs(PyObject *self, PyObject *) {
    return guard([&] { return F(self); });
}

template <FastImpl F>
PyObject *fast(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return guard([&] { return F(self, args, nargs, kwnames); });
}

template <NoArgsImpl F> PyObject *getter(PyObject *self, void *) {
    return guard([&] { return F(self); });
}

template <void (*Finalize)(PyObject *)> void dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    guard_dealloc(self, [&] { Finalize(self); });
    auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free(self);
    Py_DECREF(type);
}

// Method-table entries whose documentation starts with the signature line: a method without
// parameters, and one whose parameters the signature `sig` (lib/binding.h) declares.
#define CORVINA_NOARGS(name, impl, body)                                                           \
    {                                                                                              \
        name, reinterpret_cast<PyCFunction>(noargs<impl>), METH_NOARGS,                            \
            PyDoc_STR(name "($self)\n--\n\n" body)                                                 \
    }
#define CORVINA_FAST(sig, impl, body)                                                              \
    {                                                                                              \
        sig.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fast<impl>)),     \
            METH_FASTCALL | METH_KEYWORDS, doc_of<sig, body>()                                     \
    }

// Not subclassable (no base-type flag), no dict, no weak references, not tracked by the GC.
constexpr unsigned kTypeFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
constexpr unsigned kTypeFlagsNoConstructor = kTypeFlags | Py_TPFLAGS_DISALLOW_INSTANTIATION;

// The type of `spec`, created on the first call and kept in `slot` for the life of the
// process; nullptr with an error set if it cannot be created.
inline PyTypeObject *make_type(PyType_Spec &spec, PyObject *&slot) {
    if (slot == nullptr)
        slot = PyType_FromSpec(&spec);
    return reinterpret_cast<PyTypeObject *>(slot);
}

} // namespace corvina
