// The lossy UTF-8 decoder against an independent reference: the WHATWG decoder, whose
// replacement of each maximal ill-formed subpart by one U+FFFD is what the interpreter's
// "replace" handler does too.
#include "errors/utf8.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

void fail(const char *what) {
    std::fprintf(stderr, "fuzz_utf8: %s\n", what);
    std::abort();
}

std::vector<char32_t> reference_decode(const uint8_t *p, size_t n) {
    std::vector<char32_t> out;
    char32_t cp = 0;
    int needed = 0, seen = 0;
    uint8_t lower = 0x80, upper = 0xBF;
    for (size_t i = 0; i < n; ++i) {
        uint8_t b = p[i];
        if (needed == 0) {
            if (b <= 0x7F) {
                out.push_back(b);
            } else if (b >= 0xC2 && b <= 0xDF) {
                needed = 1;
                cp = b & 0x1F;
            } else if (b >= 0xE0 && b <= 0xEF) {
                lower = b == 0xE0 ? 0xA0 : 0x80;
                upper = b == 0xED ? 0x9F : 0xBF;
                needed = 2;
                cp = b & 0x0F;
            } else if (b >= 0xF0 && b <= 0xF4) {
                lower = b == 0xF0 ? 0x90 : 0x80;
                upper = b == 0xF4 ? 0x8F : 0xBF;
                needed = 3;
                cp = b & 0x07;
            } else {
                out.push_back(0xFFFD);
            }
            continue;
        }
        if (b < lower || b > upper) {
            needed = seen = 0;
            lower = 0x80;
            upper = 0xBF;
            out.push_back(0xFFFD);
            --i; // the byte starts over as a lead byte
            continue;
        }
        lower = 0x80;
        upper = 0xBF;
        cp = (cp << 6) | (b & 0x3F);
        if (++seen == needed) {
            out.push_back(cp);
            needed = seen = 0;
        }
    }
    if (needed)
        out.push_back(0xFFFD);
    return out;
}

std::string encode(const std::vector<char32_t> &cps) {
    std::string out;
    for (char32_t cp : cps) {
        if (cp >= 0xD800 && cp <= 0xDFFF)
            fail("reference produced a surrogate");
        if (cp > 0x10FFFF)
            fail("reference produced a code point past U+10FFFF");
        corvina::append_utf8(out, cp);
    }
    return out;
}

bool contains_replacement_free(const std::vector<char32_t> &cps) {
    for (char32_t cp : cps)
        if (cp == 0xFFFD)
            return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *text = reinterpret_cast<const char *>(data);
    std::string lossy = corvina::utf8_lossy(text, size);
    std::vector<char32_t> expected = reference_decode(data, size);

    // Each ill-formed subpart costs at most three output bytes per input byte.
    if (lossy.size() > 3 * size)
        fail("output longer than three bytes per input byte");
    if (lossy != encode(expected))
        fail("utf8_lossy differs from the reference decoder");

    // Re-decoding the output is the identity: it is valid UTF-8.
    if (corvina::utf8_lossy(lossy.data(), lossy.size()) != lossy)
        fail("output is not valid UTF-8");
    std::vector<char32_t> again =
        reference_decode(reinterpret_cast<const uint8_t *>(lossy.data()), lossy.size());
    if (again != expected)
        fail("output does not decode to the same code points");

    // Valid input (no U+FFFD from the reference, and none literally present) passes unchanged.
    if (contains_replacement_free(expected) && lossy != std::string(text, size))
        fail("valid input was altered");

    // Step-by-step decoding with next_code_point agrees and always advances within bounds.
    std::vector<char32_t> stepped;
    for (size_t i = 0; i < size;) {
        size_t before = i;
        stepped.push_back(corvina::next_code_point(text, size, i));
        if (i <= before || i > size || i - before > 4)
            fail("next_code_point advanced out of bounds");
    }
    if (stepped != expected)
        fail("next_code_point differs from the reference decoder");

    // Decoding a prefix cut at a sequence boundary gives a prefix of the whole output.
    if (size > 0) {
        size_t cut = data[0] % (size + 1);
        size_t i = 0;
        while (i < cut)
            corvina::next_code_point(text, size, i);
        std::string head = corvina::utf8_lossy(text, i);
        std::string tail = corvina::utf8_lossy(text + i, size - i);
        if (head + tail != lossy)
            fail("decoding split at a sequence boundary differs");
    }
    return 0;
}
