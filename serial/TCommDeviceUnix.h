#pragma once

// Helpers of the POSIX back end whose system interfaces differ between Unix
// flavours; one implementation file per flavour, chosen in CMake. This header
// stays clear of <termios.h>: Linux's termios2 header clashes with it.

#include "TCommDevice.h"
#include "TLineEvents.h"
#include "TRs485.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <poll.h>
#include <string>

namespace CommDeviceUnix {

/// Sets a rate that has no speed constant of its own. False if unsupported.
bool SetNonStandardBaud(int fd, std::uint32_t rate);

/// Asks a USB serial driver not to hold received bytes back for its latency
/// timer. Best effort.
void RequestLowLatency(int fd);

/// The driver's RS-485 settings of the open device `fd`.
std::unique_ptr<TRs485Access> CreateRs485Access(int fd);

/// The driver's line counters; false when the driver keeps none.
bool ReadLineCounters(int fd, TLineCounters& counters);

/// The rates the driver holds, also those without a speed constant. False
/// when this system cannot tell; the caller then reads the speed constants.
bool ReadRates(int fd, std::uint32_t& output, std::uint32_t& input);

/// Whether `fd` is the terminal end of a pseudo-terminal, whose driver keeps
/// no parity (Linux clears PARENB at every change). False when this system
/// cannot tell.
bool IsPseudoTerminal(int fd);

/// Whether some opener holds the terminal exclusively (TIOCEXCL). False when
/// this system cannot tell.
bool HeldExclusively(int fd);

/// The control-mode bits that hold a separate input speed; 0 if none. Cleared,
/// the input runs at the output speed.
unsigned InputSpeedBits();

/// The control-mode flag that turns odd/even parity into mark/space parity; 0 if none.
unsigned MarkSpaceParityFlag();

/// poll() with a time-out of sub-millisecond accuracy; no time-out waits for ever.
int PollFor(pollfd* fds, nfds_t count, std::optional<std::chrono::nanoseconds> timeout);

/// Best effort: raises the calling thread's priority and, for the reader,
/// sharpens its timer wake-ups.
void TuneThread(TCommDevice::TThreadRole role);

/// errno as a device error: its kind, its text and, for a permission
/// failure, the group that owns `path`.
TDeviceError ErrorFromErrno(int code, const std::string& path);

} // namespace CommDeviceUnix
