// quote_value: the result is one double-quoted literal whose escapes decode back to the lossy
// decoding of the input, and whose unescaped characters are all printable and visible.
#include "errors/error.h"
#include "errors/utf8.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

void fail(const char *what) {
    std::fprintf(stderr, "fuzz_quote: %s\n", what);
    std::abort();
}

std::vector<char32_t> code_points(std::string_view s) {
    std::vector<char32_t> out;
    for (size_t i = 0; i < s.size();)
        out.push_back(corvina::next_code_point(s.data(), s.size(), i));
    return out;
}

bool must_escape(char32_t cp) {
    return !corvina::is_printable(cp) || corvina::is_grapheme_extend(cp);
}

// Inverts the quoting; fails the run on anything outside the documented escape forms.
std::vector<char32_t> unquote(std::string_view q) {
    if (q.size() < 2 || q.front() != '"' || q.back() != '"')
        fail("not enclosed in double quotes");
    std::string_view body = q.substr(1, q.size() - 2);
    std::vector<char32_t> out;
    for (size_t i = 0; i < body.size();) {
        size_t start = i;
        char32_t cp = corvina::next_code_point(body.data(), body.size(), i);
        if (cp == 0xFFFD && std::string_view(body.data() + start, i - start) != "\xEF\xBF\xBD")
            fail("invalid UTF-8 in the quoted text");
        if (cp == '"')
            fail("unescaped double quote inside the quotes");
        if (cp != '\\') {
            if (must_escape(cp))
                fail("unprintable or combining character left unescaped");
            out.push_back(cp);
            continue;
        }
        if (i >= body.size())
            fail("dangling backslash");
        char e = body[i++];
        switch (e) {
        case '"': out.push_back('"'); break;
        case '\\': out.push_back('\\'); break;
        case 't': out.push_back('\t'); break;
        case 'r': out.push_back('\r'); break;
        case 'n': out.push_back('\n'); break;
        case '0': out.push_back(0); break;
        case 'u': {
            if (i >= body.size() || body[i] != '{')
                fail("\\u without a brace");
            size_t close = body.find('}', i);
            if (close == std::string_view::npos || close == i + 1 || close - i - 1 > 6)
                fail("\\u{} with no or too many digits");
            std::string_view hex = body.substr(i + 1, close - i - 1);
            if (hex.size() > 1 && hex[0] == '0')
                fail("\\u{} with a leading zero");
            char32_t v = 0;
            for (char c : hex) {
                if (c >= '0' && c <= '9')
                    v = v * 16 + static_cast<char32_t>(c - '0');
                else if (c >= 'a' && c <= 'f')
                    v = v * 16 + static_cast<char32_t>(c - 'a' + 10);
                else
                    fail("\\u{} with a digit that is not lower-case hex");
            }
            if (v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF))
                fail("\\u{} outside the Unicode scalar values");
            if (!must_escape(v) || v == '\t' || v == '\r' || v == '\n' || v == 0)
                fail("\\u{} used for a character with a shorter form");
            out.push_back(v);
            i = close + 1;
            break;
        }
        default:
            fail("unknown escape");
        }
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view in(reinterpret_cast<const char *>(data), size);
    std::string quoted = corvina::quote_value(in);
    // The longest escape, "\u{10ffff}", is 10 bytes for at least one input byte.
    if (quoted.size() > 10 * size + 2)
        fail("quoted text longer than the escape bound");
    std::string lossy = corvina::utf8_lossy(in.data(), in.size());
    if (unquote(quoted) != code_points(lossy))
        fail("unquoting does not give back the lossy decoding of the input");
    // Pure printable ASCII without quote or backslash is copied verbatim.
    bool plain = true;
    for (unsigned char c : in)
        plain = plain && c >= 0x20 && c < 0x7F && c != '"' && c != '\\';
    if (plain && quoted != "\"" + std::string(in) + "\"")
        fail("plain ASCII was altered");
    // Controls are never printable; the ASCII graphic range always is.
    for (unsigned char c : in) {
        if (c < 0x20 || c == 0x7F) {
            if (corvina::is_printable(c))
                fail("a control character counted as printable");
        } else if (c < 0x7F && !corvina::is_printable(c)) {
            fail("printable ASCII counted as unprintable");
        }
    }
    return 0;
}
