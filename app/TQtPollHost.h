#pragma once

#include "TPollThread.h"

#include <QEvent>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <vector>

class QObject;
class TComm;
class TNoticeQueue;

/// WM_POLL_RESULT as a Qt event: the polled address (wParam) and 0 for a good
/// reply or 1 for a time-out (lParam), tagged with its run.
class TPollResultEvent final : public QEvent {
public:
    TPollResultEvent(std::uint32_t runId, std::int32_t slave, std::int32_t result);
    static QEvent::Type EventType();

    std::uint32_t RunId;
    std::int32_t WParam;
    std::int32_t LParam;
};

/// Bytes the poll thread dropped before a request.
class TDiscardedEvent final : public QEvent {
public:
    explicit TDiscardedEvent(std::vector<char> bytes);
    static QEvent::Type EventType();

    std::vector<char> Bytes;
};

/// The poll thread holds between two polls: a waiting coil command has the line.
class TLineHeldEvent final : public QEvent {
public:
    TLineHeldEvent();
    static QEvent::Type EventType();
};

/// The send panel's caption has changed (see TRunState::SendCaption).
class TSendCaptionEvent final : public QEvent {
public:
    TSendCaptionEvent();
    static QEvent::Type EventType();
};

/// The poll thread's way out in the window: requests go to the serial link,
/// results are posted as WM_POLL_RESULT to the main window, caption changes as
/// one pending notice at most (the window reads the newest caption).
///
/// A result travels in the window queue, behind the blocks received before it,
/// and is sent to the window from there, so the application's hook sees it as
/// before. It wakes the window thread only when no result has done so for a
/// while (ResultWakePeriod): at full speed the result of a prompt poll rides
/// along with the next reply, and the window thread wakes once a poll, not twice.
class TQtPollHost final : public TPollHost {
public:
    static constexpr std::chrono::milliseconds ResultWakePeriod{20};

    TQtPollHost(TComm& comm, QObject& window, TNoticeQueue& queue);

    void SendRequest(const TFrame8& request) override;
    void PostPollResult(std::uint32_t runId, std::int32_t slave, std::int32_t result) override;
    void SendCaptionChanged() override;
    void DiscardInput() override;
    void LineHeld() override;

    /// Window thread: a TPollResultEvent has been handled.
    void ResultHandled();
    /// Window thread: a TSendCaptionEvent has been taken; the next change posts again.
    void CaptionTaken();

    /// Result events posted and not yet handled now.
    std::int64_t Backlog() const { return Unhandled; }
    /// Most result events ever posted and not yet handled at one time.
    std::int64_t MaxBacklog() const { return FMaxBacklog; }
    void ResetBacklog();

private:
    TComm& Comm;
    QObject& Window;
    TNoticeQueue& Queue;
    /// Poll thread only (one at a time; the next starts after the last has ended).
    std::chrono::steady_clock::time_point LastResultWake;
    std::atomic<bool> CaptionPending{false};
    std::atomic<std::int64_t> Unhandled{0};
    std::atomic<std::int64_t> FMaxBacklog{0};
};
