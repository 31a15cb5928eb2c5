#pragma once

#include <stdexcept>
#include <string>

/// The one exception of the port components (port settings, LED, packet
/// collector). It carries the message, its code (an index into the table of
/// messages below) and the system error code of a failed system call, -1 when
/// no system call failed.
class EComPort : public std::runtime_error {
public:
    /// A link was registered twice, or removed without being registered.
    static constexpr int LinkRegistrationFailed = 18;
    /// The LED's state was written while a port drives it.
    static constexpr int LedStateFailed = 19;

    /// Builds the exception for `code` with the table's message.
    explicit EComPort(int code, int systemCode = -1)
        : std::runtime_error(MessageOf(code)), FCode(code), FSystemCode(systemCode) {}

    int Code() const noexcept { return FCode; }
    int SystemCode() const noexcept { return FSystemCode; }

    /// The message for `code`; codes of the device side, which this program
    /// never opens, have no text of their own.
    static std::string MessageOf(int code) {
        switch (code) {
        case LinkRegistrationFailed:
            return "Link (un)registration failed";
        case LedStateFailed:
            return "Cannot change led state if ComPort is selected";
        default:
            return "Serial port error " + std::to_string(code);
        }
    }

private:
    int FCode;
    int FSystemCode;
};
