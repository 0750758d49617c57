// PyRequest's body methods: the body of a started request, and a chunked upload's chunks.
#pragma once

#include "lib/binding.h"
#include "lib/python.h"

namespace corvina {

PyObject *request_next_body(PyObject *self);
PyObject *request_read_body(PyObject *self);
PyObject *request_resume_read(PyObject *self);
inline constexpr auto kUploadWrite =
    signature("PyRequest", "upload_write", {{"data"}, {"final_chunk"}});
PyObject *request_upload_write(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                               PyObject *kwnames);
PyObject *request_upload_finish(PyObject *self);

} // namespace corvina
