#pragma once

#include "TfrmMain.h"

#include <QTest>

#include <memory>

/// Lets the window's event loop run until every notice posted to its queue so far has run
/// (they run in the order they were posted). Once the threads that post have ended (the
/// run stopped and the port closed), the window has then heard everything they said.
/// False when that took longer than `timeoutMs`.
inline bool RunPostedNotices(TfrmMain& window, int timeoutMs = 5000) {
    const auto ran = std::make_shared<bool>(false);
    window.Notices().Post([ran] { *ran = true; });
    return QTest::qWaitFor([&] { return *ran; }, timeoutMs);
}
