#include <cstdlib>
#include <mutex>

#include "platform/BrowserFolders.h"
#include "platform/Paths.h"

namespace platform {

namespace {
std::mutex g_mutex;
std::string g_home_override;

std::string HomeFolder() {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_home_override.empty()) return g_home_override;
  }
  const char* home = std::getenv("HOME");
  return home != nullptr && home[0] == '/' ? home : "";
}

std::string Below(const std::string& folder, const char* rest) {
  return folder.empty() ? "" : IncludeTrailingDelimiter(folder) + rest;
}
}  // namespace

// Opera keeps its settings in the configuration folder (the stand-in for
// roaming application data); Firefox keeps its profiles in ~/.mozilla/firefox,
// with no "Profiles" folder between.
std::string GetBrowserFolder(BrowserFolder folder) {
  switch (folder) {
    case BrowserFolder::OperaSearchRoot:
      return Below(GetSpecialFolder(SpecialFolder::AppData), "");
    case BrowserFolder::FirefoxProfiles:
      return Below(HomeFolder(), ".mozilla/firefox/");
    case BrowserFolder::FirefoxRoot:
      return Below(HomeFolder(), ".mozilla/");
  }
  return "";
}

void OverrideHomeFolder(const std::string& path) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_home_override = path;
}

}  // namespace platform
