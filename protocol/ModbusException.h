#pragma once

#include "ModbusRtu.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

/// A Modbus exception reply: the slave understood the request and refused it.
struct TModbusException {
    std::uint8_t Slave = 0;
    /// The function code of the refused request, without the exception bit.
    std::uint8_t Function = 0;
    std::uint8_t Code = 0;
};

/// `block` as the exception reply of `slave` to a request with function code
/// `function`: exactly 5 bytes, the slave's address (compared as the whole
/// integer), the function code with its high bit set, the exception code and
/// a valid CRC. Anything else gives no exception.
std::optional<TModbusException> MatchExceptionReply(TByteSpan block, int slave, int function);

/// Whether `count` bytes at `data` are a whole exception reply of any slave to
/// any function: 5 bytes, the function code's high bit set, a valid CRC. A
/// reader that cuts replies by their length ends a block on this early.
bool IsExceptionFrame(const char* data, std::size_t count);

/// What an exception code means, in the window's language; codes that the
/// Modbus application protocol does not define get a text saying so.
std::string ExceptionCodeMeaning(std::uint8_t code);

/// The decoded reply for the error list, without the time stamp:
/// "[从机异常应答!][功能码:03 读保持寄存器][异常码:02 非法数据地址]".
std::string ExceptionReplyText(const TModbusException& exception);
