// Body blocks that finished requests leave, for the next ones: responses of a few hundred KiB then
// fill blocks mapped and touched before. Any thread: a start that fails at once finishes its
// request on the caller's thread.
#pragma once

#include <array>
#include <cstddef>
#include <mutex>

#include "page_allocator.hpp"

namespace kestrin {

class BlockPool {
  public:
    // Two at most stay mapped per engine: one filling while the last goes out.
    static constexpr size_t kKept = 2;

    BodyBlock take() noexcept {
        std::lock_guard lock(mu_);
        return kept_ > 0 ? std::move(blocks_[--kept_]) : BodyBlock();
    }
    // Keeps a mapped block while there is room; anything else goes with the caller's copy.
    void keep(BodyBlock &&block) noexcept {
        if (block.capacity() < PageAllocator<char>::kMapFrom)
            return;
        std::lock_guard lock(mu_);
        if (kept_ < blocks_.size())
            blocks_[kept_++] = std::move(block);
    }

  private:
    std::mutex mu_;
    std::array<BodyBlock, kKept> blocks_;
    size_t kept_ = 0;
};

} // namespace kestrin
