#include "TReadRule.h"

#include <gtest/gtest.h>

#include <array>
#include <span>
#include <string_view>

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

/// The first `count` bytes of a block whose content does not matter.
std::span<const char> Zeros(std::size_t count) {
    static const std::array<char, 64> zeros{};
    return std::span<const char>(zeros).first(count);
}

/// Whole when it has five bytes and the second has its top bit set: the shape
/// of a Modbus exception reply, shorter than the blocks being cut.
bool ShortFrame(const char* data, std::size_t count) {
    return count == 5 && (static_cast<unsigned char>(data[1]) & 0x80) != 0;
}

TEST(TReadRuleTest, FixedLengthWaitsForTheWholeBlockWhateverTheTiming) {
    TReadRule rule(Timeouts(0), 9, T0);
    EXPECT_FALSE(rule.Deadline());
    rule.Received(Zeros(5), T0 + 1ms);
    EXPECT_FALSE(rule.Complete(T0 + 1h));
    EXPECT_FALSE(rule.Deadline());
    rule.Received(Zeros(9), T0 + 2h);
    EXPECT_TRUE(rule.Complete(T0 + 2h));
}

TEST(TReadRuleTest, IntervalCountsOnlyAfterTheFirstByteAndOnlyStrictlyMore) {
    TReadRule rule(Timeouts(20), 2048, T0);
    EXPECT_FALSE(rule.Complete(T0 + 1h)) << "no byte yet: no gap to measure";
    EXPECT_FALSE(rule.Deadline());
    rule.Received(Zeros(4), T0 + 5ms);
    EXPECT_FALSE(rule.Complete(T0 + 25ms)) << "a gap of exactly the interval goes on";
    EXPECT_TRUE(rule.Complete(T0 + 25ms + 1us));
    ASSERT_TRUE(rule.Deadline());
    EXPECT_GT(*rule.Deadline(), T0 + 25ms);
    EXPECT_LE(*rule.Deadline(), T0 + 25ms + 1us);
    rule.Received(Zeros(6), T0 + 24ms);
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
    rule.Received(Zeros(1), T0 + 10ms);
    EXPECT_EQ(*rule.Deadline(), T0 + 30ms);
    TReadRule gapFirst(Timeouts(5, 0, 300), 100, T0);
    gapFirst.Received(Zeros(1), T0 + 10ms);
    EXPECT_LT(*gapFirst.Deadline(), T0 + 16ms);
}

TEST(TReadRuleTest, MaximumIntervalWithoutTotalsTakesWhatHasArrived) {
    TReadRule rule(Timeouts(TReadRule::MaxTimeout), 9, T0);
    EXPECT_FALSE(rule.Complete(T0 + 1h)) << "waits for a first byte rather than spinning";
    rule.Received(Zeros(2), T0 + 1ms);
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
    rule.Received(Zeros(4), T0 + 10ms);
    EXPECT_FALSE(rule.Complete(T0 + 1s));
    rule.Retime(Timeouts(20));
    EXPECT_TRUE(rule.Complete(T0 + 31ms)) << "the gap counts from the last byte";
    rule.Retime(Timeouts(0, 0, 100));
    EXPECT_EQ(*rule.Deadline(), T0 + 100ms) << "the total counts from the start of the read";
}

// The bytes come in two chunks, two and the rest; the rule is asked about the
// whole block so far each time. "At once": complete when the last byte comes;
// "much later": an hour on, with no further byte.
TEST(TReadRuleTest, AnEndRuleEndsABlockOnlyWhenItHolds) {
    struct TCase {
        const char* What;
        std::uint32_t Interval;
        std::size_t BlockLength;
        TBlockEndRule EndRule;
        std::string_view Bytes;
        bool AtOnce;
        bool MuchLater;
    };
    const std::string_view exception("\x01\x83\x02\xC0\xF1", 5);
    const std::string_view readStart("\x01\x03\x04\x00\x01", 5);
    const TCase cases[] = {
        {"rule off: fixed length waits", 0, 9, nullptr, exception, false, false},
        {"rule holds at 5 of 9", 0, 9, ShortFrame, exception, true, true},
        {"rule does not hold: fixed length waits", 0, 9, ShortFrame, readStart, false, false},
        {"rule holds before the gap", 20, 2048, ShortFrame, exception, true, true},
        {"rule does not hold: the gap ends it", 20, 2048, ShortFrame, readStart, false, true},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.What);
        TReadRule rule(Timeouts(c.Interval), c.BlockLength, T0);
        rule.Received(c.Bytes.substr(0, 2), T0 + 1ms, c.EndRule);
        EXPECT_FALSE(rule.Complete(T0 + 1ms));
        rule.Received(c.Bytes, T0 + 2ms, c.EndRule);
        EXPECT_EQ(rule.Complete(T0 + 2ms), c.AtOnce);
        EXPECT_EQ(rule.EndedByBytes(), c.AtOnce);
        EXPECT_EQ(rule.Complete(T0 + 1h), c.MuchLater);
    }
}

} // namespace
