#include "request/handle.h"

#include "entry/run_loop.h"
#include "entry/start_once.h"
#include "lib/fault.h"
#include "lib/run.h"

namespace corvina {
RequestHandle::~RequestHandle() {
    release_noexcept([this] { ks_request_release(core_); });
    if (!started_.load(std::memory_order_acquire))
        RequestState::release_core_ref(state_.get());
}

std::variant<std::shared_ptr<RequestHandle>, CoreError> RequestHandle::start(RunLoop run) {
    auto start_and_run = run != RunLoop::none ? core_run_loop().start_and_run : nullptr;
    auto error = start_once(started_, [&] {
        if (!start_and_run)
            return ks_request_start(core_);
        if (run == RunLoop::ready_now)
            return start_and_run(
                core_, [](void *) -> int { return 1; }, nullptr);
        return start_and_run(
            core_,
            [](void *state) -> int { return static_cast<RequestState *>(state)->head_ready(); },
            state_.get());
    });
    if (error)
        return *error;
    return shared_from_this();
}

CallResult RequestHandle::cancel() {
    return status_result(ks_request_cancel(core_));
}

CallResult RequestHandle::resume_read() {
    return status_result(ks_request_resume_read(core_));
}

CallResult RequestHandle::upload_write(std::span<const uint8_t> data, bool final_chunk) {
    return status_result(
        ks_request_upload_write(core_, run_data<uint8_t>(data), data.size(), final_chunk ? 1 : 0));
}

CallResult RequestHandle::upload_finish() {
    return status_result(ks_request_upload_write(core_, nullptr, 0, 1));
}

CallResult RequestHandle::follow_redirect() {
    return status_result(ks_request_follow_redirect(core_));
}

} // namespace corvina
