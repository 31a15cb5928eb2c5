#pragma once

#include "TSimulator.h"

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

/// The simulator's command line.
struct TSimOptions {
    TSimConfig sim;
    double durationSeconds = 0; ///< 0 runs until SIGINT or SIGTERM
    std::string linkPath;       ///< symbolic link to the pseudo-terminal; empty for none
    bool freeze = false;        ///< values stay at their start values
    bool verbose = false;       ///< one line per request on stderr
    bool help = false;
};

struct TSimOptionsResult {
    std::optional<TSimOptions> options; ///< set when the command line is valid
    std::string error;                  ///< why it is not, naming the option
};

/// Parses the arguments after the program name. Values follow their option as the next
/// argument or after '=' ("--seed 7", "--seed=7").
TSimOptionsResult ParseSimOptions(std::span<const std::string> args);

/// Every option the parser knows, each with its leading dashes.
std::vector<std::string> SimOptionNames();

/// The text `--help` prints: what the simulator does, every option, what it prints.
std::string SimHelpText(std::string_view program);
