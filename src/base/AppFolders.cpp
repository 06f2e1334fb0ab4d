#include "base/AppFolders.h"

#include "base/Product.h"
#include "platform/Paths.h"

namespace {
std::string g_application_folder;
std::string g_data_folder;
std::string g_application_folder_override;
}  // namespace

std::string ProductDataFolder() {
  const std::string documents =
      platform::GetSpecialFolder(platform::SpecialFolder::CommonDocuments);
  return documents + platform::kPathDelim + kProductName + platform::kPathDelim;
}

void InitAppFolders(const std::string& DataPath) {
  g_application_folder = g_application_folder_override.empty()
                             ? platform::ExtractFilePath(platform::ExecutablePath())
                             : g_application_folder_override;
  g_data_folder = platform::IncludeTrailingDelimiter(DataPath);
  // A folder that cannot be created is not reported: options then read as
  // their defaults and the log stays silent.
  platform::ForceDirectories(g_data_folder);
}

void SetApplicationFolderForTesting(const std::string& Folder) {
  g_application_folder_override = platform::IncludeTrailingDelimiter(Folder);
  if (Folder.empty()) g_application_folder_override.clear();
  g_application_folder = g_application_folder_override.empty()
                             ? platform::ExtractFilePath(platform::ExecutablePath())
                             : g_application_folder_override;
}

const std::string& ApplicationFolder() { return g_application_folder; }

const std::string& DataFolder() { return g_data_folder; }
