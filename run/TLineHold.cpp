#include "TLineHold.h"

void TLineHold::Request() {
    {
        std::scoped_lock lock(Mutex);
        FWanted = true;
    }
    // Wakes a poll thread that sleeps through a pause.
    Changed.notify_all();
}

void TLineHold::Release() {
    {
        std::scoped_lock lock(Mutex);
        FWanted = false;
        FHeld = false;
    }
    Changed.notify_all();
}

bool TLineHold::Held() const {
    std::scoped_lock lock(Mutex);
    return FHeld;
}

bool TLineHold::Wanted() const {
    return FWanted.load(std::memory_order_acquire);
}

void TLineHold::WaitWanted(std::chrono::steady_clock::time_point until, std::stop_token stopToken) {
    std::unique_lock lock(Mutex);
    Changed.wait_until(lock, stopToken, until, [this] { return FWanted.load(); });
}

void TLineHold::Hold(std::stop_token stopToken) {
    std::unique_lock lock(Mutex);
    if (!FWanted)
        return;
    FHeld = true;
    Changed.wait(lock, stopToken, [this] { return !FWanted.load(); });
    FHeld = false;
}
