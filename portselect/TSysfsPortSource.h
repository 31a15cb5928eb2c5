#pragma once

#include "ListSerialPorts.h"

#include <functional>
#include <memory>
#include <string>

/// Says whether the UART behind an 8250-style port (ttyS*) is present.
using TUartProbe = std::function<bool(const std::string& name)>;

/// Whether the port type of ttyS<n> is other than PORT_UNKNOWN: read from the
/// port's sysfs "type" attribute, or else asked of /dev/<name> with
/// TIOCGSERIAL. When neither answers, a device that refused with an I/O
/// error counts as absent, any other refusal (such as missing permission) as
/// present.
bool ProbeUartPresent(const std::string& name);

/// The Linux source: every entry of the tty class directory that has a
/// `device` link, that is, a tty backed by hardware. Of the 8250-style ports
/// (ttyS*), which the kernel registers whether or not a UART answers, only
/// those the probe confirms. Names come in directory order; a read error
/// ends the list. An empty probe means ProbeUartPresent.
class TSysfsPortSource final : public TSerialPortSource {
public:
    explicit TSysfsPortSource(std::string sysfsRoot = "/sys/class/tty",
                              TUartProbe probe = ProbeUartPresent);
    std::optional<std::string> Next() override;

private:
    // The open directory stream (a DIR, kept out of this header).
    struct TDirCloser {
        void operator()(void* dir) const;
    };

    std::string FRoot;
    TUartProbe FProbe;
    std::unique_ptr<void, TDirCloser> FDir;
};
