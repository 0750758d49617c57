// Bounded hand-over of a chunked upload from writer threads to the network
// thread. Writers block while the buffer is full, so an upload holds about
// `capacity` bytes however fast the caller produces them.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include <kestrin/kestrin.h>

#include "limits.hpp"

namespace kestrin {

class UploadBuffer {
  public:
    explicit UploadBuffer(size_t capacity = kUploadBufferBytes) : capacity_(capacity) {}

    // Copies data, blocking while the buffer is full. `wake` runs (without the
    // lock) after each piece is queued, to tell the reader there is data.
    ks_status write(const uint8_t *data, size_t len, bool final_chunk,
                    const std::function<void()> &wake);

    struct ReadResult {
        size_t bytes;
        bool eof; // final chunk seen and everything read
    };
    // Never blocks: 0 bytes without eof means "nothing yet".
    ReadResult read(uint8_t *out, size_t max);

    // Rewinds is impossible; the transfer is over. Wakes blocked writers, who
    // get `status`.
    void close(ks_status status);

  private:
    const size_t capacity_;
    std::mutex mu_;
    std::condition_variable space_;
    std::deque<std::vector<uint8_t>> chunks_;
    size_t head_offset_ = 0;
    size_t bytes_ = 0;
    bool final_ = false;
    bool closed_ = false;
    ks_status close_status_ = KS_INVALID_STATE;
};

} // namespace kestrin
