// Windows: the registry lists the serial ports under HARDWARE\DEVICEMAP\SERIALCOMM,
// a key that is there only while a port is; its parent is watched, subtree and
// all, so that the key's coming and going is seen too.
#include "TPortWatch.h"

#include <windows.h>

#include <atomic>
#include <stop_token>
#include <system_error>
#include <thread>

namespace {

class THandle {
public:
    explicit THandle(HANDLE handle = nullptr) : Handle(handle) {}
    ~THandle() {
        if (Handle != nullptr)
            ::CloseHandle(Handle);
    }
    THandle(const THandle&) = delete;
    THandle& operator=(const THandle&) = delete;
    HANDLE Get() const { return Handle; }

private:
    HANDLE Handle;
};

class TKey {
public:
    TKey() = default;
    ~TKey() {
        if (Key != nullptr)
            ::RegCloseKey(Key);
    }
    TKey(const TKey&) = delete;
    TKey& operator=(const TKey&) = delete;
    HKEY Key = nullptr;
};

} // namespace

struct TPortWatch::TImpl {
    TKey Key;
    THandle Changed{::CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    THandle Wake{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::string Failure;             // set before the thread starts, never after
    std::atomic<bool> GaveUp{false}; // the system failed the watch after it began
    std::jthread Thread;             // last: it ends before the handles close

    LONG Arm() {
        const DWORD filter = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET;
        return ::RegNotifyChangeKeyValue(Key.Key, TRUE, filter, Changed.Get(), TRUE);
    }

    void Run(const std::stop_token& stop, const TChanged& changed) {
        std::stop_callback wake(stop, [this] { ::SetEvent(Wake.Get()); });
        const HANDLE waits[] = {Wake.Get(), Changed.Get()};
        while (!stop.stop_requested()) {
            const DWORD woke = ::WaitForMultipleObjects(2, waits, FALSE, INFINITE);
            if (woke == WAIT_OBJECT_0)
                return;
            // Armed again before telling, so that a change meanwhile is not missed;
            // a watch that cannot go on is told as a change too, so that the
            // owner finds it no longer watched.
            const bool armed = woke == WAIT_OBJECT_0 + 1 && Arm() == ERROR_SUCCESS;
            GaveUp = !armed;
            if (changed)
                changed();
            if (!armed)
                return;
        }
    }
};

TPortWatch::TPortWatch(TChanged changed, std::string place) : Impl(std::make_unique<TImpl>()) {
    HKEY root = HKEY_LOCAL_MACHINE;
    if (place.empty())
        place = "HARDWARE\\DEVICEMAP";
    else if (place.rfind("HKCU\\", 0) == 0) {
        root = HKEY_CURRENT_USER;
        place.erase(0, 5);
    }
    const LONG opened = ::RegOpenKeyExA(root, place.c_str(), 0, KEY_NOTIFY, &Impl->Key.Key);
    if (opened != ERROR_SUCCESS) {
        Impl->Key.Key = nullptr;
        Impl->Failure = place + ": " + std::system_category().message(static_cast<int>(opened));
        return;
    }
    if (Impl->Changed.Get() == nullptr || Impl->Wake.Get() == nullptr) {
        Impl->Failure = std::system_category().message(static_cast<int>(::GetLastError()));
        return;
    }
    if (const LONG armed = Impl->Arm(); armed != ERROR_SUCCESS) {
        Impl->Failure = std::system_category().message(static_cast<int>(armed));
        return;
    }
    Impl->Thread = std::jthread([impl = Impl.get(), changed = std::move(changed)](
                                    std::stop_token stop) { impl->Run(stop, changed); });
}

TPortWatch::~TPortWatch() = default;

bool TPortWatch::Watching() const {
    return Impl->Thread.joinable() && !Impl->GaveUp;
}

const std::string& TPortWatch::Failure() const {
    return Impl->Failure;
}
