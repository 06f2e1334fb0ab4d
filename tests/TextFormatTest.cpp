#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "ui/TextFormat.h"

namespace {

TEST(TextFormatTest, Placeholders) {
  EXPECT_EQ(FormatText("Starting proxy: %d%%", {42}), "Starting proxy: 42%");
  EXPECT_EQ(FormatText("no placeholders", {}), "no placeholders");
  EXPECT_EQ(FormatText("[%5d|%-5d|%.3d|%d]", {7, 7, 7, -12}), "[    7|7    |007|-12]");
  EXPECT_EQ(FormatText("%x %X %u", {255, -1, -1}), "FF FFFFFFFF 4294967295");
  EXPECT_EQ(FormatText("%s and %.2s", {"first", "second"}), "first and se");
  EXPECT_EQ(FormatText("%.2f %e", {2.345, 1500}), "2.35 1.500000e+03");
  EXPECT_EQ(FormatText("%1:s %0:s %s", {"a", "b"}), "b a b");
  EXPECT_EQ(FormatText("[%*d]", {4, 5}), "[   5]");
  EXPECT_EQ(FormatText("%d", {INT64_MIN}), "-9223372036854775808");
  // Arguments left over are ignored.
  EXPECT_EQ(FormatText("Запуск прокси", {42}), "Запуск прокси");
}

TEST(TextFormatTest, PlaceholdersThatDoNotMatchRaise) {
  EXPECT_THROW(FormatText("Starting proxy: %s", {42}), EFormatError);
  EXPECT_THROW(FormatText("%d", {"text"}), EFormatError);
  EXPECT_THROW(FormatText("%d %d", {1}), EFormatError);
  EXPECT_THROW(FormatText("100%", {}), EFormatError);
  EXPECT_THROW(FormatText("%q", {1}), EFormatError);
  EXPECT_THROW(FormatText("%5", {1}), EFormatError);
  EXPECT_THROW(FormatText("%.f", {1.0}), EFormatError);
  EXPECT_THROW(FormatText("%99999999d", {1}), EFormatError);
  EXPECT_THROW(FormatText("%*d", {"x", 1}), EFormatError);
  EXPECT_THROW(FormatText("%2:d", {1}), EFormatError);
  try {
    FormatText("Starting proxy: %s", {42});
  } catch (const EFormatError& e) {
    EXPECT_NE(std::string(e.what()).find("Starting proxy: %s"), std::string::npos);
  }
}

TEST(TextFormatTest, UsesTellWhetherATranslationFitsTheArguments) {
  using Uses = std::vector<std::pair<std::size_t, char>>;
  const TFormatUses english = FormatUses("Starting proxy: %d%%");
  EXPECT_EQ(english.Arguments, (Uses{{0, 'd'}}));
  EXPECT_EQ(english.Percents, 1u);
  // A percent sign before the number, an index moving an argument, flags,
  // widths and upper-case types still fit.
  EXPECT_EQ(FormatUses("Proxy başlatılıyor: %%%d"), english);
  EXPECT_EQ(FormatUses("%1:d: %0:s"), FormatUses("%s: %d"));
  EXPECT_EQ(FormatUses("%-5D|%.3s"), FormatUses("%d|%s"));
  EXPECT_EQ(FormatUses("[%*.*d]").Arguments, (Uses{{0, '*'}, {1, '*'}, {2, 'd'}}));
  EXPECT_EQ(FormatUses("%1:s %0:s %s").Arguments, (Uses{{0, 's'}, {1, 's'}, {1, 's'}}));
  EXPECT_EQ(FormatUses("no placeholders"), TFormatUses{});

  // Swapped types without indices, a lost percent sign or argument, an
  // argument used twice: the translation would not show what English does.
  EXPECT_NE(FormatUses("%s %d"), FormatUses("%d %s"));
  EXPECT_NE(FormatUses("%d"), english);
  EXPECT_NE(FormatUses("%s %s"), FormatUses("%s"));
  EXPECT_NE(FormatUses("%0:s %0:s"), FormatUses("%s %s"));

  // What formatting refuses as malformed, this refuses too.
  for (const char* bad : {"100%", "%q", "%5", "%.f", "%99999999d", "%1:"}) {
    EXPECT_THROW(FormatUses(bad), EFormatError) << bad;
    EXPECT_THROW(FormatText(bad, {1, 2}), EFormatError) << bad;
  }
}

}  // namespace
