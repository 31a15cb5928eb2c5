#include "TWriteQueue.h"

bool TWriteQueue::Push(TWriteItem item) {
    {
        std::scoped_lock lock(Mutex);
        if (IsClosed || Items.size() >= Limit)
            return false;
        Items.push_back(std::move(item));
    }
    Changed.notify_one();
    return true;
}

std::optional<TWriteItem> TWriteQueue::TryTake() {
    std::scoped_lock lock(Mutex);
    if (Items.empty())
        return std::nullopt;
    TWriteItem item = std::move(Items.front());
    Items.pop_front();
    return item;
}

bool TWriteQueue::WaitForItem(std::stop_token stop) {
    std::unique_lock lock(Mutex);
    Changed.wait(lock, stop, [this] { return IsClosed || !Items.empty(); });
    return !IsClosed && !Items.empty();
}

void TWriteQueue::Close() {
    std::deque<TWriteItem> dropped;
    {
        std::scoped_lock lock(Mutex);
        IsClosed = true;
        dropped.swap(Items);
    }
    Changed.notify_all();
    // `dropped` releases the copies here, outside the lock.
}

bool TWriteQueue::Closed() const {
    std::scoped_lock lock(Mutex);
    return IsClosed;
}
