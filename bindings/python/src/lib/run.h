// Byte runs crossing the Core's C interface as a pointer and a length.
#pragma once

#include "lib/convert.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <vector>

#include <kestrin/kestrin.h>

namespace corvina {

// A run the Core hands to a callback, checked before a single byte is read. A genuine run is far
// shorter than 2^31 bytes (a head is capped at 256 KiB, a body chunk at a few hundred KiB, a
// WebSocket message at 64 MiB), and below 2^31 every run fits a Python object even where
// Py_ssize_t is 32 bits. A longer one cannot be genuine and would make the copy read past the
// buffer; it and a missing buffer are faults of the callback.
inline void check_run(const void *data, size_t len) {
    if (len >= (size_t{1} << 31))
        throw std::length_error("byte run of 2^31 bytes or more");
    if (len != 0 && data == nullptr)
        throw std::invalid_argument("null byte run with a length");
}

// A run handed to the Core, of bytes or of entries: an empty or absent one goes as (NULL, 0).
template <class T = char, class S> const T *run_data(const S &s) {
    return s.empty() ? nullptr : reinterpret_cast<const T *>(s.data());
}
template <class S, class T> void put_run(const S &s, const T *&ptr, size_t &len) {
    ptr = run_data<T>(s);
    len = s.size();
}
template <class S, class T> void put_run(const std::optional<S> &s, const T *&ptr, size_t &len) {
    if (s) {
        put_run(*s, ptr, len);
    } else {
        ptr = nullptr;
        len = 0;
    }
}

// The Core's entries for `headers`, pointing into it.
inline std::vector<ks_header> header_entries(const HeaderList &headers) {
    std::vector<ks_header> entries;
    entries.reserve(headers.size());
    for (const auto &[name, value] : headers) {
        ks_header h;
        put_run(name, h.name, h.name_len);
        put_run(value, h.value, h.value_len);
        entries.push_back(h);
    }
    return entries;
}

} // namespace corvina
