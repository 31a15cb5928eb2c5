#pragma once

#include "TWakeWord.h"

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

/// The way into the owning loop: the thread that owns the serial link and the
/// front end (the window's thread, the console's main loop). Any thread may
/// post an item without waiting; the owning thread runs the items one at a
/// time, in the order they were posted. The Qt adapter posts into the Qt
/// event loop; tests and the console front end pump a TManualNoticeQueue.
class TNoticeQueue {
public:
    using TItem = std::function<void()>;

    virtual ~TNoticeQueue() = default;

    /// Any thread; never blocks on the owning thread.
    virtual void Post(TItem item) = 0;

    /// As Post, but the owning thread is not woken for this item: it runs, in
    /// its place in the order, once something else wakes that thread.
    /// For notices that nobody waits for, which must not cost a wake-up each.
    virtual void PostQuiet(TItem item) { Post(std::move(item)); }
};

/// A notice queue pumped by its owner: whoever calls RunPending or
/// WaitAndRun acts as the owning thread.
class TManualNoticeQueue final : public TNoticeQueue {
public:
    void Post(TItem item) override;
    void PostQuiet(TItem item) override;

    /// Runs every item queued so far, including items posted while running.
    /// Returns how many ran.
    std::size_t RunPending();

    /// The same, but returns once `until` has come, after one item at least,
    /// leaving the rest queued: a queue that is fed as fast as it is pumped
    /// must not keep its pumping thread from its clock.
    std::size_t RunPendingUntil(std::chrono::steady_clock::time_point until);

    /// Waits up to `timeout` for at least one item, then runs what is queued
    /// until `timeout` has passed; items posted quietly meanwhile run when the
    /// wait ends. Returns how many ran.
    std::size_t WaitAndRun(std::chrono::milliseconds timeout);

    /// Pumps until `done()` holds or `timeout` passes; returns `done()`.
    bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

    std::size_t Size() const;

private:
    mutable std::mutex Mutex;
    // The pumping thread sleeps on this, not on the mutex: a post from the
    // link's threads wakes it without a second round through the lock.
    TWakeWord Arrived;
    std::deque<TItem> Items;
};
