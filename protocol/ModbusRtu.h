#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

using TFrame8 = std::array<std::uint8_t, 8>;
using TByteSpan = std::span<const std::uint8_t>;

/// CRC-16/MODBUS (initial 0xFFFF, reflected polynomial 0xA001) over the first
/// `count` bytes. On the wire it follows the frame low byte first.
std::uint16_t ModbusCrc16(const std::uint8_t* data, std::size_t count);
inline std::uint16_t ModbusCrc16(TByteSpan data) {
    return ModbusCrc16(data.data(), data.size());
}

/// Appends the CRC of everything already in `frame`, low byte first.
void AppendCrc(std::vector<std::uint8_t>& frame);

/// The two read functions: holding registers and input registers.
inline constexpr int ReadHoldingRegisters = 0x03;
inline constexpr int ReadInputRegisters = 0x04;

/// Read request: slave, the function (3, or 4 for input registers), Register
/// Begin, Register Count, CRC. Each 16-bit field is the value's quotient and
/// remainder by 256, taken to 8 bits.
TFrame8 BuildReadRequest(int slave, int registerBegin, int registerCount,
                         int function = ReadHoldingRegisters);

/// Length of a complete read reply for `registerCount` registers: 2 * RC + 5.
int ExpectedReplyLength(int registerCount);

/// Outcome of checking a received block as a read reply; the checks run in
/// this order and the first that fails decides.
enum class TReplyCheck : std::uint8_t { Good, Length, Slave, Crc, FunctionCode, ByteCount };

/// Checks `block` as the reply to a read with `function` of `registerCount`
/// registers from `currentSlave`.
TReplyCheck CheckReadReply(TByteSpan block, int registerCount, int currentSlave, int function);

/// The same for function 3; on Good, `values` receives Register Count div 2
/// signed 32-bit values (high register first); otherwise it is left alone.
TReplyCheck CheckReadReply(TByteSpan block, int registerCount, int currentSlave,
                           std::vector<std::int32_t>& values);

/// Decodes the values of a reply already known to be good.
std::vector<std::int32_t> DecodeRegisterValues(TByteSpan reply, int registerCount);

enum class TCoilAction : std::uint8_t { Zero, UnZero };

/// Function 5 on coil 10: FF00 for zero, F000 for un-zero (the device's own
/// convention, not Modbus' 0000 for off).
TFrame8 BuildCoilCommand(int slave, TCoilAction action);

/// A block is the echo of `coilCommand` only when it is exactly those 8 bytes.
bool IsCoilEcho(TByteSpan block, const TFrame8& coilCommand);

/// Each byte as two upper-case hex digits and one blank: "01 03 " (ends with a blank).
std::string HexText(TByteSpan bytes);
