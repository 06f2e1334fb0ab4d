#include "platform/ErrorBox.h"

#include "platform/ErrorBoxInternal.h"
#include "platform/Files.h"
#include "platform/Process.h"

namespace platform {

void ShowErrorBox(const std::string& caption, const std::string& text) {
  // The process's own environment: on Windows the C library's copy does not
  // see a variable set while the program runs (a test's).
  const std::string file = EnvironmentValue("NIMBRA_ERROR_BOX_FILE");
  if (!file.empty()) {
    AppendToFile(file, text + "\n");
    return;
  }
  internal::SystemErrorBox(caption, text);
}

}  // namespace platform
