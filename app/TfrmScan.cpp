#include "TfrmScan.h"

#include "TRunSession.h"
#include "TSettingsTable.h"
#include "ui_TfrmScan.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QHeaderView>
#include <QTableWidgetItem>

#include <algorithm>

namespace {

constexpr int BaudColumns = 5;

QString ParityName(TLineParity parity) {
    switch (parity) {
    case TLineParity::Even:
        return QStringLiteral("偶校验");
    case TLineParity::Odd:
        return QStringLiteral("奇校验");
    case TLineParity::None:
        break;
    }
    return QStringLiteral("无校验");
}

} // namespace

TfrmScan::TfrmScan(TRunSession& session, TScanPlan plan, QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui::TfrmScan>()), Session(session),
      Defaults(std::move(plan)) {
    ui->setupUi(this);
    setWindowTitle(windowTitle() + QStringLiteral(" - ") +
                   QString::fromStdString(Defaults.CommName));
    // The addresses a run accepts; the whole unicast range to begin with.
    const TSettingEntry& address = SettingEntry(TSettingId::PollFrom);
    for (QSpinBox* box : {ui->speFrom, ui->speTo})
        box->setRange(address.Min, address.Max);
    ui->speFrom->setValue(DefaultScanFrom);
    ui->speTo->setValue(DefaultScanTo);
    ui->cbbStopBits->setCurrentIndex(Defaults.StopBits == 2 ? 1 : 0);
    ui->speTurnaround->setValue(static_cast<int>(DefaultScanTurnaround.count()));

    // One box per rate of the window's list, the common ones ticked.
    const std::vector<std::int32_t>& common = CommonScanBaudRates();
    int index = 0;
    for (const std::int32_t rate : ScanBaudRates()) {
        auto* box = new QCheckBox(QString::number(rate), ui->grpBauds);
        box->setObjectName(QStringLiteral("chkBaud%1").arg(rate));
        box->setChecked(std::find(common.begin(), common.end(), rate) != common.end());
        ui->layBauds->addWidget(box, index / BaudColumns, index % BaudColumns);
        BaudBoxes.emplace_back(box, rate);
        ++index;
    }
    const std::vector<TLineParity>& parities = DefaultScanParities();
    const auto ticked = [&](TLineParity parity) {
        return std::find(parities.begin(), parities.end(), parity) != parities.end();
    };
    ui->chkParityN->setChecked(ticked(TLineParity::None));
    ui->chkParityE->setChecked(ticked(TLineParity::Even));
    ui->chkParityO->setChecked(ticked(TLineParity::Odd));

    ui->lvFound->horizontalHeader()->setStretchLastSection(true);
    ui->lvFound->verticalHeader()->setVisible(false);
    connect(ui->btnStart, &QPushButton::clicked, this, [this] { btnStartClick(); });
    connect(ui->btnStop, &QPushButton::clicked, this, [this] { btnStopClick(); });
    connect(ui->btnUse, &QPushButton::clicked, this, [this] { btnUseClick(); });
    connect(ui->btnClose, &QPushButton::clicked, this, &QDialog::reject);
    connect(ui->lvFound, &QTableWidget::itemSelectionChanged, this,
            [this] { ShowScanning(Scanning); });
    connect(ui->lvFound, &QTableWidget::cellDoubleClicked, this, [this] { btnUseClick(); });
    ShowScanning(false);
}

TfrmScan::~TfrmScan() {
    // Nothing of the scan may reach a dialog that is gone.
    Session.Scan.Cancel();
}

TScanPlan TfrmScan::Plan() const {
    TScanPlan plan = Defaults;
    plan.From = ui->speFrom->value();
    plan.To = ui->speTo->value();
    plan.BaudRates.clear();
    for (const auto& [box, rate] : BaudBoxes)
        if (box->isChecked())
            plan.BaudRates.push_back(rate);
    plan.Parities.clear();
    if (ui->chkParityN->isChecked())
        plan.Parities.push_back(TLineParity::None);
    if (ui->chkParityE->isChecked())
        plan.Parities.push_back(TLineParity::Even);
    if (ui->chkParityO->isChecked())
        plan.Parities.push_back(TLineParity::Odd);
    plan.StopBits = ui->cbbStopBits->currentIndex() == 1 ? 2 : 1;
    plan.Timeout.reset();
    if (ui->speTimeout->value() > 0)
        plan.Timeout = std::chrono::milliseconds(ui->speTimeout->value());
    plan.Turnaround = std::chrono::milliseconds(ui->speTurnaround->value());
    return plan;
}

void TfrmScan::btnStartClick() {
    const TScanPlan plan = Plan();
    if (plan.From > plan.To) {
        ui->lblStatus->setText(QStringLiteral("起始地址大于结束地址"));
        return;
    }
    if (plan.BaudRates.empty() || plan.Parities.empty()) {
        ui->lblStatus->setText(QStringLiteral("请至少选择一个波特率和一种校验位"));
        return;
    }
    Found.clear();
    ui->lvFound->setRowCount(0);
    ui->prgScan->setValue(0);
    if (!Session.StartScan(plan, *this)) {
        ui->lblStatus->setText(QStringLiteral("正在运行，无法扫描"));
        return;
    }
    ui->lblStatus->setText(QStringLiteral("正在扫描…"));
    ShowScanning(true);
}

void TfrmScan::btnStopClick() {
    // What the scan found so far and its end still come, as notices.
    Session.Scan.Stop();
}

void TfrmScan::btnUseClick() {
    const int row = ui->lvFound->currentRow();
    if (Scanning || row < 0 || row >= static_cast<int>(Found.size()) ||
        ui->lvFound->selectedItems().isEmpty())
        return;
    if (OnUse)
        OnUse(Found[static_cast<std::size_t>(row)]);
    accept();
}

void TfrmScan::closeEvent(QCloseEvent* event) {
    Session.Scan.Cancel();
    QDialog::closeEvent(event);
}

void TfrmScan::ShowScanning(bool on) {
    Scanning = on;
    for (QWidget* control :
         {static_cast<QWidget*>(ui->grpRange), static_cast<QWidget*>(ui->grpBauds),
          static_cast<QWidget*>(ui->grpParities), static_cast<QWidget*>(ui->btnStart)})
        control->setEnabled(!on);
    ui->btnStop->setEnabled(on);
    ui->btnUse->setEnabled(!on && !ui->lvFound->selectedItems().isEmpty());
}

void TfrmScan::ScanFound(const TScanFind& find) {
    Found.push_back(find);
    QTableWidget& table = *ui->lvFound;
    const int row = table.rowCount();
    table.insertRow(row);
    const QString cells[] = {QString::number(find.Slave),
                             QString::number(find.BaudRate),
                             ParityName(find.Parity),
                             QString::number(find.StopBits),
                             QString::fromStdString(ScanReplyText(find)),
                             QString::number(find.ResponseMs, 'f', 1)};
    for (int column = 0; column < 6; ++column)
        table.setItem(row, column, new QTableWidgetItem(cells[column]));
    table.resizeColumnsToContents();
}

void TfrmScan::ScanProgress(const TScanProgress& progress) {
    if (progress.Total > 0)
        ui->prgScan->setValue(static_cast<int>(progress.Done * 1000 / progress.Total));
    const auto seconds = (progress.Left.count() + 999) / 1000;
    ui->lblStatus->setText(QStringLiteral("%1 %2：剩余约 %3 秒")
                               .arg(progress.BaudRate)
                               .arg(ParityName(progress.Parity))
                               .arg(seconds));
}

void TfrmScan::ScanLine(const TInfoLine& line) {
    if (OnLine)
        OnLine(line);
}

void TfrmScan::ScanEnded(const TScanEnd& end) {
    ShowScanning(false);
    switch (end.Outcome) {
    case TScanOutcome::Completed:
        ui->prgScan->setValue(ui->prgScan->maximum());
        ui->lblStatus->setText(QStringLiteral("扫描完成，找到 %1 台从机").arg(end.Found));
        break;
    case TScanOutcome::Stopped:
        ui->lblStatus->setText(QStringLiteral("已停止，找到 %1 台从机").arg(end.Found));
        break;
    case TScanOutcome::PortFailed:
        ui->lblStatus->setText(QStringLiteral("串口打开失败或已断开，详见出错信息"));
        break;
    }
    if (!Found.empty() && ui->lvFound->selectedItems().isEmpty())
        ui->lvFound->selectRow(0);
}
