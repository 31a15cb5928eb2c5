#include "FileReplace.h"
#include "TemporaryName.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

class TFd {
public:
    explicit TFd(int fd) : Fd(fd) {}
    ~TFd() {
        if (Fd >= 0)
            ::close(Fd);
    }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    int Get() const { return Fd; }
    bool Close() {
        const int fd = Fd;
        Fd = -1;
        return ::close(fd) == 0;
    }

private:
    int Fd;
};

constexpr mode_t AnyWrite = S_IWUSR | S_IWGRP | S_IWOTH;

std::error_code LastError() {
    return {errno, std::generic_category()};
}

std::error_code NotRegular(const struct stat& st) {
    return std::make_error_code(S_ISDIR(st.st_mode) ? std::errc::is_a_directory
                                                    : std::errc::not_supported);
}

std::error_code WriteAt(int fd, std::string_view bytes, off_t offset) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::pwrite(fd, bytes.data() + done, bytes.size() - done,
                                   offset + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return LastError();
        if (n == 0)
            return std::make_error_code(std::errc::no_space_on_device);
        done += static_cast<std::size_t>(n);
    }
    return {};
}

std::string DirectoryOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// The file a chain of symbolic links ends at, whether or not it exists yet,
// so that writing through a link replaces what it names and not the link.
std::string FollowLinks(std::string path) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return path;
        std::array<char, PATH_MAX> buffer{};
        const ssize_t n = ::readlink(path.c_str(), buffer.data(), buffer.size() - 1);
        if (n <= 0)
            return path;
        std::string link(buffer.data(), static_cast<std::size_t>(n));
        path = link.front() == '/' ? link : DirectoryOf(path) + "/" + link;
    }
    return path;
}

// Root may write anywhere, so a directory without any write bit also counts
// as one that takes no new file.
std::error_code DirectoryTakesNewFiles(const std::string& dir) {
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0)
        return LastError();
    if (!S_ISDIR(st.st_mode))
        return std::make_error_code(std::errc::not_a_directory);
    if ((st.st_mode & AnyWrite) == 0)
        return std::make_error_code(std::errc::permission_denied);
    if (::faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) != 0)
        return LastError();
    return {};
}

// A fresh name beside the target; O_EXCL on open decides whether it is free.
std::string NewTemporaryPath(const std::string& dir, const std::string& base) {
    static std::atomic<unsigned> counter{0};
    return dir + "/" +
           TemporaryName(base, static_cast<std::uint64_t>(::getpid()), counter.fetch_add(1));
}

// The replacement must belong to whoever the old file belongs to: one that
// would end up owned by this user instead is not made. Set before the mode,
// since a change of owner clears set-id bits.
std::error_code GiveOwnerOf(int fd, const struct stat& old) {
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return LastError();
    if (st.st_uid == old.st_uid && st.st_gid == old.st_gid)
        return {};
    if (::fchown(fd, old.st_uid, old.st_gid) != 0 || ::fstat(fd, &st) != 0)
        return LastError();
    if (st.st_uid != old.st_uid || st.st_gid != old.st_gid)
        return std::make_error_code(std::errc::operation_not_permitted);
    return {};
}

std::error_code ReplaceThroughTemporary(const std::string& target, const std::string& dir,
                                        const std::string& content, const struct stat* old) {
    const std::string base = target.substr(target.find_last_of('/') + 1);
    std::string name;
    int raw = -1;
    for (int attempt = 0; attempt < 100 && raw < 0; ++attempt) {
        name = NewTemporaryPath(dir, base);
        // A new file gets 0666 less the umask from the system itself; an
        // existing file's mode is copied once the content is in.
        raw = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                     old != nullptr ? 0600 : 0666);
        if (raw < 0 && errno != EEXIST)
            return LastError();
    }
    TFd fd(raw);
    if (fd.Get() < 0)
        return std::make_error_code(std::errc::file_exists);

    std::error_code error = old != nullptr ? GiveOwnerOf(fd.Get(), *old) : std::error_code();
    if (!error)
        error = WriteAt(fd.Get(), content, 0);
    if (!error && old != nullptr && ::fchmod(fd.Get(), old->st_mode & 07777) != 0)
        error = LastError();
    if (!error && ::fsync(fd.Get()) != 0)
        error = LastError();
    if (!error && !fd.Close())
        error = LastError();
    if (!error && ::rename(name.c_str(), target.c_str()) != 0)
        error = LastError();
    if (error) {
        ::unlink(name.c_str());
        return error;
    }
    // Make the rename itself durable; a failure here loses nothing already written.
    TFd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dirFd.Get() >= 0)
        ::fsync(dirFd.Get());
    return {};
}

std::error_code RewriteInPlace(const std::string& target, const std::string& content) {
    TFd fd(::open(target.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.Get() < 0)
        return LastError();
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0)
        return LastError();
    if (!S_ISREG(st.st_mode))
        return NotRegular(st);
    const off_t oldSize = st.st_size;
    const auto newSize = static_cast<off_t>(content.size());
    const std::string_view bytes(content);
    // The room for a longer content is taken before a byte of the old one is
    // overwritten: its part beyond the old end goes in first, and if the disk
    // is full the file is cut back to what it was.
    if (newSize > oldSize) {
        if (const std::error_code error =
                WriteAt(fd.Get(), bytes.substr(static_cast<std::size_t>(oldSize)), oldSize)) {
            (void)::ftruncate(fd.Get(), oldSize);
            return error;
        }
    }
    if (const std::error_code error = WriteAt(
            fd.Get(), bytes.substr(0, static_cast<std::size_t>(std::min(oldSize, newSize))), 0))
        return error;
    if (newSize < oldSize && ::ftruncate(fd.Get(), newSize) != 0)
        return LastError();
    if (::fsync(fd.Get()) != 0 || !fd.Close())
        return LastError();
    return {};
}

} // namespace

TFileContent ReadFileContent(const std::string& path) {
    TFileContent result;
    // Non-blocking, so that opening a FIFO with no writer returns at once.
    TFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.Get() < 0) {
        result.Outcome = errno == ENOENT ? TReadOutcome::Absent : TReadOutcome::Unreadable;
        if (result.Outcome == TReadOutcome::Unreadable)
            result.Error = LastError();
        return result;
    }
    result.Outcome = TReadOutcome::Unreadable;
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0) {
        result.Error = LastError();
        return result;
    }
    if (!S_ISREG(st.st_mode)) {
        result.Error = NotRegular(st);
        return result;
    }
    std::array<char, 65536> buffer{};
    for (;;) {
        const ssize_t n = ::read(fd.Get(), buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            result.Error = LastError();
            result.Content.clear();
            return result;
        }
        if (n == 0)
            break;
        result.Content.append(buffer.data(), static_cast<std::size_t>(n));
    }
    result.Outcome = TReadOutcome::Read;
    return result;
}

std::error_code ReplaceFileContent(const std::string& path, const std::string& content) {
    const std::string target = FollowLinks(path);
    struct stat st {};
    const bool exists = ::stat(target.c_str(), &st) == 0;
    if (!exists && errno != ENOENT)
        return LastError();
    if (exists) {
        if (!S_ISREG(st.st_mode))
            return NotRegular(st);
        // Read-only: no write bit at all, or not writable by this user. A
        // rename needs only a writable directory, so this must be asked first.
        if ((st.st_mode & AnyWrite) == 0)
            return std::make_error_code(std::errc::permission_denied);
        if (::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0)
            return LastError();
        // Every name of a hard-linked file must see the change.
        if (st.st_nlink > 1)
            return RewriteInPlace(target, content);
    }
    const std::string dir = DirectoryOf(target);
    const std::error_code dirError = DirectoryTakesNewFiles(dir);
    if (!dirError)
        return ReplaceThroughTemporary(target, dir, content, exists ? &st : nullptr);
    if (!exists)
        return dirError;
    return RewriteInPlace(target, content);
}

void RemoveStaleTemporaries(const std::string& path) {
    // Tidying up is no reason to stop a start-up: nothing here throws on.
    try {
        const std::string target = FollowLinks(path);
        const std::string base = target.substr(target.find_last_of('/') + 1);
        const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(DirectoryOf(target).c_str()),
                                                      &::closedir);
        if (!dir)
            return;
        const pid_t self = ::getpid();
        std::vector<std::string> stale;
        while (const dirent* entry = ::readdir(dir.get())) {
            const auto owner = TemporaryOwner(entry->d_name, base);
            if (!owner || *owner > static_cast<std::uint64_t>(std::numeric_limits<pid_t>::max()))
                continue;
            // A process that exists but is not ours (EPERM) is still writing.
            const auto pid = static_cast<pid_t>(*owner);
            if (pid == self || ::kill(pid, 0) == 0 || errno != ESRCH)
                continue;
            struct stat st {};
            if (::fstatat(::dirfd(dir.get()), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISREG(st.st_mode))
                stale.emplace_back(entry->d_name);
        }
        // Unlinking never removes a directory, should one take a name meanwhile.
        for (const std::string& name : stale)
            (void)::unlinkat(::dirfd(dir.get()), name.c_str(), 0);
    } catch (...) {
    }
}

std::string ExecutablePath() {
    std::array<char, PATH_MAX> buffer{};
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    return n > 0 ? std::string(buffer.data(), static_cast<std::size_t>(n)) : std::string();
}
