#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

/// The handshake between the receive handler and the poll thread: an
/// auto-reset event private to this process. Set leaves it signalled until one
/// wait consumes it, so a signal that comes while nobody waits is kept for the
/// next wait.
class TPollEvent {
public:
    /// Any thread.
    void Set();

    /// Waits until signalled or `timeout` passes. True when signalled; the
    /// signal is consumed.
    bool WaitFor(std::chrono::milliseconds timeout);

    /// True while a signal waits to be consumed (for tests).
    bool IsSignalled() const;

private:
    mutable std::mutex Mutex;
    std::condition_variable Signalled;
    bool FSignalled = false;
};
