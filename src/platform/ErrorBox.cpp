#include "platform/ErrorBox.h"

#include "platform/ErrorBoxInternal.h"
#include "platform/Files.h"
#include "platform/Process.h"

namespace platform {

void ShowErrorBox(const std::string& caption, const std::string& text) {
  // Read from the process's environment, not the C runtime's copy, which on
  // Windows does not see a value set after the start.
  const std::string file = EnvironmentValue("NIMBRA_ERROR_BOX_FILE");
  if (!file.empty()) {
    AppendToFile(file, text + "\n");
    return;
  }
  internal::SystemErrorBox(caption, text);
}

}  // namespace platform
