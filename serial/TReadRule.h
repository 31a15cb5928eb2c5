#pragma once

#include "TCommDevice.h"

#include <chrono>
#include <cstddef>
#include <optional>
#include <span>

/// When a block read completes, measured in user space:
/// - when the block length has arrived;
/// - with ReadIntervalTimeout not 0: when, after the first byte, more than
///   that many milliseconds pass without a byte;
/// - with either total time-out not 0: when Multiplier x length + Constant
///   milliseconds have passed since the read began (possibly with no byte);
/// - ReadIntervalTimeout at its maximum with both totals 0 means "take what
///   has arrived": the read completes as soon as it holds any byte;
/// - with a block end rule: as soon as the rule holds for the bytes so far.
class TReadRule {
public:
    using TClock = std::chrono::steady_clock;

    static constexpr std::uint32_t MaxTimeout = 0xFFFFFFFFu;

    TReadRule(const TCommTimeouts& timeouts, std::size_t blockLength, TClock::time_point start);

    /// Switches to new time-outs; the start of the read, the bytes and the time of
    /// the last byte stay.
    void Retime(const TCommTimeouts& timeouts);

    /// `soFar` is the block now; its newest byte came at `at`. `endRule`, if
    /// any, is asked about these bytes.
    void Received(std::span<const char> soFar, TClock::time_point at,
                  TBlockEndRule endRule = nullptr);

    bool Complete(TClock::time_point now) const;

    /// The block is whole by its bytes alone: its length has arrived, or the
    /// end rule held for them. No later byte belongs to it then.
    bool EndedByBytes() const { return Total >= BlockLength || FrameWhole; }

    /// The moment the block completes if no further byte comes; none when only
    /// bytes can complete it.
    std::optional<TClock::time_point> Deadline() const;

private:
    std::size_t BlockLength;
    TClock::time_point Start;
    std::size_t Total = 0;
    bool FrameWhole = false; // the end rule held for the bytes so far
    TClock::time_point LastByte;
    bool TakeWhatArrived = false;
    std::optional<TClock::duration> Interval;
    std::optional<TClock::time_point> TotalDeadline;
};
