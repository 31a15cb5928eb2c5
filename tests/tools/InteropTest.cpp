// Our serial link and run logic against an independent Modbus RTU slave built on
// libmodbus, on a pseudo-terminal. The test thread pumps the window queue, as the
// window thread would, so this test needs no Qt and runs under ThreadSanitizer.
#include "ModbusRtu.h"
#include "SlaveRegisters.h"
#include "TChildProcess.h"
#include "TComm.h"
#include "TPollingRun.h"
#include "TQueuePollHost.h"
#include "TRunState.h"
#include "TSimSummary.h"
#include "TSysParam.h"
#include "TTempConfig.h"
#include "TNoticeQueue.h"

#include <gtest/gtest.h>

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
// byte order, word order and sign mistakes.
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

/// The values that reply decodes to: whole pairs only, an odd last register left out.
std::vector<std::int32_t> ExpectedValues(int begin, int count) {
    const std::vector<std::uint16_t> registers = RegistersOf(Values);
    std::vector<std::int32_t> values;
    for (int i = begin; i + 1 < begin + count; i += 2) {
        const std::uint32_t high = registers.at(static_cast<std::size_t>(i));
        const std::uint32_t low = registers.at(static_cast<std::size_t>(i) + 1);
        values.push_back(static_cast<std::int32_t>(high << 16 | low));
    }
    return values;
}

struct TReadCase {
    int FrameBreakMode; // 0 fixed length, 1 fixed interval
    int RegisterBegin;
    int RegisterCount;
};

std::ostream& operator<<(std::ostream& out, const TReadCase& c) {
    return out << "mode " << c.FrameBreakMode << ", begin " << c.RegisterBegin << ", count "
               << c.RegisterCount;
}

class InteropTest : public ::testing::TestWithParam<TReadCase> {
protected:
    void SetUp() override {
        RunState.Reset();
        Config.Load();
        Comm.OnReceiveData = [this](TComm&, const char* buffer, std::uint16_t length) {
            const TReceiveOutcome outcome =
                Run.ReceiveData(TByteSpan(reinterpret_cast<const std::uint8_t*>(buffer), length),
                                std::chrono::system_clock::now());
            Blocks.push_back(outcome.ReceiveCaption);
            for (const TInfoLine& line : outcome.InfoLines)
                Lines.push_back(line.Text);
        };
    }

    void TearDown() override {
        Run.Stop();
        Comm.ClosePort();
        RunState.Reset();
    }

    TTempConfig Config;
    TManualNoticeQueue Queue;
    TComm Comm{Queue};
    TPollingRun Run;
    std::vector<std::string> Blocks;  // the receive panel's caption for every block
    std::vector<std::string> Lines;   // the error list
    std::vector<std::int32_t> Posted; // every result the poll thread posted, shown or not
    std::vector<TRowUpdate> Updates;  // the results the table shows
    TQueuePollHost Host{Comm, Queue,
                        [this](std::uint32_t runId, std::int32_t slave, std::int32_t result) {
                            Posted.push_back(result);
                            if (auto update = Run.PollResult(runId, slave, result))
                                Updates.push_back(*update);
                        }};
};

TEST_P(InteropTest, ReadsAreAnsweredPassOurChecksAndDecode) {
    const TReadCase c = GetParam();
    TChildProcess slave(SlavePath, {"--slave", std::to_string(SlaveAddress), "--registers",
                                    RegisterOption(Values), "--duration", "60"});
    const std::optional<std::string> path = slave.ReadLine(Patience);
    ASSERT_TRUE(path.has_value()) << slave.Stderr();

    ParamCommPort->SetValue(*path);
    ParamBaudRate->SetValue(9600);
    ParamPollTimeout->SetValue(150);
    ParamPollInterval->SetValue(2);
    // The slave's own address only: libmodbus takes the frame after a request for another
    // address as that slave's reply and would drop our next request.
    ParamPollFrom->SetValue(SlaveAddress);
    ParamPollTo->SetValue(SlaveAddress);
    ParamRegisterBegin->SetValue(c.RegisterBegin);
    ParamRegisterCount->SetValue(c.RegisterCount);
    ParamFrameBreakMode->SetValue(c.FrameBreakMode);
    ParamReadInterval->SetValue(20);

    ApplyCommSettings(Comm);
    Comm.OpenPort();
    ASSERT_TRUE(Comm.PortOpen()) << Comm.PortOpenError();
    Run.Start(Host, std::chrono::steady_clock::now());
    // A fixed-length block ends with its last byte, a fixed-interval one only after the
    // line has been quiet for ReadInterval: the first kind polls many times faster.
    const std::size_t goodPolls = c.FrameBreakMode == 0 ? 200 : 25;
    ASSERT_TRUE(Queue.RunUntil([&] { return Updates.size() >= goodPolls; }, Patience))
        << Updates.size() << " results, " << Lines.size() << " error lines";

    // Stop ends the poll under way at once, without a result.
    Run.Stop();
    Queue.RunPending();
    Comm.ClosePort();
    Queue.RunPending();
    slave.Signal(SIGTERM);
    ASSERT_EQ(slave.WaitExit(Patience), std::optional<int>{0}) << slave.Stderr();
    const TSimSummary summary = TSimSummary::Parse(slave.Stdout());

    EXPECT_TRUE(Lines.empty()) << Lines.front();
    const std::string reply = "接收: " + HexText(ExpectedReply(c.RegisterBegin, c.RegisterCount));
    for (const std::string& block : Blocks)
        ASSERT_EQ(block, reply) << "every block is one whole reply";
    EXPECT_EQ(RunState.RegisterValues, ExpectedValues(c.RegisterBegin, c.RegisterCount));

    std::vector<std::string> valueCells;
    for (const std::int32_t value : ExpectedValues(c.RegisterBegin, c.RegisterCount))
        valueCells.push_back(std::to_string(value));
    for (std::size_t i = 0; i < Updates.size(); ++i) {
        ASSERT_FALSE(Updates[i].TimedOut) << "result " << i;
        EXPECT_EQ(Updates[i].ValueCells, valueCells);
        EXPECT_EQ(Updates[i].OkText, std::to_string(i + 1)) << "OK grows by one a poll";
        EXPECT_EQ(Updates[i].FailText, "0");
    }
    EXPECT_EQ(RunState.OkCounts,
              std::vector<std::int32_t>{static_cast<std::int32_t>(Updates.size())});
    EXPECT_EQ(RunState.FailCounts, std::vector<std::int32_t>{0});

    // Every request the slave saw was answered and produced one posted result, but for a
    // poll whose wait Stop cut short. The results shown are the first ones posted; Stop
    // clears PollingActive while at most one, posted just before it, is not yet shown.
    const auto requests = summary.Total("requests");
    const auto posted = static_cast<std::int64_t>(Posted.size());
    EXPECT_TRUE(requests == posted || requests == posted + 1) << requests << " " << posted;
    EXPECT_EQ(summary.Total("replies"), requests);
    EXPECT_GE(Blocks.size(), Posted.size());
    EXPECT_LE(static_cast<std::int64_t>(Blocks.size()), requests);
    ASSERT_GE(Posted.size(), Updates.size());
    EXPECT_LE(Posted.size(), Updates.size() + 1);
    for (std::size_t i = 0; i < Posted.size(); ++i)
        EXPECT_EQ(Posted[i], PollResultGood) << "result " << i;
}

INSTANTIATE_TEST_SUITE_P(RegisterBlocks, InteropTest,
                         ::testing::Values(TReadCase{1, 0, 2}, TReadCase{1, 0, 4},
                                           TReadCase{1, 0, 16}, TReadCase{1, 0, 3},
                                           TReadCase{0, 0, 2}, TReadCase{0, 6, 4},
                                           TReadCase{0, 0, 16}, TReadCase{0, 0, 3}),
                         [](const ::testing::TestParamInfo<TReadCase>& info) {
                             const TReadCase& c = info.param;
                             return std::string(c.FrameBreakMode == 0 ? "FixedLength"
                                                                      : "FixedInterval") +
                                    "_Begin" + std::to_string(c.RegisterBegin) + "_Count" +
                                    std::to_string(c.RegisterCount);
                         });

} // namespace
