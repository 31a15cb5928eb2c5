#include "TRunState.h"

#include "TPollThread.h"

TRunState RunState;

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

void TRunState::Reset() {
    PollingActive = false;
    PollThread.reset();
    PollEvent.reset();
    CurrentSlave = 0;
    RequestPending = false;
    OkCounts.clear();
    FailCounts.clear();
    CountsRange.reset();
    RegisterValues.clear();
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
