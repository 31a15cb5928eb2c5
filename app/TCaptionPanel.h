#pragma once

#include <QLabel>

/// A panel that shows one line of caption, left-justified and centred
/// vertically. Its size hints do not depend on the caption, so a new caption,
/// set thousands of times a second during a run, costs no text layout when
/// the splitter around it lays itself out again: only the repaint draws it.
class TCaptionPanel final : public QLabel {
    Q_OBJECT
public:
    explicit TCaptionPanel(QWidget* parent = nullptr);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
};
