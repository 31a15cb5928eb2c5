#include "TPollThread.h"

#include "TIntervalPacer.h"
#include "TPollEvent.h"
#include "TRunState.h"
#include "TSysParam.h"

#include <algorithm>

namespace {

// How long a reply may take before the window is told of the new send
// caption on its own: long enough for a reply of a few dozen bytes at
// 115200 baud, short enough that nobody sees the caption come late.
constexpr std::chrono::milliseconds CaptionNoticeDelay(5);

} // namespace

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
        TuneThreadForPacing();
        TIntervalPacer pacer;
        std::int32_t slave = ParamPollFrom->AsInteger();
        // Every parameter is read at its use; they cannot change during a run
        // because the settings panel is disabled meanwhile.
        while (!stopToken.stop_requested()) {
            // Each poll starts clean: bytes left from earlier traffic, and a
            // signal left by a reply that came after its own poll had ended,
            // must not be taken for this poll's reply.
            Host.DiscardInput();
            PollEvent.Reset();
            // Stored only now, so that a reply checked at any time is checked
            // against the request that went out last, never against one that
            // was not sent.
            State.CurrentSlave = slave;
            const TFrame8 request = BuildReadRequest(slave, ParamRegisterBegin->AsInteger(),
                                                     ParamRegisterCount->AsInteger());
            // Marked before it goes out: a prompt reply may be checked before
            // this thread runs again, and must find its request pending.
            // The caption too: a wrong-slave line of a prompt reply repeats it.
            State.SetSendCaption(SendCaptionPrefix + HexText(request));
            const std::uint32_t ticket = State.RequestPending.Mark(slave);
            State.MarkRequestHandedOver();
            Host.SendRequest(request);

            const Clock::time_point waitEnd = Clock::now() + PollTimeoutAtUse();
            bool signalled = PollEvent.WaitUntil(
                std::min(waitEnd, Clock::now() + CaptionNoticeDelay), stopToken, ticket);
            if (!signalled && !stopToken.stop_requested() && Clock::now() < waitEnd) {
                Host.SendCaptionChanged();
                signalled = PollEvent.WaitUntil(waitEnd, stopToken, ticket);
            }
            if (stopToken.stop_requested())
                break; // a wait cut short by Stop is neither good nor timed out
            Host.PostPollResult(RunId, slave, signalled ? PollResultGood : PollResultTimeout);

            // The pause ends on time to a fraction of a millisecond without
            // holding a core: the thread sleeps on a monotonic deadline until
            // shortly before the end and spins the rest (TIntervalPacer). The
            // first test is against the start itself, so 0 does not wait at
            // all. A coil command gets the line here, between two polls, and
            // wakes the sleep; the pause then starts again after it, so the
            // slave gets its rest after the echo.
            const Clock::duration interval = PollIntervalAtUse();
            Clock::time_point end = Clock::now() + interval;
            while (!stopToken.stop_requested()) {
                if (State.LineHold.Wanted()) {
                    Host.LineHeld();
                    State.LineHold.Hold(stopToken);
                    end = Clock::now() + interval;
                    continue;
                }
                const Clock::time_point now = Clock::now();
                if (now >= end)
                    break;
                const Clock::time_point wakeAt = pacer.SleepUntil(end);
                if (now < wakeAt) {
                    State.LineHold.WaitWanted(wakeAt, stopToken);
                    pacer.Woke(wakeAt, Clock::now());
                }
            }

            slave = slave + 1 > ParamPollTo->AsInteger() ? ParamPollFrom->AsInteger() : slave + 1;
        }
    } catch (...) {
        // Only allocation can fail here; the run then simply stops polling and
        // Stop still ends it normally.
    }
}
