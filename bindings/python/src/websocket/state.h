// The shared state of one WebSocket connection: the bounded event queue that the Core's
// callbacks fill, and the notifier slot of the event-loop bridge.
#pragma once

#include "bridge/notifier.h"
#include "errors/error.h"
#include "lib/convert.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>

#include <kestrin/kestrin.h>

namespace corvina {

struct OpenEvent {
    std::string protocol;
    std::string detail; // counted toward the byte limit, never surfaced
};

enum class MessageType : uint8_t { Text, Binary, Other };

struct MessageEvent {
    Bytes payload; // exactly as the Core delivered it
    MessageType type = MessageType::Other;
};

struct ClosingEvent {};

struct ClosedEvent {
    uint16_t code = 0;
    std::string reason;
};

struct WebSocketEvent {
    std::variant<OpenEvent, MessageEvent, ClosingEvent, ClosedEvent, WebSocketFailure> value;

    // Bytes counted toward the queue limit.
    uint64_t size() const;
    bool terminal() const;
};

inline constexpr size_t kMaxQueuedEvents = 1024;
inline constexpr uint32_t kMaxQueuedBytes = 4194304;
inline constexpr char kBufferLimitMessage[] = "WebSocket event buffer limit exceeded";

class WebSocketState {
  public:
    // A new state whose Core reference is held (core_ref_held true). The returned pointer is
    // the handle's reference; the Core's is kept inside until release_core_ref.
    static std::shared_ptr<WebSocketState> create();

    WebSocketState(const WebSocketState &) = delete;
    WebSocketState &operator=(const WebSocketState &) = delete;

    // Queues an event from a callback, or replaces the queue by a BufferLimit error past the
    // limits; dropped once finished. Wakes waiters and invokes the notifier when queued.
    void push(WebSocketEvent event, bool terminal);

    // Records a fault caught at a callback boundary as a CallbackPanic error.
    void record_panic() noexcept;

    std::optional<WebSocketEvent> try_pop();
    // Waits without a time limit; nothing once finished and drained. With `run`, first runs the
    // Core's loop on this thread, where the Core offers it, until an event is queued.
    std::optional<WebSocketEvent> wait_pop(ks_websocket *run = nullptr);
    bool is_finished();

    void set_notifier(NotifierRef notifier) { notifier_.set(std::move(notifier)); }
    void clear_notifier() { notifier_.clear(); }
    NotifierRef take_notifier() { return notifier_.take(); }

    // Drops the Core's reference if nobody did yet; may destroy the state, so `state` must not
    // be used afterwards unless the caller holds its own reference.
    static void release_core_ref(WebSocketState *state) noexcept;

    // The callback block handed to the Core, with this state as user data.
    ks_websocket_callbacks callbacks();

  private:
    WebSocketState() = default;

    WebSocketEvent pop_front_locked();
    bool ready_locked() const { return !queue_.empty() || finished_; }

    std::mutex lock_;
    std::deque<WebSocketEvent> queue_;
    uint32_t queued_bytes_ = 0;
    bool finished_ = false;
    std::condition_variable cv_;
    NotifierSlot notifier_;
    std::atomic<bool> core_ref_held_{true};
    std::shared_ptr<WebSocketState> core_ref_; // the Core's reference while core_ref_held_
};

} // namespace corvina
