// One WebSocket connection of an engine, as the entry points and the engine see it. Its
// session (websocket/session.hpp, on Boost.Beast) runs on the engine's network thread:
// resolve, proxy tunnel, TLS, opening handshake, read loop, write queue, closing handshake.
// Exactly one terminal callback per started connection: on_closed or on_error, never anything
// after it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include <kestrin/kestrin.h>

#include "error_map.hpp"
#include "job.hpp"

namespace kestrin {

class Engine;

class WebSocket : public Job {
  public:
    // Checks and copies the configuration; nothing runs until start().
    static ks_status create(const std::shared_ptr<Engine> &engine,
                            const ks_websocket_config &config, std::shared_ptr<WebSocket> &out);
    virtual ~WebSocket() = default;
    WebSocket(const WebSocket &) = delete;
    WebSocket &operator=(const WebSocket &) = delete;

    ks_websocket *handle() { return reinterpret_cast<ks_websocket *>(this); }
    static WebSocket *from(ks_websocket *h) { return reinterpret_cast<WebSocket *>(h); }

    // API side, any thread; none of these waits for the network thread.
    virtual ks_status start() = 0;
    // With run_loop, when nobody runs the engine's loop, the caller runs it until the message
    // is handed to the connection.
    virtual ks_status send(uint32_t type, const uint8_t *data, size_t len, bool run_loop) = 0;
    // Runs the engine's loop on the calling thread until ready(arg); InvalidState, having run
    // nothing, when not started or another thread runs it.
    virtual ks_status run_until(int (*ready)(void *), void *arg) = 0;
    virtual ks_status close(uint32_t code, const char *reason, size_t len) = 0;
    virtual ks_status cancel() = 0;
    // Drops the caller's reference.
    virtual void release() = 0;

    // abort() ends the connection with an error callback; drop_stream() destroys the Beast
    // stream, as an exception out of a Beast operation can leave the operations it had parked
    // inside the stream with nobody to resume them.

  protected:
    WebSocket() = default;
};

} // namespace kestrin
