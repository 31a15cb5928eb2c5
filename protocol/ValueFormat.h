#pragma once

#include "ModbusRtu.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

/// What the registers of a reply hold: one value per register (16 bits) or
/// per pair of registers (32 bits).
enum class TValueType : std::uint8_t { Int16, Uint16, Hex16, Int32, Uint32, Float32 };

/// How a 32-bit value's four bytes a b c d (a the most significant) lie in two
/// registers on the wire: ABCD high word first (each register high byte first,
/// as Modbus sends it), CDAB low word first, BADC and DCBA with the bytes of
/// each register swapped.
enum class TWordOrder : std::uint8_t { ABCD, CDAB, BADC, DCBA };

struct TValueFormat {
    TValueType Type = TValueType::Int32;
    TWordOrder Order = TWordOrder::ABCD;

    bool Is32Bit() const;
    bool operator==(const TValueFormat&) const = default;
};

/// "int16", "uint16", "hex16", or "int32", "uint32", "float32" with an optional
/// order ":abcd", ":cdab", ":badc", ":dcba" ("int32" alone is "int32:abcd");
/// letters in either case. None for anything else.
std::optional<TValueFormat> ParseValueFormat(std::string_view text);

/// The format as Config.ini and the window name it: "int16", "float32:cdab".
std::string ValueFormatName(TValueFormat format);

/// Every format, in the order the window offers them.
std::vector<TValueFormat> AllValueFormats();

/// How many values a reply of `registerCount` registers gives: one per
/// register, or one per pair (an odd last register then stays undecoded).
int ValuesPerReply(TValueFormat format, int registerCount);

/// One decoded value: as the table shows it, and as JSON has it (a number, a
/// string for hex16, null for a float that is no number).
struct TDecodedValue {
    std::string Text;
    std::string Json;
    /// The value as a number (NaN for a float that is no number), for
    /// statistics and limits.
    double Number = 0;
    bool operator==(const TDecodedValue&) const = default;
};

/// A number written as a value of `format` shows it: hex digits for hex16
/// (with or without "0x"), a whole number for the other integer formats, a
/// decimal for float32. None for anything else, or beyond what the format holds.
std::optional<double> ParseValueText(std::string_view text, TValueFormat format);

/// A number as a value of `format` shows it (hex digits for hex16, seven
/// significant digits at most for a float or a mean).
std::string ValueText(double number, TValueFormat format);

/// The values of a reply already known to be good. Floats show up to 7
/// significant digits, without trailing zeros; NaN and the infinities as
/// "NaN", "inf", "-inf"; hex16 as four upper-case hex digits.
std::vector<TDecodedValue> DecodeValues(TByteSpan reply, int registerCount, TValueFormat format);

/// The four bytes a b c d of `value` (a 32-bit pattern) in the order they
/// go on the wire for `order`: how a device encodes what DecodeValues reads.
std::vector<std::uint8_t> EncodeValue32(std::uint32_t value, TWordOrder order);
