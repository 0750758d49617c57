// The one error vocabulary of the module: kinds, Core status conversion and texts.
// Pure C++ (no Python) so that it can be unit-tested on its own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace corvina {

enum class ErrorKind : uint32_t {
    InvalidArgument = 0,
    UnsupportedAbi = 1,
    OutOfMemory = 2,
    InitializationFailed = 3,
    InvalidState = 4,
    Timeout = 5,
    Canceled = 6,
    Network = 7,
    Tls = 8,
    Proxy = 9,
    Protocol = 10,
    Redirect = 11,
    CacheMiss = 12,
    ProfileConflict = 13,
    ProfileUnsupported = 14,
    CallbackPanic = 15,
    BufferLimit = 16,
    Native = 17,
};

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

// Non-zero status to error: 1..15 name kinds 0..14, anything else is Native with the status.
CoreError error_from_status(uint32_t status);

// The result of a Core call: nullopt on success, else its error.
using CallResult = std::optional<CoreError>;
inline CallResult status_result(uint32_t status) {
    if (status == 0)
        return std::nullopt;
    return error_from_status(status);
}

// As error_from_status, but 0 (a failure reported without a status) is Native 0.
CoreError failure_from_status(uint32_t status);

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
