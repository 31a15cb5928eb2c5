// The zero and un-zero commands, as both front ends send them, against a device
// played on a pseudo-terminal: alone, during a run, in both framings, and many
// at random moments of a loaded run.
#include "TSessionTest.h"

#include <atomic>
#include <random>
#include <thread>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto Patience = 10s; // upper bound of every wait; reached only on failure

bool IsCoil(const TFrame8& frame) {
    return frame[1] == 0x05;
}

/// Echoes every coil command and answers every read at once.
std::vector<TDeviceReply> EchoAndAnswer(const TFrame8& request) {
    if (IsCoil(request))
        return {{std::vector<std::uint8_t>(request.begin(), request.end()), {}}};
    return {{GoodReply(request[0], request[5], {42}), {}}};
}

class CoilCommandTest : public TSessionTest {
protected:
    CoilCommandTest() { Settings.PollTimeout = 100; }

    /// Sends a command and pumps until its result has come.
    std::optional<TCoilResult> Send(TCoilAction action, int slave = 1) {
        std::optional<TCoilResult> result;
        if (!Session.SendCoil(action, slave, Settings, [&](const TCoilResult& r) { result = r; }))
            return std::nullopt;
        Queue.RunUntil([&] { return result.has_value(); }, Patience);
        Queue.RunPending();
        return result;
    }

    std::vector<TFrame8> CoilRequests() const {
        std::vector<TFrame8> coils;
        for (const TFrame8& request : Device.Requests())
            if (IsCoil(request))
                coils.push_back(request);
        return coils;
    }
};

// Alone (the port closed first): the port is opened with the settings and stays
// open; the frame follows the slave and the command; the outcome decides the line.
TEST_F(CoilCommandTest, TheOutcomeDecidesTheLineAndEndsTheWaitAsSoonAsItIsKnown) {
    struct TCase {
        const char* Name;
        TCoilAction Action;
        int Slave;
        std::function<std::vector<TDeviceReply>(const TFrame8&)> Script;
        TCoilOutcome Outcome;
        std::vector<std::string> Lines;
        std::chrono::milliseconds Least, Most;
    };
    std::vector<std::uint8_t> refusal = {0x05, 0x85, 0x02};
    AppendCrc(refusal);
    const std::vector<TCase> cases = {
        {"echo",
         TCoilAction::Zero,
         1,
         EchoAndAnswer,
         TCoilOutcome::Echoed,
         {"清零成功！"},
         100ms,
         450ms},
        {"nothing",
         TCoilAction::UnZero,
         1,
         nullptr,
         TCoilOutcome::TimedOut,
         {"反清零超时！"},
         580ms,
         3000ms},
        {"refusal",
         TCoilAction::Zero,
         5,
         [=](const TFrame8&) {
             return std::vector<TDeviceReply>{{refusal, {}}};
         },
         TCoilOutcome::Refused,
         {"[10:20:30] [从机异常应答!][功能码:05 写单个线圈][异常码:02 非法数据地址]", "清零超时！"},
         100ms,
         450ms},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        Session.ClosePort();
        Device.SetScript(c.Script);
        Device.ClearRequests();
        Lines.clear();
        const auto start = Clock::now();
        const std::optional<TCoilResult> result = Send(c.Action, c.Slave);
        const auto took = Clock::now() - start;
        ASSERT_TRUE(result.has_value());
        EXPECT_EQ(result->Outcome, c.Outcome);
        EXPECT_EQ(result->Slave, c.Slave);
        EXPECT_EQ(Lines, c.Lines);
        // The port had to be opened: 100 ms pass before the command goes out.
        EXPECT_GE(took, c.Least);
        EXPECT_LT(took, c.Most);
        EXPECT_TRUE(Session.Comm1.PortOpen()) << "the port stays open after a command";
        ASSERT_EQ(CoilRequests().size(), 1U);
        EXPECT_EQ(CoilRequests()[0], BuildCoilCommand(c.Slave, c.Action));
    }
    EXPECT_EQ(BuildCoilCommand(5, TCoilAction::Zero),
              (TFrame8{0x05, 0x05, 0x00, 0x0A, 0xFF, 0x00, 0xAD, 0xBC}));
}

// In the fixed-length framing the reader cuts read replies by their length, which an
// echo never has: it cuts 8 bytes while the command waits, and the reply length after.
TEST_F(CoilCommandTest, FixedLengthFramingTakesTheEchoAndThenReadsAgain) {
    Settings.FrameBreakMode = 0;
    Device.SetScript(EchoAndAnswer);
    ASSERT_TRUE(Session.OpenAsSet(Settings));
    const std::optional<TCoilResult> result = Send(TCoilAction::Zero);
    ASSERT_TRUE(result);
    EXPECT_TRUE(result->Echoed());
    Session.StartRun(Settings, 3);
    ASSERT_TRUE(Queue.RunUntil([&] { return Session.Run.Ended(); }, Patience));
    EXPECT_EQ(Session.Run.Totals(), std::make_pair(std::int64_t{3}, std::int64_t{0}));
}

// Changed port settings reopen the port before a command; a port that cannot be
// opened sends nothing and says why.
TEST_F(CoilCommandTest, ChangedSettingsReopenThePortAndAMissingPortSendsNothing) {
    Device.SetScript(EchoAndAnswer);
    ASSERT_TRUE(Send(TCoilAction::Zero)->Echoed());
    Settings.BaudRate = 9600;
    ASSERT_TRUE(Send(TCoilAction::Zero)->Echoed());
    EXPECT_EQ(Session.Comm1.BaudRate(), 9600U);

    Settings.CommName = Device.Path() + "-missing";
    Lines.clear();
    EXPECT_FALSE(Send(TCoilAction::Zero).has_value());
    EXPECT_FALSE(Session.Comm1.PortOpen());
    Queue.RunPending();
    ASSERT_EQ(Lines.size(), 1U);
    EXPECT_NE(Lines[0].find("[串口打开失败!][" + Settings.CommName + "]"), std::string::npos);
    EXPECT_EQ(CoilRequests().size(), 2U);
}

// During a run the command goes on the line between two polls: no request goes out
// while it waits for its echo, and polling goes on after it.
TEST_F(CoilCommandTest, DuringARunTheCommandGoesBetweenTwoPolls) {
    Settings.PollInterval = 20;
    std::atomic<bool> commandOnLine{false};
    std::atomic<int> requestsMeanwhile{0};
    Device.SetScript([&](const TFrame8& request) -> std::vector<TDeviceReply> {
        if (IsCoil(request)) {
            commandOnLine = true;
            // The echo comes late, 150 ms: a poll in that time would be seen.
            return {{std::vector<std::uint8_t>(request.begin(), request.end()), 150ms}};
        }
        if (commandOnLine)
            ++requestsMeanwhile;
        return {{GoodReply(request[0], request[5], {42}), {}}};
    });
    ASSERT_TRUE(Session.OpenAsSet(Settings));
    Session.StartRun(Settings);
    ASSERT_TRUE(Device.WaitForRequests(3, Patience));
    const std::optional<TCoilResult> result = Send(TCoilAction::UnZero);
    commandOnLine = false;
    ASSERT_TRUE(result);
    EXPECT_TRUE(result->Echoed());
    EXPECT_EQ(requestsMeanwhile, 0);
    const std::size_t after = Device.RequestCount();
    EXPECT_TRUE(Device.WaitForRequests(after + 3, Patience)) << "polling goes on";
    EXPECT_EQ(Session.Run.Totals().second, 0) << "no poll fails for the command";
}

// Hundreds of commands at random moments of a run on a loaded machine: each is
// answered once with its true result, and polling goes on after every one.
TEST_F(CoilCommandTest, ManyCommandsAtRandomMomentsOfALoadedRunEachGetTheirOwnResult) {
    Settings.PollTimeout = 200;
    Settings.PollInterval = 0;
    Settings.FrameBreakMode = 0; // the reader switches between reply and echo lengths each time
    Device.SetScript(EchoAndAnswer);
    ASSERT_TRUE(Session.OpenAsSet(Settings));
    Session.StartRun(Settings);

    // Load: a thread that spins beside the run, as other work on a test station.
    std::atomic<bool> loaded{true};
    std::jthread load([&] {
        while (loaded)
            std::this_thread::yield();
    });

    std::mt19937 random(20261208);
    constexpr int Commands = 200;
    int echoed = 0;
    for (int i = 0; i < Commands; ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
        const std::int64_t polledBefore = Session.Run.Totals().first;
        const auto action = i % 2 == 0 ? TCoilAction::Zero : TCoilAction::UnZero;
        const std::optional<TCoilResult> result = Send(action);
        ASSERT_TRUE(result.has_value()) << "command " << i << " was never answered";
        echoed += result->Echoed() ? 1 : 0;
        EXPECT_EQ(result->Action, action);
        // Polling goes on after the command.
        ASSERT_TRUE(
            Queue.RunUntil([&] { return Session.Run.Totals().first > polledBefore; }, Patience))
            << "polling stalled after command " << i;
    }
    loaded = false;
    EXPECT_EQ(echoed, Commands);
    Queue.RunPending();
    const auto results = std::count_if(Lines.begin(), Lines.end(), [](const std::string& line) {
        return line == "清零成功！" || line == "反清零成功！";
    });
    EXPECT_EQ(results, Commands) << "one line per command";
    EXPECT_EQ(CoilRequests().size(), static_cast<std::size_t>(Commands));
    EXPECT_EQ(Session.Run.Totals().second, 0);
}

// Closing the port, as Stop and closing the window do, ends a waiting command at
// once as timed out.
TEST_F(CoilCommandTest, ClosingThePortEndsAWaitingCommand) {
    ASSERT_TRUE(Session.OpenAsSet(Settings)); // nothing answers
    std::optional<TCoilResult> result;
    ASSERT_TRUE(Session.SendCoil(TCoilAction::Zero, 1, Settings,
                                 [&](const TCoilResult& r) { result = r; }));
    std::this_thread::sleep_for(50ms);
    const auto before = Clock::now();
    Session.ClosePort();
    EXPECT_LT(Clock::now() - before, 300ms);
    Queue.RunPending();
    ASSERT_TRUE(result);
    EXPECT_EQ(result->Outcome, TCoilOutcome::TimedOut);
    EXPECT_EQ(Lines, std::vector<std::string>{"清零超时！"});
}

} // namespace
