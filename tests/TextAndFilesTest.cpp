// Text conversion and whole-file writes: the pieces every file format and
// every system call of the program goes through.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

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

// The direct repair must agree with the UTF-16 round trip it replaces on
// every short mix of lead, continuation and boundary bytes.
TEST(TextTest, MalformedUtf8IsRepairedAsTheUtf16RoundTripRepairsIt) {
  const unsigned char interesting[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0,
                                       0xC2, 0xDF, 0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF};
  const std::size_t n = sizeof interesting;
  for (std::size_t a = 0; a < n; ++a) {
    for (std::size_t b = 0; b < n; ++b) {
      for (std::size_t c = 0; c < n; ++c) {
        for (std::size_t d = 0; d < n; d += 3) {
          const std::string text{
              static_cast<char>(interesting[a]), static_cast<char>(interesting[b]),
              static_cast<char>(interesting[c]), static_cast<char>(interesting[d]), 'z'};
          ASSERT_EQ(platform::ReplaceMalformedUtf8(text),
                    platform::Utf16ToUtf8(platform::Utf8ToUtf16(text)))
              << a << ' ' << b << ' ' << c << ' ' << d;
        }
      }
    }
  }
  EXPECT_EQ(platform::ReplaceMalformedUtf8("ok \xEF\xBF\xBD \xC0\xAF"),
            "ok \xEF\xBF\xBD \xEF\xBF\xBD");
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

TEST(FilesTest, OnlyRegularFilesAreReadAndOnlyUpToTheLimit) {
  test_support::TempFolder temp;
  const std::string file = temp / "prefs.js";
  test_support::WriteFileForTest(file, "0123456789");
  std::string bytes;
  EXPECT_EQ(platform::ReadRegularFile(file, 10, bytes), platform::RegularFileRead::Ok);
  EXPECT_EQ(bytes, "0123456789");
  EXPECT_EQ(platform::ReadRegularFile(file, 9, bytes), platform::RegularFileRead::TooLarge);
  EXPECT_TRUE(bytes.empty());
  EXPECT_EQ(platform::ReadRegularFile(temp.Path(), 100, bytes),
            platform::RegularFileRead::NotRegular);
  EXPECT_EQ(platform::ReadRegularFile(temp / "missing", 100, bytes),
            platform::RegularFileRead::Failed);
#ifndef _WIN32
  // Neither a FIFO without a writer nor an endless device holds the reader.
  const std::string fifo = temp / "fifo";
  ASSERT_EQ(std::system(("mkfifo '" + fifo + "'").c_str()), 0);
  EXPECT_EQ(platform::ReadRegularFile(fifo, 100, bytes), platform::RegularFileRead::NotRegular);
  std::filesystem::create_symlink("/dev/zero", temp / "zero");
  EXPECT_EQ(platform::ReadRegularFile(temp / "zero", 100, bytes),
            platform::RegularFileRead::NotRegular);
#endif
}

// The temporary file of a writer whose process is gone, as an interrupted
// run leaves it.
std::string StaleTemporaryName(const std::string& target) {
  // No process has this id: beyond any Linux pid_max, and not a multiple of
  // four as Windows ids are.
  return target + platform::kTemporaryFileMarker + "2147483001-0";
}

TEST(FilesTest, AtomicWriterRemovesItsOwnStaleFilesAndNoOtherOnes) {
  test_support::TempFolder temp;
  const std::string file = temp / "prefs.js";
  test_support::WriteFileForTest(file, "old");
  const std::string stale = StaleTemporaryName(file);
  test_support::WriteFileForTest(stale, std::string(100000, 's'));
  const std::string stale_other_file = StaleTemporaryName(temp / "user.js");
  test_support::WriteFileForTest(stale_other_file, "of another file");
  const std::string others[] = {
      file + ".tmp",                                             // another program's
      file + platform::kTemporaryFileMarker + "x-0",             // not a process id
      file + platform::kTemporaryFileMarker + "2147483001",      // no counter
      file + platform::kTemporaryFileMarker + "4294967299999-0"  // no such number
  };
  for (const std::string& other : others) test_support::WriteFileForTest(other, "keep");

  platform::AtomicFileWriter writer;
  ASSERT_TRUE(writer.Open(file));
  EXPECT_FALSE(platform::FileExists(stale));
  EXPECT_TRUE(platform::FileExists(writer.TemporaryPath()));
  ASSERT_TRUE(writer.Write("ne"));
  ASSERT_TRUE(writer.Write("w"));
  EXPECT_EQ(test_support::ReadFileOrMissing(file), "old") << "nothing changes before Commit";
  const std::string temporary = writer.TemporaryPath();
  ASSERT_TRUE(writer.Commit());
  EXPECT_EQ(test_support::ReadFileOrMissing(file), "new");
  EXPECT_FALSE(platform::FileExists(temporary));
  EXPECT_TRUE(platform::FileExists(stale_other_file)) << "only beside the file rewritten";
  for (const std::string& other : others) {
    EXPECT_EQ(test_support::ReadFileOrMissing(other), "keep") << other;
  }

  // A writer dropped without Commit takes its temporary file with it.
  std::string dropped;
  {
    platform::AtomicFileWriter abandoned;
    ASSERT_TRUE(abandoned.Open(file));
    ASSERT_TRUE(abandoned.Write("half"));
    dropped = abandoned.TemporaryPath();
  }
  EXPECT_FALSE(platform::FileExists(dropped));
  EXPECT_EQ(test_support::ReadFileOrMissing(file), "new");
}

#ifndef _WIN32
// "uid:gid:mode" of the file as the system tells it.
std::string OwnerAndMode(const std::string& path, const test_support::TempFolder& temp) {
  const std::string out = temp / "stat.txt";
  EXPECT_EQ(std::system(("stat -c '%u:%g:%a' '" + path + "' > '" + out + "'").c_str()), 0);
  return test_support::ReadFileOrMissing(out);
}

TEST(FilesTest, ALinkedFileIsRewrittenAtItsTargetWithItsOwnerAndMode) {
  test_support::TempFolder temp;
  const std::string target = temp / "real-prefs.js";
  const std::string link = temp / "prefs.js";
  test_support::WriteFileForTest(target, "old");
  std::filesystem::create_symlink(target, link);
  // Another user's file, as root rewrites it.
  ASSERT_EQ(
      std::system(("chown 12345:23456 '" + target + "' && chmod 640 '" + target + "'").c_str()), 0);
  const std::string before = OwnerAndMode(target, temp);

  ASSERT_TRUE(platform::ReplaceFileAtomically(link, "new"));
  EXPECT_TRUE(std::filesystem::is_symlink(link)) << "the link stays a link";
  EXPECT_EQ(test_support::ReadFileOrMissing(target), "new");
  EXPECT_EQ(OwnerAndMode(target, temp), before);
  EXPECT_EQ(before, "12345:23456:640\n");
}
#endif

}  // namespace
