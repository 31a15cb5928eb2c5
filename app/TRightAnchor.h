#pragma once

#include <QObject>

#include <vector>

class QWidget;

/// Keeps child widgets at their designed distance from the right edge of their
/// parent while the parent is resized.
class TRightAnchor final : public QObject {
    Q_OBJECT
public:
    /// `parent` must already have its designed width and `children` their
    /// designed places; the distances are taken from them now.
    TRightAnchor(QWidget& parent, const std::vector<QWidget*>& children);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct TAnchored {
        QWidget* Child;
        int RightDistance;
    };
    QWidget& Parent;
    std::vector<TAnchored> Anchored;
};
