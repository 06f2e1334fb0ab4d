// The registry as the program sees it: Wine's real registry on Windows, the
// file-backed stand-in natively. Both must follow the same rules.
#include <gtest/gtest.h>

#include "platform/Files.h"
#include "platform/Registry.h"
#include "support/TestSupport.h"

namespace {

using platform::RegKey;
using platform::RegRoot;
using platform::RegType;
using platform::RegValue;

const char kBase[] = "Software\\NimbraTest\\Registry";

class RegistryTest : public ::testing::Test {
 protected:
  void TearDown() override {
    platform::RegDeleteKeyTree(RegRoot::CurrentUser, "Software\\NimbraTest", 0);
  }
  test_support::IsolatedSystem system_;
};

TEST_F(RegistryTest, KeysOpenOnlyOnceCreatedAndWithoutRegardToCase) {
  RegKey key;
  EXPECT_NE(key.Open(RegRoot::CurrentUser, kBase, platform::kKeyRead), 0u);
  EXPECT_FALSE(key.IsOpen());
  ASSERT_EQ(key.Create(RegRoot::CurrentUser, std::string(kBase) + "\\Deeper",
                       platform::kKeyRead | platform::kKeyWrite),
            0u);
  RegKey again;
  EXPECT_EQ(again.Open(RegRoot::CurrentUser, "SOFTWARE\\nimbratest\\REGISTRY", platform::kKeyRead),
            0u);
  EXPECT_EQ(again.Open(RegRoot::CurrentUser, kBase + std::string("\\Deeper"),
                       platform::kKeyRead | platform::kKeyWow64_64Key),
            0u);
}

TEST_F(RegistryTest, ValuesRoundTripAndReplaceTheirType) {
  RegKey key;
  ASSERT_EQ(key.Create(RegRoot::CurrentUser, kBase, platform::kKeyRead | platform::kKeyWrite), 0u);
  ASSERT_EQ(key.SetDWord("ProxyEnable", 0xFFFFFFFFu), 0u);
  ASSERT_EQ(key.SetString("ProxyServer", "http=a:1;https=b:2 \"q\" \\ end"), 0u);
  ASSERT_EQ(key.SetString("Empty", ""), 0u);

  RegKey reader;
  ASSERT_EQ(reader.Open(RegRoot::CurrentUser, kBase, platform::kKeyRead), 0u);
  RegValue value;
  ASSERT_EQ(reader.Query("proxyenable", value), 0u);
  EXPECT_EQ(value.type, RegType::DWord);
  EXPECT_EQ(value.dword, 0xFFFFFFFFu);
  ASSERT_EQ(reader.Query("ProxyServer", value), 0u);
  EXPECT_EQ(value.type, RegType::String);
  EXPECT_EQ(value.text, "http=a:1;https=b:2 \"q\" \\ end");
  ASSERT_EQ(reader.Query("Empty", value), 0u);
  EXPECT_EQ(value.text, "");
  EXPECT_EQ(reader.Query("Missing", value), platform::RegErrorNotFound());

  ASSERT_EQ(key.SetString("ProxyEnable", "now text"), 0u);
  ASSERT_EQ(reader.Query("ProxyEnable", value), 0u);
  EXPECT_EQ(value.type, RegType::String);
  ASSERT_EQ(key.DeleteValue("ProxyEnable"), 0u);
  EXPECT_NE(reader.Query("ProxyEnable", value), 0u);
}

TEST_F(RegistryTest, WritesNeedWriteAccessAndTheTestHookRefusesThem) {
  RegKey key;
  ASSERT_EQ(key.Create(RegRoot::CurrentUser, kBase, platform::kKeyRead | platform::kKeyWrite), 0u);
  platform::SetRegistryWriteHookForTesting(
      [](const std::string&, const std::string& name) { return name == "Refused" ? 5u : 0u; });
  EXPECT_EQ(key.SetDWord("Refused", 1), 5u);
  EXPECT_EQ(key.SetDWord("Allowed", 1), 0u);
  platform::SetRegistryWriteHookForTesting({});
  RegValue value;
  EXPECT_NE(key.Query("Refused", value), 0u);
}

#ifndef _WIN32
TEST_F(RegistryTest, StandInSurvivesDamagedLinesAndLeavesNoTemporaryFiles) {
  test_support::WriteFileForTest(
      platform::RegistryFile(),
      "garbage line\n[HKEY_CURRENT_USER\\Software\\NimbraTest\\Registry]\n"
      "\"Good\"=dword:0000002a\n\"Bad\"=dword:zz\n\"Open=\"unterminated\n"
      "[broken\n\"Text\"=\"ok\"\n");
  RegKey key;
  ASSERT_EQ(key.Open(RegRoot::CurrentUser, kBase, platform::kKeyRead | platform::kKeyWrite), 0u);
  RegValue value;
  ASSERT_EQ(key.Query("Good", value), 0u);
  EXPECT_EQ(value.dword, 42u);
  EXPECT_NE(key.Query("Bad", value), 0u);
  ASSERT_EQ(key.Query("Text", value), 0u);
  EXPECT_EQ(value.text, "ok");
  ASSERT_EQ(key.SetDWord("New", 7), 0u);
  const auto entries = platform::ListDirectory(system_.Root().Path());
  ASSERT_TRUE(entries.has_value());
  for (const auto& entry : *entries) EXPECT_EQ(entry.name.find("registry.reg."), std::string::npos);
}
#endif

}  // namespace
