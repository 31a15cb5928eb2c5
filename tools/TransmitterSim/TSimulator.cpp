#include "TSimulator.h"

namespace {

/// What a master set otherwise makes of `reply`: as many bytes, none of them meant. The
/// same reply number gives the same bytes.
std::vector<std::uint8_t> Garbled(const std::vector<std::uint8_t>& reply, std::uint64_t seed,
                                  std::uint64_t replyIndex) {
    std::uint64_t state = (seed ^ 0x9E3779B97F4A7C15ULL) + replyIndex * 0xBF58476D1CE4E5B9ULL;
    std::vector<std::uint8_t> bytes;
    bytes.reserve(reply.size());
    for (const std::uint8_t byte : reply) {
        // xorshift64: cheap, and enough to scramble a byte.
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        bytes.push_back(static_cast<std::uint8_t>(byte ^ (state | 1)));
    }
    return bytes;
}

} // namespace

bool UnderstandsLine(const TSimLine& locked, const TSimLine& seen) {
    return (locked.baud == 0 || locked.baud == seen.baud) && locked.parity == seen.parity &&
           locked.stopBits == seen.stopBits;
}

const TSimLine& TSimConfig::LineOf(int slave) const {
    for (const TSlaveLine& entry : lines)
        if (entry.range.Contains(slave))
            return entry.line;
    return line;
}

TSimulator::TSimulator(TSimConfig config)
    : config_(config), responder_(config.range, config.formats),
      injector_(config.rates, config.seed) {}

std::vector<TReplyPlan> TSimulator::OnReceived(TByteSpan bytes, std::int64_t elapsedMs,
                                               const std::optional<TSimLine>& seen) {
    counters_.CountReceivedBytes(bytes.size());
    std::vector<TReplyPlan> plans;
    for (const TFrame8& request : framer_.Feed(bytes)) {
        std::optional<TAnswer> answer = responder_.Answer(request, elapsedMs);
        if (!answer) {
            counters_.CountIgnoredRequest();
            continue;
        }
        counters_.CountRequest(request[0], request[1]);

        TReplyPlan plan;
        plan.request = request;
        plan.answer = answer->kind;
        // Every answered request uses up one reply number, spoiled or not, so that the
        // decisions for later replies do not depend on which options spare which replies.
        const std::uint64_t replyIndex = nextReply_++;
        plan.decision = injector_.Decide(replyIndex);
        if (config_.faultsOnReadsOnly && answer->kind != TAnswerKind::ReadReply)
            plan.decision = {};
        if (config_.lateSlaves && config_.lateSlaves->Contains(request[0]) &&
            answer->kind == TAnswerKind::ReadReply)
            plan.decision = {TFaultKind::Late, false, plan.decision.detail};
        plan.delay =
            plan.decision.kind == TFaultKind::Late ? config_.lateDelay : config_.turnaround;
        plan.noise = injector_.Noise(plan.decision);
        plan.noiseGap = plan.noise.empty() ? std::chrono::milliseconds{0} : config_.noiseGap;
        plan.reply = injector_.Apply(plan.decision, answer->bytes);
        const TSimLine& locked = config_.LineOf(request[0]);
        plan.baud = locked.baud;
        if (seen && !UnderstandsLine(locked, *seen)) {
            plan.garbled = true;
            plan.decision = {};
            plan.delay = config_.turnaround;
            plan.noise.clear();
            plan.noiseGap = std::chrono::milliseconds{0};
            plan.reply = Garbled(answer->bytes, config_.seed, replyIndex);
        }
        plans.push_back(std::move(plan));
    }
    counters_.SetFraming(framer_.DiscardedBytes(), framer_.PendingBytes());
    return plans;
}

void TSimulator::OnPlanDone(const TReplyPlan& plan, bool completed) {
    if (plan.garbled)
        counters_.CountGarbled(plan.Slave(), completed);
    else
        counters_.CountOutcome(plan.Slave(), plan.answer, plan.decision, completed);
}
