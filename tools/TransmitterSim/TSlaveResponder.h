#pragma once

#include "ModbusRtu.h"
#include "ValueFormat.h"

#include <cstdint>
#include <optional>
#include <vector>

/// The addresses a simulated line of transmitters answers, both ends included.
struct TSlaveRange {
    int first = 1;
    int last = 10;
    bool Contains(int slave) const { return slave >= first && slave <= last; }
};

/// What a transmitter sends back, before any fault is injected.
enum class TAnswerKind : std::uint8_t { ReadReply, CoilEcho, Exception };

struct TAnswer {
    TAnswerKind kind = TAnswerKind::ReadReply;
    std::vector<std::uint8_t> bytes;
};

/// Highest Register Count one read may ask for: the reply's byte count field is one byte.
inline constexpr int MaxReadCount = 125;

/// Modbus exception codes used by the simulated transmitters.
inline constexpr std::uint8_t IllegalFunction = 1;
inline constexpr std::uint8_t IllegalDataAddress = 2;
inline constexpr std::uint8_t IllegalDataValue = 3;

/// Five-byte exception reply: slave, function with its top bit set, code, CRC.
std::vector<std::uint8_t> BuildExceptionReply(std::uint8_t slave, std::uint8_t function,
                                              std::uint8_t code);

/// The format in which some of the slaves report their values.
struct TSlaveFormat {
    TSlaveRange range;
    TValueFormat format;
};

/// Answers requests the way a line of well-behaved transmitters would: functions 3 and 4
/// with the simulated register values (holding and input registers hold the same), function
/// 5 by echoing the request (the devices accept F000 as well as FF00 and 0000), and a Modbus
/// exception for anything they cannot serve. Values are int32:abcd unless `formats` name
/// another format for a slave (the first that holds it).
class TSlaveResponder {
public:
    explicit TSlaveResponder(TSlaveRange range, std::vector<TSlaveFormat> formats = {})
        : range_(range), formats_(std::move(formats)) {}

    TValueFormat FormatOf(int slave) const;

    /// The answer to `request` (whose CRC is already known to be valid) at `elapsedMs` after
    /// start. Addresses outside the range, broadcast 0 among them, get no answer at all.
    std::optional<TAnswer> Answer(const TFrame8& request, std::int64_t elapsedMs) const;

    TSlaveRange Range() const { return range_; }

private:
    TSlaveRange range_;
    std::vector<TSlaveFormat> formats_;
};
