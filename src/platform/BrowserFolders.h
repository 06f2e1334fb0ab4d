// Where the browsers whose proxy settings the program switches keep their
// settings files. On Windows they lie in the roaming application-data shell
// folder; on Linux each browser has its own place below the home folder.
#pragma once

#include <string>

namespace platform {

enum class BrowserFolder {
  OperaSearchRoot,  // searched for opera6.ini (Windows: AppData; Linux: ~/.config)
  FirefoxProfiles,  // holds the profile folders (AppData\Mozilla\Firefox\Profiles;
                    // ~/.mozilla/firefox)
  FirefoxRoot,      // one level above the profiles (AppData\Mozilla\Firefox; ~/.mozilla)
};

// The folder with a trailing separator. Windows answers as its shell does:
// with the application-data folder unknown, the path starts at the root of
// the current drive ("\", "\Mozilla\Firefox\"). On POSIX the answer is empty
// when neither the home nor the configuration folder is known.
std::string GetBrowserFolder(BrowserFolder folder);

// POSIX: the home folder below which the Linux browsers keep their settings
// ($HOME unless overridden). Tests and demos point it at a private folder; an
// empty path goes back to $HOME. No effect on Windows.
void OverrideHomeFolder(const std::string& path);

}  // namespace platform
