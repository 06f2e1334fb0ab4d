// The parts of path handling that are the same on every platform.
#include "platform/Paths.h"

#include <map>
#include <mutex>

#include "platform/PathsInternal.h"

namespace platform {

namespace {
std::mutex g_override_mutex;
std::map<SpecialFolder, std::string> g_overrides;

bool IsDelim(char c) {
#ifdef _WIN32
  return c == '\\' || c == '/' || c == ':';
#else
  return c == '/';
#endif
}
}  // namespace

std::string GetSpecialFolder(SpecialFolder folder) {
  {
    std::lock_guard<std::mutex> lock(g_override_mutex);
    auto it = g_overrides.find(folder);
    if (it != g_overrides.end()) return it->second;
  }
  return internal::SystemSpecialFolder(folder);
}

void OverrideSpecialFolder(SpecialFolder folder, const std::string& path) {
  std::lock_guard<std::mutex> lock(g_override_mutex);
  if (path.empty()) {
    g_overrides.erase(folder);
  } else {
    g_overrides[folder] = path;
  }
}

std::string IncludeTrailingDelimiter(const std::string& path) {
  if (!path.empty() && (path.back() == '/' || path.back() == kPathDelim)) return path;
  return path + kPathDelim;
}

std::string ExtractFilePath(const std::string& path) {
  for (std::size_t i = path.size(); i > 0; --i) {
    if (IsDelim(path[i - 1])) return path.substr(0, i);
  }
  return "";
}

std::string ExtractFileName(const std::string& path) {
  return path.substr(ExtractFilePath(path).size());
}

namespace {
std::string StripTrailingDelims(std::string path) {
  while (path.size() > 1 && IsDelim(path.back()) && path.back() != ':') path.pop_back();
  return path;
}
}  // namespace

bool ForceDirectories(const std::string& path) {
  const std::string folder = StripTrailingDelims(path);
  if (folder.empty()) return false;
  if (DirectoryExists(folder)) return true;
  const std::string parent = StripTrailingDelims(ExtractFilePath(folder));
  // Roots ("/", "\", "C:") end the climb: there is nothing above them to make.
  if (!parent.empty() && parent.size() < folder.size()) ForceDirectories(parent);
  return internal::MakeDirectory(folder) || DirectoryExists(folder);
}

}  // namespace platform
