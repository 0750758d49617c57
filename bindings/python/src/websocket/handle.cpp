#include "websocket/handle.h"

#include "entry/run_loop.h"
#include "entry/start_once.h"
#include "lib/fault.h"
#include "lib/run.h"

#include <span>

namespace corvina {
std::variant<std::shared_ptr<WebSocketHandle>, CoreError>
WebSocketHandle::create(ks_engine *engine, const WebSocketOptions &options) {
    std::shared_ptr<WebSocketState> state = WebSocketState::create();
    ks_websocket *handle = nullptr;
    ks_status status;
    try {
        WebSocketConfig config(options, state->callbacks());
        status = ks_websocket_create(engine, config.record(), &handle);
    } catch (...) {
        WebSocketState::release_core_ref(state.get());
        throw;
    }
    if (status != KS_OK || handle == nullptr) {
        // No callback can come for a connection that was never created.
        WebSocketState::release_core_ref(state.get());
        if (status != KS_OK)
            return error_from_status(status);
        return CoreError{ErrorKind::InitializationFailed, 0};
    }
    try {
        return std::make_shared<WebSocketHandle>(handle, state);
    } catch (...) {
        release_noexcept([&] { ks_websocket_release(handle); });
        WebSocketState::release_core_ref(state.get());
        throw;
    }
}

WebSocketHandle::~WebSocketHandle() {
    release_noexcept([&] { ks_websocket_release(handle_); });
    // The Core makes no callback for a connection released unstarted: its reference is ours
    // to drop. A started one keeps it until the terminal callback.
    if (!started_.load(std::memory_order_acquire))
        WebSocketState::release_core_ref(state_.get());
}

std::variant<std::shared_ptr<WebSocketState>, CoreError> WebSocketHandle::start() {
    if (auto error = start_once(started_, [this] { return ks_websocket_start(handle_); }))
        return *error;
    return state_;
}

// Where the Core offers it, the send runs the engine's loop here until the message is written,
// instead of waking the network thread to write it: the loop runs only handlers queued before
// this message, so it does not wait for the network with the interpreter lock held.
CallResult WebSocketHandle::send(ks_message_type type, const uint8_t *data, size_t len) {
    auto send = core_run_loop().websocket_send_and_run;
    if (!send)
        send = ks_websocket_send;
    return status_result(send(handle_, type, run_data<uint8_t>(std::span(data, len)), len));
}

CallResult WebSocketHandle::close(uint16_t code, const std::string &reason) {
    return status_result(ks_websocket_close(handle_, code, run_data(reason), reason.size()));
}

CallResult WebSocketHandle::cancel() {
    return status_result(ks_websocket_cancel(handle_));
}

} // namespace corvina
