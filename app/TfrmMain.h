#pragma once

#include "TComDataPacket.h"
#include "TComPort.h"
#include "TComm.h"
#include "TInfoListModel.h"
#include "TQtNoticeQueue.h"
#include "TRunClock.h"
#include "TRunSession.h"

#include <QDialog>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

class QButtonGroup;
class QDialog;
class QLabel;

namespace Ui {
class TfrmMain;
}

/// The verifier's one window. It shows what the run logic (TRunSession: the
/// serial link, the run, the coil command) counts and says; nothing it does
/// decides a verdict. Its handlers keep the names of the controls and events
/// they serve.
class TfrmMain final : public QWidget, private TRunListener {
    Q_OBJECT
public:
    /// Creates the window and runs FormCreate, which loads the settings from
    /// `configPath` (Config.ini beside the executable in the program).
    explicit TfrmMain(std::string configPath, QWidget* parent = nullptr);
    ~TfrmMain() override;

    /// The wall clock for the status line and the error-line stamps.
    void SetClock(const TRunClock& clock) {
        Clock = &clock;
        Session.SetClock(clock);
    }

    TComm& Comm() { return Session.Comm1; }
    TComPort& ComPort() { return ComPort1; }
    TInfoListModel& InfoModel() { return *InfoList; }
    TRunSession& RunSession() { return Session; }
    /// The queue through which the run reaches this window (tests hold it on purpose).
    TQtNoticeQueue& Notices() { return NoticeQueue; }

    /// Asks where to save a file: (caption, suggested file name, filter) to the
    /// picked path, empty when the user cancels. A save dialog in the program;
    /// tests put their own answer here.
    using TSavePathQuery =
        std::function<QString(const QString& caption, const QString& name, const QString& filter)>;
    TSavePathQuery AskSavePath;
    /// Runs the limits dialog; true when it was accepted. Its exec() in the
    /// program; tests fill and accept it themselves.
    std::function<bool(QDialog& dialog)> OpenLimitsDialog;

    // Window events.
    void FormCreate();
    void FormShow();

    // The ten settings handlers: each stores its control's value at once.
    void spePollFromChange();
    void spePollToChange();
    void speRBeginChange();
    void speRCountChange();
    void spePollIntervalChange();
    void spePollTimeoutChange();
    void speReadIntervalChange();
    void cbbComPortChange();
    void cbbBaudChange();
    void cbbFunctionCodeChange();
    void cbbValueFormatChange();
    void rgFrameBreakModeClick();

    /// Port name, baud rate and frame-break settings from the parameters into Comm1.
    void ApplyCommSettings();
    void btnClearInfoClick();

    // The run and its controls.
    void btnStartClick();
    void btnClearClick();
    void Timer1Timer();
    void StartPolling();
    void StopPolling();

    // Coil commands.
    void btnZeroClick();
    void btnUnZeroClick();

    // Export from the error list and the result table (context menus).
    void actInfoCopyExecute();
    void actInfoCopyAllExecute();
    void actInfoExportExecute();
    void actResultCopyExecute();
    void actResultExportCsvExecute();
    /// "导出报告…": the run's record as HTML, or PDF when the file is named so.
    void actResultReportExecute();

    // Limits and verdicts.
    /// "判定条件…": edits the limits; OK writes them into Config.ini.
    void btnLimitsClick();
    /// The limits the next run judges by.
    const TLimits& Limits() const { return FLimits; }
    /// The result table as CSV: Id, values, OK, FAIL and the response times.
    QString ResultCsv() const;

    // What the run reports.
    /// Lines for the error list.
    void Comm1ReceiveData();
    /// Puts the rows with new results and the panels' captions on screen.
    void FlushDisplay();

    // Commissioning (TfrmMainCommission.cpp): the line's parity and stop bits,
    // the scan for the devices on the line and the use of one it found.
    void cbbParityChange();
    void cbbStopBitsChange();
    void btnScanClick();
    /// The device's rate, parity, stop bits and address into the boxes and Config.ini.
    void UseScanFind(const TScanFind& find);

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    /// Runs a handler; an error that escapes it is shown in a message box.
    void Guarded(const std::function<void()>& handler);
    /// A message box with `text`, and the system's reason below it when there is one.
    void ShowError(const QString& text, std::error_code reason = {});
    void ConnectHandlers();
    void SetupStatusBar();
    void SetupContextMenus();
    /// Writes `text` as UTF-8 with a byte-order mark to a file the user picks.
    void SaveText(const QString& caption, const QString& name, const QString& filter,
                  const QString& text);
    bool RunOn() const;
    /// Ends a run and closes the port, as Stop does, before the window goes away.
    void ShutDown();
    /// Sends one coil command to the slave shown in Poll From; its result is
    /// a line in the error list, and the buttons are usable again then.
    void SendCoilCommand(TCoilAction action);
    /// The run's notices, on the window thread.
    void LinesReady() override;
    void DisplayChanged() override;
    /// During a run the table and both panels are redrawn at most once a
    /// display frame, so thousands of polls a second cost a few repaints.
    void ScheduleDisplay();
    /// Gives the table the width its columns need, from the error list.
    void FitTable();
    /// The 判定 cell of `row`: 合格 on green or 不合格 on red, the reasons as its tooltip.
    void ShowVerdict(int row, const TVerdict& verdict);
    /// The commissioning controls' wiring; FormShow's part for them; the scan
    /// dialog closed, before the window goes.
    void SetupCommissioning();
    void ShowLineFraming();
    void CloseScan();

    std::unique_ptr<Ui::TfrmMain> ui;
    std::string ConfigPath;
    const TRunClock* Clock = &SystemClock();

    // The port-settings component and its packet collector outlive nothing
    // that points at them: their destructors unbind the LED and the combo box.
    TComPort ComPort1;
    TComDataPacket ComDataPacket1;
    TQtNoticeQueue NoticeQueue;
    TInfoListModel* InfoList = nullptr;
    /// The serial link Comm1, the run, the link keeper and the coil command.
    TRunSession Session;
    QButtonGroup* FrameBreakGroup = nullptr;
    QLabel* StatusPanels[3] = {};
    QTimer* Timer1 = nullptr;
    QTimer* DisplayTimer = nullptr;
    /// Monotonic time of the last flush.
    std::chrono::steady_clock::time_point LastDisplay;
    bool FormShown = false;
    /// The limits the next run judges by: Config.ini's section Limits, then the
    /// dialog's.
    TLimits FLimits;
    /// The table's OK, FAIL and 判定 columns (-1 for no 判定 column).
    int OkColumn = 1;
    int FailColumn = 2;
    int VerdictColumn = -1;
    /// FormShow is putting the file's values into the controls.
    bool Showing = false;
    /// A box about the settings file was shown and no write has gone through since.
    bool SettingsBoxShown = false;
    /// The scan dialog while it is open.
    QPointer<QDialog> ScanDialog;
};
