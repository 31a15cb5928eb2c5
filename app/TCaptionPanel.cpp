#include "TCaptionPanel.h"

#include <QPainter>

namespace {

constexpr int CaptionIndent = 2;

} // namespace

TCaptionPanel::TCaptionPanel(QWidget* parent) : QFrame(parent) {
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
}

void TCaptionPanel::SetCaption(const QString& caption) {
    if (caption == FCaption)
        return;
    FCaption = caption;
    update();
}

QSize TCaptionPanel::sizeHint() const {
    return {100, fontMetrics().height() + 2 * frameWidth()};
}

QSize TCaptionPanel::minimumSizeHint() const {
    return {0, fontMetrics().height() + 2 * frameWidth()};
}

void TCaptionPanel::paintEvent(QPaintEvent* event) {
    QFrame::paintEvent(event);
    QPainter painter(this);
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawText(contentsRect().adjusted(CaptionIndent, 0, 0, 0),
                     Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, FCaption);
}
