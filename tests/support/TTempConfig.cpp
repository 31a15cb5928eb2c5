#include "TTempConfig.h"

#include "TSysParam.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

TTempConfig::TTempConfig(const std::string& contents) {
    std::random_device random;
    std::filesystem::path folder;
    do
        folder =
            std::filesystem::temp_directory_path() / ("quellmark-app-" + std::to_string(random()));
    while (!std::filesystem::create_directory(folder));
    FDirectory = folder.string();
    FPath = (folder / "Config.ini").string();
    if (!contents.empty()) {
        std::ofstream file(FPath, std::ios::binary);
        file << contents;
    }
}

TTempConfig::~TTempConfig() {
    std::error_code ignored;
    std::filesystem::permissions(FDirectory, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(FDirectory, ignored);
}

std::string TTempConfig::Contents() const {
    std::ifstream file(FPath, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

void TTempConfig::Load() const {
    LoadParams(FPath);
}

void UseOneSlaveSettings(const std::string& port, int baudRate, int pollTimeout) {
    ParamCommPort->SetValue(port);
    ParamBaudRate->SetValue(baudRate);
    ParamPollTimeout->SetValue(pollTimeout);
    ParamPollInterval->SetValue(1);
    ParamPollFrom->SetValue(1);
    ParamPollTo->SetValue(1);
    ParamRegisterBegin->SetValue(0);
    ParamRegisterCount->SetValue(2);
    ParamFrameBreakMode->SetValue(0);
}
