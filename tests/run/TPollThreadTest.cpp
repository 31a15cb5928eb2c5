// The run logic driven through the real serial link against a device played on
// a pseudo-terminal; the test thread pumps the window queue, as the window
// thread would.
#include "TPollThread.h"
#include "TComm.h"
#include "TFakeClock.h"
#include "TPollingRun.h"
#include "TPtyDevice.h"
#include "TQueuePollHost.h"
#include "TRunState.h"
#include "TSysParam.h"
#include "TTempConfig.h"
#include "TNoticeQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto Patience = 5s; // upper bound of every wait; reached only on failure

class PollThreadTest : public ::testing::Test {
protected:
    void SetUp() override {
        RunState.Reset();
        Config.Load();
        UseOneSlaveSettings(Device.Path(), 115200, 150);
        Comm.OnReceiveData = [this](TComm&, const char* buffer, std::uint16_t length) {
            const TReceiveOutcome outcome = Run.ReceiveData(
                TByteSpan(reinterpret_cast<const std::uint8_t*>(buffer), length), FakeClock.Now());
            Captions.push_back(outcome.ReceiveCaption);
            for (const TInfoLine& line : outcome.InfoLines)
                Lines.push_back(line.Text);
        };
    }

    void TearDown() override {
        Device.SetScript({});
        Run.Stop();
        Comm.ClosePort();
        RunState.Reset();
    }

    void Open() {
        ApplyCommSettings(Comm);
        Comm.OpenPort();
        ASSERT_TRUE(Comm.PortOpen()) << Comm.PortOpenError();
    }

    void StartRun() {
        Open();
        Run.Start(Host, FakeClock.Steady());
    }

    /// Stops the run and lets the reply to its last request land and be dropped: a test
    /// that starts again must not see it (a COM-pair relay, or a loaded machine, can hold
    /// it back past the next request).
    void StopAndSettle() {
        Run.Stop();
        for (int quiet = 0; quiet < 3;) {
            std::this_thread::sleep_for(20ms);
            quiet = Comm.DiscardInput().empty() ? quiet + 1 : 0;
        }
    }

    /// Pumps the window queue until `done` holds; false after Patience.
    bool PumpUntil(const std::function<bool()>& done) { return Queue.RunUntil(done, Patience); }

    bool PumpUntilUpdates(std::size_t count) {
        return PumpUntil([&] { return Updates.size() >= count; });
    }

    TTempConfig Config;
    TPtyDevice Device;
    TManualNoticeQueue Queue;
    TComm Comm{Queue};
    TFakeClock FakeClock;
    TPollingRun Run;
    std::vector<std::string> Captions;
    std::vector<std::string> Lines;
    std::vector<std::pair<std::int32_t, std::int32_t>> Posted; // every result, shown or not
    std::vector<TRowUpdate> Updates;                           // the results shown
    TQueuePollHost Host{Comm,
                        Queue,
                        [this](std::uint32_t runId, std::int32_t slave, std::int32_t result) {
                            Posted.emplace_back(slave, result);
                            if (auto update = Run.PollResult(runId, slave, result))
                                Updates.push_back(*update);
                        },
                        {},
                        [this](const std::vector<char>& bytes) {
                            Lines.push_back(
                                TPollingRun::DiscardedLine(bytes, FakeClock.Now()).Text);
                        }};
};

TEST_F(PollThreadTest, GoodReplyFillsItsRow) {
    ParamRegisterBegin->SetValue(3);
    ParamRegisterCount->SetValue(4);
    Device.SetScript(AnswerAll([](int slave) {
        return std::vector<std::int32_t>{slave * 100, -slave};
    }));
    StartRun();
    ASSERT_TRUE(PumpUntilUpdates(1));

    EXPECT_EQ(Device.Requests().at(0), BuildReadRequest(1, 3, 4));
    EXPECT_FALSE(Updates[0].TimedOut);
    EXPECT_EQ(Updates[0].ValueCells, (std::vector<std::string>{"100", "-1"}));
    EXPECT_EQ(Updates[0].OkText, "1");
    EXPECT_EQ(Updates[0].FailText, "0");
    EXPECT_TRUE(Lines.empty());
    EXPECT_EQ(Captions.at(0), "接收: " + HexText(GoodReply(1, 4, {100, -1})));
    EXPECT_EQ(RunState.SendCaption(), "发送: " + HexText(BuildReadRequest(1, 3, 4)));
}

TEST_F(PollThreadTest, BadCrcGivesItsLineThenATimeout) {
    const auto bad = WithBadCrc(GoodReply(1, 2, {123}));
    Device.SetScript([=](const TFrame8&) { return std::vector<TDeviceReply>{{bad, {}}}; });
    const auto start = Clock::now();
    StartRun();
    ASSERT_TRUE(PumpUntilUpdates(1));

    EXPECT_GE(Clock::now() - start, 140ms) << "a bad reply ends the poll only at Poll Timeout";
    ASSERT_FALSE(Lines.empty());
    EXPECT_EQ(Lines[0], "[10:20:30] [CRC校验错误!][" + HexText(bad) + "]");
    EXPECT_TRUE(Updates[0].TimedOut);
    EXPECT_EQ(Updates[0].OkText, "0");
    EXPECT_EQ(Updates[0].FailText, "1");
}

TEST_F(PollThreadTest, WrongSlaveGivesTheRequestAndTheMismatchLine) {
    const auto reply = GoodReply(2, 2, {5});
    Device.SetScript([=](const TFrame8&) { return std::vector<TDeviceReply>{{reply, {}}}; });
    StartRun();
    ASSERT_TRUE(PumpUntil([&] { return Lines.size() >= 2; }));
    EXPECT_EQ(Lines[0], "发送: " + HexText(BuildReadRequest(1, 0, 2)));
    EXPECT_EQ(Lines[1], "[10:20:30] [应答站号不符!][请求站号为:1][" + HexText(reply) + "]");
}

// Slave 2 never answers. What slave 1 sends after its poll has ended (a second
// reply during the interval, or a reply later than Poll Timeout) must not end
// slave 2's poll: each of slave 2's polls waits out Poll Timeout and fails.
TEST_F(PollThreadTest, ALateOrSecondReplyNeverEndsALaterPoll) {
    struct TCase {
        const char* Name;
        std::vector<TDeviceReply> Replies;
    };
    const auto reply = GoodReply(1, 2, {41});
    const std::vector<TCase> cases = {
        {"second reply", {{reply, {}}, {reply, 40ms}}},
        {"late reply", {{reply, 150ms}}},
    };
    ParamPollTo->SetValue(2);
    ParamPollTimeout->SetValue(100);
    ParamPollInterval->SetValue(250);
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        Device.SetScript([replies = c.Replies](const TFrame8& request) {
            return request[0] == 1 ? replies : std::vector<TDeviceReply>{};
        });
        Updates.clear();
        StartRun();
        ASSERT_TRUE(PumpUntilUpdates(4));
        Run.Stop();
        Comm.ClosePort();
        Queue.RunPending();
        const auto times = Device.RequestTimes();
        for (std::size_t i = 0; i < 4; ++i)
            if (Updates[i].Row == 1) {
                EXPECT_TRUE(Updates[i].TimedOut) << "poll " << i;
                if (i + 1 < times.size()) {
                    EXPECT_GE(times[i + 1] - times[i], 100ms + 250ms - 20ms) << "poll " << i;
                }
            }
        EXPECT_TRUE(Lines.empty());
        Device.ClearRequests();
    }
}

TEST_F(PollThreadTest, SecondBadBlockForOneRequestIsMarked) {
    ParamPollTimeout->SetValue(300);
    ParamPollInterval->SetValue(150);
    const auto good = GoodReply(1, 2, {41});
    const auto bad = WithBadCrc(good);
    Device.SetScript([=](const TFrame8&) {
        return std::vector<TDeviceReply>{{good, {}}, {bad, 40ms}};
    });
    StartRun();
    ASSERT_TRUE(PumpUntil([&] { return !Lines.empty(); }));
    EXPECT_EQ(Lines[0], "[10:20:30] [异常接收!][CRC校验错误!][" + HexText(bad) + "]");
}

TEST_F(PollThreadTest, FrameWithNoRequestPendingIsAcceptedSilently) {
    RunState.CurrentSlave = 1; // as an earlier run of slave 1 left it
    Open();
    Device.Write(GoodReply(1, 2, {77}));
    ASSERT_TRUE(PumpUntil([&] { return Captions.size() >= 1; }));
    EXPECT_TRUE(Lines.empty());
    EXPECT_EQ(RunState.RegisterValues, std::vector<std::int32_t>{77});

    const auto bad = WithBadCrc(GoodReply(1, 2, {78}));
    Device.Write(bad);
    ASSERT_TRUE(PumpUntil([&] { return Captions.size() >= 2; }));
    ASSERT_EQ(Lines.size(), 1U);
    EXPECT_EQ(Lines[0], "[10:20:30] [异常接收!][CRC校验错误!][" + HexText(bad) + "]");
}

// Fixed length: a truncated reply, or a stray byte after a good one, would shift
// every later block. Each poll starts from a clean input instead: the bytes
// left over are dropped and shown in one line, and at most the spoiled poll fails.
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
    ParamPollTimeout->SetValue(80);
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        auto asked = std::make_shared<std::atomic<int>>(0);
        Device.SetScript([asked, second = c.Second, good](const TFrame8&) {
            return std::vector<TDeviceReply>{{++*asked == 2 ? second : good, {}}};
        });
        Updates.clear();
        Lines.clear();
        StartRun();
        ASSERT_TRUE(PumpUntilUpdates(6));
        StopAndSettle();
        Comm.ClosePort();
        Queue.RunPending();
        int failures = 0;
        for (const TRowUpdate& update : Updates)
            failures += update.TimedOut ? 1 : 0;
        EXPECT_EQ(failures, c.Failures);
        EXPECT_FALSE(Updates.back().TimedOut);
        ASSERT_EQ(Lines.size(), 1U);
        EXPECT_EQ(Lines[0], "[10:20:30] [残留数据已丢弃!][" + HexText(c.Dropped) + "]");
    }
}

TEST_F(PollThreadTest, PollsTheRangeInOrderAndWraps) {
    ParamPollFrom->SetValue(5);
    ParamPollTo->SetValue(7);
    ParamPollTimeout->SetValue(20);
    StartRun();
    ASSERT_TRUE(Device.WaitForRequests(7, Patience));
    ASSERT_TRUE(PumpUntilUpdates(6));
    const auto requests = Device.Requests();
    const int expected[] = {5, 6, 7, 5, 6, 7, 5};
    for (std::size_t i = 0; i < 7; ++i)
        EXPECT_EQ(requests[i][0], expected[i]) << "request " << i;
    for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(Updates[i].Row, i % 3);
        EXPECT_TRUE(Updates[i].TimedOut);
    }
}

TEST_F(PollThreadTest, SilentSlaveTakesTimeoutPlusIntervalPerPoll) {
    ParamPollTimeout->SetValue(40);
    ParamPollInterval->SetValue(60);
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
// wait it cuts short gives no result.
TEST_F(PollThreadTest, StopEndsAWaitOrAnIntervalAtOnce) {
    ParamPollTimeout->SetValue(5000);
    ParamPollInterval->SetValue(5000);
    for (const bool answered : {false, true}) {
        SCOPED_TRACE(answered ? "in the interval" : "in the reply wait");
        if (answered)
            Device.SetScript(AnswerAll([](int) { return std::vector<std::int32_t>{1}; }));
        Posted.clear();
        StartRun();
        ASSERT_TRUE(Device.WaitForRequests(1, Patience));
        if (answered)
            ASSERT_TRUE(PumpUntil([&] { return Posted.size() == 1; }));
        else
            std::this_thread::sleep_for(50ms);
        const auto before = Clock::now();
        Run.Stop();
        EXPECT_LT(Clock::now() - before, 1s);
        EXPECT_FALSE(Run.Running());
        EXPECT_EQ(RunState.PollEvent, nullptr);
        Comm.ClosePort();
        Queue.RunPending();
        EXPECT_EQ(Posted.size(), answered ? 1U : 0U);
        EXPECT_EQ(Device.RequestCount(), 1U);
        Device.ClearRequests();
    }
}

// Counts carry over into a run of the same range; a run of another range starts from 0.
TEST_F(PollThreadTest, CountsCarryOverOnlyIntoARunOfTheSameRange) {
    ParamPollTo->SetValue(2);
    Device.SetScript(AnswerAll([](int slave) { return std::vector<std::int32_t>{slave}; }));
    StartRun();
    ASSERT_TRUE(PumpUntil([&] { return RunState.OkCounts[0] >= 3; }));
    StopAndSettle();
    Queue.RunPending();
    const std::int32_t firstCount = RunState.OkCounts[0];

    Updates.clear();
    Run.Start(Host, FakeClock.Steady());
    ASSERT_TRUE(PumpUntilUpdates(1));
    EXPECT_EQ(Updates[0].OkText, std::to_string(firstCount + 1));
    StopAndSettle();
    Queue.RunPending();

    // Same number of addresses, moved from 1..2 to 5..6: slave 5 starts from 0.
    ParamPollFrom->SetValue(5);
    ParamPollTo->SetValue(6);
    Updates.clear();
    Run.Start(Host, FakeClock.Steady());
    ASSERT_TRUE(PumpUntilUpdates(1));
    EXPECT_EQ(Updates[0].Row, 0U);
    EXPECT_EQ(Updates[0].ValueCells, std::vector<std::string>{"5"});
    EXPECT_EQ(Updates[0].OkText, "1");
}

// At full speed a reply is often still on its way when Stop comes. It is then
// checked against the request it answers, never against an address the thread
// would have polled next.
TEST_F(PollThreadTest, AReplyAfterStopIsCheckedAgainstItsOwnRequest) {
    ParamPollTo->SetValue(3);
    ParamPollTimeout->SetValue(200);
    Device.SetScript(AnswerAll([](int slave) { return std::vector<std::int32_t>{slave}; }));
    for (int round = 0; round < 20; ++round) {
        StartRun();
        ASSERT_TRUE(PumpUntil([&] { return Device.RequestCount() >= 5; }));
        Run.Stop();
        Comm.ClosePort();
        Queue.RunPending();
        Device.ClearRequests();
    }
    EXPECT_TRUE(Lines.empty()) << Lines.front();
}

TEST_F(PollThreadTest, RegisterCountSixteenAndOne) {
    ParamRegisterCount->SetValue(16);
    Device.SetScript(
        AnswerAll([](int) { return std::vector<std::int32_t>{1, 2, 3, 4, 5, 6, 7, 8}; }));
    StartRun();
    ASSERT_TRUE(PumpUntilUpdates(1));
    EXPECT_EQ(Updates[0].ValueCells,
              (std::vector<std::string>{"1", "2", "3", "4", "5", "6", "7", "8"}));
    StopAndSettle();
    Comm.ClosePort();
    Queue.RunPending(); // a reply that came while Stop blocked, as the window would take it

    ParamRegisterCount->SetValue(1);
    Updates.clear();
    StartRun();
    ASSERT_TRUE(PumpUntilUpdates(1));
    EXPECT_FALSE(Updates[0].TimedOut);
    EXPECT_TRUE(Updates[0].ValueCells.empty());
    EXPECT_TRUE(Lines.empty());
}

TEST_F(PollThreadTest, ResetDuringARunCountsFromZero) {
    Device.SetScript(AnswerAll([](int) { return std::vector<std::int32_t>{1}; }));
    StartRun();
    ASSERT_TRUE(PumpUntil([&] { return RunState.OkCounts[0] >= 5; }));
    Run.ResetCounts();
    const std::size_t seen = Updates.size();
    ASSERT_TRUE(PumpUntilUpdates(seen + 1));
    EXPECT_EQ(Updates[seen].OkText, "1");
    EXPECT_EQ(Updates[seen].FailText, "0");
}

TEST_F(PollThreadTest, TimeoutAndIntervalFromTheFileAreKeptSane) {
    ParamPollTimeout->SetValue(-5);
    ParamPollInterval->SetValue(-100);
    EXPECT_EQ(PollTimeoutAtUse(), 1ms);
    EXPECT_EQ(PollIntervalAtUse(), 0ms);
    ParamPollTimeout->SetValue(2'000'000'000);
    ParamPollInterval->SetValue(2'000'000'000);
    EXPECT_EQ(PollTimeoutAtUse(), 10000ms);
    EXPECT_EQ(PollIntervalAtUse(), 10000ms);

    // A negative time-out must not turn into a wait of days: polls go on quickly
    // and Stop returns at once.
    ParamPollTimeout->SetValue(-5);
    ParamPollInterval->SetValue(-100);
    StartRun();
    ASSERT_TRUE(Device.WaitForRequests(20, Patience));
    const auto before = Clock::now();
    Run.Stop();
    EXPECT_LT(Clock::now() - before, 1s);
}

} // namespace
