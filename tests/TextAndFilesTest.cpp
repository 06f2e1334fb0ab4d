// Text conversion and whole-file writes: the pieces every file format and
// every system call of the program goes through.
#include <gtest/gtest.h>

#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "support/TestSupport.h"

namespace {

TEST(TextTest, Utf16RoundTripsAndBrokenInputBecomesReplacementCharacters) {
  const std::string text =
      "ASCII, \xD0\x9F\xD1\x80\xD0\xBE\xD0\xBA\xD1\x81\xD0\xB8, \xE2\x82\xAC, \xF0\x9F\x98\x80";
  const std::u16string wide = platform::Utf8ToUtf16(text);
  EXPECT_EQ(wide.size(), 7u + 6u + 2u + 1u + 2u + 2u);  // the emoji is a surrogate pair
  EXPECT_EQ(platform::Utf16ToUtf8(wide), text);

  // A cut sequence, an overlong form, an encoded surrogate and a lone one.
  EXPECT_EQ(platform::Utf8ToUtf16("a\xE2\x82"), (std::u16string{u'a', 0xFFFD, 0xFFFD}));
  EXPECT_EQ(platform::Utf8ToUtf16("\xC0\xAF"), std::u16string(1, 0xFFFD));
  EXPECT_EQ(platform::Utf8ToUtf16("\xED\xA0\x80").front(), 0xFFFD);
  EXPECT_EQ(platform::Utf16ToUtf8(std::u16string{0xD800, u'x'}), "\xEF\xBF\xBDx");
}

TEST(TextTest, SignedDecimal) {
  EXPECT_EQ(platform::ParseSignedDecimal("-2147483648"), INT32_MIN);
  EXPECT_EQ(platform::ParseSignedDecimal("2147483647"), INT32_MAX);
  EXPECT_FALSE(platform::ParseSignedDecimal("2147483648"));
  EXPECT_FALSE(platform::ParseSignedDecimal("-"));
  EXPECT_FALSE(platform::ParseSignedDecimal("12 "));
  EXPECT_FALSE(platform::ParseSignedDecimal(""));
}

TEST(FilesTest, AtomicReplaceKeepsTheOldFileWhenItFails) {
  test_support::TempFolder temp;
  const std::string file = temp / "settings.ini";
  ASSERT_TRUE(platform::ReplaceFileAtomically(file, "first"));
  ASSERT_TRUE(platform::ReplaceFileAtomically(file, "second"));
  EXPECT_EQ(test_support::ReadFileOrMissing(file), "second");

  // A folder in the file's place cannot be replaced; nothing is left behind.
  const std::string folder = temp / "folder";
  ASSERT_TRUE(platform::ForceDirectories(folder));
  EXPECT_FALSE(platform::ReplaceFileAtomically(folder, "x"));
  EXPECT_TRUE(platform::DirectoryExists(folder));
  const auto entries = platform::ListDirectory(temp.Path());
  ASSERT_TRUE(entries.has_value());
  EXPECT_EQ(entries->size(), 2u);

  EXPECT_FALSE(platform::ReplaceFileAtomically(temp / "missing" + platform::kPathDelim + "f", "x"));
}

TEST(FilesTest, AppendCreatesThenAppendsAndListingAMissingFolderSaysSo) {
  test_support::TempFolder temp;
  const std::string file = temp / "log.txt";
  ASSERT_TRUE(platform::AppendToFile(file, "a\r\n"));
  ASSERT_TRUE(platform::AppendToFile(file, "b\r\n"));
  EXPECT_EQ(test_support::ReadFileOrMissing(file), "a\r\nb\r\n");
  EXPECT_FALSE(platform::ListDirectory(temp / "nothing-here").has_value());
  EXPECT_FALSE(platform::ReadWholeFile(temp / "nothing-here").has_value());
}

}  // namespace
