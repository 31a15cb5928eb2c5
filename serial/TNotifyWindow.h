#pragma once

#include "TWindowQueue.h"

#include <atomic>
#include <cstdint>
#include <memory>

class TComm;

/// The component's mailbox on the window thread. The reader and writer post
/// (message, word, pointer) notices here; each runs later on the window
/// thread as TComm::NotifyWindowProc, in posting order. Every queued notice
/// holds this object, not the component: the component's destructor detaches
/// it, and notices still queued then are dropped unhandled.
class TNotifyWindow : public std::enable_shared_from_this<TNotifyWindow> {
public:
    TNotifyWindow(TWindowQueue& queue, TComm& owner);

    /// Any thread; never waits for the window thread. `block` travels with the
    /// notice and is released right after the notice has been handled (or
    /// dropped). False if the notice could not be queued.
    bool Post(unsigned message, std::uintptr_t wParam, std::uintptr_t lParam,
              std::shared_ptr<char[]> block = {}) noexcept;

    /// Window thread: no notice reaches the component from now on.
    void Detach();

private:
    TWindowQueue& Queue;
    std::atomic<TComm*> Owner;
};
