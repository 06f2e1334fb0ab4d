// Skin pictures from JPEG files, damaged ones included.
#include <gtest/gtest.h>

#include <string>

#include "support/SkinFixture.h"
#include "support/TestSupport.h"
#include "ui/Picture.h"

namespace {

TEST(PictureTest, DecodesSizeAndColour) {
  const gui::Bitmap bitmap = DecodeJpeg(test_support::EncodeJpeg(33, 28, 0x00C000), "res\\x.jpg");
  EXPECT_EQ(bitmap.width, 33);
  EXPECT_EQ(bitmap.height, 28);
  ASSERT_EQ(bitmap.pixels.size(), 33u * 28u);
  const gui::Colour centre = bitmap.pixels[14 * 33 + 16];
  EXPECT_LT((centre >> 16) & 0xFF, 0x20u);
  EXPECT_GT((centre >> 8) & 0xFF, 0xA0u);
  EXPECT_EQ(bitmap.source, "res\\x.jpg");
}

TEST(PictureTest, DamagedFilesRaiseAndLeaveTheSlotAsItWas) {
  test_support::TempFolder folder;
  const std::string good = test_support::EncodeJpeg(16, 8, 0x123456);
  std::string huge = good;
  // The frame header's height and width (after FF C0, length and precision).
  const std::size_t sof = huge.find("\xFF\xC0");
  ASSERT_NE(sof, std::string::npos);
  huge[sof + 5] = '\xFF';
  huge[sof + 6] = '\xF0';
  huge[sof + 7] = '\xFF';
  huge[sof + 8] = '\xF0';
  const std::string cases[] = {"", "not a picture at all", good.substr(0, good.size() / 2),
                               good.substr(0, 40), huge};
  TPicture picture;
  test_support::WriteFileForTest(folder / "ok.jpg", good);
  picture.LoadFromFile(folder / "ok.jpg", "res\\ok.jpg");
  for (const std::string& bytes : cases) {
    test_support::WriteFileForTest(folder / "bad.jpg", bytes);
    EXPECT_THROW(picture.LoadFromFile(folder / "bad.jpg", "res\\bad.jpg"), EPictureError)
        << bytes.size() << " bytes";
    EXPECT_EQ(picture.Source(), "res\\ok.jpg");
  }
  EXPECT_THROW(picture.LoadFromFile(folder / "missing.jpg", "res\\missing.jpg"), EPictureError);
}

}  // namespace
