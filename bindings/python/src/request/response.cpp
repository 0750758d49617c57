#include "request/response.h"

#include "lib/classes.h"
#include "lib/methods.h"
#include "lib/object.h"

#include <utility>

namespace corvina {

using ResponseBox = Boxed<ResponseNative>;

const Py_ssize_t kResponseObjectSize = sizeof(ResponseBox);

PyObject *make_response(int32_t status_code, Bytes headers) {
    PyTypeObject *type = response_type();
    if (type == nullptr)
        return nullptr;
    return ResponseBox::create(type, ResponseNative{status_code, std::move(headers), {}});
}

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

} // namespace corvina
