#pragma once

#include <atomic>

/// Makes Ctrl-C (and a polite termination request) set the returned flag
/// instead of ending the process, so that a run can end early and still print
/// its results. A second Ctrl-C ends the process as usual.
const std::atomic<bool>& InstallInterruptFlag();

/// True when standard error is a terminal (a status line may be redrawn in place).
bool StderrIsTerminal();

/// Prepares the console for UTF-8 output (the error lines are Chinese).
void PrepareConsoleOutput();
