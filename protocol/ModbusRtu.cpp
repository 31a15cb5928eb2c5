#include "ModbusRtu.h"
#include <algorithm>

std::uint16_t ModbusCrc16(const std::uint8_t* data, std::size_t count) {
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < count; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1U) != 0 ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001U)
                                  : static_cast<std::uint16_t>(crc >> 1);
    }
    return crc;
}

void AppendCrc(std::vector<std::uint8_t>& frame) {
    const std::uint16_t crc = ModbusCrc16(frame);
    frame.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<std::uint8_t>(crc >> 8));
}

namespace {

// High and low byte as quotient and remainder by 256, both toward zero, then
// taken to 8 bits; for in-range values these are the ordinary bytes.
std::uint8_t HighByte(int value) {
    return static_cast<std::uint8_t>(value / 256);
}
std::uint8_t LowByte(int value) {
    return static_cast<std::uint8_t>(value % 256);
}

TFrame8 WithCrc(TFrame8 frame) {
    const std::uint16_t crc = ModbusCrc16(frame.data(), 6);
    frame[6] = static_cast<std::uint8_t>(crc & 0xFF);
    frame[7] = static_cast<std::uint8_t>(crc >> 8);
    return frame;
}

} // namespace

TFrame8 BuildReadRequest(int slave, int registerBegin, int registerCount, int function) {
    return WithCrc({static_cast<std::uint8_t>(slave), static_cast<std::uint8_t>(function),
                    HighByte(registerBegin), LowByte(registerBegin), HighByte(registerCount),
                    LowByte(registerCount), 0, 0});
}

int ExpectedReplyLength(int registerCount) {
    return 2 * registerCount + 5;
}

std::vector<std::int32_t> DecodeRegisterValues(TByteSpan reply, int registerCount) {
    std::vector<std::int32_t> values(static_cast<std::size_t>(registerCount / 2));
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::size_t at = 3 + 4 * i;
        const std::uint32_t word = (std::uint32_t{reply[at]} << 24) |
                                   (std::uint32_t{reply[at + 1]} << 16) |
                                   (std::uint32_t{reply[at + 2]} << 8) | reply[at + 3];
        values[i] = static_cast<std::int32_t>(word);
    }
    return values;
}

TReplyCheck CheckReadReply(TByteSpan block, int registerCount, int currentSlave,
                           std::vector<std::int32_t>& values) {
    const TReplyCheck check =
        CheckReadReply(block, registerCount, currentSlave, ReadHoldingRegisters);
    if (check == TReplyCheck::Good)
        values = DecodeRegisterValues(block, registerCount);
    return check;
}

TReplyCheck CheckReadReply(TByteSpan block, int registerCount, int currentSlave, int function) {
    // A negative Register Count can never match a block length, and guards the
    // decoding below from a negative size.
    if (registerCount < 0 ||
        static_cast<long long>(block.size()) != ExpectedReplyLength(registerCount))
        return TReplyCheck::Length;
    const std::size_t length = block.size();
    // A frame whose CRC fails is damaged, whatever its address byte says: a
    // flipped address bit must not send anyone looking for another slave.
    // Only an intact frame from another address is that slave's answer.
    const std::uint16_t received =
        static_cast<std::uint16_t>(block[length - 1] * 256 + block[length - 2]);
    const bool intact = received == ModbusCrc16(block.data(), length - 2);
    if (block[0] != currentSlave)
        return intact ? TReplyCheck::Slave : TReplyCheck::Crc;
    if (!intact)
        return TReplyCheck::Crc;
    if (block[1] != function)
        return TReplyCheck::FunctionCode;
    if (block[2] != static_cast<std::uint8_t>(2 * registerCount) || 2 * registerCount > 255)
        return TReplyCheck::ByteCount;
    return TReplyCheck::Good;
}

TFrame8 BuildCoilCommand(int slave, TCoilAction action) {
    const std::uint8_t value = action == TCoilAction::Zero ? 0xFF : 0xF0;
    return WithCrc({static_cast<std::uint8_t>(slave), 0x05, 0x00, 0x0A, value, 0x00, 0, 0});
}

bool IsCoilEcho(TByteSpan block, const TFrame8& coilCommand) {
    return block.size() == coilCommand.size() &&
           std::equal(block.begin(), block.end(), coilCommand.begin());
}

std::string HexText(TByteSpan bytes) {
    static constexpr char Digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 3);
    for (const std::uint8_t b : bytes) {
        text.push_back(Digits[b >> 4]);
        text.push_back(Digits[b & 0x0F]);
        text.push_back(' ');
    }
    return text;
}
