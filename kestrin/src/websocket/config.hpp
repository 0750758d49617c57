// The caller's configuration of a WebSocket, checked and copied from its creation record.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <kestrin/kestrin.h>

#include "http_head.hpp"
#include "websocket/target.hpp"

namespace kestrin {

struct WebSocketConfig {
    ks_websocket_callbacks cb{};
    WebSocketTarget target;
    std::string origin;
    std::vector<std::string> protocols;
    HeaderList headers;
    uint64_t timeout_ms = 0;
};

// KS_OK, or why the record cannot make a connection.
ks_status read_websocket_config(const ks_websocket_config &c, WebSocketConfig &out);

} // namespace kestrin
