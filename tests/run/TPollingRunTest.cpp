// The run logic on its own: reply checks and their lines, result counting, the
// status line, the start checks. No thread and no port: the state is set up as
// a run would leave it.
#include "TPollingRun.h"
#include "TFakeClock.h"
#include "TRunState.h"
#include "TSysParam.h"
#include "TTempConfig.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

std::vector<std::uint8_t> Bytes(std::initializer_list<int> values) {
    std::vector<std::uint8_t> bytes;
    for (int v : values)
        bytes.push_back(static_cast<std::uint8_t>(v));
    return bytes;
}

class PollingRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        RunState.Reset();
        Config.Load();
    }
    void TearDown() override { RunState.Reset(); }

    /// The state of a run in progress, without its thread.
    void PretendRun(int from, int to, int registerCount) {
        ParamPollFrom->SetValue(from);
        ParamPollTo->SetValue(to);
        ParamRegisterCount->SetValue(registerCount);
        const auto n = static_cast<std::size_t>(to - from + 1);
        RunState.OkCounts.resize(n);
        RunState.FailCounts.resize(n);
        RunState.PollEvent = std::make_unique<TPollEvent>();
        RunState.CurrentSlave = from;
        ++RunState.RunId;
        RunState.PollingActive = true;
    }

    /// A request to the address polled last is pending.
    void Pend() { RunState.RequestPending.Mark(RunState.CurrentSlave); }

    /// What a block changes, with the lines as the error list shows them.
    struct TShown {
        std::string ReceiveCaption;
        std::vector<std::string> InfoLines;
        bool EchoAccepted = false;
    };

    TShown Receive(const std::vector<std::uint8_t>& block) {
        const TReceiveOutcome outcome = Run.ReceiveData(block, Clock.Now());
        TShown shown{outcome.ReceiveCaption, {}, outcome.EchoAccepted};
        for (const TInfoLine& line : outcome.InfoLines)
            shown.InfoLines.push_back(line.Text);
        return shown;
    }

    TTempConfig Config;
    TFakeClock Clock{TFakeClock::LocalDateTime(2026, 3, 14, 10, 20, 30)};
    TPollingRun Run;
};

// ---- Reply checks ----

TEST_F(PollingRunTest, GoodReplyIsStoredSignalledAndWritesNoLine) {
    PretendRun(1, 1, 2);
    Pend();
    const TShown outcome = Receive(Bytes({0x01, 0x03, 0x04, 0x00, 0x00, 0x00, 0x7B, 0xBA, 0x10}));
    EXPECT_EQ(outcome.ReceiveCaption, "接收: 01 03 04 00 00 00 7B BA 10 ");
    EXPECT_TRUE(outcome.InfoLines.empty());
    EXPECT_EQ(RunState.RegisterValues, std::vector<std::int32_t>{123});
    EXPECT_FALSE(RunState.RequestPending.IsPending());
    EXPECT_TRUE(RunState.PollEvent->IsSignalled());
}

TEST_F(PollingRunTest, EachFailedCheckWritesItsLine) {
    PretendRun(1, 1, 2);
    struct TCase {
        std::vector<std::uint8_t> Block;
        std::string Line;
    };
    const std::vector<TCase> cases = {
        {Bytes({0x01, 0x03, 0x04, 0x00, 0x00, 0x00, 0x7B, 0xBA, 0x11}),
         "[10:20:30] [CRC校验错误!][01 03 04 00 00 00 7B BA 11 ]"},
        {Bytes({0x01, 0x03, 0x04, 0x00}), "[10:20:30] [帧长度错误!][01 03 04 00 ]"},
    };
    for (const TCase& c : cases) {
        Pend();
        const TShown outcome = Receive(c.Block);
        ASSERT_EQ(outcome.InfoLines.size(), 1U);
        EXPECT_EQ(outcome.InfoLines[0], c.Line);
    }

    // Function code and byte count need a valid CRC to be reached.
    std::vector<std::uint8_t> wrongFunction = Bytes({0x01, 0x04, 0x04, 0, 0, 0, 0x7B});
    AppendCrc(wrongFunction);
    std::vector<std::uint8_t> wrongCount = Bytes({0x01, 0x03, 0x05, 0, 0, 0, 0x7B});
    AppendCrc(wrongCount);
    Pend();
    EXPECT_EQ(Receive(wrongFunction).InfoLines.at(0),
              "[10:20:30] [接收帧功能码错误!][" + HexText(wrongFunction) + "]");
    Pend();
    EXPECT_EQ(Receive(wrongCount).InfoLines.at(0),
              "[10:20:30] [数据长度错误!][" + HexText(wrongCount) + "]");
    EXPECT_TRUE(RunState.RegisterValues.empty());
    EXPECT_FALSE(RunState.PollEvent->IsSignalled());
}

TEST_F(PollingRunTest, ExceptionReplyKeepsTheLengthLineAndIsDecodedAfterIt) {
    PretendRun(1, 1, 2);
    Pend();
    TShown outcome = Receive(Bytes({0x01, 0x83, 0x02, 0xC0, 0xF1}));
    EXPECT_EQ(outcome.InfoLines,
              (std::vector<std::string>{
                  "[10:20:30] [帧长度错误!][01 83 02 C0 F1 ]",
                  "[10:20:30] [从机异常应答!][功能码:03 读保持寄存器][异常码:02 非法数据地址]"}));
    // From another slave, or with a bad CRC, it stays a length failure only.
    Pend();
    EXPECT_EQ(Receive(Bytes({0x02, 0x83, 0x02, 0xC0, 0xF1})).InfoLines.size(), 1U);
    EXPECT_EQ(Receive(Bytes({0x01, 0x83, 0x02, 0xC0, 0xF2})).InfoLines,
              std::vector<std::string>{"[10:20:30] [异常接收!][帧长度错误!][01 83 02 C0 F2 ]"});

    // A refused coil command is decoded while the command waits; it is not its echo.
    RunState.CoilCommand = BuildCoilCommand(1, TCoilAction::Zero);
    RunState.CoilCommandMode = true;
    std::vector<std::uint8_t> refusal = Bytes({0x01, 0x85, 0x04});
    AppendCrc(refusal);
    outcome = Receive(refusal);
    EXPECT_EQ(outcome.InfoLines,
              std::vector<std::string>{
                  "[10:20:30] [从机异常应答!][功能码:05 写单个线圈][异常码:04 从站设备故障]"});
    EXPECT_FALSE(outcome.EchoAccepted);
    EXPECT_FALSE(RunState.CoilAck);
}

TEST_F(PollingRunTest, WrongSlaveRepeatsTheRequestThenNamesTheRequestedAddress) {
    PretendRun(1, 1, 2);
    RunState.SetSendCaption("发送: 01 03 00 00 00 02 C4 0B ");
    Pend();
    std::vector<std::uint8_t> reply = Bytes({0x02, 0x03, 0x04, 0, 0, 0, 0x7B});
    AppendCrc(reply);
    const TShown outcome = Receive(reply);
    ASSERT_EQ(outcome.InfoLines.size(), 2U);
    EXPECT_EQ(outcome.InfoLines[0], "发送: 01 03 00 00 00 02 C4 0B ");
    EXPECT_EQ(outcome.InfoLines[1],
              "[10:20:30] [应答站号不符!][请求站号为:1][" + HexText(reply) + "]");
}

TEST_F(PollingRunTest, BlockWithoutPendingRequestIsMarkedAndAGoodOneStillAccepted) {
    PretendRun(1, 1, 2);
    RunState.RequestPending.Clear();
    EXPECT_EQ(
        Receive(Bytes({0x01, 0x03, 0x04, 0x00, 0x00, 0x00, 0x7B, 0xBA, 0x11})).InfoLines.at(0),
        "[10:20:30] [异常接收!][CRC校验错误!][01 03 04 00 00 00 7B BA 11 ]");

    const TShown good = Receive(Bytes({0x01, 0x03, 0x04, 0xFF, 0xFF, 0xFF, 0xFE, 0x3A, 0x67}));
    EXPECT_TRUE(good.InfoLines.empty());
    EXPECT_EQ(RunState.RegisterValues, std::vector<std::int32_t>{-2});
    EXPECT_TRUE(RunState.PollEvent->IsSignalled());
}

TEST_F(PollingRunTest, GoodReplyOutsideARunOnlyUpdatesTheValues) {
    ParamRegisterCount->SetValue(2);
    RunState.CurrentSlave = 1;
    const TShown outcome = Receive(Bytes({0x01, 0x03, 0x04, 0x80, 0x00, 0x00, 0x00, 0xD3, 0xF3}));
    EXPECT_TRUE(outcome.InfoLines.empty());
    EXPECT_EQ(RunState.RegisterValues, std::vector<std::int32_t>{INT32_MIN});
    EXPECT_EQ(RunState.PollEvent, nullptr);
}

TEST_F(PollingRunTest, CoilModeOnlyMatchesTheEcho) {
    PretendRun(1, 1, 2);
    Pend();
    RunState.CoilCommand = BuildCoilCommand(1, TCoilAction::Zero);
    RunState.CoilCommandMode = true;

    // A good read reply is neither checked, stored nor signalled in this mode.
    TShown outcome = Receive(Bytes({0x01, 0x03, 0x04, 0x00, 0x00, 0x00, 0x7B, 0xBA, 0x10}));
    EXPECT_EQ(outcome.ReceiveCaption, "接收: 01 03 04 00 00 00 7B BA 10 ");
    EXPECT_TRUE(outcome.InfoLines.empty());
    EXPECT_TRUE(RunState.RegisterValues.empty());
    EXPECT_TRUE(RunState.RequestPending.IsPending());
    EXPECT_FALSE(RunState.PollEvent->IsSignalled());
    EXPECT_FALSE(RunState.CoilAck);
    EXPECT_FALSE(outcome.EchoAccepted);

    // Nine bytes beginning with the echo, or the echo with another CRC, are not the echo.
    std::vector<std::uint8_t> longer(RunState.CoilCommand.begin(), RunState.CoilCommand.end());
    longer.push_back(0);
    EXPECT_TRUE(Receive(longer).InfoLines.empty());
    std::vector<std::uint8_t> otherCrc(RunState.CoilCommand.begin(), RunState.CoilCommand.end());
    otherCrc.back() ^= 0x01;
    EXPECT_TRUE(Receive(otherCrc).InfoLines.empty());
    EXPECT_FALSE(RunState.CoilAck);

    EXPECT_TRUE(Receive(Bytes({0x01, 0x05, 0x00, 0x0A, 0xFF, 0x00, 0xAC, 0x38})).EchoAccepted);
    EXPECT_TRUE(RunState.CoilAck);
}

// ---- Result messages ----

TEST_F(PollingRunTest, GoodResultWritesValuesAndBothCounts) {
    PretendRun(1, 3, 4);
    RunState.RegisterValues = {7, -8};
    RunState.FailCounts[1] = 4;
    const auto update = Run.PollResult(RunState.RunId, 2, PollResultGood);
    ASSERT_TRUE(update);
    EXPECT_EQ(update->Row, 1U);
    EXPECT_FALSE(update->TimedOut);
    EXPECT_EQ(update->ValueCells, (std::vector<std::string>{"7", "-8"}));
    EXPECT_EQ(update->OkText, "1");
    EXPECT_EQ(update->FailText, "4");
    EXPECT_EQ(RunState.OkCounts, (std::vector<std::int32_t>{0, 1, 0}));
}

TEST_F(PollingRunTest, TimeoutCountsFailAndKeepsTheValues) {
    PretendRun(5, 7, 2);
    RunState.RegisterValues = {99};
    RunState.OkCounts[2] = 10;
    const auto update = Run.PollResult(RunState.RunId, 7, PollResultTimeout);
    ASSERT_TRUE(update);
    EXPECT_EQ(update->Row, 2U);
    EXPECT_TRUE(update->TimedOut);
    EXPECT_TRUE(update->ValueCells.empty());
    EXPECT_EQ(update->OkText, "10");
    EXPECT_EQ(update->FailText, "1");
}

TEST_F(PollingRunTest, RegisterCountOneCountsWithoutValueCells) {
    PretendRun(1, 1, 1);
    RunState.RegisterValues = {};
    const auto update = Run.PollResult(RunState.RunId, 1, PollResultGood);
    ASSERT_TRUE(update);
    EXPECT_TRUE(update->ValueCells.empty());
    EXPECT_EQ(update->OkText, "1");
}

TEST_F(PollingRunTest, ResultsOutsideTheRunAreIgnored) {
    PretendRun(1, 2, 2);
    const std::uint32_t run = RunState.RunId;
    EXPECT_FALSE(Run.PollResult(run - 1, 1, PollResultGood)) << "an earlier run's result";
    EXPECT_FALSE(Run.PollResult(run, 3, PollResultGood)) << "an address past the table";
    EXPECT_FALSE(Run.PollResult(run, 0, PollResultGood)) << "an address before the table";
    RunState.PollingActive = false;
    EXPECT_FALSE(Run.PollResult(run, 1, PollResultGood)) << "after Stop";
    EXPECT_EQ(RunState.OkCounts, (std::vector<std::int32_t>{0, 0}));
}

// ---- Status line ----

TEST_F(PollingRunTest, ElapsedTimeTexts) {
    PretendRun(1, 1, 2);
    const TSteadyTime start = Clock.Steady();
    RunState.PollStartTime = start;
    EXPECT_EQ(Run.StatusText(start + 400ms), "已测试: 0秒");
    EXPECT_EQ(Run.StatusText(start + 9s), "已测试: 9秒");
    EXPECT_EQ(Run.StatusText(start + 59s + 900ms), "已测试: 59秒 通讯频率: 0次/秒");
    EXPECT_EQ(Run.StatusText(start + 61s), "已测试: 1分1秒 通讯频率: 0次/秒");
    EXPECT_EQ(Run.StatusText(start + 3725s), "已测试: 1小时2分5秒 通讯频率: 0次/秒");
}

TEST_F(PollingRunTest, RateIsSampledAtTenSecondPointsAndRoundedHalfToEven) {
    PretendRun(1, 2, 2);
    const TSteadyTime start = Clock.Steady();
    RunState.PollStartTime = start;
    RunState.RateBaseOkCount = 0;
    EXPECT_EQ(Run.StatusText(start + 9s), "已测试: 9秒");

    RunState.OkCounts[0] = 52;
    RunState.OkCounts[1] = 1000; // only the first position counts
    EXPECT_EQ(Run.StatusText(start + 10s), "已测试: 10秒 通讯频率: 5次/秒");
    // The second tick in the same second takes no second sample.
    RunState.OkCounts[0] = 77;
    EXPECT_EQ(Run.StatusText(start + 10s + 500ms), "已测试: 10秒 通讯频率: 5次/秒");
    EXPECT_EQ(RunState.RateBaseOkCount, 52);

    RunState.OkCounts[0] = 52 + 25;
    EXPECT_EQ(Run.StatusText(start + 20s), "已测试: 20秒 通讯频率: 2次/秒");
    RunState.OkCounts[0] = 77 + 35;
    EXPECT_EQ(Run.StatusText(start + 30s), "已测试: 30秒 通讯频率: 4次/秒");
    // No growth: no sample, the last rate stays.
    EXPECT_EQ(Run.StatusText(start + 40s), "已测试: 40秒 通讯频率: 4次/秒");
    // A skipped point: the next sample covers both steps and still divides by 10.
    RunState.OkCounts[0] = 112 + 300;
    EXPECT_EQ(Run.StatusText(start + 50s), "已测试: 50秒 通讯频率: 30次/秒");
}

TEST_F(PollingRunTest, ResetRestartsTheRateSampling) {
    PretendRun(1, 1, 2);
    const TSteadyTime start = Clock.Steady();
    RunState.PollStartTime = start;
    RunState.OkCounts[0] = 500;
    RunState.FailCounts[0] = 3;
    Run.StatusText(start + 10s);
    EXPECT_EQ(RunState.RateBaseOkCount, 500);

    Run.ResetCounts();
    EXPECT_EQ(RunState.OkCounts[0], 0);
    EXPECT_EQ(RunState.FailCounts[0], 0);
    RunState.OkCounts[0] = 40;
    // Counted from 0 again, so the next point samples at once.
    EXPECT_EQ(Run.StatusText(start + 20s), "已测试: 20秒 通讯频率: 4次/秒");
}

TEST(DivideRoundHalfEvenTest, HalvesGoToTheEvenNeighbour) {
    EXPECT_EQ(DivideRoundHalfEven(25, 10), 2);
    EXPECT_EQ(DivideRoundHalfEven(35, 10), 4);
    EXPECT_EQ(DivideRoundHalfEven(52, 10), 5);
    EXPECT_EQ(DivideRoundHalfEven(56, 10), 6);
    EXPECT_EQ(DivideRoundHalfEven(5, 10), 0);
    EXPECT_EQ(DivideRoundHalfEven(15, 10), 2);
    EXPECT_EQ(DivideRoundHalfEven(-25, 10), -2);
    EXPECT_EQ(DivideRoundHalfEven(-35, 10), -4);
    EXPECT_EQ(DivideRoundHalfEven(-36, 10), -4);
}

TEST_F(PollingRunTest, StartTimeText) {
    EXPECT_EQ(TPollingRun::StartTimeText(TFakeClock::LocalDateTime(2026, 1, 2, 3, 4, 5)),
              "开始测试时间: 2026-01-02 03:04:05");
    EXPECT_EQ(TimeStampText(TFakeClock::LocalDateTime(2026, 1, 2, 23, 4, 5)), "[23:04:05] ");
}

// ---- Start checks and layout ----

TEST_F(PollingRunTest, SettingsThatCannotMakeARunAreRefused) {
    ParamPollFrom->SetValue(1);
    ParamPollTo->SetValue(10);
    ParamRegisterCount->SetValue(2);
    EXPECT_EQ(Run.SettingsError(), "");

    ParamPollFrom->SetValue(7);
    ParamPollTo->SetValue(5);
    EXPECT_EQ(Run.SettingsError(), "起始从机地址(7)大于结束从机地址(5)，无法开始运行！");

    // Addresses outside the boxes' range, as only Config.ini can hold them.
    ParamPollTo->SetValue(2);
    ParamPollFrom->SetValue(0);
    EXPECT_EQ(Run.SettingsError(), "从机地址范围(0-2)超出1到254，无法开始运行！");
    ParamPollFrom->SetValue(250);
    ParamPollTo->SetValue(255);
    EXPECT_EQ(Run.SettingsError(), "从机地址范围(250-255)超出1到254，无法开始运行！");
    ParamPollTo->SetValue(254);
    EXPECT_EQ(Run.SettingsError(), "");

    ParamRegisterCount->SetValue(0);
    EXPECT_NE(Run.SettingsError().find("请求寄存器数量(0)"), std::string::npos);
}

TEST_F(PollingRunTest, LayoutFollowsRangeAndRegisterCount) {
    ParamPollFrom->SetValue(5);
    ParamPollTo->SetValue(7);
    ParamRegisterCount->SetValue(16);
    TRunLayout layout = Run.Layout();
    EXPECT_EQ(layout.Positions, 3U);
    EXPECT_EQ(layout.ValueColumns, 8);
    ParamRegisterCount->SetValue(3);
    EXPECT_EQ(Run.Layout().ValueColumns, 1);
}

} // namespace
