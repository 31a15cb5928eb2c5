#pragma once

#include "TBusScan.h"
#include "TCliOptions.h"
#include "TRunSettings.h"

#include <atomic>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

/// What the console asks a scan for: the range and the line settings of the options, the
/// port, the read and the stop bits of `settings` (Config.ini and the options).
TScanPlan CliScanPlan(const TCliOptions& options, const TRunSettings& settings);

/// What a scan found and how it ended, for printing.
struct TCliScanResult {
    TScanPlan Plan;
    std::string Version;
    TDateTime Started;
    std::optional<std::string> ConfigPath;
    std::vector<TScanFind> Found;
    std::vector<TInfoLine> Lines;
    std::optional<TScanEnd> End;
    int ExitCode = 0;
};

std::string ScanTableText(const TCliScanResult& result);
std::string ScanCsvText(const TCliScanResult& result);
std::string ScanJsonText(const TCliScanResult& result);

/// Runs the scan of `result.Plan` to its end, Ctrl-C or a lost port: lines go to `err` as
/// they come, and a status line while `statusLine`. Fills `result` and returns the exit
/// code: 0 a device was found, 1 none, 3 the port failed, 4 interrupted.
int RunCliScan(TCliScanResult& result, std::ostream& err, const std::atomic<bool>& interrupted,
               bool statusLine);
