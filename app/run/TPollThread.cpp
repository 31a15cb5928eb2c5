#include "TPollThread.h"

#include "TPollEvent.h"
#include "TRunState.h"
#include "TSysParam.h"

#include <algorithm>

std::chrono::milliseconds PollTimeoutAtUse() {
    return std::chrono::milliseconds(std::clamp(ParamPollTimeout->AsInteger(), 1, 10000));
}

std::chrono::milliseconds PollIntervalAtUse() {
    return std::chrono::milliseconds(std::clamp(ParamPollInterval->AsInteger(), 0, 10000));
}

TPollThread::TPollThread(TRunState& state, TPollEvent& pollEvent, TPollHost& host,
                         std::uint32_t runId)
    : State(state), PollEvent(pollEvent), Host(host), RunId(runId),
      Thread([this](std::stop_token stopToken) { Execute(stopToken); }) {}

TPollThread::~TPollThread() {
    Terminate();
    WaitFor();
}

void TPollThread::Terminate() {
    Thread.request_stop();
}

void TPollThread::WaitFor() {
    if (Thread.joinable())
        Thread.join();
}

void TPollThread::Execute(std::stop_token stopToken) noexcept {
    using Clock = std::chrono::steady_clock;
    try {
        State.CurrentSlave = ParamPollFrom->AsInteger();
        // Every parameter is read at its use; they cannot change during a run
        // because the settings panel is disabled meanwhile.
        while (!stopToken.stop_requested()) {
            const std::int32_t slave = State.CurrentSlave;
            const TFrame8 request = BuildReadRequest(slave, ParamRegisterBegin->AsInteger(),
                                                     ParamRegisterCount->AsInteger());
            State.MarkRequestHandedOver();
            Host.SendRequest(request);
            State.RequestPending = true;
            State.SetSendCaption(SendCaptionPrefix + HexText(request));
            Host.SendCaptionChanged();

            const bool signalled = PollEvent.WaitFor(PollTimeoutAtUse());
            Host.PostPollResult(RunId, slave, signalled ? PollResultGood : PollResultTimeout);

            // The pause is timed by busy waiting on the monotonic clock: a
            // sleep would be rounded up to the scheduler's tick. The first test
            // is against the start itself, so 0 does not wait at all.
            const Clock::duration interval = PollIntervalAtUse();
            const Clock::time_point start = Clock::now();
            for (Clock::time_point now = start; now - start < interval; now = Clock::now()) {
            }

            // One store, so the receive handler never sees an address past Poll To.
            const std::int32_t next = slave + 1;
            State.CurrentSlave =
                next > ParamPollTo->AsInteger() ? ParamPollFrom->AsInteger() : next;
        }
    } catch (...) {
        // Only allocation can fail here; the run then simply stops polling and
        // Stop still ends it normally.
    }
}
