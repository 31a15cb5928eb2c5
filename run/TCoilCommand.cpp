#include "TCoilCommand.h"

#include "TComm.h"
#include "TNoticeQueue.h"
#include "TPollingRun.h"

#include <condition_variable>
#include <mutex>

namespace {

constexpr std::uint16_t EchoLength = 8;

} // namespace

const char* CoilResultText(TCoilAction action, bool echoed) {
    if (action == TCoilAction::Zero)
        return echoed ? "清零成功！" : "清零超时！";
    return echoed ? "反清零成功！" : "反清零超时！";
}

TCoilCommand::TCoilCommand(TPollingRun& run, TNoticeQueue& queue)
    : Run(run), Queue(queue), Self(std::make_shared<TCoilCommand*>(this)) {}

TCoilCommand::~TCoilCommand() {
    Cancel();
    Self.reset();
}

bool TCoilCommand::Start(TCoilAction action, std::int32_t slave, bool fixedLength,
                         std::uint16_t restoreLength, bool settle, TDone done) {
    if (FBusy.exchange(true))
        return false;
    // The thread of the command before is past its last step.
    if (Worker.joinable())
        Worker.join();
    Worker = std::jthread(
        [this](std::stop_token stopToken, TJob job) { Execute(stopToken, std::move(job)); },
        TJob{action, slave, fixedLength, restoreLength, settle, std::move(done)});
    return true;
}

void TCoilCommand::Cancel() {
    if (Worker.joinable()) {
        Worker.request_stop();
        Worker.join();
    }
}

void TCoilCommand::Execute(std::stop_token stopToken, TJob job) noexcept {
    TCoilResult result{job.Action, job.Slave & 0xFF, TCoilOutcome::TimedOut};
    try {
        TComm& comm = Run.Comm();
        std::mutex sleepMutex;
        std::condition_variable_any sleeper;
        if (job.Settle) {
            std::unique_lock lock(sleepMutex);
            (void)sleeper.wait_for(lock, stopToken, PortSettle, [] { return false; });
        }
        Run.CoilCommand = BuildCoilCommand(result.Slave, job.Action);
        Run.CoilAck = false;
        Run.CoilRefused = false;
        Run.CoilTimedOut = false;

        // During a run the poll thread hands the line over between two polls;
        // a run that ends meanwhile leaves the line to the command.
        std::uint64_t hold = 0;
        if (Run.PollingActive) {
            hold = Run.LineHold.Request();
            (void)Run.LineHold.WaitHeld(hold, std::chrono::steady_clock::time_point::max(),
                                        stopToken);
        }
        if (!stopToken.stop_requested()) {
            // Bytes left on the line are neither the echo nor allowed to shift its block.
            const std::optional<std::uint16_t> length =
                job.FixedLength ? std::optional<std::uint16_t>(EchoLength) : std::nullopt;
            if (std::vector<char> dropped = comm.DiscardInput(length); !dropped.empty())
                Run.AddLine(TPollingRun::DiscardedLine(dropped, Run.RunClock().Now()));
            Run.CoilCommandMode = true;
            const bool sent = comm.SendBytes(Run.CoilCommand.data(),
                                             static_cast<std::uint16_t>(Run.CoilCommand.size()));
            const auto deadline = std::chrono::steady_clock::now() + EchoWait;
            std::stop_callback wake(stopToken, [this] { Run.CoilAnswered.Bump(); });
            while (sent) {
                const std::uint32_t seen = Run.CoilAnswered.Load();
                if (Run.CoilAck || Run.CoilRefused || stopToken.stop_requested() ||
                    std::chrono::steady_clock::now() >= deadline)
                    break;
                Run.CoilAnswered.WaitWhile(seen, deadline);
            }
            Run.CoilCommandMode = false;
            if (job.FixedLength)
                if (std::vector<char> dropped = comm.DiscardInput(job.RestoreLength);
                    !dropped.empty())
                    Run.AddLine(TPollingRun::DiscardedLine(dropped, Run.RunClock().Now()));
            if (Run.CoilAck)
                result.Outcome = TCoilOutcome::Echoed;
            else if (Run.CoilRefused)
                result.Outcome = TCoilOutcome::Refused;
        }
        if (hold != 0)
            Run.LineHold.Release(hold);
        Run.CoilTimedOut = result.Outcome == TCoilOutcome::TimedOut;
        const TDateTime now = Run.RunClock().Now();
        Run.AddLine(
            {TInfoKind::Other, result.Slave, now, CoilResultText(job.Action, result.Echoed())});
    } catch (...) {
        // Only allocation can fail here; the command then ends as timed out.
    }
    // Free before `done` runs, so that it may start the next command.
    FBusy = false;
    try {
        Queue.Post([self = std::weak_ptr<TCoilCommand*>(Self), done = std::move(job.Done), result] {
            if (self.lock() && done)
                done(result);
        });
    } catch (...) {
        // Nobody to tell: the result line is in the list all the same.
    }
}
