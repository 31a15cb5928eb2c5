#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <functional>

/// Closes every message box that opens while it lives, keeping the texts in
/// order; `onOpen` may look at the window while the box's own event loop runs
/// and decides when to close it (return true to close).
class TMessageBoxCatcher final : public QObject {
public:
    using TOnOpen = std::function<bool(QMessageBox& box)>;

    explicit TMessageBoxCatcher(TOnOpen onOpen = {}) : OnOpen(std::move(onOpen)) {
        Poll.setInterval(10);
        connect(&Poll, &QTimer::timeout, this, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr)
                return;
            if (OnOpen && !OnOpen(*box))
                return;
            Texts << box->text();
            box->done(QMessageBox::Ok);
        });
        Poll.start();
    }

    QStringList Texts;

private:
    TOnOpen OnOpen;
    QTimer Poll;
};
