// Ownership of one Core request and the operations on it.
#pragma once

#include "errors/error.h"
#include "request/state.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <variant>

#include <kestrin/kestrin.h>

namespace corvina {

// Owns the Core request and one reference to its state; ks_request_release runs when the last
// reference to the handle goes. A PyRequest holds one, and so do its started context and body
// stream while they are set.
class RequestHandle : public std::enable_shared_from_this<RequestHandle> {
  public:
    RequestHandle(ks_request *core, std::shared_ptr<RequestState> state)
        : core_(core), state_(std::move(state)) {}
    // Releases the Core request, then the Core's state reference if it was never started: a
    // started request keeps it for on_complete, which may still come.
    ~RequestHandle();
    RequestHandle(const RequestHandle &) = delete;
    RequestHandle &operator=(const RequestHandle &) = delete;

    RequestState &state() const { return *state_; }
    ks_request *core() const { return core_; }

    // started false -> true, then ks_request_start; a new reference to this handle on success.
    // InvalidState without a Core call when started before; a failed start leaves it startable.
    // How far the Core may run its loop on the starting thread: not at all, until the head or
    // the end (a blocking start), or through what is ready at once (the request is sent from
    // this thread instead of waking the network thread to send it).
    enum class RunLoop : uint8_t { none, to_head, ready_now };
    std::variant<std::shared_ptr<RequestHandle>, CoreError> start(RunLoop run = RunLoop::none);
    CallResult cancel();
    CallResult resume_read();
    CallResult upload_write(std::span<const uint8_t> data, bool final_chunk);
    CallResult upload_finish();
    CallResult follow_redirect();

  private:
    ks_request *core_;
    std::shared_ptr<RequestState> state_;
    std::atomic<bool> started_{false};
};

} // namespace corvina
