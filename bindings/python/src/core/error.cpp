#include "core/error.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

namespace corvina {
namespace {

struct CodeRange {
    char32_t lo;
    char32_t hi;
};

#include "core/unicode_tables.inc"

template <size_t N> bool in_ranges(const CodeRange (&table)[N], char32_t cp) {
    auto it = std::upper_bound(std::begin(table), std::end(table), cp,
                               [](char32_t v, const CodeRange &r) { return v < r.lo; });
    return it != std::begin(table) && cp <= std::prev(it)->hi;
}

// No default: a kind without a text fails to compile (-Werror=switch).
const char *kind_name(ErrorKind kind) {
    switch (kind) {
    case ErrorKind::InvalidArgument:
        return "InvalidArgument";
    case ErrorKind::UnsupportedAbi:
        return "UnsupportedAbi";
    case ErrorKind::OutOfMemory:
        return "OutOfMemory";
    case ErrorKind::InitializationFailed:
        return "InitializationFailed";
    case ErrorKind::InvalidState:
        return "InvalidState";
    case ErrorKind::Timeout:
        return "Timeout";
    case ErrorKind::Canceled:
        return "Canceled";
    case ErrorKind::Network:
        return "Network";
    case ErrorKind::Tls:
        return "Tls";
    case ErrorKind::Proxy:
        return "Proxy";
    case ErrorKind::Protocol:
        return "Protocol";
    case ErrorKind::Redirect:
        return "Redirect";
    case ErrorKind::CacheMiss:
        return "CacheMiss";
    case ErrorKind::ProfileConflict:
        return "ProfileConflict";
    case ErrorKind::ProfileUnsupported:
        return "ProfileUnsupported";
    case ErrorKind::CallbackPanic:
        return "CallbackPanic";
    case ErrorKind::BufferLimit:
        return "BufferLimit";
    case ErrorKind::Native:
        return nullptr;
    }
    return nullptr;
}

// Decodes one UTF-8 sequence at s[i]; advances i by the maximal invalid subpart on error.
char32_t next_code_point(std::string_view s, size_t &i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char b0 = byte(i);
    if (b0 < 0x80) {
        ++i;
        return b0;
    }
    int len;
    char32_t cp;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2;
        cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3;
        cp = b0 & 0x0F;
        if (b0 == 0xE0)
            lo = 0xA0;
        if (b0 == 0xED)
            hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4;
        cp = b0 & 0x07;
        if (b0 == 0xF0)
            lo = 0x90;
        if (b0 == 0xF4)
            hi = 0x8F;
    } else {
        ++i;
        return 0xFFFD;
    }
    size_t k = i + 1;
    for (int n = 1; n < len; ++n, ++k) {
        if (k >= s.size())
            break;
        unsigned char b = byte(k);
        if (b < lo || b > hi)
            break;
        lo = 0x80;
        hi = 0xBF;
        cp = (cp << 6) | (b & 0x3F);
        if (n == len - 1) {
            i = k + 1;
            return cp;
        }
    }
    i = k;
    return 0xFFFD;
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

} // namespace

bool is_printable(char32_t cp) {
    return in_ranges(kPrintable, cp);
}

bool is_grapheme_extend(char32_t cp) {
    return in_ranges(kGraphemeExtend, cp);
}

CoreError error_from_status(uint32_t status) {
    if (status >= 1 && status <= 15)
        return {static_cast<ErrorKind>(status - 1), status};
    return {ErrorKind::Native, status};
}

CoreError failure_from_status(uint32_t status) {
    if (status == 0)
        return {ErrorKind::Native, 0};
    return error_from_status(status);
}

std::string kind_text(ErrorKind kind, uint32_t code) {
    if (const char *name = kind_name(kind))
        return name;
    return "native error " + std::to_string(static_cast<int32_t>(code));
}

std::string core_error_text(const CoreError &error) {
    return kind_text(error.kind, error.code);
}

std::string request_failure_text(const RequestFailure &failure) {
    return kind_text(failure.kind, failure.code) + " (Chromium net error " +
           std::to_string(failure.net_error) + ")";
}

std::string websocket_failure_text(const WebSocketFailure &failure) {
    return kind_text(failure.kind, failure.code) + " (Chromium net error " +
           std::to_string(failure.net_error) + ", response " +
           std::to_string(failure.response_code) + ")";
}

std::string quote_value(std::string_view utf8) {
    std::string out = "\"";
    out.reserve(utf8.size() + 2);
    for (size_t i = 0; i < utf8.size();) {
        char32_t cp = next_code_point(utf8, i);
        switch (cp) {
        case '"':
            out += "\\\"";
            continue;
        case '\\':
            out += "\\\\";
            continue;
        case '\t':
            out += "\\t";
            continue;
        case '\r':
            out += "\\r";
            continue;
        case '\n':
            out += "\\n";
            continue;
        case 0:
            out += "\\0";
            continue;
        default:
            break;
        }
        if (!is_printable(cp) || is_grapheme_extend(cp)) {
            char buf[16];
            std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(cp));
            out += buf;
        } else {
            append_utf8(out, cp);
        }
    }
    out += '"';
    return out;
}

} // namespace corvina
