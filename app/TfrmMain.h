#pragma once

#include "TComDataPacket.h"
#include "TComPort.h"
#include "TComm.h"
#include "TInfoListModel.h"
#include "TLinkKeeper.h"
#include "TPollingRun.h"
#include "TQtPollHost.h"
#include "TQtNoticeQueue.h"
#include "TRunClock.h"

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
class QEventLoop;
class QLabel;

namespace Ui {
class TfrmMain;
}

/// The verifier's one window. It renders what the run logic (TPollingRun and
/// the program-wide RunState) produces; its handlers keep the names of the
/// controls and events they serve.
class TfrmMain final : public QWidget {
    Q_OBJECT
public:
    /// Creates the window and runs FormCreate, which loads the settings from
    /// `configPath` (Config.ini beside the executable in the program).
    explicit TfrmMain(std::string configPath, QWidget* parent = nullptr);
    ~TfrmMain() override;

    /// The wall clock for the status line and the error-line stamps.
    void SetClock(const TRunClock& clock) {
        Clock = &clock;
        Link.SetClock(clock);
    }

    TComm& Comm() { return Comm1; }
    TComPort& ComPort() { return ComPort1; }
    TQtPollHost& PollHost() { return FPollHost; }
    TInfoListModel& InfoModel() { return *InfoList; }
    TLinkKeeper& LinkKeeper() { return Link; }

    /// Asks where to save a file: (caption, suggested file name, filter) to the
    /// picked path, empty when the user cancels. A save dialog in the program;
    /// tests put their own answer here.
    using TSavePathQuery =
        std::function<QString(const QString& caption, const QString& name, const QString& filter)>;
    TSavePathQuery AskSavePath;

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
    /// Opens Comm1 with the current settings, then pauses 100 ms, unless it is
    /// open with them already (or serves a run); raises the open failure.
    void EnsurePortOpen();
    void timerWaitResponseTimer();

    // Export from the error list and the result table (context menus).
    void actInfoCopyExecute();
    void actInfoCopyAllExecute();
    void actInfoExportExecute();
    void actResultCopyExecute();
    void actResultExportCsvExecute();
    /// The result table as CSV: Id, values, OK, FAIL and the response times.
    QString ResultCsv() const;

    // Replies and results.
    /// One error line when the port opened without the RS-485 direction
    /// control its settings ask for.
    void ShowDirectionControlLine();
    void Comm1ReceiveData(TComm& Sender, const char* Buffer, std::uint16_t BufferLength);
    void ApplicationEvents1Message(TPollResultEvent& Msg, bool& Handled);

protected:
    /// The application-events hook: installed on the application, it sees every
    /// event before its dispatch, nested event loops included.
    bool eventFilter(QObject* watched, QEvent* event) override;
    bool event(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    /// Runs a handler; an error that escapes it is shown in a message box.
    template <class THandler> void Guarded(THandler&& handler);
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
    /// Opens Comm1 with the current settings; a port open with other ones is
    /// closed first. Raises the open failure the user sees.
    void OpenPortAsSet();
    /// Drops the reader's unfinished block and the device's waiting input (see
    /// TComm::DiscardInput); dropped bytes become one error-list line.
    void DiscardInput(std::optional<std::uint16_t> blockLength = std::nullopt);
    /// Runs the window's events until `done` holds; WakeCoilWaits makes it look.
    /// Sends one coil command to the slave shown in Poll From and waits for its
    /// echo or the time-out; the outcome is one line in the error list.
    void SendCoilCommand(TCoilAction action, const char* successLine, const char* timeoutLine);
    void WaitForCoil(const std::function<bool()>& done);
    /// Lets every waiting coil command look at what it waits for again.
    void WakeCoilWaits();
    /// The run state's send caption into the send panel, if it has changed.
    void ShowSendCaption();
    /// During a run the table and both panels are redrawn at most once a
    /// display frame: results and captions wait here and go in together, so
    /// thousands of polls a second cost a few repaints, not thousands. The
    /// counts themselves are kept at once (TPollingRun); only the showing waits.
    void ShowRowUpdate(TRowUpdate update);
    void ShowReceiveCaption(QString caption);
    void ScheduleDisplay();
    /// Puts what waits into the table and the panels now.
    void FlushDisplay();

    std::unique_ptr<Ui::TfrmMain> ui;
    std::string ConfigPath;
    const TRunClock* Clock = &SystemClock();

    // The port-settings component and its packet collector outlive nothing
    // that points at them: their destructors unbind the LED and the combo box.
    TComPort ComPort1;
    TComDataPacket ComDataPacket1;
    TQtNoticeQueue NoticeQueue;
    TComm Comm1;
    TQtPollHost FPollHost;
    TPollingRun Run;
    /// Open failures, refused rates, dropped data and a vanished port as error lines.
    TLinkKeeper Link;
    TInfoListModel* InfoList = nullptr;
    QButtonGroup* FrameBreakGroup = nullptr;
    QLabel* StatusPanels[3] = {};
    QTimer* Timer1 = nullptr;
    QTimer* timerWaitResponse = nullptr;
    QTimer* DisplayTimer = nullptr;
    /// Rows with a result not yet shown, each with the newest texts.
    std::vector<std::optional<TRowUpdate>> PendingRows;
    std::vector<std::size_t> PendingRowOrder;
    std::optional<QString> PendingReceiveCaption;
    bool PendingSendCaption = false;
    /// Monotonic time of the last flush.
    std::chrono::steady_clock::time_point LastDisplay;
    /// The event loops of the coil commands now waiting, innermost last.
    std::vector<QEventLoop*> CoilWaits;
    /// The settings Comm1 was last opened with.
    std::optional<TPortSettings> OpenedWith;
    bool FormShown = false;
    /// A box about the settings file was shown and no write has gone through since.
    bool SettingsBoxShown = false;
};
