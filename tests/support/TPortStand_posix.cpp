#include "TPortStand.h"

#include <cerrno>
#include <cstdio>
#include <stdexcept>
#include <unistd.h>

namespace {

// Replaced in one step, as a device node appears.
void PointAt(const std::string& name, const std::string& path) {
    const std::string fresh = name + ".new";
    if (::symlink(path.c_str(), fresh.c_str()) != 0 ||
        std::rename(fresh.c_str(), name.c_str()) != 0)
        throw std::runtime_error("cannot point " + name + " at " + path);
}

} // namespace

TPortStand::TPortStand(const std::string& folder)
    : FName(folder + "/ttyQM0"), FFolder(folder), FDevice(std::make_unique<TPtyDevice>()) {
    PointAt(FName, FDevice->Path());
}

TPortStand::~TPortStand() {
    ::unlink(FName.c_str());
}

void TPortStand::Unplug() {
    FDevice.reset(); // the controlling end closes: the port hangs up
    PointAt(FName, FFolder + "/gone");
}

void TPortStand::PlugIn() {
    FDevice = std::make_unique<TPtyDevice>();
    PointAt(FName, FDevice->Path());
}

std::vector<TPortStand::TOpenFailure> TPortStand::OpenFailures(const std::string& held) {
    return {{"/dev/quellmark-no-such-port", "设备不存在", ENOENT},
            {"/dev/null", "不是串口设备", ENOTTY},
            {held, "设备被占用", EBUSY}};
}
