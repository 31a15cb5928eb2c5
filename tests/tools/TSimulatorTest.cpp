#include "TSimulator.h"

#include "TSimSummary.h"
#include "TransmitterModel.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

std::vector<std::uint8_t> Stream(const std::vector<TFrame8>& frames) {
    std::vector<std::uint8_t> bytes;
    for (const TFrame8& frame : frames)
        bytes.insert(bytes.end(), frame.begin(), frame.end());
    return bytes;
}

TSimConfig FaultyConfig(std::uint64_t seed) {
    TSimConfig config;
    config.range = {2, 6};
    config.seed = seed;
    config.rates[TFaultKind::BadCrc] = 0.1;
    config.rates[TFaultKind::WrongSlave] = 0.1;
    config.rates[TFaultKind::Truncated] = 0.1;
    config.rates[TFaultKind::ExtraBytes] = 0.1;
    config.rates[TFaultKind::Late] = 0.1;
    config.rates[TFaultKind::NoReply] = 0.1;
    config.rates[TFaultKind::Exception] = 0.1;
    config.rates[TFaultKind::DamagedSlave] = 0.05;
    config.rates.noise = 0.3;
    config.turnaround = 3ms;
    config.lateDelay = 600ms;
    config.noiseGap = 40ms;
    return config;
}

// A master's traffic: reads of every slave 1 to 7 (1 and 7 outside the range), a coil
// command now and then.
std::vector<TFrame8> Traffic(int cycles) {
    std::vector<TFrame8> frames;
    for (int cycle = 0; cycle < cycles; ++cycle)
        for (int slave = 1; slave <= 7; ++slave) {
            frames.push_back(BuildReadRequest(slave, 0, 4));
            if (cycle % 5 == 0 && slave == 3)
                frames.push_back(BuildCoilCommand(slave, TCoilAction::UnZero));
        }
    return frames;
}

// A slave locked to its line answers a master that set the line otherwise with garbage of
// its reply's length, which no check takes for a reply.
TEST(TSimulatorTest, ASlaveAnswersOnlyTheLineItIsLockedTo) {
    TSimConfig config;
    config.range = {1, 2};
    config.line = {9600, 'E', 1};
    config.lines = {{{2, 2}, {0, 'N', 2}}};
    const struct {
        int Slave;
        TSimLine Seen;
        bool Garbled;
    } cases[] = {{1, {9600, 'E', 1}, false}, {1, {19200, 'E', 1}, true},
                 {1, {9600, 'N', 1}, true},  {1, {9600, 'E', 2}, true},
                 {2, {1200, 'N', 2}, false}, {2, {115200, 'N', 2}, false},
                 {2, {1200, 'O', 2}, true}};
    TSimulator simulator(config);
    int garbled = 0;
    for (const auto& c : cases) {
        const TFrame8 request = BuildReadRequest(c.Slave, 0, 1);
        const auto plans = simulator.OnReceived(request, 0, c.Seen);
        ASSERT_EQ(plans.size(), 1U);
        EXPECT_EQ(plans[0].garbled, c.Garbled) << c.Slave << ' ' << c.Seen.baud;
        EXPECT_EQ(plans[0].reply.size(), 7U);
        EXPECT_EQ(plans[0].baud, c.Slave == 1 ? 9600 : 0) << "sent at the slave's own rate";
        EXPECT_EQ(CheckReadReply(plans[0].reply, 1, c.Slave, ReadHoldingRegisters) ==
                      TReplyCheck::Good,
                  !c.Garbled);
        simulator.OnPlanDone(plans[0], true);
        garbled += c.Garbled ? 1 : 0;
    }
    EXPECT_EQ(simulator.Counters().Totals().garbledReplies, static_cast<std::uint64_t>(garbled));
    // A line that is not looked at is not held against anyone.
    EXPECT_FALSE(simulator.OnReceived(BuildReadRequest(1, 0, 1), 0)[0].garbled);
}

TEST(TSimulatorTest, PlansGoodRepliesForTheRangeAndCountsTheRest) {
    TSimConfig config;
    config.range = {1, 3};
    config.turnaround = 12ms;
    TSimulator simulator(config);
    const std::vector<TFrame8> frames{BuildReadRequest(1, 0, 4), BuildReadRequest(4, 0, 4),
                                      BuildCoilCommand(3, TCoilAction::Zero),
                                      BuildReadRequest(2, 0, 200)};
    const auto plans = simulator.OnReceived(Stream(frames), 2500);
    ASSERT_EQ(plans.size(), 3U);

    std::vector<std::int32_t> values;
    ASSERT_EQ(CheckReadReply(plans[0].reply, 4, 1, values), TReplyCheck::Good);
    EXPECT_EQ(values,
              (std::vector<std::int32_t>{SimulatedValue(1, 0, 2500), SimulatedValue(1, 1, 2500)}));
    EXPECT_TRUE(IsCoilEcho(plans[1].reply, frames[2]));
    EXPECT_EQ(plans[2].answer, TAnswerKind::Exception);
    for (const TReplyPlan& plan : plans) {
        EXPECT_EQ(plan.delay, 12ms);
        EXPECT_TRUE(plan.noise.empty());
        EXPECT_EQ(plan.decision.kind, TFaultKind::None);
        simulator.OnPlanDone(plan, true);
    }

    const TSimCounters& counters = simulator.Counters();
    EXPECT_EQ(counters.IgnoredRequests(), 1U);
    EXPECT_EQ(counters.ReceivedBytes(), 32U);
    const TSimCounts totals = counters.Totals();
    EXPECT_EQ(totals.readRequests, 2U);
    EXPECT_EQ(totals.coilRequests, 1U);
    EXPECT_EQ(totals.repliedGoodReads, 1U);
    EXPECT_EQ(totals.repliedGoodCoils, 1U);
    EXPECT_EQ(totals.repliedException, 1U);
    EXPECT_EQ(counters.PerSlave().count(4), 0U) << "slaves outside the range are not listed";
}

TEST(TSimulatorTest, TheSameSeedAndTrafficGiveTheSamePlans) {
    const auto traffic = Stream(Traffic(30));
    TSimulator first(FaultyConfig(77));
    TSimulator second(FaultyConfig(77));
    TSimulator other(FaultyConfig(78));
    // The second one gets the bytes in awkward pieces: framing must not change decisions.
    const auto plansA = first.OnReceived(traffic, 0);
    std::vector<TReplyPlan> plansB;
    for (std::size_t at = 0; at < traffic.size(); at += 5) {
        const std::size_t size = std::min<std::size_t>(5, traffic.size() - at);
        auto some = second.OnReceived(TByteSpan(traffic.data() + at, size), 0);
        plansB.insert(plansB.end(), some.begin(), some.end());
    }
    const auto plansC = other.OnReceived(traffic, 0);
    ASSERT_EQ(plansA.size(), plansB.size());
    ASSERT_EQ(plansA.size(), plansC.size());
    int differences = 0;
    for (std::size_t i = 0; i < plansA.size(); ++i) {
        EXPECT_EQ(plansA[i].request, plansB[i].request);
        EXPECT_EQ(plansA[i].decision.kind, plansB[i].decision.kind);
        EXPECT_EQ(plansA[i].noise, plansB[i].noise);
        EXPECT_EQ(plansA[i].reply, plansB[i].reply);
        EXPECT_EQ(plansA[i].delay, plansB[i].delay);
        differences += plansA[i].reply != plansC[i].reply ? 1 : 0;
    }
    EXPECT_GT(differences, 0);
}

TEST(TSimulatorTest, PlansCarryTheirFaultsDelaysAndNoise) {
    const TSimConfig config = FaultyConfig(3);
    TSimulator simulator(config);
    const auto plans = simulator.OnReceived(Stream(Traffic(40)), 0);
    std::map<TFaultKind, int> kinds;
    for (const TReplyPlan& plan : plans) {
        ++kinds[plan.decision.kind];
        EXPECT_EQ(plan.delay,
                  plan.decision.kind == TFaultKind::Late ? config.lateDelay : config.turnaround);
        EXPECT_EQ(plan.noise.empty(), !plan.decision.noise);
        EXPECT_EQ(plan.noiseGap, plan.noise.empty() ? 0ms : config.noiseGap);
        EXPECT_EQ(plan.reply.empty(), plan.decision.kind == TFaultKind::NoReply);
    }
    for (const TFaultKind kind : FaultKinds)
        EXPECT_GT(kinds[kind], 0) << FaultName(kind) << " never came in " << plans.size();
}

TEST(TSimulatorTest, FaultsOnReadsOnlySparesCoilEchoesButKeepsTheSequence) {
    TSimConfig spared = FaultyConfig(5);
    spared.faultsOnReadsOnly = true;
    TSimulator simulator(spared);
    TSimulator plain(FaultyConfig(5));
    const auto traffic = Stream(Traffic(40));
    const auto plans = simulator.OnReceived(traffic, 0);
    const auto plainPlans = plain.OnReceived(traffic, 0);
    ASSERT_EQ(plans.size(), plainPlans.size());
    int coils = 0;
    for (std::size_t i = 0; i < plans.size(); ++i) {
        if (plans[i].answer == TAnswerKind::CoilEcho) {
            ++coils;
            EXPECT_EQ(plans[i].decision.kind, TFaultKind::None);
            EXPECT_TRUE(plans[i].noise.empty());
            EXPECT_TRUE(IsCoilEcho(plans[i].reply, plans[i].request));
        } else {
            EXPECT_EQ(plans[i].reply, plainPlans[i].reply);
        }
    }
    EXPECT_GT(coils, 0);
}

TEST(TSimulatorTest, SummaryAddsUpWithWhatWasPlannedAndSent) {
    TSimulator simulator(FaultyConfig(21));
    std::vector<std::uint8_t> traffic{0x42, 0x17}; // noise in front of the first request
    const auto requests = Stream(Traffic(25));
    traffic.insert(traffic.end(), requests.begin(), requests.end());
    traffic.push_back(0x01); // the start of a request that never completes
    const auto plans = simulator.OnReceived(traffic, 0);

    std::map<std::string, std::int64_t> expected;
    std::map<int, std::int64_t> readsPerSlave;
    std::size_t sent = 0;
    for (std::size_t i = 0; i < plans.size(); ++i) {
        const TReplyPlan& plan = plans[i];
        const bool completed = i + 1 < plans.size(); // the last one is cut short
        simulator.OnPlanDone(plan, completed);
        if (plan.answer == TAnswerKind::ReadReply)
            ++readsPerSlave[plan.Slave()];
        if (!completed) {
            ++expected["aborted_replies"];
            continue;
        }
        sent += plan.noise.size() + plan.reply.size();
        if (plan.decision.noise)
            ++expected["injected_noise"];
        if (plan.decision.kind != TFaultKind::None)
            ++expected["injected_" + std::string(FaultName(plan.decision.kind))];
        else if (plan.answer == TAnswerKind::ReadReply)
            ++expected["replied_good_reads"];
        else if (plan.answer == TAnswerKind::CoilEcho)
            ++expected["replied_good_coils"];
    }
    simulator.OnSent(sent);

    const TSimSummary summary = TSimSummary::Parse(simulator.Summary());
    for (const TFaultKind kind : FaultKinds) {
        const std::string key = "injected_" + std::string(FaultName(kind));
        EXPECT_EQ(summary.Total(key), expected[key]) << key;
    }
    for (const std::string key :
         {"injected_noise", "aborted_replies", "replied_good_reads", "replied_good_coils"})
        EXPECT_EQ(summary.Total(key), expected[key]) << key;
    EXPECT_EQ(summary.Total("replied_good"),
              expected["replied_good_reads"] + expected["replied_good_coils"]);
    EXPECT_EQ(summary.Total("received_bytes"), static_cast<std::int64_t>(traffic.size()));
    EXPECT_EQ(summary.Total("discarded_bytes"), 2);
    EXPECT_EQ(summary.Total("unframed_bytes"), 1);
    EXPECT_EQ(summary.Total("sent_bytes"), static_cast<std::int64_t>(sent));
    EXPECT_EQ(summary.Total("received_requests"), static_cast<std::int64_t>(requests.size() / 8));
    EXPECT_EQ(summary.Total("ignored_requests") + summary.Total("read_requests") +
                  summary.Total("coil_requests") + summary.Total("other_requests"),
              summary.Total("received_requests"));

    // Per slave: only the range, and the slave lines add up to the totals.
    EXPECT_EQ(summary.Slaves().size(), 5U);
    std::map<std::string, std::int64_t> sums;
    for (const auto& [slave, figures] : summary.Slaves()) {
        EXPECT_EQ(figures.at("read_requests"), readsPerSlave[slave]) << "slave " << slave;
        for (const auto& [key, value] : figures)
            sums[key] += value;
    }
    for (const auto& [key, value] : sums)
        EXPECT_EQ(value, summary.Total(key)) << key;
}

} // namespace
