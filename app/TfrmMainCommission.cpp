// The window's commissioning controls: the parity and the stop bits of the
// line, and the scan for the devices on it. Kept apart from the handlers of
// the other settings in TfrmMain.cpp.
#include "TfrmMain.h"

#include "TSysParam.h"
#include "TfrmScan.h"
#include "ui_TfrmMain.h"

#include <exception>

namespace {

// The items of the parity box, in the order of their index.
constexpr TLineParity ParityItems[] = {TLineParity::None, TLineParity::Even, TLineParity::Odd};

int ParityIndex(TLineParity parity) {
    for (int i = 0; i < 3; ++i)
        if (ParityItems[i] == parity)
            return i;
    return -1;
}

} // namespace

void TfrmMain::SetupCommissioning() {
    // Only a pick by the user changes the setting; selecting from the program does not.
    connect(ui->cbbParity, &QComboBox::activated, this,
            [this] { Guarded([this] { cbbParityChange(); }); });
    connect(ui->cbbStopBits, &QComboBox::activated, this,
            [this] { Guarded([this] { cbbStopBitsChange(); }); });
    connect(ui->btnScan, &QPushButton::clicked, this,
            [this] { Guarded([this] { btnScanClick(); }); });
}

void TfrmMain::ShowLineFraming() {
    // A value that names no parity, or stop bits other than 1 and 2, selects
    // no item, as an unlisted baud rate does.
    const std::optional<TLineParity> parity = ParseParity(ParamParity->AsString());
    ui->cbbParity->setCurrentIndex(parity ? ParityIndex(*parity) : -1);
    ui->cbbStopBits->setCurrentIndex(
        ui->cbbStopBits->findText(QString::fromStdString(ParamStopBits->AsString())));
}

void TfrmMain::cbbParityChange() {
    const int index = ui->cbbParity->currentIndex();
    if (index >= 0)
        ParamParity->SetValue(std::string(1, ParityLetter(ParityItems[index])));
}

void TfrmMain::cbbStopBitsChange() {
    ParamStopBits->SetValue(ui->cbbStopBits->currentText().toInt());
}

void TfrmMain::btnScanClick() {
    // The settings panel, and with it this button, is off during a run.
    if (RunOn() || ScanDialog != nullptr)
        return;
    auto* dialog = new TfrmScan(Session, ScanPlanFor(RunSettingsFromParams()), this);
    dialog->setObjectName(QStringLiteral("frmScan"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->OnUse = [this](const TScanFind& find) { Guarded([&] { UseScanFind(find); }); };
    dialog->OnLine = [this](const TInfoLine& line) {
        InfoList->Append(QString::fromStdString(line.Text));
    };
    ScanDialog = dialog;
    dialog->open();
}

void TfrmMain::UseScanFind(const TScanFind& find) {
    // Every setting is taken, into the boxes and Config.ini, even when the file
    // refuses a write: a find half taken would run at its rate with another
    // parity or address. The first refusal is told once all are in.
    std::exception_ptr refused;
    const auto store = [&refused](const auto& write) {
        try {
            write();
        } catch (const EIniWriteError&) {
            if (!refused)
                refused = std::current_exception();
        }
    };
    store([&] { ParamBaudRate->SetValue(find.BaudRate); });
    store([&] { ParamParity->SetValue(std::string(1, ParityLetter(find.Parity))); });
    store([&] { ParamStopBits->SetValue(find.StopBits); });
    store([&] { ParamPollFrom->SetValue(find.Slave); });
    store([&] { ParamPollTo->SetValue(find.Slave); });
    ui->cbbBaud->setCurrentIndex(ui->cbbBaud->findText(QString::number(find.BaudRate)));
    ShowLineFraming();
    ui->spePollFrom->setValue(find.Slave);
    ui->spePollTo->setValue(find.Slave);
    if (refused)
        std::rethrow_exception(refused);
}

void TfrmMain::CloseScan() {
    // The dialog ends its scan; it goes before the session it uses.
    delete ScanDialog;
}
