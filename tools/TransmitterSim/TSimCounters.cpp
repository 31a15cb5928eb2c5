#include "TSimCounters.h"

#include <string_view>
#include <utility>
#include <vector>

namespace {

using TField = std::pair<std::string, std::uint64_t>;

// The per-slave keys, in the order both the totals and the slave lines print them.
std::vector<TField> CountFields(const TSimCounts& counts) {
    std::vector<TField> fields{
        {"read_requests", counts.readRequests},
        {"input_requests", counts.inputRequests},
        {"coil_requests", counts.coilRequests},
        {"other_requests", counts.otherRequests},
        {"replied_good", counts.RepliedGood()},
        {"replied_good_reads", counts.repliedGoodReads},
        {"replied_good_coils", counts.repliedGoodCoils},
        {"replied_exception", counts.repliedException},
    };
    for (const TFaultKind kind : FaultKinds)
        fields.emplace_back("injected_" + std::string(FaultName(kind)), counts.Injected(kind));
    fields.emplace_back("injected_noise", counts.injectedNoise);
    fields.emplace_back("aborted_replies", counts.abortedReplies);
    fields.emplace_back("garbled_replies", counts.garbledReplies);
    return fields;
}

} // namespace

TSimCounts& TSimCounts::operator+=(const TSimCounts& other) {
    readRequests += other.readRequests;
    inputRequests += other.inputRequests;
    coilRequests += other.coilRequests;
    otherRequests += other.otherRequests;
    repliedGoodReads += other.repliedGoodReads;
    repliedGoodCoils += other.repliedGoodCoils;
    repliedException += other.repliedException;
    for (std::size_t i = 0; i < injected.size(); ++i)
        injected[i] += other.injected[i];
    injectedNoise += other.injectedNoise;
    abortedReplies += other.abortedReplies;
    garbledReplies += other.garbledReplies;
    return *this;
}

void TSimCounters::SetFraming(std::uint64_t discardedBytes, std::size_t unframedBytes) {
    discardedBytes_ = discardedBytes;
    unframedBytes_ = unframedBytes;
}

void TSimCounters::CountRequest(int slave, std::uint8_t function) {
    TSimCounts& counts = perSlave_[slave];
    if (function == 0x03)
        ++counts.readRequests;
    else if (function == 0x04)
        ++counts.inputRequests;
    else if (function == 0x05)
        ++counts.coilRequests;
    else
        ++counts.otherRequests;
}

void TSimCounters::CountOutcome(int slave, TAnswerKind answer, const TFaultDecision& decision,
                                bool completed) {
    TSimCounts& counts = perSlave_[slave];
    if (!completed) {
        ++counts.abortedReplies;
        return;
    }
    if (decision.noise)
        ++counts.injectedNoise;
    if (decision.kind != TFaultKind::None) {
        ++counts.injected[static_cast<std::size_t>(decision.kind)];
        return;
    }
    switch (answer) {
    case TAnswerKind::ReadReply:
        ++counts.repliedGoodReads;
        break;
    case TAnswerKind::CoilEcho:
        ++counts.repliedGoodCoils;
        break;
    case TAnswerKind::Exception:
        ++counts.repliedException;
        break;
    }
}

void TSimCounters::CountGarbled(int slave, bool completed) {
    TSimCounts& counts = perSlave_[slave];
    if (completed)
        ++counts.garbledReplies;
    else
        ++counts.abortedReplies;
}

TSimCounts TSimCounters::Totals() const {
    TSimCounts totals;
    for (const auto& [slave, counts] : perSlave_)
        totals += counts;
    return totals;
}

std::string TSimCounters::Summary() const {
    const TSimCounts totals = Totals();
    const std::uint64_t requests =
        ignoredRequests_ + totals.readRequests + totals.coilRequests + totals.otherRequests;
    std::vector<TField> lines{
        {"received_bytes", receivedBytes_},     {"discarded_bytes", discardedBytes_},
        {"unframed_bytes", unframedBytes_},     {"received_requests", requests},
        {"ignored_requests", ignoredRequests_},
    };
    const std::vector<TField> countFields = CountFields(totals);
    lines.insert(lines.end(), countFields.begin(), countFields.end());
    lines.emplace_back("sent_bytes", sentBytes_);

    std::string text;
    for (const auto& [key, value] : lines)
        text += key + '=' + std::to_string(value) + '\n';
    for (const auto& [slave, counts] : perSlave_) {
        text += "slave=" + std::to_string(slave);
        for (const auto& [key, value] : CountFields(counts))
            text += ' ' + key + '=' + std::to_string(value);
        text += '\n';
    }
    return text;
}
