#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

/// How one reply is spoiled. At most one kind applies to a reply; noise is decided apart.
enum class TFaultKind : std::uint8_t {
    None,
    BadCrc,       ///< one CRC byte altered
    WrongSlave,   ///< another slave address, with a CRC that matches it
    Truncated,    ///< only the first 1 to length − 1 bytes are sent
    ExtraBytes,   ///< 1 to 4 random bytes follow the reply without a pause
    Late,         ///< the reply itself, sent after the late delay instead of the turnaround
    NoReply,      ///< nothing is sent
    Exception,    ///< a 5-byte exception reply, function | 0x80 and code 2
    DamagedSlave, ///< the address byte altered on the way, the CRC left as sent
};

/// Every kind that spoils a reply, in the order their rates are laid out.
/// A new kind goes last, so that a seed keeps deciding the earlier kinds as before.
inline constexpr std::array<TFaultKind, 8> FaultKinds{
    TFaultKind::BadCrc, TFaultKind::WrongSlave, TFaultKind::Truncated, TFaultKind::ExtraBytes,
    TFaultKind::Late,   TFaultKind::NoReply,    TFaultKind::Exception, TFaultKind::DamagedSlave};

/// Short name used in options and in the summary ("bad_crc", "no_reply", …; "none").
std::string_view FaultName(TFaultKind kind);

/// Probability per reply of each fault kind, and of noise before the reply.
struct TFaultRates {
    /// Indexed by fault kind; the entry of None is not used (it is whatever the others leave).
    std::array<double, FaultKinds.size() + 1> byKind{};
    double noise = 0;

    double& operator[](TFaultKind kind) { return byKind[static_cast<std::size_t>(kind)]; }
    double operator[](TFaultKind kind) const { return byKind[static_cast<std::size_t>(kind)]; }
    /// Sum of the rates of the kinds that exclude each other; at most 1 for a usable set.
    double ExclusiveSum() const;
};

/// What happens to one reply.
struct TFaultDecision {
    TFaultKind kind = TFaultKind::None;
    bool noise = false;     ///< random bytes go on the line before the reply
    std::uint64_t detail{}; ///< seeds the random details (lengths, bytes) of this decision
};

/// Decides, from a seed, which replies are spoiled and how. A decision depends only on the
/// seed, the rates and the reply's number, so a run with the same seed and the same requests
/// repeats exactly, and a test can predict every reply.
class TFaultInjector {
public:
    TFaultInjector(TFaultRates rates, std::uint64_t seed) : rates_(rates), seed_(seed) {}

    TFaultDecision Decide(std::uint64_t replyIndex) const;

    /// The bytes that go on the line for `reply` under `decision` (empty for no reply).
    /// `reply` must be a complete frame of at least 5 bytes.
    std::vector<std::uint8_t> Apply(const TFaultDecision& decision,
                                    std::span<const std::uint8_t> reply) const;

    /// The noise sent before the reply: 1 to 8 random bytes, or none when not decided.
    std::vector<std::uint8_t> Noise(const TFaultDecision& decision) const;

    const TFaultRates& Rates() const { return rates_; }

private:
    TFaultRates rates_;
    std::uint64_t seed_;
};
