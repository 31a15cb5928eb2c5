#pragma once
// A run session on a device played on a pseudo-terminal (a COM-port pair under
// wine), its notices pumped by the test as a front end would, its lines kept.
#include "TFakeClock.h"
#include "TPtyDevice.h"
#include "TRunSession.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

class TSessionTest : public ::testing::Test, protected TRunListener {
protected:
    TSessionTest() {
        Session.SetClock(FakeClock);
        Settings.CommName = Device.Path();
        Settings.BaudRate = 115200;
        Settings.PollFrom = Settings.PollTo = 1;
        Settings.PollTimeout = 150;
        Settings.PollInterval = 1;
        Settings.FrameBreakMode = 1;
        Settings.RegisterCount = 2;
    }
    ~TSessionTest() override {
        Device.SetScript({});
        Session.StopRun();
        Session.ClosePort();
    }

    void LinesReady() override {
        for (const TInfoLine& line : Session.Run.TakeLines())
            Lines.push_back(line.Text);
    }

    TPtyDevice Device;
    TFakeClock FakeClock;
    TManualNoticeQueue Queue;
    TRunSession Session{Queue, *this};
    TRunSettings Settings;
    std::vector<std::string> Lines;
};
