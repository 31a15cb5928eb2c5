#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

/// A serial line opened with plain termios in raw mode, for tests that play the master (or,
/// given the master end of a pseudo-terminal, the device). Every read is bounded.
class TRawLine {
public:
    /// Opens `path` read-write and sets it raw, 8N1. Throws std::system_error on failure.
    explicit TRawLine(const std::string& path);
    /// Takes ownership of an open descriptor and sets it raw when it is a terminal.
    explicit TRawLine(int fd);
    TRawLine(const TRawLine&) = delete;
    TRawLine& operator=(const TRawLine&) = delete;
    ~TRawLine();

    /// Writes all of `bytes`; throws std::system_error on failure.
    void Write(std::span<const std::uint8_t> bytes);

    /// Reads until `count` bytes have arrived or `timeout` has passed.
    std::vector<std::uint8_t> Read(std::size_t count, std::chrono::milliseconds timeout);

    /// Reads until the line has been quiet for `quiet` or `limit` has passed.
    std::vector<std::uint8_t> ReadUntilQuiet(std::chrono::milliseconds quiet,
                                             std::chrono::milliseconds limit);

    int Fd() const { return fd_; }

private:
    int fd_ = -1;
};
