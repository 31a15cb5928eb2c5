#pragma once

#include "TWindowQueue.h"

#include <QObject>

#include <exception>
#include <functional>

/// The serial link's way into Qt's window thread: each item becomes an event
/// posted to this object, so items run inside Qt's event loop (nested loops
/// included), one at a time, in the order they were posted. Create it on the
/// window thread. Items still queued when it is destroyed are dropped.
class TQtWindowQueue final : public QObject, public TWindowQueue {
    Q_OBJECT
public:
    explicit TQtWindowQueue(QObject* parent = nullptr);

    /// Any thread.
    void Post(TItem item) override;

    /// Called on the window thread with an error that escaped an item.
    std::function<void(const std::exception&)> OnError;

protected:
    void customEvent(QEvent* event) override;
};
