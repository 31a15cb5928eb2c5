// quellmark-cli as a script runs it, against the transmitter simulator: exit codes, the
// results on standard output, the error lines on standard error, and Config.ini untouched.
#include "TChildProcess.h"
#include "TSimulatorChild.h"
#include "TransmitterModel.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

const std::string CliPath = QUELLMARK_CLI_PATH;

struct TCliOutcome {
    std::optional<int> Exit;
    std::string Out;
    std::string Err;
};

TCliOutcome RunCli(const std::vector<std::string>& args) {
    TChildProcess cli(CliPath, args);
    TCliOutcome outcome;
    outcome.Exit = cli.WaitExit(60s);
    outcome.Out = cli.Stdout();
    outcome.Err = cli.Stderr();
    return outcome;
}

/// One slave of the JSON result.
struct TJsonSlave {
    std::int64_t Ok = 0;
    std::int64_t Fail = 0;
    std::string Values;
    bool Answered = false;
};

std::map<int, TJsonSlave> JsonSlaves(const std::string& json) {
    static const std::regex head(
        R"re(^\{"id": (\d+), "ok": (\d+), "fail": (\d+), "values": \[([^\]]*)\])re");
    static const std::regex times(R"re("response_ms": (null|\{"min": [0-9.]+, "mean": [0-9.]+, )re"
                                  R"re("p99": [0-9.]+, "max": [0-9.]+\})\})re");
    std::map<int, TJsonSlave> slaves;
    const std::string mark = R"({"id": )";
    for (std::size_t at = json.find(mark); at != std::string::npos;) {
        const std::size_t next = json.find(mark, at + 1);
        const std::string slave = json.substr(at, next == std::string::npos ? next : next - at);
        std::smatch h;
        std::smatch t;
        if (std::regex_search(slave, h, head) && std::regex_search(slave, t, times))
            slaves[std::stoi(h[1])] = {std::stoll(h[2]), std::stoll(h[3]), h[4], t[1] != "null"};
        at = next;
    }
    return slaves;
}

std::int64_t Occurrences(const std::string& text, const std::string& part) {
    std::int64_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos;
         at = text.find(part, at + part.size()))
        ++count;
    return count;
}

/// A Config.ini in a directory of its own; the tests check it is never written.
class CliTest : public ::testing::Test {
protected:
    void SetUp() override {
        char templ[] = "/tmp/quellmark-cli-XXXXXX";
        ASSERT_NE(::mkdtemp(templ), nullptr);
        Dir = templ;
        Config = (Dir / "Config.ini").string();
    }
    void TearDown() override { fs::remove_all(Dir); }

    /// Writes Config.ini for `port` with the run's fixed settings; returns its text.
    std::string WriteConfig(const std::string& port, const std::string& extra = {}) {
        const std::string text = "[Communication]\nComm Port=" + port +
                                 "\nBaud Rate=115200\nPoll Timeout=100\nPoll Interval=0\n" + extra +
                                 "[Modbus]\nRegister Count=4\n";
        std::ofstream(Config, std::ios::binary) << text;
        return text;
    }
    std::string ConfigText() const {
        std::ifstream in(Config, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    fs::path Dir;
    std::string Config;
};

} // namespace

// Every slave answers: exit 0, the frozen start values of each slave, its counts, its
// response times; nothing on standard error; the settings file as it was.
TEST_F(CliTest, CleanRunExitsZeroWithTheValues) {
    TSimulatorChild sim({"--slaves", "1-3", "--freeze"});
    ASSERT_FALSE(sim.Path.empty()) << sim.Process.Stderr();
    const std::string config = WriteConfig(sim.Path);

    const TCliOutcome cli =
        RunCli({"--config", Config, "--from", "1", "--to", "3", "--cycles", "4", "--json"});
    EXPECT_EQ(cli.Exit, std::optional<int>{0}) << cli.Err;
    EXPECT_EQ(cli.Err, "");
    EXPECT_NE(cli.Out.find("\"polls\": 12,"), std::string::npos) << cli.Out;
    const std::map<int, TJsonSlave> slaves = JsonSlaves(cli.Out);
    ASSERT_EQ(slaves.size(), 3U) << cli.Out;
    for (const auto& [id, slave] : slaves) {
        EXPECT_EQ(slave.Ok, 4);
        EXPECT_EQ(slave.Fail, 0);
        EXPECT_TRUE(slave.Answered);
        EXPECT_EQ(slave.Values, std::to_string(SimulatedValue(id, 0, 0)) + ", " +
                                    std::to_string(SimulatedValue(id, 1, 0)));
    }
    EXPECT_EQ(ConfigText(), config);

    // The same run as a table and as CSV.
    const TCliOutcome table = RunCli({"--config", Config, "--to", "3", "--cycles", "1"});
    EXPECT_EQ(table.Exit, std::optional<int>{0}) << table.Err;
    std::istringstream header(table.Out.substr(0, table.Out.find('\n')));
    std::vector<std::string> captions;
    for (std::string caption; header >> caption;)
        captions.push_back(caption);
    EXPECT_EQ(captions, (std::vector<std::string>{"Id", "Value1", "Value2", "OK", "FAIL", "min_ms",
                                                  "mean_ms", "p99_ms", "max_ms"}))
        << table.Out;
    EXPECT_NE(table.Out.find("\npolls 3 in "), std::string::npos) << table.Out;
    const TCliOutcome csv = RunCli({"--config", Config, "--to", "3", "--cycles", "1", "--csv"});
    EXPECT_EQ(csv.Exit, std::optional<int>{0}) << csv.Err;
    EXPECT_EQ(csv.Out.rfind("Id,Value1,Value2,OK,FAIL,min_ms,mean_ms,p99_ms,max_ms\n1," +
                                std::to_string(SimulatedValue(1, 0, 0)) + ',',
                            0),
              0U)
        << csv.Out;
    EXPECT_EQ(Occurrences(csv.Out, "\n"), 4);

    // RS-485 direction control asked for on a port without it: the window's line, the run goes on.
    const TCliOutcome rs485 = RunCli({"--config", Config, "--to", "1", "--cycles", "1", "--rs485"});
    EXPECT_EQ(rs485.Exit, std::optional<int>{0}) << rs485.Err;
    EXPECT_NE(
        rs485.Err.find("] [RS-485方向控制不可用!][RS-485 direction control is not available on " +
                       sim.Path),
        std::string::npos)
        << rs485.Err;
    EXPECT_EQ(ConfigText(), config);
}

// Seeded faults: each bad reply costs its slave one FAIL and writes one error line, as the
// simulator says it injected; exit 1. Slave 1 is not played. No request goes out after the
// last pass. Poll Timeout leaves room for a slow (sanitized) build.
TEST_F(CliTest, SeededFaultsMatchTheSimulatorAndExitOne) {
    TSimulatorChild sim({"--slaves", "2-5", "--seed", "11", "--bad-crc", "0.2"});
    ASSERT_FALSE(sim.Path.empty()) << sim.Process.Stderr();
    WriteConfig(sim.Path);

    const TCliOutcome cli = RunCli({"--config", Config, "--from", "1", "--to", "5", "--cycles",
                                    "20", "--timeout", "300", "--json"});
    const std::optional<TSimSummary> summary = sim.Stop();
    ASSERT_TRUE(summary.has_value());
    EXPECT_EQ(cli.Exit, std::optional<int>{1}) << cli.Err;

    const std::map<int, TJsonSlave> slaves = JsonSlaves(cli.Out);
    ASSERT_EQ(slaves.size(), 5U) << cli.Out;
    EXPECT_EQ(slaves.at(1).Ok, 0);
    EXPECT_EQ(slaves.at(1).Fail, 20);
    EXPECT_FALSE(slaves.at(1).Answered);
    for (int id = 2; id <= 5; ++id) {
        EXPECT_EQ(slaves.at(id).Ok, summary->Slave(id, "replied_good_reads")) << id;
        EXPECT_EQ(slaves.at(id).Fail, summary->Slave(id, "injected_bad_crc")) << id;
    }
    const std::int64_t faults = summary->Total("injected_bad_crc");
    EXPECT_GE(faults, 4);
    EXPECT_EQ(Occurrences(cli.Out, "{\"time\": "), faults);
    EXPECT_EQ(Occurrences(cli.Out, "\"text\": \"[CRC校验错误!]["), faults);
    // Each record of a line says what it is about, which slave, and when.
    EXPECT_EQ(Occurrences(cli.Out, "\"kind\": \"crc\", \"slave\": "), faults) << cli.Out;
    EXPECT_TRUE(std::regex_search(
        cli.Out, std::regex(R"re("kind": "crc", "slave": [2-5], "at": "\d{4}-\d\d-\d\dT)re"
                            R"re(\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d"\})re")));
    EXPECT_NE(cli.Out.find(R"("requested": {"cycles": 20}, "result": "fail")"), std::string::npos);
    EXPECT_EQ(summary->Total("read_requests") + summary->Total("ignored_requests"), 100)
        << "exactly the passes asked for went out";
    // The same lines on standard error as they came, stamped as in the window.
    EXPECT_EQ(Occurrences(cli.Err, "] [CRC校验错误!]["), faults) << cli.Err;
}

// Input registers holding floats, low word first: the request asks for function 4, and
// the values come out as the transmitter means them, in every output format.
TEST_F(CliTest, InputRegistersAndFloatsAsTheTransmitterMeansThem) {
    TSimulatorChild sim({"--slaves", "1-2", "--freeze", "--value-format", "float32:cdab"});
    ASSERT_FALSE(sim.Path.empty()) << sim.Process.Stderr();
    WriteConfig(sim.Path);
    const auto shown = [](int slave, int index) {
        char text[32];
        std::snprintf(
            text, sizeof text, "%.7g",
            static_cast<double>(static_cast<float>(SimulatedValue(slave, index, 0) / 100.0)));
        return std::string(text);
    };
    const TCliOutcome cli = RunCli({"--config", Config, "--to", "2", "--function", "4", "--format",
                                    "float32:cdab", "--cycles", "2", "--json"});
    EXPECT_EQ(cli.Exit, std::optional<int>{0}) << cli.Err;
    const std::map<int, TJsonSlave> slaves = JsonSlaves(cli.Out);
    ASSERT_EQ(slaves.size(), 2U) << cli.Out;
    for (const auto& [id, slave] : slaves)
        EXPECT_EQ(slave.Values, shown(id, 0) + ", " + shown(id, 1)) << id;
    EXPECT_NE(cli.Out.find(R"("function": 4, "format": "float32:cdab")"), std::string::npos);

    const TCliOutcome csv = RunCli({"--config", Config, "--to", "1", "--function", "4", "--format",
                                    "float32:cdab", "--cycles", "1", "--csv"});
    EXPECT_NE(csv.Out.find("\n1," + shown(1, 0) + "," + shown(1, 1) + ",1,0,"), std::string::npos)
        << csv.Out;
    // A 16-bit format: one value per register, Value1 to Value3 of three registers.
    const TCliOutcome hex = RunCli({"--config", Config, "--to", "1", "--function", "4", "--format",
                                    "hex16", "--register-count", "3", "--cycles", "1", "--csv"});
    EXPECT_EQ(hex.Out.rfind("Id,Value1,Value2,Value3,OK,FAIL,", 0), 0U) << hex.Out;
    const std::optional<TSimSummary> summary = sim.Stop();
    ASSERT_TRUE(summary.has_value());
    EXPECT_EQ(summary->Total("input_requests"), 6);
    EXPECT_EQ(summary->Total("read_requests"), 0);
}

// Limits give each slave a verdict: the one whose value leaves its limit fails, with its
// reason, the exit code says so, and the record written with --report holds both rows.
TEST_F(CliTest, ASlaveOutsideItsLimitFailsItsVerdictAndTheRecordSaysWhy) {
    TSimulatorChild sim({"--slaves", "1-2", "--freeze"});
    ASSERT_FALSE(sim.Path.empty()) << sim.Process.Stderr();
    // Slave 1 reads 100000 in Value1, slave 2 200000: a limit at 150000 parts them.
    WriteConfig(sim.Path, "[Limits]\nValue1 Max=150000\n");
    const std::string report = (Dir / "record.html").string();
    const TCliOutcome cli = RunCli({"--config", Config, "--to", "2", "--cycles", "3", "--json",
                                    "--limit", "2:-20000..20000", "--report", report});
    EXPECT_EQ(cli.Exit, std::optional<int>{1}) << cli.Err;
    EXPECT_NE(cli.Out.find(R"("result": "fail")"), std::string::npos);
    EXPECT_NE(cli.Out.find(R"("verdict": "pass", "reasons": [])"), std::string::npos) << cli.Out;
    const std::string reason =
        "Value1高于上限150000：3次中3次，最高" + std::to_string(SimulatedValue(2, 0, 0));
    EXPECT_NE(cli.Out.find(R"("verdict": "fail", "reasons": [")" + reason + R"("])"),
              std::string::npos)
        << cli.Out;
    EXPECT_TRUE(std::regex_search(cli.Out, std::regex(R"("stats": \[\{"min": \d+, "max": \d+, )"
                                                      R"("mean": [0-9.e+]+\}, \{)")))
        << cli.Out;

    // The record, read back: one row a slave with its verdict.
    std::ifstream in(report);
    std::stringstream html;
    html << in.rdbuf();
    const std::string page = html.str();
    EXPECT_EQ(Occurrences(page, "<tr class=\"slave\">"), 2);
    EXPECT_EQ(Occurrences(page, "<td class=\"verdict pass\"><pre>合格</pre></td>"), 1) << page;
    EXPECT_NE(page.find("<td class=\"verdict fail\"><pre>不合格\n" + reason + "</pre></td>"),
              std::string::npos);
    EXPECT_NE(page.find("合格 1 台，不合格 1 台"), std::string::npos);

    // Without limits the table looks as it always did; a limit adds the statistics and
    // the verdict.
    WriteConfig(sim.Path);
    const TCliOutcome plain = RunCli({"--config", Config, "--to", "1", "--cycles", "1", "--csv"});
    EXPECT_EQ(plain.Out.rfind("Id,Value1,Value2,OK,FAIL,min_ms,mean_ms,p99_ms,max_ms\n", 0), 0U)
        << plain.Out;
    const TCliOutcome limited =
        RunCli({"--config", Config, "--to", "1", "--cycles", "1", "--csv", "--limit", "1:0..1"});
    EXPECT_EQ(limited.Out.rfind("Id,Value1,Value2,OK,FAIL,min_ms,mean_ms,p99_ms,max_ms,", 0), 0U)
        << limited.Out;
    EXPECT_NE(limited.Out.find(",verdict"), std::string::npos) << limited.Out;

    // A record that cannot be written exits 5, but the run's own result stands.
    const TCliOutcome unwritten =
        RunCli({"--config", Config, "--to", "1", "--cycles", "1", "--json", "--report",
                (Dir / "no-such-folder" / "record.html").string()});
    EXPECT_EQ(unwritten.Exit, std::optional<int>{5}) << unwritten.Err;
    EXPECT_NE(unwritten.Out.find(R"("result": "pass")"), std::string::npos) << unwritten.Out;
}

TEST_F(CliTest, MissingPortExitsThree) {
    WriteConfig((Dir / "no-such-port").string());
    const TCliOutcome cli = RunCli({"--config", Config, "--cycles", "1"});
    EXPECT_EQ(cli.Exit, std::optional<int>{3});
    // The system's own reason, in English too.
    EXPECT_NE(
        cli.Err.find("cannot open the port " + (Dir / "no-such-port").string() +
                     ": Error opening serial port: " + std::system_category().message(ENOENT) +
                     " (" + std::to_string(ENOENT) + ")"),
        std::string::npos)
        << cli.Err;
    EXPECT_EQ(cli.Out, "");

    // A port name that is no UTF-8 still gives a record that is valid JSON.
    const TCliOutcome json =
        RunCli({"--config", Config, "--port", "/tmp/\xff\xfe-port", "--cycles", "1", "--json"});
    EXPECT_EQ(json.Exit, std::optional<int>{3});
    EXPECT_NE(json.Out.find(R"("port": "/tmp/\ufffd\ufffd-port")"), std::string::npos) << json.Out;
    EXPECT_NE(json.Out.find(R"("result": "port_error")"), std::string::npos) << json.Out;
}

// Usage and settings errors name the option (or the key) and its range; nothing runs.
TEST_F(CliTest, BadOptionsExitTwoWithAMessage) {
    WriteConfig((Dir / "no-such-port").string(), "Poll To=0\n");
    const std::string malformed = (Dir / "malformed.ini").string();
    std::ofstream(malformed) << "[Communication]\nBaud Rate=abc\n";
    const std::string badFormat = (Dir / "format.ini").string();
    std::ofstream(badFormat) << "[Modbus]\nValue Format=real\n";
    const std::string badParity = (Dir / "parity.ini").string();
    std::ofstream(badParity) << "[Communication]\nParity=X\n";
    const std::string fifo = (Dir / "fifo.ini").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    struct TCase {
        std::vector<std::string> Args;
        std::string Message;
    };
    const TCase cases[] = {
        {{"--baud", "fast", "--cycles", "1"}, "--baud wants a baud rate from 50 to 4000000"},
        {{"--from", "0", "--cycles", "1"}, "--from wants a slave address from 1 to 254"},
        {{"--timeout", "10001", "--cycles", "1"}, "--timeout wants milliseconds from 1 to 10000"},
        {{"--frame-break", "gap", "--cycles", "1"}, "--frame-break wants length or interval"},
        {{"--cycles", "0"}, "--cycles wants a number of passes from 1"},
        {{"--duration", "-1"}, "--duration wants seconds"},
        {{"--json", "--csv", "--cycles", "1"}, "--json and --csv exclude each other"},
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"--cycles"}, "--cycles wants a value"},
        {{"--to", "5"}, "--cycles N or --duration SECONDS"},
        {{"--cycles", "1"}, "'Poll To' in " + Config + " (or --to) is 0, outside 1 to 254"},
        {{"--from", "9", "--to", "5", "--cycles", "1"}, "--from (9) is above --to (5)"},
        {{"--config", (Dir / "absent.ini").string(), "--cycles", "1"}, "cannot read --config"},
        {{"--cycles", "1", "--duration", "5"}, "--cycles and --duration exclude each other"},
        {{"--port", "--cycles", "1"}, "--port wants a value"},
        {{"--limit", "1:5..4", "--to", "1", "--cycles", "1"},
         "the limit of Value1 has its minimum above"},
        {{"--limit", "0:1..2", "--cycles", "1"}, "--limit wants N:MIN..MAX"},
        {{"--limit", "3:1..2", "--register-count", "4", "--to", "1", "--cycles", "1"},
         "--limit 3: the format int32:abcd gives 2 value(s) a reply with Register Count 4"},
        {{"--limit", "1:x..2", "--to", "1", "--cycles", "1"},
         "--limit 1: 'x' is not a value of the format"},
        {{"--report", "r.html", "--zero"}, "--report wants a run"},
        {{"--function", "5", "--cycles", "1"}, "--function wants 3 or 4"},
        {{"--parity", "M", "--cycles", "1"}, "--parity wants N, E or O, not 'M'"},
        {{"--stop-bits", "3", "--cycles", "1"}, "--stop-bits wants stop bits from 1 to 2"},
        {{"--config", badParity, "--cycles", "1"},
         "'Parity' in " + badParity + " (or --parity) is 'X', not a parity (N, E or O)"},
        {{"--format", "float64", "--cycles", "1"}, "--format wants int16, uint16, hex16"},
        {{"--config", badFormat, "--cycles", "1"},
         "'Value Format' in " + badFormat + " (or --format) is 'real', not a value format"},
        {{"--zero-after", "1", "--cycles", "1"}, "--zero-after wants --zero or --unzero"},
        // A value in the file that is no number is refused, not replaced by the default.
        {{"--config", malformed, "--cycles", "1"},
         "'Baud Rate' in " + malformed + " (or --baud) is 'abc', not a number"},
        // A FIFO is refused at once, never waited on.
        {{"--config", fifo, "--cycles", "1"}, "cannot read " + fifo + ": "},
    };
    for (const TCase& c : cases) {
        std::vector<std::string> args = c.Args;
        if (c.Args.front() != "--config")
            args.insert(args.begin(), {"--config", Config});
        const TCliOutcome cli = RunCli(args);
        EXPECT_EQ(cli.Exit, std::optional<int>{2}) << c.Message;
        EXPECT_NE(cli.Err.find(c.Message), std::string::npos) << cli.Err;
        EXPECT_EQ(cli.Out, "");
    }
}

// A command during a run goes on the line at its moment, between two polls; the run goes
// on, and every output format carries the command's result.
TEST_F(CliTest, ZeroDuringARunGoesOnTheLineAndTheRunGoesOn) {
    TSimulatorChild sim({"--slaves", "1-2"});
    ASSERT_FALSE(sim.Path.empty()) << sim.Process.Stderr();
    WriteConfig(sim.Path);
    const TCliOutcome cli = RunCli({"--config", Config, "--to", "2", "--duration", "1.5", "--zero",
                                    "--zero-after", "0.5", "--json"});
    EXPECT_EQ(cli.Exit, std::optional<int>{0}) << cli.Err;
    EXPECT_NE(cli.Out.find(R"("coil": {"command": "zero", "slave": 1, "echo": true})"),
              std::string::npos)
        << cli.Out;
    const std::map<int, TJsonSlave> slaves = JsonSlaves(cli.Out);
    ASSERT_EQ(slaves.size(), 2U) << cli.Out;
    EXPECT_EQ(slaves.at(1).Fail + slaves.at(2).Fail, 0);
    EXPECT_GT(slaves.at(2).Ok, 20);

    const TCliOutcome csv =
        RunCli({"--config", Config, "--to", "2", "--cycles", "2", "--unzero", "--csv"});
    EXPECT_EQ(csv.Exit, std::optional<int>{0}) << csv.Err;
    EXPECT_NE(csv.Out.find("\n\ncommand,slave,echo\nunzero,1,true\n"), std::string::npos)
        << csv.Out;
    const std::optional<TSimSummary> summary = sim.Stop();
    ASSERT_TRUE(summary.has_value());
    EXPECT_EQ(summary->Total("replied_good_coils"), 2);
}

// The zero command alone, in both framings: the echo comes, exit 0.
TEST_F(CliTest, ZeroAloneExitsZeroOnTheEcho) {
    TSimulatorChild sim({"--slaves", "1-3"});
    ASSERT_FALSE(sim.Path.empty()) << sim.Process.Stderr();
    WriteConfig(sim.Path);
    for (const char* framing : {"interval", "length"}) {
        const TCliOutcome cli = RunCli({"--config", Config, "--frame-break", framing, "--zero"});
        EXPECT_EQ(cli.Exit, std::optional<int>{0}) << framing << cli.Err;
        EXPECT_EQ(cli.Out, "清零成功！\n");
        EXPECT_EQ(cli.Err, "清零成功！\n");
    }
    // Slave 7 is not played: no echo, the time-out line, exit 1.
    const TCliOutcome none = RunCli({"--config", Config, "--from", "7", "--to", "7", "--unzero"});
    EXPECT_EQ(none.Exit, std::optional<int>{1}) << none.Err;
    EXPECT_EQ(none.Out, "反清零超时！\n");
    const std::optional<TSimSummary> summary = sim.Stop();
    ASSERT_TRUE(summary.has_value());
    EXPECT_EQ(summary->Total("replied_good_coils"), 2);
}

// The device goes away during the run and does not come back: the run goes on to its end
// without it, the results are still printed, exit 3.
TEST_F(CliTest, LostDeviceExitsThree) {
    auto sim = std::make_unique<TSimulatorChild>(std::vector<std::string>{"--slaves", "1-2"});
    ASSERT_FALSE(sim->Path.empty()) << sim->Process.Stderr();
    WriteConfig(sim->Path);
    TChildProcess cli(CliPath, {"--config", Config, "--to", "2", "--duration", "3", "--csv"});
    std::this_thread::sleep_for(1s);
    sim->Process.Signal(SIGKILL);
    const std::optional<int> exit = cli.WaitExit(20s);
    EXPECT_EQ(exit, std::optional<int>{3}) << cli.Stderr();
    EXPECT_NE(cli.Stderr().find("] [串口已断开!][" + sim->Path + "]"), std::string::npos)
        << cli.Stderr();
    EXPECT_NE(cli.Stderr().find("did not come back"), std::string::npos) << cli.Stderr();
    EXPECT_EQ(cli.Stdout().rfind("Id,Value1,Value2,OK,FAIL,", 0), 0U) << cli.Stdout();
}

// Ctrl-C or a supervisor's SIGTERM ends a long run early: the results still come, and the
// exit code and the record say that the run did not finish, so it is never taken for a pass.
TEST_F(CliTest, InterruptEndsTheRunWithResultsAndSaysSo) {
    TSimulatorChild sim({"--slaves", "1-2"});
    ASSERT_FALSE(sim.Path.empty()) << sim.Process.Stderr();
    WriteConfig(sim.Path);
    for (const int signal : {SIGINT, SIGTERM}) {
        TChildProcess cli(CliPath, {"--config", Config, "--to", "2", "--duration", "60", "--json"});
        std::this_thread::sleep_for(1s);
        cli.Signal(signal);
        EXPECT_EQ(cli.WaitExit(20s), std::optional<int>{4}) << cli.Stderr();
        const std::string json = cli.Stdout();
        const std::map<int, TJsonSlave> slaves = JsonSlaves(json);
        ASSERT_EQ(slaves.size(), 2U) << json;
        EXPECT_GT(slaves.at(2).Ok, 0);
        EXPECT_EQ(slaves.at(2).Fail, 0);
        EXPECT_NE(json.find(R"("result": "interrupted", "interrupted": true)"), std::string::npos)
            << json;
        // The run record: what ran, from which file, asked for what, and when.
        EXPECT_TRUE(std::regex_search(
            json,
            std::regex(R"re(^\{"tool": "quellmark-cli", "version": "[0-9.]+", "started": )re"
                       R"re("\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d", )re"
                       R"re("config": "[^"]+Config\.ini", "requested": \{"duration_s": 60\}, )re")))
            << json;
    }
}
