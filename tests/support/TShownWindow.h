#pragma once

#include "TFakeClock.h"
#include "TTempConfig.h"
#include "TfrmMain.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <QVariant>
#include <QWidget>

#include <memory>
#include <string>

/// The settings a test writes into the window's Config.ini.
struct TWindowSettings {
    std::string Port;
    int PollFrom = 1;
    int PollTo = 1;
    int PollTimeout = 150;
    int PollInterval = 1;
    int FrameBreakMode = 1;
    int ReadInterval = 20;
    int RegisterBegin = 0;
    int RegisterCount = 2;
    int FunctionCode = 3;
    std::string ValueFormat = "int32:abcd";
    std::string Extra = {}; ///< more of Config.ini, after the settings

    std::string ConfigText() const {
        return "[Communication]\nComm Port=" + Port +
               "\nBaud Rate=115200\nPoll Interval=" + std::to_string(PollInterval) +
               "\nPoll Timeout=" + std::to_string(PollTimeout) +
               "\nPoll From=" + std::to_string(PollFrom) + "\nPoll To=" + std::to_string(PollTo) +
               "\nFrameBreakMode=" + std::to_string(FrameBreakMode) +
               "\nReadInterval=" + std::to_string(ReadInterval) +
               "\n[Modbus]\nRegister Begin=" + std::to_string(RegisterBegin) +
               "\nRegister Count=" + std::to_string(RegisterCount) +
               "\nFunction Code=" + std::to_string(FunctionCode) + "\nValue Format=" + ValueFormat +
               "\n" + Extra;
    }
};

/// Where the window reads the time: the system's clock, or `TShownWindow::Clock`, which
/// moves only when the test moves it.
enum class TWindowClock { System, Fake };

/// The main window on a Config.ini of its own, shown (offscreen in tests), with the
/// controls the tests click and read.
class TShownWindow {
public:
    explicit TShownWindow(const TWindowSettings& settings,
                          TWindowClock clock = TWindowClock::System)
        : Settings(settings), Config(settings.ConfigText()) {
        Window = std::make_unique<TfrmMain>(Config.Path());
        if (clock == TWindowClock::Fake)
            Window->SetClock(Clock);
        Window->show();
        (void)QTest::qWaitForWindowExposed(Window.get());
    }

    template <class T> T& Child(const char* name) {
        T* child = Window->findChild<T*>(QString::fromLatin1(name));
        if (child == nullptr)
            qFatal("no control %s", name);
        return *child;
    }

    void Click(const char* button) {
        QTest::mouseClick(&Child<QPushButton>(button), Qt::LeftButton);
    }
    /// Clicks and returns how long the click's handler took, in ms.
    qint64 TimedClick(const char* button) {
        QElapsedTimer timer;
        timer.start();
        Click(button);
        return timer.elapsed();
    }

    /// The caption of a panel or label (the send and receive panels), read through the
    /// property system so that it does not matter which widget class shows it.
    QString Caption(const char* panel) {
        const QWidget& widget = Child<QWidget>(panel);
        const QVariant caption = widget.property("Caption");
        return caption.isValid() ? caption.toString() : widget.property("text").toString();
    }
    QString StartCaption() { return Child<QPushButton>("btnStart").text(); }
    /// The status bar's panel 0 or 1.
    QString Panel(int index) {
        return Child<QLabel>(index == 0 ? "StatusBar1Panel0" : "StatusBar1Panel1").text();
    }
    QStringList Info() { return Window->InfoModel().Lines(); }

    QTableWidget& Table() { return Child<QTableWidget>("lvResult"); }
    QString Cell(int row, int column) {
        const QTableWidgetItem* item = Table().item(row, column);
        return item != nullptr ? item->text() : QString();
    }
    QString Header(int column) { return Table().horizontalHeaderItem(column)->text(); }
    /// The slave's Value cells, from the first.
    QStringList Values(int slave) {
        QStringList values;
        for (int i = 1; i <= Settings.RegisterCount / 2; ++i)
            values << Cell(slave - Settings.PollFrom, i);
        return values;
    }
    /// The slave's OK and FAIL cells as numbers; a cell still empty (no result yet) is 0.
    int Ok(int slave) {
        return Cell(slave - Settings.PollFrom, Settings.RegisterCount / 2 + 1).toInt();
    }
    int Fail(int slave) {
        return Cell(slave - Settings.PollFrom, Settings.RegisterCount / 2 + 2).toInt();
    }

    TWindowSettings Settings;
    TTempConfig Config;
    TFakeClock Clock;
    std::unique_ptr<TfrmMain> Window;
};
