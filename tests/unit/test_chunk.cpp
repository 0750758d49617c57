#include "request/chunk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <vector>

namespace corvina {
namespace {

std::vector<uint8_t> pattern(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(i * 7 + 3);
    return v;
}

bool holds(const BodyChunk &c, const std::vector<uint8_t> &v) {
    return c.size() == v.size() && (v.empty() || std::equal(v.begin(), v.end(), c.data()));
}

// Heap, pooled and oversized chunks each hold an exact copy, also after moves.
TEST(ChunkPool, EveryKindOfChunkHoldsItsBytes) {
    ChunkPool pool;
    std::vector<BodyChunk> chunks;
    std::vector<std::vector<uint8_t>> want;
    for (size_t n : {size_t{0}, size_t{1}, ChunkPool::kMapFrom - 1, ChunkPool::kMapFrom,
                     ChunkPool::kBlock, ChunkPool::kBlock + 1, size_t{3} << 20}) {
        want.push_back(pattern(n));
        chunks.push_back(pool.copy(want.back().data(), n));
    }
    std::vector<BodyChunk> moved(std::make_move_iterator(chunks.begin()),
                                 std::make_move_iterator(chunks.end()));
    for (size_t i = 0; i < want.size(); ++i)
        EXPECT_TRUE(holds(moved[i], want[i])) << want[i].size();
    moved[3] = std::move(moved[4]);
    EXPECT_TRUE(holds(moved[3], want[4]));
}

TEST(ChunkPool, DroppedBlocksServeTheNextChunks) {
    ChunkPool pool;
    auto data = pattern(ChunkPool::kBlock);
    const uint8_t *first;
    {
        BodyChunk a = pool.copy(data.data(), 200000);
        first = a.data();
    }
    BodyChunk b = pool.copy(data.data(), ChunkPool::kBlock);
    EXPECT_EQ(b.data(), first);
    EXPECT_TRUE(holds(b, data));
}

} // namespace
} // namespace corvina
