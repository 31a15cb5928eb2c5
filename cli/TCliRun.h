#pragma once

#include "TCliOptions.h"

#include <atomic>
#include <iosfwd>

/// Exit codes of quellmark-cli.
inline constexpr int ExitAllGood = 0;
inline constexpr int ExitSomeFailed = 1;
inline constexpr int ExitUsage = 2;
inline constexpr int ExitPort = 3;
inline constexpr int ExitInterrupted = 4;
inline constexpr int ExitReport = 5;

/// One job of the console front end: the settings from Config.ini (read only)
/// and the options, then a polling run and/or a coil command on the same run
/// logic and serial link as the window. Results go to `out` in the chosen
/// format; error-list lines, messages and (when `statusLine`) the status line
/// go to `err`. `interrupted` ends a run early (exit code ExitInterrupted, the
/// results still printed). Returns the exit code.
int RunCliJob(const TCliOptions& options, std::ostream& out, std::ostream& err,
              const std::atomic<bool>& interrupted, bool statusLine);
