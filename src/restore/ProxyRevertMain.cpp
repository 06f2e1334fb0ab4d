// ProxyRevert: switches the proxy settings of the system, of every Opera
// opera6.ini and of every Firefox profile off, and exits. It reads no
// command line and keeps nothing between runs: MainActivator, new in this
// process, has nothing saved, so its Deactivate writes "no proxy" everywhere.
#include <exception>

#include "activators/ProxyActivators.h"
#include "platform/ErrorBox.h"

namespace {
const char kProgramName[] = "ProxyRevert";
}  // namespace

int main() {
  try {
    MainActivator().Deactivate();
  } catch (const std::exception& error) {
    // The browsers after the failing one are left alone; the user is told why.
    platform::ShowErrorBox(kProgramName, error.what());
    return 1;
  }
  return 0;
}
