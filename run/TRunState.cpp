#include "TRunState.h"

#include "TPollThread.h"

#include <algorithm>

TRunState RunState;

std::uint32_t TPendingRequest::Mark(std::int32_t slave) {
    std::uint32_t ticket = ++LastTicket;
    if (ticket == 0) // after 2^32 requests: 0 stays "none"
        ticket = ++LastTicket;
    Word = std::uint64_t{ticket} << 32 | static_cast<std::uint32_t>(slave);
    return ticket;
}

std::optional<TPendingRequest::TTaken> TPendingRequest::Take() {
    const std::uint64_t word = Word.exchange(0);
    if (word == 0)
        return std::nullopt;
    FLastTaken = static_cast<std::uint32_t>(word >> 32);
    return TTaken{static_cast<std::int32_t>(word & 0xFFFF'FFFFU), FLastTaken};
}

TRunState::TRunState() = default;

TRunState::~TRunState() {
    // A thread left running would outlive the state it works on.
    PollingActive = false;
    PollThread.reset();
}

std::string TRunState::SendCaption() const {
    std::scoped_lock lock(SendCaptionMutex);
    return FSendCaption;
}

void TRunState::SetSendCaption(std::string caption) {
    std::scoped_lock lock(SendCaptionMutex);
    FSendCaption = std::move(caption);
}

void TRunState::MarkRequestHandedOver() {
    const auto now = std::chrono::duration_cast<std::chrono::nanoseconds>(
        TMonotonicClock::now().time_since_epoch());
    // 0 means none, so a clock that starts at its epoch still counts.
    HandedOverAt = std::max<std::int64_t>(now.count(), 1);
}

std::optional<std::chrono::microseconds> TRunState::TakeResponseTime() {
    const std::int64_t start = HandedOverAt.exchange(0);
    if (start == 0)
        return std::nullopt;
    const auto now = std::chrono::duration_cast<std::chrono::nanoseconds>(
        TMonotonicClock::now().time_since_epoch());
    return std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::nanoseconds(now.count() - start));
}

void TRunState::Reset() {
    PollingActive = false;
    PollThread.reset();
    PollEvent.reset();
    CurrentSlave = 0;
    RequestPending.Clear();
    OkCounts.clear();
    FailCounts.clear();
    CountsRange.reset();
    RegisterValues.clear();
    ResponseTimes.clear();
    HandedOverAt = 0;
    PollStartTime.reset();
    RateBaseOkCount = 0;
    RateOkDelta = 0;
    RateSampleSecond = 0;
    CoilAck = false;
    CoilTimedOut = false;
    CoilCommandMode = false;
    CoilCommand = {};
    LineHold.Release();
    SetSendCaption(SendCaptionPrefix);
}
