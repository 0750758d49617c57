// The ks_websocket_* entry points: null checks and exception fences around
// the WebSocket object. No exception leaves here.
#include <new>

#include "engine.hpp"
#include "kestrin.h"
#include "websocket.hpp"

using kestrin::WebSocket;

namespace {

constexpr ks_status kBadHandle = KS_INVALID_ARGUMENT;

template <class F> ks_status guarded(F &&f) {
    try {
        return f();
    } catch (const std::bad_alloc &) {
        return KS_OUT_OF_MEMORY;
    } catch (...) {
        return KS_INITIALIZATION_FAILED;
    }
}

} // namespace

extern "C" {

ks_status ks_websocket_create(ks_engine *engine, const ks_websocket_config *config,
                              ks_websocket **out) {
    if (!engine || !config || !out)
        return KS_INVALID_ARGUMENT;
    return guarded([&]() -> ks_status {
        std::shared_ptr<WebSocket> ws;
        if (ks_status st = WebSocket::create(kestrin::engine_from_handle(engine), *config, ws))
            return st;
        *out = ws->handle();
        return KS_OK; // ws->api_ref keeps it alive until ks_websocket_release
    });
}

ks_status ks_websocket_start(ks_websocket *ws) {
    return ws ? guarded([&] { return WebSocket::from(ws)->start(); }) : kBadHandle;
}

ks_status ks_websocket_cancel(ks_websocket *ws) {
    return ws ? guarded([&] { return WebSocket::from(ws)->cancel(); }) : kBadHandle;
}

ks_status ks_websocket_send(ks_websocket *ws, uint32_t kind, const uint8_t *data, size_t len) {
    return ws ? guarded([&] { return WebSocket::from(ws)->send(kind, data, len); }) : kBadHandle;
}

ks_status ks_websocket_close(ks_websocket *ws, uint32_t code, const char *reason,
                             size_t reason_len) {
    return ws ? guarded([&] { return WebSocket::from(ws)->close(code, reason, reason_len); })
              : kBadHandle;
}

void ks_websocket_release(ks_websocket *ws) {
    if (ws)
        guarded([&] {
            WebSocket::from(ws)->release();
            return KS_OK;
        });
}
}
