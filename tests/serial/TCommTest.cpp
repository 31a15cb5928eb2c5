#include "TCommFixture.h"

#include <cstdio>

namespace {

using namespace std::chrono_literals;

// ---- Properties, without a device ---------------------------------------------

TEST(TCommPropertiesTest, StartsWithTheInitialValues) {
    TManualNoticeQueue queue;
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
    TManualNoticeQueue queue;
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
    TManualNoticeQueue queue;
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
    TManualNoticeQueue queue;
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
    TManualNoticeQueue queue;
    TComm comm(queue);
    EXPECT_FALSE(comm.SendBytes("abc", 3));
    EXPECT_FALSE(comm.SendBytes("abc", 0));
    comm.SetOutput("hello");
    EXPECT_EQ(comm.Output(), "hello") << "the string is kept even when it cannot be sent";
}

// ---- Opening failures ----------------------------------------------------------

TEST(TCommOpenTest, MissingDeviceIsAnErrorTextNotAnException) {
    TManualNoticeQueue queue;
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

TEST_F(TCommOpenPtyTest, ADeviceWithoutModemLinesOrLineEventsStillMovesData) {
    // Pseudo-terminals refuse DTR and RTS and have no line counters (under wine:
    // no line-event wait and no modem status); none of that may stop the link.
    Comm.SetDtrControl(TComm::TDtrControl::DtrEnable);
    Comm.SetRtsControl(TComm::TRtsControl::RtsEnable);
    int errors = 0;
    int modem = 0;
    Comm.OnReceiveError = [&errors](TComm&, std::uint32_t) { ++errors; };
    Comm.OnModemStateChange = [&modem](TComm&, std::uint32_t) { ++modem; };
    OpenFixedLength(9);
    Pty.Write("123456789");
    ASSERT_TRUE(WaitBlocks(1));
    EXPECT_EQ(Blocks[0], "123456789");
    EXPECT_TRUE(Comm.SendBytes("ok", 2));
    EXPECT_EQ(Pty.Read(2, 3s), "ok");
    EXPECT_EQ(errors, 0);
    EXPECT_EQ(modem, 0);
    EXPECT_EQ(Hangups, 0);
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

// ---- Ending a block early ----------------------------------------------------------

using TCommBlockEndTest = TCommFixture;

/// Whole at five bytes whose second has its top bit set: the shape of a Modbus
/// exception reply, shorter than the blocks being cut.
bool ShortFrame(const char* data, std::size_t count) {
    return count == 5 && (static_cast<unsigned char>(data[1]) & 0x80) != 0;
}

// Fixed length 9 and no read time-out, as a polling run has it: only the rule
// can end a block before its ninth byte.
TEST_F(TCommBlockEndTest, AShortFrameTheRuleAcceptsIsABlockOfItsOwn) {
    const std::string exception("\x01\x83\x02\xC0\xF1", 5);
    const std::string reply("\x01\x03\x04\x00\x01\x86\xB0\x2B\x27", 9);
    Comm.SetBlockEndRule(ShortFrame); // set while closed: the opening takes it along
    OpenFixedLength(9);
    Pty.Write(exception);
    ASSERT_TRUE(WaitBlocks(1, 1s)) << "the short frame is not a block of its own";
    EXPECT_EQ(Blocks[0], exception);

    // The first five bytes of a full reply, alone for a while, are no frame to the rule.
    Pty.Write(reply.substr(0, 5));
    std::this_thread::sleep_for(100ms);
    Pty.Write(reply.substr(5));
    ASSERT_TRUE(WaitBlocks(2));
    EXPECT_EQ(Blocks[1], reply);

    Comm.SetBlockEndRule(nullptr); // while open
    Pty.Write(exception);
    ExpectNoMoreBlocks(2, 300ms);
    Pty.Write("wxyz");
    ASSERT_TRUE(WaitBlocks(3));
    EXPECT_EQ(Blocks[2], exception + "wxyz");

    Comm.SetBlockEndRule(ShortFrame); // and back on, while open
    Pty.Write(exception);
    ASSERT_TRUE(WaitBlocks(4, 1s));
    EXPECT_EQ(Blocks[3], exception);
    ExpectNoMoreBlocks(4);
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
    TManualNoticeQueue queue;
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

TEST_F(TCommLifecycleTest, AVanishingDeviceEndsTheThreadsWithOneHangupNotice) {
    OpenFixedLength(4);
    Pty.Write("last");
    ASSERT_TRUE(WaitBlocks(1));
    Pty.CloseMaster();
    ASSERT_TRUE(Queue.RunUntil([&] { return Hangups > 0; }, 3000ms));
    // No busy loop afterwards: the process stays nearly idle.
    const double before = ProcessCpuSeconds();
    Queue.RunUntil([] { return false; }, 300ms);
    EXPECT_LT(ProcessCpuSeconds() - before, 0.15);
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
