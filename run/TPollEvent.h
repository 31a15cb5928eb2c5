#pragma once

#include "TWakeWord.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <stop_token>

/// The handshake between the receive handler and the poll thread: an
/// auto-reset event private to this process. Set leaves it signalled until one
/// wait consumes it, so a signal that comes while nobody waits is kept for the
/// next wait, unless Reset drops it first. A signal carries a ticket, and a
/// wait consumes only a signal with its own ticket: a reply to one request can
/// then never end the wait for a later one, however late it comes.
class TPollEvent {
public:
    /// Any thread.
    void Set(std::uint32_t ticket = 0);

    /// Drops a signal left from earlier; any thread.
    void Reset();

    /// Waits until signalled or `timeout` passes. True when signalled; the
    /// signal is consumed.
    bool WaitFor(std::chrono::milliseconds timeout);

    /// The same, but a stop request on `stopToken` ends the wait at once (false).
    bool WaitFor(std::chrono::milliseconds timeout, std::stop_token stopToken);

    /// The same, up to a point on the monotonic clock, for the signal with `ticket`.
    bool WaitUntil(std::chrono::steady_clock::time_point until, std::stop_token stopToken,
                   std::uint32_t ticket = 0);

    /// True while a signal waits to be consumed (for tests).
    bool IsSignalled() const;

private:
    // No lock: the reply's signal is on the way from the receive handler to
    // the next request, and a lock there costs wake-ups of its own.
    std::atomic<std::uint64_t> FSignal{0}; // ticket + 1; 0 for none
    TWakeWord Wake;
};
