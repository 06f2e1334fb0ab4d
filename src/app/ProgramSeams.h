// What the program takes from outside, handed in once at start-up: the
// window backend, the engine controller, the pipe's names, the address
// lookup, the window-message filter and the log's clock. The program's entry
// fills it with the real ones; tests put their own in its place.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "app/Permissions.h"
#include "app/RefreshIPThread.h"
#include "base/Logger.h"
#include "engine/TorControl.h"
#include "pipe/PipeProtocol.h"
#include "platform/gui/Gui.h"

struct TProgramSeams {
  explicit TProgramSeams(gui::GuiSystem& Backend) : Gui(Backend) {}

  std::reference_wrapper<gui::GuiSystem> Gui;
  // The engine controller for the engine folder; none: a TTorControl.
  std::function<std::unique_ptr<TEngineControl>(const std::string& TorDLLFolder)> CreateEngine;
  std::string PipeName = kServicePipeName;
  std::string StartEventName = kServiceStartEventName;
  // Where and after how long a lookup fetches the address.
  TIPLookupSettings IPLookup;
  // Starts one address lookup that reports through the handler; none: the
  // window's TAddressLookups with IPLookup.
  std::function<void(TIPFoundEvent)> StartAddressLookup;
  TWindowMessageFilter MessageFilter = SystemWindowMessageFilter();
  TLogClock Clock = platform::Now;
  // Told once the windows exist, before the message loop runs.
  std::function<void(class TProgramWindows&)> WindowsCreated;
};

// The real seams, the address lookup as the environment says: demos and
// tests point it at a local endpoint (NIMBRA_IP_LOOKUP_URL, and
// NIMBRA_IP_LOOKUP_DELAY_MS), so that no request of theirs leaves the
// machine.
TProgramSeams ProgramSeamsFromEnvironment(gui::GuiSystem& Gui);
