// The skinned windows' geometry and reactions, the options dialog and the
// main window's translation, headless through the recording backend.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/ClosingForm.h"
#include "app/InitFinal.h"
#include "app/MainFormLangData.h"
#include "app/MainFormUnit.h"
#include "app/MenuForm.h"
#include "app/OptionsFormUnit.h"
#include "app/TutorialForm.h"
#include "base/AppFolders.h"
#include "base/Logger.h"
#include "base/OptionsUnit.h"
#include "engine/BridgeSettings.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Registry.h"
#include "platform/Text.h"
#include "platform/gui/recording/RecordingGui.h"
#include "support/SkinFixture.h"
#include "support/TestSupport.h"
#include "ui/DKLang.h"

namespace {

using gui::RecordingGui;
using gui::RecordingWindow;

class IdleEngine : public TEngineControl {
 public:
  void StartTor() override {}
  void StopTor() override {}
  int GetProgressStatus() override { return 0; }
  bool SendNewNym() override { return false; }
  bool ApplyBridges(const TBridgeSettings& Bridges) override {
    applied.push_back(Bridges);
    return true;
  }
  std::vector<TBridgeSettings> applied;
};

class SkinnedWindowsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test_support::WriteSkins(app_.Path());
    SetApplicationFolderForTesting(app_.Path());
    InitAppFolders(system_.CommonDocuments() + platform::kPathDelim + "Nimbra");
    seams_.PipeName = "\\\\.\\PIPE\\NimbraSkinTest {" + std::to_string(++counter_) + "}";
    seams_.StartEventName = "Global\\NimbraSkinTestStart";
    seams_.StartAddressLookup = [](TIPFoundEvent) {};
    TOptions().SetOption("StartStartup", false);
    TOptions().SetOption("AutoSwitchStartup", false);
  }
  void TearDown() override {
    windows_.reset();
    LangManager().SetLanguageID(1033);
    SetApplicationFolderForTesting("");
  }
  void Create() {
    windows_ = std::make_unique<TProgramWindows>(seams_, engine_);
    gui_.ClearEvents();
  }
  TNimbraMainForm& Form() { return windows_->Main(); }
  TMenuForm& MenuForm() { return windows_->Menu(); }
  RecordingWindow& Main() { return *gui_.FindWindow(kMainFormClass); }
  RecordingWindow& Panel() { return *gui_.FindWindow("TMenuForm"); }
  RecordingWindow& Options() { return *gui_.FindWindow("TOptionsForm"); }
  void Click(RecordingWindow& window, const TGraphicElement& element) {
    gui_.Click(window, {element.Bounds.left + 1, element.Bounds.top + 1});
  }
  gui::Control& Control(int id) { return *Options().FindControl(id); }
  bool LastEventHas(const std::string& text) {
    return !gui_.Events().empty() && gui_.Events().back().find(text) != std::string::npos;
  }

  static inline int counter_ = 0;
  test_support::IsolatedSystem system_;
  test_support::TempFolder app_;
  RecordingGui gui_;
  IdleEngine engine_;
  TProgramSeams seams_{gui_};
  std::unique_ptr<TProgramWindows> windows_;
};

TEST_F(SkinnedWindowsTest, ThePanelOpensLeftOfTheWindowOrBelowIt) {
  gui_.SetWorkArea({0, 0, 1920, 1040});
  Create();
  Form().Show();
  EXPECT_EQ(Main().Bounds().left, 1510);
  EXPECT_EQ(Main().Bounds().top, 100);
  struct Case {
    int left;
    int panel_left;
    int panel_top;
  };
  const Case cases[] = {{1510, 1055, 100}, {200, 200, 280}, {456, 456, 280}, {457, 2, 100}};
  for (const Case& c : cases) {
    Main().SetPosition({c.left, 100});
    Click(Main(), Form().arrow);
    ASSERT_TRUE(Panel().Visible());
    EXPECT_EQ(Panel().Bounds().left, c.panel_left) << c.left;
    EXPECT_EQ(Panel().Bounds().top, c.panel_top) << c.left;
    Click(Main(), Form().arrow);
    EXPECT_FALSE(Panel().Visible());
  }
}

TEST_F(SkinnedWindowsTest, TheArrowAfterEachWayOfClosingThePanel) {
  Create();
  Form().Show();
  Click(Main(), Form().arrow);
  EXPECT_EQ(Form().arrow.PictureNormal.Source(), "res\\arrow_right.jpg");
  EXPECT_EQ(Form().arrow.PictureHover.Source(), "res\\arrow_right_over.jpg");
  Click(Main(), Form().arrow);
  EXPECT_TRUE(Form().arrow.PictureNormal.Empty()) << "closed by the arrow";
  EXPECT_EQ(Form().arrow.PictureHover.Source(), "res\\arrow_left_over.jpg");

  Click(Main(), Form().arrow);
  Click(Panel(), MenuForm().exit_button);
  EXPECT_FALSE(Panel().Visible());
  EXPECT_EQ(Form().arrow.PictureNormal.Source(), "res\\arrow_left.jpg")
      << "closed by its own close button";

  Click(Main(), Form().arrow);
  Click(Main(), Form().minim);
  EXPECT_FALSE(Main().Visible());
  EXPECT_FALSE(Panel().Visible()) << "minimize hides both";
  EXPECT_TRUE(Form().arrow.PictureNormal.Empty());
  gui_.TrayInput(gui::TrayEvent::LeftDown);
  EXPECT_TRUE(Main().Visible());
  EXPECT_FALSE(Panel().Visible()) << "only the main window comes back";
}

TEST_F(SkinnedWindowsTest, ImageButtonsShowHoverAndPressedPicturesThenTheBackground) {
  Create();
  Form().Show();
  TJvImage& check = Form().check;
  const gui::Point over{check.Bounds.left + 5, check.Bounds.top + 5};
  EXPECT_EQ(check.Shown(), nullptr) << "at rest the background shows through";
  gui_.MoveMouse(Main(), over);
  EXPECT_EQ(check.Shown()->Source(), "res\\check_over.jpg");
  gui_.Press(Main(), over);
  EXPECT_EQ(check.Shown()->Source(), "res\\check_down.jpg");
  gui_.Release(Main(), over);
  EXPECT_EQ(check.Shown(), nullptr);
  EXPECT_TRUE(LastEventHas("shell open \"http://ip.corvane.com/\" normal"));
  gui_.MoveMouse(Main(), {over.x + 1, over.y});
  gui_.MoveMouse(Main(), {5, 5});
  EXPECT_EQ(check.Shown(), nullptr) << "moving away shows the background again";
  const std::string described = Main().Describe();
  EXPECT_NE(described.find("bitmap res\\Main.jpg at 0,0"), std::string::npos) << described;
  EXPECT_NE(described.find("text \"Anonymity OFF\" in 26,64 229x27 LcdD 24 #4F4F4F\n"),
            std::string::npos)
      << described;
}

TEST_F(SkinnedWindowsTest, CaptionsFollowTheButtonsLooksAndStates) {
  Create();
  Form().Show();
  // Drawn over the background at rest, over the hover and pressed pictures
  // in their colours, a pixel lower while pressed.
  auto caption_line = [&](const std::string& text) {
    const std::string described = Main().Describe();
    const std::size_t at = described.find("text \"" + text + "\"");
    return at == std::string::npos ? std::string("<none>")
                                   : described.substr(at, described.find('\n', at) - at);
  };
  EXPECT_EQ(caption_line("Check"),
            "text \"Check\" in 274,113 40x29 Tahoma 10 bold #E6EBF2 centre middle");
  const gui::Point over{Form().check.Bounds.left + 5, Form().check.Bounds.top + 5};
  gui_.MoveMouse(Main(), over);
  EXPECT_EQ(caption_line("Check"),
            "text \"Check\" in 274,113 40x29 Tahoma 10 bold #FFFFFF centre middle");
  gui_.Press(Main(), over);
  EXPECT_EQ(caption_line("Check"),
            "text \"Check\" in 274,114 40x29 Tahoma 10 bold #9FE9D9 centre middle");
  gui_.Release(Main(), over);
  gui_.MoveMouse(Main(), {5, 5});

  // Start and Stop follow the state; Auto stays pressed in while on.
  EXPECT_NE(caption_line("Start"), "<none>");
  Click(Main(), Form().ToggleAutoSwitchImage);
  gui_.MoveMouse(Main(), {5, 5});
  EXPECT_TRUE(Form().Started());
  EXPECT_EQ(caption_line("Start"), "<none>");
  EXPECT_EQ(caption_line("Stop"),
            "text \"Stop\" in 147,113 40x29 Tahoma 10 bold #E6EBF2 centre middle");
  EXPECT_EQ(caption_line("Auto"),
            "text \"Auto\" in 211,114 40x29 Tahoma 10 bold #9FE9D9 centre middle");
  Click(Main(), Form().ToggleAutoSwitchImage);
  gui_.MoveMouse(Main(), {5, 5});
  EXPECT_EQ(caption_line("Auto"),
            "text \"Auto\" in 211,113 40x29 Tahoma 10 bold #E6EBF2 centre middle");
}

TEST_F(SkinnedWindowsTest, EveryWindowShowsItsDesignTextsInEnglish) {
  Create();
  // What the template hands translators is what the windows show.
  const std::map<std::string, const TSkinForm*> forms = {
      {kNimbraMainFormName, &windows_->Main()},
      {kMenuFormName, &windows_->Menu()},
      {kOptionsFormName, &windows_->Options()},
      {kClosingFormName, &windows_->Closing()},
      {kTutorialFormName, &windows_->Tutorial()}};
  ASSERT_EQ(forms.size(), TranslatedWindows().size());
  for (const TLangWindowDesign* design : TranslatedWindows()) {
    const auto form = forms.find(design->Name);
    ASSERT_NE(form, forms.end()) << design->Name;
    for (const TLangDesignText& text : design->Texts) {
      EXPECT_EQ(form->second->GetPropertyText(text.Component, text.Property).value_or("<none>"),
                text.Text)
          << design->Name << " " << text.ID << " " << text.Component << "." << text.Property;
    }
  }
}

TEST_F(SkinnedWindowsTest, EveryShippedLanguageTranslatesEveryWindowInItsReadingOrder) {
  const std::string folder = platform::ExtractFilePath(platform::ExecutablePath());
  ASSERT_GE(LangManager().ScanForLangFiles(folder, "*.lng", false), 8);
  for (std::uint16_t id : LangManager().LanguageIDs()) {
    SCOPED_TRACE(id);
    const TLangTranslation file =
        TLangTranslation::LoadFromFile(*LangManager().LanguageFile(id), false);
    LangManager().SetLanguageID(id);
    Create();
    const std::map<std::string, const TSkinForm*> forms = {
        {kNimbraMainFormName, &windows_->Main()},
        {kMenuFormName, &windows_->Menu()},
        {kOptionsFormName, &windows_->Options()},
        {kClosingFormName, &windows_->Closing()},
        {kTutorialFormName, &windows_->Tutorial()}};
    for (const TLangWindowDesign* design : TranslatedWindows()) {
      const TLangSection* section = file.FindSection(design->Name);
      ASSERT_NE(section, nullptr);
      const TSkinForm& form = *forms.at(design->Name);
      for (const TLangDesignText& text : design->Texts) {
        EXPECT_EQ(form.GetPropertyText(text.Component, text.Property).value_or("<none>"),
                  *section->Find(text.ID))
            << design->Name << " " << text.ID;
      }
    }
    EXPECT_EQ(Form().ToggleAnonimityImage.Caption, *file.FindConstant("Button_start"));

    // Persian and Arabic read right to left: the dialogs are mirrored, the
    // labels read so, the hot keys' rows swap sides, the tray menu too.
    const bool rtl = id == 1065 || id == 1025;
    EXPECT_EQ(Options().Describe().find(" mirrored") != std::string::npos, rtl);
    EXPECT_EQ(gui_.FindWindow("TClosingForm")->Describe().find(" mirrored") != std::string::npos,
              rtl);
    EXPECT_EQ(Panel().Describe().find(" mirrored"), std::string::npos) << "skinned: not mirrored";
    EXPECT_EQ(Form().Slogan.Style().right_to_left, rtl);
    EXPECT_EQ(Form().Slogan.Style().align, rtl ? gui::TextAlign::Right : gui::TextAlign::Left);
    EXPECT_EQ(Form().StartStopKey.Bounds.left, rtl ? 248 : 22);
    EXPECT_EQ(Form().StartStopKeyText.Bounds.left, rtl ? 22 : 98);
    EXPECT_EQ(MenuForm().TrayTip.Bounds.left, rtl ? 142 : 160);
    EXPECT_EQ(MenuForm().TitleLabel.Style().align, gui::TextAlign::Left) << "keeps its side";
    gui_.AnswerNextMenu(0);
    gui_.TrayInput(gui::TrayEvent::RightClick);
    EXPECT_EQ(gui_.Events().back().find("(rtl)") != std::string::npos, rtl) << gui_.Events().back();
    windows_.reset();
  }
}

TEST_F(SkinnedWindowsTest, TheStatusLabelKeepsOneFacePerLanguage) {
  // The LCD face has printable ASCII but for a few signs, like the label
  // font the program ships.
  auto lcd_has = [](char32_t c) {
    return c >= U' ' && c <= U'~' && c != U'#' && c != U';' && c != U'[' && c != U']' &&
           c != U'{' && c != U'}';
  };
  gui_.SetFaceCoverage("LcdD", lcd_has);
  auto drawable = [&](const std::string& text) {
    const std::u16string units = platform::Utf8ToUtf16(text);
    return std::all_of(units.begin(), units.end(), [&](char16_t c) { return lcd_has(c); });
  };
  class SteppingEngine : public TEngineControl {
   public:
    void StartTor() override {}
    void StopTor() override {}
    int GetProgressStatus() override { return progress; }
    bool SendNewNym() override { return false; }
    int progress = 0;
  } engine;
  seams_.StartAddressLookup = [](TIPFoundEvent found) { found("203.0.113.42"); };
  std::set<std::string> faces_seen;
  LangManager().ScanForLangFiles(platform::ExtractFilePath(platform::ExecutablePath()), "*.lng",
                                 false);
  std::vector<std::uint16_t> ids = LangManager().LanguageIDs();
  ids.push_back(1033);
  for (std::uint16_t id : ids) {
    SCOPED_TRACE(id);
    LangManager().SetLanguageID(id);
    windows_ = std::make_unique<TProgramWindows>(seams_, engine);
    TNimbraMainForm& form = windows_->Main();
    const bool lcd =
        drawable(CatalogueText("Anonymity_OFF")) && drawable(CatalogueText("Retirieving_ip")) &&
        drawable(CatalogueText("Starting_proxy", {100})) && drawable(form.Proxy_Address.Caption());
    std::set<std::string> faces;
    form.Show();
    faces.insert(form.Proxy_Address.Font.face);
    engine.progress = 40;
    form.SetStarted(true);
    faces.insert(form.Proxy_Address.Font.face);
    engine.progress = 100;
    form.UpdateIndicator();
    EXPECT_EQ(form.Proxy_Address.Caption(), "203.0.113.42");
    faces.insert(form.Proxy_Address.Font.face);
    form.SetStarted(false);
    faces.insert(form.Proxy_Address.Font.face);
    EXPECT_EQ(faces, std::set<std::string>{lcd ? "LcdD" : "Tahoma"});
    faces_seen.insert(faces.begin(), faces.end());
    windows_.reset();
  }
  EXPECT_EQ(faces_seen.size(), 2u) << "some languages in each face";
}

TEST_F(SkinnedWindowsTest, HelpFromF1TheTrayAndThePanel) {
  Create();
  Form().Show();
  const std::string help = "shell open \"" + ApplicationFolder() + "Help\\Help.chm\" normal";
  gui_.PressKey(Main(), gui::kKeyF1);
  EXPECT_TRUE(LastEventHas(help));
  gui_.ClearEvents();
  gui_.AnswerNextMenu(5);
  gui_.TrayInput(gui::TrayEvent::RightClick);
  EXPECT_TRUE(LastEventHas(help));
  gui_.ClearEvents();
  Click(Main(), Form().arrow);
  Click(Panel(), MenuForm().help);
  EXPECT_TRUE(LastEventHas(help));
}

TEST_F(SkinnedWindowsTest, OptionsRoundTripLettersAndEscape) {
  TOptions().SetOption("SwitchPeriod", "45");
  Create();
  EXPECT_EQ(Form().SwitchProxyTimer.Interval(), 45u * 60000);
  gui_.AnswerNextModal([&](RecordingWindow& dialog) {
    EXPECT_EQ(Control(TOptionsForm::PageControl).Selected(), 0) << "General";
    EXPECT_TRUE(Control(TOptionsForm::RunStartup).Checked());
    EXPECT_FALSE(Control(TOptionsForm::RunMinim).Checked());
    EXPECT_FALSE(Control(TOptionsForm::StartStartup).Checked());
    EXPECT_EQ(Control(TOptionsForm::SwitchPeriodEdit).Text(), "45");
    gui_.ClickControl(dialog, TOptionsForm::RunStartup);
    gui_.ClickControl(dialog, TOptionsForm::RunMinim);
    gui_.TypeText(dialog, TOptionsForm::SwitchPeriodEdit, "abc");
    gui_.PressKey(dialog, gui::kKeyReturn);
  });
  gui_.AnswerNextMenu(4);  // Options...
  gui_.TrayInput(gui::TrayEvent::RightClick);
  EXPECT_EQ(TOptions().GetOption("SwitchPeriod", "?"), "abc") << "stored as typed";
  EXPECT_FALSE(TOptions().GetOption("Autorun", true));
  EXPECT_TRUE(TOptions().GetOption("RunMinim", false));
  EXPECT_EQ(Form().SwitchProxyTimer.Interval(), 30u * 60000) << "letters: 30 minutes, at once";
  platform::RegKey run;
  platform::RegValue value;
  ASSERT_EQ(run.Open(platform::RegRoot::CurrentUser, kRunKey, platform::kKeyRead), 0u);
  EXPECT_NE(run.Query("Nimbra", value), 0u) << "the start-up entry went at once";

  // Esc anywhere cancels: nothing typed is stored; the letters come back.
  gui_.AnswerNextModal([&](RecordingWindow& dialog) {
    EXPECT_EQ(Control(TOptionsForm::SwitchPeriodEdit).Text(), "abc");
    gui_.TypeText(dialog, TOptionsForm::SwitchPeriodEdit, "7");
    gui_.ClickControl(dialog, TOptionsForm::RunStartup);
    gui_.PressKey(dialog, gui::kKeyEscape);
  });
  Click(Main(), Form().arrow);
  Click(Panel(), MenuForm().options);
  EXPECT_EQ(TOptions().GetOption("SwitchPeriod", "?"), "abc");
  EXPECT_FALSE(TOptions().GetOption("Autorun", true));
}

TEST_F(SkinnedWindowsTest, OptionsHelpAboutLinksAndHints) {
  Create();
  Form().Show();
  gui_.AnswerNextModal([&](RecordingWindow& dialog) {
    EXPECT_EQ(Control(TOptionsForm::PageControl).Selected(), 2) << "About";
    EXPECT_EQ(Control(TOptionsForm::VersionLabel).Text(), "Version 1.4");
    gui_.PressKey(dialog, gui::kKeyF1);
    EXPECT_TRUE(LastEventHas("Help\\Help.chm\" normal")) << "F1 on any page";
    gui_.ClickControl(dialog, TOptionsForm::LinkLabel2);
    EXPECT_TRUE(LastEventHas("/products/nimbra/index.html\" hidden"));
    gui_.ClickControl(dialog, TOptionsForm::LinkLabel3);
    EXPECT_TRUE(LastEventHas("mailto:"));
    EXPECT_NE(gui_.Events().back().find("subject=Nimbra"), std::string::npos);
    gui_.ClickControl(dialog, TOptionsForm::PageControl);  // the tab control
    Control(TOptionsForm::PageControl).SetSelected(0);
    gui_.ClickControl(dialog, TOptionsForm::PageControl);
    gui_.PointAtControl(dialog, TOptionsForm::RunMinim);
    EXPECT_EQ(Control(TOptionsForm::StatusBar).Text(), "Make Nimbra run minimized to system tray");
    gui_.ClickControl(dialog, TOptionsForm::HelpButton);
    EXPECT_TRUE(LastEventHas("Help\\Help.chm\" normal"));
    gui_.CloseByTitleBar(dialog);
  });
  Click(Main(), Form().about);
  EXPECT_FALSE(Options().Visible());
}

// A bad bridge line keeps the dialog open with the line and the fault in the
// status bar; nothing is stored and the engine hears nothing until the lines
// pass.
TEST_F(SkinnedWindowsTest, ConnectionPageRefusesABadLineAndStoresNothing) {
  const std::string good =
      "obfs4 192.0.2.7:443 CDF2E852BF539B82BD10E27E9115A31734E378C2 "
      "cert=qUVQ0srL1JI/vO6V6m/24anYXiJD3QP2HgzUKQtQ7GRqqUvs7P+tG43RtAqdhLOALP7DJQ iat-mode=0";
  Create();
  gui_.AnswerNextModal([&](RecordingWindow& dialog) {
    gui_.ClickControl(dialog, TOptionsForm::RunMinim);  // a General change waits too
    Control(TOptionsForm::PageControl).SetSelected(1);
    gui_.ClickControl(dialog, TOptionsForm::PageControl);
    auto shown = [&](int id) {
      return static_cast<gui::RecordingControl&>(Control(id)).IsVisible();
    };
    EXPECT_TRUE(shown(TOptionsForm::BridgeLinesEdit));
    EXPECT_FALSE(shown(TOptionsForm::RunStartup));
    EXPECT_FALSE(
        static_cast<gui::RecordingControl&>(Control(TOptionsForm::CustomBridges)).IsEnabled())
        << "until bridges are on";
    EXPECT_FALSE(Control(TOptionsForm::UseBridges).Checked());
    EXPECT_TRUE(Control(TOptionsForm::BuiltInBridges).Checked());
    EXPECT_EQ(Control(TOptionsForm::UseBridges).Text(), "Use &bridges");
    gui_.ClickControl(dialog, TOptionsForm::UseBridges);
    gui_.ClickControl(dialog, TOptionsForm::CustomBridges);
    gui_.TypeText(dialog, TOptionsForm::BridgeLinesEdit, good + "\r\nobfs4 192.0.2.7:0");
    gui_.PressKey(dialog, gui::kKeyReturn);
    EXPECT_TRUE(dialog.Visible()) << "still open";
    EXPECT_EQ(Control(TOptionsForm::StatusBar).Text(),
              "Line 2: the port must be a number from 1 to 65535");
    EXPECT_TRUE(engine_.applied.empty());
    EXPECT_FALSE(LoadBridgeSettings().Enabled);
    EXPECT_FALSE(TOptions().GetOption("RunMinim", false));
    gui_.TypeText(dialog, TOptionsForm::BridgeLinesEdit, good + "\r\n");
    gui_.PressKey(dialog, gui::kKeyReturn);
  });
  gui_.AnswerNextMenu(4);  // Options...
  gui_.TrayInput(gui::TrayEvent::RightClick);
  ASSERT_EQ(engine_.applied.size(), 1u);
  EXPECT_TRUE(engine_.applied[0].Enabled);
  ASSERT_EQ(engine_.applied[0].ActiveLines().size(), 1u);
  EXPECT_EQ(engine_.applied[0].ActiveLines()[0].Text(), good);
  EXPECT_TRUE(LoadBridgeSettings().Enabled);
  EXPECT_TRUE(TOptions().GetOption("RunMinim", false));

  // OK again without a change: the engine is left alone.
  gui_.AnswerNextModal([&](RecordingWindow& dialog) {
    EXPECT_EQ(Control(TOptionsForm::BridgeLinesEdit).Text(), good + "\r\n");
    gui_.PressKey(dialog, gui::kKeyReturn);
  });
  gui_.AnswerNextMenu(4);
  gui_.TrayInput(gui::TrayEvent::RightClick);
  EXPECT_EQ(engine_.applied.size(), 1u);
}

TEST_F(SkinnedWindowsTest, TheSampleLanguageTranslatesTheMainWindow) {
  const std::string sample = platform::ExtractFilePath(platform::ExecutablePath()) + "Russian.lng";
  const auto bytes = platform::ReadWholeFile(sample);
  ASSERT_TRUE(bytes.has_value()) << sample;
  test_support::WriteFileForTest(app_ / "Russian.lng", *bytes);
  LangManager().ScanForLangFiles(ApplicationFolder(), "*.lng", false);
  LangManager().SetLanguageID(1049);
  Create();
  Form().Show();
  EXPECT_EQ(Form().Options1.Caption, "Настройки...");
  EXPECT_EQ(Form().Exit2.Caption, "Выход");
  EXPECT_EQ(Form().check.Hint, "Проверить доступность текущего прокси");
  EXPECT_EQ(Form().StartProxy1.Caption, "Запустить прокси Ctrl+Shift+S");
  EXPECT_EQ(Form().Proxy_Address.Caption(), "Анонимность ВЫКЛ");
  EXPECT_EQ(Main().Title(), "Nimbra");
  bool hint_shown = false;
  for (const auto& hint : Main().Hints()) hint_shown |= hint.text == Form().check.Hint;
  EXPECT_TRUE(hint_shown);
  gui_.AnswerNextMenu(0);
  gui_.TrayInput(gui::TrayEvent::RightClick);
  EXPECT_TRUE(LastEventHas("\"Скрыть Nimbra\""));
}

}  // namespace
