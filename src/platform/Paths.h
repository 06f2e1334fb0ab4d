// Where things are: the executable, the shell's special folders, folder chains.
#pragma once

#include <string>

namespace platform {

// The separator of this platform's paths: '\' on Windows, '/' elsewhere.
#ifdef _WIN32
inline constexpr char kPathDelim = '\\';
#else
inline constexpr char kPathDelim = '/';
#endif

// Full path of the running executable.
std::string ExecutablePath();

enum class SpecialFolder {
  CommonDocuments,  // per-machine documents shared by all users
  AppData,          // the user's roaming application data
  Fonts,            // the system's font folder
};

// The folder without a trailing separator; empty when the system cannot say.
std::string GetSpecialFolder(SpecialFolder folder);

// Points a special folder somewhere else for the rest of the process (tests and
// demos), or back to the system's answer when `path` is empty.
void OverrideSpecialFolder(SpecialFolder folder, const std::string& path);

// Appends kPathDelim unless the text already ends with a separator.
std::string IncludeTrailingDelimiter(const std::string& path);

// The part of `path` up to and including its last separator ("" when none).
std::string ExtractFilePath(const std::string& path);
// The part after the last separator.
std::string ExtractFileName(const std::string& path);

// Creates the folder and every missing folder above it. True when the folder
// exists afterwards.
bool ForceDirectories(const std::string& path);

bool FileExists(const std::string& path);
bool DirectoryExists(const std::string& path);

}  // namespace platform
