// Starting a Core object at most once, shared by requests and WebSockets.
#pragma once

#include "errors/error.h"

#include <atomic>
#include <cstdint>

namespace corvina {

// Sets `started`, then runs `start` (a Core start call returning its status). InvalidState
// without a Core call when `started` was set already; a failed or throwing call clears it again,
// so the object stays startable.
template <class Start> CallResult start_once(std::atomic<bool> &started, Start &&start) {
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
    CallResult error = status_result(status);
    if (error)
        started.store(false, std::memory_order_release);
    return error;
}

} // namespace corvina
