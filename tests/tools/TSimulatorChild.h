#pragma once

#include "TChildProcess.h"
#include "TSimSummary.h"

#include <csignal>
#include <optional>
#include <string>
#include <vector>

/// The path of the transmitter simulator this build made.
const std::string& SimulatorProgram();

/// The transmitter simulator as a child process, with the path of the pseudo-terminal it
/// printed first (empty when it printed none).
struct TSimulatorChild {
    explicit TSimulatorChild(const std::vector<std::string>& args);

    /// Ends it with `signal` (SIGINT, as a user would) and parses what it printed on exit;
    /// none when it did not end cleanly.
    std::optional<TSimSummary> Stop(int signal = SIGINT);

    TChildProcess Process;
    std::string Path;
};
