// ProxyRevert: puts the browsers' proxy settings back for when Nimbra and
// its service could not, and exits.
//
//   ProxyRevert             A proxy journal left in the data folder (by a
//                           service that ended without switching back) is
//                           put back exactly: the user's own proxies return.
//                           Without one, the proxy settings of the system,
//                           of every Opera opera6.ini and of every Firefox
//                           profile are switched off: MainActivator, new in
//                           this process, has nothing saved, so its
//                           Deactivate writes "no proxy" everywhere.
//   ProxyRevert /uninstall  What the uninstaller runs: the journal as above,
//                           and then only the settings that point at Nimbra's
//                           HTTP endpoint (127.0.0.1:35489) are switched off;
//                           a proxy of the user's own elsewhere stays.
//
// After a journal, settings still pointing at the endpoint are switched off
// too, so nothing is left at an endpoint that is gone.
#include <exception>
#include <string>

#include "activators/ProxyActivators.h"
#include "activators/ProxyJournal.h"
#include "base/AppFolders.h"
#include "base/Logger.h"
#include "base/Product.h"
#include "platform/ErrorBox.h"
#include "platform/Http.h"

namespace {
const char kProgramName[] = "ProxyRevert";
}  // namespace

int main(int argc, char** argv) {
  bool uninstall = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "/uninstall" || arg == "--uninstall") {
      uninstall = true;
    } else {
      platform::ShowErrorBox(kProgramName,
                             "Unknown argument \"" + arg + "\". Usage: ProxyRevert [/uninstall]");
      return 2;
    }
  }
  InitAppFolders(ProductDataFolder());
  InitLogFromRegistry(platform::RegRoot::CurrentUser, kDebugModeKey);
  try {
    const TRecovery recovery = RecoverFromProxyJournal(DataFolder() + kProxyJournalName);
    const bool restored = recovery == TRecovery::Restored || recovery == TRecovery::Incomplete;
    if (uninstall || restored) {
      MainActivator().DeactivateWherePointingAtEndpoint();
    } else {
      MainActivator().Deactivate();
    }
    platform::AnnounceInternetSettingsChanged();
    if (recovery == TRecovery::Incomplete) {
      platform::ShowErrorBox(kProgramName,
                             "Some proxy settings could not be put back; they are kept in " +
                                 DataFolder() + kProxyJournalName + " for the next try.");
      return 1;
    }
  } catch (const std::exception& error) {
    // The browsers after the failing one are left alone; the user is told why.
    platform::ShowErrorBox(kProgramName, error.what());
    return 1;
  }
  return 0;
}
