// The program's spine: the process entry, the single-instance signal, the
// start-up that prepares folders, log, language and engine before any window
// exists, the order in which the windows are made, the start-up actions, and
// the shutdown.
#pragma once

#include <memory>
#include <string>

#include "app/MainFormUnit.h"
#include "app/ProgramSeams.h"
#include "engine/TorControl.h"

inline constexpr char kEngineLibraryName[] = "anon.dll";

class TMenuForm;
class TClosingForm;
class TOptionsForm;
class TTutorialForm;

// The program's one engine controller, from CreateEngineControl to
// FinalizeProgram.
extern TEngineControl* TorControl;

// Before any window: data folder, log, exception log, language, engine.
void InitializeProgram(const TProgramSeams& Seams);
// The data folder when "anon.dll" lies there, else the application folder.
std::string EngineFolder();
void CreateEngineControl(const TProgramSeams& Seams);
// After the message loop: frees the engine controller (the engine itself
// runs on until the process ends).
void FinalizeProgram();

// The program's windows, made in creation order (main window, menu panel,
// closing dialog, options dialog, tutorial window), each loading its own
// skin, then the start-up actions: the tutorial on a first run, anonymity
// on, auto-switching on, as the options say. A skin picture that cannot be
// read leaves the start-up actions out. Destroyed in the reverse order.
class TProgramWindows {
 public:
  TProgramWindows(const TProgramSeams& Seams, TEngineControl& Engine);
  ~TProgramWindows();
  TProgramWindows(const TProgramWindows&) = delete;
  TProgramWindows& operator=(const TProgramWindows&) = delete;

  TNimbraMainForm& Main() const { return *FMain; }
  TMenuForm& Menu() const { return *FMenu; }
  TClosingForm& Closing() const { return *FClosing; }
  TOptionsForm& Options() const { return *FOptions; }
  TTutorialForm& Tutorial() const { return *FTutorial; }

  // The reason the system gave for the first window it would not make after
  // the main window's creation (made when first needed, inside a handler);
  // empty while none was refused. A refusal asks the message loop to end
  // with exit code 1.
  const std::string& RefusedWindow() const { return FRefusedWindow; }

 private:
  // Runs a window's creation step; false when it raised.
  static bool Create(const std::function<void()>& Step);
  void RunStartupActions();

  std::string FRefusedWindow;
  std::unique_ptr<TNimbraMainForm> FMain;
  std::unique_ptr<TMenuForm> FMenu;
  std::unique_ptr<TClosingForm> FClosing;
  std::unique_ptr<TOptionsForm> FOptions;
  std::unique_ptr<TTutorialForm> FTutorial;
};

// The whole run after the units' own start-up; returns the exit code. A
// second start only signals the first and returns 0, touching nothing else.
int RunNimbra(const TProgramSeams& Seams);
