#include "request/state.h"

#include "entry/run_loop.h"
#include "lib/run.h"

#include <algorithm>
#include <limits>

namespace corvina {
namespace {

Bytes copy_run(const void *data, size_t len) {
    if (len == 0)
        return {};
    auto *p = static_cast<const uint8_t *>(data);
    return Bytes(p, p + len);
}

RequestState *state_of(void *user_data) {
    return static_cast<RequestState *>(user_data);
}

void cb_response(void *user_data, ks_request *, int32_t status, const uint8_t *head,
                 size_t head_len) noexcept {
    state_of(user_data)->on_response(status, head, head_len);
}

bool cb_body(void *user_data, ks_request *, const uint8_t *data, size_t len) noexcept {
    return state_of(user_data)->on_body(data, len);
}

void cb_complete(void *user_data, ks_request *, uint32_t status, int32_t net_error) noexcept {
    state_of(user_data)->on_complete(status, net_error);
}

void cb_redirect(void *user_data, ks_request *, int32_t status, const uint8_t *head,
                 size_t head_len, const char *from_url, size_t from_len, const char *to_url,
                 size_t to_len) noexcept {
    state_of(user_data)->on_redirect(status, head, head_len, from_url, from_len, to_url, to_len);
}

uint32_t saturating_add(uint32_t a, size_t b) {
    constexpr uint32_t kMax = std::numeric_limits<uint32_t>::max();
    return b >= static_cast<size_t>(kMax - a) ? kMax : a + static_cast<uint32_t>(b);
}

} // namespace

std::shared_ptr<RequestState> RequestState::create() {
    std::shared_ptr<RequestState> state(new RequestState());
    state->core_ref_ = state;
    return state;
}

void RequestState::release_core_ref(RequestState *state) noexcept {
    if (!state->core_ref_held_.exchange(false, std::memory_order_acq_rel))
        return;
    // Only the winner of the exchange touches core_ref_; this may destroy the state.
    std::shared_ptr<RequestState> ref = std::move(state->core_ref_);
}

ks_request_callbacks RequestState::callbacks() {
    ks_request_callbacks cb{};
    cb.struct_size = sizeof(ks_request_callbacks);
    cb.abi_version = KS_ABI_VERSION;
    cb.user_data = this;
    cb.on_response = cb_response;
    cb.on_body = cb_body;
    cb.on_complete = cb_complete;
    cb.on_redirect = cb_redirect;
    return cb;
}

bool RequestState::is_finished() {
    std::lock_guard<std::mutex> lock(lock_);
    return phase_ != Phase::pending;
}

template <class Record> void RequestState::frame(Record &&record) noexcept {
    bool faulted = false;
    bool wake = true;
    try {
        std::unique_lock<std::mutex> lock(lock_);
        ++changes_;
        record();
        wake = eager_waiters_ > 0 || (end_waiters_ > 0 && (phase_ != Phase::pending || paused_));
    } catch (...) {
        faulted = true;
    }
    // Woken after the unlock, so a waiter does not wake only to block on the lock; the Core's
    // reference keeps the state alive until the callback returns.
    if (wake)
        wake_.notify_all();
    if (faulted)
        record_panic();
    notifier_.invoke();
}

void RequestState::record_panic() noexcept {
    try {
        std::lock_guard<std::mutex> lock(lock_);
        if (phase_ == Phase::pending) {
            phase_ = Phase::error;
            failure_ = RequestFailure{ErrorKind::CallbackPanic, 0, 0};
        }
        changed_locked();
    } catch (...) {
        // Only a failing mutex gets here; there is nothing left to record with.
    }
}

void RequestState::on_response(int32_t status, const uint8_t *head, size_t head_len) noexcept {
    frame([&] {
        check_run(head, head_len);
        head_ = copy_run(head, head_len);
        status_ = status;
        expected_length_ = announced_length(status, *head_);
    });
}

bool RequestState::on_body(const uint8_t *data, size_t len) noexcept {
    bool keep_reading = true;
    frame([&] {
        check_run(data, len);
        if (sink_ && body_.empty() && sink_->fits(len)) {
            sink_->append(static_cast<const uint8_t *>(data), len);
            delivered_ += len;
            return;
        }
        body_.push_back(ChunkPool::shared().copy(data, len));
        buffered_ = saturating_add(buffered_, len);
        if (buffered_ >= kPauseThreshold && phase_ == Phase::pending) {
            paused_ = true;
            keep_reading = false;
        }
    });
    return keep_reading;
}

void RequestState::on_complete(uint32_t status, int32_t net_error) noexcept {
    frame([&] {
        if (phase_ != Phase::pending)
            return; // a callback that faulted already decided the outcome: CallbackPanic
        if (status == KS_OK) {
            phase_ = Phase::success;
        } else {
            CoreError e = error_from_status(status);
            phase_ = Phase::error;
            failure_ = RequestFailure{e.kind, status, net_error};
        }
    });
    release_core_ref(this); // the Core's last call: this may destroy the state
}

void RequestState::on_redirect(int32_t status, const uint8_t *head, size_t head_len,
                               const char *first, size_t first_len, const char *second,
                               size_t second_len) noexcept {
    frame([&] {
        check_run(head, head_len);
        check_run(first, first_len);
        check_run(second, second_len);
        hops_.push_back(RedirectHop{status, copy_run(head, head_len), copy_run(first, first_len),
                                    copy_run(second, second_len)});
    });
}

void RequestState::changed_locked() {
    ++changes_;
    wake_.notify_all();
}

HeadOutcome RequestState::head_locked() {
    if (head_taken_)
        return std::monostate{};
    if (head_) {
        HeadResponse r{status_, std::move(*head_)};
        head_.reset();
        head_taken_ = true;
        return r;
    }
    if (phase_ == Phase::error) {
        head_taken_ = true;
        return failure_;
    }
    return std::monostate{};
}

HeadOutcome RequestState::take_head() {
    std::lock_guard<std::mutex> lock(lock_);
    return head_locked();
}

template <class Ready>
void RequestState::wait_for(std::unique_lock<std::mutex> &lock, ks_request *run, Ready ready) {
    run_core_until(core_run_loop().run_until, run, lock, ready);
    wake_.wait(lock, ready);
}

bool RequestState::head_ready() {
    std::lock_guard<std::mutex> lock(lock_);
    return head_ready_locked();
}

HeadOutcome RequestState::wait_head(ks_request *run) {
    std::unique_lock<std::mutex> lock(lock_);
    ++eager_waiters_;
    // Ended without a head: nothing will come.
    wait_for(lock, run, [&] { return head_ready_locked(); });
    --eager_waiters_;
    return head_locked();
}

std::optional<BodyOutcome> RequestState::body_locked(bool &resume) {
    BodyOutcome result;
    if (!body_.empty()) {
        BodyChunk chunk = std::move(body_.front());
        body_.pop_front();
        delivered_ += chunk.size();
        buffered_ -= static_cast<uint32_t>(std::min<size_t>(chunk.size(), buffered_));
        result = std::move(chunk);
    } else if (phase_ == Phase::pending) {
        return std::nullopt;
    } else if (phase_ == Phase::success || error_reported_) {
        result = BodyDone{};
    } else {
        error_reported_ = true;
        result = failure_;
    }
    if (paused_ && buffered_ < kPauseThreshold) {
        paused_ = false;
        resume = true;
    }
    changed_locked();
    return result;
}

BodyOutcome RequestState::take_body(bool &resume) {
    resume = false;
    std::lock_guard<std::mutex> lock(lock_);
    auto r = body_locked(resume);
    if (!r)
        return BodyPending{};
    return std::move(*r);
}

BodyOutcome RequestState::wait_body(bool &resume) {
    resume = false;
    std::unique_lock<std::mutex> lock(lock_);
    ++eager_waiters_;
    wake_.wait(lock, [&] { return !body_.empty() || phase_ != Phase::pending; });
    --eager_waiters_;
    return std::move(*body_locked(resume)); // something to take now
}

uint64_t RequestState::expected_rest() {
    std::lock_guard<std::mutex> lock(lock_);
    if (!expected_length_ || error_reported_ || (phase_ != Phase::pending && body_.empty()))
        return 0;
    return *expected_length_ > delivered_ ? *expected_length_ - delivered_ : 0;
}

BodyOutcome RequestState::read_rest(bool &resume, BodySink &sink, ks_request *run) {
    resume = false;
    std::unique_lock<std::mutex> lock(lock_);
    for (;;) {
        while (auto r = body_locked(resume)) {
            if (auto *chunk = std::get_if<BodyChunk>(&*r)) {
                sink.append(chunk->data(), chunk->size());
                continue;
            }
            return std::move(*r);
        }
        if (resume)
            return BodyPending{};
        // The Core's chunks now go straight into the sink; only the outcome or a pause (the
        // sink is full and chunks queue again) wakes this wait.
        sink_ = &sink;
        ++end_waiters_;
        wait_for(lock, run, [&] { return phase_ != Phase::pending || paused_; });
        --end_waiters_;
        sink_ = nullptr;
    }
}

std::optional<RedirectHop> RequestState::hop_locked() {
    if (hops_.empty())
        return std::nullopt;
    RedirectHop hop = std::move(hops_.front());
    hops_.pop_front();
    return hop;
}

std::optional<RedirectHop> RequestState::pop_hop(uint64_t *seen) {
    std::lock_guard<std::mutex> lock(lock_);
    if (seen != nullptr)
        *seen = changes_;
    return hop_locked();
}

HopOutcome RequestState::wait_hop(Clock::time_point deadline, uint64_t seen) {
    std::unique_lock<std::mutex> lock(lock_);
    ++eager_waiters_;
    bool woke = wake_.wait_until(lock, deadline, [&] { return changes_ != seen; });
    --eager_waiters_;
    if (auto hop = hop_locked())
        return std::move(*hop);
    if (woke && phase_ == Phase::error)
        return CoreError{failure_.kind, failure_.code};
    return std::monostate{};
}

} // namespace corvina
