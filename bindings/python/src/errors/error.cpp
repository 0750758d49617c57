#include "errors/error.h"

#include "errors/utf8.h"

#include <kestrin/kestrin.h>

#include <algorithm>
#include <cstdio>
#include <iterator>

namespace corvina {
namespace {

struct CodeRange {
    char32_t lo;
    char32_t hi;
};

#include "errors/unicode_tables.inc"

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

} // namespace

bool is_printable(char32_t cp) {
    return in_ranges(kPrintable, cp);
}

bool is_grapheme_extend(char32_t cp) {
    return in_ranges(kGraphemeExtend, cp);
}

CoreError error_from_status(uint32_t status) {
    if (status >= 1 && status <= KS_STATUS_LAST_KIND)
        return {static_cast<ErrorKind>(status - 1), status};
    return {ErrorKind::Native, status};
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
        char32_t cp = next_code_point(utf8.data(), utf8.size(), i);
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
