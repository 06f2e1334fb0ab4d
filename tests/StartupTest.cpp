// The program's start-up and exit through its entry, on the recording window
// backend: the order of the steps, the start-up actions and the single
// instance.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "app/InitFinal.h"
#include "app/TutorialForm.h"
#include "base/AppFolders.h"
#include "base/Logger.h"
#include "base/OptionsUnit.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Process.h"
#include "platform/Registry.h"
#include "platform/gui/recording/RecordingGui.h"
#include "support/SkinFixture.h"
#include "support/TestSupport.h"
#include "ui/DKLang.h"

namespace {

using gui::RecordingGui;
using gui::RecordingWindow;

class NullEngine : public TEngineControl {
 public:
  void StartTor() override { running = true; }
  void StopTor() override { running = false; }
  int GetProgressStatus() override { return 0; }
  bool SendNewNym() override { return false; }
  bool running = false;
};

// A window that forwards to a recorded one, except that the system will not
// make it when it is first shown (a handle made when first needed).
class RefusedWhenShown : public gui::Window {
 public:
  explicit RefusedWhenShown(std::unique_ptr<gui::Window> inner) : inner_(std::move(inner)) {}
  void Show() override { throw gui::WindowError("window TMenuForm not created, error 1400"); }
  int ShowModal() override { throw gui::WindowError("window TMenuForm not created"); }
  void Hide() override { inner_->Hide(); }
  bool Visible() const override { return inner_->Visible(); }
  bool Active() const override { return inner_->Active(); }
  gui::Rect Bounds() const override { return inner_->Bounds(); }
  void SetPosition(gui::Point position) override { inner_->SetPosition(position); }
  void SetTitle(const std::string& title) override { inner_->SetTitle(title); }
  std::string Title() const override { return inner_->Title(); }
  void SetRoundRectRegion(int l, int t, int r, int b, int w, int h) override {
    inner_->SetRoundRectRegion(l, t, r, b, w, h);
  }
  void Invalidate() override { inner_->Invalidate(); }
  void SetTimer(int id, std::uint32_t interval_ms) override { inner_->SetTimer(id, interval_ms); }
  void KillTimer(int id) override { inner_->KillTimer(id); }
  bool RegisterHotKey(int id, std::uint16_t shortcut) override {
    return inner_->RegisterHotKey(id, shortcut);
  }
  void UnregisterHotKey(int id) override { inner_->UnregisterHotKey(id); }
  bool AddTrayIcon(const std::string& hint) override { return inner_->AddTrayIcon(hint); }
  void SetTrayHint(const std::string& hint) override { inner_->SetTrayHint(hint); }
  void RemoveTrayIcon() override { inner_->RemoveTrayIcon(); }
  int PopupMenu(const std::vector<gui::MenuItem>& items, gui::Point screen) override {
    return inner_->PopupMenu(items, screen);
  }
  void EndModal(int result) override { inner_->EndModal(result); }
  bool InModal() const override { return inner_->InModal(); }
  gui::Control& AddControl(const gui::ControlSpec& layout) override {
    return inner_->AddControl(layout);
  }
  gui::Control* FindControl(int id) override { return inner_->FindControl(id); }
  void SetHints(const std::vector<HintArea>& hints) override { inner_->SetHints(hints); }

 private:
  std::unique_ptr<gui::Window> inner_;
};

// The recording backend on a system that will not make the windows of one
// class: at once, or when first shown.
class RefusingGui : public gui::GuiSystem {
 public:
  RefusingGui(RecordingGui& inner, std::string refused, bool when_shown)
      : inner_(inner), refused_(std::move(refused)), when_shown_(when_shown) {}
  std::unique_ptr<gui::Window> NewWindow(const gui::WindowSpec& layout,
                                         gui::WindowEvents& events) override {
    if (layout.class_name != refused_) return inner_.NewWindow(layout, events);
    if (!when_shown_) throw gui::WindowError("window " + refused_ + " not created, error 8");
    return std::make_unique<RefusedWhenShown>(inner_.NewWindow(layout, events));
  }
  int RunMessageLoop() override { return inner_.RunMessageLoop(); }
  void QuitMessageLoop(int exit_code) override { inner_.QuitMessageLoop(exit_code); }
  gui::MessageBoxResult ShowMessageBox(gui::Window* owner, const std::string& text,
                                       const std::string& title, gui::MessageBoxButtons buttons,
                                       gui::MessageBoxIcon icon) override {
    return inner_.ShowMessageBox(owner, text, title, buttons, icon);
  }
  void ShellOpen(gui::Window* owner, const std::string& target, gui::ShowCommand show) override {
    inner_.ShellOpen(owner, target, show);
  }
  gui::Rect WorkArea() const override { return inner_.WorkArea(); }
  bool PostToWindowOfClass(const std::string& class_name, std::uint32_t message) override {
    return inner_.PostToWindowOfClass(class_name, message);
  }
  bool AddFontFile(const std::string& path) override { return inner_.AddFontFile(path); }

 private:
  RecordingGui& inner_;
  std::string refused_;
  bool when_shown_;
};

class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test_support::WriteSkins(app_.Path());
    SetApplicationFolderForTesting(app_.Path());
    data_ = system_.CommonDocuments() + platform::kPathDelim + "Nimbra" + platform::kPathDelim;
    platform::ForceDirectories(data_);
    seams_.PipeName = "\\\\.\\PIPE\\NimbraStartupTest {" +
                      std::to_string(reinterpret_cast<std::uintptr_t>(this)) + "}";
    seams_.StartEventName = "Global\\NimbraStartupTestStart";
    seams_.StartAddressLookup = [](TIPFoundEvent) {};
    seams_.WindowsCreated = [this](TProgramWindows& windows) { windows_ = &windows; };
    seams_.CreateEngine = [this](const std::string& folder) {
      engine_folder_ = folder;
      ++engines_made_;
      return std::make_unique<NullEngine>();
    };
  }
  void TearDown() override {
    InitLog(false);
    SetApplicationFolderForTesting("");
  }
  void WriteOptions(const std::string& lines) {
    test_support::WriteFileForTest(data_ + "options.ini", "[Options]\r\n" + lines);
  }
  // Runs the program; `in_loop` is what the user does once the loop runs.
  int Run(std::function<void()> in_loop) {
    gui_.SetLoopScript([&, in_loop] {
      if (in_loop) in_loop();
      gui_.QuitMessageLoop(0);
    });
    return RunNimbra(seams_);
  }
  RecordingWindow& MainWindow() { return *gui_.FindWindow("TNimbraMainForm"); }
  // The running program's main window (inside Run's loop).
  TNimbraMainForm& Main() { return windows_->Main(); }

  test_support::IsolatedSystem system_;
  test_support::TempFolder app_;
  std::string data_;
  RecordingGui gui_;
  TProgramSeams seams_{gui_};
  TProgramWindows* windows_ = nullptr;
  std::string engine_folder_;
  int engines_made_ = 0;
};

TEST_F(StartupTest, AFirstRunShowsTheTutorialFirstAndStoresFirstRunBeforeIt) {
  WriteOptions("FirstRun=1\r\nRunMinim=1\r\n");
  bool main_shown_during_tutorial = true;
  std::string first_run_during_tutorial;
  gui_.AnswerNextModal([&](RecordingWindow& tutorial) {
    EXPECT_EQ(tutorial.Layout().class_name, "TTutorialForm");
    main_shown_during_tutorial = MainWindow().Visible();
    first_run_during_tutorial = TOptions().GetOption("FirstRun", "?");
    gui_.Click(tutorial, {480, 453});  // its OK button
  });
  bool shown_in_loop = false;
  bool started = false;
  EXPECT_EQ(Run([&] {
              shown_in_loop = MainWindow().Visible();
              started = Main().Started();
            }),
            0);
  EXPECT_FALSE(main_shown_during_tutorial);
  EXPECT_EQ(first_run_during_tutorial, "0");
  EXPECT_TRUE(shown_in_loop) << "a first run shows the window even with RunMinim";
  EXPECT_TRUE(started);
  bool tutorial_closed = false;
  for (const std::string& event : gui_.Events()) {
    tutorial_closed |= event == "modal \"Nimbra\" ended with 1";
  }
  EXPECT_TRUE(tutorial_closed);
}

TEST_F(StartupTest, AMinimizedStartStaysInTheTrayUntilTheHotKey) {
  WriteOptions("RunMinim=1\r\n");
  bool shown = true;
  bool after_hot_key = false;
  Run([&] {
    shown = MainWindow().Visible();
    gui_.PressHotKey(kShowFormShortcut);
    after_hot_key = MainWindow().Visible();
  });
  EXPECT_FALSE(shown);
  EXPECT_TRUE(after_hot_key) << "the first Ctrl+Shift+N shows the window";
}

TEST_F(StartupTest, AutoSwitchingWithoutAnonymity) {
  WriteOptions("StartStartup=0\r\nAutoSwitchStartup=1\r\n");
  bool started = true, autoswitch = false;
  std::string caption;
  Run([&] {
    started = Main().Started();
    autoswitch = Main().Autoswitch();
    caption = Main().StartProxy1.Caption;
  });
  EXPECT_FALSE(started);
  EXPECT_TRUE(autoswitch);
  EXPECT_EQ(caption, "Start Proxy Ctrl+Shift+S");
}

TEST_F(StartupTest, LanguageDefaultsToEnglishAndTheEngineFolderIsChosen) {
  WriteOptions("StartStartup=1\r\n");
  std::string label;
  Run([&] { label = Main().Proxy_Address.Caption(); });
  EXPECT_EQ(LangManager().LanguageID(), 1033);
  EXPECT_EQ(label, "Starting proxy: 0%");
  EXPECT_EQ(engine_folder_, ApplicationFolder()) << "no anon.dll anywhere: the program's folder";
  test_support::WriteFileForTest(ApplicationFolder() + "anon.dll", "x");
  EXPECT_EQ(EngineFolder(), ApplicationFolder());
  test_support::WriteFileForTest(data_ + "anon.dll", "x");
  EXPECT_EQ(EngineFolder(), data_) << "both: the data folder's copy";
}

TEST_F(StartupTest, ASecondStartOnlySignalsTheFirst) {
  const std::string log = data_ + "Nimbra.log";
  platform::RegKey debug;
  ASSERT_EQ(debug.Create(platform::RegRoot::CurrentUser, kDebugModeKey, platform::kKeyWrite), 0u);
  WriteOptions("RunMinim=1\r\n");
  int second = -1;
  bool shown_after = false;
  std::string options_before, log_before;
  Run([&] {
    options_before = test_support::ReadFileOrMissing(data_ + "options.ini");
    log_before = test_support::ReadFileOrMissing(LogFileName());
    TProgramSeams other = seams_;  // the same desktop
    second = RunNimbra(other);
    gui_.DeliverPostedMessages();
    shown_after = MainWindow().Visible();
    EXPECT_EQ(test_support::ReadFileOrMissing(data_ + "options.ini"), options_before);
    EXPECT_EQ(test_support::ReadFileOrMissing(LogFileName()), log_before);
  });
  EXPECT_EQ(second, 0);
  EXPECT_EQ(engines_made_, 1) << "the second start made no engine";
  EXPECT_TRUE(shown_after) << "message 9 shows the first instance";
  EXPECT_NE(log_before, "<missing>");
  debug.Close();
  platform::RegDeleteKeyTree(platform::RegRoot::CurrentUser, kDebugModeKey, 0);
}

// Without its windows the program ends with a box, a log line and exit code
// 1, whether the system refuses the main window at start or the menu panel
// when it is first opened from a click.
TEST_F(StartupTest, AWindowTheSystemWillNotMakeEndsTheProgramWithABoxAndALogLine) {
  platform::RegKey debug;
  ASSERT_EQ(debug.Create(platform::RegRoot::CurrentUser, kDebugModeKey, platform::kKeyWrite), 0u);
  debug.Close();
  const std::string box = app_ / "errorbox.txt";
  ASSERT_TRUE(platform::SetEnvironmentValue("NIMBRA_ERROR_BOX_FILE", box));
  struct Case {
    const char* refused;
    bool when_shown;
  };
  for (const Case& c : {Case{"TNimbraMainForm", false}, Case{"TMenuForm", true}}) {
    SCOPED_TRACE(c.refused);
    platform::DeleteFileAt(box);
    RefusingGui refusing(gui_, c.refused, c.when_shown);
    gui_.SetLoopScript([&] {
      // The arrow opens the menu panel; a program still running ends here.
      const gui::Rect arrow = Main().arrow.Bounds;
      gui_.Click(MainWindow(), {arrow.left + 2, arrow.top + 2});
      if (!gui_.QuitRequested()) gui_.QuitMessageLoop(0);
    });
    gui_.ResetQuit();
    TProgramSeams on_refusing = seams_;
    on_refusing.Gui = refusing;
    EXPECT_EQ(RunNimbra(on_refusing), 1);
    const std::string reason = std::string("window ") + c.refused + " not created";
    EXPECT_NE(test_support::ReadFileOrMissing(box).find("Nimbra cannot open its window and ends: " +
                                                        reason),
              std::string::npos);
    EXPECT_NE(test_support::ReadFileOrMissing(LogFileName())
                  .find("InitFinal.RunNimbra: Window not created: " + reason),
              std::string::npos);
  }
  platform::SetEnvironmentValue("NIMBRA_ERROR_BOX_FILE", "");
  platform::RegDeleteKeyTree(platform::RegRoot::CurrentUser, kDebugModeKey, 0);
}

TEST_F(StartupTest, AnUnreadableLanguageFileStopsTheProgramBeforeItsWindows) {
  WriteOptions("LanguageID=1049\r\n");
  test_support::WriteFileForTest(
      app_ / "Broken.lng", "LANGID=1049\r\n[$CONSTANTS]\r\nStart_proxy=a\r\nStart_proxy=b\r\n");
  EXPECT_EQ(RunNimbra(seams_), 1);
  EXPECT_EQ(gui_.FindWindow("TNimbraMainForm"), nullptr);
  LangManager().SetLanguageID(1033);
}

TEST_F(StartupTest, NamesThatAreNoLanguageFileAreSkippedWithALogLine) {
  platform::RegKey debug;
  ASSERT_EQ(debug.Create(platform::RegRoot::CurrentUser, kDebugModeKey, platform::kKeyWrite), 0u);
  // A language no other start here registers (the catalogue is the
  // process's own).
  WriteOptions("LanguageID=1036\r\n");
  // The chosen language's only file is far too large to be one.
  std::string large = "LANGID=1036\r\n";
  large.resize(kMaxLangFileSize + 1, ';');
  test_support::WriteFileForTest(app_ / "Large.lng", large);
#ifndef _WIN32
  // Natively a FIFO held the start until it was killed.
  ASSERT_EQ(std::system(("mkfifo '" + app_ / "Fifo.lng" + "'").c_str()), 0);
#endif
  bool in_loop = false;
  EXPECT_EQ(Run([&] { in_loop = true; }), 0);
  EXPECT_TRUE(in_loop) << "the windows were made and the loop ran";
  EXPECT_EQ(LangManager().LanguageID(), 1033);
  const std::string log = test_support::ReadFileOrMissing(LogFileName());
  EXPECT_NE(log.find(std::string("Language file skipped: \"") + app_ / "Large.lng" +
                     "\" is larger than 1048576 bytes"),
            std::string::npos)
      << log;
#ifndef _WIN32
  EXPECT_NE(log.find(std::string("Language file skipped: \"") + app_ / "Fifo.lng" +
                     "\" is not a regular file"),
            std::string::npos)
      << log;
#endif
  debug.Close();
  platform::RegDeleteKeyTree(platform::RegRoot::CurrentUser, kDebugModeKey, 0);
}

}  // namespace
