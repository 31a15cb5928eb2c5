#include "TResponseStats.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>

namespace {

constexpr std::int64_t LinearLimit = 128; // below this every microsecond has a bucket
constexpr int SubBits = 6;                // 64 buckets per power of two above it
constexpr int FirstExponent = 7;          // 2^7 = LinearLimit

} // namespace

std::size_t TResponseStats::BucketOf(std::int64_t us) {
    if (us < LinearLimit)
        return static_cast<std::size_t>(std::max<std::int64_t>(us, 0));
    const auto value = static_cast<std::uint64_t>(us);
    const int exponent = std::bit_width(value) - 1; // >= FirstExponent
    const std::uint64_t sub = (value >> (exponent - SubBits)) & ((1U << SubBits) - 1);
    const std::size_t bucket = static_cast<std::size_t>(LinearLimit) +
                               static_cast<std::size_t>(exponent - FirstExponent) * 64 + sub;
    return std::min(bucket, BucketCount - 1);
}

std::int64_t TResponseStats::BucketUpperUs(std::size_t bucket) {
    if (bucket < static_cast<std::size_t>(LinearLimit))
        return static_cast<std::int64_t>(bucket);
    const std::size_t above = bucket - static_cast<std::size_t>(LinearLimit);
    const int exponent = FirstExponent + static_cast<int>(above / 64);
    const std::int64_t sub = static_cast<std::int64_t>(above % 64);
    const std::int64_t width = std::int64_t{1} << (exponent - SubBits);
    return (std::int64_t{1} << exponent) + (sub + 1) * width - 1;
}

void TResponseStats::Record(std::chrono::microseconds sample) {
    const std::int64_t us = std::max<std::int64_t>(sample.count(), 0);
    ++Buckets[BucketOf(us)];
    if (FCount == 0 || us < FMinUs)
        FMinUs = us;
    if (FCount == 0 || us > FMaxUs)
        FMaxUs = us;
    ++FCount;
    SumUs += static_cast<std::uint64_t>(us);
}

void TResponseStats::Clear() {
    *this = TResponseStats();
}

std::optional<std::int64_t> TResponseStats::MinUs() const {
    return FCount == 0 ? std::nullopt : std::optional(FMinUs);
}

std::optional<std::int64_t> TResponseStats::MaxUs() const {
    return FCount == 0 ? std::nullopt : std::optional(FMaxUs);
}

std::optional<double> TResponseStats::MeanUs() const {
    if (FCount == 0)
        return std::nullopt;
    return static_cast<double>(SumUs) / static_cast<double>(FCount);
}

std::optional<std::int64_t> TResponseStats::P99Us() const {
    return PercentileUs(99.0);
}

std::optional<std::int64_t> TResponseStats::PercentileUs(double percent) const {
    if (FCount == 0)
        return std::nullopt;
    // The rank of the sample that `percent` of all samples do not exceed.
    const double exact =
        std::ceil(std::clamp(percent, 0.0, 100.0) * static_cast<double>(FCount) / 100.0);
    const std::uint64_t rank = std::max<std::uint64_t>(1, static_cast<std::uint64_t>(exact));
    std::uint64_t seen = 0;
    for (std::size_t i = 0; i < BucketCount; ++i) {
        seen += Buckets[i];
        if (seen >= rank)
            return std::clamp(BucketUpperUs(i), FMinUs, FMaxUs);
    }
    return FMaxUs;
}

std::string MillisecondsText(double us, int decimals) {
    char text[48];
    std::snprintf(text, sizeof text, "%.*f", decimals, us / 1000.0);
    return text;
}

std::string ResponseTimesText(const TResponseStats& stats, int decimals) {
    if (stats.Count() == 0)
        return {};
    return MillisecondsText(static_cast<double>(*stats.MinUs()), decimals) + " / " +
           MillisecondsText(*stats.MeanUs(), decimals) + " / " +
           MillisecondsText(static_cast<double>(*stats.P99Us()), decimals) + " / " +
           MillisecondsText(static_cast<double>(*stats.MaxUs()), decimals);
}
