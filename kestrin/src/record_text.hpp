// Fields of the caller's records: texts (a pointer and a length, the pointer may be null when
// the length is 0) and the uint32_t mode fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kestrin {

inline std::string text(const char *p, size_t n) {
    return p && n ? std::string(p, n) : std::string();
}

// A mode field as its enum; false for a number past `last`, the last value accepted.
template <class E> bool decode(uint32_t raw, E last, E &out) {
    if (raw > static_cast<uint32_t>(last))
        return false;
    out = static_cast<E>(raw);
    return true;
}

} // namespace kestrin
