#include "TWriteQueue.h"

bool TWriteQueue::Push(TWriteItem item) {
    {
        std::scoped_lock lock(Mutex);
        if (IsClosed || Items.size() >= Limit)
            return false;
        Items.push_back(std::move(item));
    }
    Changed.Bump();
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
    std::stop_callback wakeOnStop(stop, [this] { Changed.Bump(); });
    for (;;) {
        const std::uint32_t seen = Changed.Load();
        {
            std::scoped_lock lock(Mutex);
            if (IsClosed || !Items.empty())
                return !IsClosed;
        }
        if (stop.stop_requested())
            return false;
        Changed.WaitWhile(seen, std::nullopt);
    }
}

void TWriteQueue::Close() {
    std::deque<TWriteItem> dropped;
    {
        std::scoped_lock lock(Mutex);
        IsClosed = true;
        dropped.swap(Items);
    }
    Changed.Bump();
    // `dropped` releases the copies here, outside the lock.
}

bool TWriteQueue::Closed() const {
    std::scoped_lock lock(Mutex);
    return IsClosed;
}
