#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

/// The kernel's RS-485 settings of one port, as far as direction control
/// needs them. Flag bits are numbered as the kernel numbers them.
struct TRs485Settings {
    static constexpr std::uint32_t Enabled = 1U << 0;
    static constexpr std::uint32_t RtsOnSend = 1U << 1;
    static constexpr std::uint32_t RtsAfterSend = 1U << 2;
    static constexpr std::uint32_t RxDuringTx = 1U << 4;

    std::uint32_t Flags = 0;
    std::uint32_t DelayRtsBeforeSendMs = 0;
    std::uint32_t DelayRtsAfterSendMs = 0;
};

/// Reads and writes one port's RS-485 settings. Each call gives 0 or the
/// system's error number (ENOTTY: the driver has no RS-485 mode).
class TRs485Access {
public:
    virtual ~TRs485Access() = default;
    virtual int Get(TRs485Settings& settings) = 0;
    /// Writes `settings`; on success they come back as the driver took them
    /// (it may change the delays to what it can do).
    virtual int Set(TRs485Settings& settings) = 0;
};

/// Makes the access for a just opened device instead of the system's own;
/// tests use it to stand in for a driver with RS-485 mode.
using TRs485AccessFactory = std::function<std::unique_ptr<TRs485Access>(const std::string& path)>;

/// Every device opened from now on takes its access from `factory`; an empty
/// function restores the system's. Set it on the window thread, before opening.
void SetRs485AccessFactory(TRs485AccessFactory factory);
const TRs485AccessFactory& Rs485AccessFactory();

/// Direction control by the driver: RTS raised while a frame is sent and
/// dropped after its last bit, with the shortest delays the driver allows,
/// and no reception of the line's own echo meanwhile. Keeps what the port had
/// before, to give it back.
class TRs485Direction {
public:
    /// Saves the port's settings (first time only) and switches direction
    /// control on. 0 or the error number; on error nothing is changed.
    int Enable(TRs485Access& access);
    /// Gives the port back the settings found by the first Enable; nothing if
    /// direction control is not on.
    void Restore(TRs485Access& access);

    bool Active() const { return FActive; }
    /// The settings the driver took; meaningful while Active.
    const TRs485Settings& Applied() const { return FApplied; }

private:
    std::optional<TRs485Settings> FSaved;
    TRs485Settings FApplied;
    bool FActive = false;
};
