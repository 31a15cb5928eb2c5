#pragma once

#include "TFaultInjector.h"
#include "TSlaveResponder.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

/// What one slave (or the whole line) was asked and what it answered.
struct TSimCounts {
    std::uint64_t readRequests = 0;
    std::uint64_t inputRequests = 0; ///< reads of input registers (function 4)
    std::uint64_t coilRequests = 0;
    std::uint64_t otherRequests = 0;
    std::uint64_t repliedGoodReads = 0; ///< read replies sent unspoiled and on time
    std::uint64_t repliedGoodCoils = 0; ///< coil echoes sent unspoiled and on time
    std::uint64_t repliedException = 0; ///< genuine exceptions (bad count, address, function)
    std::array<std::uint64_t, FaultKinds.size() + 1>
        injected{}; ///< by fault kind; the entry of None stays 0
    std::uint64_t injectedNoise = 0;
    std::uint64_t abortedReplies = 0; ///< cut short by the end of the run
    /// Answers to a master whose line was not set as the slave is locked to.
    std::uint64_t garbledReplies = 0;

    std::uint64_t RepliedGood() const { return repliedGoodReads + repliedGoodCoils; }
    std::uint64_t Injected(TFaultKind kind) const {
        return injected[static_cast<std::size_t>(kind)];
    }
    TSimCounts& operator+=(const TSimCounts& other);
};

/// The figures the simulator prints when it ends, so that a test can hold a master's OK and
/// FAIL counts against what was really answered and injected.
class TSimCounters {
public:
    void CountReceivedBytes(std::size_t count) { receivedBytes_ += count; }
    void CountSentBytes(std::size_t count) { sentBytes_ += count; }
    void CountIgnoredRequest() { ++ignoredRequests_; }
    void SetFraming(std::uint64_t discardedBytes, std::size_t unframedBytes);

    /// A request with a valid CRC for a slave in the range.
    void CountRequest(int slave, std::uint8_t function);

    /// How the reply to a counted request ended: `completed` is false when the run ended
    /// before all of its bytes were sent.
    void CountOutcome(int slave, TAnswerKind answer, const TFaultDecision& decision,
                      bool completed);

    /// An answer that went out as garbage: the line was not set as the slave is locked to.
    void CountGarbled(int slave, bool completed);

    TSimCounts Totals() const;
    const std::map<int, TSimCounts>& PerSlave() const { return perSlave_; }
    std::uint64_t ReceivedBytes() const { return receivedBytes_; }
    std::uint64_t SentBytes() const { return sentBytes_; }
    std::uint64_t IgnoredRequests() const { return ignoredRequests_; }
    std::uint64_t DiscardedBytes() const { return discardedBytes_; }

    /// One "key=value" line per total, then one line per slave that was asked anything:
    /// "slave=N" followed by the same keys as the totals, blank separated.
    std::string Summary() const;

private:
    std::map<int, TSimCounts> perSlave_;
    std::uint64_t receivedBytes_ = 0;
    std::uint64_t sentBytes_ = 0;
    std::uint64_t ignoredRequests_ = 0;
    std::uint64_t discardedBytes_ = 0;
    std::size_t unframedBytes_ = 0;
};
