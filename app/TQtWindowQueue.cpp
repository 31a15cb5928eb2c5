#include "TQtWindowQueue.h"

#include <QCoreApplication>
#include <QEvent>

namespace {

const QEvent::Type ItemEventType = static_cast<QEvent::Type>(QEvent::registerEventType());

class TItemEvent final : public QEvent {
public:
    explicit TItemEvent(TWindowQueue::TItem item) : QEvent(ItemEventType), Item(std::move(item)) {}
    TWindowQueue::TItem Item;
};

} // namespace

TQtWindowQueue::TQtWindowQueue(QObject* parent) : QObject(parent) {}

void TQtWindowQueue::Post(TItem item) {
    QCoreApplication::postEvent(this, new TItemEvent(std::move(item)));
}

void TQtWindowQueue::customEvent(QEvent* event) {
    if (event->type() != ItemEventType)
        return;
    auto& item = static_cast<TItemEvent*>(event)->Item;
    // An exception must not unwind through Qt's event loop.
    try {
        if (item)
            item();
    } catch (const std::exception& error) {
        if (OnError)
            OnError(error);
    }
}
