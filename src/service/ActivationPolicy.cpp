#include "service/ActivationPolicy.h"

#include "base/Logger.h"
#include "pipe/PipeProtocol.h"

namespace {
const char kSource[] = "ActivationPolicy";
}  // namespace

TActivationPolicy::TActivationPolicy(TPorts Ports) : FPorts(std::move(Ports)) {}

void TActivationPolicy::Ready(bool Value) { FPorts.SetReady(Value); }

void TActivationPolicy::SwitchBack(const std::string& Why) {
  if (!FPorts.Activated()) return;
  LogMessage(Why + ": switching the browsers back", kSource);
  FPorts.Deactivate();
}

void TActivationPolicy::OnClientConnected() { FActivationRefused = false; }

void TActivationPolicy::OnAnswer(std::uint8_t Command) {
  if (Command == StatusReady) {
    if (!FPorts.Activated() && !FActivationRefused) {
      LogMessage("Ready: pointing the browsers at the endpoint", kSource);
      FActivationRefused = !FPorts.Activate();
    }
    Ready(true);
  } else if (Command == StatusNotReady) {
    Ready(false);
    FActivationRefused = false;
    SwitchBack("Not ready");
  }
}

void TActivationPolicy::OnAnswerMissing() { Ready(false); }

void TActivationPolicy::OnClientLeaving() { Ready(false); }

void TActivationPolicy::OnClientGone(TClientEnd End) {
  Ready(false);
  switch (End) {
    case TClientEnd::Normal:
      SwitchBack("Nimbra has ended normally");
      break;
    case TClientEnd::Abnormal:
      if (FPorts.Activated())
        LogMessage("Nimbra ended abnormally: the browsers stay with the endpoint", kSource);
      break;
    case TClientEnd::StillRunning:
      break;
  }
}

void TActivationPolicy::OnStop() {
  Ready(false);
  SwitchBack("The service ends");
}
