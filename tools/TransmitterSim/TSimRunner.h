#pragma once

#include "TSimulator.h"

#include <chrono>
#include <iosfwd>
#include <optional>

struct TRunSettings {
    std::optional<std::chrono::milliseconds> duration; ///< none: until stopped
    bool freeze = false;                               ///< values as at start, always
    bool verbose = false;                              ///< one line per request on `log`
};

/// Serves `simulator` on the non-blocking descriptor `lineFd` (the master end of a
/// pseudo-terminal) until `stopFd` becomes readable or the duration is over. Requests are
/// answered one after the other, as on a half-duplex line: while a reply waits for its delay,
/// later requests stay queued. A reply goes out at its plan's rate. The line settings the
/// master has made on a terminal are read as its bytes come, so that a slave locked to other
/// ones answers garbage. A reply cut short by the end is counted as aborted. Returns 0,
/// or 1 after a failure of the line, which it reports on `log`.
int RunSimulator(TSimulator& simulator, int lineFd, int stopFd, const TRunSettings& settings,
                 std::ostream& log);
