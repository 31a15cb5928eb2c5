#pragma once

#include <QFrame>
#include <QString>

/// A panel that shows one line of caption, left-justified and centred
/// vertically. A new caption only repaints the panel: its size never depends
/// on the caption, so changing it thousands of times a second costs no layout.
class TCaptionPanel final : public QFrame {
    Q_OBJECT
    Q_PROPERTY(QString Caption READ Caption WRITE SetCaption)

public:
    explicit TCaptionPanel(QWidget* parent = nullptr);

    const QString& Caption() const { return FCaption; }
    void SetCaption(const QString& caption);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString FCaption;
};
