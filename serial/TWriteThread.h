#pragma once

#include "TCommDevice.h"
#include "TNotifyWindow.h"
#include "TWriteQueue.h"

#include <memory>
#include <stop_token>
#include <thread>

/// The writer: takes the blocks of its queue in order and writes each
/// completely. Posts WM_COMM_SENT once after it starts and again each time the
/// queue runs empty after writes; a failed write ends it with WM_COMM_HANGUP.
/// When it ends, its queue is closed, so later blocks are refused.
class TWriteThread {
public:
    /// Without `wakeForSent` (no handler for the notice when the port opened)
    /// WM_COMM_SENT is queued without waking the window thread: at one a
    /// request, that wake-up would cost the window thread as much as the reply.
    TWriteThread(TCommDevice& device, std::shared_ptr<TNotifyWindow> notifyWindow,
                 std::shared_ptr<TWriteQueue> queue, bool wakeForSent = true);

    void RequestStop() { Thread.request_stop(); }
    void Join() {
        if (Thread.joinable())
            Thread.join();
    }

private:
    void Execute(std::stop_token stop) noexcept;
    /// `reason`: the system's error number of the failure, 0 for none.
    void PostHangupRequest(int reason = 0) noexcept;

    TCommDevice& Device;
    std::shared_ptr<TNotifyWindow> NotifyWindow;
    std::shared_ptr<TWriteQueue> Queue;
    bool WakeForSent;
    std::jthread Thread; // last: starts once everything above is set
};
