#include "TQtPollHost.h"

#include "TComm.h"
#include "TRunState.h"
#include "TNoticeQueue.h"

#include <QCoreApplication>
#include <QObject>

TPollResultEvent::TPollResultEvent(std::uint32_t runId, std::int32_t slave, std::int32_t result)
    : QEvent(EventType()), RunId(runId), WParam(slave), LParam(result) {}

QEvent::Type TPollResultEvent::EventType() {
    return static_cast<QEvent::Type>(WM_POLL_RESULT);
}

TSendCaptionEvent::TSendCaptionEvent() : QEvent(EventType()) {}

QEvent::Type TSendCaptionEvent::EventType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

TDiscardedEvent::TDiscardedEvent(std::vector<char> bytes)
    : QEvent(EventType()), Bytes(std::move(bytes)) {}

QEvent::Type TDiscardedEvent::EventType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

TLineHeldEvent::TLineHeldEvent() : QEvent(EventType()) {}

QEvent::Type TLineHeldEvent::EventType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

TQtPollHost::TQtPollHost(TComm& comm, QObject& window, TNoticeQueue& queue)
    : Comm(comm), Window(window), Queue(queue) {
    // Registered on the window thread, before any poll thread.
    TSendCaptionEvent::EventType();
    TDiscardedEvent::EventType();
    TLineHeldEvent::EventType();
}

void TQtPollHost::SendRequest(const TFrame8& request) {
    Comm.SendBytes(request.data(), static_cast<std::uint16_t>(request.size()));
}

void TQtPollHost::PostPollResult(std::uint32_t runId, std::int32_t slave, std::int32_t result) {
    const std::int64_t backlog = ++Unhandled;
    std::int64_t seen = FMaxBacklog;
    while (backlog > seen && !FMaxBacklog.compare_exchange_weak(seen, backlog)) {
    }
    auto deliver = [window = &Window, runId, slave, result] {
        TPollResultEvent event(runId, slave, result);
        QCoreApplication::sendEvent(window, &event);
    };
    const auto now = std::chrono::steady_clock::now();
    if (now - LastResultWake >= ResultWakePeriod) {
        LastResultWake = now;
        Queue.Post(std::move(deliver));
    } else {
        Queue.PostQuiet(std::move(deliver));
    }
}

void TQtPollHost::SendCaptionChanged() {
    // The reply is late: results queued quietly before it would otherwise wait
    // for it, up to the whole Poll Timeout; they are shown now.
    Queue.Post([] {});
    // At thousands of polls a second one notice in flight is enough: the window
    // shows the newest caption when it takes the notice.
    if (!CaptionPending.exchange(true))
        QCoreApplication::postEvent(&Window, new TSendCaptionEvent());
}

void TQtPollHost::DiscardInput() {
    std::vector<char> bytes = Comm.DiscardInput();
    if (!bytes.empty())
        QCoreApplication::postEvent(&Window, new TDiscardedEvent(std::move(bytes)));
}

void TQtPollHost::LineHeld() {
    QCoreApplication::postEvent(&Window, new TLineHeldEvent());
}

void TQtPollHost::ResultHandled() {
    --Unhandled;
}

void TQtPollHost::CaptionTaken() {
    CaptionPending = false;
}

void TQtPollHost::ResetBacklog() {
    FMaxBacklog = Unhandled.load();
}
