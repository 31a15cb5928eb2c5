#include "TConsole.h"

#include <windows.h>

namespace {

std::atomic<bool> Interrupted{false};

BOOL WINAPI OnConsoleControl(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    // A second Ctrl-C goes on to the default handler, which ends the process.
    if (Interrupted.exchange(true))
        return FALSE;
    return TRUE;
}

} // namespace

const std::atomic<bool>& InstallInterruptFlag() {
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    return Interrupted;
}

bool StderrIsTerminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

void PrepareConsoleOutput() {
    SetConsoleOutputCP(CP_UTF8);
}
