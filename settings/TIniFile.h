#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

/// A settings file that could not be read or written. The text names the
/// file; Reason() keeps the system's own reason for the user to see.
class EIniError : public std::runtime_error {
public:
    EIniError(const std::string& text, std::error_code reason)
        : std::runtime_error(text), FReason(reason) {}
    std::error_code Reason() const { return FReason; }

private:
    std::error_code FReason;
};

/// A refused write: "Unable to write to <full path>".
class EIniWriteError : public EIniError {
public:
    explicit EIniWriteError(const std::string& path, std::error_code reason = {});
};

/// A file that is there but could not be read: "Unable to read <full path>".
class EIniReadError : public EIniError {
public:
    EIniReadError(const std::string& path, std::error_code reason);
};

/// Section and key names compare as the file compares them: without regard to case.
bool SameIniName(const std::string& a, const std::string& b);

/// INI access with no cache: every call reads or writes the file itself.
/// Sections and keys match without regard to case. A write touches only the
/// one key's line; every other line keeps its bytes and its line end, and a
/// UTF-8 byte-order mark at the start stays. A missing file reads as empty;
/// a file that is there but cannot be read throws EIniReadError on reading
/// and is never written.
class TIniFile {
public:
    /// Whether writes reach the file. A read-only file object takes every
    /// write and leaves the file as it is (a front end that must never change
    /// the settings file, whatever it overrides in memory).
    enum class TAccess : unsigned char { ReadWrite, ReadOnly };

    explicit TIniFile(std::string path, TAccess access = TAccess::ReadWrite)
        : FFileName(std::move(path)), FAccess(access) {}

    const std::string& FileName() const { return FFileName; }
    TAccess Access() const { return FAccess; }

    /// Key names of the section in file order (a key with an empty value is listed).
    std::vector<std::string> ReadSection(const std::string& section) const;
    bool ValueExists(const std::string& section, const std::string& key) const;
    /// The value with surrounding blanks trimmed, or `fallback` if the key is absent.
    std::string ReadString(const std::string& section, const std::string& key,
                           const std::string& fallback) const;
    /// Replaces the key's value in place, or appends the key to its section, or
    /// the section to the file, or creates the file. A write that would leave
    /// the file as it is touches nothing. Throws EIniWriteError, also when the
    /// file cannot be read first. Does nothing when read-only.
    void WriteString(const std::string& section, const std::string& key, const std::string& value);

    /// How many writes had to change the file, refused ones included.
    std::uint64_t Writes() const { return FWrites; }
    /// Whether the last of those was refused.
    bool WriteRefused() const { return FWriteRefused; }

private:
    void Refused();

    std::string FFileName;
    TAccess FAccess;
    std::uint64_t FWrites = 0;
    bool FWriteRefused = false;
};
