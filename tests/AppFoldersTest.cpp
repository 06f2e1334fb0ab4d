#include <gtest/gtest.h>

#include "app/Permissions.h"
#include "base/AppFolders.h"
#include "platform/Abi.h"
#include "platform/Paths.h"
#include "support/TestSupport.h"

namespace {

TEST(AppFoldersTest, FoldersEndWithSeparatorAndDataFolderIsCreated) {
  test_support::TempFolder temp;
  const std::string nested =
      temp / "a" + platform::kPathDelim + "b" + platform::kPathDelim + "Nimbra";
  InitAppFolders(nested);
  EXPECT_EQ(DataFolder(), nested + platform::kPathDelim);
  EXPECT_TRUE(platform::DirectoryExists(nested));
  EXPECT_EQ(ApplicationFolder(), platform::ExtractFilePath(platform::ExecutablePath()));
  EXPECT_EQ(ApplicationFolder().back(), platform::kPathDelim);

  InitAppFolders(nested + platform::kPathDelim);  // already ends with one
  EXPECT_EQ(DataFolder(), nested + platform::kPathDelim);
}

TEST(AppFoldersTest, UncreatableDataFolderIsNotReported) {
  test_support::TempFolder temp;
  test_support::WriteFileForTest(temp / "file", "x");
  const std::string beneath = temp / "file" + platform::kPathDelim + "Nimbra";
  EXPECT_NO_THROW(InitAppFolders(beneath));
  EXPECT_EQ(DataFolder(), beneath + platform::kPathDelim);
  EXPECT_FALSE(platform::DirectoryExists(beneath));
}

TEST(PathsTest, SplittingPaths) {
#ifdef _WIN32
  EXPECT_EQ(platform::ExtractFilePath("C:\\Apps\\Nimbra\\Nimbra.exe"), "C:\\Apps\\Nimbra\\");
  EXPECT_EQ(platform::ExtractFileName("C:\\Apps\\Nimbra\\Nimbra.exe"), "Nimbra.exe");
  EXPECT_EQ(platform::IncludeTrailingDelimiter("C:\\Data"), "C:\\Data\\");
#else
  EXPECT_EQ(platform::ExtractFilePath("/opt/nimbra/Nimbra"), "/opt/nimbra/");
  EXPECT_EQ(platform::ExtractFileName("/opt/nimbra/Nimbra"), "Nimbra");
#endif
  EXPECT_EQ(platform::IncludeTrailingDelimiter(""), std::string(1, platform::kPathDelim));
}

int PLATFORM_STDCALL FakeFilter(std::uint32_t message, std::uint32_t action) {
  return static_cast<int>(message * 10 + action);
}

TEST(PermissionsTest, WithoutFilterNothingHappens) {
#ifdef _WIN32
  // The system's filter lets the message through.
  EXPECT_NE(AllowWindowMessage(9, MSGFLT_ADD), 0u);
#else
  EXPECT_EQ(AllowWindowMessage(9, MSGFLT_ADD), 0u);
#endif
  EXPECT_EQ(WindowMessageFilterFrom(reinterpret_cast<void*>(&FakeFilter))(9, MSGFLT_ADD), 91u);
  EXPECT_EQ(WindowMessageFilterFrom(nullptr)(9, MSGFLT_ADD), 0u);
}

}  // namespace
