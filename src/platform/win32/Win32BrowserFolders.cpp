#include "platform/BrowserFolders.h"
#include "platform/Paths.h"

namespace platform {

std::string GetBrowserFolder(BrowserFolder folder) {
  // An unknown application-data folder leaves the rest of the path to start
  // at the root of the current drive, as the shell's empty answer would.
  const std::string app_data = GetSpecialFolder(SpecialFolder::AppData);
  switch (folder) {
    case BrowserFolder::OperaSearchRoot:
      return app_data + "\\";
    case BrowserFolder::FirefoxProfiles:
      return app_data + "\\Mozilla\\Firefox\\Profiles\\";
    case BrowserFolder::FirefoxRoot:
      return app_data + "\\Mozilla\\Firefox\\";
  }
  return "";
}

void OverrideHomeFolder(const std::string&) {}

}  // namespace platform
