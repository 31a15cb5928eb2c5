#include "TVerdict.h"

#include <cmath>
#include <cstdio>

namespace {

std::string Decimal(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string Column(std::size_t column) {
    return "Value" + std::to_string(column + 1);
}

} // namespace

void TValueStats::Add(double value, const TValueLimit* limit) {
    if (std::isnan(value)) {
        ++NotNumbers;
        return;
    }
    if (Count == 0) {
        Min = Max = value;
    } else {
        Min = std::min(Min, value);
        Max = std::max(Max, value);
    }
    ++Count;
    Sum += value;
    if (limit == nullptr)
        return;
    if (limit->Min && value < *limit->Min) {
        Lowest = Below == 0 ? value : std::min(Lowest, value);
        ++Below;
    }
    if (limit->Max && value > *limit->Max) {
        Highest = Above == 0 ? value : std::max(Highest, value);
        ++Above;
    }
}

std::optional<double> TValueStats::Mean() const {
    if (Count == 0)
        return std::nullopt;
    return Sum / static_cast<double>(Count);
}

std::optional<std::array<std::string, 3>> ValueStatsTexts(const TValueStats& stats,
                                                          TValueFormat format) {
    const std::optional<double> mean = stats.Mean();
    if (!mean)
        return std::nullopt;
    return std::array<std::string, 3>{ValueText(stats.Min, format), ValueText(stats.Max, format),
                                      ValueText(*mean, TValueFormat{TValueType::Float32})};
}

TVerdict Judge(const TLimits& limits, const std::vector<TValueStats>& stats, std::int64_t ok,
               std::int64_t fail, std::optional<double> p99Ms) {
    using TKind = TReason::TKind;
    TVerdict verdict;
    if (ok <= 0)
        verdict.Reasons.push_back({TKind::NoGoodReply});
    for (std::size_t column = 0; column < stats.size(); ++column) {
        const TValueLimit* limit = limits.ValueLimit(column);
        if (limit == nullptr)
            continue;
        const TValueStats& s = stats[column];
        const std::uint64_t of = s.Count + s.NotNumbers;
        if (s.Below > 0)
            verdict.Reasons.push_back({TKind::Below, column, s.Below, of, s.Lowest, *limit->Min});
        if (s.Above > 0)
            verdict.Reasons.push_back({TKind::Above, column, s.Above, of, s.Highest, *limit->Max});
        if (s.NotNumbers > 0)
            verdict.Reasons.push_back({TKind::NotANumber, column, s.NotNumbers, of});
    }
    const std::int64_t polls = ok + fail;
    // With limits but none on failures, a verifier allows none.
    const std::int64_t allowed = limits.MaxFail.value_or(limits.MaxFailPercent ? polls : 0);
    if (fail > allowed)
        verdict.Reasons.push_back({TKind::Fail, 0, static_cast<std::uint64_t>(fail),
                                   static_cast<std::uint64_t>(polls), static_cast<double>(fail),
                                   static_cast<double>(allowed)});
    if (limits.MaxFailPercent && polls > 0) {
        const double share = 100.0 * static_cast<double>(fail) / static_cast<double>(polls);
        if (share > *limits.MaxFailPercent)
            verdict.Reasons.push_back({TKind::FailPercent, 0, static_cast<std::uint64_t>(fail),
                                       static_cast<std::uint64_t>(polls), share,
                                       *limits.MaxFailPercent});
    }
    if (limits.MaxResponseMs && p99Ms && *p99Ms > *limits.MaxResponseMs)
        verdict.Reasons.push_back({TKind::ResponseTime, 0, 0, 0, *p99Ms, *limits.MaxResponseMs});
    verdict.Pass = verdict.Reasons.empty();
    return verdict;
}

std::string ReasonText(const TReason& r, TValueFormat format) {
    using TKind = TReason::TKind;
    const std::string times = std::to_string(r.Of) + "次中" + std::to_string(r.Count) + "次";
    switch (r.Kind) {
    case TKind::NoGoodReply:
        return "无正确应答";
    case TKind::Below:
        return Column(r.Column) + "低于下限" + ValueText(r.Limit, format) + "：" + times +
               "，最低" + ValueText(r.Worst, format);
    case TKind::Above:
        return Column(r.Column) + "高于上限" + ValueText(r.Limit, format) + "：" + times +
               "，最高" + ValueText(r.Worst, format);
    case TKind::NotANumber:
        return Column(r.Column) + "非数值：" + times;
    case TKind::Fail:
        return "失败" + std::to_string(r.Count) + "次，超过允许的" +
               std::to_string(static_cast<std::int64_t>(r.Limit)) + "次";
    case TKind::FailPercent:
        return "失败率" + Decimal(r.Worst, 1) + "%，超过允许的" + Decimal(r.Limit, 1) + "%";
    case TKind::ResponseTime:
        return "响应时间P99 " + Decimal(r.Worst, 1) + " ms，超过允许的" + Decimal(r.Limit, 1) +
               " ms";
    }
    return {};
}
