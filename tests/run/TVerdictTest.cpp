// The verdict on one transmitter, from its values, its failed polls and its response time.
#include "TVerdict.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using TKind = TReason::TKind;

std::vector<TValueStats> Stats(const TLimits& limits,
                               const std::vector<std::vector<double>>& byColumn) {
    std::vector<TValueStats> stats(byColumn.size());
    for (std::size_t c = 0; c < byColumn.size(); ++c)
        for (const double value : byColumn[c])
            stats[c].Add(value, limits.ValueLimit(c));
    return stats;
}

std::vector<TKind> Kinds(const TVerdict& verdict) {
    std::vector<TKind> kinds;
    for (const TReason& reason : verdict.Reasons)
        kinds.push_back(reason.Kind);
    return kinds;
}

TEST(VerdictTest, EachRuleAndItsEdges) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    TLimits range; // Value1 from 10 to 20, Value2 at most 5
    range.Values = {{10.0, 20.0}, {std::nullopt, 5.0}};
    TLimits onlyFailures;
    onlyFailures.MaxFailPercent = 10;
    TLimits slow;
    slow.MaxResponseMs = 20;
    struct TCase {
        const char* Name;
        const TLimits& Limits;
        std::vector<std::vector<double>> Values;
        std::int64_t Ok, Fail;
        std::optional<double> P99;
        std::vector<TKind> Reasons;
    };
    const std::vector<TCase> cases = {
        {"exactly on both limits", range, {{10, 20}, {5, -100}}, 2, 0, 3.0, {}},
        {"just below, just above",
         range,
         {{9.999, 20.001}, {5.001}},
         2,
         0,
         3.0,
         {TKind::Below, TKind::Above, TKind::Above}},
        {"no good reply", range, {{}, {}}, 0, 7, std::nullopt, {TKind::NoGoodReply, TKind::Fail}},
        {"with limits no failure is allowed", range, {{15}, {0}}, 9, 1, 3.0, {TKind::Fail}},
        {"a float that is no number is outside",
         range,
         {{nan, 15}, {}},
         2,
         0,
         3.0,
         {TKind::NotANumber}},
        {"no limit on the column: any value", onlyFailures, {{nan, -1e30}}, 2, 0, 3.0, {}},
        {"a share of failures", onlyFailures, {{1}}, 9, 1, 3.0, {}},
        {"above the share", onlyFailures, {{1}}, 8, 2, 3.0, {TKind::FailPercent}},
        {"response time", slow, {{1}}, 5, 0, 20.5, {TKind::ResponseTime}},
        {"response time on the limit", slow, {{1}}, 5, 0, 20.0, {}},
    };
    for (const TCase& c : cases) {
        const TVerdict verdict = Judge(c.Limits, Stats(c.Limits, c.Values), c.Ok, c.Fail, c.P99);
        EXPECT_EQ(Kinds(verdict), c.Reasons) << c.Name;
        EXPECT_EQ(verdict.Pass, c.Reasons.empty()) << c.Name;
    }
}

TEST(VerdictTest, StatisticsAndReasonsSayHowFarAndHowOften) {
    TLimits limits;
    limits.Values = {{std::nullopt, 100.0}};
    const std::vector<TValueStats> stats = Stats(limits, {{90, 130, 101, 95}});
    EXPECT_EQ(stats[0].Min, 90);
    EXPECT_EQ(stats[0].Max, 130);
    EXPECT_DOUBLE_EQ(*stats[0].Mean(), 104);
    const TVerdict verdict = Judge(limits, stats, 4, 0, std::nullopt);
    ASSERT_EQ(verdict.Reasons.size(), 1U);
    EXPECT_EQ(ReasonText(verdict.Reasons[0], TValueFormat{}),
              "Value1高于上限100：4次中2次，最高130");
    // As the column's format writes its values.
    EXPECT_EQ(ReasonText(verdict.Reasons[0], TValueFormat{TValueType::Hex16}),
              "Value1高于上限0064：4次中2次，最高0082");
    EXPECT_EQ(ReasonText({TKind::Fail, 0, 3, 10, 3, 0}, {}), "失败3次，超过允许的0次");
    EXPECT_EQ(ReasonText({TKind::NoGoodReply}, {}), "无正确应答");
}

} // namespace
