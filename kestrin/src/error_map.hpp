// Translation of transfer failures into Core statuses and browser net error numbers.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace kestrin {

struct Failure {
    uint32_t status;
    int32_t net_error;
    friend bool operator==(const Failure &, const Failure &) = default;
};

// One row per libcurl error code. The proxied columns apply when the engine
// talks through a proxy, where a failed connect means the proxy is unreachable.
struct ErrorRow {
    int curl_code;
    std::string_view name;
    Failure direct;
    Failure proxied;
};

std::span<const ErrorRow> error_table();

// What the transfer knew when it failed; it refines some rows.
struct FailureContext {
    bool via_proxy = false;
    long tunnel_status = 0;      // answer of the proxy to CONNECT, 0 if none
    long tls_verify_result = -1; // X509 verification result, -1 if unknown
    bool chunked_body = false;   // the response used chunked transfer coding
};

Failure map_curl_error(int curl_code, const FailureContext &ctx = {});

// The net error of a failed certificate check, from OpenSSL's verification result.
int32_t certificate_error(long verify_result);

// Failures the Core decides itself, with the net error a browser reports.
inline constexpr Failure kCanceled{7, -3}; // ERR_ABORTED
inline constexpr Failure kTimedOut{6, -7}; // ERR_TIMED_OUT
inline constexpr Failure kTooManyRedirects{12, -310};
inline constexpr Failure kRedirectRefused{12, -2};  // redirect mode "error": ERR_FAILED
inline constexpr Failure kUnsafeRedirect{12, -311}; // target not http(s) or unparsable
inline constexpr Failure kUploadRewind{12, -25};    // a streamed body cannot be replayed
inline constexpr Failure kCacheMiss{13, -400};
inline constexpr Failure kInvalidResponse{11, -370};
inline constexpr Failure kEngineClosed{7, -3};
inline constexpr Failure kHeadersTooBig{11, -325};          // ERR_RESPONSE_HEADERS_TOO_BIG
inline constexpr Failure kInvalidChunkedEncoding{11, -321}; // ERR_INVALID_CHUNKED_ENCODING
inline constexpr Failure kOutOfMemoryFailure{3, -13};       // ERR_OUT_OF_MEMORY
// ERR_RESPONSE_HEADERS_MULTIPLE_CONTENT_LENGTH
inline constexpr Failure kConflictingLengths{11, -346};

} // namespace kestrin
