// The Core's fixed limits, each with the reason for its value.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace kestrin {

// Connections: a browser's, so that servers see the load they expect; excess transfers queue
// inside libcurl.
inline constexpr long kMaxConnectionsPerHost = 6; // to one host
inline constexpr long kMaxConnectionsTotal = 256; // a browser's whole socket pool
inline constexpr long kMaxIdleConnections = 64;   // kept open for reuse; older ones close

// A browser's bound on a response head; libcurl's own limits are larger.
inline constexpr size_t kMaxResponseHeadBytes = 256 * 1024;

// CONTINUATION frames one HTTP/2 response head may take: a browser's head fits in a few, and a
// flood of small ones costs the parser without ever passing the byte limit.
inline constexpr int kMaxHeadContinuations = 8;

// What a chunked upload holds at most: writers wait beyond it, so memory stays bounded however
// fast the caller produces data.
inline constexpr size_t kUploadBufferBytes = size_t{4} << 20;

// Largest WebSocket message reassembled; a bigger one fails the connection (close code 1009)
// instead of growing the buffer without bound.
inline constexpr size_t kWebSocketMaxMessage = size_t{64} << 20;
// The buffer a client masks outgoing frames through: large messages go out in few writes while
// each connection holds little.
inline constexpr size_t kWebSocketWriteBuffer = 64 * 1024;
// Read buffer capacity kept after a message; a bigger one is given back, so a connection does
// not hold a large message's memory while it idles.
inline constexpr size_t kWebSocketReadBufferKept = 1024 * 1024;
// How long a close we started waits for the peer's close frame before it ends unclean.
inline constexpr std::chrono::milliseconds kWebSocketCloseWait{5000};
// How long a teardown waits for the peer to close its side before the socket is closed.
inline constexpr std::chrono::milliseconds kWebSocketTeardownWait{1000};

// A caller's timeout at or past this has no timer at all: 2^40 ms is some 34 years, past any
// wait that matters, and far inside the steady clock's range (its int64 nanoseconds hold about
// 292 years), so no deadline computed from a shorter timeout can overflow.
inline constexpr uint64_t kLongestTimeoutMs = uint64_t{1} << 40;

// The timer a caller's timeout in milliseconds asks for: none for 0 (no timeout) and for
// anything at or past kLongestTimeoutMs.
inline std::optional<std::chrono::milliseconds> timeout_timer(uint64_t timeout_ms) {
    if (timeout_ms == 0 || timeout_ms >= kLongestTimeoutMs)
        return std::nullopt;
    return std::chrono::milliseconds(static_cast<std::chrono::milliseconds::rep>(timeout_ms));
}

} // namespace kestrin
