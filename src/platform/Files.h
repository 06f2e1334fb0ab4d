// Whole-file reads and writes, and the one-line append of the log.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Appends `bytes` to the file, creating it when missing; the file is closed
// again before returning. False when the file could not be opened or written.
bool AppendToFile(const std::string& path, std::string_view bytes);

// The file's bytes, or nothing when it cannot be read.
std::optional<std::string> ReadWholeFile(const std::string& path);

// Writes a new file beside `path` and then replaces `path` with it, so that a
// failed or interrupted write never leaves a half-written file behind.
// False (and the old file untouched) on any failure.
bool ReplaceFileAtomically(const std::string& path, std::string_view bytes);

// Creates or truncates the file and writes `bytes` (for files nobody else
// depends on, such as a first-time settings file).
bool WriteNewFile(const std::string& path, std::string_view bytes);

bool DeleteFileAt(const std::string& path);

struct DirEntry {
  std::string name;
  bool is_directory = false;
};

// The entries of a folder in the system's listing order, without "." and "..".
// Nothing when the listing cannot be started.
std::optional<std::vector<DirEntry>> ListDirectory(const std::string& folder);

}  // namespace platform
