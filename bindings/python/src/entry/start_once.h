// Starting a Core object at most once, shared by requests and WebSockets.
#pragma once

#include "errors/error.h"

#include <atomic>
#include <cstdint>
#include <optional>

namespace corvina {

// Sets `started`, then runs `start` (a Core start call returning its status). InvalidState
// without a Core call when `started` was set already; a failed or throwing call clears it again,
// so the object stays startable.
template <class Start>
std::optional<CoreError> start_once(std::atomic<bool> &started, Start &&start) {
    bool expected = false;
    if (!started.compare_exchange_strong(expected, true, std::memory_order_acq_rel))
        return CoreError{ErrorKind::InvalidState, 0};
    uint32_t status;
    try {
        status = start();
    } catch (...) {
        started.store(false, std::memory_order_release);
        throw;
    }
    if (status == 0)
        return std::nullopt;
    started.store(false, std::memory_order_release);
    return error_from_status(status);
}

} // namespace corvina
