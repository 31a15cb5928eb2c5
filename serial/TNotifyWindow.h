#pragma once

#include "TNoticeQueue.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

class TComm;

/// The component's mailbox on the window thread. The reader and writer post
/// (message, word, pointer) notices here; each runs later on the window
/// thread as TComm::NotifyWindowProc, in posting order. Every queued notice
/// holds this object, not the component: the component's destructor detaches
/// it, and notices still queued then are dropped unhandled.
///
/// The mailbox holds at most `limit` unhandled notices of data. When the
/// window thread falls that far behind, further blocks are dropped and counted
/// until it has caught up to half the limit; then the component hears once how
/// many blocks and bytes were lost (TComm::OnDataDropped). Other notices are
/// rare and always queued.
class TNotifyWindow : public std::enable_shared_from_this<TNotifyWindow> {
public:
    /// As many notices as a window thread's message queue holds on the
    /// platform the component was first written for.
    static constexpr std::size_t DefaultLimit = 10'000;

    TNotifyWindow(TNoticeQueue& queue, TComm& owner, std::size_t limit = DefaultLimit);

    /// Any thread; never waits for the window thread. `block` travels with the
    /// notice and is released right after the notice has been handled (or
    /// dropped). Without `wake` the window thread is not woken for the notice
    /// (TNoticeQueue::PostQuiet). False if the notice could not be queued.
    bool Post(unsigned message, std::uintptr_t wParam, std::uintptr_t lParam,
              std::shared_ptr<char[]> block = {}, bool wake = true) noexcept;

    enum class TBlockPost : std::uint8_t { Posted, Dropped, Refused };

    /// Reader: WM_COMM_DATA for `count` bytes in `block`, unless the window
    /// thread is too far behind; then the block is released and counted.
    TBlockPost PostBlock(std::size_t count, std::shared_ptr<char[]> block) noexcept;

    /// Notices queued and not yet handled.
    std::size_t Backlog() const { return Queued.load(std::memory_order_relaxed); }

    /// Window thread: no notice reaches the component from now on.
    void Detach();

private:
    /// Window thread, after each notice: reports dropped blocks once caught up.
    void Handled();

    TNoticeQueue& Queue;
    std::atomic<TComm*> Owner;
    const std::size_t Limit;
    std::atomic<std::size_t> Queued{0};

    std::mutex DropMutex;
    std::atomic<bool> Dropping{false}; // written under DropMutex
    std::uint64_t DroppedBlocks = 0;   // guarded by DropMutex
    std::uint64_t DroppedBytes = 0;    // guarded by DropMutex
};
