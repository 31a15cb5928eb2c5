// The test's device under wine: a pair of COM ports that a relay on the Linux
// side joins back to back (QUELLMARK_COM_PAIRS names the pairs, as
// "COM11:COM12,..."). Every device renews its pair first, so no byte of an
// earlier test is left on the line; closing the controlling end renews it again,
// which makes the old ports vanish like an unplugged adapter.

#include "TPtyDevice.h"

#include "ComPairs.h"

using namespace ComPairs;

TPtyDevice::TPtyDevice() {
    const TPair pair = TakeFresh();
    Peer = OpenPeer(pair.Peer);
    PeerName = pair.Device;
    SlavePath = pair.Device;
}

TPtyDevice::~TPtyDevice() {
    if (Peer != nullptr)
        ::CloseHandle(Peer);
}

void TPtyDevice::Write(std::string_view bytes) {
    COMMTIMEOUTS timeouts{};
    timeouts.WriteTotalTimeoutConstant = 5000;
    ::SetCommTimeouts(Peer, &timeouts);
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD written = 0;
        if (!::WriteFile(Peer, bytes.data() + done, static_cast<DWORD>(bytes.size() - done),
                         &written, nullptr) ||
            written == 0)
            throw std::runtime_error("device write failed");
        done += written;
    }
}

std::string TPtyDevice::Read(std::size_t count, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string bytes;
    std::vector<char> buffer(4096);
    while (bytes.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        COMMTIMEOUTS timeouts{};
        timeouts.ReadTotalTimeoutConstant = static_cast<DWORD>(left.count());
        ::SetCommTimeouts(Peer, &timeouts);
        DWORD got = 0;
        const DWORD ask = static_cast<DWORD>(std::min(buffer.size(), count - bytes.size()));
        // A read that times out empty fails under wine (error 1460) and succeeds
        // with no byte on Windows: both just end the wait.
        if (::ReadFile(Peer, buffer.data(), ask, &got, nullptr) && got > 0)
            bytes.append(buffer.data(), got);
        else if (::GetLastError() != ERROR_TIMEOUT && got == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return bytes;
}

void TPtyDevice::CloseMaster() {
    if (Peer == nullptr)
        return;
    ::CloseHandle(Peer);
    Peer = nullptr;
    for (const TPair& pair : Pairs())
        if (pair.Device == PeerName)
            Renew(pair);
}

double ProcessCpuSeconds() {
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user))
        return 0;
    const auto seconds = [](const FILETIME& time) {
        return static_cast<double>((static_cast<unsigned long long>(time.dwHighDateTime) << 32) |
                                   time.dwLowDateTime) /
               1e7;
    };
    return seconds(kernel) + seconds(user);
}
