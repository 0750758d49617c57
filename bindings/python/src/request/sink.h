// Where read_body gathers the body, and the body size a final head announces, which sizes it.
#pragma once

#include "lib/convert.h"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace corvina {

// A buffer sized from the response's Content-Length, which the Core's chunks are copied into
// directly, and a growing spill for anything beyond it.
struct BodySink {
    uint8_t *data = nullptr;
    size_t capacity = 0;
    size_t size = 0;
    Bytes spill;
    void append(const uint8_t *p, size_t n);
    bool fits(size_t n) const { return spill.empty() && capacity - size >= n; }
};

// The body size a final head announces: its one Content-Length, unless a content or transfer
// encoding makes the delivered size differ, or the status has no body. The Core hands over only
// the status and the raw head, so the length is read here.
std::optional<uint64_t> announced_length(int32_t status, const Bytes &head);

} // namespace corvina
