#include "websocket/state.h"

#include "entry/run_loop.h"
#include "errors/utf8.h"
#include "lib/run.h"

#include <algorithm>
#include <limits>

namespace corvina {
namespace {

constexpr char kPanicMessage[] = "fault in a WebSocket callback";

std::string text_run(const char *data, size_t len) {
    check_run(data, len);
    return utf8_lossy(data, len);
}

WebSocketState *state_of(void *user_data) {
    return static_cast<WebSocketState *>(user_data);
}

// Runs a callback's recording step; nothing may propagate into the Core. False on a fault.
template <class F> bool record(WebSocketState *state, F &&body) noexcept {
    try {
        body();
        return true;
    } catch (...) {
        state->record_panic();
        return false;
    }
}

void on_open(void *user_data, ks_websocket *, const char *protocol, size_t protocol_len,
             const char *detail, size_t detail_len) {
    WebSocketState *state = state_of(user_data);
    record(state, [&] {
        WebSocketEvent event{
            OpenEvent{text_run(protocol, protocol_len), text_run(detail, detail_len)}};
        state->push(std::move(event), false);
    });
}

void on_message(void *user_data, ks_websocket *, uint32_t type, uint32_t, const uint8_t *data,
                size_t len) {
    WebSocketState *state = state_of(user_data);
    record(state, [&] {
        check_run(data, len);
        MessageEvent message;
        message.type = type == KS_MESSAGE_TEXT     ? MessageType::Text
                       : type == KS_MESSAGE_BINARY ? MessageType::Binary
                                                   : MessageType::Other;
        if (len != 0)
            message.payload.assign(data, data + len);
        state->push(WebSocketEvent{std::move(message)}, false);
    });
}

void on_closing(void *user_data, ks_websocket *) {
    WebSocketState *state = state_of(user_data);
    record(state, [&] { state->push(WebSocketEvent{ClosingEvent{}}, false); });
}

// The terminal callbacks hand back the Core's reference after recording, even when the
// event was dropped, overflowed the queue or faulted: nothing follows them, so a reference
// kept here would never be released.
void on_closed(void *user_data, ks_websocket *, uint32_t, uint32_t code, const char *reason,
               size_t reason_len) {
    WebSocketState *state = state_of(user_data);
    record(state, [&] {
        WebSocketEvent event{
            ClosedEvent{static_cast<uint16_t>(code & 0xFFFFu), text_run(reason, reason_len)}};
        state->push(std::move(event), true);
    });
    WebSocketState::release_core_ref(state);
}

void on_error(void *user_data, ks_websocket *, uint32_t status, int32_t net_error,
              int32_t response_code, const char *message, size_t message_len) {
    WebSocketState *state = state_of(user_data);
    record(state, [&] {
        CoreError error = error_from_status(status);
        WebSocketFailure failure{error.kind, error.code, text_run(message, message_len), net_error,
                                 response_code};
        state->push(WebSocketEvent{std::move(failure)}, true);
    });
    WebSocketState::release_core_ref(state);
}

} // namespace

uint64_t WebSocketEvent::size() const {
    struct Sizer {
        uint64_t operator()(const OpenEvent &e) const {
            return uint64_t{e.protocol.size()} + e.detail.size();
        }
        uint64_t operator()(const MessageEvent &e) const { return e.payload.size(); }
        uint64_t operator()(const ClosingEvent &) const { return 0; }
        uint64_t operator()(const ClosedEvent &e) const { return e.reason.size(); }
        uint64_t operator()(const WebSocketFailure &e) const { return e.message.size(); }
    };
    return std::visit(Sizer{}, value);
}

bool WebSocketEvent::terminal() const {
    return std::holds_alternative<ClosedEvent>(value) ||
           std::holds_alternative<WebSocketFailure>(value);
}

std::shared_ptr<WebSocketState> WebSocketState::create() {
    std::shared_ptr<WebSocketState> state(new WebSocketState());
    state->core_ref_ = state;
    return state;
}

void WebSocketState::push(WebSocketEvent event, bool terminal) {
    std::deque<WebSocketEvent> discarded; // destroyed after the lock is released
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (finished_)
            return;
        uint64_t sum = std::min<uint64_t>(uint64_t{queued_bytes_} + event.size(),
                                          std::numeric_limits<uint32_t>::max());
        if (queue_.size() >= kMaxQueuedEvents || sum > kMaxQueuedBytes) {
            // Built before the queue changes, so a failed allocation leaves it intact.
            discarded.push_back(WebSocketEvent{
                WebSocketFailure{ErrorKind::BufferLimit, 0, kBufferLimitMessage, 0, 0}});
            queue_.swap(discarded);
            queued_bytes_ = 0;
            finished_ = true;
        } else {
            queue_.push_back(std::move(event));
            queued_bytes_ = static_cast<uint32_t>(sum);
            if (terminal)
                finished_ = true;
        }
    }
    // After the unlock: a woken reader does not block on the lock at once. The Core's reference
    // keeps the state alive until the callback returns.
    cv_.notify_all();
    notifier_.invoke();
}

void WebSocketState::record_panic() noexcept {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (finished_)
            return;
        try {
            queue_.push_back(WebSocketEvent{
                WebSocketFailure{ErrorKind::CallbackPanic, 0, kPanicMessage, 0, -1}});
        } catch (...) {
            // Out of memory even for this: readers still see the end of the stream.
        }
        finished_ = true;
        cv_.notify_all();
    }
    notifier_.invoke();
}

WebSocketEvent WebSocketState::pop_front_locked() {
    WebSocketEvent event = std::move(queue_.front());
    queue_.pop_front();
    uint64_t size = event.size();
    queued_bytes_ = size >= queued_bytes_ ? 0 : queued_bytes_ - static_cast<uint32_t>(size);
    return event;
}

std::optional<WebSocketEvent> WebSocketState::try_pop() {
    std::lock_guard<std::mutex> guard(lock_);
    if (queue_.empty())
        return std::nullopt;
    return pop_front_locked();
}

std::optional<WebSocketEvent> WebSocketState::wait_pop(ks_websocket *run) {
    std::unique_lock<std::mutex> guard(lock_);
    auto ready = [&] { return ready_locked(); };
    run_core_until(core_run_loop().websocket_run_until, run, guard, ready);
    cv_.wait(guard, ready);
    if (queue_.empty())
        return std::nullopt;
    return pop_front_locked();
}

bool WebSocketState::is_finished() {
    std::lock_guard<std::mutex> guard(lock_);
    return finished_;
}

void WebSocketState::release_core_ref(WebSocketState *state) noexcept {
    if (!state->core_ref_held_.exchange(false, std::memory_order_acq_rel))
        return;
    // Only the winner of the exchange touches core_ref_; this may destroy the state.
    std::shared_ptr<WebSocketState> ref = std::move(state->core_ref_);
}

ks_websocket_callbacks WebSocketState::callbacks() {
    ks_websocket_callbacks cb{};
    cb.struct_size = sizeof(ks_websocket_callbacks);
    cb.abi_version = KS_ABI_VERSION;
    cb.user_data = this;
    cb.on_open = on_open;
    cb.on_message = on_message;
    cb.on_closing = on_closing;
    cb.on_closed = on_closed;
    cb.on_error = on_error;
    return cb;
}

} // namespace corvina
