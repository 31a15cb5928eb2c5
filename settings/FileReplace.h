#pragma once

#include <string>
#include <system_error>

/// What reading a whole file found. Only a file that is not there is
/// `Absent`; anything there that could not be read is `Unreadable`.
enum class TReadOutcome { Read, Absent, Unreadable };

struct TFileContent {
    TReadOutcome Outcome = TReadOutcome::Absent;
    /// The file's bytes, when read.
    std::string Content;
    /// The system's reason, when unreadable.
    std::error_code Error;
};

/// Reads the whole of `path`. Never blocks on something that is not a
/// regular file (a FIFO, a device): such a path, a directory, missing
/// permission and a read error all give `Unreadable`.
TFileContent ReadFileContent(const std::string& path);

/// Replaces the whole content of `path` so that a crash or a full disk never
/// leaves it truncated: the content goes to a temporary file beside it, which
/// is then renamed over it, keeping the file's mode and owner; where the new
/// file cannot be given that owner (user and group), nothing is replaced and
/// the error is EPERM. A symbolic link stays a link and the file it names is
/// replaced; a file with several names, or in a directory that cannot take a
/// new file, is rewritten in place, which on a full disk leaves it as it was.
/// A new file honours the umask.
/// A file counts as read-only when it has no write permission bit (also for
/// the superuser) or when this user may not write it.
/// Returns the system's reason when the write is refused (the old content is
/// then intact), an empty error code when written.
std::error_code ReplaceFileContent(const std::string& path, const std::string& content);

/// Removes the temporary files that writers no longer running left in the
/// folder where a write of `path` makes them (on POSIX the folder of the file
/// its symbolic links name): regular files named exactly as ReplaceFileContent
/// names its temporaries, whose process has ended. Best effort: touches
/// nothing else, reports nothing, never throws.
void RemoveStaleTemporaries(const std::string& path);

/// Full path of the running executable.
std::string ExecutablePath();
