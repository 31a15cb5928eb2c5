#pragma once

#include "ModbusException.h"
#include "TInfoLine.h"
#include "TLineParity.h"
#include "TRunClock.h"
#include "TRunSettings.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

class TNoticeQueue;

/// The slave's turnaround a probe's wait allows for unless told otherwise.
inline constexpr std::chrono::milliseconds DefaultScanTurnaround{30};
/// Addresses a scan covers unless told otherwise: every unicast address.
inline constexpr std::int32_t DefaultScanFrom = 1;
inline constexpr std::int32_t DefaultScanTo = 247;

/// What a scan tries: every address of the range at every rate, each rate
/// with every parity, in the order given.
struct TScanPlan {
    std::string CommName;
    std::int32_t From = DefaultScanFrom;
    std::int32_t To = DefaultScanTo;
    std::vector<std::int32_t> BaudRates;
    std::vector<TLineParity> Parities;
    std::int32_t StopBits = 1;
    /// The one-register read each probe asks for: function 3 or 4 at Register Begin.
    std::int32_t FunctionCode = 3;
    std::int32_t RegisterBegin = 0;
    /// A fixed wait for each probe's reply; none sizes it from the line (ProbeTimeout).
    std::optional<std::chrono::milliseconds> Timeout;
    /// What the sized wait allows the slave between request and reply.
    std::chrono::milliseconds Turnaround = DefaultScanTurnaround;
    /// RTS switched by the driver for each transmission (RS-485).
    bool Rs485 = false;

    /// Probes without the confirming ones: addresses times line settings.
    std::size_t Probes() const;
};

/// A scan of the line `settings` are for: their port, stop bits, read (function
/// and Register Begin) and RS-485 direction; the caller adds the addresses,
/// rates and parities to try.
TScanPlan ScanPlanFor(const TRunSettings& settings);

/// The rates a scan can try, as the window's baud-rate box lists them.
const std::vector<std::int32_t>& ScanBaudRates();
/// The rates tried unless told otherwise: those transmitters are usually set to.
const std::vector<std::int32_t>& CommonScanBaudRates();
/// The parities tried unless told otherwise: none and even.
const std::vector<TLineParity>& DefaultScanParities();

/// How long one character takes on the line: a start bit, 8 data bits, the
/// parity bit if any and the stop bits.
std::chrono::nanoseconds CharacterTime(std::int32_t rate, TLineParity parity,
                                       std::int32_t stopBits);

/// The wait for a probe's reply, sized from the line: the request's 8 and the
/// reply's 7 characters, and `turnaround` for the slave in between. A slave
/// that answers within `turnaround` is never missed. Whole milliseconds, as
/// the link's time-outs count.
std::chrono::milliseconds ProbeTimeout(std::int32_t rate, TLineParity parity, std::int32_t stopBits,
                                       std::chrono::milliseconds turnaround);

/// A device the scan found: an address that answered a probe and the probe
/// that confirmed it with a well-formed reply (a normal one or an exception).
struct TScanFind {
    std::int32_t Slave = 0;
    std::int32_t BaudRate = 0;
    TLineParity Parity = TLineParity::None;
    std::int32_t StopBits = 1;
    /// The register's value, or the exception the slave refused the read with.
    std::optional<std::uint16_t> Value;
    std::optional<TModbusException> Exception;
    /// From handing the confirming request to the driver to its whole reply.
    double ResponseMs = 0;
};

/// The reply as the result lists show it: "1234 (0x04D2)", or the exception
/// "异常码 02 非法数据地址".
std::string ScanReplyText(const TScanFind& find);

struct TScanProgress {
    /// Probes done and in all (confirming probes not counted).
    std::size_t Done = 0;
    std::size_t Total = 0;
    /// How long the rest will take, from the waits still ahead and the pace so far.
    std::chrono::milliseconds Left{0};
    /// The setting being tried.
    std::int32_t BaudRate = 0;
    TLineParity Parity = TLineParity::None;
};

enum class TScanOutcome : std::uint8_t {
    Completed,  ///< every probe was made
    Stopped,    ///< stopped before the end
    PortFailed, ///< the port did not open, or was lost
};

struct TScanEnd {
    TScanOutcome Outcome = TScanOutcome::Completed;
    std::size_t Found = 0;
    std::size_t Probes = 0;
    std::chrono::milliseconds Elapsed{0};
};

/// What a front end hears of a scan, on the owning loop's thread.
class TScanListener {
public:
    virtual ~TScanListener() = default;
    virtual void ScanFound(const TScanFind& /*find*/) {}
    virtual void ScanProgress(const TScanProgress& /*progress*/) {}
    /// A line for the error list: the port did not open or was lost, or the
    /// driver did not take a line setting (which is then skipped).
    virtual void ScanLine(const TInfoLine& /*line*/) {}
    /// The last notice of a scan.
    virtual void ScanEnded(const TScanEnd& /*end*/) {}
};

/// Looks for the devices on a line: every address of a range, at each of a
/// list of line settings, with a one-register read. An address counts as a
/// device when a well-formed reply with a good CRC comes from it, a normal one
/// or an exception, and a second probe confirms it. The scan opens the port
/// itself and owns it on a thread of its own until it ends; the front end
/// hears of it through the owning loop's notice queue. Start, Stop, Cancel and
/// the destructor run on that loop's thread.
class TBusScan {
public:
    explicit TBusScan(TNoticeQueue& queue);
    ~TBusScan();
    TBusScan(const TBusScan&) = delete;
    TBusScan& operator=(const TBusScan&) = delete;

    void SetClock(const TRunClock& clock) { Clock = &clock; }

    /// Starts a scan that tells `listener`, which must outlive its notices:
    /// until Cancel, the next Start or the destructor (each drops what is still
    /// queued of the scan before). False while one is on. The port must not be
    /// held by anyone else.
    bool Start(TScanPlan plan, TScanListener& listener);
    /// From Start until the scan's thread has posted its end.
    bool Busy() const { return FBusy.load(); }
    /// Ends the scan and waits for its thread; what it found so far and its
    /// end (Stopped) still reach the listener.
    void Stop();
    /// Stop, and the listener hears nothing more of this scan: for a listener
    /// that goes away.
    void Cancel();

private:
    struct TJob;
    class TWorker;
    void Execute(std::stop_token stop, std::shared_ptr<TJob> job) noexcept;

    TNoticeQueue& Queue;
    const TRunClock* Clock;
    std::shared_ptr<TJob> Job; // owning thread; the worker holds its own share
    std::atomic<bool> FBusy{false};
    std::jthread Worker;
};
