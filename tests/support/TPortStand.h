#pragma once

#include "TPtyDevice.h"

#include <memory>
#include <string>
#include <vector>

/// A serial port under a fixed name with a scripted device behind it, which the test
/// pulls out and plugs in again like a USB adapter. On POSIX the name is a symbolic
/// link in `folder` that leads to the device, and nowhere while it is pulled out.
/// Under wine the name is a port of a COM pair: pulling the device out renews the pair,
/// so the old port fails and a fresh one with a silent device takes the name at once.
class TPortStand {
public:
    explicit TPortStand(const std::string& folder);
    ~TPortStand();
    TPortStand(const TPortStand&) = delete;
    TPortStand& operator=(const TPortStand&) = delete;

    const std::string& Name() const { return FName; }
    TPtyDevice& Device() { return *FDevice; }

    /// The device goes: a port open on it fails.
    void Unplug();
    /// A device is behind the name again (answering nothing until scripted).
    void PlugIn();

    /// A name that cannot be opened, what the error line calls the reason, and the
    /// system's code for it.
    struct TOpenFailure {
        std::string Name;
        std::string Kind;
        int Code;
    };
    /// Names that fail to open, as this system refuses them; `held` names a port that
    /// another opener holds meanwhile.
    static std::vector<TOpenFailure> OpenFailures(const std::string& held);

private:
    std::string FName;
    std::string FFolder;
    std::unique_ptr<TPtyDevice> FDevice;
};
