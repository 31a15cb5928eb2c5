#include "ModbusException.h"

#include <cstdio>

namespace {

std::string Hex2(std::uint8_t value) {
    char text[3];
    std::snprintf(text, sizeof text, "%02X", static_cast<unsigned>(value));
    return text;
}

std::string FunctionName(std::uint8_t function) {
    switch (function) {
    case 0x03:
        return "读保持寄存器";
    case 0x04:
        return "读输入寄存器";
    case 0x05:
        return "写单个线圈";
    default:
        return {};
    }
}

} // namespace

std::optional<TModbusException> MatchExceptionReply(TByteSpan block, int slave, int function) {
    // Address, function | 0x80, exception code, CRC low, CRC high.
    constexpr std::size_t ExceptionReplyLength = 5;
    if (block.size() != ExceptionReplyLength || block[0] != slave ||
        block[1] != ((function & 0x7F) | 0x80))
        return std::nullopt;
    const std::uint16_t crc = static_cast<std::uint16_t>(block[3] | (block[4] << 8));
    if (crc != ModbusCrc16(block.data(), 3))
        return std::nullopt;
    return TModbusException{block[0], static_cast<std::uint8_t>(block[1] & 0x7F), block[2]};
}

bool IsExceptionFrame(const char* data, std::size_t count) {
    if (count != 5)
        return false;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
    return (bytes[1] & 0x80) != 0 &&
           ModbusCrc16(bytes, 3) == static_cast<std::uint16_t>(bytes[3] | (bytes[4] << 8));
}

std::string ExceptionCodeMeaning(std::uint8_t code) {
    // The codes of the Modbus application protocol; 07 and 09 are not defined there.
    switch (code) {
    case 0x01:
        return "非法功能";
    case 0x02:
        return "非法数据地址";
    case 0x03:
        return "非法数据值";
    case 0x04:
        return "从站设备故障";
    case 0x05:
        return "已确认，正在处理";
    case 0x06:
        return "从站设备忙";
    case 0x08:
        return "存储奇偶校验错误";
    case 0x0A:
        return "网关路径不可用";
    case 0x0B:
        return "网关目标设备无响应";
    default:
        return "未定义的异常码";
    }
}

std::string ExceptionReplyText(const TModbusException& exception) {
    std::string function = Hex2(exception.Function);
    if (const std::string name = FunctionName(exception.Function); !name.empty())
        function += " " + name;
    return "[从机异常应答!][功能码:" + function + "][异常码:" + Hex2(exception.Code) + " " +
           ExceptionCodeMeaning(exception.Code) + "]";
}
