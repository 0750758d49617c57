// Translation of transfer failures into Core statuses and browser net error numbers.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include <kestrin/kestrin.h>

namespace kestrin {

// Net error numbers, as a browser reports them for the same failures.
namespace net {
inline constexpr int32_t ERR_FAILED = -2;
inline constexpr int32_t ERR_ABORTED = -3;
inline constexpr int32_t ERR_INVALID_ARGUMENT = -4;
inline constexpr int32_t ERR_FILE_NOT_FOUND = -6;
inline constexpr int32_t ERR_TIMED_OUT = -7;
inline constexpr int32_t ERR_FILE_TOO_BIG = -8;
inline constexpr int32_t ERR_ACCESS_DENIED = -10;
inline constexpr int32_t ERR_NOT_IMPLEMENTED = -11;
inline constexpr int32_t ERR_OUT_OF_MEMORY = -13;
inline constexpr int32_t ERR_UPLOAD_STREAM_REWIND_NOT_SUPPORTED = -25;
inline constexpr int32_t ERR_CONNECTION_CLOSED = -100;
inline constexpr int32_t ERR_CONNECTION_RESET = -101;
inline constexpr int32_t ERR_CONNECTION_REFUSED = -102;
inline constexpr int32_t ERR_CONNECTION_ABORTED = -103;
inline constexpr int32_t ERR_CONNECTION_FAILED = -104;
inline constexpr int32_t ERR_NAME_NOT_RESOLVED = -105;
inline constexpr int32_t ERR_SSL_PROTOCOL_ERROR = -107;
inline constexpr int32_t ERR_ADDRESS_INVALID = -108;
inline constexpr int32_t ERR_ADDRESS_UNREACHABLE = -109;
inline constexpr int32_t ERR_SSL_CLIENT_AUTH_CERT_NEEDED = -110;
inline constexpr int32_t ERR_TUNNEL_CONNECTION_FAILED = -111;
inline constexpr int32_t ERR_SSL_VERSION_OR_CIPHER_MISMATCH = -113;
inline constexpr int32_t ERR_PROXY_AUTH_UNSUPPORTED = -115;
inline constexpr int32_t ERR_BAD_SSL_CLIENT_AUTH_CERT = -117;
inline constexpr int32_t ERR_CONNECTION_TIMED_OUT = -118;
inline constexpr int32_t ERR_SOCKS_CONNECTION_FAILED = -120;
inline constexpr int32_t ERR_PROXY_AUTH_REQUESTED = -127;
inline constexpr int32_t ERR_PROXY_CONNECTION_FAILED = -130;
inline constexpr int32_t ERR_MSG_TOO_BIG = -142;
inline constexpr int32_t ERR_WS_PROTOCOL_ERROR = -145;
inline constexpr int32_t ERR_SSL_PINNED_KEY_NOT_IN_CERT_CHAIN = -150;
inline constexpr int32_t ERR_ECH_NOT_NEGOTIATED = -183;
inline constexpr int32_t ERR_CERT_COMMON_NAME_INVALID = -200;
inline constexpr int32_t ERR_CERT_DATE_INVALID = -201;
inline constexpr int32_t ERR_CERT_AUTHORITY_INVALID = -202;
inline constexpr int32_t ERR_CERT_REVOKED = -206;
inline constexpr int32_t ERR_CERT_INVALID = -207;
inline constexpr int32_t ERR_INVALID_URL = -300;
inline constexpr int32_t ERR_TOO_MANY_REDIRECTS = -310;
inline constexpr int32_t ERR_UNSAFE_REDIRECT = -311;
inline constexpr int32_t ERR_INVALID_RESPONSE = -320;
inline constexpr int32_t ERR_INVALID_CHUNKED_ENCODING = -321;
inline constexpr int32_t ERR_EMPTY_RESPONSE = -324;
inline constexpr int32_t ERR_RESPONSE_HEADERS_TOO_BIG = -325;
inline constexpr int32_t ERR_RESPONSE_HEADERS_MULTIPLE_CONTENT_LENGTH = -346;
inline constexpr int32_t ERR_REQUEST_RANGE_NOT_SATISFIABLE = -328;
inline constexpr int32_t ERR_CONTENT_DECODING_FAILED = -330;
inline constexpr int32_t ERR_HTTP2_PROTOCOL_ERROR = -337;
inline constexpr int32_t ERR_HTTP2_SERVER_REFUSED_STREAM = -351;
inline constexpr int32_t ERR_CONTENT_LENGTH_MISMATCH = -354;
inline constexpr int32_t ERR_INCOMPLETE_CHUNKED_ENCODING = -355;
inline constexpr int32_t ERR_QUIC_PROTOCOL_ERROR = -356;
inline constexpr int32_t ERR_QUIC_HANDSHAKE_FAILED = -358;
inline constexpr int32_t ERR_INVALID_HTTP_RESPONSE = -370;
inline constexpr int32_t ERR_CACHE_MISS = -400;
} // namespace net

struct Failure {
    ks_status status;
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
    bool quic_only = false;      // the transfer could only use HTTP/3
    bool over_quic = false;      // it ran on an established QUIC connection
    bool quic_refused = false;   // its UDP port answered with an ICMP refusal
    long http_fault = 0;         // CURLINFO_HTTP_FAULT: why libcurl refused an HTTP/1 response
};

Failure map_curl_error(int curl_code, const FailureContext &ctx = {});

// The net error of a failed certificate check, from OpenSSL's verification result.
int32_t certificate_error(long verify_result);

// Failures the Core decides itself, with the net error a browser reports.
inline constexpr Failure kCanceled{KS_CANCELED, net::ERR_ABORTED};
inline constexpr Failure kTimedOut{KS_TIMEOUT, net::ERR_TIMED_OUT};
inline constexpr Failure kTooManyRedirects{KS_REDIRECT, net::ERR_TOO_MANY_REDIRECTS};
// Redirect mode "error".
inline constexpr Failure kRedirectRefused{KS_REDIRECT, net::ERR_FAILED};
// A redirect to a URL that is not http(s) or does not parse.
inline constexpr Failure kUnsafeRedirect{KS_REDIRECT, net::ERR_UNSAFE_REDIRECT};
inline constexpr Failure kUploadRewind{KS_REDIRECT, net::ERR_UPLOAD_STREAM_REWIND_NOT_SUPPORTED};
inline constexpr Failure kCacheMiss{KS_CACHE_MISS, net::ERR_CACHE_MISS};
inline constexpr Failure kInvalidResponse{KS_PROTOCOL, net::ERR_INVALID_HTTP_RESPONSE};
inline constexpr Failure kEngineClosed{KS_CANCELED, net::ERR_ABORTED};
inline constexpr Failure kHeadersTooBig{KS_PROTOCOL, net::ERR_RESPONSE_HEADERS_TOO_BIG};
inline constexpr Failure kInvalidChunkedEncoding{KS_PROTOCOL, net::ERR_INVALID_CHUNKED_ENCODING};
inline constexpr Failure kOutOfMemoryFailure{KS_OUT_OF_MEMORY, net::ERR_OUT_OF_MEMORY};
// libcurl fails a broken QUIC stream or connection as a receive or send error, and a failed QUIC
// handshake as a failed connect; a browser names both after QUIC.
inline constexpr Failure kQuicProtocolError{KS_PROTOCOL, net::ERR_QUIC_PROTOCOL_ERROR};
inline constexpr Failure kQuicHandshakeFailed{KS_NETWORK, net::ERR_QUIC_HANDSHAKE_FAILED};
// A request the server refused (REFUSED_STREAM, or past a GOAWAY's last stream id) and so never
// processed, which could not go out again: the caller may safely send it once more.
inline constexpr Failure kRefusedStream{KS_NETWORK, net::ERR_HTTP2_SERVER_REFUSED_STREAM};
inline constexpr Failure kConflictingLengths{KS_PROTOCOL,
                                             net::ERR_RESPONSE_HEADERS_MULTIPLE_CONTENT_LENGTH};

} // namespace kestrin
