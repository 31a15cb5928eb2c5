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
    return WaitUntil(std::chrono::steady_clock::now() + timeout, std::move(stopToken));
}

bool TPollEvent::WaitUntil(std::chrono::steady_clock::time_point until, std::stop_token stopToken) {
    std::unique_lock lock(Mutex);
    // The wait measures on the steady clock, so a change of the wall clock can
    // neither stretch nor cut it.
    if (!Signalled.wait_until(lock, stopToken, until, [this] { return FSignalled; }))
        return false;
    FSignalled = false;
    return true;
}

bool TPollEvent::IsSignalled() const {
    std::scoped_lock lock(Mutex);
    return FSignalled;
}
