#include "TConsole.h"

#include <csignal>
#include <unistd.h>

namespace {

std::atomic<bool> Interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

extern "C" void OnInterrupt(int) {
    Interrupted = true;
}

} // namespace

const std::atomic<bool>& InstallInterruptFlag() {
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    // The first signal only sets the flag; the handler is then reset, so a
    // second Ctrl-C ends a program that does not end by itself. A write the
    // signal meets goes on: the lines and the results still reach their stream.
    action.sa_flags = SA_RESETHAND | SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    return Interrupted;
}

bool StderrIsTerminal() {
    return isatty(STDERR_FILENO) == 1;
}

void PrepareConsoleOutput() {}
