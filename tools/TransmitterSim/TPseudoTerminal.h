#pragma once

#include <string>

/// Owns one file descriptor and closes it.
class TUniqueFd {
public:
    TUniqueFd() = default;
    explicit TUniqueFd(int fd) : fd_(fd) {}
    TUniqueFd(TUniqueFd&& other) noexcept : fd_(other.Release()) {}
    TUniqueFd& operator=(TUniqueFd&& other) noexcept;
    TUniqueFd(const TUniqueFd&) = delete;
    TUniqueFd& operator=(const TUniqueFd&) = delete;
    ~TUniqueFd();

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    int Release();

private:
    int fd_ = -1;
};

/// A pseudo-terminal pair in raw mode. This side keeps the master end; a serial client opens
/// SlavePath() as if it were a serial port. The slave end is held open here as well, so that
/// the master end neither reports a hang-up nor loses its settings while no client has it open
/// (for example between two runs of a master).
class TPseudoTerminal {
public:
    /// Throws std::system_error when the pair cannot be created.
    TPseudoTerminal();

    /// Non-blocking master end.
    int MasterFd() const { return master_.Get(); }
    const std::string& SlavePath() const { return slavePath_; }

private:
    TUniqueFd master_;
    TUniqueFd slave_;
    std::string slavePath_;
};

/// A symbolic link that lives as long as this object. A symbolic link already at the path
/// (left behind by a run that was killed) is replaced; any other file there is an error.
class TSymlink {
public:
    /// Throws std::system_error when the link cannot be made.
    TSymlink(const std::string& target, const std::string& linkPath);
    TSymlink(const TSymlink&) = delete;
    TSymlink& operator=(const TSymlink&) = delete;
    /// Removes the link, unless something else has replaced it meanwhile.
    ~TSymlink();

private:
    std::string target_;
    std::string linkPath_;
};
