#include "agent/tavoagent.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace {

TEST(RateLimitWait, LastsUntilTheRetryTimeAndNeverWraps) {
    constexpr int64_t now = 1767225600;  // 2026-01-01
    constexpr int64_t max64 = std::numeric_limits<int64_t>::max();
    constexpr int64_t min64 = std::numeric_limits<int64_t>::min();
    const struct {
        int64_t now, retryAfter;
        uint32_t expected;
    } cases[] = {
        {now, now + 30, 30000},
        {now, now + 1, 1000},
        {now, now, 0},
        {now, now - 5, 0},
        {now, 0, 0},
        {now, min64, 0},
        // The last whole second that fits the largest wait, and the first that does not.
        {now, now + 2147483, 2147483000},
        {now, now + 2147484, tavo::kMaxRateLimitWaitMs},
        // Past the 32-bit millisecond range, where a plain product would wrap to a short wait.
        {now, now + 4294968, tavo::kMaxRateLimitWaitMs},
        {now, int64_t{1} << 40, tavo::kMaxRateLimitWaitMs},
        {now, max64, tavo::kMaxRateLimitWaitMs},
        // A clock before 1970 and a far retry time: the difference does not fit 64 signed bits.
        {-10, max64, tavo::kMaxRateLimitWaitMs},
        {min64, max64, tavo::kMaxRateLimitWaitMs},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(tavo::RateLimitWaitMilliseconds(c.now, c.retryAfter), c.expected)
            << c.now << " -> " << c.retryAfter;
    }
}

}  // namespace
