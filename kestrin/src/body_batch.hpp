// A transfer's body on its way to the caller. libcurl hands it over in pieces of at most 16 KiB,
// several per read of the socket; each passed on as it comes would wake the reader once per
// piece, so they are collected in blocks that go out when libcurl returns or a block is full.
// Network thread only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>

#include "block_pool.hpp"
#include "page_allocator.hpp"

namespace kestrin {

class BodyBatch {
  public:
    // Body collected within one libcurl call goes out at this size at the latest.
    static constexpr size_t kBlockBytes = 256 * 1024;

    // Adds a piece; `read_size` is the most one libcurl read brings, the room a large block
    // keeps beyond kBlockBytes. True when a full block waits to go out.
    bool append(const char *data, size_t len, size_t read_size, BlockPool &pool);

    // Hands blocks to on_body(data, len), which returns false to pause, until it pauses or only
    // a block still filling is left; that one too with `partial_block`. False once paused.
    template <class OnBody> bool deliver(bool partial_block, OnBody &&on_body) {
        while (!pending_.empty()) {
            if (!partial_block && pending_.size() == 1)
                return true; // still filling
            BodyBlock block = std::move(pending_.front());
            pending_.pop_front();
            bool more = on_body(reinterpret_cast<const uint8_t *>(block.data()), block.size());
            keep_spare(std::move(block));
            if (!more)
                return false;
        }
        return true;
    }

    // The transfer ended: what is left goes to on_body if `deliver_rest`, regardless of pauses,
    // and the spare blocks go to `pool`.
    template <class OnBody> void end(bool deliver_rest, BlockPool &pool, OnBody &&on_body) {
        if (deliver_rest)
            for (const BodyBlock &block : pending_)
                on_body(reinterpret_cast<const uint8_t *>(block.data()), block.size());
        pending_.clear();
        give_spares(pool);
    }

  private:
    // A large block is kept while there is room; a small one only when nothing is.
    void keep_spare(BodyBlock &&block);
    void give_spares(BlockPool &pool);

    // Body libcurl gave that on_body has not had yet, in blocks of at most kBlockBytes.
    std::deque<BodyBlock> pending_;
    // Delivered blocks' memory, kept for the next ones: a large body then fills blocks without
    // mapping or regrowing them. Two, as a read that spans blocks has one filling while the last
    // goes out, and a third would be unmapped and mapped again on every such read.
    std::array<BodyBlock, 2> spares_;
    size_t spare_count_ = 0;
};

} // namespace kestrin
