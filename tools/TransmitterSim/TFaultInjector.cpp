#include "TFaultInjector.h"

#include "ModbusRtu.h"
#include "TSlaveResponder.h"

namespace {

/// SplitMix64: tiny, fast and with the same output on every platform, unlike the standard
/// distributions, so a seed means the same run everywhere.
class TSplitMix64 {
public:
    explicit TSplitMix64(std::uint64_t seed) : state_(seed) {}

    std::uint64_t Next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }

    /// Uniform in [0, 1), from the top 53 bits.
    double NextUnit() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }

    /// Uniform in [low, high].
    std::size_t Between(std::size_t low, std::size_t high) {
        return low + static_cast<std::size_t>(Next() % (high - low + 1));
    }

    std::uint8_t NextByte() { return static_cast<std::uint8_t>(Next() >> 56); }

private:
    std::uint64_t state_;
};

// Separate streams for the details of one decision, so that adding a detail to one fault
// kind never changes what another kind draws.
constexpr std::uint64_t NoiseStream = 0x6E6F697365ULL;
constexpr std::uint64_t FaultStream = 0x6661756C74ULL;

} // namespace

std::string_view FaultName(TFaultKind kind) {
    switch (kind) {
    case TFaultKind::None:
        return "none";
    case TFaultKind::BadCrc:
        return "bad_crc";
    case TFaultKind::WrongSlave:
        return "wrong_slave";
    case TFaultKind::Truncated:
        return "truncated";
    case TFaultKind::ExtraBytes:
        return "extra_bytes";
    case TFaultKind::Late:
        return "late";
    case TFaultKind::NoReply:
        return "no_reply";
    case TFaultKind::Exception:
        return "exception";
    case TFaultKind::DamagedSlave:
        return "damaged_slave";
    }
    return "unknown";
}

double TFaultRates::ExclusiveSum() const {
    double sum = 0;
    for (const TFaultKind kind : FaultKinds)
        sum += (*this)[kind];
    return sum;
}

TFaultDecision TFaultInjector::Decide(std::uint64_t replyIndex) const {
    TSplitMix64 rng(seed_ ^ (replyIndex * 0xD1B54A32D192ED03ULL));
    TFaultDecision decision;
    double draw = rng.NextUnit();
    for (const TFaultKind kind : FaultKinds) {
        const double rate = rates_[kind];
        if (draw < rate) {
            decision.kind = kind;
            break;
        }
        draw -= rate;
    }
    decision.noise = rng.NextUnit() < rates_.noise;
    decision.detail = rng.Next();
    return decision;
}

std::vector<std::uint8_t> TFaultInjector::Apply(const TFaultDecision& decision,
                                                std::span<const std::uint8_t> reply) const {
    std::vector<std::uint8_t> bytes(reply.begin(), reply.end());
    TSplitMix64 rng(decision.detail ^ FaultStream);
    switch (decision.kind) {
    case TFaultKind::None:
    case TFaultKind::Late:
        break;
    case TFaultKind::BadCrc:
        // A non-zero XOR always changes the byte, so the CRC is certainly wrong.
        bytes[bytes.size() - 2] ^= static_cast<std::uint8_t>(rng.Between(1, 255));
        break;
    case TFaultKind::WrongSlave:
        bytes.resize(bytes.size() - 2);
        bytes[0] = static_cast<std::uint8_t>(bytes[0] % 255 + 1);
        AppendCrc(bytes);
        break;
    case TFaultKind::DamagedSlave:
        bytes[0] ^= static_cast<std::uint8_t>(rng.Between(1, 255));
        break;
    case TFaultKind::Truncated:
        bytes.resize(rng.Between(1, bytes.size() - 1));
        break;
    case TFaultKind::ExtraBytes: {
        const std::size_t extra = rng.Between(1, 4);
        for (std::size_t i = 0; i < extra; ++i)
            bytes.push_back(rng.NextByte());
        break;
    }
    case TFaultKind::NoReply:
        bytes.clear();
        break;
    case TFaultKind::Exception:
        bytes = BuildExceptionReply(reply[0], static_cast<std::uint8_t>(reply[1] & 0x7F),
                                    IllegalDataAddress);
        break;
    }
    return bytes;
}

std::vector<std::uint8_t> TFaultInjector::Noise(const TFaultDecision& decision) const {
    if (!decision.noise)
        return {};
    TSplitMix64 rng(decision.detail ^ NoiseStream);
    std::vector<std::uint8_t> noise(rng.Between(1, 8));
    for (std::uint8_t& b : noise)
        b = rng.NextByte();
    return noise;
}
