#pragma once

#include "TWakeWord.h"

#include <atomic>
#include <chrono>
#include <stop_token>

/// The handshake between the receive handler and the poll thread: an
/// auto-reset event private to this process. Set leaves it signalled until one
/// wait consumes it, so a signal that comes while nobody waits is kept for the
/// next wait, unless Reset drops it first.
class TPollEvent {
public:
    /// Any thread.
    void Set();

    /// Drops a signal left from earlier; any thread.
    void Reset();

    /// Waits until signalled or `timeout` passes. True when signalled; the
    /// signal is consumed.
    bool WaitFor(std::chrono::milliseconds timeout);

    /// The same, but a stop request on `stopToken` ends the wait at once (false).
    bool WaitFor(std::chrono::milliseconds timeout, std::stop_token stopToken);

    /// The same, up to a point on the monotonic clock.
    bool WaitUntil(std::chrono::steady_clock::time_point until, std::stop_token stopToken);

    /// True while a signal waits to be consumed (for tests).
    bool IsSignalled() const;

private:
    // No lock: the reply's signal is on the way from the receive handler to
    // the next request, and a lock there costs wake-ups of its own.
    std::atomic<bool> FSignalled{false};
    TWakeWord Wake;
};
