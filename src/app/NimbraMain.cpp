// The Nimbra program's entry. Until the windows exist it runs the start-up
// steps that are built and reports on the console what they did: with an
// engine library at hand it follows the engine's bootstrap to 100 percent
// and asks it once for new circuits, as the window's timers will.
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "core/AppFolders.h"
#include "core/Logger.h"
#include "engine/TorControl.h"
#include "core/OptionsUnit.h"
#include "platform/Paths.h"
#include "ui/DKLang.h"

namespace {
const char kProductName[] = "Nimbra";
const char kDebugModeKey[] = "SOFTWARE\\Corvane\\Nimbra\\DebugMode";
const char kEngineLibrary[] = "anon.dll";
// The console stub gives up on an engine that never gets ready.
constexpr int kMaxProgressPolls = 120;

// The data folder when the engine library lies there, else the program's own.
std::string EngineFolder() {
  if (platform::FileExists(DataFolder() + kEngineLibrary)) return DataFolder();
  return ApplicationFolder();
}

void FollowEngine(TTorControl& tor_control, const std::string& engine_folder) {
  if (!platform::FileExists(engine_folder + kEngineLibrary)) {
    // The host thread logs the failed load and ends at once; let it finish
    // before the process does.
    for (int i = 0; i < 500 && TTorThread::InstanceCount() != 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::printf("  no engine library in the engine folder: progress stays at 0\n");
    return;
  }
  tor_control.StartTor();
  int progress = 0;
  for (int poll = 0; poll < kMaxProgressPolls; ++poll) {
    progress = tor_control.GetProgressStatus();
    std::printf("  %s\n", CatalogueText("Starting_proxy", {progress}).c_str());
    std::fflush(stdout);
    if (progress >= 100) break;
    if (TTorThread::InstanceCount() == 0) {
      std::printf("  the engine has ended\n");
      return;
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  if (progress >= 100) {
    std::printf("  new identity: %s\n", tor_control.SendNewNym() ? "accepted" : "refused");
  }
}
}  // namespace

int main() {
  const std::string documents =
      platform::GetSpecialFolder(platform::SpecialFolder::CommonDocuments);
  InitAppFolders(documents + platform::kPathDelim + kProductName + platform::kPathDelim);
  InitLogFromRegistry(platform::RegRoot::CurrentUser, kDebugModeKey);
  StartExceptionLog();

  std::printf("%s\n  application folder: %s\n  data folder: %s\n  log: %s\n", kProductName,
              ApplicationFolder().c_str(), DataFolder().c_str(),
              LogEnabled() ? LogFileName().c_str() : "off (no debug-mode key)");
  LogMessage("Started", "InitFinal");

  // Language files lie beside the program; the option picks one of them.
  LangManager().ScanForLangFiles(ApplicationFolder(), "*.lng", false);
  const std::int32_t language = TOptions().GetOption("LanguageID", std::int32_t{1033});
  try {
    LangManager().SetLanguageID(static_cast<std::uint16_t>(language));
  } catch (const std::exception& error) {
    LogMessage(ExceptionLogText(error), "InitFinal");
  }
  std::printf("  language: %d\n", static_cast<int>(LangManager().LanguageID()));

  const std::string engine_folder = EngineFolder();
  std::printf("  engine folder: %s\n", engine_folder.c_str());
  std::fflush(stdout);
  auto tor_control = std::make_unique<TTorControl>(engine_folder);
  FollowEngine(*tor_control, engine_folder);
  // The engine is never stopped: its thread ends with the process.
  tor_control.reset();
  return 0;
}
