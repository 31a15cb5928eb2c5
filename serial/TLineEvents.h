#pragma once

#include <cstdint>

/// Error flags of a line-error notice, numbered as the device's error word.
inline constexpr std::uint32_t CommErrorRxOver = 0x0001;   ///< input queue overflow
inline constexpr std::uint32_t CommErrorOverrun = 0x0002;  ///< character lost in the hardware
inline constexpr std::uint32_t CommErrorRxParity = 0x0004; ///< parity error
inline constexpr std::uint32_t CommErrorFrame = 0x0008;    ///< framing error
inline constexpr std::uint32_t CommErrorBreak = 0x0010;    ///< break condition

/// Modem event bits of a modem notice.
inline constexpr std::uint32_t ModemCarrierChanged = 8;
inline constexpr std::uint32_t ModemRing = 4;

/// What a driver counts on the line since it was loaded; the counters wrap.
struct TLineCounters {
    std::uint32_t Frame = 0;
    std::uint32_t Overrun = 0;
    std::uint32_t Parity = 0;
    std::uint32_t Break = 0;
    std::uint32_t BufferOverrun = 0;
    std::uint32_t Carrier = 0;
    std::uint32_t Ring = 0;
};

/// Line events found between two readings of the counters.
struct TLineEvent {
    bool Error = false; ///< a line error happened; ErrorFlags says which
    std::uint32_t ErrorFlags = 0;
    std::uint32_t Modem = 0; ///< ModemCarrierChanged and/or ModemRing, or 0

    bool Any() const { return Error || Modem != 0; }
};

/// The events that turned `before` into `after`.
TLineEvent CompareLineCounters(const TLineCounters& before, const TLineCounters& after);
