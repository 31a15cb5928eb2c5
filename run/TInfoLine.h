#pragma once

#include "TRunClock.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

/// What a line of the error list reports, so that a machine reading a run's
/// record need not parse the Chinese texts.
enum class TInfoKind : std::uint8_t {
    Length,       ///< a block of the wrong length
    Slave,        ///< an intact reply from another address
    Crc,          ///< a damaged block
    Function,     ///< a reply with another function code
    ByteCount,    ///< a reply whose byte count does not match
    Exception,    ///< a slave refused the request (Modbus exception reply)
    Late,         ///< a reply that came after its poll had timed out
    Discarded,    ///< bytes dropped before a request or a command
    PortLost,     ///< the device vanished under the open port
    PortRestored, ///< the vanished port opened again
    PortOpen,     ///< the port did not open
    Rate,         ///< the device did not take the baud rate
    LineSetting,  ///< the device did not take the parity or the stop bits
    Overflow,     ///< received data dropped while the reader of the notices was behind
    Sent,         ///< the request a wrong-slave line answers
    Other,        ///< anything else (coil command results, settings, RS-485)
};

/// The name of a kind in a run's record: "length", "byte_count", "port_lost", ...
std::string_view InfoKindName(TInfoKind kind);

/// One line of the error list: its text as the list shows it, what it is
/// about, the slave it concerns (none when it concerns no one slave) and
/// when it was made.
struct TInfoLine {
    TInfoKind Kind = TInfoKind::Other;
    std::optional<std::int32_t> Slave;
    TDateTime At;
    std::string Text;
};
