// quellmark-cli's line settings and its scan, as a script runs them, against the simulator
// whose slaves are locked to their line settings.
#include "TChildProcess.h"
#include "TSimulatorChild.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

struct TCliOutcome {
    std::optional<int> Exit;
    std::string Out;
    std::string Err;
};

TCliOutcome RunCli(const std::vector<std::string>& args) {
    TChildProcess cli(QUELLMARK_CLI_PATH, args);
    TCliOutcome outcome;
    outcome.Exit = cli.WaitExit(60s);
    outcome.Out = cli.Stdout();
    outcome.Err = cli.Stderr();
    return outcome;
}

class CliScanTest : public ::testing::Test {
protected:
    void SetUp() override {
        char templ[] = "/tmp/quellmark-cliscan-XXXXXX";
        ASSERT_NE(::mkdtemp(templ), nullptr);
        Dir = templ;
        Config = (Dir / "Config.ini").string();
    }
    void TearDown() override { fs::remove_all(Dir); }

    void WriteConfig(const std::string& port) {
        std::ofstream(Config, std::ios::binary)
            << "[Communication]\nComm Port=" << port
            << "\nBaud Rate=19200\nPoll Timeout=200\nPoll Interval=0\n";
    }

    fs::path Dir;
    std::string Config;
};

// The parity and the stop bits reach the line: a slave locked to 8E2 answers a run set so,
// and gives garbage to one set to 8N1.
TEST_F(CliScanTest, ARunTalksAtItsParityAndStopBits) {
    TSimulatorChild sim({"--slaves", "1", "--baud", "19200", "--parity", "E", "--stop-bits", "2"});
    ASSERT_FALSE(sim.Path.empty()) << sim.Process.Stderr();
    WriteConfig(sim.Path);
    const TCliOutcome good = RunCli({"--config", Config, "--to", "1", "--parity", "E",
                                     "--stop-bits", "2", "--cycles", "3", "--json"});
    EXPECT_EQ(good.Exit, std::optional<int>{0}) << good.Err;
    EXPECT_NE(good.Out.find(R"("baud": 19200, "parity": "E", "stop_bits": 2,)"), std::string::npos)
        << good.Out;
    const TCliOutcome wrong = RunCli({"--config", Config, "--to", "1", "--cycles", "2"});
    EXPECT_EQ(wrong.Exit, std::optional<int>{1}) << wrong.Err;
    const std::optional<TSimSummary> summary = sim.Stop();
    ASSERT_TRUE(summary.has_value());
    EXPECT_EQ(summary->Total("replied_good_reads"), 3);
    EXPECT_EQ(summary->Total("garbled_replies"), 2);
}

// Two slaves at different settings: each found where it is, in every output format; an
// empty line exits 1.
TEST_F(CliScanTest, AScanFindsEachSlaveAtItsSettingAndExitsOneOnAnEmptyLine) {
    TSimulatorChild sim(
        {"--slaves", "2-3", "--freeze", "--line", "19200:E:1@2", "--line", "9600:N:1@3"});
    ASSERT_FALSE(sim.Path.empty()) << sim.Process.Stderr();
    WriteConfig(sim.Path);
    const std::vector<std::string> scan{
        "--config",          Config, "--scan", "--to", "4", "--scan-bauds", "9600,19200",
        "--scan-turnaround", "150"};
    std::vector<std::string> json = scan;
    json.push_back("--json");
    const TCliOutcome found = RunCli(json);
    EXPECT_EQ(found.Exit, std::optional<int>{0}) << found.Err;
    EXPECT_NE(found.Out.find(R"("result": "found")"), std::string::npos) << found.Out;
    const std::string slave3 = R"j("found": [{"id": 3, "baud": 9600, "parity": "N", )j"
                               R"j("stop_bits": 1, "reply": "4 (0x0004)", "value": 4, )j"
                               R"j("exception": null, "response_ms": )j";
    EXPECT_NE(found.Out.find(slave3), std::string::npos) << found.Out;
    EXPECT_NE(found.Out.find(R"({"id": 2, "baud": 19200, "parity": "E", "stop_bits": 1, )"),
              std::string::npos)
        << found.Out;
    EXPECT_NE(found.Out.find(R"("probes": 16,)"), std::string::npos) << found.Out;

    std::vector<std::string> csv = scan;
    csv.push_back("--csv");
    const TCliOutcome table = RunCli(csv);
    EXPECT_EQ(
        table.Out.rfind("Id,Baud,Parity,StopBits,Reply,Response_ms\n3,9600,N,1,4 (0x0004),", 0), 0U)
        << table.Out;

    const TCliOutcome none = RunCli({"--config", Config, "--scan", "--from", "5", "--to", "6",
                                     "--scan-bauds", "9600", "--parity", "O"});
    EXPECT_EQ(none.Exit, std::optional<int>{1}) << none.Err;
    EXPECT_NE(none.Out.find("found 0 in 2 probes"), std::string::npos) << none.Out;
}

TEST_F(CliScanTest, BadScanOptionsExitTwo) {
    WriteConfig((Dir / "no-such-port").string());
    const struct {
        std::vector<std::string> Args;
        std::string Message;
    } cases[] = {
        {{"--scan", "--cycles", "1"}, "--scan excludes --cycles"},
        {{"--scan-bauds", "9600", "--cycles", "1"}, "want --scan"},
        {{"--scan", "--scan-bauds", "9600,fast"}, "--scan-bauds wants rates from 50 to 4000000"},
        {{"--scan", "--scan-parities", "N,M"}, "--scan-parities wants N, E or O"},
        {{"--scan", "--scan-timeout", "0"}, "--scan-timeout wants milliseconds from 1 to 10000"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"--config", Config};
        args.insert(args.end(), c.Args.begin(), c.Args.end());
        const TCliOutcome cli = RunCli(args);
        EXPECT_EQ(cli.Exit, std::optional<int>{2}) << c.Args[0];
        EXPECT_NE(cli.Err.find(c.Message), std::string::npos) << cli.Err;
    }
    const TCliOutcome missing = RunCli({"--config", Config, "--scan", "--scan-bauds", "9600"});
    EXPECT_EQ(missing.Exit, std::optional<int>{3}) << missing.Err;
    EXPECT_NE(missing.Err.find("[串口打开失败!]"), std::string::npos) << missing.Err;
}

} // namespace
