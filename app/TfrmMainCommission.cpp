// The window's commissioning controls: the parity and the stop bits of the
// line. Kept apart from the handlers of the other settings in TfrmMain.cpp.
#include "TfrmMain.h"

#include "TSysParam.h"
#include "ui_TfrmMain.h"

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
