#include "TransmitterModel.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>

namespace {

TEST(TransmitterModelTest, RegisterPairsCarryTheValueHighHalfFirst) {
    for (const int slave : {1, 7, 254, 255})
        for (const int index : {0, 1, 2, 3, 10, 61, 32767})
            for (const std::int64_t ms : {0LL, 1234LL, 98765LL}) {
                const std::uint32_t high = SimulatedRegister(slave, 2 * index, ms);
                const std::uint32_t low = SimulatedRegister(slave, 2 * index + 1, ms);
                EXPECT_EQ(static_cast<std::int32_t>((high << 16) | low),
                          SimulatedValue(slave, index, ms))
                    << "slave " << slave << " index " << index << " at " << ms << " ms";
            }
}

TEST(TransmitterModelTest, RampStepsEveryTenthOfASecondAndSlavesDiffer) {
    const std::int32_t start = SimulatedValue(3, 0, 5000);
    EXPECT_EQ(SimulatedValue(3, 0, 5099), start);
    EXPECT_EQ(SimulatedValue(3, 0, 5100), start + 1);
    EXPECT_EQ(SimulatedValue(3, 0, 6000), start + 10);
    EXPECT_NE(SimulatedValue(4, 0, 5000), start);
}

TEST(TransmitterModelTest, SineStaysWithinItsAmplitudeAndSwingsBothWays) {
    std::int32_t lowest = 0;
    std::int32_t highest = 0;
    std::set<std::int32_t> seen;
    for (std::int64_t ms = 0; ms < 10000; ms += 50) {
        const std::int32_t value = SimulatedValue(2, 1, ms);
        lowest = std::min(lowest, value);
        highest = std::max(highest, value);
        seen.insert(value);
    }
    EXPECT_GE(lowest, -10000);
    EXPECT_LE(highest, 10000);
    EXPECT_LT(lowest, -9000);
    EXPECT_GT(highest, 9000);
    EXPECT_GT(seen.size(), 100U);
    EXPECT_NE(SimulatedValue(1, 1, 0), SimulatedValue(2, 1, 0)) << "slaves have their own phase";
}

TEST(TransmitterModelTest, HigherValuesMoveAndIncludeNegativeNumbers) {
    for (int index = 2; index < 12; ++index) {
        EXPECT_NE(SimulatedValue(5, index, 0), SimulatedValue(5, index, 2500)) << index;
        if (index % 2 == 0) {
            EXPECT_LT(SimulatedValue(5, index, 0), 0) << index;
        }
    }
    EXPECT_EQ(SimulatedValue(5, 0, -100), SimulatedValue(5, 0, 0)) << "time before start";
}

} // namespace
