// The ks_websocket_* entry points: null checks and exception fences around
// the WebSocket object. No exception leaves here.
#include <cstring>
#include <new>

#include <kestrin/kestrin.h>
#include <kestrin/kestrin_run.h>

#include "engine.hpp"
#include "entry.hpp"
#include "fork_guard.hpp"
#include "websocket/websocket.hpp"

using kestrin::WebSocket;
using namespace kestrin::entry;

extern "C" {

ks_status ks_websocket_create(ks_engine *engine, const ks_websocket_config *config,
                              ks_websocket **out) {
    if (!engine || !config || !out)
        return KS_INVALID_ARGUMENT;
    // The URL parser stops at a NUL: refuse one rather than connect to a shorter URL.
    if (config->struct_size >= sizeof(ks_websocket_config) && config->url &&
        std::memchr(config->url, '\0', config->url_len))
        return KS_INVALID_ARGUMENT;
    if (kestrin::fork_guard::inherited(engine))
        return KS_INVALID_STATE;
    return guarded([&]() -> ks_status {
        std::shared_ptr<WebSocket> ws;
        if (ks_status st = WebSocket::create(engine_of(engine)->engine, *config, ws))
            return st;
        *out = ws->handle();
        kestrin::fork_guard::made(*out);
        return KS_OK; // ws->api_ref keeps it alive until ks_websocket_release
    });
}

ks_status ks_websocket_start(ks_websocket *ws) {
    return usable(ws) ? guarded([&] { return WebSocket::from(ws)->start(); }) : refusal(ws);
}

ks_status ks_websocket_cancel(ks_websocket *ws) {
    return usable(ws) ? guarded([&] { return WebSocket::from(ws)->cancel(); }) : refusal(ws);
}

ks_status ks_websocket_send(ks_websocket *ws, uint32_t kind, const uint8_t *data, size_t len) {
    return usable(ws) ? guarded([&] { return WebSocket::from(ws)->send(kind, data, len, false); })
                      : refusal(ws);
}

ks_status ks_websocket_send_and_run(ks_websocket *ws, uint32_t kind, const uint8_t *data,
                                    size_t len) {
    return usable(ws) ? guarded([&] { return WebSocket::from(ws)->send(kind, data, len, true); })
                      : refusal(ws);
}

ks_status ks_websocket_run_until(ks_websocket *ws, ks_ready_fn ready, void *arg) {
    if (ws && !ready)
        return KS_INVALID_ARGUMENT;
    return usable(ws) ? guarded([&] { return WebSocket::from(ws)->run_until(ready, arg); })
                      : refusal(ws);
}

ks_status ks_websocket_close(ks_websocket *ws, uint32_t code, const char *reason,
                             size_t reason_len) {
    return usable(ws)
               ? guarded([&] { return WebSocket::from(ws)->close(code, reason, reason_len); })
               : refusal(ws);
}

void ks_websocket_release(ks_websocket *ws) {
    if (!ws || kestrin::fork_guard::inherited(ws))
        return;
    kestrin::fork_guard::released(ws);
    guarded([&] {
        WebSocket::from(ws)->release();
        return KS_OK;
    });
}
}
