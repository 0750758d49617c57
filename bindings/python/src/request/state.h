// The shared state of one request, which the Core's callbacks fill.
#pragma once

#include "bridge/notifier.h"
#include "errors/error.h"
#include "lib/convert.h"
#include "request/chunk.h"
#include "request/sink.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <variant>

#include <kestrin/kestrin.h>

namespace corvina {

// Queued body above this many bytes asks the Core to pause; it resumes once the queue is back
// below it.
inline constexpr uint32_t kPauseThreshold = 1048576;

struct RedirectHop {
    int32_t status = 0;
    Bytes head;
    Bytes first;  // raw Core text; decoded with U+FFFD replacement when it reaches Python
    Bytes second; // likewise
};

struct HeadResponse {
    int32_t status = 0;
    Bytes head;
};
// Nothing yet (monostate), the head, or the failure in its place.
using HeadOutcome = std::variant<std::monostate, HeadResponse, RequestFailure>;

struct BodyPending {};
struct BodyDone {};
using BodyOutcome = std::variant<BodyPending, BodyChunk, BodyDone, RequestFailure>;

// A hop, nothing, or the failure (kind and code) that woke the wait.
using HopOutcome = std::variant<std::monostate, RedirectHop, CoreError>;

using Clock = std::chrono::steady_clock;

// What the Core's callbacks recorded for one request, and the operations the Python side runs
// on it. None of them calls the Core with a lock held; the caller makes any Core call they ask
// for once no lock is held that a callback takes. A wait given the Core request first runs the
// Core's loop on the waiting thread where the Core offers it (entry/run_loop.h), so that the
// callbacks it waits for come on this thread.
class RequestState {
  public:
    // A new state whose Core reference is held. The returned pointer is the creator's
    // reference; the Core's is kept inside until release_core_ref.
    static std::shared_ptr<RequestState> create();

    RequestState(const RequestState &) = delete;
    RequestState &operator=(const RequestState &) = delete;

    // Drops the Core's reference if nobody did yet: on_complete, an unstarted release or a
    // failed create, whichever comes first. May destroy the state, so `state` must not be used
    // afterwards unless the caller holds its own reference.
    static void release_core_ref(RequestState *state) noexcept;

    // The callback table that hands this state's address to the Core.
    ks_request_callbacks callbacks();

    NotifierSlot &notifier() { return notifier_; }

    bool is_finished();

    // Callback bodies; they never throw and never reach Python.
    void on_response(int32_t status, const uint8_t *head, size_t head_len) noexcept;
    bool on_body(const uint8_t *data, size_t len) noexcept;
    void on_complete(uint32_t status, int32_t net_error) noexcept;
    void on_redirect(int32_t status, const uint8_t *head, size_t head_len, const char *first,
                     size_t first_len, const char *second, size_t second_len) noexcept;

    // Non-blocking. The head or the failure is handed out once.
    HeadOutcome take_head();
    // Whether wait_head would return at once.
    bool head_ready();
    // Blocks until the head or the failure. Nothing when there is none to come (already handed
    // out, or the request ended without a head).
    HeadOutcome wait_head(ks_request *run = nullptr);

    // Non-blocking. When the take brings the queue back under the threshold of a paused
    // request, `resume` is set and the caller must resume the Core's reading once.
    BodyOutcome take_body(bool &resume);
    // Blocks until a chunk, the end or the failure; `resume` as for take_body. The failure is
    // handed to body readers once, the end after it.
    BodyOutcome wait_body(bool &resume);
    // The body bytes still to come by the response's Content-Length (0 when unknown or none).
    uint64_t expected_rest();
    // read_body's step: moves every queued chunk into `sink`, then waits for the outcome while
    // the Core writes into `sink` directly. BodyPending when `resume` asks the caller to resume
    // the Core and come back; BodyDone or the failure (once, as for wait_body) at the end.
    BodyOutcome read_rest(bool &resume, BodySink &sink, ks_request *run = nullptr);

    // The oldest hop, or nothing; `seen`, when given, receives the count of the state's changes
    // at the same instant.
    std::optional<RedirectHop> pop_hop(uint64_t *seen = nullptr);
    // Waits until the state changes after `seen` (a callback or a body take) or the deadline
    // passes. Then the oldest hop; or, when the wait did not time out and the request failed,
    // the failure's kind and code; or nothing.
    HopOutcome wait_hop(Clock::time_point deadline, uint64_t seen);

  private:
    RequestState() = default;

    enum class Phase : uint8_t { pending, success, error };

    // Waits on wake_ until ready(); with `run`, first runs the Core's loop here, the lock let
    // go, until ready() or until the Core declines.
    template <class Ready>
    void wait_for(std::unique_lock<std::mutex> &lock, ks_request *run, Ready ready);
    bool head_ready_locked() const { return head_taken_ || head_ || phase_ != Phase::pending; }
    // Lock, record, wake all, unlock, then notify the loop with no lock held.
    template <class Record> void frame(Record &&record) noexcept;
    // A fault inside a callback: CallbackPanic unless an outcome is already there.
    void record_panic() noexcept;
    // Counts a change and wakes every waiter; the lock is held.
    void changed_locked();
    // The head or the failure in its place, once; nothing while neither is there.
    HeadOutcome head_locked();
    // One pass of take body; nullopt while the queue is empty and the request still running.
    std::optional<BodyOutcome> body_locked(bool &resume);
    std::optional<RedirectHop> hop_locked();

    std::mutex lock_;
    std::condition_variable wake_;
    Phase phase_ = Phase::pending;
    RequestFailure failure_;
    std::deque<BodyChunk> body_;
    std::deque<RedirectHop> hops_;
    int32_t status_ = 0;
    std::optional<Bytes> head_;
    uint32_t buffered_ = 0;
    bool head_taken_ = false;
    bool paused_ = false;
    bool error_reported_ = false;
    // Bumped by every callback and body take, so that a hop wait sees any change.
    uint64_t changes_ = 0;
    // Waiters that any record may satisfy, and those (read_body) that only the outcome or a
    // pause can: a callback wakes nobody when no waiter can use what it recorded.
    uint32_t eager_waiters_ = 0;
    uint32_t end_waiters_ = 0;
    // The final head's Content-Length when it gives the body's size, and the body bytes handed
    // out so far.
    std::optional<uint64_t> expected_length_;
    uint64_t delivered_ = 0;
    // While read_body waits: chunks go straight into its buffer when nothing is queued.
    BodySink *sink_ = nullptr;

    NotifierSlot notifier_;
    std::atomic<bool> core_ref_held_{true};
    std::shared_ptr<RequestState> core_ref_; // the Core's reference while core_ref_held_
};

} // namespace corvina
