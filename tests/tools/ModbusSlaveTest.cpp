// Plays the master against the libmodbus slave, so that our frames and checks are held
// against an independent Modbus implementation.
#include "ModbusRtu.h"
#include "SlaveRegisters.h"
#include "TChildProcess.h"
#include "TRawLine.h"
#include "TSimSummary.h"

#include <gtest/gtest.h>

#include <climits>
#include <csignal>
#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

const std::string SlavePath = QUELLMARK_MODBUS_SLAVE_PATH;

// Values chosen to catch byte and word order mistakes and sign handling.
const std::vector<std::int32_t> Values{123,        -2,        INT32_MIN, 65536,
                                       0x12345678, INT32_MAX, 0,         -123456789};

std::vector<std::uint8_t> BuildExceptionReplyBytes(std::uint8_t slave, std::uint8_t function,
                                                   std::uint8_t code) {
    std::vector<std::uint8_t> reply{slave, static_cast<std::uint8_t>(function | 0x80), code};
    AppendCrc(reply);
    return reply;
}

std::vector<std::int32_t> ReadValues(TRawLine& line, int slave, int begin, int count) {
    line.Write(BuildReadRequest(slave, begin, count));
    const auto reply = line.Read(static_cast<std::size_t>(ExpectedReplyLength(count)), 3s);
    std::vector<std::int32_t> values;
    EXPECT_EQ(CheckReadReply(reply, count, slave, values), TReplyCheck::Good) << HexText(reply);
    return values;
}

TEST(ModbusSlaveTest, ItsRegistersPassOurChecksAndDecodeToWhatItHolds) {
    TChildProcess slave(SlavePath, {"--slave", "7", "--registers", RegisterOption(Values)});
    const auto path = slave.ReadLine(10s);
    ASSERT_TRUE(path.has_value()) << slave.Stderr();
    TRawLine line(*path);

    EXPECT_EQ(ReadValues(line, 7, 0, 16), Values);
    EXPECT_EQ(ReadValues(line, 7, 4, 4),
              std::vector<std::int32_t>(Values.begin() + 2, Values.begin() + 4));
    // An odd count: the last register travels and is checked but not decoded.
    EXPECT_EQ(ReadValues(line, 7, 0, 3), std::vector<std::int32_t>{Values[0]});

    // Beyond its registers it answers with exception 2, which our checks see as a length
    // failure, as they see every exception reply.
    line.Write(BuildReadRequest(7, 14, 4));
    const auto exception = line.Read(5, 3s);
    EXPECT_EQ(exception, BuildExceptionReplyBytes(7, 0x03, 0x02));

    slave.Signal(SIGTERM);
    EXPECT_EQ(slave.WaitExit(10s), std::optional<int>{0});
    const TSimSummary summary = TSimSummary::Parse(slave.Stdout());
    EXPECT_EQ(summary.Total("requests"), 4);
    EXPECT_EQ(summary.Total("replies"), 4);
}

TEST(ModbusSlaveTest, ZeroIsEchoedButUnZeroIsRefusedByLibmodbus) {
    TChildProcess slave(SlavePath, {"--duration", "30"});
    const auto path = slave.ReadLine(10s);
    ASSERT_TRUE(path.has_value()) << slave.Stderr();
    TRawLine line(*path);

    const TFrame8 zero = BuildCoilCommand(1, TCoilAction::Zero);
    line.Write(zero);
    EXPECT_TRUE(IsCoilEcho(line.Read(8, 3s), zero));

    // libmodbus accepts only FF00 and 0000 for a coil; F000 gets exception 3 (illegal data
    // value), five bytes that are no echo.
    const TFrame8 unZero = BuildCoilCommand(1, TCoilAction::UnZero);
    line.Write(unZero);
    const auto refusal = line.Read(5, 3s);
    EXPECT_EQ(refusal, BuildExceptionReplyBytes(1, 0x05, 0x03));
    EXPECT_TRUE(line.Read(1, 200ms).empty()) << "nothing follows the exception";
}

TEST(ModbusSlaveTest, ItTakesTheFrameAfterARequestForAnotherSlaveAsThatSlavesReply) {
    TChildProcess slave(SlavePath, {"--duration", "30"});
    const auto path = slave.ReadLine(10s);
    ASSERT_TRUE(path.has_value()) << slave.Stderr();
    TRawLine line(*path);

    // On a shared bus the frame after a request is the addressed slave's reply, so libmodbus
    // reads the frame after a request for another address as that reply and drops it: a
    // request to its own address right behind one to slave 2 goes unanswered. The next one,
    // on a quiet line, is served again.
    const TFrame8 other = BuildReadRequest(2, 0, 2);
    const TFrame8 own = BuildReadRequest(1, 0, 2);
    std::vector<std::uint8_t> both(other.begin(), other.end());
    both.insert(both.end(), own.begin(), own.end());
    line.Write(both);
    EXPECT_TRUE(line.Read(1, 300ms).empty()) << "taken as slave 2's reply";
    EXPECT_EQ(ReadValues(line, 1, 0, 2).size(), 1U);
}

TEST(ModbusSlaveTest, ServesADeviceItIsGiven) {
    int master = -1;
    int device = -1;
    ASSERT_EQ(::openpty(&master, &device, nullptr, nullptr, nullptr), 0);
    ::fcntl(device, F_SETFD, FD_CLOEXEC);
    char name[PATH_MAX];
    ASSERT_EQ(::ttyname_r(device, name, sizeof name), 0);
    TRawLine line(master); // the test plays the master on the pseudo-terminal's other end

    TChildProcess slave(
        SlavePath, {"--device", name, "--registers", RegisterOption(Values), "--duration", "30"});
    const auto path = slave.ReadLine(10s);
    ASSERT_TRUE(path.has_value()) << slave.Stderr();
    EXPECT_EQ(*path, name);
    EXPECT_EQ(ReadValues(line, 1, 0, 16), Values);
    slave.Signal(SIGTERM);
    EXPECT_EQ(slave.WaitExit(10s), std::optional<int>{0});
    ::close(device);
}

} // namespace
