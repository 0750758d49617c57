// The URLs a WebSocket connection starts from: its ws:// or wss:// target, and the engine's
// proxy it may go through.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "engine_settings.hpp"
#include "error_map.hpp"

namespace kestrin {

// The parts of a ws:// or wss:// URL the connection needs.
struct WebSocketTarget {
    bool tls = false;
    std::string host; // without brackets for IPv6 literals
    std::string port;
    std::string host_header; // host[:port] as the Host header carries it
    std::string resource;    // path and query
};

// Parses ws, wss (and http, https as their aliases); false when unusable.
bool parse_websocket_url(const std::string &url, WebSocketTarget &out);

struct WebSocketProxy {
    bool socks = false; // SOCKS5, else an HTTP CONNECT tunnel
    std::string host, port, user, password;
};

struct ProxyRefusal {
    Failure failure;
    std::string_view message;
};

// The engine's proxy as a WebSocket uses it, the settings' credentials over the URL's;
// a refusal when a WebSocket cannot go through it.
std::optional<ProxyRefusal> parse_proxy_url(const EngineSettings &s, WebSocketProxy &out);

} // namespace kestrin
