#pragma once

#include "TPortInfo.h"

#include <string>

/// DescribePort over a given sysfs tty class directory and device directory,
/// so that tests can hand it a tree of their own.
TPortInfo DescribeSysfsPort(const std::string& name, const std::string& ttyClassDir,
                            const std::string& devDir);

/// PortNameOfPath against a given device directory: the path below `devDir`
/// of the device that `path` is or links to; empty for anything else.
std::string SysfsPortNameOfPath(const std::string& path, const std::string& devDir);
