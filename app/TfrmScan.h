#pragma once

#include "TBusScan.h"

#include <QDialog>

#include <functional>
#include <memory>
#include <vector>

class QCheckBox;
class TRunSession;

namespace Ui {
class TfrmScan;
}

/// The scan dialog: the range, the rates, the parities and the wait of a scan;
/// its progress with the time left; the devices as they are found. It shows
/// what the session's scan (TBusScan) finds; "使用此设置" hands the chosen
/// device to the main window. The scan ends when the dialog goes.
class TfrmScan final : public QDialog, private TScanListener {
    Q_OBJECT
public:
    /// `plan` gives the port, the read, the stop bits and the RS-485 choice;
    /// the dialog offers the rest.
    TfrmScan(TRunSession& session, TScanPlan plan, QWidget* parent = nullptr);
    ~TfrmScan() override;

    /// The device picked with "使用此设置"; the dialog closes after it.
    std::function<void(const TScanFind& find)> OnUse;
    /// A line for the main window's error list (the port did not open, a
    /// setting the driver refused).
    std::function<void(const TInfoLine& line)> OnLine;

    void btnStartClick();
    void btnStopClick();
    void btnUseClick();

    /// The plan the controls make now; empty rates or parities when none is ticked.
    TScanPlan Plan() const;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void ScanFound(const TScanFind& find) override;
    void ScanProgress(const TScanProgress& progress) override;
    void ScanLine(const TInfoLine& line) override;
    void ScanEnded(const TScanEnd& end) override;
    /// Controls for a scan that is on, or not.
    void ShowScanning(bool on);

    std::unique_ptr<Ui::TfrmScan> ui;
    TRunSession& Session;
    TScanPlan Defaults;
    std::vector<std::pair<QCheckBox*, std::int32_t>> BaudBoxes;
    std::vector<TScanFind> Found;
    bool Scanning = false;
};
