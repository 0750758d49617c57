// Body chunks copied out of the Core's callbacks, on their way to Python.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include <kestrin/kestrin.h>

namespace corvina {

class ChunkPool;

// One chunk's bytes. Large chunks live in pages mapped from the kernel and go back to the pool
// when dropped, so transfers reuse a few blocks and leave nothing in the C allocator's arenas:
// the network thread's arena would keep them resident after a large transfer ends.
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

    ChunkPool *pool_ = nullptr;
    uint8_t *data_ = nullptr;
    size_t size_ = 0;
    size_t mapped_ = 0; // 0: from the heap
};

// Spare blocks, taken and given back from any thread without a lock. It outlives its chunks.
class ChunkPool {
  public:
    // The module's pool, never destroyed: a chunk may be dropped while the interpreter exits.
    static ChunkPool &shared();
    static constexpr size_t kMapFrom = KS_BODY_MAP_FROM;
    // Every pooled block has this room, so a spare fits any chunk the Core hands over.
    static constexpr size_t kBlock = KS_BODY_CHUNK_MAX;

    ~ChunkPool();
    // A chunk holding a copy of the bytes; throws std::bad_alloc.
    BodyChunk copy(const uint8_t *data, size_t len);

  private:
    friend class BodyChunk;
    void give_back(uint8_t *block) noexcept;

    // As many as a queue at the pause threshold holds, plus the one being read and a few for
    // other transfers: a reader that lags maps its blocks once, and responses of a few hundred
    // KiB map none. At most 2.5 MiB stays mapped.
    std::array<std::atomic<uint8_t *>, 8> spare_{};
};

// Once, at load. glibc gives a block above its mmap threshold a mapping of its own, and when
// such a block is freed raises the threshold to its size and the trim threshold to twice that.
// The body buffers here and in the Core never pass through malloc, so nothing large is freed
// until Python frees a large bytes object, and meanwhile the arenas trim and regrow their top
// around each chunk's bytes object: 30 to 90 page faults per MiB streamed. One block as large as
// a chunk's bytes object, freed, sets the thresholds where that free would.
void prime_heap_thresholds();

} // namespace corvina
