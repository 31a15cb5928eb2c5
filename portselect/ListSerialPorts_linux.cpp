#include "TSysfsPortSource.h"

#include <linux/serial.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class TFd {
public:
    explicit TFd(int fd) : FFd(fd) {}
    ~TFd() {
        if (FFd >= 0)
            ::close(FFd);
    }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    int Get() const { return FFd; }

private:
    int FFd;
};

std::string FoldCase(const std::string& text) {
    std::string folded = text;
    for (char& c : folded)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return folded;
}

} // namespace

std::unique_ptr<TSerialPortSource> CreateSystemPortSource() {
    return std::make_unique<TSysfsPortSource>();
}

int ComparePortNames(const std::string& a, const std::string& b) {
    // The collation is the C library's LC_COLLATE, which a Qt application
    // takes from the environment; case is folded first so it cannot decide.
    return std::strcoll(FoldCase(a).c_str(), FoldCase(b).c_str());
}

bool PortNamesIgnoreCase() {
    return false;
}

bool ProbeUartPresent(const std::string& name) {
    // The serial core publishes the port type in sysfs, the same value that
    // TIOCGSERIAL reports; reading it needs no permission and, unlike opening
    // the device, does not raise DTR and RTS on a port that is there.
    std::ifstream typeFile("/sys/class/tty/" + name + "/type");
    int type = PORT_UNKNOWN;
    if (typeFile >> type)
        return type != PORT_UNKNOWN;

    const std::string device = "/dev/" + name;
    const TFd fd(::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (fd.Get() < 0) {
        // An I/O error is the driver saying that no UART answers; any other
        // refusal (such as missing permission) says nothing about the port.
        return errno != EIO && errno != ENXIO && errno != ENODEV;
    }
    serial_struct info{};
    if (::ioctl(fd.Get(), TIOCGSERIAL, &info) == 0)
        return info.type != PORT_UNKNOWN;
    return true; // not a serial-core driver: nothing says the port is empty
}

void TSysfsPortSource::TDirCloser::operator()(void* dir) const {
    ::closedir(static_cast<DIR*>(dir));
}

TSysfsPortSource::TSysfsPortSource(std::string sysfsRoot, TUartProbe probe)
    : FRoot(std::move(sysfsRoot)), FProbe(probe ? std::move(probe) : TUartProbe(ProbeUartPresent)),
      FDir(::opendir(FRoot.c_str())) {}

std::optional<std::string> TSysfsPortSource::Next() {
    while (FDir) {
        errno = 0;
        const dirent* entry = ::readdir(static_cast<DIR*>(FDir.get()));
        if (entry == nullptr) {
            // End of the directory or a read error: either way the list ends.
            FDir.reset();
            break;
        }
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        struct stat st {};
        const std::string link = FRoot + "/" + name + "/device";
        if (::lstat(link.c_str(), &st) != 0)
            continue; // a virtual terminal, pty or console: no hardware behind it
        if (name.starts_with("ttyS") && !FProbe(name))
            continue;
        return name;
    }
    return std::nullopt;
}
