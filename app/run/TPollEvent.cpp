#include "TPollEvent.h"

void TPollEvent::Set() {
    {
        std::scoped_lock lock(Mutex);
        FSignalled = true;
    }
    Signalled.notify_one();
}

void TPollEvent::Reset() {
    std::scoped_lock lock(Mutex);
    FSignalled = false;
}

bool TPollEvent::WaitFor(std::chrono::milliseconds timeout) {
    return WaitFor(timeout, std::stop_token());
}

bool TPollEvent::WaitFor(std::chrono::milliseconds timeout, std::stop_token stopToken) {
    std::unique_lock lock(Mutex);
    // The wait measures on the steady clock, so a change of the wall clock can
    // neither stretch nor cut it.
    if (!Signalled.wait_for(lock, stopToken, timeout, [this] { return FSignalled; }))
        return false;
    FSignalled = false;
    return true;
}

bool TPollEvent::IsSignalled() const {
    std::scoped_lock lock(Mutex);
    return FSignalled;
}
