#pragma once

#include "TWakeWord.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>

/// One block for the writer: `Count` bytes followed by a 0 byte, owned by the item.
struct TWriteItem {
    std::uint16_t Count = 0;
    std::unique_ptr<char[]> Copy;
};

/// The writer's input: any thread pushes, the writer takes in push order. It
/// holds at most `limit` waiting items, so a writer that cannot keep up (a
/// stalled line) never lets its input grow without bound.
class TWriteQueue {
public:
    /// As many items as a thread's message queue holds on the platform the
    /// component was first written for.
    static constexpr std::size_t DefaultLimit = 10'000;

    explicit TWriteQueue(std::size_t limit = DefaultLimit) : Limit(limit) {}

    /// False once the queue is closed, or while `limit` items wait; the item
    /// is then dropped.
    bool Push(TWriteItem item);

    /// The oldest item, without waiting.
    std::optional<TWriteItem> TryTake();

    /// Waits until an item is queued, the queue is closed or `stop` is
    /// requested. True when an item can be taken and the queue is open.
    bool WaitForItem(std::stop_token stop);

    /// Refuses every later push, drops what is queued and wakes the waiter.
    void Close();

    bool Closed() const;

private:
    mutable std::mutex Mutex;
    // The writer sleeps on this, not on the mutex: a push wakes it without a
    // second round through the lock.
    TWakeWord Changed;
    std::deque<TWriteItem> Items;
    bool IsClosed = false;
    const std::size_t Limit;
};
