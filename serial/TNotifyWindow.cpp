#include "TNotifyWindow.h"

#include "TComm.h"

#include <algorithm>

TNotifyWindow::TNotifyWindow(TNoticeQueue& queue, TComm& owner, std::size_t limit)
    : Queue(queue), Owner(&owner), Limit(std::max<std::size_t>(limit, 1)) {}

bool TNotifyWindow::Post(unsigned message, std::uintptr_t wParam, std::uintptr_t lParam,
                         std::shared_ptr<char[]> block, bool wake) noexcept {
    Queued.fetch_add(1, std::memory_order_relaxed);
    try {
        auto notice = [window = shared_from_this(), message, wParam, lParam,
                       block = std::move(block)]() mutable {
            if (TComm* owner = window->Owner.load(std::memory_order_acquire))
                owner->NotifyWindowProc(message, wParam, lParam);
            // The copy belongs to the notice; it goes as soon as the handler is done.
            block.reset();
            window->Handled();
        };
        if (wake)
            Queue.Post(std::move(notice));
        else
            Queue.PostQuiet(std::move(notice));
        return true;
    } catch (...) {
        Queued.fetch_sub(1, std::memory_order_relaxed);
        return false;
    }
}

TNotifyWindow::TBlockPost TNotifyWindow::PostBlock(std::size_t count,
                                                   std::shared_ptr<char[]> block) noexcept {
    {
        std::scoped_lock lock(DropMutex);
        // Once full, dropping goes on until the window thread has caught up, so
        // that it gets room to breathe and the loss is reported in one line.
        if (Dropping.load(std::memory_order_relaxed) ||
            Queued.load(std::memory_order_relaxed) >= Limit) {
            Dropping.store(true, std::memory_order_relaxed);
            ++DroppedBlocks;
            DroppedBytes += count;
            return TBlockPost::Dropped;
        }
    }
    const auto address = reinterpret_cast<std::uintptr_t>(block.get());
    return Post(WM_COMM_DATA, count, address, std::move(block)) ? TBlockPost::Posted
                                                                : TBlockPost::Refused;
}

void TNotifyWindow::Handled() {
    const std::size_t left = Queued.fetch_sub(1, std::memory_order_relaxed) - 1;
    if (!Dropping.load(std::memory_order_relaxed) || left > Limit / 2)
        return;
    std::uint64_t blocks = 0;
    std::uint64_t bytes = 0;
    {
        std::scoped_lock lock(DropMutex);
        if (!Dropping.load(std::memory_order_relaxed))
            return;
        Dropping.store(false, std::memory_order_relaxed);
        blocks = DroppedBlocks;
        bytes = DroppedBytes;
        DroppedBlocks = 0;
        DroppedBytes = 0;
    }
    // Already on the window thread, after the notice before it: no need to queue.
    if (TComm* owner = Owner.load(std::memory_order_acquire))
        owner->DoDataDropped(blocks, bytes);
}

void TNotifyWindow::Detach() {
    Owner.store(nullptr, std::memory_order_release);
}
