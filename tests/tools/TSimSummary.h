#pragma once

#include <cstdint>
#include <map>
#include <string>

/// The summary a simulator prints on exit, parsed: "key=value" lines for the totals, and
/// "slave=N key=value ..." lines per slave. Lines of any other shape are skipped.
class TSimSummary {
public:
    static TSimSummary Parse(const std::string& text);

    /// A total; -1 when the key is missing, so that a renamed key fails loudly.
    std::int64_t Total(const std::string& key) const;
    /// A slave's figure; 0 when the slave was never asked, -1 for an unknown key.
    std::int64_t Slave(int slave, const std::string& key) const;

    const std::map<std::string, std::int64_t>& Totals() const { return totals_; }
    const std::map<int, std::map<std::string, std::int64_t>>& Slaves() const { return slaves_; }

private:
    std::map<std::string, std::int64_t> totals_;
    std::map<int, std::map<std::string, std::int64_t>> slaves_;
};
