#pragma once

#include <QObject>

#include <memory>

/// Turns the operating system's requests to end the program (SIGTERM, SIGINT
/// and SIGHUP on POSIX) into a Qt signal on the window thread, so that the
/// window closes as it does for the user: run stopped, port closed, settings
/// left as they are. At most one exists at a time; while it lives it owns
/// the handling of those requests, and its destruction restores what was
/// there before.
class TTerminationRequests final : public QObject {
    Q_OBJECT
public:
    explicit TTerminationRequests(QObject* parent = nullptr);
    ~TTerminationRequests() override;
    TTerminationRequests(const TTerminationRequests&) = delete;
    TTerminationRequests& operator=(const TTerminationRequests&) = delete;

    /// Whether a request has arrived (and Requested been emitted) so far.
    bool Received() const { return FReceived; }

signals:
    /// Emitted on the window thread when requests have arrived; several
    /// signals in quick succession may give one emission.
    void Requested();

private:
    struct TImpl;
    void Deliver();

    std::unique_ptr<TImpl> Impl;
    bool FReceived = false;
};
