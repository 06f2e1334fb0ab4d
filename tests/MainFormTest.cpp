// The main window's controller, driven headless through the recording window
// backend and its clock: the same tests run natively and under Wine.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/ClosingForm.h"
#include "app/InitFinal.h"
#include "app/MainFormUnit.h"
#include "app/MenuForm.h"
#include "base/AppFolders.h"
#include "base/Logger.h"
#include "base/OptionsUnit.h"
#include "pipe/PipeServer.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Registry.h"
#include "platform/gui/recording/RecordingGui.h"
#include "support/SkinFixture.h"
#include "support/TestSupport.h"

namespace {

using gui::RecordingGui;
using gui::RecordingWindow;

constexpr std::uint32_t kPeriod30 = 30 * 60000;

// An engine whose progress the test sets; it answers only while started, as
// the real controller does.
class ScriptedEngine : public TEngineControl {
 public:
  void StartTor() override { running = true; }
  void StopTor() override { running = false; }
  int GetProgressStatus() override {
    ++progress_reads;
    return running ? progress : 0;
  }
  bool SendNewNym() override {
    ++newnym_requests;
    if (running) ++newnym_accepted;
    return running;
  }
  TBootstrapPhase LastBootstrapPhase() const override { return phase; }
  bool running = false;
  int progress = 0;
  TBootstrapPhase phase;
  int progress_reads = 0;
  int newnym_requests = 0;
  int newnym_accepted = 0;
};

std::string UniqueName(const std::string& stem) {
  static std::atomic<int> counter{0};
  return stem + " {" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) +
         "-" + std::to_string(++counter) + "}";
}

class MainFormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test_support::WriteSkins(app_.Path());
    SetApplicationFolderForTesting(app_.Path());
    InitAppFolders(system_.CommonDocuments() + platform::kPathDelim + "Nimbra");
    InitLog(true);
    seams_.PipeName = UniqueName("\\\\.\\PIPE\\NimbraFormTest");
    seams_.StartEventName = UniqueName("Global\\NimbraFormTestStart");
    seams_.StartAddressLookup = [this](TIPFoundEvent handler) {
      lookups_.push_back(std::move(handler));
    };
  }
  void TearDown() override {
    windows_.reset();
    InitLog(false);
    SetApplicationFolderForTesting("");
  }

  // Creates the windows as start-up does (skins, start-up actions).
  void Create() { windows_ = std::make_unique<TProgramWindows>(seams_, engine_); }
  TNimbraMainForm& Form() { return windows_->Main(); }
  RecordingWindow& MainWindow() { return *gui_.FindWindow(kMainFormClass); }
  void SetOption(const std::string& name, const std::string& value) {
    TOptions().SetOption(name, value);
  }
  std::string Option(const std::string& name) { return TOptions().GetOption(name, "<none>"); }
  std::string Label() { return Form().Proxy_Address.Caption(); }
  std::string Lamp() { return Form().lamp.Picture.Source(); }
  void Click(TGraphicElement& element) {
    gui_.Click(MainWindow(), {element.Bounds.left + 2, element.Bounds.top + 2});
  }
  int Modals() {
    int count = 0;
    for (const std::string& event : gui_.Events()) {
      if (event.rfind("modal \"", 0) == 0 && event.find(" ended with ") == std::string::npos) {
        ++count;
      }
    }
    return count;
  }
  // The service stand-in on the test's pipe, with the window's client
  // connected to it.
  std::unique_ptr<TPipeServer> ConnectedService() {
    auto service = std::make_unique<TPipeServer>(seams_.PipeName, seams_.StartEventName);
    EXPECT_EQ(service->Create(), 0u);
    EXPECT_EQ(service->SignalStart(), 0u);
    EXPECT_EQ(service->WaitForClient(30000), 0u);
    EXPECT_TRUE(test_support::PumpUntil(
        [] {
          return test_support::ReadFileOrMissing(LogFileName())
                     .find("TPipeClient.Execute: Connected") != std::string::npos;
        },
        30000));
    return service;
  }
  void StartAtPercent(int percent) {
    engine_.progress = percent;
    Form().SetStarted(true);
  }

  test_support::IsolatedSystem system_;
  test_support::TempFolder app_;
  RecordingGui gui_;
  ScriptedEngine engine_;
  TProgramSeams seams_{gui_};
  std::vector<TIPFoundEvent> lookups_;
  std::unique_ptr<TProgramWindows> windows_;
};

// The start-up actions are off in most tests, so each starts from Off.
class ControllerTest : public MainFormTest {
 protected:
  void SetUp() override {
    MainFormTest::SetUp();
    SetOption("StartStartup", "0");
    SetOption("AutoSwitchStartup", "0");
    Create();
    gui_.ClearEvents();
  }
};

TEST_F(ControllerTest, SettingTheValueAlreadyHeldChangesNothing) {
  Form().SetStarted(false);
  Form().SetAutoswitch(false);
  EXPECT_EQ(engine_.progress_reads, 0);
  EXPECT_EQ(Form().StartProxy1.Caption, "Start Proxy Ctrl+Shift+S");
  EXPECT_EQ(Label(), "Retrieving IP address") << "the design text, never refreshed";
  EXPECT_TRUE(Lamp().empty());
  EXPECT_FALSE(Form().SwitchProxyTimer.Running());
}

TEST_F(ControllerTest, StartingPollsUntilReadyThenLooksTheAddressUp) {
  StartAtPercent(0);
  EXPECT_TRUE(engine_.running);
  EXPECT_EQ(Label(), "Starting proxy: 0%");
  EXPECT_EQ(Lamp(), "res\\lamp_.jpg");
  EXPECT_EQ(Form().StartProxy1.Caption, "Stop proxy");
  EXPECT_EQ(Form().ToggleAnonimityImage.PictureNormal.Source(), "res\\stop.jpg");
  EXPECT_EQ(Form().ToggleAnonimityImage.PictureHover.Source(), "res\\stop_over.jpg");
  ASSERT_TRUE(MainWindow().TimerRunning(1) || Form().ShowProxyLoadingTimer.Running());
  EXPECT_EQ(Form().ShowProxyLoadingTimer.Interval(), 5000u);

  engine_.progress = 42;
  gui_.AdvanceClock(4999);
  EXPECT_EQ(Label(), "Starting proxy: 0%");
  gui_.AdvanceClock(1);
  EXPECT_EQ(Label(), "Starting proxy: 42%");

  engine_.progress = 100;
  gui_.AdvanceClock(5000);
  EXPECT_EQ(Label(), "Retrieving IP address");
  EXPECT_EQ(Lamp(), "res\\lamp_green.jpg");
  EXPECT_FALSE(Form().ShowProxyLoadingTimer.Running());
  ASSERT_EQ(lookups_.size(), 1u);
  const int reads = engine_.progress_reads;
  gui_.AdvanceClock(60000);
  EXPECT_EQ(engine_.progress_reads, reads) << "no polling once ready";

  lookups_[0]("203.0.113.7");
  EXPECT_EQ(Label(), "203.0.113.7");
  EXPECT_EQ(Form().ProxyStatus(), "203.0.113.7");
}

// A problem the engine reports while it is not ready puts the reason into
// the tray's hint, never into the label; the hint goes back once it moves on.
TEST_F(ControllerTest, NetworkProblemIsTheTrayHintNotTheLabel) {
  StartAtPercent(5);
  EXPECT_EQ(MainWindow().TrayHint(), "Nimbra");
  engine_.phase.Severity = "WARN";
  engine_.phase.Reason = "TIMEOUT";
  gui_.AdvanceClock(5000);
  EXPECT_EQ(Label(), "Starting proxy: 5%");
  EXPECT_EQ(MainWindow().TrayHint(),
            "Cannot reach the anonymity network. It may be blocked where you are: bridges may "
            "help (Options, Connection)");
  engine_.phase = TBootstrapPhase{};
  engine_.progress = 10;
  gui_.AdvanceClock(5000);
  EXPECT_EQ(Label(), "Starting proxy: 10%");
  EXPECT_EQ(MainWindow().TrayHint(), "Nimbra");
  // Switched off while stuck: the hint goes back too.
  engine_.phase.Severity = "WARN";
  gui_.AdvanceClock(5000);
  EXPECT_NE(MainWindow().TrayHint(), "Nimbra");
  Form().SetStarted(false);
  EXPECT_EQ(MainWindow().TrayHint(), "Nimbra");
}

// The debug log follows the label: one line per change, none for the timer's
// ticks that show the same text again.
TEST_F(ControllerTest, EachChangeOfTheLabelIsLoggedOnce) {
  auto shown = [] {
    std::vector<std::string> lines;
    const std::string log = test_support::ReadFileOrMissing(LogFileName());
    const std::string marker = "TNimbraMainForm.Proxy_Address: shows ";
    for (std::size_t at = log.find(marker); at != std::string::npos;
         at = log.find(marker, at + 1)) {
      const std::size_t start = at + marker.size();
      lines.push_back(log.substr(start, log.find_first_of("\r\n", start) - start));
    }
    return lines;
  };
  const std::size_t before = shown().size();
  StartAtPercent(10);
  gui_.AdvanceClock(5000);
  gui_.AdvanceClock(5000);
  engine_.progress = 100;
  gui_.AdvanceClock(5000);
  ASSERT_EQ(lookups_.size(), 1u);
  lookups_[0]("203.0.113.9\nforged line");
  Form().SetStarted(false);
  const std::vector<std::string> lines = shown();
  ASSERT_GE(lines.size(), before);
  EXPECT_EQ(std::vector<std::string>(lines.begin() + static_cast<long>(before), lines.end()),
            (std::vector<std::string>{"\"Starting proxy: 10%\"", "\"Retrieving IP address\"",
                                      "\"203.0.113.9\\x0Aforged line\"", "\"Anonymity OFF\""}));
}

TEST_F(ControllerTest, StoppingWhileStartingKeepsTheTimerShowingOff) {
  StartAtPercent(40);
  Form().SetStarted(false);
  EXPECT_FALSE(engine_.running);
  EXPECT_EQ(Label(), "Anonymity OFF");
  EXPECT_EQ(Form().StartProxy1.Caption, "Start proxy");
  EXPECT_EQ(Form().ToggleAnonimityImage.PictureNormal.Source(), "res\\start.jpg");
  EXPECT_TRUE(Form().ShowProxyLoadingTimer.Running());
  Form().Proxy_Address.SetCaption("scribble");
  gui_.AdvanceClock(5000);
  EXPECT_EQ(Label(), "Anonymity OFF");
  EXPECT_EQ(Lamp(), "res\\lamp_.jpg");
  EXPECT_EQ(Form().Progress(), 40) << "kept while off";
}

TEST_F(ControllerTest, StatusQueriesFollowStateAndProgressKeptAfterStop) {
  auto connected = ConnectedService();
  TPipeServer& service = *connected;
  auto answers = [&](int queries) {
    std::vector<TPipeRecord> records;
    EXPECT_EQ(service.SendQueries(queries), 0u);
    EXPECT_TRUE(test_support::PumpUntil(
        [&] {
          std::vector<TPipeRecord> more;
          service.ReadRecords(static_cast<std::size_t>(queries) - records.size(), 50, more);
          records.insert(records.end(), more.begin(), more.end());
          return records.size() == static_cast<std::size_t>(queries);
        },
        30000));
    std::string commands;
    for (const auto& record : records) commands += std::to_string(record.Command);
    return commands;
  };
  EXPECT_EQ(answers(1), "2") << "off";
  StartAtPercent(99);
  EXPECT_EQ(answers(1), "2") << "starting";
  engine_.progress = 100;
  gui_.AdvanceClock(5000);
  EXPECT_EQ(answers(2), "11") << "two queries in one block, each answered";
  Form().SetStarted(false);
  EXPECT_EQ(Form().Progress(), 100);
  EXPECT_EQ(answers(1), "2") << "off again, though progress stays 100";
  engine_.progress = 30;
  Form().SetStarted(true);
  EXPECT_EQ(Form().Progress(), 30) << "a later start reads afresh";
}

TEST_F(ControllerTest, HostileBlocksEndTheWalkAndAnswerWhatTheyHold) {
  auto connected = ConnectedService();
  TPipeServer& service = *connected;
  // A query, then a query whose length makes Offset + 5 + L wrap 32 bits
  // back onto its own start, then a tail shorter than a header.
  std::string block = EncodePipeRecord(StatusQuery);
  block += std::string("\xFB\xFF\xFF\xFF", 4) + std::string(1, '\0') + "xyz";
  block += std::string("\x00\x00", 2);
  // The client connected and answers from this thread; reading on another.
  std::vector<TPipeRecord> records;
  std::thread reader([&] { service.ReadRecords(3, 3000, records); });
  Form().PipeResponse(block.data(), static_cast<std::uint32_t>(block.size()));
  reader.join();
  EXPECT_EQ(records.size(), 2u) << "two queries, then the walk ends";

  // Blocks of any bytes: answered or not, never a hang or a read past the
  // block (the sanitizers watch the reads).
  std::thread drain([&] {
    std::vector<TPipeRecord> answers;
    service.ReadRecords(1000000, 3000, answers);
  });
  std::mt19937 random(7);
  for (int round = 0; round < 200; ++round) {
    std::string bytes(random() % 64, '\0');
    for (char& c : bytes) c = static_cast<char>(random() % 3 == 0 ? 0 : random());
    Form().PipeResponse(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  }
  Form().PipeResponse(nullptr, 5);
  drain.join();
}

TEST_F(ControllerTest, AutoSwitchButtonStartsAnonymityEitherWay) {
  Click(Form().ToggleAutoSwitchImage);
  EXPECT_TRUE(Form().Autoswitch());
  EXPECT_TRUE(Form().Started());
  EXPECT_EQ(Form().ToggleAutoSwitchImage.PictureNormal.Source(), "res\\auto_switch_down.jpg");
  Form().SetStarted(false);
  Click(Form().ToggleAutoSwitchImage);
  EXPECT_FALSE(Form().Autoswitch());
  EXPECT_TRUE(Form().Started()) << "turning auto-switching off also starts anonymity";
  EXPECT_TRUE(Form().ToggleAutoSwitchImage.PictureNormal.Empty());
  EXPECT_FALSE(Form().SwitchProxyTimer.Running());
}

TEST_F(ControllerTest, AutoSwitchTicksWhileOffRequestNoIdentity) {
  Form().SetAutoswitch(true);
  EXPECT_EQ(Form().SwitchProxyTimer.Interval(), kPeriod30);
  Form().Proxy_Address.SetCaption("scribble");
  gui_.AdvanceClock(kPeriod30);
  EXPECT_EQ(engine_.newnym_accepted, 0);
  EXPECT_EQ(Label(), "Anonymity OFF");
  StartAtPercent(100);
  gui_.AdvanceClock(kPeriod30);
  EXPECT_EQ(engine_.newnym_accepted, 1);
  EXPECT_EQ(lookups_.size(), 2u) << "each ready refresh looks the address up again";
}

TEST_F(ControllerTest, SwitchPeriodFromTheOptions) {
  struct Case {
    const char* stored;
    std::uint32_t interval;
  };
  const Case cases[] = {
      {"abc", kPeriod30},
      {"15 ", 15 * 60000},
      {"0x2", 2 * 60000},
      {"-5", kPeriod30},
      {"0", 0},
      {"35791", 35791u * 60000},
      {"35792", 35791u * 60000},
      {"2147483647", 35791u * 60000},
  };
  for (const Case& c : cases) {
    SetOption("SwitchPeriod", c.stored);
    Form().SetOptions();
    EXPECT_EQ(Form().SwitchProxyTimer.Interval(), c.interval) << c.stored;
  }
  TOptions().DeleteKey("SwitchPeriod");
  Form().SetOptions();
  EXPECT_EQ(Form().SwitchProxyTimer.Interval(), kPeriod30) << "missing";

  SetOption("SwitchPeriod", "0");
  Form().SetOptions();
  Form().SetAutoswitch(true);
  EXPECT_FALSE(Form().SwitchProxyTimer.Running()) << "0 never ticks";
  gui_.AdvanceClock(100LL * 24 * 3600 * 1000);
  EXPECT_EQ(engine_.newnym_requests, 0);

  // A changed period restarts the countdown.
  SetOption("SwitchPeriod", "2");
  Form().SetOptions();
  gui_.AdvanceClock(60000);
  SetOption("SwitchPeriod", "3");
  Form().SetOptions();
  gui_.AdvanceClock(150000);
  EXPECT_EQ(engine_.newnym_requests, 0);
  gui_.AdvanceClock(30000);
  EXPECT_EQ(engine_.newnym_requests, 1);
}

TEST_F(ControllerTest, AutorunWritesAndRemovesTheStartupEntry) {
  platform::RegKey key;
  platform::RegValue value;
  ASSERT_EQ(key.Open(platform::RegRoot::CurrentUser, kRunKey, platform::kKeyRead), 0u);
  ASSERT_EQ(key.Query("Nimbra", value), 0u);
  EXPECT_EQ(value.text, platform::ExecutablePath());
  SetOption("Autorun", "0");
  Form().SetOptions();
  EXPECT_NE(key.Query("Nimbra", value), 0u);
}

TEST_F(ControllerTest, CloseButtonWithMinimizeTogglesTheTray) {
  SetOption("X_Action", "1");
  Form().Show();
  Click(Form().exit_button);
  EXPECT_FALSE(MainWindow().Visible());
  Click(Form().exit_button);
  EXPECT_TRUE(MainWindow().Visible());
  EXPECT_EQ(MainWindow().Bounds().left, gui_.WorkArea().Right() - 330 - 80);
  EXPECT_EQ(MainWindow().Bounds().top, 100);
}

TEST_F(ControllerTest, ClosingDialogAnswers) {
  auto close_with = [&](int choice) {
    gui_.AnswerNextModal([&, choice](RecordingWindow& dialog) {
      if (choice != 0) gui_.ClickControl(dialog, choice);
      gui_.ClickControl(dialog, choice == 0 ? TClosingForm::Button4 : TClosingForm::Button3);
    });
    gui_.ResetQuit();
    Click(Form().exit_button);
  };
  close_with(TClosingForm::RadioButton3);
  EXPECT_TRUE(gui_.QuitRequested()) << "close now and ask next time";
  EXPECT_EQ(Option("X_Action"), "3");
}

TEST_F(ControllerTest, ClosingDialogCancelAndTitleBar) {
  gui_.AnswerNextModal([&](RecordingWindow& dialog) { gui_.PressKey(dialog, gui::kKeyEscape); });
  Click(Form().exit_button);
  EXPECT_TRUE(gui_.QuitRequested()) << "Esc ends the program at once";
  EXPECT_EQ(Option("X_Action"), "3");
}

TEST_F(ControllerTest, ClosingDialogTitleBarMeansAlwaysClose) {
  gui_.AnswerNextModal([&](RecordingWindow& dialog) { gui_.CloseByTitleBar(dialog); });
  gui_.AnswerNextMessageBox(gui::MessageBoxResult::No);
  Click(Form().exit_button);
  EXPECT_FALSE(gui_.QuitRequested());
  EXPECT_EQ(Option("X_Action"), "2");
  EXPECT_NE(gui_.Events().back().find("answered no"), std::string::npos);
  // Now the close button asks the exit question straight away.
  gui_.AnswerNextMessageBox(gui::MessageBoxResult::Yes);
  Click(Form().exit_button);
  EXPECT_TRUE(gui_.QuitRequested());
  EXPECT_EQ(Modals(), 1);
}

TEST_F(ControllerTest, WhileTheClosingDialogWaitsTheWindowStaysConsistent) {
  StartAtPercent(10);
  gui_.AnswerNextModal([&](RecordingWindow& dialog) {
    // Timers, the hot key and the tray menu's exit all arrive meanwhile; a
    // second press of the close image opens no second dialog.
    engine_.progress = 60;
    gui_.AdvanceClock(5000);
    EXPECT_EQ(Label(), "Starting proxy: 60%");
    EXPECT_TRUE(gui_.PressHotKey(kStartStopShortcut));
    EXPECT_FALSE(Form().Started());
    Click(Form().exit_button);
    gui_.AnswerNextMenu(8 /* Exit */);
    gui_.AnswerNextMessageBox(gui::MessageBoxResult::Yes);
    gui_.TrayInput(gui::TrayEvent::RightClick);
    EXPECT_TRUE(gui_.QuitRequested());
    gui_.ClickControl(dialog, TClosingForm::Button3);
  });
  Click(Form().exit_button);
  EXPECT_EQ(Modals(), 1);
  EXPECT_TRUE(gui_.QuitRequested());
  EXPECT_EQ(Option("X_Action"), "<none>") << "the program ended under the dialog: no answer";
  // Ending twice is ending once.
  gui_.AnswerNextMessageBox(gui::MessageBoxResult::Yes);
  Form().ConfirmExit();
  int boxes = 0;
  for (const std::string& event : gui_.Events()) boxes += event.rfind("message box \"", 0) == 0;
  EXPECT_EQ(boxes, 1);
}

TEST_F(ControllerTest, ExitFromTheTrayAsksFirst) {
  gui_.AnswerNextMenu(8);
  gui_.AnswerNextMessageBox(gui::MessageBoxResult::No);
  gui_.TrayInput(gui::TrayEvent::RightClick);
  EXPECT_FALSE(gui_.QuitRequested());
  EXPECT_NE(gui_.Events()[0].find("\"Show Nimbra\" Ctrl+Shift+N (default) \"Start Proxy "
                                  "Ctrl+Shift+S\" Ctrl+Shift+S | \"Options...\" \"Help\" "
                                  "\"Corvane Online\" | \"Exit\""),
            std::string::npos)
      << gui_.Events()[0];
  EXPECT_NE(gui_.Events()[2].find("\"Confirm\" \"Please note that after closing Nimbra"),
            std::string::npos);
  EXPECT_NE(gui_.Events()[2].find("yes/no question"), std::string::npos);
  EXPECT_FALSE(engine_.running) << "ending makes no stop call either way";
}

TEST_F(ControllerTest, ShowRequestHotKeysAndTheTray) {
  EXPECT_FALSE(MainWindow().Visible());
  EXPECT_TRUE(gui_.PostToWindowOfClass(kMainFormClass, ShowRequestMessage));
  gui_.DeliverPostedMessages();
  EXPECT_TRUE(MainWindow().Visible());
  EXPECT_TRUE(gui_.PressHotKey(kShowFormShortcut));
  EXPECT_FALSE(MainWindow().Visible());
  gui_.AnswerNextMenu(0);
  gui_.TrayInput(gui::TrayEvent::RightClick);
  EXPECT_NE(gui_.Events().back().find("\"Show Nimbra\""), std::string::npos);
  gui_.TrayInput(gui::TrayEvent::LeftDown);
  EXPECT_TRUE(MainWindow().Visible());
  gui_.AnswerNextMenu(0);
  gui_.TrayInput(gui::TrayEvent::RightClick);
  EXPECT_NE(gui_.Events().back().find("\"Hide Nimbra\""), std::string::npos);
  EXPECT_TRUE(gui_.PressHotKey(kStartStopShortcut));
  EXPECT_TRUE(Form().Started());
  EXPECT_EQ(MainWindow().TrayHint(), "Nimbra");
}

TEST_F(ControllerTest, ALateAddressIsShownEvenWhenOff) {
  StartAtPercent(100);
  ASSERT_EQ(lookups_.size(), 1u);
  Form().SetStarted(false);
  lookups_[0]("198.51.100.1");
  EXPECT_EQ(Label(), "198.51.100.1");
}

TEST_F(ControllerTest, AMissingPictureEndsTheHandlerThere) {
  ASSERT_TRUE(platform::DeleteFileAt(SkinPath("stop.jpg")));
  Click(Form().ToggleAnonimityImage);
  EXPECT_TRUE(Form().Started()) << "state changed before the failure stays changed";
  EXPECT_TRUE(engine_.running);
  EXPECT_EQ(Form().StartProxy1.Caption, "Start Proxy Ctrl+Shift+S") << "not reached";
  EXPECT_EQ(engine_.progress_reads, 0);
  // The window goes on working.
  Click(Form().ToggleAnonimityImage);
  EXPECT_FALSE(Form().Started());
  EXPECT_EQ(Label(), "Anonymity OFF");
}

TEST_F(ControllerTest, DraggingTheBackgroundCarriesThePanel) {
  Form().Show();
  Click(Form().arrow);
  auto& panel = *gui_.FindWindow("TMenuForm");
  ASSERT_TRUE(panel.Visible());
  const gui::Rect main_before = MainWindow().Bounds();
  const gui::Rect panel_before = panel.Bounds();
  EXPECT_EQ(panel_before.left, main_before.left - 456 + 1);
  gui_.Drag(MainWindow(), {100, 20}, -300, 120);
  EXPECT_EQ(MainWindow().Bounds().left, main_before.left - 300);
  EXPECT_EQ(panel.Bounds().left - panel_before.left, MainWindow().Bounds().left - main_before.left);
  EXPECT_EQ(panel.Bounds().top - panel_before.top, 120);
  // A press on a button does not move the window.
  gui_.Drag(MainWindow(), {140, 120}, 50, 50);
  EXPECT_EQ(MainWindow().Bounds().left, main_before.left - 300);
}

TEST_F(MainFormTest, HotKeyHeldElsewhereLeavesTheOtherWorking) {
  gui_.HoldHotKeyElsewhere(kStartStopShortcut);
  SetOption("StartStartup", "0");
  SetOption("AutoSwitchStartup", "0");
  Create();
  EXPECT_FALSE(Form().StartStopHotKey.Registered());
  EXPECT_FALSE(gui_.PressHotKey(kStartStopShortcut));
  EXPECT_FALSE(Form().Started());
  Form().Show();
  EXPECT_TRUE(gui_.PressHotKey(kShowFormShortcut));
  EXPECT_FALSE(MainWindow().Visible());
}

TEST_F(MainFormTest, OptionsFileOfAnyBytesGivesTheDefaults) {
  std::mt19937 random(11);
  std::string bytes(4096, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  bytes.insert(0, "[Options]\r\nStartStartup=\xFF\xFE\r\nX_Action=\x01\r\n");
  test_support::WriteFileForTest(TOptions::GetFileName(), bytes);
  Create();
  EXPECT_TRUE(Form().Started()) << "StartStartup unreadable: default true";
  EXPECT_TRUE(Form().Autoswitch());
  EXPECT_EQ(Form().SwitchProxyTimer.Interval(), kPeriod30);
}

TEST_F(MainFormTest, AMissingSkinStopsTheStartUpActions) {
  ASSERT_TRUE(platform::DeleteFileAt(SkinPath("check_over.jpg")));
  Create();
  EXPECT_EQ(Form().back.Picture.Source(), "res\\Main.jpg") << "loaded before the gap";
  EXPECT_TRUE(Form().check.PictureHover.Empty());
  EXPECT_TRUE(Form().arrow.PictureHover.Empty()) << "nothing after it";
  EXPECT_FALSE(Form().Started()) << "StartStartup did not run";
  EXPECT_FALSE(Form().Autoswitch());
}

}  // namespace
