#include "TSimSummary.h"

#include <charconv>
#include <optional>
#include <sstream>
#include <string_view>
#include <utility>
#include <vector>

namespace {

std::optional<std::pair<std::string, std::int64_t>> ParsePair(std::string_view token) {
    const std::size_t equals = token.find('=');
    if (equals == std::string_view::npos || equals == 0)
        return std::nullopt;
    std::int64_t value = 0;
    const std::string_view number = token.substr(equals + 1);
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (error != std::errc{} || end != number.data() + number.size() || number.empty())
        return std::nullopt;
    return std::pair{std::string(token.substr(0, equals)), value};
}

} // namespace

TSimSummary TSimSummary::Parse(const std::string& text) {
    TSimSummary summary;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream tokens(line);
        std::vector<std::pair<std::string, std::int64_t>> pairs;
        std::string token;
        bool wellFormed = true;
        while (tokens >> token) {
            auto pair = ParsePair(token);
            wellFormed = wellFormed && pair.has_value();
            if (pair)
                pairs.push_back(*pair);
        }
        if (!wellFormed || pairs.empty())
            continue;
        if (pairs.size() == 1) {
            summary.totals_[pairs[0].first] = pairs[0].second;
        } else if (pairs[0].first == "slave") {
            auto& slave = summary.slaves_[static_cast<int>(pairs[0].second)];
            for (std::size_t i = 1; i < pairs.size(); ++i)
                slave[pairs[i].first] = pairs[i].second;
        }
    }
    return summary;
}

std::int64_t TSimSummary::Total(const std::string& key) const {
    const auto found = totals_.find(key);
    return found == totals_.end() ? -1 : found->second;
}

std::int64_t TSimSummary::Slave(int slave, const std::string& key) const {
    const auto found = slaves_.find(slave);
    if (found == slaves_.end())
        return totals_.contains(key) ? 0 : -1;
    const auto value = found->second.find(key);
    return value == found->second.end() ? -1 : value->second;
}
