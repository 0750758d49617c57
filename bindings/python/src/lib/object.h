// A Python object that embeds one C++ value, constructed after allocation.
#pragma once

#include "lib/python.h"

#include <new>
#include <utility>

namespace corvina {

template <class Native> struct Boxed {
    PyObject_HEAD;
    bool live; // zeroed by the allocator; set once `storage` holds a Native
    alignas(Native) unsigned char storage[sizeof(Native)];

    Native &native() { return *std::launder(reinterpret_cast<Native *>(storage)); }

    static Native &of(PyObject *self) { return reinterpret_cast<Boxed *>(self)->native(); }

    // New instance of `type` holding Native(args...); nullptr with an error set on failure.
    template <class... Args> static PyObject *create(PyTypeObject *type, Args &&...args) {
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        PyObject *self = alloc(type, 0);
        if (self == nullptr)
            return nullptr;
        auto *box = reinterpret_cast<Boxed *>(self);
        try {
            new (box->storage) Native(std::forward<Args>(args)...);
        } catch (...) {
            Py_DECREF(self); // dealloc sees live == false
            throw;
        }
        box->live = true;
        return self;
    }

    // Destroys the Native (if any) and frees the object; used as tp_dealloc.
    static void destroy(PyObject *self) {
        auto *box = reinterpret_cast<Boxed *>(self);
        if (box->live) {
            box->live = false;
            box->native().~Native();
        }
    }
};

} // namespace corvina
