// INI files as the program sees them: the system's private-profile functions
// on Windows (under Wine), the text implementation natively. Both must follow
// the same rules.
#include <gtest/gtest.h>

#include <cstdint>

#include "platform/IniFile.h"
#include "platform/Paths.h"
#include "support/TestSupport.h"

namespace {

using platform::IniFile;
using test_support::ReadFileOrMissing;
using test_support::TempFolder;
using test_support::WriteFileForTest;

const char kSample[] =
    "; settings\r\n"
    "[Options]\r\n"
    "  Autorun = 1 \r\n"
    "SwitchPeriod=15 \r\n"
    "Spaced =   mid  dle   \r\n"
    "Quoted=\"in quotes\"\r\n"
    "Half=\"open\r\n"
    "Empty=\r\n"
    "NoValueLine\r\n"
    "\r\n"
    "[Other]\r\n"
    "Key=other\r\n"
    "[Options]\r\n"
    "Hidden=second section\r\n";

TEST(IniFileTest, ReadsTrimmedValuesWithoutRegardToCase) {
  TempFolder temp;
  WriteFileForTest(temp / "a.ini", kSample);
  const IniFile ini(temp / "a.ini");
  EXPECT_EQ(ini.ReadString("options", "AUTORUN", "d"), "1");
  EXPECT_EQ(ini.ReadString("Options", "SwitchPeriod", "d"), "15");
  EXPECT_EQ(ini.ReadString("Options", "Spaced", "d"), "mid  dle");
  EXPECT_EQ(ini.ReadString("Options", "Quoted", "d"), "in quotes");
  EXPECT_EQ(ini.ReadString("Options", "Half", "d"), "\"open");
  EXPECT_EQ(ini.ReadString("Options", "Empty", "d"), "");
  EXPECT_EQ(ini.ReadString("Options", "NoValueLine", "d"), "d");
  EXPECT_EQ(ini.ReadString("Other", "Key", "d"), "other");
  // Only the first section of a name is read.
  EXPECT_EQ(ini.ReadString("Options", "Hidden", "d"), "d");
  EXPECT_EQ(ini.ReadString("Missing", "Key", "d"), "d");
  EXPECT_EQ(IniFile(temp / "missing.ini").ReadString("Options", "Autorun", "d"), "d");
}

TEST(IniFileTest, LongValuesAreCut) {
  TempFolder temp;
  WriteFileForTest(temp / "a.ini", "[Options]\r\nLong=" + std::string(3000, 'x') + "\r\n");
  EXPECT_EQ(IniFile(temp / "a.ini").ReadString("Options", "Long", ""),
            std::string(platform::kIniMaxValueLength, 'x'));
}

TEST(IniFileTest, IntegersAreDecimalOrHexadecimal) {
  TempFolder temp;
  WriteFileForTest(temp / "a.ini",
                   "[Options]\r\nHex=0x2\r\nHexUpper=0X1f\r\nDollar=$FF\r\nNegative=-7\r\n"
                   "Padded=15 \r\nWord=abc\r\nPrefixOnly=0x\r\nTrailing=12abc\r\n"
                   "TooBig=2147483648\r\nLowest=-2147483648\r\nAllBits=0xFFFFFFFF\r\n"
                   "TooWide=0x100000000\r\nPlus=+5\r\nYes=yes\r\nTwo=2\r\nZero=0\r\n");
  const IniFile ini(temp / "a.ini");
  EXPECT_EQ(ini.ReadInteger("Options", "Hex", 3), 2);
  EXPECT_EQ(ini.ReadInteger("Options", "HexUpper", 3), 31);
  EXPECT_EQ(ini.ReadInteger("Options", "Dollar", 3), 255);
  EXPECT_EQ(ini.ReadInteger("Options", "Negative", 3), -7);
  EXPECT_EQ(ini.ReadInteger("Options", "Padded", 30), 15);
  EXPECT_EQ(ini.ReadInteger("Options", "Lowest", 3), INT32_MIN);
  EXPECT_EQ(ini.ReadInteger("Options", "AllBits", 3), -1);
  for (const char* bad : {"Word", "PrefixOnly", "Trailing", "TooBig", "TooWide", "Plus", "None"}) {
    EXPECT_EQ(ini.ReadInteger("Options", bad, 30), 30) << bad;
  }
  EXPECT_FALSE(ini.ReadBool("Options", "Yes", false));
  EXPECT_TRUE(ini.ReadBool("Options", "Yes", true));
  EXPECT_TRUE(ini.ReadBool("Options", "Two", false));
  EXPECT_FALSE(ini.ReadBool("Options", "Zero", true));
}

TEST(IniFileTest, WritesCreateFileSectionAndKeyAndReplaceInPlace) {
  TempFolder temp;
  const std::string path = temp / "new.ini";
  IniFile ini(path);
  ini.WriteInteger("Options", "X_Action", 3);
  ini.WriteBool("Options", "Autorun", false);
  ini.WriteString("Second", "Text", "some text");
  EXPECT_EQ(ini.ReadInteger("options", "x_action", 0), 3);
  EXPECT_EQ(ini.ReadString("Options", "Autorun", ""), "0");
  EXPECT_EQ(ini.ReadString("SECOND", "text", ""), "some text");

  ini.WriteInteger("OPTIONS", "x_action", 1);
  EXPECT_EQ(ini.ReadInteger("Options", "X_Action", 0), 1);
  const std::string content = ReadFileOrMissing(path);
  EXPECT_EQ(content.find("[Options]"), content.rfind("[Options]")) << content;
  EXPECT_EQ(content.find("ction=1"), content.rfind("ction=")) << content;

  WriteFileForTest(path, kSample);
  ini.WriteString("Options", "SwitchPeriod", "20");
  ini.WriteString("Options", "Added", "new");
  EXPECT_EQ(ini.ReadString("Options", "SwitchPeriod", ""), "20");
  EXPECT_EQ(ini.ReadString("Options", "Added", ""), "new");
  EXPECT_EQ(ini.ReadString("Options", "Spaced", ""), "mid  dle");
  EXPECT_EQ(ini.ReadString("Other", "Key", ""), "other");
  EXPECT_NE(ReadFileOrMissing(path).find("; settings"), std::string::npos);
}

TEST(IniFileTest, LineBreaksInValuesNeverStartNewKeys) {
  TempFolder temp;
  IniFile ini(temp / "a.ini");
  ini.WriteString("Options", "SwitchPeriod", "15\r\nInjected=1\nMore=2");
  EXPECT_EQ(ini.ReadString("Options", "SwitchPeriod", ""), "15 Injected=1 More=2");
  EXPECT_EQ(ini.ReadString("Options", "Injected", "none"), "none");
}

TEST(IniFileTest, DeleteKeyRemovesOnlyThatKey) {
  TempFolder temp;
  WriteFileForTest(temp / "a.ini", kSample);
  IniFile ini(temp / "a.ini");
  ini.DeleteKey("options", "switchperiod");
  ini.DeleteKey("Options", "NotThere");
  EXPECT_EQ(ini.ReadString("Options", "SwitchPeriod", "gone"), "gone");
  EXPECT_EQ(ini.ReadString("Options", "Autorun", ""), "1");

  IniFile missing(temp / "missing.ini");
  EXPECT_NO_THROW(missing.DeleteKey("Options", "Autorun"));
  EXPECT_FALSE(platform::FileExists(temp / "missing.ini"));
}

TEST(IniFileTest, FailedWriteRaisesWithTheFileName) {
  TempFolder temp;
  WriteFileForTest(temp / "file", "x");
  const std::string path = temp / "file" + platform::kPathDelim + "options.ini";
  IniFile ini(path);
  try {
    ini.WriteString("Options", "Autorun", "1");
    FAIL() << "no error";
  } catch (const EIniFileError& e) {
    EXPECT_EQ(std::string(e.what()), "Unable to write to " + path);
  }
  EXPECT_THROW(ini.WriteInteger("Options", "X_Action", 1), EIniFileError);
  EXPECT_EQ(ini.ReadString("Options", "Autorun", "d"), "d");
}

#ifndef _WIN32
// The system's own implementation may reformat the lines it keeps; this one
// must not.
TEST(IniFileTest, OtherLinesAreKeptByteForByte) {
  TempFolder temp;
  const std::string path = temp / "a.ini";
  WriteFileForTest(path, std::string("\xEF\xBB\xBF") + kSample);
  IniFile ini(path);
  ini.WriteString("Options", "SwitchPeriod", "20");
  std::string expected = std::string("\xEF\xBB\xBF") + kSample;
  expected.replace(expected.find("SwitchPeriod=15 "), 16, "SwitchPeriod=20");
  EXPECT_EQ(ReadFileOrMissing(path), expected);

  // A new key goes after the section's last line, a new section at the end;
  // a last line without its line end gets one.
  WriteFileForTest(path, "[Options]\nA=1\n\n[Other]\nB=2");
  ini.WriteString("Options", "C", "3");
  ini.WriteString("Third", "D", "4");
  EXPECT_EQ(ReadFileOrMissing(path), "[Options]\nA=1\nC=3\n\n[Other]\nB=2\n[Third]\nD=4\n");
}
#endif

}  // namespace
