#include "TNotifyWindow.h"

#include "TComm.h"

TNotifyWindow::TNotifyWindow(TWindowQueue& queue, TComm& owner) : Queue(queue), Owner(&owner) {}

bool TNotifyWindow::Post(unsigned message, std::uintptr_t wParam, std::uintptr_t lParam,
                         std::shared_ptr<char[]> block) noexcept {
    try {
        Queue.Post([window = shared_from_this(), message, wParam, lParam,
                    block = std::move(block)]() mutable {
            if (TComm* owner = window->Owner.load(std::memory_order_acquire))
                owner->NotifyWindowProc(message, wParam, lParam);
            // The copy belongs to the notice; it goes as soon as the handler is done.
            block.reset();
        });
        return true;
    } catch (...) {
        return false;
    }
}

void TNotifyWindow::Detach() {
    Owner.store(nullptr, std::memory_order_release);
}
