#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

/// The way into the thread that owns the window. Any thread may post an item
/// without waiting; the window thread runs the items one at a time, in the
/// order they were posted. The Qt adapter posts into the Qt event loop; tests
/// and console front ends pump a TManualWindowQueue themselves.
class TWindowQueue {
public:
    using TItem = std::function<void()>;

    virtual ~TWindowQueue() = default;

    /// Any thread; never blocks on the window thread.
    virtual void Post(TItem item) = 0;
};

/// A window-thread queue pumped by its owner: whoever calls RunPending or
/// WaitAndRun acts as the window thread.
class TManualWindowQueue final : public TWindowQueue {
public:
    void Post(TItem item) override;

    /// Runs every item queued so far, including items posted while running.
    /// Returns how many ran.
    std::size_t RunPending();

    /// Waits up to `timeout` for at least one item, then runs what is queued.
    /// Returns how many ran (0 after a time-out).
    std::size_t WaitAndRun(std::chrono::milliseconds timeout);

    /// Pumps until `done()` holds or `timeout` passes; returns `done()`.
    bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

    std::size_t Size() const;

private:
    mutable std::mutex Mutex;
    std::condition_variable Arrived;
    std::deque<TItem> Items;
};
