// Our serial link and run logic against an independent Modbus RTU slave built on
// libmodbus, on a pseudo-terminal. The test thread pumps the session's notice queue, as
// the window thread would, so this test needs no Qt and runs under ThreadSanitizer.
#include "ModbusRtu.h"
#include "SlaveRegisters.h"
#include "TChildProcess.h"
#include "TNoticeQueue.h"
#include "TPollingRun.h"
#include "TRunSession.h"
#include "TRunSettings.h"
#include "TSimSummary.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <csignal>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

const std::string SlavePath = QUELLMARK_MODBUS_SLAVE_PATH;

constexpr int SlaveAddress = 7; // not 1, so that an address taken from a default shows
constexpr auto Patience = 10s;  // upper bound of every wait; reached only on failure

// What the slave holds, two registers a value, high register first: values that catch
// byte order, word order and sign mistakes. Registers 0 to 15, all the slave has.
const std::vector<std::int32_t> Values{123,        -2,        INT32_MIN, 65536,
                                       0x12345678, INT32_MAX, 0,         -123456789};

/// The reply a slave holding Values gives to a read of `count` from `begin`, byte for
/// byte as the Modbus application protocol lays it out.
std::vector<std::uint8_t> ExpectedReply(int begin, int count) {
    const std::vector<std::uint16_t> registers = RegistersOf(Values);
    std::vector<std::uint8_t> reply{SlaveAddress, 0x03, static_cast<std::uint8_t>(2 * count)};
    for (int i = begin; i < begin + count; ++i) {
        reply.push_back(static_cast<std::uint8_t>(registers.at(static_cast<std::size_t>(i)) >> 8));
        reply.push_back(
            static_cast<std::uint8_t>(registers.at(static_cast<std::size_t>(i)) & 0xFF));
    }
    AppendCrc(reply);
    return reply;
}

/// The Value cells that reply fills: whole pairs only, an odd last register left out.
std::vector<std::string> ExpectedCells(int begin, int count) {
    const std::vector<std::uint16_t> registers = RegistersOf(Values);
    std::vector<std::string> cells;
    for (int i = begin; i + 1 < begin + count; i += 2) {
        const std::uint32_t high = registers.at(static_cast<std::size_t>(i));
        const std::uint32_t low = registers.at(static_cast<std::size_t>(i) + 1);
        cells.push_back(std::to_string(static_cast<std::int32_t>(high << 16 | low)));
    }
    return cells;
}

std::string Framing(int frameBreakMode) {
    return frameBreakMode == 0 ? "FixedLength" : "FixedInterval";
}

/// What a front end would hear of the session: the error list and the end of the run.
struct TSessionRecorder final : TRunListener {
    TManualNoticeQueue Queue; // before the session, which posts into it
    TRunSession Session{Queue, *this};
    std::vector<TInfoLine> Lines;
    bool Ended = false;

    void LinesReady() override {
        for (TInfoLine& line : Session.Run.TakeLines())
            Lines.push_back(std::move(line));
    }
    void RunEnded() override { Ended = true; }
};

/// The libmodbus slave holding Values, and a session on its pseudo-terminal.
class SlaveSession : public ::testing::Test {
protected:
    void TearDown() override {
        Recorder.Session.StopRun();
        Recorder.Session.ClosePort();
    }

    /// Starts the slave, opens the port as `settings` say (with the slave's path) and runs
    /// `cycles` passes; then ends the slave and reads its summary. Returns how long the run
    /// took from its start to RunEnded.
    std::chrono::steady_clock::duration RunPasses(TRunSettings settings, std::int64_t cycles) {
        TChildProcess slave(SlavePath, {"--slave", std::to_string(SlaveAddress), "--registers",
                                        RegisterOption(Values), "--duration", "60"});
        const std::optional<std::string> path = slave.ReadLine(Patience);
        EXPECT_TRUE(path.has_value()) << slave.Stderr();
        if (!path)
            return {};
        settings.CommName = *path;
        TRunSession& session = Recorder.Session;
        EXPECT_TRUE(session.OpenAsSet(settings));
        if (!session.Comm1.PortOpen())
            return {};

        const auto start = std::chrono::steady_clock::now();
        session.StartRun(settings, cycles);
        const bool ended = Recorder.Queue.RunUntil([&] { return Recorder.Ended; }, Patience);
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_TRUE(ended) << session.Run.Totals().first << " good, " << session.Run.Totals().second
                           << " failed";
        EXPECT_TRUE(session.Run.Ended());

        session.StopRun();
        session.ClosePort();
        Recorder.Queue.RunPending();
        slave.Signal(SIGTERM);
        EXPECT_EQ(slave.WaitExit(Patience), std::optional<int>{0}) << slave.Stderr();
        Summary = TSimSummary::Parse(slave.Stdout());
        return took;
    }

    TSessionRecorder Recorder;
    TSimSummary Summary;
};

struct TReadCase {
    int FrameBreakMode; // 0 fixed length, 1 fixed interval
    int RegisterBegin;
    int RegisterCount;
};

std::ostream& operator<<(std::ostream& out, const TReadCase& c) {
    return out << Framing(c.FrameBreakMode) << ", begin " << c.RegisterBegin << ", count "
               << c.RegisterCount;
}

class InteropReadTest : public SlaveSession, public ::testing::WithParamInterface<TReadCase> {};

// Every read is answered in time with one whole reply, which passes every check, counts one
// OK, is timed, and decodes to the values the slave holds. The run ends by itself after its
// passes: no request goes out after the last one.
TEST_P(InteropReadTest, ReadsAreAnsweredPassOurChecksAndDecode) {
    const TReadCase c = GetParam();
    TRunSettings settings;
    settings.BaudRate = 9600;
    settings.PollTimeout = 1000; // never reached, even on a busy machine: no read fails
    settings.PollInterval = 2;
    // The slave's own address only: libmodbus takes the frame after a request for another
    // address as that slave's reply and would drop our next request.
    settings.PollFrom = SlaveAddress;
    settings.PollTo = SlaveAddress;
    settings.RegisterBegin = c.RegisterBegin;
    settings.RegisterCount = c.RegisterCount;
    settings.FrameBreakMode = c.FrameBreakMode;
    settings.ReadInterval = 20;
    // A fixed-length block ends with its last byte, a fixed-interval one only after the
    // line has been quiet for ReadInterval: the first kind polls many times faster.
    const std::int64_t passes = c.FrameBreakMode == 0 ? 200 : 25;
    RunPasses(settings, passes);
    if (HasFailure())
        return;

    for (const TInfoLine& line : Recorder.Lines)
        ADD_FAILURE() << line.Text;
    const TPollingRun& run = Recorder.Session.Run;
    EXPECT_EQ(run.ReceiveCaption(),
              "接收: " + HexText(ExpectedReply(c.RegisterBegin, c.RegisterCount)));
    const TRowSnapshot row = run.Row(0);
    EXPECT_EQ(row.ValueCells, ExpectedCells(c.RegisterBegin, c.RegisterCount));
    EXPECT_EQ(row.Ok, passes);
    EXPECT_EQ(row.Fail, 0);
    EXPECT_EQ(run.ResponseTimes(0).Count(), static_cast<std::uint64_t>(passes));

    // One request a pass, each answered, none after the last pass.
    EXPECT_EQ(Summary.Total("requests"), passes);
    EXPECT_EQ(Summary.Total("replies"), passes);
}

INSTANTIATE_TEST_SUITE_P(RegisterBlocks, InteropReadTest,
                         ::testing::Values(TReadCase{1, 0, 2}, TReadCase{1, 0, 4},
                                           TReadCase{1, 0, 16}, TReadCase{1, 0, 3},
                                           TReadCase{0, 0, 2}, TReadCase{0, 6, 4},
                                           TReadCase{0, 0, 16}, TReadCase{0, 0, 3}),
                         [](const ::testing::TestParamInfo<TReadCase>& info) {
                             const TReadCase& c = info.param;
                             return Framing(c.FrameBreakMode) + "_Begin" +
                                    std::to_string(c.RegisterBegin) + "_Count" +
                                    std::to_string(c.RegisterCount);
                         });

class InteropRefusalTest : public SlaveSession, public ::testing::WithParamInterface<int> {};

// A read beyond the slave's registers is refused with exception 2 (illegal data address).
// The refusal ends its poll at once as one FAIL, in either framing (in fixed length, its
// five bytes are a block of their own), writes the length line and the line that decodes
// it, once each, and stays in the receive panel.
TEST_P(InteropRefusalTest, ARefusalEndsItsPollAtOnceAsAFail) {
    TRunSettings settings;
    settings.BaudRate = 9600;
    settings.PollTimeout = 2000; // a run that waited it out even once would take longer
    settings.PollInterval = 2;
    settings.PollFrom = SlaveAddress;
    settings.PollTo = SlaveAddress;
    settings.RegisterBegin = 16;
    settings.RegisterCount = 2;
    settings.FrameBreakMode = GetParam();
    settings.ReadInterval = 20;
    constexpr std::int64_t passes = 5;
    const auto took = RunPasses(settings, passes);
    if (HasFailure())
        return;
    EXPECT_LT(took, std::chrono::milliseconds(settings.PollTimeout));

    std::vector<std::uint8_t> refusal{SlaveAddress, 0x83, 0x02};
    AppendCrc(refusal);
    const std::string hex = HexText(refusal);
    ASSERT_EQ(Recorder.Lines.size(), static_cast<std::size_t>(2 * passes));
    for (std::size_t i = 0; i < Recorder.Lines.size(); i += 2) {
        const TInfoLine& length = Recorder.Lines[i];
        const TInfoLine& decoded = Recorder.Lines[i + 1];
        EXPECT_EQ(length.Kind, TInfoKind::Length) << length.Text;
        EXPECT_EQ(length.Slave, std::optional<std::int32_t>{SlaveAddress});
        EXPECT_NE(length.Text.find("[帧长度错误!][" + hex + "]"), std::string::npos) << length.Text;
        EXPECT_EQ(decoded.Kind, TInfoKind::Exception) << decoded.Text;
        EXPECT_NE(
            decoded.Text.find("[从机异常应答!][功能码:03 读保持寄存器][异常码:02 非法数据地址]"),
            std::string::npos)
            << decoded.Text;
    }
    const TPollingRun& run = Recorder.Session.Run;
    EXPECT_EQ(run.ReceiveCaption(), "接收: " + hex);
    const TRowSnapshot row = run.Row(0);
    EXPECT_EQ(row.Ok, 0);
    EXPECT_EQ(row.Fail, passes);
    EXPECT_TRUE(row.ValueCells.empty());
    EXPECT_EQ(run.ResponseTimes(0).Count(), 0U);
    EXPECT_EQ(Summary.Total("requests"), passes);
    EXPECT_EQ(Summary.Total("replies"), passes);
}

INSTANTIATE_TEST_SUITE_P(Framings, InteropRefusalTest, ::testing::Values(0, 1),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return Framing(info.param);
                         });

} // namespace
