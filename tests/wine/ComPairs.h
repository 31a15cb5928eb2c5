#pragma once

// COM-port pairs for tests under wine: a relay on the Linux side
// (cmake/wine/com_pairs.py) joins the two ports of each pair back to back.
// QUELLMARK_COM_PAIRS names the pairs ("COM11:COM12,..."), QUELLMARK_COM_CONTROL
// the folder in which a test asks for a pair to be renewed.

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace ComPairs {

struct TPair {
    std::string Device;
    std::string Peer;
};

inline std::vector<TPair> Pairs() {
    const char* list = std::getenv("QUELLMARK_COM_PAIRS");
    if (list == nullptr)
        throw std::runtime_error("QUELLMARK_COM_PAIRS is not set: run the test through ctest");
    std::vector<TPair> pairs;
    std::string text(list);
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find(',', at);
        if (end == std::string::npos)
            end = text.size();
        const std::string item = text.substr(at, end - at);
        const std::size_t colon = item.find(':');
        if (colon != std::string::npos)
            pairs.push_back({item.substr(0, colon), item.substr(colon + 1)});
        at = end + 1;
    }
    if (pairs.empty())
        throw std::runtime_error("QUELLMARK_COM_PAIRS names no pair");
    return pairs;
}

/// Asks the relay for a fresh pair under the names of `pair` and waits until it is there.
inline void Renew(const TPair& pair) {
    const char* control = std::getenv("QUELLMARK_COM_CONTROL");
    if (control == nullptr)
        throw std::runtime_error("QUELLMARK_COM_CONTROL is not set");
    const std::string request = std::string(control) + "\\renew-" + pair.Device.substr(3);
    HANDLE file = ::CreateFileA(request.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot ask the COM pair relay: " + request);
    ::CloseHandle(file);
    for (int i = 0; i < 500; ++i) {
        if (::GetFileAttributesA(request.c_str()) == INVALID_FILE_ATTRIBUTES)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    throw std::runtime_error("the COM pair relay does not answer (is it running?)");
}

/// Opens the second port of a pair, where the test plays the device: 115200
/// 8N1 without flow control, reads that wait for their bytes, both queues empty.
/// `overlapped`: for a device that reads on a thread of its own and must be
/// able to give up a read (see Cancel).
inline HANDLE OpenPeer(const std::string& name, bool overlapped = false) {
    const std::string path = "\\\\.\\" + name;
    HANDLE peer =
        ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                      FILE_ATTRIBUTE_NORMAL | (overlapped ? FILE_FLAG_OVERLAPPED : 0), nullptr);
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
    COMMTIMEOUTS timeouts{};
    ::SetCommTimeouts(peer, &timeouts);
    ::PurgeComm(peer, PURGE_RXCLEAR | PURGE_TXCLEAR);
    return peer;
}

/// Ends the overlapped operation of `record` on `port` and waits until it has
/// ended, so that its buffer may go. A cancel is repeated, with an abort purge,
/// rather than waited on without limit.
inline void Cancel(HANDLE port, OVERLAPPED& record, bool reading) {
    DWORD ignored = 0;
    for (int i = 0; i < 50; ++i) {
        ::CancelIoEx(port, &record);
        if (::WaitForSingleObject(record.hEvent, 100) != WAIT_TIMEOUT)
            break;
        ::PurgeComm(port, reading ? PURGE_RXABORT : PURGE_TXABORT);
    }
    (void)::GetOverlappedResult(port, &record, &ignored, TRUE);
}

/// The next pair, renewed (empty, fresh ports); pairs are handed out in turn.
inline TPair TakeFresh() {
    static std::atomic<std::size_t> next{0};
    const std::vector<TPair> pairs = Pairs();
    const TPair pair = pairs[next++ % pairs.size()];
    Renew(pair);
    return pair;
}

} // namespace ComPairs
