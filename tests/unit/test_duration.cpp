#include "lib/duration.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace corvina {
namespace {

Duration split(double v) {
    Duration d;
    EXPECT_TRUE(split_seconds(v, d)) << v;
    return d;
}

TEST(SplitSeconds, RoundsHalfEvenToTheNanosecond) {
    Duration d = split(0.9999999996);
    EXPECT_EQ(d.seconds, 1u);
    EXPECT_EQ(d.nanos, 0u);
    EXPECT_EQ(split(1e-10).nanos, 0u);
    EXPECT_EQ(split(0.0).seconds, 0u);
    EXPECT_EQ(split(2.5).seconds, 2u);
    EXPECT_EQ(split(2.5).nanos, 500000000u);
    EXPECT_EQ(split(0.0015).nanos, 1500000u);
    // Exactly half a nanosecond rounds to even: 2^-31 s is 0.4656... ns, so it gives zero.
    EXPECT_EQ(split(std::ldexp(1.0, -31)).nanos, 0u);
    // 1.5 ns is not exact in binary; the exact double below 1.5e-9 rounds down to 1.
    EXPECT_EQ(split(1.5e-9).nanos, 1u);
    EXPECT_EQ(split(2.5e-9).nanos, 3u); // the double is slightly above 2.5e-9
}

TEST(SplitSeconds, LargeValues) {
    Duration d = split(std::ldexp(1.0, 63));
    EXPECT_EQ(d.seconds, 1ull << 63);
    EXPECT_EQ(d.nanos, 0u);
    Duration out;
    EXPECT_FALSE(split_seconds(std::ldexp(1.0, 64), out));
    EXPECT_TRUE(split_seconds(std::nextafter(std::ldexp(1.0, 64), 0.0), out));
}

TEST(DurationToMs, TruncatesAndSaturates) {
    EXPECT_EQ(duration_to_ms(std::nullopt), 0u);
    EXPECT_EQ(duration_to_ms(Duration{0, 400000}), 0u);
    EXPECT_EQ(duration_to_ms(Duration{0, 1500000}), 1u);
    EXPECT_EQ(duration_to_ms(Duration{2, 500000000}), 2500u);
    EXPECT_EQ(duration_to_ms(Duration{std::numeric_limits<uint64_t>::max(), 0}),
              std::numeric_limits<uint64_t>::max());
    constexpr uint64_t kTop = std::numeric_limits<uint64_t>::max() / 1000;
    EXPECT_EQ(duration_to_ms(Duration{kTop, 999999999}), std::numeric_limits<uint64_t>::max());
    EXPECT_EQ(duration_to_ms(Duration{kTop - 1, 999999999}), (kTop - 1) * 1000 + 999);
}

} // namespace
} // namespace corvina
