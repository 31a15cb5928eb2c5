#include "TPollEvent.h"

void TPollEvent::Set() {
    {
        std::scoped_lock lock(Mutex);
        FSignalled = true;
    }
    Signalled.notify_one();
}

bool TPollEvent::WaitFor(std::chrono::milliseconds timeout) {
    std::unique_lock lock(Mutex);
    // condition_variable::wait_for measures on the steady clock, so a change of
    // the wall clock can neither stretch nor cut the wait.
    if (!Signalled.wait_for(lock, timeout, [this] { return FSignalled; }))
        return false;
    FSignalled = false;
    return true;
}

bool TPollEvent::IsSignalled() const {
    std::scoped_lock lock(Mutex);
    return FSignalled;
}
