// The link keeper on the real serial link: a device played on a
// pseudo-terminal (under wine: a COM pair) vanishes and comes back under the
// same name; open failures and a refused rate become error lines. The test
// thread pumps the window queue, as the window would.
#include "TLinkKeeper.h"
#include "TComm.h"
#include "TFakeClock.h"
#include "TPollingRun.h"
#include "TPortStand.h"
#include "TQueuePollHost.h"
#include "TRunState.h"
#include "TSysParam.h"
#include "TTempConfig.h"
#include "TNoticeQueue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <system_error>

using namespace std::chrono_literals;

namespace {

constexpr auto Patience = 8s; // upper bound of every wait; reached only on failure

class LinkKeeperTest : public ::testing::Test {
protected:
    void SetUp() override {
        RunState.Reset();
        Config.Load();
        Port = std::make_unique<TPortStand>(Config.Directory());
        PortName = Port->Name();
        UseOneSlaveSettings(PortName, 19200, 100);
        Comm.OnReceiveData = [this](TComm&, const char* buffer, std::uint16_t length) {
            const TReceiveOutcome outcome = Run.ReceiveData(
                TByteSpan(reinterpret_cast<const std::uint8_t*>(buffer), length), FakeClock.Now());
            for (const TInfoLine& line : outcome.InfoLines)
                Lines.push_back(line.Text);
        };
        Keeper.SetClock(FakeClock);
        ApplyCommSettings(Comm);
    }

    void TearDown() override {
        Keeper.RunStopped();
        Run.Stop();
        Comm.ClosePort();
        Port.reset();
        RunState.Reset();
    }

    bool PumpUntil(const std::function<bool()>& done) { return Queue.RunUntil(done, Patience); }

    std::size_t LinesWith(const std::string& part) const {
        return static_cast<std::size_t>(std::count_if(Lines.begin(), Lines.end(), [&](auto& l) {
            return l.find(part) != std::string::npos;
        }));
    }

    bool GoodResultWith(const std::string& value) const {
        return std::any_of(Updates.begin(), Updates.end(), [&](const TRowUpdate& u) {
            return !u.TimedOut && u.ValueCells == std::vector<std::string>{value};
        });
    }

    TTempConfig Config;
    std::unique_ptr<TPortStand> Port;
    std::string PortName;
    TManualNoticeQueue Queue;
    TComm Comm{Queue};
    TFakeClock FakeClock;
    TPollingRun Run;
    std::vector<std::string> Lines;
    std::vector<TRowUpdate> Updates;
    TQueuePollHost Host{Comm, Queue,
                        [this](std::uint32_t runId, std::int32_t slave, std::int32_t result) {
                            if (auto update = Run.PollResult(runId, slave, result))
                                Updates.push_back(*update);
                        }};
    TLinkKeeper Keeper{Comm, Queue, [this](const TInfoLine& line) { Lines.push_back(line.Text); }};
};

TEST_F(LinkKeeperTest, AVanishedPortIsReportedAndOpenedAgainWhileTheRunIsOn) {
    Keeper.SetRetryPeriod(200ms);
    Port->Device().SetScript(AnswerAll([](int) { return std::vector<std::int32_t>{7}; }));
    ASSERT_TRUE(Keeper.OpenPort());
    Run.Start(Host, FakeClock.Steady());
    Keeper.RunStarted();
    ASSERT_TRUE(PumpUntil([&] { return GoodResultWith("7"); }));

    Port->Unplug(); // the adapter is pulled
    ASSERT_TRUE(PumpUntil([&] { return LinesWith("[串口已断开!]") > 0; }));
    EXPECT_EQ(Lines.back(), "[10:20:30] [串口已断开!][" + PortName + "]");
    EXPECT_FALSE(Comm.PortOpen()) << "the vanished device is let go of at once";
    EXPECT_TRUE(Keeper.Reconnecting());
    // Attempts while the port is missing (POSIX) fail quietly; polls time out meanwhile.
    const std::size_t updates = Updates.size();
    ASSERT_TRUE(PumpUntil([&] { return Updates.size() >= updates + 5; }));
    EXPECT_EQ(LinesWith("[串口已断开!]"), 1u);
    EXPECT_EQ(LinesWith("[串口打开失败!]"), 0u);

    Port->PlugIn(); // plugged in again: the same name, a new device
    Port->Device().SetScript(AnswerAll([](int) { return std::vector<std::int32_t>{8}; }));
    ASSERT_TRUE(PumpUntil([&] { return LinesWith("[串口已恢复!]") > 0; }));
    EXPECT_EQ(Lines.back(), "[10:20:30] [串口已恢复!][" + PortName + "]");
    EXPECT_FALSE(Keeper.Reconnecting());
    ASSERT_TRUE(PumpUntil([&] { return GoodResultWith("8"); })) << "polling goes on by itself";
    EXPECT_TRUE(Comm.PortOpen());
}

TEST_F(LinkKeeperTest, AVanishedPortOutsideARunIsReportedButNotOpenedAgain) {
    ASSERT_TRUE(Keeper.OpenPort());
    Port->Unplug();
    ASSERT_TRUE(PumpUntil([&] { return LinesWith("[串口已断开!]") > 0; }));
    EXPECT_FALSE(Comm.PortOpen());
    EXPECT_FALSE(Keeper.Reconnecting());
}

TEST_F(LinkKeeperTest, OpenFailuresAndARefusedRateBecomeLines) {
    // The system's reasons, from real failures.
    TComm holder(Queue);
    holder.SetCommName(PortName);
    holder.OpenPort();
    ASSERT_TRUE(holder.PortOpen());
    for (const auto& c : TPortStand::OpenFailures(PortName)) {
        Lines.clear();
        Comm.SetCommName(c.Name);
        EXPECT_FALSE(Keeper.OpenPort());
        EXPECT_EQ(Lines,
                  std::vector<std::string>{"[10:20:30] [串口打开失败!][" + c.Name + "][" + c.Kind +
                                           "] " + std::system_category().message(c.Code) + " (" +
                                           std::to_string(c.Code) + ")"});
    }
    holder.ClosePort();

    // A driver that keeps 9600, whatever it is asked for.
    Comm.SetCommName(PortName);
    Comm.SetStateResultFilter([](const TCommState&, TStateResult& result) {
        result.BaudRate = result.InputBaudRate = 9600;
    });
    Lines.clear();
    ASSERT_TRUE(Keeper.OpenPort());
    EXPECT_EQ(Lines, std::vector<std::string>{"[10:20:30] [波特率未生效!][设定:19200][实际:9600]"});
    Comm.ClosePort();
    // A device that takes the rate (a pseudo-terminal refuses parity and the
    // modem lines, which says nothing about the line): no line.
    Comm.SetStateResultFilter({});
    Lines.clear();
    ASSERT_TRUE(Keeper.OpenPort());
    EXPECT_TRUE(Lines.empty()) << Lines.front();
}

TEST(LinkLinesTest, TextsOfTheLinkLines) {
    TFakeClock clock{TFakeClock::LocalDateTime(2026, 3, 14, 10, 20, 30)};
    TDeviceError denied;
    denied.Kind = TDeviceError::TKind::Permission;
    denied.Code = EACCES;
    denied.Text = "Permission denied";
    denied.Group = "dialout";
    EXPECT_EQ(
        OpenFailureLine("ttyUSB0", denied, clock.Now()),
        "[10:20:30] [串口打开失败!][ttyUSB0][无权访问] Permission denied (13)。"
        "当前用户须属于设备所属的组 dialout（例如: sudo usermod -aG dialout 用户名），并重新登录");
    TStateResult halfSet;
    halfSet.BaudRate = 19200;
    halfSet.InputBaudRate = 14400;
    EXPECT_EQ(RateRefusedLine(19200, halfSet, clock.Now()),
              "[10:20:30] [波特率未生效!][设定:19200][实际:19200][接收:14400]");
    EXPECT_EQ(RateRefusedLine(19200, TStateResult{}, clock.Now()), "") << "the device cannot tell";
    EXPECT_EQ(DataDroppedLine(3, 6144, clock.Now()),
              "[10:20:30] [接收过快!][已丢弃3个数据块,共6144字节]");
}

} // namespace
