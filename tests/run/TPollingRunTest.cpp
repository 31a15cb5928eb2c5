// The run on its own: the reply checks of the receive path and their lines, the
// request word, the counts and the status line. No port: requests are marked
// and results counted by the test, as the poll thread would.
#include "TPollingRun.h"
#include "TComm.h"
#include "TFakeClock.h"
#include "TNoticeQueue.h"

#include <gtest/gtest.h>

#include <regex>

using namespace std::chrono_literals;
using TState = TPendingRequest::TState;

namespace {

std::vector<std::uint8_t> Bytes(std::initializer_list<int> values) {
    std::vector<std::uint8_t> bytes;
    for (int v : values)
        bytes.push_back(static_cast<std::uint8_t>(v));
    return bytes;
}

std::vector<std::uint8_t> WithCrc(std::vector<std::uint8_t> bytes) {
    AppendCrc(bytes);
    return bytes;
}

const std::vector<std::uint8_t> Good123 =
    Bytes({0x01, 0x03, 0x04, 0x00, 0x00, 0x00, 0x7B, 0xBA, 0x10});

class PollingRunTest : public ::testing::Test, protected TRunListener {
protected:
    PollingRunTest() {
        Run.SetClock(Clock);
        Settings.PollFrom = 1;
        Settings.PollTo = 3;
        Settings.RegisterCount = 2;
        Run.UseSettings(Settings);
    }

    /// A request to `slave` goes out now; returns its ticket.
    std::uint32_t Pend(int slave = 1) {
        Run.CurrentSlave = slave;
        return Run.RequestPending.Mark(slave, MonotonicNanoseconds());
    }

    std::vector<std::string> Receive(const std::vector<std::uint8_t>& block) {
        const TReceiveOutcome outcome = Run.ReceiveData(block, Clock.Now());
        Caption = outcome.ReceiveCaption;
        std::vector<std::string> lines;
        for (const TInfoLine& line : outcome.InfoLines)
            lines.push_back(line.Text);
        return lines;
    }

    void LinesReady() override { ++LineNotices; }

    TFakeClock Clock{TFakeClock::LocalDateTime(2026, 3, 14, 10, 20, 30)};
    TManualNoticeQueue Queue;
    TComm Comm{Queue};
    TPollingRun Run{Comm, Queue, *this};
    TRunSettings Settings;
    std::string Caption;
    int LineNotices = 0;
};

// ---- The receive path ----

TEST_F(PollingRunTest, EachCheckWritesItsLineAndOnlyAGoodReplyDecidesItsPoll) {
    struct TCase {
        const char* Name;
        std::vector<std::uint8_t> Block;
        std::vector<std::string> Lines;
        TState State;
    };
    const std::vector<std::uint8_t> other = WithCrc(Bytes({0x02, 0x03, 0x04, 0, 0, 0, 0x7B}));
    auto damaged = Good123;
    damaged[0] = 0x03; // the address byte hit on the line: the CRC no longer fits
    const std::vector<std::uint8_t> function = WithCrc(Bytes({0x01, 0x04, 0x04, 0, 0, 0, 0x7B}));
    const std::vector<std::uint8_t> count = WithCrc(Bytes({0x01, 0x03, 0x05, 0, 0, 0, 0x7B}));
    const std::string sent = "发送: 01 03 00 00 00 02 C4 0B ";
    const std::vector<TCase> cases = {
        {"good", Good123, {}, TState::Good},
        {"bad CRC",
         Bytes({0x01, 0x03, 0x04, 0x00, 0x00, 0x00, 0x7B, 0xBA, 0x11}),
         {"[10:20:30] [CRC校验错误!][01 03 04 00 00 00 7B BA 11 ]"},
         TState::Answered},
        {"short",
         Bytes({0x01, 0x03, 0x04, 0x00}),
         {"[10:20:30] [帧长度错误!][01 03 04 00 ]"},
         TState::Answered},
        {"another slave, intact",
         other,
         {sent, "[10:20:30] [应答站号不符!][请求站号为:1][" + HexText(other) + "]"},
         TState::Answered},
        {"damaged address",
         damaged,
         {"[10:20:30] [CRC校验错误!][" + HexText(damaged) + "]"},
         TState::Answered},
        {"function",
         function,
         {"[10:20:30] [接收帧功能码错误!][" + HexText(function) + "]"},
         TState::Answered},
        {"byte count",
         count,
         {"[10:20:30] [数据长度错误!][" + HexText(count) + "]"},
         TState::Answered},
    };
    for (const TCase& c : cases) {
        Run.SetSendCaption(sent);
        const std::uint32_t ticket = Pend();
        EXPECT_EQ(Receive(c.Block), c.Lines) << c.Name;
        EXPECT_EQ(Caption, "接收: " + HexText(c.Block)) << c.Name;
        EXPECT_EQ(Run.RequestPending.Load().State, c.State) << c.Name;
        // Only a decided poll ends its wait.
        EXPECT_EQ(Run.PollEvent.WaitUntil(std::chrono::steady_clock::now(), {}, ticket),
                  c.State == TState::Good)
            << c.Name;
    }
}

TEST_F(PollingRunTest, AnExceptionReplyEndsItsPollOnceAndIsDecoded) {
    const std::uint32_t ticket = Pend();
    EXPECT_EQ(Receive(Bytes({0x01, 0x83, 0x02, 0xC0, 0xF1})),
              (std::vector<std::string>{
                  "[10:20:30] [帧长度错误!][01 83 02 C0 F1 ]",
                  "[10:20:30] [从机异常应答!][功能码:03 读保持寄存器][异常码:02 非法数据地址]"}));
    EXPECT_EQ(Run.RequestPending.Load().State, TState::Refused);
    EXPECT_TRUE(Run.PollEvent.WaitUntil(std::chrono::steady_clock::now(), {}, ticket));

    // From another slave, or with a bad CRC, it is a length failure only, and decides nothing.
    for (const auto& block :
         {Bytes({0x02, 0x83, 0x02, 0xC0, 0xF1}), Bytes({0x01, 0x83, 0x02, 0xC0, 0xF2})}) {
        Pend();
        EXPECT_EQ(Receive(block).size(), 1U);
        EXPECT_EQ(Run.RequestPending.Load().State, TState::Answered);
    }
}

TEST_F(PollingRunTest, AReplyAfterTheTimeOutIsNeverCountedNorTimedAndSaysHowLate) {
    Run.Start(Settings);
    Run.Stop(); // the table exists; the test plays the poll thread
    const std::uint32_t ticket = Pend(2);
    const std::int64_t expired = MonotonicNanoseconds() - 50'000'000; // ran out 50 ms ago
    ASSERT_EQ(Run.RequestPending.Expire(ticket, expired), TState::TimedOut);
    Run.PollingActive = true;

    const auto good = WithCrc(Bytes({0x02, 0x03, 0x04, 0, 0, 0, 0x07}));
    const std::vector<std::string> lines = Receive(good);
    ASSERT_EQ(lines.size(), 1U);
    const std::regex late(
        R"(\[10:20:30\] \[超时后应答!\]\[站号:2\]\[超时后(5\d|[6-9]\d|\d{3,})ms\]\[)" +
        HexText(good) + R"(\])");
    EXPECT_TRUE(std::regex_match(lines[0], late)) << lines[0];
    EXPECT_EQ(Run.RequestPending.Load().State, TState::TimedOut);
    EXPECT_FALSE(Run.PollEvent.IsSignalled());
    EXPECT_TRUE(Run.Row(1).ValueCells.empty());
    EXPECT_EQ(Run.ResponseTimes(1).Count(), 0U);

    // A late refusal is late too, and decoded.
    const auto refusal = WithCrc(Bytes({0x02, 0x83, 0x04}));
    const std::vector<std::string> refused = Receive(refusal);
    ASSERT_EQ(refused.size(), 2U);
    EXPECT_NE(refused[0].find("[超时后应答!][站号:2]"), std::string::npos);
    EXPECT_NE(refused[1].find("[从机异常应答!]"), std::string::npos);
}

// The poll thread may wake late (a loaded machine): the clock still decides. An
// answer that comes after Poll Timeout times its request out itself, and wakes the
// poll thread, which then counts the failure.
TEST_F(PollingRunTest, AReplyPastPollTimeoutIsLateEvenBeforeThePollThreadSaysSo) {
    Run.CurrentSlave = 1;
    const std::uint32_t ticket = Run.RequestPending.Mark(1, MonotonicNanoseconds() - 700'000'000);
    const std::vector<std::string> lines = Receive(Good123);
    ASSERT_EQ(lines.size(), 1U);
    EXPECT_NE(lines[0].find("[超时后应答!][站号:1][超时后2"), std::string::npos) << lines[0];
    EXPECT_EQ(Run.RequestPending.Load().State, TState::TimedOut);
    EXPECT_TRUE(Run.PollEvent.WaitUntil(std::chrono::steady_clock::now(), {}, ticket));
}

TEST_F(PollingRunTest, WithNoRequestOpenABlockIsMarkedAndAGoodOneAcceptedSilently) {
    Run.CurrentSlave = 1;
    EXPECT_EQ(Receive(Bytes({0x01, 0x03, 0x04, 0x00, 0x00, 0x00, 0x7B, 0xBA, 0x11})),
              std::vector<std::string>{
                  "[10:20:30] [异常接收!][CRC校验错误!][01 03 04 00 00 00 7B BA 11 ]"});
    EXPECT_TRUE(Receive(Bytes({0x01, 0x03, 0x04, 0xFF, 0xFF, 0xFF, 0xFE, 0x3A, 0x67})).empty());
    // A second block for an answered request is marked too.
    Pend();
    Receive(Bytes({0x01}));
    EXPECT_EQ(Receive(Bytes({0x01, 0x03})),
              std::vector<std::string>{"[10:20:30] [异常接收!][帧长度错误!][01 03 ]"});
}

TEST_F(PollingRunTest, WhileACoilCommandWaitsOnlyItsEchoOrItsRefusalCounts) {
    const std::uint32_t ticket = Pend();
    Run.CoilCommand = BuildCoilCommand(1, TCoilAction::Zero);
    Run.CoilCommandMode = true;

    // A good read reply is neither checked, stored nor signalled in this mode.
    EXPECT_TRUE(Receive(Good123).empty());
    EXPECT_EQ(Caption, "接收: 01 03 04 00 00 00 7B BA 10 ");
    EXPECT_EQ(Run.RequestPending.Load().State, TState::Pending);
    EXPECT_FALSE(Run.PollEvent.WaitUntil(std::chrono::steady_clock::now(), {}, ticket));

    // Nine bytes beginning with the echo, or the echo with another CRC, are not the echo.
    std::vector<std::uint8_t> longer(Run.CoilCommand.begin(), Run.CoilCommand.end());
    longer.push_back(0);
    std::vector<std::uint8_t> otherCrc(Run.CoilCommand.begin(), Run.CoilCommand.end());
    otherCrc.back() ^= 0x01;
    for (const auto& block : {longer, otherCrc})
        EXPECT_TRUE(Receive(block).empty());
    EXPECT_FALSE(Run.CoilAck);
    EXPECT_FALSE(Run.CoilRefused);

    EXPECT_EQ(Receive(WithCrc(Bytes({0x01, 0x85, 0x04}))),
              std::vector<std::string>{
                  "[10:20:30] [从机异常应答!][功能码:05 写单个线圈][异常码:04 从站设备故障]"});
    EXPECT_TRUE(Run.CoilRefused);
    EXPECT_TRUE(
        Run.ReceiveData(Bytes({0x01, 0x05, 0x00, 0x0A, 0xFF, 0x00, 0xAC, 0x38}), Clock.Now())
            .EchoAccepted);
    EXPECT_TRUE(Run.CoilAck);
}

TEST_F(PollingRunTest, LinesWaitBoundedForTheFrontEndAndADropIsSaid) {
    for (int i = 0; i < 3; ++i)
        Run.AddLine({TInfoKind::Other, std::nullopt, Clock.Now(), "line " + std::to_string(i)});
    EXPECT_EQ(Queue.RunPending(), 1U) << "one notice for lines that come together";
    EXPECT_EQ(LineNotices, 1);
    EXPECT_EQ(Run.TakeLines().size(), 3U);

    // A flood beyond the bound costs lines, not memory, and the list says so.
    const std::string big(1 << 20, 'x');
    for (int i = 0; i < 20; ++i)
        Run.AddLine({TInfoKind::Crc, 1, Clock.Now(), big});
    const std::vector<TInfoLine> taken = Run.TakeLines();
    ASSERT_EQ(taken.size(), 17U);
    EXPECT_EQ(taken.back().Kind, TInfoKind::Overflow);
    EXPECT_EQ(taken.back().Text, "[10:20:30] [出错信息过多!][已丢弃4行]");
}

// ---- The request word ----

TEST(PendingRequestTest, EachRequestIsDecidedOnceByTheReplyOrTheTimeOut) {
    TPendingRequest request;
    // A reply decides first: the time-out that follows finds it decided.
    std::uint32_t ticket = request.Mark(7, 1);
    EXPECT_EQ(request.Take().State, TState::Pending);
    EXPECT_TRUE(request.Resolve(ticket, TState::Good));
    EXPECT_EQ(request.Expire(ticket, 2), TState::Good);
    // The time-out decides first: the reply is too late.
    ticket = request.Mark(7, 3);
    EXPECT_EQ(request.Expire(ticket, 4), TState::TimedOut);
    EXPECT_EQ(request.Take().State, TState::TimedOut);
    EXPECT_FALSE(request.Resolve(ticket, TState::Good));
    EXPECT_EQ(request.ExpiredAt(), 4);
    // A reply for an older request decides nothing of a newer one.
    const std::uint32_t old = ticket;
    ticket = request.Mark(-3, 5);
    EXPECT_FALSE(request.Resolve(old, TState::Good));
    EXPECT_EQ(request.Load().Slave, -3);
    EXPECT_EQ(request.Load().Ticket, ticket);
    EXPECT_TRUE(request.Load().Open());
    // Stop: a request still open ends cancelled and a reply then decides nothing;
    // one a reply decided first keeps its outcome, to be counted.
    EXPECT_EQ(request.Cancel(ticket), TState::Cancelled);
    EXPECT_FALSE(request.Resolve(ticket, TState::Good));
    ticket = request.Mark(7, 6);
    EXPECT_TRUE(request.Resolve(ticket, TState::Refused));
    EXPECT_EQ(request.Cancel(ticket), TState::Refused);
}

// ---- Counts and the status line ----

TEST_F(PollingRunTest, CountsFillTheirRowsAndATimeOutShowsInTheReceivePanel) {
    Settings.RegisterCount = 4;
    Run.Start(Settings);
    Run.Stop();
    Pend(2);
    Receive(WithCrc(Bytes({0x02, 0x03, 0x08, 0, 0, 0, 7, 0xFF, 0xFF, 0xFF, 0xF8})));
    Run.CountResult(2, TState::Good);
    Run.CountResult(3, TState::TimedOut);
    Run.CountResult(3, TState::Refused);
    Run.CountResult(9, TState::Good); // outside the table: nothing

    EXPECT_EQ(Run.TakeChangedRows(), (std::vector<std::size_t>{1, 2}));
    const TRowSnapshot two = Run.Row(1);
    EXPECT_EQ(two.ValueCells, (std::vector<std::string>{"7", "-8"}));
    EXPECT_EQ(std::make_pair(two.Ok, two.Fail), std::make_pair(1, 0));
    EXPECT_EQ(std::make_pair(Run.Row(2).Ok, Run.Row(2).Fail), std::make_pair(0, 2));
    EXPECT_FALSE(Run.Row(0).Counted);
    EXPECT_EQ(Run.Totals(), std::make_pair(std::int64_t{1}, std::int64_t{2}));
    EXPECT_EQ(Run.ReceiveCaption(), TimeoutCaption);
}

TEST_F(PollingRunTest, StatusTextShowsTheElapsedTimeAndTheFirstSlavesRate) {
    Run.Start(Settings);
    Run.Stop();
    const TSteadyTime start = Clock.Steady();
    struct TStep {
        std::chrono::seconds At;
        int NewOk; // good polls of the first slave since the step before
        std::string Text;
    };
    const std::vector<TStep> steps = {
        {0s, 0, "已测试: 0秒"},
        {59s, 0, "已测试: 59秒 通讯频率: 0次/秒"},
        {60s, 25, "已测试: 1分0秒 通讯频率: 2次/秒"},  // 25 in 10 s: 2.5 goes to 2
        {70s, 35, "已测试: 1分10秒 通讯频率: 4次/秒"}, // 3.5 goes to 4
        {75s, 50, "已测试: 1分15秒 通讯频率: 4次/秒"}, // only at the 10-second points
        {3725s, 0, "已测试: 1小时2分5秒 通讯频率: 4次/秒"},
    };
    for (const TStep& step : steps) {
        for (int i = 0; i < step.NewOk; ++i)
            Run.CountResult(1, TState::Good);
        EXPECT_EQ(Run.StatusText(start + step.At), step.Text);
    }
    // A reset starts the sampling again from 0.
    Run.ResetCounts();
    for (int i = 0; i < 30; ++i)
        Run.CountResult(1, TState::Good);
    EXPECT_EQ(Run.StatusText(start + 3730s), "已测试: 1小时2分10秒 通讯频率: 3次/秒");
}

TEST(DivideRoundHalfEvenTest, HalvesGoToTheEvenNeighbour) {
    const std::pair<std::int64_t, std::int32_t> cases[] = {
        {25, 2}, {35, 4}, {24, 2}, {26, 3}, {-25, -2}, {-35, -4}, {0, 0}, {5, 0}, {15, 2}};
    for (const auto& [value, expected] : cases)
        EXPECT_EQ(DivideRoundHalfEven(value, 10), expected) << value;
}

TEST_F(PollingRunTest, StartTimeText) {
    EXPECT_EQ(TPollingRun::StartTimeText(Clock.Now()), "开始测试时间: 2026-03-14 10:20:30");
}

// ---- Start checks ----

TEST(PollingRunSettingsTest, SettingsThatCannotMakeARunAreRefused) {
    struct TCase {
        int From, To, Count, Begin;
        std::string Error;
    };
    const std::vector<TCase> cases = {
        {1, 10, 2, 0, ""},
        {5, 4, 2, 0, "起始从机地址(5)大于结束从机地址(4)，无法开始运行！"},
        {0, 2, 2, 0, "从机地址范围(0-2)超出1到254，无法开始运行！"},
        {250, 255, 2, 0, "从机地址范围(250-255)超出1到254，无法开始运行！"},
        {1, 1, 0, 0, "请求寄存器数量(0)超出1到125，无法开始运行！"},
        {1, 1, 126, 0, "请求寄存器数量(126)超出1到125，无法开始运行！"},
        {1, 1, 2, 65536, "起始寄存器地址(65536)超出0到65535，无法开始运行！"},
    };
    for (const TCase& c : cases) {
        TRunSettings s;
        s.PollFrom = c.From;
        s.PollTo = c.To;
        s.RegisterCount = c.Count;
        s.RegisterBegin = c.Begin;
        EXPECT_EQ(TPollingRun::SettingsError(s), c.Error);
    }
}

TEST(PollingRunSettingsTest, LayoutFollowsRangeAndRegisterCount) {
    TRunSettings s;
    s.PollFrom = 5;
    s.PollTo = 7;
    s.RegisterCount = 16;
    TRunLayout layout = TPollingRun::Layout(s);
    EXPECT_EQ(layout.Positions, 3U);
    EXPECT_EQ(layout.ValueColumns, 8);
    s.RegisterCount = 3;
    s.PollTo = 4;
    layout = TPollingRun::Layout(s);
    EXPECT_EQ(layout.Positions, 0U);
    EXPECT_EQ(layout.ValueColumns, 1);
}

TEST(PollingRunSettingsTest, TimeoutAndIntervalFromTheFileAreKeptSane) {
    TRunSettings s;
    s.PollTimeout = 0;
    s.PollInterval = -5;
    EXPECT_EQ(PollTimeoutAtUse(s), 1ms);
    EXPECT_EQ(PollIntervalAtUse(s), 0ms);
    s.PollTimeout = 2'000'000'000;
    s.PollInterval = 2'000'000'000;
    EXPECT_EQ(PollTimeoutAtUse(s), 10000ms);
    EXPECT_EQ(PollIntervalAtUse(s), 10000ms);
}

} // namespace
