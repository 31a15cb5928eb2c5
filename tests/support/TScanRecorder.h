#pragma once

#include "TBusScan.h"

#include <optional>
#include <string>
#include <vector>

/// Keeps what a scan tells its listener, for the test to look at afterwards.
class TScanRecorder final : public TScanListener {
public:
    void ScanFound(const TScanFind& find) override { Found.push_back(find); }
    void ScanProgress(const TScanProgress& progress) override { Last = progress; }
    void ScanLine(const TInfoLine& line) override { Lines.push_back(line.Text); }
    void ScanEnded(const TScanEnd& end) override { End = end; }

    std::vector<TScanFind> Found;
    std::optional<TScanProgress> Last;
    std::vector<std::string> Lines;
    std::optional<TScanEnd> End;
};
