#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

/// The clock response times are measured on: monotonic, so that a change of
/// the wall clock can neither stretch nor cut a sample.
using TMonotonicClock = std::chrono::steady_clock;

/// Response times of one slave: min, mean and max exactly, p99 from a bounded
/// histogram, so a run of any length keeps a fixed amount of memory.
///
/// The histogram is log-linear: every microsecond below 128 us has a bucket of
/// its own; above, each power of two is cut into 64 buckets, so a bucket is at
/// most 1/64 (1.6 %) of its value wide. Samples beyond about 33 s share the
/// last bucket.
class TResponseStats {
public:
    void Record(std::chrono::microseconds sample);
    void Clear();

    std::uint64_t Count() const { return FCount; }
    /// All in microseconds; none before the first sample.
    std::optional<std::int64_t> MinUs() const;
    std::optional<std::int64_t> MaxUs() const;
    std::optional<double> MeanUs() const;
    /// The upper edge of the bucket that holds the 99th percentile sample (the
    /// smallest sample not exceeded by 99 % of the samples), never above the
    /// maximum: exact below 128 us, at most 1.6 % high above.
    std::optional<std::int64_t> P99Us() const;
    /// The same for any percentile from 0 to 100.
    std::optional<std::int64_t> PercentileUs(double percent) const;

    static constexpr std::size_t BucketCount = 128 + 18 * 64;
    static std::size_t BucketOf(std::int64_t us);
    /// The largest value a bucket holds.
    static std::int64_t BucketUpperUs(std::size_t bucket);

private:
    std::array<std::uint64_t, BucketCount> Buckets{};
    std::uint64_t FCount = 0;
    std::uint64_t SumUs = 0;
    std::int64_t FMinUs = 0;
    std::int64_t FMaxUs = 0;
};

/// "min / mean / p99 / max" in milliseconds with `decimals` digits after the
/// point, for example "4.1 / 4.3 / 5.0 / 6.0"; empty without samples.
std::string ResponseTimesText(const TResponseStats& stats, int decimals);

/// Microseconds as milliseconds with `decimals` digits after the point.
std::string MillisecondsText(double us, int decimals);
