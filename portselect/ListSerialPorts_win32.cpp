#include "ListSerialPorts.h"

#include <windows.h>

namespace {

/// The registry key in which the system lists its serial ports: one value per
/// port, whose data is the port's device name. Closed on every path out.
class TRegistryPortSource final : public TSerialPortSource {
public:
    TRegistryPortSource() {
        if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ,
                            &FKey) != ERROR_SUCCESS)
            FKey = nullptr; // no key: an empty list
    }
    ~TRegistryPortSource() override {
        if (FKey != nullptr)
            ::RegCloseKey(FKey);
    }
    TRegistryPortSource(const TRegistryPortSource&) = delete;
    TRegistryPortSource& operator=(const TRegistryPortSource&) = delete;

    std::optional<std::string> Next() override {
        if (FKey == nullptr || FDone)
            return std::nullopt;
        // Both lengths are reset before every call; the value's name and type
        // are read but not used.
        char name[256];
        BYTE data[256];
        DWORD nameLength = sizeof name;
        DWORD dataLength = sizeof data;
        DWORD type = 0;
        if (::RegEnumValueA(FKey, FIndex, name, &nameLength, nullptr, &type, data, &dataLength) !=
            ERROR_SUCCESS) {
            // No more values, or a name or data too long for the buffers:
            // either way the list ends here.
            FDone = true;
            return std::nullopt;
        }
        ++FIndex;
        // The data without its terminating zero byte; a length of 0 or 1 is
        // an empty entry.
        const DWORD length = dataLength > 1 ? dataLength - 1 : 0;
        return std::string(reinterpret_cast<const char*>(data), length);
    }

private:
    HKEY FKey = nullptr;
    DWORD FIndex = 0;
    bool FDone = false;
};

} // namespace

std::unique_ptr<TSerialPortSource> CreateSystemPortSource() {
    return std::make_unique<TRegistryPortSource>();
}

bool PortNamesIgnoreCase() {
    return true;
}

int ComparePortNames(const std::string& a, const std::string& b) {
    const int result =
        ::CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.c_str(), -1, b.c_str(), -1);
    // 0 is a failed comparison; treat the names as equal then.
    return result == 0 ? 0 : result - CSTR_EQUAL;
}
