#include "TPollThread.h"

#include "TComm.h"
#include "TIntervalPacer.h"
#include "TPollingRun.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>

TPollThread::TPollThread(TPollingRun& run, TRunSettings settings,
                         std::optional<std::int64_t> cycles)
    : Run(run), Settings(std::move(settings)), Cycles(cycles),
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
    using TState = TPendingRequest::TState;
    try {
        TuneThreadForPacing();
        TIntervalPacer pacer;
        TComm& comm = Run.Comm();
        const Clock::duration timeout = PollTimeoutAtUse(Settings);
        const Clock::duration interval = PollIntervalAtUse(Settings);
        std::int32_t slave = Settings.PollFrom;
        std::int64_t passes = 0;
        std::mutex sleepMutex;
        std::condition_variable_any sleeper;
        while (!stopToken.stop_requested()) {
            // Each poll starts clean: bytes left from earlier traffic, and a
            // signal left by a reply that came after its own poll had ended,
            // must not be taken for this poll's reply.
            if (std::vector<char> dropped = comm.DiscardInput(); !dropped.empty())
                Run.AddLine(TPollingRun::DiscardedLine(dropped, Run.RunClock().Now()));
            Run.PollEvent.Reset();
            // Stored only now, so that a reply checked at any time is checked
            // against the request that went out last, never against one that
            // was not sent.
            Run.CurrentSlave = slave;
            const TFrame8 request = BuildReadRequest(slave, Settings.RegisterBegin,
                                                     Settings.RegisterCount, Settings.FunctionCode);
            // The caption first: a wrong-slave line of a prompt reply repeats it.
            Run.SetSendCaption(SendCaptionPrefix + HexText(request));
            // Marked before it goes out: a prompt reply may be checked before
            // this thread runs again, and must find its request pending.
            const std::uint32_t ticket = Run.RequestPending.Mark(slave, MonotonicNanoseconds());
            comm.SendBytes(request.data(), static_cast<std::uint16_t>(request.size()));

            const bool signalled =
                Run.PollEvent.WaitUntil(Clock::now() + timeout, stopToken, ticket);
            if (stopToken.stop_requested()) {
                // A wait cut short by Stop is neither good nor timed out; a
                // reply that decided the request before it still counts, as
                // its values and time already do.
                if (const TState outcome = Run.RequestPending.Cancel(ticket);
                    outcome == TState::Good || outcome == TState::Refused)
                    Run.CountResult(slave, outcome);
                break;
            }
            // The reply decided the request, or the wait ran out first: one
            // atomic step each, so a reply in the same instant is never both.
            const TState outcome = signalled
                                       ? Run.RequestPending.Load().State
                                       : Run.RequestPending.Expire(ticket, MonotonicNanoseconds());
            Run.CountResult(slave, outcome);

            // With a number of passes, the last one ends the run on the line
            // too: no request follows its last reply or time-out.
            if (Cycles && slave == Settings.PollTo && ++passes >= *Cycles) {
                Run.MarkEnded();
                break;
            }

            // The pause ends on time to a fraction of a millisecond without
            // holding a core: the thread sleeps on a monotonic deadline until
            // shortly before the end and spins the rest (TIntervalPacer). The
            // first test is against the start itself, so 0 does not wait at
            // all. A coil command gets the line here, between two polls, and
            // wakes the sleep; the pause then starts again after it, so the
            // slave gets its rest after the echo. One hold a pause: a poll goes
            // out between two commands.
            Clock::time_point end = Clock::now() + interval;
            bool held = false;
            while (!stopToken.stop_requested()) {
                if (!held && Run.LineHold.Wanted()) {
                    Run.LineHold.Hold(stopToken);
                    held = true;
                    end = Clock::now() + interval;
                    continue;
                }
                const Clock::time_point now = Clock::now();
                if (now >= end)
                    break;
                const Clock::time_point wakeAt = pacer.SleepUntil(end);
                if (now < wakeAt) {
                    if (held) {
                        // The command had its turn: only a Stop cuts this sleep.
                        std::unique_lock lock(sleepMutex);
                        (void)sleeper.wait_until(lock, stopToken, wakeAt, [] { return false; });
                    } else
                        Run.LineHold.WaitWanted(wakeAt, stopToken);
                    pacer.Woke(wakeAt, Clock::now());
                }
            }

            slave = slave + 1 > Settings.PollTo ? Settings.PollFrom : slave + 1;
        }
    } catch (...) {
        // Only allocation can fail here; the run then simply stops polling and
        // Stop still ends it normally.
    }
    // A command that waits for the line takes it now that nobody polls.
    Run.LineHold.PollerEnded();
}
