#include "TPollEvent.h"

void TPollEvent::Set(std::uint32_t ticket) {
    FSignal.store(std::uint64_t{ticket} + 1);
    Wake.Bump();
}

void TPollEvent::Reset() {
    FSignal.store(0);
}

bool TPollEvent::WaitFor(std::chrono::milliseconds timeout) {
    return WaitFor(timeout, std::stop_token());
}

bool TPollEvent::WaitFor(std::chrono::milliseconds timeout, std::stop_token stopToken) {
    return WaitUntil(std::chrono::steady_clock::now() + timeout, std::move(stopToken));
}

bool TPollEvent::WaitUntil(std::chrono::steady_clock::time_point until, std::stop_token stopToken,
                           std::uint32_t ticket) {
    // The wait measures on the steady clock, so a change of the wall clock can
    // neither stretch nor cut it.
    std::stop_callback wakeOnStop(stopToken, [this] { Wake.Bump(); });
    for (;;) {
        const std::uint32_t seen = Wake.Load();
        // Another ticket's signal is left alone: it ends no wait of this one.
        std::uint64_t mine = std::uint64_t{ticket} + 1;
        if (FSignal.compare_exchange_strong(mine, 0))
            return true;
        if (stopToken.stop_requested() || std::chrono::steady_clock::now() >= until)
            return false;
        Wake.WaitWhile(seen, until);
    }
}

bool TPollEvent::IsSignalled() const {
    return FSignal.load() != 0;
}
