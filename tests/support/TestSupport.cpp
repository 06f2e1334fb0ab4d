#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Registry.h"
#include "platform/Thread.h"

namespace test_support {

namespace fs = std::filesystem;

TempFolder::TempFolder() {
  static std::atomic<int> counter{0};
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  const fs::path folder = fs::temp_directory_path() / ("nimbra-test-" + std::to_string(stamp) +
                                                       "-" + std::to_string(++counter));
  fs::create_directories(folder);
  path_ = platform::IncludeTrailingDelimiter(folder.string());
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  fs::remove_all(fs::path(path_), ignored);
}

IsolatedSystem::IsolatedSystem() {
  fs::create_directories(fs::path(CommonDocuments()));
  fs::create_directories(fs::path(AppData()));
  platform::OverrideSpecialFolder(platform::SpecialFolder::CommonDocuments, CommonDocuments());
  platform::OverrideSpecialFolder(platform::SpecialFolder::AppData, AppData());
  platform::SetRegistryFile(root_ / "registry.reg");
}

IsolatedSystem::~IsolatedSystem() {
  platform::OverrideSpecialFolder(platform::SpecialFolder::CommonDocuments, "");
  platform::OverrideSpecialFolder(platform::SpecialFolder::AppData, "");
  platform::SetRegistryFile("");
}

std::string IsolatedSystem::CommonDocuments() const { return root_ / "Documents"; }

std::string IsolatedSystem::AppData() const { return root_ / "AppData"; }

bool PumpUntil(const std::function<bool()>& done, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    platform::WaitAndPumpSynchronizedCalls(10);
  }
  return true;
}

std::string ReadFileOrMissing(const std::string& path) {
  const auto content = platform::ReadWholeFile(path);
  return content ? *content : "<missing>";
}

void WriteFileForTest(const std::string& path, const std::string& bytes) {
  std::ofstream out(fs::path(path), std::ios::binary | std::ios::trunc);
  out << bytes;
  ASSERT_TRUE(out.good()) << path;
}

}  // namespace test_support
