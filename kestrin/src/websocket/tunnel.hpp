// The tunnel a WebSocket opens through the engine's proxy, on a connected stream: HTTP
// CONNECT, or SOCKS5 (RFC 1928, user name and password of RFC 1929).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "error_map.hpp"
#include "websocket/stream.hpp"
#include "websocket/target.hpp"

namespace kestrin {

struct TunnelResult {
    std::optional<Failure> failure; // none: the tunnel is open
    int32_t response = 0;           // the status a proxy refused the tunnel with
    std::string message;
};

// Calls done once, unless `ended` says the connection ended meanwhile: its stream may be gone.
// proxy and target belong to the connection, which `ended` keeps alive.
void open_tunnel(WsTcp &tcp, const WebSocketProxy &proxy, const WebSocketTarget &target,
                 std::function<bool()> ended, std::function<void(TunnelResult)> done);

} // namespace kestrin
