#include "TCommDevice.h"
#include "TCommFixture.h"

#include "TCommDeviceUnix.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <grp.h>
#include <memory>
#include <sys/stat.h>
#include <system_error>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

TEST(TCommDevicePathTest, NamesMapToDevicePaths) {
    EXPECT_EQ(TCommDevice::DevicePath("/dev/pts/7"), "/dev/pts/7");
    EXPECT_EQ(TCommDevice::DevicePath("COM1"), "/dev/ttyS0");
    EXPECT_EQ(TCommDevice::DevicePath("COM12"), "/dev/ttyS11");
    EXPECT_EQ(TCommDevice::DevicePath("ttyUSB0"), "/dev/ttyUSB0");
    EXPECT_EQ(TCommDevice::DevicePath("COM0"), "/dev/COM0");
    EXPECT_EQ(TCommDevice::DevicePath("COMx"), "/dev/COMx");
    EXPECT_EQ(TCommDevice::DevicePath("COM"), "/dev/COM");
    EXPECT_EQ(TCommDevice::DevicePath("COM99999999999999999999"), "/dev/COM99999999999999999999");
}

/// The terminal end's settings as the driver holds them, seen from the test's end.
class TDeviceSettingsTest : public TCommFixture {
protected:
    termios Settings() {
        termios settings{};
        EXPECT_EQ(::tcgetattr(Pty.Master(), &settings), 0);
        return settings;
    }
    speed_t Speed() {
        const termios settings = Settings();
        return ::cfgetospeed(&settings);
    }
};

TEST_F(TDeviceSettingsTest, OpeningSetsRawModeAndTheLineSettings) {
    Comm.SetBaudRate(115200);
    Comm.SetStopBits(TComm::TStopBits::_2);
    Comm.SetOutx_XonXoffFlow(true);
    Comm.SetXonChar(0x11);
    Comm.SetXoffChar(0x13);
    OpenFixedLength(9);
    const termios settings = Settings();
    EXPECT_EQ(::cfgetospeed(&settings), static_cast<speed_t>(B115200));
    EXPECT_NE(settings.c_cflag & CSTOPB, 0u);
    EXPECT_NE(settings.c_iflag & IXON, 0u);
    EXPECT_EQ(settings.c_iflag & IXOFF, 0u);
    EXPECT_EQ(settings.c_lflag & (ICANON | ECHO | ISIG), 0u) << "raw: no line editing or echo";
    EXPECT_EQ(settings.c_oflag & OPOST, 0u) << "raw: output untouched";
    EXPECT_EQ(settings.c_iflag & (ICRNL | ISTRIP), 0u);
}

TEST_F(TDeviceSettingsTest, ALineSettingChangedWhileOpenReachesTheDeviceAtOnce) {
    OpenFixedLength(9);
    Comm.SetBaudRate(19200);
    EXPECT_EQ(Speed(), static_cast<speed_t>(B19200));
    Comm.SetStopBits(TComm::TStopBits::_2);
    EXPECT_NE(Settings().c_cflag & CSTOPB, 0u);
    Comm.SetOutx_CtsFlow(true);
    EXPECT_NE(Settings().c_cflag & CRTSCTS, 0u);
}

TEST_F(TDeviceSettingsTest, AnUnchangedValueNeverTouchesTheDevice) {
    OpenFixedLength(9);
    // Someone else reconfigures the device behind the component's back.
    termios changed = Settings();
    ::cfsetospeed(&changed, B4800);
    ::cfsetispeed(&changed, B4800);
    changed.c_cflag |= CSTOPB;
    ASSERT_EQ(::tcsetattr(Pty.Master(), TCSANOW, &changed), 0);

    Comm.SetBaudRate(Comm.BaudRate());
    Comm.SetStopBits(Comm.StopBits());
    Comm.SetReadIntervalTimeout(Comm.ReadIntervalTimeout());
    EXPECT_EQ(Speed(), static_cast<speed_t>(B4800));
    EXPECT_NE(Settings().c_cflag & CSTOPB, 0u);

    Comm.SetParityCheck(true); // a real change rewrites the whole state
    EXPECT_EQ(Speed(), static_cast<speed_t>(B9600));
    EXPECT_EQ(Settings().c_cflag & CSTOPB, 0u);
}

TEST_F(TDeviceSettingsTest, ParityAndStopBitsReachTheTerminalAndAreReadBack) {
    // Linux's pseudo-terminal driver clears PARENB at every change; what the
    // program asked for still shows in PARODD and in the input check INPCK.
    const struct {
        TComm::TParity Parity;
        TComm::TStopBits StopBits;
        bool Odd;
        bool Two;
    } cases[] = {{TComm::TParity::Even, TComm::TStopBits::_2, false, true},
                 {TComm::TParity::Odd, TComm::TStopBits::_1, true, false}};
    OpenFixedLength(9);
    for (const auto& c : cases) {
        Comm.SetParity(c.Parity);
        Comm.SetParityCheck(true);
        Comm.SetStopBits(c.StopBits);
        const termios settings = Settings();
        EXPECT_NE(settings.c_iflag & INPCK, 0u);
        EXPECT_EQ((settings.c_cflag & PARODD) != 0, c.Odd);
        EXPECT_EQ((settings.c_cflag & CSTOPB) != 0, c.Two);
        EXPECT_EQ(Comm.AppliedState().StopBits, std::optional<std::uint8_t>(c.Two ? 2 : 0));
        EXPECT_FALSE(Comm.AppliedState().Parity.has_value()) << "a pseudo-terminal cannot tell";
    }
}

TEST_F(TDeviceSettingsTest, ARateWithoutASpeedConstantIsSetExactly) {
    Comm.SetBaudRate(250000);
    OpenFixedLength(9);
    EXPECT_EQ(TerminalOutputRate(Pty.Master()), 250000u);
    Comm.SetBaudRate(31250);
    EXPECT_EQ(TerminalOutputRate(Pty.Master()), 31250u);
    Comm.SetBaudRate(9600);
    EXPECT_EQ(TerminalOutputRate(Pty.Master()), 9600u);
}

TEST_F(TDeviceSettingsTest, InputFollowsOutputAndTheRateInForceIsReadBack) {
    Comm.SetBaudRate(14400); // no speed constant: set as an arbitrary rate
    OpenFixedLength(9);
    EXPECT_EQ(Comm.AppliedState().BaudRate, 14400u);
    EXPECT_EQ(Comm.AppliedState().InputBaudRate, 14400u);
    Comm.SetBaudRate(19200);
    EXPECT_EQ(TerminalInputRate(Pty.Master()), 19200u)
        << "the input must not stay at the earlier rate";
    EXPECT_EQ(Comm.AppliedState().BaudRate, 19200u);
    EXPECT_EQ(Comm.AppliedState().InputBaudRate, 19200u);
    EXPECT_FALSE(Comm.AppliedState().Error) << "a pseudo-terminal's refusals are not errors";

    // A driver that keeps its old rate, played by the test.
    Comm.SetStateResultFilter([](const TCommState& asked, TStateResult& result) {
        if (asked.BaudRate == 38400)
            result.BaudRate = result.InputBaudRate = 19200;
    });
    Comm.SetBaudRate(38400);
    EXPECT_EQ(Comm.AppliedState().BaudRate, 19200u);
}

TEST_F(TDeviceSettingsTest, OpenFailureCarriesTheSystemsReason) {
    using TKind = TDeviceError::TKind;
    OpenFixedLength(9); // holds Pty
    TComm other(Queue);
    const struct {
        std::string Name;
        TKind Kind;
        int Code;
    } cases[] = {{"/dev/quellmark-no-such-port", TKind::NotFound, ENOENT},
                 {"/dev/null", TKind::NotTerminal, ENOTTY},
                 {Pty.Path(), TKind::Busy, EBUSY}};
    for (const auto& c : cases) {
        other.SetCommName(c.Name);
        other.OpenPort();
        EXPECT_FALSE(other.PortOpen()) << c.Name;
        EXPECT_EQ(other.OpenFailure().Kind, c.Kind) << c.Name;
        EXPECT_EQ(other.OpenFailure().Code, c.Code) << c.Name;
        EXPECT_EQ(other.OpenFailure().Text, std::system_category().message(c.Code)) << c.Name;
    }
    other.ClosePort();
    EXPECT_FALSE(other.OpenFailure()) << "emptied with the error text";
    other.SetCommName(Pty.Path());
    Comm.ClosePort();
    other.OpenPort();
    EXPECT_TRUE(other.PortOpen());
    EXPECT_FALSE(other.OpenFailure());
}

TEST(TDeviceErrorTest, ErrnoMapsToAKindAndPermissionNamesTheOwningGroup) {
    using TKind = TDeviceError::TKind;
    const std::pair<int, TKind> kinds[] = {
        {ENOENT, TKind::NotFound},    {ENODEV, TKind::NotFound},    {ENXIO, TKind::NotFound},
        {EBUSY, TKind::Busy},         {EACCES, TKind::Permission},  {EPERM, TKind::Permission},
        {ENOTTY, TKind::NotTerminal}, {EINVAL, TKind::Unsupported}, {EIO, TKind::Other}};
    for (const auto& [code, kind] : kinds) {
        const TDeviceError error = CommDeviceUnix::ErrorFromErrno(code, {});
        EXPECT_EQ(error.Kind, kind) << code;
        EXPECT_EQ(error.Code, code);
        EXPECT_EQ(error.Text, std::system_category().message(code));
        EXPECT_TRUE(error.Group.empty());
    }
    // A device node stands in for a file whose group may open it.
    char path[] = "/tmp/quellmark-device-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ::close(fd);
    const group* dialout = ::getgrnam("dialout");
    if (dialout != nullptr)
        (void)::chown(path, static_cast<uid_t>(-1), dialout->gr_gid); // works when privileged
    struct stat info {};
    ASSERT_EQ(::stat(path, &info), 0);
    const group* owner = ::getgrgid(info.st_gid);
    ASSERT_NE(owner, nullptr);
    EXPECT_EQ(CommDeviceUnix::ErrorFromErrno(EACCES, path).Group, owner->gr_name);
    if (::geteuid() != 0) {
        // Where the test is not privileged, a real refusal.
        ASSERT_EQ(::chmod(path, 0), 0);
        TManualNoticeQueue queue;
        TComm comm(queue);
        comm.SetCommName(path);
        comm.OpenPort();
        EXPECT_EQ(comm.OpenFailure().Kind, TKind::Permission);
        EXPECT_EQ(comm.OpenFailure().Group, owner->gr_name);
    }
    ::unlink(path);
}

// What lets a discard before a poll skip the reader: true only while nothing
// waits in the input queue.
TEST_F(TDeviceSettingsTest, NothingReceivedOnlyWhileTheInputQueueIsEmpty) {
    std::unique_ptr<TCommDevice> device;
    TDeviceError error;
    ASSERT_EQ(TCommDevice::Open(Pty.Path(), device, error), TCommDevice::TOpenResult::Opened);
    EXPECT_TRUE(device->NothingReceived());
    Pty.Write("abc");
    for (int i = 0; i < 200 && device->NothingReceived(); ++i)
        std::this_thread::sleep_for(5ms);
    EXPECT_FALSE(device->NothingReceived());
    std::array<char, 16> into{};
    EXPECT_EQ(device->ReadWaiting(into), 3U);
    EXPECT_TRUE(device->NothingReceived());
}

} // namespace
