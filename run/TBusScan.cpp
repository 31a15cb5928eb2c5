#include "TBusScan.h"

#include "ModbusRtu.h"
#include "TComm.h"
#include "TCommDevice.h"
#include "TLinkKeeper.h"
#include "TNoticeQueue.h"
#include "TPollingRun.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <span>
#include <system_error>

namespace {

using TClock = std::chrono::steady_clock;
using namespace std::chrono_literals;

/// A probe's request and the replies it can have: a one-register read reply or an
/// exception reply.
constexpr int RequestCharacters = 8;
constexpr int ReplyCharacters = 7;
constexpr std::size_t ExceptionCharacters = 5;
/// Room for any block a device may send before the line is quiet again.
constexpr std::size_t ReplyBuffer = 260;
/// The quiet that ends bytes nobody asked for, at the least: longer than the gap between two
/// bytes at the slowest rate, and than a USB adapter's wait before it hands bytes on.
constexpr auto LeastQuiet = 20ms;
/// A line that is never quiet for that long is given up on after this.
constexpr auto LongestDrain = 1s;
/// How often progress is told.
constexpr auto ProgressPeriod = 100ms;

/// The length of the reply whose first bytes are `bytes`: an exception reply's, else a
/// one-register read reply's. No longer reply can answer a probe.
std::size_t ExpectedLength(std::span<const std::uint8_t> bytes) {
    return bytes.size() >= 2 && (bytes[1] & 0x80) != 0 ? ExceptionCharacters : ReplyCharacters;
}

/// Whether the bytes so far are as long as a reply to a probe can be: the block ends there,
/// and the checks decide what it is.
bool IsWholeProbeReply(const char* data, std::size_t count) {
    return count >= 2 &&
           count >= ExpectedLength({reinterpret_cast<const std::uint8_t*>(data), count});
}

/// Whether `bytes` can still grow into a reply of `slave` to a read with `function`.
bool CouldBeReply(std::span<const std::uint8_t> bytes, std::int32_t slave, std::int32_t function) {
    if (bytes.empty() || bytes[0] != slave)
        return false;
    if (bytes.size() >= 2 && bytes[1] != function && bytes[1] != (function | 0x80))
        return false;
    return bytes.size() < 3 || (bytes[1] & 0x80) != 0 || bytes[2] == 2;
}

std::chrono::milliseconds CeilMs(std::chrono::nanoseconds time) {
    return std::chrono::ceil<std::chrono::milliseconds>(time);
}

} // namespace

TScanPlan ScanPlanFor(const TRunSettings& settings) {
    TScanPlan plan;
    plan.CommName = settings.CommName;
    plan.StopBits = settings.StopBits;
    plan.FunctionCode = settings.FunctionCode;
    plan.RegisterBegin = settings.RegisterBegin;
    plan.Rs485 = settings.Rs485;
    return plan;
}

std::size_t TScanPlan::Probes() const {
    const std::int64_t addresses = std::max<std::int64_t>(0, std::int64_t{To} - From + 1);
    return static_cast<std::size_t>(addresses) * BaudRates.size() * Parities.size();
}

const std::vector<std::int32_t>& ScanBaudRates() {
    static const std::vector<std::int32_t> rates{1200,  2400,  4800,  9600,  14400,
                                                 19200, 28800, 38400, 57600, 115200};
    return rates;
}

const std::vector<std::int32_t>& CommonScanBaudRates() {
    static const std::vector<std::int32_t> rates{4800, 9600, 19200, 38400, 57600, 115200};
    return rates;
}

const std::vector<TLineParity>& DefaultScanParities() {
    static const std::vector<TLineParity> parities{TLineParity::None, TLineParity::Even};
    return parities;
}

std::chrono::nanoseconds CharacterTime(std::int32_t rate, TLineParity parity,
                                       std::int32_t stopBits) {
    const std::int64_t bits =
        1 + 8 + (parity == TLineParity::None ? 0 : 1) + (stopBits == 2 ? 2 : 1);
    return std::chrono::nanoseconds(bits * 1'000'000'000 / std::max<std::int32_t>(rate, 1));
}

std::chrono::milliseconds ProbeTimeout(std::int32_t rate, TLineParity parity, std::int32_t stopBits,
                                       std::chrono::milliseconds turnaround) {
    return CeilMs(CharacterTime(rate, parity, stopBits) * (RequestCharacters + ReplyCharacters) +
                  turnaround);
}

std::string ScanReplyText(const TScanFind& find) {
    char text[32];
    if (find.Exception) {
        std::snprintf(text, sizeof text, "%02X ", static_cast<unsigned>(find.Exception->Code));
        return "异常码 " + std::string(text) + ExceptionCodeMeaning(find.Exception->Code);
    }
    const unsigned value = find.Value.value_or(0);
    std::snprintf(text, sizeof text, "%u (0x%04X)", value, value);
    return text;
}

struct TBusScan::TJob {
    TScanPlan Plan;
    TScanListener* Listener;
    const TRunClock* Clock;
};

/// One scan on its thread: the device, the line settings one after the other, the probes.
class TBusScan::TWorker {
public:
    TWorker(TNoticeQueue& queue, const std::shared_ptr<TJob>& job, std::stop_token stop)
        : Queue(queue), Job(job), Plan(job->Plan), Stop(std::move(stop)) {}

    TScanEnd Run() {
        TScanEnd end;
        const TClock::time_point start = TClock::now();
        TDeviceError error;
        if (TCommDevice::Open(Plan.CommName, Device, error) != TCommDevice::TOpenResult::Opened) {
            Line(TInfoKind::PortOpen,
                 [&](TDateTime now) { return OpenFailureLine(Plan.CommName, error, now); });
            end.Outcome = TScanOutcome::PortFailed;
            return end;
        }
        std::stop_callback wake(Stop, [this] { Device->Stop(); });
        PlanTotal();
        if (Plan.Rs485)
            if (const int refused = Device->SetRs485Direction(true); refused != 0)
                Line(TInfoKind::Other, [&](TDateTime now) {
                    return TimeStampText(now) + "[RS-485方向控制不可用!][" + Plan.CommName + ": " +
                           std::generic_category().message(refused) + "]";
                });

        for (const std::int32_t rate : Plan.BaudRates) {
            for (const TLineParity parity : Plan.Parities) {
                if (!TrySetting(rate, parity))
                    break;
            }
            if (Lost || Stop.stop_requested())
                break;
        }
        end.Outcome = Lost                    ? TScanOutcome::PortFailed
                      : Stop.stop_requested() ? TScanOutcome::Stopped
                                              : TScanOutcome::Completed;
        end.Found = Found;
        end.Probes = Done;
        end.Elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - start);
        TellProgress(true);
        return end;
    }

    /// Posts `notice` for the listener; dropped when the job was cancelled meanwhile.
    template <class F> void Post(F notice) {
        try {
            Queue.Post([job = std::weak_ptr<TJob>(Job), notice = std::move(notice)] {
                if (const std::shared_ptr<TJob> alive = job.lock())
                    notice(*alive->Listener);
            });
        } catch (...) {
            // Nobody to tell: the queue could not take the notice.
        }
    }

private:
    /// What one probe heard.
    struct TProbe {
        bool Answered = false;
        bool HeardBytes = false;
        std::optional<std::uint16_t> Value;
        std::optional<TModbusException> Exception;
        double Ms = 0;
    };

    /// Tells the line `text` makes of the time now, unless it makes none; false then.
    template <class F> bool Line(TInfoKind kind, F text) {
        const TDateTime now = Job->Clock->Now();
        TInfoLine line{kind, std::nullopt, now, text(now)};
        if (line.Text.empty())
            return false;
        Post([line = std::move(line)](TScanListener& listener) { listener.ScanLine(line); });
        return true;
    }

    void PlanTotal() {
        for (const std::int32_t rate : Plan.BaudRates)
            for (const TLineParity parity : Plan.Parities)
                PlannedTotal += Wait(rate, parity) * Addresses();
    }

    std::int64_t Addresses() const {
        return std::max<std::int64_t>(0, std::int64_t{Plan.To} - Plan.From + 1);
    }

    std::chrono::milliseconds Wait(std::int32_t rate, TLineParity parity) const {
        return Plan.Timeout ? *Plan.Timeout
                            : ProbeTimeout(rate, parity, Plan.StopBits, Plan.Turnaround);
    }

    /// Every address at one line setting; false when the scan is to end.
    bool TrySetting(std::int32_t rate, TLineParity parity) {
        if (Stop.stop_requested() || Lost)
            return false;
        Rate = rate;
        Parity = parity;
        // The link's own state for this setting, so that the scan talks as a run would.
        TManualNoticeQueue unused;
        TComm line(unused);
        ApplyLinkDefaults(line);
        line.SetBaudRate(static_cast<std::uint32_t>(rate));
        ApplyLineFraming(line, parity, Plan.StopBits);
        if (Plan.Rs485)
            line.SetRtsControl(TComm::TRtsControl::RtsTransmissionAvailable);
        const TCommState state = line.DeviceState();
        const TStateResult applied = Device->ApplyState(state);
        const std::chrono::milliseconds wait = Wait(rate, parity);
        // A setting the driver did not take would be probed under another name: skipped.
        bool refused = Line(TInfoKind::Rate, [&](TDateTime now) {
            return RateRefusedLine(state.BaudRate, applied, now);
        });
        refused =
            Line(TInfoKind::LineSetting,
                 [&](TDateTime now) { return ParityRefusedLine(state.Parity, applied, now); }) ||
            refused;
        refused = Line(TInfoKind::LineSetting,
                       [&](TDateTime now) {
                           return StopBitsRefusedLine(state.StopBits, applied, now);
                       }) ||
                  refused;
        if (refused) {
            Done += static_cast<std::size_t>(Addresses());
            PlannedDone += wait * Addresses();
            TellProgress(true);
            return true;
        }
        Device->ApplyTimeouts({0, 0, static_cast<std::uint32_t>(wait.count()), 0, 0});
        Device->SetBlockEndRule(&IsWholeProbeReply);
        Quiet = std::max<std::chrono::nanoseconds>(
            CharacterTime(rate, parity, Plan.StopBits) * 7 / 2, LeastQuiet);
        // What came in at the setting before is garbage at this one.
        Device->PurgeInput();
        TellProgress(true);
        for (std::int32_t slave = Plan.From; slave <= Plan.To; ++slave) {
            const TProbe first = Probe(slave);
            if (first.Answered) {
                const TProbe confirm = Probe(slave);
                if (confirm.Answered)
                    Report(slave, confirm);
            }
            if (Lost || Stop.stop_requested())
                return false;
            ++Done;
            PlannedDone += wait;
            TellProgress(false);
        }
        return true;
    }

    TProbe Probe(std::int32_t slave) {
        TProbe probe;
        const TFrame8 request = BuildReadRequest(slave, Plan.RegisterBegin, 1, Plan.FunctionCode);
        Device->PurgeInput();
        const TClock::time_point sent = TClock::now();
        const TCommDevice::TIo written = Device->Write(
            std::span<const char>(reinterpret_cast<const char*>(request.data()), request.size()));
        if (!Ended(written))
            return probe;
        std::array<char, ReplyBuffer> buffer{};
        std::size_t received = 0;
        if (!Ended(Device->ReadBlock(buffer, received, {})))
            return probe;
        const auto bytes = [&] {
            return std::span<const std::uint8_t>(
                reinterpret_cast<const std::uint8_t*>(buffer.data()), received);
        };
        // The wait ran out while a reply was coming: a slave that began within it is heard
        // to the end of its frame. Bytes that cannot be its reply are not waited for.
        if (received > 0 && !IsWholeProbeReply(buffer.data(), received) &&
            CouldBeReply(bytes(), slave, Plan.FunctionCode) &&
            !Finish(buffer, received, ExpectedLength(bytes())))
            return probe;
        probe.Ms = std::chrono::duration<double, std::milli>(TClock::now() - sent).count();
        probe.HeardBytes = received > 0;
        const TByteSpan reply = bytes();
        if (const std::optional<TModbusException> refusal =
                MatchExceptionReply(reply, slave, Plan.FunctionCode)) {
            probe.Answered = true;
            probe.Exception = refusal;
        } else if (CheckReadReply(reply, 1, slave, Plan.FunctionCode) == TReplyCheck::Good) {
            probe.Answered = true;
            probe.Value = static_cast<std::uint16_t>((reply[3] << 8) | reply[4]);
        }
        if (probe.HeardBytes)
            Drain();
        return probe;
    }

    /// Reads the rest of a frame begun before the wait ran out: its characters' time and the
    /// quiet between frames; false when the scan is to end.
    bool Finish(std::array<char, ReplyBuffer>& buffer, std::size_t& received,
                std::size_t expected) {
        const auto rest = CharacterTime(Rate, Parity, Plan.StopBits) *
                              static_cast<std::int64_t>(expected - received) +
                          Quiet;
        Device->SetBlockEndRule(nullptr);
        Device->ApplyTimeouts({0, 0, static_cast<std::uint32_t>(CeilMs(rest).count()), 0, 0});
        std::size_t more = 0;
        const bool going = Ended(Device->ReadBlock(
            std::span<char>(buffer.data() + received, expected - received), more, {}));
        received += more;
        Device->SetBlockEndRule(&IsWholeProbeReply);
        Device->ApplyTimeouts({0, 0, static_cast<std::uint32_t>(Wait(Rate, Parity).count()), 0, 0});
        return going;
    }

    /// Waits until the line has been quiet for the gap between frames, so that the next
    /// request starts on a quiet line and no late byte is taken for its reply.
    void Drain() {
        const auto quietMs = static_cast<std::uint32_t>(CeilMs(Quiet).count());
        Device->SetBlockEndRule(nullptr);
        Device->ApplyTimeouts({quietMs, 0, quietMs, 0, 0});
        const TClock::time_point giveUp = TClock::now() + LongestDrain;
        std::array<char, 256> dropped{};
        for (;;) {
            std::size_t count = 0;
            if (!Ended(Device->ReadBlock(dropped, count, {})) || count == 0 ||
                TClock::now() >= giveUp)
                break;
        }
        Device->SetBlockEndRule(&IsWholeProbeReply);
        Device->ApplyTimeouts({0, 0, static_cast<std::uint32_t>(Wait(Rate, Parity).count()), 0, 0});
    }

    /// Whether an I/O call let the scan go on; a device that failed is reported once.
    bool Ended(TCommDevice::TIo io) {
        if (io == TCommDevice::TIo::Failed && !Lost) {
            Lost = true;
            // Only the call that failed has its reason set; the other's is 0.
            const int code =
                Device->ReadFailure() != 0 ? Device->ReadFailure() : Device->WriteFailure();
            const TDeviceError reason = code != 0 ? TCommDevice::ErrorOf(code) : TDeviceError{};
            Line(TInfoKind::PortLost,
                 [&](TDateTime now) { return LinkLostLine(Plan.CommName, reason, now); });
        }
        return io == TCommDevice::TIo::Done;
    }

    void Report(std::int32_t slave, const TProbe& probe) {
        ++Found;
        TScanFind find;
        find.Slave = slave;
        find.BaudRate = Rate;
        find.Parity = Parity;
        find.StopBits = Plan.StopBits;
        find.Value = probe.Value;
        find.Exception = probe.Exception;
        find.ResponseMs = probe.Ms;
        Post([find](TScanListener& listener) { listener.ScanFound(find); });
    }

    void TellProgress(bool now) {
        const TClock::time_point at = TClock::now();
        if (!now && at < NextProgress)
            return;
        NextProgress = at + ProgressPeriod;
        if (Started == TClock::time_point{})
            Started = at;
        TScanProgress progress;
        progress.Done = Done;
        progress.Total = Plan.Probes();
        progress.BaudRate = Rate;
        progress.Parity = Parity;
        // The waits still ahead, at the pace the waits so far were kept.
        const std::chrono::milliseconds ahead = PlannedTotal - PlannedDone;
        const double pace = PlannedDone.count() > 0
                                ? std::chrono::duration<double, std::milli>(at - Started).count() /
                                      static_cast<double>(PlannedDone.count())
                                : 1.0;
        progress.Left = std::chrono::milliseconds(
            static_cast<std::int64_t>(static_cast<double>(ahead.count()) * pace + 0.5));
        Post([progress](TScanListener& listener) { listener.ScanProgress(progress); });
    }

    TNoticeQueue& Queue;
    const std::shared_ptr<TJob>& Job;
    const TScanPlan& Plan;
    std::stop_token Stop;
    std::unique_ptr<TCommDevice> Device;
    std::int32_t Rate = 0;
    TLineParity Parity = TLineParity::None;
    std::chrono::nanoseconds Quiet = LeastQuiet;
    bool Lost = false;
    std::size_t Done = 0;
    std::size_t Found = 0;
    std::chrono::milliseconds PlannedTotal{0};
    std::chrono::milliseconds PlannedDone{0};
    TClock::time_point Started{};
    TClock::time_point NextProgress{};
};

TBusScan::TBusScan(TNoticeQueue& queue) : Queue(queue), Clock(&SystemClock()) {}

TBusScan::~TBusScan() {
    Cancel();
}

bool TBusScan::Start(TScanPlan plan, TScanListener& listener) {
    if (FBusy.exchange(true))
        return false;
    // The thread of the scan before has posted its end.
    if (Worker.joinable())
        Worker.join();
    Job = std::make_shared<TJob>(TJob{std::move(plan), &listener, Clock});
    Worker = std::jthread(
        [this](std::stop_token stop, std::shared_ptr<TJob> job) {
            Execute(std::move(stop), std::move(job));
        },
        Job);
    return true;
}

void TBusScan::Stop() {
    if (Worker.joinable()) {
        Worker.request_stop();
        Worker.join();
    }
}

void TBusScan::Cancel() {
    Stop();
    Job.reset();
}

void TBusScan::Execute(std::stop_token stop, std::shared_ptr<TJob> job) noexcept {
    std::optional<TWorker> worker;
    TScanEnd end;
    end.Outcome = TScanOutcome::PortFailed;
    try {
        worker.emplace(Queue, job, std::move(stop));
        end = worker->Run();
    } catch (...) {
        // Only allocation can fail here; the scan then ends where it was.
    }
    // Free before the end is told, so that the listener may start the next scan.
    FBusy = false;
    if (worker)
        worker->Post([end](TScanListener& listener) { listener.ScanEnded(end); });
}
