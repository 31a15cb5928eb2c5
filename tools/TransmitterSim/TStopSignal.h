#pragma once

/// Turns SIGINT, SIGTERM and SIGHUP into a descriptor that becomes readable, so that every
/// wait of the simulator can watch for them with poll(). Ignores SIGPIPE, so that a reader
/// of stdout that went away cannot kill the process before it has cleaned up. One instance
/// per process; the previous dispositions are restored when it is destroyed.
class TStopSignal {
public:
    /// Throws std::system_error when the pipe or the handlers cannot be set up.
    TStopSignal();
    TStopSignal(const TStopSignal&) = delete;
    TStopSignal& operator=(const TStopSignal&) = delete;
    ~TStopSignal();

    /// Readable once a stop signal has arrived, and from then on.
    int Fd() const;
    bool Raised() const;
};
