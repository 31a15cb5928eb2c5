#pragma once

#include "ModbusRtu.h"

#include <chrono>
#include <cstdint>
#include <thread>

struct TRunState;
class TPollEvent;

/// What the poll thread reaches beyond the run state. Every call comes from the
/// poll thread and returns without waiting for the window thread, so that
/// stopping a run, which blocks the window thread, can never deadlock.
class TPollHost {
public:
    virtual ~TPollHost() = default;

    /// Hands a request to the serial link; whether it was queued is not looked at.
    virtual void SendRequest(const TFrame8& request) = 0;

    /// WM_POLL_RESULT for `slave` with PollResultGood or PollResultTimeout.
    /// `runId` names the run the result belongs to.
    virtual void PostPollResult(std::uint32_t runId, std::int32_t slave, std::int32_t result) = 0;

    /// The run state's send caption has changed; show it on the window thread.
    /// Told only when a reply is slow to come: a window also shows the newest
    /// caption whenever it handles a received block, so a prompt reply costs
    /// the window thread no wake-up of its own for the caption.
    virtual void SendCaptionChanged() = 0;

    /// Before each request: drops what the serial link holds of earlier
    /// traffic; bytes dropped are reported to the window thread.
    virtual void DiscardInput() = 0;

    /// The poll thread holds between two polls because a coil command asked
    /// for the line (TLineHold); tell the window thread.
    virtual void LineHeld() = 0;
};

/// Poll Timeout as a wait uses it: kept within 1 to 10000 ms, so that a value
/// from the settings file can never make a wait, or a Stop, last for days.
std::chrono::milliseconds PollTimeoutAtUse();

/// Poll Interval as the pause uses it: a negative value counts as 0, and more
/// than 10000 ms counts as 10000, for the same reason.
std::chrono::milliseconds PollIntervalAtUse();

/// The poll thread of one run. It starts on construction and polls Poll From to
/// Poll To in turn, cyclically, until it is told to terminate; a reply wait, an
/// interval or a hold for a coil command ends at once on termination. The
/// destructor terminates and waits.
class TPollThread {
public:
    TPollThread(TRunState& state, TPollEvent& pollEvent, TPollHost& host, std::uint32_t runId);
    ~TPollThread();
    TPollThread(const TPollThread&) = delete;
    TPollThread& operator=(const TPollThread&) = delete;

    /// Asks the thread to end; it does so at once, without a result for a
    /// poll whose wait it cuts short.
    void Terminate();
    /// Blocks until the thread has ended.
    void WaitFor();

private:
    void Execute(std::stop_token stopToken) noexcept;

    TRunState& State;
    TPollEvent& PollEvent;
    TPollHost& Host;
    std::uint32_t RunId;
    std::jthread Thread;
};
