// Values as transmitters mean them: every format and word order against bytes worked out
// by hand.
#include "ValueFormat.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>

namespace {

/// A good reply carrying `registers` (a read of that many registers from slave 1).
std::vector<std::uint8_t> Reply(const std::vector<std::uint8_t>& registers) {
    std::vector<std::uint8_t> reply;
    reply.reserve(registers.size() + 5);
    reply.push_back(0x01);
    reply.push_back(0x03);
    reply.push_back(static_cast<std::uint8_t>(registers.size()));
    for (const std::uint8_t byte : registers)
        reply.push_back(byte);
    AppendCrc(reply);
    return reply;
}

std::vector<std::string> Texts(const std::vector<std::uint8_t>& registers, const char* format) {
    std::vector<std::string> texts;
    const auto parsed = ParseValueFormat(format);
    EXPECT_TRUE(parsed.has_value()) << format;
    for (const TDecodedValue& v :
         DecodeValues(Reply(registers), static_cast<int>(registers.size() / 2), *parsed))
        texts.push_back(v.Text);
    return texts;
}

TEST(ValueFormatTest, NamesParseToOneFormatAndBack) {
    const std::pair<const char*, const char*> cases[] = {{"int32", "int32:abcd"},
                                                         {"INT32:CDAB", "int32:cdab"},
                                                         {"uint32:badc", "uint32:badc"},
                                                         {"float32:dcba", "float32:dcba"},
                                                         {"int16", "int16"},
                                                         {"hex16", "hex16"},
                                                         {"uint16", "uint16"}};
    for (const auto& [text, name] : cases) {
        const auto format = ParseValueFormat(text);
        ASSERT_TRUE(format.has_value()) << text;
        EXPECT_EQ(ValueFormatName(*format), name);
    }
    for (const char* bad : {"", "int8", "int16:abcd", "float32:abdc", "float32:", "int32 "})
        EXPECT_FALSE(ParseValueFormat(bad).has_value()) << bad;
    EXPECT_EQ(AllValueFormats().size(), 15U);
    EXPECT_EQ(ValueFormatName(TValueFormat{}), "int32:abcd");
}

TEST(ValueFormatTest, EveryFormatAndOrderReadsItsBytes) {
    struct TCase {
        const char* Format;
        std::vector<std::uint8_t> Registers;
        std::vector<std::string> Texts;
    };
    // 12.5f is 0x41480000; 123456789 is 0x075BCD15.
    const std::vector<TCase> cases = {
        {"int32:abcd", {0x07, 0x5B, 0xCD, 0x15}, {"123456789"}},
        {"int32:cdab", {0xCD, 0x15, 0x07, 0x5B}, {"123456789"}},
        {"int32:badc", {0x5B, 0x07, 0x15, 0xCD}, {"123456789"}},
        {"int32:dcba", {0x15, 0xCD, 0x5B, 0x07}, {"123456789"}},
        {"int32", {0xFF, 0xFF, 0xFF, 0xFE}, {"-2"}},
        {"int32", {0x80, 0x00, 0x00, 0x00}, {"-2147483648"}},
        {"uint32", {0xFF, 0xFF, 0xFF, 0xFE}, {"4294967294"}},
        {"float32:abcd", {0x41, 0x48, 0x00, 0x00}, {"12.5"}},
        {"float32:cdab", {0x00, 0x00, 0x41, 0x48}, {"12.5"}},
        {"float32:badc", {0x48, 0x41, 0x00, 0x00}, {"12.5"}},
        {"float32:dcba", {0x00, 0x00, 0x48, 0x41}, {"12.5"}},
        {"float32", {0x3D, 0xCC, 0xCC, 0xCD}, {"0.1"}},
        {"float32", {0x80, 0x00, 0x00, 0x00}, {"-0"}},
        {"float32", {0x7F, 0xC0, 0x00, 0x00}, {"NaN"}},
        {"float32", {0x7F, 0x80, 0x00, 0x00}, {"inf"}},
        {"float32", {0xFF, 0x80, 0x00, 0x00}, {"-inf"}},
        {"float32", {0x7F, 0x7F, 0xFF, 0xFF}, {"3.402823e+38"}},
        {"float32", {0x49, 0x96, 0xB4, 0x38}, {"1234567"}},
        // 16-bit formats: one value per register, the odd last one too.
        {"int16", {0xFF, 0xFE, 0x7F, 0xFF, 0x80, 0x00}, {"-2", "32767", "-32768"}},
        {"uint16", {0xFF, 0xFE, 0x00, 0x07}, {"65534", "7"}},
        {"hex16", {0x00, 0xAB, 0xFF, 0x0F}, {"00AB", "FF0F"}},
        // A 32-bit format with an odd count leaves the last register undecoded.
        {"int32", {0x00, 0x00, 0x00, 0x7B, 0x12, 0x34}, {"123"}},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(Texts(c.Registers, c.Format), c.Texts) << c.Format;
}

TEST(ValueFormatTest, JsonHasNumbersStringsAndNullForNoNumber) {
    const auto decode = [](const char* format, std::vector<std::uint8_t> registers) {
        return DecodeValues(Reply(registers), static_cast<int>(registers.size() / 2),
                            *ParseValueFormat(format))
            .at(0)
            .Json;
    };
    EXPECT_EQ(decode("float32", {0x41, 0x48, 0x00, 0x00}), "12.5");
    EXPECT_EQ(decode("float32", {0x7F, 0xC0, 0x00, 0x00}), "null");
    EXPECT_EQ(decode("float32", {0xFF, 0x80, 0x00, 0x00}), "null");
    EXPECT_EQ(decode("hex16", {0x00, 0xAB}), "\"00AB\"");
    EXPECT_EQ(decode("int16", {0xFF, 0xFE}), "-2");
}

TEST(ValueFormatTest, EncodingIsTheInverseOfDecoding) {
    for (const TValueFormat format : AllValueFormats()) {
        if (!format.Is32Bit())
            continue;
        const std::uint32_t bits = std::bit_cast<std::uint32_t>(-0.75f);
        const std::vector<std::uint8_t> wire = EncodeValue32(bits, format.Order);
        const TValueFormat asFloat{TValueType::Float32, format.Order};
        EXPECT_EQ(DecodeValues(Reply(wire), 2, asFloat).at(0).Text, "-0.75")
            << ValueFormatName(format);
    }
    EXPECT_EQ(ValuesPerReply(*ParseValueFormat("int32"), 16), 8);
    EXPECT_EQ(ValuesPerReply(*ParseValueFormat("hex16"), 16), 16);
    EXPECT_EQ(ValuesPerReply(*ParseValueFormat("float32"), 1), 0);
}

} // namespace
