// Runs the simulator executable as a child process and plays the master on its
// pseudo-terminal with plain termios.
#include "TChildProcess.h"
#include "TRawLine.h"
#include "TSimOptions.h"
#include "TSimulator.h"
#include "TSimulatorChild.h"
#include "TransmitterModel.h"

#include <gtest/gtest.h>

#include <climits>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

/// A temporary directory, removed with everything in it.
class TTempDir {
public:
    TTempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "qmsimXXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TTempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& Path() const { return path_; }

private:
    std::filesystem::path path_;
};

/// Stops `sim` with `signal`, expecting a clean exit, and returns its summary.
TSimSummary StopCleanly(TSimulatorChild& sim, int signal = SIGTERM) {
    const std::optional<TSimSummary> summary = sim.Stop(signal);
    EXPECT_TRUE(summary.has_value()) << sim.Process.Stderr();
    return summary.value_or(TSimSummary{});
}

TEST(TransmitterSimEndToEndTest, AnswersItsRangeEchoesCoilsAndIgnoresOtherAddresses) {
    TTempDir dir;
    const std::string link = (dir.Path() / "ttyQM0").string();
    TSimulatorChild sim({"--slaves", "2-4", "--freeze", "--link", link});
    ASSERT_FALSE(sim.Path.empty()) << sim.Process.Stderr();
    ASSERT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(std::filesystem::read_symlink(link).string(), sim.Path);

    // Open through the link, as a master configured with it would.
    TRawLine line(link);
    for (const int slave : {2, 3, 4}) {
        line.Write(BuildReadRequest(slave, 0, 6));
        const auto reply = line.Read(17, 3s);
        std::vector<std::int32_t> values;
        ASSERT_EQ(CheckReadReply(reply, 6, slave, values), TReplyCheck::Good) << HexText(reply);
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(values[static_cast<std::size_t>(i)], SimulatedValue(slave, i, 0));
    }
    for (const int slave : {1, 5}) {
        line.Write(BuildReadRequest(slave, 0, 2));
        EXPECT_TRUE(line.Read(1, 300ms).empty()) << "slave " << slave << " is not simulated";
    }
    for (const TCoilAction action : {TCoilAction::Zero, TCoilAction::UnZero}) {
        const TFrame8 command = BuildCoilCommand(3, action);
        line.Write(command);
        EXPECT_TRUE(IsCoilEcho(line.Read(8, 3s), command));
    }

    const TSimSummary summary = StopCleanly(sim, SIGINT);
    EXPECT_EQ(summary.Total("received_requests"), 7);
    EXPECT_EQ(summary.Total("ignored_requests"), 2);
    EXPECT_EQ(summary.Total("read_requests"), 3);
    EXPECT_EQ(summary.Total("replied_good_reads"), 3);
    EXPECT_EQ(summary.Total("replied_good_coils"), 2);
    EXPECT_EQ(summary.Total("replied_good"), 5);
    EXPECT_EQ(summary.Total("received_bytes"), 7 * 8);
    EXPECT_EQ(summary.Total("sent_bytes"), 3 * 17 + 2 * 8);
    EXPECT_EQ(summary.Slave(3, "coil_requests"), 2);
    EXPECT_EQ(summary.Slave(4, "read_requests"), 1);
    EXPECT_EQ(summary.Slaves().size(), 3U);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)))
        << "the link is removed on exit";
}

TEST(TransmitterSimEndToEndTest, ValuesChangeWhileRunningAndSurviveTheMasterReopening) {
    TSimulatorChild sim({"--slaves", "1"});
    ASSERT_FALSE(sim.Path.empty()) << sim.Process.Stderr();
    std::vector<std::int32_t> first;
    std::vector<std::int32_t> second;
    {
        TRawLine line(sim.Path);
        line.Write(BuildReadRequest(1, 0, 4));
        ASSERT_EQ(CheckReadReply(line.Read(13, 3s), 4, 1, first), TReplyCheck::Good);
    }
    std::this_thread::sleep_for(400ms);
    {
        // A master that closed the port and opens it again finds the line as before.
        TRawLine line(sim.Path);
        line.Write(BuildReadRequest(1, 0, 4));
        ASSERT_EQ(CheckReadReply(line.Read(13, 3s), 4, 1, second), TReplyCheck::Good);
    }
    EXPECT_GE(second[0] - first[0], 3) << "the ramp steps every 100 ms";
    EXPECT_NE(second[1], first[1]) << "the sine moves";
    StopCleanly(sim);
}

// The test predicts every reply with an in-process simulator built from the same command
// line, then holds the child's bytes and summary against the prediction.
TEST(TransmitterSimEndToEndTest, FaultsFollowTheSeedAndTheSummaryCountsThem) {
    const std::vector<std::string> args{"--slaves", "1-4",         "--freeze", "--seed",
                                        "2024",     "--bad-crc",   "0.1",      "--wrong-slave",
                                        "0.1",      "--truncated", "0.1",      "--extra-bytes",
                                        "0.1",      "--late",      "0.05",     "--no-reply",
                                        "0.1",      "--exception", "0.1",      "--damaged-slave",
                                        "0.05",     "--noise",     "0.25",     "--late-delay",
                                        "300",      "--noise-gap", "5"};
    const TSimOptionsResult parsed = ParseSimOptions(args);
    ASSERT_TRUE(parsed.options.has_value()) << parsed.error;
    TSimulator prediction(parsed.options->sim);

    TSimulatorChild sim(args);
    ASSERT_FALSE(sim.Path.empty()) << sim.Process.Stderr();
    TRawLine line(sim.Path);

    std::map<TFaultKind, int> kinds;
    int observedGood = 0;
    std::size_t predictedSent = 0;
    for (int i = 0; i < 80; ++i) {
        const int slave = 1 + i % 5; // slave 5 is outside the range
        const int count = 2 + i % 7;
        const TFrame8 request = BuildReadRequest(slave, 0, count);
        const auto plans = prediction.OnReceived(request, 0);
        line.Write(request);
        const Clock::time_point sent = Clock::now();
        if (plans.empty() || plans[0].noise.size() + plans[0].reply.size() == 0) {
            EXPECT_TRUE(line.Read(1, 150ms).empty()) << "request " << i << " wants silence";
            if (!plans.empty())
                ++kinds[plans[0].decision.kind];
            for (const TReplyPlan& plan : plans)
                prediction.OnPlanDone(plan, true);
            continue;
        }
        const TReplyPlan& plan = plans[0];
        ++kinds[plan.decision.kind];
        std::vector<std::uint8_t> expected = plan.noise;
        expected.insert(expected.end(), plan.reply.begin(), plan.reply.end());
        const auto received = line.Read(expected.size(), 5s);
        ASSERT_EQ(HexText(received), HexText(expected))
            << "request " << i << ", " << FaultName(plan.decision.kind);
        EXPECT_TRUE(line.Read(1, 20ms).empty()) << "nothing beyond the plan, request " << i;
        if (plan.decision.kind == TFaultKind::Late) {
            EXPECT_GE(Clock::now() - sent, 250ms) << "a late reply waits for its delay";
        }

        // What the master's checks make of the reply part, independent of the prediction.
        const std::vector<std::uint8_t> reply(
            received.begin() + static_cast<std::ptrdiff_t>(plan.noise.size()), received.end());
        std::vector<std::int32_t> values;
        const TReplyCheck check = CheckReadReply(reply, count, slave, values);
        const bool clean =
            plan.decision.kind == TFaultKind::None || plan.decision.kind == TFaultKind::Late;
        EXPECT_EQ(check == TReplyCheck::Good, clean) << FaultName(plan.decision.kind);
        if (plan.decision.kind == TFaultKind::None)
            ++observedGood;
        predictedSent += expected.size();
        prediction.OnPlanDone(plan, true);
    }
    prediction.OnSent(predictedSent);
    for (const TFaultKind kind : FaultKinds)
        EXPECT_GT(kinds[kind], 0) << "the seed should exercise " << FaultName(kind);

    const TSimSummary summary = StopCleanly(sim);
    EXPECT_EQ(summary.Total("replied_good_reads"), observedGood);
    EXPECT_EQ(summary.Total("ignored_requests"), 16);
    for (const TFaultKind kind : FaultKinds)
        EXPECT_EQ(summary.Total("injected_" + std::string(FaultName(kind))), kinds[kind])
            << FaultName(kind);
    // Everything else, per slave included, exactly as predicted.
    const TSimSummary predicted = TSimSummary::Parse(prediction.Summary());
    EXPECT_EQ(summary.Totals(), predicted.Totals());
    EXPECT_EQ(summary.Slaves(), predicted.Slaves());
}

TEST(TransmitterSimEndToEndTest, TurnaroundAndBaudRateMakeLineTimeReal) {
    TSimulatorChild sim({"--slaves", "1", "--turnaround", "150", "--baud", "9600"});
    ASSERT_FALSE(sim.Path.empty()) << sim.Process.Stderr();
    TRawLine line(sim.Path);
    line.Write(BuildReadRequest(1, 0, 125));
    const Clock::time_point sent = Clock::now();
    const auto first = line.Read(1, 5s);
    const Clock::time_point firstAt = Clock::now();
    ASSERT_EQ(first.size(), 1U);
    auto rest = line.Read(254, 5s);
    const Clock::time_point lastAt = Clock::now();
    rest.insert(rest.begin(), first[0]);
    std::vector<std::int32_t> values;
    EXPECT_EQ(CheckReadReply(rest, 125, 1, values), TReplyCheck::Good);
    // Lower bounds only: a loaded machine can make things slower, never faster.
    EXPECT_GE(firstAt - sent, 140ms) << "turnaround";
    EXPECT_GE(lastAt - firstAt, 220ms) << "254 bytes at 9600 baud take 265 ms";
    StopCleanly(sim);
}

TEST(TransmitterSimEndToEndTest, SkipsGarbageBeforeARequest) {
    TSimulatorChild sim({"--slaves", "1-2"});
    ASSERT_FALSE(sim.Path.empty()) << sim.Process.Stderr();
    TRawLine line(sim.Path);
    std::vector<std::uint8_t> bytes{0x00, 0x11, 0x22};
    const TFrame8 request = BuildReadRequest(2, 0, 2);
    bytes.insert(bytes.end(), request.begin(), request.end());
    line.Write(bytes);
    std::vector<std::int32_t> values;
    EXPECT_EQ(CheckReadReply(line.Read(9, 3s), 2, 2, values), TReplyCheck::Good);
    const TSimSummary summary = StopCleanly(sim);
    EXPECT_EQ(summary.Total("discarded_bytes"), 3);
    EXPECT_EQ(summary.Total("replied_good_reads"), 1);
}

TEST(TransmitterSimEndToEndTest, DurationEndsTheRunEvenDuringALateReply) {
    const Clock::time_point start = Clock::now();
    TChildProcess process(SimulatorProgram(),
                          {"--duration", "1", "--late", "1", "--late-delay", "60000"});
    const auto path = process.ReadLine(10s);
    ASSERT_TRUE(path.has_value()) << process.Stderr();
    TRawLine line(*path);
    line.Write(BuildReadRequest(1, 0, 2));
    EXPECT_EQ(process.WaitExit(15s), std::optional<int>{0}) << process.Stderr();
    EXPECT_LT(Clock::now() - start, 14s);
    const TSimSummary summary = TSimSummary::Parse(process.Stdout());
    EXPECT_EQ(summary.Total("read_requests"), 1);
    EXPECT_EQ(summary.Total("aborted_replies"), 1);
    EXPECT_EQ(summary.Total("injected_late"), 0);
    EXPECT_EQ(summary.Total("sent_bytes"), 0);
}

TEST(TransmitterSimEndToEndTest, CommandLineProblemsAndHelp) {
    {
        TChildProcess help(SimulatorProgram(), {"--help"});
        EXPECT_EQ(help.WaitExit(10s), std::optional<int>{0});
        for (const std::string& name : SimOptionNames())
            EXPECT_NE(help.Stdout().find(name), std::string::npos) << name;
    }
    {
        TChildProcess bad(SimulatorProgram(), {"--bad-crc", "2"});
        EXPECT_EQ(bad.WaitExit(10s), std::optional<int>{2});
        EXPECT_NE(bad.Stderr().find("--bad-crc"), std::string::npos) << bad.Stderr();
        EXPECT_TRUE(bad.Stdout().empty());
    }
    TTempDir dir;
    {
        TChildProcess noDir(SimulatorProgram(),
                            {"--link", (dir.Path() / "missing" / "ttyQM0").string()});
        EXPECT_EQ(noDir.WaitExit(10s), std::optional<int>{1});
        EXPECT_NE(noDir.Stderr().find("missing"), std::string::npos) << noDir.Stderr();
    }
    {
        const auto file = dir.Path() / "plain";
        std::ofstream(file) << "keep me";
        TChildProcess occupied(SimulatorProgram(), {"--link", file.string()});
        EXPECT_EQ(occupied.WaitExit(10s), std::optional<int>{1});
        std::ifstream in(file);
        std::string content;
        std::getline(in, content);
        EXPECT_EQ(content, "keep me") << "a file in the way is left alone";
    }
    {
        // A link left behind by a killed run is replaced.
        const auto stale = dir.Path() / "ttyStale";
        std::filesystem::create_symlink("/dev/pts/nonexistent", stale);
        TSimulatorChild sim({"--link", stale.string()});
        ASSERT_FALSE(sim.Path.empty()) << sim.Process.Stderr();
        EXPECT_EQ(std::filesystem::read_symlink(stale).string(), sim.Path);
        StopCleanly(sim);
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(stale)));
    }
}

} // namespace
