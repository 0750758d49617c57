// What a WebSocket connection reports when it fails: Asio, Beast and OpenSSL errors mapped to
// the status and the net error a browser reports for the same failure.
#pragma once

#include <cstdint>

#include <boost/system/error_code.hpp>

#include <kestrin/kestrin.h>

#include "error_map.hpp"

namespace kestrin {

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

// Compressed data that does not inflate.
bool is_inflate_error(const boost::system::error_code &ec);

// Reading or writing failed once the connection was open.
Failure stream_failure(const boost::system::error_code &ec);

} // namespace kestrin
