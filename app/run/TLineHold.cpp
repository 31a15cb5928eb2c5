#include "TLineHold.h"

void TLineHold::Request() {
    std::scoped_lock lock(Mutex);
    FWanted = true;
}

void TLineHold::Release() {
    {
        std::scoped_lock lock(Mutex);
        FWanted = false;
        FHeld = false;
    }
    Released.notify_all();
}

bool TLineHold::Held() const {
    std::scoped_lock lock(Mutex);
    return FHeld;
}

bool TLineHold::Wanted() const {
    std::scoped_lock lock(Mutex);
    return FWanted;
}

void TLineHold::Hold(std::stop_token stopToken) {
    std::unique_lock lock(Mutex);
    if (!FWanted)
        return;
    FHeld = true;
    Released.wait(lock, stopToken, [this] { return !FWanted; });
    FHeld = false;
}
