#pragma once

#include "TQtPollHost.h"
#include "TRunState.h"

#include <QApplication>
#include <QEvent>
#include <QObject>

#include <vector>

/// Sees every poll result the poll thread posts to the window (WM_POLL_RESULT), ahead of
/// the window's own hook, including results the window ignores because the run has stopped.
class TPollResultRecorder final : public QObject {
public:
    struct TResult {
        int Slave = 0;
        bool Good = false;
        /// Handled after the test clicked Stop.
        bool AfterStop = false;
    };

    TPollResultRecorder() { qApp->installEventFilter(this); }
    ~TPollResultRecorder() override { qApp->removeEventFilter(this); }
    TPollResultRecorder(const TPollResultRecorder&) = delete;
    TPollResultRecorder& operator=(const TPollResultRecorder&) = delete;

    /// Results from now on count as arriving after Stop.
    void MarkStop() { Stopped = true; }

    std::vector<TResult> Results;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == TPollResultEvent::EventType()) {
            const auto* result = static_cast<const TPollResultEvent*>(event);
            Results.push_back({result->WParam, result->LParam == PollResultGood, Stopped});
        }
        return QObject::eventFilter(watched, event);
    }

private:
    bool Stopped = false;
};
