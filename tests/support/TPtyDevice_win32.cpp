// The scripted device under wine: the program opens the first port of a COM
// pair, the device reads and answers on the second (see ComPairs.h).
#include "TPtyDevice.h"

#include "ComPairs.h"

TPtyDevice::TPtyDevice() {
    const ComPairs::TPair pair = ComPairs::TakeFresh();
    Peer = ComPairs::OpenPeer(pair.Peer, true);
    StopEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    FPath = pair.Device;
    Thread = std::jthread([this](std::stop_token stopToken) { Run(stopToken); });
}

TPtyDevice::~TPtyDevice() {
    Thread.request_stop();
    ::SetEvent(StopEvent);
    if (Thread.joinable())
        Thread.join();
    ::CloseHandle(Peer);
    ::CloseHandle(StopEvent);
}

void TPtyDevice::WriteAll(const std::vector<std::uint8_t>& bytes) {
    std::scoped_lock lock(WriteMutex);
    std::size_t done = 0;
    while (done < bytes.size()) {
        OVERLAPPED record{};
        record.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        DWORD written = 0;
        const bool ok = (::WriteFile(Peer, bytes.data() + done,
                                     static_cast<DWORD>(bytes.size() - done), nullptr, &record) ||
                         ::GetLastError() == ERROR_IO_PENDING) &&
                        ::GetOverlappedResult(Peer, &record, &written, TRUE);
        ::CloseHandle(record.hEvent);
        if (!ok || written == 0)
            return;
        done += written;
    }
}

bool TPtyDevice::Pause(std::chrono::milliseconds delay) {
    if (delay.count() <= 0)
        return true;
    return ::WaitForSingleObject(StopEvent, static_cast<DWORD>(delay.count())) == WAIT_TIMEOUT;
}

void TPtyDevice::Run(std::stop_token stopToken) {
    std::vector<std::uint8_t> pending;
    HANDLE readEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::uint8_t buffer[512];
    while (!stopToken.stop_requested()) {
        // One byte is waited for; then whatever else is queued is taken with it.
        DWORD errors = 0;
        COMSTAT status{};
        ::ClearCommError(Peer, &errors, &status);
        const DWORD ask = std::clamp<DWORD>(status.cbInQue, 1, sizeof buffer);
        OVERLAPPED record{};
        ::ResetEvent(readEvent);
        record.hEvent = readEvent;
        DWORD got = 0;
        if (!::ReadFile(Peer, buffer, ask, nullptr, &record) &&
            ::GetLastError() != ERROR_IO_PENDING)
            break;
        HANDLE waits[2] = {StopEvent, readEvent};
        const DWORD woke = ::WaitForMultipleObjects(2, waits, FALSE, INFINITE);
        if (woke != WAIT_OBJECT_0 + 1) {
            ComPairs::Cancel(Peer, record, true);
            break;
        }
        const BOOL done = ::GetOverlappedResult(Peer, &record, &got, FALSE);
        if (!done || got == 0) {
            if (!Pause(std::chrono::milliseconds(5)))
                break;
            continue;
        }
        if (!Take(buffer, got, pending))
            break;
    }
    ::CloseHandle(readEvent);
}
