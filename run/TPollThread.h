#pragma once

#include "TRunSettings.h"

#include <cstdint>
#include <optional>
#include <thread>

class TPollingRun;

/// The poll thread of one run. It starts on construction and polls Poll From
/// to Poll To in turn, cyclically, until it is told to terminate or, with
/// `cycles`, until that many passes are done. Everything it reads of the
/// settings is its own copy. A reply wait, an interval or a hold for a coil
/// command ends at once on termination. The destructor terminates and waits.
class TPollThread {
public:
    TPollThread(TPollingRun& run, TRunSettings settings, std::optional<std::int64_t> cycles);
    ~TPollThread();
    TPollThread(const TPollThread&) = delete;
    TPollThread& operator=(const TPollThread&) = delete;

    /// Asks the thread to end; it does so at once, without a result for a
    /// poll whose wait it cuts short.
    void Terminate();
    /// Blocks until the thread has ended.
    void WaitFor();

private:
    void Execute(std::stop_token stopToken) noexcept;

    TPollingRun& Run;
    const TRunSettings Settings;
    const std::optional<std::int64_t> Cycles;
    std::jthread Thread; // last: starts once everything above is set
};
