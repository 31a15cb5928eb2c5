#include "TQueuePollHost.h"

#include "TComm.h"
#include "TNoticeQueue.h"

TQueuePollHost::TQueuePollHost(TComm& comm, TNoticeQueue& queue, TResultHandler onResult,
                               TCaptionHandler onCaption, TDiscardHandler onDiscarded,
                               THeldHandler onLineHeld)
    : Comm(comm), Queue(queue), OnResult(std::move(onResult)), OnCaption(std::move(onCaption)),
      OnDiscarded(std::move(onDiscarded)), OnLineHeld(std::move(onLineHeld)) {}

void TQueuePollHost::SendRequest(const TFrame8& request) {
    Comm.SendBytes(request.data(), static_cast<std::uint16_t>(request.size()));
}

void TQueuePollHost::PostPollResult(std::uint32_t runId, std::int32_t slave, std::int32_t result) {
    if (!OnResult)
        return;
    auto item = [handler = OnResult, runId, slave, result] { handler(runId, slave, result); };
    if (QuietResults)
        Queue.PostQuiet(std::move(item));
    else
        Queue.Post(std::move(item));
}

void TQueuePollHost::SendCaptionChanged() {
    if (OnCaption)
        Queue.Post(OnCaption);
}

void TQueuePollHost::DiscardInput() {
    std::vector<char> bytes = Comm.DiscardInput();
    if (!bytes.empty() && OnDiscarded)
        Queue.Post([handler = OnDiscarded, bytes = std::move(bytes)] { handler(bytes); });
}

void TQueuePollHost::LineHeld() {
    if (OnLineHeld)
        Queue.Post(OnLineHeld);
}
