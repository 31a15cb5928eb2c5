#include "TCommFixture.h"

#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

// ---- Properties, without a device ---------------------------------------------

TEST(TCommPropertiesTest, StartsWithTheInitialValues) {
    TManualWindowQueue queue;
    TComm comm(queue);
    EXPECT_FALSE(comm.PortOpen());
    EXPECT_EQ(comm.CommPort(), 1);
    EXPECT_EQ(comm.PortOpenError(), "");
    EXPECT_EQ(comm.Output(), "");
    EXPECT_EQ(comm.InputLen(), 1);
    EXPECT_EQ(comm.InBufferSize(), 2048);
    EXPECT_EQ(comm.CommName(), "COM1");
    EXPECT_EQ(comm.BaudRate(), 9600u);
    EXPECT_FALSE(comm.ParityCheck());
    EXPECT_FALSE(comm.Outx_CtsFlow());
    EXPECT_FALSE(comm.Outx_DsrFlow());
    EXPECT_EQ(comm.DtrControl(), TComm::TDtrControl::DtrDisable);
    EXPECT_FALSE(comm.DsrSensitivity());
    EXPECT_FALSE(comm.TxContinueOnXoff());
    EXPECT_FALSE(comm.Outx_XonXoffFlow());
    EXPECT_FALSE(comm.Inx_XonXoffFlow());
    EXPECT_FALSE(comm.ReplaceWhenParityError());
    EXPECT_FALSE(comm.IgnoreNullChar());
    EXPECT_EQ(comm.RtsControl(), TComm::TRtsControl::RtsDisable);
    EXPECT_EQ(comm.XonLimit(), 500);
    EXPECT_EQ(comm.XoffLimit(), 500);
    EXPECT_EQ(comm.ByteSize(), TComm::TByteSize::_8);
    EXPECT_EQ(comm.Parity(), TComm::TParity::None);
    EXPECT_EQ(comm.StopBits(), TComm::TStopBits::_1);
    EXPECT_EQ(comm.XonChar(), 17);
    EXPECT_EQ(comm.XoffChar(), 19);
    EXPECT_EQ(comm.ReplacedChar(), 0);
    EXPECT_EQ(comm.ReadIntervalTimeout(), 100u);
    EXPECT_EQ(comm.ReadTotalTimeoutMultiplier(), 0u);
    EXPECT_EQ(comm.ReadTotalTimeoutConstant(), 0u);
    EXPECT_EQ(comm.WriteTotalTimeoutMultiplier(), 0u);
    EXPECT_EQ(comm.WriteTotalTimeoutConstant(), 0u);
    EXPECT_FALSE(comm.OnReceiveData);
    EXPECT_FALSE(comm.OnReceiveError);
    EXPECT_FALSE(comm.OnModemStateChange);
    EXPECT_FALSE(comm.OnRequestHangup);
    EXPECT_FALSE(comm.OnSendDataEmpty);
    EXPECT_EQ(queue.Size(), 0u) << "a closed component posts nothing";
}

TEST(TCommPropertiesTest, CommPortRenamesTheDeviceUnlessZeroOrUnchanged) {
    TManualWindowQueue queue;
    TComm comm(queue);
    comm.SetCommPort(3);
    EXPECT_EQ(comm.CommPort(), 3);
    EXPECT_EQ(comm.CommName(), "COM3");
    comm.SetCommName("ttyUSB0");
    EXPECT_EQ(comm.CommPort(), 3) << "the name does not feed back into the number";
    comm.SetCommPort(3);
    EXPECT_EQ(comm.CommName(), "ttyUSB0");
    comm.SetCommPort(0);
    EXPECT_EQ(comm.CommPort(), 3);
    EXPECT_EQ(comm.CommName(), "ttyUSB0");
    comm.SetCommPort(255);
    EXPECT_EQ(comm.CommName(), "COM255");
}

TEST(TCommPropertiesTest, InputLenStaysWithinTheBuffer) {
    TManualWindowQueue queue;
    TComm comm(queue);
    comm.SetInputLen(0);
    EXPECT_EQ(comm.InputLen(), 2048);
    comm.SetInputLen(2049);
    EXPECT_EQ(comm.InputLen(), 2048);
    comm.SetInputLen(13);
    EXPECT_EQ(comm.InputLen(), 13);
    comm.SetInBufferSize(0);
    EXPECT_EQ(comm.InBufferSize(), 1);
    EXPECT_EQ(comm.InputLen(), 13) << "a smaller buffer does not lower InputLen";
    comm.SetInputLen(2);
    EXPECT_EQ(comm.InputLen(), 13);
    comm.SetInputLen(1);
    EXPECT_EQ(comm.InputLen(), 1);
    comm.SetInBufferSize(65535);
    comm.SetInputLen(65535);
    EXPECT_EQ(comm.InputLen(), 65535);
}

TEST(TCommPropertiesTest, SettersStoreTheirValues) {
    TManualWindowQueue queue;
    TComm comm(queue);
    comm.SetBaudRate(115200);
    comm.SetParityCheck(true);
    comm.SetOutx_CtsFlow(true);
    comm.SetOutx_DsrFlow(true);
    comm.SetDtrControl(TComm::TDtrControl::DtrHandshake);
    comm.SetDsrSensitivity(true);
    comm.SetTxContinueOnXoff(true);
    comm.SetOutx_XonXoffFlow(true);
    comm.SetInx_XonXoffFlow(true);
    comm.SetReplaceWhenParityError(true);
    comm.SetIgnoreNullChar(true);
    comm.SetRtsControl(TComm::TRtsControl::RtsTransmissionAvailable);
    comm.SetXonLimit(0);
    comm.SetXoffLimit(65535);
    comm.SetByteSize(TComm::TByteSize::_5);
    comm.SetParity(TComm::TParity::Space);
    comm.SetStopBits(TComm::TStopBits::_1_5);
    comm.SetXonChar('a');
    comm.SetXoffChar('b');
    comm.SetReplacedChar('?');
    comm.SetReadIntervalTimeout(0xFFFFFFFFu);
    comm.SetReadTotalTimeoutMultiplier(1);
    comm.SetReadTotalTimeoutConstant(2);
    comm.SetWriteTotalTimeoutMultiplier(3);
    comm.SetWriteTotalTimeoutConstant(4);
    comm.SetPortOpenError("left over");
    EXPECT_EQ(comm.BaudRate(), 115200u);
    EXPECT_TRUE(comm.ParityCheck() && comm.Outx_CtsFlow() && comm.Outx_DsrFlow());
    EXPECT_EQ(comm.DtrControl(), TComm::TDtrControl::DtrHandshake);
    EXPECT_TRUE(comm.DsrSensitivity() && comm.TxContinueOnXoff() && comm.Outx_XonXoffFlow());
    EXPECT_TRUE(comm.Inx_XonXoffFlow() && comm.ReplaceWhenParityError() && comm.IgnoreNullChar());
    EXPECT_EQ(comm.RtsControl(), TComm::TRtsControl::RtsTransmissionAvailable);
    EXPECT_EQ(comm.XonLimit(), 0);
    EXPECT_EQ(comm.XoffLimit(), 65535);
    EXPECT_EQ(comm.ByteSize(), TComm::TByteSize::_5);
    EXPECT_EQ(comm.Parity(), TComm::TParity::Space);
    EXPECT_EQ(comm.StopBits(), TComm::TStopBits::_1_5);
    EXPECT_EQ(comm.XonChar(), 'a');
    EXPECT_EQ(comm.XoffChar(), 'b');
    EXPECT_EQ(comm.ReplacedChar(), '?');
    EXPECT_EQ(comm.ReadIntervalTimeout(), 0xFFFFFFFFu);
    EXPECT_EQ(comm.ReadTotalTimeoutMultiplier(), 1u);
    EXPECT_EQ(comm.ReadTotalTimeoutConstant(), 2u);
    EXPECT_EQ(comm.WriteTotalTimeoutMultiplier(), 3u);
    EXPECT_EQ(comm.WriteTotalTimeoutConstant(), 4u);
    EXPECT_EQ(comm.PortOpenError(), "left over");
    comm.ClosePort();
    EXPECT_EQ(comm.PortOpenError(), "") << "ClosePort while closed only empties the error";
    EXPECT_FALSE(comm.PortOpen());
}

TEST(TCommPropertiesTest, EnumerationsKeepTheirOrder) {
    EXPECT_EQ(static_cast<int>(TComm::TDtrControl::DtrHandshake), 2);
    EXPECT_EQ(static_cast<int>(TComm::TRtsControl::RtsTransmissionAvailable), 3);
    EXPECT_EQ(static_cast<int>(TComm::TByteSize::_8), 3);
    EXPECT_EQ(static_cast<int>(TComm::TParity::Space), 4);
    EXPECT_EQ(static_cast<int>(TComm::TStopBits::_2), 2);
    EXPECT_EQ(WM_COMM_DATA, 1025u);
    EXPECT_EQ(WM_COMM_SENT, 1029u);
}

TEST(TCommPropertiesTest, SendingWhileClosedIsRefused) {
    TManualWindowQueue queue;
    TComm comm(queue);
    EXPECT_FALSE(comm.SendBytes("abc", 3));
    EXPECT_FALSE(comm.SendBytes("abc", 0));
    comm.SetOutput("hello");
    EXPECT_EQ(comm.Output(), "hello") << "the string is kept even when it cannot be sent";
}

// ---- Opening failures ----------------------------------------------------------

TEST(TCommOpenTest, MissingDeviceIsAnErrorTextNotAnException) {
    TManualWindowQueue queue;
    TComm comm(queue);
    comm.SetCommName("/dev/quellmark-no-such-port");
    EXPECT_NO_THROW(comm.OpenPort());
    EXPECT_FALSE(comm.PortOpen());
    EXPECT_EQ(comm.PortOpenError(), "Error opening serial port");
    EXPECT_FALSE(comm.SendBytes("x", 1));
    comm.SetCommName("COM250"); // no such serial port on any test machine
    comm.OpenPort();
    EXPECT_FALSE(comm.PortOpen());
    EXPECT_EQ(comm.PortOpenError(), "Error opening serial port");
}

TEST(TCommOpenTest, RegularFileAndNonTerminalAreNotCommHandles) {
    char path[] = "/tmp/quellmark-not-a-port-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ::close(fd);
    TManualWindowQueue queue;
    TComm comm(queue);
    comm.SetCommName(path);
    comm.OpenPort();
    EXPECT_FALSE(comm.PortOpen());
    EXPECT_EQ(comm.PortOpenError(), "File handle is not a comm handle ");
    comm.SetCommName("/dev/null"); // a character device, but no terminal
    comm.OpenPort();
    EXPECT_FALSE(comm.PortOpen());
    EXPECT_EQ(comm.PortOpenError(), "File handle is not a comm handle ");
    ::unlink(path);
    // The handle was released: the file can be opened and locked exclusively.
    const int again = ::open("/dev/null", O_RDWR);
    EXPECT_EQ(::flock(again, LOCK_EX | LOCK_NB), 0);
    ::close(again);
}

using TCommOpenPtyTest = TCommFixture;

TEST_F(TCommOpenPtyTest, SecondOpenPortLeavesTheRunningLinkAlone) {
    OpenFixedLength(3);
    Comm.OpenPort();
    EXPECT_EQ(Comm.PortOpenError(), "This serial port already opened");
    EXPECT_TRUE(Comm.PortOpen());
    Pty.Write("abc");
    ASSERT_TRUE(WaitBlocks(1));
    EXPECT_EQ(Blocks[0], "abc");
}

TEST_F(TCommOpenPtyTest, APortHeldByAnotherComponentIsRefused) {
    OpenFixedLength(3);
    TComm other(Queue);
    other.SetCommName(Pty.Path());
    other.OpenPort();
    EXPECT_FALSE(other.PortOpen());
    EXPECT_EQ(other.PortOpenError(), "Error opening serial port");
    // The first one still works.
    Pty.Write("xyz");
    ASSERT_TRUE(WaitBlocks(1));
    EXPECT_EQ(Blocks[0], "xyz");
    // Once it lets go, the other gets in.
    Comm.ClosePort();
    other.OpenPort();
    EXPECT_TRUE(other.PortOpen()) << other.PortOpenError();
}

TEST_F(TCommOpenPtyTest, APortIsExclusiveAcrossProcesses) {
    OpenFixedLength(3);
    const std::string path = Pty.Path();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Only async-signal-safe calls here: the parent has threads.
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd < 0)
            ::_exit(2); // refused at the door (TIOCEXCL without privilege)
        ::_exit(::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_NE(WEXITSTATUS(status), 0) << "another process got the port";

    // And the other way round: a port that another holder has locked is refused.
    Comm.ClosePort();
    const int holder = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    Comm.OpenPort();
    EXPECT_FALSE(Comm.PortOpen());
    EXPECT_EQ(Comm.PortOpenError(), "Error opening serial port");
    ::close(holder);
    Comm.OpenPort();
    EXPECT_TRUE(Comm.PortOpen()) << Comm.PortOpenError();
}

// ---- Discarding input ---------------------------------------------------------------

using TCommDiscardTest = TCommFixture;

// Fixed length 9: the bytes of an unfinished block are dropped and handed back,
// so that the next block starts with the next byte; a new block length holds
// from then on.
TEST_F(TCommDiscardTest, DropsTheUnfinishedBlockAndTheWaitingInput) {
    EXPECT_TRUE(Comm.DiscardInput().empty()) << "closed";
    OpenFixedLength(9);
    Pty.Write("12345");
    std::this_thread::sleep_for(100ms); // the reader holds them in its block
    const std::vector<char> dropped = Comm.DiscardInput();
    EXPECT_EQ(std::string(dropped.begin(), dropped.end()), "12345");
    EXPECT_TRUE(Comm.DiscardInput().empty()) << "nothing left";

    Pty.Write("abcdefghi");
    ASSERT_TRUE(WaitBlocks(1));
    EXPECT_EQ(Blocks[0], "abcdefghi");

    Pty.Write("xyz");
    std::this_thread::sleep_for(100ms);
    const std::vector<char> again = Comm.DiscardInput(4);
    EXPECT_EQ(std::string(again.begin(), again.end()), "xyz");
    Pty.Write("echo");
    ASSERT_TRUE(WaitBlocks(2));
    EXPECT_EQ(Blocks[1], "echo");
    EXPECT_EQ(Comm.InputLen(), 9);
    ExpectNoMoreBlocks(2);

    Comm.ClosePort();
    EXPECT_TRUE(Comm.DiscardInput().empty());
}

// ---- Lifecycle -------------------------------------------------------------------

using TCommLifecycleTest = TCommFixture;

TEST_F(TCommLifecycleTest, OpenCloseOpenAgainWithPortOpen) {
    Comm.SetReadIntervalTimeout(0);
    Comm.SetInputLen(4);
    Comm.SetPortOpen(true);
    ASSERT_TRUE(Comm.PortOpen());
    EXPECT_EQ(Comm.PortOpenError(), "");
    Pty.Write("one!");
    ASSERT_TRUE(WaitBlocks(1));
    Comm.SetPortOpenError("stale");
    Comm.SetPortOpen(false);
    EXPECT_FALSE(Comm.PortOpen());
    EXPECT_EQ(Comm.PortOpenError(), "");
    EXPECT_FALSE(Comm.SendBytes("x", 1));
    Comm.ClosePort(); // closing twice is harmless

    Comm.OpenPort();
    ASSERT_TRUE(Comm.PortOpen()) << Comm.PortOpenError();
    Pty.Write("two!");
    ASSERT_TRUE(WaitBlocks(2));
    EXPECT_EQ(Blocks[1], "two!");
    EXPECT_TRUE(Comm.SendBytes("back", 4));
    EXPECT_EQ(Pty.Read(4, 3s), "back");
}

TEST_F(TCommLifecycleTest, ABlockReceivedJustBeforeCloseIsStillDelivered) {
    OpenFixedLength(9);
    ASSERT_TRUE(Queue.RunUntil([&] { return SentEmpty == 1; }, 3000ms)); // the writer's hello
    Pty.Write("123456789");
    ASSERT_TRUE(WaitQueued());
    Comm.ClosePort();
    EXPECT_TRUE(Blocks.empty());
    Queue.RunPending();
    ASSERT_EQ(Blocks.size(), 1u);
    EXPECT_EQ(Blocks[0], "123456789");
}

TEST_F(TCommLifecycleTest, NoNoticeReachesADestroyedComponent) {
    TManualWindowQueue queue;
    bool called = false;
    {
        TComm comm(queue);
        comm.SetCommName(Pty.Path());
        comm.SetReadIntervalTimeout(0);
        comm.SetInputLen(3);
        comm.OnReceiveData = [&called](TComm&, const char*, std::uint16_t) { called = true; };
        comm.OnSendDataEmpty = [&called](TComm&) { called = true; };
        comm.OpenPort();
        ASSERT_TRUE(comm.PortOpen());
        Pty.Write("abc");
        const auto deadline = std::chrono::steady_clock::now() + 3s;
        while (queue.Size() < 2 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(2ms);
        ASSERT_GE(queue.Size(), 2u);
        // Destroyed while open, with its notices still queued.
    }
    EXPECT_GE(queue.RunPending(), 2u);
    EXPECT_FALSE(called);
}

TEST_F(TCommLifecycleTest, CloseIsPromptWhileAReadAndAWriteAreUnderWay) {
    OpenFixedLength(9);
    Pty.Write("12345"); // the read waits for 4 more bytes
    // The device does not take the output: the write blocks on a full line.
    std::string big(60000, 'w');
    ASSERT_TRUE(Comm.SendBytes(big.data(), static_cast<std::uint16_t>(big.size())));
    ASSERT_TRUE(Comm.SendBytes("tail", 4));
    std::this_thread::sleep_for(50ms);
    const auto start = std::chrono::steady_clock::now();
    Comm.ClosePort();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_FALSE(Comm.PortOpen());
    Queue.RunPending();
    EXPECT_TRUE(Blocks.empty()) << "a partial block is not delivered on close";
    EXPECT_EQ(Hangups, 0) << "closing is no hang-up";
}

double CpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

TEST_F(TCommLifecycleTest, AVanishingDeviceEndsTheThreadsWithOneHangupNotice) {
    OpenFixedLength(4);
    Pty.Write("last");
    ASSERT_TRUE(WaitBlocks(1));
    Pty.CloseMaster();
    ASSERT_TRUE(Queue.RunUntil([&] { return Hangups > 0; }, 3000ms));
    // No busy loop afterwards: the process stays nearly idle.
    const double before = CpuSeconds();
    Queue.RunUntil([] { return false; }, 300ms);
    EXPECT_LT(CpuSeconds() - before, 0.15);
    EXPECT_EQ(Hangups, 1);
    EXPECT_TRUE(Comm.PortOpen()) << "the component does not close itself";
    EXPECT_FALSE(Comm.SendBytes("x", 1)) << "the writer has ended";

    Comm.ClosePort();
    EXPECT_FALSE(Comm.PortOpen());
    EXPECT_EQ(Comm.PortOpenError(), "");

    // A new device on the same component works.
    TPtyDevice fresh;
    Comm.SetCommName(fresh.Path());
    Comm.OpenPort();
    ASSERT_TRUE(Comm.PortOpen()) << Comm.PortOpenError();
    fresh.Write("anew");
    ASSERT_TRUE(WaitBlocks(2));
    EXPECT_EQ(Blocks[1], "anew");
    EXPECT_TRUE(Comm.SendBytes("ok", 2));
    EXPECT_EQ(fresh.Read(2, 3s), "ok");
    Comm.ClosePort();
}

} // namespace
