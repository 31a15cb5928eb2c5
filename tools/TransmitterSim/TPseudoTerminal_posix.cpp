#include "TPseudoTerminal.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <termios.h>
#include <unistd.h>

namespace {

[[noreturn]] void ThrowErrno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// The raw settings a serial client expects: no echo, no line editing, no translation of
// bytes, 8 data bits. A client that sets its own settings overrides these.
void MakeRaw(int fd) {
    termios settings{};
    if (tcgetattr(fd, &settings) != 0)
        ThrowErrno("tcgetattr");
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &settings) != 0)
        ThrowErrno("tcsetattr");
}

} // namespace

TUniqueFd& TUniqueFd::operator=(TUniqueFd&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = other.Release();
    }
    return *this;
}

TUniqueFd::~TUniqueFd() {
    if (fd_ >= 0)
        ::close(fd_);
}

int TUniqueFd::Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

TPseudoTerminal::TPseudoTerminal() {
    master_ = TUniqueFd(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!master_.Valid())
        ThrowErrno("posix_openpt");
    if (grantpt(master_.Get()) != 0)
        ThrowErrno("grantpt");
    if (unlockpt(master_.Get()) != 0)
        ThrowErrno("unlockpt");
    // ptsname is not reentrant, but only this thread creates terminals.
    const char* name = ptsname(master_.Get());
    if (name == nullptr)
        ThrowErrno("ptsname");
    slavePath_ = name;
    slave_ = TUniqueFd(::open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!slave_.Valid())
        ThrowErrno("open " + slavePath_);
    MakeRaw(slave_.Get());
    const int flags = fcntl(master_.Get(), F_GETFL);
    if (flags < 0 || fcntl(master_.Get(), F_SETFL, flags | O_NONBLOCK) != 0)
        ThrowErrno("fcntl O_NONBLOCK");
}

TSymlink::TSymlink(const std::string& target, const std::string& linkPath)
    : target_(target), linkPath_(linkPath) {
    struct stat existing {};
    if (::lstat(linkPath_.c_str(), &existing) == 0) {
        if (!S_ISLNK(existing.st_mode)) {
            errno = EEXIST;
            ThrowErrno(linkPath_ + " exists and is not a symbolic link");
        }
        if (::unlink(linkPath_.c_str()) != 0)
            ThrowErrno("unlink " + linkPath_);
    }
    if (::symlink(target_.c_str(), linkPath_.c_str()) != 0)
        ThrowErrno("symlink " + linkPath_);
}

TSymlink::~TSymlink() {
    char buffer[PATH_MAX];
    const ssize_t length = ::readlink(linkPath_.c_str(), buffer, sizeof buffer);
    if (length >= 0 && std::string(buffer, static_cast<std::size_t>(length)) == target_)
        ::unlink(linkPath_.c_str());
}
