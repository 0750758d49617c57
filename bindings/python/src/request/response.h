// PyResponse: an immutable status code and raw header block, with owned copies.
#pragma once

#include "lib/convert.h"
#include "lib/python.h"

#include <cstdint>

namespace corvina {

struct ResponseNative {
    int32_t status_code = 0;
    Bytes headers;
    Bytes content; // no operation of the module fills it
};

// A new PyResponse owning `headers`; nullptr with an error set on failure.
PyObject *make_response(int32_t status_code, Bytes headers);

// The PyResponse class, created on the first call; nullptr with an error set on failure.
PyTypeObject *response_type();

} // namespace corvina
