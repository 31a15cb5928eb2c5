#pragma once

/// The output rate the terminal `fd` is set to, also one without a speed constant; 0 when it
/// cannot tell.
int TerminalRate(int fd);
