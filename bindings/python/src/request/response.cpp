#include "request/response.h"

#include "lib/object.h"
#include "lib/type.h"

#include <utility>

namespace corvina {

namespace {

using ResponseBox = Boxed<ResponseNative>;

PyObject *response_status_code(PyObject *self) {
    return PyLong_FromLong(ResponseBox::of(self).status_code);
}

PyObject *response_headers(PyObject *self) {
    return new_bytes(ResponseBox::of(self).headers);
}

PyObject *response_content(PyObject *self) {
    return new_bytes(ResponseBox::of(self).content);
}

void response_finalize(PyObject *self) {
    ResponseBox::destroy(self);
}

PyGetSetDef response_getset[] = {
    {"status_code", getter<response_status_code>, nullptr, nullptr, nullptr},
    {"headers", getter<response_headers>, nullptr, nullptr, nullptr},
    {"content", getter<response_content>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot response_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(dealloc<response_finalize>)},
    {Py_tp_getset, response_getset},
    {0, nullptr},
};

} // namespace

PyTypeObject *response_type() {
    static PyType_Spec spec{"builtins.PyResponse", static_cast<int>(sizeof(ResponseBox)), 0,
                            kTypeFlagsNoConstructor, response_slots};
    static PyObject *type = nullptr;
    return make_type(spec, type);
}

PyObject *make_response(int32_t status_code, Bytes headers) {
    PyTypeObject *type = response_type();
    if (type == nullptr)
        return nullptr;
    return ResponseBox::create(type, ResponseNative{status_code, std::move(headers), {}});
}

} // namespace corvina
