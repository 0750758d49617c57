// Body chunks copied out of the Core's callbacks, on their way to Python.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace corvina {

class ChunkPool;

// One chunk's bytes. Large chunks live in pages mapped from the kernel and go back to their
// request's pool when dropped, so a large transfer reuses a few blocks and leaves nothing in
// the C allocator's arenas: the network thread's arena would keep them resident after it ends.
class BodyChunk {
  public:
    BodyChunk() = default;
    BodyChunk(BodyChunk &&other) noexcept;
    BodyChunk &operator=(BodyChunk &&other) noexcept;
    ~BodyChunk();

    const uint8_t *data() const { return data_; }
    size_t size() const { return size_; }

  private:
    friend class ChunkPool;
    void release() noexcept;

    std::shared_ptr<ChunkPool> pool_;
    uint8_t *data_ = nullptr;
    size_t size_ = 0;
    size_t mapped_ = 0; // 0: from the heap
};

// A request's spare blocks, taken and given back from any thread without a lock. Shared with
// its chunks, which may outlive the request.
class ChunkPool : public std::enable_shared_from_this<ChunkPool> {
  public:
    static constexpr size_t kMapFrom = 64 * 1024;
    // Every pooled block has this room, so a spare fits any chunk the Core's batching makes.
    static constexpr size_t kBlock = 320 * 1024;

    ~ChunkPool();
    // A chunk holding a copy of the bytes; throws std::bad_alloc.
    BodyChunk copy(const uint8_t *data, size_t len);

  private:
    friend class BodyChunk;
    void give_back(uint8_t *block) noexcept;

    // As many as a queue at the pause threshold holds, plus the one being read: a transfer
    // whose reader lags maps its blocks once.
    std::array<std::atomic<uint8_t *>, 6> spare_{};
};

} // namespace corvina
