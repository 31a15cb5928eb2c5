#include "TPortInfo.h"

// The registry list gives names only; a COM port name is already stable.
TPortInfo DescribePort(const std::string& name) {
    TPortInfo info;
    info.Name = name;
    return info;
}

std::string PortNameOfPath(const std::string& /*path*/) {
    return {};
}
