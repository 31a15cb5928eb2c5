#include "TSlaveResponder.h"

#include "TransmitterModel.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

constexpr std::int64_t At = 4321;

std::uint16_t CrcOf(const std::vector<std::uint8_t>& frame) {
    return static_cast<std::uint16_t>(frame[frame.size() - 1] * 256 + frame[frame.size() - 2]);
}

void ExpectException(const std::optional<TAnswer>& answer, std::uint8_t slave,
                     std::uint8_t function, std::uint8_t code) {
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(answer->kind, TAnswerKind::Exception);
    ASSERT_EQ(answer->bytes.size(), 5U);
    EXPECT_EQ(answer->bytes[0], slave);
    EXPECT_EQ(answer->bytes[1], function | 0x80);
    EXPECT_EQ(answer->bytes[2], code);
    EXPECT_EQ(CrcOf(answer->bytes), ModbusCrc16(answer->bytes.data(), 3));
}

TEST(TSlaveResponderTest, ReadRepliesPassTheMastersChecksForEveryCount) {
    const TSlaveResponder responder({1, 10});
    for (const int slave : {1, 5, 10})
        for (int count = 1; count <= MaxReadCount; ++count) {
            const int begin = count % 3 == 0 ? 4 : 0;
            const auto answer = responder.Answer(BuildReadRequest(slave, begin, count), At);
            ASSERT_TRUE(answer.has_value());
            EXPECT_EQ(answer->kind, TAnswerKind::ReadReply);
            std::vector<std::int32_t> values;
            ASSERT_EQ(CheckReadReply(answer->bytes, count, slave, values), TReplyCheck::Good)
                << "slave " << slave << " count " << count;
            ASSERT_EQ(values.size(), static_cast<std::size_t>(count / 2));
            for (std::size_t i = 0; i < values.size(); ++i)
                EXPECT_EQ(values[i], SimulatedValue(slave, begin / 2 + static_cast<int>(i), At));
        }
}

// Input registers hold the same values, and a slave given a format reports them in it:
// decoded in that format they are the simulated values (a float being the value / 100).
TEST(TSlaveResponderTest, TypedValuesInHoldingAndInputRegisters) {
    const TSlaveResponder responder({1, 10}, {{{3, 4}, *ParseValueFormat("float32:cdab")},
                                              {{5, 5}, *ParseValueFormat("int16")}});
    for (const int function : {ReadHoldingRegisters, ReadInputRegisters}) {
        const auto floats = responder.Answer(BuildReadRequest(4, 0, 4, function), At);
        ASSERT_TRUE(floats.has_value());
        ASSERT_EQ(CheckReadReply(floats->bytes, 4, 4, function), TReplyCheck::Good);
        const auto values = DecodeValues(floats->bytes, 4, *ParseValueFormat("float32:cdab"));
        for (int i = 0; i < 2; ++i) {
            char text[32];
            std::snprintf(
                text, sizeof text, "%.7g",
                static_cast<double>(static_cast<float>(SimulatedValue(4, i, At) / 100.0)));
            EXPECT_EQ(values.at(static_cast<std::size_t>(i)).Text, text) << function;
        }
        const auto words = responder.Answer(BuildReadRequest(5, 1, 2, function), At);
        ASSERT_TRUE(words.has_value());
        const auto shorts = DecodeValues(words->bytes, 2, *ParseValueFormat("int16"));
        EXPECT_EQ(shorts.at(0).Text,
                  std::to_string(static_cast<std::int16_t>(SimulatedValue(5, 1, At))));
    }
    // Slaves no format names keep int32:abcd.
    EXPECT_EQ(responder.FormatOf(1), TValueFormat{});
}

TEST(TSlaveResponderTest, OddBeginAndOddCountCarryTheRegistersAsAddressed) {
    const TSlaveResponder responder({1, 10});
    const auto answer = responder.Answer(BuildReadRequest(2, 3, 5), At);
    ASSERT_TRUE(answer.has_value());
    ASSERT_EQ(answer->bytes.size(), 15U);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(answer->bytes[3 + 2 * i] * 256 + answer->bytes[4 + 2 * i],
                  SimulatedRegister(2, 3 + i, At))
            << "register " << 3 + i;
}

TEST(TSlaveResponderTest, ImpossibleReadsGetModbusExceptions) {
    const TSlaveResponder responder({1, 10});
    ExpectException(responder.Answer(BuildReadRequest(4, 0, 0), At), 4, 3, IllegalDataValue);
    ExpectException(responder.Answer(BuildReadRequest(4, 0, MaxReadCount + 1), At), 4, 3,
                    IllegalDataValue);
    ExpectException(responder.Answer(BuildReadRequest(4, 65535, 2), At), 4, 3, IllegalDataAddress);
    const auto lastTwo = responder.Answer(BuildReadRequest(4, 65534, 2), At);
    ASSERT_TRUE(lastTwo.has_value());
    EXPECT_EQ(lastTwo->kind, TAnswerKind::ReadReply);

    TFrame8 writeRegister = BuildReadRequest(4, 0, 1);
    writeRegister[1] = 0x06;
    const std::uint16_t crc = ModbusCrc16(writeRegister.data(), 6);
    writeRegister[6] = static_cast<std::uint8_t>(crc & 0xFF);
    writeRegister[7] = static_cast<std::uint8_t>(crc >> 8);
    ExpectException(responder.Answer(writeRegister, At), 4, 6, IllegalFunction);
}

TEST(TSlaveResponderTest, OnlyTheRangeAnswersAndNobodyAnswersABroadcast) {
    const TSlaveResponder responder({3, 5});
    EXPECT_FALSE(responder.Answer(BuildReadRequest(2, 0, 2), At).has_value());
    EXPECT_TRUE(responder.Answer(BuildReadRequest(3, 0, 2), At).has_value());
    EXPECT_TRUE(responder.Answer(BuildReadRequest(5, 0, 2), At).has_value());
    EXPECT_FALSE(responder.Answer(BuildReadRequest(6, 0, 2), At).has_value());
    const TSlaveResponder fromZero({0, 5});
    EXPECT_FALSE(fromZero.Answer(BuildReadRequest(0, 0, 2), At).has_value());
    EXPECT_FALSE(fromZero.Answer(BuildCoilCommand(0, TCoilAction::Zero), At).has_value());
}

TEST(TSlaveResponderTest, CoilCommandsAreEchoedForZeroUnZeroAndOff) {
    const TSlaveResponder responder({1, 10});
    for (const TCoilAction action : {TCoilAction::Zero, TCoilAction::UnZero}) {
        const TFrame8 command = BuildCoilCommand(9, action);
        const auto answer = responder.Answer(command, At);
        ASSERT_TRUE(answer.has_value());
        EXPECT_EQ(answer->kind, TAnswerKind::CoilEcho);
        EXPECT_TRUE(IsCoilEcho(answer->bytes, command));
    }
    TFrame8 command = BuildCoilCommand(9, TCoilAction::Zero);
    for (const std::uint8_t high : {0x00, 0x12}) {
        command[4] = high;
        const std::uint16_t crc = ModbusCrc16(command.data(), 6);
        command[6] = static_cast<std::uint8_t>(crc & 0xFF);
        command[7] = static_cast<std::uint8_t>(crc >> 8);
        const auto answer = responder.Answer(command, At);
        if (high == 0x00) {
            ASSERT_TRUE(answer.has_value());
            EXPECT_TRUE(IsCoilEcho(answer->bytes, command)) << "0000 is Modbus' own off";
        } else {
            ExpectException(answer, 9, 5, IllegalDataValue);
        }
    }
    EXPECT_FALSE(responder.Answer(BuildCoilCommand(11, TCoilAction::Zero), At).has_value());
}

} // namespace
