#pragma once

#include <functional>
#include <memory>
#include <string>

/// Tells when the system's serial ports may have changed: an adapter plugged
/// in or pulled out. Linux watches the device folder (/dev) for entries that
/// come and go; Windows watches the registry keys under which the system lists
/// its serial ports. What changed is not said: the owner reads the list again.
class TPortWatch {
public:
    using TChanged = std::function<void()>;

    /// Starts watching `place`, or the system's own place when it is empty: a
    /// folder on POSIX, a registry key under HKEY_LOCAL_MACHINE on Windows (a
    /// leading "HKCU\" names one under HKEY_CURRENT_USER). `changed` runs on
    /// the watch's own thread after each change it sees, so it must be quick
    /// and thread-safe; a burst of changes may call it several times.
    explicit TPortWatch(TChanged changed, std::string place = {});
    ~TPortWatch();
    TPortWatch(const TPortWatch&) = delete;
    TPortWatch& operator=(const TPortWatch&) = delete;

    /// False when the system tells of no changes here (no such means, or it
    /// refused, at the start or later; a later refusal is told as a change):
    /// the owner has to look again now and then.
    bool Watching() const;
    /// The system's reason when it is not watching.
    const std::string& Failure() const;

private:
    struct TImpl;
    std::unique_ptr<TImpl> Impl;
};
