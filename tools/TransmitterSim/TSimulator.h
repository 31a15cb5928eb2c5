#pragma once

#include "ModbusRtu.h"
#include "TFaultInjector.h"
#include "TRequestFramer.h"
#include "TSimCounters.h"
#include "TSlaveResponder.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

/// How a serial line is set: the rate, the parity and the stop bits (8 data bits always).
struct TSimLine {
    int baud = 0;      ///< as a slave is locked: 0 takes any rate
    char parity = 'N'; ///< 'N', 'E' or 'O'
    int stopBits = 1;
    bool operator==(const TSimLine&) const = default;
};

/// Whether a slave locked to `locked` makes sense of a line set as `seen`: the same parity
/// and stop bits, and the same rate unless it takes any.
bool UnderstandsLine(const TSimLine& locked, const TSimLine& seen);

/// Slaves locked to another line setting than the rest.
struct TSlaveLine {
    TSlaveRange range;
    TSimLine line;
};

/// Everything that decides what the simulated line answers.
struct TSimConfig {
    TSlaveRange range;
    TFaultRates rates;
    std::uint64_t seed = 1;
    std::chrono::milliseconds turnaround{0};  ///< silence before an ordinary reply
    std::chrono::milliseconds lateDelay{700}; ///< silence before a late reply instead
    std::chrono::milliseconds noiseGap{50};   ///< silence between noise and the reply
    bool faultsOnReadsOnly = false;           ///< coil echoes and exceptions stay unspoiled
    /// Slaves whose every read reply is late (after lateDelay), whatever the rates decide.
    std::optional<TSlaveRange> lateSlaves;
    /// Slaves that report their values in another format than int32:abcd.
    std::vector<TSlaveFormat> formats;
    /// The line setting every slave is locked to, unless `lines` names it (the first that
    /// does holds).
    TSimLine line;
    std::vector<TSlaveLine> lines;

    const TSimLine& LineOf(int slave) const;
};

/// What to put on the line for one request, in order: `delay` of silence, the noise (if any)
/// followed by `noiseGap` of silence, then the reply (if any).
struct TReplyPlan {
    TFrame8 request{};
    TAnswerKind answer = TAnswerKind::ReadReply;
    TFaultDecision decision;
    std::chrono::milliseconds delay{0};
    std::vector<std::uint8_t> noise;
    std::chrono::milliseconds noiseGap{0};
    std::vector<std::uint8_t> reply;
    /// The line was not set as the slave is locked to: `reply` is what the master makes of
    /// its answer, garbage.
    bool garbled = false;
    /// The rate the reply goes out at (10 bits a byte); 0 sends it at once.
    int baud = 0;

    int Slave() const { return request[0]; }
};

/// The simulated line without any I/O: bytes from the master go in, reply plans come out,
/// and the counters record what was asked and what was answered or injected.
class TSimulator {
public:
    explicit TSimulator(TSimConfig config);

    /// Takes bytes received from the master, `elapsedMs` after start (which drives the
    /// simulated values), and returns a plan for every request they complete that a slave
    /// of the range answers. Requests for other addresses are counted and dropped. `seen` is
    /// how the master has set the line; a slave locked to another setting answers garbage,
    /// as a real one seems to. None: the line is not looked at.
    std::vector<TReplyPlan> OnReceived(TByteSpan bytes, std::int64_t elapsedMs,
                                       const std::optional<TSimLine>& seen = std::nullopt);

    /// Records how a plan ended; `completed` is false when it was cut short.
    void OnPlanDone(const TReplyPlan& plan, bool completed);

    /// Records bytes that really went on the line.
    void OnSent(std::size_t count) { counters_.CountSentBytes(count); }

    const TSimCounters& Counters() const { return counters_; }
    const TSimConfig& Config() const { return config_; }
    std::string Summary() const { return counters_.Summary(); }

private:
    TSimConfig config_;
    TSlaveResponder responder_;
    TFaultInjector injector_;
    TRequestFramer framer_;
    TSimCounters counters_;
    std::uint64_t nextReply_ = 0;
};
