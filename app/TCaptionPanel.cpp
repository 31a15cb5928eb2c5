#include "TCaptionPanel.h"

TCaptionPanel::TCaptionPanel(QWidget* parent) : QLabel(parent) {
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    setTextFormat(Qt::PlainText);
}

QSize TCaptionPanel::sizeHint() const {
    return {100, minimumSizeHint().height()};
}

QSize TCaptionPanel::minimumSizeHint() const {
    const QMargins margins = contentsMargins();
    return {0, fontMetrics().height() + margins.top() + margins.bottom()};
}
