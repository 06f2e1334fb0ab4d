// The Nimbra program's entry. Until the windows exist it runs the start-up
// steps that are built and reports on the console what they did.
#include <cstdio>

#include "core/AppFolders.h"
#include "core/Logger.h"
#include "platform/Paths.h"

namespace {
const char kProductName[] = "Nimbra";
const char kDebugModeKey[] = "SOFTWARE\\Corvane\\Nimbra\\DebugMode";
}  // namespace

int main() {
  const std::string documents =
      platform::GetSpecialFolder(platform::SpecialFolder::CommonDocuments);
  InitAppFolders(documents + platform::kPathDelim + kProductName + platform::kPathDelim);
  InitLogFromRegistry(platform::RegRoot::CurrentUser, kDebugModeKey);
  StartExceptionLog();

  std::printf("%s\n  application folder: %s\n  data folder: %s\n  log: %s\n", kProductName,
              ApplicationFolder().c_str(), DataFolder().c_str(),
              LogEnabled() ? LogFileName().c_str() : "off (no debug-mode key)");
  LogMessage("Started", "InitFinal");
  return 0;
}
