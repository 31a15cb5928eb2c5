// The scripted device under wine: the program opens the first port of a COM
// pair, the device reads and answers on the second (see ComPairs.h).
#include "TPtyDevice.h"

#include "ComPairs.h"

namespace {

HANDLE OpenOverlapped(const std::string& name) {
    const std::string path = "\\\\.\\" + name;
    HANDLE peer = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (peer == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot open " + name);
    DCB state{};
    state.DCBlength = sizeof state;
    ::GetCommState(peer, &state);
    state.BaudRate = 115200;
    state.fBinary = 1;
    state.fParity = 0;
    state.fOutxCtsFlow = 0;
    state.fOutxDsrFlow = 0;
    state.fOutX = 0;
    state.fInX = 0;
    state.ByteSize = 8;
    state.Parity = NOPARITY;
    state.StopBits = ONESTOPBIT;
    ::SetCommState(peer, &state);
    COMMTIMEOUTS timeouts{}; // reads wait for their bytes
    ::SetCommTimeouts(peer, &timeouts);
    ::PurgeComm(peer, PURGE_RXCLEAR | PURGE_TXCLEAR);
    return peer;
}

} // namespace

TPtyDevice::TPtyDevice() {
    const ComPairs::TPair pair = ComPairs::TakeFresh();
    Peer = OpenOverlapped(pair.Peer);
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
        if (woke != WAIT_OBJECT_0 + 1)
            ::CancelIoEx(Peer, &record);
        const BOOL done = ::GetOverlappedResult(Peer, &record, &got, TRUE);
        if (woke != WAIT_OBJECT_0 + 1)
            break;
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
