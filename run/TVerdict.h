#pragma once

#include "TLimits.h"
#include "ValueFormat.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

/// What one value column of one slave did over the good replies of a run:
/// its least, greatest and mean value, and how often (and how far) it left
/// its limits. A float that is no number counts apart and is outside any limit.
struct TValueStats {
    std::uint64_t Count = 0; ///< numbers taken
    double Min = 0;
    double Max = 0;
    double Sum = 0;
    std::uint64_t NotNumbers = 0;
    std::uint64_t Below = 0;
    std::uint64_t Above = 0;
    double Lowest = 0;  ///< the lowest value below the limit
    double Highest = 0; ///< the highest value above the limit

    /// One value of a good reply, held against `limit` (none: no limit).
    void Add(double value, const TValueLimit* limit);
    std::optional<double> Mean() const;
};

/// Min, max and mean of a value column as texts: min and max in the column's
/// format, the mean as a float (it is seldom whole). None when no number was taken.
std::optional<std::array<std::string, 3>> ValueStatsTexts(const TValueStats& stats,
                                                          TValueFormat format);

/// Why a slave fails.
struct TReason {
    enum class TKind : std::uint8_t {
        NoGoodReply, ///< not one good reply in the run
        Below,       ///< a value below its lower limit
        Above,       ///< a value above its upper limit
        NotANumber,  ///< a float that is no number, where the column has a limit
        Fail,        ///< more failed polls than allowed
        FailPercent, ///< a higher share of failed polls than allowed
        ResponseTime ///< a p99 response time above the allowed one
    };
    TKind Kind = TKind::NoGoodReply;
    std::size_t Column = 0;  ///< the value column (0 for Value1)
    std::uint64_t Count = 0; ///< how often
    std::uint64_t Of = 0;    ///< of how many
    double Worst = 0;        ///< the farthest value, the share or the time
    double Limit = 0;        ///< what was allowed
};

struct TVerdict {
    bool Pass = false;
    std::vector<TReason> Reasons;
};

/// The verdict on one slave: it passes when it had at least one good reply,
/// every value of every good reply lay within its limits, and the failed polls
/// and the response time stay within theirs (with limits but no failure limit,
/// no poll may fail). `p99Ms` is none when no reply was timed.
TVerdict Judge(const TLimits& limits, const std::vector<TValueStats>& stats, std::int64_t ok,
               std::int64_t fail, std::optional<double> p99Ms);

/// A reason as the window and the record say it, values as `format` shows them.
std::string ReasonText(const TReason& reason, TValueFormat format);
