// Ownership of one Core WebSocket and the operations on it.
#pragma once

#include "errors/error.h"
#include "websocket/options.h"
#include "websocket/state.h"

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include <kestrin/kestrin.h>

namespace corvina {

class WebSocketHandle {
  public:
    // Creates the Core WebSocket; the options and the record live only for the call.
    static std::variant<std::shared_ptr<WebSocketHandle>, CoreError>
    create(ks_engine *engine, const WebSocketOptions &options);

    WebSocketHandle(ks_websocket *handle, std::shared_ptr<WebSocketState> state)
        : handle_(handle), state_(std::move(state)) {}
    // Releases the Core WebSocket, then the Core's state reference if it was never started.
    ~WebSocketHandle();
    WebSocketHandle(const WebSocketHandle &) = delete;
    WebSocketHandle &operator=(const WebSocketHandle &) = delete;

    // A new state reference on success; InvalidState without a Core call when started
    // before. A failed start leaves it startable.
    std::variant<std::shared_ptr<WebSocketState>, CoreError> start();
    // type 1 text, 2 binary; an empty payload goes as a null pointer.
    CallResult send(ks_message_type type, const uint8_t *data, size_t len);
    CallResult close(uint16_t code, const std::string &reason);
    CallResult cancel();

    WebSocketState &state() const { return *state_; }
    ks_websocket *core() const { return handle_; }

  private:
    ks_websocket *handle_;
    std::shared_ptr<WebSocketState> state_;
    std::atomic<bool> started_{false};
};

} // namespace corvina
