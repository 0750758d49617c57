#include "errors/utf8.h"

#include <cstdint>

namespace corvina {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

struct Sequence {
    size_t len;  // of the well-formed sequence, or of the maximal ill-formed subpart
    char32_t cp; // U+FFFD for an ill-formed one
    bool valid;
};

Sequence scan_sequence(const uint8_t *p, size_t len, size_t i) {
    char32_t cp;
    uint8_t b0 = p[i];
    if (b0 < 0x80)
        return {1, b0, true};
    size_t need;
    uint8_t lo = 0x80, hi = 0xBF; // bounds of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 2;
        cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 3;
        cp = b0 & 0x0F;
        if (b0 == 0xE0)
            lo = 0xA0;
        else if (b0 == 0xED)
            hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 4;
        cp = b0 & 0x07;
        if (b0 == 0xF0)
            lo = 0x90;
        else if (b0 == 0xF4)
            hi = 0x8F;
    } else {
        return {1, kReplacement, false};
    }
    for (size_t k = 1; k < need; ++k) {
        uint8_t min = k == 1 ? lo : 0x80, max = k == 1 ? hi : 0xBF;
        if (i + k >= len || p[i + k] < min || p[i + k] > max)
            return {k, kReplacement, false};
        cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    return {need, cp, true};
}

} // namespace

char32_t next_code_point(const char *s, size_t len, size_t &i) {
    Sequence seq = scan_sequence(reinterpret_cast<const uint8_t *>(s), len, i);
    i += seq.len;
    return seq.cp;
}

void append_utf8(std::string &out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string utf8_lossy(const char *data, size_t len) {
    std::string out;
    if (len == 0)
        return out;
    const auto *p = reinterpret_cast<const uint8_t *>(data);
    out.reserve(len);
    for (size_t i = 0; i < len;) {
        Sequence seq = scan_sequence(p, len, i);
        if (seq.valid)
            out.append(data + i, seq.len);
        else
            append_utf8(out, kReplacement);
        i += seq.len;
    }
    return out;
}

} // namespace corvina
