#pragma once

#include "TInfoLine.h"
#include "TResponseStats.h"
#include "TRunClock.h"
#include "TRunSettings.h"
#include "TVerdict.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

/// One slave in a run's record.
struct TReportSlave {
    std::int32_t Id = 0;
    std::vector<std::string> Values; ///< of its last good reply
    std::vector<TValueStats> Stats;
    std::int64_t Ok = 0;
    std::int64_t Fail = 0;
    TResponseStats Times;
    std::optional<TVerdict> Verdict;
};

/// The lines of one kind in a run's error list: how many, and the first few.
struct TReportLines {
    TInfoKind Kind = TInfoKind::Other;
    std::uint64_t Count = 0;
    std::vector<std::string> First;
};

/// Everything a test record holds: what ran, with what, and what came of it.
struct TRunReport {
    std::string Tool;
    std::string Version;
    TDateTime Started;
    TDateTime Ended;
    TRunSettings Settings;
    std::vector<TReportSlave> Slaves;
    std::vector<TReportLines> Lines;
};

/// The record as one self-contained HTML page (no file beside it), that a
/// browser shows and prints on A4.
std::string ReportHtml(const TRunReport& report);

/// The file a record is written to: as a whole, through a file beside it, so
/// a crash leaves no half record; the system's reason when it cannot.
std::error_code WriteReportFile(const std::string& path, const std::string& content);
