#pragma once

// The settings-file fixture and helpers that the tests of every system share.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

/// A new, empty folder of its own under the system's temporary folder.
inline fs::path NewTemporaryFolder(const std::string& tag) {
    std::random_device random;
    for (;;) {
        const fs::path dir = fs::temp_directory_path() / (tag + "-" + std::to_string(random()));
        if (fs::create_directory(dir))
            return dir;
    }
}

/// A path as the settings code takes it: UTF-8 on every system.
inline std::string Utf8(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

inline std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline void WriteFile(const fs::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

/// `text` with the first `from` replaced by `to`.
inline std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    return text.replace(text.find(from), from.size(), to);
}

/// The path of this test program, as the system reports it (defined per system).
fs::path RunningExecutable();

class SettingsFile : public ::testing::Test {
protected:
    void SetUp() override {
        Dir = NewTemporaryFolder("quellmark-params");
        Path = Dir / "Config.ini";
    }
    void TearDown() override {
        fs::permissions(Dir, fs::perms::owner_all);
        if (fs::exists(Path))
            fs::permissions(Path, fs::perms::owner_read | fs::perms::owner_write);
        fs::remove_all(Dir);
    }
    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(Dir))
            names.push_back(e.path().filename().string());
        return names;
    }

    fs::path Dir;
    fs::path Path;
};
