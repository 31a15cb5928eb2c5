#pragma once

#include <stdexcept>
#include <string>
#include <vector>

/// A refused write: "Unable to write to <full path>".
class EIniWriteError : public std::runtime_error {
public:
    explicit EIniWriteError(const std::string& path);
};

/// INI access with no cache: every call reads or writes the file itself.
/// Sections and keys match without regard to case. A write touches only the
/// one key's line; every other line keeps its bytes and its line end.
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
    /// the section to the file, or creates the file. Throws EIniWriteError.
    /// Does nothing when read-only.
    void WriteString(const std::string& section, const std::string& key, const std::string& value);

private:
    std::string FFileName;
    TAccess FAccess;
};
