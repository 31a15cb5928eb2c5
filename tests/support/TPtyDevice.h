#pragma once

#include "ModbusRtu.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

/// One block the scripted device writes, after a pause.
struct TDeviceReply {
    std::vector<std::uint8_t> Bytes;
    std::chrono::milliseconds Delay{0};
};

/// A Modbus device played by the test on a pseudo-terminal (under wine: on the
/// second port of a COM-port pair): the program under test opens Path() as its serial port; every 8
/// bytes it writes are one request, handed to the script, whose replies are written back in order.
class TPtyDevice {
public:
    using TScript = std::function<std::vector<TDeviceReply>(const TFrame8& request)>;

    TPtyDevice();
    ~TPtyDevice();
    TPtyDevice(const TPtyDevice&) = delete;
    TPtyDevice& operator=(const TPtyDevice&) = delete;

    /// The device path to open (the pseudo-terminal's slave side).
    const std::string& Path() const { return FPath; }

    /// Replaces the script; the default answers nothing.
    void SetScript(TScript script);

    /// Writes bytes to the line now, unasked.
    void Write(const std::vector<std::uint8_t>& bytes);

    /// Every request received so far, and when it was complete.
    std::vector<TFrame8> Requests() const;
    std::vector<std::chrono::steady_clock::time_point> RequestTimes() const;
    std::size_t RequestCount() const;
    /// Waits until at least `count` requests have come; false after `timeout`.
    bool WaitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;
    void ClearRequests();

private:
    void Run(std::stop_token stopToken);
    /// Adds received bytes to `pending` and answers every complete request;
    /// false when the device was stopped meanwhile.
    bool Take(const std::uint8_t* data, std::size_t count, std::vector<std::uint8_t>& pending);
    void WriteAll(const std::vector<std::uint8_t>& bytes);
    /// Sleeps for `delay` unless the device is stopped meanwhile; false when stopped.
    bool Pause(std::chrono::milliseconds delay);

#ifdef _WIN32
    void* Peer = nullptr; // the second port of a COM pair; the program opens the first
    void* StopEvent = nullptr;
#else
    int Master = -1;
    int Slave = -1;
    int WakeRead = -1;
    int WakeWrite = -1;
#endif
    std::string FPath;

    mutable std::mutex Mutex;
    mutable std::condition_variable RequestArrived;
    TScript Script;
    std::vector<TFrame8> FRequests;
    std::vector<std::chrono::steady_clock::time_point> FRequestTimes;
    std::mutex WriteMutex;
    std::jthread Thread;
};

/// A good function-3 reply from `slave` carrying `registerCount` registers; the
/// values fill them two registers each, high register first; registers beyond
/// the values are 0x1234.
std::vector<std::uint8_t> GoodReply(int slave, int registerCount,
                                    const std::vector<std::int32_t>& values);

/// `frame` with its last CRC byte changed.
std::vector<std::uint8_t> WithBadCrc(std::vector<std::uint8_t> frame);

/// A device script that answers every read request at once with GoodReply, the
/// values given by `valuesOf(slave)`.
TPtyDevice::TScript AnswerAll(std::function<std::vector<std::int32_t>(int slave)> valuesOf);
