// Linux: inotify on the device folder, where udev and devtmpfs create and
// remove a node for every serial adapter; an eventfd ends the wait.
#include "TPortWatch.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <poll.h>
#include <stop_token>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace {

class TFd {
public:
    explicit TFd(int fd = -1) : Fd(fd) {}
    ~TFd() {
        if (Fd >= 0)
            ::close(Fd);
    }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    int Get() const { return Fd; }

private:
    int Fd;
};

} // namespace

struct TPortWatch::TImpl {
    TFd Notify{::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)};
    TFd Wake{::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)};
    std::string Failure;
    std::atomic<bool> GaveUp{false}; // the system failed the watch after it began
    std::jthread Thread;             // last: it ends before the descriptors close

    void Run(const std::stop_token& stop, const TChanged& changed) {
        std::stop_callback wake(stop, [this] {
            const std::uint64_t one = 1;
            (void)!::write(Wake.Get(), &one, sizeof one);
        });
        alignas(inotify_event) std::array<char, 4096> events{};
        while (!stop.stop_requested()) {
            std::array<pollfd, 2> fds{{{Notify.Get(), POLLIN, 0}, {Wake.Get(), POLLIN, 0}}};
            if (::poll(fds.data(), fds.size(), -1) < 0) {
                if (errno == EINTR)
                    continue;
                // Told as a change, so that the owner finds it no longer watched.
                GaveUp = true;
                if (changed)
                    changed();
                return;
            }
            if (fds[1].revents != 0)
                return;
            bool seen = false;
            while (::read(Notify.Get(), events.data(), events.size()) > 0)
                seen = true;
            if (seen && changed)
                changed();
        }
    }
};

TPortWatch::TPortWatch(TChanged changed, std::string place) : Impl(std::make_unique<TImpl>()) {
    if (place.empty())
        place = "/dev";
    if (Impl->Notify.Get() < 0 || Impl->Wake.Get() < 0 ||
        ::inotify_add_watch(Impl->Notify.Get(), place.c_str(),
                            IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO) < 0) {
        Impl->Failure = place + ": " + std::system_category().message(errno);
        return;
    }
    Impl->Thread = std::jthread([impl = Impl.get(), changed = std::move(changed)](
                                    std::stop_token stop) { impl->Run(stop, changed); });
}

TPortWatch::~TPortWatch() = default;

bool TPortWatch::Watching() const {
    return Impl->Thread.joinable() && !Impl->GaveUp;
}

const std::string& TPortWatch::Failure() const {
    return Impl->Failure;
}
