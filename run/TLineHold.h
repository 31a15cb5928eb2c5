#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stop_token>

/// How a coil command gets the line during a run: the window asks for it, the
/// poll thread hands it over between two polls and waits until it is given
/// back. So a command and its echo never meet a poll's request or reply.
class TLineHold {
public:
    /// Window thread: asks the poll thread to stop after the poll in flight.
    void Request();
    /// Window thread: the line is back; polling goes on.
    void Release();
    /// True while the poll thread holds and the line is the asker's.
    bool Held() const;

    /// Poll thread: true when the line has been asked for. Lock-free, so the
    /// last stretch of a pause can ask it on every turn.
    bool Wanted() const;
    /// Poll thread: sleeps until the line is asked for, a stop is requested,
    /// or `until` (monotonic clock) has come.
    void WaitWanted(std::chrono::steady_clock::time_point until, std::stop_token stopToken);
    /// Poll thread: marks the line handed over and waits until it is released
    /// or a stop is requested.
    void Hold(std::stop_token stopToken);

private:
    mutable std::mutex Mutex;
    std::condition_variable_any Changed;
    // Written under the mutex, so that a waiter never misses a change.
    std::atomic<bool> FWanted{false};
    bool FHeld = false;
};
