#pragma once

#include <string>

/// Replaces the whole content of `path` so that a crash or a full disk never
/// leaves it truncated: the content goes to a temporary file beside it, which
/// is then renamed over it. Where the directory cannot take a new file but the
/// file itself is writable, the file is rewritten in place. A file without any
/// write permission bit counts as read-only, also for the superuser.
/// Returns false when the write is refused; the old content is then intact.
bool ReplaceFileContent(const std::string& path, const std::string& content);

/// Reads the whole file; false when it is missing or cannot be read. Paths
/// are UTF-8 on every system.
bool ReadFileContent(const std::string& path, std::string& content);

/// Full path of the running executable (UTF-8).
std::string ExecutablePath();
