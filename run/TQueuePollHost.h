#pragma once

#include "TPollThread.h"

#include <cstdint>
#include <functional>
#include <vector>

class TComm;
class TNoticeQueue;

/// A poll host for front ends without Qt (and tests): requests go to a TComm,
/// results and caption notices are posted to a TNoticeQueue, where the handlers
/// run on whichever thread pumps that queue.
class TQueuePollHost final : public TPollHost {
public:
    using TResultHandler =
        std::function<void(std::uint32_t runId, std::int32_t slave, std::int32_t result)>;
    using TCaptionHandler = std::function<void()>;
    using TDiscardHandler = std::function<void(const std::vector<char>& bytes)>;
    using THeldHandler = std::function<void()>;

    TQueuePollHost(TComm& comm, TNoticeQueue& queue, TResultHandler onResult,
                   TCaptionHandler onCaption = {}, TDiscardHandler onDiscarded = {},
                   THeldHandler onLineHeld = {});

    /// Results posted without waking the pumping thread (TNoticeQueue::PostQuiet):
    /// they are taken in order with the next reply or the next pumping slice,
    /// so a prompt poll costs that thread one wake-up instead of two. For a
    /// front end that shows nothing the moment a result comes.
    void SetQuietResults(bool quiet) { QuietResults = quiet; }

    void SendRequest(const TFrame8& request) override;
    void PostPollResult(std::uint32_t runId, std::int32_t slave, std::int32_t result) override;
    void SendCaptionChanged() override;
    void DiscardInput() override;
    void LineHeld() override;

private:
    TComm& Comm;
    TNoticeQueue& Queue;
    TResultHandler OnResult;
    TCaptionHandler OnCaption;
    TDiscardHandler OnDiscarded;
    THeldHandler OnLineHeld;
    bool QuietResults = false;
};
