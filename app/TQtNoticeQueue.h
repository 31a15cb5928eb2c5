#pragma once

#include "TNoticeQueue.h"

#include <QObject>

#include <deque>
#include <exception>
#include <functional>
#include <mutex>

/// The serial link's way into Qt's window thread: items run inside Qt's event
/// loop (nested loops included), one at a time, in the order they were
/// posted. They are run in slices of a few milliseconds, each slice one event
/// of this object, so that a flood of items never keeps the loop from input
/// and painting: a click on Stop is seen within one slice. Create it on the
/// window thread. Items still queued when it is destroyed are dropped.
class TQtNoticeQueue final : public QObject, public TNoticeQueue {
    Q_OBJECT
public:
    explicit TQtNoticeQueue(QObject* parent = nullptr);
    ~TQtNoticeQueue() override;

    /// Any thread.
    void Post(TItem item) override;
    void PostQuiet(TItem item) override;
    /// Any thread: items posted quietly run soon, without waiting for a post.
    void Wake();

    /// Called on the window thread with an error that escaped an item.
    std::function<void(const std::exception&)> OnError;

protected:
    void customEvent(QEvent* event) override;

private:
    /// Window thread: runs items until none is left or the slice is over.
    void RunSlice();

    std::mutex Mutex;
    std::deque<TItem> Items;   // guarded by Mutex
    bool SlicePending = false; // guarded by Mutex: a slice event waits in Qt's queue
};
