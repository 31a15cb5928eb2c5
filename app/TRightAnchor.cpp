#include "TRightAnchor.h"

#include <QEvent>
#include <QWidget>

TRightAnchor::TRightAnchor(QWidget& parent, const std::vector<QWidget*>& children)
    : QObject(&parent), Parent(parent) {
    for (QWidget* child : children)
        Anchored.push_back({child, parent.width() - child->x()});
    parent.installEventFilter(this);
}

bool TRightAnchor::eventFilter(QObject* watched, QEvent* event) {
    if (watched == &Parent && event->type() == QEvent::Resize)
        for (const TAnchored& anchored : Anchored)
            anchored.Child->move(Parent.width() - anchored.RightDistance, anchored.Child->y());
    return QObject::eventFilter(watched, event);
}
