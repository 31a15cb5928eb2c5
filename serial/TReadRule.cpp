#include "TReadRule.h"

#include <algorithm>

namespace {

// Totals beyond this (about 31 years) are as good as none, and keep the
// clock arithmetic inside its range.
constexpr std::uint64_t LongestTotalMs = 1'000'000'000'000ull;

} // namespace

TReadRule::TReadRule(const TCommTimeouts& timeouts, std::size_t blockLength,
                     TClock::time_point start)
    : BlockLength(blockLength), Start(start), LastByte(start) {
    Retime(timeouts);
}

void TReadRule::Retime(const TCommTimeouts& timeouts) {
    const std::uint32_t interval = timeouts.ReadIntervalTimeout;
    const std::uint32_t multiplier = timeouts.ReadTotalTimeoutMultiplier;
    const std::uint32_t constant = timeouts.ReadTotalTimeoutConstant;

    TakeWhatArrived = interval == MaxTimeout && multiplier == 0 && constant == 0;
    Interval.reset();
    if (interval != 0 && !TakeWhatArrived)
        Interval = std::chrono::milliseconds(interval);
    TotalDeadline.reset();
    if (multiplier != 0 || constant != 0) {
        const std::uint64_t ms = std::uint64_t{multiplier} * BlockLength + constant;
        if (ms <= LongestTotalMs)
            TotalDeadline = Start + std::chrono::milliseconds(ms);
    }
}

void TReadRule::Received(std::span<const char> soFar, TClock::time_point at,
                         TBlockEndRule endRule) {
    Total = soFar.size();
    LastByte = at;
    FrameWhole = endRule != nullptr && Total > 0 && endRule(soFar.data(), soFar.size());
}

bool TReadRule::Complete(TClock::time_point now) const {
    if (EndedByBytes())
        return true;
    if (Total > 0 && TakeWhatArrived)
        return true;
    // "More than" the interval: a gap of exactly the interval does not end the block.
    if (Total > 0 && Interval && now - LastByte > *Interval)
        return true;
    return TotalDeadline && now >= *TotalDeadline;
}

std::optional<TReadRule::TClock::time_point> TReadRule::Deadline() const {
    std::optional<TClock::time_point> deadline = TotalDeadline;
    if (Total > 0 && Interval) {
        const TClock::time_point gapEnd = LastByte + *Interval + TClock::duration(1);
        deadline = deadline ? std::min(*deadline, gapEnd) : gapEnd;
    }
    return deadline;
}
