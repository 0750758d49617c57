// Text fields of the caller's records: a pointer and a length, the pointer may be null when
// the length is 0.
#pragma once

#include <cstddef>
#include <string>

namespace kestrin {

inline std::string text(const char *p, size_t n) {
    return p && n ? std::string(p, n) : std::string();
}

} // namespace kestrin
