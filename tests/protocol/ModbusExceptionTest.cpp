#include "ModbusException.h"

#include <gtest/gtest.h>

namespace {

std::vector<std::uint8_t> ExceptionReply(int slave, int function, int code) {
    std::vector<std::uint8_t> block{static_cast<std::uint8_t>(slave),
                                    static_cast<std::uint8_t>(function | 0x80),
                                    static_cast<std::uint8_t>(code)};
    AppendCrc(block);
    return block;
}

} // namespace

TEST(ModbusException, EachCodeIsDecodedWithItsMeaning) {
    const struct {
        int Code;
        const char* Text;
    } cases[] = {
        {0x01, "[从机异常应答!][功能码:03 读保持寄存器][异常码:01 非法功能]"},
        {0x02, "[从机异常应答!][功能码:03 读保持寄存器][异常码:02 非法数据地址]"},
        {0x03, "[从机异常应答!][功能码:03 读保持寄存器][异常码:03 非法数据值]"},
        {0x04, "[从机异常应答!][功能码:03 读保持寄存器][异常码:04 从站设备故障]"},
        {0x05, "[从机异常应答!][功能码:03 读保持寄存器][异常码:05 已确认，正在处理]"},
        {0x06, "[从机异常应答!][功能码:03 读保持寄存器][异常码:06 从站设备忙]"},
        {0x08, "[从机异常应答!][功能码:03 读保持寄存器][异常码:08 存储奇偶校验错误]"},
        {0x0A, "[从机异常应答!][功能码:03 读保持寄存器][异常码:0A 网关路径不可用]"},
        {0x0B, "[从机异常应答!][功能码:03 读保持寄存器][异常码:0B 网关目标设备无响应]"},
        {0x07, "[从机异常应答!][功能码:03 读保持寄存器][异常码:07 未定义的异常码]"},
        {0xFF, "[从机异常应答!][功能码:03 读保持寄存器][异常码:FF 未定义的异常码]"},
    };
    for (const auto& c : cases) {
        const auto exception = MatchExceptionReply(ExceptionReply(7, 0x03, c.Code), 7, 0x03);
        ASSERT_TRUE(exception) << c.Code;
        EXPECT_EQ(exception->Slave, 7);
        EXPECT_EQ(exception->Function, 0x03);
        EXPECT_EQ(exception->Code, c.Code);
        EXPECT_EQ(ExceptionReplyText(*exception), c.Text);
    }
    // The worked example of an exception reply: 01 83 02 C0 F1.
    EXPECT_EQ(ExceptionReplyText(*MatchExceptionReply(
                  std::vector<std::uint8_t>{0x01, 0x83, 0x02, 0xC0, 0xF1}, 1, 3)),
              "[从机异常应答!][功能码:03 读保持寄存器][异常码:02 非法数据地址]");
    EXPECT_EQ(ExceptionReplyText(*MatchExceptionReply(ExceptionReply(1, 0x05, 0x04), 1, 0x05)),
              "[从机异常应答!][功能码:05 写单个线圈][异常码:04 从站设备故障]");
}

TEST(ModbusException, OnlyTheAddressedSlavesValidReplyToThatFunctionCounts) {
    const std::vector<std::uint8_t> good = ExceptionReply(1, 0x03, 0x02);
    EXPECT_FALSE(MatchExceptionReply(good, 2, 0x03));   // another slave
    EXPECT_FALSE(MatchExceptionReply(good, 257, 0x03)); // the byte against the whole integer
    EXPECT_FALSE(MatchExceptionReply(good, 1, 0x05));   // another function
    std::vector<std::uint8_t> badCrc = good;
    badCrc[4] ^= 0x01;
    EXPECT_FALSE(MatchExceptionReply(badCrc, 1, 0x03));
    std::vector<std::uint8_t> longer = good;
    longer.push_back(0);
    EXPECT_FALSE(MatchExceptionReply(longer, 1, 0x03));
    std::vector<std::uint8_t> plain{0x01, 0x03, 0x02};
    AppendCrc(plain); // a 5-byte block without the exception bit
    EXPECT_FALSE(MatchExceptionReply(plain, 1, 0x03));
}
