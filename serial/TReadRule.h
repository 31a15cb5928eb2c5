#pragma once

#include "TCommDevice.h"

#include <chrono>
#include <cstddef>
#include <optional>

/// When a block read completes, measured in user space:
/// - when the block length has arrived;
/// - with ReadIntervalTimeout not 0: when, after the first byte, more than
///   that many milliseconds pass without a byte;
/// - with either total time-out not 0: when Multiplier x length + Constant
///   milliseconds have passed since the read began (possibly with no byte);
/// - ReadIntervalTimeout at its maximum with both totals 0 means "take what
///   has arrived": the read completes as soon as it holds any byte.
class TReadRule {
public:
    using TClock = std::chrono::steady_clock;

    static constexpr std::uint32_t MaxTimeout = 0xFFFFFFFFu;

    TReadRule(const TCommTimeouts& timeouts, std::size_t blockLength, TClock::time_point start);

    /// Switches to new time-outs; the start of the read, the bytes and the time of
    /// the last byte stay.
    void Retime(const TCommTimeouts& timeouts);

    /// `total` bytes are in the block now; the newest came at `at`.
    void Received(std::size_t total, TClock::time_point at);

    bool Complete(TClock::time_point now) const;

    /// The moment the block completes if no further byte comes; none when only
    /// bytes can complete it.
    std::optional<TClock::time_point> Deadline() const;

private:
    std::size_t BlockLength;
    TClock::time_point Start;
    std::size_t Total = 0;
    TClock::time_point LastByte;
    bool TakeWhatArrived = false;
    std::optional<TClock::duration> Interval;
    std::optional<TClock::time_point> TotalDeadline;
};
