// TLS for wss:// connections on OpenSSL: the engine's trust and the profile's ciphers and
// curves in the context, the server's name and ALPN on each connection.
#pragma once

#include <memory>
#include <string>

#include <boost/asio/ssl/context.hpp>

#include "engine_settings.hpp"

namespace kestrin {

std::unique_ptr<boost::asio::ssl::context> websocket_tls_context(const EngineSettings &s);

// SNI and the name (or address) the certificate must carry, and ALPN http/1.1.
void prepare_tls_connection(SSL *ssl, const std::string &host);

} // namespace kestrin
