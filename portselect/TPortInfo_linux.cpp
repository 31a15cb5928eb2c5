#include "TSysfsPortInfo.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

/// The first line of a sysfs attribute, without trailing blanks; empty when
/// it cannot be read.
std::string Attribute(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    if (!std::getline(in, line))
        return {};
    while (!line.empty() && (line.back() == ' ' || line.back() == '\r' || line.back() == '\t'))
        line.pop_back();
    return line;
}

fs::path Canonical(const fs::path& path) {
    std::error_code ec;
    fs::path resolved = fs::canonical(path, ec);
    return ec ? fs::path() : resolved;
}

/// The USB device a port hangs from: the nearest ancestor of its sysfs device
/// that carries a vendor id. A USB serial port sits one level (ACM) or two
/// levels (usb-serial) below it; a few more are allowed for hubs of drivers.
fs::path UsbDeviceOf(const fs::path& device) {
    constexpr int MaxLevels = 4;
    fs::path dir = device;
    for (int level = 0; level <= MaxLevels && !dir.empty(); ++level) {
        std::error_code ec;
        if (fs::exists(dir / "idVendor", ec))
            return dir;
        if (dir == dir.parent_path())
            break;
        dir = dir.parent_path();
    }
    return {};
}

/// The device whose driver says what the port is. Since Linux 6.5 a serial-core
/// port hangs from two devices of the serial core's own bus (drivers "ctrl" and
/// "port"); the hardware's driver sits on the device above them.
fs::path DriverDevice(fs::path device) {
    constexpr int MaxCoreLevels = 2;
    for (int level = 0; level < MaxCoreLevels; ++level) {
        std::error_code ec;
        const fs::path subsystem = fs::read_symlink(device / "subsystem", ec);
        if (ec || subsystem.filename() != "serial-base")
            break;
        device = device.parent_path();
    }
    return device;
}

/// The stable by-id link that resolves to `device`; the first in name order.
std::string ByIdName(const fs::path& devDir, const fs::path& device) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(devDir / "serial" / "by-id", ec), end; !ec && it != end;
         it.increment(ec)) {
        if (Canonical(it->path()) == device)
            names.push_back(it->path().string());
    }
    std::sort(names.begin(), names.end());
    return names.empty() ? std::string() : names.front();
}

} // namespace

TPortInfo DescribeSysfsPort(const std::string& name, const std::string& ttyClassDir,
                            const std::string& devDir) {
    TPortInfo info;
    info.Name = name;
    if (name.empty() || name.find('/') != std::string::npos)
        return info;
    // Every step reads sysfs or follows links: the port itself is never opened,
    // so its modem lines stay as they are.
    const fs::path device = Canonical(fs::path(ttyClassDir) / name / "device");
    if (!device.empty()) {
        std::error_code ec;
        const fs::path driver = fs::read_symlink(DriverDevice(device) / "driver", ec);
        if (!ec)
            info.Driver = driver.filename().string();
        if (const fs::path usb = UsbDeviceOf(device); !usb.empty()) {
            info.VendorId = Attribute(usb / "idVendor");
            info.ProductId = Attribute(usb / "idProduct");
            info.Manufacturer = Attribute(usb / "manufacturer");
            info.Product = Attribute(usb / "product");
            info.SerialNumber = Attribute(usb / "serial");
        }
    }
    if (const fs::path node = Canonical(fs::path(devDir) / name); !node.empty())
        info.ById = ByIdName(devDir, node);
    return info;
}

std::string SysfsPortNameOfPath(const std::string& path, const std::string& devDir) {
    if (path.empty() || path.front() != '/')
        return {};
    const fs::path target = Canonical(path);
    const fs::path dev = Canonical(devDir);
    if (target.empty() || dev.empty())
        return {};
    // A port's name is its path below the device folder, the inverse of the
    // path a name opens: ttyUSB0, or pts/3 for a pseudo-terminal.
    const fs::path relative = target.lexically_relative(dev);
    if (relative.empty() || relative == "." || *relative.begin() == "..")
        return {};
    return relative.generic_string();
}

TPortInfo DescribePort(const std::string& name) {
    return DescribeSysfsPort(name, "/sys/class/tty", "/dev");
}

std::string PortNameOfPath(const std::string& path) {
    return SysfsPortNameOfPath(path, "/dev");
}
