#include "TPortStand.h"

#include "ComPairs.h"

TPortStand::TPortStand(const std::string& folder)
    : FFolder(folder), FDevice(std::make_unique<TPtyDevice>()) {
    FName = FDevice->Path();
}

TPortStand::~TPortStand() = default;

void TPortStand::Unplug() {
    FDevice.reset();
    // Devices take the pairs in turn, and each renews its pair first: the pairs in
    // between go by, and the device that takes this name again renews its pair, so
    // the old port vanishes and a fresh one stands under the name.
    const std::size_t pairs = ComPairs::Pairs().size();
    for (std::size_t i = 1; i < pairs; ++i)
        TPtyDevice passing;
    FDevice = std::make_unique<TPtyDevice>();
    if (FDevice->Path() != FName)
        throw std::runtime_error("the COM pairs were not handed out in turn");
}

void TPortStand::PlugIn() {} // the fresh port came with its device

std::vector<TPortStand::TOpenFailure> TPortStand::OpenFailures(const std::string&) {
    // wine lets a second opener in, so a held port is no failure there.
    return {{"COM99", "设备不存在", ERROR_FILE_NOT_FOUND},
            {"NUL", "不是串口设备", ERROR_INVALID_FUNCTION}};
}
