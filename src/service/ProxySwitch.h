// The browsers' proxies to the HTTP endpoint and back, with the proxy
// journal (activators/ProxyJournal.h) written before anything changes:
// first what the activation will replace, then, before each change, that
// change's own record again when the target has changed in the meantime.
// However the service ends, the next start (or ProxyRevert) finds in the
// journal everything that was changed.
#pragma once

#include <functional>
#include <string>

#include "activators/ActivationChanges.h"
#include "activators/ProxyJournal.h"

class TMainActivator;

class TProxySwitch : private TActivationObserver {
 public:
  // `BeforeStep` is told before each step (after the journal is written,
  // and before each change) with what comes next; tests pause there.
  TProxySwitch(std::string JournalPath, TMainActivator& Activator,
               std::function<void(const std::string& step)> BeforeStep = {});
  ~TProxySwitch() override;

  // A journal an earlier run left: restored, removed, or set aside.
  TRecovery Recover();

  // The journal, then every browser to the endpoint. False, with nothing
  // changed, when the settings cannot be read or the journal cannot be
  // written. A write that fails halfway leaves on what was changed (the
  // journal names it), logged.
  bool Activate();
  // Everything the journal names back, then the journal removed; what could
  // not be put back stays in it for the next start.
  void Deactivate();
  bool Activated() const { return FActivated; }

  const std::string& JournalPath() const { return FJournalPath; }

 private:
  void BeforeChange(const TSystemProxyChange& Change) override;
  void BeforeChange(const TFileChange& Change) override;
  void Step(const std::string& What);

  std::string FJournalPath;
  TMainActivator& FActivator;
  std::function<void(const std::string&)> FBeforeStep;
  TActivationChanges FJournal;
  bool FActivated = false;
};
