// The options of one WebSocket connection and the creation record built from them.
#pragma once

#include "lib/convert.h"

#include <optional>
#include <string>
#include <vector>

#include <kestrin/kestrin.h>

namespace corvina {

struct WebSocketOptions {
    std::string url;
    std::string origin; // may be empty
    HeaderList headers;
    std::vector<std::string> protocols;
    std::optional<Duration> timeout; // absent: no timeout
};

// ks_websocket_config with the arrays it points into. Everything points into the options,
// which must outlive this object; the Core copies what it keeps during the create call.
class WebSocketConfig {
  public:
    WebSocketConfig(const WebSocketOptions &options, const ks_websocket_callbacks &callbacks);
    WebSocketConfig(const WebSocketConfig &) = delete;
    WebSocketConfig &operator=(const WebSocketConfig &) = delete;

    const ks_websocket_config *record() const { return &record_; }

  private:
    std::vector<ks_text> protocols_;
    std::vector<ks_header> headers_;
    ks_websocket_config record_{};
};

} // namespace corvina
