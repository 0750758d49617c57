#include "websocket/utf8.h"

#include <cstdint>

namespace corvina {
namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";

// Length of the well-formed sequence starting at p[i], or the length of the maximal subpart
// to replace (reported through `valid`).
size_t scan_sequence(const uint8_t *p, size_t len, size_t i, bool &valid) {
    uint8_t b0 = p[i];
    valid = true;
    if (b0 < 0x80)
        return 1;
    size_t need;
    uint8_t lo = 0x80, hi = 0xBF; // bounds of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 3;
        if (b0 == 0xE0)
            lo = 0xA0;
        else if (b0 == 0xED)
            hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 4;
        if (b0 == 0xF0)
            lo = 0x90;
        else if (b0 == 0xF4)
            hi = 0x8F;
    } else {
        valid = false;
        return 1;
    }
    size_t k = 1;
    for (; k < need; ++k) {
        if (i + k >= len) {
            valid = false;
            return k;
        }
        uint8_t b = p[i + k];
        uint8_t min = k == 1 ? lo : 0x80, max = k == 1 ? hi : 0xBF;
        if (b < min || b > max) {
            valid = false;
            return k;
        }
    }
    return need;
}

} // namespace

std::string utf8_lossy(const char *data, size_t len) {
    std::string out;
    if (len == 0)
        return out;
    const auto *p = reinterpret_cast<const uint8_t *>(data);
    out.reserve(len);
    size_t i = 0;
    while (i < len) {
        bool valid;
        size_t n = scan_sequence(p, len, i, valid);
        if (valid)
            out.append(data + i, n);
        else
            out.append(kReplacement, 3);
        i += n;
    }
    return out;
}

} // namespace corvina
