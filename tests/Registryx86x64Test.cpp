// The registry helpers of the proxy activators and the WOW64 answer: under
// Wine the 32-bit tests run in a 64-bit prefix, so the 64-bit view is real.
// Built as a 64-bit program the process is not under WOW64 and its own view
// is the 64-bit one.
#include <gtest/gtest.h>

#include "activators/Registryx86x64.h"
#include "activators/Win64.h"
#include "platform/Registry.h"
#include "support/TestSupport.h"

namespace {

using platform::RegKey;
using platform::RegRoot;

const char kKey[] = "Software\\NimbraTest\\Registryx86x64";

class Registryx86x64Test : public ::testing::Test {
 protected:
  void TearDown() override {
    RegistryView = 0;
    platform::SetRegistryWriteHookForTesting({});
    platform::RegDeleteKeyTree(RegRoot::CurrentUser, "Software\\NimbraTest", 0);
    platform::RegDeleteKeyTree(RegRoot::LocalMachine, "Software\\NimbraTest",
                               platform::kKeyWow64_64Key);
  }
  test_support::IsolatedSystem system_;
};

TEST_F(Registryx86x64Test, ReadsReportFailureWithoutRaisingAndKeepOrEmptyTheirOutput) {
  RegKey key;
  ASSERT_EQ(key.Create(RegRoot::CurrentUser, kKey, platform::kKeyRead | platform::kKeyWrite), 0u);
  ASSERT_EQ(key.SetDWord("Number", 0xFFFFFFFEu), 0u);
  ASSERT_EQ(key.SetString("Text", "http=a:1;https=b:2"), 0u);

  std::int32_t number = 42;
  EXPECT_TRUE(ReadRegistryInteger(RegRoot::CurrentUser, kKey, "Number", number));
  EXPECT_EQ(number, -2);
  number = 42;
  EXPECT_FALSE(ReadRegistryInteger(RegRoot::CurrentUser, kKey, "Missing", number));
  EXPECT_FALSE(ReadRegistryInteger(RegRoot::CurrentUser, kKey, "Text", number));
  EXPECT_FALSE(ReadRegistryInteger(RegRoot::CurrentUser, "Software\\NimbraTest\\No", "N", number));
  EXPECT_EQ(number, 42);

  std::string text = "before";
  EXPECT_TRUE(ReadRegistryString(RegRoot::CurrentUser, kKey, "Text", text));
  EXPECT_EQ(text, "http=a:1;https=b:2");
  text = "before";
  EXPECT_TRUE(ReadRegistryString(RegRoot::CurrentUser, kKey, "Missing", text));
  EXPECT_EQ(text, "");
  text = "before";
  EXPECT_FALSE(ReadRegistryString(RegRoot::CurrentUser, kKey, "Number", text));
  EXPECT_EQ(text, "");

  EXPECT_TRUE(RegistryKeyExists(RegRoot::CurrentUser, kKey));
  EXPECT_FALSE(RegistryKeyExists(RegRoot::CurrentUser, "Software\\NimbraTest\\No"));
}

TEST_F(Registryx86x64Test, WritesGoIntoExistingKeysOnlyAndRefusalsNameTheValue) {
  WriteRegistryString(RegRoot::CurrentUser, kKey, "Text", "x");
  WriteRegistryInteger(RegRoot::CurrentUser, kKey, "Number", 1);
  EXPECT_FALSE(RegistryKeyExists(RegRoot::CurrentUser, kKey));

  RegKey key;
  ASSERT_EQ(key.Create(RegRoot::CurrentUser, kKey, platform::kKeyRead | platform::kKeyWrite), 0u);
  ASSERT_EQ(key.SetString("Number", "was text"), 0u);
  WriteRegistryInteger(RegRoot::CurrentUser, kKey, "Number", -1);
  platform::RegValue value;
  ASSERT_EQ(key.Query("Number", value), 0u);
  EXPECT_EQ(value.type, platform::RegType::DWord);
  EXPECT_EQ(value.dword, 0xFFFFFFFFu);

  platform::SetRegistryWriteHookForTesting(
      [](const std::string&, const std::string& name) { return name == "ProxyEnable" ? 5u : 0u; });
  try {
    WriteRegistryInteger(RegRoot::CurrentUser, kKey, "ProxyEnable", 1);
    FAIL() << "no error";
  } catch (const ERegistryWriteError& error) {
    EXPECT_NE(std::string(error.what()).find("\"ProxyEnable\""), std::string::npos);
  }
  EXPECT_THROW(WriteRegistryString(RegRoot::CurrentUser, kKey, "ProxyEnable", ""),
               ERegistryWriteError);
}

TEST_F(Registryx86x64Test, TheViewFlagReachesEveryOperation) {
#if defined(_WIN32) && !defined(_WIN64)
  // The 32-bit tests run in a 64-bit prefix.
  EXPECT_TRUE(IsWin64());
#else
  // Natively, and in a 64-bit process, which WOW64 does not wrap.
  EXPECT_FALSE(IsWin64());
#endif
  EXPECT_EQ(IsWow64(), IsWin64());

  // Machine-wide software keys are kept apart per view; the key below exists
  // in the 64-bit view only.
  const char machine_key[] = "Software\\NimbraTest\\View";
  RegKey key;
  ASSERT_EQ(key.Create(RegRoot::LocalMachine, machine_key,
                       platform::kKeyRead | platform::kKeyWrite | platform::kKeyWow64_64Key),
            0u);
  RegistryView = platform::kKeyWow64_64Key;
  EXPECT_TRUE(RegistryKeyExists(RegRoot::LocalMachine, machine_key));
  WriteRegistryString(RegRoot::LocalMachine, machine_key, "Seen", "64");
  std::string text;
  EXPECT_TRUE(ReadRegistryString(RegRoot::LocalMachine, machine_key, "Seen", text));
  EXPECT_EQ(text, "64");

  RegistryView = 0;
  // Without WOW64 there is one view, which the flag names as well.
  EXPECT_EQ(RegistryKeyExists(RegRoot::LocalMachine, machine_key), !IsWin64());
#ifdef _WIN64
  // The process's own view is the 64-bit one; the 32-bit programs' view is
  // still kept apart from it.
  text.clear();
  EXPECT_TRUE(ReadRegistryString(RegRoot::LocalMachine, machine_key, "Seen", text));
  EXPECT_EQ(text, "64");
  RegKey other;
  EXPECT_NE(other.Open(RegRoot::LocalMachine, machine_key,
                       platform::kKeyRead | platform::kKeyWow64_32Key),
            0u);
#endif
}

}  // namespace
