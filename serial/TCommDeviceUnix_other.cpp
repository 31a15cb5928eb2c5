// Unix flavours other than Linux: standard rates only, no driver line counters
// or RS-485 mode, poll() rounded up to whole milliseconds.

#include "TCommDeviceUnix.h"

#include <cerrno>

namespace {

class TNoRs485 final : public TRs485Access {
public:
    int Get(TRs485Settings& /*settings*/) override { return ENOTTY; }
    int Set(TRs485Settings& /*settings*/) override { return ENOTTY; }
};

} // namespace

std::unique_ptr<TRs485Access> CommDeviceUnix::CreateRs485Access(int /*fd*/) {
    return std::make_unique<TNoRs485>();
}

bool CommDeviceUnix::SetNonStandardBaud(int /*fd*/, std::uint32_t /*rate*/) {
    return false;
}

void CommDeviceUnix::RequestLowLatency(int /*fd*/) {}

bool CommDeviceUnix::ReadLineCounters(int /*fd*/, TLineCounters& /*counters*/) {
    return false;
}

bool CommDeviceUnix::ReadRates(int /*fd*/, std::uint32_t& /*output*/, std::uint32_t& /*input*/) {
    return false;
}

bool CommDeviceUnix::IsPseudoTerminal(int /*fd*/) {
    return false;
}

bool CommDeviceUnix::HeldExclusively(int /*fd*/) {
    return false;
}

unsigned CommDeviceUnix::InputSpeedBits() {
    return 0;
}

unsigned CommDeviceUnix::MarkSpaceParityFlag() {
    return 0;
}

int CommDeviceUnix::PollFor(pollfd* fds, nfds_t count,
                            std::optional<std::chrono::nanoseconds> timeout) {
    if (!timeout)
        return ::poll(fds, count, -1);
    // Rounded up, so a deadline is never missed by waking too early.
    const auto ns = timeout->count() < 0 ? 0 : timeout->count();
    const auto ms = (ns + 999'999) / 1'000'000;
    return ::poll(fds, count, static_cast<int>(ms > 2'000'000'000 ? 2'000'000'000 : ms));
}

void CommDeviceUnix::TuneThread(TCommDevice::TThreadRole /*role*/) {}
