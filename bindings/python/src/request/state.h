// The shared state of one request: what the Core's callbacks recorded, the handle that drives
// the Core request, and the operations the Python side runs on both.
#pragma once

#include "bridge/notifier.h"
#include "core/error.h"
#include "core/kestrin.h"
#include "lib/convert.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <span>
#include <utility>
#include <variant>

namespace corvina {

// Intrusive counted reference; T provides add_ref() and release(). Move-only: a new count is
// always taken explicitly with share().
template <class T> class Ref {
  public:
    Ref() = default;
    // Takes over a count the caller already owns.
    static Ref adopt(T *p) noexcept {
        Ref r;
        r.p_ = p;
        return r;
    }
    // Takes a new count.
    static Ref share(T *p) noexcept {
        if (p != nullptr)
            p->add_ref();
        return adopt(p);
    }
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref &operator=(Ref &&other) noexcept {
        if (this != &other) {
            T *old = std::exchange(p_, std::exchange(other.p_, nullptr));
            if (old != nullptr)
                old->release();
        }
        return *this;
    }
    ~Ref() { reset(); }

    void reset() noexcept {
        if (T *old = std::exchange(p_, nullptr))
            old->release();
    }
    T *get() const noexcept { return p_; }
    T &operator*() const noexcept { return *p_; }
    T *operator->() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

  private:
    T *p_ = nullptr;
};

// Queued body above this many bytes asks the Core to pause; it resumes once the queue is back
// below it.
inline constexpr uint32_t kPauseThreshold = 1048576;

struct RedirectHop {
    int32_t status = 0;
    Bytes head;
    Bytes first;  // raw Core text; decoded with U+FFFD replacement when it reaches Python
    Bytes second; // likewise
};

class RequestHandle;

// Where read_body gathers: a buffer sized from the response's Content-Length, which the Core's
// chunks are copied into directly, and a growing spill for anything beyond it.
struct BodySink {
    uint8_t *data = nullptr;
    size_t capacity = 0;
    size_t size = 0;
    Bytes spill;
    void append(const uint8_t *p, size_t n);
    bool fits(size_t n) const { return spill.empty() && capacity - size >= n; }
};

class RequestState {
  public:
    // One count, owned by the creator; the Core's count is added with add_core_ref().
    RequestState() = default;
    RequestState(const RequestState &) = delete;
    RequestState &operator=(const RequestState &) = delete;

    void add_ref() noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }
    void release() noexcept;

    // The Core's count: taken once before the state's address is handed to the Core, dropped
    // exactly once by whichever of on_complete, an unstarted release or a failed create comes
    // first.
    void add_core_ref() noexcept;
    void drop_core_ref() noexcept;

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

    // For tests of the reference counting.
    uint32_t ref_count() const { return refs_.load(std::memory_order_relaxed); }

  private:
    friend struct StateOps;
    ~RequestState() = default;

    enum class Phase : uint8_t { pending, success, error };

    // Lock, record, wake all, unlock, then notify the loop with no lock held.
    template <class Record> void frame(Record &&record) noexcept;
    // A fault inside a callback: CallbackPanic unless an outcome is already there.
    void record_panic() noexcept;

    std::mutex lock_;
    std::condition_variable wake_;
    Phase phase_ = Phase::pending;
    RequestFailure failure_;
    std::deque<Bytes> body_;
    std::deque<RedirectHop> hops_;
    int32_t status_ = 0;
    std::optional<Bytes> head_;
    uint32_t buffered_ = 0;
    bool head_taken_ = false;
    bool paused_ = false;
    bool error_reported_ = false;
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
    std::atomic<bool> core_ref_held_{false};
    std::atomic<uint32_t> refs_{1};
};

// Owns the Core request and one count of its state; ks_request_release runs when the last
// count goes.
class RequestHandle {
  public:
    RequestHandle(ks_request *core, Ref<RequestState> state)
        : core_(core), state_(std::move(state)) {}
    RequestHandle(const RequestHandle &) = delete;
    RequestHandle &operator=(const RequestHandle &) = delete;

    void add_ref() noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }
    void release() noexcept;

    ks_request *core() const { return core_; }
    RequestState &state() const { return *state_; }

  private:
    friend struct StateOps;
    ~RequestHandle();

    ks_request *core_;
    Ref<RequestState> state_;
    std::atomic<bool> started_{false};
    std::atomic<uint32_t> refs_{1};
};

// A reference to the state and one to the handle, as a successful start or head hands them
// out (the started context and the body stream of a PyRequest).
struct StatePair {
    Ref<RequestState> state;
    Ref<RequestHandle> handle;
};

StatePair share_pair(RequestHandle &handle);

struct HeadResponse {
    int32_t status = 0;
    Bytes head;
    StatePair pair;
};
// Nothing yet (monostate), the head, or the failure in its place.
using HeadOutcome = std::variant<std::monostate, HeadResponse, RequestFailure>;

struct BodyPending {};
struct BodyDone {};
using BodyOutcome = std::variant<BodyPending, Bytes, BodyDone, RequestFailure>;

// A hop, nothing, or the failure (kind and code) that woke the wait.
using HopOutcome = std::variant<std::monostate, RedirectHop, CoreError>;

// Status result of a Core call: nullopt on success.
using CallResult = std::optional<CoreError>;

// The operations of a request. None of them is called with a module lock held except where
// noted; Core calls are made with no state lock held.
struct StateOps {
    // started false -> true, then ks_request_start; a failed start leaves it startable.
    static std::variant<StatePair, CoreError> start(RequestHandle &handle);
    static CallResult cancel(RequestHandle &handle);
    static CallResult resume_read(RequestHandle &handle);
    static CallResult upload_write(RequestHandle &handle, std::span<const uint8_t> data,
                                   bool final_chunk);
    static CallResult upload_finish(RequestHandle &handle);
    static CallResult follow_redirect(RequestHandle &handle);

    // Non-blocking; the result's pair holds new counts.
    static HeadOutcome take_head(RequestHandle &handle);
    // Blocks until the head or the failure; consumes `pair`. Nothing when there is none to
    // come (already handed out, or the request ended without a head).
    static HeadOutcome wait_head(StatePair pair);

    // Non-blocking. When the take brings the queue back under the threshold of a paused
    // request, `resume` is set and the caller must call ks_request_resume_read once, with no
    // lock held that a callback takes.
    static BodyOutcome take_body(RequestHandle &handle, bool &resume);
    // Blocks until a chunk, the end or the failure; `resume` as for take_body.
    static BodyOutcome wait_body(RequestHandle &handle, bool &resume);
    // The body bytes still to come by the response's Content-Length (0 when unknown or none).
    static uint64_t expected_rest(RequestHandle &handle);
    // read_body's step: moves every queued chunk into `sink`, then waits for the outcome while
    // the Core writes into `sink` directly. BodyPending when `resume` asks the caller to resume
    // the Core and come back; BodyDone or the failure (once, as for wait_body) at the end.
    static BodyOutcome read_rest(RequestHandle &handle, bool &resume, BodySink &sink);
    // ks_request_resume_read with its status ignored.
    static void resume_ignored(RequestHandle &handle);

    static std::optional<RedirectHop> pop_hop(RequestState &state);
    static HopOutcome wait_hop(RequestState &state, std::chrono::nanoseconds timeout);

  private:
    // One pass of take body over a locked state; nullopt while the queue is empty and the
    // request still running.
    static std::optional<BodyOutcome> body_step(RequestState &s, bool &resume);
};

} // namespace corvina
