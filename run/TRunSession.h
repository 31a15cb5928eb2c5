#pragma once

#include "TBusScan.h"
#include "TCoilCommand.h"
#include "TComm.h"
#include "TLinkKeeper.h"
#include "TPollingRun.h"
#include "TRunSettings.h"

#include <cstdint>
#include <optional>

class TNoticeQueue;

/// What both front ends drive: the serial link `Comm1`, the run, the keeper of
/// the link and the coil command, wired together. Blocks go from the link's
/// reader straight to the run's reply checks; every line, from whichever
/// part, reaches the front end through the run's error list. Construct, use
/// and destroy it on the thread that pumps `queue`.
class TRunSession {
public:
    TRunSession(TNoticeQueue& queue, TRunListener& listener);
    ~TRunSession();
    TRunSession(const TRunSession&) = delete;
    TRunSession& operator=(const TRunSession&) = delete;

    void SetClock(const TRunClock& clock);

    /// Opens the port with `settings`, or keeps it when it is open with the
    /// same port settings; one open with others is closed and opened again.
    /// A failure becomes a line with the system's reason. True when open.
    bool OpenAsSet(const TRunSettings& settings);

    /// Starts a run on the port OpenAsSet opened; the link keeper opens a
    /// vanished port again while it lasts.
    void StartRun(const TRunSettings& settings, std::optional<std::int64_t> cycles = std::nullopt);
    /// Ends the run; the port stays open.
    void StopRun();
    /// Ends a waiting command and closes the port.
    void ClosePort();

    /// A coil command to `slave`: during a run on the run's port, otherwise on
    /// the port opened as `settings` say (the command then waits 100 ms after
    /// opening it). False when the port did not open (its line says why) or a
    /// command is on; `done` runs on the owning loop with the result.
    bool SendCoil(TCoilAction action, std::int32_t slave, const TRunSettings& settings,
                  TCoilCommand::TDone done);

    /// Looks for the devices on the line of `plan`, with the port let go of
    /// first; the scan opens it itself. False during a run or a scan.
    bool StartScan(TScanPlan plan, TScanListener& listener);

    // Destroyed in reverse: the command and the run before the link they use.
    TComm Comm1;
    TPollingRun Run;
    TLinkKeeper Link;
    TCoilCommand Coil;
    TBusScan Scan;

private:
    std::optional<TRunSettings> OpenedWith;
};
