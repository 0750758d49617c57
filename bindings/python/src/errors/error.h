// The one error vocabulary of the module: kinds, Core status conversion and texts.
// Pure C++ (no Python) so that it can be unit-tested on its own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <kestrin/kestrin.h>

namespace corvina {

// The kinds of the Core's statuses 1..15 come first, each one below its status; the module's
// own kinds follow.
enum class ErrorKind : uint32_t {
    InvalidArgument = KS_INVALID_ARGUMENT - 1,
    UnsupportedAbi = KS_UNSUPPORTED_ABI - 1,
    OutOfMemory = KS_OUT_OF_MEMORY - 1,
    InitializationFailed = KS_INITIALIZATION_FAILED - 1,
    InvalidState = KS_INVALID_STATE - 1,
    Timeout = KS_TIMEOUT - 1,
    Canceled = KS_CANCELED - 1,
    Network = KS_NETWORK - 1,
    Tls = KS_TLS - 1,
    Proxy = KS_PROXY - 1,
    Protocol = KS_PROTOCOL - 1,
    Redirect = KS_REDIRECT - 1,
    CacheMiss = KS_CACHE_MISS - 1,
    ProfileConflict = KS_PROFILE_CONFLICT - 1,
    ProfileUnsupported = KS_PROFILE_UNSUPPORTED - 1,
    CallbackPanic = KS_STATUS_LAST_KIND,
    BufferLimit,
    Native,
};
static_assert(static_cast<uint32_t>(ErrorKind::ProfileUnsupported) + 1 == KS_STATUS_LAST_KIND);

// The synchronous result of a Core call, or one of the module's own state errors.
struct CoreError {
    ErrorKind kind = ErrorKind::Native;
    uint32_t code = 0;
};

// The outcome of a request that the Core completed with a failure.
struct RequestFailure {
    ErrorKind kind = ErrorKind::Native;
    uint32_t code = 0;
    int32_t net_error = 0;
};

// An error event of a WebSocket; message travels with it but is not part of its text.
struct WebSocketFailure {
    ErrorKind kind = ErrorKind::Native;
    uint32_t code = 0;
    std::string message;
    int32_t net_error = 0;
    int32_t response_code = 0;
};

// Status to error: 1..15 name kinds 0..14, anything else (0 too, a failure reported without a
// status) is Native with the status.
CoreError error_from_status(uint32_t status);

// The result of a Core call: nullopt on success, else its error.
using CallResult = std::optional<CoreError>;
inline CallResult status_result(uint32_t status) {
    if (status == KS_OK)
        return std::nullopt;
    return error_from_status(status);
}

// The kind's name, or "native error <code as signed 32-bit>" for Native.
std::string kind_text(ErrorKind kind, uint32_t code);

std::string core_error_text(const CoreError &error);
std::string request_failure_text(const RequestFailure &failure);
std::string websocket_failure_text(const WebSocketFailure &failure);

// The offending value between double quotes with escapes, for "unknown ..." messages.
// Input is UTF-8; invalid sequences are shown as U+FFFD.
std::string quote_value(std::string_view utf8);

bool is_printable(char32_t cp);
bool is_grapheme_extend(char32_t cp);

} // namespace corvina
