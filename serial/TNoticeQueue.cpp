#include "TNoticeQueue.h"

void TManualNoticeQueue::Post(TItem item) {
    {
        std::scoped_lock lock(Mutex);
        Items.push_back(std::move(item));
    }
    Arrived.Bump();
}

void TManualNoticeQueue::PostQuiet(TItem item) {
    std::scoped_lock lock(Mutex);
    Items.push_back(std::move(item));
}

std::size_t TManualNoticeQueue::RunPending() {
    return RunPendingUntil(std::chrono::steady_clock::time_point::max());
}

std::size_t TManualNoticeQueue::RunPendingUntil(std::chrono::steady_clock::time_point until) {
    std::size_t ran = 0;
    for (;;) {
        if (ran > 0 && until != std::chrono::steady_clock::time_point::max() &&
            std::chrono::steady_clock::now() >= until)
            return ran;
        TItem item;
        {
            std::scoped_lock lock(Mutex);
            if (Items.empty())
                return ran;
            item = std::move(Items.front());
            Items.pop_front();
        }
        // Run outside the lock: an item may post further items.
        item();
        ++ran;
    }
}

std::size_t TManualNoticeQueue::WaitAndRun(std::chrono::milliseconds timeout) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const std::uint32_t seen = Arrived.Load();
        if (Size() != 0)
            return RunPendingUntil(until);
        if (std::chrono::steady_clock::now() >= until)
            return 0;
        Arrived.WaitWhile(seen, until);
    }
}

bool TManualNoticeQueue::RunUntil(const std::function<bool()>& done,
                                  std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    RunPending();
    while (!done()) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline)
            return false;
        WaitAndRun(std::min(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now),
                            std::chrono::milliseconds(20)));
    }
    return true;
}

std::size_t TManualNoticeQueue::Size() const {
    std::scoped_lock lock(Mutex);
    return Items.size();
}
