// Windows: the registry lists the serial ports under HARDWARE\DEVICEMAP\SERIALCOMM,
// a key that is there only while a port is; its parent is watched, subtree and
// all, so that the key's coming and going is seen too.
#include "TPortWatch.h"

#include <windows.h>

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
    std::string Failure;
    std::jthread Thread; // last: it ends before the handles close

    bool Arm() {
        const DWORD filter = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET;
        const LONG result = ::RegNotifyChangeKeyValue(Key.Key, TRUE, filter, Changed.Get(), TRUE);
        if (result != ERROR_SUCCESS)
            Failure = std::system_category().message(static_cast<int>(result));
        return result == ERROR_SUCCESS;
    }

    void Run(const std::stop_token& stop, const TChanged& changed) {
        std::stop_callback wake(stop, [this] { ::SetEvent(Wake.Get()); });
        const HANDLE waits[] = {Wake.Get(), Changed.Get()};
        while (!stop.stop_requested()) {
            if (::WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1)
                return;
            // Armed again before telling, so that a change meanwhile is not missed.
            const bool armed = Arm();
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
    if (!Impl->Arm())
        return;
    Impl->Thread = std::jthread([impl = Impl.get(), changed = std::move(changed)](
                                    std::stop_token stop) { impl->Run(stop, changed); });
}

TPortWatch::~TPortWatch() = default;

bool TPortWatch::Watching() const {
    return Impl->Thread.joinable();
}

const std::string& TPortWatch::Failure() const {
    return Impl->Failure;
}
