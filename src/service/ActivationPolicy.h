// What the service does with what it hears from Nimbra, failing closed:
//  - "ready": activate once (a later "ready" keeps what is on; a second
//    activation would take the proxy it set itself for the user's own) and
//    tell the endpoint it is ready;
//  - "not ready" (anonymity switched off): the endpoint answers 503 and
//    every browser gets its own settings back;
//  - no answer in time: the endpoint answers 503, the browsers stay with it
//    (Nimbra may be busy; nothing goes out directly meanwhile);
//  - Nimbra gone: after a normal end (exit code 0) everything is switched
//    back; after a crash or a kill the browsers stay with the endpoint,
//    which answers 503, until a clear "not ready", a normal end or the
//    service's own end;
//  - the service ending: everything is switched back.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// How a client that left the pipe ended.
enum class TClientEnd {
  Normal,        // its process ended with exit code 0
  Abnormal,      // another code, killed, crashed, or not known
  StillRunning,  // it left the pipe (or was dropped) but its process runs on
};

class TActivationPolicy {
 public:
  struct TPorts {
    std::function<bool()> Activate;  // false: nothing was changed
    std::function<void()> Deactivate;
    std::function<bool()> Activated;
    std::function<void(bool ready)> SetReady;
  };
  explicit TActivationPolicy(TPorts Ports);

  void OnClientConnected();
  // StatusReady or StatusNotReady.
  void OnAnswer(std::uint8_t Command);
  void OnAnswerMissing();
  // The client has left the pipe; how it ended follows.
  void OnClientLeaving();
  void OnClientGone(TClientEnd End);
  void OnStop();

 private:
  void Ready(bool Value);
  void SwitchBack(const std::string& Why);

  TPorts FPorts;
  // An activation that changed nothing is not tried again until the next
  // "not ready" or the next client: once a second would fill the log.
  bool FActivationRefused = false;
};
