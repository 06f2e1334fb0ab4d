#include <gtest/gtest.h>

#include "base/AppFolders.h"
#include "base/OptionsUnit.h"
#include "platform/Locale.h"
#include "platform/Paths.h"
#include "support/TestSupport.h"

namespace {

using test_support::ReadFileOrMissing;
using test_support::TempFolder;
using test_support::WriteFileForTest;

class OptionsTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::SetDecimalSeparatorForTesting('\0'); }

  std::string Write(const std::string& lines) {
    WriteFileForTest(path_, "[Options]\r\n" + lines);
    return path_;
  }

  TempFolder temp_;
  std::string path_ = temp_ / "options.ini";
};

TEST_F(OptionsTest, ReadsFallBackToTheDefaultForTextThatIsNotANumber) {
  const TOptions options(
      Write("RunMinim=yes\r\nAutorun=2\r\nSwitchPeriod=15 \r\nPeriod2=abc\r\nX_Action=0x2\r\n"));
  EXPECT_FALSE(options.GetOption("RunMinim", false));
  EXPECT_TRUE(options.GetOption("Autorun", false));
  EXPECT_EQ(options.GetOption("SwitchPeriod", 30), 15);
  EXPECT_EQ(options.GetOption("Period2", 30), 30);
  EXPECT_EQ(options.GetOption("Period2", "30"), "abc");
  EXPECT_EQ(options.GetOption("X_Action", 3), 2);
  EXPECT_EQ(options.GetOption("LanguageID", 1033), 1033);
  EXPECT_EQ(options.GetOption("SwitchPeriod", std::string("30")), "15");
}

TEST_F(OptionsTest, MissingOrUnreadableFileGivesDefaults) {
  const TOptions missing(temp_ / "none.ini");
  EXPECT_TRUE(missing.GetOption("Autorun", true));
  EXPECT_EQ(missing.GetOption("SwitchPeriod", "30"), "30");
  EXPECT_EQ(missing.GetOption("Ratio", 1.5), 1.5);

  ASSERT_TRUE(platform::ForceDirectories(temp_ / "folder.ini"));
  const TOptions folder(temp_ / "folder.ini");
  EXPECT_EQ(folder.GetOption("X_Action", 3), 3);
}

TEST_F(OptionsTest, WritesTheStoredLayout) {
  TOptions options(path_);
  options.SetOption("Autorun", true);
  options.SetOption("RunMinim", false);
  options.SetOption("X_Action", 2);
  options.SetOption("SwitchPeriod", "45");
  const std::string content = ReadFileOrMissing(path_);
  EXPECT_NE(content.find("[Options]"), std::string::npos);
  EXPECT_NE(content.find("Autorun=1"), std::string::npos);
  EXPECT_NE(content.find("RunMinim=0"), std::string::npos);
  EXPECT_NE(content.find("X_Action=2"), std::string::npos);
  EXPECT_NE(content.find("SwitchPeriod=45"), std::string::npos);

  // A second store sees what the first wrote; a deleted key reads as default.
  const TOptions other(path_);
  EXPECT_EQ(other.GetOption("SwitchPeriod", 30), 45);
  options.DeleteKey("X_Action");
  EXPECT_EQ(other.GetOption("X_Action", 3), 3);
}

TEST_F(OptionsTest, NumbersWrittenWithADecimalCommaReadBack) {
  platform::SetDecimalSeparatorForTesting(',');
  TOptions options(path_);
  options.SetOption("Ratio", 2.5);
  EXPECT_NE(ReadFileOrMissing(path_).find("Ratio=2,5"), std::string::npos);
  platform::SetDecimalSeparatorForTesting('.');
  EXPECT_EQ(options.GetOption("Ratio", 0.0), 2.5);

  Write("Dot=0.125\r\nComma=-3,75\r\nExp=1e3\r\nBad=1.2.3\r\nMixed=1,5e2\r\n");
  EXPECT_EQ(options.GetOption("Dot", 0.0), 0.125);
  EXPECT_EQ(options.GetOption("Comma", 0.0), -3.75);
  EXPECT_EQ(options.GetOption("Exp", 0.0), 1000.0);
  EXPECT_EQ(options.GetOption("Bad", 7.0), 7.0);
  EXPECT_EQ(options.GetOption("Mixed", 0.0), 150.0);
}

TEST_F(OptionsTest, DateTimes) {
  TOptions options(path_);
  options.SetOption("Zero", TDateTime{0});
  options.SetOption("Stamp", TDateTime{45000.5});
  EXPECT_EQ(options.GetDateTimeStr("Zero", "never"), "never");
  EXPECT_EQ(options.GetDateTimeStr("Missing", "never"), "never");
  const std::string stamp = options.GetDateTimeStr("Stamp", "never");
  EXPECT_NE(stamp, "never");
  EXPECT_NE(stamp.find("12"), std::string::npos) << stamp;
  EXPECT_NE(stamp.find("15"), std::string::npos) << stamp;
  options.SetOption("Huge", 1e300);
  EXPECT_EQ(options.GetDateTimeStr("Huge", "never"), "never");

  platform::LocalTime t;
  ASSERT_TRUE(DecodeOptionDateTime(45000.5, t));
  EXPECT_EQ(std::make_tuple(t.year, t.month, t.day, t.hour, t.minute),
            std::make_tuple(2023, 3, 15, 12, 0));
  ASSERT_TRUE(DecodeOptionDateTime(2, t));
  EXPECT_EQ(std::make_tuple(t.year, t.month, t.day), std::make_tuple(1900, 1, 1));
  ASSERT_TRUE(DecodeOptionDateTime(-1.25, t));
  EXPECT_EQ(std::make_tuple(t.year, t.month, t.day, t.hour), std::make_tuple(1899, 12, 29, 6));
  ASSERT_TRUE(DecodeOptionDateTime(0.99999999999, t));
  EXPECT_EQ(std::make_tuple(t.day, t.hour), std::make_tuple(31, 0));
}

TEST_F(OptionsTest, FailedWriteRaisesAndReadsStaySilent) {
  WriteFileForTest(temp_ / "file", "x");
  const std::string path = temp_ / "file" + platform::kPathDelim + "options.ini";
  TOptions options(path);
  EXPECT_THROW(options.SetOption("Autorun", true), EIniFileError);
  EXPECT_THROW(options.SetOption("Ratio", 1.5), EIniFileError);
  EXPECT_EQ(options.GetOption("Autorun", false), false);
}

TEST_F(OptionsTest, DefaultFileIsInTheDataFolder) {
  test_support::IsolatedSystem system;
  const std::string data = system.Root() / "Data";
  InitAppFolders(data);
  EXPECT_EQ(TOptions::GetFileName(), data + platform::kPathDelim + "options.ini");
  TOptions(std::string()).SetOption("LanguageID", 1049);
  EXPECT_EQ(TOptions().GetOption("LanguageID", 1033), 1049);
  EXPECT_NE(ReadFileOrMissing(data + platform::kPathDelim + "options.ini").find("LanguageID=1049"),
            std::string::npos);
}

}  // namespace
