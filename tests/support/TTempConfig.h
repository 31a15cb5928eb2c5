#pragma once

#include <string>

/// A Config.ini in a fresh temporary directory of its own, removed with it;
/// tests running in parallel never share one.
class TTempConfig {
public:
    /// `contents` is written to the file first, unless empty (no file then).
    explicit TTempConfig(const std::string& contents = {});
    ~TTempConfig();
    TTempConfig(const TTempConfig&) = delete;
    TTempConfig& operator=(const TTempConfig&) = delete;

    const std::string& Directory() const { return FDirectory; }
    const std::string& Path() const { return FPath; }
    /// The file as it is now ("" when missing).
    std::string Contents() const;
    /// Runs LoadParams on the file; all ten parameters exist afterwards.
    void Load() const;
    /// Puts a FIFO where the file would be; false where the system has none (a
    /// failure to make one throws).
    bool MakeFifo() const;

private:
    std::string FDirectory;
    std::string FPath;
};

/// The settings of a run polling slave 1 alone on `port`: Register Count 2 from
/// register 0, fixed length, Poll Interval 1 ms.
void UseOneSlaveSettings(const std::string& port, int baudRate, int pollTimeout);
