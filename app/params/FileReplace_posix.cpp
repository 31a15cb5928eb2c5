#include "FileReplace.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

bool WriteAll(int fd, const std::string& content) {
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t n =
            ::pwrite(fd, content.data() + done, content.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool IsWritableDirectory(const std::string& dir) {
    struct stat st {};
    return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & AnyWrite) != 0 &&
           ::access(dir.c_str(), W_OK) == 0;
}

bool ReplaceThroughTemporary(const std::string& target, const std::string& dir,
                             const std::string& content, mode_t mode) {
    const std::string base = target.substr(target.find_last_of('/') + 1);
    std::string name = dir + "/." + base + ".XXXXXX";
    TFd fd(::mkstemp(name.data()));
    if (fd.Get() < 0)
        return false;
    const bool ok = WriteAll(fd.Get(), content) && ::fchmod(fd.Get(), mode) == 0 &&
                    ::fsync(fd.Get()) == 0 && fd.Close() &&
                    ::rename(name.c_str(), target.c_str()) == 0;
    if (!ok) {
        ::unlink(name.c_str());
        return false;
    }
    // Make the rename itself durable; a failure here loses nothing already written.
    TFd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY));
    if (dirFd.Get() >= 0)
        ::fsync(dirFd.Get());
    return true;
}

bool RewriteInPlace(const std::string& target, const std::string& content) {
    TFd fd(::open(target.c_str(), O_WRONLY));
    if (fd.Get() < 0)
        return false;
    return WriteAll(fd.Get(), content) &&
           ::ftruncate(fd.Get(), static_cast<off_t>(content.size())) == 0 &&
           ::fsync(fd.Get()) == 0 && fd.Close();
}

} // namespace

bool ReplaceFileContent(const std::string& path, const std::string& content) {
    // Write through a symbolic link to the file it names, rather than replacing the link.
    std::string target = path;
    std::array<char, PATH_MAX> resolved{};
    if (::realpath(path.c_str(), resolved.data()) != nullptr)
        target = resolved.data();

    struct stat st {};
    const bool exists = ::stat(target.c_str(), &st) == 0;
    if (exists && (!S_ISREG(st.st_mode) || (st.st_mode & AnyWrite) == 0))
        return false;

    const std::size_t slash = target.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "."
                            : slash == 0               ? "/"
                                                       : target.substr(0, slash);
    if (IsWritableDirectory(dir))
        return ReplaceThroughTemporary(target, dir, content,
                                       exists ? (st.st_mode & 07777) : mode_t{0644});
    return exists && RewriteInPlace(target, content);
}

std::string ExecutablePath() {
    std::array<char, PATH_MAX> buffer{};
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    return n > 0 ? std::string(buffer.data(), static_cast<std::size_t>(n)) : std::string();
}

bool ReadFileContent(const std::string& path, std::string& content) {
    content.clear();
    TFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.Get() < 0)
        return false;
    std::array<char, 16384> buffer{};
    for (;;) {
        const ssize_t n = ::read(fd.Get(), buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        content.append(buffer.data(), static_cast<std::size_t>(n));
    }
}
