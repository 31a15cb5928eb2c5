#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

/// A pseudo-terminal pair in which the test plays the serial device: the
/// component opens Path() (the terminal end), the test reads and writes the
/// controlling end.
class TPtyDevice {
public:
    TPtyDevice();
    ~TPtyDevice();
    TPtyDevice(const TPtyDevice&) = delete;
    TPtyDevice& operator=(const TPtyDevice&) = delete;

    const std::string& Path() const { return SlavePath; }
    int Master() const { return MasterFd; }

    /// Writes all of `bytes` (bounded wait).
    void Write(std::string_view bytes);

    /// Reads until `count` bytes have come or `timeout` has passed.
    std::string Read(std::size_t count, std::chrono::milliseconds timeout);

    /// The device vanishes: the controlling end is closed.
    void CloseMaster();

private:
    int MasterFd = -1;
    std::string SlavePath;
};

/// The output speed of a terminal as its driver holds it, also for rates
/// without a speed constant (Linux only; 0 if unknown).
unsigned TerminalOutputRate(int fd);
/// The input speed, likewise.
unsigned TerminalInputRate(int fd);
