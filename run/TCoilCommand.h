#pragma once

#include "ModbusRtu.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <stop_token>
#include <thread>

class TNoticeQueue;
class TPollingRun;

/// How a coil command ended.
enum class TCoilOutcome : std::uint8_t {
    Echoed,   ///< the device echoed the command
    Refused,  ///< the device answered with an exception reply
    TimedOut, ///< nothing came in time, or the command could not go out
};

struct TCoilResult {
    TCoilAction Action = TCoilAction::Zero;
    std::int32_t Slave = 0;
    TCoilOutcome Outcome = TCoilOutcome::TimedOut;
    bool Echoed() const { return Outcome == TCoilOutcome::Echoed; }
};

/// The line a command's result writes: "清零成功！" / "清零超时！" and the
/// same for un-zero. A refusal writes the time-out line after the line that
/// decodes the refusal.
const char* CoilResultText(TCoilAction action, bool echoed);

/// The zero and un-zero commands, for every front end: one at a time, on a
/// thread of their own, so that the owning loop never waits for an echo.
/// During a run the command goes on the line between two polls (the poll in
/// flight finishes, the poll thread holds until the command is done). In the
/// fixed-length framing the reader cuts 8-byte blocks while the echo is
/// awaited. The echo, an exception reply or 500 ms end the wait; the result
/// line goes to the run's error list and `done` runs on the owning loop.
class TCoilCommand {
public:
    using TDone = std::function<void(const TCoilResult&)>;

    static constexpr std::chrono::milliseconds EchoWait{500};
    /// The pause after the port has been opened for a command.
    static constexpr std::chrono::milliseconds PortSettle{100};

    TCoilCommand(TPollingRun& run, TNoticeQueue& queue);
    ~TCoilCommand();
    TCoilCommand(const TCoilCommand&) = delete;
    TCoilCommand& operator=(const TCoilCommand&) = delete;

    /// Owning thread, with the port open. `restoreLength`: in the fixed-length
    /// framing (`fixedLength`) the reader's block length after the command;
    /// `settle`: the port has just been opened, so the command waits
    /// PortSettle first. False (and `done` is not called) while a command is on.
    bool Start(TCoilAction action, std::int32_t slave, bool fixedLength,
               std::uint16_t restoreLength, bool settle, TDone done);

    /// A command is on: from Start until just before its `done` is posted.
    bool Busy() const { return FBusy.load(); }

    /// Ends a command that is still waiting, as timed out, and waits for its
    /// thread; `done` still runs later on the owning loop.
    void Cancel();

private:
    struct TJob {
        TCoilAction Action;
        std::int32_t Slave;
        bool FixedLength;
        std::uint16_t RestoreLength;
        bool Settle;
        TDone Done;
    };
    void Execute(std::stop_token stopToken, TJob job) noexcept;

    TPollingRun& Run;
    TNoticeQueue& Queue;
    std::shared_ptr<TCoilCommand*> Self;
    std::atomic<bool> FBusy{false};
    std::jthread Worker;
};
