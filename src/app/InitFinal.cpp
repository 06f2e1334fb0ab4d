#include "app/InitFinal.h"

#include "app/ClosingForm.h"
#include "app/MenuForm.h"
#include "app/OptionsFormUnit.h"
#include "app/TutorialForm.h"
#include "base/AppFolders.h"
#include "base/Logger.h"
#include "base/OptionsUnit.h"
#include "platform/ErrorBox.h"
#include "platform/Paths.h"
#include "platform/Process.h"
#include "platform/Text.h"
#include "ui/DKLang.h"

TEngineControl* TorControl = nullptr;

namespace {

std::unique_ptr<TEngineControl> g_tor_control;

}  // namespace

namespace {

// Demos and tests point the address lookup at a local endpoint, so that no
// request of theirs leaves the machine.
void ApplyLookupFromEnvironment() {
  const std::string url = platform::EnvironmentValue("NIMBRA_IP_LOOKUP_URL");
  if (url.empty()) return;
  const std::optional<std::int32_t> delay =
      platform::ParseSignedDecimal(platform::EnvironmentValue("NIMBRA_IP_LOOKUP_DELAY_MS"));
  SetIPLookupForTesting(delay && *delay >= 0 ? *delay : kIPLookupDelayMs, url);
}

}  // namespace

void InitializeProgram(const TProgramSeams& Seams) {
  ApplyLookupFromEnvironment();
  const std::string documents =
      platform::GetSpecialFolder(platform::SpecialFolder::CommonDocuments);
  InitAppFolders(documents + platform::kPathDelim + kProductName + platform::kPathDelim);
  InitLogFromRegistry(platform::RegRoot::CurrentUser, kDebugModeKey);
  StartExceptionLog();
  {
    TOptions options;
    LangManager().ScanForLangFiles(ApplicationFolder(), "*.lng", false);
    LangManager().SetLanguageID(
        static_cast<std::uint16_t>(options.GetOption("LanguageID", std::int32_t{1033})));
  }
  CreateEngineControl(Seams);
}

std::string EngineFolder() {
  if (platform::FileExists(DataFolder() + kEngineLibraryName)) return DataFolder();
  return ApplicationFolder();
}

void CreateEngineControl(const TProgramSeams& Seams) {
  const std::string folder = EngineFolder();
  if (Seams.CreateEngine) {
    g_tor_control = Seams.CreateEngine(folder);
  } else {
    g_tor_control = std::make_unique<TTorControl>(folder);
  }
  TorControl = g_tor_control.get();
}

void FinalizeProgram() {
  TorControl = nullptr;
  g_tor_control.reset();
}

TProgramWindows::TProgramWindows(gui::GuiSystem& Gui, TEngineControl& Engine,
                                 const TProgramSeams& Seams) {
  Application() = TApplication{};
  TMainFormServices services{Gui, Engine, Seams.PipeName, Seams.StartEventName,
                             Seams.StartAddressLookup};
  // Each global is set before its window's creation handler runs, so the
  // handlers can reach the windows made so far.
  FMain = std::make_unique<TNimbraMainForm>(services);
  NimbraMainForm = FMain.get();
  Guarded([&] { FMain->FormCreate(); });
  // The main window's handler swallows the window thread's errors; a window
  // the system will not make is not one of them: the program ends.
  Application().OnException = [this, &Gui,
                               others = Application().OnException](std::exception_ptr error) {
    try {
      std::rethrow_exception(error);
    } catch (const gui::WindowError& refused) {
      if (FRefusedWindow.empty()) {
        FRefusedWindow = refused.what();
        Gui.QuitMessageLoop(1);
      }
      return;
    } catch (...) {
    }
    if (others) others(error);
  };
  FMenu = std::make_unique<TMenuForm>(Gui, &FMain->Window());
  MenuForm = FMenu.get();
  Guarded([&] { FMenu->FormCreate(); });
  FClosing = std::make_unique<TClosingForm>(Gui);
  ClosingForm = FClosing.get();
  Guarded([&] { FClosing->FormCreate(); });
  FOptions = std::make_unique<TOptionsForm>(Gui);
  OptionsForm = FOptions.get();
  Guarded([&] { FOptions->FormCreate(); });
  FTutorial = std::make_unique<TTutorialForm>(Gui);
  TutorialForm = FTutorial.get();
  Guarded([&] { FTutorial->FormCreate(); });
}

TProgramWindows::~TProgramWindows() {
  Application().OnException = nullptr;
  TutorialForm = nullptr;
  FTutorial.reset();
  OptionsForm = nullptr;
  FOptions.reset();
  ClosingForm = nullptr;
  FClosing.reset();
  MenuForm = nullptr;
  FMenu.reset();
  NimbraMainForm = nullptr;
  FMain.reset();
}

int RunNimbra(gui::GuiSystem& Gui, const TProgramSeams& Seams) {
  if (Gui.PostToWindowOfClass(kMainFormClass, ShowRequestMessage)) return 0;
  try {
    InitializeProgram(Seams);
  } catch (const std::exception& error) {
    // A language file that cannot be read stops the program before any
    // window exists; it ends with a log line instead of a crash.
    LogMessage(ExceptionLogText(error), "InitFinal.InitializeProgram");
    FinalizeProgram();
    return 1;
  }
  int exit_code = 0;
  std::string refused;
  try {
    TProgramWindows windows(Gui, *TorControl, Seams);
    if (windows.RefusedWindow().empty() && Application().ShowMainForm) NimbraMainForm->Show();
    // Returns at once when a window was refused before it started.
    exit_code = Gui.RunMessageLoop();
    refused = windows.RefusedWindow();
    FinalizeProgram();
  } catch (const gui::WindowError& error) {
    refused = error.what();
  }
  if (refused.empty()) return exit_code;
  // Without its windows the program cannot go on: it says so and ends.
  FinalizeProgram();
  LogMessage("Window not created: " + refused, "InitFinal.RunNimbra");
  platform::ShowErrorBox(kProductName, "Nimbra cannot open its window and ends: " + refused);
  return 1;
}
