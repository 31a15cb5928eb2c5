#include "TReadRule.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using TClock = TReadRule::TClock;

TCommTimeouts Timeouts(std::uint32_t interval, std::uint32_t multiplier = 0,
                       std::uint32_t constant = 0) {
    TCommTimeouts t;
    t.ReadIntervalTimeout = interval;
    t.ReadTotalTimeoutMultiplier = multiplier;
    t.ReadTotalTimeoutConstant = constant;
    return t;
}

const TClock::time_point T0 = TClock::time_point() + 1h;

TEST(TReadRuleTest, FixedLengthWaitsForTheWholeBlockWhateverTheTiming) {
    TReadRule rule(Timeouts(0), 9, T0);
    EXPECT_FALSE(rule.Deadline());
    rule.Received(5, T0 + 1ms);
    EXPECT_FALSE(rule.Complete(T0 + 1h));
    EXPECT_FALSE(rule.Deadline());
    rule.Received(9, T0 + 2h);
    EXPECT_TRUE(rule.Complete(T0 + 2h));
}

TEST(TReadRuleTest, IntervalCountsOnlyAfterTheFirstByteAndOnlyStrictlyMore) {
    TReadRule rule(Timeouts(20), 2048, T0);
    EXPECT_FALSE(rule.Complete(T0 + 1h)) << "no byte yet: no gap to measure";
    EXPECT_FALSE(rule.Deadline());
    rule.Received(4, T0 + 5ms);
    EXPECT_FALSE(rule.Complete(T0 + 25ms)) << "a gap of exactly the interval goes on";
    EXPECT_TRUE(rule.Complete(T0 + 25ms + 1us));
    ASSERT_TRUE(rule.Deadline());
    EXPECT_GT(*rule.Deadline(), T0 + 25ms);
    EXPECT_LE(*rule.Deadline(), T0 + 25ms + 1us);
    rule.Received(6, T0 + 24ms);
    EXPECT_FALSE(rule.Complete(T0 + 40ms)) << "a new byte restarts the gap";
    EXPECT_TRUE(rule.Complete(T0 + 45ms));
}

TEST(TReadRuleTest, TotalTimeOutEndsAReadEvenEmpty) {
    TReadRule rule(Timeouts(0, 10, 30), 9, T0); // 10 x 9 + 30 = 120 ms
    ASSERT_TRUE(rule.Deadline());
    EXPECT_EQ(*rule.Deadline(), T0 + 120ms);
    EXPECT_FALSE(rule.Complete(T0 + 119ms));
    EXPECT_TRUE(rule.Complete(T0 + 120ms));
}

TEST(TReadRuleTest, EarlierOfGapAndTotalDecides) {
    TReadRule rule(Timeouts(50, 0, 30), 100, T0);
    rule.Received(1, T0 + 10ms);
    EXPECT_EQ(*rule.Deadline(), T0 + 30ms);
    TReadRule gapFirst(Timeouts(5, 0, 300), 100, T0);
    gapFirst.Received(1, T0 + 10ms);
    EXPECT_LT(*gapFirst.Deadline(), T0 + 16ms);
}

TEST(TReadRuleTest, MaximumIntervalWithoutTotalsTakesWhatHasArrived) {
    TReadRule rule(Timeouts(TReadRule::MaxTimeout), 9, T0);
    EXPECT_FALSE(rule.Complete(T0 + 1h)) << "waits for a first byte rather than spinning";
    rule.Received(2, T0 + 1ms);
    EXPECT_TRUE(rule.Complete(T0 + 1ms));
}

TEST(TReadRuleTest, HugeTotalsDoNotOverflowTheClock) {
    TReadRule rule(Timeouts(0, TReadRule::MaxTimeout, TReadRule::MaxTimeout), 65535, T0);
    EXPECT_FALSE(rule.Complete(T0 + 24h * 365));
    TReadRule largeButFine(Timeouts(0, 0, TReadRule::MaxTimeout), 9, T0);
    ASSERT_TRUE(largeButFine.Deadline());
    EXPECT_GT(*largeButFine.Deadline(), T0 + 24h * 49);
}

TEST(TReadRuleTest, RetimeKeepsStartAndBytes) {
    TReadRule rule(Timeouts(0), 9, T0);
    rule.Received(4, T0 + 10ms);
    EXPECT_FALSE(rule.Complete(T0 + 1s));
    rule.Retime(Timeouts(20));
    EXPECT_TRUE(rule.Complete(T0 + 31ms)) << "the gap counts from the last byte";
    rule.Retime(Timeouts(0, 0, 100));
    EXPECT_EQ(*rule.Deadline(), T0 + 100ms) << "the total counts from the start of the read";
}

} // namespace
