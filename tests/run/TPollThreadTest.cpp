// A run driven through the real serial link against a device played on a
// pseudo-terminal: the session's reader judges the replies, the poll thread
// counts, and the test thread pumps the notice queue as a front end would.
#include "TSessionTest.h"

#include <atomic>
#include <memory>
#include <regex>
#include <thread>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto Patience = 5s; // upper bound of every wait; reached only on failure

class PollThreadTest : public TSessionTest {
protected:
    void RunEnded() override { Ended = true; }

    void StartRun(std::optional<std::int64_t> cycles = std::nullopt) {
        ASSERT_TRUE(Session.OpenAsSet(Settings)) << Session.Comm1.PortOpenError();
        Session.StartRun(Settings, cycles);
    }

    /// Stops the run and lets the reply to its last request land and be dropped: a test
    /// that starts again must not see it (a COM-pair relay, or a loaded machine, can hold
    /// it back past the next request).
    void StopAndSettle() {
        Session.StopRun();
        for (int quiet = 0; quiet < 3;) {
            std::this_thread::sleep_for(20ms);
            quiet = Session.Comm1.DiscardInput().empty() ? quiet + 1 : 0;
        }
        Queue.RunPending();
        Lines.clear();
    }

    /// Pumps the queue until `done` holds; false after Patience.
    bool PumpUntil(const std::function<bool()>& done) { return Queue.RunUntil(done, Patience); }
    bool PumpUntilResults(std::int64_t count) {
        return PumpUntil([&] {
            const auto [ok, fail] = Session.Run.Totals();
            return ok + fail >= count;
        });
    }
    TRowSnapshot Row(std::size_t p) { return Session.Run.Row(p); }

    bool Ended = false;
};

TEST_F(PollThreadTest, GoodReplyFillsItsRow) {
    Settings.RegisterBegin = 3;
    Settings.RegisterCount = 4;
    Device.SetScript(AnswerAll([](int slave) {
        return std::vector<std::int32_t>{slave * 100, -slave};
    }));
    StartRun();
    ASSERT_TRUE(PumpUntilResults(1));
    EXPECT_EQ(Device.Requests().at(0), BuildReadRequest(1, 3, 4));
    EXPECT_EQ(Row(0).ValueCells, (std::vector<std::string>{"100", "-1"}));
    EXPECT_GE(Row(0).Ok, 1);
    EXPECT_EQ(Row(0).Fail, 0);
    EXPECT_GE(Session.Run.ResponseTimes(0).Count(), 1U);
    EXPECT_TRUE(Lines.empty());
    EXPECT_EQ(Session.Run.SendCaption(), "发送: " + HexText(BuildReadRequest(1, 3, 4)));
    EXPECT_EQ(Session.Run.ReceiveCaption(), "接收: " + HexText(GoodReply(1, 4, {100, -1})));
}

TEST_F(PollThreadTest, ABadReplyGivesItsLineThenATimeout) {
    struct TCase {
        const char* Name;
        std::vector<std::uint8_t> Reply;
        std::string Line;
    };
    const auto bad = WithBadCrc(GoodReply(1, 2, {123}));
    auto damaged = GoodReply(1, 2, {123});
    damaged[0] ^= 0x40; // an address bit hit on the line
    const auto other = GoodReply(2, 2, {5});
    const std::vector<TCase> cases = {
        {"bad CRC", bad, "[10:20:30] [CRC校验错误!][" + HexText(bad) + "]"},
        {"damaged address", damaged, "[10:20:30] [CRC校验错误!][" + HexText(damaged) + "]"},
        {"another slave", other,
         "[10:20:30] [应答站号不符!][请求站号为:1][" + HexText(other) + "]"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        Device.SetScript([=](const TFrame8&) { return std::vector<TDeviceReply>{{c.Reply, {}}}; });
        Ended = false;
        const auto start = Clock::now();
        StartRun(1);
        ASSERT_TRUE(PumpUntil([&] { return Ended; }));
        EXPECT_GE(Clock::now() - start, 140ms) << "a bad reply ends the poll only at Poll Timeout";
        Queue.RunPending();
        std::vector<std::string> expected{c.Line};
        if (c.Reply == other) // the request it answers, as the send panel showed it
            expected.insert(expected.begin(), "发送: " + HexText(BuildReadRequest(1, 0, 2)));
        EXPECT_EQ(Lines, expected);
        EXPECT_EQ(std::make_pair(Row(0).Ok, Row(0).Fail), std::make_pair(0, 1));
        EXPECT_EQ(Session.Run.ReceiveCaption(), TimeoutCaption);
        StopAndSettle();
        Session.Run.ResetCounts();
    }
}

// A slave that answers after Poll Timeout: its polls fail, its late replies are
// neither counted nor timed, and each one says in the error list that it came
// late and how late, so a slow slave is not taken for a dead one.
TEST_F(PollThreadTest, ALateReplyIsNeitherCountedNorTimedAndSaysHowLate) {
    Settings.PollTimeout = 60;
    Settings.PollInterval = 200;
    Device.SetScript([](const TFrame8&) {
        return std::vector<TDeviceReply>{{GoodReply(1, 2, {41}), 110ms}};
    });
    StartRun();
    ASSERT_TRUE(PumpUntil([&] { return Lines.size() >= 2; }));
    StopAndSettle();
    const TRowSnapshot row = Row(0);
    EXPECT_EQ(row.Ok, 0);
    EXPECT_GE(row.Fail, 2);
    EXPECT_TRUE(row.ValueCells.empty());
    EXPECT_EQ(Session.Run.ResponseTimes(0).Count(), 0U);
}

TEST_F(PollThreadTest, LateLinesNameTheSlaveAndTheDelay) {
    Settings.PollTimeout = 60;
    Settings.PollInterval = 300;
    const auto reply = GoodReply(1, 2, {41});
    Device.SetScript([=](const TFrame8&) { return std::vector<TDeviceReply>{{reply, 160ms}}; });
    StartRun();
    ASSERT_TRUE(PumpUntil([&] { return !Lines.empty(); }));
    // 160 ms after a request that timed out after 60: about 100 ms late.
    const std::regex late(R"(\[10:20:30\] \[超时后应答!\]\[站号:1\]\[超时后(\d+)ms\]\[)" +
                          HexText(reply) + R"(\])");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(Lines[0], match, late)) << Lines[0];
    EXPECT_GE(std::stoi(match[1]), 60);
    EXPECT_LT(std::stoi(match[1]), 1000);
}

// An exception reply ends its poll at once as a failure, in both framings, and
// says so once: the length line, then the decoded refusal. In the fixed-length
// framing the reader takes its five bytes as a block of their own.
TEST_F(PollThreadTest, AnExceptionEndsItsPollAtOnceInBothFramings) {
    std::vector<std::uint8_t> refusal = {0x01, 0x83, 0x02};
    AppendCrc(refusal);
    Device.SetScript([=](const TFrame8&) { return std::vector<TDeviceReply>{{refusal, {}}}; });
    Settings.PollTimeout = 3000;
    for (const int mode : {0, 1}) {
        SCOPED_TRACE(mode == 0 ? "fixed length" : "fixed interval");
        Settings.FrameBreakMode = mode;
        Ended = false;
        const auto start = Clock::now();
        StartRun(2);
        ASSERT_TRUE(PumpUntil([&] { return Ended; }));
        EXPECT_LT(Clock::now() - start, 2s) << "two refusals must not wait out 3 s each";
        Queue.RunPending();
        EXPECT_EQ(std::make_pair(Row(0).Ok, Row(0).Fail), std::make_pair(0, 2));
        EXPECT_EQ(Lines, (std::vector<std::string>{
                             "[10:20:30] [帧长度错误!][01 83 02 C0 F1 ]",
                             "[10:20:30] [从机异常应答!][功能码:03 读保持寄存器][异常码:02 "
                             "非法数据地址]",
                             "[10:20:30] [帧长度错误!][01 83 02 C0 F1 ]",
                             "[10:20:30] [从机异常应答!][功能码:03 读保持寄存器][异常码:02 "
                             "非法数据地址]"}));
        EXPECT_EQ(Session.Run.ReceiveCaption(), "接收: 01 83 02 C0 F1 ");
        StopAndSettle();
        Session.Run.ResetCounts();
    }
}

// With a number of passes the run ends on the line too: no request follows the
// last pass, so nothing is left on the line for whoever opens the port next.
TEST_F(PollThreadTest, PassesEndTheRunAfterTheLastReplyWithNoRequestAfterIt) {
    Settings.PollFrom = 5;
    Settings.PollTo = 7;
    Settings.PollInterval = 0;
    Device.SetScript(AnswerAll([](int slave) { return std::vector<std::int32_t>{slave}; }));
    StartRun(4);
    ASSERT_TRUE(PumpUntil([&] { return Ended; }));
    EXPECT_TRUE(Session.Run.Ended());
    std::this_thread::sleep_for(200ms);
    const auto requests = Device.Requests();
    ASSERT_EQ(requests.size(), 12U);
    for (std::size_t i = 0; i < requests.size(); ++i)
        EXPECT_EQ(requests[i][0], 5 + i % 3) << "request " << i;
    EXPECT_EQ(Session.Run.Totals(), std::make_pair(std::int64_t{12}, std::int64_t{0}));
}

TEST_F(PollThreadTest, LeftoverBytesAreDroppedAndShownBeforeTheNextRequest) {
    struct TCase {
        const char* Name;
        std::vector<std::uint8_t> Second; // what the second request gets
        std::vector<std::uint8_t> Dropped;
        int Failures;
    };
    const auto good = GoodReply(1, 2, {7});
    std::vector<std::uint8_t> stray = good;
    stray.push_back(0xAA);
    const std::vector<TCase> cases = {
        {"truncated reply", {good.begin(), good.begin() + 5}, {good.begin(), good.begin() + 5}, 1},
        {"stray byte", stray, {0xAA}, 0},
    };
    Settings.PollTimeout = 80;
    Settings.FrameBreakMode = 0; // fixed length: a short block would shift every later one
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        auto asked = std::make_shared<std::atomic<int>>(0);
        Device.SetScript([asked, second = c.Second, good](const TFrame8&) {
            return std::vector<TDeviceReply>{{++*asked == 2 ? second : good, {}}};
        });
        Ended = false;
        StartRun(6);
        ASSERT_TRUE(PumpUntil([&] { return Ended; }));
        Queue.RunPending();
        EXPECT_EQ(Row(0).Fail, c.Failures);
        EXPECT_EQ(Row(0).Ok, 6 - c.Failures);
        ASSERT_EQ(Lines.size(), 1U);
        EXPECT_EQ(Lines[0], "[10:20:30] [残留数据已丢弃!][" + HexText(c.Dropped) + "]");
        StopAndSettle();
        Session.Run.ResetCounts();
    }
}

TEST_F(PollThreadTest, ASilentSlaveTakesTimeoutPlusIntervalPerPoll) {
    Settings.PollTimeout = 40;
    Settings.PollInterval = 60;
    StartRun();
    ASSERT_TRUE(Device.WaitForRequests(5, Patience));
    const auto times = Device.RequestTimes();
    // Measured where the device reads the requests, so each gap carries the
    // link's jitter; their sum does not.
    EXPECT_GE(times[4] - times[0], 4 * 100ms - 20ms);
    for (std::size_t i = 1; i < 5; ++i)
        EXPECT_GE(times[i] - times[i - 1], 75ms) << "between requests " << i - 1 << " and " << i;
}

// Stop ends a reply wait or an interval at once, however long they are, and a
// wait it cuts short counts nothing.
TEST_F(PollThreadTest, StopEndsAWaitOrAnIntervalAtOnce) {
    Settings.PollTimeout = 5000;
    Settings.PollInterval = 5000;
    for (const bool answered : {false, true}) {
        SCOPED_TRACE(answered ? "in the interval" : "in the reply wait");
        if (answered)
            Device.SetScript(AnswerAll([](int) { return std::vector<std::int32_t>{1}; }));
        StartRun();
        ASSERT_TRUE(Device.WaitForRequests(1, Patience));
        if (answered)
            ASSERT_TRUE(PumpUntilResults(1));
        else
            std::this_thread::sleep_for(50ms);
        const auto before = Clock::now();
        Session.StopRun();
        EXPECT_LT(Clock::now() - before, 1s);
        EXPECT_FALSE(Session.Run.Running());
        EXPECT_EQ(Session.Run.Totals().first + Session.Run.Totals().second, answered ? 1 : 0);
        EXPECT_EQ(Device.RequestCount(), 1U);
        StopAndSettle();
        Device.ClearRequests();
        Session.Run.ResetCounts();
    }
}

// Counts carry over into a run of the same range; a run of another range starts from 0.
TEST_F(PollThreadTest, CountsCarryOverOnlyIntoARunOfTheSameRange) {
    Settings.PollTo = 2;
    Device.SetScript(AnswerAll([](int slave) { return std::vector<std::int32_t>{slave}; }));
    StartRun(3);
    ASSERT_TRUE(PumpUntil([&] { return Ended; }));
    StopAndSettle();
    Ended = false;
    StartRun(1);
    ASSERT_TRUE(PumpUntil([&] { return Ended; }));
    EXPECT_EQ(Row(0).Ok, 4);
    StopAndSettle();

    // Same number of addresses, moved from 1..2 to 5..6: slave 5 starts from 0.
    Settings.PollFrom = 5;
    Settings.PollTo = 6;
    Ended = false;
    StartRun(1);
    ASSERT_TRUE(PumpUntil([&] { return Ended; }));
    EXPECT_EQ(Row(0).ValueCells, std::vector<std::string>{"5"});
    EXPECT_EQ(Row(0).Ok, 1);
    StopAndSettle();

    // The value statistics go on only under the same limits: what lay outside the
    // old ones says nothing of the new.
    Settings.Limits.Values = {TValueLimit{std::nullopt, 4.0}};
    Ended = false;
    StartRun(1);
    ASSERT_TRUE(PumpUntil([&] { return Ended; }));
    ASSERT_TRUE(Row(0).Verdict.has_value());
    EXPECT_FALSE(Row(0).Verdict->Pass);
    StopAndSettle();
    Settings.Limits.Values = {TValueLimit{std::nullopt, 9.0}};
    Ended = false;
    StartRun(1);
    ASSERT_TRUE(PumpUntil([&] { return Ended; }));
    EXPECT_TRUE(Row(0).Verdict->Pass);
    EXPECT_EQ(Row(0).Stats.at(0).Above, 0U);
}

// At full speed a reply is often still on its way when Stop comes. It is then
// checked against the request it answers, never against an address the thread
// would have polled next.
TEST_F(PollThreadTest, AReplyAfterStopIsCheckedAgainstItsOwnRequest) {
    Settings.PollTo = 3;
    Settings.PollTimeout = 200;
    Device.SetScript(AnswerAll([](int slave) { return std::vector<std::int32_t>{slave}; }));
    for (int round = 0; round < 20; ++round) {
        StartRun();
        ASSERT_TRUE(PumpUntil([&] { return Device.RequestCount() >= 5; }));
        Session.StopRun();
        Session.ClosePort();
        Queue.RunPending();
        Device.ClearRequests();
    }
    EXPECT_TRUE(Lines.empty()) << Lines.front();
}

TEST_F(PollThreadTest, RegisterCountSixteenAndOne) {
    Settings.RegisterCount = 16;
    Device.SetScript(
        AnswerAll([](int) { return std::vector<std::int32_t>{1, 2, 3, 4, 5, 6, 7, 8}; }));
    StartRun(1);
    ASSERT_TRUE(PumpUntil([&] { return Ended; }));
    EXPECT_EQ(Row(0).ValueCells,
              (std::vector<std::string>{"1", "2", "3", "4", "5", "6", "7", "8"}));
    StopAndSettle();

    Settings.RegisterCount = 1;
    Session.Run.ResetCounts();
    Ended = false;
    StartRun(1);
    ASSERT_TRUE(PumpUntil([&] { return Ended; }));
    EXPECT_EQ(Row(0).Ok, 1);
    EXPECT_TRUE(Row(0).ValueCells.empty());
    EXPECT_TRUE(Lines.empty());
}

TEST_F(PollThreadTest, ResetDuringARunCountsFromZero) {
    Device.SetScript(AnswerAll([](int) { return std::vector<std::int32_t>{1}; }));
    StartRun();
    ASSERT_TRUE(PumpUntil([&] { return Row(0).Ok >= 5; }));
    Session.Run.ResetCounts();
    EXPECT_LT(Row(0).Ok, 3);
    EXPECT_EQ(Row(0).Fail, 0);
}

// The owning loop may stall (a busy screen, a dialog) for longer than Poll
// Timeout: the replies of a fault-free device are judged where they arrive, so
// not one poll fails for it.
TEST_F(PollThreadTest, AStalledOwnerLoopCostsNoPoll) {
    // Far under the stall, yet long enough for a loaded machine (wine starting
    // other tests beside this one) to answer within it.
    Settings.PollTimeout = 300;
    Settings.PollInterval = 0;
    Device.SetScript(AnswerAll([](int) { return std::vector<std::int32_t>{9}; }));
    StartRun();
    std::this_thread::sleep_for(1s); // the queue is not pumped meanwhile
    const auto [ok, fail] = Session.Run.Totals();
    EXPECT_GT(ok, 20);
    EXPECT_EQ(fail, 0);
}

TEST_F(PollThreadTest, ANegativeTimeoutFromTheFileNeitherHangsNorStallsStop) {
    Settings.PollTimeout = -5;
    Settings.PollInterval = -100;
    StartRun();
    ASSERT_TRUE(Device.WaitForRequests(20, Patience));
    const auto before = Clock::now();
    Session.StopRun();
    EXPECT_LT(Clock::now() - before, 1s);
}

} // namespace
