// NimbraService: the companion service, a program without windows in the
// user's session, one per user (owning the pipe's name is the lock). It
// answers to Nimbra over the pipe, points the browsers at the HTTP endpoint
// while Nimbra is ready and switches them back, with the proxy journal
// guarding the user's own settings however it ends.
//
//   NimbraService          runs the service
//   NimbraService --stop   asks the running service to switch back and end,
//                          and waits (at most half a minute) until it has
//
// Seams for tests (environment): NIMBRA_SERVICE_PIPE, NIMBRA_SERVICE_EVENT
// and NIMBRA_SERVICE_CONTROL_PIPE replace the names of the pipe, the start
// event and the control pipe; NIMBRA_SERVICE_STEP_PAUSE_MS makes the
// service log each step of an activation (after the journal is written,
// before each change) and wait that long before it, so that a test can end
// the process at any of them. Harmless when unset.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <mutex>
#include <string>
#include <thread>

#include "activators/ProxyActivators.h"
#include "activators/ProxyJournal.h"
#include "base/AppFolders.h"
#include "base/Logger.h"
#include "base/Product.h"
#include "pipe/PipeProtocol.h"
#include "platform/ErrorBox.h"
#include "platform/Process.h"
#include "platform/StopRequests.h"
#include "platform/Text.h"
#include "service/ActivationPolicy.h"
#include "service/ControlChannel.h"
#include "service/Endpoint.h"
#include "service/ProxySwitch.h"
#include "service/ServiceNames.h"
#include "service/StatusServer.h"

namespace {

const char kProgramName[] = "NimbraService";
const char kSource[] = "NimbraService";
// How long --stop waits for the service to be gone, and how long the
// session's end waits for the browsers to be switched back.
constexpr int kStopWaitMs = 30000;
constexpr int kSessionEndWaitMs = 25000;

void Log(const std::string& Message) { LogMessage(Message, kSource); }

std::string Setting(const char* Name, const std::string& Default) {
  const std::string value = platform::EnvironmentValue(Name);
  return value.empty() ? Default : value;
}

// Told to the user (an error box; natively standard error) and logged.
int Refuse(int Code, const std::string& Text) {
  Log(Text);
  platform::ShowErrorBox(kProgramName, Text);
  return Code;
}

int Usage() {
  std::fprintf(stderr, "usage: %s [--stop]\n", kProgramName);
  return kServiceExitUsage;
}

int Stop(const std::string& ControlPipe) {
  switch (AskServiceToStop(ControlPipe, kStopWaitMs)) {
    case TStopResult::Stopped:
      Log("The running service has switched back and ended");
      std::printf("%s: the running service has switched back and ended\n", kProgramName);
      return kServiceExitOk;
    case TStopResult::NotRunning:
      std::printf("%s: no service is running\n", kProgramName);
      return kServiceExitOk;
    case TStopResult::NotStopped:
      break;
  }
  Log("The running service did not end in time");
  std::printf("%s: the running service did not end within %d s\n", kProgramName,
              kStopWaitMs / 1000);
  return kServiceExitFailed;
}

// Set when the service has switched back, for whoever waits for that.
class TDoneSignal {
 public:
  void Set() {
    {
      std::lock_guard<std::mutex> lock(FMutex);
      FDone = true;
    }
    FChanged.notify_all();
  }
  void Wait(int TimeoutMs) {
    std::unique_lock<std::mutex> lock(FMutex);
    FChanged.wait_for(lock, std::chrono::milliseconds(TimeoutMs), [this] { return FDone; });
  }

 private:
  std::mutex FMutex;
  std::condition_variable FChanged;
  bool FDone = false;
};

int Serve(const std::string& PipeName, const std::string& EventName,
          const std::string& ControlPipe) {
  std::unique_ptr<TEndpointLink> endpoint = CreateEndpointLink();

  std::function<void(const std::string&)> pause;
  const auto pause_ms =
      platform::ParseSignedDecimal(platform::EnvironmentValue("NIMBRA_SERVICE_STEP_PAUSE_MS"));
  if (pause_ms && *pause_ms > 0) {
    const int ms = *pause_ms;
    pause = [ms](const std::string& step) {
      Log("Pause before " + step);
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    };
  }
  TProxySwitch proxies(DataFolder() + kProxyJournalName, MainActivator(), pause);
  TActivationPolicy policy({[&] { return proxies.Activate(); }, [&] { proxies.Deactivate(); },
                            [&] { return proxies.Activated(); },
                            [&](bool ready) { endpoint->SetReady(ready); }});

  TStatusServerOptions options;
  options.PipeName = PipeName;
  options.StartEventName = EventName;
  TStatusServer server(options, policy);
  if (const std::uint32_t error = server.Open()) {
    if (ServiceAnswers(ControlPipe, 3000)) {
      return Refuse(kServiceExitAlreadyRunning, "NimbraService is already running.");
    }
    return Refuse(kServiceExitNameTaken,
                  "Another program owns the pipe \"" + PipeName + "\" (" + SysErrorText(error) +
                      "). NimbraService does not start: Nimbra would talk to that program.");
  }
  TControlChannel control(ControlPipe);
  if (const std::uint32_t error = control.Open()) {
    return Refuse(kServiceExitNameTaken, "Another program owns the pipe \"" + ControlPipe + "\" (" +
                                             SysErrorText(error) +
                                             "). NimbraService does not start.");
  }
  Log("Started as process " + std::to_string(platform::CurrentProcessId()));

  // What an earlier run left on is put back before anything else.
  proxies.Recover();

  const std::string endpoint_error = endpoint->Start();
  if (!endpoint_error.empty()) {
    // Browsers pointed at a port another program holds would talk to it.
    return Refuse(kServiceExitNoEndpoint,
                  "The HTTP endpoint cannot start: " + endpoint_error +
                      ". NimbraService does not start, and no browser is pointed anywhere.");
  }

  TDoneSignal done;
  platform::WatchStopRequests([&](const std::string& reason) {
    Log("Asked to end: " + reason);
    server.RequestStop();
    // The session goes once this returns: everything is put back first.
    done.Wait(kSessionEndWaitMs);
  });
  control.Start([&](std::uint32_t) { server.RequestStop(); });

  try {
    server.Run();
  } catch (const std::exception& error) {
    Log(ExceptionLogText(error));
  }
  policy.OnStop();
  endpoint->Stop();
  Log("Ended");
  done.Set();
  control.Finish();
  platform::StopWatchingStopRequests();
  return kServiceExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string pipe_name = Setting("NIMBRA_SERVICE_PIPE", kServicePipeName);
  const std::string event_name = Setting("NIMBRA_SERVICE_EVENT", kServiceStartEventName);
  const std::string control_pipe = Setting("NIMBRA_SERVICE_CONTROL_PIPE", kServiceControlPipeName);
  bool stop = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--stop") {
      stop = true;
    } else {
      return Usage();
    }
  }
  InitAppFolders(ProductDataFolder());
  InitLogFromRegistry(platform::RegRoot::CurrentUser, kDebugModeKey);
  StartExceptionLog();
  try {
    if (stop) return Stop(control_pipe);
    return Serve(pipe_name, event_name, control_pipe);
  } catch (const std::exception& error) {
    LogMessage(ExceptionLogText(error), kSource);
    return kServiceExitFailed;
  }
}
