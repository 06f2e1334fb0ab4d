#include "service/ProxySwitch.h"

#include <exception>

#include "activators/ProxyActivators.h"
#include "base/Logger.h"
#include "platform/Http.h"

namespace {

const char kSource[] = "ProxySwitch";

void Log(const std::string& Message) { LogMessage(Message, kSource); }

void Announce() {
  if (const std::uint32_t error = platform::AnnounceInternetSettingsChanged())
    Log("Cannot tell running programs the settings changed: " + SysErrorText(error));
}

}  // namespace

TProxySwitch::TProxySwitch(std::string JournalPath, TMainActivator& Activator,
                           std::function<void(const std::string&)> BeforeStep)
    : FJournalPath(std::move(JournalPath)),
      FActivator(Activator),
      FBeforeStep(std::move(BeforeStep)) {}

TProxySwitch::~TProxySwitch() { FActivator.SetObserver(nullptr); }

TRecovery TProxySwitch::Recover() {
  const TRecovery recovery = RecoverFromProxyJournal(FJournalPath);
  if (recovery == TRecovery::Restored || recovery == TRecovery::Incomplete) Announce();
  return recovery;
}

void TProxySwitch::Step(const std::string& What) {
  if (FBeforeStep) FBeforeStep(What);
}

bool TProxySwitch::Activate() {
  if (FActivated) return true;
  try {
    FJournal = FActivator.Plan();
  } catch (const std::exception& error) {
    Log("Not activating: the settings cannot be read: " + std::string(error.what()));
    return false;
  }
  try {
    WriteProxyJournal(FJournalPath, FJournal);
  } catch (const std::exception& error) {
    Log("Not activating: the journal cannot be written: " + std::string(error.what()));
    FJournal = {};
    return false;
  }
  Log("Journal written: the system proxy " + std::string(FJournal.System ? "and " : "not, ") +
      std::to_string(FJournal.Files.size()) + " settings files");
  Step("activation");
  FActivated = true;
  FActivator.SetObserver(this);
  try {
    FActivator.Activate();
    Log("Every browser points at the endpoint");
  } catch (const std::exception& error) {
    // What was changed stays on, and the journal names it.
    Log("Activation cut short: " + std::string(error.what()));
  }
  FActivator.SetObserver(nullptr);
  Announce();
  return true;
}

void TProxySwitch::BeforeChange(const TSystemProxyChange& Change) {
  Step("the system proxy");
  if (FJournal.System && *FJournal.System == Change) return;
  // Changed since it was looked at: the journal says so before the change.
  FJournal.System = Change;
  WriteProxyJournal(FJournalPath, FJournal);
  Log("Journal updated for the system proxy");
}

void TProxySwitch::BeforeChange(const TFileChange& Change) {
  Step(Change.Path);
  for (TFileChange& entry : FJournal.Files) {
    if (!SameSettingsFile(entry.Path, Change.Path)) continue;
    if (entry == Change) return;
    entry = Change;
    WriteProxyJournal(FJournalPath, FJournal);
    Log("Journal updated for " + Change.Path + ", changed since it was looked at");
    return;
  }
  FJournal.Files.push_back(Change);
  WriteProxyJournal(FJournalPath, FJournal);
  Log("Journal updated for " + Change.Path + ", found since");
}

void TProxySwitch::Deactivate() {
  if (!FActivated) return;
  const TActivationChanges left = RestoreActivation(FJournal);
  FActivated = false;
  FJournal = {};
  Announce();
  if (left.Empty()) {
    if (!RemoveProxyJournal(FJournalPath)) Log("Cannot remove " + FJournalPath);
    Log("Every browser's own proxy settings are back");
    return;
  }
  try {
    WriteProxyJournal(FJournalPath, left);
  } catch (const std::exception& error) {
    Log(error.what());
  }
  Log("Some settings could not be put back; the journal keeps them for the next start");
}
