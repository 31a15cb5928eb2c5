#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

/// Where the names of the registered serial ports come from; one per
/// operating system. Names come one at a time in a stable order.
class TSerialPortSource {
public:
    virtual ~TSerialPortSource() = default;
    /// The next name; std::nullopt ends the list, both when the names ran out
    /// and when reading failed.
    virtual std::optional<std::string> Next() = 0;
};

/// The operating system's own source: the SERIALCOMM registry key on
/// Windows, the tty class in sysfs on Linux.
std::unique_ptr<TSerialPortSource> CreateSystemPortSource();

/// Case-insensitive, locale-aware text comparison of two port names:
/// negative, zero or positive. Names compare as text, so COM10 < COM2.
int ComparePortNames(const std::string& a, const std::string& b);

/// Whether the system treats port names that differ only in letter case as
/// the same port: yes on Windows (COM3 is com3), no on Linux (ttyUSB0 is not
/// ttyusb0). Selecting a port by its name follows this.
bool PortNamesIgnoreCase();

/// Sorts ascending by ComparePortNames; duplicates and empty names stay.
void SortPortNames(std::vector<std::string>& names);

/// Replaces Target's whole contents with the names `source` yields, sorted.
void ListSerialPorts(std::vector<std::string>& Target, TSerialPortSource& source);

/// Replaces Target's whole contents with the registered serial ports, sorted.
/// No port, or no readable list, gives an empty Target.
void ListSerialPorts(std::vector<std::string>& Target);
