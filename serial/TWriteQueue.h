#pragma once

#include <condition_variable>
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

/// The writer's input: any thread pushes, the writer takes in push order.
class TWriteQueue {
public:
    /// False once the queue is closed; the item is then dropped.
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
    std::condition_variable_any Changed;
    std::deque<TWriteItem> Items;
    bool IsClosed = false;
};
