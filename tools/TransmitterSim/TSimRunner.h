#pragma once

#include "TSimulator.h"

#include <chrono>
#include <iosfwd>
#include <optional>

struct TRunSettings {
    int baud = 0; ///< pace output at 10 bits a byte; 0 sends at once
    std::optional<std::chrono::milliseconds> duration; ///< none: until stopped
    bool freeze = false;                               ///< values as at start, always
    bool verbose = false;                              ///< one line per request on `log`
};

/// Serves `simulator` on the non-blocking descriptor `lineFd` (the master end of a
/// pseudo-terminal) until `stopFd` becomes readable or the duration is over. Requests are
/// answered one after the other, as on a half-duplex line: while a reply waits for its delay,
/// later requests stay queued. A reply cut short by the end is counted as aborted. Returns 0,
/// or 1 after a failure of the line, which it reports on `log`.
int RunSimulator(TSimulator& simulator, int lineFd, int stopFd, const TRunSettings& settings,
                 std::ostream& log);
