// Conversions between Python values and the module's own values.
// Each returns false with a Python error set on refusal; a TypeError raised while converting a
// named argument gets the "argument '<name>': " prefix (see ArgScope).
#pragma once

#include "lib/duration.h"
#include "lib/python.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace corvina {

using Bytes = std::vector<uint8_t>;
using HeaderList = std::vector<std::pair<std::string, std::string>>;

bool to_text(PyObject *o, std::string &out);
bool to_optional_text(PyObject *o, std::optional<std::string> &out); // None or absent -> nullopt
bool to_byte_string(PyObject *o, Bytes &out);
// A byte string without a copy where that is safe: a bytes object is viewed in place (it
// cannot change, and lives as long as `o`); anything else is converted into `copy`.
bool to_byte_view(PyObject *o, Bytes &copy, std::span<const uint8_t> &out);
bool to_header_list(PyObject *o, HeaderList &out); // None or absent -> empty
bool to_text_list(PyObject *o, std::vector<std::string> &out);
bool to_flag(PyObject *o, bool &out);
bool to_timeout(PyObject *o, std::optional<Duration> &out); // None or absent -> nullopt
// to_timeout in two steps, for a method that converts every argument before it checks any:
// the number, then whether it is a finite non-negative duration.
bool to_seconds(PyObject *o, std::optional<double> &out); // None or absent -> nullopt
bool seconds_to_timeout(const std::optional<double> &seconds, std::optional<Duration> &out);
bool to_poll_limit(PyObject *o, uint32_t &out); // absent -> 64; 0 -> 1

// Replaces a pending TypeError with "argument '<name>': <message>" caused by it.
void prefix_argument_error(const char *name);

// Converts one bound argument, prefixing a TypeError with the argument's name.
template <class F> bool convert_arg(const char *name, F &&conversion) {
    if (conversion())
        return true;
    prefix_argument_error(name);
    return false;
}

// The type-mismatch message: "'<type>' object is not an instance of '<expected>'".
void raise_type_mismatch(PyObject *given, const char *expected);

// Result conversions.
PyObject *new_bytes(const uint8_t *data, size_t len);
PyObject *new_bytes(const Bytes &b);
PyObject *new_text_lossy(const char *data, size_t len); // invalid UTF-8 -> U+FFFD
inline PyObject *new_text_lossy(const std::string &s) {
    return new_text_lossy(s.data(), s.size());
}

} // namespace corvina
