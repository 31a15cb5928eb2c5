// Win32 file layer of the settings. Paths arrive as UTF-8 and go to the wide
// file functions, so a folder named in any script works; nothing here uses the
// narrow (code-page) file functions.

#include "FileReplace.h"
#include "TemporaryName.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <string_view>
#include <vector>

namespace {

std::wstring Widen(const std::string& text) {
    if (text.empty())
        return {};
    const int length =
        ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (length <= 0)
        return {};
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                          length);
    return wide;
}

std::string Narrow(const std::wstring& wide) {
    if (wide.empty())
        return {};
    const int length = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                             nullptr, 0, nullptr, nullptr);
    if (length <= 0)
        return {};
    std::string text(static_cast<std::size_t>(length), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(),
                          length, nullptr, nullptr);
    return text;
}

class TFile {
public:
    explicit TFile(HANDLE handle) : Handle(handle) {}
    ~TFile() { Close(); }
    TFile(const TFile&) = delete;
    TFile& operator=(const TFile&) = delete;
    bool Valid() const { return Handle != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return Handle; }
    bool Close() {
        const bool ok = Handle == INVALID_HANDLE_VALUE || ::CloseHandle(Handle);
        Handle = INVALID_HANDLE_VALUE;
        return ok;
    }

private:
    HANDLE Handle;
};

class TFind {
public:
    explicit TFind(HANDLE handle) : Handle(handle) {}
    ~TFind() {
        if (Handle != INVALID_HANDLE_VALUE)
            ::FindClose(Handle);
    }
    TFind(const TFind&) = delete;
    TFind& operator=(const TFind&) = delete;
    bool Valid() const { return Handle != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return Handle; }

private:
    HANDLE Handle;
};

std::error_code LastError() {
    return {static_cast<int>(::GetLastError()), std::system_category()};
}

std::error_code MoveTo(HANDLE file, std::uint64_t offset) {
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(offset);
    if (!::SetFilePointerEx(file, at, nullptr, FILE_BEGIN))
        return LastError();
    return {};
}

std::error_code WriteAt(HANDLE file, std::string_view bytes, std::uint64_t offset) {
    if (const std::error_code error = MoveTo(file, offset))
        return error;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1 << 20));
        DWORD written = 0;
        if (!::WriteFile(file, bytes.data() + done, chunk, &written, nullptr))
            return LastError();
        if (written == 0)
            return std::make_error_code(std::errc::no_space_on_device);
        done += written;
    }
    return {};
}

std::error_code SetLength(HANDLE file, std::uint64_t length) {
    if (const std::error_code error = MoveTo(file, length))
        return error;
    if (!::SetEndOfFile(file))
        return LastError();
    return {};
}

std::error_code WriteWhole(HANDLE file, const std::string& content) {
    if (const std::error_code error = WriteAt(file, content, 0))
        return error;
    if (!::FlushFileBuffers(file))
        return LastError();
    return {};
}

// The room for a longer content is taken before a byte of the old one is
// overwritten: its part beyond the old end goes in first, and if the disk is
// full the file is cut back to what it was.
std::error_code RewriteInPlace(HANDLE file, const std::string& content) {
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file, &size))
        return LastError();
    const auto oldSize = static_cast<std::uint64_t>(size.QuadPart);
    const std::uint64_t newSize = content.size();
    const std::string_view bytes(content);
    if (newSize > oldSize) {
        if (const std::error_code error =
                WriteAt(file, bytes.substr(static_cast<std::size_t>(oldSize)), oldSize)) {
            (void)SetLength(file, oldSize);
            return error;
        }
    }
    if (const std::error_code error =
            WriteAt(file, bytes.substr(0, static_cast<std::size_t>(std::min(oldSize, newSize))), 0))
        return error;
    if (newSize < oldSize)
        if (const std::error_code error = SetLength(file, newSize))
            return error;
    if (!::FlushFileBuffers(file))
        return LastError();
    return {};
}

// Only a process known to have ended counts as gone; one this user may not
// look at is taken as still writing.
bool ProcessEnded(DWORD pid) {
    const HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process == nullptr)
        return ::GetLastError() == ERROR_INVALID_PARAMETER;
    TFile owned(process);
    DWORD code = 0;
    return ::GetExitCodeProcess(process, &code) && code != STILL_ACTIVE;
}

/// A temporary file beside `target` whose name no other writer uses: created
/// with CREATE_NEW, so an existing name is never taken over.
HANDLE CreateTemporaryBeside(const std::wstring& target, std::wstring& name) {
    static std::atomic<unsigned> counter{0};
    const std::size_t cut = target.find_last_of(L"\\/");
    const std::wstring folder = cut == std::wstring::npos ? L"" : target.substr(0, cut + 1);
    const std::wstring base = cut == std::wstring::npos ? target : target.substr(cut + 1);
    const std::string narrowBase = Narrow(base);
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = folder + Widen(TemporaryName(narrowBase, ::GetCurrentProcessId(), counter++));
        const HANDLE file = ::CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                          FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE || ::GetLastError() != ERROR_FILE_EXISTS)
            return file;
    }
    return INVALID_HANDLE_VALUE;
}

} // namespace

TFileContent ReadFileContent(const std::string& path) {
    TFileContent result;
    TFile file(::CreateFileW(Widen(path).c_str(), GENERIC_READ,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) {
        const DWORD error = ::GetLastError();
        result.Outcome = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                             ? TReadOutcome::Absent
                             : TReadOutcome::Unreadable;
        if (result.Outcome == TReadOutcome::Unreadable)
            result.Error = {static_cast<int>(error), std::system_category()};
        return result;
    }
    result.Outcome = TReadOutcome::Unreadable;
    // A named pipe or a device would block or never end.
    if (::GetFileType(file.Get()) != FILE_TYPE_DISK) {
        result.Error = std::make_error_code(std::errc::not_supported);
        return result;
    }
    char buffer[65536];
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(file.Get(), buffer, sizeof buffer, &got, nullptr)) {
            result.Error = LastError();
            result.Content.clear();
            return result;
        }
        if (got == 0)
            break;
        result.Content.append(buffer, got);
    }
    result.Outcome = TReadOutcome::Read;
    return result;
}

std::error_code ReplaceFileContent(const std::string& path, const std::string& content) {
    const std::wstring target = Widen(path);
    if (target.empty())
        return std::make_error_code(std::errc::invalid_argument);
    const DWORD attributes = ::GetFileAttributesW(target.c_str());
    const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    if (exists && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return std::make_error_code(std::errc::is_a_directory);
    // The read-only attribute is the user's "do not write", for us as for the shell.
    if (exists && (attributes & FILE_ATTRIBUTE_READONLY) != 0)
        return std::make_error_code(std::errc::permission_denied);
    if (exists) {
        // Refused unless this user may write the file itself: the folder's
        // permission to take a new file is not enough.
        TFile probe(::CreateFileW(target.c_str(), GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!probe.Valid())
            return LastError();
    }

    std::wstring temporary;
    TFile file(CreateTemporaryBeside(target, temporary));
    if (file.Valid()) {
        std::error_code error = WriteWhole(file.Get(), content);
        if (!error && !file.Close())
            error = LastError();
        // ReplaceFileW keeps the old file's attributes and security; where it
        // cannot (another file system), a plain replacing move still is atomic.
        if (!error &&
            !((exists && ::ReplaceFileW(target.c_str(), temporary.c_str(), nullptr,
                                        REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) ||
              ::MoveFileExW(temporary.c_str(), target.c_str(),
                            MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)))
            error = LastError();
        if (error) {
            file.Close();
            ::DeleteFileW(temporary.c_str());
        }
        // Rewriting in place after a failed write could truncate the file.
        return error;
    }
    const std::error_code noTemporary = LastError();
    if (!exists)
        return noTemporary;
    // The folder refuses new files but the file itself is writable.
    TFile inPlace(::CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!inPlace.Valid())
        return LastError();
    if (const std::error_code error = RewriteInPlace(inPlace.Get(), content))
        return error;
    if (!inPlace.Close())
        return LastError();
    return {};
}

void RemoveStaleTemporaries(const std::string& path) {
    // Tidying up is no reason to stop a start-up: nothing here throws on.
    try {
        const std::wstring target = Widen(path);
        const std::size_t cut = target.find_last_of(L"\\/");
        const std::wstring folder = cut == std::wstring::npos ? L"" : target.substr(0, cut + 1);
        const std::string base =
            Narrow(cut == std::wstring::npos ? target : target.substr(cut + 1));
        if (base.empty())
            return;
        WIN32_FIND_DATAW found{};
        const TFind search(::FindFirstFileExW((folder + L".*").c_str(), FindExInfoBasic, &found,
                                              FindExSearchNameMatch, nullptr, 0));
        if (!search.Valid())
            return;
        std::vector<std::wstring> stale;
        do {
            // Folders and links are never a writer's temporary.
            if ((found.dwFileAttributes &
                 (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0)
                continue;
            const auto owner = TemporaryOwner(Narrow(found.cFileName), base);
            if (owner && *owner <= MAXDWORD && *owner != ::GetCurrentProcessId() &&
                ProcessEnded(static_cast<DWORD>(*owner)))
                stale.emplace_back(folder + found.cFileName);
        } while (::FindNextFileW(search.Get(), &found));
        for (const std::wstring& name : stale)
            (void)::DeleteFileW(name.c_str());
    } catch (...) {
    }
}

std::string ExecutablePath() {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD n =
            ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0)
            return {};
        if (n < buffer.size())
            return Narrow(std::wstring(buffer.data(), n));
        buffer.resize(buffer.size() * 2);
    }
}
