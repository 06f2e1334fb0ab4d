#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/Paths.h"
#include "platform/PathsInternal.h"
#include "platform/ShortPath.h"

namespace platform {

namespace {
std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  return home != nullptr ? home : "";
}

std::string XdgFolder(const char* variable, const char* fallback_below_home) {
  const char* value = std::getenv(variable);
  if (value != nullptr && value[0] == '/') return value;
  const std::string home = HomeFolder();
  if (home.empty()) return "";
  return home + "/" + fallback_below_home;
}
}  // namespace

std::string ExecutablePath() {
  char buffer[4096];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return "";
  return std::string(buffer, static_cast<std::size_t>(n));
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

std::string ShortPath(const std::string& path) { return path; }

bool DirectoryExists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

namespace internal {

// Stand-ins for the Windows shell folders: the shared documents folder maps to
// the user's data folder, roaming application data to the configuration
// folder, where Linux programs keep their settings.
std::string SystemSpecialFolder(SpecialFolder folder) {
  switch (folder) {
    case SpecialFolder::CommonDocuments:
      return XdgFolder("XDG_DATA_HOME", ".local/share");
    case SpecialFolder::AppData:
      return XdgFolder("XDG_CONFIG_HOME", ".config");
    case SpecialFolder::Fonts: {
      const std::string data = XdgFolder("XDG_DATA_HOME", ".local/share");
      return data.empty() ? "" : data + "/fonts";
    }
  }
  return "";
}

bool MakeDirectory(const std::string& path) { return mkdir(path.c_str(), 0777) == 0; }

}  // namespace internal
}  // namespace platform
