#pragma once

#include <string>
#include <vector>

/// What the system knows of one serial port without opening it.
struct TPortInfo {
    std::string Name;         ///< the port's name as the list writes it
    std::string Driver;       ///< the kernel driver bound to the port
    std::string VendorId;     ///< USB vendor, four hex digits
    std::string ProductId;    ///< USB product, four hex digits
    std::string Manufacturer; ///< USB manufacturer string
    std::string Product;      ///< USB product string
    std::string SerialNumber; ///< USB serial number string
    std::string ById;         ///< the stable /dev/serial/by-id/ name, if any
};

/// Reads what the system knows of `name`; on a system that keeps nothing
/// readable, only Name is set.
TPortInfo DescribePort(const std::string& name);

/// The known details of a port, one per entry, most telling first: the USB
/// identity, "serial ...", "driver ...", the stable name. Empty when nothing
/// beyond the name is known.
std::vector<std::string> PortDetails(const TPortInfo& info);

/// One line per port: the name, then its details, two blanks between parts.
std::string PortDescriptionLine(const TPortInfo& info);

/// The same line for a port of this system.
std::string PortDescriptionLine(const std::string& name);

/// The port name that a saved device path stands for: a stable name such as
/// /dev/serial/by-id/... or /dev/serial/by-path/... gives the name of the
/// device it links to, /dev/ttyUSB0 gives ttyUSB0. Empty for anything else.
std::string PortNameOfPath(const std::string& path);
