#include "TLineHold.h"

std::uint64_t TLineHold::Request() {
    std::uint64_t request = 0;
    {
        std::scoped_lock lock(Mutex);
        request = Requested.load() + 1;
        Requested = request;
    }
    // Wakes a poll thread that sleeps through a pause.
    Changed.notify_all();
    return request;
}

bool TLineHold::WaitHeld(std::uint64_t request, std::chrono::steady_clock::time_point until,
                         std::stop_token stopToken) {
    std::unique_lock lock(Mutex);
    Changed.wait_until(lock, stopToken, until,
                       [&] { return HeldFor == request || !Polling || Served >= request; });
    return HeldFor == request;
}

void TLineHold::Release(std::uint64_t request) {
    {
        std::scoped_lock lock(Mutex);
        if (request > Released)
            Released = request;
        // A request given back before it was served needs no hold any more.
        if (Served < Released && HeldFor == 0)
            Served = Released;
    }
    Changed.notify_all();
}

bool TLineHold::Wanted() const {
    return Requested.load(std::memory_order_acquire) != Served.load(std::memory_order_acquire);
}

void TLineHold::WaitWanted(std::chrono::steady_clock::time_point until, std::stop_token stopToken) {
    std::unique_lock lock(Mutex);
    Changed.wait_until(lock, stopToken, until, [this] { return Requested != Served; });
}

void TLineHold::Hold(std::stop_token stopToken) {
    std::unique_lock lock(Mutex);
    const std::uint64_t request = Requested;
    if (request == Served)
        return;
    // Marked before the command is told, under the same lock it waits on.
    HeldFor = request;
    Changed.notify_all();
    Changed.wait(lock, stopToken, [&] { return Released >= request; });
    HeldFor = 0;
    Served = request;
    lock.unlock();
    Changed.notify_all();
}

void TLineHold::PollerStarted() {
    std::scoped_lock lock(Mutex);
    Polling = true;
}

void TLineHold::PollerEnded() {
    {
        std::scoped_lock lock(Mutex);
        Polling = false;
        HeldFor = 0;
        // What was asked is moot: nobody polls, the line is the command's.
        Served = Requested.load();
    }
    Changed.notify_all();
}
