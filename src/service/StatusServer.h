// The service's end of Nimbra's pipe: owns the pipe and the start event
// (pipe/PipeProtocol.h), takes one client at a time and the next after it
// has gone, asks for the status every second and hands the answers, their
// absence and the client's end to the activation policy. Whatever a client
// sends is hostile input: records longer than MaxPayload drop the client,
// unknown commands are logged and ignored, a client that never answers only
// counts as "not ready".
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <string>

#include "pipe/PipeServer.h"
#include "platform/Process.h"
#include "service/ActivationPolicy.h"

struct TStatusServerOptions {
  std::string PipeName;
  std::string StartEventName;
  int QueryIntervalMs = 1000;
  // An answer not there this long after its query counts as "not ready".
  int AnswerTimeoutMs = 3000;
  // How long a client that left the pipe has to end before it counts as
  // still running (and is watched on).
  int ExitWaitMs = 5000;
  // The answers carry no payload; a little is tolerated.
  std::uint32_t MaxPayload = 1024;
};

class TStatusServer {
 public:
  TStatusServer(TStatusServerOptions Options, TActivationPolicy& Policy);

  // Creates the pipe (failing when another process owns the name: Windows
  // ERROR_ACCESS_DENIED, POSIX EACCES) and opens the start event.
  std::uint32_t Open();
  // Serves until RequestStop; sets the start event first and clears it at
  // the end. The policy's OnStop is the caller's.
  void Run();
  // From any thread.
  void RequestStop() { FStop = true; }
  bool StopRequested() const { return FStop; }

 private:
  using TClock = std::chrono::steady_clock;

  void Connected();
  void Serve();
  // The client has gone (or is dropped, when its process is still there by
  // definition): how it ended goes to the policy.
  void ClientGone(const std::string& Why, bool Dropped = false);
  void WatchLeftClient();

  TStatusServerOptions FOptions;
  TActivationPolicy& FPolicy;
  TPipeServer FServer;
  std::atomic<bool> FStop{false};
  platform::ProcessWatch FWatch;
  bool FWatchingLeftClient = false;
  TClock::time_point FNextQuery;
  std::deque<TClock::time_point> FOutstanding;
  bool FMissingTold = false;
  bool FWriteFailureTold = false;
  int FUnknownTold = 0;
};
