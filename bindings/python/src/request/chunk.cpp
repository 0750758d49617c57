#include "request/chunk.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include <sys/mman.h>

namespace corvina {

namespace {

uint8_t *map_block(size_t n) {
    void *p = mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        throw std::bad_alloc();
    return static_cast<uint8_t *>(p);
}

} // namespace

BodyChunk::BodyChunk(BodyChunk &&other) noexcept
    : pool_(std::exchange(other.pool_, nullptr)), data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)), mapped_(std::exchange(other.mapped_, 0)) {}

BodyChunk &BodyChunk::operator=(BodyChunk &&other) noexcept {
    if (this != &other) {
        release();
        pool_ = std::exchange(other.pool_, nullptr);
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        mapped_ = std::exchange(other.mapped_, 0);
    }
    return *this;
}

BodyChunk::~BodyChunk() {
    release();
}

void BodyChunk::release() noexcept {
    if (data_ == nullptr)
        return;
    if (mapped_ == 0)
        delete[] data_;
    else if (mapped_ == ChunkPool::kBlock && pool_)
        pool_->give_back(data_);
    else
        munmap(data_, mapped_);
    data_ = nullptr;
    pool_ = nullptr;
}

void prime_heap_thresholds() {
    // Larger than any chunk, so that a chunk's bytes object comes from an arena, as before.
    constexpr size_t kPrime = 384 * 1024;
    if (void *p = std::malloc(kPrime)) {
        static_cast<volatile char *>(p)[0] = 0; // the pair must not be optimized away
        std::free(p);
    }
}

ChunkPool &ChunkPool::shared() {
    static ChunkPool *pool = new ChunkPool();
    return *pool;
}

ChunkPool::~ChunkPool() {
    for (auto &slot : spare_)
        if (uint8_t *block = slot.load(std::memory_order_relaxed))
            munmap(block, kBlock);
}

BodyChunk ChunkPool::copy(const uint8_t *data, size_t len) {
    BodyChunk chunk;
    if (len == 0)
        return chunk;
    if (len < kMapFrom) {
        chunk.data_ = new uint8_t[len];
    } else if (len <= kBlock) {
        for (auto &slot : spare_)
            if ((chunk.data_ = slot.exchange(nullptr, std::memory_order_acquire)))
                break;
        if (chunk.data_ == nullptr)
            chunk.data_ = map_block(kBlock);
        chunk.mapped_ = kBlock;
        chunk.pool_ = this;
    } else {
        chunk.data_ = map_block(len);
        chunk.mapped_ = len;
    }
    std::memcpy(chunk.data_, data, len);
    chunk.size_ = len;
    return chunk;
}

void ChunkPool::give_back(uint8_t *block) noexcept {
    for (auto &slot : spare_) {
        uint8_t *empty = nullptr;
        if (slot.compare_exchange_strong(empty, block, std::memory_order_release))
            return;
    }
    munmap(block, kBlock);
}

} // namespace corvina
