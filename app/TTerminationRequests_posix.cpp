#include "TTerminationRequests.h"

#include <QSocketNotifier>

#include <array>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace {

// The write end of the self-pipe: all a signal handler may touch.
volatile std::sig_atomic_t WriteFd = -1;

constexpr std::array<int, 3> Signals{SIGTERM, SIGINT, SIGHUP};

extern "C" void OnTerminationSignal(int signal) {
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signal);
    // A full pipe already holds a request that has not been taken.
    if (WriteFd >= 0)
        (void)!::write(WriteFd, &byte, 1);
    errno = savedErrno;
}

} // namespace

struct TTerminationRequests::TImpl {
    int Pipe[2] = {-1, -1};
    std::array<struct sigaction, Signals.size()> Previous{};
    std::unique_ptr<QSocketNotifier> Notifier;
};

TTerminationRequests::TTerminationRequests(QObject* parent)
    : QObject(parent), Impl(std::make_unique<TImpl>()) {
    if (WriteFd >= 0)
        throw std::logic_error("termination requests are handled already");
    if (::pipe2(Impl->Pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::runtime_error("pipe2 failed");
    WriteFd = Impl->Pipe[1];

    Impl->Notifier = std::make_unique<QSocketNotifier>(Impl->Pipe[0], QSocketNotifier::Read);
    connect(Impl->Notifier.get(), &QSocketNotifier::activated, this, [this] { Deliver(); });

    struct sigaction action {};
    action.sa_handler = OnTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < Signals.size(); ++i)
        ::sigaction(Signals[i], &action, &Impl->Previous[i]);
}

TTerminationRequests::~TTerminationRequests() {
    for (std::size_t i = 0; i < Signals.size(); ++i)
        ::sigaction(Signals[i], &Impl->Previous[i], nullptr);
    WriteFd = -1;
    Impl->Notifier.reset();
    ::close(Impl->Pipe[0]);
    ::close(Impl->Pipe[1]);
}

void TTerminationRequests::Deliver() {
    // Several signals in a row are one request.
    std::array<unsigned char, 64> bytes{};
    bool any = false;
    for (;;) {
        const ssize_t n = ::read(Impl->Pipe[0], bytes.data(), bytes.size());
        if (n > 0)
            any = true;
        else if (n == 0 || errno != EINTR)
            break;
    }
    if (!any)
        return;
    FReceived = true;
    emit Requested();
}
