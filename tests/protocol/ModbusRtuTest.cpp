#include "ModbusRtu.h"

#include <gtest/gtest.h>

#include <string_view>

namespace {

std::vector<std::uint8_t> Bytes(std::initializer_list<int> values) {
    std::vector<std::uint8_t> out;
    for (int v : values)
        out.push_back(static_cast<std::uint8_t>(v));
    return out;
}

std::vector<std::uint8_t> Ascii(std::string_view text) {
    return {text.begin(), text.end()};
}

TReplyCheck Check(const std::vector<std::uint8_t>& block, int registerCount, int slave,
                  std::vector<std::int32_t>& values) {
    return CheckReadReply(block, registerCount, slave, values);
}

} // namespace

TEST(ModbusCrc16, PublishedCheckValues) {
    EXPECT_EQ(ModbusCrc16(Ascii("123456789")), 0x4B37);
    EXPECT_EQ(ModbusCrc16(nullptr, 0), 0xFFFF);
    EXPECT_EQ(ModbusCrc16(Ascii("abc")), 0x5749);
    // Only the first `count` bytes count.
    const auto digits = Ascii("123456789xyz");
    EXPECT_EQ(ModbusCrc16(digits.data(), 9), 0x4B37);
}

TEST(ModbusFrames, ReadRequestsCarryCrcLowByteFirst) {
    EXPECT_EQ(BuildReadRequest(1, 0, 2), (TFrame8{0x01, 0x03, 0x00, 0x00, 0x00, 0x02, 0xC4, 0x0B}));
    EXPECT_EQ(BuildReadRequest(10, 0, 2),
              (TFrame8{0x0A, 0x03, 0x00, 0x00, 0x00, 0x02, 0xC5, 0x70}));
    const TFrame8 wide = BuildReadRequest(254, 0x0102, 0x0304);
    EXPECT_EQ(wide[0], 254);
    EXPECT_EQ(wide[2], 0x01);
    EXPECT_EQ(wide[3], 0x02);
    EXPECT_EQ(wide[4], 0x03);
    EXPECT_EQ(wide[5], 0x04);
    EXPECT_EQ(wide[6] | (wide[7] << 8), ModbusCrc16(wide.data(), 6));
}

TEST(ModbusFrames, CoilCommandsOnCoilTen) {
    EXPECT_EQ(BuildCoilCommand(1, TCoilAction::Zero),
              (TFrame8{0x01, 0x05, 0x00, 0x0A, 0xFF, 0x00, 0xAC, 0x38}));
    EXPECT_EQ(BuildCoilCommand(1, TCoilAction::UnZero),
              (TFrame8{0x01, 0x05, 0x00, 0x0A, 0xF0, 0x00, 0xA9, 0xC8}));
    EXPECT_EQ(BuildCoilCommand(5, TCoilAction::Zero),
              (TFrame8{0x05, 0x05, 0x00, 0x0A, 0xFF, 0x00, 0xAD, 0xBC}));
    // The address is kept to its low 8 bits.
    EXPECT_EQ(BuildCoilCommand(256 + 5, TCoilAction::Zero)[0], 5);
}

TEST(ModbusReplyCheck, DecodesSignedValuesHighRegisterFirst) {
    std::vector<std::int32_t> values{99, 99, 99};
    EXPECT_EQ(Check(Bytes({0x01, 0x03, 0x04, 0x00, 0x00, 0x00, 0x7B, 0xBA, 0x10}), 2, 1, values),
              TReplyCheck::Good);
    EXPECT_EQ(values, std::vector<std::int32_t>{123});
    EXPECT_EQ(Check(Bytes({0x01, 0x03, 0x04, 0xFF, 0xFF, 0xFF, 0xFE, 0x3A, 0x67}), 2, 1, values),
              TReplyCheck::Good);
    EXPECT_EQ(values, std::vector<std::int32_t>{-2});
    EXPECT_EQ(Check(Bytes({0x01, 0x03, 0x04, 0x80, 0x00, 0x00, 0x00, 0xD3, 0xF3}), 2, 1, values),
              TReplyCheck::Good);
    EXPECT_EQ(values, std::vector<std::int32_t>{INT32_MIN});
}

TEST(ModbusReplyCheck, OddAndLargerRegisterCounts) {
    std::vector<std::int32_t> values{7};
    // Register Count 1: good, and nothing to decode.
    EXPECT_EQ(Check(Bytes({0x01, 0x03, 0x02, 0x12, 0x34, 0xB5, 0x33}), 1, 1, values),
              TReplyCheck::Good);
    EXPECT_TRUE(values.empty());
    // Register Count 3: the third register is checked but not decoded.
    EXPECT_EQ(Check(Bytes({0x01, 0x03, 0x06, 0x00, 0x00, 0x00, 0x7B, 0x12, 0x34, 0x5C, 0x1B}), 3, 1,
                    values),
              TReplyCheck::Good);
    EXPECT_EQ(values, std::vector<std::int32_t>{123});
    // Register Count 4: 13 bytes, byte count 8, two values.
    std::vector<std::uint8_t> four = Bytes({0x07, 0x03, 0x08, 0, 0, 0, 1, 0xFF, 0xFF, 0xFF, 0xFF});
    AppendCrc(four);
    ASSERT_EQ(four.size(), 13U);
    EXPECT_EQ(Check(four, 4, 7, values), TReplyCheck::Good);
    EXPECT_EQ(values, (std::vector<std::int32_t>{1, -1}));
}

TEST(ModbusReplyCheck, FirstFailingCheckDecidesAndValuesStayUntouched) {
    const std::vector<std::int32_t> before{42};
    std::vector<std::int32_t> values = before;
    const auto good = Bytes({0x01, 0x03, 0x04, 0x00, 0x00, 0x00, 0x7B, 0xBA, 0x10});

    // Wrong length wins over everything, whatever the content.
    EXPECT_EQ(Check(Bytes({0x01, 0x83, 0x02, 0xC0, 0xF1}), 2, 1, values), TReplyCheck::Length);
    auto longer = good;
    longer.push_back(0);
    EXPECT_EQ(Check(longer, 2, 1, values), TReplyCheck::Length);
    EXPECT_EQ(Check({}, 2, 1, values), TReplyCheck::Length);

    // Another address: an intact frame (good CRC, whatever its function code) is
    // another slave's answer; a damaged one (its address byte hit on the line) is a CRC
    // failure.
    std::vector<std::uint8_t> other = Bytes({0x02, 0x04, 0x04, 0, 0, 0, 0x7B});
    AppendCrc(other);
    EXPECT_EQ(Check(other, 2, 1, values), TReplyCheck::Slave);
    EXPECT_EQ(Check(good, 2, 257, values), TReplyCheck::Slave);
    auto hit = good;
    hit[0] = 0x03;
    EXPECT_EQ(Check(hit, 2, 1, values), TReplyCheck::Crc);

    auto swapped = good;
    std::swap(swapped[7], swapped[8]);
    EXPECT_EQ(Check(swapped, 2, 1, values), TReplyCheck::Crc);

    std::vector<std::uint8_t> function = Bytes({0x01, 0x04, 0x04, 0, 0, 0, 0x7B});
    AppendCrc(function);
    EXPECT_EQ(Check(function, 2, 1, values), TReplyCheck::FunctionCode);

    std::vector<std::uint8_t> count = Bytes({0x01, 0x03, 0x05, 0, 0, 0, 0x7B});
    AppendCrc(count);
    EXPECT_EQ(Check(count, 2, 1, values), TReplyCheck::ByteCount);

    EXPECT_EQ(values, before);
}

TEST(ModbusEcho, OnlyTheExactEightBytesAreAccepted) {
    const TFrame8 command = BuildCoilCommand(1, TCoilAction::Zero);
    std::vector<std::uint8_t> echo(command.begin(), command.end());
    EXPECT_TRUE(IsCoilEcho(echo, command));

    auto badCrc = echo;
    badCrc[7] ^= 0x01;
    EXPECT_FALSE(IsCoilEcho(badCrc, command));

    auto longer = echo;
    longer.push_back(0x00);
    EXPECT_FALSE(IsCoilEcho(longer, command));
    EXPECT_FALSE(IsCoilEcho(TByteSpan(echo.data(), 7), command));
    EXPECT_FALSE(IsCoilEcho(Bytes({0x01, 0x85, 0x02, 0xC3, 0x51}), command));
}

TEST(ModbusText, HexTextEndsWithABlank) {
    EXPECT_EQ(HexText(Bytes({0x01, 0x03})), "01 03 ");
    EXPECT_EQ(HexText(Bytes({0xAB, 0x0F, 0x00})), "AB 0F 00 ");
    EXPECT_EQ(HexText({}), "");
}
