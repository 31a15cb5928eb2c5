#include "TPollEvent.h"

void TPollEvent::Set() {
    FSignalled.store(true);
    Wake.Bump();
}

void TPollEvent::Reset() {
    FSignalled.store(false);
}

bool TPollEvent::WaitFor(std::chrono::milliseconds timeout) {
    return WaitFor(timeout, std::stop_token());
}

bool TPollEvent::WaitFor(std::chrono::milliseconds timeout, std::stop_token stopToken) {
    return WaitUntil(std::chrono::steady_clock::now() + timeout, std::move(stopToken));
}

bool TPollEvent::WaitUntil(std::chrono::steady_clock::time_point until, std::stop_token stopToken) {
    // The wait measures on the steady clock, so a change of the wall clock can
    // neither stretch nor cut it.
    std::stop_callback wakeOnStop(stopToken, [this] { Wake.Bump(); });
    for (;;) {
        const std::uint32_t seen = Wake.Load();
        if (FSignalled.exchange(false))
            return true;
        if (stopToken.stop_requested() || std::chrono::steady_clock::now() >= until)
            return false;
        Wake.WaitWhile(seen, until);
    }
}

bool TPollEvent::IsSignalled() const {
    return FSignalled.load();
}
