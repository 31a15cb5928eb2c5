#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stop_token>

/// How a coil command gets the line during a run: the command asks for it,
/// the poll thread hands it over between two polls and waits until it is
/// given back. So a command and its echo never meet a poll's request or reply.
///
/// Every request has a number, and the poll thread says which request it
/// holds for: a command waits for its own hold, never mistakes the end of an
/// earlier one for it, and after every hold at least one poll goes out.
/// All waits are on one condition under one lock, so no wake-up is lost.
class TLineHold {
public:
    /// Command: asks the poll thread to stop after the poll in flight; returns
    /// the request's number for the calls below.
    std::uint64_t Request();
    /// Command: waits until the poll thread holds for `request`, the poll
    /// thread has ended, a stop is requested or `until` has come. True when held.
    bool WaitHeld(std::uint64_t request, std::chrono::steady_clock::time_point until,
                  std::stop_token stopToken);
    /// Command: the line is back; polling goes on.
    void Release(std::uint64_t request);

    /// Poll thread: true when a request waits to be served. Lock-free, so the
    /// last stretch of a pause can ask it on every turn.
    bool Wanted() const;
    /// Poll thread: sleeps until the line is asked for, a stop is requested,
    /// or `until` (monotonic clock) has come.
    void WaitWanted(std::chrono::steady_clock::time_point until, std::stop_token stopToken);
    /// Poll thread: marks the line held for the newest request, tells the
    /// command, and waits until that request is released or a stop is requested.
    void Hold(std::stop_token stopToken);

    /// Poll thread starting and ending: no request is served while none polls,
    /// and a command waiting for a hold learns that none will come.
    void PollerStarted();
    void PollerEnded();

private:
    mutable std::mutex Mutex;
    std::condition_variable_any Changed;
    // All written under the mutex, so that a waiter never misses a change.
    std::atomic<std::uint64_t> Requested{0}; ///< the newest request's number
    std::atomic<std::uint64_t> Served{0};    ///< requests up to this one have had their hold
    std::uint64_t Released = 0;              ///< requests up to this one are given back
    std::uint64_t HeldFor = 0;               ///< the request held for now; 0 while polling
    bool Polling = false;
};
