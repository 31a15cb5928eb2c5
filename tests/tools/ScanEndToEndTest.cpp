// The scan against the transmitter simulator, whose slaves are locked to their line
// settings as real ones are: found where they are, nowhere else, and not at all when the
// probe's wait leaves them no time.
#include "TBusScan.h"
#include "TScanRecorder.h"
#include "TSimulatorChild.h"
#include "TransmitterModel.h"

#include "TNoticeQueue.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

constexpr auto Patience = 60s; // upper bound of every wait; reached only on failure

TScanRecorder Scan(const TScanPlan& plan) {
    TManualNoticeQueue queue;
    TBusScan scan(queue);
    TScanRecorder recorder;
    EXPECT_TRUE(scan.Start(plan, recorder));
    EXPECT_TRUE(queue.RunUntil([&] { return recorder.End.has_value(); }, Patience));
    return recorder;
}

TScanPlan PlanFor(const std::string& port) {
    TScanPlan plan;
    plan.CommName = port;
    plan.From = 1;
    plan.To = 5;
    plan.BaudRates = {9600, 19200};
    plan.Parities = {TLineParity::None, TLineParity::Even};
    plan.Turnaround = 150ms; // room for a busy machine
    return plan;
}

// Slave 2 at 19200 8E1 and slave 4 at 9600 8N1 (both in the middle of the range, so that
// no change of setting follows their probes at once); at the other three settings each
// answers garbage.
TEST(ScanEndToEndTest, EachDeviceIsFoundAtItsRateAndParityOnly) {
    TSimulatorChild sim({"--slaves", "2-4", "--freeze", "--line", "19200:E:1@2", "--line",
                         "9600:N:1@4", "--line", "1200:O:2@3"});
    ASSERT_FALSE(sim.Path.empty()) << sim.Process.Stderr();
    const TScanRecorder result = Scan(PlanFor(sim.Path));
    ASSERT_TRUE(result.End.has_value());
    EXPECT_EQ(result.End->Outcome, TScanOutcome::Completed);
    EXPECT_EQ(result.End->Probes, 20U);
    ASSERT_EQ(result.Found.size(), 2U);
    const struct {
        std::int32_t Slave;
        std::int32_t Rate;
        TLineParity Parity;
    } expected[] = {{4, 9600, TLineParity::None}, {2, 19200, TLineParity::Even}};
    for (std::size_t i = 0; i < 2; ++i) {
        const TScanFind& find = result.Found[i];
        EXPECT_EQ(find.Slave, expected[i].Slave);
        EXPECT_EQ(find.BaudRate, expected[i].Rate);
        EXPECT_EQ(find.Parity, expected[i].Parity);
        EXPECT_EQ(find.StopBits, 1);
        // Register 0 is the high half of the slave's first value.
        EXPECT_EQ(find.Value,
                  static_cast<std::uint16_t>(
                      static_cast<std::uint32_t>(SimulatedValue(find.Slave, 0, 0)) >> 16));
    }
    EXPECT_TRUE(result.Lines.empty()) << result.Lines.front();
    const std::optional<TSimSummary> summary = sim.Stop();
    ASSERT_TRUE(summary.has_value());
    // Slaves 2 and 4 at three settings each, and slave 3 at all four, answered garbage,
    // which nothing took for a device.
    EXPECT_EQ(summary->Total("garbled_replies"), 3 + 3 + 4);
}

TEST(ScanEndToEndTest, NothingIsFoundOnAnEmptyLine) {
    TSimulatorChild sim({"--slaves", "200"});
    ASSERT_FALSE(sim.Path.empty()) << sim.Process.Stderr();
    TScanPlan plan = PlanFor(sim.Path);
    plan.Turnaround = 30ms;
    const auto start = std::chrono::steady_clock::now();
    const TScanRecorder result = Scan(plan);
    const auto took = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(result.End.has_value());
    EXPECT_EQ(result.End->Outcome, TScanOutcome::Completed);
    EXPECT_TRUE(result.Found.empty());
    // Every probe waited its time out (a lower bound: a busy machine is only slower).
    std::chrono::milliseconds waits{0};
    for (const std::int32_t rate : plan.BaudRates)
        for (const TLineParity parity : plan.Parities)
            waits += 5 * ProbeTimeout(rate, parity, 1, 30ms);
    EXPECT_GE(took, waits);
}

// A slave that answers within the allowance is found; one that answers later is not, and
// its late reply is not taken for the next address's.
TEST(ScanEndToEndTest, TheAllowanceDecidesWhoIsHeard) {
    TSimulatorChild sim({"--slaves", "2-3", "--turnaround", "60", "--baud", "19200"});
    ASSERT_FALSE(sim.Path.empty()) << sim.Process.Stderr();
    TScanPlan plan = PlanFor(sim.Path);
    plan.BaudRates = {19200};
    plan.Parities = {TLineParity::None};
    plan.Turnaround = 250ms;
    EXPECT_EQ(Scan(plan).Found.size(), 2U);
    plan.Turnaround = 20ms;
    EXPECT_TRUE(Scan(plan).Found.empty());
}

// At 300 baud a one-register reply takes 233 ms on the line: one that begins 100 ms before
// the wait runs out (15 characters, 500 ms, no allowance) is read to its end.
TEST(ScanEndToEndTest, AReplyThatBeganInTimeIsReadToItsEnd) {
    TSimulatorChild sim({"--slaves", "2", "--turnaround", "400", "--baud", "300"});
    ASSERT_FALSE(sim.Path.empty()) << sim.Process.Stderr();
    TScanPlan plan = PlanFor(sim.Path);
    plan.From = plan.To = 2;
    plan.BaudRates = {300};
    plan.Parities = {TLineParity::None};
    plan.Turnaround = 0ms;
    ASSERT_EQ(ProbeTimeout(300, TLineParity::None, 1, 0ms), 500ms);
    const TScanRecorder result = Scan(plan);
    ASSERT_EQ(result.Found.size(), 1U);
    EXPECT_GT(result.Found[0].ResponseMs, 500.0);
}

} // namespace
