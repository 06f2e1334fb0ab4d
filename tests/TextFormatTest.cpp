#include <gtest/gtest.h>

#include <cstdint>

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

}  // namespace
