#include "upload_buffer.hpp"

#include <algorithm>
#include <cstring>

namespace kestrin {

ks_status UploadBuffer::write(const uint8_t *data, size_t len, bool final_chunk,
                              const std::function<void()> &wake) {
    size_t done = 0;
    do {
        {
            std::unique_lock lock(mu_);
            if (closed_)
                return close_status_;
            if (final_)
                return KS_INVALID_STATE;
            // A large write waits for half the buffer rather than taking each slice libcurl
            // frees: one hand-off per half buffer instead of one per network write.
            space_.wait(lock, [&] {
                return closed_ || (bytes_ < capacity_ &&
                                   capacity_ - bytes_ >= std::min(len - done, capacity_ / 2));
            });
            if (closed_)
                return close_status_;
            size_t piece = std::min(len - done, capacity_ - bytes_);
            if (piece > 0) {
                chunks_.emplace_back(data + done, data + done + piece);
                bytes_ += piece;
                done += piece;
            }
            if (done == len && final_chunk)
                final_ = true;
        }
        if (wake)
            wake();
    } while (done < len);
    return KS_OK;
}

UploadBuffer::ReadResult UploadBuffer::read(uint8_t *out, size_t max) {
    size_t copied = 0;
    bool eof, half_free;
    {
        std::lock_guard lock(mu_);
        while (copied < max && !chunks_.empty()) {
            auto &front = chunks_.front();
            size_t n = std::min(max - copied, front.size() - head_offset_);
            std::memcpy(out + copied, front.data() + head_offset_, n);
            copied += n;
            head_offset_ += n;
            if (head_offset_ == front.size()) {
                chunks_.pop_front();
                head_offset_ = 0;
            }
        }
        bytes_ -= copied;
        eof = final_ && chunks_.empty();
        half_free = bytes_ <= capacity_ / 2;
    }
    if (copied > 0 && half_free)
        space_.notify_all();
    return {copied, eof && copied == 0};
}

void UploadBuffer::close(ks_status status) {
    {
        std::lock_guard lock(mu_);
        if (closed_)
            return;
        closed_ = true;
        close_status_ = status;
        chunks_.clear();
        bytes_ = 0;
    }
    space_.notify_all();
}

} // namespace kestrin
