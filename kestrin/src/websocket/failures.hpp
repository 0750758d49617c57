// What a WebSocket connection reports when it fails: Asio, Beast and OpenSSL errors mapped to
// the status and the net error a browser reports for the same failure.
#pragma once

#include <cstdint>

#include <boost/system/error_code.hpp>

#include <kestrin/kestrin.h>

#include "error_map.hpp"

namespace kestrin {

// Net error numbers a browser reports for the same failures.
constexpr int32_t ERR_FAILED = -2;
constexpr int32_t ERR_NOT_IMPLEMENTED = -11;
constexpr int32_t ERR_CONNECTION_CLOSED = -100;
constexpr int32_t ERR_CONNECTION_RESET = -101;
constexpr int32_t ERR_CONNECTION_REFUSED = -102;
constexpr int32_t ERR_CONNECTION_ABORTED = -103;
constexpr int32_t ERR_CONNECTION_FAILED = -104;
constexpr int32_t ERR_NAME_NOT_RESOLVED = -105;
constexpr int32_t ERR_SSL_PROTOCOL_ERROR = -107;
constexpr int32_t ERR_ADDRESS_UNREACHABLE = -109;
constexpr int32_t ERR_TUNNEL_CONNECTION_FAILED = -111;
constexpr int32_t ERR_SOCKS_CONNECTION_FAILED = -120;
constexpr int32_t ERR_CONNECTION_TIMED_OUT = -118;
constexpr int32_t ERR_PROXY_AUTH_REQUESTED = -127;
constexpr int32_t ERR_PROXY_CONNECTION_FAILED = -130;
constexpr int32_t ERR_MSG_TOO_BIG = -142;
constexpr int32_t ERR_WS_PROTOCOL_ERROR = -145;
constexpr int32_t ERR_INVALID_RESPONSE = -320;

bool is_websocket_error(const boost::system::error_code &ec);

// A transport failure once bytes were flowing.
Failure transport_failure(const boost::system::error_code &ec);

// The TCP connect to the server, or to the proxy, failed.
Failure connect_failure(const boost::system::error_code &ec, bool via_proxy);

// The TLS handshake failed; verify_result is the certificate check's.
Failure tls_failure(const boost::system::error_code &ec, long verify_result);

// The answer to the opening handshake was no HTTP response at all.
bool is_malformed_http(const boost::system::error_code &ec);

// The opening handshake failed.
Failure handshake_failure(const boost::system::error_code &ec);

// Reading or writing failed once the connection was open.
Failure stream_failure(const boost::system::error_code &ec);

} // namespace kestrin
