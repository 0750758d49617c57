// Durations as the module keeps them: whole seconds plus nanoseconds. Pure C++.
#pragma once

#include <cstdint>
#include <optional>

namespace corvina {

struct Duration {
    uint64_t seconds = 0;
    uint32_t nanos = 0;
};

// Exact split of a non-negative finite number of seconds, rounded half-even to the nanosecond
// (values below 2^-31 give zero). False when the result does not fit in 64-bit seconds.
bool split_seconds(double seconds, Duration &out);

// Whole milliseconds for the Core, truncating and saturating; absent gives 0 (no timeout).
uint64_t duration_to_ms(const std::optional<Duration> &d);

} // namespace corvina
