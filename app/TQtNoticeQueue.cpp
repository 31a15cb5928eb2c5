#include "TQtNoticeQueue.h"

#include <QCoreApplication>
#include <QEvent>

#include <chrono>

namespace {

const QEvent::Type SliceEventType = static_cast<QEvent::Type>(QEvent::registerEventType());

// Short enough that input and painting never wait noticeably, long enough
// that a slice costs little beside the items it runs.
constexpr auto SliceLength = std::chrono::milliseconds(8);

} // namespace

TQtNoticeQueue::TQtNoticeQueue(QObject* parent) : QObject(parent) {}

TQtNoticeQueue::~TQtNoticeQueue() {
    std::deque<TItem> dropped;
    std::scoped_lock lock(Mutex);
    dropped.swap(Items);
}

void TQtNoticeQueue::Post(TItem item) {
    {
        std::scoped_lock lock(Mutex);
        Items.push_back(std::move(item));
        if (SlicePending)
            return;
        SlicePending = true;
    }
    QCoreApplication::postEvent(this, new QEvent(SliceEventType));
}

void TQtNoticeQueue::PostQuiet(TItem item) {
    // Runs in the slice of the next item posted with a wake-up.
    std::scoped_lock lock(Mutex);
    Items.push_back(std::move(item));
}

void TQtNoticeQueue::Wake() {
    {
        std::scoped_lock lock(Mutex);
        if (Items.empty() || SlicePending)
            return;
        SlicePending = true;
    }
    QCoreApplication::postEvent(this, new QEvent(SliceEventType));
}

void TQtNoticeQueue::customEvent(QEvent* event) {
    if (event->type() == SliceEventType)
        RunSlice();
}

void TQtNoticeQueue::RunSlice() {
    {
        // From here on a new item posts a new slice: an item that runs a
        // nested event loop (a message box) still lets later items run.
        std::scoped_lock lock(Mutex);
        SlicePending = false;
    }
    const auto end = std::chrono::steady_clock::now() + SliceLength;
    for (;;) {
        TItem item;
        {
            std::scoped_lock lock(Mutex);
            if (Items.empty())
                return;
            if (std::chrono::steady_clock::now() >= end) {
                // The rest in a later slice, after what else waits in the loop.
                if (!SlicePending) {
                    SlicePending = true;
                    QCoreApplication::postEvent(this, new QEvent(SliceEventType));
                }
                return;
            }
            item = std::move(Items.front());
            Items.pop_front();
        }
        // An exception must not unwind through Qt's event loop.
        try {
            if (item)
                item();
        } catch (const std::exception& error) {
            if (OnError)
                OnError(error);
        }
    }
}
