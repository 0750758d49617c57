#include "lib/duration.h"

#include <cmath>
#include <limits>

namespace corvina {

bool split_seconds(double seconds, Duration &out) {
    // 2^64: the first value whose whole part no longer fits.
    if (!(seconds < 18446744073709551616.0))
        return false;
    double whole = std::floor(seconds);
    double frac = seconds - whole; // exact for doubles
    uint64_t secs = static_cast<uint64_t>(whole);
    uint64_t nanos = 0;
    if (frac >= 0x1p-31) {
        int exp = 0;
        double mant = std::frexp(frac, &exp); // frac = mant * 2^exp, mant in [0.5, 1)
        auto m = static_cast<unsigned __int128>(std::ldexp(mant, 53));
        int shift = 53 - exp; // frac = m / 2^shift, shift <= 84
        unsigned __int128 scaled = m * 1000000000u;
        unsigned __int128 q = scaled >> shift;
        unsigned __int128 r = scaled - (q << shift);
        unsigned __int128 half = static_cast<unsigned __int128>(1) << (shift - 1);
        if (r > half || (r == half && (q & 1)))
            ++q;
        nanos = static_cast<uint64_t>(q);
    }
    if (nanos >= 1000000000u) {
        nanos -= 1000000000u;
        if (secs == std::numeric_limits<uint64_t>::max())
            return false;
        ++secs;
    }
    out.seconds = secs;
    out.nanos = static_cast<uint32_t>(nanos);
    return true;
}

uint64_t duration_to_ms(const std::optional<Duration> &d) {
    if (!d)
        return 0;
    constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
    if (d->seconds > kMax / 1000)
        return kMax;
    uint64_t ms = d->seconds * 1000;
    uint64_t extra = d->nanos / 1000000u;
    return ms > kMax - extra ? kMax : ms + extra;
}

} // namespace corvina
