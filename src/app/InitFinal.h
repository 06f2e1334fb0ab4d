// The program's spine: the process entry, the single-instance signal, the
// start-up that prepares folders, log, language and engine before any window
// exists, the order in which the windows are made, and the shutdown.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "app/MainFormUnit.h"
#include "engine/TorControl.h"
#include "platform/gui/Gui.h"

inline constexpr char kDebugModeKey[] = "SOFTWARE\\Corvane\\Nimbra\\DebugMode";
inline constexpr char kEngineLibraryName[] = "anon.dll";

// The program's one engine controller, from CreateEngineControl to
// FinalizeProgram.
extern TEngineControl* TorControl;

// What tests put in place of the real engine, pipe and lookup.
struct TProgramSeams {
  std::function<std::unique_ptr<TEngineControl>(const std::string& TorDLLFolder)> CreateEngine;
  std::string PipeName = kServicePipeName;
  std::string StartEventName = kServiceStartEventName;
  std::function<void(TIPFoundEvent)> StartAddressLookup;
};

// Before any window: data folder, log, exception log, language, engine.
void InitializeProgram(const TProgramSeams& Seams = {});
// The data folder when "anon.dll" lies there, else the application folder.
std::string EngineFolder();
void CreateEngineControl(const TProgramSeams& Seams = {});
// After the message loop: frees the engine controller (the engine itself
// runs on until the process ends).
void FinalizeProgram();

// The program's windows, made in creation order (main window, menu panel,
// closing dialog, options dialog, tutorial window, whose creation loads the
// skins and runs the start-up actions) and destroyed in the reverse order.
class TProgramWindows {
 public:
  TProgramWindows(gui::GuiSystem& Gui, TEngineControl& Engine, const TProgramSeams& Seams);
  ~TProgramWindows();
  TProgramWindows(const TProgramWindows&) = delete;
  TProgramWindows& operator=(const TProgramWindows&) = delete;

  // The reason the system gave for the first window it would not make after
  // the main window's creation (made when first needed, inside a handler);
  // empty while none was refused. A refusal asks the message loop to end
  // with exit code 1.
  const std::string& RefusedWindow() const { return FRefusedWindow; }

 private:
  std::string FRefusedWindow;
  std::unique_ptr<TNimbraMainForm> FMain;
  std::unique_ptr<class TMenuForm> FMenu;
  std::unique_ptr<class TClosingForm> FClosing;
  std::unique_ptr<class TOptionsForm> FOptions;
  std::unique_ptr<class TTutorialForm> FTutorial;
};

// The whole run after the units' own start-up; returns the exit code. A
// second start only signals the first and returns 0, touching nothing else.
int RunNimbra(gui::GuiSystem& Gui, const TProgramSeams& Seams = {});
