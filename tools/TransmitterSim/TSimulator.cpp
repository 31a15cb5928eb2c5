#include "TSimulator.h"

TSimulator::TSimulator(TSimConfig config)
    : config_(config), responder_(config.range, config.formats),
      injector_(config.rates, config.seed) {}

std::vector<TReplyPlan> TSimulator::OnReceived(TByteSpan bytes, std::int64_t elapsedMs) {
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
        plan.decision = injector_.Decide(nextReply_++);
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
        plans.push_back(std::move(plan));
    }
    counters_.SetFraming(framer_.DiscardedBytes(), framer_.PendingBytes());
    return plans;
}

void TSimulator::OnPlanDone(const TReplyPlan& plan, bool completed) {
    counters_.CountOutcome(plan.Slave(), plan.answer, plan.decision, completed);
}
