#include "TTempConfig.h"

#include "TSysParam.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

TTempConfig::TTempConfig(const std::string& contents) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "quellmark-app-XXXXXX").string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (::mkdtemp(name.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    FDirectory = name.data();
    FPath = (std::filesystem::path(FDirectory) / "Config.ini").string();
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
