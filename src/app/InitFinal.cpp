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

TProgramSeams ProgramSeamsFromEnvironment(gui::GuiSystem& Gui) {
  TProgramSeams seams{Gui};
  const std::string url = platform::EnvironmentValue("NIMBRA_IP_LOOKUP_URL");
  if (!url.empty()) {
    const std::optional<std::int32_t> delay =
        platform::ParseSignedDecimal(platform::EnvironmentValue("NIMBRA_IP_LOOKUP_DELAY_MS"));
    seams.IPLookup = {delay && *delay >= 0 ? *delay : kIPLookupDelayMs, url};
  }
  return seams;
}

void InitializeProgram(const TProgramSeams& Seams) {
  const std::string documents =
      platform::GetSpecialFolder(platform::SpecialFolder::CommonDocuments);
  InitAppFolders(documents + platform::kPathDelim + kProductName + platform::kPathDelim);
  InitLogFromRegistry(platform::RegRoot::CurrentUser, kDebugModeKey, Seams.Clock);
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
    // The bridges hold from the engine's very first connection.
    g_tor_control = std::make_unique<TTorControl>(folder, LoadBridgeSettings());
  }
  TorControl = g_tor_control.get();
}

void FinalizeProgram() {
  TorControl = nullptr;
  g_tor_control.reset();
}

bool TProgramWindows::Create(const std::function<void()>& Step) {
  bool done = false;
  Guarded([&] {
    Step();
    done = true;
  });
  return done;
}

TProgramWindows::TProgramWindows(const TProgramSeams& Seams, TEngineControl& Engine) {
  Application() = TApplication{};
  gui::GuiSystem& gui = Seams.Gui;
  FMain = std::make_unique<TNimbraMainForm>(Seams, Engine);
  TNimbraMainForm& main = *FMain;
  Create([&] { main.FormCreate(); });
  // The main window's handler swallows the window thread's errors; a window
  // the system will not make is not one of them: the program ends.
  Application().OnException = [this, &gui,
                               others = Application().OnException](std::exception_ptr error) {
    try {
      std::rethrow_exception(error);
    } catch (const gui::WindowError& refused) {
      if (FRefusedWindow.empty()) {
        FRefusedWindow = refused.what();
        gui.QuitMessageLoop(1);
      }
      return;
    } catch (...) {
    }
    if (others) others(error);
  };
  // Each window loads its own pictures once made; the first picture that
  // cannot be read leaves the later ones, and the start-up actions, out.
  bool skins = Create([&] { main.LoadSkins(); });

  FMenu = std::make_unique<TMenuForm>(
      gui, &main.Window(),
      TMenuLinks{[this] { FOptions->ShowModal(TOptionsForm::TPage::General); },
                 [&main] { main.ShowHelp(); }, [&main] { main.MenuPanelClosed(); }});
  Create([&] { FMenu->FormCreate(); });
  skins = skins && Create([&] { FMenu->LoadSkins(); });

  FClosing = std::make_unique<TClosingForm>(gui);
  Create([&] { FClosing->FormCreate(); });

  FOptions = std::make_unique<TOptionsForm>(
      gui, TOptionsLinks{[&main] { main.SetOptions(); }, [&main] { main.ShowHelp(); },
                         [&main](const std::string& hint) { main.DisplayHint(hint); },
                         [&Engine](bool enabled, TBridgeSource source, const std::string& lines) {
                           return ChangeBridges(Engine, enabled, source, lines);
                         },
                         [&Engine] {
                           return Engine.LastBootstrapPhase().IsProblem()
                                      ? CatalogueText("Network_unreachable")
                                      : std::string();
                         }});
  Create([&] { FOptions->FormCreate(); });
  main.SetCompanions(FMenu.get(), FClosing.get(), FOptions.get());

  FTutorial = std::make_unique<TTutorialForm>(gui);
  Create([&] { FTutorial->FormCreate(); });
  // The tutorial's pictures come before the options dialog's logo.
  skins =
      skins && Create([&] { FTutorial->LoadSkins(); }) && Create([&] { FOptions->LoadSkins(); });
  if (skins) Create([&] { RunStartupActions(); });
}

void TProgramWindows::RunStartupActions() {
  {
    TOptions options;
    if (options.GetOption("FirstRun", false)) {
      // Stored first, so a tutorial that never closes is still shown once.
      options.SetOption("FirstRun", false);
      FTutorial->ShowModal();
    }
  }
  // Read at start all the same: a picture that cannot be read keeps its
  // place in the order the start-up actions depend on.
  FTutorial->ReleaseSkins();
  if (TOptions().GetOption("StartStartup", true)) FMain->SetStarted(true);
  if (TOptions().GetOption("AutoSwitchStartup", true)) FMain->SetAutoswitch(true);
}

TProgramWindows::~TProgramWindows() {
  Application().OnException = nullptr;
  FTutorial.reset();
  FOptions.reset();
  FClosing.reset();
  FMenu.reset();
  FMain.reset();
}

int RunNimbra(const TProgramSeams& Seams) {
  gui::GuiSystem& gui = Seams.Gui;
  if (gui.PostToWindowOfClass(kMainFormClass, ShowRequestMessage)) return 0;
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
    TProgramWindows windows(Seams, *TorControl);
    if (Seams.WindowsCreated) Seams.WindowsCreated(windows);
    if (windows.RefusedWindow().empty() && Application().ShowMainForm) windows.Main().Show();
    // Returns at once when a window was refused before it started.
    exit_code = gui.RunMessageLoop();
    refused = windows.RefusedWindow();
    FinalizeProgram();
  } catch (const gui::WindowError& error) {
    refused = error.what();
  }
  if (refused.empty()) return exit_code;
  // Without its windows the program cannot go on: it says so and ends.
  FinalizeProgram();
  LogMessage("Window not created: " + refused, "InitFinal.RunNimbra");
  platform::ShowErrorBox(kProductName, CatalogueText("Window_not_created", {refused}));
  return 1;
}
