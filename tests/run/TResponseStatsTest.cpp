#include "TResponseStats.h"

#include <gtest/gtest.h>

#include <vector>

using std::chrono::microseconds;

namespace {

TResponseStats Recorded(const std::vector<std::int64_t>& samples) {
    TResponseStats stats;
    for (const std::int64_t us : samples)
        stats.Record(microseconds(us));
    return stats;
}

} // namespace

TEST(TResponseStats, NothingBeforeTheFirstSample) {
    const TResponseStats stats;
    EXPECT_EQ(stats.Count(), 0U);
    EXPECT_FALSE(stats.MinUs());
    EXPECT_FALSE(stats.MeanUs());
    EXPECT_FALSE(stats.P99Us());
    EXPECT_FALSE(stats.MaxUs());
    EXPECT_EQ(ResponseTimesText(stats, 1), "");
}

// Min, mean and max are exact; p99 is the upper edge of its bucket, never above the maximum.
TEST(TResponseStats, Figures) {
    struct TCase {
        std::vector<std::int64_t> Samples;
        std::int64_t Min;
        double Mean;
        std::int64_t P99;
        std::int64_t Max;
    };
    std::vector<std::int64_t> oneToHundred;
    for (int i = 1; i <= 100; ++i)
        oneToHundred.push_back(i);
    // 99 fast replies at 4100 us and one slow one at 6000 us: p99 is in the fast bucket.
    std::vector<std::int64_t> fastAndOneSlow(99, 4100);
    fastAndOneSlow.push_back(6000);
    const TCase cases[] = {
        {{5}, 5, 5.0, 5, 5},
        {oneToHundred, 1, 50.5, 99, 100},
        {fastAndOneSlow, 4100, (99 * 4100 + 6000) / 100.0, 4159, 6000},
        {{1000, 3000}, 1000, 2000.0, 3000, 3000},
        {{-7, 0}, 0, 0.0, 0, 0}, // a clock that went back counts as 0
    };
    for (const TCase& c : cases) {
        const TResponseStats stats = Recorded(c.Samples);
        EXPECT_EQ(stats.Count(), c.Samples.size());
        EXPECT_EQ(*stats.MinUs(), c.Min);
        EXPECT_DOUBLE_EQ(*stats.MeanUs(), c.Mean);
        EXPECT_EQ(*stats.P99Us(), c.P99);
        EXPECT_EQ(*stats.MaxUs(), c.Max);
    }
}

// Every bucket holds its own values only, is at most 1/64 of its value wide, and the buckets
// cover the range without gaps; samples beyond the last bucket land in it.
TEST(TResponseStats, BucketsAreNarrowAndContiguous) {
    std::int64_t lower = 0;
    for (std::size_t bucket = 0; bucket < TResponseStats::BucketCount; ++bucket) {
        const std::int64_t upper = TResponseStats::BucketUpperUs(bucket);
        ASSERT_EQ(TResponseStats::BucketOf(lower), bucket);
        ASSERT_EQ(TResponseStats::BucketOf(upper), bucket);
        ASSERT_LE(upper - lower + 1, std::max<std::int64_t>(1, lower / 64)) << bucket;
        lower = upper + 1;
    }
    EXPECT_EQ(TResponseStats::BucketOf(lower * 10), TResponseStats::BucketCount - 1);
}

// The memory stays fixed however many samples come; the percentile stays within a bucket.
TEST(TResponseStats, ManySamplesStayWithinOneBucket) {
    TResponseStats stats;
    for (int i = 0; i < 1'000'000; ++i)
        stats.Record(microseconds(1000 + i % 9000)); // uniform over 1 to 10 ms
    const std::int64_t exact = 1000 + 8910 - 1;      // the 990,000th smallest sample
    EXPECT_GE(*stats.P99Us(), exact);
    EXPECT_LE(*stats.P99Us(), exact + exact / 64);
    EXPECT_GE(*stats.PercentileUs(0), 1000); // the upper edge of the first sample's bucket
    EXPECT_LE(*stats.PercentileUs(0), 1000 + 1000 / 64);
    EXPECT_EQ(*stats.PercentileUs(100), 9999);
}

TEST(TResponseStats, TextInMilliseconds) {
    const TResponseStats stats = Recorded({4100, 4300, 4500, 6000});
    EXPECT_EQ(ResponseTimesText(stats, 1), "4.1 / 4.7 / 6.0 / 6.0");
    EXPECT_EQ(ResponseTimesText(stats, 3), "4.100 / 4.725 / 6.000 / 6.000");
}
