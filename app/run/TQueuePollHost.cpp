#include "TQueuePollHost.h"

#include "TComm.h"
#include "TWindowQueue.h"

TQueuePollHost::TQueuePollHost(TComm& comm, TWindowQueue& queue, TResultHandler onResult,
                               TCaptionHandler onCaption)
    : Comm(comm), Queue(queue), OnResult(std::move(onResult)), OnCaption(std::move(onCaption)) {}

void TQueuePollHost::SendRequest(const TFrame8& request) {
    Comm.SendBytes(request.data(), static_cast<std::uint16_t>(request.size()));
}

void TQueuePollHost::PostPollResult(std::uint32_t runId, std::int32_t slave, std::int32_t result) {
    if (OnResult)
        Queue.Post([handler = OnResult, runId, slave, result] { handler(runId, slave, result); });
}

void TQueuePollHost::SendCaptionChanged() {
    if (OnCaption)
        Queue.Post(OnCaption);
}
