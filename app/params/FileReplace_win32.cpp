#include "FileReplace.h"

#include <windows.h>

#include <array>
#include <vector>

namespace {

std::error_code LastError() {
    return {static_cast<int>(GetLastError()), std::system_category()};
}

class THandle {
public:
    explicit THandle(HANDLE handle) : Handle(handle) {}
    ~THandle() {
        if (Handle != INVALID_HANDLE_VALUE)
            CloseHandle(Handle);
    }
    THandle(const THandle&) = delete;
    THandle& operator=(const THandle&) = delete;
    HANDLE Get() const { return Handle; }

private:
    HANDLE Handle;
};

std::error_code WriteWhole(HANDLE file, const std::string& content) {
    DWORD written = 0;
    if (!WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr))
        return LastError();
    if (written != content.size())
        return std::make_error_code(std::errc::no_space_on_device);
    if (!FlushFileBuffers(file))
        return LastError();
    return {};
}

} // namespace

TFileContent ReadFileContent(const std::string& path) {
    TFileContent result;
    THandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.Get() == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        result.Outcome =
            error == ERROR_FILE_NOT_FOUND ? TReadOutcome::Absent : TReadOutcome::Unreadable;
        if (result.Outcome == TReadOutcome::Unreadable)
            result.Error = {static_cast<int>(error), std::system_category()};
        return result;
    }
    result.Outcome = TReadOutcome::Unreadable;
    // A named pipe or a device would block or never end.
    if (GetFileType(file.Get()) != FILE_TYPE_DISK) {
        result.Error = std::make_error_code(std::errc::not_supported);
        return result;
    }
    std::array<char, 65536> buffer{};
    for (;;) {
        DWORD n = 0;
        if (!ReadFile(file.Get(), buffer.data(), static_cast<DWORD>(buffer.size()), &n, nullptr)) {
            result.Error = LastError();
            result.Content.clear();
            return result;
        }
        if (n == 0)
            break;
        result.Content.append(buffer.data(), n);
    }
    result.Outcome = TReadOutcome::Read;
    return result;
}

std::error_code ReplaceFileContent(const std::string& path, const std::string& content) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    if (exists && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return std::make_error_code(std::errc::is_a_directory);
    if (exists && (attributes & FILE_ATTRIBUTE_READONLY) != 0)
        return std::make_error_code(std::errc::permission_denied);
    if (exists) {
        // Refused unless this user may write the file itself: the folder's
        // permission to take a new file is not enough.
        THandle probe(CreateFileA(path.c_str(), GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (probe.Get() == INVALID_HANDLE_VALUE)
            return LastError();
    }

    const std::string temporary = path + ".tmp";
    std::error_code error;
    bool created = false;
    {
        THandle file(CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
        created = file.Get() != INVALID_HANDLE_VALUE;
        error = created ? WriteWhole(file.Get(), content) : LastError();
    }
    if (!error && MoveFileExA(temporary.c_str(), path.c_str(),
                              MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return {};
    if (!error)
        error = LastError();
    if (created)
        DeleteFileA(temporary.c_str());
    // Rewriting in place after a failed write could truncate the file.
    if (!exists || created)
        return error;
    // The folder refuses new files but the file itself is writable.
    THandle file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.Get() == INVALID_HANDLE_VALUE)
        return LastError();
    return WriteWhole(file.Get(), content);
}

std::string ExecutablePath() {
    std::vector<char> buffer(MAX_PATH);
    for (;;) {
        const DWORD n =
            GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0)
            return {};
        if (n < buffer.size())
            return std::string(buffer.data(), n);
        buffer.resize(buffer.size() * 2);
    }
}
