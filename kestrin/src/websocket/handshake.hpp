// The opening handshake's HTTP side: the request headers a browser sends, and the response
// head as the caller sees it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <boost/beast/websocket/rfc6455.hpp>

#include "engine_settings.hpp"
#include "http_head.hpp"

namespace kestrin {

// Headers the handshake itself owns; a caller may not set them.
bool reserved_handshake_header(std::string_view name);

// The profile's headers minus those that only fit a page navigation, the engine's overrides,
// Origin, the offered subprotocols and the profile's compression offer, then the caller's headers
// in their order.
HeaderList handshake_headers(const EngineSettings &s, const std::string &origin,
                             const std::vector<std::string> &protocols, const HeaderList &caller);

// The server's answer as raw header lines, status line first.
std::string response_head(const boost::beast::websocket::response_type &response);

} // namespace kestrin
