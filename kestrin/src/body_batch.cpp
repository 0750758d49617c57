#include "body_batch.hpp"

namespace kestrin {

bool BodyBatch::append(const char *data, size_t len, size_t read_size, BlockPool &pool) {
    if (pending_.empty() || pending_.back().size() >= kBlockBytes) {
        // A full block before this one means a large body: give the next one its whole room at
        // once, as regrowing it would copy what it holds each time.
        BodyBlock block = spare_count_ > 0 ? std::move(spares_[--spare_count_]) : pool.take();
        bool large = !pending_.empty() || block.capacity() >= kBlockBytes;
        block.clear();
        if (large)
            block.reserve(kBlockBytes + read_size);
        pending_.push_back(std::move(block));
    }
    pending_.back().append(data, len);
    return pending_.size() > 1;
}

void BodyBatch::keep_spare(BodyBlock &&block) {
    if (spare_count_ < spares_.size() && (spare_count_ == 0 || block.capacity() >= kBlockBytes))
        spares_[spare_count_++] = std::move(block);
}

void BodyBatch::give_spares(BlockPool &pool) {
    for (size_t i = 0; i < spare_count_; ++i) {
        pool.keep(std::move(spares_[i]));
        BodyBlock().swap(spares_[i]); // what the pool did not keep goes now
    }
    spare_count_ = 0;
}

} // namespace kestrin
