// The link keeper on the real serial link: a device played on a
// pseudo-terminal (under wine: a COM pair) vanishes and comes back under the
// same name; open failures and a refused rate become error lines. The test
// thread pumps the notice queue, as a front end would.
#include "TLinkKeeper.h"
#include "TFakeClock.h"
#include "TPortStand.h"
#include "TRunSession.h"
#include "TTempConfig.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <regex>
#include <system_error>

using namespace std::chrono_literals;

namespace {

constexpr auto Patience = 8s; // upper bound of every wait; reached only on failure

class LinkKeeperTest : public ::testing::Test, protected TRunListener {
protected:
    void SetUp() override {
        Port = std::make_unique<TPortStand>(Dir.Directory());
        PortName = Port->Name();
        Settings.CommName = PortName;
        Settings.BaudRate = 19200;
        Settings.PollFrom = Settings.PollTo = 1;
        Settings.PollTimeout = 100;
        Settings.PollInterval = 1;
        Session.SetClock(FakeClock);
        ApplyCommSettings(Session.Comm1, Settings);
    }

    void TearDown() override {
        Session.StopRun();
        Session.ClosePort();
        Port.reset();
    }

    void LinesReady() override {
        for (const TInfoLine& line : Session.Run.TakeLines())
            Lines.push_back(line.Text);
    }

    bool PumpUntil(const std::function<bool()>& done) { return Queue.RunUntil(done, Patience); }

    std::size_t LinesWith(const std::string& part) const {
        return static_cast<std::size_t>(std::count_if(Lines.begin(), Lines.end(), [&](auto& l) {
            return l.find(part) != std::string::npos;
        }));
    }

    bool Shows(const std::string& value) {
        return Session.Run.Row(0).ValueCells == std::vector<std::string>{value};
    }

    TTempConfig Dir;
    std::unique_ptr<TPortStand> Port;
    std::string PortName;
    TRunSettings Settings;
    TFakeClock FakeClock;
    TManualNoticeQueue Queue;
    TRunSession Session{Queue, *this};
    TLinkKeeper& Keeper = Session.Link;
    TComm& Comm = Session.Comm1;
    std::vector<std::string> Lines;
};

TEST_F(LinkKeeperTest, AVanishedPortIsReportedAndOpenedAgainWhileTheRunIsOn) {
    Keeper.SetRetryPeriod(200ms);
    Port->Device().SetScript(AnswerAll([](int) { return std::vector<std::int32_t>{7}; }));
    ASSERT_TRUE(Session.OpenAsSet(Settings));
    Session.StartRun(Settings);
    ASSERT_TRUE(PumpUntil([&] { return Shows("7"); }));

    Port->Unplug(); // the adapter is pulled
    ASSERT_TRUE(PumpUntil([&] { return LinesWith("[串口已断开!]") > 0; }));
    // The system's reason follows where it gave one: a pulled COM port's read fails
    // with an error number; a terminal whose other end closed just hangs up.
    const std::string lost = "[10:20:30] [串口已断开!][" + PortName + "]";
    ASSERT_EQ(Lines.back().substr(0, lost.size()), lost);
    EXPECT_TRUE(std::regex_match(Lines.back().substr(lost.size()), std::regex(R"(( .+ \(\d+\))?)")))
        << Lines.back();
    EXPECT_FALSE(Comm.PortOpen()) << "the vanished device is let go of at once";
    EXPECT_TRUE(Keeper.Reconnecting());
    // Attempts while the port is missing (POSIX) fail quietly; polls time out meanwhile.
    const std::int64_t failed = Session.Run.Totals().second;
    ASSERT_TRUE(PumpUntil([&] { return Session.Run.Totals().second >= failed + 5; }));
    EXPECT_EQ(LinesWith("[串口已断开!]"), 1u);
    EXPECT_EQ(LinesWith("[串口打开失败!]"), 0u);

    Port->PlugIn(); // plugged in again: the same name, a new device
    Port->Device().SetScript(AnswerAll([](int) { return std::vector<std::int32_t>{8}; }));
    ASSERT_TRUE(PumpUntil([&] { return LinesWith("[串口已恢复!]") > 0; }));
    EXPECT_EQ(Lines.back(), "[10:20:30] [串口已恢复!][" + PortName + "]");
    EXPECT_FALSE(Keeper.Reconnecting());
    ASSERT_TRUE(PumpUntil([&] { return Shows("8"); })) << "polling goes on by itself";
    EXPECT_TRUE(Comm.PortOpen());
}

TEST_F(LinkKeeperTest, AVanishedPortOutsideARunIsReportedButNotOpenedAgain) {
    ASSERT_TRUE(Session.OpenAsSet(Settings));
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
        Queue.RunPending();
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
    Queue.RunPending();
    EXPECT_EQ(Lines, std::vector<std::string>{"[10:20:30] [波特率未生效!][设定:19200][实际:9600]"});
    Comm.ClosePort();
    // A device that takes the rate (a pseudo-terminal refuses parity and the
    // modem lines, which says nothing about the line): no line.
    Comm.SetStateResultFilter({});
    Lines.clear();
    ASSERT_TRUE(Keeper.OpenPort());
    Queue.RunPending();
    EXPECT_TRUE(Lines.empty()) << Lines.front();
}

TEST_F(LinkKeeperTest, ARefusedParityOrStopBitsBecomesALineWithTheSystemsReason) {
    Settings.Parity = TLineParity::Even;
    Settings.StopBits = 2;
    ApplyCommSettings(Comm, Settings);
    // A driver that keeps 8N1 and says why.
    Comm.SetStateResultFilter([](const TCommState&, TStateResult& result) {
        result.Parity = 0;
        result.StopBits = 0;
        result.Error.Kind = TDeviceError::TKind::Unsupported;
        result.Error.Code = EINVAL;
        result.Error.Text = "Invalid argument";
    });
    ASSERT_TRUE(Keeper.OpenPort());
    Queue.RunPending();
    EXPECT_EQ(Lines, (std::vector<std::string>{
                         "[10:20:30] [校验位未生效!][设定:E][实际:N] Invalid argument (22)",
                         "[10:20:30] [停止位未生效!][设定:2][实际:1] Invalid argument (22)"}));
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
    EXPECT_EQ(LinkLostLine("COM11", TCommDevice::ErrorOf(EIO), clock.Now()),
              "[10:20:30] [串口已断开!][COM11] " + std::system_category().message(EIO) + " (" +
                  std::to_string(EIO) + ")");
    EXPECT_EQ(LinkLostLine("ttyUSB0", TDeviceError{}, clock.Now()),
              "[10:20:30] [串口已断开!][ttyUSB0]");
    EXPECT_EQ(DataDroppedLine(3, 6144, clock.Now()),
              "[10:20:30] [接收过快!][已丢弃3个数据块,共6144字节]");
}

} // namespace
