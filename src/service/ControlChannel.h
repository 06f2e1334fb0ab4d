// The service's control pipe: a second start asks there whether a service
// runs (ping), and `NimbraService --stop` asks the running one to end. The
// service answers a stop at once ("stopping"), switches everything back,
// says "stopped" and ends; the asker waits for both and then for the pipe
// to close with the process, so it returns only once the service is gone.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "pipe/PipeServer.h"

class TControlChannel {
 public:
  explicit TControlChannel(std::string PipeName);
  ~TControlChannel();

  // Creates the pipe; fails when another process owns the name.
  std::uint32_t Open();
  // Serves on a thread of its own; `OnStop` is called there (once) with the
  // asker's process id when a stop is asked.
  void Start(std::function<void(std::uint32_t pid)> OnStop);
  // After everything is back: tells a waiting asker "stopped" and closes.
  void Finish();

 private:
  void Serve();

  std::string FPipeName;
  TPipeServer FServer;
  std::function<void(std::uint32_t)> FOnStop;
  std::thread FThread;
  std::atomic<bool> FQuit{false};
  bool FStopAsked = false;  // the asker stays connected until Finish
};

enum class TStopResult {
  Stopped,     // it switched back and has ended
  NotRunning,  // no service answered
  NotStopped,  // it did not end within the time
};
// Asks the service whose control pipe is `PipeName` to end, and waits up to
// `TimeoutMs` for it to be gone.
TStopResult AskServiceToStop(const std::string& PipeName, int TimeoutMs);
// Whether a service answers on the control pipe within `TimeoutMs`.
bool ServiceAnswers(const std::string& PipeName, int TimeoutMs);
