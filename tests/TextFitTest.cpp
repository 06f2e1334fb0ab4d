// Every text the windows show, in English and in every shipped language,
// fits the room it is drawn in.
//
// The rooms come from the windows themselves (TSkinForm::TextBoxes: labels,
// button captions, control texts, hints in the status bar, tabs, titles,
// and the texts a form shows in turn). Under Wine the Win32 backend lays
// them out with GDI as it draws them, in the fonts of a prefix prepared like
// the screenshots' (tests/e2e/text-fit-wine.sh prepares one and runs this
// program there with NIMBRA_TEXT_FIT_FONTS=1). Natively FreeType lays them
// out in the same files: the label font the program ships, and for Tahoma
// (the dialogs' and the skin's face) DejaVu Sans linked to WenQuanYi Micro
// Hei, WenQuanYi Micro Hei itself for Chinese texts. Both stand-ins are
// wider than Tahoma, so a text that fits here fits on Windows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/ClosingForm.h"
#include "app/InitFinal.h"
#include "app/MenuForm.h"
#include "app/OptionsFormUnit.h"
#include "app/TutorialForm.h"
#include "base/AppFolders.h"
#include "base/OptionsUnit.h"
#include "platform/Paths.h"
#include "platform/gui/recording/RecordingGui.h"
#include "support/SkinFixture.h"
#ifndef _WIN32
#include "support/FontMeasure.h"
#endif
#include "support/TestSupport.h"
#include "ui/DKLang.h"

namespace {

#ifndef _WIN32
constexpr char kDejaVu[] = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
constexpr char kDejaVuBold[] = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf";
constexpr char kMicroHei[] = "/usr/share/fonts/truetype/wqy/wqy-microhei.ttc";
constexpr char kChineseTahoma[] = "Tahoma (Chinese)";

bool HasIdeograph(const std::string& text) {
  // Lead bytes E3..E9 start U+3000..U+9FFF: CJK punctuation, kana, ideographs.
  for (unsigned char c : text) {
    if (c >= 0xE3 && c <= 0xE9) return true;
  }
  return false;
}
#endif

class IdleEngine : public TEngineControl {
 public:
  void StartTor() override {}
  void StopTor() override {}
  int GetProgressStatus() override { return 0; }
  bool SendNewNym() override { return false; }
};

struct Placed {
  std::string where;  // "<language> <window> <component>"
  TTextBox box;
  gui::Rect client;
};

class TextFitTest : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef _WIN32
    gui_ = gui::CreateDefaultGui();
#else
    auto recording = std::make_unique<gui::RecordingGui>();
    fonts_ready_ = fonts_.AddFace("Tahoma", kDejaVu, kDejaVuBold, {kMicroHei}) &&
                   fonts_.AddFace(kChineseTahoma, kMicroHei, "") &&
                   fonts_.AddFace("LcdD", std::string(NIMBRA_PROGRAM_DIR) + "/LCDN.TTF", "");
    fonts_.SetFallbackFace("Tahoma");
    recording->SetFaceCoverage("LcdD", [this](char32_t c) { return fonts_.FaceHas("LcdD", c); });
    recording->SetTextMeasure(
        [this](const std::string& text, const gui::TextStyle& style, int wrap_width) {
          // The screenshots' prefix draws Tahoma in the Chinese face for Chinese.
          gui::TextStyle face = style;
          if (face.face == "Tahoma" && HasIdeograph(text)) face.face = kChineseTahoma;
          return fonts_.Measure(text, face, wrap_width);
        });
    gui_ = std::move(recording);
#endif
    test_support::WriteSkins(app_.Path());
    SetApplicationFolderForTesting(app_.Path());
    InitAppFolders(system_.CommonDocuments() + platform::kPathDelim + "Nimbra");
    TOptions().SetOption("StartStartup", false);
    TOptions().SetOption("AutoSwitchStartup", false);
    TOptions().SetOption("Autorun", false);
  }
  void TearDown() override {
    LangManager().SetLanguageID(kDKLangDefaultLanguageID);
    SetApplicationFolderForTesting("");
  }

  // Every text box of every window in English and each shipped language.
  std::vector<Placed> EveryBox() {
    const std::string folder = platform::ExtractFilePath(platform::ExecutablePath());
    LangManager().ScanForLangFiles(folder, "*.lng", false);
    std::vector<std::uint16_t> languages = {kDKLangDefaultLanguageID};
    for (std::uint16_t id : LangManager().LanguageIDs()) languages.push_back(id);
    EXPECT_GE(languages.size(), 9u) << "the shipped language files beside the test";
    // The wrapper measures the languages of one script at a time, each in
    // the face its prefix gives that script.
    if (const char* only = std::getenv("NIMBRA_TEXT_FIT_LANGUAGES")) {
      const std::string list = std::string(",") + only + ",";
      std::erase_if(languages, [&list](std::uint16_t id) {
        // Joined, not prepended to a temporary: GCC 12 takes the inlined
        // insert for an overlapping copy at -O3.
        std::string key = ",";
        key += std::to_string(id);
        key += ',';
        return list.find(key) == std::string::npos;
      });
      EXPECT_FALSE(languages.empty()) << "no language in NIMBRA_TEXT_FIT_LANGUAGES=" << only;
    }
    std::vector<Placed> placed;
    for (std::uint16_t id : languages) {
      LangManager().SetLanguageID(id);
      TProgramSeams seams{*gui_};
      seams.PipeName = "\\\\.\\PIPE\\NimbraTextFit {" + std::to_string(id) + "}";
      seams.StartEventName = "Global\\NimbraTextFitStart";
      seams.StartAddressLookup = [](TIPFoundEvent) {};
      TProgramWindows windows(seams, engine_);
      const TSkinForm* forms[] = {&windows.Main(), &windows.Menu(), &windows.Options(),
                                  &windows.Closing(), &windows.Tutorial()};
      for (const TSkinForm* form : forms) {
        const gui::Rect client = {0, 0, form->Layout().client_width, form->Layout().client_height};
        for (const TTextBox& box : form->TextBoxes()) {
          placed.push_back({std::to_string(id) + " " + form->Name() + " " +
                                (box.Component.empty() ? "(title)" : box.Component),
                            box, client});
        }
      }
    }
    return placed;
  }

  test_support::IsolatedSystem system_;
  test_support::TempFolder app_;
#ifndef _WIN32
  test_support::FontMeasure fonts_;
  bool fonts_ready_ = false;
#endif
  std::unique_ptr<gui::GuiSystem> gui_;
  IdleEngine engine_;
};

TEST_F(TextFitTest, EveryTextOfEveryLanguageHasARoomInItsWindow) {
  const std::vector<Placed> placed = EveryBox();
  ASSERT_GT(placed.size(), 80u);
  for (const Placed& p : placed) {
    const gui::Rect& r = p.box.Room;
    // Empty texts are controls that show none (the page frame).
    if (p.box.Component == "PageFrame" || p.box.Component == "StatusBar") continue;
    EXPECT_FALSE(p.box.Text.empty()) << p.where;
    EXPECT_TRUE(r.width > 0 && r.height > 0 && r.left >= p.client.left && r.top >= p.client.top &&
                r.Right() <= p.client.Right() && r.Bottom() <= p.client.Bottom())
        << p.where << ": room " << r.left << "," << r.top << " " << r.width << "x" << r.height;
  }
}

TEST_F(TextFitTest, EveryTextOfEveryLanguageFitsItsRoom) {
#ifdef _WIN32
  const char* prepared = std::getenv("NIMBRA_TEXT_FIT_FONTS");
  if (prepared == nullptr || std::string(prepared) != "1") {
    GTEST_SKIP() << "the fonts of this Wine prefix are not the screenshots' "
                    "(tests/e2e/text-fit-wine.sh prepares them)";
  }
#else
  ASSERT_TRUE(fonts_ready_) << "the fonts to measure in: " << kDejaVu << ", " << kDejaVuBold << ", "
                            << kMicroHei << " (scripts/install-packages.sh) and "
                            << NIMBRA_PROGRAM_DIR << "/LCDN.TTF";
#endif
  // The measure itself: longer is wider, and wrapping makes it taller.
  gui::TextStyle plain;
  plain.face = "Tahoma";
  const std::optional<gui::Size> one = gui_->MeasureText("Anonymity", plain, 0);
  const std::optional<gui::Size> two = gui_->MeasureText("Anonymity Anonymity", plain, 0);
  ASSERT_TRUE(one && two);
  EXPECT_GT(two->width, one->width);
  gui::TextStyle wrapped = plain;
  wrapped.word_wrap = true;
  const std::optional<gui::Size> lines =
      gui_->MeasureText("Anonymity Anonymity", wrapped, one->width + 2);
  ASSERT_TRUE(lines);
  EXPECT_GT(lines->height, one->height);

  int tightest_margin = 1000;
  std::string tightest;
  for (const Placed& p : EveryBox()) {
    if (p.box.Text.empty()) continue;
    const gui::Rect& room = p.box.Room;
    const std::optional<gui::Size> size =
        gui_->MeasureText(p.box.Text, p.box.Style, p.box.Style.word_wrap ? room.width : 0);
    ASSERT_TRUE(size) << p.where;
    EXPECT_LE(size->width, room.width) << p.where << ": \"" << p.box.Text << "\" is " << size->width
                                       << " px wide in " << room.width;
    EXPECT_LE(size->height, room.height) << p.where << ": \"" << p.box.Text << "\" is "
                                         << size->height << " px high in " << room.height;
    const int margin = std::min(room.width - size->width, room.height - size->height);
    if (margin < tightest_margin) {
      tightest_margin = margin;
      tightest = p.where + " \"" + p.box.Text + "\"";
    }
  }
  std::printf("tightest fit: %d px to spare, %s\n", tightest_margin, tightest.c_str());
}

}  // namespace
